#include "tools/pack/version_info.h"

#include <cstdio>

#include "tools/pack/bytes.h"
#include "tools/pack/pack_error.h"

namespace {

constexpr uint32_t kFixedSignature = 0xFEEF04BD;
constexpr uint32_t kFixedStructVersion = 0x00010000;
constexpr uint32_t kFileFlagsMask = 0x3F;
constexpr uint32_t kOsNtWindows32 = 0x00040004;
constexpr uint32_t kFileTypeApp = 1;
constexpr size_t kMaxLength = 0xFFFF;

enum NodeType : uint16_t { kBinary = 0, kText = 1 };

void PutText(std::vector<uint8_t>& out, const std::u16string& text) {
  for (char16_t c : text) PutU16(out, c);
  PutU16(out, 0);
}

// One node of the tree: length, value length, type, key, value, children,
// each part starting on a 32-bit boundary.
std::vector<uint8_t> Node(const std::u16string& key, NodeType type, const std::vector<uint8_t>& value,
                          uint16_t valueLength, const std::vector<std::vector<uint8_t>>& children) {
  std::vector<uint8_t> node;
  PutU16(node, 0);
  PutU16(node, valueLength);
  PutU16(node, type);
  PutText(node, key);
  PadTo(node, 4);
  node.insert(node.end(), value.begin(), value.end());
  for (const auto& child : children) {
    PadTo(node, 4);
    node.insert(node.end(), child.begin(), child.end());
  }
  if (node.size() > kMaxLength)
    throw PackError("version information too long (" + std::to_string(node.size()) +
                    " bytes, at most 65535 fit): shorten the version strings");
  SetU16(node, 0, uint16_t(node.size()));
  return node;
}

std::vector<uint8_t> StringNode(const std::string& key, const std::string& value) {
  std::u16string wideKey = Utf8ToUtf16(key), wideValue = Utf8ToUtf16(value);
  std::vector<uint8_t> bytes;
  PutText(bytes, wideValue);
  if (wideValue.size() + 1 > kMaxLength || bytes.size() > kMaxLength)
    throw PackError("version string " + key + " is too long");
  return Node(wideKey, kText, bytes, uint16_t(wideValue.size() + 1), {});
}

std::vector<uint8_t> FixedFileInfo(const VersionInfo& info) {
  VersionNumber none;
  const VersionNumber& file = info.file ? *info.file : none;
  const VersionNumber& product = info.product ? *info.product : none;
  std::vector<uint8_t> fixed;
  for (uint32_t v : {kFixedSignature, kFixedStructVersion,
                     uint32_t(file.parts[0]) << 16 | file.parts[1], uint32_t(file.parts[2]) << 16 | file.parts[3],
                     uint32_t(product.parts[0]) << 16 | product.parts[1],
                     uint32_t(product.parts[2]) << 16 | product.parts[3], kFileFlagsMask, 0u, kOsNtWindows32,
                     kFileTypeApp, 0u, 0u, 0u})
    PutU32(fixed, v);
  return fixed;
}

bool HasKey(const VersionInfo& info, const std::string& key) {
  for (const auto& [k, v] : info.strings)
    if (k == key) return true;
  return false;
}

// A node as it lies in the resource: where its value and children start and
// where it ends.
struct NodeView {
  std::u16string key;
  size_t value, children, end;
};

NodeView ReadNode(const std::vector<uint8_t>& bytes, size_t at, size_t limit) {
  const PackError malformed("the version information is malformed");
  if (at + 6 > limit) throw malformed;
  NodeView node;
  node.end = at + GetU16(bytes, at);
  if (node.end > limit || node.end < at + 6) throw malformed;
  const uint16_t valueLength = GetU16(bytes, at + 2), type = GetU16(bytes, at + 4);
  size_t cursor = at + 6;
  for (; cursor + 2 <= node.end && GetU16(bytes, cursor); cursor += 2) node.key += char16_t(GetU16(bytes, cursor));
  if (cursor + 2 > node.end) throw malformed;
  node.value = (cursor + 2 + 3) & ~size_t(3);
  // Text lengths count UTF-16 units, binary ones bytes.
  node.children = (node.value + (type == kText ? 2 * size_t(valueLength) : valueLength) + 3) & ~size_t(3);
  if (node.value > node.end) node.value = node.end;
  if (node.children > node.end) node.children = node.end;
  return node;
}

// Calls `each` for every child node of `parent`.
template <typename Each>
void ForEachChild(const std::vector<uint8_t>& bytes, const NodeView& parent, Each each) {
  for (size_t at = parent.children; at + 6 <= parent.end; at = (at + 3) & ~size_t(3)) {
    const NodeView child = ReadNode(bytes, at, parent.end);
    each(child);
    at = child.end;
  }
}

}  // namespace

VersionNumber ParseVersionNumber(const std::string& text, const std::string& option) {
  const PackError refused(option + " " + text + ": expected 1 to 4 numbers from 0 to 65535 separated by dots");
  VersionNumber version;
  size_t at = 0;
  while (true) {
    if (version.given == 4) throw refused;
    size_t digits = 0;
    uint32_t part = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
      part = part * 10 + uint32_t(text[at++] - '0');
      if (++digits > 5 || part > 0xFFFF) throw refused;
    }
    if (digits == 0) throw refused;
    version.parts[version.given++] = uint16_t(part);
    if (at == text.size()) return version;
    if (text[at++] != '.') throw refused;
  }
}

