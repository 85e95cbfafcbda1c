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

// <0, 0, >0 as the name a[0, aLength) sorts before, with, after b.
int CompareNames(const wchar_t* a, size_t aLength, const wchar_t* b, size_t bLength) {
  for (size_t i = 0; i < aLength && i < bLength; ++i) {
    wchar_t x = Fold(a[i]), y = Fold(b[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  return aLength == bLength ? 0 : aLength < bLength ? -1 : 1;
}

bool StartsWithName(const wchar_t* name, size_t nameLength, const wchar_t* prefix) {
  size_t length = TextLength(prefix);
  return nameLength >= length && CompareNames(name, length, prefix, length) == 0;
}

struct CodeLoader {
  const wchar_t* name;
  bool prefix;  // every name that begins with it
};

// The .NET Framework profiler, the .NET (Core) profiler and startup hooks
// load a DLL or assembly the variable names into every managed process; the
// JIT, alternative JIT and GC names load a DLL in place of the runtime's own
// (read by the runtime with either prefix); DOTNET_ROOT decides which
// runtime, hostfxr included, an application host loads; additional deps and
// the shared store add assemblies the application then loads; the two Java
// variables take -agentpath, which loads a native library into every JVM.
constexpr CodeLoader kCodeLoaders[] = {
    {L"COR_ENABLE_PROFILING", false},   {L"COR_PROFILER", false},
    {L"COR_PROFILER_PATH", true},       {L"CORECLR_ENABLE_PROFILING", false},
    {L"CORECLR_PROFILER", true},        {L"DOTNET_STARTUP_HOOKS", false},
    {L"COMPlus_JitName", false},        {L"DOTNET_JitName", false},
    {L"COMPlus_AltJitName", false},     {L"DOTNET_AltJitName", false},
    {L"COMPlus_AltJit", false},         {L"DOTNET_AltJit", false},
    {L"COMPlus_GCName", false},         {L"DOTNET_GCName", false},
    {L"DOTNET_ROOT", true},             {L"DOTNET_ADDITIONAL_DEPS", false},
    {L"DOTNET_SHARED_STORE", false},    {L"JAVA_TOOL_OPTIONS", false},
    {L"_JAVA_OPTIONS", false},
};

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
  for (const CodeLoader& loader : kCodeLoaders) {
    if (loader.prefix ? StartsWithName(name, nameLength, loader.name)
                      : CompareNames(name, nameLength, loader.name, TextLength(loader.name)) == 0)
      return true;
  }
  return false;
}

void BuildInstallerEnvironment(const wchar_t* callerBlock, const EnvironmentSetting* settings,
                               size_t settingCount, WideString& block) {
  block.Clear();
  // Settings come out in order: each goes in before the first caller entry
  // that sorts after it.
  bool written[8] = {};
  auto writeBefore = [&](const wchar_t* name, size_t nameLength) {
    for (;;) {
      size_t next = settingCount;
      for (size_t i = 0; i < settingCount && i < 8; ++i) {
        if (written[i]) continue;
        const wchar_t* candidate = settings[i].name;
        if (name && CompareNames(candidate, TextLength(candidate), name, nameLength) > 0) continue;
        if (next == settingCount ||
            CompareNames(candidate, TextLength(candidate), settings[next].name,
                         TextLength(settings[next].name)) < 0)
          next = i;
      }
      if (next == settingCount) return;
      written[next] = true;
      AppendSetting(block, settings[next]);
    }
  };
  for (const wchar_t* entry = callerBlock; entry && *entry; entry += TextLength(entry) + 1) {
    size_t nameLength = NameLength(entry);
    writeBefore(entry, nameLength);
    if (LoadsCodeIntoProcess(entry, nameLength)) continue;
    bool replaced = false;
    for (size_t i = 0; i < settingCount; ++i)
      replaced = replaced || CompareNames(entry, nameLength, settings[i].name, TextLength(settings[i].name)) == 0;
    if (replaced) continue;
    block.Append(entry, TextLength(entry) + 1);
  }
  writeBefore(nullptr, 0);
  // An empty block still needs its two terminators.
  if (block.empty()) block.Append(L"", 1);
  block.Append(L"", 1);
}

bool IsNetworkPath(const wchar_t* path) {
  return path && IsPathSeparator(path[0]) && IsPathSeparator(path[1]);
}
