// The packer's .ico reader over arbitrary files. An accepted file yields
// as many images as its directory declares, each an exact copy of the bytes
// its entry points at, all inside the file; the group icon built from them
// repeats each entry's fields with the image's true size and the given ids.
#include <vector>

#include "fuzz_support.h"
#include "tools/pack/bytes.h"
#include "tools/pack/ico.h"
#include "tools/pack/pack_error.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<uint8_t> file(data, data + size);
  std::vector<IconImage> images;
  try {
    images = ParseIco(file);
  } catch (const PackError& error) {
    FUZZ_CHECK(error.what()[0] != '\0');
    return 0;
  }
  FUZZ_CHECK(file.size() >= 6 && !images.empty() && images.size() == GetU16(file, 4));
  for (size_t i = 0; i < images.size(); ++i) {
    const size_t entry = 6 + 16 * i;
    FUZZ_CHECK(entry + 16 <= file.size());
    const uint64_t length = GetU32(file, entry + 8), offset = GetU32(file, entry + 12);
    FUZZ_CHECK(length == images[i].data.size() && length > 0 && offset + length <= file.size());
    FUZZ_CHECK(std::equal(images[i].data.begin(), images[i].data.end(), file.begin() + offset));
    FUZZ_CHECK(images[i].width == file[entry] && images[i].height == file[entry + 1]);
    FUZZ_CHECK(images[i].planes == GetU16(file, entry + 4) && images[i].bitCount == GetU16(file, entry + 6));
  }
  const uint16_t firstId = uint16_t(size * 7919);
  const std::vector<uint8_t> group = BuildIconGroup(images, firstId);
  FUZZ_CHECK(group.size() == 6 + 14 * images.size());
  FUZZ_CHECK(GetU16(group, 0) == 0 && GetU16(group, 2) == 1 && GetU16(group, 4) == images.size());
  for (size_t i = 0; i < images.size(); ++i) {
    const size_t entry = 6 + 14 * i;
    FUZZ_CHECK(std::equal(group.begin() + entry, group.begin() + entry + 8, file.begin() + 6 + 16 * i));
    FUZZ_CHECK(GetU32(group, entry + 8) == images[i].data.size());
    FUZZ_CHECK(GetU16(group, entry + 12) == uint16_t(firstId + i));
  }
  return 0;
}
