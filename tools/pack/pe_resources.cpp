#include "tools/pack/pe_resources.h"

#include <algorithm>

#include "tools/pack/bytes.h"
#include "tools/pack/manifest.h"
#include "tools/pack/pack_error.h"

namespace {

constexpr uint32_t kSubdirectory = 0x80000000;
constexpr size_t kDirectoryHeaderSize = 16;
constexpr size_t kDirectoryEntrySize = 8;
constexpr size_t kDataEntrySize = 16;
constexpr uint16_t kTypeIcon = 3, kTypeGroupIcon = 14, kTypeVersion = 16, kTypeManifest = 24;
constexpr int kResourceDirectory = 2, kCertificateDirectory = 4;

const PackError kMalformed("the stub's resources are malformed");

bool Inside(const std::vector<uint8_t>& b, uint64_t at, uint64_t size) {
  return at <= b.size() && size <= b.size() - at;
}

struct Parser {
  const std::vector<uint8_t>& section;
  uint32_t rva;
  int tables = 0;

  ResourceKey Key(uint32_t field) {
    ResourceKey key;
    if (!(field & kSubdirectory)) {
      if (field > 0xFFFF) throw kMalformed;
      key.id = uint16_t(field);
      return key;
    }
    const uint32_t at = field & ~kSubdirectory;
    if (!Inside(section, at, 2) || !Inside(section, at + 2, 2ull * GetU16(section, at))) throw kMalformed;
    key.named = true;
    for (uint32_t i = 0; i < GetU16(section, at); ++i) key.name += char16_t(GetU16(section, at + 2 + 2 * i));
    return key;
  }

  // Calls `each(key, field)` for every entry of the table at `at`.
  template <typename Each>
  void Table(uint32_t at, Each each) {
    // A table may be shared or form a loop in a hostile file; a real one has
    // a few dozen tables at most.
    if (++tables > 4096 || !Inside(section, at, kDirectoryHeaderSize)) throw kMalformed;
    const size_t count = size_t(GetU16(section, at + 12)) + GetU16(section, at + 14);
    if (!Inside(section, at + kDirectoryHeaderSize, count * kDirectoryEntrySize)) throw kMalformed;
    for (size_t i = 0; i < count; ++i) {
      const size_t entry = at + kDirectoryHeaderSize + i * kDirectoryEntrySize;
      each(Key(GetU32(section, entry)), GetU32(section, entry + 4));
    }
  }

  uint32_t Subdirectory(uint32_t field) {
    if (!(field & kSubdirectory)) throw kMalformed;
    return field & ~kSubdirectory;
  }

  ResourceData Data(uint32_t field) {
    if ((field & kSubdirectory) || !Inside(section, field, kDataEntrySize)) throw kMalformed;
    const uint32_t dataRva = GetU32(section, field), size = GetU32(section, field + 4);
    if (dataRva < rva || !Inside(section, uint64_t(dataRva) - rva, size)) throw kMalformed;
    ResourceData data;
    data.bytes.assign(section.begin() + (dataRva - rva), section.begin() + (dataRva - rva) + size);
    data.codePage = GetU32(section, field + 8);
    return data;
  }
};

uint32_t AlignUp(uint64_t value, uint32_t alignment) {
  return uint32_t((value + alignment - 1) / alignment * alignment);
}

void WriteTableHeader(std::vector<uint8_t>& out, size_t at, size_t named, size_t ids) {
  SetU16(out, at + 12, uint16_t(named));
  SetU16(out, at + 14, uint16_t(ids));
}

}  // namespace

ResourceTree ParseResourceSection(const std::vector<uint8_t>& section, uint32_t sectionRva) {
  Parser parser{section, sectionRva};
  ResourceTree tree;
  parser.Table(0, [&](const ResourceKey& type, uint32_t typeField) {
    parser.Table(parser.Subdirectory(typeField), [&](const ResourceKey& name, uint32_t nameField) {
      parser.Table(parser.Subdirectory(nameField), [&](const ResourceKey& language, uint32_t dataField) {
        tree[type][name][language] = parser.Data(dataField);
      });
    });
  });
  return tree;
}

