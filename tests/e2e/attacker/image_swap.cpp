// A same-user process that replaces a started installer's file: it starts
// <installer> suspended, renames its file aside, copies <other> to its path
// and lets it run. Usage: image_swap.exe <installer> <other> [args...]
// Prints each step's Win32 result and returns the installer's exit code.
#include <windows.h>

#include <cstdio>
#include <string>

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) return 2;
  const std::wstring installer = argv[1], aside = installer + L".aside";
  std::wstring commandLine = L"\"" + installer + L"\"";
  for (int i = 3; i < argc; ++i) commandLine += std::wstring(L" ") + argv[i];
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process;
  if (!CreateProcessW(installer.c_str(), &commandLine[0], nullptr, nullptr, FALSE, CREATE_SUSPENDED,
                      nullptr, nullptr, &startup, &process)) {
    printf("start\t%lu\n", GetLastError());
    return 3;
  }
  BOOL moved = MoveFileW(installer.c_str(), aside.c_str());
  printf("rename\t%lu\n", moved ? 0 : GetLastError());
  BOOL copied = moved && CopyFileW(argv[2], installer.c_str(), TRUE);
  printf("copy\t%lu\n", copied ? 0 : GetLastError());
  fflush(stdout);
  ResumeThread(process.hThread);
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return int(code);
}
