#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "app/foreign_entries.h"
#include "common/handle.h"
#include "tests/support/test_files.h"

namespace {

// What appears beside the files of a run, or in their place, before its
// installer starts.
TEST(FindForeignEntry, ReportsWhatTheRunDidNotCreate) {
  enum Change {
    kNone, kPlantInCreatedFolder, kLocalFolder, kLinkForCreatedFolder, kOtherFileAtCreatedName,
    kOtherFolderAtCreatedName,
  };
  struct Row { Change change; const wchar_t* found; };
  const Row rows[] = {
      {kNone, L""},
      {kPlantInCreatedFolder, L"sub\\deeper\\plant.dll"},
      {kLocalFolder, L"setup.exe.local"},
      // The link's target holds the same names: only the link itself tells.
      {kLinkForCreatedFolder, L"sub"},
      // Ours gone, another under its name (the same tree from elsewhere):
      // only the file ID tells.
      {kOtherFileAtCreatedName, L"sub\\a.dll"},
      {kOtherFolderAtCreatedName, L"sub\\deeper"},
  };
  const wchar_t* const created[] = {L"setup.exe", L"sub", L"sub\\a.dll", L"sub\\deeper", L"sub\\deeper\\b.txt"};
  TempDir dir;
  for (const Row& row : rows) {
    const std::wstring run = dir / L"run", elsewhere = dir / L"elsewhere";
    for (const std::wstring& root : {run, elsewhere}) {
      ASSERT_TRUE(CreateDirectoryW(root.c_str(), nullptr));
      for (const wchar_t* path : created) {
        const std::wstring full = root + L"\\" + path;
        ASSERT_TRUE(wcschr(path, L'.') ? WriteWholeFile(full, "ours") : CreateDirectoryW(full.c_str(), nullptr));
      }
    }
    PathSet set;
    for (const wchar_t* path : created) set.SetValue(set.Insert(path), FileIdOf(run + L"\\" + path));
    // Ours is replaced while it still exists: a file system may give a
    // deleted file's number to the next one.
    if (row.change == kOtherFileAtCreatedName) {
      ASSERT_TRUE(MoveFileExW((elsewhere + L"\\sub\\a.dll").c_str(), (run + L"\\sub\\a.dll").c_str(),
                              MOVEFILE_REPLACE_EXISTING));
    }
    if (row.change == kOtherFolderAtCreatedName) {
      ASSERT_TRUE(MoveFileW((run + L"\\sub\\deeper").c_str(), (elsewhere + L"\\ours").c_str()));
      ASSERT_TRUE(MoveFileW((elsewhere + L"\\sub\\deeper").c_str(), (run + L"\\sub\\deeper").c_str()));
    }
    if (row.change == kPlantInCreatedFolder) {
      ASSERT_TRUE(WriteWholeFile(run + L"\\sub\\deeper\\plant.dll", "MZ"));
    }
    if (row.change == kLocalFolder) {
      ASSERT_TRUE(CreateDirectoryW((run + L"\\setup.exe.local").c_str(), nullptr));
    }
    if (row.change == kLinkForCreatedFolder) {
      RemoveTreeForTest(run + L"\\sub");
      if (!PlantSymbolicLink(elsewhere + L"\\sub", run + L"\\sub")) continue;
    }
    FileHandle folder(CreateFileW(run.c_str(), FILE_LIST_DIRECTORY | FILE_TRAVERSE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    ASSERT_TRUE(folder.valid());
    wchar_t found[kPathCapacity];
    const std::wstring root = run + L"\\";
    EXPECT_EQ(FindForeignEntry(folder.get(), root.c_str(), set, found), row.found[0] != 0) << row.change;
    EXPECT_EQ(std::wstring(found), row.found[0] ? root + row.found : L"") << row.change;
    folder.reset();
    if (row.change == kLinkForCreatedFolder) RemoveSymbolicLink(run + L"\\sub");
    RemoveTreeForTest(run);
    RemoveTreeForTest(elsewhere);
  }
}

}  // namespace
