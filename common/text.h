// Bounded wide-string helpers shared by the pure parts of the program.
// They never include <windows.h> and never write past `capacity`.
#pragma once
#include <stddef.h>

inline size_t TextLength(const wchar_t* text) {
  size_t length = 0;
  if (text) while (text[length]) ++length;
  return length;
}

// Copies at most capacity - 1 units and always terminates (capacity > 0).
// Returns the number of units copied.
inline size_t CopyText(wchar_t* target, size_t capacity, const wchar_t* source,
                       size_t sourceLength = static_cast<size_t>(-1)) {
  if (capacity == 0) return 0;
  size_t count = 0;
  if (source)
    while (count + 1 < capacity && count < sourceLength && source[count]) {
      target[count] = source[count];
      ++count;
    }
  target[count] = 0;
  return count;
}

// Appends to the terminated text in target; returns the new length.
inline size_t AppendText(wchar_t* target, size_t capacity, const wchar_t* source) {
  size_t length = TextLength(target);
  if (length >= capacity) return length;
  return length + CopyText(target + length, capacity - length, source);
}

inline bool TextEquals(const wchar_t* a, const wchar_t* b) {
  if (!a || !b) return a == b;
  while (*a && *a == *b) ++a, ++b;
  return *a == *b;
}

inline bool IsPathSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

// Index of the last occurrence of `c`, or -1.
inline ptrdiff_t FindLast(const wchar_t* text, wchar_t c) {
  ptrdiff_t found = -1;
  for (ptrdiff_t i = 0; text && text[i]; ++i)
    if (text[i] == c) found = i;
  return found;
}
