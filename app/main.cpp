#include <windows.h>

#include "app/bootstrap.h"

namespace {

// The installer is started from a user's Downloads folder and runs elevated:
// DLLs loaded later must come from the system directory, never from beside
// the executable or the current directory. Looked up at run time because
// older Windows 7 systems lack the call.
void RestrictDllSearchToSystemDirectory() {
  using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);
  HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  auto restrict = reinterpret_cast<SetDefaultDllDirectoriesFunction>(
      reinterpret_cast<void*>(GetProcAddress(kernel, "SetDefaultDllDirectories")));
  if (restrict) restrict(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  RestrictDllSearchToSystemDirectory();
  return RunBootstrap();
}
