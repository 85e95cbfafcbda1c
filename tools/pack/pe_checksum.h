// The checksum a PE header carries: the 16-bit ones' complement sum of the
// file with the field itself left out, plus the file size. Header only: the
// stub's post-link step, built on its own, shares it with the packer.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

inline uint32_t PeChecksum(const std::vector<uint8_t>& image, size_t checksumOffset) {
  uint64_t sum = 0;
  for (size_t at = 0; at < image.size(); at += 2) {
    if (at == checksumOffset || at == checksumOffset + 2) continue;
    sum += image[at] | (at + 1 < image.size() ? image[at + 1] << 8 : 0);
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  sum = (sum & 0xFFFF) + (sum >> 16);
  return uint32_t(sum + image.size());
}
