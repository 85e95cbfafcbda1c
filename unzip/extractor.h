// The archive extractor: opens a ZIP archive, looks entries up by index and
// writes them below a base directory.
// Calling order: OpenArchive, SetBaseDirectory, GetEntry(-1), then GetEntry(i)
// and ExtractEntry(i, ...) for ascending i; the archive closes with its owner.
#pragma once
#include <windows.h>

#include <stdint.h>

#include "common/handle.h"
#include "common/path.h"

enum class ArchiveResult : uint32_t {
  Ok = 0,
  OpenFailed = 0x200,         // archive not readable as ZIP; target file not creatable
  WriteFailed = 0x400,        // writing the target file failed
  Corrupt = 0x700,            // local header disagrees, unreadable, or unsupported method
  ReadFailed = 0x800,         // local extra field not readable in full
  PasswordMismatch = 0x1000,  // encryption check byte wrong
  BadIndex = 0x10000,         // index out of range
  DataFailed = 0x5000000,     // entry data unreadable, not inflatable, short or CRC-32 wrong
};

struct ArchiveEntry {
  int32_t index = 0;  // in the summary record (index -1): the entry count
  wchar_t name[kPathCapacity] = {};  // guarded, relative to the base directory
  uint32_t attributes = 0;
  FILETIME accessTime = {};    // UTC; all zero when the entry's time is unknown
  FILETIME creationTime = {};
  FILETIME writeTime = {};
  uint32_t compressedSize = 0;
  uint32_t uncompressedSize = 0;
};

// Opaque to callers; unzip/extractor_internal.h has its parts.
struct ArchiveExtractor;

// Closes the archive and frees the extractor; its owner does this.
void CloseArchive(ArchiveExtractor* extractor);

struct ArchiveExtractorTraits {
  static ArchiveExtractor* Empty() { return nullptr; }
  static bool IsValid(ArchiveExtractor* extractor) { return extractor != nullptr; }
  static void Release(ArchiveExtractor* extractor) { CloseArchive(extractor); }
};
using UniqueExtractor = UniqueValue<ArchiveExtractor*, ArchiveExtractorTraits>;

// An extractor over the archive at archivePath; none when the archive is not
// readable as ZIP.
UniqueExtractor OpenArchive(const wchar_t* archivePath);
// As OpenArchive, over a handle that is already open; its current position
// is where the archive starts.
UniqueExtractor OpenArchiveHandle(FileHandle handle);

// Sets the directory below which entries are written; a separator is
// appended when missing. A null, empty or too long directory is refused
// (OpenFailed) and leaves the extractor writing nothing.
ArchiveResult SetBaseDirectory(ArchiveExtractor* extractor, const wchar_t* directory);

// index -1: the summary record (index = entry count, all else empty).
ArchiveResult GetEntry(ArchiveExtractor* extractor, int32_t index, ArchiveEntry* entry);

// The guarded name of entry `index` from its central record alone, without
// looking at its local header; a name too long for the record is cut. Empty,
// and a result other than Ok, when the record cannot be read.
ArchiveResult GetEntryName(ArchiveExtractor* extractor, int32_t index,
                           wchar_t (&name)[kPathCapacity]);

// Writes entry `index` below the base directory under `name` (a guarded
// name). Refuses names that could leave the base and never writes through a
// reparse point.
ArchiveResult ExtractEntry(ArchiveExtractor* extractor, int32_t index, const wchar_t* name);

// Creates `root` (one level) if missing, then every missing level of
// `directory` below it. Stops at levels that are reparse points.
void CreateDirectoryPath(const wchar_t* root, const wchar_t* directory);

// The local time of an MS-DOS date/time as a FILETIME (not yet UTC); all zero
// when the fields are not a valid calendar time.
FILETIME ConvertDosTime(uint16_t date, uint16_t time);
