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
  file.reset(CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) return false;
  SetFilePointer(file.get(), 0, nullptr, FILE_END);
  return true;
}

void _NCMsModuleLog::Rotate() {
  file.reset(INVALID_HANDLE_VALUE);
  wchar_t rotated[kLogPathChars];
  // Only one earlier generation is kept: the ".wtx" file is overwritten.
  if (ComposeRotatedPath(path, rotated)) {
    CopyFileW(path, rotated, FALSE);
    DeleteFileW(path);
  }
}

void _NCMsModuleLog::Write(uint32_t lineLevel, const wchar_t* text) {
  ScopedLock lock(*this);
  if (!path[0]) return;
  if (!file.valid() && !OpenFile()) return;

  SetLastError(NO_ERROR);
  DWORD size = GetFileSize(file.get(), nullptr);
  bool sizeKnown = !(size == INVALID_FILE_SIZE && GetLastError() != NO_ERROR);
  if (sizeKnown && size > maxFileSize) {
    Rotate();
    if (!OpenFile()) return;
  }

  SetLevelName(lineLevel);
  wchar_t message[kLogMessageChars];
  CopyText(message, kLogMessageChars, text);

  wchar_t line[kLogLineChars];
  size_t length = ComposeLogLine(line, CurrentStamp(), levelName, message);

  char bytes[kLogLineChars] = {};
  int byteCount = ToAnsi(line, length, bytes);
  DWORD written = 0;
  WriteFile(file.get(), bytes, static_cast<DWORD>(byteCount), &written, nullptr);
  OutputDebugStringW(line);
}

_NCMsLogUtility::_NCMsLogUtility() {
  LogLimits limits = ReadLogLimits();
  level = limits.level;
  maxFileSize = limits.maxFileSize;
  channels.Append(new _NCMsModuleLog(level, maxFileSize));
}

_NCMsLogUtility::~_NCMsLogUtility() {
  ScopedLock lock(*this);
  for (_NCMsModuleLog* channel : channels) {
    {
      ScopedLock channelLock(*channel);
      channel->file.reset(INVALID_HANDLE_VALUE);
    }
    delete channel;
  }
  channels.Clear();
  g_logUtility = nullptr;
}

_NCMsModuleLog* _NCMsLogUtility::FindModuleLog() {
  ScopedLock lock(*this);
  for (_NCMsModuleLog* channel : channels)
    if (channel->selector == 0) return channel;
  _NCMsModuleLog* channel = new _NCMsModuleLog(level, maxFileSize);
  channels.Append(channel);
  return channel;
}

void _NCMsLogUtility::Error(const wchar_t* text) {
  _NCMsModuleLog* channel = FindModuleLog();
  if (channel && channel->level >= 1) channel->Write(1, text);
}

void _NCMsLogUtility::Info(const wchar_t* text) {
  _NCMsModuleLog* channel = FindModuleLog();
  if (channel && channel->level >= 3) channel->Write(3, text);
}

void EnsureLogUtility() {
  if (g_logUtility) return;
  g_logUtility = new _NCMsLogUtility();
  if (g_logUtility) ApplyLogLimits();
}

void ApplyLogLimits() {
  _NCMsLogUtility* utility = g_logUtility;
  LogLimits limits = ClampLogLimits({utility->level, utility->maxFileSize});
  utility->level = limits.level;
  utility->maxFileSize = limits.maxFileSize;
  if (_NCMsModuleLog* channel = utility->FindModuleLog()) {
    channel->level = utility->level;
    channel->maxFileSize = utility->maxFileSize;
  }
}

namespace {

// The common part of LogError and LogInfo: compose, then hand the text over
// as text (it is not formatted a second time).
void LogThroughUtility(void (_NCMsLogUtility::*write)(const wchar_t*), const wchar_t* tag,
                       const wchar_t* format, va_list args) {
  wchar_t text[kLogTextChars] = {};
  ComposeText(text, tag, format, args);
  EnsureLogUtility();
  if (g_logUtility) (g_logUtility->*write)(text);
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
