#include "app/install_run.h"

// Extraction, the installer and clean-up join here once those subsystems
// exist; until then the temporary archive stays behind.
void RunInstallation(const wchar_t*, const wchar_t*, const wchar_t*) {}
