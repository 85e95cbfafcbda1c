// Extracts a whole ZIP archive below a target directory.
#pragma once
#include <stdint.h>

#include "common/containers.h"
#include "common/path_set.h"
#include "common/progress.h"
#include "common/sha256.h"

// Extracts every entry of the archive at archivePath below targetDirectory
// (its last level is created when missing). Returns true when every entry
// was extracted; false for a null argument, an archive that cannot be opened,
// or any failed entry. After a successful open, failedEntries holds exactly
// the indices of the failed entries in ascending order (earlier contents are
// discarded); otherwise it is left as it was.
bool ExtractArchive(const wchar_t* targetDirectory, Array<int32_t>& failedEntries,
                    const wchar_t* archivePath);

// One entry that could not be extracted: its index, its guarded name (empty
// when not even its central record could be read) and the extractor's
// ArchiveResult.
struct FailedEntry {
  int32_t index = 0;
  uint32_t result = 0;
  WideString name;
};

// As above; `failures`, when given, is emptied after a successful open and
// then receives one record per failed entry, in the same order.
bool ExtractArchive(const wchar_t* targetDirectory, Array<int32_t>* failedEntries,
                    const wchar_t* archivePath, Array<FailedEntry>* failures = nullptr);

// What an extraction into a fresh directory created, for the checks before
// the installer starts.
struct ExtractionRecord {
  PathSet created;  // every file and folder written: path relative to the target, file ID
  bool installerWritten = false;  // the watched entry was written completely
  Sha256Digest installerDigest = {};
};

// As ExtractArchive, for a run's own extraction directory, which the caller
// created and holds open as `target`: the archive is read through `archive`
// (from its start), everything is written through handles below `target`
// (neither handle is ever reopened by path; both stay the caller's), and
// nothing found below it is used or replaced. `targetDirectory` is its path,
// which every entry's path must fit as before. The entry whose name is
// `installerName` is hashed while it is written. Every chunk written is
// counted to `progress` when one is given.
bool ExtractArchiveInto(void* archive, void* target, const wchar_t* targetDirectory,
                        Array<int32_t>& failedEntries, const wchar_t* installerName,
                        ExtractionRecord* record, Array<FailedEntry>* failures = nullptr,
                        ProgressSink* progress = nullptr);
