// An LZMA entry's data (method 14) as the extractor decodes it: random
// headers, properties and streams, declared sizes and end-marker bits, read
// in pieces of random sizes through input buffers of random capacity. The
// decoder must read no more than the entry's data, write no more than the
// declared size, and, when it accepts an entry, agree with the SDK's own
// one-call decoder working in a window of the whole output.
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <vector>

#include "LzmaDec.h"
#include "fuzz_support.h"
#include "unzip/lzma_entry.h"

namespace {

struct Entry {
  const uint8_t* data;
  size_t size;
  size_t position;
  size_t piece;  // the most one read delivers
  std::vector<uint8_t> written;
  uint64_t writtenCount;
  uint64_t declared;
};

size_t ReadPiece(void* context, uint8_t* buffer, size_t size) {
  Entry* entry = static_cast<Entry*>(context);
  FUZZ_CHECK(size > 0 && size <= entry->size - entry->position);  // never asks past the data
  size_t count = size < entry->piece ? size : entry->piece;
  memcpy(buffer, entry->data + entry->position, count);
  entry->position += count;
  return count;
}

bool Write(void* context, const uint8_t* data, size_t size) {
  Entry* entry = static_cast<Entry*>(context);
  entry->writtenCount += size;
  FUZZ_CHECK(entry->writtenCount <= entry->declared);
  if (entry->written.size() + size <= (1u << 20))
    entry->written.insert(entry->written.end(), data, data + size);
  return true;
}

void* Allocate(void*, size_t size) { return malloc(size); }
void Release(void*, void* address) { free(address); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Reader reader(data, size);
  // Small declared sizes mostly, any size now and then (the window cap).
  const uint8_t mode = reader.U8();
  uint64_t declared = reader.U32();
  if (!(mode & 0x80)) declared %= 1u << 18;
  if (mode & 0x40) declared |= static_cast<uint64_t>(reader.U8()) << 32;
  const bool endMarker = mode & 1;
  const size_t piece = 1 + reader.U8() * 67u;
  const size_t capacity = kLzmaHeaderSize + reader.U8() * 64u;
  const std::vector<uint8_t> rest = reader.Rest();
  // Exactly sized copies: a read one byte past either is an ASan finding.
  std::unique_ptr<uint8_t[]> bytes(new uint8_t[rest.size() ? rest.size() : 1]);
  if (!rest.empty()) memcpy(bytes.get(), rest.data(), rest.size());
  std::unique_ptr<uint8_t[]> input(new uint8_t[capacity]);

  Entry entry = {bytes.get(), rest.size(), 0, piece, {}, 0, declared};
  LzmaEntryIo io = {&entry, ReadPiece, Write};
  const LzmaOutcome outcome =
      DecodeLzmaEntry(io, rest.size(), declared, endMarker, input.get(), capacity);
  if (outcome != LzmaOutcome::Ok) return 0;

  FUZZ_CHECK(entry.writtenCount == declared);
  FUZZ_CHECK(entry.position == rest.size());
  if (declared == 0 || declared > entry.written.size()) return 0;
  std::vector<uint8_t> reference(declared);
  SizeT referenceLength = declared;
  SizeT streamLength = rest.size() - kLzmaHeaderSize;
  ELzmaStatus status;
  ISzAlloc allocator = {Allocate, Release};
  const SRes result = LzmaDecode(reference.data(), &referenceLength, bytes.get() + kLzmaHeaderSize,
                                 &streamLength, bytes.get() + 4, 5, LZMA_FINISH_END, &status,
                                 &allocator);
  FUZZ_CHECK(result == SZ_OK && referenceLength == declared);
  FUZZ_CHECK(streamLength == rest.size() - kLzmaHeaderSize);
  FUZZ_CHECK(memcmp(reference.data(), entry.written.data(), declared) == 0);
  return 0;
}
