// The packer's pure parts: version numbers, UTF-8, the resource tree.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/version_string.h"
#include "tools/pack/bytes.h"
#include "tools/pack/pack_error.h"
#include "tools/pack/pe_resources.h"
#include "tools/pack/version_info.h"

namespace {

TEST(VersionNumber, ParsesOneToFourPartsAndRefusesTheRest) {
  struct Case { const char* text; std::vector<uint16_t> parts; const char* shown; };
  const Case accepted[] = {
      {"7", {7, 0, 0, 0}, "7"},
      {"1.2.3.4", {1, 2, 3, 4}, "1.2.3.4"},
      {"65535.0.65535.007", {65535, 0, 65535, 7}, "65535.0.65535.7"},
  };
  for (const Case& c : accepted) {
    VersionNumber v = ParseVersionNumber(c.text, "--file-version");
    EXPECT_EQ(std::vector<uint16_t>(v.parts, v.parts + 4), c.parts) << c.text;
    EXPECT_EQ(VersionText(v), c.shown);
  }
  for (const char* text : {"", "1.", ".1", "1..2", "1.2.3.4.5", "65536", "99999", "123456", "1,2", " 1", "1.2a", "-1",
                           "4294967297"})
    EXPECT_THROW(ParseVersionNumber(text, "--file-version"), PackError) << text;
}

TEST(Utf8ToUtf16, DecodesWellFormedTextAndRefusesTheRest) {
  EXPECT_EQ(Utf8ToUtf16("A\xC3\xA9\xE6\x98\x9F\xF0\x9F\x98\x80"), u"A\u00e9\u661f\U0001F600");
  EXPECT_EQ(Utf16ToUtf8(u"A\u00e9\u661f\U0001F600"), "A\xC3\xA9\xE6\x98\x9F\xF0\x9F\x98\x80");
  EXPECT_EQ(Utf16ToUtf8(std::u16string(u"a") + char16_t(0xD800) + u"b" + char16_t(0xDC00)), "a\xEF\xBF\xBD" "b\xEF\xBF\xBD");
  for (const char* bad : {"\x80", "\xC0\x80", "\xE0\x80\x80", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xE6\x98",
                          "\xF8\x88\x80\x80\x80", "a\xC3"})
    EXPECT_THROW(Utf8ToUtf16(bad), PackError) << bad;
}

TEST(VersionInfo, NamesItsStringTableAfterTheLanguageAndCodePage) {
  VersionInfo info;
  info.language = 0x0804;
  info.codePage = 936;
  SetVersionString(info, "ProductName", "a");
  SetVersionString(info, "ProductName", "b");  // the later value replaces the earlier
  std::vector<uint8_t> bytes = BuildVersionInfo(info);
  std::string text(bytes.begin(), bytes.end());
  EXPECT_NE(text.find(std::string("0\0" "8\0" "0\0" "4\0" "0\0" "3\0" "a\0" "8\0", 16)), std::string::npos);
  EXPECT_NE(text.find(std::string("\x04\x08\xa8\x03", 4)), std::string::npos);  // Translation
  EXPECT_EQ(text.find(std::string("a\0\0\0", 4)), std::string::npos);
  EXPECT_EQ(GetU16(bytes, 0), bytes.size());
}

// What the check reads back is what was written, whatever the key and value lengths do to the padding.
TEST(VersionInfo, StringsReadBackInOrder) {
  VersionInfo info;
  info.file = ParseVersionNumber("1.2.3", "--file-version");
  const std::vector<std::pair<std::string, std::string>> written = {
      {"ProductName", "星河 安装"}, {"A", ""}, {"CompanyName", "Acme"}, {"Comments", "x=y"}};
  for (const auto& [key, value] : written) SetVersionString(info, key, value);
  std::vector<std::pair<std::string, std::string>> expected = written;
  expected.emplace_back("FileVersion", "1.2.3");
  std::vector<uint8_t> bytes = BuildVersionInfo(info);
  EXPECT_EQ(ReadVersionStrings(bytes), expected);
  // A node that claims more than its parent holds is refused, not followed.
  SetU16(bytes, 0, uint16_t(bytes.size() - 8));
  EXPECT_THROW(ReadVersionStrings(bytes), PackError);
}

ResourceKey Id(uint16_t id) { return ResourceKey{false, id, {}}; }
ResourceKey Name(const std::u16string& name) { return ResourceKey{true, 0, name}; }

// The stub's own reader (the progress window's title) against the packer's writer.
TEST(VersionInfo, TheStubReadsTheProductNameThePackerWrote) {
  VersionInfo info;
  SetVersionString(info, "CompanyName", "Acme");
  SetVersionString(info, "ProductName", "\xE6\x98\x9F Setup");
  info.file = ParseVersionNumber("1.2", "--file-version");
  const std::vector<uint8_t> bytes = BuildVersionInfo(info);
  struct Row { const char* key; size_t size, capacity; std::wstring read; };
  const Row rows[] = {
      {"ProductName", bytes.size(), 64, L"\u661f Setup"},
      {"ProductName", bytes.size(), 4, L"\u661f S"},    // cut to the buffer
      {"CompanyName", bytes.size(), 64, L"Acme"},
      {"Product", bytes.size(), 64, L""},               // a key's prefix is not the key
      {"FileDescription", bytes.size(), 64, L""},
      {"ProductName", bytes.size() - 8, 64, L""},        // a node running past the end
  };
  for (const Row& row : rows) {
    wchar_t out[64] = {L'x'};
    EXPECT_EQ(VersionString(bytes.data(), row.size, row.key, out, row.capacity), row.read.size()) << row.key;
    EXPECT_EQ(std::wstring(out), row.read) << row.key << " " << row.capacity;
  }
}

TEST(ResourceSection, RoundTripsNamesIdsAndData) {
  ResourceTree tree;
  tree[Id(24)][Id(1)][Id(0x409)] = {{'<', 'x', '/', '>'}, 0};
  tree[Id(3)][Id(2)][Id(0)] = {std::vector<uint8_t>(13, 7), 1252};
  tree[Name(u"ZED")][Name(u"名前")][Id(0x804)] = {{1, 2, 3}, 0};
  tree[Name(u"ALPHA")][Id(5)][Id(0x409)] = {{}, 0};
  const uint32_t rva = 0x51c000;
  std::vector<uint8_t> section = BuildResourceSection(tree, rva);
  ResourceTree back = ParseResourceSection(section, rva);
  ASSERT_EQ(back.size(), tree.size());
  auto type = back.begin();
  EXPECT_TRUE(type->first.named && type->first.name == u"ALPHA");  // names before ids
  for (const auto& [typeKey, names] : tree)
    for (const auto& [nameKey, languages] : names)
      for (const auto& [languageKey, data] : languages) {
        const ResourceData& got = back.at(typeKey).at(nameKey).at(languageKey);
        EXPECT_EQ(got.bytes, data.bytes);
        EXPECT_EQ(got.codePage, data.codePage);
      }
  // The root lists two named and two numbered types; data RVAs count from the section's.
  EXPECT_EQ(GetU16(section, 12), 2);
  EXPECT_EQ(GetU16(section, 14), 2);
}

TEST(ResourceSection, RefusesHostileTrees) {
  ResourceTree tree;
  tree[Id(24)][Id(1)][Id(0x409)] = {{'m', 'f'}, 0};
  const uint32_t rva = 0x2000;
  const std::vector<uint8_t> good = BuildResourceSection(tree, rva);
  ASSERT_NO_THROW(ParseResourceSection(good, rva));
  // Layout: root table at 0, type table at 24, language table at 48, data entry at 72.
  struct Case { const char* what; size_t at; uint32_t value; };
  const Case cases[] = {
      {"root entry points back at the root: a loop", 16 + 4, 0x80000000},
      {"subdirectory past the end", 16 + 4, 0x80000000 | 0xFFFF},
      {"entry count past the end", 14, 0xFFFF},
      {"data entry where a table belongs", 16 + 4, 24},
      {"data before the section", 72, 0x1000},
      {"data size past the end", 76, 0x1000},
      {"name string past the end", 16, 0x80000000 | 0xFFF0},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> bad = good;
    if (c.at == 14) SetU16(bad, c.at, uint16_t(c.value));
    else SetU32(bad, c.at, c.value);
    EXPECT_THROW(ParseResourceSection(bad, rva), PackError) << c.what;
  }
  // Built where it would end at or past 4 GiB, its data RVAs would wrap
  // (and it would not parse back): refused.
  EXPECT_THROW(BuildResourceSection(tree, uint32_t(0x100000000 - good.size() + 8)), PackError);
  EXPECT_THROW(BuildResourceSection(tree, uint32_t(0x100000000 - good.size())), PackError);
  EXPECT_NO_THROW(BuildResourceSection(tree, uint32_t(0x100000000 - good.size() - 8)));
}

}  // namespace
