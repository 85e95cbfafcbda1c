#include "common/nt_file.h"

#include <winternl.h>

#include "common/format.h"
#include "common/path.h"
#include "common/text.h"

namespace {

using NtCreateFileFunction = LONG(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES,
                                          PIO_STATUS_BLOCK, PLARGE_INTEGER, ULONG, ULONG, ULONG,
                                          ULONG, PVOID, ULONG);
using StatusToErrorFunction = ULONG(NTAPI*)(LONG);

constexpr ULONG kCaseInsensitive = 0x40;  // OBJ_CASE_INSENSITIVE, as Win32 names are
constexpr ULONG kSynchronousIoNonAlert = 0x20;
constexpr LONG kStatusNameInvalid = static_cast<LONG>(0xC0000033);

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

}  // namespace

FileHandle NtOpenFile(HANDLE root, const wchar_t* name, size_t nameLength, ACCESS_MASK access,
                      ULONG share, ULONG disposition, ULONG options, void* security, LONG* status) {
  if (status) *status = 0;
  auto create = reinterpret_cast<NtCreateFileFunction>(
      reinterpret_cast<void*>(NtdllFunction("NtCreateFile")));
  if (!create) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return FileHandle();
  }
  wchar_t ntPath[kPathCapacity + 8];
  const wchar_t* objectName = name;
  size_t objectLength = nameLength;
  if (!root) {
    if (!ToNtPath(name, nameLength, ntPath)) {
      Fail(kStatusNameInvalid, status);
      return FileHandle();
    }
    objectName = ntPath;
    objectLength = TextLength(ntPath);
  }
  if (objectLength > 0x7FFF / sizeof(wchar_t) * sizeof(wchar_t)) {
    Fail(kStatusNameInvalid, status);
    return FileHandle();
  }
  UNICODE_STRING unicodeName;
  unicodeName.Buffer = const_cast<wchar_t*>(objectName);
  unicodeName.Length = static_cast<USHORT>(objectLength * sizeof(wchar_t));
  unicodeName.MaximumLength = unicodeName.Length;
  OBJECT_ATTRIBUTES attributes = {};
  attributes.Length = sizeof attributes;
  attributes.RootDirectory = root;
  attributes.ObjectName = &unicodeName;
  attributes.Attributes = kCaseInsensitive;
  attributes.SecurityDescriptor = security;
  IO_STATUS_BLOCK io = {};
  HANDLE handle = nullptr;
  LONG result = create(&handle, access | SYNCHRONIZE, &attributes, &io, nullptr,
                       FILE_ATTRIBUTE_NORMAL, share, disposition, options | kSynchronousIoNonAlert,
                       nullptr, 0);
  if (result < 0) {
    Fail(result, status);
    return FileHandle();
  }
  return FileHandle(handle);
}
