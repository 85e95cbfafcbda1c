#include <gtest/gtest.h>
#include <windows.h>

#include <regex>
#include <string>
#include <thread>

#include "app/temp_workspace.h"
#include "tests/support/test_files.h"

namespace {

// A file opened the way a hostile or careless process would, and the error.
DWORD OpenError(const std::wstring& path, DWORD access, DWORD share, DWORD flags = 0) {
  HANDLE handle = CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING,
                              flags | FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return GetLastError();
  CloseHandle(handle);
  return ERROR_SUCCESS;
}

constexpr DWORD kAllSharing = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

class TempWorkspaceTest : public ::testing::Test {
 protected:
  // The first name this test's workspaces draw: unique to the process.
  int first_ = static_cast<int>(GetCurrentProcessId() % 30000);
  std::wstring firstBase_ = TempDirectory() + L"vexlode_3_2_" + std::to_wstring(first_);
  TempDir dir_;
};

TEST_F(TempWorkspaceTest, BothObjectsAreFreshPinnedAndRemoved) {
  TempWorkspace workspace;
  ASSERT_EQ(workspace.Create(first_, 2, 3), TempWorkspace::Outcome::Created);
  std::wstring archive = workspace.archivePath(), base = workspace.basePath();
  EXPECT_EQ(archive, firstBase_ + L".zip");
  EXPECT_EQ(std::wstring(workspace.extractionDirectory()), base + L"\\");
  EXPECT_EQ(AttributesOf(base) & FILE_ATTRIBUTE_DIRECTORY, DWORD(FILE_ATTRIBUTE_DIRECTORY));

  // Nobody else may write, rename or delete while the run holds them.
  struct Probe { const wchar_t* what; std::wstring path; DWORD access; DWORD flags; };
  const Probe pinned[] = {
      {L"archive for writing", archive, GENERIC_WRITE, 0},
      {L"archive for deletion", archive, DELETE, 0},
      {L"directory for deletion", base, DELETE, FILE_FLAG_BACKUP_SEMANTICS},
  };
  for (const Probe& probe : pinned)
    EXPECT_EQ(OpenError(probe.path, probe.access, kAllSharing, probe.flags), DWORD(ERROR_SHARING_VIOLATION))
        << Narrow(probe.what);
  EXPECT_FALSE(MoveFileW(base.c_str(), (base + L"_moved").c_str()));
  EXPECT_FALSE(MoveFileW(archive.c_str(), (base + L"_moved.zip").c_str()));

  DWORD written = 0;
  ASSERT_TRUE(WriteFile(workspace.archive(), "PK", 2, &written, nullptr));
  // Held for writing and deleting the whole run: a reader must share both.
  EXPECT_EQ(OpenError(archive, GENERIC_READ, FILE_SHARE_READ), DWORD(ERROR_SHARING_VIOLATION));
  EXPECT_EQ(ReadWholeFile(archive), "PK");
  // The folder stays usable as a current directory.
  EXPECT_EQ(OpenError(base, FILE_TRAVERSE, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_FLAG_BACKUP_SEMANTICS),
            DWORD(ERROR_SUCCESS));

  // The installer's TEMP, made later: pinned alike; a folder already at its
  // name is left as it is and a fresh name drawn.
  const std::wstring theirs = base + L"_temp\\theirs.txt";
  ASSERT_TRUE(CreateDirectoryW((base + L"_temp").c_str(), nullptr));
  ASSERT_TRUE(WriteWholeFile(theirs, "theirs"));
  ASSERT_TRUE(workspace.CreateInstallerTemp());
  const std::wstring installerTemp = workspace.installerTemp();
  EXPECT_TRUE(std::regex_match(installerTemp, std::wregex(L".*\\\\vexlode_\\d{1,5}_\\d{1,5}_\\d{1,5}_temp")))
      << Narrow(installerTemp);
  EXPECT_EQ(installerTemp.find(base.substr(base.rfind(L'\\')) + L"_temp"), std::wstring::npos);
  EXPECT_EQ(OpenError(installerTemp, DELETE, kAllSharing, FILE_FLAG_BACKUP_SEMANTICS), DWORD(ERROR_SHARING_VIOLATION));
  ASSERT_TRUE(WriteWholeFile(installerTemp + L"\\installer.log", "log"));

  ASSERT_TRUE(WriteWholeFile(base + L"\\setup.exe", "MZ"));
  ASSERT_TRUE(CreateDirectoryW((base + L"\\sub").c_str(), nullptr));
  SetFileAttributesW(base.c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY);
  workspace.Remove();
  EXPECT_FALSE(PathExists(archive));
  EXPECT_FALSE(PathExists(base));
  EXPECT_FALSE(PathExists(installerTemp));
  EXPECT_EQ(ReadWholeFile(theirs), "theirs");
  DeleteFileW(theirs.c_str());
  RemoveDirectoryW((base + L"_temp").c_str());
}

TEST_F(TempWorkspaceTest, TakenNamesAreLeftUntouchedAndFreshNamesDrawn) {
  std::wstring victim = dir_ / L"victim.txt";
  ASSERT_TRUE(WriteWholeFile(victim, "precious"));
  enum Kind { kFile, kFolder, kLink };
  struct Row { const wchar_t* suffix; Kind kind; };
  // What already stands at the archive's name or at its directory's name.
  const Row rows[] = {{L".zip", kFile},  {L".zip", kFolder}, {L".zip", kLink},
                      {L"", kFile},      {L"", kFolder},     {L"", kLink}};
  for (const Row& row : rows) {
    std::wstring taken = firstBase_ + row.suffix;
    if (row.kind == kFile) {
      ASSERT_TRUE(WriteWholeFile(taken, "theirs"));
    }
    if (row.kind == kFolder) {
      ASSERT_TRUE(CreateDirectoryW(taken.c_str(), nullptr));
    }
    if (row.kind == kLink && !PlantSymbolicLink(victim, taken)) continue;
    srand(1);
    for (int draw = 0; draw < 3; ++draw) rand();  // the run's own three
    std::wstring fresh;
    {
      TempWorkspace workspace;
      ASSERT_EQ(workspace.Create(first_, 2, 3), TempWorkspace::Outcome::Created);
      fresh = workspace.basePath();
      EXPECT_TRUE(std::regex_match(fresh, std::wregex(L".*\\\\vexlode_\\d{1,5}_\\d{1,5}_\\d{1,5}")));
      EXPECT_NE(fresh, firstBase_);
      EXPECT_FALSE(PathExists(firstBase_ + (row.suffix[0] ? L"" : L".zip")))
          << "the other half of a taken pair is not left behind";
    }
    // Fresh names come from the system's random source, not from rand():
    // its next draw is still the fourth after seed 1.
    EXPECT_EQ(rand(), 26500);
    EXPECT_FALSE(PathExists(fresh));
    if (row.kind == kFile) {
      EXPECT_EQ(ReadWholeFile(taken), "theirs");
    } else if (row.kind == kFolder) {
      EXPECT_TRUE(AttributesOf(taken) & FILE_ATTRIBUTE_DIRECTORY);
    } else {
      EXPECT_TRUE(RemoveSymbolicLink(taken));
    }
    DeleteFileW(taken.c_str());
    RemoveDirectoryW(taken.c_str());
  }
  EXPECT_EQ(ReadWholeFile(victim), "precious");
}

// %TEMP% leads through a link that is re-pointed once the objects exist, to a
// folder with another file and folder at their names: those stand there
// through the pin's release and the deletion, and only ours may go.
TEST_F(TempWorkspaceTest, RemovalReachesOnlyWhatItCreatedWhateverStandsAtItsNames) {
  const std::wstring real = dir_ / L"real", other = dir_ / L"other", link = dir_ / L"temp";
  ASSERT_TRUE(CreateDirectoryW(real.c_str(), nullptr) && CreateDirectoryW(other.c_str(), nullptr));
  if (!PlantSymbolicLink(real, link)) GTEST_SKIP() << "no links here";
  struct TmpThroughLink {
    std::wstring link;
    wchar_t saved[MAX_PATH];
    DWORD length = GetEnvironmentVariableW(L"TMP", saved, MAX_PATH);
    explicit TmpThroughLink(const std::wstring& at) : link(at) { SetEnvironmentVariableW(L"TMP", (at + L"\\").c_str()); }
    ~TmpThroughLink() {
      SetEnvironmentVariableW(L"TMP", length ? saved : nullptr);
      RemoveSymbolicLink(link);
    }
  } tmp(link);
  TempWorkspace workspace;
  ASSERT_EQ(workspace.Create(first_, 2, 3), TempWorkspace::Outcome::Created);
  const std::wstring name = workspace.archiveName(), base = name.substr(0, name.size() - 4);
  ASSERT_TRUE(WriteWholeFile(real + L"\\" + base + L"\\ours.txt", "ours"));
  ASSERT_TRUE(RemoveSymbolicLink(link) && PlantSymbolicLink(other, link));
  ASSERT_TRUE(WriteWholeFile(other + L"\\" + name, "theirs"));
  ASSERT_TRUE(CreateDirectoryW((other + L"\\" + base).c_str(), nullptr));
  ASSERT_TRUE(WriteWholeFile(other + L"\\" + base + L"\\theirs.txt", "theirs"));
  workspace.Remove();
  EXPECT_EQ(ReadWholeFile(other + L"\\" + name), "theirs");
  EXPECT_EQ(ReadWholeFile(other + L"\\" + base + L"\\theirs.txt"), "theirs");
  EXPECT_FALSE(PathExists(real + L"\\" + name));
  EXPECT_FALSE(PathExists(real + L"\\" + base));
}

TEST_F(TempWorkspaceTest, FilesInUseAreRetriedBrieflyThenLeft) {
  struct Row { DWORD holdMs; bool left; };
  const Row rows[] = {{500, false}, {3500, true}};
  for (const Row& row : rows) {
    TempWorkspace workspace;
    ASSERT_EQ(workspace.Create(first_, 2, 3), TempWorkspace::Outcome::Created);
    std::wstring base = workspace.basePath(), busy = base + L"\\busy.dll";
    HANDLE held = CreateFileW(busy.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    std::thread holder([&] {
      Sleep(row.holdMs);
      CloseHandle(held);
    });
    workspace.Remove();
    EXPECT_EQ(PathExists(busy), row.left) << row.holdMs;
    EXPECT_EQ(PathExists(base), row.left);
    EXPECT_FALSE(PathExists(workspace.archivePath()));
    holder.join();
    RemoveTreeForTest(base);
  }
}

// Elevated (as Wine's token is), the run works only where the volume is
// local and keeps the permissions that protect its objects.
TEST_F(TempWorkspaceTest, VolumesWithoutPermissionsAreRefusedWhenElevated) {
  struct Row { void (*read)(HANDLE, TempVolume*); TempWorkspace::Outcome outcome; };
  const Row rows[] = {
      {[](HANDLE, TempVolume* v) { *v = {true, FILE_CASE_PRESERVED_NAMES, true, 0x07, 0}; },
       TempWorkspace::Outcome::NoPermissions},
      {[](HANDLE, TempVolume* v) { *v = {false, 0, true, 0x07, 0}; },
       TempWorkspace::Outcome::NoPermissions},
      // A share whose server keeps permissions.
      {[](HANDLE, TempVolume* v) { *v = {true, FILE_PERSISTENT_ACLS, true, 0x14, 0x10}; },
       TempWorkspace::Outcome::RemoteVolume},
      {TempWorkspace::ReadVolume, TempWorkspace::Outcome::Created},
  };
  for (const Row& row : rows) {
    TempWorkspace workspace;
    EXPECT_EQ(workspace.Create(first_, 2, 3, row.read), row.outcome);
    EXPECT_EQ(PathExists(firstBase_ + L".zip"), row.outcome == TempWorkspace::Outcome::Created);
    EXPECT_EQ(std::wstring(workspace.tempDirectory()), TempDirectory());
  }
}

TEST_F(TempWorkspaceTest, NoTemporaryDirectoryMeansNoWorkspace) {
  wchar_t saved[MAX_PATH];
  DWORD length = GetEnvironmentVariableW(L"TMP", saved, MAX_PATH);
  std::wstring tooLong = L"C:\\" + std::wstring(300, L'x');
  SetEnvironmentVariableW(L"TMP", tooLong.c_str());
  TempWorkspace workspace;
  EXPECT_EQ(workspace.Create(1, 2, 3), TempWorkspace::Outcome::NoTempDirectory);
  EXPECT_EQ(std::wstring(workspace.archivePath()), L"");
  SetEnvironmentVariableW(L"TMP", length ? saved : nullptr);
}

}  // namespace
