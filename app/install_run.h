// The installation run: extract the temporary archive, run setup.exe from the
// extraction directory, wait, and remove both again.
#pragma once
#include "app/exit_code.h"

#include <stdint.h>

class ProgressWindow;
class TempWorkspace;

// `sealOptions`: the kSealOption* bits the packer sealed (0 for none).
// `progress`, when given, counts the extraction and is closed before
// setup.exe starts.
// Returns whether setup.exe ran, and its exit code if it did.
InstallerResult RunInstallation(TempWorkspace& workspace, uint32_t sealOptions, ProgressWindow* progress);
