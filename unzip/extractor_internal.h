// The extractor's parts, for the unzip subsystem's own files and its tests;
// everyone else uses unzip/extractor.h, where the type is opaque. extract.cpp
// sets and reads the fields below directly: accessors cost the stub 512 bytes.
#pragma once
#include <unzip.h>

#include "common/byte_buffer.h"
#include "common/containers.h"
#include "common/path_set.h"
#include "common/progress.h"
#include "common/sha256.h"
#include "unzip/archive_file.h"
#include "unzip/extractor.h"
#include "unzip/fresh_target.h"

// What ExtractEntry needs of the central record besides the entry itself.
struct EntryDetails {
  uint16_t flags = 0;
  uint16_t method = 0;
  uint32_t crc = 0;
  uint32_t dosDateTime = 0;  // date in the upper half
  uint64_t compressedSize = 0;  // unclamped, as ZIP64 gives them
  uint64_t uncompressedSize = 0;
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

  // Set when the base directory is one this run has just created and holds
  // open: then everything is reached through handles below it, no folder or
  // file found there is used or replaced, only what this extractor created
  // itself, and every creation is recorded.
  FreshTarget fresh;
  // The PathKey of an entry whose bytes are hashed while they are written
  // (the installer); empty for none. The digest counts only once the entry
  // is complete.
  WideString watchedKey;
  bool watchedWritten = false;
  Sha256Digest watchedDigest = {};
  ProgressSink* progress = nullptr;  // counts every chunk written

  ArchiveExtractor() = default;
  ~ArchiveExtractor();
  ArchiveExtractor(const ArchiveExtractor&) = delete;
  ArchiveExtractor& operator=(const ArchiveExtractor&) = delete;
};
