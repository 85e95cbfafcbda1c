// The package: zipping a directory, and checking that an archive can be installed.
#pragma once
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <string>

// True for an entry name that the stub runs: setup.exe at the root, in any case.
bool IsSetupAtRoot(const std::string& name);

// Throws PackError unless the file opens as a ZIP archive listing setup.exe at its root.
void CheckArchive(const std::filesystem::path& zipPath);

// What an archive's central directory lists; no entry is inflated.
struct ArchiveListing {
  bool readable = false;  // it opens as a ZIP archive and every record reads
  uint64_t entries = 0;
  uint64_t uncompressedBytes = 0;
  bool setupAtRoot = false;
  uint16_t setupMethod = 0;  // of the last setup.exe at the root, the one the stub would run
  std::map<uint16_t, uint64_t> methods;  // compression method -> entries using it
};

// The listing of the archive held by `size` bytes at `data`.
ArchiveListing ListArchive(const uint8_t* data, size_t size);

// How a directory package's files are compressed (a .zip package keeps its
// own methods). Lzma stores a file that it does not make smaller.
enum class Compression { Deflate, Lzma, Store };

// "deflate", "lzma" or "store"; throws PackError for anything else.
Compression ParseCompression(const std::string& name);

// Zips a directory tree in sorted order, keeping modification times and the
// read-only attribute, so that the same tree gives the same bytes on every host.
void ZipDirectory(const std::filesystem::path& directory, const std::filesystem::path& zipPath,
                  Compression compression = Compression::Deflate);
