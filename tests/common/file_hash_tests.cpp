#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "common/file_hash.h"
#include "common/handle.h"
#include "tests/support/test_files.h"

namespace {

TEST(HashFileContents, FileIsHashedFromItsStartThroughTheHandle) {
  // More than one 64 KiB read, and no multiple of it.
  std::string pattern(1 << 20, '\0');
  for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = char(i % 251);
  const std::string vectors[] = {"", "abc", pattern};
  TempDir dir;
  for (const std::string& data : vectors) {
    std::wstring path = dir / L"payload.bin";
    ASSERT_TRUE(WriteWholeFile(path, data));
    FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(file.valid());
    // Wherever the caller left the position, the whole file counts.
    SetFilePointer(file.get(), static_cast<LONG>(data.size() / 2), nullptr, FILE_BEGIN);
    Sha256Digest digest;
    ASSERT_TRUE(HashFileContents(file.get(), &digest)) << data.size();
    EXPECT_TRUE(digest == Sha256Of(data.data(), data.size())) << data.size();
  }

  std::wstring path = dir / L"write-only.bin";
  ASSERT_TRUE(WriteWholeFile(path, "abc"));
  FileHandle writeOnly(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(writeOnly.valid());
  Sha256Digest digest;
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(HashFileContents(writeOnly.get(), &digest));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
}

}  // namespace
