// SHA-256, the one the whole tree uses: the stub's seal check, the extraction
// hash of setup.exe, the launch gate and both packers. Pure (no <windows.h>),
// so it builds for the packer and the fuzzers too. Two compress functions:
// one on the CPU's SHA instructions, chosen once from CPUID where the CPU has
// them, and a portable one for every other CPU.
#pragma once
#include <stddef.h>
#include <stdint.h>

struct Sha256Digest {
  uint8_t bytes[32];
};

bool operator==(const Sha256Digest& a, const Sha256Digest& b);
inline bool operator!=(const Sha256Digest& a, const Sha256Digest& b) { return !(a == b); }

class Sha256Hasher {
 public:
  // (Re)starts a digest on the engine Sha256SelectedEngine names. Never
  // fails; the result is kept for the callers that check it.
  bool Start();
  // Any size, in any pieces. False when no digest is started.
  bool Add(const void* data, size_t size);
  // Writes the digest and ends it; Start again for the next one. False when
  // no digest is started.
  bool Finish(Sha256Digest* out);

 private:
  using Compress = void (*)(uint32_t state[8], const uint8_t* blocks, size_t count);

  Compress compress_ = nullptr;  // null: no digest started
  uint32_t state_[8];
  uint8_t pending_[64];  // the start of a block that is not yet whole
  size_t pendingSize_ = 0;
  uint64_t totalSize_ = 0;
};

// The digest of one buffer.
Sha256Digest Sha256Of(const void* data, size_t size);

enum class Sha256Engine : uint8_t { Portable, ShaInstructions };

// Whether this CPU has the SHA instructions and the SSSE3 and SSE4.1 shuffles
// that go with them. CPUID is asked on the first call only.
bool Sha256CpuHasShaInstructions();

// The CPUID words that decide it: leaf 1's ECX and EDX, and leaf 7's EBX
// (0 where the CPU has no such leaf).
struct Sha256CpuidWords {
  uint32_t leaf1Ecx, leaf1Edx, leaf7Ebx;
};
bool Sha256ShaInstructionsUsable(const Sha256CpuidWords& words);

// The engine a digest started now runs on: the SHA instructions where the CPU
// has them, unless the portable one is forced.
Sha256Engine Sha256SelectedEngine();

// For tests and benchmarks: digests started from now on take the portable
// path even on a CPU with the SHA instructions (true), or the best one again
// (false). Nothing can pick the SHA instructions on a CPU that lacks them.
void Sha256ForcePortable(bool force);
