#include "cleanup/delete_directory_tree.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "cleanup/tree_paths.h"
#include "common/handle.h"
#include "tests/support/test_files.h"

namespace {

constexpr DWORD kStubborn = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

// Long paths are made through the "\\?\" form; the code under test never sees it.
std::wstring Extended(const std::wstring& path) { return L"\\\\?\\" + path; }

void MakeDirectory(const std::wstring& path, DWORD attributes = 0) {
  ASSERT_TRUE(CreateDirectoryW(Extended(path).c_str(), nullptr)) << Narrow(path);
  if (attributes) SetFileAttributesW(Extended(path).c_str(), attributes);
}

void MakeFile(const std::wstring& path, DWORD attributes = 0) {
  ASSERT_TRUE(WriteWholeFile(Extended(path), "content of " + Narrow(path))) << Narrow(path);
  if (attributes) SetFileAttributesW(Extended(path).c_str(), attributes);
}

bool Exists(const std::wstring& path) { return PathExists(Extended(path)); }

bool IsLink(const std::wstring& path) {
  DWORD attributes = AttributesOf(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// Whether this platform deletes a directory link through a handle opened on
// the link itself, as the clean-up does. Some Wine versions do not; only
// there may a link outlive the clean-up. Probed once; the branch is printed.
bool LinkDeletionByHandleWorks() {
  static const bool works = [] {
    TempDir dir;
    const std::wstring target = dir / L"target";
    const std::wstring link = dir / L"link";
    if (!CreateDirectoryW(target.c_str(), nullptr) || !PlantSymbolicLink(target, link))
      return false;
    FileHandle handle(CreateFileW(link.c_str(), DELETE | FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                  nullptr));
    // Where the handle reaches the target instead, deleting through it
    // would remove the target: the clean-up checks first, and so do we.
    FILE_ATTRIBUTE_TAG_INFO tag = {};
    const bool handleIsLink =
        handle.valid() &&
        GetFileInformationByHandleEx(handle.get(), FileAttributeTagInfo, &tag, sizeof tag) &&
        (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
    FILE_DISPOSITION_INFO disposition = {};
    disposition.DeleteFile = TRUE;
    if (handleIsLink)
      SetFileInformationByHandle(handle.get(), FileDispositionInfo, &disposition,
                                 sizeof disposition);
    handle.reset();
    const bool gone = !IsLink(link) && Exists(target);
    RemoveSymbolicLink(link);
    std::printf("[ PROBE    ] deleting a link through its own handle %s: link assertions %s\n",
                gone ? "works" : handleIsLink ? "does not work" : "is impossible (the handle "
                "does not show the link)", gone ? "strict" : "lenient");
    return gone;
  }();
  return works;
}

class DeleteDirectoryTreeTest : public testing::Test {
 protected:
  DeleteDirectoryTreeTest() { MakeDirectory(root_); }
  TempDir dir_;
  const std::wstring root_ = dir_ / L"tree";
};

TEST_F(DeleteDirectoryTreeTest, RemovesStubbornFilesAndDirectories) {
  MakeFile(root_ + L"\\readonly.txt", FILE_ATTRIBUTE_READONLY);
  MakeFile(root_ + L"\\hidden.txt", FILE_ATTRIBUTE_HIDDEN);
  MakeFile(root_ + L"\\system.txt", FILE_ATTRIBUTE_SYSTEM);
  MakeFile(root_ + L"\\.profile", kStubborn);  // a dot file goes like any other
  MakeDirectory(root_ + L"\\sub");
  MakeDirectory(root_ + L"\\sub\\deeper");
  MakeFile(root_ + L"\\sub\\deeper\\all.txt", kStubborn);
  MakeDirectory(root_ + L"\\sub\\empty", FILE_ATTRIBUTE_READONLY);
  SetFileAttributesW((root_ + L"\\sub").c_str(), kStubborn);
  SetFileAttributesW(root_.c_str(), FILE_ATTRIBUTE_READONLY);

  EXPECT_NE(0, DeleteDirectoryTree(root_.c_str(), TreeDepth::Whole, TreeFiles::Delete));
  EXPECT_FALSE(Exists(root_));
}

TEST_F(DeleteDirectoryTreeTest, EmptyDirectoryAndTrailingBackslash) {
  EXPECT_NE(0, DeleteDirectoryTree(root_.c_str(), TreeDepth::Whole, TreeFiles::Delete));
  EXPECT_FALSE(Exists(root_));

  MakeDirectory(root_);
  MakeDirectory(root_ + L"\\sub");
  MakeFile(root_ + L"\\sub\\file.txt");
  MakeFile(root_ + L"\\file.txt");
  EXPECT_NE(0, DeleteDirectoryTree((root_ + L"\\").c_str(), TreeDepth::Whole, TreeFiles::Delete));
  EXPECT_FALSE(Exists(root_));
}

TEST_F(DeleteDirectoryTreeTest, DotDirectoriesStayWithTheWayToThem) {
  MakeDirectory(root_ + L"\\a");
  MakeDirectory(root_ + L"\\a\\.cache");
  MakeFile(root_ + L"\\a\\.cache\\kept.txt");
  MakeFile(root_ + L"\\a\\gone.txt");
  MakeFile(root_ + L"\\gone.txt");
  MakeDirectory(root_ + L"\\b");
  MakeFile(root_ + L"\\b\\gone.txt");

  EXPECT_EQ(0, DeleteDirectoryTree(root_.c_str(), TreeDepth::Whole, TreeFiles::Delete));
  EXPECT_TRUE(Exists(root_ + L"\\a\\.cache\\kept.txt"));
  EXPECT_FALSE(Exists(root_ + L"\\a\\gone.txt"));
  EXPECT_FALSE(Exists(root_ + L"\\gone.txt"));
  EXPECT_FALSE(Exists(root_ + L"\\b"));
}

TEST_F(DeleteDirectoryTreeTest, FileRootIsDeletedWhateverTheFlags) {
  struct Flags { TreeDepth depth; TreeFiles files; };
  const Flags flags[] = {{TreeDepth::Whole, TreeFiles::Delete}, {TreeDepth::Whole, TreeFiles::Keep},
                         {TreeDepth::TopLevel, TreeFiles::Keep},
                         {TreeDepth::TopLevel, TreeFiles::Delete}};
  for (const Flags& f : flags) {
    const std::wstring file = root_ + L"\\single.txt";
    MakeFile(file, kStubborn);
    EXPECT_EQ(1, DeleteDirectoryTree(file.c_str(), f.depth, f.files))
        << int(f.depth) << int(f.files);
    EXPECT_FALSE(Exists(file));
  }
}

TEST_F(DeleteDirectoryTreeTest, NothingToRemove) {
  EXPECT_EQ(0, DeleteDirectoryTree(nullptr, TreeDepth::Whole, TreeFiles::Delete));
  EXPECT_EQ(0, DeleteDirectoryTree(L"", TreeDepth::Whole, TreeFiles::Delete));
  for (const wchar_t* missing : {L"\\missing", L"\\missing\\"}) {
    SetLastError(0xdeadbeef);
    EXPECT_EQ(0, DeleteDirectoryTree((root_ + missing).c_str(), TreeDepth::Whole, TreeFiles::Delete));
    EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), GetLastError()) << Narrow(missing);
  }
  EXPECT_TRUE(Exists(root_));
}

TEST_F(DeleteDirectoryTreeTest, WithoutRecurseOnlyTheTopFilesGo) {
  MakeFile(root_ + L"\\top.txt", FILE_ATTRIBUTE_READONLY);
  MakeDirectory(root_ + L"\\sub");
  MakeFile(root_ + L"\\sub\\inner.txt");

  EXPECT_EQ(0, DeleteDirectoryTree(root_.c_str(), TreeDepth::TopLevel, TreeFiles::Delete));
  EXPECT_FALSE(Exists(root_ + L"\\top.txt"));
  EXPECT_TRUE(Exists(root_ + L"\\sub\\inner.txt"));
}

TEST_F(DeleteDirectoryTreeTest, KeepFilesLeavesFilesNormalAndRemovesEmptyDirectories) {
  MakeFile(root_ + L"\\kept.txt", kStubborn);
  MakeDirectory(root_ + L"\\sub");
  MakeFile(root_ + L"\\sub\\kept.txt", FILE_ATTRIBUTE_READONLY);
  MakeDirectory(root_ + L"\\empty");
  MakeDirectory(root_ + L"\\empty\\emptier", FILE_ATTRIBUTE_READONLY);

  EXPECT_EQ(0, DeleteDirectoryTree(root_.c_str(), TreeDepth::Whole, TreeFiles::Keep));
  for (const wchar_t* kept : {L"\\kept.txt", L"\\sub\\kept.txt"}) {
    DWORD attributes = AttributesOf(root_ + kept);
    ASSERT_NE(INVALID_FILE_ATTRIBUTES, attributes) << Narrow(kept);
    EXPECT_EQ(0u, attributes & kStubborn) << Narrow(kept);
  }
  EXPECT_FALSE(Exists(root_ + L"\\empty"));

  // Only directories left: then everything goes.
  const std::wstring bare = dir_ / L"bare";
  MakeDirectory(bare);
  MakeDirectory(bare + L"\\a");
  EXPECT_NE(0, DeleteDirectoryTree(bare.c_str(), TreeDepth::Whole, TreeFiles::Keep));
  EXPECT_FALSE(Exists(bare));
}

TEST_F(DeleteDirectoryTreeTest, FileThatCannotBeDeletedKeepsItsDirectories) {
  MakeDirectory(root_ + L"\\sub");
  const std::wstring busy = root_ + L"\\sub\\busy.txt";
  MakeFile(busy);
  MakeFile(root_ + L"\\free.txt");
  MakeFile(root_ + L"\\sub\\free.txt");
  // Wine removes read-only folders anyway; kept in place by the busy file,
  // the folders show whether their attributes were cleared. Wine keeps no
  // read-only bit on a folder, only hidden and system.
  for (const std::wstring& kept : {root_, root_ + L"\\sub"}) {
    SetFileAttributesW(kept.c_str(), kStubborn);
    ASSERT_NE(0u, AttributesOf(kept) & kStubborn) << Narrow(kept);
  }
  FileHandle open(CreateFileW(busy.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                     OPEN_EXISTING, 0, nullptr));
  ASSERT_NE(INVALID_HANDLE_VALUE, open.get());

  SetLastError(0xdeadbeef);
  EXPECT_EQ(0, DeleteDirectoryTree(root_.c_str(), TreeDepth::Whole, TreeFiles::Delete));
  EXPECT_EQ(static_cast<DWORD>(ERROR_DIR_NOT_EMPTY), GetLastError());
  EXPECT_TRUE(Exists(busy));
  EXPECT_FALSE(Exists(root_ + L"\\free.txt"));
  EXPECT_FALSE(Exists(root_ + L"\\sub\\free.txt"));
  for (const std::wstring& kept : {root_, root_ + L"\\sub"})
    EXPECT_EQ(0u, AttributesOf(kept) & kStubborn) << Narrow(kept);
}

TEST_F(DeleteDirectoryTreeTest, LinksAreNeverEntered) {
  // Targets outside the tree: one with content, one empty (removing a link
  // by path may remove an empty target instead).
  const std::wstring full = dir_ / L"outside";
  const std::wstring empty = dir_ / L"outside-empty";
  MakeDirectory(full);
  MakeDirectory(full + L"\\inner");
  MakeFile(full + L"\\precious.txt", FILE_ATTRIBUTE_READONLY);
  MakeFile(full + L"\\inner\\precious.txt");
  MakeDirectory(empty);
  MakeFile(root_ + L"\\file.txt");
  MakeDirectory(root_ + L"\\sub");
  ASSERT_TRUE(PlantSymbolicLink(full, root_ + L"\\link"));
  ASSERT_TRUE(PlantSymbolicLink(empty, root_ + L"\\sub\\link-to-empty"));

  int result = DeleteDirectoryTree(root_.c_str(), TreeDepth::Whole, TreeFiles::Delete);
  if (LinkDeletionByHandleWorks()) {
    EXPECT_NE(0, result);
    EXPECT_FALSE(Exists(root_));
  } else {
    EXPECT_EQ(result != 0, !Exists(root_));
  }
  EXPECT_FALSE(Exists(root_ + L"\\file.txt"));
  EXPECT_TRUE(Exists(full + L"\\precious.txt"));
  EXPECT_TRUE(Exists(full + L"\\inner\\precious.txt"));
  EXPECT_EQ(FILE_ATTRIBUTE_READONLY, AttributesOf(full + L"\\precious.txt") & kStubborn);
  EXPECT_TRUE(Exists(empty));
  // Whatever stays of a link is the link itself.
  for (const wchar_t* link : {L"\\link", L"\\sub\\link-to-empty"}) {
    if (Exists(root_ + link)) {
      EXPECT_TRUE(IsLink(root_ + link)) << Narrow(link);
    }
    RemoveSymbolicLink(root_ + link);
  }
}

TEST_F(DeleteDirectoryTreeTest, LinkAsRootIsNotEntered) {
  const std::wstring target = dir_ / L"outside";
  MakeDirectory(target);
  MakeFile(target + L"\\precious.txt");
  const std::wstring empty = dir_ / L"outside-empty";
  MakeDirectory(empty);
  const std::wstring roots[][2] = {{root_ + L"\\link", target},
                                   {root_ + L"\\slash", target},
                                   {root_ + L"\\to-empty", empty}};
  for (const auto& r : roots) ASSERT_TRUE(PlantSymbolicLink(r[1], r[0]));

  const bool strict = LinkDeletionByHandleWorks();
  const int results[] = {DeleteDirectoryTree(roots[0][0].c_str(), TreeDepth::Whole, TreeFiles::Delete),
                         DeleteDirectoryTree((roots[1][0] + L"\\").c_str(), TreeDepth::Whole, TreeFiles::Delete),
                         DeleteDirectoryTree(roots[2][0].c_str(), TreeDepth::Whole, TreeFiles::Keep)};
  for (int i = 0; i < 3; ++i) {
    const bool gone = !Exists(roots[i][0]);
    EXPECT_EQ(gone, results[i] != 0) << Narrow(roots[i][0]);
    if (strict) {
      EXPECT_TRUE(gone) << Narrow(roots[i][0]);
    }
  }
  EXPECT_TRUE(Exists(target + L"\\precious.txt"));
  EXPECT_TRUE(Exists(empty));
  for (const auto& r : roots) RemoveSymbolicLink(r[0]);
}

// The run's own folder is emptied through a handle on it: whatever its path
// leads to by then stays untouched. What stays is noted, except directories
// the rule keeps, which make waiting pointless.
TEST_F(DeleteDirectoryTreeTest, EmptyingThroughAHandleReachesOnlyWhatItHolds) {
  enum Extra { kNothing, kDotDirectory, kBusyFile };
  struct Row { Extra extra; bool emptied; int noted; bool worthWaiting; };
  const Row rows[] = {{kNothing, true, 0, true}, {kDotDirectory, true, 0, false}, {kBusyFile, false, 1, true}};
  const std::wstring held = dir_ / L"held", other = dir_ / L"other", link = dir_ / L"link";
  for (const Row& row : rows) {
    MakeDirectory(held);
    MakeFile(held + L"\\top.txt", kStubborn);
    MakeDirectory(held + L"\\sub");
    MakeFile(held + L"\\sub\\inner.txt", FILE_ATTRIBUTE_READONLY);
    if (row.extra == kDotDirectory) MakeDirectory(held + L"\\sub\\.cache");
    FileHandle busy;
    if (row.extra == kBusyFile) {
      MakeFile(held + L"\\busy.txt");
      busy.reset(CreateFileW((held + L"\\busy.txt").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    }
    MakeDirectory(other);
    MakeFile(other + L"\\theirs.txt");
    ASSERT_TRUE(PlantSymbolicLink(held, link));
    FileHandle folder(CreateFileW(link.c_str(), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    ASSERT_TRUE(RemoveSymbolicLink(link));
    ASSERT_TRUE(PlantSymbolicLink(other, link));

    RemovalFailures failures;
    EXPECT_EQ(EmptyDirectoryTree(folder.get(), link.c_str(), &failures), row.emptied) << row.extra;
    if (row.emptied) failures.AddEmptiedDirectory(link.c_str(), ERROR_DIR_NOT_EMPTY);
    EXPECT_EQ(failures.count, row.noted + (row.emptied ? 1 : 0)) << row.extra;
    EXPECT_EQ(failures.onlyInUse, row.worthWaiting) << row.extra;
    EXPECT_EQ(Exists(held + L"\\sub\\.cache"), row.extra == kDotDirectory);
    EXPECT_EQ(Exists(held + L"\\busy.txt"), row.extra == kBusyFile);
    EXPECT_FALSE(Exists(held + L"\\top.txt"));
    EXPECT_FALSE(Exists(held + L"\\sub\\inner.txt"));
    EXPECT_TRUE(Exists(other + L"\\theirs.txt"));
    RemoveSymbolicLink(link);
    busy.reset();
    RemoveTreeForTest(held);
    RemoveTreeForTest(other);
  }
}

// A path of exactly `length` units: `base`, a backslash, then filler.
std::wstring PathOfLength(const std::wstring& base, size_t length) {
  return base + L"\\" + std::wstring(length - base.size() - 1, L'n');
}

TEST_F(DeleteDirectoryTreeTest, EntriesBeyondThePathBufferStayAndNothingOverruns) {
  // The tree's root is long enough that its entries reach the 260-unit limit.
  const std::wstring deep = PathOfLength(root_, 200);
  MakeDirectory(deep);
  const std::wstring fits = PathOfLength(deep, kPathCapacity - 1);         // 259 units
  const std::wstring justTooLong = PathOfLength(deep, kPathCapacity);      // no room for the terminator
  const std::wstring tooLong = PathOfLength(deep, kPathCapacity + 1);
  MakeFile(fits);
  MakeFile(justTooLong);
  MakeFile(tooLong);
  MakeDirectory(deep + L"\\d");
  MakeFile(deep + L"\\d\\f");

  EXPECT_EQ(0, DeleteDirectoryTree(deep.c_str(), TreeDepth::Whole, TreeFiles::Delete));
  EXPECT_FALSE(Exists(fits));
  EXPECT_FALSE(Exists(deep + L"\\d"));
  EXPECT_TRUE(Exists(tooLong));
  EXPECT_TRUE(Exists(justTooLong));
  EXPECT_TRUE(Exists(deep));
}

TEST_F(DeleteDirectoryTreeTest, RootWhosePatternDoesNotFitIsRefused) {
  // rootPath + "\*.*" needs 4 units and the terminator one.
  const std::wstring longest = PathOfLength(root_, kPathCapacity - 5);
  const std::wstring tooLong = PathOfLength(root_, kPathCapacity - 4);
  MakeDirectory(longest);
  MakeDirectory(tooLong);

  SetLastError(0xdeadbeef);
  EXPECT_EQ(0, DeleteDirectoryTree(tooLong.c_str(), TreeDepth::Whole, TreeFiles::Delete));
  EXPECT_EQ(static_cast<DWORD>(ERROR_BUFFER_OVERFLOW), GetLastError());
  EXPECT_TRUE(Exists(tooLong));
  EXPECT_NE(0, DeleteDirectoryTree(longest.c_str(), TreeDepth::Whole, TreeFiles::Delete));
  EXPECT_FALSE(Exists(longest));
}

TEST(TreePathsTest, FitsOrReportsItDoesNot) {
  wchar_t out[kPathCapacity];
  EXPECT_TRUE(FormSearchPattern(out, L"C:\\T\\x\\"));
  EXPECT_STREQ(L"C:\\T\\x\\*.*", out);
  EXPECT_TRUE(FormEntryPath(out, L"C:\\T\\x\\", L"name"));
  EXPECT_STREQ(L"C:\\T\\x\\\\name", out);
  // Lengths around the limit; a failure leaves an empty string.
  for (size_t length : {254, 255, 256, 259, 300}) {
    std::wstring root(length, L'r');
    EXPECT_EQ(length + 4 < kPathCapacity, FormSearchPattern(out, root.c_str())) << length;
    EXPECT_EQ(length + 4 < kPathCapacity ? length + 4 : 0, wcslen(out));
    root.back() = L'\\';
    EXPECT_EQ(length + 3 < kPathCapacity, FormSearchPattern(out, root.c_str())) << length;
    root.pop_back();
    EXPECT_EQ(length + 1 < kPathCapacity, FormEntryPath(out, root.c_str(), L"n")) << length;
  }
}

TEST(TreePathsTest, PathItselfKeepsDriveAndRootBackslashes) {
  const wchar_t* cases[][2] = {{L"C:\\T\\x\\\\", L"C:\\T\\x"}, {L"C:\\", L"C:\\"}, {L"\\", L"\\"},
                               {L"\\\\srv\\share\\", L"\\\\srv\\share"}};
  wchar_t out[kPathCapacity];
  for (const auto& c : cases) {
    EXPECT_TRUE(FormPathItself(out, c[0]));
    EXPECT_STREQ(c[1], out);
  }
}

}  // namespace
