#include "unzip/archive_file.h"

#include <string.h>


namespace {

ArchiveFile* AsFile(voidpf stream) { return static_cast<ArchiveFile*>(stream); }

// ReadFile at a relative position; returns the bytes read (0 on failure).
uint32_t ReadAt(ArchiveFile* file, uint64_t position, void* buffer, uint32_t size) {
  LARGE_INTEGER move;
  move.QuadPart = static_cast<LONGLONG>(file->startOffset + position);
  DWORD got = 0;
  if (!SetFilePointerEx(file->handle.get(), move, nullptr, FILE_BEGIN) ||
      !ReadFile(file->handle.get(), buffer, size, &got, nullptr))
    return 0;
  return got;
}

// Reads at the current position and moves past what was read. A read that
// the file cannot satisfy in full returns fewer bytes, as ReadFile would.
uint32_t ReadOn(ArchiveFile* file, void* buffer, uint32_t size) {
  uint64_t at = file->position;
  bool cached = at >= file->cacheStart && at - file->cacheStart + size <= file->cacheLength;
  if (!cached && size >= kArchiveCacheSize) {
    uint32_t got = ReadAt(file, at, buffer, size);
    file->position += got;
    return got;
  }
  if (!cached) {
    file->cacheStart = at;
    file->cacheLength = ReadAt(file, at, file->cache.get(), kArchiveCacheSize);
  }
  uint64_t available = file->cacheLength > at - file->cacheStart
                           ? file->cacheLength - (at - file->cacheStart)
                           : 0;
  uint32_t count = available < size ? static_cast<uint32_t>(available) : size;
  memcpy(buffer, file->cache.get() + (at - file->cacheStart), count);
  file->position += count;
  return count;
}

voidpf ZCALLBACK OpenFile(voidpf opaque, const void*, int) {
  ArchiveFile* file = AsFile(opaque);
  return file->handle.valid() ? file : nullptr;
}

uLong ZCALLBACK ReadFromFile(voidpf, voidpf stream, void* buffer, uLong size) {
  return ReadOn(AsFile(stream), buffer, size);
}

uLong ZCALLBACK WriteToFile(voidpf, voidpf, const void*, uLong) { return 0; }

ZPOS64_T ZCALLBACK TellFile(voidpf, voidpf stream) { return AsFile(stream)->position; }

long ZCALLBACK SeekFile(voidpf, voidpf stream, ZPOS64_T offset, int origin) {
  ArchiveFile* file = AsFile(stream);
  uint64_t size = 0;
  switch (origin) {
    case ZLIB_FILEFUNC_SEEK_SET:
      file->position = offset;
      return 0;
    case ZLIB_FILEFUNC_SEEK_CUR:
      file->position += offset;  // wraps for a negative distance, as intended
      return 0;
    case ZLIB_FILEFUNC_SEEK_END:
      if (!ArchiveSize(file, &size)) return -1;
      file->position = size + offset;
      return 0;
  }
  return -1;
}

int ZCALLBACK CloseFile(voidpf, voidpf stream) {
  AsFile(stream)->handle.reset();
  return 0;
}

int ZCALLBACK FileError(voidpf, voidpf) { return 0; }

}  // namespace

bool BindArchiveFile(ArchiveFile* file, FileHandle handle, zlib_filefunc64_def* functions) {
  file->handle = static_cast<FileHandle&&>(handle);
  LARGE_INTEGER zero, now;
  zero.QuadPart = 0;
  if (!file->handle.valid() ||
      !SetFilePointerEx(file->handle.get(), zero, &now, FILE_CURRENT))
    return false;
  file->startOffset = static_cast<uint64_t>(now.QuadPart);
  file->position = 0;
  if (!file->cache.get()) file->cache.Allocate(kArchiveCacheSize);
  file->cacheStart = file->cacheLength = 0;
  functions->zopen64_file = OpenFile;
  functions->zread_file = ReadFromFile;
  functions->zwrite_file = WriteToFile;
  functions->ztell64_file = TellFile;
  functions->zseek64_file = SeekFile;
  functions->zclose_file = CloseFile;
  functions->zerror_file = FileError;
  functions->opaque = file;
  return true;
}

bool ArchiveSize(ArchiveFile* file, uint64_t* size) {
  LARGE_INTEGER total;
  if (!GetFileSizeEx(file->handle.get(), &total) ||
      static_cast<uint64_t>(total.QuadPart) < file->startOffset)
    return false;
  *size = static_cast<uint64_t>(total.QuadPart) - file->startOffset;
  return true;
}

bool ReadArchiveBytes(ArchiveFile* file, uint64_t position, void* buffer, uint32_t size) {
  file->position = position;
  return ReadOn(file, buffer, size) == size;
}
