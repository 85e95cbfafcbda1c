#include "launch/child_environment.h"

namespace {

// Upper case as the system's name comparison sees it. Two letters outside
// ASCII have an ASCII upper case (long s, dotless i): a name spelt with them
// still finds the variable.
wchar_t Fold(wchar_t c) {
  if (c >= L'a' && c <= L'z') return static_cast<wchar_t>(c - L'a' + L'A');
  if (c == 0x017F) return L'S';
  if (c == 0x0131) return L'I';
  return c;
}

// <0, 0, >0 as the name a[0, aLength) sorts before, with, after the
// terminated name b.
int CompareNames(const wchar_t* a, size_t aLength, const wchar_t* b) {
  size_t i = 0;
  for (; i < aLength && b[i]; ++i) {
    wchar_t x = Fold(a[i]), y = Fold(b[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  return i < aLength ? 1 : b[i] ? -1 : 0;
}

// The .NET Framework profiler, the .NET (Core) profiler and startup hooks
// load a DLL or assembly the variable names into every managed process; the
// JIT, alternative JIT and GC names load a DLL in place of the runtime's own
// (read by the runtime with either prefix); DOTNET_ROOT decides which
// runtime, hostfxr included, an application host loads; additional deps and
// the shared store add assemblies the application then loads; the two Java
// variables take -agentpath, which loads a native library into every JVM.
// One list, each name terminated (the stub's size counts); a "*" at the end
// stands for anything, a "+" in front for "COMPlus_" or "DOTNET_".
constexpr char kCodeLoaders[] =
    "COR_ENABLE_PROFILING\0COR_PROFILER\0COR_PROFILER_PATH*\0CORECLR_ENABLE_PROFILING\0"
    "CORECLR_PROFILER*\0DOTNET_STARTUP_HOOKS\0+JitName\0+AltJitName\0+GCName\0DOTNET_ROOT*\0"
    "DOTNET_ADDITIONAL_DEPS\0DOTNET_SHARED_STORE\0JAVA_TOOL_OPTIONS\0_JAVA_OPTIONS\0";

// Whether `name` is `pattern`, or begins with it where the pattern ends in "*".
bool MatchesName(const wchar_t* name, size_t nameLength, const char* pattern) {
  size_t i = 0;
  for (; pattern[i] && pattern[i] != '*'; ++i)
    if (i == nameLength || Fold(name[i]) != Fold(static_cast<wchar_t>(pattern[i]))) return false;
  return pattern[i] == '*' || i == nameLength;
}

bool MatchesLoader(const wchar_t* name, size_t nameLength, const char* pattern) {
  if (*pattern != '+') return MatchesName(name, nameLength, pattern);
  static const char* const kPrefixes[] = {"COMPlus_", "DOTNET_"};
  for (const char* prefix : kPrefixes) {
    size_t length = __builtin_strlen(prefix);
    if (MatchesName(name, nameLength < length ? nameLength : length, prefix) &&
        MatchesName(name + length, nameLength - length, pattern + 1))
      return true;
  }
  return false;
}

size_t NameLength(const wchar_t* entry) {
  // A leading "=" belongs to the name: the per-drive directories ("=C:=C:\x").
  size_t length = entry[0] == L'=' ? 1 : 0;
  while (entry[length] && entry[length] != L'=') ++length;
  return length;
}

void AppendSetting(WideString& block, const EnvironmentSetting& setting) {
  block.Append(setting.name);
  block.Append(L"=", 1);
  block.Append(setting.value);
  block.Append(L"", 1);
}

}  // namespace

bool LoadsCodeIntoProcess(const wchar_t* name, size_t nameLength) {
  for (const char* pattern = kCodeLoaders; *pattern; pattern += __builtin_strlen(pattern) + 1)
    if (MatchesLoader(name, nameLength, pattern)) return true;
  return false;
}

void BuildInstallerEnvironment(const wchar_t* callerBlock, const EnvironmentSetting* settings,
                               size_t settingCount, WideString& block) {
  block.Clear();
  // A merge: each setting goes in before the first caller entry that sorts
  // after it; a caller entry of the same name gives way to it.
  size_t next = 0;
  for (const wchar_t* entry = callerBlock; entry && *entry; entry += TextLength(entry) + 1) {
    size_t nameLength = NameLength(entry);
    while (next < settingCount && CompareNames(entry, nameLength, settings[next].name) >= 0)
      AppendSetting(block, settings[next++]);
    // Against every setting: a parent may hand us a block out of order.
    bool replaced = false;
    for (size_t i = 0; i < settingCount; ++i)
      replaced = replaced || CompareNames(entry, nameLength, settings[i].name) == 0;
    if (replaced || LoadsCodeIntoProcess(entry, nameLength)) continue;
    block.Append(entry, TextLength(entry) + 1);
  }
  while (next < settingCount) AppendSetting(block, settings[next++]);
  // An empty block still needs its two terminators.
  if (block.empty()) block.Append(L"", 1);
  block.Append(L"", 1);
}

bool IsNetworkPath(const wchar_t* path) {
  return path && IsPathSeparator(path[0]) && IsPathSeparator(path[1]);
}
