#include "common/sha256.h"

bool operator==(const Sha256Digest& a, const Sha256Digest& b) {
  for (size_t i = 0; i < sizeof a.bytes; ++i)
    if (a.bytes[i] != b.bytes[i]) return false;
  return true;
}

bool Sha256Hasher::Start() {
  hash_.reset();
  // A verify context needs no key container, so it works for any account.
  if (!provider_.valid() &&
      !CryptAcquireContextW(provider_.receive(), nullptr, nullptr, PROV_RSA_AES,
                            CRYPT_VERIFYCONTEXT)) {
    (void)provider_.release();  // nothing was acquired: the receive slot may hold junk
    return false;
  }
  if (!CryptCreateHash(provider_.get(), CALG_SHA_256, 0, 0, hash_.receive())) {
    (void)hash_.release();
    return false;
  }
  return true;
}

bool Sha256Hasher::Add(const void* data, size_t size) {
  if (!hash_.valid()) return false;
  // CryptHashData takes a DWORD length; a larger buffer goes in pieces.
  const size_t kPiece = size_t(1) << 30;
  const BYTE* bytes = static_cast<const BYTE*>(data);
  while (size > 0) {
    DWORD piece = static_cast<DWORD>(size < kPiece ? size : kPiece);
    if (!CryptHashData(hash_.get(), bytes, piece, 0)) {
      hash_.reset();
      return false;
    }
    bytes += piece;
    size -= piece;
  }
  return true;
}

bool Sha256Hasher::Finish(Sha256Digest* out) {
  if (!hash_.valid()) return false;
  Sha256Digest digest;
  DWORD length = sizeof digest.bytes;
  bool ok = CryptGetHashParam(hash_.get(), HP_HASHVAL, digest.bytes, &length, 0) &&
            length == sizeof digest.bytes;
  // A finished hash takes no more data; the next digest needs Start.
  hash_.reset();
  if (ok) *out = digest;
  return ok;
}

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
