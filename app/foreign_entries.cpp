#include "app/foreign_entries.h"

#include "common/format.h"
#include "common/handle.h"
#include "common/nt_file.h"
#include "common/path.h"
#include "common/text.h"

namespace {

// `relative` is the walked folder below the root ("" for the root itself).
bool Walk(HANDLE directory, const wchar_t* root, const wchar_t* relative, const PathSet& created,
          wchar_t (&found)[kPathCapacity]) {
  DirectoryListing listing(directory);
  while (listing.Next()) {
    wchar_t path[kPathCapacity];
    size_t length = FormatText(path, kPathCapacity, L"%s%s%s", relative, relative[0] ? L"\\" : L"",
                               listing.name());
    // Another object under one of our names (ours deleted, theirs put there)
    // is as foreign as an unknown name.
    size_t index = created.IndexOf(path, length);
    if (!listing.nameFits() || length + TextLength(root) + 1 >= kPathCapacity ||
        index == PathSet::kNotFound || created.Value(index) != listing.fileId() ||
        (listing.attributes() & FILE_ATTRIBUTE_REPARSE_POINT)) {
      FormatText(found, kPathCapacity, L"%s%s", root, path);
      return true;
    }
    if (!(listing.attributes() & FILE_ATTRIBUTE_DIRECTORY)) continue;
    FileHandle folder = NtOpenFile(directory, listing.name(), listing.nameLength(),
                                   FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES, kShareAll, kNtOpen,
                                   kNtDirectoryFile | kNtOpenReparsePoint);
    if (!folder.valid() || IsLinkHandle(folder.get())) {
      FormatText(found, kPathCapacity, L"%s%s", root, path);
      return true;
    }
    if (Walk(folder.get(), root, path, created, found)) return true;
  }
  if (listing.error() == ERROR_NO_MORE_FILES) return false;
  FormatText(found, kPathCapacity, L"%s%s", root, relative);
  return true;
}

}  // namespace

bool FindForeignEntry(HANDLE directory, const wchar_t* directoryPath, const PathSet& created,
                      wchar_t (&found)[kPathCapacity]) {
  found[0] = 0;
  return Walk(directory, directoryPath, L"", created, found);
}
