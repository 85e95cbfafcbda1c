#include "launch/command_line_args.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "tests/support/test_files.h"

namespace {

using Entries = std::vector<std::pair<std::wstring, std::wstring>>;

Entries EntriesOf(const CommandLineArgs& args) {
  Entries entries;
  for (const ArgumentEntry& entry : args.entries)
    entries.emplace_back(entry.key.c_str(), entry.value.c_str());
  return entries;
}

struct ParseCase {
  const wchar_t* line;
  int result;
  const wchar_t* programPath;
  Entries entries;
};

class ParseTest : public testing::TestWithParam<ParseCase> {};

TEST_P(ParseTest, SplitsProgramPathAndArguments) {
  const ParseCase& c = GetParam();
  CommandLineArgs args(nullptr);
  EXPECT_EQ(c.result, args.Parse(c.line));
  EXPECT_EQ(std::wstring(c.programPath), args.programPath.c_str());
  EXPECT_EQ(c.entries, EntriesOf(args));
}

const wchar_t kBoot[] = L"C:\\dl\\boot.exe";

INSTANTIATE_TEST_SUITE_P(
    Lines, ParseTest,
    testing::Values(
        ParseCase{L"\"C:\\dl\\boot.exe\" /a=1 /B=2", 1, kBoot, {{L"a", L"1 "}, {L"B", L"2"}}},
        ParseCase{L"\"C:\\dl\\boot.exe\"", 0, kBoot, {}},
        ParseCase{L"\"C:\\dl\\boot.exe\" /Lang=1 /LANG=2", 1, kBoot, {{L"Lang", L"1 "}}},
        ParseCase{L"\"C:\\dl\\boot.exe\" x=1 /y=2", 1, kBoot, {{L"x", L"1 "}, {L"y", L"2"}}},
        ParseCase{L"\"C:\\dl\\boot.exe\" /a=1", 1, kBoot, {{L"a", L"1"}}},
        ParseCase{L"\"C:\\dl\\boot.exe\" / k e y = v", 1, kBoot, {{L"key", L" v"}}},
        ParseCase{L"\"C:\\dl\\boot.exe\" /flag", 1, kBoot, {{L"flag", L""}}},
        ParseCase{L"\"C:\\dl\\boot.exe\" /a==b", 1, kBoot, {{L"a", L"b"}}},
        ParseCase{L"\"C:\\dl\\boot.exe\" /a=b=c", 1, kBoot, {{L"a", L"b"}}},
        ParseCase{L"\"C:\\dl\\boot.exe\" /=v", 1, kBoot, {{L"v", L""}}},
        // Tokens were there, so the result is 1 although nothing is kept.
        ParseCase{L"\"C:\\dl\\boot.exe\" /==", 1, kBoot, {}},
        ParseCase{L"\"C:\\dl\\boot.exe\" / = ", 1, kBoot, {}},
        ParseCase{L"\"C:\\dl\\boot.exe\"|a=1", 1, kBoot, {{L"a", L"1"}}},
        ParseCase{L"\"C:\\dl\\boot.exe\" /dir=C:/tmp", 1, kBoot, {{L"dir", L"C:"}, {L"tmp", L""}}},
        ParseCase{L"\"C:\\dl\\boot.exe\" /dir=\"C:\\Program Files\\x\"", 1, kBoot,
                  {{L"dir", L"\"C:\\Program Files\\x\""}}},
        ParseCase{L"\"C:\\dl\\boot.exe\" -a=1", 1, kBoot, {{L"-a", L"1"}}},
        ParseCase{L"\"C:\\dl\\boot.exe\" /a:1", 1, kBoot, {{L"a:1", L""}}},
        ParseCase{L"boot.exe /a=1", 1, L"boot.exe /a=1", {{L"a", L"1"}, {L"boot.exe", L""}}},
        ParseCase{L"\"p\" /b=1 /A=2 /_x=3", 1, L"p", {{L"_x", L"3"}, {L"A", L"2 "}, {L"b", L"1 "}}},
        // Only spaces leave keys; tabs and other spaces stay. Separators in a
        // run count once.
        ParseCase{L"\"p\" //k\ty=1|||/ /z", 1, L"p", {{L"k\ty", L"1"}, {L"z", L""}}},
        ParseCase{L"\"p\" / a\x3000" L"b = c ", 1, L"p", {{L"a\x3000" L"b", L" c "}}},
        // An unclosed quote: the path runs to the end and is parsed as well.
        ParseCase{L"\"C:\\x /a=1", 1, L"C:\\x /a=1", {{L"a", L"1"}, {L"C:\\x", L""}}},
        ParseCase{L"", 0, L"", {}},
        ParseCase{L"\"\" /a=1", 1, L"", {{L"a", L"1"}}},
        // Text before the first quote is dropped, not parsed.
        ParseCase{L"x=1 \"p\" /y=2", 1, L"p", {{L"y", L"2"}}}));

TEST(CommandLineArgsTest, NullChangesNothingAndAnotherLineStartsAfresh) {
  CommandLineArgs args(L"\"C:\\dl\\boot.exe\" /a=1");
  EXPECT_EQ(0, args.Parse(nullptr));
  EXPECT_STREQ(kBoot, args.programPath.c_str());
  EXPECT_EQ((Entries{{L"a", L"1"}}), EntriesOf(args));

  EXPECT_EQ(1, args.Parse(L"\"D:\\other.exe\" /b=2"));
  EXPECT_STREQ(L"D:\\other.exe", args.programPath.c_str());
  EXPECT_EQ((Entries{{L"b", L"2"}}), EntriesOf(args));
}

TEST(CommandLineArgsTest, ParseArgumentIgnoresNullAndNeverReplaces) {
  CommandLineArgs args(nullptr);
  args.ParseArgument(nullptr);
  args.ParseArgument(L"Key=first");
  args.ParseArgument(L"KEY=second");
  args.ParseArgument(L"  =x");
  EXPECT_EQ((Entries{{L"Key", L"first"}}), EntriesOf(args));
}

struct KeyOrderCase {
  const wchar_t* a;
  const wchar_t* b;
  bool aBeforeB;
  bool bBeforeA;
};

TEST(KeyLessTest, FoldsOnlyAsciiLettersAndComparesUnsigned) {
  const KeyOrderCase cases[] = {
      {L"Lang", L"LANG", false, false},
      {L"lang", L"LANG", false, false},
      {L"_x", L"A", true, false},     // '_' is below 'a', though above 'A'
      {L"[", L"Z", true, false},      // 'Z' compares as 'z'
      {L"B1", L"b2", true, false},
      {L"a", L"ab", true, false},     // a proper prefix sorts first
      {L"", L"a", true, false},
      {L"\x00C4", L"\x00E4", true, false},  // non-ASCII letters are not folded
      {L"z", L"\xFFFF", true, false},       // units compare unsigned
      {L"paren", L"PAREN", false, false},
  };
  for (const KeyOrderCase& c : cases) {
    EXPECT_EQ(c.aBeforeB, KeyLess(c.a, c.b)) << testing::PrintToString(std::wstring(c.a));
    EXPECT_EQ(c.bBeforeA, KeyLess(c.b, c.a)) << testing::PrintToString(std::wstring(c.a));
  }
}

struct InstallerLineCase {
  const wchar_t* bootstrapperLine;
  const wchar_t* installerLine;
};

TEST(BuildCommandLineTest, AddsParenAndSerialisesInKeyOrder) {
  const InstallerLineCase cases[] = {
      {L"\"C:\\dl\\boot.exe\" /lang=2052 /silent", L"lang=2052 |paren=C:\\dl\\boot.exe|silent=|"},
      {L"\"C:\\dl\\boot.exe\"", L"paren=C:\\dl\\boot.exe|"},
      {L"\"C:\\dl\\boot.exe\" /PAREN=x", L"PAREN=x|"},
      {L"\"C:\\dl\\boot.exe\" /Zeta=1 /alpha=2", L"alpha=2|paren=C:\\dl\\boot.exe|Zeta=1 |"},
      {L"boot.exe /a=1", L"a=1|boot.exe=|paren=boot.exe /a=1|"},
  };
  for (const InstallerLineCase& c : cases) {
    CommandLineArgs args(c.bootstrapperLine);
    args.AddParentPath(args.programPath.c_str());
    EXPECT_STREQ(c.installerLine, args.BuildCommandLine().c_str()) << Narrow(c.bootstrapperLine);
    // Building again gives the same line: the map is left as it was.
    EXPECT_STREQ(c.installerLine, args.BuildCommandLine().c_str());
  }
}

TEST(BuildCommandLineTest, EmptyMapAndNullParentPath) {
  CommandLineArgs args(nullptr);
  EXPECT_STREQ(L"", args.BuildCommandLine().c_str());
  args.AddParentPath(nullptr);
  EXPECT_STREQ(L"paren=|", args.BuildCommandLine().c_str());
  args.AddParentPath(L"C:\\later.exe");
  EXPECT_STREQ(L"paren=|", args.BuildCommandLine().c_str());
}

}  // namespace
