#include "log/log_utility.h"

#include <windows.h>
#include <stdarg.h>
#include <stdint.h>

#include "common/format.h"
#include "common/handle.h"
#include "common/nt_file.h"
#include "common/text.h"
#include "log/log.h"
#include "log/log_access.h"
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

// The path as the file system resolves it: a relative one against the
// current directory. False when it does not fit a log path.
bool FullLogPath(const wchar_t* path, wchar_t (&full)[kPathCapacity]) {
  DWORD length = GetFullPathNameW(path, kPathCapacity, full, nullptr);
  return length > 0 && length < kPathCapacity;
}

// How an attempt on the log file ended: opened; lost (missing, in use: the
// next line tries again); or refused for the rest of the run.
enum class Reach { kOpened, kLost, kRefused };

constexpr LONG kStatusNameNotFound = static_cast<LONG>(0xC0000034);
// The link itself is opened, never what it points to.
constexpr ULONG kFileOptions = kNtNonDirectoryFile | kNtOpenReparsePoint;

// The folder that holds the log file, reached by handle, and the file's
// name in it.
struct LogFolder {
  wchar_t full[kPathCapacity];
  LogPathLevels levels;
  FileHandle handle;

  const wchar_t* fileName() const { return full + levels.names[levels.count - 1].start; }
  size_t fileNameLength() const { return levels.names[levels.count - 1].length; }
};

// Attributes of what `opened` is open on, just opened as itself as `name`
// below `folder`; INVALID_FILE_ATTRIBUTES when unknown. Asked of the handle
// and then of the folder's entry: Wine shows a link only in the entry, and
// a name re-pointed between the open and the question is refused too.
DWORD AttributesOf(HANDLE opened, HANDLE folder, const wchar_t* name, size_t nameLength) {
  FILE_ATTRIBUTE_TAG_INFO info = {};
  if (!GetFileInformationByHandleEx(opened, FileAttributeTagInfo, &info, sizeof info))
    return INVALID_FILE_ATTRIBUTES;
  DWORD byName = NtEntryAttributes(folder, name, nameLength);
  if (byName == INVALID_FILE_ATTRIBUTES) return byName;
  return info.FileAttributes | (byName & FILE_ATTRIBUTE_REPARSE_POINT);
}

// Our log file is a plain file with one name: a link would aim our writes
// and renames elsewhere, and a second name would be another folder's file
// whose content a rotation hands to this folder.
Reach JudgeFile(HANDLE file, const LogFolder& folder) {
  DWORD attributes =
      AttributesOf(file, folder.handle.get(), folder.fileName(), folder.fileNameLength());
  FILE_STANDARD_INFO standard = {};
  if (attributes == INVALID_FILE_ATTRIBUTES ||
      !GetFileInformationByHandleEx(file, FileStandardInfo, &standard, sizeof standard))
    return Reach::kLost;
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) || standard.NumberOfLinks != 1)
    return Reach::kRefused;
  return Reach::kOpened;
}

// The path comes from a logtool.ini that the user can write, and we run
// elevated: a junction or symbolic link on it would aim our writes, renames
// and deletes at any file, and a path checked and then used by name can be
// re-pointed in between. So the walk opens the volume's root once and each
// folder below the one before, as itself: a link is seen on the handle the
// walk would go on through, and refused there. Missing folders are not made.
// Streams and devices are no log files. `readControl` lets the descriptor
// of the folder be read through the handle.
Reach OpenLogFolder(const wchar_t* path, bool readControl, LogFolder* folder) {
  if (!IsPlainLogPathForm(path) || !FullLogPath(path, folder->full) ||
      !IsPlainLogPathForm(folder->full) || !SplitLogPath(folder->full, &folder->levels))
    return Reach::kRefused;
  const LogPathLevels& levels = folder->levels;
  const ACCESS_MASK access =
      FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | (readControl ? READ_CONTROL : 0);
  FileHandle current = NtOpenFile(nullptr, folder->full, levels.rootLength, access, kShareAll,
                                  kNtOpen, kNtDirectoryFile);
  for (size_t i = 0; current.valid() && i + 1 < levels.count; ++i) {
    const wchar_t* name = folder->full + levels.names[i].start;
    const size_t nameLength = levels.names[i].length;
    FileHandle next = NtOpenFile(current.get(), name, nameLength, access, kShareAll, kNtOpen,
                                 kNtOpenReparsePoint);
    DWORD attributes = next.valid() ? AttributesOf(next.get(), current.get(), name, nameLength)
                                    : INVALID_FILE_ATTRIBUTES;
    if (attributes == INVALID_FILE_ATTRIBUTES) return Reach::kLost;
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return Reach::kRefused;
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) return Reach::kLost;
    current = static_cast<FileHandle&&>(next);
  }
  if (!current.valid()) return Reach::kLost;
  folder->handle = static_cast<FileHandle&&>(current);
  return Reach::kOpened;
}

