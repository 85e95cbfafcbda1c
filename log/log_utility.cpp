#include "log/log_utility.h"

#include <windows.h>
#include <stdarg.h>
#include <stdint.h>

#include "common/format.h"
#include "common/handle.h"
#include "common/text.h"
#include "log/log.h"
#include "log/log_config.h"

namespace {

// A critical section that is entered only through ScopedLock.
class _NCMsMutex {
 public:
  _NCMsMutex() { InitializeCriticalSection(&criticalSection_); }
  ~_NCMsMutex() { DeleteCriticalSection(&criticalSection_); }
  _NCMsMutex(const _NCMsMutex&) = delete;
  _NCMsMutex& operator=(const _NCMsMutex&) = delete;

 private:
  friend class ScopedLock;
  CRITICAL_SECTION criticalSection_;
};

// Holds a _NCMsMutex for the rest of the scope.
class ScopedLock {
 public:
  explicit ScopedLock(_NCMsMutex& mutex) : section_(mutex.criticalSection_) {
    EnterCriticalSection(&section_);
  }
  ~ScopedLock() { LeaveCriticalSection(&section_); }
  ScopedLock(const ScopedLock&) = delete;
  ScopedLock& operator=(const ScopedLock&) = delete;

 private:
  CRITICAL_SECTION& section_;
};

// The log: one file with its level threshold and size limit, which
// LogError and LogInfo write to.
class _NCMsLogUtility {
 public:
  _NCMsLogUtility(const wchar_t* path, LogLimits limits);
  ~_NCMsLogUtility();
  _NCMsLogUtility(const _NCMsLogUtility&) = delete;
  _NCMsLogUtility& operator=(const _NCMsLogUtility&) = delete;

  // Asked before a line is composed, so a line nobody keeps costs nothing.
  bool Takes(LogLevel level) const { return path_[0] && level <= limits_.level; }
  // For a line Takes(level) let through.
  void Write(LogLevel level, const wchar_t* text);

 private:
  bool ReadyFile();
  bool OpenFile();
  bool Rotate();

  _NCMsMutex mutex_;
  const LogLimits limits_;
  FileHandle file_;                // no handle while the file is not open
  wchar_t path_[kPathCapacity];    // empty: the log writes nothing
  // Set when the path leads through a link: no file for the rest of the run.
  bool fileRefused_ = false;
};

_NCMsLogUtility* g_logUtility = nullptr;

LogStamp CurrentStamp() {
  SYSTEMTIME now = {};
  GetLocalTime(&now);
  LogStamp stamp;
  stamp.processId = GetCurrentProcessId();
  stamp.threadId = GetCurrentThreadId();
  stamp.year = now.wYear;
  stamp.month = now.wMonth;
  stamp.day = now.wDay;
  stamp.hour = now.wHour;
  stamp.minute = now.wMinute;
  stamp.second = now.wSecond;
  stamp.milliseconds = now.wMilliseconds;
  return stamp;
}
// Converts to the ANSI code page. When the whole line does not fit the byte
// buffer (double-byte text), as much as fits is kept and the line still ends
// in CR LF. Returns the number of bytes to write.
int ToAnsi(const wchar_t* line, size_t length, char (&bytes)[kLogLineChars]) {
  int size = WideCharToMultiByte(CP_ACP, 0, line, static_cast<int>(length), bytes,
                                 sizeof bytes - 1, nullptr, nullptr);
  if (size > 0) return size;
  int used = 0;
  char unit[8];
  for (size_t i = 0; i + 2 < length; ++i) {
    int n = WideCharToMultiByte(CP_ACP, 0, line + i, 1, unit, sizeof unit, nullptr, nullptr);
    if (n <= 0 || used + n > static_cast<int>(sizeof bytes) - 3) break;
    for (int k = 0; k < n; ++k) bytes[used++] = unit[k];
  }
  bytes[used++] = '\r';
  bytes[used++] = '\n';
  return used;
}

// The path as the file system resolves it: a relative one against the
// current directory. False when it does not fit a log path.
bool FullLogPath(const wchar_t* path, wchar_t (&full)[kPathCapacity]) {
  DWORD length = GetFullPathNameW(path, kPathCapacity, full, nullptr);
  return length > 0 && length < kPathCapacity;
}

// The path comes from a logtool.ini that the user can write, and we run
// elevated: a junction or symbolic link on it would aim our writes, copies
// and deletes at any file. True only when no directory on the path and not
// the file itself is a reparse point (missing ones are not).
bool FollowsNoLink(const wchar_t* fullPath) {
  PathPrefixes prefixes;
  if (!SplitDirectoryPrefixes(fullPath, &prefixes)) return false;
  wchar_t name[kPathCapacity];
  for (size_t i = 0; i <= prefixes.count; ++i) {
    // The directories, shortest first, then the file itself.
    CopyText(name, kPathCapacity, fullPath, i < prefixes.count ? prefixes.lengths[i] : kPathCapacity);
    DWORD attributes = GetFileAttributesW(name);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
      DWORD error = GetLastError();
      // Nothing below a missing directory exists either; any other failure
      // leaves the path unchecked.
      return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    }
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return false;
  }
  return true;
}

