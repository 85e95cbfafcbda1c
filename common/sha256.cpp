#include "common/sha256.h"

#include <string.h>

#if defined(__i386__) || defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#define VEXLODE_SHA_INSTRUCTIONS 1
#endif

namespace {

const uint32_t kInitialState[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                   0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

// Aligned for the SHA path's 16-byte loads.
alignas(16) const uint32_t kRoundConstants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

inline uint32_t Rotate(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

inline uint32_t LoadBigEndian(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

inline void StoreBigEndian(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v >> 24), p[1] = uint8_t(v >> 16), p[2] = uint8_t(v >> 8), p[3] = uint8_t(v);
}

// One round, with the eight working variables renamed by the caller instead
// of moved: the stub is built for size, and this keeps the moves out anyway.
__attribute__((always_inline)) inline void Round(uint32_t a, uint32_t b, uint32_t c, uint32_t& d,
                                                 uint32_t e, uint32_t f, uint32_t g, uint32_t& h,
                                                 uint32_t k, uint32_t w) {
  const uint32_t t1 =
      h + (Rotate(e, 6) ^ Rotate(e, 11) ^ Rotate(e, 25)) + ((e & f) ^ (~e & g)) + k + w;
  d += t1;
  h = t1 + (Rotate(a, 2) ^ Rotate(a, 13) ^ Rotate(a, 22)) + ((a & b) ^ (c & (a ^ b)));
}

void CompressPortable(uint32_t state[8], const uint8_t* blocks, size_t count) {
  for (; count; --count, blocks += 64) {
    uint32_t w[16];  // the message schedule, kept as a ring of its last 16 words
    for (int i = 0; i < 16; ++i) w[i] = LoadBigEndian(blocks + 4 * i);
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
    for (int i = 0; i < 64; i += 8) {
      if (i >= 16) {
        for (int j = i; j < i + 8; ++j) {
          const uint32_t w15 = w[(j - 15) & 15], w2 = w[(j - 2) & 15];
          w[j & 15] += (Rotate(w15, 7) ^ Rotate(w15, 18) ^ (w15 >> 3)) + w[(j - 7) & 15] +
                       (Rotate(w2, 17) ^ Rotate(w2, 19) ^ (w2 >> 10));
        }
      }
      const uint32_t* k = kRoundConstants + i;
      const uint32_t* x = w + (i & 15);
      Round(a, b, c, d, e, f, g, h, k[0], x[0]);
      Round(h, a, b, c, d, e, f, g, k[1], x[1]);
      Round(g, h, a, b, c, d, e, f, k[2], x[2]);
      Round(f, g, h, a, b, c, d, e, k[3], x[3]);
      Round(e, f, g, h, a, b, c, d, k[4], x[4]);
      Round(d, e, f, g, h, a, b, c, k[5], x[5]);
      Round(c, d, e, f, g, h, a, b, k[6], x[6]);
      Round(b, c, d, e, f, g, h, a, k[7], x[7]);
    }
    state[0] += a, state[1] += b, state[2] += c, state[3] += d;
    state[4] += e, state[5] += f, state[6] += g, state[7] += h;
  }
}

#ifdef VEXLODE_SHA_INSTRUCTIONS

#ifdef __i386__
// 32-bit code may be entered with the stack aligned to 4 bytes only, and the
// SSE forms here that read the stack fault below 16.
#define VEXLODE_ALIGN_STACK __attribute__((force_align_arg_pointer))
#else
#define VEXLODE_ALIGN_STACK
#endif

// The only function built for the SHA extensions: the compiler must not use
// them anywhere else, since they run only where CPUID said so.
__attribute__((target("sha,ssse3,sse4.1"))) VEXLODE_ALIGN_STACK void CompressShaInstructions(
    uint32_t state[8], const uint8_t* blocks, size_t count) {
  // The instructions keep the state as ABEF and CDGH.
  __m128i dcba = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state));
  __m128i hgfe = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4));
  const __m128i cdab = _mm_shuffle_epi32(dcba, 0xB1);
  const __m128i efgh = _mm_shuffle_epi32(hgfe, 0x1B);
  __m128i abef = _mm_alignr_epi8(cdab, efgh, 8);
  __m128i cdgh = _mm_blend_epi16(efgh, cdab, 0xF0);
  // Each 32-bit word of the block is big-endian.
  const __m128i byteSwap = _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);

  for (; count; --count, blocks += 64) {
    const __m128i savedAbef = abef, savedCdgh = cdgh;
    __m128i w[4];  // the last 16 schedule words, four to a register
    for (int group = 0; group < 16; ++group) {
      __m128i words;
      if (group < 4) {
        words = _mm_shuffle_epi8(
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(blocks + 16 * group)), byteSwap);
      } else {
        // W[t..t+3] from W[t-16..t-13], W[t-15..t-12], W[t-7..t-4] and W[t-4..t-1].
        const __m128i older = _mm_sha256msg1_epu32(w[group & 3], w[(group + 1) & 3]);
        const __m128i sevenBack = _mm_alignr_epi8(w[(group + 3) & 3], w[(group + 2) & 3], 4);
        words = _mm_sha256msg2_epu32(_mm_add_epi32(older, sevenBack), w[(group + 3) & 3]);
      }
      w[group & 3] = words;
      __m128i message = _mm_add_epi32(
          words, _mm_load_si128(reinterpret_cast<const __m128i*>(kRoundConstants + 4 * group)));
      cdgh = _mm_sha256rnds2_epu32(cdgh, abef, message);
      message = _mm_shuffle_epi32(message, 0x0E);
      abef = _mm_sha256rnds2_epu32(abef, cdgh, message);
    }
    abef = _mm_add_epi32(abef, savedAbef);
    cdgh = _mm_add_epi32(cdgh, savedCdgh);
  }

  const __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
  const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
  dcba = _mm_blend_epi16(feba, dchg, 0xF0);
  hgfe = _mm_alignr_epi8(dchg, feba, 8);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state), dcba);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), hgfe);
}

