// The installation run: extract the temporary archive, run setup.exe from the
// extraction directory, wait, and remove both again.
#pragma once
#include "app/exit_code.h"

class TempWorkspace;

// Whether setup.exe ran, and its exit code if it did.
InstallerResult RunInstallation(TempWorkspace& workspace);
