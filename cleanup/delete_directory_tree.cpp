#include <windows.h>

#include "cleanup/delete_directory_tree.h"

#include "cleanup/tree_paths.h"
#include "common/handle.h"
#include "common/nt_file.h"

// The bootstrapper runs elevated and removes a tree inside the user's own
// temporary directory, where the user can plant links. So nothing here ever
// looks through a link: a link is removed as itself, and a directory is
// held open while it is worked on, so that it cannot be swapped for a link
// behind our back.

namespace {

bool IsLink(DWORD attributes) {
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// Opens the object that `path` names itself, never the target of a link.
FileHandle OpenItself(const wchar_t* path, DWORD access, DWORD share) {
  return FileHandle(CreateFileW(path, access, share, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                nullptr));
}

// Removes a link, not its target. Deleting by path may follow the link on
// some file systems (Wine's removes an empty target directory that way), so
// the deletion goes through a handle that has been shown to be the link.
// Attributes are left alone: setting them by path would reach the target.
bool RemoveLink(const wchar_t* path) {
  FileHandle link = OpenItself(path, DELETE | FILE_READ_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
  if (!link.valid()) return false;
  if (!IsLinkHandle(link.get())) {
    SetLastError(ERROR_NOT_A_REPARSE_POINT);
    return false;
  }
  return MarkForDeletion(link.get());
}

void Note(RemovalFailures* failures, const wchar_t* path, bool removed) {
  if (!removed && failures) failures->Add(path, GetLastError());
}

void RemoveEntryFile(const wchar_t* path, DWORD attributes, TreeFiles files,
                     RemovalFailures* failures) {
  if (IsLink(attributes)) {
    if (files == TreeFiles::Delete) Note(failures, path, RemoveLink(path));
    return;
  }
  SetFileAttributesW(path, FILE_ATTRIBUTE_NORMAL);
  if (files == TreeFiles::Delete) Note(failures, path, DeleteFileW(path) != FALSE);
}

bool IsInUse(DWORD error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ||
         error == ERROR_ACCESS_DENIED || error == ERROR_DIR_NOT_EMPTY;
}

int RemoveTree(const wchar_t* rootPath, TreeDepth depth, TreeFiles files,
               RemovalFailures* failures);

}  // namespace

void RemovalFailures::Add(const wchar_t* path, unsigned long error) {
  if (count < kKeptPaths) {
    // Entry paths double the separator after a root given with one; the
    // report shows the path as a person would write it.
    size_t length = 0;
    for (size_t i = 0; length + 1 < kPathCapacity && path[i]; ++i) {
      if (i > 1 && path[i] == L'\\' && path[i - 1] == L'\\') continue;
      paths[count][length++] = path[i];
    }
    paths[count][length] = 0;
    errors[count] = error;
  }
  ++count;
  if (!IsInUse(error)) onlyInUse = false;
}

void RemovalFailures::AddEmptiedDirectory(const wchar_t* path, unsigned long error) {
  Add(path, error);
  if (keptDirectories) onlyInUse = false;
}

int DeleteDirectoryTree(const wchar_t* rootPath, TreeDepth depth, TreeFiles files) {
  return RemoveTree(rootPath, depth, files, nullptr);
}

namespace {

int RemoveTree(const wchar_t* rootPath, TreeDepth depth, TreeFiles files,
               RemovalFailures* failures) {
  if (!rootPath) return 0;

  // A path that does not exist reads as all bits set: handled as a
  // directory, whose enumeration then fails.
  DWORD attributes = GetFileAttributesW(rootPath);
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    if (IsLink(attributes)) {
      bool removed = RemoveLink(rootPath);
      Note(failures, rootPath, removed);
      return removed ? 1 : 0;
    }
    SetFileAttributesW(rootPath, FILE_ATTRIBUTE_NORMAL);
    return DeleteFileW(rootPath) ? 1 : 0;
  }
  if (!rootPath[0]) return 0;

  wchar_t pattern[kPathCapacity];
  wchar_t itself[kPathCapacity];
  if (!FormSearchPattern(pattern, rootPath) || !FormPathItself(itself, rootPath)) {
    SetLastError(ERROR_BUFFER_OVERFLOW);
    return 0;
  }
  if (IsLink(attributes) || IsLink(GetFileAttributesW(itself))) {
    bool removed = RemoveLink(itself);
    Note(failures, itself, removed);
    return removed ? 1 : 0;
  }

  // Without delete sharing nobody can rename or replace this directory while
  // we are inside it; the handle also shows what the path names right now.
  // Not getting it (someone holds the directory open for deletion) is no
  // reason to leave the tree behind.
  FileHandle pin = OpenItself(itself, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE);
  if (pin.valid() && IsLinkHandle(pin.get())) {
    pin.reset();
    bool removed = RemoveLink(itself);
    Note(failures, itself, removed);
    return removed ? 1 : 0;
  }

  WIN32_FIND_DATAW entry;
  FindHandle search(FindFirstFileW(pattern, &entry));
  if (!search.valid()) return 0;
  wchar_t entryPath[kPathCapacity];
  do {
    // An entry whose path does not fit stays; so does rootPath then.
    if (!FormEntryPath(entryPath, rootPath, entry.cFileName)) {
      if (failures) failures->Add(entry.cFileName, ERROR_FILENAME_EXCED_RANGE);
      continue;
    }
    if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
      RemoveEntryFile(entryPath, entry.dwFileAttributes, files, failures);
    } else if (IsKeptDirectoryName(entry.cFileName)) {
      continue;
    } else if (depth == TreeDepth::Whole) {
      // A link is removed, not entered, by the nested call; it notes its
      // own failures.
      RemoveTree(entryPath, depth, files, failures);
    }
  } while (FindNextFileW(search.get(), &entry));
  if (GetLastError() != ERROR_NO_MORE_FILES) return 0;
  if (!FindClose(search.release())) return 0;

  pin.reset();
  SetFileAttributesW(rootPath, FILE_ATTRIBUTE_NORMAL);
  bool removed = RemoveDirectoryW(rootPath) != FALSE;
  // Emptied but still there because something below stayed: that is noted.
  if (!removed && GetLastError() != ERROR_DIR_NOT_EMPTY) Note(failures, rootPath, false);
  return removed ? 1 : 0;
}

}  // namespace
