// Little-endian fields in byte vectors. Callers check bounds first.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/bytes.h"

inline uint16_t GetU16(const std::vector<uint8_t>& b, size_t at) { return ReadLe16(&b[at]); }
inline uint32_t GetU32(const std::vector<uint8_t>& b, size_t at) { return ReadLe32(&b[at]); }
inline void SetU16(std::vector<uint8_t>& b, size_t at, uint16_t v) {
  b[at] = uint8_t(v);
  b[at + 1] = uint8_t(v >> 8);
}
inline void SetU32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  SetU16(b, at, uint16_t(v));
  SetU16(b, at + 2, uint16_t(v >> 16));
}
inline void PutU16(std::vector<uint8_t>& b, uint16_t v) {
  b.push_back(uint8_t(v));
  b.push_back(uint8_t(v >> 8));
}
inline void PutU32(std::vector<uint8_t>& b, uint32_t v) {
  PutU16(b, uint16_t(v));
  PutU16(b, uint16_t(v >> 16));
}
inline void PadTo(std::vector<uint8_t>& b, size_t alignment) {
  while (b.size() % alignment) b.push_back(0);
}
