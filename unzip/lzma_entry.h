// The data of a ZIP entry compressed with LZMA (method 14): a 4-byte header
// (the coder's version, the properties' size), 5 property bytes, then the
// LZMA stream. Pure: the caller reads the entry's data and takes what is
// decoded, so this also builds natively (fuzzing).
#pragma once
#include <stddef.h>
#include <stdint.h>

constexpr size_t kLzmaHeaderSize = 4 + 5;

// The decoder's window is the smaller of the entry's dictionary and its
// size, so that a small file never costs a large dictionary; a window
// beyond this is refused before anything is allocated. It covers the
// strongest presets of the common encoders (64 MiB) with room to spare, and
// stays well inside the address space of an elevated 32-bit process.
constexpr uint64_t kMaxLzmaWindow = 256u << 20;

enum class LzmaOutcome {
  Ok,
  BadHeader,       // cut short, properties size not 5, properties refused (lc + lp > 4 too)
  WindowTooLarge,  // the window would exceed kMaxLzmaWindow
  NoMemory,        // the window or the decoder's tables could not be allocated
  ReadFailed,      // the reader failed or delivered more than asked
  WriteFailed,     // the writer refused the decoded bytes
  EndedEarly,      // the data or the stream ended before the declared size
  Corrupt,         // not LZMA, goes on past the declared size, data after its end,
                   // or no end marker although the entry announces one
};

struct LzmaEntryIo {
  void* context;
  // Up to `size` bytes of the entry's data into `buffer`: the count, 0 on failure.
  size_t (*read)(void* context, uint8_t* buffer, size_t size);
  // Takes decoded bytes in order; false stops the decoding.
  bool (*write)(void* context, const uint8_t* data, size_t size);
};

// Decodes an entry's `dataSize` bytes of data (its compressed size, less an
// encryption header) into exactly `uncompressedSize` bytes. `endMarker`
// (general-purpose bit 1) requires the stream's end marker right after
// them; without it the declared size is the end (a marker there is
// accepted). All of the data must belong to the stream. `input` (at least
// kLzmaHeaderSize bytes) holds the data read between decoding steps.
LzmaOutcome DecodeLzmaEntry(const LzmaEntryIo& io, uint64_t dataSize, uint64_t uncompressedSize,
                            bool endMarker, uint8_t* input, size_t inputCapacity);
