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
  bool keptDirectories = false;  // a directory the rule keeps (a "." name) stayed

  void Add(const wchar_t* path, unsigned long error);
  // The emptied directory itself stayed: when kept directories hold it,
  // waiting changes nothing.
  void AddEmptiedDirectory(const wchar_t* path, unsigned long error);
  void Clear() { count = 0; onlyInUse = true; keptDirectories = false; }
};

// Removes everything below the directory open as `directory` (a handle with
// FILE_LIST_DIRECTORY access) but the directory itself, as
// DeleteDirectoryTree does, and notes each thing that stays. Every entry is
// opened relative to its parent's handle, a link as itself (removed, never
// entered), and deleted through its own handle: no path is resolved again,
// so nothing on the way to `directory` can redirect it. `directoryPath`
// only names what stays. Returns true when nothing stayed but directories
// the rule keeps.
bool EmptyDirectoryTree(void* directory, const wchar_t* directoryPath, RemovalFailures* failures);
