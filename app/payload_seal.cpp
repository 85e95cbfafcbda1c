#include "app/payload_seal.h"

#include <string.h>

#include "common/bytes.h"

namespace {

void WriteU32(uint8_t* p, uint32_t value) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(value >> (8 * i));
}
void WriteU64(uint8_t* p, uint64_t value) {
  WriteU32(p, static_cast<uint32_t>(value));
  WriteU32(p + 4, static_cast<uint32_t>(value >> 32));
}

constexpr size_t kStateField = 8;
constexpr size_t kOptionsField = 12;
constexpr size_t kSizeField = 16;
constexpr size_t kDigestField = 24;
constexpr size_t kExtractedSizeField = 56;

// A declared table that ends the file, starting on the padding boundary
// within the padding's reach after the archive.
bool TableFollowsArchive(uint64_t archiveEnd, uint64_t fileSize, uint32_t offset, uint32_t size) {
  return size != 0 && offset >= archiveEnd && offset - archiveEnd < kCertificateAlignment &&
         offset % kCertificateAlignment == 0 && uint64_t(offset) + size == fileSize;
}

}  // namespace

SealState ReadSealRecord(const uint8_t* record, size_t length, PayloadSeal* seal) {
  if (!record || length < kSealRecordSize || memcmp(record, kSealMagic, sizeof kSealMagic) != 0)
    return SealState::Malformed;
  const uint32_t state = ReadLe32(record + kStateField);
  if (state == kSealEmpty) return SealState::Empty;
  if (state != kSealPresent) return SealState::Malformed;
  // An option this stub does not know would be silently ignored: refuse it.
  const uint32_t options = ReadLe32(record + kOptionsField);
  if (options & ~kSealKnownOptions) return SealState::Malformed;
  seal->options = options;
  seal->archiveSize = ReadLe64(record + kSizeField);
  memcpy(seal->digest, record + kDigestField, sizeof seal->digest);
  seal->extractedSize = ReadLe64(record + kExtractedSizeField);
  return SealState::Present;
}

void WriteSealRecord(uint8_t* record, const PayloadSeal& seal) {
  memset(record, 0, kSealRecordSize);
  memcpy(record, kSealMagic, sizeof kSealMagic);
  WriteU32(record + kStateField, kSealPresent);
  WriteU32(record + kOptionsField, seal.options);
  WriteU64(record + kSizeField, seal.archiveSize);
  memcpy(record + kDigestField, seal.digest, sizeof seal.digest);
  WriteU64(record + kExtractedSizeField, seal.extractedSize);
}

size_t CertificateGapLength(uint64_t archiveEnd, uint32_t certificateOffset, uint32_t certificateSize) {
  if (certificateSize == 0 || certificateOffset < archiveEnd ||
      certificateOffset - archiveEnd >= kCertificateAlignment)
    return 0;
  return static_cast<size_t>(certificateOffset - archiveEnd);
}

SealVerdict JudgeSealedCopy(const PayloadSeal& seal, const SealedCopy& copy) {
  if (copy.copied != seal.archiveSize) return SealVerdict::CutShort;
  if (!copy.digestMatches) return SealVerdict::Changed;
  if (copy.fileSize == copy.archiveEnd) return SealVerdict::Intact;
  if (copy.gapIsZero && TableFollowsArchive(copy.archiveEnd, copy.fileSize, copy.certificateOffset,
                                            copy.certificateSize))
    return SealVerdict::Intact;
  return SealVerdict::TrailingBytes;
}

SealPlan PlanPayloadCheck(SealState state, bool ownHeadersScanned) {
  if (state == SealState::Empty) return SealPlan::TakeAsIs;
  return state == SealState::Present && ownHeadersScanned ? SealPlan::Check : SealPlan::Refuse;
}

SealedCopy DescribeSealedCopy(const PayloadSeal& seal, uint64_t payloadOffset, uint64_t copied,
                              const uint8_t (&digest)[32], uint64_t fileSize,
                              const PeLayout& ownHeaders, const uint8_t* gap, size_t gapRead) {
  SealedCopy copy = {};
  copy.copied = copied;
  copy.digestMatches = memcmp(digest, seal.digest, sizeof seal.digest) == 0;
  copy.archiveEnd = payloadOffset + seal.archiveSize;
  copy.fileSize = fileSize;
  copy.certificateOffset = ownHeaders.certificateOffset;
  copy.certificateSize = ownHeaders.certificateSize;
  const size_t gapLength =
      CertificateGapLength(copy.archiveEnd, copy.certificateOffset, copy.certificateSize);
  bool zeros = gapRead == gapLength;
  for (size_t i = 0; zeros && i < gapLength; ++i) zeros = gap[i] == 0;
  copy.gapIsZero = zeros;
  return copy;
}

const wchar_t* SealVerdictText(SealVerdict verdict) {
  switch (verdict) {
    case SealVerdict::CutShort: return L"the archive is cut short";
    case SealVerdict::Changed: return L"the archive was changed";
    case SealVerdict::TrailingBytes: return L"bytes follow the archive";
    case SealVerdict::Unverifiable: return L"its digest cannot be computed";
    case SealVerdict::BadRecord: return L"the seal record is damaged";
    case SealVerdict::Intact: break;
  }
  return L"no fault";
}
