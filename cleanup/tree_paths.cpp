#include "cleanup/tree_paths.h"

#include "common/text.h"

bool FormSearchPattern(wchar_t (&out)[kPathCapacity], const wchar_t* rootPath) {
  size_t length = TextLength(rootPath);
  bool endsWithBackslash = length && rootPath[length - 1] == L'\\';
  return JoinPath(out, kPathCapacity, rootPath, L"\\", endsWithBackslash ? 0 : 1, L"*.*");
}

bool FormEntryPath(wchar_t (&out)[kPathCapacity], const wchar_t* rootPath, const wchar_t* name) {
  return JoinPath(out, kPathCapacity, rootPath, L"\\", 1, name);
}

bool FormPathItself(wchar_t (&out)[kPathCapacity], const wchar_t* rootPath) {
  if (!JoinPath(out, kPathCapacity, rootPath, L"", 0, L"")) return false;
  size_t length = TextLength(out);
  while (length > 1 && out[length - 1] == L'\\' && out[length - 2] != L':') out[--length] = 0;
  return true;
}
