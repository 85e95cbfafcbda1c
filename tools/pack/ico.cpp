#include "tools/pack/ico.h"

#include <string>

#include "tools/pack/bytes.h"
#include "tools/pack/pack_error.h"

namespace {
constexpr size_t kIconDirSize = 6;
constexpr size_t kIconEntrySize = 16;
}  // namespace

std::vector<IconImage> ParseIco(const std::vector<uint8_t>& file) {
  if (file.size() < kIconDirSize || GetU16(file, 0) != 0 || GetU16(file, 2) != 1)
    throw PackError("bad header: not an .ico file");
  const size_t count = GetU16(file, 4);
  if (count == 0) throw PackError("holds no images");
  if (kIconDirSize + count * kIconEntrySize > file.size())
    throw PackError("its directory of " + std::to_string(count) + " images runs past the end of the file");
  std::vector<IconImage> images;
  for (size_t i = 0; i < count; ++i) {
    const size_t entry = kIconDirSize + i * kIconEntrySize;
    const uint64_t size = GetU32(file, entry + 8), offset = GetU32(file, entry + 12);
    if (size == 0 || offset + size > file.size())
      throw PackError("image " + std::to_string(i + 1) + " points outside the file");
    IconImage image{file[entry], file[entry + 1], file[entry + 2], file[entry + 3],
                    GetU16(file, entry + 4), GetU16(file, entry + 6),
                    std::vector<uint8_t>(file.begin() + offset, file.begin() + offset + size)};
    images.push_back(std::move(image));
  }
  return images;
}

std::vector<uint8_t> BuildIconGroup(const std::vector<IconImage>& images, uint16_t firstId) {
  std::vector<uint8_t> group;
  PutU16(group, 0);
  PutU16(group, 1);
  PutU16(group, uint16_t(images.size()));
  for (size_t i = 0; i < images.size(); ++i) {
    const IconImage& image = images[i];
    group.insert(group.end(), {image.width, image.height, image.colorCount, image.reserved});
    PutU16(group, image.planes);
    PutU16(group, image.bitCount);
    PutU32(group, uint32_t(image.data.size()));
    PutU16(group, uint16_t(firstId + i));
  }
  return group;
}
