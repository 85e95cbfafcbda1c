#include "unzip/extractor.h"

#include "common/bytes.h"
#include "common/containers.h"
#include "common/format.h"
#include "common/text.h"
#include "unzip/crypt_check.h"
#include "unzip/entry_rules.h"
#include "unzip/extractor_internal.h"
#include "unzip/lzma_entry.h"

namespace {

// Moves minizip's reader to entry `index`: back to the first entry only when
// it stands beyond it, then forward one central record at a time.
bool PositionReader(ArchiveExtractor* extractor, int32_t index) {
  if (extractor->readerIndex > index) {
    extractor->readerOk = unzGoToFirstFile(extractor->reader) == UNZ_OK;
    extractor->readerIndex = 0;
  }
  while (extractor->readerIndex < index) {
    // Past an unreadable record the next one cannot be found; walking again
    // from the first entry would only meet it again.
    if (!extractor->readerOk) return false;
    extractor->readerOk = unzGoToNextFile(extractor->reader) == UNZ_OK;
    ++extractor->readerIndex;
  }
  return extractor->readerOk;
}

// minizip's current entry, open for reading while this lives. It is closed
// even when opening it failed: a failed open can leave it half open.
class CurrentEntry {
 public:
  explicit CurrentEntry(unzFile reader) : reader_(reader) {}
  ~CurrentEntry() { Close(); }
  CurrentEntry(const CurrentEntry&) = delete;
  CurrentEntry& operator=(const CurrentEntry&) = delete;

  // Raw: no inflate state, only the header check, the data's place and,
  // with `password`, its decryption.
  bool OpenRaw(const char* password = nullptr) {
    return unzOpenCurrentFile3(reader_, nullptr, nullptr, 1, password) == UNZ_OK;
  }
  // Decrypted with `password` when it is not null.
  bool Open(const char* password) {
    return unzOpenCurrentFilePassword(reader_, password) == UNZ_OK;
  }
  // minizip compares the CRC-32 only here, for data read to its end.
  bool Close() {
    unzFile reader = reader_;
    reader_ = nullptr;
    return !reader || unzCloseCurrentFile(reader) == UNZ_OK;
  }

