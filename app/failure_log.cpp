#include "app/failure_log.h"

#include <windows.h>

#include "app/failure_lines.h"
#include "launch/run_and_wait.h"
#include "log/log.h"

void LogCopyFailure(const CopyOutcome& outcome, const wchar_t* archivePath) {
  if (!CopyFellShort(outcome.copied, outcome.expected, outcome.error)) return;
  wchar_t errorText[kErrorTextChars] = {};
  if (outcome.error) GetSystemErrorText(outcome.error, errorText);
  wchar_t line[kFailureLineChars];
  ComposeCopyFailureLine(line, kFailureLineChars, archivePath, outcome.copied, outcome.expected,
                         errorText);
  LogError(L"setup", L"%s", line);
}

void LogSealFailure(const wchar_t* modulePath, SealVerdict verdict) {
  wchar_t line[kFailureLineChars];
  ComposeSealFailureLine(line, kFailureLineChars, modulePath, verdict);
  LogError(L"setup", L"%s", line);
}

void LogFailedEntries(const Array<FailedEntry>& failures) {
  wchar_t line[kFailureLineChars];
  for (size_t i = 0; i < FailedEntryLineCount(failures.size()); ++i) {
    ComposeFailedEntryLine(line, kFailureLineChars, failures, i);
    LogError(L"setup", L"%s", line);
  }
}

void LogRemovalFailures(const RemovalFailures& failures) {
  if (!failures.count) return;
  wchar_t errorTexts[RemovalFailures::kKeptPaths][kErrorTextChars] = {};
  for (int i = 0; i < failures.count && i < RemovalFailures::kKeptPaths; ++i)
    GetSystemErrorText(failures.errors[i], errorTexts[i]);
  wchar_t line[kFailureLineChars];
  ComposeRemovalFailureLine(line, kFailureLineChars, failures, errorTexts);
  LogError(L"setup", L"%s", line);
}
