// The process exit code. By default it says how far the run got; a publisher
// whose installer is pushed by deployment tools can have it packed to say
// what those tools read: setup.exe's own code, or a failure code when
// setup.exe never ran. Pure: no <windows.h>.
#pragma once
#include <stdint.h>

// ERROR_INSTALL_FAILURE: what deployment tools take for a failed installation.
constexpr uint32_t kInstallerNotRunExitCode = 1603;

struct InstallerResult {
  bool started = false;  // setup.exe ran (whatever it then returned)
  uint32_t exitCode = 0;
};

// `sealOptions` as the image's seal carries them (0 when it carries none).
// Without kSealOptionInstallerExitCode: 1 once the archive was checked out,
// 0 before. With it: setup.exe's code when it ran, else
// kInstallerNotRunExitCode.
int ChooseExitCode(uint32_t sealOptions, bool checkedOut, const InstallerResult& installer);
