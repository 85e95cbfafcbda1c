#include "app/temp_workspace.h"

#include <stdlib.h>

#include "app/failure_log.h"
#include "app/payload.h"
#include "common/format.h"
#include "common/nt_file.h"
#include "common/path.h"
#include "common/protected_security.h"
#include "common/text.h"

namespace {

constexpr int kNameAttempts = 8;
// Removal retries what is in use for about this long in all.
constexpr DWORD kRemovalWindowMs = 2000;
constexpr DWORD kRemovalPauseMs = 100;

FileIdentity IdentityFrom(const BY_HANDLE_FILE_INFORMATION& information) {
  FileIdentity identity;
  identity.volume = information.dwVolumeSerialNumber;
  identity.indexHigh = information.nFileIndexHigh;
  identity.indexLow = information.nFileIndexLow;
  identity.known = true;
  return identity;
}

FileIdentity IdentityOf(HANDLE handle) {
  BY_HANDLE_FILE_INFORMATION information;
  return GetFileInformationByHandle(handle, &information) ? IdentityFrom(information) : FileIdentity();
}

bool SameObject(const FileIdentity& a, const FileIdentity& b) {
  return a.known && b.known && a.volume == b.volume && a.indexHigh == b.indexHigh &&
         a.indexLow == b.indexLow;
}

bool MarkForDeletion(HANDLE handle) {
  FILE_DISPOSITION_INFO disposition = {};
  disposition.DeleteFile = TRUE;
  return SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition) !=
         FALSE;
}

bool IsPlainFile(const BY_HANDLE_FILE_INFORMATION& information) {
  return !(information.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) &&
         information.nNumberOfLinks == 1;
}

// Creates the directory and opens it in one step, so that the handle is on
// the directory we made: CreateDirectoryW and a later open by name would
// leave a moment in which the user could replace it (the user may delete
// children of the temporary directory whatever their own permissions say).
// The handle denies deletion and renaming to everyone while it is held.
FileHandle CreateFreshDirectory(const wchar_t* path, SECURITY_ATTRIBUTES* security, bool* taken) {
  LONG status = 0;
  FileHandle directory =
      NtOpenFile(nullptr, path, TextLength(path), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                 FILE_SHARE_READ | FILE_SHARE_WRITE, kNtCreate,
                 kNtDirectoryFile | kNtOpenReparsePoint,
                 security ? security->lpSecurityDescriptor : nullptr, &status);
  *taken = status == kNtStatusNameCollision;
  return directory;
}

// Opens what stands at `path` now, without following a link, and deletes
// it when it is the object we created. A different object there (ours was
// moved away, something else put in its place) is left alone.
bool DeleteIfSame(const wchar_t* path, const FileIdentity& identity, bool directory,
                  RemovalFailures* failures) {
  DWORD flags = FILE_FLAG_OPEN_REPARSE_POINT | (directory ? FILE_FLAG_BACKUP_SEMANTICS : 0);
  FileHandle object(CreateFileW(path, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, flags, nullptr));
  if (!object.valid()) {
    DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return true;
    failures->Add(path, error);
    return false;
  }
  if (!SameObject(IdentityOf(object.get()), identity)) return true;
  FILE_BASIC_INFO basic = {};
  if (GetFileInformationByHandleEx(object.get(), FileBasicInfo, &basic, sizeof basic) &&
      (basic.FileAttributes & FILE_ATTRIBUTE_READONLY)) {
    basic.FileAttributes &= ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
    if (!basic.FileAttributes) basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    SetFileInformationByHandle(object.get(), FileBasicInfo, &basic, sizeof basic);
  }
  if (MarkForDeletion(object.get())) return true;
  failures->Add(path, GetLastError());
  return false;
}

}  // namespace

TempWorkspace::Outcome TempWorkspace::Create(int firstDraw, int secondDraw, int thirdDraw) {
  FormatArchiveName(archiveName_, kArchiveNameChars, firstDraw, secondDraw, thirdDraw);
  wchar_t tempDirectory[kPathCapacity];
  DWORD length = GetTempPathW(kPathCapacity, tempDirectory);
  // A longer temporary path is not filled in at all: treat it as unavailable.
  if (length == 0 || length >= kPathCapacity) return Outcome::NoTempDirectory;

  ProtectedSecurity protection;
  SECURITY_ATTRIBUTES* security = nullptr;
  if (IsProcessElevated()) {
    if (!protection.Build()) return Outcome::Failed;
    security = protection.attributes();
  }
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    if (attempt > 0) {
      const int first = rand(), second = rand(), third = rand();
      FormatArchiveName(archiveName_, kArchiveNameChars, first, second, third);
    }
    bool taken = false;
    if (CreateAt(tempDirectory, archiveName_, security, &taken)) return Outcome::Created;
    if (!taken) return Outcome::Failed;
  }
  return Outcome::Failed;
}

