#include "app/exit_code.h"

#include "app/payload_seal.h"

int ChooseExitCode(uint32_t sealOptions, bool checkedOut, const InstallerResult& installer) {
  if (!(sealOptions & kSealOptionInstallerExitCode)) return checkedOut ? 1 : 0;
  return static_cast<int>(installer.started ? installer.exitCode : kInstallerNotRunExitCode);
}
