// The packer, run as a command on real files.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <vector>

#include "app/payload.h"
#include "app/payload_seal.h"
#include "common/sha256.h"
#include "tools/pack/bytes.h"
#include "tools/pack/pe_resources.h"
#include "tools/pack/seal.h"

namespace fs = std::filesystem;

namespace {

std::string Output(const std::string& command) {
  std::string output;
  FILE* pipe = popen(command.c_str(), "r");
  char buffer[4096];
  size_t got;
  while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, got);
  pclose(pipe);
  return output;
}

// An .ico file holding images of the given sizes (256 as 0), each a stand-in
// PNG of a distinct length, laid out in order after the directory.
std::string MakeIco(const std::vector<int>& sizes) {
  std::string directory = {0, 0, 1, 0, char(sizes.size()), 0}, images;
  for (size_t i = 0; i < sizes.size(); ++i) {
    std::string image = "\x89PNG\r\n\x1a\n" + std::string(100 + 37 * i, char('a' + i));
    uint32_t offset = uint32_t(6 + 16 * sizes.size() + images.size()), size = uint32_t(image.size());
    directory += {char(sizes[i] & 0xFF), char(sizes[i] & 0xFF), 0, 0, 1, 0, 32, 0};
    for (uint32_t v : {size, offset})
      directory += {char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
    images += image;
  }
  return directory + images;
}

std::string Utf16(const std::u16string& text) {
  std::string bytes;
  for (char16_t c : text) bytes += {char(c & 0xFF), char(c >> 8)};
  return bytes;
}

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}
void WriteAll(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string Hex(const uint8_t (&digest)[32]) {
  std::string hex;
  for (uint8_t b : digest) hex += "0123456789abcdef"[b >> 4], hex += "0123456789abcdef"[b & 15];
  return hex;
}

std::string Hex(const Sha256Digest& digest) { return Hex(digest.bytes); }

std::vector<uint8_t> BytesOf(const std::string& text) { return std::vector<uint8_t>(text.begin(), text.end()); }

// Where the stub keeps its seal record, the start of its seal section: the
// packer fills it in place.
size_t SealRecordAt(const std::string& stub) {
  const std::vector<uint8_t> bytes = BytesOf(stub);
  const PeLayout layout = ScanImage(bytes);
  for (size_t i = 0; i < layout.sectionCount; ++i) {
    const size_t header = SectionHeader(layout, i);
    if (stub.compare(header, sizeof kSealSectionName, kSealSectionName, sizeof kSealSectionName) == 0)
      return GetU32(bytes, header + 20);
  }
  return std::string::npos;
}

// `packed` with the stub's own seal record and checksum put back.
std::string Unsealed(std::string packed, const std::string& stub) {
  const size_t record = SealRecordAt(stub), checksum = ChecksumField(ScanImage(BytesOf(stub)));
  packed.replace(record, kSealRecordSize, stub.substr(record, kSealRecordSize));
  packed.replace(checksum, 4, stub.substr(checksum, 4));
  return packed;
}

struct PackRun {
  int status;
  std::string output;
};

// VEXLODE_PACKER runs the same table against another build of the packer
// (the Windows one under Wine).
std::string Packer() {
  const char* other = getenv("VEXLODE_PACKER");
  return other ? other : PACKER;
}
bool WindowsPacker() { return getenv("VEXLODE_PACKER") != nullptr; }

PackRun Pack(const std::string& arguments, const std::string& packer = Packer()) {
  std::string command = packer + " " + arguments + " 2>&1";
  PackRun run{0, {}};
  FILE* pipe = popen(command.c_str(), "r");
  char buffer[512];
  while (fgets(buffer, sizeof buffer, pipe)) run.output += buffer;
  run.status = pclose(pipe);
  return run;
}

class PackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* stub = getenv("VEXLODE_STUB32");
    ASSERT_TRUE(stub && fs::exists(stub)) << "VEXLODE_STUB32 must name the built stub";
    stub_ = stub;
    dir_ = fs::temp_directory_path() / ("vexlode_pack_" + std::to_string(getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "pkg" / "data");
    WriteAll(dir_ / "pkg" / "setup.exe", "MZ not really a program");
    WriteAll(dir_ / "pkg" / "data" / "b.txt", std::string(100000, 'b'));
    WriteAll(dir_ / "pkg" / "a.txt", "alpha");
    chmod((dir_ / "pkg" / "a.txt").c_str(), 0444);
    Zip("good.zip", "setup.exe a.txt");
    Zip("nosetup.zip", "a.txt data");
  }
  void TearDown() override { fs::remove_all(dir_); }

  void Zip(const std::string& name, const std::string& members) {
    std::string command = "cd '" + (dir_ / "pkg").string() + "' && zip -qr '" +
                          (dir_ / name).string() + "' " + members;
    ASSERT_EQ(system(command.c_str()), 0);
  }
  std::string Arg(const fs::path& p) const { return "'" + p.string() + "'"; }
  void ExpectRefused(const std::string& arguments, const std::string& reason, const fs::path& out) {
    PackRun run = Pack(arguments);
    EXPECT_NE(run.status, 0) << arguments;
    EXPECT_NE(run.output.find(reason), std::string::npos) << run.output;
    EXPECT_EQ(std::count(run.output.begin(), run.output.end(), '\n'), 1) << run.output;
    EXPECT_FALSE(fs::exists(out)) << out;
    EXPECT_FALSE(fs::exists(out.string() + ".partial")) << out;
  }

  fs::path stub_, dir_;
};

