// Properties of the built stub that ship in every installer: what it imports,
// that nothing trails its sections, its subsystem and its manifest.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "app/payload.h"

namespace {

struct Image {
  std::vector<uint8_t> bytes;
  uint32_t pe = 0;
  bool pe32plus = false;

  uint16_t U16(size_t at) const { return bytes.at(at) | (bytes.at(at + 1) << 8); }
  uint32_t U32(size_t at) const { return U16(at) | (uint32_t(U16(at + 2)) << 16); }
  uint32_t SectionCount() const { return U16(pe + 6); }
  size_t SectionTable() const { return pe + 24 + U16(pe + 20); }
  size_t OptionalHeader() const { return pe + 24; }
  // Data directory i: RVA and size.
  std::pair<uint32_t, uint32_t> Directory(int i) const {
    size_t at = OptionalHeader() + (pe32plus ? 112 : 96) + 8 * i;
    return {U32(at), U32(at + 4)};
  }
  size_t FileOffset(uint32_t rva) const {
    for (uint32_t i = 0; i < SectionCount(); ++i) {
      size_t s = SectionTable() + 40 * i;
      uint32_t va = U32(s + 12), size = std::max(U32(s + 8), U32(s + 16)), raw = U32(s + 20);
      if (rva >= va && rva < va + size) return raw + (rva - va);
    }
    throw std::runtime_error("rva outside the sections");
  }
  std::string CString(size_t at) const {
    std::string out;
    while (bytes.at(at)) out += char(bytes[at++]);
    return out;
  }
};

Image Load(const char* variable) {
  const char* path = getenv(variable);
  if (!path) return {};
  std::ifstream in(path, std::ios::binary);
  Image image;
  image.bytes.assign(std::istreambuf_iterator<char>(in), {});
  if (image.bytes.size() < 64) return {};
  image.pe = image.U32(60);
  image.pe32plus = image.U16(image.pe + 24) == 0x20b;
  return image;
}

std::vector<std::string> ImportedDlls(const Image& image) {
  std::vector<std::string> names;
  auto [rva, size] = image.Directory(1);
  for (size_t at = image.FileOffset(rva);; at += 20) {
    uint32_t nameRva = image.U32(at + 12);
    if (!nameRva) break;
    names.push_back(image.CString(image.FileOffset(nameRva)));
  }
  return names;
}

// Every function imported by name, over all DLLs.
std::vector<std::string> ImportedFunctions(const Image& image) {
  std::vector<std::string> names;
  const size_t entry = image.pe32plus ? 8 : 4;
  for (size_t at = image.FileOffset(image.Directory(1).first); image.U32(at + 12); at += 20) {
    const uint32_t lookup = image.U32(at) ? image.U32(at) : image.U32(at + 16);
    for (size_t thunk = image.FileOffset(lookup);; thunk += entry) {
      const uint32_t low = image.U32(thunk), high = image.pe32plus ? image.U32(thunk + 4) : 0;
      if (!low && !high) break;
      const bool byOrdinal = image.pe32plus ? (high & 0x80000000u) : (low & 0x80000000u);
      if (!byOrdinal) names.push_back(image.CString(image.FileOffset(low) + 2));
    }
  }
  return names;
}

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), ::tolower);
  return text;
}

class StubTest : public ::testing::TestWithParam<const char*> {};

TEST_P(StubTest, ImportsOnlyDllsWindowsLoadsFromTheSystemDirectory) {
  Image image = Load(GetParam());
  if (image.bytes.empty()) GTEST_SKIP() << GetParam() << " not set";
  // Known DLLs: the loader maps them from the system directory whatever lies
  // beside the executable.
  const std::set<std::string> known = {"kernel32.dll", "msvcrt.dll", "user32.dll", "advapi32.dll"};
  std::vector<std::string> dlls = ImportedDlls(image);
  EXPECT_FALSE(dlls.empty());
  for (const std::string& dll : dlls) EXPECT_TRUE(known.count(Lower(dll))) << dll;
}

