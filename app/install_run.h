// The installation run: extract the temporary archive, run setup.exe from the
// extraction directory, wait, and remove both again.
#pragma once

class TempWorkspace;

void RunInstallation(TempWorkspace& workspace);
