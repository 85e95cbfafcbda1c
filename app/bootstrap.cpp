#include "app/bootstrap.h"

#include <windows.h>
#include <stdlib.h>

#include "app/checkout.h"
#include "app/failure_log.h"
#include "app/install_run.h"
#include "app/payload.h"
#include "common/handle.h"
#include "common/text.h"
#include "log/log.h"

int RunBootstrap() {
  wchar_t modulePath[MAX_PATH + 1] = {};
  GetModuleFileNameW(nullptr, modulePath, MAX_PATH);

  FileHandle ownFile(CreateFileW(modulePath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!ownFile.valid()) {
    LogError(L"setup", L"打开文件[%s]失败", modulePath);
    return 0;
  }

  srand(GetTickCount());
  int r1 = rand();
  int r2 = rand();
  int r3 = rand();
  wchar_t archiveName[64];
  FormatArchiveName(archiveName, 64, r1, r2, r3);

  wchar_t archivePath[MAX_PATH];
  FileHandle archive(CreateTempArchive(archiveName, archivePath));
  if (!archive.valid()) {
    LogError(L"setup", L"打开文件[%s]失败", archivePath[0] ? archivePath : archiveName);
    return 0;
  }

  // The archive may have been given a fresh name (see CreateTempArchive).
  const wchar_t* createdName = archivePath + FindLast(archivePath, L'\\') + 1;
  CopyText(archiveName, 64, createdName);

  wchar_t archiveBasePath[MAX_PATH];
  ArchiveBasePath(archivePath, archiveBasePath, MAX_PATH);

  int32_t payloadOffset = FindPayloadOffset(ownFile.get());
  if (payloadOffset < 0) {
    // Without a payload offset (or with one past 2 GiB, which no image of
    // ours has) the copy would start at an arbitrary place.
    LogError(L"setup", L"no payload in [%s]", modulePath);
    archive.reset();
    DeleteFileW(archivePath);
    return 0;
  }
  SetFilePointer(ownFile.get(), payloadOffset, nullptr, FILE_BEGIN);

  DWORD copyStart = GetTickCount();
  LogCopyFailure(CopyPayload(ownFile.get(), archive.get()), archivePath);
  archive.reset();
  ownFile.reset();
  LogDebug(L"setup", L"check out file uses:%d tick.", static_cast<int>(GetTickCount() - copyStart));

  RunInstallation(archiveName, archivePath, archiveBasePath);
  return 1;
}
