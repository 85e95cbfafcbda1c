// The run's own objects in the user's temporary directory: the temporary
// archive and its extraction directory. Every process of the user can
// create, rename and delete there, and decides what %TEMP% is (it may lead
// through a link that is re-pointed at any moment), and we run elevated. So
// the temporary directory is opened once, both objects are created fresh
// below that handle (never reused), protected when the token is elevated,
// held open without delete sharing until they are removed, and from then on
// reached only through these handles, never through a path again.
#pragma once
#include <windows.h>

#include "app/payload.h"
#include "cleanup/delete_directory_tree.h"
#include "common/handle.h"
#include "common/path.h"

class TempWorkspace {
 public:
  enum class Outcome { Created, NoTempDirectory, NoPermissions, RemoteVolume, Failed };
  // Reads what the checks need of the volume the open directory is on.
  using VolumeReader = void (*)(HANDLE directory, TempVolume* volume);
  static void ReadVolume(HANDLE directory, TempVolume* volume);

  TempWorkspace() = default;
  ~TempWorkspace() { Remove(); }
  TempWorkspace(const TempWorkspace&) = delete;
  TempWorkspace& operator=(const TempWorkspace&) = delete;

  // Names the archive "vexlode_third_second_first.zip" from the run's first
  // three draws and creates it and its directory. When either name is taken
  // (by anything, a link included), nothing there is touched and fresh names
  // are drawn from the system's random source. An elevated run refuses a
  // temporary directory whose volume keeps no permissions (NoPermissions)
  // or is not shown to be local (RemoteVolume).
  // On failure nothing of ours is left.
  Outcome Create(int firstDraw, int secondDraw, int thirdDraw,
                 VolumeReader readVolume = ReadVolume);

  // Read and write access for the whole run; nobody else may write, rename
  // or delete it, so a reader must share writing and deleting.
  HANDLE archive() const { return archive_.get(); }
  // The extraction directory itself, for opens relative to it; nobody else
  // may rename or delete it.
  HANDLE directory() const { return directory_.get(); }

  // The names, for log lines: what they were when created, through %TEMP%.
  const wchar_t* tempDirectory() const { return tempDirectory_; }  // ends in "\"
  const wchar_t* archiveName() const { return archiveName_; }
  const wchar_t* archivePath() const { return archivePath_; }
  const wchar_t* basePath() const { return basePath_; }
  const wchar_t* extractionDirectory() const { return extractionDirectory_; }  // ends in "\"

  // A folder of the installer's own for TEMP and TMP, made as the others
  // (below the same %TEMP% handle, protected alike, held until removed):
  // the extraction directory's name with "_temp", or a fresh name when that
  // is taken. False when it cannot be made.
  bool CreateInstallerTemp();
  // Its final path, read from its handle (no link in it), for the
  // installer's environment; empty until it was made.
  const wchar_t* installerTemp() const { return installerTempFinal_; }

  // Removes the extraction tree, the installer's TEMP and the archive through the handles: what is
  // in use is retried for about two seconds; what stays is named in one ERR
  // line. Nothing is ever removed by name.
  void Remove();

 private:
  bool CreateAt(HANDLE temp, SECURITY_ATTRIBUTES* security, bool* taken);
  static bool RemoveDirectoryOnce(FileHandle& directory, const FileHandle& anchor, const wchar_t* path,
                                  RemovalFailures* failures);
  bool RemoveOnce(RemovalFailures* failures);

  FileHandle archive_;
  FileHandle directory_;  // the pin on the extraction directory
  // The same directory, with no access that takes part in sharing: it opens
  // the directory again for its deletion without a name.
  FileHandle anchor_;
  // %TEMP% as opened once, for the installer's TEMP made after the others.
  FileHandle temp_;
  bool protected_ = false;  // our objects carry the protective descriptor
  // The installer's TEMP: pin and anchor as for the extraction directory.
  FileHandle installerTemp_;
  FileHandle installerTempAnchor_;
  bool archiveLeft_ = false;    // created and not yet removed
  bool directoryLeft_ = false;
  bool installerTempLeft_ = false;
  wchar_t installerTempPath_[kPathCapacity] = {};   // for log lines
  wchar_t installerTempFinal_[kPathCapacity] = {};
  wchar_t tempDirectory_[kPathCapacity] = {};
  wchar_t archiveName_[kArchiveNameChars] = {};
  wchar_t archivePath_[kPathCapacity] = {};
  wchar_t basePath_[kPathCapacity] = {};
  wchar_t extractionDirectory_[kPathCapacity] = {};
};
