#include "common/path_set.h"

namespace {

uint32_t HashKey(const WideString& key) {
  uint32_t hash = 2166136261u;  // FNV-1a over the code units
  for (size_t i = 0; i < key.size(); ++i) {
    hash ^= static_cast<uint16_t>(key[i]);
    hash *= 16777619u;
  }
  return hash;
}

bool SameKey(const WideString& a, const WideString& b) {
  return a.size() == b.size() && TextEquals(a.c_str(), b.c_str());
}

}  // namespace

bool NextPathComponent(const wchar_t* path, size_t length, size_t* position, size_t* start,
                       size_t* componentLength) {
  size_t i = *position;
  while (i < length && path[i]) {
    size_t end = i;
    while (end < length && path[end] && !IsPathSeparator(path[end])) ++end;
    size_t trimmed = end;
    while (trimmed > i && (path[trimmed - 1] == L'.' || path[trimmed - 1] == L' ')) --trimmed;
    bool dotOnly = end - i == 1 && path[i] == L'.';
    size_t next = end < length && path[end] ? end + 1 : end;
    if (trimmed > i && !dotOnly) {
      *start = i;
      *componentLength = trimmed - i;
      *position = next;
      return true;
    }
    i = next;
  }
  *position = i;
  return false;
}

WideString PathKey(const wchar_t* path, size_t length) {
  WideString key;
  size_t position = 0, start = 0, count = 0;
  while (NextPathComponent(path, length, &position, &start, &count)) {
    if (!key.empty()) key.Append(L'\\');
    for (size_t k = start; k < start + count; ++k) {
      wchar_t c = path[k];
      key.Append(c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c + 32) : c);
    }
  }
  return key;
}

size_t PathSet::Find(const WideString& key, uint32_t hash) const {
  size_t mask = SlotCount() - 1;
  for (size_t slot = hash & mask;; slot = (slot + 1) & mask) {
    uint32_t entry = Slots()[slot];
    if (!entry || (details_[entry - 1].hash == hash && SameKey(keys_[entry - 1], key))) return slot;
  }
}

void PathSet::Grow() {
  size_t count = SlotCount() ? SlotCount() * 2 : 64;
  slots_.Allocate(count * sizeof(uint32_t));
  uint32_t* slots = Slots();
  for (size_t i = 0; i < count; ++i) slots[i] = 0;
  for (size_t i = 0; i < keys_.size(); ++i)
    slots[Find(keys_[i], details_[i].hash)] = static_cast<uint32_t>(i + 1);
}

size_t PathSet::Insert(const wchar_t* path, size_t length) {
  WideString key = PathKey(path, length);
  uint32_t hash = HashKey(key);
  if ((keys_.size() + 1) * 2 > SlotCount()) Grow();
  size_t slot = Find(key, hash);
  uint32_t* slots = Slots();
  if (slots[slot]) return slots[slot] - 1;
  keys_.Append(static_cast<WideString&&>(key));
  details_.Append(Details{hash, 0});
  slots[slot] = static_cast<uint32_t>(keys_.size());
  return keys_.size() - 1;
}

size_t PathSet::IndexOf(const wchar_t* path, size_t length) const {
  if (!SlotCount()) return kNotFound;
  WideString key = PathKey(path, length);
  uint32_t slot = Slots()[Find(key, HashKey(key))];
  return slot ? slot - 1 : kNotFound;
}
