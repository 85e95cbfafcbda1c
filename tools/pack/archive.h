// The package: zipping a directory, and checking that an archive can be installed.
#pragma once
#include <filesystem>
#include <string>

// True for an entry name that the stub runs: setup.exe at the root, in any case.
bool IsSetupAtRoot(const std::string& name);

// Throws PackError unless the file opens as a ZIP archive listing setup.exe at its root.
void CheckArchive(const std::filesystem::path& zipPath);

// How a directory package's files are compressed (a .zip package keeps its
// own methods). Lzma stores a file that it does not make smaller.
enum class Compression { Deflate, Lzma, Store };

// "deflate", "lzma" or "store"; throws PackError for anything else.
Compression ParseCompression(const std::string& name);

// Zips a directory tree in sorted order, keeping modification times and the
// read-only attribute, so that the same tree gives the same bytes on every host.
void ZipDirectory(const std::filesystem::path& directory, const std::filesystem::path& zipPath,
                  Compression compression = Compression::Deflate);
