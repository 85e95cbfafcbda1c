// Paths that the tree removal forms in its fixed per-level buffers. Pure:
// every function either fits its result, terminator included, or reports
// that it does not and leaves an empty string.
#pragma once
#include <stddef.h>

#include "common/path.h"

// rootPath, a backslash unless it already ends with one, then "*.*".
bool FormSearchPattern(wchar_t (&out)[kPathCapacity], const wchar_t* rootPath);

// rootPath, a backslash, the entry's name. The backslash is added even after
// a trailing one; the file system takes the doubled separator as one.
bool FormEntryPath(wchar_t (&out)[kPathCapacity], const wchar_t* rootPath, const wchar_t* name);

// rootPath without trailing backslashes, where dropping them still names the
// same thing ("C:\" and "\" keep theirs): a trailing backslash makes the
// file system look through a link at its target.
bool FormPathItself(wchar_t (&out)[kPathCapacity], const wchar_t* rootPath);

// Directories whose name begins with "." are neither entered nor removed:
// ".", ".." and dot folders such as ".cache".
inline bool IsKeptDirectoryName(const wchar_t* name) { return name && name[0] == L'.'; }