std::vector<uint8_t> BuildResourceSection(const ResourceTree& tree, uint32_t sectionRva) {
  // Layout: all directory tables, then the data entries, then the names,
  // then the data, each datum on an 8-byte boundary.
  auto tableSize = [](size_t entries) { return kDirectoryHeaderSize + entries * kDirectoryEntrySize; };
  auto namedCount = [](const auto& level) {
    return size_t(std::count_if(level.begin(), level.end(), [](const auto& e) { return e.first.named; }));
  };
  size_t size = tableSize(tree.size());
  for (const auto& [type, names] : tree) size += tableSize(names.size());
  for (const auto& [type, names] : tree)
    for (const auto& [name, languages] : names) size += tableSize(languages.size());
  size_t entries = size;
  for (const auto& [type, names] : tree)
    for (const auto& [name, languages] : names) size += languages.size() * kDataEntrySize;
  size_t strings = size;
  auto stringSize = [](const ResourceKey& key) { return key.named ? 2 + 2 * key.name.size() : 0; };
  for (const auto& [type, names] : tree) {
    size += stringSize(type);
    for (const auto& [name, languages] : names) {
      size += stringSize(name);
      for (const auto& [language, data] : languages) size += stringSize(language);
    }
  }
  size_t data = AlignUp(size, 8);
  std::vector<uint8_t> out(data, 0);

  auto writeKey = [&](size_t entry, const ResourceKey& key) {
    if (!key.named) return SetU32(out, entry, key.id);
    SetU32(out, entry, kSubdirectory | uint32_t(strings));
    SetU16(out, strings, uint16_t(key.name.size()));
    for (size_t i = 0; i < key.name.size(); ++i) SetU16(out, strings + 2 + 2 * i, key.name[i]);
    strings += stringSize(key);
  };
  size_t nextTable = 0;
  const size_t root = nextTable;
  nextTable += tableSize(tree.size());
  WriteTableHeader(out, root, namedCount(tree), tree.size() - namedCount(tree));
  size_t typeEntry = root + kDirectoryHeaderSize;
  // Second-level tables come right after the root, third-level ones after those.
  size_t thirdLevel = nextTable;
  for (const auto& [type, names] : tree) thirdLevel += tableSize(names.size());
  // Points `entry` (for `key`) at a new table of `children` taken at `next`;
  // returns where that table's entries start.
  auto linkTable = [&](size_t entry, const ResourceKey& key, size_t& next, const auto& children) {
    const size_t table = next;
    next += tableSize(children.size());
    writeKey(entry, key);
    SetU32(out, entry + 4, kSubdirectory | uint32_t(table));
    WriteTableHeader(out, table, namedCount(children), children.size() - namedCount(children));
    return table + kDirectoryHeaderSize;
  };
  for (const auto& [type, names] : tree) {
    size_t nameEntry = linkTable(typeEntry, type, nextTable, names);
    typeEntry += kDirectoryEntrySize;
    for (const auto& [name, languages] : names) {
      size_t languageEntry = linkTable(nameEntry, name, thirdLevel, languages);
      nameEntry += kDirectoryEntrySize;
      for (const auto& [language, datum] : languages) {
        writeKey(languageEntry, language);
        SetU32(out, languageEntry + 4, uint32_t(entries));
        languageEntry += kDirectoryEntrySize;
        SetU32(out, entries, uint32_t(sectionRva + out.size()));
        SetU32(out, entries + 4, uint32_t(datum.bytes.size()));
        SetU32(out, entries + 8, datum.codePage);
        entries += kDataEntrySize;
        out.insert(out.end(), datum.bytes.begin(), datum.bytes.end());
        PadTo(out, 8);
      }
    }
  }
  // RVAs are 32 bits wide: a section that ends at or past 4 GiB would have
  // its data's addresses (or its own end) wrap, and no image reaches there.
  if (uint64_t(sectionRva) + out.size() >= (uint64_t(1) << 32))
    throw PackError("the stub's resource section would end past 4 GiB");
  return out;
}

PeLayout ScanImage(const std::vector<uint8_t>& image) {
  PeLayout layout;
  if (!ScanPeLayout(image.data(), std::min(image.size(), kHeaderBufferSize), &layout))
    throw PackError("the stub is not a PE image");
  return layout;
}

