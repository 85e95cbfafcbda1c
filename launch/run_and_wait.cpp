#include <windows.h>

#include "launch/run_and_wait.h"

#include "common/file_hash.h"
#include "common/handle.h"
#include "common/nt_file.h"
#include "common/containers.h"
#include "common/path.h"
#include "launch/child_environment.h"
#include "log/log.h"

namespace {

constexpr DWORD kPipeSize = 204800;
constexpr DWORD kNoExitCode = 0xFFFFFFFF;
// Nobody uses the child's output, but a child must never block on a full
// pipe: between short waits the pipes are emptied.
constexpr DWORD kDrainIntervalMs = 50;

// Reads and discards what the pipe holds right now, without blocking on an
// empty pipe. Bounded per call, so a child that writes without end cannot
// keep us from looking at the process again.
void DrainPipe(const KernelHandle& pipe) {
  if (!pipe.valid()) return;
  char buffer[4096];
  DWORD drained = 0;
  DWORD available = 0;
  while (drained < kPipeSize &&
         PeekNamedPipe(pipe.get(), nullptr, 0, nullptr, &available, nullptr) && available) {
    DWORD read = 0;
    DWORD wanted = available < sizeof buffer ? available : sizeof buffer;
    if (!ReadFile(pipe.get(), buffer, wanted, &read, nullptr) || read == 0) return;
    drained += read;
  }
}

// One thread, no limit on the child as a whole: wait in short steps and
// empty the pipes in between. Returns the last wait's result.
DWORD WaitForExit(HANDLE process, const KernelHandle& output, const KernelHandle& errors) {
  for (;;) {
    DWORD result = WaitForSingleObject(process, kDrainIntervalMs);
    if (result != WAIT_TIMEOUT) return result;
    DrainPipe(errors);
    DrainPipe(output);
  }
}

void LogFailedStart(const wchar_t* applicationPath, const wchar_t* commandLine, DWORD error) {
  wchar_t errorText[kErrorTextChars];
  GetSystemErrorText(error, errorText);
  LogInfo(L"setup", L"执行进程失败了,file:[%s];cmd:[%s],err:[%s]", applicationPath, commandLine,
          errorText);
}

// Whether the suspended `process` runs the file whose final path,
// read from our handle on it, is `checked`. The process's image name is the
// name its file was opened by, after every link and mount point on the way,
// fixed when it started, given here in the Win32 form that the system
// derives from it through the volume's name, as it does for our handle. The
// name of our file cannot change while we hold it (it and its folder deny
// renaming, and no folder above a file open on that volume can be renamed).
// So equal names mean: when the process was created, its name led to our
// file. Opening the process's name again to compare file IDs would not: a
// folder swapped back in the meantime (a mount point) leads that second
// open to our file. (The NT forms would do as well on Windows; Wine gives
// none for a drive its mount manager does not know.) `started` gets the
// process's image name for the log line.
bool StartedFromImage(HANDLE process, const wchar_t* checked, wchar_t (&started)[kPathCapacity]) {
  DWORD length = kPathCapacity;
  if (!QueryFullProcessImageNameW(process, 0, started, &length)) started[0] = 0;
  return TextEquals(started, checked);
}

// The process-thread attribute list that names the only handles a child
// inherits.
class HandleList {
 public:
  HandleList() = default;
  HandleList(const HandleList&) = delete;
  HandleList& operator=(const HandleList&) = delete;
  ~HandleList() {
    if (list_) DeleteProcThreadAttributeList(list_);
  }
  // `handles` must stay in place until the child has started.
  bool Set(HANDLE* handles, size_t count) {
    SIZE_T size = sizeof storage_;
    auto list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage_);
    if (!InitializeProcThreadAttributeList(list, 1, 0, &size)) return false;
    list_ = list;
    return UpdateProcThreadAttribute(list_, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles,
                                     count * sizeof(HANDLE), nullptr, nullptr) != FALSE;
  }
  LPPROC_THREAD_ATTRIBUTE_LIST get() const { return list_; }

 private:
  // One attribute needs far less than this on every system we run on.
  alignas(8) unsigned char storage_[256];
  LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
};