TEST_F(PackTest, AppendsTheArchiveRightAfterTheStub) {
  fs::path out = dir_ / "installer.exe";
  PackRun run = Pack("--stub " + Arg(stub_) + " " + Arg(dir_ / "good.zip") + " -o " + Arg(out));
  ASSERT_EQ(run.status, 0) << run.output;
  std::string stub = ReadAll(stub_), zip = ReadAll(dir_ / "good.zip"), packed = ReadAll(out);
  ASSERT_EQ(packed.size(), stub.size() + zip.size());
  // The stub ships unsealed; the packed image differs from it only in the
  // seal (the archive's size and digest) and the checksum over it.
  const size_t record = SealRecordAt(stub);
  ASSERT_NE(record, std::string::npos);
  PayloadSeal seal;
  EXPECT_EQ(ReadSealRecord(reinterpret_cast<const uint8_t*>(stub.data()) + record, kSealRecordSize, &seal),
            SealState::Empty);
  ASSERT_EQ(ReadSealRecord(reinterpret_cast<const uint8_t*>(packed.data()) + record, kSealRecordSize, &seal),
            SealState::Present);
  EXPECT_EQ(seal.archiveSize, zip.size());
  // The packer and the stub share one SHA-256; coreutils' is independent of it.
  EXPECT_EQ(Hex(seal.digest), Output("sha256sum " + Arg(dir_ / "good.zip")).substr(0, 64));
  EXPECT_TRUE(Unsealed(packed.substr(0, stub.size()), stub) == stub);
  const std::vector<uint8_t> image = BytesOf(packed.substr(0, stub.size()));
  const size_t checksum = ChecksumField(ScanImage(image));
  EXPECT_EQ(GetU32(image, checksum), PeChecksum(image, checksum));
  EXPECT_TRUE(packed.substr(stub.size()) == zip);
  size_t scanned = std::min(packed.size(), kHeaderBufferSize);
  EXPECT_EQ(ScanPayloadOffset(reinterpret_cast<const uint8_t*>(packed.data()), scanned),
            int32_t(stub.size()));
}

