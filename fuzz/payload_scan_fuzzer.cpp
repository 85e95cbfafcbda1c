// ScanPayloadOffset over hostile header bytes: it must read only the bytes it
// was given, its answer must not depend on what lies after them, and it must
// agree with a plainly written bounds-checked reading of the PE layout.
#include <algorithm>
#include <vector>

#include "app/payload.h"
#include "fuzz_support.h"

namespace {

// Reads through std::vector::at, so a mistake here throws instead of
// quietly reading past the end.
int32_t ReferenceScan(const std::vector<uint8_t>& b) {
  auto u16 = [&](uint64_t at) { return uint32_t(b.at(at)) | uint32_t(b.at(at + 1)) << 8; };
  auto u32 = [&](uint64_t at) { return u16(at) | u16(at + 2) << 16; };
  const uint64_t n = b.size();
  if (n > kHeaderBufferSize || n < 64 || b[0] != 'M' || b[1] != 'Z') return kNoPayload;
  const uint64_t pe = u32(60);
  if (pe + 24 > n) return kNoPayload;
  if (b[pe] != 'P' || b[pe + 1] != 'E' || b[pe + 2] != 0 || b[pe + 3] != 0) return kNoPayload;
  const uint64_t count = u16(pe + 6);
  const uint64_t table = pe + 24 + u16(pe + 20);
  if (table + count * 40 > n) return kNoPayload;
  uint32_t end = 0;
  for (uint64_t i = 0; i < count; ++i) {
    const uint64_t section = table + i * 40;
    end = std::max(end, uint32_t(u32(section + 20) + u32(section + 16)));
  }
  return static_cast<int32_t>(end);
}

int32_t ScanExact(const uint8_t* data, size_t size) {
  // An exactly sized block: ASan reports a read of even one byte past it.
  std::unique_ptr<uint8_t[]> copy(new uint8_t[size ? size : 1]);
  if (size) memcpy(copy.get(), data, size);
  return ScanPayloadOffset(size ? copy.get() : nullptr, size);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const int32_t result = ScanExact(data, size);
  FUZZ_CHECK(result == ReferenceScan(std::vector<uint8_t>(data, data + size)));

  // Bytes after `length` must not change the answer, whatever they hold.
  for (uint8_t fill : {uint8_t(0x00), uint8_t(0xFF)}) {
    std::vector<uint8_t> padded(data, data + size);
    padded.resize(size + 4096, fill);
    FUZZ_CHECK(ScanPayloadOffset(padded.data(), size) == result);
  }
  std::vector<uint8_t> repeated(data, data + size);
  for (size_t i = 0; i < size && repeated.size() < 2 * size + 64; ++i) repeated.push_back(data[i]);
  FUZZ_CHECK(ScanPayloadOffset(repeated.data(), size) == result);

  // A scan that succeeds on fewer bytes read nothing beyond them, so it must
  // give the same answer on the whole input.
  if (size > 0) {
    const int32_t shorter = ScanExact(data, size - 1);
    if (shorter != kNoPayload) FUZZ_CHECK(shorter == result);
  }
  return 0;
}
