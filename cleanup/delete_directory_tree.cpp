#include <windows.h>

#include "cleanup/delete_directory_tree.h"

#include "cleanup/tree_paths.h"
#include "common/handle.h"

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

bool HandleIsLink(HANDLE handle) {
  FILE_ATTRIBUTE_TAG_INFO info = {};
  return GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &info, sizeof info) &&
         (info.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// Removes a link, not its target. Deleting by path may follow the link on
// some file systems (Wine's removes an empty target directory that way), so
// the deletion goes through a handle that has been shown to be the link.
// Attributes are left alone: setting them by path would reach the target.
bool RemoveLink(const wchar_t* path) {
  FileHandle link = OpenItself(path, DELETE | FILE_READ_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
  if (!link.valid()) return false;
  if (!HandleIsLink(link.get())) {
    SetLastError(ERROR_NOT_A_REPARSE_POINT);
    return false;
  }
  FILE_DISPOSITION_INFO disposition = {};
  disposition.DeleteFile = TRUE;
  return SetFileInformationByHandle(link.get(), FileDispositionInfo, &disposition,
                                    sizeof disposition) != FALSE;
}

void RemoveEntryFile(const wchar_t* path, DWORD attributes, int keepFiles) {
  if (IsLink(attributes)) {
    if (!keepFiles) RemoveLink(path);
    return;
  }
  SetFileAttributesW(path, FILE_ATTRIBUTE_NORMAL);
  if (!keepFiles) DeleteFileW(path);
}

}  // namespace

int DeleteDirectoryTree(const wchar_t* rootPath, int recurse, int keepFiles) {
  if (!rootPath) return 0;

  // A path that does not exist reads as all bits set: handled as a
  // directory, whose enumeration then fails.
  DWORD attributes = GetFileAttributesW(rootPath);
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    if (IsLink(attributes)) return RemoveLink(rootPath) ? 1 : 0;
    SetFileAttributesW(rootPath, FILE_ATTRIBUTE_NORMAL);
    return DeleteFileW(rootPath) ? 1 : 0;
  }
  if (!rootPath[0]) return 0;

  wchar_t pattern[kTreePathChars];
  wchar_t itself[kTreePathChars];
  if (!FormSearchPattern(pattern, rootPath) || !FormPathItself(itself, rootPath)) {
    SetLastError(ERROR_BUFFER_OVERFLOW);
    return 0;
  }
  if (IsLink(attributes) || IsLink(GetFileAttributesW(itself))) return RemoveLink(itself) ? 1 : 0;

  // Without delete sharing nobody can rename or replace this directory while
  // we are inside it; the handle also shows what the path names right now.
  // Not getting it (someone holds the directory open for deletion) is no
  // reason to leave the tree behind.
  FileHandle pin = OpenItself(itself, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE);
  if (pin.valid() && HandleIsLink(pin.get())) {
    pin.reset();
    return RemoveLink(itself) ? 1 : 0;
  }

  WIN32_FIND_DATAW entry;
  FindHandle search(FindFirstFileW(pattern, &entry));
  if (!search.valid()) return 0;
  wchar_t entryPath[kTreePathChars];
  do {
    // An entry whose path does not fit stays; so does rootPath then.
    if (!FormEntryPath(entryPath, rootPath, entry.cFileName)) continue;
    if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
      RemoveEntryFile(entryPath, entry.dwFileAttributes, keepFiles);
    } else if (IsKeptDirectoryName(entry.cFileName)) {
      continue;
    } else if (recurse) {
      // A link is removed, not entered, by the nested call.
      DeleteDirectoryTree(entryPath, recurse, keepFiles);
    }
  } while (FindNextFileW(search.get(), &entry));
  if (GetLastError() != ERROR_NO_MORE_FILES) return 0;
  if (!FindClose(search.release())) return 0;

  pin.reset();
  SetFileAttributesW(rootPath, FILE_ATTRIBUTE_NORMAL);
  return RemoveDirectoryW(rootPath) ? 1 : 0;
}
