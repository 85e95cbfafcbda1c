#include "common/file_hash.h"

bool HashFileContents(HANDLE file, Sha256Digest* out) {
  Sha256Hasher hasher;
  if (!hasher.Start()) return false;
  LARGE_INTEGER start = {};
  if (!SetFilePointerEx(file, start, nullptr, FILE_BEGIN)) return false;
  static const DWORD kChunk = 65536;
  BYTE buffer[kChunk];
  for (;;) {
    DWORD read = 0;
    if (!ReadFile(file, buffer, kChunk, &read, nullptr)) return false;
    if (read == 0) break;
    if (!hasher.Add(buffer, read)) return false;
  }
  return hasher.Finish(out);
}
