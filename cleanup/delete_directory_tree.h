// Removal of a file or a directory tree, clearing attributes in the way.
#pragma once
#include "common/path.h"

// How far below the root a removal reaches, and whether files go with it.
enum class TreeDepth { TopLevel, Whole };
enum class TreeFiles { Delete, Keep };

// Removes `rootPath` (a file, or a directory with its top level or the whole
// tree below it; a trailing backslash is allowed). With TreeFiles::Keep,
// files stay (with normal attributes) and only emptied directories go. Links
// (reparse points) are removed as links and never entered.
// Returns nonzero when `rootPath` itself is gone, 0 while it remains.
int DeleteDirectoryTree(const wchar_t* rootPath, TreeDepth depth, TreeFiles files);

// What a removal left behind: the first few paths with the error that kept
// each, and how many there were in all.
struct RemovalFailures {
  static constexpr int kKeptPaths = 3;
  wchar_t paths[kKeptPaths][kPathCapacity] = {};
  unsigned long errors[kKeptPaths] = {};
  int count = 0;
  bool onlyInUse = true;  // every failure was something in use, worth retrying

  void Add(const wchar_t* path, unsigned long error);
  void Clear() { count = 0; onlyInUse = true; }
};

// Removes everything below `directoryPath` but the directory itself, as
// DeleteDirectoryTree does (links removed as links, never entered), and
// notes each thing that stays. A directory that is itself a link is left
// alone. Returns true when nothing stayed.
bool EmptyDirectoryTree(const wchar_t* directoryPath, RemovalFailures* failures);
