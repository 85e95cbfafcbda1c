// A stand-in setup.exe for the end-to-end tests. It writes down what it
// received to the file named by VEXLODE_RECORD: its command line, current
// directory, the files beside it (size, attributes, last-write time, CRC-32)
// and the temporary archive's size and CRC-32. VEXLODE_RECORD_EXIT sets its
// exit code; VEXLODE_RECORD_LITTER=1 leaves read-only, hidden and system
// files behind, as untidy installers do; VEXLODE_RECORD_LINK plants a link
// to that Unix path in its own folder; VEXLODE_RECORD_LOAD loads that DLL by
// bare name, so one planted beside it would run; VEXLODE_RECORD_PROBE=1 tries
// to move, delete or write its folder, archive and image and records each
// result; VEXLODE_RECORD_HOLD=<ms> leaves a detached helper holding one
// extracted file (VEXLODE_RECORD_HOLD_FILE, or the first beside it) unshared
// for that long, and returns at once; VEXLODE_RECORD_WAIT=<path> waits (at
// most a minute) until that file exists before it ends;
// VEXLODE_RECORD_TEMP_LOG=1 leaves a log in its %TEMP%, as installers do.
// It records the variables a caller could set to load code into it, and
// those the run sets for it, whether its token is elevated and, with
// VEXLODE_RECORD_WINDOW=<title>, whether a window of that title is up as it
// starts.
#include <windows.h>
#include <zlib.h>

#include "tests/support/test_files.h"

#include <cstdio>
#include <string>

namespace {

bool Elevated() {
  HANDLE token = nullptr;
  TOKEN_ELEVATION elevation = {};
  DWORD size = 0;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size);
  CloseHandle(token);
  return elevation.TokenIsElevated != 0;
}

// Looked up at run time: the other tests' setup.exe loads no user32.
bool WindowShown(const std::wstring& title) {
  using FindWindowFunction = HWND(WINAPI*)(const wchar_t*, const wchar_t*);
  HMODULE user = LoadLibraryW(L"user32.dll");
  auto find = user ? reinterpret_cast<FindWindowFunction>(reinterpret_cast<void*>(GetProcAddress(user, "FindWindowW")))
                   : nullptr;
  return find && find(nullptr, title.c_str()) != nullptr;
}

std::wstring Environment(const wchar_t* name) {
  wchar_t value[1024];
  DWORD length = GetEnvironmentVariableW(name, value, 1024);
  return length && length < 1024 ? std::wstring(value, length) : std::wstring();
}

// The run holds the temporary archive for writing and deleting: a reader
// must share both.
bool Checksum(const std::wstring& path, unsigned long long* size, unsigned long* crc) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  static unsigned char chunk[1 << 16];
  DWORD got = 0;
  *size = 0;
  *crc = crc32(0, nullptr, 0);
  while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got) {
    *crc = crc32(*crc, chunk, got);
    *size += got;
  }
  CloseHandle(file);
  return true;
}

void ListTree(FILE* out, const std::wstring& directory, const std::wstring& prefix) {
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW((directory + L"\\*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    std::wstring name = data.cFileName;
    if (name == L"." || name == L"..") continue;
    std::wstring path = directory + L"\\" + name;
    unsigned long long write =
        (static_cast<unsigned long long>(data.ftLastWriteTime.dwHighDateTime) << 32) |
        data.ftLastWriteTime.dwLowDateTime;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      fprintf(out, "dir\t%s\t%lx\n", Narrow(prefix + name).c_str(), data.dwFileAttributes);
      ListTree(out, path, prefix + name + L"/");
    } else {
      unsigned long long size = 0;
      unsigned long crc = 0;
      Checksum(path, &size, &crc);
      fprintf(out, "file\t%s\t%llu\t%lx\t%llu\t%08lx\n", Narrow(prefix + name).c_str(), size,
              data.dwFileAttributes, write, crc);
    }
  } while (FindNextFileW(find, &data));
  FindClose(find);
}

