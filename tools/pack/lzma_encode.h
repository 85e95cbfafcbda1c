// LZMA for the packer's ZIP entries (method 14), with the LZMA SDK's encoder
// at its strongest setting, single-threaded, so that every host writes the
// same bytes.
#pragma once
#include <cstdint>
#include <istream>
#include <string>
#include <vector>

// The dictionary for an input of `size` bytes: no larger than the input
// (but the format's smallest, 4 KiB), at most level 9's 64 MiB.
uint32_t LzmaDictionaryFor(uint64_t size);

struct LzmaEntry {
  std::vector<uint8_t> data;  // the entry's data: header, properties, stream
  uint32_t crc = 0;           // CRC-32 of the input
};

// Compresses the `size` bytes of `in` into an entry's data, with no end
// marker (the entry's size is the end). False when that would not be
// smaller than the input; throws PackError naming `name` when the input
// cannot be read or the encoder fails.
bool EncodeLzmaEntry(std::istream& in, uint64_t size, const std::string& name, LzmaEntry* entry);
