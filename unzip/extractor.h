// The archive extractor: opens a ZIP archive through minizip, looks entries
// up by index and writes them below a base directory.
// Calling order: OpenArchive, SetBaseDirectory, GetEntry(-1), then GetEntry(i)
// and ExtractEntry(i, ...) for ascending i, then CloseArchive.
#pragma once
#include <windows.h>

#include <stdint.h>

#include <unzip.h>

#include "common/byte_buffer.h"
#include "common/path_set.h"
#include "common/sha256.h"
#include "unzip/archive_file.h"
#include "unzip/entry_rules.h"

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

// What ExtractEntry needs of the central record besides the entry itself.
struct EntryDetails {
  uint16_t flags = 0;
  uint32_t crc = 0;
  uint32_t dosDateTime = 0;  // date in the upper half
};

constexpr uint32_t kDataBufferSize = 16384;
// A ZIP end record counts entries in 16 bits; a zip64 record claiming more
// is refused rather than trusted for allocations and loops.
constexpr uint64_t kMaxEntries = 65535;

struct ArchiveExtractor {
  unzFile reader = nullptr;
  ArchiveEntry cachedEntry;
  int32_t cachedIndex = -1;
  ByteBuffer buffer;  // kDataBufferSize bytes, from the first file entry on
  // Always ends in a separator; empty when the directory given was unusable
  // (too long or empty), and then every entry fails.
  wchar_t baseDirectory[kPathCapacity] = {};

  ArchiveFile file;
  int32_t entryCount = 0;
  int32_t readerIndex = 0;  // minizip's current entry number
  bool readerOk = false;    // whether minizip could read that entry's central record
  EntryDetails cachedDetails;

  // Set when the base directory is one this run has just created: then no
  // folder or file found below it is used or replaced, only what this
  // extractor created itself, and every creation is recorded here.
  PathSet* created = nullptr;
  // The PathKey of an entry whose bytes are hashed while they are written
  // (the installer); empty for none. The digest counts only once the entry
  // is complete.
  WideString watchedKey;
  bool watchedWritten = false;
  Sha256Digest watchedDigest = {};

  ArchiveExtractor() = default;
  ~ArchiveExtractor();
  ArchiveExtractor(const ArchiveExtractor&) = delete;
  ArchiveExtractor& operator=(const ArchiveExtractor&) = delete;
};

// On success *extractor is a new extractor (free it with CloseArchive); on
// failure it is null and the result is OpenFailed.
ArchiveResult OpenArchive(const wchar_t* archivePath, ArchiveExtractor** extractor);
// As OpenArchive, over a handle that is already open; its current position
// is where the archive starts.
ArchiveResult OpenArchiveHandle(FileHandle handle, ArchiveExtractor** extractor);

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

// Closes the archive and frees the extractor.
ArchiveResult CloseArchive(ArchiveExtractor* extractor);

// The local time of an MS-DOS date/time as a FILETIME (not yet UTC); all zero
// when the fields are not a valid calendar time.
FILETIME ConvertDosTime(uint16_t date, uint16_t time);
