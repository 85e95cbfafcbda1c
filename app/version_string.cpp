#include "app/version_string.h"

#include "common/bytes.h"

namespace {

// One node of the tree: wLength, wValueLength, wType, a NUL-terminated key,
// padding to 4, the value, padding to 4, the children up to wLength.
struct VersionNode {
  size_t key, keyUnits, value, valueUnits, children, end;
};

size_t Align4(size_t at) { return (at + 3) & ~size_t(3); }

bool ReadNode(const uint8_t* b, size_t at, size_t limit, VersionNode* node) {
  if (at + 6 > limit) return false;
  const size_t length = ReadLe16(b + at), valueLength = ReadLe16(b + at + 2), type = ReadLe16(b + at + 4);
  if (length < 6 || length > limit - at) return false;
  node->end = at + length;
  node->key = at + 6;
  size_t i = node->key;
  while (i + 2 <= node->end && ReadLe16(b + i)) i += 2;
  if (i + 2 > node->end) return false;
  node->keyUnits = (i - node->key) / 2;
  node->value = Align4(i + 2);
  // Text values count UTF-16 units, binary ones bytes.
  const size_t valueBytes = type == 1 ? 2 * valueLength : valueLength;
  node->valueUnits = type == 1 ? valueLength : 0;
  node->children = Align4(node->value + valueBytes);
  return node->value + valueBytes <= node->end;
}

bool KeyIs(const uint8_t* b, const VersionNode& node, const char* key) {
  size_t i = 0;
  for (; key[i]; ++i)
    if (i >= node.keyUnits || ReadLe16(b + node.key + 2 * i) != uint8_t(key[i])) return false;
  return i == node.keyUnits;
}

// The first child of `parent` whose key is `key` (any key for null).
bool FindChild(const uint8_t* b, const VersionNode& parent, const char* key, VersionNode* child) {
  for (size_t at = parent.children; at < parent.end; at = Align4(child->end)) {
    if (!ReadNode(b, at, parent.end, child)) return false;
    if (!key || KeyIs(b, *child, key)) return true;
  }
  return false;
}

}  // namespace

size_t VersionString(const uint8_t* resource, size_t size, const char* key, wchar_t* out, size_t capacity) {
  if (!capacity) return 0;
  out[0] = 0;
  VersionNode root, strings, table, field;
  if (!resource || !ReadNode(resource, 0, size, &root) || !FindChild(resource, root, "StringFileInfo", &strings) ||
      !FindChild(resource, strings, nullptr, &table) || !FindChild(resource, table, key, &field))
    return 0;
  size_t units = 0;
  while (units < field.valueUnits && units + 1 < capacity && ReadLe16(resource + field.value + 2 * units)) {
    out[units] = static_cast<wchar_t>(ReadLe16(resource + field.value + 2 * units));
    ++units;
  }
  out[units] = 0;
  return units;
}
