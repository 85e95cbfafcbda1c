// The payload seal: the appended archive's exact size and SHA-256, written by
// the packer into a section of the stub's own image. The running stub reads
// it from its mapped image, which a same-user process cannot change, and
// holds the archive it copies out of its file (which such a process can
// swap at its path) against it. Pure: no <windows.h>.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "app/payload.h"

// The section that holds the record, and the record's layout in it:
//   0  8 bytes  kSealMagic
//   8  u32      kSealEmpty or kSealPresent
//  12  u32      pack-time options (kSealOption*); unknown bits make the record malformed
//  16  u64      archive size in bytes
//  24  32 bytes archive SHA-256
//  56  u64      the archive's uncompressed bytes with kSealOptionProgress, else 0
constexpr char kSealSectionName[] = ".vxseal";
constexpr size_t kSealRecordSize = 64;
constexpr uint8_t kSealMagic[8] = {'v', 'x', 's', 'e', 'a', 'l', '0', '1'};
constexpr uint32_t kSealEmpty = 0;
constexpr uint32_t kSealPresent = 1;

// What the publisher chose at pack time. Only a sealed image carries options:
// they are part of what the packer vouches for, so they sit beside the digest.
// The installer's exit code is setup.exe's own (a fixed failure code when it
// never ran) instead of how far the run got.
constexpr uint32_t kSealOptionInstallerExitCode = 0x1;
// setup.exe starts in its own protected folder instead of the caller's
// current directory.
constexpr uint32_t kSealOptionPackageWorkingDirectory = 0x2;
// setup.exe's TEMP and TMP are a protected folder of the run's own instead
// of the user's, where any process of the user can race its files.
constexpr uint32_t kSealOptionPrivateInstallerTemp = 0x4;
// A small window with a progress bar while a long check-out and extraction
// run.
constexpr uint32_t kSealOptionProgress = 0x8;
constexpr uint32_t kSealKnownOptions = kSealOptionInstallerExitCode | kSealOptionPackageWorkingDirectory |
                                       kSealOptionPrivateInstallerTemp | kSealOptionProgress;

struct PayloadSeal {
  uint64_t archiveSize;
  uint8_t digest[32];
  uint32_t options;  // kSealOption* bits
  uint64_t extractedSize;  // what the extraction writes, for the progress bar
};

enum class SealState { Empty, Present, Malformed };

// What the record says; `seal` is filled only for Present.
SealState ReadSealRecord(const uint8_t* record, size_t length, PayloadSeal* seal);

// Fills a record that ReadSealRecord reads as Present with `seal`.
void WriteSealRecord(uint8_t* record, const PayloadSeal& seal);

// An archive after which a signature was added: the signing tool pads the
// file to a multiple of 8 with zeros and appends the certificate table there.
constexpr uint64_t kCertificateAlignment = 8;

// What a sealed check-out found once it had copied up to the sealed size.
struct SealedCopy {
  uint64_t copied;           // bytes copied (and hashed) from the payload offset
  bool digestMatches;        // the digest of those bytes equals the seal's
  uint64_t archiveEnd;       // payload offset + sealed size
  uint64_t fileSize;
  uint32_t certificateOffset;  // as the mapped header declares them
  uint32_t certificateSize;
  bool gapIsZero;            // the bytes from archiveEnd to certificateOffset are zeros
};

// The last two come from the stub's edges: a digest that could not be
// computed, and a record that is neither empty nor a seal.
enum class SealVerdict { Intact, CutShort, Changed, TrailingBytes, Unverifiable, BadRecord };

// Before anything is copied: take the file's tail as it is (an empty
// record, a plainly concatenated installer), check it against the seal, or
// refuse at once (a damaged record, or own headers that cannot be read, so
// that the certificate table allowed after the archive is unknown).
enum class SealPlan { TakeAsIs, Check, Refuse };
SealPlan PlanPayloadCheck(SealState state, bool ownHeadersScanned);

// The facts of a check-out: `copied` bytes taken from `payloadOffset` whose
// SHA-256 is `digest`, in a file of `fileSize` bytes whose own headers are
// `ownHeaders`, and the `gapRead` bytes of `gap` read right after the copy
// (CertificateGapLength says how many were asked for; 0 when the read failed).
SealedCopy DescribeSealedCopy(const PayloadSeal& seal, uint64_t payloadOffset, uint64_t copied,
                              const uint8_t (&digest)[32], uint64_t fileSize,
                              const PeLayout& ownHeaders, const uint8_t* gap, size_t gapRead);

// Intact when exactly the sealed archive was copied and the file ends with
// it, or continues only with zero padding below 8 bytes and then exactly the
// certificate table the mapped header declares.
SealVerdict JudgeSealedCopy(const PayloadSeal& seal, const SealedCopy& copy);

// The verdict in words, as the stub's ERR line and the packer's check print it.
const wchar_t* SealVerdictText(SealVerdict verdict);

// The bytes between the archive's end and a declared certificate table that
// the stub must read to fill `gapIsZero`: 0 when there is no such table or
// when the gap could never be padding.
size_t CertificateGapLength(uint64_t archiveEnd, uint32_t certificateOffset, uint32_t certificateSize);