// The log: one file with its level threshold and size limit, which
// LogError and LogInfo write to.
class _NCMsLogUtility {
 public:
  // `fromIni`: the path is logtool.ini's, not the built-in one.
  _NCMsLogUtility(const wchar_t* path, bool fromIni, LogLimits limits);
  ~_NCMsLogUtility();
  _NCMsLogUtility(const _NCMsLogUtility&) = delete;
  _NCMsLogUtility& operator=(const _NCMsLogUtility&) = delete;

  // Asked before a line is composed, so a line nobody keeps costs nothing.
  bool Takes(LogLevel level) const { return path_[0] && level <= limits_.level; }
  // For a line Takes(level) let through.
  void Write(LogLevel level, const wchar_t* text);

 private:
  bool ReadyFile();
  bool Settle(Reach reach);
  Reach OpenFile();
  Reach OpenIn(const LogFolder& folder);
  Reach Rotate();
  bool UserMay(HANDLE object, ACCESS_MASK access) const;
  // What lets an ini path's objects be judged through their handles.
  ACCESS_MASK ReadControl() const { return fromIni_ ? READ_CONTROL : 0; }
  bool UserMayRemove(HANDLE object, HANDLE folder) const;
  Reach ClearRotatedName(const LogFolder& folder, const wchar_t* rotated);

