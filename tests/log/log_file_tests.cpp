#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "log/log.h"
#include "log/log_access.h"
#include "log/log_utility.h"
#include "tests/support/test_files.h"

namespace {

// Points the log at a file of the fixture's own folder.
class LogFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    logPath_ = dir_ / L"t.log";
    rotatedPath_ = dir_ / L"t.wtx";
    Restart(logPath_);
  }
  void TearDown() override { Restart(L""); }

  // The log as started from a configuration naming `path` and `limits`.
  void Restart(const std::wstring& path, LogLimits limits = {3, 102400}, bool fromIni = false) {
    path_ = path;
    limits_ = limits;
    RestartLogForTest(path.c_str(), limits, fromIni);
  }
  std::string Log() {
    Restart(path_, limits_);  // closes, so the next line reopens and seeks to the end
    return ReadWholeFile(logPath_);
  }

  TempDir dir_;
  std::wstring logPath_, rotatedPath_, path_;
  LogLimits limits_ = {};
};

// Lines sent to the debugger output. OutputDebugStringW raises them as an
// exception for a debugger; a vectored handler sees it first and passes it on.
class DebuggerLines {
 public:
  DebuggerLines() {
    Seen().clear();
    handler_ = AddVectoredExceptionHandler(1, Record);
  }
  ~DebuggerLines() { RemoveVectoredExceptionHandler(handler_); }
  bool Saw(const std::string& text) const {
    for (const std::string& line : Seen())
      if (line.find(text) != std::string::npos) return true;
    return false;
  }

 private:
  static std::vector<std::string>& Seen() {
    static std::vector<std::string> seen;
    return seen;
  }
  static LONG CALLBACK Record(EXCEPTION_POINTERS* pointers) {
    const EXCEPTION_RECORD* record = pointers->ExceptionRecord;
    if (record->NumberParameters >= 2) {
      const void* text = reinterpret_cast<const void*>(record->ExceptionInformation[1]);
      if (record->ExceptionCode == DBG_PRINTEXCEPTION_C)
        Seen().push_back(static_cast<const char*>(text));
      else if (record->ExceptionCode == 0x4001000A)  // DBG_PRINTEXCEPTION_WIDE_C
        Seen().push_back(Narrow(static_cast<const wchar_t*>(text)));
    }
    return EXCEPTION_CONTINUE_SEARCH;
  }
  PVOID handler_;
};

std::string MessageOf(const std::string& line) {
  size_t at = line.find("]:");
  return at == std::string::npos ? line : line.substr(at + 2);
}

TEST_F(LogFileTest, LinesCarryHeaderLevelAndPaddedTag) {
  LogInfo(L"setup", L"Execute TerminateProcess(%s), as %d", L"x.exe", 5);
  LogError(L"setup", L"code %x", 3010u);
  std::string log = Log();
  size_t first = log.find("\r\n");
  ASSERT_NE(first, std::string::npos);
  std::string line1 = log.substr(0, first + 2);
  std::string line2 = log.substr(first + 2);
  // "[pid]yyyy-mm-dd hh:mm:ss:mmm: [tid][INF][setup   ]:text\r\n"
  EXPECT_EQ(line1.substr(0, 1), "[");
  EXPECT_NE(line1.find("][INF][setup   ]:Exec"), std::string::npos) << line1;
  EXPECT_EQ(MessageOf(line1), "Execute TerminateProcess(x.exe), as 5\r\n");
  EXPECT_NE(line2.find("[ERR][setup   ]:code bc2\r\n"), std::string::npos) << line2;
}

TEST_F(LogFileTest, PercentSignsInArgumentsReachTheFileUnchanged) {
  LogInfo(L"setup", L"open [%s]", L"C:\\100%\\%s%d.txt");
  EXPECT_EQ(MessageOf(Log()), "open [C:\\100%\\%s%d.txt]\r\n");
}

