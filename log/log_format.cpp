#include "log/log_format.h"

#include "common/format.h"
#include "common/path.h"
#include "common/text.h"

const wchar_t* LogLevelName(uint32_t level) {
  switch (level) {
    case kLogError: return L"ERR";
    case kLogWarning: return L"WAR";
    case kLogInfo: return L"INF";
    case kLogDebug: return L"DBG";
    default: return L"???";
  }
}

LogLimits ClampLogLimits(LogLimits limits) {
  if (limits.level > kMaxLogLevel) limits.level = kMaxLogLevel;
  if (limits.maxFileSize <= kMinFileSizeLimit)
    limits.maxFileSize = kMinFileSizeLimit;
  else if (limits.maxFileSize >= kMaxFileSizeLimit)
    limits.maxFileSize = kMaxFileSizeLimit;
  return limits;
}

size_t ComposeTagPrefix(wchar_t* out, size_t capacity, const wchar_t* tag) {
  return FormatText(out, capacity, L"[%-8s]:", tag);
}

static size_t ComposeStamp(wchar_t* out, size_t capacity, const LogStamp& stamp) {
  return FormatText(out, capacity, L"[%4d]%4d-%02d-%02d %02d:%02d:%02d:%03d: [%4d]",
                    static_cast<int>(stamp.processId), stamp.year, stamp.month, stamp.day,
                    stamp.hour, stamp.minute, stamp.second, stamp.milliseconds,
                    static_cast<int>(stamp.threadId));
}

size_t ComposeLogLine(wchar_t (&line)[kLogLineChars], const LogStamp& stamp,
                      const wchar_t* levelName, const wchar_t* message) {
  // Leave room for "\r\n" so that a cut line still ends a line.
  const size_t bodyCapacity = kLogLineOutputMax - 2 + 1;
  size_t length = ComposeStamp(line, bodyCapacity, stamp);
  length += FormatText(line + length, bodyCapacity - length, L"[%s]%s", levelName, message);
  line[length++] = L'\r';
  line[length++] = L'\n';
  line[length] = 0;
  return length;
}

size_t ComposeDebugPrefix(wchar_t* out, size_t capacity, const LogStamp& stamp, const wchar_t* tag) {
  size_t length = ComposeStamp(out, capacity, stamp);
  return length +
         FormatText(out + length, capacity - length, L"[%s][%s]:", LogLevelName(kLogDebug), tag);
}

bool ComposeRotatedPath(const wchar_t* path, wchar_t (&rotated)[kPathCapacity]) {
  size_t stem = StemLength(path);
  rotated[0] = 0;
  if (stem + 4 >= kPathCapacity) return false;
  CopyText(rotated, kPathCapacity, path, stem);
  AppendText(rotated, kPathCapacity, L".wtx");
  return true;
}

void ComposeLogFilePath(const wchar_t* configured, wchar_t (&path)[kPathCapacity]) {
  path[0] = 0;
  if (!configured || !configured[0]) {
    CopyText(path, kPathCapacity, L"C:\\plomet_setup.log");
    return;
  }
  if (TextEquals(configured, L"none")) return;
  size_t stem = StemLength(configured);
  if (stem + 4 >= kPathCapacity) return;
  CopyText(path, kPathCapacity, configured, stem);
  AppendText(path, kPathCapacity, L".log");
}

bool ComposeIniPath(const wchar_t* modulePath, wchar_t* out, size_t capacity) {
  if (capacity == 0) return false;
  out[0] = 0;
  ptrdiff_t slash = FindLast(modulePath, L'\\');
  size_t directory = slash >= 0 ? static_cast<size_t>(slash) + 1 : 0;
  const size_t name = 11;  // "logtool.ini"
  if (directory + name >= capacity) return false;
  CopyText(out, capacity, modulePath, directory);
  AppendText(out, capacity, L"logtool.ini");
  return true;
}

