// The environment setup.exe starts with. Pure: no <windows.h>.
#pragma once
#include <stddef.h>

#include "common/containers.h"

// A variable the run sets for the installer, whatever the caller's block
// holds. Names are ASCII.
struct EnvironmentSetting {
  const wchar_t* name;
  const wchar_t* value;
};

// Whether a variable of this name makes a runtime in the installer load
// code the caller names (a profiler, a startup hook, a JIT, another
// runtime). Names compare as Windows compares them: without regard to case.
bool LoadsCodeIntoProcess(const wchar_t* name, size_t nameLength);

// Writes into `block` (emptied first) the environment block for the
// installer: every entry of `callerBlock` (a block as GetEnvironmentStringsW
// gives it: "NAME=value" entries, each terminated, then one more
// terminator) except those that load code and those `settings` replace,
// plus `settings` (in that order themselves), each at its place in the
// case-insensitive order that Windows keeps a block in, which the caller's
// block is in. `block` ends in two terminators.
void BuildInstallerEnvironment(const wchar_t* callerBlock, const EnvironmentSetting* settings,
                               size_t settingCount, WideString& block);

// Whether the final path of the installer names a network share
// ("\\server\share\..." or one of the "\\?\" and "\\.\" forms): what a
// server answers there need not be what it gave the hash.
bool IsNetworkPath(const wchar_t* path);