// What the child gets besides its command line. `checked`, when given, is
// the final path of the file checked: the process must have started from
// it. `installerTemp`, when given, is its TEMP and TMP.
struct ChildStart {
  const wchar_t* currentDirectory;  // null: ours
  const wchar_t* checked;
  const wchar_t* installerTemp;
};

// The environment the child gets: ours, without what loads code into it.
bool BuildChildEnvironment(const wchar_t* installerTemp, WideString& block) {
  wchar_t* ours = GetEnvironmentStringsW();
  if (!ours) return false;
  EnvironmentSetting settings[] = {{L"NoDefaultCurrentDirectoryInExePath", L"1"},
                                   {L"TEMP", installerTemp},
                                   {L"TMP", installerTemp}};
  BuildInstallerEnvironment(ours, settings, installerTemp ? 3 : 1, block);
  FreeEnvironmentStringsW(ours);
  return true;
}

// Everything up to the exit code; all handles are closed when it returns.
// `startPath` is what is started, `applicationPath` what the log lines name.
// `ran`, when given, tells whether the child started.
DWORD RunChild(const wchar_t* applicationPath, const wchar_t* startPath, wchar_t* commandLine,
               const ChildStart& how, bool* ran) {
  // Our read ends stay ours. The child gets the two write ends and, as its
  // standard input, nothing: its own output must not come back to it, and a
  // read of a missing input ends at once.
  KernelHandle outputRead, outputWrite, errorRead, errorWrite;
  STARTUPINFOEXW startup = {};
  startup.StartupInfo.cb = sizeof startup;
  HANDLE inherited[2] = {};
  HandleList handleList;
  bool redirected = CreatePipe(outputRead.receive(), outputWrite.receive(), nullptr, kPipeSize) &&
                    CreatePipe(errorRead.receive(), errorWrite.receive(), nullptr, kPipeSize) &&
                    SetHandleInformation(outputWrite.get(), HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT) &&
                    SetHandleInformation(errorWrite.get(), HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
  if (redirected) {
    inherited[0] = outputWrite.get();
    inherited[1] = errorWrite.get();
    // Without the list, every inheritable handle we were given would pass on.
    redirected = handleList.Set(inherited, 2);
  }
  DWORD creationFlags = GetPriorityClass(GetCurrentProcess()) | CREATE_SUSPENDED | CREATE_UNICODE_ENVIRONMENT;
  if (redirected) {
    startup.StartupInfo.dwFlags |= STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = nullptr;
    startup.StartupInfo.hStdOutput = outputWrite.get();
    startup.StartupInfo.hStdError = errorWrite.get();
    startup.lpAttributeList = handleList.get();
    creationFlags |= EXTENDED_STARTUPINFO_PRESENT;
  }

  WideString environment;
  if (!BuildChildEnvironment(how.installerTemp, environment)) {
    if (ran) *ran = false;
    LogFailedStart(applicationPath, commandLine, GetLastError());
    return kNoExitCode;
  }
  PROCESS_INFORMATION started = {};
  BOOL ok = CreateProcessW(startPath, commandLine, nullptr, nullptr, redirected, creationFlags,
                           environment.data(), how.currentDirectory, &startup.StartupInfo, &started);
  DWORD startError = GetLastError();
  ProcessInformation child;
  if (ok) child.Take(started);
  // Only the child holds the write ends now.
  outputWrite.reset();
  errorWrite.reset();

  if (!ok) {
    if (ran) *ran = false;
    LogFailedStart(applicationPath, commandLine, startError);
    return kNoExitCode;
  }
  // A child that must not run is ended before it ever ran.
  auto endSuspended = [&] {
    TerminateProcess(child.process.get(), kNoExitCode);
    WaitForSingleObject(child.process.get(), INFINITE);
    if (ran) *ran = false;
    return kNoExitCode;
  };
  wchar_t image[kPathCapacity];
  if (how.checked && !StartedFromImage(child.process.get(), how.checked, image)) {
    LogError(L"setup", L"[%s] started as [%s], not as the file checked: ended", applicationPath, image);
    return endSuspended();
  }
  // Left suspended, it would be waited for without end.
  if (ResumeThread(child.thread.get()) == static_cast<DWORD>(-1)) {
    LogFailedStart(applicationPath, commandLine, GetLastError());
    return endSuspended();
  }
  if (ran) *ran = true;

  DWORD waitResult = WaitForExit(child.process.get(), outputRead, errorRead);
  if (waitResult != WAIT_OBJECT_0) {
    TerminateProcess(child.process.get(), kNoExitCode);
    LogInfo(L"setup", L"Execute TerminateProcess(%s), as %d", applicationPath,
            static_cast<int>(waitResult));
  }
  DWORD exitCode = kNoExitCode;
  if (!GetExitCodeProcess(child.process.get(), &exitCode)) exitCode = kNoExitCode;
  return exitCode;
}

}  // namespace