void ComposeText(wchar_t (&text)[kLogTextChars], const wchar_t* tag, const wchar_t* format,
                 va_list args) {
  size_t prefix = ComposeTagPrefix(text, kLogTextChars, tag);
  FormatTextV(text + prefix, kLogTextChars - prefix, format, args);
}

// Our operator new ends the process when memory runs out, so the log is
// never null once started.
_NCMsLogUtility& StartedLog() {
  if (!g_logUtility) {
    const WideString ini = GetLogIniPath();
    wchar_t path[kPathCapacity];
    ReadLogFilePath(ini, path);
    g_logUtility = new _NCMsLogUtility(path, ReadLogLimits(ini));
  }
  return *g_logUtility;
}

// The exit step. A log call after it starts the log again.
void EndLog() {
  _NCMsLogUtility* ending = g_logUtility;
  g_logUtility = nullptr;
  delete ending;
}

// Runs before wWinMain: the log exists from start-up, and its exit step is
// registered exactly once, here.
struct LogUtilityStartup {
  LogUtilityStartup() {
    StartedLog();
    atexit(EndLog);
  }
} logUtilityStartup;

_NCMsLogUtility::_NCMsLogUtility(const wchar_t* path, LogLimits limits)
    : limits_(ClampLogLimits(limits)) {
  CopyText(path_, kPathCapacity, path);
}

_NCMsLogUtility::~_NCMsLogUtility() {
  ScopedLock lock(mutex_);
  file_.reset();
}

bool _NCMsLogUtility::OpenFile() {
  wchar_t full[kPathCapacity];
  if (!FullLogPath(path_, full) || !FollowsNoLink(full)) {
    fileRefused_ = true;
    return false;
  }
  // A link planted at the file after the check is opened as itself, not
  // followed, and then refused by what the handle reports.
  file_.reset(CreateFileW(full, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                          OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                          nullptr));
  if (!file_.valid()) return false;
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(file_.get(), &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    file_.reset();
    fileRefused_ = true;
    return false;
  }
  SetFilePointer(file_.get(), 0, nullptr, FILE_END);
  return true;
}

// Copies and deletes by name, so both names are checked again first. The old
// ".wtx" is deleted before the copy, which then only creates a new file and
// never writes through whatever was put in its place meanwhile.
bool _NCMsLogUtility::Rotate() {
  file_.reset();
  wchar_t full[kPathCapacity];
  wchar_t rotated[kPathCapacity];
  if (!FullLogPath(path_, full)) {
    fileRefused_ = true;
    return false;
  }
  // Only one earlier generation is kept: the ".wtx" file is replaced.
  if (!ComposeRotatedPath(full, rotated)) return true;
  if (!FollowsNoLink(full) || !FollowsNoLink(rotated)) {
    fileRefused_ = true;
    return false;
  }
  DeleteFileW(rotated);
  CopyFileW(full, rotated, TRUE);
  DeleteFileW(full);
  return true;
}

