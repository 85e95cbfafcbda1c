// The texts of the ERR lines for failures after which the run goes on: a
// payload copy that fell short, and entries that could not be extracted.
// Pure: no <windows.h>.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "app/payload_seal.h"
#include "cleanup/delete_directory_tree.h"
#include "common/containers.h"
#include "launch/system_message.h"
#include "unzip/extract.h"

// Room for one line's text; the log keeps 983 units of a message.
constexpr size_t kFailureLineChars = 900;
// Failed entries named one per line; the rest are only counted.
constexpr size_t kListedFailedEntries = 20;

inline bool CopyFellShort(uint64_t copied, uint64_t expected, uint32_t error) {
  return error != 0 || copied != expected;
}

size_t ComposeCopyFailureLine(wchar_t* out, size_t capacity, const wchar_t* archivePath,
                              uint64_t copied, uint64_t expected, const wchar_t* errorText);

// "payload of [module path] does not match its seal: reason; nothing started"
size_t ComposeSealFailureLine(wchar_t* out, size_t capacity, const wchar_t* modulePath,
                              SealVerdict verdict);

// "clean-up could not remove N item(s): [path] error text; ..." for the paths
// `failures` kept, errorTexts[i] being the text for failures.errors[i].
size_t ComposeRemovalFailureLine(wchar_t* out, size_t capacity, const RemovalFailures& failures,
                                 const wchar_t (*errorTexts)[kErrorTextChars]);

// How many lines `count` failed entries take.
size_t FailedEntryLineCount(size_t count);

// Line `line` (below FailedEntryLineCount) of the failed-entry report.
size_t ComposeFailedEntryLine(wchar_t* out, size_t capacity, const Array<FailedEntry>& failures,
                              size_t line);
