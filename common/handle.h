// Owning wrappers for Win32 handles: each kind is closed by exactly one
// function, on every path, and closing never disturbs the caller's last error.
#pragma once
#include <windows.h>

template <BOOL(WINAPI* CloseFunction)(HANDLE)>
class UniqueHandle {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(HANDLE handle) : handle_(handle) {}
  ~UniqueHandle() { reset(); }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  UniqueHandle(UniqueHandle&& other) : handle_(other.release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) {
    if (this != &other) reset(other.release());
    return *this;
  }

  // Null and INVALID_HANDLE_VALUE both mean "no handle": Win32 uses either.
  bool valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
  HANDLE get() const { return handle_; }
  HANDLE* receive() { reset(); return &handle_; }
  [[nodiscard]] HANDLE release() {
    HANDLE handle = handle_;
    handle_ = nullptr;
    return handle;
  }
  void reset(HANDLE handle = nullptr) {
    if (valid()) {
      DWORD lastError = GetLastError();
      CloseFunction(handle_);
      SetLastError(lastError);
    }
    handle_ = handle;
  }

 private:
  HANDLE handle_ = nullptr;
};

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
class LocalMemory {
 public:
  LocalMemory() = default;
  explicit LocalMemory(void* memory) : memory_(memory) {}
  ~LocalMemory() { reset(); }
  LocalMemory(const LocalMemory&) = delete;
  LocalMemory& operator=(const LocalMemory&) = delete;
  LocalMemory(LocalMemory&& other) : memory_(other.release()) {}
  LocalMemory& operator=(LocalMemory&& other) {
    if (this != &other) reset(other.release());
    return *this;
  }

  bool valid() const { return memory_ != nullptr; }
  void* get() const { return memory_; }
  [[nodiscard]] void* release() {
    void* memory = memory_;
    memory_ = nullptr;
    return memory;
  }
  void reset(void* memory = nullptr) {
    if (memory_) {
      DWORD lastError = GetLastError();
      LocalFree(memory_);
      SetLastError(lastError);
    }
    memory_ = memory;
  }

 private:
  void* memory_ = nullptr;
};
