// Owning wrappers for Win32 handles: each kind is closed by exactly one
// function, on every path, and closing never disturbs the caller's last error.
#pragma once
#include <windows.h>

// A move-only owner of one value that must be released exactly once.
// Traits says which values mean "nothing" and how a value is released.
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
    value_ = T();
    return value;
  }
  void reset(T value = T()) {
    if (valid()) {
      DWORD lastError = GetLastError();
      Traits::Release(value_);
      SetLastError(lastError);
    }
    value_ = value;
  }

 private:
  T value_ = T();
};

// Null and INVALID_HANDLE_VALUE both mean "no handle": Win32 uses either.
template <BOOL(WINAPI* CloseFunction)(HANDLE)>
struct HandleTraits {
  static bool IsValid(HANDLE handle) { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }
  static void Release(HANDLE handle) { CloseFunction(handle); }
};

template <BOOL(WINAPI* CloseFunction)(HANDLE)>
using UniqueHandle = UniqueValue<HANDLE, HandleTraits<CloseFunction>>;

using FileHandle = UniqueHandle<CloseHandle>;   // files, pipes, processes, threads
using FindHandle = UniqueHandle<FindClose>;     // FindFirstFileW searches

// PROCESS_INFORMATION owns two handles; both go with it.
struct ProcessInformation {
  FileHandle process;
  FileHandle thread;
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
  static bool IsValid(void* memory) { return memory != nullptr; }
  static void Release(void* memory) { LocalFree(memory); }
};
using LocalMemory = UniqueValue<void*, LocalMemoryTraits>;
