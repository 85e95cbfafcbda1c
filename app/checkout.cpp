#include "app/checkout.h"

#include <stdlib.h>

#include "app/payload.h"
#include "common/handle.h"
#include "common/text.h"

namespace {
// Static so that the scan costs neither heap nor stack; used for nothing else.
uint8_t headerBuffer[kHeaderBufferSize];
}

int32_t FindPayloadOffset(HANDLE file) {
  SetFilePointer(file, 0, nullptr, FILE_BEGIN);
  DWORD bytesRead = 0;
  if (!ReadFile(file, headerBuffer, kHeaderBufferSize, &bytesRead, nullptr)) return kNoPayload;
  return ScanPayloadOffset(headerBuffer, bytesRead);
}

namespace {

constexpr int kNameAttempts = 8;

HANDLE CreateNewPlainFile(const wchar_t* path) {
  // CREATE_NEW fails on anything already there, a link included, and
  // FILE_FLAG_OPEN_REPARSE_POINT keeps a dangling link from being followed.
  FileHandle file(CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                              nullptr));
  BY_HANDLE_FILE_INFORMATION information;
  if (file.valid() && GetFileInformationByHandle(file.get(), &information) &&
      !(information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) && information.nNumberOfLinks == 1)
    return file.release();
  return INVALID_HANDLE_VALUE;
}

bool ComposeArchivePath(const wchar_t* tempDirectory, size_t length, const wchar_t* archiveName,
                        wchar_t (&archivePath)[MAX_PATH]) {
  CopyText(archivePath, MAX_PATH, tempDirectory);
  return AppendText(archivePath, MAX_PATH, archiveName) == length + TextLength(archiveName);
}

// Something already stands at the archive's name or at its extraction
// directory's name.
bool NameIsTaken(const wchar_t* archivePath) {
  if (GetFileAttributesW(archivePath) != INVALID_FILE_ATTRIBUTES) return true;
  wchar_t basePath[MAX_PATH];
  ArchiveBasePath(archivePath, basePath, MAX_PATH);
  return GetFileAttributesW(basePath) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace

HANDLE CreateTempArchive(const wchar_t* archiveName, wchar_t (&archivePath)[MAX_PATH]) {
  archivePath[0] = 0;
  wchar_t tempDirectory[MAX_PATH];
  DWORD length = GetTempPathW(MAX_PATH, tempDirectory);
  // A longer temporary path is not filled in at all: treat it as unavailable.
  if (length == 0 || length >= MAX_PATH) return nullptr;
  // Never open a cut path.
  if (!ComposeArchivePath(tempDirectory, length, archiveName, archivePath)) return INVALID_HANDLE_VALUE;

  // The temporary directory is writable by the user and the name can be
  // guessed from the tick count, so whatever stands at the name (a stale
  // file, or a link planted there) is neither deleted nor opened: deleting
  // or emptying it could reach through a link to a file elsewhere. A fresh
  // name is drawn instead. A real directory at the name still fails.
  wchar_t freshName[64];
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    if (attempt > 0) {
      int r1 = rand(), r2 = rand(), r3 = rand();
      FormatArchiveName(freshName, 64, r1, r2, r3);
      ComposeArchivePath(tempDirectory, length, freshName, archivePath);
    }
    DWORD attributes = GetFileAttributesW(archivePath);
    if ((attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == FILE_ATTRIBUTE_DIRECTORY)
      return INVALID_HANDLE_VALUE;
    if (NameIsTaken(archivePath)) continue;
    HANDLE archive = CreateNewPlainFile(archivePath);
    if (archive != INVALID_HANDLE_VALUE) return archive;
    if (GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS)
      return INVALID_HANDLE_VALUE;
  }
  return INVALID_HANDLE_VALUE;
}

CopyOutcome CopyPayload(HANDLE source, HANDLE target) {
  CopyOutcome outcome;
  LARGE_INTEGER size, zero = {}, position;
  if (GetFileSizeEx(source, &size) && SetFilePointerEx(source, zero, &position, FILE_CURRENT) &&
      size.QuadPart > position.QuadPart)
    outcome.expected = static_cast<uint64_t>(size.QuadPart - position.QuadPart);
  uint8_t chunk[4096];
  for (;;) {
    DWORD bytesRead = 0;
    if (!ReadFile(source, chunk, sizeof chunk, &bytesRead, nullptr)) {
      outcome.error = GetLastError();
      break;
    }
    if (bytesRead == 0) break;
    DWORD written = 0;
    BOOL wrote = WriteFile(target, chunk, bytesRead, &written, nullptr);
    outcome.copied += written;
    if (!wrote || written != bytesRead) {
      // A short write without an error code is a full disk all the same.
      outcome.error = wrote ? ERROR_DISK_FULL : GetLastError();
      break;
    }
  }
  return outcome;
}
