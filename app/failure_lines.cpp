#include "app/failure_lines.h"

#include "common/format.h"
#include "common/text.h"
#include "unzip/entry_rules.h"

size_t ComposeCopyFailureLine(wchar_t* out, size_t capacity, const wchar_t* archivePath,
                              uint64_t copied, uint64_t expected, const wchar_t* errorText) {
  return FormatText(out, capacity, L"复制文件失败了,file:[%s];copied:[%llu/%llu],err:[%s]",
                    archivePath, static_cast<unsigned long long>(copied),
                    static_cast<unsigned long long>(expected), errorText ? errorText : L"");
}

size_t ComposeSealFailureLine(wchar_t* out, size_t capacity, const wchar_t* modulePath,
                              SealVerdict verdict) {
  return FormatText(out, capacity, L"payload of [%s] does not match its seal: %s; nothing started",
                    modulePath, SealVerdictText(verdict));
}

size_t FailedEntryLineCount(size_t count) {
  return count > kListedFailedEntries ? kListedFailedEntries + 1 : count;
}

size_t ComposeFailedEntryLine(wchar_t* out, size_t capacity, const Array<FailedEntry>& failures,
                              size_t line) {
  if (line >= kListedFailedEntries)
    return FormatText(out, capacity, L"%u more failed entries not listed",
                      static_cast<unsigned>(failures.size() - kListedFailedEntries));
  const FailedEntry& failure = failures[line];
  // The name comes from the archive: a line break in it would forge log lines.
  wchar_t name[kPathCapacity];
  size_t length = CopyText(name, kPathCapacity, failure.name.c_str());
  for (size_t i = 0; i < length; ++i)
    if (name[i] < 0x20 || name[i] == 0x7F) name[i] = L'?';
  return FormatText(out, capacity, L"entry %d [%s] failed: 0x%x", failure.index, name,
                    failure.result);
}

size_t ComposeRemovalFailureLine(wchar_t* out, size_t capacity, const RemovalFailures& failures,
                                 const wchar_t (*errorTexts)[kErrorTextChars]) {
  FormatText(out, capacity, L"clean-up could not remove %d item(s):", failures.count);
  int shown = failures.count < RemovalFailures::kKeptPaths ? failures.count
                                                            : RemovalFailures::kKeptPaths;
  for (int i = 0; i < shown; ++i) {
    wchar_t item[400];
    FormatText(item, 400, L"%s [%s] %s", i ? L";" : L"", failures.paths[i], errorTexts[i]);
    AppendText(out, capacity, item);
  }
  return TextLength(out);
}
