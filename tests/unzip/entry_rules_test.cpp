// The extractor's pure rules: name guard and safety, attributes, times,
// extra fields, header checks.
#include "unzip/entry_rules.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <string>
#include <vector>

#include "unzip/crypt_check.h"

namespace {

std::wstring Guarded(const wchar_t* name) { return GuardEntryName(name); }

TEST(GuardEntryName, DropsDrivesLeadingSeparatorsAndParentSteps) {
  struct Case { const wchar_t* name; const wchar_t* guarded; };
  const Case cases[] = {
      {L"C:\\x\\..\\y\\z.txt", L"y\\z.txt"},
      {L"/abs/file.txt", L"abs/file.txt"},
      {L"\\\\server\\share\\f.txt", L"server\\share\\f.txt"},
      {L"a/b/../c.txt", L"c.txt"},
      {L"docs/readme.txt", L"docs/readme.txt"},
      {L"../x", L"../x"},          // no separator in front: left to the safety check
      {L"..\\x", L"..\\x"},
      {L"a\\..\\..\\x", L"..\\x"},
      {L"a/../../x", L"../x"},
      {L"../../x", L"x"},
      {L"C:x.txt", L"x.txt"},
      {L"C:C:/\\D:x", L"x"},      // rules apply again after each step
      {L"?:x", L"x"},             // any character before the colon counts
      {L"a/..\\b/../c", L"c"},    // mixed separators
      {L"a\\../b", L"b"},
      {L"a/..\\b", L"b"},
      {L"dir/./f", L"dir/./f"},   // "." and trailing separators stay
      {L"dir/", L"dir/"},
      {L"a/..", L"a/.."},         // no separator after: not a pattern
      {L"", L""},
      {L":", L":"},
      {L"x:", L""},
  };
  for (const Case& row : cases) EXPECT_EQ(Guarded(row.name), row.guarded) << row.name;
  EXPECT_STREQ(GuardEntryName(nullptr), L"");
}

TEST(IsSafeEntryName, AcceptsNamesThatStayBelowTheBase) {
  for (const wchar_t* name : {L"setup.exe", L"a/b/c.txt", L"a\\b/c", L"dir/", L"./x", L"a/./b",
                              L"a//b", L"", L".hidden", L"a.b.c", L"..x", L"x..", L"CONFIG.SYS",
                              L"comma,name", L"COM10", L"LPT", L"文档/说明.txt", L"nul_file"})
    EXPECT_TRUE(IsSafeEntryName(name)) << name;
}

TEST(IsSafeEntryName, RefusesNamesThatCouldLeaveTheBase) {
  for (const wchar_t* name :
       {L"..", L"../x", L"..\\x", L"a/../x", L"a/..", L"...", L"a/.../b", L".. /x", L"a/. ./b",
        L" ", L"/abs", L"\\abs", L"\\\\server\\share", L"C:x", L"C:\\x", L"f.txt:stream",
        L"dir/f:$DATA", L"CON", L"con", L"aux.txt", L"dir/NUL", L"nul .txt", L"COM1",
        L"lpt9.log", L"COM\u00B9", L"CONIN$", L"conout$.x", L"a*b", L"a?b", L"a\"b", L"a<b",
        L"a>b", L"a|b", L"tab\there", L"new\nline"})
    EXPECT_FALSE(IsSafeEntryName(name)) << name;
  EXPECT_FALSE(IsSafeEntryName(nullptr));
}

TEST(MapEntryAttributes, DosHostsUseTheLowBitsUnixHostsTheMode) {
  struct Case { uint32_t host; uint32_t external; uint32_t attributes; };
  const Case cases[] = {
      {3, 0x41ED0000, 0x30},  // directory, archive
      {3, 0x81A40000, 0x20},
      {3, 0x81240000, 0x21},  // no owner write: read-only
      {3, 0x81A40027, 0x20},  // low bits ignored for Unix
      {0, 0x10, 0x10},
      {0, 0x20, 0x20},
      {0, 0x27, 0x27},
      {0, 0xFFFFFFFF, 0x37},  // only the five known bits
      {7, 0x03, 0x03},
      {11, 0x21, 0x21},
      {14, 0x12, 0x12},
      {19, 0x41ED0000, 0x30},  // any other host reads a Unix mode
      {1, 0x00000000, 0x21},
  };
  for (const Case& row : cases)
    EXPECT_EQ(MapEntryAttributes((row.host << 8) | 20, row.external), row.attributes)
        << row.host << " " << std::hex << row.external;
}

TEST(DecodeDosTime, DecodesFieldsAndRejectsImpossibleDates) {
  CalendarTime decoded;
  ASSERT_TRUE(DecodeDosTime(0x4A21, 0x63CF, &decoded));
  EXPECT_EQ(decoded.year, 2017);
  EXPECT_EQ(decoded.month, 1);
  EXPECT_EQ(decoded.day, 1);
  EXPECT_EQ(decoded.hour, 12);
  EXPECT_EQ(decoded.minute, 30);
  EXPECT_EQ(decoded.second, 30);

  auto date = [](int y, int m, int d) { return static_cast<uint16_t>(((y - 1980) << 9) | (m << 5) | d); };
  auto time = [](int h, int m, int s) { return static_cast<uint16_t>((h << 11) | (m << 5) | (s / 2)); };
  struct Case { uint16_t date, time; bool valid; };
  const Case cases[] = {
      {date(2017, 0, 1), 0, false},    {date(2017, 13, 1), 0, false},
      {date(2017, 1, 0), 0, false},    {date(2017, 2, 29), 0, false},
      {date(2016, 2, 29), 0, true},    {date(2000, 2, 29), 0, true},
      {date(2100, 2, 29), 0, false},   {date(2017, 4, 31), 0, false},
      {date(2017, 12, 31), time(23, 59, 58), true},
      {date(2017, 1, 1), time(24, 0, 0), false},
      {date(2017, 1, 1), time(0, 60, 0), false},
      {date(2017, 1, 1), 0x1E, false},  // 60 seconds
      {0x0021, 0, true},                // 1980-01-01
      {0xFF9F, 0, true},                // 2107-12-31
  };
  for (const Case& row : cases)
    EXPECT_EQ(DecodeDosTime(row.date, row.time, nullptr), row.valid) << std::hex << row.date << " " << row.time;
}

TEST(UnixTimeToFileTime, CountsFrom1601) {
  EXPECT_EQ(UnixTimeToFileTime(0), 116444736000000000ULL);
  EXPECT_EQ(UnixTimeToFileTime(1500000000), 131444736000000000ULL);
  EXPECT_EQ(UnixTimeToFileTime(-1), 116444735990000000ULL);
  EXPECT_EQ(UnixTimeToFileTime(INT32_MIN), 94969899520000000ULL);
}

std::vector<uint8_t> Block(const char* id, std::vector<uint8_t> data, int size = -1) {
  uint16_t n = static_cast<uint16_t>(size < 0 ? data.size() : size);
  std::vector<uint8_t> out = {uint8_t(id[0]), uint8_t(id[1]), uint8_t(n), uint8_t(n >> 8)};
  for (uint8_t byte : data) out.push_back(byte);  // (insert trips a GCC 12 false warning)
  return out;
}

std::vector<uint8_t> Le32(int32_t v) {
  uint32_t u = static_cast<uint32_t>(v);
  return {uint8_t(u), uint8_t(u >> 8), uint8_t(u >> 16), uint8_t(u >> 24)};
}

std::vector<uint8_t> Concat(std::initializer_list<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> out;
  for (const auto& part : parts)
    for (uint8_t byte : part) out.push_back(byte);
  return out;
}

TEST(ParseExtendedTimestamp, TakesTheTimesItsFlagsAnnounce) {
  ExtendedTimes times;
  auto one = Block("UT", Concat({{0x01}, Le32(1500000000)}));
  ASSERT_TRUE(ParseExtendedTimestamp(one.data(), one.size(), &times));
  EXPECT_TRUE(times.hasWrite);
  EXPECT_FALSE(times.hasAccess);
  EXPECT_FALSE(times.hasCreation);
  EXPECT_EQ(times.write, UnixTimeToFileTime(1500000000));

  ExtendedTimes all;
  auto seven = Block("UT", Concat({{0x07}, Le32(100), Le32(200), Le32(300)}));
  ASSERT_TRUE(ParseExtendedTimestamp(seven.data(), seven.size(), &all));
  EXPECT_EQ(all.write, UnixTimeToFileTime(100));
  EXPECT_EQ(all.access, UnixTimeToFileTime(200));
  EXPECT_EQ(all.creation, UnixTimeToFileTime(300));

  ExtendedTimes creationOnly;  // times follow in flag order, absent ones take no room
  auto four = Block("UT", Concat({{0x04}, Le32(300)}));
  ASSERT_TRUE(ParseExtendedTimestamp(four.data(), four.size(), &creationOnly));
  EXPECT_FALSE(creationOnly.hasWrite);
  EXPECT_EQ(creationOnly.creation, UnixTimeToFileTime(300));
}

TEST(ParseExtendedTimestamp, SkipsOtherBlocksAndTakesOnlyTheFirstUt) {
  auto field = Concat({Block("ux", std::vector<uint8_t>(11, 0x55)),
                       Block("UT", Concat({{0x01}, Le32(111)})),
                       Block("UT", Concat({{0x03}, Le32(222), Le32(333)}))});
  ExtendedTimes times;
  ASSERT_TRUE(ParseExtendedTimestamp(field.data(), field.size(), &times));
  EXPECT_EQ(times.write, UnixTimeToFileTime(111));
  EXPECT_FALSE(times.hasAccess);

  // An "UT" inside another block's data is not a block.
  auto hidden = Concat({Block("xx", Concat({{'U', 'T', 5, 0, 1}, Le32(7)})), Block("zz", {})});
  ExtendedTimes none;
  EXPECT_FALSE(ParseExtendedTimestamp(hidden.data(), hidden.size(), &none));
  EXPECT_FALSE(none.hasWrite);
}

TEST(ParseExtendedTimestamp, NeverReadsBeyondTheFieldOrTheBlock) {
  // The block says 5 bytes though the field goes on: only the block counts.
  auto field = Concat({Block("UT", Concat({{0x03}, Le32(10)})), Le32(20)});
  ExtendedTimes shortBlock;
  ASSERT_TRUE(ParseExtendedTimestamp(field.data(), field.size(), &shortBlock));
  EXPECT_TRUE(shortBlock.hasWrite);
  EXPECT_FALSE(shortBlock.hasAccess);

  // A block size running past the end ends the search.
  auto runaway = Concat({Block("ab", {1, 2}, 0xFFFF), Block("UT", Concat({{0x01}, Le32(1)}))});
  ExtendedTimes nothing;
  EXPECT_FALSE(ParseExtendedTimestamp(runaway.data(), runaway.size(), &nothing));

  // Flags announce three times, the block holds them, the field is cut at
  // every length: never more than fits.
  auto full = Block("UT", Concat({{0x07}, Le32(1), Le32(2), Le32(3)}));
  for (size_t length = 0; length <= full.size(); ++length) {
    std::vector<uint8_t> copy(full.begin(), full.begin() + length);
    ExtendedTimes partial;
    ParseExtendedTimestamp(copy.data(), copy.size(), &partial);
    EXPECT_EQ(partial.hasWrite, length >= 9) << length;
    EXPECT_EQ(partial.hasAccess, length >= 13) << length;
    EXPECT_EQ(partial.hasCreation, length >= 17) << length;
  }
}

TEST(ParseExtendedTimestamp, FieldsOfFourBytesOrFewerAreNotSearched) {
  const uint8_t field[] = {'U', 'T', 0, 0};
  ExtendedTimes times;
  EXPECT_FALSE(ParseExtendedTimestamp(field, sizeof field, &times));
  EXPECT_FALSE(ParseExtendedTimestamp(nullptr, 0, &times));
}

TEST(JoinPath, FitsExactlyOrWritesNothing) {
  wchar_t out[8];
  EXPECT_TRUE(JoinPath(out, 8, L"ab", L"cdXX", 2, L"efg"));  // 7 units + terminator
  EXPECT_STREQ(out, L"abcdefg");
  EXPECT_FALSE(JoinPath(out, 8, L"ab", L"cd", 2, L"efgh"));
  EXPECT_STREQ(out, L"");
  EXPECT_FALSE(JoinPath(out, 8, L"abcdefgh", L"", 0, L""));
  EXPECT_FALSE(JoinPath(out, 8, L"a", L"bcdefghij", 9, L""));
  EXPECT_TRUE(JoinPath(out, 8, L"", L"", 0, L""));
  EXPECT_STREQ(out, L"");
}

struct LocalHeader {
  uint8_t bytes[kLocalHeaderSize] = {};
  LocalHeader(uint16_t flags, uint16_t method, uint32_t crc, uint32_t compressed,
              uint32_t uncompressed, uint16_t nameLength) {
    Put32(0, 0x04034b50);
    Put16(4, 20);
    Put16(6, flags);
    Put16(8, method);
    Put32(14, crc);
    Put32(18, compressed);
    Put32(22, uncompressed);
    Put16(26, nameLength);
  }
  void Put16(size_t at, uint16_t v) { bytes[at] = uint8_t(v); bytes[at + 1] = uint8_t(v >> 8); }
  void Put32(size_t at, uint32_t v) { Put16(at, uint16_t(v)); Put16(at + 2, uint16_t(v >> 16)); }
};

// A local extra field: blocks of (ID, data).
std::vector<uint8_t> Field(std::initializer_list<std::pair<uint16_t, std::vector<uint8_t>>> blocks) {
  std::vector<uint8_t> out;
  for (const auto& block : blocks) {
    for (unsigned v : {unsigned(block.first), unsigned(block.second.size())}) {
      out.push_back(uint8_t(v));
      out.push_back(uint8_t(v >> 8));
    }
    out.insert(out.end(), block.second.begin(), block.second.end());
  }
  return out;
}

std::vector<uint8_t> Sizes(std::initializer_list<uint64_t> values) {
  std::vector<uint8_t> out;
  for (uint64_t v : values)
    for (int i = 0; i < 8; ++i) out.push_back(uint8_t(v >> (8 * i)));
  return out;
}

TEST(LocalHeaderAgrees, ComparesWhatTheCentralRecordRepeats) {
  const CentralFields central = {8, 0xCAFEBABE, 100, 300, 9};
  const uint32_t ff = 0xFFFFFFFF;
  struct Case { const char* what; LocalHeader header; bool agrees; std::vector<uint8_t> extra; };
  const Case cases[] = {
      {"same", {0, 8, 0xCAFEBABE, 100, 300, 9}, true, {}},
      {"crc", {0, 8, 0xCAFEBABF, 100, 300, 9}, false, {}},
      {"compressed", {0, 8, 0xCAFEBABE, 101, 300, 9}, false, {}},
      {"uncompressed", {0, 8, 0xCAFEBABE, 100, 299, 9}, false, {}},
      {"ffff size", {0, 8, 0xCAFEBABE, 0xFFFFFFFF, 300, 9}, false, {}},
      {"descriptor", {8, 8, 0, 0, 0, 9}, true, {}},
      {"method", {0, 0, 0xCAFEBABE, 100, 300, 9}, false, {}},
      {"name length", {0, 8, 0xCAFEBABE, 100, 300, 10}, false, {}},
      // ZIP64 blocks: uncompressed size first, then compressed.
      {"zip64 both", {0, 8, 0xCAFEBABE, ff, ff, 9}, true, Field({{1, Sizes({300, 100})}})},
      {"zip64 swapped", {0, 8, 0xCAFEBABE, ff, ff, 9}, false, Field({{1, Sizes({100, 300})}})},
      {"zip64 after another block", {0, 8, 0xCAFEBABE, ff, ff, 9}, true,
       Field({{0x5455, {1, 2, 3, 4, 5}}, {1, Sizes({300, 100})}})},
      {"zip64 compressed only", {0, 8, 0xCAFEBABE, ff, 300, 9}, true, Field({{1, Sizes({100})}})},
      {"zip64 both held, one marked", {0, 8, 0xCAFEBABE, ff, 300, 9}, true,
       Field({{1, Sizes({300, 100})}})},
      {"zip64 too short", {0, 8, 0xCAFEBABE, ff, ff, 9}, false, Field({{1, Sizes({300})}})},
      {"zip64 cut by the field", {0, 8, 0xCAFEBABE, ff, ff, 9}, false,
       [] { auto field = Field({{1, Sizes({300, 100})}}); field.pop_back(); return field; }()},
      {"zip64 unmarked size wrong", {0, 8, 0xCAFEBABE, ff, 301, 9}, false,
       Field({{1, Sizes({300, 100})}})},
      {"other ID only", {0, 8, 0xCAFEBABE, ff, ff, 9}, false, Field({{0x0101, Sizes({300, 100})}})},
      {"zip64 under a descriptor", {8, 8, 0, ff, ff, 9}, true, Field({{1, Sizes({1, 2})}})},
  };
  for (uint16_t method : {0, 1, 9, 12, 14, 99}) {  // only stored, deflated and LZMA are supported
    LocalHeader header(0, method, 1, 2, 3, 4);
    EXPECT_EQ(LocalHeaderAgrees(header.bytes, kLocalHeaderSize, {method, 1, 2, 3, 4}),
              method == 0 || method == 14) << method;
  }
  for (const Case& row : cases)
    EXPECT_EQ(LocalHeaderAgrees(row.header.bytes, kLocalHeaderSize, central, row.extra.data(),
                                row.extra.size()),
              row.agrees)
        << row.what;

  // Beyond 4 GiB only a ZIP64 block can give the sizes.
  const CentralFields big = {8, 0xCAFEBABE, 5000000000u, 0x100000001u, 9};
  LocalHeader marked(0, 8, 0xCAFEBABE, ff, ff, 9);
  std::vector<uint8_t> zip64 = Field({{1, Sizes({0x100000001u, 5000000000u})}});
  EXPECT_TRUE(LocalHeaderAgrees(marked.bytes, kLocalHeaderSize, big, zip64.data(), zip64.size()));
  EXPECT_FALSE(LocalHeaderAgrees(marked.bytes, kLocalHeaderSize, big));
  LocalHeader wrapped(0, 8, 0xCAFEBABE, 705032704u, 1, 9);  // the sizes modulo 2^32
  EXPECT_FALSE(LocalHeaderAgrees(wrapped.bytes, kLocalHeaderSize, big));

  LocalHeader versionAndDate(0, 8, 0xCAFEBABE, 100, 300, 9);  // not compared
  versionAndDate.Put16(4, 63);
  versionAndDate.Put32(10, 0x12345678);
  EXPECT_TRUE(LocalHeaderAgrees(versionAndDate.bytes, kLocalHeaderSize, central));
  LocalHeader good(0, 8, 0xCAFEBABE, 100, 300, 9);
  good.Put32(0, 0x04034b51);
  EXPECT_FALSE(LocalHeaderAgrees(good.bytes, sizeof good.bytes, central));
  LocalHeader fine(0, 8, 0xCAFEBABE, 100, 300, 9);
  EXPECT_FALSE(LocalHeaderAgrees(fine.bytes, kLocalHeaderSize - 1, central));
}

TEST(IsEmptyArchive, OnlyAnEndRecordAndItsComment) {
  std::vector<uint8_t> end = {'P', 'K', 5, 6, 0, 0, 0, 0, 0, 0, 0, 0,
                              0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_TRUE(IsEmptyArchive(end.data(), end.size()));
  EXPECT_FALSE(IsEmptyArchive(end.data(), end.size() - 1));
  std::vector<uint8_t> commented = end;
  commented[20] = 3;
  commented.resize(25, 'c');
  EXPECT_TRUE(IsEmptyArchive(commented.data(), commented.size()));
  EXPECT_FALSE(IsEmptyArchive(commented.data(), commented.size() - 1));  // comment cut short
  for (size_t field = 4; field < 20; ++field) {  // any disk, count, size or offset
    std::vector<uint8_t> other = end;
    other[field] = 1;
    EXPECT_FALSE(IsEmptyArchive(other.data(), other.size())) << field;
  }
  end[3] = 5;
  EXPECT_FALSE(IsEmptyArchive(end.data(), end.size()));
}

// Encrypts an encryption header the way an archiver does (empty password).
std::vector<uint8_t> EncryptHeader(uint8_t checkByte) {
  const z_crc_t* table = get_crc_table();
  uint32_t k0 = 0x12345678, k1 = 0x23456789, k2 = 0x34567890;
  std::vector<uint8_t> out;
  for (int i = 0; i < 12; ++i) {
    uint8_t plain = i == 11 ? checkByte : static_cast<uint8_t>(i * 29 + 3);
    uint32_t t = (k2 | 2) & 0xFFFF;
    out.push_back(plain ^ static_cast<uint8_t>((t * (t ^ 1)) >> 8));
    k0 = table[(k0 ^ plain) & 0xFF] ^ (k0 >> 8);
    k1 = (k1 + (k0 & 0xFF)) * 134775813 + 1;
    k2 = table[(k2 ^ (k1 >> 24)) & 0xFF] ^ (k2 >> 8);
  }
  return out;
}

TEST(EncryptionCheck, DecryptsTheLastHeaderByteAndPicksTheRule) {
  for (int check : {0x00, 0x63, 0xB5, 0xFF}) {
    auto header = EncryptHeader(static_cast<uint8_t>(check));
    EXPECT_EQ(DecryptedCheckByte(header.data()), check);
  }
  // Without a data descriptor: the CRC-32's high byte; with one: the time's high byte.
  EXPECT_EQ(ExpectedCheckByte(0x0001, 0xB5123456, 0x4A2163CF), 0xB5);
  EXPECT_EQ(ExpectedCheckByte(0x0009, 0xB5123456, 0x4A2163CF), 0x63);
}

}  // namespace
