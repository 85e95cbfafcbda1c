// vexlode-pack: appends an installation package (a ZIP with setup.exe at its
// root) to the bootstrapper stub. A directory package is zipped first.
#include <minizip/unzip.h>
#include <minizip/zip.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/payload.h"

namespace fs = std::filesystem;

namespace {

struct Refusal : std::runtime_error {
  using std::runtime_error::runtime_error;
};

std::vector<uint8_t> ReadFileBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw Refusal("cannot read " + path.string());
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

uint16_t U16(const std::vector<uint8_t>& b, size_t at) { return b[at] | (b[at + 1] << 8); }
uint32_t U32(const std::vector<uint8_t>& b, size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (uint32_t(b[at + 3]) << 24);
}

// The stub must be a 32-bit PE image that ends exactly where its sections'
// raw data ends: anything after it would be taken for part of the payload.
void CheckStub(const fs::path& stubPath, const std::vector<uint8_t>& stub, bool allowX64) {
  const std::string name = stubPath.string();
  size_t scanned = std::min(stub.size(), kHeaderBufferSize);
  int32_t end = ScanPayloadOffset(stub.data(), scanned);
  if (end == kNoPayload) throw Refusal("stub " + name + " is not a PE image");
  size_t pe = U32(stub, 60);
  uint16_t machine = U16(stub, pe + 4);
  uint16_t magic = U16(stub, pe + 24);
  bool x86 = machine == 0x14c && magic == 0x10b;
  bool x64 = machine == 0x8664 && magic == 0x20b;
  if (!x86 && !(allowX64 && x64)) throw Refusal("stub " + name + " is not a 32-bit PE image");
  if (uint32_t(end) < stub.size())
    throw Refusal("stub " + name + " has " + std::to_string(stub.size() - uint32_t(end)) +
                  " bytes after its sections (an already packed installer, or not stripped)");
  if (uint32_t(end) > stub.size()) throw Refusal("stub " + name + " is truncated");
}

bool IsSetupAtRoot(const std::string& name) {
  std::string lower = name;
  std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
  return lower == "setup.exe";
}

// The archive must open as a ZIP and list setup.exe at its root.
void CheckArchive(const fs::path& zipPath) {
  unzFile zip = unzOpen64(zipPath.c_str());
  if (!zip) throw Refusal("package " + zipPath.string() + " is not a readable ZIP archive");
  bool found = false;
  for (int rc = unzGoToFirstFile(zip); rc == UNZ_OK; rc = unzGoToNextFile(zip)) {
    char name[1024];
    unz_file_info64 info;
    if (unzGetCurrentFileInfo64(zip, &info, name, sizeof name, nullptr, 0, nullptr, 0) != UNZ_OK) break;
    if (IsSetupAtRoot(name)) found = true;
  }
  unzClose(zip);
  if (!found) throw Refusal("package " + zipPath.string() + " has no setup.exe at its root");
}

void AddToZip(zipFile zip, const fs::path& file, const std::string& name, bool directory) {
  struct stat st {};
  if (stat(file.c_str(), &st) != 0) throw Refusal("cannot read " + file.string());
  zip_fileinfo info {};
  std::tm local {};
  localtime_r(&st.st_mtime, &local);
  info.tmz_date.tm_sec = local.tm_sec;
  info.tmz_date.tm_min = local.tm_min;
  info.tmz_date.tm_hour = local.tm_hour;
  info.tmz_date.tm_mday = local.tm_mday;
  info.tmz_date.tm_mon = local.tm_mon;
  info.tmz_date.tm_year = local.tm_year + 1900;
  // Unix mode in the upper half: the extractor keeps read-only from the
  // owner-write bit; the archive bit always, the directory bit for folders.
  info.external_fa = uint32_t(st.st_mode & 0xFFFF) << 16;
  if (directory) info.external_fa |= 0x10;
  // "UT" extended timestamp: the modification time in UTC.
  uint32_t mtime = uint32_t(st.st_mtime);
  unsigned char extra[9] = {'U', 'T', 5, 0, 1, uint8_t(mtime), uint8_t(mtime >> 8),
                            uint8_t(mtime >> 16), uint8_t(mtime >> 24)};
  const uLong versionMadeBy = (3 << 8) | 20;  // host Unix
  if (zipOpenNewFileInZip4(zip, name.c_str(), &info, extra, sizeof extra, nullptr, 0, nullptr,
                           directory ? 0 : Z_DEFLATED, directory ? 0 : 9, 0, -MAX_WBITS,
                           DEF_MEM_LEVEL, Z_DEFAULT_STRATEGY, nullptr, 0, versionMadeBy, 0) != ZIP_OK)
    throw Refusal("cannot add " + name + " to the archive");
  if (!directory) {
    std::ifstream in(file, std::ios::binary);
    std::vector<char> chunk(1 << 16);
    while (in) {
      in.read(chunk.data(), chunk.size());
      if (in.gcount() > 0 && zipWriteInFileInZip(zip, chunk.data(), unsigned(in.gcount())) != ZIP_OK)
        throw Refusal("cannot write " + name + " to the archive");
    }
  }
  zipCloseFileInZip(zip);
}

// Zips a directory: sorted order, so the same tree always gives the same list.
void ZipDirectory(const fs::path& directory, const fs::path& zipPath) {
  std::vector<fs::path> entries;
  for (auto& entry : fs::recursive_directory_iterator(directory)) entries.push_back(entry.path());
  std::sort(entries.begin(), entries.end());
  zipFile zip = zipOpen64(zipPath.c_str(), APPEND_STATUS_CREATE);
  if (!zip) throw Refusal("cannot create " + zipPath.string());
  try {
    for (const fs::path& path : entries) {
      std::string name = fs::relative(path, directory).generic_string();
      bool isDirectory = fs::is_directory(path);
      AddToZip(zip, path, isDirectory ? name + "/" : name, isDirectory);
    }
  } catch (...) {
    zipClose(zip, nullptr);
    throw;
  }
  if (zipClose(zip, nullptr) != ZIP_OK) throw Refusal("cannot finish " + zipPath.string());
}

bool SameFile(const fs::path& a, const fs::path& b) {
  std::error_code error;
  if (fs::exists(a, error) && fs::exists(b, error)) return fs::equivalent(a, b, error);
  return fs::weakly_canonical(a, error) == fs::weakly_canonical(b, error);
}

fs::path DefaultStub(const char* argv0) {
  std::error_code error;
  fs::path self = fs::canonical("/proc/self/exe", error);
  if (error) self = argv0;
  return self.parent_path().parent_path() / "win32" / "vexlode.exe";
}

int Usage() {
  std::cerr << "usage: vexlode-pack [--stub STUB] PACKAGE -o OUT.exe\n"
               "  PACKAGE: a .zip with setup.exe at its root, or a directory to zip\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  fs::path stubPath, packagePath, outPath;
  bool allowX64 = false;  // test builds on machines that only run 64-bit Wine
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--stub" && i + 1 < argc) stubPath = argv[++i];
    else if (arg == "-o" && i + 1 < argc) outPath = argv[++i];
    else if (arg == "--allow-x64") allowX64 = true;
    else if (arg == "-h" || arg == "--help") return Usage(), 0;
    else if (!arg.empty() && arg[0] != '-' && packagePath.empty()) packagePath = arg;
    else return Usage();
  }
  if (packagePath.empty() || outPath.empty()) return Usage();
  if (stubPath.empty()) stubPath = DefaultStub(argv[0]);

