#include "unzip/fresh_target.h"

#include "common/format.h"
#include "common/nt_file.h"

namespace {

// Our levels deny deletion (and so renaming) while the extraction writes
// below them.
constexpr ULONG kLevelSharing = FILE_SHARE_READ | FILE_SHARE_WRITE;

// Names alone would not tell our file from another put in its place once
// ours is deleted: each is recorded with the file ID of what was created.
void Record(PathSet* created, const wchar_t* path, size_t length, HANDLE handle) {
  created->SetValue(created->Insert(path, length), FileIdentity(handle));
}

}  // namespace

FreshLevel OpenFreshDirectories(FreshTarget* target, const wchar_t* directory, size_t length,
                                HANDLE* deepest) {
  *deepest = target->base;
  size_t position = 0, start = 0, count = 0;
  while (NextPathComponent(directory, length, &position, &start, &count)) {
    const size_t prefix = start + count;
    const size_t known = target->directories.IndexOf(directory, prefix);
    if (known != PathSet::kNotFound) {
      *deepest = target->handles[known].get();
      continue;
    }
    LONG status = 0;
    FileHandle level = NtOpenFile(*deepest, directory + start, count,
                                  FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES,
                                  kLevelSharing, kNtCreate, kNtDirectoryFile | kNtOpenReparsePoint,
                                  nullptr, &status);
    if (!level.valid()) {
      // An earlier file entry of ours by that name is no place for a folder.
      bool foreign = status == kNtStatusNameCollision && !target->created->Contains(directory, prefix);
      return foreign ? FreshLevel::Foreign : FreshLevel::Missing;
    }
    Record(target->created, directory, prefix, level.get());
    target->directories.Insert(directory, prefix);
    *deepest = level.get();
    target->handles.Append(static_cast<FileHandle&&>(level));
  }
  return FreshLevel::Ready;
}

FileHandle CreateFreshFile(FreshTarget* target, HANDLE directory, const wchar_t* name,
                           size_t directoryLength, uint32_t attributes) {
  size_t position = directoryLength, start = 0, count = 0;
  if (!NextPathComponent(name, TextLength(name), &position, &start, &count)) return FileHandle();
  ULONG flags = attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                              FILE_ATTRIBUTE_ARCHIVE);
  if (!flags) flags = FILE_ATTRIBUTE_NORMAL;
  LONG status = 0;
  FileHandle file = NtOpenFile(directory, name + start, count, GENERIC_WRITE, 0, kNtCreate,
                               kNtNonDirectoryFile | kNtOpenReparsePoint, nullptr, &status, flags);
  if (file.valid()) {
    Record(target->created, name, TextLength(name), file.get());
    return file;
  }
  if (status != kNtStatusNameCollision || !target->created->Contains(name)) return FileHandle();
  // An earlier entry of the same name: a fresh file takes its place.
  for (unsigned attempt = 0; attempt < 16; ++attempt) {
    wchar_t spare[16];
    FormatText(spare, 16, L"~vx%04x.tmp", attempt);
    file = NtOpenFile(directory, spare, TextLength(spare), GENERIC_WRITE | DELETE, 0, kNtCreate,
                      kNtNonDirectoryFile | kNtOpenReparsePoint, nullptr, &status, flags);
    if (!file.valid() && status == kNtStatusNameCollision) continue;
    if (!file.valid()) return file;
    if (NtRenameFile(file.get(), directory, name + start, count, true)) {
      Record(target->created, name, TextLength(name), file.get());
      return file;
    }
    MarkForDeletion(file.get());
    return FileHandle();
  }
  return FileHandle();
}
