// A stand-in setup.exe for the end-to-end tests. It writes down what it
// received to the file named by VEXLODE_RECORD: its command line, current
// directory, the files beside it (size, attributes, last-write time, CRC-32)
// and the temporary archive's size and CRC-32. VEXLODE_RECORD_EXIT sets its
// exit code; VEXLODE_RECORD_LITTER=1 leaves read-only, hidden and system
// files behind, as untidy installers do; VEXLODE_RECORD_LINK plants a link
// to that Unix path in its own folder.
#include <windows.h>
#include <zlib.h>

#include "tests/support/test_files.h"

#include <cstdio>
#include <string>

namespace {

std::wstring Environment(const wchar_t* name) {
  wchar_t value[1024];
  DWORD length = GetEnvironmentVariableW(name, value, 1024);
  return length && length < 1024 ? std::wstring(value, length) : std::wstring();
}

bool Checksum(const std::wstring& path, unsigned long long* size, unsigned long* crc) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
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

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
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
      unsigned long long size = 0;
      unsigned long crc = 0;
      if (Checksum(directory + L".zip", &size, &crc))
        fprintf(out, "archive\t%s\t%llu\t%08lx\n", Narrow(directory + L".zip").c_str(), size, crc);
      ListTree(out, directory, L"");
      fclose(out);
    }
  }
  if (Environment(L"VEXLODE_RECORD_LITTER") == L"1") Litter(directory);
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
  std::wstring exitCode = Environment(L"VEXLODE_RECORD_EXIT");
  return exitCode.empty() ? 0 : _wtoi(exitCode.c_str());
}
