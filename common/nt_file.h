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

constexpr LONG kNtStatusNameCollision = static_cast<LONG>(0xC0000035);
