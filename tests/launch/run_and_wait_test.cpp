#include "launch/run_and_wait.h"

#include <windows.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <vector>

#include "common/handle.h"
#include "common/sha256.h"
#include "launch/system_message.h"
#include "log/log_utility.h"
#include "tests/support/test_files.h"

namespace {

// Points the log at a file of the test's own and gives back the INF
// messages written there; no log file afterwards.
class LogCapture {
 public:
  explicit LogCapture(const std::wstring& path) : path_(path) {
    RestartLogForTest(path.c_str(), {kLogInfo, kDefaultMaxFileSize});
  }
  ~LogCapture() { RestartLogForTest(L"", {kLogInfo, kDefaultMaxFileSize}); }

  // The message part of every line, which must all be INF lines of "setup".
  std::vector<std::wstring> Messages() const {
    std::string bytes = ReadWholeFile(path_);
    int size = MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()),
                                   nullptr, 0);
    std::wstring text(size, L'\0');
    MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), &text[0], size);
    std::vector<std::wstring> messages;
    const std::wstring marker = L"[INF][setup   ]:";
    for (size_t start = 0; start < text.size();) {
      size_t end = text.find(L"\r\n", start);
      if (end == std::wstring::npos) end = text.size();
      std::wstring line = text.substr(start, end - start);
      size_t at = line.find(marker);
      messages.push_back(at == std::wstring::npos ? L"(not an INF line) " + line
                                                  : line.substr(at + marker.size()));
      start = end + 2;
    }
    return messages;
  }

 private:
  std::wstring path_;
};

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

// The system's own text for an error, without its line break.
std::wstring SystemText(DWORD error) {
  wchar_t* text = nullptr;
  DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                    FORMAT_MESSAGE_IGNORE_INSERTS,
                                nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring result(text ? text : L"", length);
  LocalFree(text);
  while (!result.empty() && (result.back() == L'\n' || result.back() == L'\r')) result.pop_back();
  return result;
}

// Ends every process that this one started.
void EndChildProcesses() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return;
  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
    if (entry.th32ParentProcessID != GetCurrentProcessId()) continue;
    HANDLE child = OpenProcess(PROCESS_TERMINATE, FALSE, entry.th32ProcessID);
    if (child) TerminateProcess(child, 99), CloseHandle(child);
  }
  CloseHandle(snapshot);
}

// Runs `work` on a thread of its own. A child stuck on a full pipe would
// hold the whole suite until its timeout; after `seconds` the children are
// ended instead, which lets `work` return, and the result is false.
template <class Work>
bool FinishesWithin(int seconds, Work work) {
  std::future<void> done = std::async(std::launch::async, work);
  if (done.wait_for(std::chrono::seconds(seconds)) == std::future_status::ready) return true;
  EndChildProcesses();
  done.wait();
  return false;
}

class RunAndWaitTest : public testing::Test {
 protected:
  RunAndWaitTest() : log_(dir_ / L"setup.log") {
    SetEnvironmentVariableW(L"VXCHILD_RESULTS", results_.c_str());
  }
  ~RunAndWaitTest() override {
    for (const wchar_t* name : {L"VXCHILD_RESULTS", L"VXCHILD_STDOUT_BYTES",
                                L"VXCHILD_STDERR_BYTES", L"VXCHILD_EXIT", L"VXCHILD_PROBE", L"VXCHILD_HANDLE"})
      SetEnvironmentVariableW(name, nullptr);
  }

  uint32_t Run(const std::wstring& program, std::wstring commandLine) {
    return RunAndWait(program.c_str(), &commandLine[0]);
  }
  std::vector<std::string> ChildReport() const { return Lines(ReadWholeFile(results_)); }

  TempDir dir_;
  LogCapture log_;
  const std::wstring child_ = ModuleDirectory() + L"\\launch_test_child.exe";
  const std::wstring results_ = dir_ / L"results.txt";
};

TEST_F(RunAndWaitTest, ReturnsAndLogsTheExitCode) {
  struct {
    const wchar_t* exitCode;
    uint32_t expected;
    const wchar_t* line;
  } cases[] = {
      {L"0", 0, L"进程执行结果:[0]"},
      {L"3010", 3010, L"进程执行结果:[bc2]"},
      {L"4294967294", 0xFFFFFFFE, L"进程执行结果:[fffffffe]"},
  };
  std::vector<std::wstring> expectedLines;
  for (const auto& c : cases) {
    SetEnvironmentVariableW(L"VXCHILD_EXIT", c.exitCode);
    EXPECT_EQ(c.expected, Run(child_, L"a=1|"));
    expectedLines.push_back(c.line);
  }
  EXPECT_EQ(expectedLines, log_.Messages());
}

