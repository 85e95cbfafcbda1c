// Sealing a packed image: the archive's size and SHA-256 written into the
// stub's seal section, which the running stub checks its payload against.
#pragma once
#include <cstdint>
#include <optional>
#include <vector>

#include "app/payload.h"

// Writes the seal of `archive`, the pack-time `options` (kSealOption*
// bits) and the archive's uncompressed size `extractedSize` into `image` (a stub, branded or not) and refreshes a non-zero PE
// checksum. Throws PackError when the image has no
// seal section or its record is not an empty or sealed one.
void SealImage(std::vector<uint8_t>& image, const std::vector<uint8_t>& archive, uint32_t options = 0,
               uint64_t extractedSize = 0);

// Where `image`'s seal record lies: the start of its seal section; none when
// it has no such section. Throws PackError when the section cannot hold a
// record.
std::optional<size_t> SealRecordOffset(const std::vector<uint8_t>& image, const PeLayout& layout);