TEST_F(LogFileTest, ChineseTextIsWrittenInTheAnsiCodePage) {
  if (GetACP() != 936) GTEST_SKIP() << "needs code page 936 (LC_ALL=zh_CN.UTF-8 under Wine)";
  LogError(L"setup", L"打开文件[%s]失败", L"a.exe");
  EXPECT_EQ(MessageOf(Log()),
            "\xB4\xF2\xBF\xAA\xCE\xC4\xBC\xFE[a.exe]\xCA\xA7\xB0\xDC\r\n");
}

TEST_F(LogFileTest, OverlongTextIsCutToOneLineEndingInCrLf) {
  struct Case {
    const char* name;
    std::wstring text;
    std::string unit;         // one character of the text in the ANSI code page
    bool needsCodePage936;
    size_t minSize, maxSize;  // of the cut line, CR LF included
  };
  const Case cases[] = {
      {"ASCII, cut at the line limit", std::wstring(2000, L'y'), "y", false, kLogLineOutputMax,
       kLogLineOutputMax},
      // 700 characters fit the line but take 1400 bytes: cut at the byte
      // buffer, on a character boundary.
      {"double-byte, cut at the byte limit", std::wstring(700, L'\u4E2D'), "\xD6\xD0", true,
       kLogLineChars - 3, kLogLineChars - 1},
  };
  for (const Case& c : cases) {
    if (c.needsCodePage936 && GetACP() != 936)
      GTEST_SKIP() << c.name << ": needs code page 936 (LC_ALL=zh_CN.UTF-8 under Wine)";
    DeleteFileW(logPath_.c_str());
    LogInfo(L"setup", L"%s", c.text.c_str());
    LogInfo(L"setup", L"next");
    std::string log = Log();
    size_t end = log.find("\r\n");
    ASSERT_NE(end, std::string::npos) << c.name;
    std::string cut = log.substr(0, end + 2), next = log.substr(end + 2);
    EXPECT_GE(cut.size(), c.minSize) << c.name;
    EXPECT_LE(cut.size(), c.maxSize) << c.name;
    std::string message = MessageOf(cut);
    size_t units = (message.size() - 2) / c.unit.size();
    std::string whole;
    for (size_t i = 0; i < units; ++i) whole += c.unit;
    EXPECT_EQ(message, whole + "\r\n") << c.name;
    EXPECT_EQ(next.substr(0, 1), "[") << c.name;
    EXPECT_EQ(MessageOf(next), "next\r\n") << c.name;
  }
}

TEST_F(LogFileTest, LevelThresholdDecidesWhichLinesAreWritten) {
  struct Case { uint32_t level; bool error, info; };
  const Case cases[] = {{0, false, false}, {1, true, false}, {2, true, false},
                        {3, true, true},   {9, true, true},  {12, true, true}};
  for (const Case& c : cases) {
    DeleteFileW(logPath_.c_str());
    Restart(logPath_, {c.level, 102400});
    LogError(L"setup", L"e");
    LogInfo(L"setup", L"i");
    std::string log = Log();
    EXPECT_EQ(log.find("[ERR]") != std::string::npos, c.error) << c.level;
    EXPECT_EQ(log.find("[INF]") != std::string::npos, c.info) << c.level;
  }
}

// The configured limit is clamped (see LogLimits.AreClampedToTheirRanges)
// before the file is measured against it. One generation is kept: each row
// replaces the ".wtx" of the row before.
TEST_F(LogFileTest, RotatesOnlyPastTheClampedLimit) {
  struct Case { uint32_t configured, limit; };
  const Case cases[] = {{102400, 102400}, {1000, 102400}, {20000000, 10485760}};
  std::string rotated;  // none before the first row
  for (const Case& c : cases) {
    Restart(logPath_, {3, c.configured});
    const std::string full(c.limit, 'a');
    ASSERT_TRUE(WriteWholeFile(logPath_, full));
    LogInfo(L"setup", L"at the limit");
    std::string log = Log();
    // Compared, not printed: the largest row is 10 MiB.
    EXPECT_TRUE(log.compare(0, full.size(), full) == 0) << c.configured;
    EXPECT_NE(log.find("at the limit"), std::string::npos) << c.configured;
    EXPECT_TRUE(ReadWholeFile(rotatedPath_) == rotated) << c.configured;

    const std::string over(c.limit + 1, 'b');
    ASSERT_TRUE(WriteWholeFile(logPath_, over));
    LogInfo(L"setup", L"first of the new file");
    rotated = over;
    EXPECT_TRUE(ReadWholeFile(rotatedPath_) == rotated) << c.configured;
    log = Log();
    EXPECT_EQ(log.find("["), 0u) << c.configured;
    EXPECT_EQ(MessageOf(log), "first of the new file\r\n") << c.configured;
  }
}

