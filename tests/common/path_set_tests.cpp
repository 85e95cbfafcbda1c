#include <gtest/gtest.h>

#include <string>

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

TEST(PathSet, HoldsManyPathsThroughGrowth) {
  PathSet set;
  for (int i = 0; i < 5000; ++i) set.Insert((L"dir\\file" + std::to_wstring(i)).c_str());
  set.Insert(L"dir\\file7");  // already there
  EXPECT_EQ(set.size(), 5000u);
  for (int i = 0; i < 5000; i += 499) EXPECT_TRUE(set.Contains((L"DIR/FILE" + std::to_wstring(i)).c_str()));
  EXPECT_FALSE(set.Contains(L"dir\\file5000"));
}

}  // namespace
