#include "tools/pack/archive.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <fstream>
#include <vector>

#include "tools/pack/lzma_encode.h"
#include "tools/pack/pack_error.h"
#include "unzip.h"
#include "zip.h"
#ifdef _WIN32
#include "iowin32.h"
#endif

namespace fs = std::filesystem;

namespace {

constexpr int kMethodLzma = 14;

// minizip opens files by the name we hand it; on Windows that must be the
// UTF-16 name, or non-ANSI paths fail.
struct ZipName {
  explicit ZipName(const fs::path& path) : native(path.native()) {
#ifdef _WIN32
    fill_win32_filefunc64W(&functions);
#else
    fill_fopen64_filefunc(&functions);
#endif
  }
  const void* get() const { return native.c_str(); }
  fs::path::string_type native;
  zlib_filefunc64_def functions;
};

struct FileFacts {
  time_t mtime;
  bool readOnly;
};

FileFacts Facts(const fs::path& file) {
#ifdef _WIN32
  struct _stat64 st {};
  if (_wstat64(file.c_str(), &st) != 0) throw PackError("cannot read " + file.u8string());
#else
  struct stat st {};
  if (stat(file.c_str(), &st) != 0) throw PackError("cannot read " + file.u8string());
#endif
  return {time_t(st.st_mtime), !(st.st_mode & S_IWRITE)};
}

std::tm LocalTime(time_t t) {
  std::tm local {};
#ifdef _WIN32
  localtime_s(&local, &t);
#else
  localtime_r(&t, &local);
#endif
  return local;
}

void WriteAll(zipFile zip, const uint8_t* data, size_t size, const std::string& name) {
  for (size_t at = 0; at < size;) {
    const unsigned piece = unsigned(std::min<size_t>(size - at, 1 << 20));
    if (zipWriteInFileInZip(zip, data + at, piece) != ZIP_OK)
      throw PackError("cannot write " + name + " to the archive");
    at += piece;
  }
}

void AddToZip(zipFile zip, const fs::path& file, const std::string& name, bool directory,
              Compression compression) {
  const FileFacts facts = Facts(file);
  zip_fileinfo info {};
  const std::tm local = LocalTime(facts.mtime);
  info.tmz_date.tm_sec = local.tm_sec;
  info.tmz_date.tm_min = local.tm_min;
  info.tmz_date.tm_hour = local.tm_hour;
  info.tmz_date.tm_mday = local.tm_mday;
  info.tmz_date.tm_mon = local.tm_mon;
  info.tmz_date.tm_year = local.tm_year + 1900;
  // Unix mode in the upper half, from what every host knows: folder or file,
  // read-only or not. The extractor keeps read-only from the owner-write bit.
  uint32_t mode = directory ? 040755 : 0100644;
  if (facts.readOnly) mode &= ~0222u;
  info.external_fa = mode << 16 | (directory ? 0x10 : 0);
  // "UT" extended timestamp: the modification time in UTC.
  const uint32_t mtime = uint32_t(facts.mtime);
  unsigned char extra[9] = {'U', 'T', 5, 0, 1, uint8_t(mtime), uint8_t(mtime >> 8),
                            uint8_t(mtime >> 16), uint8_t(mtime >> 24)};
  const uLong versionMadeBy = (3 << 8) | 20;  // host Unix
  // Level 0 for all but DEFLATE: minizip turns levels 8 and 9 into
  // general-purpose bit 1, which for LZMA would announce an end marker.
  auto open = [&](int method, int level, int raw) {
    if (zipOpenNewFileInZip4(zip, name.c_str(), &info, extra, sizeof extra, nullptr, 0, nullptr,
                             method, level, raw, -MAX_WBITS, DEF_MEM_LEVEL, Z_DEFAULT_STRATEGY,
                             nullptr, 0, versionMadeBy, 0) != ZIP_OK)
      throw PackError("cannot add " + name + " to the archive");
  };
  if (directory) {
    open(0, 0, 0);
    zipCloseFileInZip(zip);
    return;
  }
  std::ifstream in(file, std::ios::binary);
  if (!in) throw PackError("cannot read " + file.u8string());
  if (compression == Compression::Lzma) {
    const uint64_t size = fs::file_size(file);
    LzmaEntry lzma;
    if (EncodeLzmaEntry(in, size, file.u8string(), &lzma)) {
      open(kMethodLzma, 0, 1);
      WriteAll(zip, lzma.data.data(), lzma.data.size(), name);
      if (zipCloseFileInZipRaw64(zip, size, lzma.crc) != ZIP_OK)
        throw PackError("cannot write " + name + " to the archive");
      return;
    }
    in.clear();
    in.seekg(0);  // not smaller: stored
  }
  const bool deflate = compression == Compression::Deflate;
  open(deflate ? Z_DEFLATED : 0, deflate ? 9 : 0, 0);
  std::vector<char> chunk(1 << 16);
  while (in) {
    in.read(chunk.data(), chunk.size());
    if (in.gcount() > 0 && zipWriteInFileInZip(zip, chunk.data(), unsigned(in.gcount())) != ZIP_OK)
      throw PackError("cannot write " + name + " to the archive");
  }
  zipCloseFileInZip(zip);
}

// An archive held in memory, read through minizip's file functions: the
// check reads exactly the bytes the stub would copy out.
struct MemoryFile {
  const uint8_t* data;
  size_t size;
  uint64_t position;
};

voidpf ZCALLBACK MemoryOpen(voidpf, const void* file, int) { return const_cast<void*>(file); }
uLong ZCALLBACK MemoryRead(voidpf, voidpf stream, void* buffer, uLong size) {
  MemoryFile& file = *static_cast<MemoryFile*>(stream);
  const uint64_t left = file.position < file.size ? file.size - file.position : 0;
  const uLong count = uLong(std::min<uint64_t>(size, left));
  if (count) std::memcpy(buffer, file.data + file.position, count);
  file.position += count;
  return count;
}
uLong ZCALLBACK MemoryWrite(voidpf, voidpf, const void*, uLong) { return 0; }
ZPOS64_T ZCALLBACK MemoryTell(voidpf, voidpf stream) { return static_cast<MemoryFile*>(stream)->position; }
long ZCALLBACK MemorySeek(voidpf, voidpf stream, ZPOS64_T offset, int origin) {
  MemoryFile& file = *static_cast<MemoryFile*>(stream);
  const uint64_t base = origin == ZLIB_FILEFUNC_SEEK_SET   ? 0
                        : origin == ZLIB_FILEFUNC_SEEK_CUR ? file.position
                                                           : file.size;
  if (offset > file.size || base > file.size - offset) return -1;
  file.position = base + offset;
  return 0;
}
int ZCALLBACK MemoryClose(voidpf, voidpf) { return 0; }
int ZCALLBACK MemoryError(voidpf, voidpf) { return 0; }

zlib_filefunc64_def MemoryFunctions() {
  zlib_filefunc64_def functions{};
  functions.zopen64_file = MemoryOpen;
  functions.zread_file = MemoryRead;
  functions.zwrite_file = MemoryWrite;
  functions.ztell64_file = MemoryTell;
  functions.zseek64_file = MemorySeek;
  functions.zclose_file = MemoryClose;
  functions.zerror_file = MemoryError;
  return functions;
}

// Lists the entries of an opened archive, and closes it. Like the stub's
// extractor it visits only the entries the archive counts: minizip steps on
// past them while the records that follow still parse.
ArchiveListing Walk(unzFile zip) {
  ArchiveListing listing;
  unz_global_info64 global;
  int rc = unzGetGlobalInfo64(zip, &global);
  if (rc == UNZ_OK && global.number_entry) rc = unzGoToFirstFile(zip);
  for (; rc == UNZ_OK && listing.entries < global.number_entry; rc = unzGoToNextFile(zip)) {
    char name[1024];
    unz_file_info64 info;
    // minizip terminates the name only when it fits; a longer one is cut here.
    if ((rc = unzGetCurrentFileInfo64(zip, &info, name, sizeof name - 1, nullptr, 0, nullptr, 0)) != UNZ_OK) break;
    name[info.size_filename < sizeof name - 1 ? info.size_filename : sizeof name - 1] = 0;
    if (IsSetupAtRoot(name)) {
      listing.setupAtRoot = true;
      listing.setupMethod = uint16_t(info.compression_method);
    }
    ++listing.entries;
    listing.uncompressedBytes += info.uncompressed_size;
    ++listing.methods[uint16_t(info.compression_method)];
  }
  listing.readable = rc == UNZ_OK ? listing.entries == global.number_entry : rc == UNZ_END_OF_LIST_OF_FILE;
  unzClose(zip);
  return listing;
}

}  // namespace

