// The archive lookup path over a hostile archive, as the extractor walks it
// (unzip/extractor.cpp, whose Win32 edge cannot build here): minizip reads
// the archive from memory through our own file functions; for every index
// below the entry count the central record, the local header check, the
// local extra field, the name's UTF-8 conversion, guard and safety check,
// the target path, attributes, times and the entry data (inflated, or
// LZMA-decoded) are gone through.
#include <string.h>

#include <memory>

#include "common/text.h"
#include "fuzz_support.h"
#include "unzip.h"
#include "unzip/crypt_check.h"
#include "unzip/entry_rules.h"
#include "unzip/lzma_entry.h"

namespace {

constexpr size_t kNameBytes = 260;          // the extractor's name buffer
constexpr size_t kDataBuffer = 16384;       // the extractor's data buffer
constexpr size_t kDataLimit = 1 << 20;      // inflation bound per input

struct MemoryFile {
  const uint8_t* data;
  uint64_t size;
  uint64_t position;
};

voidpf OpenMemory(voidpf opaque, const void*, int) { return opaque; }

uLong ReadMemory(voidpf, voidpf stream, void* buffer, uLong size) {
  auto* file = static_cast<MemoryFile*>(stream);
  uint64_t available = file->position < file->size ? file->size - file->position : 0;
  uLong count = size < available ? size : static_cast<uLong>(available);
  if (count) memcpy(buffer, file->data + file->position, count);
  file->position += count;
  return count;
}

uLong WriteMemory(voidpf, voidpf, const void*, uLong) { return 0; }

ZPOS64_T TellMemory(voidpf, voidpf stream) { return static_cast<MemoryFile*>(stream)->position; }

// Like SetFilePointer: any position at or after the start is allowed, a read
// there simply delivers nothing.
long SeekMemory(voidpf, voidpf stream, ZPOS64_T offset, int origin) {
  auto* file = static_cast<MemoryFile*>(stream);
  uint64_t base = 0;
  switch (origin) {
    case ZLIB_FILEFUNC_SEEK_SET: base = 0; break;
    case ZLIB_FILEFUNC_SEEK_CUR: base = file->position; break;
    case ZLIB_FILEFUNC_SEEK_END: base = file->size; break;
    default: return -1;
  }
  if (offset > UINT64_MAX - base) return -1;
  file->position = base + offset;
  return 0;
}

int CloseMemory(voidpf, voidpf) { return 0; }
int ErrorMemory(voidpf, voidpf) { return 0; }

// ReadArchiveBytes: exactly `size` bytes at `position`, or failure.
bool ReadAt(const MemoryFile& file, uint64_t position, void* buffer, size_t size) {
  if (position > file.size || size > file.size - position) return false;
  memcpy(buffer, file.data + position, size);
  return true;
}

// MultiByteToWideChar(CP_UTF8, 0, bytes, -1, out, capacity): stops at NUL,
// each ill-formed sequence becomes U+FFFD, fails when the result (with its
// terminator) does not fit.
bool Utf8ToWide(const uint8_t* bytes, wchar_t* out, size_t capacity) {
  size_t n = 0;
  auto put = [&](uint32_t unit) {
    if (n + 1 >= capacity) return false;
    out[n++] = static_cast<wchar_t>(unit);
    return true;
  };
  for (size_t i = 0; bytes[i];) {
    const uint8_t b = bytes[i];
    size_t need = b < 0x80 ? 0 : b >= 0xC2 && b < 0xE0 ? 1 : b >= 0xE0 && b < 0xF0 ? 2
                : b >= 0xF0 && b < 0xF5 ? 3 : 4;
    uint32_t code = need == 0 ? b : need == 1 ? b & 0x1F : need == 2 ? b & 0x0F : b & 0x07;
    bool ok = need < 4;
    for (size_t k = 1; ok && k <= need; ++k) {
      if ((bytes[i + k] & 0xC0) != 0x80) ok = false;
      else code = code << 6 | (bytes[i + k] & 0x3F);
    }
    if (ok && ((need == 2 && (code < 0x800 || (code >= 0xD800 && code < 0xE000))) ||
               (need == 3 && (code < 0x10000 || code > 0x10FFFF))))
      ok = false;
    if (!ok) {
      if (!put(0xFFFD)) return false;
      ++i;
      continue;
    }
    i += need + 1;
    if (code > 0xFFFF) {
      if (!put(0xD800 + ((code - 0x10000) >> 10)) || !put(0xDC00 + (code & 0x3FF))) return false;
    } else if (!put(code)) {
      return false;
    }
  }
  out[n] = 0;
  return true;
}

const wchar_t kBase[] = L"C:\\Users\\setup\\AppData\\Local\\Temp\\vexlode_12345_678_9\\";

// GetEntry's work on the current entry, after minizip has read its record.
void LookUpEntry(unzFile reader, const MemoryFile& file, const unz_file_info64& info,
                 const uint8_t* storedName) {
  if (info.size_filename >= kNameBytes) return;  // refused, never cut

  // The local header check: raw open, the extra field's length, and the
  // header itself read back from where the data starts.
  if (unzOpenCurrentFile2(reader, nullptr, nullptr, 1) != UNZ_OK) return;
  const int localExtra = unzGetLocalExtrafield(reader, nullptr, 0);
  const ZPOS64_T dataStart = unzGetCurrentFileZStreamPos64(reader);
  const ZPOS64_T headerBytes = kLocalHeaderSize + info.size_filename + (localExtra > 0 ? localExtra : 0);
  bool agrees = false;
  std::unique_ptr<uint8_t[]> extra;
  size_t extraLength = 0;
  if (localExtra >= 0 && dataStart >= headerBytes) {
    uint8_t header[kLocalHeaderSize];
    CentralFields central = {static_cast<uint16_t>(info.compression_method),
                             static_cast<uint32_t>(info.crc), info.compressed_size,
                             info.uncompressed_size, static_cast<uint16_t>(info.size_filename)};
    FUZZ_CHECK(localExtra <= 0xFFFF);
    bool extraRead = true;
    if (localExtra > 0) {
      extra.reset(new uint8_t[localExtra]);
      extraRead = unzGetLocalExtrafield(reader, extra.get(), static_cast<unsigned>(localExtra)) == localExtra;
      extraLength = static_cast<size_t>(localExtra);
    }
    agrees = ReadAt(file, dataStart - headerBytes, header, sizeof header) && extraRead &&
             LocalHeaderAgrees(header, sizeof header, central, extra.get(), extraLength);
  }
  unzCloseCurrentFile(reader);
  if (!agrees) return;

  // The name: UTF-8 into 260 units (a 259-byte name never needs more), then
  // guarded, checked and joined to the base directory.
  std::unique_ptr<wchar_t[]> wide(new wchar_t[kPathCapacity]);
  FUZZ_CHECK(Utf8ToWide(storedName, wide.get(), kPathCapacity));
  std::unique_ptr<wchar_t[]> name(new wchar_t[kPathCapacity]);
  CopyText(name.get(), kPathCapacity, GuardEntryName(wide.get()));
  if (IsSafeEntryName(name.get())) {
    const size_t directory = DirectoryPartLength(name.get());
    std::unique_ptr<wchar_t[]> target(new wchar_t[kPathCapacity]);
    if (JoinPath(target.get(), kPathCapacity, kBase, name.get(), directory, name.get() + directory)) {
      const size_t baseLength = sizeof kBase / sizeof kBase[0] - 1;
      FUZZ_CHECK(memcmp(target.get(), kBase, baseLength * sizeof(wchar_t)) == 0);
    }
  }

  const uint32_t attributes = MapEntryAttributes(static_cast<uint32_t>(info.version),
                                                 static_cast<uint32_t>(info.external_fa));
  FUZZ_CHECK((attributes & ~0x37u) == 0);
  CalendarTime calendar;
  DecodeDosTime(static_cast<uint16_t>(info.dosDate >> 16), static_cast<uint16_t>(info.dosDate), &calendar);
  ExtendedTimes times;
  ParseExtendedTimestamp(extra.get(), extraLength, &times);
}

// An LZMA entry's data, read raw from minizip and decoded up to the budget.
struct LzmaData {
  unzFile reader;
  size_t& budget;
};

size_t ReadRaw(void* context, uint8_t* buffer, size_t size) {
  const int got = unzReadCurrentFile(static_cast<LzmaData*>(context)->reader, buffer,
                                     static_cast<unsigned>(size));
  FUZZ_CHECK(got <= static_cast<int>(size));
  return got > 0 ? static_cast<size_t>(got) : 0;
}

bool Spend(void* context, const uint8_t*, size_t size) {
  size_t& budget = static_cast<LzmaData*>(context)->budget;
  if (size > budget) return false;
  budget -= size;
  return true;
}

// WriteFileEntry without the file: the data opened (decrypted with the empty
// password only when marked encrypted; raw for LZMA), the encryption
// header's check byte, then chunks until the end of the data, an error or
// the input's budget.
void ReadEntryData(unzFile reader, const MemoryFile& file, const unz_file_info64& info,
                   size_t& budget) {
  const bool encrypted = info.flag & 1;
  const bool lzma = info.compression_method == kMethodLzma;
  if (unzOpenCurrentFile3(reader, nullptr, nullptr, lzma, encrypted ? "" : nullptr) != UNZ_OK) {
    unzCloseCurrentFile(reader);
    return;
  }
  if (encrypted) {
    const ZPOS64_T dataStart = unzGetCurrentFileZStreamPos64(reader);
    uint8_t header[12];
    if (dataStart < sizeof header || !ReadAt(file, dataStart - sizeof header, header, sizeof header)) {
      unzCloseCurrentFile(reader);
      return;
    }
    const uint32_t dosDateTime = static_cast<uint32_t>(info.dosDate);
    if (DecryptedCheckByte(header) != ExpectedCheckByte(static_cast<uint16_t>(info.flag),
                                                         static_cast<uint32_t>(info.crc), dosDateTime)) {
      unzCloseCurrentFile(reader);
      return;
    }
  }
  std::unique_ptr<uint8_t[]> buffer(new uint8_t[kDataBuffer]);
  if (lzma) {
    const uint64_t dataSize = encrypted ? (info.compressed_size >= 12 ? info.compressed_size - 12 : 0)
                                        : info.compressed_size;
    LzmaData data = {reader, budget};
    LzmaEntryIo io = {&data, ReadRaw, Spend};
    DecodeLzmaEntry(io, dataSize, info.uncompressed_size, info.flag & 2, buffer.get(), kDataBuffer);
    unzCloseCurrentFile(reader);
    return;
  }
  while (budget > 0) {
    const unsigned want = static_cast<unsigned>(budget < kDataBuffer ? budget : kDataBuffer);
    const int got = unzReadCurrentFile(reader, buffer.get(), want);
    if (got < 0) break;
    FUZZ_CHECK(static_cast<unsigned>(got) <= want);
    budget -= got;
    if (unzeof(reader) == 1 || got == 0) break;
  }
  unzCloseCurrentFile(reader);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::unique_ptr<uint8_t[]> archive(new uint8_t[size ? size : 1]);
  if (size) memcpy(archive.get(), data, size);
  MemoryFile file{archive.get(), size, 0};

  zlib_filefunc64_def functions = {};
  functions.zopen64_file = OpenMemory;
  functions.zread_file = ReadMemory;
  functions.zwrite_file = WriteMemory;
  functions.ztell64_file = TellMemory;
  functions.zseek64_file = SeekMemory;
  functions.zclose_file = CloseMemory;
  functions.zerror_file = ErrorMemory;
  functions.opaque = &file;

  unzFile reader = unzOpen2_64("archive", &functions);
  if (!reader) return 0;
  unz_global_info64 global;
  if (unzGetGlobalInfo64(reader, &global) != UNZ_OK || global.number_entry > 65535) {
    unzClose(reader);
    return 0;
  }

  // Like the extractor, visit indices below the recorded count only: minizip
  // itself steps on past it while the records that follow still parse.
  size_t budget = kDataLimit;
  int status = unzGoToFirstFile(reader);
  for (uint64_t index = 0; index < global.number_entry && status == UNZ_OK;
       ++index, status = unzGoToNextFile(reader)) {
    std::unique_ptr<uint8_t[]> name(new uint8_t[kNameBytes]);
    unz_file_info64 info;
    if (unzGetCurrentFileInfo64(reader, &info, reinterpret_cast<char*>(name.get()), kNameBytes,
                                nullptr, 0, nullptr, 0) != UNZ_OK)
      break;
    LookUpEntry(reader, file, info, name.get());
    ReadEntryData(reader, file, info, budget);
  }
  unzClose(reader);
  return 0;
}
