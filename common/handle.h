// Owning wrappers for Win32 handles: each kind is closed by exactly one
// function, on every path, and closing never disturbs the caller's last error.
#pragma once
#include <windows.h>

// A move-only owner of one value that must be released exactly once.
// Traits says which value means "nothing" (Empty), which values are worth
// releasing (IsValid) and how a value is released.
template <class T, class Traits>
class UniqueValue {
 public:
  UniqueValue() = default;
  explicit UniqueValue(T value) : value_(value) {}
  ~UniqueValue() { reset(); }
  UniqueValue(const UniqueValue&) = delete;
  UniqueValue& operator=(const UniqueValue&) = delete;
  UniqueValue(UniqueValue&& other) : value_(other.release()) {}
  UniqueValue& operator=(UniqueValue&& other) {
    if (this != &other) reset(other.release());
    return *this;
  }

  bool valid() const { return Traits::IsValid(value_); }
  T get() const { return value_; }
  T* receive() { reset(); return &value_; }
  [[nodiscard]] T release() {
    T value = value_;
    value_ = Traits::Empty();
    return value;
  }
  void reset() { reset(Traits::Empty()); }
  void reset(T value) {
    if (valid()) {
      DWORD lastError = GetLastError();
      Traits::Release(value_);
      SetLastError(lastError);
    }
    value_ = value;
  }

 private:
  T value_ = Traits::Empty();
};

// Win32 says "no handle" in two ways: the file and search functions return
// INVALID_HANDLE_VALUE, everything else null. Each owner knows its own.
template <BOOL(WINAPI* CloseFunction)(HANDLE), LONG_PTR kNone>
struct HandleTraits {
  static HANDLE Empty() { return reinterpret_cast<HANDLE>(kNone); }
  static bool IsValid(HANDLE handle) { return handle != Empty(); }
  static void Release(HANDLE handle) { CloseFunction(handle); }
};

// Files and directories from CreateFileW, ReOpenFile or NtCreateFile.
using FileHandle = UniqueValue<HANDLE, HandleTraits<CloseHandle, -1>>;
// FindFirstFileW searches.
using FindHandle = UniqueValue<HANDLE, HandleTraits<FindClose, -1>>;
// Processes, threads, pipes and tokens.
using KernelHandle = UniqueValue<HANDLE, HandleTraits<CloseHandle, 0>>;

// Libraries that LoadLibraryExW mapped.
struct LibraryTraits {
  static HMODULE Empty() { return nullptr; }
  static bool IsValid(HMODULE module) { return module != nullptr; }
  static void Release(HMODULE module) { FreeLibrary(module); }
};
using LibraryHandle = UniqueValue<HMODULE, LibraryTraits>;

// PROCESS_INFORMATION owns two handles; both go with it.
struct ProcessInformation {
  KernelHandle process;
  KernelHandle thread;
  DWORD processId = 0;
  void Take(const PROCESS_INFORMATION& info) {
    process.reset(info.hProcess);
    thread.reset(info.hThread);
    processId = info.dwProcessId;
  }
};

// Memory that LocalAlloc gave us, or that an API hands over to be freed with
// LocalFree (security descriptors, SDDL strings, FormatMessageW texts).
struct LocalMemoryTraits {
  static void* Empty() { return nullptr; }
  static bool IsValid(void* memory) { return memory != nullptr; }
  static void Release(void* memory) { LocalFree(memory); }
};
using LocalMemory = UniqueValue<void*, LocalMemoryTraits>;