// Every attempt ends with this line, whether anything started or not.
uint32_t LogInstallerResult(uint32_t exitCode) {
  LogInfo(L"setup", L"进程执行结果:[%x]", static_cast<unsigned>(exitCode));
  return exitCode;
}

void (*installerCheckedForTest)() = nullptr;
const wchar_t* startPathForTest = nullptr;

uint32_t RunAndWait(const wchar_t* applicationPath, wchar_t* commandLine, bool* started) {
  if (started) *started = false;
  if (!applicationPath) return kNoExitCode;
  return LogInstallerResult(RunChild(applicationPath, applicationPath, commandLine, ChildStart{}, started));
}

uint32_t RunExtractedAndWait(void* folder, const wchar_t* installerName, const wchar_t* installerPath,
                             wchar_t* commandLine, const Sha256Digest* expected,
                             const wchar_t* foreignEntry, bool inItsFolder, const wchar_t* installerTemp,
                             bool* started) {
  if (started) *started = false;
  if (!installerPath) return kNoExitCode;
  if (foreignEntry) {
    LogError(L"setup", L"[%s] was not extracted by this run: [%s] not started", foreignEntry,
             installerPath);
    return LogInstallerResult(kNoExitCode);
  }
  // Read access shared only for reading: nobody may write, rename or delete
  // the image from the check until the child has ended.
  FileHandle image = NtOpenFile(folder, installerName, TextLength(installerName), GENERIC_READ,
                                FILE_SHARE_READ, kNtOpen, kNtNonDirectoryFile | kNtOpenReparsePoint);
  // What is started is named from the handles: a path with no link in it,
  // whose folders cannot be renamed while files below them are open.
  wchar_t folderPath[kPathCapacity], startPath[kPathCapacity];
  if (!image.valid() || !ReadFinalPath(folder, folderPath) || !ReadFinalPath(image.get(), startPath)) {
    LogFailedStart(installerPath, commandLine, GetLastError());
    return LogInstallerResult(kNoExitCode);
  }
  Sha256Digest actual;
  if (!expected || IsLinkHandle(image.get()) || !IsDirectlyInside(startPath, folderPath) ||
      !HashFileContents(image.get(), &actual) || !(actual == *expected)) {
    LogError(L"setup", L"[%s] is not the installer this run extracted: not started", installerPath);
    return LogInstallerResult(kNoExitCode);
  }
  // A server may answer the start with other bytes than it gave the hash.
  if (IsNetworkPath(startPath)) {
    LogError(L"setup", L"[%s] is on a network share: not started", installerPath);
    return LogInstallerResult(kNoExitCode);
  }
  if (installerCheckedForTest) installerCheckedForTest();
  const ChildStart how = {inItsFolder ? folderPath : nullptr, startPath, installerTemp};
  return LogInstallerResult(
      RunChild(installerPath, startPathForTest ? startPathForTest : startPath, commandLine, how, started));
}

wchar_t* GetSystemErrorText(unsigned long error, wchar_t (&out)[kErrorTextChars]) {
  wchar_t* text = nullptr;
  // Without an argument array, inserts such as "%1" must stay as they are:
  // expanding them would read arguments that do not exist.
  DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                    FORMAT_MESSAGE_ARGUMENT_ARRAY | FORMAT_MESSAGE_IGNORE_INSERTS,
                                nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  LocalMemory owned(text);
  ShapeSystemMessage(out, length ? text : nullptr, length);
  return out;
}
