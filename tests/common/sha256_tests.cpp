#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "common/handle.h"
#include "common/sha256.h"
#include "tests/support/test_files.h"

namespace {

std::string Hex(const Sha256Digest& digest) {
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (uint8_t byte : digest.bytes) {
    hex += kDigits[byte >> 4];
    hex += kDigits[byte & 15];
  }
  return hex;
}

// 1 MiB that is no multiple of any chunk size used here; its digest was
// computed independently with Python's hashlib.
std::string MebibytePattern() {
  std::string data(1 << 20, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = char(i % 251);
  return data;
}

struct Vector {
  const char* name;
  std::string data;
  std::vector<size_t> chunks;  // fed in these sizes, cycling; empty: all at once
  const char* digest;
};

std::vector<Vector> Vectors() {
  return {
      {"empty", "", {}, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "abc", {}, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abc by bytes", "abc", {1}, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"1 MiB in odd chunks", MebibytePattern(), {1, 7, 4093, 65537, 0},
       "631b84027d6b9e52b539c4e8373622d23032dfadc64d60af87339c9037e4f769"},
  };
}

TEST(Sha256, KnownDigestsWhateverTheChunking) {
  for (const Vector& v : Vectors()) {
    Sha256Hasher hasher;
    ASSERT_TRUE(hasher.Start()) << v.name;
    if (v.chunks.empty()) {
      ASSERT_TRUE(hasher.Add(v.data.data(), v.data.size())) << v.name;
    } else {
      size_t at = 0;
      for (size_t i = 0; at < v.data.size(); ++i) {
        size_t size = std::min(v.chunks[i % v.chunks.size()], v.data.size() - at);
        ASSERT_TRUE(hasher.Add(v.data.data() + at, size)) << v.name;
        at += size;
      }
    }
    Sha256Digest digest;
    ASSERT_TRUE(hasher.Finish(&digest)) << v.name;
    EXPECT_EQ(Hex(digest), v.digest) << v.name;
  }
}

TEST(Sha256, FileIsHashedFromItsStartThroughTheHandle) {
  TempDir dir;
  for (const Vector& v : Vectors()) {
    std::wstring path = dir / L"payload.bin";
    ASSERT_TRUE(WriteWholeFile(path, v.data));
    FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(file.valid());
    // Wherever the caller left the position, the whole file counts.
    SetFilePointer(file.get(), static_cast<LONG>(v.data.size() / 2), nullptr, FILE_BEGIN);
    Sha256Digest digest;
    ASSERT_TRUE(HashFileContents(file.get(), &digest)) << v.name;
    EXPECT_EQ(Hex(digest), v.digest) << v.name;
  }

  std::wstring path = dir / L"write-only.bin";
  ASSERT_TRUE(WriteWholeFile(path, "abc"));
  FileHandle writeOnly(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(writeOnly.valid());
  Sha256Digest digest;
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(HashFileContents(writeOnly.get(), &digest));
  // The read's own error, whatever the hasher's owners do as they close.
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
}

}  // namespace