// Other installers may write the same log at the same time, opening it as
// we do. While one of them has it open, the rotation waits for a later line.
TEST_F(LogFileTest, AnotherWriterSharesTheFileAndHoldsOffTheRotation) {
  LogInfo(L"setup", L"ours");
  HANDLE other = CreateFileW(logPath_.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(other, INVALID_HANDLE_VALUE) << GetLastError();
  const std::string theirs(102400, 'o');
  DWORD written = 0;
  SetFilePointer(other, 0, nullptr, FILE_END);
  ASSERT_TRUE(WriteFile(other, theirs.data(), static_cast<DWORD>(theirs.size()), &written, nullptr));
  LogInfo(L"setup", L"while theirs is open");
  CloseHandle(other);
  EXPECT_FALSE(PathExists(rotatedPath_));
  LogInfo(L"setup", L"after theirs closed");
  std::string rotated = ReadWholeFile(rotatedPath_);
  EXPECT_NE(rotated.find(theirs + "["), std::string::npos);
  EXPECT_NE(rotated.find("while theirs is open"), std::string::npos);
  EXPECT_EQ(MessageOf(Log()), "after theirs closed\r\n");
}

// Opening, measuring and rotating the file all set the last error.
TEST_F(LogFileTest, LogCallsLeaveTheLastErrorAsTheyFoundIt) {
  struct Case {
    const char* name;
    std::wstring path;
    size_t existingBytes;  // of the log file before the call
    void (*call)();
  };
  const Case cases[] = {
      {"LogError, new file", logPath_, 0, [] { LogError(L"setup", L"e %d", 1); }},
      {"LogInfo, existing file", logPath_, 10, [] { LogInfo(L"setup", L"i"); }},
      {"LogInfo, rotated file", logPath_, 102401, [] { LogInfo(L"setup", L"i"); }},
      {"LogInfo, file in a missing folder", dir_ / L"missing\\t.log", 0,
       [] { LogInfo(L"setup", L"i"); }},
      {"LogDebug", logPath_, 0, [] { LogDebug(L"setup", L"d %s", L"x"); }},
  };
  for (const Case& c : cases) {
    Restart(c.path);
    DeleteFileW(logPath_.c_str());
    if (c.existingBytes) {
      ASSERT_TRUE(WriteWholeFile(logPath_, std::string(c.existingBytes, 'a')));
    }
    SetLastError(0xdeadbeef);
    c.call();
    EXPECT_EQ(GetLastError(), 0xdeadbeefu) << c.name;
  }
}

TEST_F(LogFileTest, EmptyPathWritesNothing) {
  Restart(L"");
  LogError(L"setup", L"nowhere");
  LogInfo(L"setup", L"nowhere");
  EXPECT_FALSE(PathExists(logPath_));
}

TEST_F(LogFileTest, UnopenableFileDropsTheLineAndTriesAgainLater) {
  std::wstring inMissingFolder = dir_ / L"missing\\t.log";
  Restart(inMissingFolder);
  LogInfo(L"setup", L"lost");
  CreateDirectoryW((dir_ / L"missing").c_str(), nullptr);
  LogInfo(L"setup", L"kept");
  EXPECT_EQ(MessageOf(ReadWholeFile(inMissingFolder)), "kept\r\n");
}

TEST_F(LogFileTest, RelativePathIsWrittenInTheCurrentDirectory) {
  wchar_t saved[MAX_PATH];
  GetCurrentDirectoryW(MAX_PATH, saved);
  ASSERT_TRUE(SetCurrentDirectoryW(dir_.path().c_str()));
  Restart(L"None.log");
  LogInfo(L"setup", L"relative");
  SetCurrentDirectoryW(saved);
  EXPECT_EQ(MessageOf(ReadWholeFile(dir_ / L"None.log")), "relative\r\n");
}

// logtool.ini lies in a folder the user can write and we run elevated: a link
// on the log path, or a log file that is another file's second name, must not
// aim our writes, renames or deletes anywhere, nor hand that file's content to
// a folder the user can read. Each row turns file logging off for the run.
TEST_F(LogFileTest, PathThroughALinkTurnsTheFileOffButNotTheDebuggerLine) {
  // Wine shows a Unix link to a directory as a reparse point (one to a file
  // it does not), so the link rows plant a directory link into `victim`.
  const std::wstring victim = dir_ / L"victim";
  const std::wstring link = dir_ / L"link";
  enum Plant { kDirectoryLink, kHardLinkedFile };
  struct Case {
    const char* name;
    Plant plant;
    std::wstring configured;  // the channel's path
    std::wstring cwd;         // current directory while logging, if any
    bool swapAfterOpen;       // `link` is a real folder until the log is open and due to rotate
  };
  const Case cases[] = {
      {"directory link in the path", kDirectoryLink, link + L"\\t.log", L"", false},
      {"directory link further up", kDirectoryLink, link + L"\\sub\\t.log", L"", false},
      {"relative path from a linked directory", kDirectoryLink, L"t.log", link, false},
      {"folder swapped for a link between two lines", kDirectoryLink, link + L"\\t.log", L"", true},
      // Past the limit at once: a rotation would hand the victim's content on.
      {"log file hard-linked to another file", kHardLinkedFile, link + L"\\t.log", L"", false},
  };
  // Larger than the limit, so that a log reaching it is due to rotate.
  const std::string preciousLog = "precious log" + std::string(102400, 'p');
  for (const Case& c : cases) {
    ASSERT_TRUE(CreateDirectoryW(victim.c_str(), nullptr)) << c.name;
    ASSERT_TRUE(CreateDirectoryW((victim + L"\\sub").c_str(), nullptr));
    ASSERT_TRUE(WriteWholeFile(victim + L"\\t.log", preciousLog));
    ASSERT_TRUE(WriteWholeFile(victim + L"\\t.wtx", "precious wtx"));
    if (c.swapAfterOpen) {
      ASSERT_TRUE(CreateDirectoryW(link.c_str(), nullptr));
      // At the limit: the line below keeps the file open and takes it past.
      ASSERT_TRUE(WriteWholeFile(link + L"\\t.log", std::string(102400, 'a')));
      Restart(c.configured);
      LogInfo(L"setup", L"before the swap");
      ASSERT_EQ(MessageOf(ReadWholeFile(link + L"\\t.log")), "before the swap\r\n");
      if (!MoveFileW(link.c_str(), (dir_ / L"moved").c_str()))
        GTEST_SKIP() << "cannot move a folder with an open file here";
    }
    if (c.plant == kDirectoryLink) {
      if (!PlantSymbolicLink(victim, link)) GTEST_SKIP() << "cannot plant links here";
      ASSERT_TRUE(AttributesOf(link) & FILE_ATTRIBUTE_REPARSE_POINT) << AttributesOf(link);
    } else {
      ASSERT_TRUE(CreateDirectoryW(link.c_str(), nullptr));
      ASSERT_TRUE(CreateHardLinkW((link + L"\\t.log").c_str(), (victim + L"\\t.log").c_str(),
                                  nullptr));
    }

    wchar_t saved[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, saved);
    auto logTwoLines = [&](const char* first, const char* second) {
      if (!c.cwd.empty()) {
        ASSERT_TRUE(SetCurrentDirectoryW(c.cwd.c_str()));
      }
      DebuggerLines debugger;
      LogInfo(L"setup", L"%s", Widen(first).c_str());
      LogError(L"setup", L"%s", Widen(second).c_str());
      EXPECT_TRUE(debugger.Saw(std::string("[INF][setup   ]:") + first + "\r\n")) << c.name;
      EXPECT_TRUE(debugger.Saw(std::string("[ERR][setup   ]:") + second + "\r\n")) << c.name;
      SetCurrentDirectoryW(saved);
    };
    if (!c.swapAfterOpen) Restart(c.configured);
    logTwoLines("first line", "second line");
    if (c.swapAfterOpen) {  // the handle kept from before the swap is not written through
      EXPECT_EQ(MessageOf(ReadWholeFile(dir_ / L"moved\\t.log")), "before the swap\r\n");
    }
    EXPECT_TRUE(ReadWholeFile(victim + L"\\t.log") == preciousLog) << c.name;
    EXPECT_EQ(ReadWholeFile(victim + L"\\t.wtx"), "precious wtx") << c.name;
    EXPECT_FALSE(PathExists(victim + L"\\sub\\t.log")) << c.name;
    if (c.plant == kHardLinkedFile) {  // nothing copied beside the second name
      EXPECT_FALSE(PathExists(link + L"\\t.wtx")) << c.name;
    }

    // Off for the run: with the link gone and a real folder in its place,
    // later lines still write no file.
    if (c.plant == kDirectoryLink) {
      EXPECT_TRUE(RemoveSymbolicLink(link)) << c.name;
      ASSERT_TRUE(CreateDirectoryW(link.c_str(), nullptr));
    } else {
      ASSERT_TRUE(DeleteFileW((link + L"\\t.log").c_str()));
    }
    ASSERT_TRUE(CreateDirectoryW((link + L"\\sub").c_str(), nullptr));
    logTwoLines("third line", "fourth line");
    EXPECT_FALSE(PathExists(link + L"\\t.log")) << c.name;
    EXPECT_FALSE(PathExists(link + L"\\sub\\t.log")) << c.name;

    Restart(L"");
    RemoveTreeForTest(link);
    RemoveTreeForTest(dir_ / L"moved");
    RemoveTreeForTest(victim);
  }
}

// The unelevated user's answer, for the seam: `denied` rights are refused
// on anything, `deniedOnWtx` on the ".wtx" file and on folders (deleting a
// child), any other right gets `answer`.
struct UserStandIn {
  static ACCESS_MASK denied, deniedOnWtx;
  static UserAnswer answer;
  static UserAnswer Answer(HANDLE object, ACCESS_MASK access) {
    wchar_t path[MAX_PATH] = {};
    DWORD length = GetFinalPathNameByHandleW(object, path, MAX_PATH, 0);
    FILE_STANDARD_INFO standard = {};
    GetFileInformationByHandleEx(object, FileStandardInfo, &standard, sizeof standard);
    bool wtx = standard.Directory || (length > 4 && std::wstring(path + length - 4) == L".wtx");
    return (access & denied) || (wtx && (access & deniedOnWtx)) ? UserAnswer::kDenied : answer;
  }
};
ACCESS_MASK UserStandIn::denied = 0, UserStandIn::deniedOnWtx = 0;
UserAnswer UserStandIn::answer = UserAnswer::kAllowed;

// Elevated (as Wine's token is), a path from logtool.ini is written only
// where the user could have written it, and never to a stream or device.
// A refusal turns the file off; the debugger still gets every line.
TEST_F(LogFileTest, IniPathBeyondTheUserTurnsTheFileOffButNotTheDebuggerLine) {
  const std::string earlierWtx = "earlier wtx", over(102401, 'a');
  const std::wstring stream = dir_ / L"a.txt:s.log";
  constexpr ACCESS_MASK kRemove = DELETE | FILE_DELETE_CHILD, kAll = ~ACCESS_MASK(0);
  using A = UserAnswer;
  struct Case {
    const char* name;
    std::wstring path;
    bool fromIni;
    const std::string* existing;  // the log before the line, if any
    bool wtxBefore;               // an earlier ".wtx" stands
    ACCESS_MASK denied, deniedOnWtx;
    UserAnswer answer;
    bool written;
  };
  const Case cases[] = {
      {"new file, the user may not add one", logPath_, true, nullptr, true, FILE_ADD_FILE, 0,
       A::kAllowed, false},
      {"existing file, the user may not append", logPath_, true, &earlierWtx, true,
       FILE_APPEND_DATA, 0, A::kAllowed, false},
      {"rotation, the user may not delete the log", logPath_, true, &over, false, kRemove, 0,
       A::kAllowed, false},
      {"rotation, the user may not delete the earlier .wtx", logPath_, true, &over, true, 0,
       kRemove, A::kAllowed, false},
      {"the user's answer cannot be had", logPath_, true, nullptr, true, 0, 0, A::kUnknown, false},
      {"stream", stream, true, nullptr, true, 0, 0, A::kAllowed, false},
      {"stream, even where the built-in path would go", stream, false, nullptr, true, 0, 0,
       A::kAllowed, false},
      {"device", dir_ / L"NUL.log", true, nullptr, true, 0, 0, A::kAllowed, false},
      {"the user may, rotation included", logPath_, true, &over, true, 0, 0, A::kAllowed, true},
      {"no linked token (UAC off, SYSTEM)", logPath_, true, &over, true, 0, 0, A::kNoLinkedToken,
       true},
      {"the built-in path is not the user's choice", logPath_, false, &over, true, kAll, kAll,
       A::kUnknown, true},
  };
  logUserAnswerForTest = UserStandIn::Answer;
  for (const Case& c : cases) {
    UserStandIn::denied = c.denied;
    UserStandIn::deniedOnWtx = c.deniedOnWtx;
    UserStandIn::answer = c.answer;
    DeleteFileW(logPath_.c_str());
    DeleteFileW(rotatedPath_.c_str());
    if (c.wtxBefore) {
      ASSERT_TRUE(WriteWholeFile(rotatedPath_, earlierWtx));
    }
    if (c.existing) {
      ASSERT_TRUE(WriteWholeFile(logPath_, *c.existing));
    }
    Restart(c.path, {3, 102400}, c.fromIni);
    {
      DebuggerLines debugger;
      LogInfo(L"setup", L"first");
      LogError(L"setup", L"second");
      EXPECT_TRUE(debugger.Saw("[INF][setup   ]:first\r\n")) << c.name;
      EXPECT_TRUE(debugger.Saw("[ERR][setup   ]:second\r\n")) << c.name;
    }
    Restart(L"");
    const std::string log = ReadWholeFile(logPath_), wtx = ReadWholeFile(rotatedPath_);
    if (c.written) {
      EXPECT_EQ(MessageOf(log.substr(0, log.find("\r\n") + 2)), "first\r\n") << c.name;
      EXPECT_TRUE(wtx == *c.existing) << c.name;
      continue;
    }
    EXPECT_TRUE(c.existing ? log == *c.existing : !PathExists(logPath_)) << c.name;
    EXPECT_EQ(wtx, c.wtxBefore ? earlierWtx : "") << c.name;
    // Nothing else made: no file a stream or device name would have led to.
    size_t made = 0;
    std::wstring names;
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW((dir_ / L"*").c_str(), &entry);
    for (BOOL more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileW(search, &entry))
      if (entry.cFileName[0] != L'.') made++, names += std::wstring(entry.cFileName) + L" ";
    FindClose(search);
    EXPECT_EQ(made, (c.existing ? 1u : 0u) + (c.wtxBefore ? 1u : 0u)) << c.name << ": "
                                                                        << Narrow(names);
  }
  logUserAnswerForTest = nullptr;
}

}  // namespace
