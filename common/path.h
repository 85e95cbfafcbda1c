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

// The Win32 form of a path that GetFinalPathNameByHandleW gave: "\\?\C:\x"
// becomes "C:\x" and "\\?\UNC\server\share\x" "\\server\share\x". Any other
// form (a volume without a drive letter), or a result that does not fit,
// gives false and an empty `out`.
inline bool DosPathFromFinalPath(const wchar_t* finalPath, wchar_t* out, size_t capacity) {
  auto startsWith = [finalPath](const wchar_t* prefix) {
    size_t i = 0;
    while (prefix[i] && finalPath[i] == prefix[i]) ++i;
    return !prefix[i];
  };
  const wchar_t* rest = nullptr;
  const wchar_t* prefix = L"";
  if (finalPath && startsWith(L"\\\\?\\UNC\\")) {
    prefix = L"\\\\";
    rest = finalPath + 8;
  } else if (finalPath && startsWith(L"\\\\?\\") && finalPath[4] && finalPath[5] == L':' &&
             finalPath[6] == L'\\') {
    rest = finalPath + 4;
  }
  if (rest && JoinPath(out, capacity, prefix, rest, TextLength(rest), L"")) return true;
  if (out && capacity) out[0] = 0;
  return false;
}

// Whether `path` names an entry directly inside `folder` (both as final
// paths give them, so compared exactly).
inline bool IsDirectlyInside(const wchar_t* path, const wchar_t* folder) {
  size_t length = TextLength(folder);
  for (size_t i = 0; i < length; ++i)
    if (path[i] != folder[i]) return false;
  if (path[length] != L'\\' || !path[length + 1]) return false;
  return FindLast(path + length + 1, L'\\') < 0;
}
