// The resource rebuild over arbitrary existing resources: the tree the
// packer reads out of a stub's resource section, rebuilt at another place,
// must parse back to exactly that tree, and rebuilding that is a fixed
// point.
//
// Input: the section's RVA (u32), the RVA to rebuild at (u32), then the
// section's bytes.
#include <vector>

#include "fuzz_support.h"
#include "tools/pack/bytes.h"
#include "tools/pack/pack_error.h"
#include "tools/pack/pe_resources.h"

namespace {

bool SameKey(const ResourceKey& a, const ResourceKey& b) { return !(a < b) && !(b < a); }

bool SameTree(const ResourceTree& a, const ResourceTree& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const auto& x, const auto& y) {
    return SameKey(x.first, y.first) &&
           std::equal(x.second.begin(), x.second.end(), y.second.begin(), y.second.end(), [](const auto& n, const auto& m) {
             return SameKey(n.first, m.first) &&
                    std::equal(n.second.begin(), n.second.end(), m.second.begin(), m.second.end(),
                               [](const auto& l, const auto& k) {
                                 return SameKey(l.first, k.first) && l.second.bytes == k.second.bytes &&
                                        l.second.codePage == k.second.codePage;
                               });
           });
  });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 8) return 0;
  const uint32_t rva = ReadLe32(data), otherRva = ReadLe32(data + 4) & ~7u;
  const std::vector<uint8_t> section(data + 8, data + size);
  ResourceTree tree;
  try {
    tree = ParseResourceSection(section, rva);
  } catch (const PackError&) {
    return 0;
  }
  // Names longer than a u16 count, or a level of more than 65535 entries,
  // cannot be written back; the stub's section never holds them.
  std::vector<uint8_t> rebuilt;
  try {
    rebuilt = BuildResourceSection(tree, otherRva);
  } catch (const PackError&) {
    // Refused only where the section would end at or past 4 GiB (its size does
    // not depend on where it lies).
    FUZZ_CHECK(uint64_t(otherRva) + BuildResourceSection(tree, 0).size() >= (uint64_t(1) << 32));
    return 0;
  }
  FUZZ_CHECK(rebuilt.size() % 8 == 0);
  ResourceTree again;
  try {
    again = ParseResourceSection(rebuilt, otherRva);
  } catch (const PackError&) {
    FUZZ_CHECK(!"a rebuilt section does not parse");
  }
  FUZZ_CHECK(SameTree(tree, again));
  FUZZ_CHECK(BuildResourceSection(again, otherRva) == rebuilt);
  return 0;
}
