#include "common/nt_file.h"

#include <stddef.h>
#include <winternl.h>

#include "common/format.h"
#include "common/path.h"
#include "common/text.h"

namespace {

using NtCreateFileFunction = LONG(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES,
                                          PIO_STATUS_BLOCK, PLARGE_INTEGER, ULONG, ULONG, ULONG,
                                          ULONG, PVOID, ULONG);
using NtQueryDirectoryFileFunction = LONG(NTAPI*)(HANDLE, HANDLE, PVOID, PVOID, PIO_STATUS_BLOCK,
                                                  PVOID, ULONG, ULONG, BOOLEAN, PUNICODE_STRING,
                                                  BOOLEAN);
// NtSetInformationFile, NtQueryInformationFile and NtQueryVolumeInformationFile.
using NtFileInformationFunction = LONG(NTAPI*)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG, ULONG);
using StatusToErrorFunction = ULONG(NTAPI*)(LONG);

constexpr ULONG kCaseInsensitive = 0x40;  // OBJ_CASE_INSENSITIVE, as Win32 names are
constexpr ULONG kSynchronousIoNonAlert = 0x20;
constexpr LONG kStatusNameInvalid = static_cast<LONG>(0xC0000033);
constexpr ULONG kFileDirectoryInformation = 1;
constexpr ULONG kFileInternalInformation = 6;
constexpr ULONG kFileRenameInformation = 10;
constexpr ULONG kFileFsDeviceInformation = 4;

// FILE_DIRECTORY_INFORMATION with room for one entry's name.
struct DirectoryEntry {
  ULONG nextEntryOffset;
  ULONG fileIndex;
  LARGE_INTEGER creationTime, lastAccessTime, lastWriteTime, changeTime;
  LARGE_INTEGER endOfFile, allocationSize;
  ULONG fileAttributes;
  ULONG fileNameLength;
  wchar_t fileName[kPathCapacity];
};

FARPROC NtdllFunction(const char* name) {
  return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), name);
}

void Fail(LONG result, LONG* status) {
  if (status) *status = result;
  auto toError = reinterpret_cast<StatusToErrorFunction>(
      reinterpret_cast<void*>(NtdllFunction("RtlNtStatusToDosError")));
  SetLastError(toError ? toError(result) : ERROR_GEN_FAILURE);
}

// "C:\x" becomes "\??\C:\x", "\\server\share" "\??\UNC\server\share", and
// "\\?\C:\x" "\??\C:\x". False when it does not fit.
bool ToNtPath(const wchar_t* path, size_t length, wchar_t (&out)[kPathCapacity + 8]) {
  const wchar_t* prefix = L"\\??\\";
  size_t skip = 0;
  if (length >= 4 && path[0] == L'\\' && path[1] == L'\\' && path[2] == L'?' && path[3] == L'\\') {
    skip = 4;
  } else if (length >= 2 && path[0] == L'\\' && path[1] == L'\\') {
    prefix = L"\\??\\UNC\\";
    skip = 2;
  }
  return JoinPath(out, kPathCapacity + 8, prefix, path + skip, length - skip, L"");
}

// The OBJECT_ATTRIBUTES of `name` below `root`, or of the absolute Win32
// path `name` with a null root. Holds the converted path it points to.
class ObjectName {
 public:
  // False, with the status of a bad name, when the name cannot be used.
  bool Set(HANDLE root, const wchar_t* name, size_t nameLength, void* security, LONG* status) {
    const wchar_t* objectName = name;
    size_t objectLength = nameLength;
    if (!root) {
      if (!ToNtPath(name, nameLength, ntPath_)) {
        Fail(kStatusNameInvalid, status);
        return false;
      }
      objectName = ntPath_;
      objectLength = TextLength(ntPath_);
    }
    if (objectLength > 0x7FFF / sizeof(wchar_t) * sizeof(wchar_t)) {
      Fail(kStatusNameInvalid, status);
      return false;
    }
    unicodeName_.Buffer = const_cast<wchar_t*>(objectName);
    unicodeName_.Length = static_cast<USHORT>(objectLength * sizeof(wchar_t));
    unicodeName_.MaximumLength = unicodeName_.Length;
    attributes_.Length = sizeof attributes_;
    attributes_.RootDirectory = root;
    attributes_.ObjectName = &unicodeName_;
    attributes_.Attributes = kCaseInsensitive;
    attributes_.SecurityDescriptor = security;
    return true;
  }
  OBJECT_ATTRIBUTES* get() { return &attributes_; }

