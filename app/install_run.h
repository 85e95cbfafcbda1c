// The installation run: extract the temporary archive, run setup.exe from the
// extraction directory, wait, and remove both again.
#pragma once

void RunInstallation(const wchar_t* archiveName, const wchar_t* archivePath,
                     const wchar_t* archiveBasePath);
