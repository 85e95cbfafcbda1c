// Opening and creating files through ntdll's NtCreateFile, which can name a
// file relative to a directory handle we hold. A path that is resolved
// again from the top can be redirected by whoever controls a folder on it
// (the user decides what %TEMP% is); a name resolved below our own handle
// cannot. Looked up at run time, so the stub imports nothing more.
#pragma once
#include <windows.h>

#include <stdint.h>

#include "common/byte_buffer.h"
#include "common/handle.h"
#include "common/path.h"

// NtCreateFile's create dispositions and options, as far as we use them.
constexpr ULONG kNtOpen = 1;         // FILE_OPEN: only what exists
constexpr ULONG kNtCreate = 2;       // FILE_CREATE: only what does not
constexpr ULONG kNtOpenIf = 3;       // FILE_OPEN_IF
constexpr ULONG kNtDirectoryFile = 0x1;
constexpr ULONG kNtNonDirectoryFile = 0x40;
constexpr ULONG kNtOpenReparsePoint = 0x200000;  // the link itself, never its target

// Opens or creates `name` (nameLength units, no terminator needed) below
// `root`, or, with a null root, the absolute Win32 path `name`. The handle is
// synchronous (ReadFile and WriteFile work as on any CreateFileW handle).
// `security` is the new object's descriptor, or null. On failure the handle
// is invalid, `*status` (when given) holds the NTSTATUS and the last error
// its Win32 code. An empty name below `root` opens the object `root` is on
// again. `attributes` are a new file's.
FileHandle NtOpenFile(HANDLE root, const wchar_t* name, size_t nameLength, ACCESS_MASK access,
                      ULONG share, ULONG disposition, ULONG options, void* security = nullptr,
                      LONG* status = nullptr, ULONG attributes = FILE_ATTRIBUTE_NORMAL);

// The attributes that the entry `name` of the directory open as `directory`
// (with FILE_LIST_DIRECTORY) holds: a link shows as a reparse point, not as
// its target. Windows keeps the first name asked of a handle as its search
// mask, so ask one name per handle. INVALID_FILE_ATTRIBUTES on failure, with
// the last error set.
DWORD NtEntryAttributes(HANDLE directory, const wchar_t* name, size_t nameLength);

constexpr LONG kNtStatusNameCollision = static_cast<LONG>(0xC0000035);

// Renames the file that `file` is open on (with DELETE access) to `name`
// (nameLength units, no separator) in the directory `root`, replacing what
// stands there when `replace`: the new name is resolved below our handle,
// never from the top. False on failure, with the last error set.
bool NtRenameFile(HANDLE file, HANDLE root, const wchar_t* name, size_t nameLength, bool replace);
constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Whether the handle is on a reparse point (a link) itself.
bool IsLinkHandle(HANDLE handle);

// The file ID of what the handle is on (the one a directory listing shows
// for it), read through the handle itself, which needs no access right for
// it; 0 when it cannot be read.
uint64_t FileIdentity(HANDLE handle);

// The device type and characteristics of the volume the handle is on
// (FileFsDeviceInformation), which need no access right; false when they
// cannot be read.
bool ReadVolumeDevice(HANDLE handle, uint32_t* deviceType, uint32_t* characteristics);

// Deletes what the handle is on once every handle on it is closed: no name
// is resolved again. Needs DELETE access.
bool MarkForDeletion(HANDLE handle);

// Clears read-only, hidden and system, which stand in the way of deleting.
void ClearAttributes(HANDLE handle);

// The Win32 path of what the handle is on, as the file system names it now:
// no link and no short name left in it. False when it cannot be read or does
// not fit (the last error then says why).
bool ReadFinalPath(HANDLE handle, wchar_t (&path)[kPathCapacity]);

// The entries of a directory, read through a handle on it (opened with
// FILE_LIST_DIRECTORY), "." and ".." left out.
class DirectoryListing {
 public:
  explicit DirectoryListing(HANDLE directory) : directory_(directory) {}
  DirectoryListing(const DirectoryListing&) = delete;
  DirectoryListing& operator=(const DirectoryListing&) = delete;

  // Moves to the next entry; false at the end or on a failure, after which
  // error() is ERROR_NO_MORE_FILES or what failed.
  bool Next();
  const wchar_t* name() const { return name_; }
  size_t nameLength() const { return nameLength_; }
  bool nameFits() const { return nameFits_; }  // false: name() holds only its start
  DWORD attributes() const { return attributes_; }
  uint64_t fileId() const { return fileId_; }
  DWORD error() const { return error_; }

 private:
  HANDLE directory_;
  ByteBuffer buffer_;
  size_t offset_ = 0;  // of the next record in buffer_; 0 when a new read is due
  bool started_ = false;
  wchar_t name_[kPathCapacity] = {};
  size_t nameLength_ = 0;
  bool nameFits_ = true;
  DWORD attributes_ = 0;
  uint64_t fileId_ = 0;
  DWORD error_ = 0;
};
