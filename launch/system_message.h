// Shaping of a system message text for the one-line log. Pure.
#pragma once
#include <stddef.h>

// Room for an error text in the log line, terminator included.
constexpr size_t kErrorTextChars = 260;

// Copies `text` (`length` units, as the system returned it) into `out`
// without its closing line break. A text longer than 246 units leaves `out`
// empty, so the whole failure line still fits the log. Returns `out`.
wchar_t* ShapeSystemMessage(wchar_t (&out)[kErrorTextChars], const wchar_t* text, size_t length);
