#include "app/install_run.h"

#include <windows.h>

#include "app/failure_log.h"
#include "app/foreign_entries.h"
#include "app/payload_seal.h"
#include "app/progress_window.h"
#include "app/temp_workspace.h"
#include "common/containers.h"
#include "common/path.h"
#include "launch/command_line_args.h"
#include "launch/run_and_wait.h"
#include "log/log.h"
#include "unzip/extract.h"

InstallerResult RunInstallation(TempWorkspace& workspace, uint32_t sealOptions, ProgressWindow* progress) {
  const wchar_t* extractionDirectory = workspace.extractionDirectory();

  Array<int32_t> failedEntries;
  Array<FailedEntry> failures;
  ExtractionRecord record;
  DWORD extractStart = GetTickCount();
  bool extracted = ExtractArchiveInto(workspace.archive(), workspace.directory(), extractionDirectory,
                                      failedEntries, L"setup.exe", &record, &failures, progress);
  LogDebug(L"setup", L"UnZip(%s,%s,%d) uses:%d", workspace.archiveName(), extractionDirectory,
           extracted ? 1 : 0, static_cast<int>(GetTickCount() - extractStart));
  LogFailedEntries(failures);

  CommandLineArgs arguments;
  arguments.AddParentPath(arguments.programPath.c_str());

  WideString installerPath(workspace.basePath());
  installerPath.Append(L"\\setup.exe");
  WideString commandLine = arguments.BuildCommandLine();
  // Whatever the installer would load from its folder must be ours too.
  wchar_t foreign[kPathCapacity];
  bool foundForeign = FindForeignEntry(workspace.directory(), extractionDirectory, record.created, foreign);
  // The installer's own windows come next; ours must not linger over them.
  if (progress) progress->Close();
  InstallerResult installer;
  const bool privateTemp = (sealOptions & kSealOptionPrivateInstallerTemp) != 0;
  if (privateTemp && !workspace.CreateInstallerTemp()) {
    // The publisher chose a TEMP nobody else can write; the user's is no stand-in.
    LogError(L"setup", L"[%s] not started: no TEMP of its own", installerPath.c_str());
    installer.exitCode = LogInstallerResult(0xFFFFFFFF);
    workspace.Remove();
    return installer;
  }
  installer.exitCode =
      RunExtractedAndWait(workspace.directory(), L"setup.exe", installerPath.c_str(), commandLine.data(),
                          record.installerWritten ? &record.installerDigest : nullptr,
                          foundForeign ? foreign : nullptr,
                          (sealOptions & kSealOptionPackageWorkingDirectory) != 0,
                          privateTemp ? workspace.installerTemp() : nullptr, &installer.started);

  workspace.Remove();
  return installer;
}
