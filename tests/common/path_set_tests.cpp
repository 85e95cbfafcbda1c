#include <gtest/gtest.h>

#include <string>

#include "common/path.h"
#include "common/path_set.h"

namespace {

// Spellings that name the same file for Win32, and ones that do not.
TEST(PathSet, KeysFollowHowWin32StoresANameAndNothingMore) {
  struct Row { const wchar_t* a; const wchar_t* b; bool same; };
  const Row rows[] = {
      {L"a/./B. /c.txt ", L"a\\b\\C.TXT", true},
      {L"setup.exe", L"SETUP.EXE...", true},
      {L"dir//x", L"dir\\x\\", true},
      {L"setup.exe", L"setup.ex", false},
      {L"\u00e4.dll", L"\u00c4.dll", false},  // only ASCII letters are folded
      {L"a\\b", L"ab", false},
  };
  for (const Row& row : rows) {
    PathSet set;
    set.Insert(row.a);
    EXPECT_EQ(set.Contains(row.b), row.same) << std::wstring(row.a).size();
  }
}

TEST(PathSet, HoldsManyPathsThroughGrowthInInsertionOrder) {
  PathSet set;
  for (int i = 0; i < 5000; ++i) set.Insert((L"dir\\file" + std::to_wstring(i)).c_str());
  EXPECT_EQ(set.Insert(L"dir\\file7"), 7u);  // already there
  EXPECT_EQ(set.size(), 5000u);
  for (int i = 0; i < 5000; i += 499) {
    std::wstring path = L"DIR/FILE" + std::to_wstring(i);
    EXPECT_EQ(set.IndexOf(path.c_str(), path.size()), size_t(i));
  }
  EXPECT_FALSE(set.Contains(L"dir\\file5000"));
  EXPECT_EQ(set.IndexOf(L"dir\\file5000", 12), PathSet::kNotFound);
}

// What GetFinalPathNameByHandleW gives, as Win32 paths to start a program by.
TEST(FinalPaths, BecomeWin32PathsOrNothing) {
  struct Row { const wchar_t* finalPath; const wchar_t* path; };
  const Row rows[] = {
      {L"\\\\?\\C:\\Users\\A\\Temp\\vexlode_1_2_3", L"C:\\Users\\A\\Temp\\vexlode_1_2_3"},
      {L"\\\\?\\UNC\\server\\share\\t\\setup.exe", L"\\\\server\\share\\t\\setup.exe"},
      {L"\\\\?\\Volume{0a1b}\\t", L""},  // no drive letter
      {L"C:\\already", L""},
      {L"\\\\?\\C:", L""},
  };
  for (const Row& row : rows) {
    wchar_t path[260];
    EXPECT_EQ(DosPathFromFinalPath(row.finalPath, path, 260), row.path[0] != 0) << std::wstring(row.finalPath).size();
    EXPECT_EQ(std::wstring(path), row.path);
  }
  std::wstring longest = L"\\\\?\\C:\\" + std::wstring(256, L'x');  // 259 units once converted
  wchar_t path[260];
  EXPECT_TRUE(DosPathFromFinalPath(longest.c_str(), path, 260));
  EXPECT_FALSE(DosPathFromFinalPath((longest + L"x").c_str(), path, 260));
  EXPECT_EQ(std::wstring(path), L"");
}

TEST(FinalPaths, AnInstallerLiesDirectlyInItsFolder) {
  struct Row { const wchar_t* path; bool inside; };
  const Row rows[] = {
      {L"C:\\T\\vexlode_1\\setup.exe", true},
      {L"C:\\T\\vexlode_1\\sub\\setup.exe", false},
      {L"C:\\T\\vexlode_10\\setup.exe", false},
      {L"C:\\R\\vexlode_1\\setup.exe", false},  // reached through a link
      {L"C:\\T\\vexlode_1\\", false},
      {L"C:\\T\\vexlode_1", false},
  };
  for (const Row& row : rows) EXPECT_EQ(IsDirectlyInside(row.path, L"C:\\T\\vexlode_1"), row.inside) << row.inside;
}

}  // namespace
