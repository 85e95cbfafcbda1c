#include "unzip/extract.h"

#include "unzip/extractor_internal.h"

namespace {

bool ExtractAll(ArchiveExtractor* extractor, const wchar_t* targetDirectory,
                Array<int32_t>& failedEntries, Array<FailedEntry>* failures) {
  SetBaseDirectory(extractor, targetDirectory);  // when refused, every entry fails
  ArchiveEntry entry;
  GetEntry(extractor, -1, &entry);
  int32_t count = entry.index;

  failedEntries.Clear();
  failedEntries.Reserve(static_cast<size_t>(count));
  if (failures) failures->Clear();
  int32_t extracted = 0;
  for (int32_t i = 0; i < count; ++i) {
    ArchiveResult result = GetEntry(extractor, i, &entry);
    bool found = result == ArchiveResult::Ok;
    if (found) result = ExtractEntry(extractor, i, entry.name);
    if (result == ArchiveResult::Ok) {
      ++extracted;
      continue;
    }
    failedEntries.Append(i);
    if (failures) {
      // A failed lookup gives no record; the name comes from the central
      // record alone then.
      if (!found) GetEntryName(extractor, i, entry.name);
      FailedEntry failure;
      failure.index = i;
      failure.result = static_cast<uint32_t>(result);
      failure.name.Append(entry.name);
      failures->Append(static_cast<FailedEntry&&>(failure));
    }
  }
  return extracted == count;
}

}  // namespace

bool ExtractArchive(const wchar_t* targetDirectory, Array<int32_t>& failedEntries,
                    const wchar_t* archivePath) {
  return ExtractArchive(targetDirectory, &failedEntries, archivePath, nullptr);
}

bool ExtractArchive(const wchar_t* targetDirectory, Array<int32_t>* failedEntries,
                    const wchar_t* archivePath, Array<FailedEntry>* failures) {
  if (!targetDirectory || !failedEntries || !archivePath) return false;
  UniqueExtractor extractor = OpenArchive(archivePath);
  if (!extractor.valid()) return false;
  return ExtractAll(extractor.get(), targetDirectory, *failedEntries, failures);
}

bool ExtractArchiveInto(void* archive, void* target, const wchar_t* targetDirectory,
                        Array<int32_t>& failedEntries, const wchar_t* installerName,
                        ExtractionRecord* record, Array<FailedEntry>* failures,
                        ProgressSink* progress) {
  if (!archive || !target || !targetDirectory || !record) return false;
  // A second handle on the same open file: the caller's stays, and with it
  // the sharing that keeps others from writing or deleting the archive.
  HANDLE self = GetCurrentProcess();
  HANDLE duplicate = INVALID_HANDLE_VALUE;
  if (!DuplicateHandle(self, archive, self, &duplicate, 0, FALSE, DUPLICATE_SAME_ACCESS)) return false;
  FileHandle reader(duplicate);
  LARGE_INTEGER start = {};
  if (!SetFilePointerEx(reader.get(), start, nullptr, FILE_BEGIN)) return false;
  UniqueExtractor extractor = OpenArchiveHandle(static_cast<FileHandle&&>(reader));
  if (!extractor.valid()) return false;
  extractor.get()->fresh.base = target;
  extractor.get()->fresh.created = &record->created;
  extractor.get()->progress = progress;
  if (installerName) extractor.get()->watchedKey = PathKey(installerName);
  bool extracted = ExtractAll(extractor.get(), targetDirectory, failedEntries, failures);
  record->installerWritten = extractor.get()->watchedWritten;
  record->installerDigest = extractor.get()->watchedDigest;
  return extracted;
}
