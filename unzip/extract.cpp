#include "unzip/extract.h"

#include "unzip/extractor.h"

namespace {

struct ExtractorCloser {
  ArchiveExtractor* extractor;
  ~ExtractorCloser() { CloseArchive(extractor); }
};

bool ExtractAll(ArchiveExtractor* extractor, const wchar_t* targetDirectory,
                Array<int32_t>& failedEntries) {
  SetBaseDirectory(extractor, targetDirectory);  // when refused, every entry fails
  ArchiveEntry entry;
  GetEntry(extractor, -1, &entry);
  int32_t count = entry.index;

  failedEntries.Clear();
  failedEntries.Reserve(static_cast<size_t>(count));
  int32_t extracted = 0;
  for (int32_t i = 0; i < count; ++i) {
    if (GetEntry(extractor, i, &entry) != ArchiveResult::Ok ||
        ExtractEntry(extractor, i, entry.name) != ArchiveResult::Ok) {
      failedEntries.Append(i);
      continue;
    }
    ++extracted;
  }
  return extracted == count;
}

}  // namespace

bool ExtractArchive(const wchar_t* targetDirectory, Array<int32_t>& failedEntries,
                    const wchar_t* archivePath) {
  if (!targetDirectory || !archivePath) return false;
  ArchiveExtractor* extractor = nullptr;
  if (OpenArchive(archivePath, &extractor) != ArchiveResult::Ok) return false;
  ExtractorCloser closer{extractor};
  return ExtractAll(extractor, targetDirectory, failedEntries);
}

bool ExtractArchive(const wchar_t* targetDirectory, Array<int32_t>* failedEntries,
                    const wchar_t* archivePath) {
  if (!failedEntries) return false;
  return ExtractArchive(targetDirectory, *failedEntries, archivePath);
}

bool ExtractArchiveInto(void* archive, const wchar_t* targetDirectory,
                        Array<int32_t>& failedEntries, const wchar_t* installerName,
                        ExtractionRecord* record) {
  if (!archive || !targetDirectory || !record) return false;
  // A second handle on the same open file: the caller's stays, and with it
  // the sharing that keeps others from writing or deleting the archive.
  FileHandle reader;
  HANDLE self = GetCurrentProcess();
  LARGE_INTEGER start = {};
  if (!DuplicateHandle(self, archive, self, reader.receive(), 0, FALSE, DUPLICATE_SAME_ACCESS) ||
      !SetFilePointerEx(reader.get(), start, nullptr, FILE_BEGIN))
    return false;
  ArchiveExtractor* extractor = nullptr;
  if (OpenArchiveHandle(static_cast<FileHandle&&>(reader), &extractor) != ArchiveResult::Ok)
    return false;
  ExtractorCloser closer{extractor};
  extractor->created = &record->created;
  extractor->watchedName = installerName;
  bool extracted = ExtractAll(extractor, targetDirectory, failedEntries);
  record->installerWritten = extractor->watchedWritten;
  record->installerDigest = extractor->watchedDigest;
  return extracted;
}
