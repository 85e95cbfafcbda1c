// Text of the log: line layout, level names, limits and path composition.
// Pure functions over fixed buffers; no Win32 calls.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "common/path.h"

constexpr size_t kLogTextChars = 1024;     // composed text of one call
constexpr size_t kLogMessageChars = 984;   // message part of a file line
constexpr size_t kLogLineChars = 1024;     // one formatted line
constexpr size_t kLogLineOutputMax = 1018; // characters of a line, "\r\n" included

// The level of a line. The configured LogLevel is a threshold on these: a
// line is written when its level is at most the threshold.
enum LogLevel : uint32_t { kLogError = 1, kLogWarning = 2, kLogInfo = 3, kLogDebug = 4 };

constexpr uint32_t kDefaultLogLevel = kLogInfo;
constexpr uint32_t kDefaultMaxFileSize = 5242880;
constexpr uint32_t kMaxLogLevel = 9;
constexpr uint32_t kMinFileSizeLimit = 102400;
constexpr uint32_t kMaxFileSizeLimit = 10485760;

// Who writes and when; the fields of the line header.
struct LogStamp {
  uint32_t processId = 0;
  uint32_t threadId = 0;
  unsigned year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, milliseconds = 0;
};

struct LogLimits {
  uint32_t level;
  uint32_t maxFileSize;
};

// "ERR", "WAR", "INF", "DBG"; "???" for any other level.
const wchar_t* LogLevelName(uint32_t level);

LogLimits ClampLogLimits(LogLimits limits);

// "[tag     ]:" (padded to 8, never cut). Returns characters written.
size_t ComposeTagPrefix(wchar_t* out, size_t capacity, const wchar_t* tag);

// A file line: "[pid]yyyy-mm-dd hh:mm:ss:mmm: [tid][LVL]message\r\n", at most
// kLogLineOutputMax characters; a cut line still ends in "\r\n".
size_t ComposeLogLine(wchar_t (&line)[kLogLineChars], const LogStamp& stamp,
                      const wchar_t* levelName, const wchar_t* message);

// The header of a debugger-only line: "[pid]... [tid][DBG][tag]:".
size_t ComposeDebugPrefix(wchar_t* out, size_t capacity, const LogStamp& stamp, const wchar_t* tag);

// Rotated file name: the path cut at its last '.', then ".wtx". False (and an
// empty name) when it does not fit.
bool ComposeRotatedPath(const wchar_t* path, wchar_t (&rotated)[kPathCapacity]);

// The log file path from the configured "OutFilePath" value: empty selects
// the default, "none" switches file logging off (empty result), anything else
// is cut at its last '.' and gets ".log". A path that would not fit in 259
// characters also switches file logging off rather than naming another file.
void ComposeLogFilePath(const wchar_t* configured, wchar_t (&path)[kPathCapacity]);

// "logtool.ini" in the directory of the executable at modulePath (the text up
// to and including its last backslash). Returns false when it does not fit.
bool ComposeIniPath(const wchar_t* modulePath, wchar_t* out, size_t capacity);

// Whether a log path has a form we write to: no ':' but the drive's (a
// stream would let an existing file of any name be created or written
// beside our lines), no device form ("\\.\", "\\?\", "\??\") and no
// reserved DOS name (CON, NUL, COM1, ... with or without an extension) as
// its last name, which the system turns into a device.
bool IsPlainLogPathForm(const wchar_t* path);

// What the user who started the run, without elevation (the token's linked
// token), would be allowed to do to the log file or its folder.
enum class UserAnswer { kNoLinkedToken, kAllowed, kDenied, kUnknown };

// Whether the run may write a log file where `answer` says. A path from
// logtool.ini is the user's choice, so an elevated run goes only where the
// user could have gone; the built-in path, and every path where there is no
// unelevated user to ask (UAC off, SYSTEM), are used as they are.
bool MayUseLogFile(bool elevated, bool fromIni, UserAnswer answer);

// A full path cut into what a walk by handle opens: the root, opened once by
// name ("C:\", "\\server\share\"), then each name below it, every folder
// opened relative to the one before and the file relative to the last.
// "C:\a\b\t.log" gives the root "C:\" and the names "a", "b", "t.log".
struct LogPathLevels {
  struct Name {
    size_t start, length;
  };
  size_t rootLength = 0;
  size_t count = 0;  // the file's name is the last
  Name names[kPathCapacity / 2];
};

// False for a path that cannot be walked: not a full drive or UNC path
// (relative, device or "\\?\" forms), longer than a log path, ending in a
// separator, or holding a "." or ".." name.
bool SplitLogPath(const wchar_t* fullPath, LogPathLevels* levels);
