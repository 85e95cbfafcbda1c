#include "unzip/extract.h"

#include "unzip/extractor.h"

namespace {

struct ExtractorCloser {
  ArchiveExtractor* extractor;
  ~ExtractorCloser() { CloseArchive(extractor); }
};

}  // namespace

bool ExtractArchive(const wchar_t* targetDirectory, Array<int32_t>& failedEntries,
                    const wchar_t* archivePath) {
  if (!targetDirectory || !archivePath) return false;
  ArchiveExtractor* extractor = nullptr;
  if (OpenArchive(archivePath, &extractor) != ArchiveResult::Ok) return false;
  ExtractorCloser closer{extractor};

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

bool ExtractArchive(const wchar_t* targetDirectory, Array<int32_t>* failedEntries,
                    const wchar_t* archivePath) {
  if (!failedEntries) return false;
  return ExtractArchive(targetDirectory, *failedEntries, archivePath);
}
