// The seal record and the judgement of a sealed check-out.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "app/payload.h"
#include "app/payload_seal.h"
#include "tests/app/pe_image.h"

namespace {

TEST(SealRecord, RoundTripsAndRefusesWhatIsNotARecord) {
  PayloadSeal seal = {0x123456789AULL, {}, kSealKnownOptions, 0x1122334455ULL};
  for (int i = 0; i < 32; ++i) seal.digest[i] = uint8_t(0xA0 + i);
  uint8_t record[kSealRecordSize];
  WriteSealRecord(record, seal);
  PayloadSeal read = {};
  ASSERT_EQ(ReadSealRecord(record, sizeof record, &read), SealState::Present);
  EXPECT_EQ(read.archiveSize, seal.archiveSize);
  EXPECT_EQ(0, memcmp(read.digest, seal.digest, 32));
  EXPECT_EQ(read.options, kSealKnownOptions);
  EXPECT_EQ(read.extractedSize, seal.extractedSize);

  uint8_t empty[kSealRecordSize] = {'v', 'x', 's', 'e', 'a', 'l', '0', '1'};
  EXPECT_EQ(ReadSealRecord(empty, sizeof empty, &read), SealState::Empty);
  uint8_t unknownState[kSealRecordSize];
  memcpy(unknownState, record, sizeof record);
  unknownState[8] = 2;
  EXPECT_EQ(ReadSealRecord(unknownState, sizeof unknownState, &read), SealState::Malformed);
  uint8_t unknownOption[kSealRecordSize];
  memcpy(unknownOption, record, sizeof record);
  uint32_t unknown = 1;  // the lowest option bit not yet given a meaning
  while (unknown & kSealKnownOptions) unknown <<= 1;
  for (int i = 0; i < 4; ++i) unknownOption[12 + i] |= uint8_t(unknown >> (8 * i));
  EXPECT_EQ(ReadSealRecord(unknownOption, sizeof unknownOption, &read), SealState::Malformed);
  record[0] = 'V';
  EXPECT_EQ(ReadSealRecord(record, sizeof record, &read), SealState::Malformed);
  EXPECT_EQ(ReadSealRecord(empty, kSealRecordSize - 1, &read), SealState::Malformed);
}

// The plain cases run on real files in the check-out tests; these are the edges.
TEST(SealedCopy, OnlyTheSealedArchiveOrItPlusItsSignatureIsIntact) {
  const PayloadSeal seal = {1000, {}, 0, 0};
  struct Case {
    const char* what;
    uint64_t copied;
    bool digestMatches;
    uint64_t archiveEnd, fileSize;
    uint32_t certificateOffset, certificateSize;
    bool gapIsZero;
    SealVerdict want;
  };
  const Case cases[] = {
      {"cut short", 999, true, 6000, 5999, 0, 0, true, SealVerdict::CutShort},
      {"signed", 1000, true, 6000, 6000 + 0x900, 6000, 0x900, true, SealVerdict::Intact},
      {"signed after padding", 1000, true, 6004, 6008 + 0x900, 6008, 0x900, true, SealVerdict::Intact},
      {"table not at the end", 1000, true, 6000, 6000 + 0x908, 6000, 0x900, true, SealVerdict::TrailingBytes},
      {"table 8 bytes away", 1000, true, 6000, 6008 + 0x900, 6008, 0x900, true, SealVerdict::TrailingBytes},
      {"table inside the archive", 1000, true, 6000, 5992 + 0x28, 5992, 0x28, true, SealVerdict::TrailingBytes},
      {"table off the alignment", 1000, true, 6000, 6004 + 0x900, 6004, 0x900, true, SealVerdict::TrailingBytes},
      {"declared table of size 0", 1000, true, 6000, 6008, 6000, 0, true, SealVerdict::TrailingBytes},
  };
  for (const Case& c : cases) {
    const SealedCopy copy = {c.copied,   c.digestMatches,     c.archiveEnd,         c.fileSize,
                             c.certificateOffset, c.certificateSize, c.gapIsZero};
    EXPECT_EQ(JudgeSealedCopy(seal, copy), c.want) << c.what;
  }
  EXPECT_EQ(CertificateGapLength(6000, 6008, 0x900), 0u);  // too far to be padding
}

TEST(SealedCopy, CertificateDirectoryComesFromEitherOptionalHeader) {
  PeLayout layout;
  std::vector<uint8_t> image = MakeImage({{0x400, 0x200}});
  PutU32(image, 0x80 + 24 + 92, 16);          // NumberOfRvaAndSizes
  PutU32(image, 0x80 + 24 + 96 + 32, 0x1600);  // security directory: offset, size
  PutU32(image, 0x80 + 24 + 96 + 36, 0x988);
  ASSERT_TRUE(ScanPeLayout(image.data(), image.size(), &layout));
  EXPECT_EQ(layout.certificateOffset, 0x1600u);
  EXPECT_EQ(layout.certificateSize, 0x988u);
  PutU32(image, 0x80 + 24 + 92, 4);  // too few directories to hold it
  ASSERT_TRUE(ScanPeLayout(image.data(), image.size(), &layout));
  EXPECT_EQ(layout.certificateSize, 0u);

  std::vector<uint8_t> plus = MakeImage({}, 4096);
  PutU16(plus, 0x80 + 20, 240);
  PutU16(plus, 0x80 + 24, 0x20b);
  PutU32(plus, 0x80 + 24 + 108, 16);
  PutU32(plus, 0x80 + 24 + 112 + 32, 0x2000);
  PutU32(plus, 0x80 + 24 + 112 + 36, 0x10);
  ASSERT_TRUE(ScanPeLayout(plus.data(), plus.size(), &layout));
  EXPECT_EQ(layout.certificateOffset, 0x2000u);
  PutU16(plus, 0x80 + 20, 140);  // an optional header that ends before the entry
  ASSERT_TRUE(ScanPeLayout(plus.data(), plus.size(), &layout));
  EXPECT_EQ(layout.certificateOffset, 0u);
}

}  // namespace