  fs::path temporary = outPath;
  temporary += ".partial";
  fs::path zipped;
  try {
    if (SameFile(outPath, stubPath)) throw Refusal("output " + outPath.string() + " is the stub itself");
    if (SameFile(outPath, packagePath)) throw Refusal("output " + outPath.string() + " is the package itself");
    std::vector<uint8_t> stub = ReadFileBytes(stubPath);
    CheckStub(stubPath, stub, allowX64);

    fs::path archivePath = packagePath;
    if (fs::is_directory(packagePath)) {
      zipped = outPath;
      zipped += ".zip.partial";
      ZipDirectory(packagePath, zipped);
      archivePath = zipped;
    } else if (!fs::is_regular_file(packagePath)) {
      throw Refusal("package " + packagePath.string() + " does not exist");
    }
    CheckArchive(archivePath);
    std::vector<uint8_t> archive = ReadFileBytes(archivePath);

    {
      std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
      out.write(reinterpret_cast<const char*>(stub.data()), stub.size());
      out.write(reinterpret_cast<const char*>(archive.data()), archive.size());
      if (!out.flush()) throw Refusal("cannot write " + temporary.string());
    }
    fs::permissions(temporary, fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec,
                    fs::perm_options::add);
    fs::rename(temporary, outPath);
    if (!zipped.empty()) fs::remove(zipped);
    std::cout << outPath.string() << ": stub " << stub.size() << " bytes, archive "
              << archive.size() << " bytes at offset " << stub.size() << "\n";
    return 0;
  } catch (const std::exception& error) {
    std::error_code ignored;
    fs::remove(temporary, ignored);
    if (!zipped.empty()) fs::remove(zipped, ignored);
    std::cerr << "vexlode-pack: " << error.what() << "\n";
    return 1;
  }
}
