// The archive file as minizip sees it: a Win32 file handle read through
// file functions of our own. Positions are relative to the handle's position
// when it was bound (the start offset), so bytes in front of it are invisible.
#pragma once
#include <stdint.h>

#include <ioapi.h>

#include "common/byte_buffer.h"
#include "common/handle.h"

// minizip reads headers a byte at a time; those reads are served from a
// small cache instead of one ReadFile each. Reads of this size or more (the
// entry data, which minizip reads in 16 KiB pieces) go straight to the file.
constexpr uint32_t kArchiveCacheSize = 8192;

struct ArchiveFile {
  FileHandle handle;
  uint64_t startOffset = 0;
  uint64_t position = 0;  // relative to startOffset
  ByteBuffer cache;  // kArchiveCacheSize bytes once bound
  uint64_t cacheStart = 0;  // relative position of cache[0]
  uint32_t cacheLength = 0;
};

// Takes the handle, records its current position as the start offset and
// fills `functions` so that minizip's open returns `file` itself (pass `file`
// as the path to unzOpen2_64). minizip's close closes the handle.
bool BindArchiveFile(ArchiveFile* file, FileHandle handle, zlib_filefunc64_def* functions);

// The file's size less the start offset.
bool ArchiveSize(ArchiveFile* file, uint64_t* size);

// Reads exactly `size` bytes at `position` (relative to the start offset).
bool ReadArchiveBytes(ArchiveFile* file, uint64_t position, void* buffer, uint32_t size);