 private:
  wchar_t ntPath_[kPathCapacity + 8];
  UNICODE_STRING unicodeName_ = {};
  OBJECT_ATTRIBUTES attributes_ = {};
};

}  // namespace

FileHandle NtOpenFile(HANDLE root, const wchar_t* name, size_t nameLength, ACCESS_MASK access,
                      ULONG share, ULONG disposition, ULONG options, void* security, LONG* status,
                      ULONG attributes) {
  if (status) *status = 0;
  auto create = reinterpret_cast<NtCreateFileFunction>(
      reinterpret_cast<void*>(NtdllFunction("NtCreateFile")));
  if (!create) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return FileHandle();
  }
  ObjectName object;
  if (!object.Set(root, name, nameLength, security, status)) return FileHandle();
  IO_STATUS_BLOCK io = {};
  HANDLE handle = nullptr;
  LONG result = create(&handle, access | SYNCHRONIZE, object.get(), &io, nullptr, attributes, share,
                       disposition, options | kSynchronousIoNonAlert, nullptr, 0);
  if (result < 0) {
    Fail(result, status);
    return FileHandle();
  }
  return FileHandle(handle);
}

DWORD NtEntryAttributes(HANDLE directory, const wchar_t* name, size_t nameLength) {
  auto query = reinterpret_cast<NtQueryDirectoryFileFunction>(
      reinterpret_cast<void*>(NtdllFunction("NtQueryDirectoryFile")));
  if (!query) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return INVALID_FILE_ATTRIBUTES;
  }
  if (nameLength == 0 || nameLength >= kPathCapacity) {
    Fail(kStatusNameInvalid, nullptr);
    return INVALID_FILE_ATTRIBUTES;
  }
  UNICODE_STRING mask;
  mask.Buffer = const_cast<wchar_t*>(name);
  mask.Length = static_cast<USHORT>(nameLength * sizeof(wchar_t));
  mask.MaximumLength = mask.Length;
  DirectoryEntry entry;
  IO_STATUS_BLOCK io = {};
  LONG result = query(directory, nullptr, nullptr, nullptr, &io, &entry, sizeof entry,
                      kFileDirectoryInformation, TRUE, &mask, TRUE);
  if (result < 0) {
    Fail(result, nullptr);
    return INVALID_FILE_ATTRIBUTES;
  }
  return entry.fileAttributes;
}

bool NtRenameFile(HANDLE file, HANDLE root, const wchar_t* name, size_t nameLength, bool replace) {
  auto setInformation = reinterpret_cast<NtFileInformationFunction>(
      reinterpret_cast<void*>(NtdllFunction("NtSetInformationFile")));
  if (!setInformation) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return false;
  }
  if (nameLength >= kPathCapacity) {
    Fail(kStatusNameInvalid, nullptr);
    return false;
  }
  // FILE_RENAME_INFO has the layout of ntdll's FILE_RENAME_INFORMATION. The
  // Win32 call would first turn the name into a full path of its own.
  union {
    FILE_RENAME_INFO info;
    unsigned char bytes[sizeof(FILE_RENAME_INFO) + kPathCapacity * sizeof(wchar_t)];
  } rename = {};
  rename.info.ReplaceIfExists = replace;
  rename.info.RootDirectory = root;
  rename.info.FileNameLength = static_cast<DWORD>(nameLength * sizeof(wchar_t));
  wchar_t* target = reinterpret_cast<wchar_t*>(rename.bytes + offsetof(FILE_RENAME_INFO, FileName));
  CopyText(target, kPathCapacity, name, nameLength);
  IO_STATUS_BLOCK io = {};
  LONG result = setInformation(file, &io, &rename, sizeof rename, kFileRenameInformation);
  if (result < 0) {
    Fail(result, nullptr);
    return false;
  }
  return true;
}

