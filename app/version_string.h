// A string field of a VS_VERSIONINFO resource, read without version.dll.
// Pure: no <windows.h>.
#pragma once
#include <stddef.h>
#include <stdint.h>

// Copies the value of string field `key` (ASCII) from the first string
// table of the version resource `resource` into `out` (at most capacity - 1
// units, NUL-terminated). Returns the units copied: 0 when there is no such
// field, it is empty, or a node runs outside its parent.
size_t VersionString(const uint8_t* resource, size_t size, const char* key, wchar_t* out, size_t capacity);