TEST_F(RunAndWaitTest, ChildSeesExactlyTheCommandLineInOurCurrentDirectory) {
  wchar_t previous[MAX_PATH];
  GetCurrentDirectoryW(MAX_PATH, previous);
  ASSERT_TRUE(SetCurrentDirectoryW(dir_.path().c_str()));
  const std::wstring commandLine = L"lang=2052 |paren=C:\\dl\\boot.exe|silent=|";
  // An inheritable handle of ours that the child must not get: it sets the
  // event should it have it.
  SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
  KernelHandle event(CreateEventW(&inheritable, TRUE, FALSE, nullptr));
  SetEnvironmentVariableW(L"VXCHILD_HANDLE", std::to_wstring(reinterpret_cast<uintptr_t>(event.get())).c_str());
  uint32_t result = Run(child_, commandLine);
  SetCurrentDirectoryW(previous);

  EXPECT_EQ(0u, result);
  std::vector<std::string> report = ChildReport();
  ASSERT_EQ(4u, report.size());
  EXPECT_EQ(Narrow(commandLine), report[0]);  // no program name in front
  EXPECT_EQ(Narrow(dir_.path()), report[1]);  // not the child's own folder
  EXPECT_EQ("0 3 3 ", report[2]);             // no input; output and errors are pipes
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(event.get(), 0)) << "the child got our inheritable handle";
}

TEST_F(RunAndWaitTest, ChattyChildIsNotBlockedByFullPipes) {
  SetEnvironmentVariableW(L"VXCHILD_STDOUT_BYTES", L"1048576");
  SetEnvironmentVariableW(L"VXCHILD_STDERR_BYTES", L"1048576");
  SetEnvironmentVariableW(L"VXCHILD_EXIT", L"7");
  uint32_t result = 0;
  ASSERT_TRUE(FinishesWithin(30, [&] { result = Run(child_, L"x=|"); }))
      << "the child still runs after 30 s: blocked on a full pipe that nobody reads?";
  EXPECT_EQ(7u, result);
  std::vector<std::string> report = ChildReport();
  ASSERT_EQ(4u, report.size());
  EXPECT_EQ("1048576 1048576", report[3]);
  EXPECT_EQ(std::vector<std::wstring>{L"进程执行结果:[7]"}, log_.Messages());
}

// "<error> <error>" of opening `path` for writing, then for deletion, sharing
// everything: 0 for an open that worked. As launch_test_child reports it.
std::string OpenErrors(const std::wstring& path) {
  std::string errors;
  for (DWORD access : {DWORD(GENERIC_WRITE), DWORD(DELETE)}) {
    HANDLE file = CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    errors += (errors.empty() ? "" : " ") + std::to_string(file == INVALID_HANDLE_VALUE ? GetLastError() : 0);
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  }
  return errors;
}

std::wstring checkedPath;     // what the gate's hook probes
std::string checkedOpenErrors;