 private:
  unzFile reader_;
};

uint32_t Clamp32(ZPOS64_T value) {
  return value > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(value);
}

// The current entry's central record and its stored name, terminated; a name
// that does not fit is cut, and the caller decides whether that will do.
bool ReadCentralRecord(ArchiveExtractor* extractor, unz_file_info64* info,
                       char (&storedName)[kStoredNameCapacity]) {
  if (unzGetCurrentFileInfo64(extractor->reader, info, storedName, sizeof storedName - 1, nullptr,
                              0, nullptr, 0) != UNZ_OK)
    return false;
  storedName[info->size_filename < sizeof storedName - 1 ? info->size_filename
                                                         : sizeof storedName - 1] = 0;
  return true;
}

// Always UTF-8, whatever general-purpose bit 11 says; 259 bytes never widen
// beyond 259 units. Then guarded.
bool ToGuardedName(const char* storedName, wchar_t (&name)[kPathCapacity]) {
  wchar_t wide[kPathCapacity];
  if (!MultiByteToWideChar(CP_UTF8, 0, storedName, -1, wide, kPathCapacity)) return false;
  CopyText(name, kPathCapacity, GuardEntryName(wide));
  return true;
}

// minizip's local header check, plus what it lets through: methods other
// than stored, deflated and LZMA, and sizes of 0xFFFFFFFF that differ from the
// central record (directly or through the local ZIP64 block). Then the
// local extra field, read in full.
ArchiveResult CheckLocalHeader(ArchiveExtractor* extractor, const unz_file_info64& info,
                               ByteBuffer* extra, size_t* extraLength) {
  CurrentEntry current(extractor->reader);
  if (!current.OpenRaw()) return ArchiveResult::Corrupt;

  int localExtra = unzGetLocalExtrafield(extractor->reader, nullptr, 0);
  ZPOS64_T dataStart = unzGetCurrentFileZStreamPos64(extractor->reader);
  ZPOS64_T headerBytes = kLocalHeaderSize + info.size_filename + (localExtra > 0 ? localExtra : 0);
  if (localExtra < 0 || dataStart < headerBytes) return ArchiveResult::Corrupt;

  uint8_t header[kLocalHeaderSize];
  if (!ReadArchiveBytes(&extractor->file, dataStart - headerBytes, header, sizeof header))
    return ArchiveResult::Corrupt;
  *extraLength = static_cast<size_t>(localExtra);
  // Sized to this entry's field, not to the largest one a header can announce.
  extra->Allocate(*extraLength);
  bool extraRead =
      localExtra == 0 || unzGetLocalExtrafield(extractor->reader, extra->get(),
                                               static_cast<unsigned>(localExtra)) == localExtra;
  CentralFields central = {static_cast<uint16_t>(info.compression_method),
                           static_cast<uint32_t>(info.crc), info.compressed_size,
                           info.uncompressed_size, static_cast<uint16_t>(info.size_filename)};
  // A header that disagrees even without its extra field is corrupt,
  // whether or not that field can be read.
  if (!LocalHeaderAgrees(header, sizeof header, central, extraRead ? extra->get() : nullptr,
                         extraRead ? *extraLength : 0))
    return ArchiveResult::Corrupt;
  return extraRead ? ArchiveResult::Ok : ArchiveResult::ReadFailed;
}

FILETIME AsFileTime(uint64_t value) {
  FILETIME time;
  time.dwLowDateTime = static_cast<DWORD>(value);
  time.dwHighDateTime = static_cast<DWORD>(value >> 32);
  return time;
}

const FILETIME* TimeOrNull(const FILETIME& time) {
  // SetFileTime leaves a time unchanged for null; unknown times stay unset.
  return (time.dwLowDateTime || time.dwHighDateTime) ? &time : nullptr;
}

// An archive of nothing but an end record (minizip cannot open it).
bool HoldsEmptyArchive(ArchiveFile* file) {
  uint64_t size = 0;
  uint8_t head[4];
  if (!ArchiveSize(file, &size) || size < 22 || size > 22 + 0xFFFF ||
      !ReadArchiveBytes(file, 0, head, sizeof head) || ReadLe32(head) != 0x06054b50)
    return false;
  ByteBuffer all(static_cast<size_t>(size));
  return ReadArchiveBytes(file, 0, all.get(), static_cast<uint32_t>(size)) &&
         IsEmptyArchive(all.get(), static_cast<size_t>(size));
}

// ThroughLink: a reparse point on the way.
enum class DirectoryState { Ready, Missing, ThroughLink };

// One directory level: created when missing. A reparse point is reported,
// never entered; a level that is missing or not a directory is Missing.
DirectoryState EnsureDirectory(const wchar_t* path) {
  DWORD attributes = GetFileAttributesW(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    CreateDirectoryW(path, nullptr);
    attributes = GetFileAttributesW(path);
  }
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
    return DirectoryState::Missing;
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return DirectoryState::ThroughLink;
  return DirectoryState::Ready;
}

// Creates root (one level) and the levels of directory[0, length) below it,
// parents first. Levels are looked at without a trailing separator: with
// one, Wine reports a linked directory's target instead of the link. Goes on
// past a missing level (as the single CreateDirectoryW calls would) but
// stops at a link. Returns the state of the deepest level.
DirectoryState PrepareDirectories(const wchar_t* root, const wchar_t* directory, size_t length) {
  wchar_t path[kPathCapacity];
  DirectoryState state = DirectoryState::Ready;
  size_t rootLength = TextLength(root);
  if (rootLength) {
    size_t trimmed = rootLength;
    while (trimmed > 0 && IsPathSeparator(root[trimmed - 1])) --trimmed;
    // A drive or volume root keeps its separator: "C:" alone means something else.
    if (trimmed == 0 || (trimmed == 2 && root[1] == L':')) trimmed = rootLength;
    if (trimmed >= kPathCapacity) return DirectoryState::Missing;
    CopyText(path, kPathCapacity, root, trimmed);
    state = EnsureDirectory(path);
    if (state == DirectoryState::ThroughLink) return state;
  }
  for (size_t i = 1; i <= length; ++i) {
    bool levelEnds = i == length || IsPathSeparator(directory[i]);
    if (!levelEnds || IsPathSeparator(directory[i - 1])) continue;
    if (!JoinPath(path, kPathCapacity, root, directory, i, L"")) return DirectoryState::Missing;
    state = EnsureDirectory(path);
    if (state == DirectoryState::ThroughLink) return state;
  }
  return state;
}

// Replaces whatever file stands at `target` by an empty plain file, by
// renaming a fresh file over it. A rename replaces a link itself; opening or
// deleting the name may act on what the link points to (Wine shows a Unix
// link to a file as a plain file and deletes its target).
bool ReplaceWithPlainFile(const wchar_t* target) {
  DWORD attributes = GetFileAttributesW(target);
  // A directory or read-only file of that name fails the entry, as creating
  // over it would.
  if (attributes != INVALID_FILE_ATTRIBUTES &&
      (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)))
    return false;
  size_t directoryLength = DirectoryPartLength(target);
  for (unsigned attempt = 0; attempt < 16; ++attempt) {
    wchar_t suffix[16];
    wchar_t spare[kPathCapacity];
    FormatText(suffix, 16, L"~vx%04x.tmp", attempt);
    if (!JoinPath(spare, kPathCapacity, L"", target, directoryLength, suffix)) return false;
    FileHandle file(CreateFileW(spare, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                                nullptr));
    if (!file.valid()) {
      DWORD error = GetLastError();
      if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) continue;
      return false;
    }
    file.reset();
    if (MoveFileExW(spare, target, MOVEFILE_REPLACE_EXISTING)) return true;
    DeleteFileW(spare);
    return false;
  }
  return false;
}

