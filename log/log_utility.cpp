#include "log/log_utility.h"

#include <stdarg.h>

#include "common/format.h"
#include "common/text.h"
#include "log/log.h"
#include "log/log_config.h"

_NCMsLogUtility* g_logUtility = nullptr;

namespace {

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
bool FullLogPath(const wchar_t* path, wchar_t (&full)[kLogPathChars]) {
  DWORD length = GetFullPathNameW(path, kLogPathChars, full, nullptr);
  return length > 0 && length < kLogPathChars;
}

// The path comes from a logtool.ini that the user can write, and we run
// elevated: a junction or symbolic link on it would aim our writes, copies
// and deletes at any file. True only when no directory on the path and not
// the file itself is a reparse point (missing ones are not).
bool FollowsNoLink(const wchar_t* fullPath) {
  PathPrefixes prefixes;
  if (!SplitDirectoryPrefixes(fullPath, &prefixes)) return false;
  wchar_t name[kLogPathChars];
  for (size_t i = 0; i <= prefixes.count; ++i) {
    // The directories, shortest first, then the file itself.
    CopyText(name, kLogPathChars, fullPath, i < prefixes.count ? prefixes.lengths[i] : kLogPathChars);
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

void DestroyLogUtilityAtExit() {
  delete g_logUtility;  // the destructor clears g_logUtility
}

// Runs before wWinMain: the utility exists from start-up, and its exit step
// is registered exactly once, here.
struct LogUtilityStartup {
  LogUtilityStartup() {
    EnsureLogUtility();
    atexit(DestroyLogUtilityAtExit);
  }
} logUtilityStartup;

}  // namespace

_NCMsModuleLog::_NCMsModuleLog(uint32_t level, uint32_t maxFileSize)
    : level(level), maxFileSize(maxFileSize) {
  file.reset(INVALID_HANDLE_VALUE);
  ReadLogFilePath(path);
}

_NCMsModuleLog::~_NCMsModuleLog() {
  ScopedLock lock(*this);
  file.reset(INVALID_HANDLE_VALUE);
}

void _NCMsModuleLog::SetLevelName(uint32_t level) {
  CopyText(levelName, 4, LogLevelName(level));
}

bool _NCMsModuleLog::OpenFile() {
  wchar_t full[kLogPathChars];
  if (!FullLogPath(path, full) || !FollowsNoLink(full)) {
    fileRefused = true;
    return false;
  }
  // A link planted at the file after the check is opened as itself, not
  // followed, and then refused by what the handle reports.
  file.reset(CreateFileW(full, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                         nullptr));
  if (!file.valid()) return false;
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(file.get(), &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    file.reset(INVALID_HANDLE_VALUE);
    fileRefused = true;
    return false;
  }
  SetFilePointer(file.get(), 0, nullptr, FILE_END);
  return true;
}

// Copies and deletes by name, so both names are checked again first. The old
// ".wtx" is deleted before the copy, which then only creates a new file and
// never writes through whatever was put in its place meanwhile.
bool _NCMsModuleLog::Rotate() {
  file.reset(INVALID_HANDLE_VALUE);
  wchar_t full[kLogPathChars];
  wchar_t rotated[kLogPathChars];
  if (!FullLogPath(path, full)) {
    fileRefused = true;
    return false;
  }
  // Only one earlier generation is kept: the ".wtx" file is replaced.
  if (!ComposeRotatedPath(full, rotated)) return true;
  if (!FollowsNoLink(full) || !FollowsNoLink(rotated)) {
    fileRefused = true;
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
bool _NCMsModuleLog::ReadyFile() {
  if (fileRefused) return true;
  if (!file.valid() && !OpenFile()) return fileRefused;
  SetLastError(NO_ERROR);
  DWORD size = GetFileSize(file.get(), nullptr);
  bool sizeKnown = !(size == INVALID_FILE_SIZE && GetLastError() != NO_ERROR);
  if (sizeKnown && size > maxFileSize && (!Rotate() || !OpenFile())) return fileRefused;
  return true;
}

void _NCMsModuleLog::Write(LogLevel lineLevel, const wchar_t* text) {
  ScopedLock lock(*this);
  if (!path[0]) return;
  if (!ReadyFile()) return;

  SetLevelName(lineLevel);
  wchar_t message[kLogMessageChars];
  CopyText(message, kLogMessageChars, text);

  wchar_t line[kLogLineChars];
  size_t length = ComposeLogLine(line, CurrentStamp(), levelName, message);

  if (file.valid()) {
    char bytes[kLogLineChars] = {};
    int byteCount = ToAnsi(line, length, bytes);
    DWORD written = 0;
    WriteFile(file.get(), bytes, static_cast<DWORD>(byteCount), &written, nullptr);
  }
  OutputDebugStringW(line);
}

_NCMsLogUtility::_NCMsLogUtility() : channel(kDefaultLogLevel, kDefaultMaxFileSize) {
  LogLimits limits = ReadLogLimits();
  level = limits.level;
  maxFileSize = limits.maxFileSize;
}

_NCMsLogUtility::~_NCMsLogUtility() { g_logUtility = nullptr; }

void _NCMsLogUtility::Error(const wchar_t* text) {
  if (channel.level >= kLogError) channel.Write(kLogError, text);
}

void _NCMsLogUtility::Info(const wchar_t* text) {
  if (channel.level >= kLogInfo) channel.Write(kLogInfo, text);
}

// Our operator new ends the process when memory runs out, so a new utility
// is never null.
void EnsureLogUtility() {
  if (g_logUtility) return;
  g_logUtility = new _NCMsLogUtility();
  ApplyLogLimits();
}

void ApplyLogLimits() {
  _NCMsLogUtility* utility = g_logUtility;
  LogLimits limits = ClampLogLimits({utility->level, utility->maxFileSize});
  utility->level = limits.level;
  utility->maxFileSize = limits.maxFileSize;
  ScopedLock lock(utility->channel);
  utility->channel.level = utility->level;
  utility->channel.maxFileSize = utility->maxFileSize;
}

namespace {

// The common part of LogError and LogInfo: compose, then hand the text over
// as text (it is not formatted a second time).
void LogThroughUtility(void (_NCMsLogUtility::*write)(const wchar_t*), const wchar_t* tag,
                       const wchar_t* format, va_list args) {
  wchar_t text[kLogTextChars] = {};
  ComposeText(text, tag, format, args);
  EnsureLogUtility();
  (g_logUtility->*write)(text);
}

}  // namespace

void LogError(const wchar_t* tag, const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  LogThroughUtility(&_NCMsLogUtility::Error, tag, format, args);
  va_end(args);
}

void LogInfo(const wchar_t* tag, const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  LogThroughUtility(&_NCMsLogUtility::Info, tag, format, args);
  va_end(args);
}

void LogDebug(const wchar_t* tag, const wchar_t* format, ...) {
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
