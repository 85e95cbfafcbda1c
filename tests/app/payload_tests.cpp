#include <gtest/gtest.h>

#include <string>

#include "app/payload.h"
#include "tests/app/pe_image.h"

namespace {

int32_t Scan(const std::vector<uint8_t>& bytes) { return ScanPayloadOffset(bytes.data(), bytes.size()); }

TEST(PayloadOffset, IsTheLargestEndOfSectionData) {
  struct Case { const char* what; std::vector<SectionSpan> sections; int32_t want; };
  const std::vector<Case> cases = {
      {"five sections in order",
       {{0x400, 0x4A000}, {0x4A400, 0x8000}, {0x52400, 0x2000}, {0x54400, 0x1C00}, {0x56000, 0x3A00}},
       367104},
      {"out of file order", {{0x5000, 0x1000}, {0x400, 0x200}, {0x1000, 0x800}}, 0x6000},
      {"a section without raw data", {{0x400, 0x1000}, {0, 0}}, 0x1400},
      {"no sections", {}, 0},
      {"sum wraps modulo 2^32", {{0xFFFFF000, 0x2000}, {0x400, 0x200}}, 0x1000},
  };
  for (const Case& c : cases) EXPECT_EQ(Scan(MakeImage(c.sections)), c.want) << c.what;
}

TEST(PayloadOffset, MissingSignaturesGiveMinusOne) {
  std::vector<uint8_t> image = MakeImage({{0x400, 0x200}});
  std::vector<uint8_t> noMz = image;
  noMz[1] = 'X';
  EXPECT_EQ(Scan(noMz), -1);
  std::vector<uint8_t> noPe = image;
  noPe[0x80 + 2] = 1;  // "PE\1\0"
  EXPECT_EQ(Scan(noPe), -1);
  EXPECT_EQ(ScanPayloadOffset(nullptr, 0), -1);
  EXPECT_EQ(ScanPayloadOffset(image.data(), 1), -1);
}

TEST(PayloadOffset, FieldsOutsideTheBytesReadGiveMinusOne) {
  // Header pointer beyond the bytes read, and just at their edge.
  std::vector<uint8_t> image = MakeImage({{0x400, 0x200}});
  PutU32(image, 60, 0xFFFFFFF0);
  EXPECT_EQ(Scan(image), -1);
  PutU32(image, 60, uint32_t(image.size() - 2));
  EXPECT_EQ(Scan(image), -1);
  // e_lfanew itself cut off.
  EXPECT_EQ(ScanPayloadOffset(MakeImage({}).data(), 62), -1);

  // A section table that runs past the bytes read: 3 headers claimed, room for 2.
  std::vector<uint8_t> table = MakeImage({{0x400, 0x200}, {0x600, 0x200}, {0x800, 0x200}});
  size_t end = 0x80 + 248 + 40 * 3;
  EXPECT_EQ(ScanPayloadOffset(table.data(), end), 0xA00);
  EXPECT_EQ(ScanPayloadOffset(table.data(), end - 1), -1);
  PutU16(table, 0x80 + 6, 0xFFFF);
  EXPECT_EQ(Scan(table), -1);

  // More than the 1 MiB buffer is never accepted as "bytes read".
  EXPECT_EQ(ScanPayloadOffset(table.data(), kHeaderBufferSize + 1), -1);
}

TEST(PayloadOffset, SectionTableFollowsTheOptionalHeaderSize) {
  // A 64-bit image's optional header is 240 bytes: its table starts 16 later.
  std::vector<uint8_t> image = MakeImage({}, 4096);
  PutU16(image, 0x80 + 6, 1);
  PutU16(image, 0x80 + 20, 240);
  PutU32(image, 0x80 + 264 + 16, 0x300);
  PutU32(image, 0x80 + 264 + 20, 0x400);
  EXPECT_EQ(Scan(image), 0x700);
}

TEST(ArchiveBasePath, CutsOnlyTheExtension) {
  struct Case { const wchar_t* path; const wchar_t* base; };
  const Case cases[] = {
      {L"C:\\Temp\\vexlode_6334_18467_41.zip", L"C:\\Temp\\vexlode_6334_18467_41"},
      {L"C:\\Users\\a.b\\App.Data\\Temp\\vexlode_1_2_3.zip", L"C:\\Users\\a.b\\App.Data\\Temp\\vexlode_1_2_3"},
      {L"nodot", L""},
  };
  for (const Case& c : cases) {
    wchar_t base[260];
    ArchiveBasePath(c.path, base, 260);
    EXPECT_EQ(std::wstring(base), c.base);
  }
  wchar_t small[8];
  ArchiveBasePath(L"C:\\Temp\\vexlode_1_2_3.zip", small, 8);
  EXPECT_EQ(std::wstring(small), L"C:\\Temp");
}

TEST(TemporaryNames, LaterNamesFromRandomBytesKeepTheirForm) {
  struct Row { uint8_t bytes[6]; const wchar_t* name; };
  const Row rows[] = {
      {{0x00, 0x00, 0x00, 0x00, 0x00, 0x00}, L"vexlode_0_0_0.zip"},
      {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, L"vexlode_32767_32767_32767.zip"},  // 15 bits, as rand()
      {{0x34, 0x12, 0x01, 0x80, 0x02, 0x00}, L"vexlode_2_1_4660.zip"},  // little-endian, drawn in order
  };
  for (const Row& row : rows) {
    int draws[3];
    DrawsFromRandomBytes(row.bytes, draws);
    wchar_t name[kArchiveNameChars];
    FormatArchiveName(name, kArchiveNameChars, draws[0], draws[1], draws[2]);
    EXPECT_EQ(std::wstring(name), row.name);
  }
}

TEST(TemporaryVolume, ElevatedRunsNeedALocalOneThatKeepsPermissions) {
  using U = TempVolumeUse;
  constexpr uint32_t kDisk = 0x07, kMounted = 0x20;  // FILE_DEVICE_DISK, FILE_DEVICE_IS_MOUNTED
  struct Row { bool elevated; TempVolume volume; U use; };
  const Row rows[] = {
      {true, {true, 0x0000000F, true, kDisk, kMounted}, U::kUsable},       // NTFS
      {true, {true, 0x00000007, true, kDisk, kMounted}, U::kNoPermissions},  // FAT, exFAT
      {true, {false, 0x0000000F, true, kDisk, 0}, U::kNoPermissions},  // nothing shows they are kept
      // A share reports the server's persistent ACLs; either sign is enough.
      {true, {true, 0x0000000F, true, kNetworkFileSystemDevice, 0}, U::kRemote},
      {true, {true, 0x0000000F, true, kDisk, kRemoteDeviceCharacteristic}, U::kRemote},
      {true, {true, 0x0000000F, true, kDfsFileSystemDevice, 0}, U::kRemote},
      {true, {true, 0x0000000F, false, 0, 0}, U::kRemote},  // not shown to be local
      {false, {true, 0x00000007, true, kDisk, 0}, U::kUsable},  // nothing to protect without elevation
      {false, {true, 0x0000000F, true, kNetworkFileSystemDevice, kRemoteDeviceCharacteristic}, U::kUsable},
      {false, {}, U::kUsable},
  };
  for (const Row& row : rows)
    EXPECT_EQ(JudgeTempVolume(row.elevated, row.volume), row.use)
        << row.elevated << row.volume.flags << " " << row.volume.deviceType << " "
        << row.volume.characteristics;
}

}  // namespace
