#include "cleanup/tree_paths.h"

#include "common/text.h"

namespace {

// Appends the parts to `out`, or leaves it empty when they do not all fit.
bool Compose(wchar_t (&out)[kTreePathChars], const wchar_t* const* parts, size_t count) {
  size_t length = 0;
  for (size_t i = 0; i < count; ++i) length += TextLength(parts[i]);
  out[0] = 0;
  if (length + 1 > kTreePathChars) return false;
  for (size_t i = 0; i < count; ++i) AppendText(out, kTreePathChars, parts[i]);
  return true;
}

}  // namespace

bool FormSearchPattern(wchar_t (&out)[kTreePathChars], const wchar_t* rootPath) {
  size_t length = TextLength(rootPath);
  bool endsWithBackslash = length && rootPath[length - 1] == L'\\';
  const wchar_t* parts[] = {rootPath, endsWithBackslash ? L"" : L"\\", L"*.*"};
  return Compose(out, parts, 3);
}

bool FormEntryPath(wchar_t (&out)[kTreePathChars], const wchar_t* rootPath, const wchar_t* name) {
  const wchar_t* parts[] = {rootPath, L"\\", name};
  return Compose(out, parts, 3);
}

bool FormPathItself(wchar_t (&out)[kTreePathChars], const wchar_t* rootPath) {
  const wchar_t* parts[] = {rootPath};
  if (!Compose(out, parts, 1)) return false;
  size_t length = TextLength(out);
  while (length > 1 && out[length - 1] == L'\\' && out[length - 2] != L':') out[--length] = 0;
  return true;
}