// The gate before the installer. No timing decides these: its file is
// probed between the checks and the start (through the gate's hook) and by
// the child itself while it runs; the refusals are of files that never
// change.
TEST_F(RunAndWaitTest, ExtractedInstallerStartsOnlyAsExtractedAndIsHeldUntilItEnds) {
  const std::string child = ReadWholeFile(child_);
  const Sha256Digest digest = Sha256Of(child.data(), child.size());
  Sha256Digest lastByteDiffers = digest;
  lastByteDiffers.bytes[31] ^= 1;
  const std::wstring folder = dir_ / L"run", setup = folder + L"\\setup.exe";
  ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
  const std::wstring notOurs = L"[" + setup + L"] is not the installer this run extracted: not started";
  const std::wstring foreign = L"[C:\\x\\plant.dll] was not extracted by this run: [" + setup + L"] not started";
  const std::wstring otherImage = L"], not as the file checked: ended";
  // The same bytes in another file: what counts is the file started, not its contents.
  const std::wstring copy = dir_ / L"elsewhere.exe";
  ASSERT_TRUE(WriteWholeFile(copy, child));
  struct Row {
    const char* what;
    std::string contents;
    const Sha256Digest* expected;
    const wchar_t* foreignEntry;
    bool inItsFolder;
    const std::wstring* refusal;  // null: it starts
    const wchar_t* startInstead;  // what a swapped folder would lead the start to
  };
  const Row rows[] = {
      {"as extracted", child, &digest, nullptr, false, nullptr, nullptr},
      {"as extracted, in its folder", child, &digest, nullptr, true, nullptr, nullptr},
      {"another file at its path", child + "x", &digest, nullptr, false, &notOurs, nullptr},
      {"digest differs in its last byte", child, &lastByteDiffers, nullptr, false, &notOurs, nullptr},
      {"nothing extracted", child, nullptr, nullptr, false, &notOurs, nullptr},
      {"a foreign entry beside it", child, &digest, L"C:\\x\\plant.dll", false, &foreign, nullptr},
      {"the start led to another file", child, &digest, nullptr, false, &otherImage, copy.c_str()},
  };
  SetEnvironmentVariableW(L"VXCHILD_EXIT", L"5");
  SetEnvironmentVariableW(L"VXCHILD_PROBE", setup.c_str());
  checkedPath = setup;
  installerCheckedForTest = [] { checkedOpenErrors = OpenErrors(checkedPath); };
  wchar_t ours[MAX_PATH];
  GetCurrentDirectoryW(MAX_PATH, ours);
  for (const Row& row : rows) {
    ASSERT_TRUE(WriteWholeFile(setup, row.contents)) << row.what;
    DeleteFileW(results_.c_str());
    checkedOpenErrors = "(not called)";
    const size_t logged = log_.Messages().size();
    FileHandle handle(CreateFileW(folder.c_str(), FILE_LIST_DIRECTORY | FILE_TRAVERSE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    std::wstring commandLine = L"a=1|";
    bool started = true;
    startPathForTest = row.startInstead;
    const uint32_t result = RunExtractedAndWait(handle.get(), L"setup.exe", setup.c_str(), &commandLine[0],
                                                row.expected, row.foreignEntry, row.inItsFolder, nullptr, &started);
    startPathForTest = nullptr;
    EXPECT_EQ(started, !row.refusal) << row.what;
    EXPECT_EQ(result, row.refusal ? 0xFFFFFFFFu : 5u) << row.what;
    const std::vector<std::wstring> messages = log_.Messages();
    ASSERT_EQ(messages.size(), logged + (row.refusal ? 2 : 1)) << row.what;
    if (row.refusal) {
      EXPECT_NE(messages[logged].find(*row.refusal), std::wstring::npos) << row.what << ": " << Narrow(messages[logged]);
      EXPECT_FALSE(PathExists(results_)) << row.what;  // it never ran
      EXPECT_EQ(checkedOpenErrors, row.startInstead ? "32 32" : "(not called)") << row.what;
    } else {
      std::vector<std::string> report = ChildReport();
      ASSERT_EQ(report.size(), 5u) << row.what;
      EXPECT_EQ(_stricmp(report[1].c_str(), Narrow(row.inItsFolder ? folder : ours).c_str()), 0) << report[1];
      // Writing and deleting: sharing violations from the checks on, until it has ended.
      EXPECT_EQ(checkedOpenErrors, "32 32") << row.what;
      EXPECT_EQ(report[4], "32 32") << row.what;
    }
    EXPECT_EQ(OpenErrors(setup), "0 0") << row.what;
  }
  installerCheckedForTest = nullptr;
}

TEST_F(RunAndWaitTest, MissingProgramIsLoggedWithTheSystemText) {
  const std::wstring missing = dir_ / L"setup.exe";
  const std::wstring commandLine = L"paren=C:\\dl\\boot.exe|";
  SetLastError(0xdeadbeef);  // the text must come from the failed start, not from before it
  EXPECT_EQ(0xFFFFFFFFu, Run(missing, commandLine));

  std::wstring errorText = SystemText(ERROR_FILE_NOT_FOUND);
  ASSERT_FALSE(errorText.empty());
  std::vector<std::wstring> expected = {
      L"执行进程失败了,file:[" + missing + L"];cmd:[" + commandLine + L"],err:[" + errorText + L"]",
      L"进程执行结果:[ffffffff]"};
  EXPECT_EQ(expected, log_.Messages());
}

TEST_F(RunAndWaitTest, NullApplicationPathWritesNothing) {
  wchar_t commandLine[] = L"a=1|";
  EXPECT_EQ(0xFFFFFFFFu, RunAndWait(nullptr, commandLine));
  EXPECT_FALSE(PathExists(dir_ / L"setup.log"));
  EXPECT_FALSE(PathExists(results_));
}

TEST(GetSystemErrorTextTest, GivesTheSystemTextForTheCode) {
  wchar_t out[kErrorTextChars];
  EXPECT_EQ(out, GetSystemErrorText(ERROR_FILE_NOT_FOUND, out));
  EXPECT_EQ(SystemText(ERROR_FILE_NOT_FOUND), out);

  // Its text holds an insert; it must come back as it stands, not expanded
  // from an argument array that does not exist.
  GetSystemErrorText(ERROR_BAD_EXE_FORMAT, out);
  EXPECT_NE(nullptr, wcsstr(out, L"%1")) << Narrow(out);

  std::fill(std::begin(out), std::end(out), L'x');
  EXPECT_STREQ(L"", GetSystemErrorText(0x2000ABCD, out));  // no such message
}

TEST(ShapeSystemMessageTest, DropsTheLineBreakAndRefusesLongTexts) {
  struct {
    std::wstring text;
    std::wstring expected;
  } cases[] = {
      {L"File not found.\r\n", L"File not found."},
      {std::wstring(244, L'a') + L"\r\n", std::wstring(244, L'a')},  // 246 units: fits
      {std::wstring(245, L'a') + L"\r\n", L""},                      // 247 units: too long
      {L"\r\n", L""},
      {L"x", L"x"},    // shorter than a line break: nothing is cut off
      {L"ab", L"ab"},  // no line break: kept whole
      {L"one\n", L"one"},
      {L"", L""},
  };
  for (const auto& c : cases) {
    wchar_t out[kErrorTextChars];
    std::fill(std::begin(out), std::end(out), L'#');
    EXPECT_EQ(c.expected, ShapeSystemMessage(out, c.text.c_str(), c.text.size()))
        << c.text.size();
  }
  wchar_t out[kErrorTextChars] = {L'#', 0};
  EXPECT_STREQ(L"", ShapeSystemMessage(out, nullptr, 5));
}

}  // namespace
