// Fixed-size path buffers and the few things done to paths in them. Pure: no
// <windows.h>, and nothing here writes past the capacity it is given.
#pragma once
#include <stddef.h>

#include "common/text.h"

// Units of a path buffer, terminator included (MAX_PATH).
constexpr size_t kPathCapacity = 260;

// Writes a + b[0, bLength) + c into out (capacity units, terminated).
// Returns false, writing an empty string, when the result does not fit.
inline bool JoinPath(wchar_t* out, size_t capacity, const wchar_t* a, const wchar_t* b,
                     size_t bLength, const wchar_t* c) {
  if (!out || capacity == 0) return false;
  size_t aLength = TextLength(a), cLength = TextLength(c);
  if (aLength >= capacity || bLength >= capacity - aLength ||
      cLength >= capacity - aLength - bLength) {
    out[0] = 0;
    return false;
  }
  size_t at = CopyText(out, capacity, a);
  at += CopyText(out + at, capacity - at, b, bLength);
  CopyText(out + at, capacity - at, c);
  return true;
}

// Length of `path` up to its last dot, which is where an extension is cut
// off; the whole length when there is no dot. A dot in a folder name counts.
inline size_t StemLength(const wchar_t* path) {
  ptrdiff_t dot = FindLast(path, L'.');
  return dot >= 0 ? static_cast<size_t>(dot) : TextLength(path);
}
