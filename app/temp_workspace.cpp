#include "app/temp_workspace.h"

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
constexpr size_t kZipExtensionLength = 4;  // ".zip"

// The names after the first: a same-user process that takes the names the
// coming tick counts give cannot take these. advapi32 is mapped from System32
// only here: imported, its RtlGenRandom would be a forwarder the loader
// resolves, beside the installer too, before our first line runs.
bool DrawFreshName(wchar_t (&name)[kArchiveNameChars]) {
  using RandomFunction = BOOLEAN(WINAPI*)(PVOID, ULONG);
  LibraryHandle advapi(LoadLibraryExW(L"advapi32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
  if (!advapi.valid()) return false;
  auto random = reinterpret_cast<RandomFunction>(
      reinterpret_cast<void*>(GetProcAddress(advapi.get(), "SystemFunction036")));
  uint8_t bytes[6];
  if (!random || !random(bytes, sizeof bytes)) return false;
  int draws[3];
  DrawsFromRandomBytes(bytes, draws);
  FormatArchiveName(name, kArchiveNameChars, draws[0], draws[1], draws[2]);
  return true;
}

// Creates the folder `name` below `temp` and pins it: created and opened in
// one step, so the handle is on the folder we made. It denies deletion and
// renaming to everyone while it is held, without holding DELETE itself: that
// would keep every process from opening the folder without delete sharing,
// the installer's current directory included. `anchor` is a second handle
// with no access that takes part in sharing, to open the folder again for
// its deletion without a name. When the anchor cannot be had, the empty
// folder stays: without it, it could only be deleted by name.
bool CreatePinnedDirectory(HANDLE temp, const wchar_t* name, size_t nameLength, void* descriptor,
                           FileHandle* directory, FileHandle* anchor, LONG* status) {
  FileHandle made = NtOpenFile(temp, name, nameLength, FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, kNtCreate,
                               kNtDirectoryFile | kNtOpenReparsePoint, descriptor, status);
  if (!made.valid()) return false;
  FileHandle second = NtOpenFile(made.get(), L"", 0, FILE_READ_ATTRIBUTES, kShareAll, kNtOpen, kNtDirectoryFile);
  if (!second.valid()) return false;
  *directory = static_cast<FileHandle&&>(made);
  *anchor = static_cast<FileHandle&&>(second);
  return true;
}

}  // namespace

void TempWorkspace::ReadVolume(HANDLE directory, TempVolume* volume) {
  DWORD flags = 0;
  volume->flagsRead =
      GetVolumeInformationByHandleW(directory, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0) !=
      FALSE;
  volume->flags = flags;
  volume->deviceRead = ReadVolumeDevice(directory, &volume->deviceType, &volume->characteristics);
}

TempWorkspace::Outcome TempWorkspace::Create(int firstDraw, int secondDraw, int thirdDraw,
                                             VolumeReader readVolume) {
  FormatArchiveName(archiveName_, kArchiveNameChars, firstDraw, secondDraw, thirdDraw);
  DWORD length = GetTempPathW(kPathCapacity, tempDirectory_);
  // A longer temporary path is not filled in at all: treat it as unavailable.
  if (length == 0 || length >= kPathCapacity) {
    tempDirectory_[0] = 0;
    return Outcome::NoTempDirectory;
  }
  JoinPath(archivePath_, kPathCapacity, tempDirectory_, archiveName_, TextLength(archiveName_), L"");

  // The one time %TEMP% is resolved: whatever it leads through now, the run
  // stays below this handle.
  FileHandle temp = NtOpenFile(nullptr, tempDirectory_, length, FILE_TRAVERSE | FILE_READ_ATTRIBUTES,
                               kShareAll, kNtOpen, kNtDirectoryFile);
  if (!temp.valid()) return Outcome::Failed;
  ProtectedSecurity protection;
  SECURITY_ATTRIBUTES* security = nullptr;
  if (IsProcessElevated()) {
    TempVolume volume;
    readVolume(temp.get(), &volume);
    switch (JudgeTempVolume(true, volume)) {
      case TempVolumeUse::kRemote: return Outcome::RemoteVolume;
      case TempVolumeUse::kNoPermissions: return Outcome::NoPermissions;
      case TempVolumeUse::kUsable: break;
    }
    if (!protection.Build()) return Outcome::Failed;
    security = protection.attributes();
  }
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    if (attempt > 0 && !DrawFreshName(archiveName_)) return Outcome::Failed;
    bool taken = false;
    if (CreateAt(temp.get(), security, &taken)) {
      temp_ = static_cast<FileHandle&&>(temp);
      protected_ = security != nullptr;
      return Outcome::Created;
    }
    if (!taken) return Outcome::Failed;
  }
  return Outcome::Failed;
}

