// .ico files, read into the images that the icon resources carry.
#pragma once
#include <cstdint>
#include <vector>

struct IconImage {
  // The directory entry's fields, as the group icon resource repeats them.
  uint8_t width, height, colorCount, reserved;
  uint16_t planes, bitCount;
  std::vector<uint8_t> data;  // a BMP DIB or a PNG, copied as is
};

// Every image of an .ico file, in the file's order. Throws PackError saying
// what is wrong when the file is not a well-formed icon file.
std::vector<IconImage> ParseIco(const std::vector<uint8_t>& file);

// The RT_GROUP_ICON resource for `images`, whose RT_ICON ids are firstId, firstId + 1, ...
std::vector<uint8_t> BuildIconGroup(const std::vector<IconImage>& images, uint16_t firstId);
