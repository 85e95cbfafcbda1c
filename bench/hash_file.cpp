// Times a bare SHA-256 of a file through the system provider, the way the
// stub hashes (4096-byte reads), for the check-out benchmark.
// Usage: bench_hash.exe <file>; prints the milliseconds taken.
#include <windows.h>

#include <cstdio>

#include "common/handle.h"
#include "common/sha256.h"

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) return 2;
  DWORD start = GetTickCount();
  FileHandle file(CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
  Sha256Hasher hasher;
  if (!file.valid() || !hasher.Start()) return 1;
  unsigned char chunk[4096];
  DWORD got = 0;
  while (ReadFile(file.get(), chunk, sizeof chunk, &got, nullptr) && got) hasher.Add(chunk, got);
  Sha256Digest digest;
  if (!hasher.Finish(&digest)) return 1;
  printf("%lu\n", GetTickCount() - start);
  return 0;
}
