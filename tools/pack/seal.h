// Sealing a packed image: the archive's size and SHA-256 written into the
// stub's seal section, which the running stub checks its payload against.
#pragma once
#include <cstdint>
#include <vector>

// Writes the seal of `archive` and the pack-time `options` (kSealOption*
// bits) into `image` (a stub, branded or not) and refreshes a non-zero PE
// checksum. Throws PackError when the image has no
// seal section or its record is not an empty or sealed one.
void SealImage(std::vector<uint8_t>& image, const std::vector<uint8_t>& archive, uint32_t options = 0);
