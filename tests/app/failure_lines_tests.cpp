// The texts of the ERR lines for a short payload copy and for failed entries.
#include <gtest/gtest.h>

#include <string>

#include "app/failure_lines.h"

namespace {

std::wstring CopyLine(uint64_t copied, uint64_t expected, const wchar_t* error) {
  wchar_t line[kFailureLineChars];
  ComposeCopyFailureLine(line, kFailureLineChars, L"C:\\T\\vexlode_1_2_3.zip", copied, expected,
                         error);
  return line;
}

TEST(CopyFailureLine, CountsBeyondFourGiBAndTheSystemText) {
  EXPECT_EQ(CopyLine(4096, 6000000000ULL, L"磁盘空间不足。"),
            L"复制文件失败了,file:[C:\\T\\vexlode_1_2_3.zip];copied:[4096/6000000000],"
            L"err:[磁盘空间不足。]");
  EXPECT_EQ(CopyLine(0, 0, nullptr), L"复制文件失败了,file:[C:\\T\\vexlode_1_2_3.zip];copied:[0/0],err:[]");
  EXPECT_FALSE(CopyFellShort(5000000000ULL, 5000000000ULL, 0));
  EXPECT_TRUE(CopyFellShort(5000000000ULL, 5000000001ULL, 0));  // a read that ended early
  EXPECT_TRUE(CopyFellShort(7, 7, 5));
}

Array<FailedEntry> Failures(size_t count, const wchar_t* name = L"dir/file.txt") {
  Array<FailedEntry> failures;
  for (size_t i = 0; i < count; ++i) {
    FailedEntry failure;
    failure.index = static_cast<int32_t>(i * 2 + 1);
    failure.result = 0x700;
    failure.name.Append(name);
    failures.Append(static_cast<FailedEntry&&>(failure));
  }
  return failures;
}

std::wstring EntryLine(const Array<FailedEntry>& failures, size_t line) {
  wchar_t text[kFailureLineChars];
  ComposeFailedEntryLine(text, kFailureLineChars, failures, line);
  return text;
}

TEST(FailedEntryLines, TwentyNamedThenTheRestCounted) {
  struct Case { size_t failures, lines; const wchar_t* last; };
  const Case cases[] = {
      {0, 0, nullptr},
      {1, 1, L"entry 1 [dir/file.txt] failed: 0x700"},
      {20, 20, L"entry 39 [dir/file.txt] failed: 0x700"},
      {21, 21, L"1 more failed entries not listed"},
      {65535, 21, L"65515 more failed entries not listed"},
  };
  for (const Case& c : cases) {
    Array<FailedEntry> failures = Failures(c.failures);
    ASSERT_EQ(FailedEntryLineCount(c.failures), c.lines) << c.failures;
    if (c.last) {
      EXPECT_EQ(EntryLine(failures, c.lines - 1), c.last) << c.failures;
    }
  }
  EXPECT_EQ(EntryLine(Failures(21), 19), L"entry 39 [dir/file.txt] failed: 0x700");
}

TEST(FailedEntryLines, ControlCharactersInNamesCannotForgeLines) {
  Array<FailedEntry> failures = Failures(1, L"a\r\n[1234]ERR\tx\x7f.txt");
  EXPECT_EQ(EntryLine(failures, 0), L"entry 1 [a??[1234]ERR?x?.txt] failed: 0x700");
}

TEST(RemovalFailureLine, FirstPathsWithTheirTextsThenTheCount) {
  RemovalFailures failures;
  failures.Add(L"C:\\T\\vexlode_1\\\\a.dll", 32);  // the doubled separator of an entry path
  failures.Add(L"C:\\T\\vexlode_1\\b", 145);
  EXPECT_TRUE(failures.onlyInUse);
  failures.Add(L"C:\\T\\vexlode_1\\c", 2);
  failures.Add(L"C:\\T\\vexlode_1\\d", 32);
  EXPECT_FALSE(failures.onlyInUse);
  const wchar_t texts[RemovalFailures::kKeptPaths][kErrorTextChars] = {L"in use", L"not empty", L"gone"};
  wchar_t line[kFailureLineChars];
  ComposeRemovalFailureLine(line, kFailureLineChars, failures, texts);
  EXPECT_STREQ(line, L"clean-up could not remove 4 item(s): [C:\\T\\vexlode_1\\a.dll] in use; "
                     L"[C:\\T\\vexlode_1\\b] not empty; [C:\\T\\vexlode_1\\c] gone");
}

}  // namespace