uint64_t FileIdentity(HANDLE handle) {
  // GetFileInformationByHandle would need FILE_READ_ATTRIBUTES, which our
  // files are not created with.
  auto query = reinterpret_cast<NtFileInformationFunction>(
      reinterpret_cast<void*>(NtdllFunction("NtQueryInformationFile")));
  LARGE_INTEGER index = {};
  IO_STATUS_BLOCK io = {};
  if (!query || query(handle, &io, &index, sizeof index, kFileInternalInformation) < 0) return 0;
  return static_cast<uint64_t>(index.QuadPart);
}

bool ReadVolumeDevice(HANDLE handle, uint32_t* deviceType, uint32_t* characteristics) {
  auto query = reinterpret_cast<NtFileInformationFunction>(
      reinterpret_cast<void*>(NtdllFunction("NtQueryVolumeInformationFile")));
  struct { ULONG deviceType, characteristics; } device = {};  // FILE_FS_DEVICE_INFORMATION
  IO_STATUS_BLOCK io = {};
  if (!query || query(handle, &io, &device, sizeof device, kFileFsDeviceInformation) < 0) return false;
  *deviceType = device.deviceType;
  *characteristics = device.characteristics;
  return true;
}

bool IsLinkHandle(HANDLE handle) {
  FILE_ATTRIBUTE_TAG_INFO info = {};
  return GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &info, sizeof info) &&
         (info.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

bool MarkForDeletion(HANDLE handle) {
  FILE_DISPOSITION_INFO disposition = {};
  disposition.DeleteFile = TRUE;
  return SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition) !=
         FALSE;
}

void ClearAttributes(HANDLE handle) {
  const DWORD inTheWay = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
  FILE_BASIC_INFO basic = {};
  if (!GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic) ||
      !(basic.FileAttributes & inTheWay))
    return;
  // Zero times stay as they are.
  basic.CreationTime.QuadPart = basic.LastAccessTime.QuadPart = 0;
  basic.LastWriteTime.QuadPart = basic.ChangeTime.QuadPart = 0;
  basic.FileAttributes &= ~inTheWay;
  if (!basic.FileAttributes) basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
  SetFileInformationByHandle(handle, FileBasicInfo, &basic, sizeof basic);
}

bool ReadFinalPath(HANDLE handle, wchar_t (&path)[kPathCapacity]) {
  wchar_t finalPath[kPathCapacity + 8];
  DWORD length = GetFinalPathNameByHandleW(handle, finalPath, kPathCapacity + 8,
                                           FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  if (length == 0) return false;
  if (length >= kPathCapacity + 8 || !DosPathFromFinalPath(finalPath, path, kPathCapacity)) {
    path[0] = 0;
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return false;
  }
  return true;
}

bool DirectoryListing::Next() {
  constexpr size_t kBufferSize = 4096;
  for (;;) {
    if (offset_ == 0) {
      if (!buffer_.get()) buffer_.Allocate(kBufferSize);
      // The first read starts the scan over, whatever the handle read before.
      // (The classes Windows 7 knows; the "full" ones came with Windows 8.)
      FILE_INFO_BY_HANDLE_CLASS kind =
          started_ ? FileIdBothDirectoryInfo : FileIdBothDirectoryRestartInfo;
      started_ = true;
      if (!GetFileInformationByHandleEx(directory_, kind, buffer_.get(), kBufferSize)) {
        error_ = GetLastError();
        return false;
      }
    }
    const FILE_ID_BOTH_DIR_INFO* record =
        reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(buffer_.get() + offset_);
    offset_ = record->NextEntryOffset ? offset_ + record->NextEntryOffset : 0;
    size_t length = record->FileNameLength / sizeof(wchar_t);
    const wchar_t* name = record->FileName;
    if ((length == 1 && name[0] == L'.') || (length == 2 && name[0] == L'.' && name[1] == L'.'))
      continue;
    nameFits_ = length < kPathCapacity;
    nameLength_ = CopyText(name_, kPathCapacity, name, length);
    attributes_ = record->FileAttributes;
    fileId_ = static_cast<uint64_t>(record->FileId.QuadPart);
    return true;
  }
}