std::string VersionText(const VersionNumber& version) {
  std::string text;
  for (int i = 0; i < version.given; ++i) text += (i ? "." : "") + std::to_string(version.parts[i]);
  return text;
}

void SetVersionString(VersionInfo& info, const std::string& key, const std::string& value) {
  for (auto& [k, v] : info.strings)
    if (k == key) {
      v = value;
      return;
    }
  info.strings.emplace_back(key, value);
}

std::vector<uint8_t> BuildVersionInfo(const VersionInfo& info) {
  std::vector<std::vector<uint8_t>> strings;
  for (const auto& [key, value] : info.strings) strings.push_back(StringNode(key, value));
  if (info.file && !HasKey(info, "FileVersion")) strings.push_back(StringNode("FileVersion", VersionText(*info.file)));
  if (info.product && !HasKey(info, "ProductVersion"))
    strings.push_back(StringNode("ProductVersion", VersionText(*info.product)));

  char tableName[9];
  snprintf(tableName, sizeof tableName, "%04x%04x", info.language, info.codePage);
  std::vector<uint8_t> table = Node(Utf8ToUtf16(tableName), kText, {}, 0, strings);
  std::vector<uint8_t> stringInfo = Node(u"StringFileInfo", kText, {}, 0, {table});
  std::vector<uint8_t> translation;
  PutU16(translation, info.language);
  PutU16(translation, info.codePage);
  std::vector<uint8_t> var = Node(u"Translation", kBinary, translation, 4, {});
  std::vector<uint8_t> varInfo = Node(u"VarFileInfo", kText, {}, 0, {var});
  return Node(u"VS_VERSION_INFO", kBinary, FixedFileInfo(info), 52, {stringInfo, varInfo});
}

std::u16string Utf8ToUtf16(const std::string& text) {
  std::u16string out;
  for (size_t i = 0; i < text.size();) {
    const uint8_t lead = uint8_t(text[i]);
    size_t extra = lead < 0x80 ? 0 : (lead >> 5) == 6 ? 1 : (lead >> 4) == 14 ? 2 : (lead >> 3) == 30 ? 3 : 9;
    if (extra == 9 || i + extra >= text.size()) throw PackError("text is not valid UTF-8: " + text);
    uint32_t code = extra ? lead & (0x3F >> extra) : lead;
    for (size_t k = 1; k <= extra; ++k) {
      const uint8_t next = uint8_t(text[i + k]);
      if ((next >> 6) != 2) throw PackError("text is not valid UTF-8: " + text);
      code = code << 6 | (next & 0x3F);
    }
    static const uint32_t kLeast[] = {0, 0x80, 0x800, 0x10000};
    if (code < kLeast[extra] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
      throw PackError("text is not valid UTF-8: " + text);
    if (code >= 0x10000) {
      out += char16_t(0xD800 + ((code - 0x10000) >> 10));
      out += char16_t(0xDC00 + ((code - 0x10000) & 0x3FF));
    } else {
      out += char16_t(code);
    }
    i += extra + 1;
  }
  return out;
}

std::vector<std::pair<std::string, std::string>> ReadVersionStrings(const std::vector<uint8_t>& resource) {
  std::vector<std::pair<std::string, std::string>> strings;
  bool tableRead = false;
  const NodeView root = ReadNode(resource, 0, resource.size());
  ForEachChild(resource, root, [&](const NodeView& info) {
    if (info.key != u"StringFileInfo") return;
    ForEachChild(resource, info, [&](const NodeView& table) {
      if (tableRead) return;
      tableRead = true;
      ForEachChild(resource, table, [&](const NodeView& string) {
        std::u16string value;
        for (size_t at = string.value; at + 2 <= string.end && GetU16(resource, at); at += 2)
          value += char16_t(GetU16(resource, at));
        strings.emplace_back(Utf16ToUtf8(string.key), Utf16ToUtf8(value));
      });
    });
  });
  return strings;
}

std::string Utf16ToUtf8(const std::u16string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t code = text[i];
    if (code >= 0xD800 && code <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF)
      code = 0x10000 + ((code - 0xD800) << 10) + (text[++i] - 0xDC00);
    else if (code >= 0xD800 && code <= 0xDFFF)
      code = 0xFFFD;
    if (code < 0x80) {
      out += char(code);
    } else if (code < 0x800) {
      out += char(0xC0 | code >> 6);
      out += char(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
      out += char(0xE0 | code >> 12);
      out += char(0x80 | (code >> 6 & 0x3F));
      out += char(0x80 | (code & 0x3F));
    } else {
      out += char(0xF0 | code >> 18);
      out += char(0x80 | (code >> 12 & 0x3F));
      out += char(0x80 | (code >> 6 & 0x3F));
      out += char(0x80 | (code & 0x3F));
    }
  }
  return out;
}
