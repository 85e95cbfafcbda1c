#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "log/log_format.h"

namespace {

LogStamp ExampleStamp() {
  LogStamp stamp;
  stamp.processId = 884;
  stamp.threadId = 5678;
  stamp.year = 2026;
  stamp.month = 12;
  stamp.day = 7;
  stamp.hour = 9;
  stamp.minute = 5;
  stamp.second = 3;
  stamp.milliseconds = 7;
  return stamp;
}

std::wstring Line(const LogStamp& stamp, const wchar_t* level, const std::wstring& message) {
  wchar_t line[kLogLineChars];
  size_t length = ComposeLogLine(line, stamp, level, message.c_str());
  EXPECT_EQ(length, std::wstring(line).size());
  return line;
}

TEST(LogLine, MatchesTheDocumentedFileAndDebuggerLines) {
  wchar_t text[kLogTextChars];
  size_t prefix = ComposeTagPrefix(text, kLogTextChars, L"setup");
  EXPECT_EQ(std::wstring(text), L"[setup   ]:");
  EXPECT_EQ(prefix, 11u);
  std::wstring message = std::wstring(text) + L"Execute TerminateProcess(x.exe), as 5";
  EXPECT_EQ(Line(ExampleStamp(), L"INF", message),
            L"[ 884]2026-12-07 09:05:03:007: [5678][INF][setup   ]:Execute TerminateProcess(x.exe), as 5\r\n");

  wchar_t debug[kLogLineChars];
  ComposeDebugPrefix(debug, kLogLineChars, ExampleStamp(), L"setup");
  EXPECT_EQ(std::wstring(debug), L"[ 884]2026-12-07 09:05:03:007: [5678][DBG][setup]:");
}

TEST(LogLine, TagsAndIdsWidenButAreNeverCut) {
  wchar_t text[kLogTextChars];
  ComposeTagPrefix(text, kLogTextChars, L"installer");
  EXPECT_EQ(std::wstring(text), L"[installer]:");
  LogStamp stamp = ExampleStamp();
  stamp.processId = 123456;
  stamp.threadId = 98765;
  EXPECT_EQ(Line(stamp, L"ERR", L"m"), L"[123456]2026-12-07 09:05:03:007: [98765][ERR]m\r\n");
}

TEST(LogLine, LongMessageIsCutAndStillEndsTheLine) {
  std::wstring message(983, L'x');
  std::wstring line = Line(ExampleStamp(), L"INF", message);
  EXPECT_LE(line.size(), kLogLineOutputMax);
  EXPECT_EQ(line.substr(line.size() - 2), L"\r\n");
  EXPECT_EQ(line.size(), kLogLineOutputMax);
  // A short line is not padded or cut.
  EXPECT_EQ(Line(ExampleStamp(), L"INF", L"").size(), 44u);
}

TEST(LogLimits, AreClampedToTheirRanges) {
  struct Case { uint32_t level, size, wantLevel, wantSize; };
  const Case cases[] = {
      {0, 0, 0, 102400},          {1, 1000, 1, 102400},
      {9, 102400, 9, 102400},     {10, 102401, 9, 102401},
      {12, 10485760, 9, 10485760}, {0xFFFFFFFF, 20000000, 9, 10485760},
      {3, 5242880, 3, 5242880},   {2, 10485759, 2, 10485759},
  };
  for (const Case& c : cases) {
    LogLimits limits = ClampLogLimits({c.level, c.size});
    EXPECT_EQ(limits.level, c.wantLevel) << c.level;
    EXPECT_EQ(limits.maxFileSize, c.wantSize) << c.size;
  }
}

TEST(LogPaths, ConfiguredFilePathIsComposed) {
  struct Case { const wchar_t* configured; const wchar_t* log; const wchar_t* rotated; };
  const Case cases[] = {
      {L"", L"C:\\plomet_setup.log", L"C:\\plomet_setup.wtx"},
      {L"D:\\logs\\setup.txt", L"D:\\logs\\setup.log", L"D:\\logs\\setup.wtx"},
      {L"D:\\logs\\setup", L"D:\\logs\\setup.log", L"D:\\logs\\setup.wtx"},
      {L"D:\\logs.old\\setup", L"D:\\logs.log", L"D:\\logs.wtx"},
      {L"D:\\logs\\", L"D:\\logs\\.log", L"D:\\logs\\.wtx"},
      {L"none", L"", nullptr},
      {L"None", L"None.log", L"None.wtx"},
      {L"NONE", L"NONE.log", L"NONE.wtx"},
  };
  for (const Case& c : cases) {
    wchar_t path[kPathCapacity];
    ComposeLogFilePath(c.configured, path);
    EXPECT_EQ(std::wstring(path), c.log) << c.configured;
    if (!c.rotated) continue;
    wchar_t rotated[kPathCapacity];
    ASSERT_TRUE(ComposeRotatedPath(path, rotated));
    EXPECT_EQ(std::wstring(rotated), c.rotated);
  }
}

TEST(LogPaths, OverlongPathsSwitchFileLoggingOffInsteadOfOverflowing) {
  std::wstring fits(255, L'a');  // 255 + ".log" = 259 characters
  wchar_t path[kPathCapacity];
  ComposeLogFilePath(fits.c_str(), path);
  EXPECT_EQ(std::wstring(path), fits + L".log");
  std::wstring tooLong(256, L'a');
  ComposeLogFilePath(tooLong.c_str(), path);
  EXPECT_EQ(std::wstring(path), L"");

  wchar_t rotated[kPathCapacity];
  std::wstring noDot(258, L'b');
  EXPECT_FALSE(ComposeRotatedPath(noDot.c_str(), rotated));
  EXPECT_EQ(std::wstring(rotated), L"");
}

TEST(LogPaths, IniFileSitsBesideTheExecutable) {
  wchar_t ini[300];
  ASSERT_TRUE(ComposeIniPath(L"C:\\dl\\v1.2\\boot.exe", ini, 300));
  EXPECT_EQ(std::wstring(ini), L"C:\\dl\\v1.2\\logtool.ini");
  ASSERT_TRUE(ComposeIniPath(L"boot.exe", ini, 300));
  EXPECT_EQ(std::wstring(ini), L"logtool.ini");
  EXPECT_FALSE(ComposeIniPath(L"C:\\dl\\boot.exe", ini, 15));
}

// The walk opens the root by name, then each of these names below the one
// before; a path it cannot walk that way is refused.
TEST(LogPaths, FullPathsAreCutIntoRootAndNames) {
  struct Case {
    std::wstring path;
    bool walkable;
    std::wstring root;
    std::vector<std::wstring> names;
  };
  const Case cases[] = {
      {L"C:\\a\\b\\t.log", true, L"C:\\", {L"a", L"b", L"t.log"}},
      {L"C:\\plomet_setup.log", true, L"C:\\", {L"plomet_setup.log"}},
      {L"c:/a/t.log", true, L"c:/", {L"a", L"t.log"}},
      {L"C:\\a\\\\b\\t.log", true, L"C:\\", {L"a", L"b", L"t.log"}},
      {L"D:\\logs\\.log", true, L"D:\\", {L"logs", L".log"}},
      {L"C:\\a..b\\..c\\t.log", true, L"C:\\", {L"a..b", L"..c", L"t.log"}},
      {L"\\\\srv\\share\\d\\t.log", true, L"\\\\srv\\share\\", {L"d", L"t.log"}},
      {L"\\\\srv\\share\\t.log", true, L"\\\\srv\\share\\", {L"t.log"}},
      {L"C:\\" + std::wstring(252, L'a') + L".log", true, L"C:\\",
       {std::wstring(252, L'a') + L".log"}},
      {L"C:\\" + std::wstring(253, L'a') + L".log", false, L"", {}},
      {L"C:\\a\\..\\t.log", false, L"", {}},
      {L"C:\\.\\t.log", false, L"", {}},
      {L"C:\\a\\", false, L"", {}},
      {L"C:\\", false, L"", {}},
      {L"None.log", false, L"", {}},
      {L"\\a\\t.log", false, L"", {}},
      {L"C:t.log", false, L"", {}},
      {L"\\\\srv\\share", false, L"", {}},
      {L"\\\\?\\C:\\a\\t.log", false, L"", {}},
      {L"\\\\.\\C:\\a\\t.log", false, L"", {}},
  };
  for (const Case& c : cases) {
    LogPathLevels levels;
    ASSERT_EQ(SplitLogPath(c.path.c_str(), &levels), c.walkable) << c.path;
    if (!c.walkable) continue;
    EXPECT_EQ(c.path.substr(0, levels.rootLength), c.root) << c.path;
    std::vector<std::wstring> names;
    for (size_t i = 0; i < levels.count; ++i)
      names.push_back(c.path.substr(levels.names[i].start, levels.names[i].length));
    EXPECT_EQ(names, c.names) << c.path;
  }
}

// An elevated run must not create a stream on, or write to a device of, any
// name a logtool.ini picks.
TEST(LogPaths, StreamsAndDevicesAreNoLogFiles) {
  struct Case { const wchar_t* path; bool plain; };
  const Case cases[] = {
      {L"C:\\logs\\setup.log", true},
      {L"c:/logs/setup.log", true},
      {L"C:setup.log", true},  // drive-relative: the drive's own colon
      {L"\\\\srv\\share\\setup.log", true},
      {L"None.log", true},
      {L"C:\\logs\\console.log", true},
      {L"C:\\logs\\COM10.log", true},
      {L"C:\\NUL\\setup.log", true},  // only the last name becomes a device
      {L"C:\\Windows\\System32\\version.dll:s.log", false},
      {L"C:\\logs:s\\setup.log", false},
      {L"setup.log:s", false},
      {L"\\\\.\\C:\\setup.log", false},
      {L"\\\\.\\pipe\\setup.log", false},
      {L"//?/C:/setup.log", false},
      {L"\\\\?\\UNC\\srv\\share\\setup.log", false},
      {L"\\??\\UNC\\srv\\share\\setup.log", false},
      {L"C:\\logs\\NUL.log", false},
      {L"C:\\logs\\con", false},
      {L"C:\\logs\\Aux .log", false},
      {L"C:\\logs\\com1.log", false},
      {L"C:\\logs\\LPT9.x.log", false},
      {L"C:\\logs\\COM\u00B9.log", false},
      {L"C:\\logs\\CONOUT$.log", false},
      {L"PRN.log", false},
      {L"C:nul.log", false},
  };
  for (const Case& c : cases) EXPECT_EQ(IsPlainLogPathForm(c.path), c.plain) << c.path;
}

TEST(LogPaths, AnElevatedRunWritesAnIniPathOnlyWhereTheUserCould) {
  using A = UserAnswer;
  struct Case { bool elevated, fromIni; UserAnswer answer; bool use; };
  const Case cases[] = {
      {true, true, A::kAllowed, true},        {true, true, A::kDenied, false},
      {true, true, A::kUnknown, false},       {true, true, A::kNoLinkedToken, true},
      {true, false, A::kDenied, true},        {true, false, A::kUnknown, true},  // built-in path
      {false, true, A::kDenied, true},        {false, true, A::kUnknown, true},
  };
  for (const Case& c : cases)
    EXPECT_EQ(MayUseLogFile(c.elevated, c.fromIni, c.answer), c.use)
        << c.elevated << c.fromIni << static_cast<int>(c.answer);
}

}  // namespace