TEST_F(PackTest, ZipsADirectoryDeterministicallyKeepingReadOnly) {
  fs::path out1 = dir_ / "one.exe", out2 = dir_ / "two.exe";
  ASSERT_EQ(Pack("--stub " + Arg(stub_) + " " + Arg(dir_ / "pkg") + " -o " + Arg(out1)).status, 0);
  ASSERT_EQ(Pack("--stub " + Arg(stub_) + " " + Arg(dir_ / "pkg") + " -o " + Arg(out2)).status, 0);
  EXPECT_EQ(ReadAll(out1), ReadAll(out2));
  // unzip reads the appended archive (it skips the stub) and lists it in order.
  std::string listing;
  FILE* pipe = popen(("unzip -Z '" + out1.string() + "' 2>/dev/null").c_str(), "r");
  char buffer[512];
  while (fgets(buffer, sizeof buffer, pipe)) listing += buffer;
  pclose(pipe);
  size_t a = listing.find(" a.txt"), data = listing.find(" data/\n"), b = listing.find(" data/b.txt"),
         setup = listing.find(" setup.exe");
  ASSERT_NE(setup, std::string::npos) << listing;
  EXPECT_LT(a, data);
  EXPECT_LT(data, b);
  EXPECT_LT(b, setup);
  EXPECT_NE(listing.find("-r--r--r--"), std::string::npos) << listing;
  EXPECT_NE(listing.find(" def"), std::string::npos) << listing;
  EXPECT_FALSE(fs::exists(dir_ / "one.exe.zip.partial"));
}

