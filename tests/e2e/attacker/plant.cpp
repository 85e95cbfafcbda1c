// A DLL planted beside setup.exe: proves it was loaded by writing the marker.
#include <windows.h>

#include "tests/e2e/attacker/marker.h"

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) WriteMarker("plant.dll");
  return TRUE;
}