// Creates the target file new. CREATE_NEW never opens through an existing
// link; whatever already has the name is replaced first, not followed.
FileHandle CreateTargetFile(const wchar_t* target, uint32_t attributes) {
  DWORD flags = attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                              FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE);
  if (!flags) flags = FILE_ATTRIBUTE_NORMAL;
  FileHandle file(CreateFileW(target, GENERIC_WRITE, 0, nullptr, CREATE_NEW, flags, nullptr));
  if (file.valid()) return file;
  DWORD error = GetLastError();
  if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) return file;
  if (!ReplaceWithPlainFile(target)) return FileHandle();
  DeleteFileW(target);  // now a plain file of ours
  file.reset(CreateFileW(target, GENERIC_WRITE, 0, nullptr, CREATE_NEW, flags, nullptr));
  return file;
}

// minizip decrypts but does not check the header's last byte; read the
// 12 encrypted bytes again and check it here.
ArchiveResult CheckEncryptionHeader(ArchiveExtractor* extractor, const EntryDetails& details) {
  ZPOS64_T dataStart = unzGetCurrentFileZStreamPos64(extractor->reader);  // just past the header
  uint8_t header[12];
  if (dataStart < sizeof header ||
      !ReadArchiveBytes(&extractor->file, dataStart - sizeof header, header, sizeof header))
    return ArchiveResult::DataFailed;
  if (DecryptedCheckByte(header) !=
      ExpectedCheckByte(details.flags, details.crc, details.dosDateTime))
    return ArchiveResult::PasswordMismatch;
  return ArchiveResult::Ok;
}

// Where a file entry's bytes go: the file and, when given, the hasher,
// which sees exactly the bytes that reach the file.
struct EntryTarget {
  HANDLE out;
  Sha256Hasher* hasher;
  ProgressSink* progress;
};

bool Deliver(const EntryTarget& target, const uint8_t* data, size_t size) {
  DWORD written = 0;
  AddProgress(target.progress, static_cast<uint32_t>(size));
  return WriteFile(target.out, data, static_cast<DWORD>(size), &written, nullptr) &&
         written == static_cast<DWORD>(size) && (!target.hasher || target.hasher->Add(data, size));
}

// The entry's content is complete and checked: the digest counts, the times are set.
ArchiveResult FinishEntry(ArchiveExtractor* extractor, const ArchiveEntry& entry,
                          const EntryTarget& target) {
  if (target.hasher && !target.hasher->Finish(&extractor->watchedDigest))
    return ArchiveResult::WriteFailed;
  if (target.hasher) extractor->watchedWritten = true;
  SetFileTime(target.out, TimeOrNull(entry.creationTime), TimeOrNull(entry.accessTime),
              TimeOrNull(entry.writeTime));
  return ArchiveResult::Ok;
}

ArchiveResult CopyEntryData(ArchiveExtractor* extractor, CurrentEntry* current,
                            const ArchiveEntry& entry, const EntryTarget& target) {
  for (;;) {
    int got = unzReadCurrentFile(extractor->reader, extractor->buffer.get(), kDataBufferSize);
    if (got < 0) return ArchiveResult::DataFailed;
    if (got > 0 && !Deliver(target, extractor->buffer.get(), static_cast<size_t>(got)))
      return ArchiveResult::WriteFailed;
    if (unzeof(extractor->reader) == 1) {
      // Corrupt data must not count as extracted.
      if (!current->Close()) return ArchiveResult::DataFailed;
      return FinishEntry(extractor, entry, target);
    }
    if (got == 0) return ArchiveResult::DataFailed;
  }
}

