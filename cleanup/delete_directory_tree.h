// Removal of a file or a directory tree, clearing attributes in the way.
#pragma once

// Removes `rootPath` (a file, or a directory with everything in it when
// `recurse` is nonzero; a trailing backslash is allowed). With `keepFiles`
// nonzero, files stay (with normal attributes) and only emptied directories
// go. Links (reparse points) are removed as links and never entered.
// Returns nonzero when `rootPath` itself is gone, 0 while it remains.
int DeleteDirectoryTree(const wchar_t* rootPath, int recurse, int keepFiles);