bool DetectShaInstructions() {
  // Each call checks that the leaf exists (on i386, that CPUID does at all).
  Sha256CpuidWords words = {};
  unsigned int a, b, c, d;
  if (__get_cpuid(1, &a, &b, &c, &d)) words.leaf1Ecx = c, words.leaf1Edx = d;
  if (__get_cpuid_count(7, 0, &a, &b, &c, &d)) words.leaf7Ebx = b;
  return Sha256ShaInstructionsUsable(words);
}

#else

bool DetectShaInstructions() { return false; }

#endif

enum class Detected : uint8_t { NotYet, No, Yes };
Detected detected = Detected::NotYet;
bool forcePortable = false;

}  // namespace

bool operator==(const Sha256Digest& a, const Sha256Digest& b) {
  return memcmp(a.bytes, b.bytes, sizeof a.bytes) == 0;
}

bool Sha256ShaInstructionsUsable(const Sha256CpuidWords& words) {
  constexpr uint32_t kSse2 = 1u << 26, kSsse3 = 1u << 9, kSse41 = 1u << 19, kSha = 1u << 29;
  return (words.leaf1Edx & kSse2) && (words.leaf1Ecx & kSsse3) && (words.leaf1Ecx & kSse41) &&
         (words.leaf7Ebx & kSha);
}

bool Sha256CpuHasShaInstructions() {
  if (detected == Detected::NotYet) detected = DetectShaInstructions() ? Detected::Yes : Detected::No;
  return detected == Detected::Yes;
}

Sha256Engine Sha256SelectedEngine() {
  return !forcePortable && Sha256CpuHasShaInstructions() ? Sha256Engine::ShaInstructions
                                                         : Sha256Engine::Portable;
}

void Sha256ForcePortable(bool force) { forcePortable = force; }

bool Sha256Hasher::Start() {
  compress_ = CompressPortable;
#ifdef VEXLODE_SHA_INSTRUCTIONS
  if (Sha256SelectedEngine() == Sha256Engine::ShaInstructions) compress_ = CompressShaInstructions;
#endif
  memcpy(state_, kInitialState, sizeof state_);
  pendingSize_ = 0;
  totalSize_ = 0;
  return true;
}

bool Sha256Hasher::Add(const void* data, size_t size) {
  if (!compress_) return false;
  if (!size) return true;  // `data` may be null then, which memcpy must not see
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  totalSize_ += size;
  if (pendingSize_) {
    const size_t taken = size < sizeof pending_ - pendingSize_ ? size : sizeof pending_ - pendingSize_;
    memcpy(pending_ + pendingSize_, bytes, taken);
    pendingSize_ += taken;
    bytes += taken;
    size -= taken;
    if (pendingSize_ < sizeof pending_) return true;
    compress_(state_, pending_, 1);
    pendingSize_ = 0;
  }
  // Whole blocks straight from the caller's buffer, without a copy.
  const size_t whole = size / 64;
  if (whole) compress_(state_, bytes, whole);
  pendingSize_ = size % 64;
  memcpy(pending_, bytes + 64 * whole, pendingSize_);
  return true;
}

bool Sha256Hasher::Finish(Sha256Digest* out) {
  if (!compress_) return false;
  // The 0x80 marker, zeros, and the length in bits in the last 8 bytes: one
  // more block where the marker leaves no room for the length.
  const uint64_t bits = totalSize_ * 8;
  pending_[pendingSize_++] = 0x80;
  if (pendingSize_ > 56) {
    memset(pending_ + pendingSize_, 0, sizeof pending_ - pendingSize_);
    compress_(state_, pending_, 1);
    pendingSize_ = 0;
  }
  memset(pending_ + pendingSize_, 0, 56 - pendingSize_);
  StoreBigEndian(pending_ + 56, uint32_t(bits >> 32));
  StoreBigEndian(pending_ + 60, uint32_t(bits));
  compress_(state_, pending_, 1);
  for (int i = 0; i < 8; ++i) StoreBigEndian(out->bytes + 4 * i, state_[i]);
  compress_ = nullptr;
  return true;
}

Sha256Digest Sha256Of(const void* data, size_t size) {
  Sha256Hasher hasher;
  Sha256Digest digest;
  hasher.Start();
  hasher.Add(data, size);
  hasher.Finish(&digest);
  return digest;
}