// Length of the root of a full path, or 0 when it has none we can check.
static size_t RootLength(const wchar_t* path) {
  auto isLetter = [](wchar_t c) { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'); };
  if (isLetter(path[0]) && path[1] == L':' && IsPathSeparator(path[2])) return 3;
  if (!IsPathSeparator(path[0]) || !IsPathSeparator(path[1])) return 0;
  // "\\?\" and "\\.\" reach the object namespace directly.
  if (path[2] == L'?' || path[2] == L'.') return 0;
  size_t at = 2;
  for (int part = 0; part < 2; ++part) {  // server, then share
    size_t start = at;
    while (path[at] && !IsPathSeparator(path[at])) ++at;
    if (at == start || !path[at]) return 0;
    ++at;
  }
  return at;
}

bool SplitLogPath(const wchar_t* fullPath, LogPathLevels* levels) {
  levels->count = 0;
  levels->rootLength = fullPath ? RootLength(fullPath) : 0;
  size_t length = TextLength(fullPath);
  if (levels->rootLength == 0 || length >= kPathCapacity) return false;
  size_t at = levels->rootLength;
  while (at < length) {
    size_t start = at;
    while (at < length && !IsPathSeparator(fullPath[at])) ++at;
    size_t nameLength = at - start;
    // A doubled separator names nothing; a relative open cannot climb.
    if (nameLength > 0) {
      bool dots = fullPath[start] == L'.' &&
                  (nameLength == 1 || (nameLength == 2 && fullPath[start + 1] == L'.'));
      if (dots) return false;
      levels->names[levels->count++] = {start, nameLength};
    }
    if (at < length) ++at;
  }
  // The file is the last name: a path ending in a separator names none.
  return levels->count > 0 && !IsPathSeparator(fullPath[length - 1]);
}

// The name the system takes for a device: up to its first '.' (or ':'),
// trailing blanks dropped, compared without case. COM and LPT take one
// digit, superscript one to three included.
static bool IsReservedDosName(const wchar_t* name, size_t length) {
  wchar_t base[8] = {};
  size_t n = 0;
  for (; n < length && name[n] != L'.' && name[n] != L':'; ++n) {
    if (n == 7) return false;  // longer than any reserved name
    base[n] = name[n] >= L'a' && name[n] <= L'z' ? static_cast<wchar_t>(name[n] - 32) : name[n];
  }
  while (n > 0 && base[n - 1] == L' ') base[--n] = 0;
  static const wchar_t* const kNames[] = {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"};
  for (const wchar_t* reserved : kNames)
    if (TextEquals(base, reserved)) return true;
  const wchar_t digit = base[3];
  base[3] = 0;
  return n == 4 && (TextEquals(base, L"COM") || TextEquals(base, L"LPT")) &&
         ((digit >= L'0' && digit <= L'9') || digit == 0x00B9 || digit == 0x00B2 ||
          digit == 0x00B3);
}

bool IsPlainLogPathForm(const wchar_t* path) {
  if (!path) return false;
  const size_t length = TextLength(path);
  for (size_t i = 0; i < length; ++i) {
    bool driveColon = i == 1 && ((path[0] >= L'A' && path[0] <= L'Z') ||
                                 (path[0] >= L'a' && path[0] <= L'z'));
    if (path[i] == L':' && !driveColon) return false;
  }
  // "\\.\", "\\?\" and "\??\" reach the object namespace, not a folder.
  if (length >= 4 && IsPathSeparator(path[0]) && IsPathSeparator(path[3])) {
    if (IsPathSeparator(path[1]) && (path[2] == L'.' || path[2] == L'?')) return false;
    if (path[1] == L'?' && path[2] == L'?') return false;
  }
  size_t last = length;
  while (last > 0 && !IsPathSeparator(path[last - 1]) && !(last == 2 && path[1] == L':')) --last;
  return !IsReservedDosName(path + last, length - last);
}

bool MayUseLogFile(bool elevated, bool fromIni, UserAnswer answer) {
  if (!elevated || !fromIni) return true;
  return answer == UserAnswer::kNoLinkedToken || answer == UserAnswer::kAllowed;
}
