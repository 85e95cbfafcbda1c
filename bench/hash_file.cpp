// Times a bare SHA-256 of a file's bytes, held in memory and fed in the
// stub's 4096-byte pieces, on each of our engines and, for comparison only,
// through the system's CryptoAPI provider, which the stub no longer uses.
// Usage: bench_hash.exe <file>; prints "<engine>=<MB/s>" pairs on one line.
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <vector>

#include "common/sha256.h"

namespace {

const size_t kPiece = 4096;

double Seconds(LARGE_INTEGER from) {
  LARGE_INTEGER now, frequency;
  QueryPerformanceCounter(&now);
  QueryPerformanceFrequency(&frequency);
  return double(now.QuadPart - from.QuadPart) / double(frequency.QuadPart);
}

bool OurDigest(const std::vector<BYTE>& data, Sha256Digest* out) {
  Sha256Hasher hasher;
  hasher.Start();
  for (size_t at = 0; at < data.size(); at += kPiece)
    hasher.Add(&data[at], data.size() - at < kPiece ? data.size() - at : kPiece);
  return hasher.Finish(out);
}

bool CryptoApiDigest(const std::vector<BYTE>& data, Sha256Digest* out) {
  HCRYPTPROV provider = 0;
  HCRYPTHASH hash = 0;
  DWORD length = sizeof out->bytes;
  bool ok = CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT) &&
            CryptCreateHash(provider, CALG_SHA_256, 0, 0, &hash);
  for (size_t at = 0; ok && at < data.size(); at += kPiece)
    ok = CryptHashData(hash, &data[at], DWORD(data.size() - at < kPiece ? data.size() - at : kPiece), 0);
  ok = ok && CryptGetHashParam(hash, HP_HASHVAL, out->bytes, &length, 0);
  if (hash) CryptDestroyHash(hash);
  if (provider) CryptReleaseContext(provider, 0);
  return ok;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) return 2;
  HANDLE file = CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  LARGE_INTEGER size;
  if (file == INVALID_HANDLE_VALUE || !GetFileSizeEx(file, &size)) return 1;
  std::vector<BYTE> data(size_t(size.QuadPart));
  DWORD got = 0;
  bool read = ReadFile(file, data.data(), DWORD(data.size()), &got, nullptr) && got == data.size();
  CloseHandle(file);
  if (!read) return 1;

  struct Way {
    const char* name;
    bool portable;
    bool (*digest)(const std::vector<BYTE>&, Sha256Digest*);
  };
  const Way ways[] = {{"sha_instructions", false, OurDigest},
                      {"portable", true, OurDigest},
                      {"cryptoapi", false, CryptoApiDigest}};
  Sha256Digest first = {};
  for (const Way& way : ways) {
    Sha256ForcePortable(way.portable);
    if (!way.portable && way.digest == OurDigest && !Sha256CpuHasShaInstructions()) {
      printf("%s=- ", way.name);
      continue;
    }
    LARGE_INTEGER start;
    QueryPerformanceCounter(&start);
    Sha256Digest digest;
    if (!way.digest(data, &digest)) return 1;
    const double seconds = Seconds(start);
    if (first == Sha256Digest{}) first = digest;
    else if (digest != first) return 3;  // every way must agree
    printf("%s=%.0f ", way.name, data.size() / 1e6 / seconds);
  }
  printf("\n");
  return 0;
}
