#include "launch/command_line_args.h"

namespace {

unsigned FoldKeyUnit(wchar_t c) {
  unsigned unit = static_cast<unsigned short>(c);
  return (unit >= L'A' && unit <= L'Z') ? unit + (L'a' - L'A') : unit;
}

bool IsArgumentSeparator(wchar_t c) { return c == L'|' || c == L'/'; }

// Index of the first `c` at or after `from`, or `length` when there is none.
size_t FindFrom(const wchar_t* text, size_t length, size_t from, wchar_t c) {
  while (from < length && text[from] != c) ++from;
  return from;
}

}  // namespace

bool KeyLess(const wchar_t* a, const wchar_t* b) {
  a = a ? a : L"";
  b = b ? b : L"";
  for (;; ++a, ++b) {
    unsigned left = FoldKeyUnit(*a);
    unsigned right = FoldKeyUnit(*b);
    if (left != right) return left < right;  // the terminator 0 sorts a prefix first
    if (!left) return false;
  }
}

bool ArgumentMap::Insert(WideString&& key, WideString&& value) {
  // First entry whose key is not less than `key`.
  size_t low = 0, high = items_.size();
  while (low < high) {
    size_t middle = low + (high - low) / 2;
    if (KeyLess(items_[middle].key.c_str(), key.c_str())) low = middle + 1;
    else high = middle;
  }
  if (low < items_.size() && !KeyLess(key.c_str(), items_[low].key.c_str())) return false;
  ArgumentEntry entry;
  entry.key = static_cast<WideString&&>(key);
  entry.value = static_cast<WideString&&>(value);
  items_.Insert(low, static_cast<ArgumentEntry&&>(entry));
  return true;
}

CommandLineArgs::CommandLineArgs(const wchar_t* commandLine) { Parse(commandLine); }

int CommandLineArgs::Parse(const wchar_t* text) {
  if (!text) return 0;
  const size_t length = TextLength(text);

  // The program path stands between the first two double quotes. Without a
  // closing quote it runs to the end, and the whole rest is parsed for
  // arguments as well; without any quote the whole line is.
  size_t start = FindFrom(text, length, 0, L'"');
  start = start < length ? start + 1 : 0;
  size_t closing = FindFrom(text, length, start, L'"');
  programPath = WideString(text + start, closing - start);
  size_t arguments = closing < length ? closing + 1 : start;

  entries.Clear();
  Array<WideString> tokens;
  for (size_t i = arguments; i < length;) {
    if (IsArgumentSeparator(text[i])) { ++i; continue; }
    size_t end = i;
    while (end < length && !IsArgumentSeparator(text[end])) ++end;
    tokens.Append(WideString(text + i, end - i));
    i = end;
  }
  if (tokens.empty()) return 0;
  // All tokens first, then in line order: the first occurrence of a key wins.
  for (const WideString& token : tokens) ParseArgument(token.c_str());
  return 1;
}

void CommandLineArgs::ParseArgument(const wchar_t* token) {
  if (!token) return;
  const size_t length = TextLength(token);

  size_t keyStart = 0;
  while (keyStart < length && token[keyStart] == L'=') ++keyStart;
  if (keyStart == length) return;
  size_t keyEnd = FindFrom(token, length, keyStart, L'=');
  WideString keyPart(token + keyStart, keyEnd - keyStart);
  WideString key = RemoveSpaces(keyPart.c_str());
  if (key.empty()) return;

  size_t valueStart = keyEnd;
  while (valueStart < length && token[valueStart] == L'=') ++valueStart;
  // Whatever follows a further "=" is dropped.
  size_t valueEnd = FindFrom(token, length, valueStart, L'=');
  entries.Insert(static_cast<WideString&&>(key), WideString(token + valueStart, valueEnd - valueStart));
}

WideString CommandLineArgs::RemoveSpaces(const wchar_t* text) {
  WideString result;
  for (size_t i = 0; text && text[i]; ++i)
    if (text[i] != L' ') result.Append(text[i]);
  return result;
}

void CommandLineArgs::AddParentPath(const wchar_t* path) {
  entries.Insert(WideString(L"paren"), WideString(path ? path : L""));
}

WideString CommandLineArgs::BuildCommandLine() const {
  WideString line;
  for (const ArgumentEntry& entry : entries) {
    line.Append(entry.key);
    line.Append(L'=');
    line.Append(entry.value);
    line.Append(L'|');
  }
  return line;
}