TEST_F(PackTest, RefusesBadInputWithoutWritingTheOutput) {
  fs::path out = dir_ / "out.exe";
  WriteAll(dir_ / "text.exe", "just text, no image");
  std::string packed = ReadAll(stub_) + "trailing";
  WriteAll(dir_ / "packed.exe", packed);
  WriteAll(dir_ / "notzip.zip", std::string(5000, 'z'));
  std::string stub = "--stub " + Arg(stub_) + " ";

  // A stub built without a place for the seal (its section renamed here).
  std::string unsealable = ReadAll(stub_);
  unsealable.replace(unsealable.find(".vxseal"), 7, ".vxsea_");
  WriteAll(dir_ / "unsealable.exe", unsealable);
  // A stub that ends right after its file header: nothing to read the optional header from.
  std::string headerOnly(64, '\0');
  headerOnly[0] = 'M', headerOnly[1] = 'Z', headerOnly[60] = 64;
  headerOnly += std::string("PE\0\0\x4c\x01", 6) + std::string(18, '\0');
  WriteAll(dir_ / "headeronly.exe", headerOnly);
  // setup.exe elsewhere than at the root is not what the stub runs.
  fs::create_directories(dir_ / "pkg" / "sub");
  fs::copy_file(dir_ / "pkg" / "setup.exe", dir_ / "pkg" / "sub" / "setup.exe");
  fs::copy_file(dir_ / "pkg" / "setup.exe", dir_ / "pkg" / "xsetup.exe");
  Zip("sub.zip", "a.txt sub/setup.exe");
  Zip("xsetup.zip", "a.txt xsetup.exe");
  struct Input { fs::path stub; const char* package; const char* reason; };
  const Input inputs[] = {
      {dir_ / "text.exe", "good.zip", "not a PE image"},
      {dir_ / "packed.exe", "good.zip", "bytes after its sections"},
      {dir_ / "unsealable.exe", "good.zip", "no seal section"},
      {dir_ / "headeronly.exe", "good.zip", "not a 32-bit PE image"},
      {stub_, "notzip.zip", "not a readable ZIP"},
      {stub_, "nosetup.zip", "no setup.exe at its root"},
      {stub_, "sub.zip", "no setup.exe at its root"},
      {stub_, "xsetup.zip", "no setup.exe at its root"},
      {stub_, "missing.zip", "does not exist"},
  };
  for (const Input& input : inputs)
    ExpectRefused("--stub " + Arg(input.stub) + " " + Arg(dir_ / input.package) + " -o " + Arg(out),
                  input.reason, out);

  // Branding options: bad icons, version numbers and strings.
  WriteAll(dir_ / "text.ico", "not an icon at all");
  WriteAll(dir_ / "empty.ico", std::string("\0\0\1\0\0\0", 6));
  std::string outside = MakeIco({16, 32});
  outside[6 + 16 + 15] = char(0x7F);  // second image's offset far past the end
  WriteAll(dir_ / "outside.ico", outside);
  WriteAll(dir_ / "shortdir.ico", MakeIco({16, 32, 48}).substr(0, 6 + 16 * 2));
  struct Row { std::string options, reason; bool fitsWindowsCommandLine; };
  const std::vector<Row> rows = {
      {"--working-directory elsewhere", "expected package or caller", true},
      {"--installer-temp shared", "expected private or user", true},
      {"--icon " + Arg(dir_ / "text.ico"), "bad header", true},
      {"--icon " + Arg(dir_ / "empty.ico"), "holds no images", true},
      {"--icon " + Arg(dir_ / "outside.ico"), "image 2 points outside the file", true},
      {"--icon " + Arg(dir_ / "shortdir.ico"), "runs past the end of the file", true},
      {"--icon " + Arg(dir_ / "missing.ico"), "cannot read", true},
      {"--file-version 1.2.3.4.5", "expected 1 to 4 numbers", true},
      {"--file-version 65536", "expected 1 to 4 numbers", true},
      {"--product-version 1..2", "expected 1 to 4 numbers", true},
      {"--product-version 1.2a", "expected 1 to 4 numbers", true},
      {"--product-version ''", "expected 1 to 4 numbers", true},
      {"--version-language 10000", "expected a number", true},
      {"--version-string NoEquals", "expected KEY=VALUE", true},
      {"--version-string =value", "expected KEY=VALUE", true},
      {"--compression zip", "expected lzma, deflate or store", true},
      {"--version-string \"$(printf 'Comments=\\377')\"", "not valid UTF-8", false},
      // Over 65535 bytes as UTF-16; Windows command lines stop at 32767 characters.
      {"--version-string Comments=" + std::string(33000, 'x'), "too long", false},
  };
  for (const Row& row : rows) {
    if (WindowsPacker() && !row.fitsWindowsCommandLine) continue;
    ExpectRefused(stub + Arg(dir_ / "good.zip") + " -o " + Arg(out) + " " + row.options, row.reason, out);
  }

  // The output is an input, under its own name or through a hard link: refused, the input untouched.
  fs::copy_file(stub_, dir_ / "stubcopy.exe");
  fs::create_hard_link(dir_ / "stubcopy.exe", dir_ / "stublink.exe");
  fs::create_hard_link(dir_ / "good.zip", dir_ / "goodlink.zip");
  struct Same { const char* stub; const char* package; const char* out; const char* reason; };
  const Same sames[] = {
      {"stubcopy.exe", "good.zip", "stubcopy.exe", "is the stub itself"},
      {"stublink.exe", "good.zip", "stubcopy.exe", "is the stub itself"},
      {"stubcopy.exe", "good.zip", "goodlink.zip", "is the package itself"},
      {"stubcopy.exe", "good.zip", "good.zip", "is the package itself"},
  };
  for (const Same& same : sames) {
    const std::string before = ReadAll(dir_ / same.out);
    PackRun run = Pack("--stub " + Arg(dir_ / same.stub) + " " + Arg(dir_ / same.package) + " -o " +
                       Arg(dir_ / same.out));
    EXPECT_NE(run.status, 0) << same.out;
    EXPECT_NE(run.output.find(same.reason), std::string::npos) << run.output;
    EXPECT_TRUE(ReadAll(dir_ / same.out) == before) << same.out << " was overwritten";
  }
}