Compression ParseCompression(const std::string& name) {
  if (name == "deflate") return Compression::Deflate;
  if (name == "lzma") return Compression::Lzma;
  if (name == "store") return Compression::Store;
  throw PackError("--compression " + name + ": expected lzma, deflate or store");
}

bool IsSetupAtRoot(const std::string& name) {
  std::string lower = name;
  std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return char(tolower(c)); });
  return lower == "setup.exe";
}

void CheckArchive(const fs::path& zipPath) {
  ZipName zipName(zipPath);
  unzFile zip = unzOpen2_64(zipName.get(), &zipName.functions);
  if (!zip) throw PackError("package " + zipPath.u8string() + " is not a readable ZIP archive");
  const ArchiveListing listing = Walk(zip);
  if (!listing.setupAtRoot) throw PackError("package " + zipPath.u8string() + " has no setup.exe at its root");
}

ArchiveListing ListArchive(const uint8_t* data, size_t size) {
  MemoryFile file{data, size, 0};
  zlib_filefunc64_def functions = MemoryFunctions();
  unzFile zip = unzOpen2_64(&file, &functions);
  return zip ? Walk(zip) : ArchiveListing();
}

void ZipDirectory(const fs::path& directory, const fs::path& zipPath, Compression compression) {
  std::vector<fs::path> entries;
  for (auto& entry : fs::recursive_directory_iterator(directory)) entries.push_back(entry.path());
  std::sort(entries.begin(), entries.end());
  ZipName zipName(zipPath);
  zipFile zip = zipOpen2_64(zipName.get(), APPEND_STATUS_CREATE, nullptr, &zipName.functions);
  if (!zip) throw PackError("cannot create " + zipPath.u8string());
  try {
    for (const fs::path& path : entries) {
      const std::string name = fs::relative(path, directory).generic_u8string();
      const bool isDirectory = fs::is_directory(path);
      AddToZip(zip, path, isDirectory ? name + "/" : name, isDirectory, compression);
    }
  } catch (...) {
    zipClose(zip, nullptr);
    throw;
  }
  if (zipClose(zip, nullptr) != ZIP_OK) throw PackError("cannot finish " + zipPath.u8string());
}
