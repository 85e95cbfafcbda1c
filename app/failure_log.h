// ERR lines for failures after which the run goes on as before.
#pragma once
#include "app/checkout.h"
#include "cleanup/delete_directory_tree.h"
#include "common/containers.h"
#include "unzip/extract.h"

// Logs the copy's shortfall and the system's text for its error, if any.
void LogCopyFailure(const CopyOutcome& outcome, const wchar_t* archivePath);

// Logs why the payload copied out of `modulePath` was refused.
void LogSealFailure(const wchar_t* modulePath, SealVerdict verdict);

// Logs the first failed entries one per line, then a count of the rest.
void LogFailedEntries(const Array<FailedEntry>& failures);

// Logs what a clean-up left: the first few paths with the system's text for
// what kept each, and how many there were.
void LogRemovalFailures(const RemovalFailures& failures);