// Read back with icoutils' wrestool, which knows nothing of our code.
TEST_F(PackTest, BrandingReadsBackIndependently) {
  if (system("command -v wrestool >/dev/null") != 0) GTEST_SKIP() << "wrestool (icoutils) missing";
  const std::string ico = MakeIco({16, 48, 256});
  WriteAll(dir_ / "app.ico", ico);
  fs::path plain = dir_ / "plain.exe", branded = dir_ / "branded.exe";
  const std::string common = "--stub " + Arg(stub_) + " " + Arg(dir_ / "good.zip") + " -o ";
  ASSERT_EQ(Pack(common + Arg(plain)).status, 0);
  PackRun run = Pack(common + Arg(branded) + " --icon " + Arg(dir_ / "app.ico") +
                     " --version-string 'ProductName=星河 安装' --version-string CompanyName=Acme"
                     " --version-string FileVersion=v1-custom --version-string Comments=x=y"
                     " --file-version 1.2.3.4 --product-version 5.6");
  ASSERT_EQ(run.status, 0) << run.output;

  auto resource = [&](const fs::path& exe, int type) {
    return Output("wrestool -x --raw --type=" + std::to_string(type) + " " + Arg(exe) + " 2>/dev/null");
  };
  // wrestool rebuilds the .ico from the group and its images (and appends a few bytes of its own).
  std::string icon = Output("wrestool -x --type=14 " + Arg(branded) + " 2>/dev/null");
  EXPECT_EQ(icon.substr(0, ico.size()), ico);
  EXPECT_EQ(resource(branded, 24), resource(plain, 24));  // the manifest
  EXPECT_NE(resource(plain, 24).find("requireAdministrator"), std::string::npos);

  std::string version = resource(branded, 16);
  for (const char16_t* text : {u"ProductName", u"星河 安装", u"CompanyName", u"Acme", u"Comments",
                                     u"x=y", u"FileVersion", u"v1-custom", u"ProductVersion", u"5.6",
                                     u"040904b0", u"Translation"})
    EXPECT_NE(version.find(Utf16(text) + std::string(2, '\0')), std::string::npos) << version.size();
  EXPECT_EQ(version.find(Utf16(u"1.2.3.4")), std::string::npos) << "numeric version overrode the string";
  // VS_FIXEDFILEINFO: signature, structure version, file 1.2.3.4, product 5.6.0.0.
  const std::string fixed("\xbd\x04\xef\xfe\0\0\1\0\2\0\1\0\4\0\3\0\6\0\5\0\0\0\0\0", 24);
  EXPECT_NE(version.find(fixed), std::string::npos);

  // Everything up to the resource section, headers aside, is the stub's; the archive follows.
  std::string stub = ReadAll(stub_), zip = ReadAll(dir_ / "good.zip");
  std::string image = ReadAll(branded);
  const std::string sealedImage = image;
  image = Unsealed(image, stub);
  const std::vector<uint8_t> stubBytes = BytesOf(stub);
  const PeLayout layout = ScanImage(stubBytes);
  size_t firstRaw = stub.size(), lastRaw = 0;
  for (size_t i = 0; i < layout.sectionCount; ++i) {
    const size_t raw = GetU32(stubBytes, SectionHeader(layout, i) + 20);
    if (raw) firstRaw = std::min(firstRaw, raw), lastRaw = std::max(lastRaw, raw);
  }
  EXPECT_EQ(image.substr(firstRaw, lastRaw - firstRaw), stub.substr(firstRaw, lastRaw - firstRaw));
  // The checksum stays what the linker would write: checked against the linker's own on the stub.
  const size_t checksum = ChecksumField(layout);
  auto stored = [&](const std::string& file) { return GetU32(BytesOf(file), checksum); };
  ASSERT_NE(stored(stub), 0u);
  EXPECT_EQ(PeChecksum(stubBytes, checksum), stored(stub));
  EXPECT_EQ(PeChecksum(BytesOf(sealedImage.substr(0, image.size() - zip.size())), checksum),
            stored(sealedImage));
  ASSERT_GT(image.size(), zip.size());
  EXPECT_EQ(image.substr(image.size() - zip.size()), zip);
  EXPECT_EQ(ScanPayloadOffset(reinterpret_cast<const uint8_t*>(image.data()), kHeaderBufferSize),
            int32_t(image.size() - zip.size()));
  EXPECT_NE(run.output.find("at offset " + std::to_string(image.size() - zip.size())), std::string::npos);
}