// An LZMA entry's data, read raw (and decrypted) through minizip and
// decoded here; minizip checks no CRC-32 for raw data, so it is kept here.
struct LzmaTarget {
  unzFile reader;
  const EntryTarget& target;
  uint32_t crc;
};

size_t ReadRawData(void* context, uint8_t* buffer, size_t size) {
  int got = unzReadCurrentFile(static_cast<LzmaTarget*>(context)->reader, buffer,
                               static_cast<unsigned>(size));
  return got > 0 ? static_cast<size_t>(got) : 0;
}

bool TakeDecoded(void* context, const uint8_t* data, size_t size) {
  LzmaTarget* lzma = static_cast<LzmaTarget*>(context);
  lzma->crc = static_cast<uint32_t>(crc32(lzma->crc, data, static_cast<uInt>(size)));
  return Deliver(lzma->target, data, size);
}

ArchiveResult CopyLzmaData(ArchiveExtractor* extractor, const ArchiveEntry& entry,
                           const EntryTarget& target) {
  const EntryDetails& details = extractor->cachedDetails;
  uint64_t dataSize = details.compressedSize;
  // minizip counts the encryption header as data; it is not part of the stream.
  if (details.flags & 0x1) dataSize = dataSize >= 12 ? dataSize - 12 : 0;
  LzmaTarget lzma = {extractor->reader, target, 0};
  LzmaEntryIo io = {&lzma, ReadRawData, TakeDecoded};
  LzmaOutcome outcome = DecodeLzmaEntry(io, dataSize, details.uncompressedSize, details.flags & 0x2,
                                        extractor->buffer.get(), kDataBufferSize);
  if (outcome == LzmaOutcome::WriteFailed) return ArchiveResult::WriteFailed;
  if (outcome != LzmaOutcome::Ok || lzma.crc != details.crc) return ArchiveResult::DataFailed;
  return FinishEntry(extractor, entry, target);
}

ArchiveResult WriteFileEntry(ArchiveExtractor* extractor, const ArchiveEntry& entry,
                             const EntryTarget& target) {
  const EntryDetails& details = extractor->cachedDetails;
  bool encrypted = details.flags & 0x1;
  bool lzma = details.method == kMethodLzma;
  const char* password = encrypted ? "" : nullptr;
  CurrentEntry current(extractor->reader);
  bool opened = lzma ? current.OpenRaw(password) : current.Open(password);
  if (!extractor->buffer.get()) extractor->buffer.Allocate(kDataBufferSize);
  if (!opened) return ArchiveResult::DataFailed;
  if (encrypted) {
    ArchiveResult checked = CheckEncryptionHeader(extractor, details);
    if (checked != ArchiveResult::Ok) return checked;
  }
  return lzma ? CopyLzmaData(extractor, entry, target)
              : CopyEntryData(extractor, &current, entry, target);
}

bool IsWatched(const ArchiveExtractor* extractor, const wchar_t* name) {
  return !extractor->watchedKey.empty() &&
         TextEquals(PathKey(name).c_str(), extractor->watchedKey.c_str());
}

}  // namespace

ArchiveExtractor::~ArchiveExtractor() {
  if (reader) unzClose(reader);  // closes open entry data and the file handle
}

