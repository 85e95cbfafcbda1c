#include "launch/child_environment.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// The entries as one block, each terminated, then one more terminator.
std::wstring Block(const std::vector<std::wstring>& entries) {
  std::wstring block;
  for (const std::wstring& entry : entries) block += entry + L'\0';
  return block + L'\0';
}

TEST(ChildEnvironmentTest, DropsCodeLoadersReplacesOursAndKeepsTheOrder) {
  const EnvironmentSetting exePath[] = {{L"NoDefaultCurrentDirectoryInExePath", L"1"}};
  const EnvironmentSetting privateTemp[] = {
      {L"NoDefaultCurrentDirectoryInExePath", L"1"}, {L"TEMP", L"C:\\t\\v_temp"}, {L"TMP", L"C:\\t\\v_temp"}};
  struct Row {
    const char* what;
    std::vector<std::wstring> caller;
    const EnvironmentSetting* settings;
    size_t settingCount;
    std::vector<std::wstring> expected;
  } rows[] = {
      {"profilers and hooks, in any case, go; the rest stays",
       {L"=C:=C:\\dl", L"cor_enable_profiling=1", L"COR_PROFILER={x}", L"COR_PROFILER_PATH_64=C:\\p.dll",
        L"CORECLR_ENABLE_PROFILING=1", L"CoreClr_Profiler_Path_32=C:\\p.dll", L"DOTNET_STARTUP_HOOKS=C:\\h.dll",
        L"Path=C:\\Windows", L"TEMP=C:\\t"},
       exePath, 1,
       {L"=C:=C:\\dl", L"NoDefaultCurrentDirectoryInExePath=1", L"Path=C:\\Windows", L"TEMP=C:\\t"}},
      {"JIT, GC, runtime and Java agents go; names that only begin alike stay",
       {L"COMPlus_JitName=j.dll", L"COR_PROFILERS=kept", L"DOTNET_AltJit=kept", L"DOTNET_AltJitName=j.dll",
        L"dotnet_gcname=g.dll", L"DOTNET_JitNam=kept", L"DOTNET_ROOT(x86)=C:\\r", L"DOTNET_STARTUP_HOOKS_=kept",
        L"JAVA_TOOL_OPTIONS=-agentpath:a.dll"},
       exePath, 1,
       {L"COR_PROFILERS=kept", L"DOTNET_AltJit=kept", L"DOTNET_JitNam=kept", L"DOTNET_STARTUP_HOOKS_=kept",
        L"NoDefaultCurrentDirectoryInExePath=1"}},
      {"a name spelt with a letter whose upper case is ASCII",
       {L"DOTNET_\x017FTARTUP_HOOKS=C:\\h.dll", L"Z=1"}, exePath, 1,
       {L"NoDefaultCurrentDirectoryInExePath=1", L"Z=1"}},
      {"the caller's values of ours are replaced, not repeated",
       {L"nodefaultcurrentdirectoryinexepath=0", L"OS=Windows_NT", L"Temp=C:\\t", L"tmp=C:\\t", L"windir=C:\\W"},
       privateTemp, 3,
       {L"NoDefaultCurrentDirectoryInExePath=1", L"OS=Windows_NT", L"TEMP=C:\\t\\v_temp", L"TMP=C:\\t\\v_temp",
        L"windir=C:\\W"}},
      {"a block out of order still holds each of ours once",
       {L"TMP=C:\\u", L"TEMP=C:\\u", L"A=1"}, privateTemp, 3,
       {L"NoDefaultCurrentDirectoryInExePath=1", L"TEMP=C:\\t\\v_temp", L"TMP=C:\\t\\v_temp", L"A=1"}},
      {"an empty block", {}, privateTemp, 3,
       {L"NoDefaultCurrentDirectoryInExePath=1", L"TEMP=C:\\t\\v_temp", L"TMP=C:\\t\\v_temp"}},
  };
  for (const Row& row : rows) {
    WideString block(L"left over");
    const std::wstring caller = Block(row.caller);
    BuildInstallerEnvironment(caller.c_str(), row.settings, row.settingCount, block);
    EXPECT_EQ(std::wstring(block.c_str(), block.size()), Block(row.expected)) << row.what;
  }
}

TEST(ChildEnvironmentTest, NetworkPathsAreKnownByTheirLeadingSeparators) {
  for (const wchar_t* path : {L"\\\\server\\share\\setup.exe", L"\\\\?\\UNC\\server\\share\\setup.exe",
                              L"//server/share/setup.exe", L"\\\\.\\pipe\\x"})
    EXPECT_TRUE(IsNetworkPath(path)) << path;
  for (const wchar_t* path : {L"C:\\t\\v\\setup.exe", L"\\t\\setup.exe", L"", static_cast<const wchar_t*>(nullptr)})
    EXPECT_FALSE(IsNetworkPath(path)) << (path ? path : L"null");
}

}  // namespace