TEST_F(PackTest, Refuses64BitStubUnlessAskedFor) {
  const char* stub64 = getenv("VEXLODE_STUB64");
  if (!stub64 || !fs::exists(stub64)) GTEST_SKIP() << "no 64-bit stub built";
  fs::path out = dir_ / "out64.exe";
  ExpectRefused("--stub '" + std::string(stub64) + "' " + Arg(dir_ / "good.zip") + " -o " + Arg(out),
                "not a 32-bit PE image", out);
  EXPECT_EQ(Pack("--allow-x64 --stub '" + std::string(stub64) + "' " + Arg(dir_ / "good.zip") +
                 " -o " + Arg(out)).status, 0);
}

// The facts --check reports on one installer and how it ends; the Windows
// packer must print the native one's text.
TEST_F(PackTest, CheckReportsWhatTheStubWouldFind) {
  const std::string stub = ReadAll(stub_), zip = ReadAll(dir_ / "good.zip");
  const std::string stubDigest = Hex(Sha256Of(reinterpret_cast<const uint8_t*>(stub.data()), stub.size()));
  // Packed by the native packer: what is compared is the check.
  const std::string common = "--stub " + Arg(stub_) + " " + Arg(dir_ / "good.zip") + " -o ";
  ASSERT_EQ(Pack(common + Arg(dir_ / "plain.exe"), PACKER).status, 0);
  WriteAll(dir_ / "app.ico", MakeIco({16}));
  // The last of two choices counts.
  ASSERT_EQ(Pack(common + Arg(dir_ / "branded.exe") + " --working-directory package --working-directory caller" +
                     " --exit-code installer --installer-temp private --icon " + Arg(dir_ / "app.ico") +
                     " --file-version 2.1 --version-string \"$(printf 'ProductName=Two\\nlines')\"",
                 PACKER)
                .status,
            0);
  // The option the packer's --working-directory sets, sealed here directly.
  std::vector<uint8_t> image = BytesOf(stub);
  SealImage(image, BytesOf(zip), kSealOptionPackageWorkingDirectory);
  WriteAll(dir_ / "workdir.exe", std::string(image.begin(), image.end()) + zip);
  WriteAll(dir_ / "concatenated.exe", stub + ReadAll(dir_ / "nosetup.zip"));
  // Methods as the central directory names them (nothing is inflated): a.txt
  // and data/b.txt renamed to LZMA and to an unknown method.
  Zip("methods.zip", "setup.exe a.txt data");
  const std::string listed = ReadAll(dir_ / "methods.zip");
  auto withMethods = [&](std::vector<std::pair<std::string, char>> changes) {
    std::string methods = listed;
    for (const auto& [name, method] : changes) {
      size_t at = methods.find("PK\x01\x02");
      while (at != std::string::npos && methods.compare(at + 46, name.size(), name) != 0)
        at = methods.find("PK\x01\x02", at + 4);
      EXPECT_NE(at, std::string::npos) << name;
      if (at == std::string::npos) continue;
      methods[at + 10] = method;
      methods[at + 11] = 0;
    }
    return stub + methods;
  };
  WriteAll(dir_ / "methods.exe", withMethods({{"a.txt", 14}, {"data/b.txt", 99}}));
  WriteAll(dir_ / "bzip2setup.exe", withMethods({{"setup.exe", 12}}));
  std::string unsealable = stub;
  unsealable.replace(unsealable.find(".vxseal"), 7, ".vxsea_");
  WriteAll(dir_ / "foreign.exe", unsealable + zip);
  WriteAll(dir_ / "text.exe", "just text, no image");
  // Section headers as a hostile file may have them: the loader fills a seal
  // section's raw data short of a record with zeros (an empty record here),
  // and section ends wrap at 4 GiB, so the image may end inside the record.
  auto withSections = [&](std::vector<std::pair<std::string, uint64_t>> rawSizes) {
    std::vector<uint8_t> bytes = BytesOf(stub);
    const PeLayout layout = ScanImage(bytes);
    for (size_t i = 0; i < layout.sectionCount; ++i)
      for (const auto& [name, rawSize] : rawSizes)
        if (std::string(reinterpret_cast<const char*>(&bytes[SectionHeader(layout, i)]), name.size()) == name) {
          SetU32(bytes, SectionHeader(layout, i) + 16, uint32_t(rawSize));
          if (rawSize >> 32) SetU32(bytes, SectionHeader(layout, i) + 20, 0);  // and no raw data
        }
    return std::string(bytes.begin(), bytes.end()) + zip;
  };
  WriteAll(dir_ / "shortseal.exe", withSections({{".vxseal", 16}}));
  WriteAll(dir_ / "wrapseal.exe", withSections({{".vxseal", 0xFFFFFFF0}, {".reloc", 1ull << 32}, {".rsrc", 1ull << 32}}));
  const size_t sealRaw = GetU32(BytesOf(stub), stub.find(".vxseal") + 20);  // its header's raw pointer

  struct Row { const char* file; int status; std::vector<std::string> facts; };
  const Row rows[] = {
      {"plain.exe", 0, {"stub: vexlode, 32-bit, " + std::to_string(stub.size()) + " bytes",
                        "stub sha256: " + stubDigest + " (with its seal emptied)",
                        "seal: sealed, intact: archive of " + std::to_string(zip.size()) + " bytes, sha256 " +
                            Hex(Sha256Of(reinterpret_cast<const uint8_t*>(zip.data()), zip.size())),
                        "signature: none", "package: 2 entries, 28 bytes uncompressed",
                        "package setup.exe: at the root", "package compression: 0 stored (2 entries)",
                        "branding ProductName: (none)", "branding icon: none",
                        "option exit code: checkout: 1 once the archive is checked out, 0 before",
                        "option working directory: caller: the caller's current directory",
                        "option installer temp: user: the user's TEMP", "result: installs"}},
      {"branded.exe", 0, {"branding ProductName: Two?lines", "branding FileVersion: 2.1", "branding icon: set",
                          "option exit code: installer: setup.exe's own, 1603 when it did not run",
                          "option working directory: caller: the caller's current directory",
                          "option installer temp: private: a protected folder of the run, removed afterwards",
                          "result: installs"}},
      {"workdir.exe", 0, {"option working directory: package: setup.exe's own folder",
                          "option exit code: checkout: 1 once the archive is checked out, 0 before"}},
      {"concatenated.exe", 1, {"stub sha256: " + stubDigest + " (with its seal emptied)",
                               "seal: empty: not sealed, the stub takes whatever archive the file holds",
                               "package setup.exe: not at the root",
                               "result: does not install: no setup.exe at the package's root"}},
      {"methods.exe", 0, {"package: 4 entries, 100028 bytes uncompressed",
                          "package compression: 0 stored (2 entries), 14 LZMA (1 entry), 99 unsupported (1 entry)"}},
      {"bzip2setup.exe", 1, {"package setup.exe: at the root",
                             "result: does not install: setup.exe is compressed with method 12, which the stub "
                             "cannot extract"}},
      {"foreign.exe", 1, {"stub: 32-bit, not a vexlode stub (no seal section)",
                          "result: does not install: not a vexlode installer"}},
      {"shortseal.exe", 0, {"seal: empty: not sealed, the stub takes whatever archive the file holds",
                            "result: installs"}},
      {"wrapseal.exe", 0, {"stub: vexlode, 32-bit, " + std::to_string(sealRaw) + " bytes",
                           "seal: empty: not sealed, the stub takes whatever archive the file holds",
                           "result: installs"}},
      {"text.exe", 1, {"stub: not a PE image", "result: does not install: no payload offset: the stub would stop at once"}},
  };
  for (const Row& row : rows) {
    PackRun run = Pack("--check " + Arg(dir_ / row.file));
    run.output.erase(std::remove(run.output.begin(), run.output.end(), '\r'), run.output.end());
    EXPECT_EQ(WEXITSTATUS(run.status), row.status) << row.file << "\n" << run.output;
    for (const std::string& fact : row.facts)
      EXPECT_NE(run.output.find("\n" + fact + "\n"), std::string::npos) << row.file << ": " << fact << "\n" << run.output;
    EXPECT_EQ(run.output.rfind("result: "), run.output.rfind("\n", run.output.size() - 2) + 1) << run.output;
    if (WindowsPacker()) {
      const std::string native = Output(std::string(PACKER) + " --check " + Arg(dir_ / row.file));
      EXPECT_EQ(run.output, native) << row.file;
    }
  }
}

