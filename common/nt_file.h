// Opening and creating files through ntdll's NtCreateFile, which can name a
// file relative to a directory handle we hold. A path that is resolved
// again from the top can be redirected by whoever controls a folder on it
// (the user decides what %TEMP% is); a name resolved below our own handle
// cannot. Looked up at run time, so the stub imports nothing more.
#pragma once
#include <windows.h>

#include "common/handle.h"

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
// its Win32 code.
FileHandle NtOpenFile(HANDLE root, const wchar_t* name, size_t nameLength, ACCESS_MASK access,
                      ULONG share, ULONG disposition, ULONG options, void* security = nullptr,
                      LONG* status = nullptr);

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
