// Benchmark helper: starts a program, waits for it, and prints what Windows
// says of it: its peak working set, its exit code, and the local time at its
// end (in the log's format, to line up with the debugger lines' stamps).
#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <string>

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: launcher PROGRAM [ARGS...]\n");
    return 2;
  }
  std::wstring commandLine = L"\"" + std::wstring(argv[1]) + L"\"";
  for (int i = 2; i < argc; ++i) commandLine += L" " + std::wstring(argv[i]);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(argv[1], &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &process)) {
    fprintf(stderr, "launcher: cannot start (error %lu)\n", GetLastError());
    return 2;
  }
  // Sampled while it runs: some systems (Wine) report nothing once it ended.
  SIZE_T peak = 0;
  do {
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof counters;
    if (GetProcessMemoryInfo(process.hProcess, &counters, sizeof counters) && counters.PeakWorkingSetSize > peak)
      peak = counters.PeakWorkingSetSize;
  } while (WaitForSingleObject(process.hProcess, 2) == WAIT_TIMEOUT);
  SYSTEMTIME end;
  GetLocalTime(&end);
  DWORD exitCode = 0;
  GetExitCodeProcess(process.hProcess, &exitCode);
  printf("peak_working_set=%llu exit_code=%lu end=%02d:%02d:%02d:%03d\n",
         static_cast<unsigned long long>(peak), exitCode, end.wHour, end.wMinute,
         end.wSecond, end.wMilliseconds);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return 0;
}
