#include "app/bootstrap.h"

#include <windows.h>
#include <stdlib.h>

#include "app/checkout.h"
#include "app/exit_code.h"
#include "app/failure_log.h"
#include "app/install_run.h"
#include "app/payload.h"
#include "app/progress_window.h"
#include "app/seal_record.h"
#include "app/temp_workspace.h"
#include "common/handle.h"
#include "common/path.h"
#include "common/text.h"
#include "log/log.h"

int RunBootstrap() {
  // From the mapped image, so that even a run that cannot open its own file
  // knows which exit codes its publisher chose.
  PayloadSeal seal = {};
  const SealState sealState = ReadOwnSeal(&seal);
  const int failed = ChooseExitCode(seal.options, false, InstallerResult());

  wchar_t modulePath[kPathCapacity + 1] = {};
  const DWORD modulePathLength = GetModuleFileNameW(nullptr, modulePath, kPathCapacity);
  // A truncated path would name some other file, which we must not take
  // for our own.
  const bool wholePath = modulePathLength != 0 && modulePathLength < kPathCapacity;

  FileHandle ownFile;
  if (wholePath)
    ownFile.reset(CreateFileW(modulePath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!ownFile.valid()) {
    LogError(L"setup", L"打开文件[%s]失败", modulePath);
    return failed;
  }

  srand(GetTickCount());
  // The name takes the draws in reverse order: "vexlode_third_second_first.zip".
  const int firstDraw = rand();
  const int secondDraw = rand();
  const int thirdDraw = rand();
  TempWorkspace workspace;
  const TempWorkspace::Outcome created = workspace.Create(firstDraw, secondDraw, thirdDraw);
  if (created == TempWorkspace::Outcome::NoPermissions) {
    LogError(L"setup", L"temporary directory [%s] keeps no permissions (FAT or "
             L"exFAT), so nothing there could be protected: nothing created", workspace.tempDirectory());
    return failed;
  }
  if (created == TempWorkspace::Outcome::RemoteVolume) {
    LogError(L"setup", L"temporary directory [%s] is on a network volume (or one not shown to be "
             L"local), where the server, not this machine, decides who may change what we create: "
             L"nothing created", workspace.tempDirectory());
    return failed;
  }
  if (created != TempWorkspace::Outcome::Created) {
    const wchar_t* path = workspace.archivePath();
    LogError(L"setup", L"打开文件[%s]失败", path[0] ? path : workspace.archiveName());
    return failed;
  }

  int32_t payloadOffset = FindPayloadOffset(ownFile.get());
  if (payloadOffset < 0) {
    // Without a payload offset (or with one past 2 GiB, which no image of
    // ours has) the copy would start at an arbitrary place.
    LogError(L"setup", L"no payload in [%s]", modulePath);
    return failed;  // the workspace removes itself
  }
  SetFilePointer(ownFile.get(), payloadOffset, nullptr, FILE_BEGIN);

  DWORD copyStart = GetTickCount();
  // Gone before the workspace, on every way out.
  ProgressWindow progress;
  const bool showProgress = sealState == SealState::Present && (seal.options & kSealOptionProgress);
  if (showProgress) progress.Begin(seal.archiveSize + seal.extractedSize);
  PeLayout ownHeaders = {};
  const SealPlan plan = PlanPayloadCheck(sealState, ScanOwnHeaders(&ownHeaders));
  if (plan == SealPlan::TakeAsIs) {
    // A plainly concatenated installer: the file's tail is taken as it is.
    LogCopyFailure(CopyPayload(ownFile.get(), workspace.archive()), workspace.archivePath());
  } else {
    // The file may no longer be the one that was started: only an archive
    // that matches the seal in our mapped image goes any further.
    CopyOutcome outcome;
    const SealVerdict verdict =
        plan == SealPlan::Refuse
            ? SealVerdict::BadRecord
            : CopySealedPayload(ownFile.get(), workspace.archive(), static_cast<uint32_t>(payloadOffset),
                                seal, ownHeaders, &outcome, showProgress ? &progress : nullptr);
    if (outcome.error) {
      LogCopyFailure(outcome, workspace.archivePath());
      return failed;
    }
    if (verdict != SealVerdict::Intact) {
      LogSealFailure(modulePath, verdict);
      return failed;  // the workspace removes itself
    }
  }
  ownFile.reset();
  LogDebug(L"setup", L"check out file uses:%d tick.", static_cast<int>(GetTickCount() - copyStart));

  return ChooseExitCode(seal.options, true, RunInstallation(workspace, seal.options, showProgress ? &progress : nullptr));
}
