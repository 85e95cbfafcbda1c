// The set of relative paths that one extraction created, for telling our own
// files and folders from ones that appeared beside them or in their place.
// Pure: no <windows.h>.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "common/byte_buffer.h"
#include "common/containers.h"

// The next component of path[0, length) from `*position` on, as Win32 names
// it: empty and "." components skipped, trailing dots and spaces trimmed.
// Fills `*start` and `*componentLength` and moves `*position` past it;
// false once none is left (a NUL ends the path too).
bool NextPathComponent(const wchar_t* path, size_t length, size_t* position, size_t* start,
                       size_t* componentLength);

// The form under which Win32 stores a relative path: "." and empty components
// dropped, trailing dots and spaces of each component trimmed, separators as
// "\", ASCII letters folded to lower case (the file system ignores their
// case). "a/./B. /c.txt " and "a\b\C.TXT" give the same key.
WideString PathKey(const wchar_t* path, size_t length);
inline WideString PathKey(const wchar_t* path) { return PathKey(path, TextLength(path)); }

class PathSet {
 public:
  PathSet() = default;
  PathSet(const PathSet&) = delete;
  PathSet& operator=(const PathSet&) = delete;

  static constexpr size_t kNotFound = static_cast<size_t>(-1);

  // All take a relative path in any spelling; it is keyed with PathKey. A
  // path's index is its place in the order of first insertion.
  size_t Insert(const wchar_t* path, size_t length);
  size_t Insert(const wchar_t* path) { return Insert(path, TextLength(path)); }
  size_t IndexOf(const wchar_t* path, size_t length) const;
  bool Contains(const wchar_t* path, size_t length) const { return IndexOf(path, length) != kNotFound; }
  bool Contains(const wchar_t* path) const { return Contains(path, TextLength(path)); }
  size_t size() const { return keys_.size(); }

  // Each path carries one value, 0 until set: the extraction keeps there the
  // file ID of the object it created under that name.
  uint64_t Value(size_t index) const { return details_[index].value; }
  void SetValue(size_t index, uint64_t value) { details_[index].value = value; }

 private:
  // Slot value: 0 for empty, else index into keys_ plus one.
  size_t Find(const WideString& key, uint32_t hash) const;
  void Grow();

  uint32_t* Slots() const { return reinterpret_cast<uint32_t*>(slots_.get()); }
  // A power of two, at least twice the number of keys; 0 before the first insert.
  size_t SlotCount() const { return slots_.size() / sizeof(uint32_t); }

  Array<WideString> keys_;
  // By index, as keys_ (one array: each element type costs the stub its code).
  struct Details {
    uint32_t hash;
    uint64_t value;
  };
  Array<Details> details_;
  ByteBuffer slots_;
};
