// The package: zipping a directory, and checking that an archive can be installed.
#pragma once
#include <filesystem>
#include <string>

// True for an entry name that the stub runs: setup.exe at the root, in any case.
bool IsSetupAtRoot(const std::string& name);

// Throws PackError unless the file opens as a ZIP archive listing setup.exe at its root.
void CheckArchive(const std::filesystem::path& zipPath);

// Zips a directory tree in sorted order, keeping modification times and the
// read-only attribute, so that the same tree gives the same bytes on every host.
void ZipDirectory(const std::filesystem::path& directory, const std::filesystem::path& zipPath);
