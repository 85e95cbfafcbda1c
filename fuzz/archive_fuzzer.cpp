// The archive lookup path over a hostile archive: minizip reads it from
// memory through our own file functions, as the extractor does over a file
// handle; every entry's central record, name, local extra field and data are
// read the way the extractor reads them.
#include <string.h>

#include <memory>

#include "fuzz_support.h"
#include "unzip.h"

namespace {

constexpr size_t kNameBytes = 260;          // the extractor's name buffer
constexpr size_t kDataBuffer = 16384;       // the extractor's data buffer
constexpr size_t kDataLimit = 1 << 20;      // inflation bound per input
constexpr size_t kExtraLimit = 1 << 16;     // a 16-bit field cannot be longer

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

struct Entry {
  unz_file_info64 info;
  const uint8_t* name;  // not terminated when it fills the buffer
  size_t nameLength;
  const uint8_t* extra;
  size_t extraLength;
};

// What the extractor does with an entry's record, beyond minizip itself.
void InspectEntry(const Entry& entry) {
  FUZZ_CHECK(entry.nameLength <= kNameBytes);
  FUZZ_CHECK(entry.extraLength <= kExtraLimit);
}

// Reads the entry's data in the extractor's chunks until its end, an error,
// or the input's inflation budget is spent.
void ReadEntryData(unzFile reader, size_t& budget) {
  std::unique_ptr<uint8_t[]> buffer(new uint8_t[kDataBuffer]);
  while (budget > 0) {
    unsigned want = static_cast<unsigned>(budget < kDataBuffer ? budget : kDataBuffer);
    int got = unzReadCurrentFile(reader, buffer.get(), want);
    if (got <= 0) break;
    FUZZ_CHECK(static_cast<unsigned>(got) <= want);
    budget -= got;
  }
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
  FUZZ_CHECK(unzGetGlobalInfo64(reader, &global) == UNZ_OK);
  size_t budget = kDataLimit;
  // Like the extractor, visit indices below the recorded count only: minizip
  // itself steps on past it while the records that follow still parse.
  int status = unzGoToFirstFile(reader);
  for (uint64_t index = 0; index < global.number_entry && status == UNZ_OK;
       ++index, status = unzGoToNextFile(reader)) {
    std::unique_ptr<uint8_t[]> name(new uint8_t[kNameBytes]);
    Entry entry = {};
    if (unzGetCurrentFileInfo64(reader, &entry.info, reinterpret_cast<char*>(name.get()),
                                kNameBytes, nullptr, 0, nullptr, 0) != UNZ_OK)
      break;
    entry.name = name.get();
    entry.nameLength = entry.info.size_filename < kNameBytes ? entry.info.size_filename : kNameBytes;

    // The extractor decrypts only entries marked as encrypted, with the
    // empty password; minizip would decrypt any entry it is given one for.
    const char* password = (entry.info.flag & 1) ? "" : nullptr;
    if (unzOpenCurrentFilePassword(reader, password) != UNZ_OK) continue;

    int extraLength = unzGetLocalExtrafield(reader, nullptr, 0);
    std::unique_ptr<uint8_t[]> extra;
    if (extraLength > 0) {
      extra.reset(new uint8_t[extraLength]);
      int read = unzGetLocalExtrafield(reader, extra.get(), static_cast<unsigned>(extraLength));
      if (read != extraLength) extraLength = 0;
    }
    entry.extra = extra.get();
    entry.extraLength = extraLength > 0 ? static_cast<size_t>(extraLength) : 0;
    InspectEntry(entry);

    ReadEntryData(reader, budget);
    unzCloseCurrentFile(reader);
  }
  unzClose(reader);
  return 0;
}
