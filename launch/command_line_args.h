// The bootstrapper's own command line as a program path and a key/value map,
// and the installer command line serialised from it. Pure: no <windows.h>,
// so the parser also builds natively for fuzzing.
#pragma once
#include <stddef.h>

#include "common/containers.h"

// Ordering of argument keys: ASCII letters fold to lower case, every other
// unit compares as an unsigned 16-bit number; a proper prefix sorts first.
bool KeyLess(const wchar_t* a, const wchar_t* b);

struct ArgumentEntry {
  WideString key;
  WideString value;
};

// Entries kept sorted by KeyLess. An insertion never replaces: the first
// key and value inserted under a key stay.
class ArgumentMap {
 public:
  // Returns false when the key was already present (nothing changes then).
  bool Insert(WideString&& key, WideString&& value);
  void Clear() { items_.Clear(); }
  size_t size() const { return items_.size(); }
  bool empty() const { return items_.empty(); }
  const ArgumentEntry& operator[](size_t i) const { return items_[i]; }
  const ArgumentEntry* begin() const { return items_.begin(); }
  const ArgumentEntry* end() const { return items_.end(); }

 private:
  Array<ArgumentEntry> items_;
};

class CommandLineArgs {
 public:
  // Parses the process's own command line (GetCommandLineW); defined in
  // process_command_line.cpp, the only part that needs Windows.
  CommandLineArgs();
  // Parses the given line; null leaves both members empty.
  explicit CommandLineArgs(const wchar_t* commandLine);
  CommandLineArgs(const CommandLineArgs&) = delete;
  CommandLineArgs& operator=(const CommandLineArgs&) = delete;

  // Replaces programPath and entries from `text`; returns 1 when the
  // argument part held at least one token, else 0. Null changes nothing.
  int Parse(const wchar_t* text);
  // Splits one "key=value" token and inserts it.
  void ParseArgument(const wchar_t* token);
  static WideString RemoveSpaces(const wchar_t* text);

  // Adds "paren" with the bootstrapper's path, unless some "paren" is there.
  void AddParentPath(const wchar_t* path);
  // "key=value|" for every entry, in key order.
  WideString BuildCommandLine() const;

  WideString programPath;
  ArgumentMap entries;
};
