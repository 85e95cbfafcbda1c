#include <windows.h>

#include "cleanup/delete_directory_tree.h"
#include "cleanup/tree_paths.h"
#include "common/nt_file.h"

// The run's own folder is emptied through handles only: its path runs
// through the user's temporary directory, which the user may re-point at
// any moment, so a path resolved again could name another folder.

namespace {

// Deeper trees (an installer can make them) stay rather than exhaust the stack.
constexpr int kMaxDepth = 128;

// Empties `directory`; true when nothing at all stayed in it. Each thing
// that stayed is noted, except kept directories and what only stays
// because of them.
bool EmptyBelow(HANDLE directory, const wchar_t* path, int depth, RemovalFailures* failures) {
  const int before = failures->count;
  bool stays = false;  // a kept directory, or what holds one
  DirectoryListing listing(directory);
  while (listing.Next()) {
    const wchar_t* name = listing.name();
    wchar_t entryPath[kPathCapacity];
    const wchar_t* shown = FormEntryPath(entryPath, path, name) ? entryPath : name;
    if (!listing.nameFits()) {
      failures->Add(shown, ERROR_FILENAME_EXCED_RANGE);
      continue;
    }
    if ((listing.attributes() & FILE_ATTRIBUTE_DIRECTORY) && IsKeptDirectoryName(name)) {
      stays = failures->keptDirectories = true;
      continue;
    }
    FileHandle entry = NtOpenFile(
        directory, name, listing.nameLength(),
        DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | FILE_LIST_DIRECTORY, kShareAll, kNtOpen,
        kNtOpenReparsePoint);
    FILE_ATTRIBUTE_TAG_INFO opened = {};
    if (!entry.valid() ||
        !GetFileInformationByHandleEx(entry.get(), FileAttributeTagInfo, &opened, sizeof opened)) {
      failures->Add(shown, GetLastError());
      continue;
    }
    // What the handle is on decides, not what the listing said a moment
    // ago. A link the handle does not show as one (Wine follows links) is
    // left: deleting through that handle would delete its target.
    const bool link = opened.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT;
    if (link || (listing.attributes() & FILE_ATTRIBUTE_REPARSE_POINT)) {
      if (!link) SetLastError(ERROR_NOT_A_REPARSE_POINT);
      if (!link || !MarkForDeletion(entry.get())) failures->Add(shown, GetLastError());
      continue;
    }
    if (opened.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      if (depth >= kMaxDepth) {
        failures->Add(shown, ERROR_FILENAME_EXCED_RANGE);
        continue;
      }
      if (!EmptyBelow(entry.get(), shown, depth + 1, failures)) {
        stays = true;
        continue;
      }
    }
    ClearAttributes(entry.get());
    if (!MarkForDeletion(entry.get())) failures->Add(shown, GetLastError());
  }
  if (listing.error() != ERROR_NO_MORE_FILES) failures->Add(path, listing.error());
  return failures->count == before && !stays;
}

}  // namespace

bool EmptyDirectoryTree(void* directory, const wchar_t* directoryPath, RemovalFailures* failures) {
  const int before = failures->count;
  EmptyBelow(directory, directoryPath, 0, failures);
  return failures->count == before;
}
