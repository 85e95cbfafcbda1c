// The file whose existence shows that attacker code ran.
#pragma once
#include <windows.h>

inline void WriteMarker(const char* who) {
  HANDLE file = CreateFileW(L"C:\\vexlode-pwned.txt", FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(file, who, lstrlenA(who), &written, nullptr);
  WriteFile(file, "\n", 1, &written, nullptr);
  CloseHandle(file);
}
