// The process-wide log utility and its channels. LogError and LogInfo go
// through g_logUtility to its channel, which owns the log file.
#pragma once
#include <windows.h>
#include <stdint.h>

#include "common/handle.h"
#include "log/log_format.h"

class _NCMsMutex {
 public:
  _NCMsMutex() { InitializeCriticalSection(&criticalSection); }
  virtual ~_NCMsMutex() { DeleteCriticalSection(&criticalSection); }
  _NCMsMutex(const _NCMsMutex&) = delete;
  _NCMsMutex& operator=(const _NCMsMutex&) = delete;
  void Lock() { EnterCriticalSection(&criticalSection); }
  void Unlock() { LeaveCriticalSection(&criticalSection); }

  CRITICAL_SECTION criticalSection;
};

// Holds a _NCMsMutex for the rest of the scope.
class ScopedLock {
 public:
  explicit ScopedLock(_NCMsMutex& mutex) : mutex_(mutex) { mutex_.Lock(); }
  ~ScopedLock() { mutex_.Unlock(); }
  ScopedLock(const ScopedLock&) = delete;
  ScopedLock& operator=(const ScopedLock&) = delete;

 private:
  _NCMsMutex& mutex_;
};

// One log channel: a log file with its level threshold and size limit.
class _NCMsModuleLog : public _NCMsMutex {
 public:
  _NCMsModuleLog(uint32_t level, uint32_t maxFileSize);
  ~_NCMsModuleLog() override;

  void Write(LogLevel level, const wchar_t* text);
  void SetLevelName(uint32_t level);

  FileHandle file;  // no handle while the file is not open
  uint32_t level;
  uint32_t maxFileSize;
  wchar_t path[kLogPathChars];  // empty: the channel writes nothing
  wchar_t levelName[4] = {};
  // Set when the path leads through a link: no file for the rest of the run.
  bool fileRefused = false;

 private:
  bool ReadyFile();
  bool OpenFile();
  bool Rotate();
};

// Owns the one channel that the log writes to.
class _NCMsLogUtility {
 public:
  _NCMsLogUtility();
  ~_NCMsLogUtility();

  _NCMsModuleLog* FindModuleLog() { return &channel; }
  void Error(const wchar_t* text);
  void Info(const wchar_t* text);

  uint32_t level = kDefaultLogLevel;
  uint32_t maxFileSize = kDefaultMaxFileSize;
  _NCMsModuleLog channel;
};

extern _NCMsLogUtility* g_logUtility;

void EnsureLogUtility();
void ApplyLogLimits();
