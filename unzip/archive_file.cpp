#include "unzip/archive_file.h"

namespace {

ArchiveFile* AsFile(voidpf stream) { return static_cast<ArchiveFile*>(stream); }

bool MoveTo(ArchiveFile* file, int64_t distance, DWORD method, uint64_t* absolute) {
  ++file->ioCalls;
  LARGE_INTEGER move, now;
  move.QuadPart = distance;
  if (!SetFilePointerEx(file->handle.get(), move, &now, method)) return false;
  if (absolute) *absolute = static_cast<uint64_t>(now.QuadPart);
  return true;
}

voidpf ZCALLBACK OpenFile(voidpf opaque, const void*, int) {
  ArchiveFile* file = AsFile(opaque);
  return file->handle.valid() ? file : nullptr;
}

uLong ZCALLBACK ReadFromFile(voidpf, voidpf stream, void* buffer, uLong size) {
  ArchiveFile* file = AsFile(stream);
  ++file->ioCalls;
  DWORD got = 0;
  if (!ReadFile(file->handle.get(), buffer, size, &got, nullptr)) return 0;
  return got;
}

uLong ZCALLBACK WriteToFile(voidpf, voidpf, const void*, uLong) { return 0; }

ZPOS64_T ZCALLBACK TellFile(voidpf, voidpf stream) {
  ArchiveFile* file = AsFile(stream);
  uint64_t now = 0;
  if (!MoveTo(file, 0, FILE_CURRENT, &now) || now < file->startOffset)
    return static_cast<ZPOS64_T>(-1);
  return now - file->startOffset;
}

long ZCALLBACK SeekFile(voidpf, voidpf stream, ZPOS64_T offset, int origin) {
  ArchiveFile* file = AsFile(stream);
  bool moved = false;
  switch (origin) {
    case ZLIB_FILEFUNC_SEEK_SET:
      moved = MoveTo(file, static_cast<int64_t>(file->startOffset + offset), FILE_BEGIN, nullptr);
      break;
    case ZLIB_FILEFUNC_SEEK_CUR:
      moved = MoveTo(file, static_cast<int64_t>(offset), FILE_CURRENT, nullptr);
      break;
    case ZLIB_FILEFUNC_SEEK_END:
      moved = MoveTo(file, static_cast<int64_t>(offset), FILE_END, nullptr);
      break;
  }
  return moved ? 0 : -1;
}

int ZCALLBACK CloseFile(voidpf, voidpf stream) {
  AsFile(stream)->handle.reset();
  return 0;
}

int ZCALLBACK FileError(voidpf, voidpf) { return 0; }

}  // namespace

bool BindArchiveFile(ArchiveFile* file, FileHandle handle, zlib_filefunc64_def* functions) {
  file->handle = static_cast<FileHandle&&>(handle);
  file->startOffset = 0;
  if (!file->handle.valid() || !MoveTo(file, 0, FILE_CURRENT, &file->startOffset)) return false;
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

bool ReadArchiveBytes(ArchiveFile* file, uint64_t position, void* buffer, uint32_t size) {
  if (!MoveTo(file, static_cast<int64_t>(file->startOffset + position), FILE_BEGIN, nullptr))
    return false;
  return ReadFromFile(nullptr, file, buffer, size) == size;
}

bool ArchiveSize(ArchiveFile* file, uint64_t* size) {
  LARGE_INTEGER total;
  if (!GetFileSizeEx(file->handle.get(), &total) ||
      static_cast<uint64_t>(total.QuadPart) < file->startOffset)
    return false;
  *size = static_cast<uint64_t>(total.QuadPart) - file->startOffset;
  return true;
}