void Litter(const std::wstring& directory) {
  struct Item { const wchar_t* name; DWORD attributes; };
  const Item items[] = {{L"installed.log", FILE_ATTRIBUTE_READONLY},
                        {L"state.dat", FILE_ATTRIBUTE_HIDDEN},
                        {L"lock.sys", FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_READONLY}};
  CreateDirectoryW((directory + L"\\leftover").c_str(), nullptr);
  for (const Item& item : items) {
    std::wstring path = directory + L"\\leftover\\" + item.name;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, item.attributes,
                              nullptr);
    if (file != INVALID_HANDLE_VALUE) {
      DWORD written = 0;
      WriteFile(file, "x", 1, &written, nullptr);
      CloseHandle(file);
    }
    SetFileAttributesW(path.c_str(), item.attributes);
  }
}

void AppendRecord(const std::wstring& recordPath, const std::string& line) {
  if (FILE* out = _wfopen(recordPath.c_str(), L"ab")) {
    fprintf(out, "%s\n", line.c_str());
    fclose(out);
  }
}

// "ok" or the Win32 error of the call just made.
std::string Outcome(BOOL ok) { return ok ? "ok" : std::to_string(GetLastError()); }

BOOL OpenProbe(const std::wstring& path, DWORD access) {
  HANDLE file = CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return FALSE;
  CloseHandle(file);
  return TRUE;
}

// What any process could try against the run while the installer runs.
// Whatever succeeds is put back, so that the run can go on.
void Probe(const std::wstring& recordPath, const std::wstring& directory, const std::wstring& self) {
  auto note = [&](const char* name, BOOL ok) {
    std::string outcome = Outcome(ok);
    AppendRecord(recordPath, std::string("probe\t") + name + "\t" + outcome);
  };
  std::wstring moved = directory + L".probe", archive = directory + L".zip";
  BOOL ok = MoveFileW(directory.c_str(), moved.c_str());
  note("rename_directory", ok);
  if (ok) MoveFileW(moved.c_str(), directory.c_str());
  note("delete_directory", RemoveDirectoryW(directory.c_str()));
  note("write_archive", OpenProbe(archive, GENERIC_WRITE));
  note("delete_archive", OpenProbe(archive, DELETE));
  note("write_image", OpenProbe(self, GENERIC_WRITE));
  ok = MoveFileW(self.c_str(), (self + L".probe").c_str());
  note("rename_image", ok);
  if (ok) MoveFileW((self + L".probe").c_str(), self.c_str());
  note("delete_image", DeleteFileW(self.c_str()));
}

const wchar_t kHoldEvent[] = L"vexlode_record_hold";

// The helper: holds the file unshared, tells the recorder, waits, exits.
int Hold(const std::wstring& path, int milliseconds) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 1;
  if (HANDLE held = OpenEventW(EVENT_MODIFY_STATE, FALSE, kHoldEvent)) {
    SetEvent(held);
    CloseHandle(held);
  }
  Sleep(milliseconds);
  CloseHandle(file);
  return 0;
}

