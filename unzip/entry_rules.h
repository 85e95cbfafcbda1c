// The archive extractor's pure decisions: entry names, attributes, times and
// header checks. Data in, data out; no <windows.h>, so this also builds
// natively (clang -fshort-wchar) for fuzzing.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "common/path.h"

// Windows attribute bits that entries can carry.
constexpr uint32_t kAttributeReadOnly = 0x1;
constexpr uint32_t kAttributeHidden = 0x2;
constexpr uint32_t kAttributeSystem = 0x4;
constexpr uint32_t kAttributeDirectory = 0x10;
constexpr uint32_t kAttributeArchive = 0x20;

// Bytes of a stored name, terminator included: a name that fits never
// widens beyond a path buffer.
constexpr size_t kStoredNameCapacity = kPathCapacity;

// Drops drive prefixes, leading separators and everything up to the last
// parent-directory step. Returns a pointer into `name`.
const wchar_t* GuardEntryName(const wchar_t* name);

// True when `name` (already guarded) stays below the directory it is joined
// to: relative, no ':' (drives, alternate streams), no component made of dots
// and spaces other than ".", no reserved device name, no character Windows
// refuses in names. An empty name is safe (it names the base itself).
bool IsSafeEntryName(const wchar_t* name);

// Windows attributes from the central record's version-made-by and external
// attributes (DOS-like hosts use the low byte, others a Unix mode).
uint32_t MapEntryAttributes(uint32_t versionMadeBy, uint32_t externalAttributes);

struct CalendarTime {
  uint16_t year, month, day, hour, minute, second;
};

// Decodes an MS-DOS date/time pair. Returns false when the fields do not form
// a real calendar time (month 0, 30 February, second 60 and the like).
bool DecodeDosTime(uint16_t date, uint16_t time, CalendarTime* out);

// A signed 32-bit Unix time as a FILETIME count (100 ns since 1601, UTC).
uint64_t UnixTimeToFileTime(int32_t seconds);

struct ExtendedTimes {
  bool hasWrite = false, hasAccess = false, hasCreation = false;
  uint64_t write = 0, access = 0, creation = 0;
};

// Looks for the first "UT" block in a local extra field. Each time its flags
// announce is taken only when all four of its bytes lie inside both the block
// and the field. Returns true when a "UT" block was found.
bool ParseExtendedTimestamp(const uint8_t* field, size_t length, ExtendedTimes* out);

// Length of the directory part of `name`: up to and including its last
// separator, 0 when there is none.
size_t DirectoryPartLength(const wchar_t* name);

// The fields of a central record that its local header must repeat; sizes
// as the central record gives them after its own ZIP64 block.
struct CentralFields {
  uint16_t method;
  uint32_t crc;
  uint64_t compressedSize;
  uint64_t uncompressedSize;
  uint16_t nameLength;
};

constexpr size_t kLocalHeaderSize = 30;
constexpr uint16_t kMethodStored = 0;
constexpr uint16_t kMethodDeflated = 8;
constexpr uint16_t kMethodLzma = 14;

// Stored, deflated or LZMA: every other method (bzip2 among them) is refused.
// The packer's check asks the same question of a package.
inline bool IsExtractableMethod(uint16_t method) {
  return method == kMethodStored || method == kMethodDeflated || method == kMethodLzma;
}
constexpr uint16_t kZip64BlockId = 0x0001;

// Checks a local file header (its first kLocalHeaderSize bytes) against the
// central record: signature, method (and that it is one we extract),
// CRC-32 and sizes unless the local header defers them to a data descriptor,
// and the name length. A size of 0xFFFFFFFF stands for the one in the ZIP64
// block of the local extra field when the field has one; that one must then
// agree. Without such a block 0xFFFFFFFF is compared as it is.
bool LocalHeaderAgrees(const uint8_t* header, size_t length, const CentralFields& central,
                       const uint8_t* extra = nullptr, size_t extraLength = 0);

// The data of the first block with header ID `id` in an extra field, cut
// to the field's end. False when no block header of that ID lies inside it.
bool FindExtraBlock(const uint8_t* field, size_t length, uint16_t id, const uint8_t** data,
                    size_t* size);

// True for an archive of no entries: only an end-of-central-directory record
// (and its comment). minizip takes an end record at offset 0 for "none
// found", so such an archive is recognised here instead.
bool IsEmptyArchive(const uint8_t* bytes, size_t length);

// The byte that the last byte of a decrypted encryption header must equal:
// bits 8-15 of the MS-DOS time when the entry has a data descriptor
// (general-purpose bit 3), else the CRC-32's high byte.
uint8_t ExpectedCheckByte(uint16_t flags, uint32_t crc, uint32_t dosDateTime);
