#include "app/foreign_entries.h"

#include "common/format.h"
#include "common/handle.h"
#include "common/path.h"
#include "common/text.h"

namespace {

bool IsDotEntry(const wchar_t* name) {
  return name[0] == L'.' && (!name[1] || (name[1] == L'.' && !name[2]));
}

// `relative` is the walked folder below the root ("" for the root itself).
bool Walk(const wchar_t* root, const wchar_t* relative, const PathSet& created,
          wchar_t (&found)[kPathCapacity]) {
  wchar_t pattern[kPathCapacity];
  if (FormatText(pattern, kPathCapacity, L"%s%s%s*", root, relative, relative[0] ? L"\\" : L"") + 1 >=
      kPathCapacity) {
    FormatText(found, kPathCapacity, L"%s%s", root, relative);
    return true;
  }
  WIN32_FIND_DATAW entry;
  FindHandle search(FindFirstFileW(pattern, &entry));
  if (!search.valid()) {
    FormatText(found, kPathCapacity, L"%s%s", root, relative);
    return true;
  }
  do {
    if (IsDotEntry(entry.cFileName)) continue;
    wchar_t path[kPathCapacity];
    if (FormatText(path, kPathCapacity, L"%s%s%s", relative, relative[0] ? L"\\" : L"",
                   entry.cFileName) + TextLength(root) + 1 >= kPathCapacity ||
        !created.Contains(path) || (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
      FormatText(found, kPathCapacity, L"%s%s", root, path);
      return true;
    }
    if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && Walk(root, path, created, found))
      return true;
  } while (FindNextFileW(search.get(), &entry));
  return false;
}

}  // namespace

bool FindForeignEntry(const wchar_t* directory, const PathSet& created,
                      wchar_t (&found)[kPathCapacity]) {
  found[0] = 0;
  return Walk(directory, L"", created, found);
}