// Opens, and rotates when past the limit. False when the line is lost; true
// with no file open when file logging is refused for this run, so that the
// debugger still gets the line.
bool _NCMsLogUtility::ReadyFile() {
  if (fileRefused_) return true;
  if (!file_.valid() && !OpenFile()) return fileRefused_;
  SetLastError(NO_ERROR);
  DWORD size = GetFileSize(file_.get(), nullptr);
  bool sizeKnown = !(size == INVALID_FILE_SIZE && GetLastError() != NO_ERROR);
  if (sizeKnown && size > limits_.maxFileSize && (!Rotate() || !OpenFile())) return fileRefused_;
  return true;
}

void _NCMsLogUtility::Write(LogLevel level, const wchar_t* text) {
  ScopedLock lock(mutex_);
  if (!ReadyFile()) return;

  wchar_t message[kLogMessageChars];
  CopyText(message, kLogMessageChars, text);

  wchar_t line[kLogLineChars];
  size_t length = ComposeLogLine(line, CurrentStamp(), LogLevelName(level), message);

  if (file_.valid()) {
    char bytes[kLogLineChars] = {};
    int byteCount = ToAnsi(line, length, bytes);
    DWORD written = 0;
    WriteFile(file_.get(), bytes, static_cast<DWORD>(byteCount), &written, nullptr);
  }
  OutputDebugStringW(line);
}

// Log calls often sit between a failing call and the caller's GetLastError:
// each entry point leaves the last error as it found it.
class LastErrorKept {
 public:
  LastErrorKept() : error_(GetLastError()) {}
  ~LastErrorKept() { SetLastError(error_); }
  LastErrorKept(const LastErrorKept&) = delete;
  LastErrorKept& operator=(const LastErrorKept&) = delete;

 private:
  DWORD error_;
};

// The common part of LogError and LogInfo: compose, then hand the text over
// as text (it is not formatted a second time).
void LogThroughUtility(LogLevel level, const wchar_t* tag, const wchar_t* format, va_list args) {
  _NCMsLogUtility& log = StartedLog();
  if (!log.Takes(level)) return;
  wchar_t text[kLogTextChars] = {};
  ComposeText(text, tag, format, args);
  log.Write(level, text);
}

}  // namespace

void RestartLogForTest(const wchar_t* path, LogLimits limits) {
  EndLog();
  g_logUtility = new _NCMsLogUtility(path, limits);
}

void LogError(const wchar_t* tag, const wchar_t* format, ...) {
  LastErrorKept kept;
  va_list args;
  va_start(args, format);
  LogThroughUtility(kLogError, tag, format, args);
  va_end(args);
}

void LogInfo(const wchar_t* tag, const wchar_t* format, ...) {
  LastErrorKept kept;
  va_list args;
  va_start(args, format);
  LogThroughUtility(kLogInfo, tag, format, args);
  va_end(args);
}
void LogDebug(const wchar_t* tag, const wchar_t* format, ...) {
  LastErrorKept kept;
  wchar_t line[kLogLineChars] = {};
  size_t prefix = ComposeDebugPrefix(line, kLogLineChars, CurrentStamp(), tag);
  va_list args;
  va_start(args, format);
  // Two units stay free so that even a cut line ends in CR LF.
  size_t body = prefix + 2 < kLogLineChars
                    ? FormatTextV(line + prefix, kLogLineChars - prefix - 2, format, args)
                    : 0;
  va_end(args);
  AppendText(line + prefix + body, kLogLineChars - prefix - body, L"\r\n");
  OutputDebugStringW(line);
}
