// SHA-256 through the system's own CryptoAPI provider (advapi32), so the stub
// carries no hash code of its own and loads no further library.
#pragma once
#include <windows.h>
#include <wincrypt.h>
#include <stddef.h>
#include <stdint.h>

struct Sha256Digest {
  uint8_t bytes[32];
};

bool operator==(const Sha256Digest& a, const Sha256Digest& b);
inline bool operator!=(const Sha256Digest& a, const Sha256Digest& b) { return !(a == b); }

// A CryptAcquireContextW provider, released with CryptReleaseContext.
class CryptProvider {
 public:
  CryptProvider() = default;
  ~CryptProvider() { reset(); }
  CryptProvider(const CryptProvider&) = delete;
  CryptProvider& operator=(const CryptProvider&) = delete;
  CryptProvider(CryptProvider&& other) : provider_(other.release()) {}
  CryptProvider& operator=(CryptProvider&& other) {
    if (this != &other) reset(other.release());
    return *this;
  }

  bool valid() const { return provider_ != 0; }
  HCRYPTPROV get() const { return provider_; }
  HCRYPTPROV* receive() { reset(); return &provider_; }
  [[nodiscard]] HCRYPTPROV release() {
    HCRYPTPROV provider = provider_;
    provider_ = 0;
    return provider;
  }
  void reset(HCRYPTPROV provider = 0) {
    if (provider_) {
      DWORD lastError = GetLastError();
      CryptReleaseContext(provider_, 0);
      SetLastError(lastError);
    }
    provider_ = provider;
  }

 private:
  HCRYPTPROV provider_ = 0;
};

// A CryptCreateHash object, destroyed with CryptDestroyHash. It must go
// before the provider it was made from.
class CryptHash {
 public:
  CryptHash() = default;
  ~CryptHash() { reset(); }
  CryptHash(const CryptHash&) = delete;
  CryptHash& operator=(const CryptHash&) = delete;
  CryptHash(CryptHash&& other) : hash_(other.release()) {}
  CryptHash& operator=(CryptHash&& other) {
    if (this != &other) reset(other.release());
    return *this;
  }

  bool valid() const { return hash_ != 0; }
  HCRYPTHASH get() const { return hash_; }
  HCRYPTHASH* receive() { reset(); return &hash_; }
  [[nodiscard]] HCRYPTHASH release() {
    HCRYPTHASH hash = hash_;
    hash_ = 0;
    return hash;
  }
  void reset(HCRYPTHASH hash = 0) {
    if (hash_) {
      DWORD lastError = GetLastError();
      CryptDestroyHash(hash_);
      SetLastError(lastError);
    }
    hash_ = hash;
  }

 private:
  HCRYPTHASH hash_ = 0;
};

class Sha256Hasher {
 public:
  Sha256Hasher() = default;
  Sha256Hasher(Sha256Hasher&&) = default;
  Sha256Hasher& operator=(Sha256Hasher&& other) {
    if (this != &other) {
      hash_.reset();  // before the provider it came from
      provider_ = static_cast<CryptProvider&&>(other.provider_);
      hash_ = static_cast<CryptHash&&>(other.hash_);
    }
    return *this;
  }

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