// Starts the helper detached, sharing no handle (so no pipe of the run), and
// returns once it holds the file.
void StartHolder(const std::wstring& recordPath, const std::wstring& directory, const std::wstring& self) {
  std::wstring name = Environment(L"VEXLODE_RECORD_HOLD_FILE");
  WIN32_FIND_DATAW data;
  HANDLE find = name.empty() ? FindFirstFileW((directory + L"\\*").c_str(), &data) : INVALID_HANDLE_VALUE;
  if (find != INVALID_HANDLE_VALUE) {
    do {
      if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && directory + L"\\" + data.cFileName != self) {
        name = data.cFileName;
        break;
      }
    } while (FindNextFileW(find, &data));
    FindClose(find);
  }
  std::wstring path = directory + L"\\" + name;
  HANDLE held = CreateEventW(nullptr, TRUE, FALSE, kHoldEvent);
  SetEnvironmentVariableW(L"VEXLODE_RECORD_HOLDER", path.c_str());
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  // The helper may be another copy (VEXLODE_RECORD_HOLD_EXE), so that only
  // the held file, not the running image too, is in use afterwards.
  std::wstring helper = Environment(L"VEXLODE_RECORD_HOLD_EXE");
  if (helper.empty()) helper = self;
  BOOL ok = CreateProcessW(helper.c_str(), nullptr, nullptr, nullptr, FALSE, DETACHED_PROCESS, nullptr, nullptr,
                           &startup, &process);
  if (ok) {
    HANDLE both[] = {held, process.hProcess};
    ok = WaitForMultipleObjects(2, both, FALSE, 10000) == WAIT_OBJECT_0;
    if (!ok) SetLastError(ERROR_TIMEOUT);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
  std::string outcome = Outcome(ok);
  AppendRecord(recordPath, "hold\t" + Narrow(name) + "\t" + outcome);
  CloseHandle(held);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  std::wstring holder = Environment(L"VEXLODE_RECORD_HOLDER");
  if (!holder.empty()) return Hold(holder, _wtoi(Environment(L"VEXLODE_RECORD_HOLD").c_str()));
  std::wstring recordPath = Environment(L"VEXLODE_RECORD");
  wchar_t self[MAX_PATH] = {}, current[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  GetCurrentDirectoryW(MAX_PATH, current);
  std::wstring directory = self;
  directory = directory.substr(0, directory.find_last_of(L'\\'));

  if (!recordPath.empty()) {
    FILE* out = _wfopen(recordPath.c_str(), L"wb");
    if (out) {
      fprintf(out, "cmdline\t%s\n", Narrow(GetCommandLineW()).c_str());
      fprintf(out, "cwd\t%s\n", Narrow(current).c_str());
      fprintf(out, "self\t%s\n", Narrow(self).c_str());
      for (const wchar_t* name : {L"COR_ENABLE_PROFILING", L"COR_PROFILER", L"CORECLR_PROFILER_PATH_64",
                                  L"DOTNET_STARTUP_HOOKS", L"NoDefaultCurrentDirectoryInExePath", L"TEMP", L"TMP"}) {
        wchar_t value[1024];
        DWORD length = GetEnvironmentVariableW(name, value, 1024);
        fprintf(out, "env:%s\t%s\n", Narrow(name).c_str(),
                length && length < 1024 ? Narrow(value).c_str() : "(absent)");
      }
      fprintf(out, "elevated\t%d\n", Elevated() ? 1 : 0);
      std::wstring window = Environment(L"VEXLODE_RECORD_WINDOW");
      if (!window.empty()) fprintf(out, "window\t%d\n", WindowShown(window) ? 1 : 0);
      unsigned long long size = 0;
      unsigned long crc = 0;
      if (Checksum(directory + L".zip", &size, &crc))
        fprintf(out, "archive\t%s\t%llu\t%08lx\n", Narrow(directory + L".zip").c_str(), size, crc);
      ListTree(out, directory, L"");
      fclose(out);
    }
  }
  if (Environment(L"VEXLODE_RECORD_LITTER") == L"1") Litter(directory);
  if (Environment(L"VEXLODE_RECORD_TEMP_LOG") == L"1" && !recordPath.empty()) {
    FILE* log = _wfopen((Environment(L"TEMP") + L"\\installer_record.log").c_str(), L"wb");
    AppendRecord(recordPath, std::string("templog\t") + (log ? "ok" : "failed"));
    if (log) fclose(log);
  }
  // A link inside its own folder, as a hostile installer or another process
  // could plant; the target is given as a Unix path (Z: is the Unix root).
  std::wstring linkTarget = Environment(L"VEXLODE_RECORD_LINK");
  if (!linkTarget.empty() && !recordPath.empty()) {
    bool planted = PlantSymbolicLink(L"Z:" + linkTarget, directory + L"\\planted_link");
    if (FILE* out = _wfopen(recordPath.c_str(), L"ab")) {
      fprintf(out, "link\t%d\n", planted ? 1 : 0);
      fclose(out);
    }
  }
  std::wstring library = Environment(L"VEXLODE_RECORD_LOAD");
  if (!library.empty() && !recordPath.empty()) {
    std::string outcome = Outcome(LoadLibraryW(library.c_str()) != nullptr);
    AppendRecord(recordPath, "load\t" + Narrow(library) + "\t" + outcome);
  }
  if (Environment(L"VEXLODE_RECORD_PROBE") == L"1" && !recordPath.empty()) Probe(recordPath, directory, self);
  if (!Environment(L"VEXLODE_RECORD_HOLD").empty() && !recordPath.empty())
    StartHolder(recordPath, directory, self);
  std::wstring go = Environment(L"VEXLODE_RECORD_WAIT");
  for (int i = 0; !go.empty() && i < 6000 && GetFileAttributesW(go.c_str()) == INVALID_FILE_ATTRIBUTES; ++i)
    Sleep(10);
  std::wstring exitCode = Environment(L"VEXLODE_RECORD_EXIT");
  return exitCode.empty() ? 0 : _wtoi(exitCode.c_str());
}
