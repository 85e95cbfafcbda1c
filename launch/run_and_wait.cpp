#include <windows.h>

#include "launch/run_and_wait.h"

#include "common/file_hash.h"
#include "common/handle.h"
#include "common/nt_file.h"
#include "common/path.h"
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

// Everything up to the exit code; all handles are closed when it returns.
// `startPath` is what is started (in `currentDirectory`, or ours when null),
// `applicationPath` what the log lines name. `ran`, when given, tells
// whether the child started.
DWORD RunChild(const wchar_t* applicationPath, const wchar_t* startPath, wchar_t* commandLine,
               const wchar_t* currentDirectory, bool* ran) {
  SECURITY_ATTRIBUTES pipeAttributes = {};
  pipeAttributes.nLength = sizeof pipeAttributes;
  pipeAttributes.lpSecurityDescriptor = nullptr;
  pipeAttributes.bInheritHandle = TRUE;

  // The child's standard output lands in the pipe that is also its standard
  // input; standard error has a pipe of its own whose read end stays here.
  KernelHandle outputRead, outputWrite, errorRead, errorWrite;
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  if (CreatePipe(outputRead.receive(), outputWrite.receive(), &pipeAttributes, kPipeSize) &&
      CreatePipe(errorRead.receive(), errorWrite.receive(), &pipeAttributes, kPipeSize) &&
      SetHandleInformation(errorRead.get(), HANDLE_FLAG_INHERIT, 0)) {
    startup.dwFlags |= STARTF_USESTDHANDLES;
    startup.hStdInput = outputRead.get();
    startup.hStdOutput = outputWrite.get();
    startup.hStdError = errorWrite.get();
  }

  DWORD creationFlags = GetPriorityClass(GetCurrentProcess());
  PROCESS_INFORMATION started = {};
  BOOL ok = CreateProcessW(startPath, commandLine, nullptr, nullptr, TRUE, creationFlags, nullptr,
                           currentDirectory, &startup, &started);
  DWORD startError = GetLastError();
  ProcessInformation child;
  if (ok) child.Take(started);
  if (ran) *ran = ok;
  // Only the child holds the write ends now.
  outputWrite.reset();
  errorWrite.reset();

  if (!ok) {
    LogFailedStart(applicationPath, commandLine, startError);
    return kNoExitCode;
  }

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

namespace {

// Every attempt ends with this line, whether anything started or not.
uint32_t LogResult(DWORD exitCode) {
  LogInfo(L"setup", L"进程执行结果:[%x]", static_cast<unsigned>(exitCode));
  return exitCode;
}

}  // namespace

void (*installerCheckedForTest)() = nullptr;

uint32_t RunAndWait(const wchar_t* applicationPath, wchar_t* commandLine, bool* started) {
  if (started) *started = false;
  if (!applicationPath) return kNoExitCode;
  return LogResult(RunChild(applicationPath, applicationPath, commandLine, nullptr, started));
}

uint32_t RunExtractedAndWait(void* folder, const wchar_t* installerName, const wchar_t* installerPath,
                             wchar_t* commandLine, const Sha256Digest* expected,
                             const wchar_t* foreignEntry, bool inItsFolder, bool* started) {
  if (started) *started = false;
  if (!installerPath) return kNoExitCode;
  if (foreignEntry) {
    LogError(L"setup", L"[%s] was not extracted by this run: [%s] not started", foreignEntry,
             installerPath);
    return LogResult(kNoExitCode);
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
    return LogResult(kNoExitCode);
  }
  Sha256Digest actual;
  if (!expected || IsLinkHandle(image.get()) || !IsDirectlyInside(startPath, folderPath) ||
      !HashFileContents(image.get(), &actual) || !(actual == *expected)) {
    LogError(L"setup", L"[%s] is not the installer this run extracted: not started", installerPath);
    return LogResult(kNoExitCode);
  }
  if (installerCheckedForTest) installerCheckedForTest();
  return LogResult(
      RunChild(installerPath, startPath, commandLine, inItsFolder ? folderPath : nullptr, started));
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