std::vector<uint8_t> BrandImage(const std::vector<uint8_t>& stub, const Branding& branding) {
  const PeLayout layout = ScanImage(stub);
  const bool plus = layout.optionalMagic == 0x20b;
  const size_t optional = layout.peOffset + 24;
  const size_t directories = optional + (plus ? 112 : 96);
  if ((!plus && layout.optionalMagic != 0x10b) || directories > layout.sectionTable ||
      GetU32(stub, directories - 4) <= kResourceDirectory ||
      directories + 8 * (kResourceDirectory + 1) > layout.sectionTable)
    throw PackError("the stub has no resource directory");
  const uint32_t resourceRva = GetU32(stub, directories + 8 * kResourceDirectory);

  // The resource section must be the last, in memory and in the file, so
  // that it can grow without moving anything else.
  const PackError notLast("the stub's resource section is not its last section; it cannot be rebranded");
  size_t resource = 0;
  bool found = false;
  for (size_t i = 0; i < layout.sectionCount; ++i) {
    const size_t header = SectionHeader(layout, i);
    if (GetU32(stub, header + 12) == resourceRva && resourceRva) resource = header, found = true;
  }
  if (!found) throw PackError("the stub has no resource section");
  const uint32_t va = GetU32(stub, resource + 12), raw = GetU32(stub, resource + 20),
                 rawSize = GetU32(stub, resource + 16);
  for (size_t i = 0; i < layout.sectionCount; ++i) {
    const size_t header = SectionHeader(layout, i);
    if (header == resource) continue;
    const uint64_t end = uint64_t(GetU32(stub, header + 20)) + GetU32(stub, header + 16);
    if (GetU32(stub, header + 12) >= va || (GetU32(stub, header + 16) && end > raw)) throw notLast;
  }
  if (uint64_t(raw) + rawSize != stub.size()) throw notLast;
  const uint32_t count = std::min<uint32_t>(GetU32(stub, directories - 4), (layout.sectionTable - directories) / 8);
  for (uint32_t d = 0; d < count; ++d) {
    const uint32_t rva = GetU32(stub, directories + 8 * d);
    if (d != kResourceDirectory && d != kCertificateDirectory && rva >= va && GetU32(stub, directories + 8 * d + 4))
      throw PackError("the stub's resource section holds more than resources");
  }

  std::vector<uint8_t> section(stub.begin() + raw, stub.end());
  ResourceTree tree = ParseResourceSection(section, va);
  const uint16_t language = branding.version ? branding.version->language : 0x0409;
  ResourceKey languageKey;
  languageKey.id = language;
  if (!branding.icon.empty()) {
    tree.erase(ResourceKey{false, kTypeIcon, {}});
    tree.erase(ResourceKey{false, kTypeGroupIcon, {}});
    for (size_t i = 0; i < branding.icon.size(); ++i)
      tree[ResourceKey{false, kTypeIcon, {}}][ResourceKey{false, uint16_t(i + 1), {}}][languageKey] =
          ResourceData{branding.icon[i].data, 0};
    tree[ResourceKey{false, kTypeGroupIcon, {}}][ResourceKey{false, 1, {}}][languageKey] =
        ResourceData{BuildIconGroup(branding.icon, 1), 0};
  }
  if (branding.version) {
    tree.erase(ResourceKey{false, kTypeVersion, {}});
    tree[ResourceKey{false, kTypeVersion, {}}][ResourceKey{false, 1, {}}][languageKey] =
        ResourceData{BuildVersionInfo(*branding.version), 0};
  }
  if (!branding.executionLevel.empty()) {
    const auto manifests = tree.find(ResourceKey{false, kTypeManifest, {}});
    if (manifests == tree.end()) throw PackError("the stub has no manifest");
    for (auto& [name, languages] : manifests->second)
      for (auto& [language, data] : languages) {
        const std::string text = SetExecutionLevel(std::string(data.bytes.begin(), data.bytes.end()),
                                                   branding.executionLevel);
        data.bytes.assign(text.begin(), text.end());
      }
  }
  const std::vector<uint8_t> built = BuildResourceSection(tree, va);

  const uint32_t sectionAlignment = GetU32(stub, optional + 32), fileAlignment = GetU32(stub, optional + 36);
  if (!fileAlignment || (fileAlignment & (fileAlignment - 1)) || !sectionAlignment ||
      (sectionAlignment & (sectionAlignment - 1)))
    throw PackError("the stub's section alignment is malformed");
  const uint32_t newRawSize = AlignUp(built.size(), fileAlignment);
  std::vector<uint8_t> image(stub.begin(), stub.begin() + raw);
  image.insert(image.end(), built.begin(), built.end());
  image.resize(size_t(raw) + newRawSize, 0);
  SetU32(image, resource + 8, uint32_t(built.size()));
  SetU32(image, resource + 16, newRawSize);
  SetU32(image, optional + 56, AlignUp(uint64_t(va) + built.size(), sectionAlignment));
  SetU32(image, optional + 8, GetU32(image, optional + 8) - rawSize + newRawSize);
  SetU32(image, directories + 8 * kResourceDirectory + 4, uint32_t(built.size()));
  return image;
}