UniqueExtractor OpenArchive(const wchar_t* archivePath) {
  if (!archivePath) return UniqueExtractor();
  FileHandle handle(CreateFileW(archivePath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!handle.valid()) return UniqueExtractor();
  return OpenArchiveHandle(static_cast<FileHandle&&>(handle));
}

// Whatever fails on the way, the owner closes the reader, or the handle when
// minizip did not take it.
UniqueExtractor OpenArchiveHandle(FileHandle handle) {
  UniqueExtractor opened(new ArchiveExtractor);
  ArchiveExtractor* extractor = opened.get();
  DWORD length = GetCurrentDirectoryW(kPathCapacity, extractor->baseDirectory);
  // SetBaseDirectory copies the directory onto itself and appends the separator.
  if (length == 0 || length >= kPathCapacity ||
      SetBaseDirectory(extractor, extractor->baseDirectory) != ArchiveResult::Ok)
    extractor->baseDirectory[0] = 0;

  zlib_filefunc64_def functions;
  if (!BindArchiveFile(&extractor->file, static_cast<FileHandle&&>(handle), &functions))
    return UniqueExtractor();
  if (HoldsEmptyArchive(&extractor->file)) return opened;  // no reader; every index is out of range
  unz_global_info64 global;
  if (!(extractor->reader = unzOpen2_64(&extractor->file, &functions)) ||
      unzGetGlobalInfo64(extractor->reader, &global) != UNZ_OK ||
      global.number_entry > kMaxEntries)
    return UniqueExtractor();
  extractor->entryCount = static_cast<int32_t>(global.number_entry);
  unz64_file_pos position;
  extractor->readerIndex = 0;
  extractor->readerOk = unzGetFilePos64(extractor->reader, &position) == UNZ_OK;
  return opened;
}

ArchiveResult SetBaseDirectory(ArchiveExtractor* extractor, const wchar_t* directory) {
  if (!extractor) return ArchiveResult::OpenFailed;
  size_t length = TextLength(directory);
  bool endsInSeparator = length > 0 && IsPathSeparator(directory[length - 1]);
  // Cutting a directory short would name another one; refuse instead.
  if (length == 0 || length + (endsInSeparator ? 0 : 1) >= kPathCapacity) {
    extractor->baseDirectory[0] = 0;
    return ArchiveResult::OpenFailed;
  }
  wchar_t copy[kPathCapacity];
  CopyText(copy, kPathCapacity, directory);
  if (!endsInSeparator) AppendText(copy, kPathCapacity, L"\\");
  CopyText(extractor->baseDirectory, kPathCapacity, copy);
  return ArchiveResult::Ok;
}

ArchiveResult GetEntry(ArchiveExtractor* extractor, int32_t index, ArchiveEntry* entry) {
  if (!extractor || !entry || index < -1 || index >= extractor->entryCount)
    return ArchiveResult::BadIndex;
  if (index == -1) {
    *entry = ArchiveEntry();
    entry->index = extractor->entryCount;
    return ArchiveResult::Ok;
  }
  if (index == extractor->cachedIndex) {
    *entry = extractor->cachedEntry;
    return ArchiveResult::Ok;
  }
  if (!PositionReader(extractor, index)) return ArchiveResult::Corrupt;

  unz_file_info64 info;
  char storedName[kStoredNameCapacity];
  if (!ReadCentralRecord(extractor, &info, storedName)) return ArchiveResult::Corrupt;
  // A name that does not fit is refused, not cut: cut, it names another file.
  if (info.size_filename >= kStoredNameCapacity) return ArchiveResult::Corrupt;

  ByteBuffer extra;
  size_t extraLength = 0;
  ArchiveResult checked = CheckLocalHeader(extractor, info, &extra, &extraLength);
  if (checked != ArchiveResult::Ok) return checked;

  wchar_t name[kPathCapacity];
  if (!ToGuardedName(storedName, name)) return ArchiveResult::Corrupt;
  ArchiveEntry& record = extractor->cachedEntry;
  extractor->cachedIndex = -1;  // the record is rebuilt in place below
  record = ArchiveEntry();
  record.index = index;
  CopyText(record.name, kPathCapacity, name);
  record.attributes = MapEntryAttributes(static_cast<uint32_t>(info.version),
                                         static_cast<uint32_t>(info.external_fa));
  record.compressedSize = Clamp32(info.compressed_size);
  record.uncompressedSize = Clamp32(info.uncompressed_size);

  uint32_t dosDateTime = static_cast<uint32_t>(info.dosDate);
  FILETIME local = ConvertDosTime(static_cast<uint16_t>(dosDateTime >> 16),
                                  static_cast<uint16_t>(dosDateTime));
  FILETIME utc = {};
  if ((local.dwLowDateTime || local.dwHighDateTime) && !LocalFileTimeToFileTime(&local, &utc))
    utc = FILETIME();
  record.accessTime = record.creationTime = record.writeTime = utc;
  ExtendedTimes extended;
  if (ParseExtendedTimestamp(extra.get(), extraLength, &extended)) {
    if (extended.hasWrite) record.writeTime = AsFileTime(extended.write);
    if (extended.hasAccess) record.accessTime = AsFileTime(extended.access);
    if (extended.hasCreation) record.creationTime = AsFileTime(extended.creation);
  }

  EntryDetails& details = extractor->cachedDetails;
  details.flags = static_cast<uint16_t>(info.flag);
  details.method = static_cast<uint16_t>(info.compression_method);
  details.crc = static_cast<uint32_t>(info.crc);
  details.dosDateTime = dosDateTime;
  details.compressedSize = info.compressed_size;
  details.uncompressedSize = info.uncompressed_size;
  extractor->cachedIndex = index;
  *entry = record;
  return ArchiveResult::Ok;
}

ArchiveResult GetEntryName(ArchiveExtractor* extractor, int32_t index,
                           wchar_t (&name)[kPathCapacity]) {
  name[0] = 0;
  if (!extractor || index < 0 || index >= extractor->entryCount) return ArchiveResult::BadIndex;
  if (!PositionReader(extractor, index)) return ArchiveResult::Corrupt;
  unz_file_info64 info;
  char storedName[kStoredNameCapacity];
  // For a report a cut name will do.
  if (!ReadCentralRecord(extractor, &info, storedName) || !ToGuardedName(storedName, name))
    return ArchiveResult::Corrupt;
  return ArchiveResult::Ok;
}

ArchiveResult ExtractEntry(ArchiveExtractor* extractor, int32_t index, const wchar_t* name) {
  if (!extractor || index < 0 || index >= extractor->entryCount) return ArchiveResult::BadIndex;
  if (!PositionReader(extractor, index)) return ArchiveResult::Corrupt;
  ArchiveEntry entry;
  ArchiveResult found = GetEntry(extractor, index, &entry);
  if (found != ArchiveResult::Ok) return found;

  const wchar_t* base = extractor->baseDirectory;
  if (!base[0] || !name || !IsSafeEntryName(name)) return ArchiveResult::OpenFailed;
  FreshTarget* fresh = extractor->fresh.base ? &extractor->fresh : nullptr;

  if (entry.attributes & kAttributeDirectory) {
    // A directory that cannot be created is not an error by itself (the
    // files below it fail); a link or a foreign folder on the way is.
    HANDLE level;
    bool stopped = fresh ? OpenFreshDirectories(fresh, name, TextLength(name), &level) == FreshLevel::Foreign
                         : PrepareDirectories(base, name, TextLength(name)) == DirectoryState::ThroughLink;
    return stopped ? ArchiveResult::OpenFailed : ArchiveResult::Ok;
  }

  size_t directoryLength = DirectoryPartLength(name);
  wchar_t target[kPathCapacity];
  // The joined path must fit even where it is not used: the installer
  // reaches its files by path.
  if (!name[directoryLength] ||
      !JoinPath(target, kPathCapacity, base, name, directoryLength, name + directoryLength))
    return ArchiveResult::OpenFailed;
  HANDLE directory = nullptr;
  if (fresh ? OpenFreshDirectories(fresh, name, directoryLength, &directory) != FreshLevel::Ready
            : PrepareDirectories(base, name, directoryLength) != DirectoryState::Ready)
    return ArchiveResult::OpenFailed;

  bool watched = IsWatched(extractor, name);
  // A watched file that is being replaced, or fails half-way, has no digest.
  if (watched) extractor->watchedWritten = false;
  FileHandle out = fresh ? CreateFreshFile(fresh, directory, name, directoryLength, entry.attributes)
                         : CreateTargetFile(target, entry.attributes);
  if (!out.valid()) return ArchiveResult::OpenFailed;
  Sha256Hasher hasher;
  if (watched && !hasher.Start()) return ArchiveResult::WriteFailed;
  return WriteFileEntry(extractor, entry, {out.get(), watched ? &hasher : nullptr, extractor->progress});
}

void CreateDirectoryPath(const wchar_t* root, const wchar_t* directory) {
  PrepareDirectories(root, directory, TextLength(directory));
}

void CloseArchive(ArchiveExtractor* extractor) { delete extractor; }

FILETIME ConvertDosTime(uint16_t date, uint16_t time) {
  FILETIME result = {};
  CalendarTime calendar;
  if (!DecodeDosTime(date, time, &calendar)) return result;
  SYSTEMTIME system = {};
  system.wYear = calendar.year;
  system.wMonth = calendar.month;
  system.wDay = calendar.day;
  system.wHour = calendar.hour;
  system.wMinute = calendar.minute;
  system.wSecond = calendar.second;
  if (!SystemTimeToFileTime(&system, &result)) result = FILETIME();
  return result;
}