bool TempWorkspace::CreateAt(HANDLE temp, SECURITY_ATTRIBUTES* security, bool* taken) {
  *taken = false;
  const size_t nameLength = TextLength(archiveName_);
  const size_t baseNameLength = nameLength - kZipExtensionLength;
  // Never work on a cut path: the log lines name them; the directory's form
  // with its "\" must fit too.
  if (!JoinPath(archivePath_, kPathCapacity, tempDirectory_, archiveName_, nameLength, L"") ||
      !JoinPath(extractionDirectory_, kPathCapacity, tempDirectory_, archiveName_, baseNameLength,
                L"\\"))
    return false;
  ArchiveBasePath(archivePath_, basePath_, kPathCapacity);

  // FILE_CREATE fails on anything already at the name, a dangling link
  // included. This handle is the only way anyone writes to the archive, and
  // the one that deletes it at the end: it is never reopened, so there is no
  // moment in which another process could open it for deletion.
  void* descriptor = security ? security->lpSecurityDescriptor : nullptr;
  LONG status = 0;
  FileHandle archive = NtOpenFile(temp, archiveName_, nameLength,
                                  GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_READ, kNtCreate,
                                  kNtNonDirectoryFile | kNtOpenReparsePoint, descriptor, &status);
  if (!archive.valid()) {
    *taken = status == kNtStatusNameCollision;
    return false;
  }
  FileHandle directory, anchor;
  status = 0;
  if (!CreatePinnedDirectory(temp, archiveName_, baseNameLength, descriptor, &directory, &anchor, &status)) {
    *taken = status == kNtStatusNameCollision;
    MarkForDeletion(archive.get());  // ours: goes when the handle closes
    return false;
  }
  archive_ = static_cast<FileHandle&&>(archive);
  directory_ = static_cast<FileHandle&&>(directory);
  anchor_ = static_cast<FileHandle&&>(anchor);
  archiveLeft_ = directoryLeft_ = true;
  return true;
}

bool TempWorkspace::CreateInstallerTemp() {
  if (installerTempLeft_) return true;
  if (!temp_.valid()) return false;
  ProtectedSecurity protection;
  if (protected_ && !protection.Build()) return false;
  void* descriptor = protected_ ? protection.attributes()->lpSecurityDescriptor : nullptr;
  wchar_t name[kArchiveNameChars];
  CopyText(name, kArchiveNameChars, archiveName_);
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    if (attempt > 0 && !DrawFreshName(name)) return false;
    wchar_t folder[kArchiveNameChars];
    if (!JoinPath(folder, kArchiveNameChars, L"", name, TextLength(name) - kZipExtensionLength, L"_temp") ||
        !JoinPath(installerTempPath_, kPathCapacity, tempDirectory_, folder, TextLength(folder), L""))
      return false;
    LONG status = 0;
    // Held as the extraction directory is: nobody may rename or delete it.
    FileHandle directory, anchor;
    if (!CreatePinnedDirectory(temp_.get(), folder, TextLength(folder), descriptor, &directory, &anchor,
                               &status)) {
      if (status == kNtStatusNameCollision) continue;
      return false;
    }
    installerTemp_ = static_cast<FileHandle&&>(directory);
    installerTempAnchor_ = static_cast<FileHandle&&>(anchor);
    installerTempLeft_ = true;
    return ReadFinalPath(installerTemp_.get(), installerTempFinal_);
  }
  return false;
}

bool TempWorkspace::RemoveDirectoryOnce(FileHandle& directory, const FileHandle& anchor, const wchar_t* path,
                                        RemovalFailures* failures) {
  if (directory.valid()) {
    // Only what stayed in this folder counts here.
    const bool keptElsewhere = failures->keptDirectories;
    failures->keptDirectories = false;
    bool emptied = EmptyDirectoryTree(directory.get(), path, failures);
    const bool kept = failures->keptDirectories;
    failures->keptDirectories = kept || keptElsewhere;
    if (!emptied) return false;
    if (kept) {
      failures->AddEmptiedDirectory(path, ERROR_DIR_NOT_EMPTY);
      return false;
    }
    // Our pin denies the deletion to us as well. With nothing left below it,
    // it goes: only from here on could another process open the empty
    // folder for deletion too, and nothing it can do to it reaches anything
    // of ours.
    directory.reset();
  }
  FileHandle folder = NtOpenFile(anchor.get(), L"", 0,
                                 FILE_LIST_DIRECTORY | DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                                 kShareAll, kNtOpen, kNtDirectoryFile);
  if (!folder.valid()) {
    failures->AddEmptiedDirectory(path, GetLastError());
    return false;
  }
  // Whatever appeared meanwhile goes too.
  if (!EmptyDirectoryTree(folder.get(), path, failures)) return false;
  ClearAttributes(folder.get());
  if (MarkForDeletion(folder.get())) return true;
  failures->AddEmptiedDirectory(path, GetLastError());
  return false;
}

bool TempWorkspace::RemoveOnce(RemovalFailures* failures) {
  if (directoryLeft_ && RemoveDirectoryOnce(directory_, anchor_, basePath_, failures)) {
    anchor_.reset();
    directoryLeft_ = false;
  }
  if (installerTempLeft_ &&
      RemoveDirectoryOnce(installerTemp_, installerTempAnchor_, installerTempPath_, failures)) {
    installerTempAnchor_.reset();
    installerTempLeft_ = false;
  }
  if (archiveLeft_) {
    // An installer may have made it read-only; our handle may write attributes.
    ClearAttributes(archive_.get());
    if (MarkForDeletion(archive_.get())) {
      archive_.reset();
      archiveLeft_ = false;
    } else {
      failures->Add(archivePath_, GetLastError());
    }
  }
  return !archiveLeft_ && !directoryLeft_ && !installerTempLeft_;
}

void TempWorkspace::Remove() {
  if (!archiveLeft_ && !directoryLeft_ && !installerTempLeft_) return;
  DWORD start = GetTickCount();
  RemovalFailures failures;
  for (;;) {
    failures.Clear();
    if (RemoveOnce(&failures)) return;
    if (!failures.onlyInUse || GetTickCount() - start + kRemovalPauseMs > kRemovalWindowMs) break;
    Sleep(kRemovalPauseMs);
  }
  LogRemovalFailures(failures);
  // Reported once; what stays is the user's to see.
  archiveLeft_ = directoryLeft_ = installerTempLeft_ = false;
  archive_.reset();
  directory_.reset();
  anchor_.reset();
  installerTemp_.reset();
  installerTempAnchor_.reset();
}
