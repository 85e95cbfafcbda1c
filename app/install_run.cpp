#include "app/install_run.h"

#include <windows.h>

#include "app/failure_log.h"
#include "cleanup/delete_directory_tree.h"
#include "common/containers.h"
#include "launch/command_line_args.h"
#include "launch/run_and_wait.h"
#include "log/log.h"
#include "unzip/extract.h"

void RunInstallation(const wchar_t* archiveName, const wchar_t* archivePath,
                     const wchar_t* archiveBasePath) {
  WideString extractionDirectory(archiveBasePath);
  extractionDirectory.Append(L'\\');

  Array<int32_t> failedEntries;
  Array<FailedEntry> failures;
  DWORD extractStart = GetTickCount();
  bool extracted = ExtractArchive(extractionDirectory.c_str(), &failedEntries, archivePath, &failures);
  LogDebug(L"setup", L"UnZip(%s,%s,%d) uses:%d", archiveName, extractionDirectory.c_str(),
           extracted ? 1 : 0, static_cast<int>(GetTickCount() - extractStart));
  LogFailedEntries(failures);

  CommandLineArgs arguments;
  arguments.AddParentPath(arguments.programPath.c_str());

  WideString installerPath(archiveBasePath);
  installerPath.Append(L"\\setup.exe");
  WideString commandLine = arguments.BuildCommandLine();
  RunAndWait(installerPath.c_str(), commandLine.data());

  DeleteDirectoryTree(extractionDirectory.c_str(), 1, 0);
  DeleteFileW(archivePath);
}
