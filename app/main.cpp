#include <windows.h>

#include "app/bootstrap.h"

namespace {

FARPROC KernelFunction(const char* name) {
  return GetProcAddress(GetModuleHandleW(L"kernel32.dll"), name);
}

// The installer is started from a user's Downloads folder and runs elevated:
// images mapped from now on come neither from a remote share nor from a file
// with a low integrity label, and a DLL that System32 holds is taken from
// there. Looked up at run time because Windows 7 lacks the call. Systems
// before Windows 10 1607 refuse the whole policy for its System32 flag: they
// get the other two.
void RestrictImageLoads() {
  using SetPolicyFunction = BOOL(WINAPI*)(PROCESS_MITIGATION_POLICY, PVOID, SIZE_T);
  auto set = reinterpret_cast<SetPolicyFunction>(
      reinterpret_cast<void*>(KernelFunction("SetProcessMitigationPolicy")));
  if (!set) return;
  PROCESS_MITIGATION_IMAGE_LOAD_POLICY policy = {};
  policy.NoRemoteImages = policy.NoLowMandatoryLabelImages = policy.PreferSystem32Images = 1;
  if (set(ProcessImageLoadPolicy, &policy, sizeof policy)) return;
  policy.PreferSystem32Images = 0;
  set(ProcessImageLoadPolicy, &policy, sizeof policy);
}

// DLLs loaded later must come from the system directory, never from beside
// the executable or the current directory. Looked up at run time because
// older Windows 7 systems lack the call.
void RestrictDllSearchToSystemDirectory() {
  using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);
  auto restrict = reinterpret_cast<SetDefaultDllDirectoriesFunction>(
      reinterpret_cast<void*>(KernelFunction("SetDefaultDllDirectories")));
  if (restrict) restrict(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

}  // namespace

// Not the redirection-trust policy: the paths a user can steer (%TEMP%, the
// log path of logtool.ini) are strings the user sets outright, so a junction
// of theirs reaches nowhere a plain path could not, and our own objects are
// opened below handles we hold, links as links. Enforced, it would only
// refuse the junctions users make to move %TEMP% or Downloads elsewhere.
int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  RestrictImageLoads();
  RestrictDllSearchToSystemDirectory();
  return RunBootstrap();
}
