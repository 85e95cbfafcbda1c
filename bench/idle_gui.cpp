// The baseline of the working-set figures: a GUI program linked as the stub
// is (static, no C++ runtime use) that does nothing for half a second.
#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  Sleep(500);
  return 0;
}
