// The run's own objects in the user's temporary directory: the temporary
// archive and its extraction directory. Every process of the user can
// create, rename and delete there, and we run elevated, so both are created
// fresh by this run (never reused), protected when the token is elevated,
// held open without delete sharing from creation to removal, and removed
// only through what was created.
#pragma once
#include <windows.h>

#include "app/payload.h"
#include "cleanup/delete_directory_tree.h"
#include "common/handle.h"
#include "common/path.h"

// Which file-system object a handle was opened on.
struct FileIdentity {
  DWORD volume = 0;
  DWORD indexHigh = 0;
  DWORD indexLow = 0;
  bool known = false;
};

class TempWorkspace {
 public:
  enum class Outcome { Created, NoTempDirectory, Failed };

  TempWorkspace() = default;
  ~TempWorkspace() { Remove(); }
  TempWorkspace(const TempWorkspace&) = delete;
  TempWorkspace& operator=(const TempWorkspace&) = delete;

  // Names the archive "vexlode_third_second_first.zip" from the run's first three
  // draws and creates it and its directory. When either name is taken (by
  // anything, a link included), nothing there is touched and fresh names are
  // drawn with rand(). On failure nothing of ours is left.
  Outcome Create(int firstDraw, int secondDraw, int thirdDraw);

  // Until DropWriteAccess: read and write access, and nobody else may write or delete.
  HANDLE archive() const { return archive_.get(); }
  // Trades the write access for read access only, so that the installer can
  // open the archive for reading while sharing only reading; writing and
  // deleting stay denied to everyone else.
  void DropWriteAccess();

  const wchar_t* archiveName() const { return archiveName_; }
  const wchar_t* archivePath() const { return archivePath_; }
  const wchar_t* basePath() const { return basePath_; }
  const wchar_t* extractionDirectory() const { return extractionDirectory_; }  // ends in "\"

  // Removes the extraction tree and the archive: what is in use is retried
  // for about two seconds; what stays is named in one ERR line. Nothing
  // that was swapped in at our names is removed.
  void Remove();

 private:
  bool CreateAt(const wchar_t* tempDirectory, const wchar_t* name, SECURITY_ATTRIBUTES* security,
                bool* taken);
  bool RemoveOnce(RemovalFailures* failures);

  FileHandle archive_;
  FileHandle directory_;  // the pin on the extraction directory
  FileIdentity archiveIdentity_;
  FileIdentity directoryIdentity_;
  bool archiveLeft_ = false;    // created and not yet removed
  bool directoryLeft_ = false;
  wchar_t archiveName_[kArchiveNameChars] = {};
  wchar_t archivePath_[kPathCapacity] = {};
  wchar_t basePath_[kPathCapacity] = {};
  wchar_t extractionDirectory_[kPathCapacity] = {};
};