// --version names the version and the stub a pack without --stub takes;
// --help names every option the packer accepts.
TEST_F(PackTest, VersionNamesTheDefaultStubAndHelpEveryOption) {
  std::string version = ReadAll(fs::path(VEXLODE_ROOT) / "VERSION");
  version.erase(version.find_last_not_of("\r\n") + 1);
  const char* defaultStub = getenv(WindowsPacker() ? "VEXLODE_STUB64" : "VEXLODE_STUB32");
  ASSERT_TRUE(defaultStub);
  const std::string stub = ReadAll(defaultStub);
  const std::string digest = Hex(Sha256Of(reinterpret_cast<const uint8_t*>(stub.data()), stub.size()));

  // The packer where it was built, alone in a folder, and beside a stub as in a release.
  const std::string packer = Packer();
  const size_t split = packer.rfind(' ') == std::string::npos ? 0 : packer.rfind(' ') + 1;
  const fs::path built = packer.substr(split);
  fs::create_directories(dir_ / "alone");
  fs::create_directories(dir_ / "release");
  fs::copy_file(built, dir_ / "alone" / built.filename());
  fs::copy_file(built, dir_ / "release" / built.filename());
  fs::copy_file(stub_, dir_ / "release" / "vexlode.exe");
  const std::string stub32 = ReadAll(stub_);
  struct Row { std::string command, stubLine; };
  const Row rows[] = {
      {packer, "default stub sha256: " + digest},
      {packer.substr(0, split) + Arg(dir_ / "alone" / built.filename()), "default stub: missing: no stub beside the packer"},
      {packer.substr(0, split) + Arg(dir_ / "release" / built.filename()),
       "default stub sha256: " + Hex(Sha256Of(reinterpret_cast<const uint8_t*>(stub32.data()), stub32.size()))},
  };
  for (const Row& row : rows) {
    std::string output = Output(row.command + " --version 2>&1");
    output.erase(std::remove(output.begin(), output.end(), '\r'), output.end());
    EXPECT_EQ(output.rfind("vexlode-pack " + version + "\n", 0), 0u) << output;
    EXPECT_NE(output.find(row.stubLine), std::string::npos) << row.command << "\n" << output;
  }
  // Beside a stub, a pack without --stub takes that one.
  const std::string out = Arg(dir_ / "release" / "out.exe");
  EXPECT_NE(Output(rows[2].command + " " + Arg(dir_ / "good.zip") + " -o " + out + " 2>&1").find("sealed"),
            std::string::npos);
  EXPECT_TRUE(ReadAll(dir_ / "release" / "out.exe").compare(0, 64, stub32, 0, 64) == 0);

  const std::string source = ReadAll(fs::path(VEXLODE_ROOT) / "tools" / "pack" / "pack.cpp");
  PackRun help = Pack("--help");
  EXPECT_EQ(help.status, 0);
  const std::regex accepted("arg == \"(-[-a-z0-9]+)\"");
  int options = 0;
  for (auto it = std::sregex_iterator(source.begin(), source.end(), accepted); it != std::sregex_iterator(); ++it) {
    const std::regex listed("[ [|]" + (*it)[1].str() + "[ ,|\\]\r\n]");
    EXPECT_TRUE(std::regex_search(help.output, listed)) << (*it)[1].str() << " is not in --help";
    ++options;
  }
  EXPECT_GT(options, 10);
}

}  // namespace
