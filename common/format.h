// A small wide printf of our own. The CRT's wide printf family changes the
// meaning of %s with __USE_MINGW_ANSI_STDIO, and the native fuzz build has a
// different wchar_t; this one behaves the same everywhere.
// Conversions: %s (wide string), %d %i (int), %u, %x %X (unsigned), %c, %%,
// with the flags '-' and '0', a width, an ignored 'l' and 'll' for 64-bit
// integers. Unknown
// conversions are copied literally.
#pragma once
#include <stdarg.h>
#include <stddef.h>

// Writes at most capacity - 1 units and always terminates (capacity > 0).
// Returns the number of units written, not counting the terminator.
size_t FormatTextV(wchar_t* out, size_t capacity, const wchar_t* format, va_list args);
size_t FormatText(wchar_t* out, size_t capacity, const wchar_t* format, ...);
