// Whether anything appeared in the extraction directory that the run did
// not put there (a planted DLL, a ".local" folder, a replaced tree).
#pragma once
#include <windows.h>

#include "common/path.h"
#include "common/path_set.h"

// Walks the directory open as `directory` (FILE_LIST_DIRECTORY) through
// handles, without entering links, and returns true with the entry's full
// path (below `directoryPath`, which ends in "\") in `found` at the first
// file or folder that is not in `created` (relative paths, each with the
// file ID of what was created as its value) under the same file ID, or
// that cannot be looked at.
bool FindForeignEntry(HANDLE directory, const wchar_t* directoryPath, const PathSet& created,
                      wchar_t (&found)[kPathCapacity]);
