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
#include <string>

#include "app/payload.h"

namespace fs = std::filesystem;

namespace {

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}
void WriteAll(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

struct PackRun {
  int status;
  std::string output;
};

PackRun Pack(const std::string& arguments) {
  std::string command = std::string(PACKER) + " " + arguments + " 2>&1";
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
  }

  fs::path stub_, dir_;
};

TEST_F(PackTest, AppendsTheArchiveRightAfterTheStub) {
  fs::path out = dir_ / "installer.exe";
  PackRun run = Pack("--stub " + Arg(stub_) + " " + Arg(dir_ / "good.zip") + " -o " + Arg(out));
  ASSERT_EQ(run.status, 0) << run.output;
  std::string stub = ReadAll(stub_), zip = ReadAll(dir_ / "good.zip"), packed = ReadAll(out);
  ASSERT_EQ(packed.size(), stub.size() + zip.size());
  EXPECT_EQ(packed.substr(0, stub.size()), stub);
  EXPECT_EQ(packed.substr(stub.size()), zip);
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

  ExpectRefused("--stub " + Arg(dir_ / "text.exe") + " " + Arg(dir_ / "good.zip") + " -o " + Arg(out),
                "not a PE image", out);
  ExpectRefused("--stub " + Arg(dir_ / "packed.exe") + " " + Arg(dir_ / "good.zip") + " -o " + Arg(out),
                "bytes after its sections", out);
  ExpectRefused(stub + Arg(dir_ / "notzip.zip") + " -o " + Arg(out), "not a readable ZIP", out);
  ExpectRefused(stub + Arg(dir_ / "nosetup.zip") + " -o " + Arg(out), "no setup.exe at its root", out);
  ExpectRefused(stub + Arg(dir_ / "missing.zip") + " -o " + Arg(out), "does not exist", out);

  fs::copy_file(stub_, dir_ / "stubcopy.exe");
  std::string before = ReadAll(dir_ / "stubcopy.exe");
  PackRun same = Pack("--stub " + Arg(dir_ / "stubcopy.exe") + " " + Arg(dir_ / "good.zip") + " -o " +
                  Arg(dir_ / "stubcopy.exe"));
  EXPECT_NE(same.status, 0);
  EXPECT_NE(same.output.find("is the stub itself"), std::string::npos) << same.output;
  EXPECT_EQ(ReadAll(dir_ / "stubcopy.exe"), before);
  std::string zipBefore = ReadAll(dir_ / "good.zip");
  PackRun onPackage = Pack(stub + Arg(dir_ / "good.zip") + " -o " + Arg(dir_ / "good.zip"));
  EXPECT_NE(onPackage.status, 0);
  EXPECT_NE(onPackage.output.find("is the package itself"), std::string::npos) << onPackage.output;
  EXPECT_EQ(ReadAll(dir_ / "good.zip"), zipBefore);
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

}  // namespace
