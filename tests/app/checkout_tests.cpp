#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <random>
#include <string>

#include "app/checkout.h"
#include "common/handle.h"
#include "tests/app/pe_image.h"
#include "tests/support/test_files.h"

namespace {

std::string Bytes(const std::vector<uint8_t>& v) { return std::string(v.begin(), v.end()); }

std::string RandomBytes(size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = char(random());
  return bytes;
}

FileHandle OpenForReading(const std::wstring& path) {
  return FileHandle(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
}

class CheckoutTest : public ::testing::Test {
 protected:
  TempDir dir_;
};

TEST_F(CheckoutTest, FindsTheOffsetInShortAndLongFilesAndLeavesThePositionAfterTheRead) {
  struct Case { size_t fileSize; DWORD positionAfter; };
  const Case cases[] = {{8192, 8192}, {3 * 1048576 + 5, 1048576}};
  for (const Case& c : cases) {
    std::vector<uint8_t> image = MakeImage({{0x400, 0x1000}, {0x1400, 0x400}});
    std::string file = Bytes(image) + RandomBytes(c.fileSize - image.size(), 1);
    std::wstring path = dir_ / L"own.exe";
    ASSERT_TRUE(WriteWholeFile(path, file));
    FileHandle own = OpenForReading(path);
    EXPECT_EQ(FindPayloadOffset(own.get()), 0x1800);
    EXPECT_EQ(SetFilePointer(own.get(), 0, nullptr, FILE_CURRENT), c.positionAfter);
  }
}

TEST_F(CheckoutTest, SectionsBeyondTheFirstMebibyteAreNotRead) {
  // The section table is at the very end of the first MiB; a table entry that
  // would start past it is outside the bytes read and gives -1.
  uint32_t peOffset = uint32_t(1048576 - 248 - 40);
  std::vector<uint8_t> image = MakeImage({{0x400, 0x200}}, 1048576 + 4096, peOffset);
  std::wstring path = dir_ / L"edge.exe";
  ASSERT_TRUE(WriteWholeFile(path, Bytes(image)));
  EXPECT_EQ(FindPayloadOffset(OpenForReading(path).get()), 0x600);
  PutU16(image, peOffset + 6, 2);
  ASSERT_TRUE(WriteWholeFile(path, Bytes(image)));
  EXPECT_EQ(FindPayloadOffset(OpenForReading(path).get()), -1);
}

TEST_F(CheckoutTest, PayloadCopyIsByteForByteFromTheOffset) {
  std::vector<uint8_t> image = MakeImage({{0x400, 0x1000}}, 0x1400);
  std::string payload = RandomBytes(5 * 1048576 + 123, 2);
  std::wstring own = dir_ / L"packed.exe";
  ASSERT_TRUE(WriteWholeFile(own, Bytes(image) + payload));
  std::wstring copy = dir_ / L"copy.zip";
  {
    FileHandle source = OpenForReading(own);
    FileHandle target(CreateFileW(copy.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    int32_t offset = FindPayloadOffset(source.get());
    ASSERT_EQ(offset, 0x1400);
    SetFilePointer(source.get(), offset, nullptr, FILE_BEGIN);
    CopyOutcome outcome = CopyPayload(source.get(), target.get());
    EXPECT_EQ(outcome.copied, payload.size());
    EXPECT_EQ(outcome.expected, payload.size());
    EXPECT_EQ(outcome.error, 0u);
  }
  EXPECT_TRUE(ReadWholeFile(copy) == payload);

  // A target that refuses writes: nothing copied, and the failure is told.
  FileHandle source = OpenForReading(own);
  FileHandle readOnly = OpenForReading(copy);
  SetFilePointer(source.get(), 0x1400, nullptr, FILE_BEGIN);
  CopyOutcome refused = CopyPayload(source.get(), readOnly.get());
  EXPECT_EQ(refused.copied, 0u);
  EXPECT_EQ(refused.expected, payload.size());
  EXPECT_EQ(refused.error, DWORD(ERROR_ACCESS_DENIED));
}

TEST_F(CheckoutTest, SealedCopyTakesExactlyTheSealedArchiveAndJudgesTheRest) {
  const uint32_t offset = 0x1404;  // the archive ends 4 bytes short of an 8-byte boundary
  std::vector<uint8_t> image = MakeImage({{0x400, 0x1004}}, offset);
  const std::string archive = RandomBytes(70000, 3);
  PayloadSeal seal = {archive.size(), {}, 0, 0};
  Sha256Hasher hasher;
  Sha256Digest digest;
  ASSERT_TRUE(hasher.Start() && hasher.Add(archive.data(), archive.size()) && hasher.Finish(&digest));
  memcpy(seal.digest, digest.bytes, 32);

  std::string other = archive;
  other[100] ^= 1;
  const uint32_t table = uint32_t(offset + archive.size() + 4);
  const std::string signature(0x300, 'S');
  struct Case {
    const char* what;
    std::string payload;
    uint32_t certificateOffset, certificateSize;
    SealVerdict want;
  };
  const Case cases[] = {
      {"the sealed archive", archive, 0, 0, SealVerdict::Intact},
      {"bytes appended", archive + "xx", 0, 0, SealVerdict::TrailingBytes},
      {"cut short", archive.substr(0, archive.size() - 1), 0, 0, SealVerdict::CutShort},
      {"one byte changed", other, 0, 0, SealVerdict::Changed},
      {"signed", archive + std::string(4, '\0') + signature, table, 0x300, SealVerdict::Intact},
      {"padding not zeros", archive + std::string("\0\0\0x", 4) + signature, table, 0x300, SealVerdict::TrailingBytes},
      {"signature not declared", archive + std::string(4, '\0') + signature, 0, 0, SealVerdict::TrailingBytes},
  };
  for (const Case& c : cases) {
    std::wstring own = dir_ / L"sealed.exe", copy = dir_ / L"copy.zip";
    ASSERT_TRUE(WriteWholeFile(own, Bytes(image) + c.payload));
    PeLayout ownHeaders = {};
    ownHeaders.certificateOffset = c.certificateOffset;
    ownHeaders.certificateSize = c.certificateSize;
    CopyOutcome outcome;
    {
      FileHandle source = OpenForReading(own);
      FileHandle target(CreateFileW(copy.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
      SetFilePointer(source.get(), offset, nullptr, FILE_BEGIN);
      EXPECT_EQ(CopySealedPayload(source.get(), target.get(), offset, seal, ownHeaders, &outcome), c.want)
          << c.what;
    }
    EXPECT_EQ(outcome.error, 0u) << c.what;
    // Never more than the sealed size lands in the temporary archive.
    EXPECT_TRUE(ReadWholeFile(copy) == c.payload.substr(0, archive.size())) << c.what;
  }
}

}  // namespace
