#include "tools/pack/seal.h"

#include <algorithm>
#include <cstring>

#include "app/payload_seal.h"
#include "common/sha256.h"
#include "tools/pack/bytes.h"
#include "tools/pack/pack_error.h"
#include "tools/pack/pe_resources.h"

std::optional<size_t> SealRecordOffset(const std::vector<uint8_t>& image, const PeLayout& layout) {
  for (size_t i = 0; i < layout.sectionCount; ++i) {
    const size_t header = SectionHeader(layout, i);
    if (std::memcmp(&image[header], kSealSectionName, sizeof kSealSectionName) != 0) continue;
    const uint64_t raw = GetU32(image, header + 20);
    if (GetU32(image, header + 16) < kSealRecordSize || raw + kSealRecordSize > image.size())
      throw PackError("the stub's seal section is too small");
    return size_t(raw);
  }
  return std::nullopt;
}

void SealImage(std::vector<uint8_t>& image, const std::vector<uint8_t>& archive, uint32_t options,
               uint64_t extractedSize) {
  const PeLayout layout = ScanImage(image);
  const std::optional<size_t> found = SealRecordOffset(image, layout);
  if (!found) throw PackError("the stub has no seal section (built before installers were sealed?)");
  const size_t record = *found;
  PayloadSeal seal;
  if (ReadSealRecord(&image[record], kSealRecordSize, &seal) == SealState::Malformed)
    throw PackError("the stub's seal record is damaged");

  seal.archiveSize = archive.size();
  seal.options = options;
  seal.extractedSize = extractedSize;
  const Sha256Digest digest = Sha256Of(archive.data(), archive.size());
  std::copy(digest.bytes, digest.bytes + sizeof digest.bytes, seal.digest);
  WriteSealRecord(&image[record], seal);
  const size_t checksum = ChecksumField(layout);
  if (GetU32(image, checksum)) SetU32(image, checksum, PeChecksum(image, checksum));
}
