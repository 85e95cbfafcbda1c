// Post-link step for the stub: points the image's load-configuration
// directory at the `_load_config_used` structure, which GNU ld links in but
// does not enter in the directory itself. The structure's address comes from
// the link map (the image is stripped); its first field is its size.
//   set_load_config IMAGE MAP SYMBOL
// Same input, same bytes: the image is rewritten only where the entry and the
// header checksum (when the linker set one) are.
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <vector>

#include "tools/pack/bytes.h"
#include "tools/pack/pe_checksum.h"

namespace {

constexpr int kLoadConfigDirectory = 10;

struct Failure {
  std::string what;
};

uint32_t U32(const std::vector<uint8_t>& b, size_t at) {
  if (at + 4 > b.size()) throw Failure{"truncated image"};
  return GetU32(b, at);
}

uint64_t SymbolAddress(const std::string& mapPath, const std::string& symbol) {
  std::ifstream in(mapPath);
  const std::regex line("\\s+0x([0-9a-fA-F]+)\\s+" + symbol + "\\s*");
  std::smatch match;
  for (std::string text; std::getline(in, text);)
    if (std::regex_match(text, match, line)) return std::stoull(match[1], nullptr, 16);
  throw Failure{symbol + " is not in " + mapPath};
}

void SetLoadConfig(std::vector<uint8_t>& image, uint64_t address) {
  const size_t pe = U32(image, 60), optional = pe + 24;
  if (U32(image, pe) != 0x4550) throw Failure{"not a PE image"};
  const bool plus = (U32(image, optional) & 0xFFFF) == 0x20b;
  const uint64_t base = plus ? U32(image, optional + 24) | uint64_t(U32(image, optional + 28)) << 32
                             : U32(image, optional + 28);
  const size_t directories = optional + (plus ? 112 : 96);
  if (U32(image, directories - 4) <= kLoadConfigDirectory) throw Failure{"no load-configuration entry"};
  if (address < base || address - base > UINT32_MAX) throw Failure{"symbol outside the image"};
  const uint32_t rva = uint32_t(address - base);

  // The structure must lie in the file, inside one section.
  const size_t sections = optional + (U32(image, pe + 20) & 0xFFFF);
  const unsigned count = U32(image, pe + 4) >> 16;
  uint32_t size = 0;
  for (unsigned i = 0; i < count && !size; ++i) {
    const size_t header = sections + 40 * i;
    const uint32_t va = U32(image, header + 12), rawSize = U32(image, header + 16),
                   raw = U32(image, header + 20);
    if (rva < va || rva - va >= rawSize) continue;
    size = U32(image, raw + (rva - va));
    if (size < 8 || rva - va + uint64_t(size) > rawSize) throw Failure{"load configuration size is off"};
  }
  if (!size) throw Failure{"symbol outside the sections"};

  const size_t entry = directories + 8 * kLoadConfigDirectory;
  SetU32(image, entry, rva);
  SetU32(image, entry + 4, size);
  const size_t checksum = optional + 64;
  if (U32(image, checksum)) SetU32(image, checksum, PeChecksum(image, checksum));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: set_load_config IMAGE MAP SYMBOL\n");
    return 2;
  }
  try {
    std::vector<uint8_t> image;
    {
      std::ifstream in(argv[1], std::ios::binary);
      if (!in) throw Failure{std::string("cannot read ") + argv[1]};
      image.assign(std::istreambuf_iterator<char>(in), {});
    }
    const std::vector<uint8_t> before = image;
    SetLoadConfig(image, SymbolAddress(argv[2], argv[3]));
    if (image == before) return 0;
    std::ofstream out(argv[1], std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(image.data()), std::streamsize(image.size()));
    if (!out.flush()) throw Failure{std::string("cannot write ") + argv[1]};
  } catch (const Failure& failure) {
    std::fprintf(stderr, "set_load_config: %s: %s\n", argv[1], failure.what.c_str());
    return 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "set_load_config: %s: %s\n", argv[1], e.what());
    return 1;
  }
  return 0;
}