TEST_P(StubTest, HashesWithItsOwnCodeNotTheSystemProvider) {
  Image image = Load(GetParam());
  if (image.bytes.empty()) GTEST_SKIP() << GetParam() << " not set";
  // Loading the system's crypto provider alone costs megabytes of working set.
  const std::vector<std::string> functions = ImportedFunctions(image);
  EXPECT_NE(std::find(functions.begin(), functions.end(), "CreateFileW"), functions.end());
  for (const std::string& function : functions)
    EXPECT_NE(Lower(function).find("crypt"), 0u) << function;
}

TEST_P(StubTest, IsStrippedGuiImageWhoseSectionsEndTheFile) {
  Image image = Load(GetParam());
  if (image.bytes.empty()) GTEST_SKIP() << GetParam() << " not set";
  size_t scanned = std::min(image.bytes.size(), kHeaderBufferSize);
  EXPECT_EQ(ScanPayloadOffset(image.bytes.data(), scanned), int32_t(image.bytes.size()));
  EXPECT_EQ(image.U32(image.pe + 12), 0u) << "symbol table present";
  EXPECT_EQ(image.U16(image.OptionalHeader() + 68), 2) << "not the GUI subsystem";
}

TEST_P(StubTest, CarriesTheElevationManifest) {
  Image image = Load(GetParam());
  if (image.bytes.empty()) GTEST_SKIP() << GetParam() << " not set";
  std::string text(image.bytes.begin(), image.bytes.end());
  EXPECT_NE(text.find("level=\"requireAdministrator\" uiAccess=\"false\""), std::string::npos);
  EXPECT_NE(text.find("{e2011457-1546-43c5-a5fe-008deee3d3f0}"), std::string::npos);
  EXPECT_NE(text.find("{35138b9a-5d96-4fbd-8e2d-a2440225f93a}"), std::string::npos);
}

TEST(StubSources, NeverLoadALibraryThemselves) {
  // The loader maps the imports above from the system directory; our own
  // code loads nothing by name that a planted DLL could answer: a library
  // loaded at run time (the progress window's) comes from System32 only.
  namespace fs = std::filesystem;
  const std::regex fromSystem32(R"(LoadLibraryExW\([^;]*LOAD_LIBRARY_SEARCH_SYSTEM32\))");
  for (const char* folder : {"app", "unzip", "launch", "cleanup", "log", "common"}) {
    for (const auto& entry : fs::recursive_directory_iterator(fs::path(VEXLODE_ROOT) / folder)) {
      if (!entry.is_regular_file()) continue;
      std::ifstream in(entry.path());
      std::string source(std::istreambuf_iterator<char>(in), {});
      source = std::regex_replace(source, fromSystem32, "");
      EXPECT_EQ(source.find("LoadLibrary"), std::string::npos) << entry.path();
    }
  }
}

TEST(ShippedStub, SizeIsAtMost128KiBAndWhatTheReadmeSays) {
  Image image = Load("VEXLODE_STUB32");
  if (image.bytes.empty()) GTEST_SKIP() << "VEXLODE_STUB32 not set";
  const double size = image.bytes.size();
  EXPECT_LE(size, 128 * 1024);
  // The README gives a rounded figure; it must stay within a tenth of the truth.
  std::ifstream in(std::filesystem::path(VEXLODE_ROOT) / "README.md");
  std::string readme(std::istreambuf_iterator<char>(in), {});
  std::smatch stated;
  ASSERT_TRUE(std::regex_search(readme, stated, std::regex(R"(stub\s+is\s+about\s+(\d+)\s+KB)")));
  EXPECT_NEAR(std::stod(stated[1]) * 1000, size, size / 10) << "README: " << stated[0];
}

INSTANTIATE_TEST_SUITE_P(Builds, StubTest, ::testing::Values("VEXLODE_STUB32", "VEXLODE_STUB64"));

}  // namespace
