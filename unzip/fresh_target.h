// Extraction into a directory this run has just created and holds open.
// Every level below it and every file is reached through a handle relative
// to its parent's, and only what this extraction created is used or
// replaced: no name is ever resolved from the top again, so neither a link
// on the way to the directory (the user decides what %TEMP% is) nor one
// planted below it can redirect a write.
#pragma once
#include <windows.h>

#include <stdint.h>

#include "common/containers.h"
#include "common/handle.h"
#include "common/path_set.h"

struct FreshTarget {
  HANDLE base = nullptr;       // the caller's; null when the target is not fresh
  PathSet* created = nullptr;  // every file and folder created: relative path, file ID
  PathSet directories;         // the folders created, in the order of `handles`
  Array<FileHandle> handles;   // each held until the extraction ends
};

// Missing: a level could not be created (or a file of ours has its name).
// Foreign: a level was there although this extraction did not create it.
enum class FreshLevel { Ready, Missing, Foreign };

// Creates the missing levels of directory[0, length) below the base;
// `*deepest` is the handle of the last one (the base for none), which
// `target` keeps.
FreshLevel OpenFreshDirectories(FreshTarget* target, const wchar_t* directory, size_t length,
                                HANDLE* deepest);

// Creates the file part of `name` (after directoryLength units) in
// `directory`, a level OpenFreshDirectories gave, with `attributes`. A
// file of that name that this extraction wrote earlier is replaced, never
// opened; anything else there fails it.
FileHandle CreateFreshFile(FreshTarget* target, HANDLE directory, const wchar_t* name,
                           size_t directoryLength, uint32_t attributes);
