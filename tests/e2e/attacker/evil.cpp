// The attacker's payload: proves it ran by writing the marker file.
#include <windows.h>

#include "tests/e2e/attacker/marker.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  WriteMarker("evil.exe");
  return 0;
}
