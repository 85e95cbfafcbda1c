#include <gtest/gtest.h>
#include <windows.h>

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

TEST_F(CheckoutTest, TempArchiveIsCreatedEmptyInTheTemporaryDirectory) {
  std::wstring name = L"vexlode_test_" + std::to_wstring(GetCurrentProcessId()) + L".zip";
  std::wstring expected = TempDirectory() + name;
  DeleteFileW(expected.c_str());
  wchar_t archivePath[MAX_PATH];
  {
    FileHandle archive(CreateTempArchive(name.c_str(), archivePath));
    ASSERT_TRUE(archive.valid());
    EXPECT_EQ(std::wstring(archivePath), expected);
    EXPECT_EQ(GetFileSize(archive.get(), nullptr), 0u);
  }
  EXPECT_EQ(AttributesOf(expected), DWORD(FILE_ATTRIBUTE_ARCHIVE));
  DeleteFileW(expected.c_str());
}

TEST_F(CheckoutTest, TakenNamesAreLeftAloneAndAFreshNameIsDrawn) {
  // A stale archive, or a folder where the extraction directory would go.
  std::wstring pid = std::to_wstring(GetCurrentProcessId());
  std::wstring staleName = L"vexlode_stale_" + pid + L".zip";
  std::wstring stale = TempDirectory() + staleName;
  std::wstring folderName = L"vexlode_folder_" + pid + L".zip";
  std::wstring folder = TempDirectory() + L"vexlode_folder_" + pid;
  ASSERT_TRUE(WriteWholeFile(stale, "stale content"));
  CreateDirectoryW(folder.c_str(), nullptr);
  for (const std::wstring& name : {staleName, folderName}) {
    srand(1);
    for (int draw = 0; draw < 3; ++draw) rand();  // the main flow's own three
    wchar_t archivePath[MAX_PATH];
    FileHandle archive(CreateTempArchive(name.c_str(), archivePath));
    ASSERT_TRUE(archive.valid());
    // The next three draws after seed 1 are 26500, 19169, 15724.
    EXPECT_EQ(std::wstring(archivePath), TempDirectory() + L"vexlode_15724_19169_26500.zip");
    archive.reset();
    DeleteFileW(archivePath);
  }
  EXPECT_EQ(ReadWholeFile(stale), "stale content");
  EXPECT_TRUE(PathExists(folder));
  DeleteFileW(stale.c_str());
  RemoveDirectoryW(folder.c_str());
}

TEST_F(CheckoutTest, TempArchiveFailsWhereADirectoryHasItsName) {
  std::wstring name = L"vexlode_dir_" + std::to_wstring(GetCurrentProcessId()) + L".zip";
  std::wstring blocking = TempDirectory() + name;
  ASSERT_TRUE(CreateDirectoryW(blocking.c_str(), nullptr));
  wchar_t archivePath[MAX_PATH];
  HANDLE handle = CreateTempArchive(name.c_str(), archivePath);
  EXPECT_EQ(handle, INVALID_HANDLE_VALUE);
  EXPECT_EQ(std::wstring(archivePath), blocking);
  RemoveDirectoryW(blocking.c_str());

  std::wstring tooLong(300, L'n');
  EXPECT_EQ(CreateTempArchive(tooLong.c_str(), archivePath), INVALID_HANDLE_VALUE);
}

TEST_F(CheckoutTest, LinksPlantedAtTheArchiveNameAreNeverFollowed) {
  std::wstring victimFile = dir_ / L"victim.txt";
  std::wstring victimDirectory = dir_ / L"victimdir";
  ASSERT_TRUE(WriteWholeFile(victimFile, "precious"));
  ASSERT_TRUE(CreateDirectoryW(victimDirectory.c_str(), nullptr));
  ASSERT_TRUE(WriteWholeFile(victimDirectory + L"\\inside.txt", "also precious"));

  for (const std::wstring& target : {victimFile, victimDirectory}) {
    std::wstring name = L"vexlode_link_" + std::to_wstring(GetCurrentProcessId()) + L".zip";
    std::wstring at = TempDirectory() + name;
    if (!PlantSymbolicLink(target, at)) GTEST_SKIP() << "cannot plant links here";
    wchar_t archivePath[MAX_PATH];
    {
      FileHandle archive(CreateTempArchive(name.c_str(), archivePath));
      ASSERT_TRUE(archive.valid());
      DWORD written = 0;
      WriteFile(archive.get(), "zip", 3, &written, nullptr);
    }
    EXPECT_NE(std::wstring(archivePath), at);
    EXPECT_EQ(AttributesOf(archivePath) & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT), 0u);
    EXPECT_EQ(ReadWholeFile(archivePath), "zip");
    DeleteFileW(archivePath);
    EXPECT_TRUE(RemoveSymbolicLink(at));
  }
  EXPECT_EQ(ReadWholeFile(victimFile), "precious");
  EXPECT_EQ(ReadWholeFile(victimDirectory + L"\\inside.txt"), "also precious");
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

}  // namespace
