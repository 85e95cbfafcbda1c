// Builds minimal PE headers in memory for the payload-offset tests.
#pragma once
#include <cstdint>
#include <cstring>
#include <vector>

struct SectionSpan {
  uint32_t pointer;
  uint32_t size;
};

inline void PutU32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = uint8_t(v >> (8 * i));
}
inline void PutU16(std::vector<uint8_t>& b, size_t at, uint16_t v) {
  b[at] = uint8_t(v);
  b[at + 1] = uint8_t(v >> 8);
}

// "MZ", e_lfanew = peOffset, "PE\0\0", a 32-bit optional header (224 bytes)
// and the given section table, padded with zeros to `size` bytes.
inline std::vector<uint8_t> MakeImage(const std::vector<SectionSpan>& sections,
                                      size_t size = 4096, uint32_t peOffset = 0x80) {
  std::vector<uint8_t> b(size, 0);
  b[0] = 'M';
  b[1] = 'Z';
  PutU32(b, 60, peOffset);
  std::memcpy(&b[peOffset], "PE\0\0", 4);
  PutU16(b, peOffset + 4, 0x14c);
  PutU16(b, peOffset + 6, uint16_t(sections.size()));
  PutU16(b, peOffset + 20, 224);
  PutU16(b, peOffset + 24, 0x10b);
  for (size_t i = 0; i < sections.size(); ++i) {
    size_t header = peOffset + 248 + 40 * i;
    PutU32(b, header + 16, sections[i].size);
    PutU32(b, header + 20, sections[i].pointer);
  }
  return b;
}
