// Whether anything appeared in the extraction directory that the run did
// not put there (a planted DLL, a ".local" folder, a replaced tree).
#pragma once
#include <windows.h>

#include "common/path.h"
#include "common/path_set.h"

// Walks `directory` (ending in "\") without entering links and returns true
// with the entry's full path in `found` at the first file or folder that is
// not in `created` (relative paths), or that cannot be looked at.
bool FindForeignEntry(const wchar_t* directory, const PathSet& created,
                      wchar_t (&found)[kPathCapacity]);