  _NCMsMutex mutex_;
  const LogLimits limits_;
  FileHandle file_;                // no handle while the file is not open
  wchar_t path_[kPathCapacity];    // empty: the log writes nothing
  const bool fromIni_;
  UnelevatedUser user_;            // read only for a path from the ini
  // Set when the path leads through a link, is a stream or a device, the
  // file is a link or has another name, or the unelevated user could not
  // have written it: no file for the rest of the run.
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
    const bool fromIni = ReadLogFilePath(ini, path);
    g_logUtility = new _NCMsLogUtility(path, fromIni, ReadLogLimits(ini));
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

_NCMsLogUtility::_NCMsLogUtility(const wchar_t* path, bool fromIni, LogLimits limits)
    : limits_(ClampLogLimits(limits)), fromIni_(fromIni) {
  CopyText(path_, kPathCapacity, path);
  if (fromIni_ && path_[0]) user_.Read();
}

_NCMsLogUtility::~_NCMsLogUtility() {
  ScopedLock lock(mutex_);
  file_.reset();
}

// Any refusal turns the file off for the run; the line still reaches the
// debugger. True when the file is open.
bool _NCMsLogUtility::Settle(Reach reach) {
  if (reach == Reach::kRefused) fileRefused_ = true;
  return reach == Reach::kOpened;
}

// Always true for the built-in path.
bool _NCMsLogUtility::UserMay(HANDLE object, ACCESS_MASK access) const {
  return !fromIni_ || MayUseLogFile(user_.elevated(), true, user_.May(object, access));
}

// A name goes with DELETE on the file or with deleting children of its folder.
bool _NCMsLogUtility::UserMayRemove(HANDLE object, HANDLE folder) const {
  return UserMay(object, DELETE) || UserMay(folder, FILE_DELETE_CHILD);
}

Reach _NCMsLogUtility::OpenFile() {
  LogFolder folder;
  Reach reach = OpenLogFolder(path_, fromIni_, &folder);
  return reach == Reach::kOpened ? OpenIn(folder) : reach;
}

// Opens the log file in the folder we hold, creating it when missing: an
// existing file where the user may append to it, a new one where the user
// may add files. Both are judged on the handles that are then used; a file
// that appears between the two opens costs this line.
Reach _NCMsLogUtility::OpenIn(const LogFolder& folder) {
  const ACCESS_MASK access = GENERIC_WRITE | FILE_READ_ATTRIBUTES | ReadControl();
  const ULONG share = FILE_SHARE_READ | FILE_SHARE_WRITE;
  LONG status = 0;
  FileHandle file = NtOpenFile(folder.handle.get(), folder.fileName(), folder.fileNameLength(),
                               access, share, kNtOpen, kFileOptions, nullptr, &status);
  bool created = false;
  if (!file.valid() && status == kStatusNameNotFound) {
    if (!UserMay(folder.handle.get(), FILE_ADD_FILE)) return Reach::kRefused;
    file = NtOpenFile(folder.handle.get(), folder.fileName(), folder.fileNameLength(), access,
                      share, kNtCreate, kFileOptions);
    created = true;
  }
  Reach reach = file.valid() ? JudgeFile(file.get(), folder) : Reach::kLost;
  if (reach != Reach::kOpened) return reach;
  if (!created && !UserMay(file.get(), FILE_APPEND_DATA)) return Reach::kRefused;
  file_ = static_cast<FileHandle&&>(file);
  SetFilePointer(file_.get(), 0, nullptr, FILE_END);
  return reach;
}

// The log moves to the ".wtx" name, replacing the one before (only one
// earlier generation is kept), and a new log is opened. Walked afresh and
// done below the folder handle: the path may lead elsewhere by now. The
// writing handle does not allow deleting, so that other writers can open
// the file as we do; the rename opens it once more, and fails like a delete
// while another process has it open: the next line tries again.
Reach _NCMsLogUtility::Rotate() {
  file_.reset();
  LogFolder folder;
  Reach reach = OpenLogFolder(path_, fromIni_, &folder);
  if (reach != Reach::kOpened) return reach;
  wchar_t rotated[kPathCapacity];
  if (ComposeRotatedPath(folder.fileName(), rotated)) {
    FileHandle old = NtOpenFile(folder.handle.get(), folder.fileName(), folder.fileNameLength(),
                                DELETE | FILE_READ_ATTRIBUTES | ReadControl(),
                                kShareAll, kNtOpen, kFileOptions);
    if (old.valid()) {
      reach = JudgeFile(old.get(), folder);
      if (reach == Reach::kRefused) return reach;
      if (reach == Reach::kOpened) {
        if (!UserMayRemove(old.get(), folder.handle.get()) ||
            !UserMay(folder.handle.get(), FILE_ADD_FILE))
          return Reach::kRefused;
        reach = ClearRotatedName(folder, rotated);
        if (reach == Reach::kRefused) return reach;
        // Not replacing: what appeared at the name since stays, and the
        // next line tries again.
        if (reach == Reach::kOpened)
          NtRenameFile(old.get(), folder.handle.get(), rotated, TextLength(rotated), false);
      }
    }
  }
  return OpenIn(folder);
}

// Deletes the earlier ".wtx" through a handle judged as the user's to
// delete. kOpened when the name is free (or freed once the last handle on it
// closes), kLost when it cannot be freed now.
Reach _NCMsLogUtility::ClearRotatedName(const LogFolder& folder, const wchar_t* rotated) {
  LONG status = 0;
  FileHandle earlier = NtOpenFile(folder.handle.get(), rotated, TextLength(rotated),
                                  DELETE | FILE_READ_ATTRIBUTES | ReadControl(),
                                  kShareAll, kNtOpen, kFileOptions, nullptr, &status);
  if (!earlier.valid()) return status == kStatusNameNotFound ? Reach::kOpened : Reach::kLost;
  if (!UserMayRemove(earlier.get(), folder.handle.get())) return Reach::kRefused;
  return MarkForDeletion(earlier.get()) ? Reach::kOpened : Reach::kLost;
}

// Opens, and rotates when past the limit. False when the line is lost; true
// with no file open when file logging is refused for this run, so that the
// debugger still gets the line.
bool _NCMsLogUtility::ReadyFile() {
  if (fileRefused_) return true;
  if (!file_.valid() && !Settle(OpenFile())) return fileRefused_;
  SetLastError(NO_ERROR);
  DWORD size = GetFileSize(file_.get(), nullptr);
  bool sizeKnown = !(size == INVALID_FILE_SIZE && GetLastError() != NO_ERROR);
  if (sizeKnown && size > limits_.maxFileSize && !Settle(Rotate())) return fileRefused_;
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

void RestartLogForTest(const wchar_t* path, LogLimits limits, bool fromIni) {
  EndLog();
  g_logUtility = new _NCMsLogUtility(path, fromIni, limits);
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
