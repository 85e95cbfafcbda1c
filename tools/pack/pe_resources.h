// Rewriting a stub's resource section: the tree in it, and the image around it.
#pragma once
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "app/payload.h"
#include "tools/pack/ico.h"
#include "tools/pack/pe_checksum.h"
#include "tools/pack/version_info.h"

// A resource type, name or language: a number or a UTF-16 name.
struct ResourceKey {
  bool named = false;
  uint16_t id = 0;
  std::u16string name;
  bool operator<(const ResourceKey& other) const {  // names first, then ids: the on-disk order
    if (named != other.named) return named;
    return named ? name < other.name : id < other.id;
  }
};

struct ResourceData {
  std::vector<uint8_t> bytes;
  uint32_t codePage = 0;
};

// type -> name -> language -> data
using ResourceTree = std::map<ResourceKey, std::map<ResourceKey, std::map<ResourceKey, ResourceData>>>;

// The tree held by a resource section whose first byte is at `sectionRva`.
// Throws PackError when it is not a well-formed three-level tree whose data
// lies inside the section.
ResourceTree ParseResourceSection(const std::vector<uint8_t>& section, uint32_t sectionRva);

// A resource section at `sectionRva` holding `tree`, unpadded.
std::vector<uint8_t> BuildResourceSection(const ResourceTree& tree, uint32_t sectionRva);

struct Branding {
  std::vector<IconImage> icon;        // empty: keep the stub's icons
  std::optional<VersionInfo> version;  // none: keep the stub's version information
  std::string executionLevel;          // empty: keep the manifest's (requireAdministrator)
};

// The stub with its resource section rebuilt to carry the branding. Every
// byte before that section stays as it is except the header fields that
// describe the section (its sizes, SizeOfImage, SizeOfInitializedData and
// the resource directory entry); the checksum is left to SealImage, which
// always follows. Throws PackError when the resource section is not the
// image's last.
std::vector<uint8_t> BrandImage(const std::vector<uint8_t>& stub, const Branding& branding);

// The header scan of the image the packer rewrites; throws PackError when it
// is not a PE image.
PeLayout ScanImage(const std::vector<uint8_t>& image);
constexpr size_t kSectionHeaderSize = 40;
inline size_t SectionHeader(const PeLayout& layout, size_t i) {
  return layout.sectionTable + kSectionHeaderSize * i;
}
inline size_t ChecksumField(const PeLayout& layout) { return layout.peOffset + 24 + 64; }

