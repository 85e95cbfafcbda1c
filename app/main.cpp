#include <windows.h>

#include "app/bootstrap.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) { return RunBootstrap(); }
