// SHA-256 through the system's own CryptoAPI provider (advapi32), so the stub
// carries no hash code of its own and loads no further library.
#pragma once
#include <windows.h>
#include <wincrypt.h>
#include <stddef.h>
#include <stdint.h>

#include "common/handle.h"

struct Sha256Digest {
  uint8_t bytes[32];
};

bool operator==(const Sha256Digest& a, const Sha256Digest& b);
inline bool operator!=(const Sha256Digest& a, const Sha256Digest& b) { return !(a == b); }

// A CryptAcquireContextW provider and a CryptCreateHash hash, each released
// with its own call.
struct CryptProviderTraits {
  static HCRYPTPROV Empty() { return 0; }
  static bool IsValid(HCRYPTPROV provider) { return provider != 0; }
  static void Release(HCRYPTPROV provider) { CryptReleaseContext(provider, 0); }
};
struct CryptHashTraits {
  static HCRYPTHASH Empty() { return 0; }
  static bool IsValid(HCRYPTHASH hash) { return hash != 0; }
  static void Release(HCRYPTHASH hash) { CryptDestroyHash(hash); }
};
using CryptProvider = UniqueValue<HCRYPTPROV, CryptProviderTraits>;
using CryptHash = UniqueValue<HCRYPTHASH, CryptHashTraits>;

class Sha256Hasher {
 public:
  // (Re)starts a digest; false when the provider or the algorithm is missing.
  bool Start();
  // Any size: fed to the provider in pieces that fit its 32-bit length.
  // After a failure the digest is spoilt and Finish fails.
  bool Add(const void* data, size_t size);
  // Writes the digest and ends it; Start again for the next one.
  bool Finish(Sha256Digest* out);

 private:
  // In this order, so that the hash is destroyed before its provider.
  CryptProvider provider_;
  CryptHash hash_;
};

// Hashes the file behind `file`, from offset 0 to its end, through the handle
// itself, never by path, so it is the very file the caller holds open. The
// handle must be synchronous and readable; its position is left at the end.
bool HashFileContents(HANDLE file, Sha256Digest* out);