bool TempWorkspace::CreateAt(const wchar_t* tempDirectory, const wchar_t* name,
                             SECURITY_ATTRIBUTES* security, bool* taken) {
  *taken = false;
  size_t pathLength = TextLength(tempDirectory) + TextLength(name);
  CopyText(archivePath_, kPathCapacity, tempDirectory);
  AppendText(archivePath_, kPathCapacity, name);
  ArchiveBasePath(archivePath_, basePath_, kPathCapacity);
  // Never work on a cut path; the directory's form with its "\" must fit too.
  if (pathLength >= kPathCapacity) return false;
  FormatText(extractionDirectory_, kPathCapacity, L"%s\\", basePath_);

  // CREATE_NEW fails on anything already at the name, a dangling link
  // included, and this handle is the only way anyone writes to the archive.
  FileHandle archive(CreateFileW(archivePath_, GENERIC_READ | GENERIC_WRITE | DELETE,
                                 FILE_SHARE_READ, security, CREATE_NEW,
                                 FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!archive.valid()) {
    DWORD error = GetLastError();
    *taken = error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS ||
             GetFileAttributesW(archivePath_) != INVALID_FILE_ATTRIBUTES;
    return false;
  }
  BY_HANDLE_FILE_INFORMATION archiveInformation;
  if (!GetFileInformationByHandle(archive.get(), &archiveInformation) ||
      !IsPlainFile(archiveInformation)) {
    *taken = true;  // not what CREATE_NEW makes: leave it be
    return false;
  }
  FileHandle directory = CreateFreshDirectory(basePath_, security, taken);
  if (!directory.valid()) {
    MarkForDeletion(archive.get());  // ours: goes when the handle closes
    return false;
  }
  archiveIdentity_ = IdentityFrom(archiveInformation);
  directoryIdentity_ = IdentityOf(directory.get());
  archive_ = static_cast<FileHandle&&>(archive);
  directory_ = static_cast<FileHandle&&>(directory);
  archiveLeft_ = directoryLeft_ = true;
  return true;
}

void TempWorkspace::DropWriteAccess() {
  // Our write and delete access must go before anyone may open the archive
  // sharing only reading. The new handles are had from ours, never by name;
  // the first must share what ours holds, for the moment both are open.
  FileHandle shared(ReOpenFile(archive_.get(), GENERIC_READ,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 0));
  if (!shared.valid()) return;
  archive_ = static_cast<FileHandle&&>(shared);
  FileHandle readOnly(ReOpenFile(archive_.get(), GENERIC_READ, FILE_SHARE_READ, 0));
  if (readOnly.valid()) archive_ = static_cast<FileHandle&&>(readOnly);
}

bool TempWorkspace::RemoveOnce(RemovalFailures* failures) {
  if (directoryLeft_ && EmptyDirectoryTree(extractionDirectory_, failures)) {
    directory_.reset();  // our pin denies the deletion itself
    if (DeleteIfSame(basePath_, directoryIdentity_, true, failures)) directoryLeft_ = false;
  }
  if (archiveLeft_) {
    archive_.reset();
    if (DeleteIfSame(archivePath_, archiveIdentity_, false, failures)) archiveLeft_ = false;
  }
  return !archiveLeft_ && !directoryLeft_;
}

void TempWorkspace::Remove() {
  if (!archiveLeft_ && !directoryLeft_) return;
  DWORD start = GetTickCount();
  RemovalFailures failures;
  for (;;) {
    failures.Clear();
    if (RemoveOnce(&failures)) return;
    if (!failures.onlyInUse || GetTickCount() - start + kRemovalPauseMs > kRemovalWindowMs) break;
    Sleep(kRemovalPauseMs);
  }
  LogRemovalFailures(failures);
  archiveLeft_ = directoryLeft_ = false;  // reported once; what stays is the user's to see
}
