// The example package's installer: it installs nothing and writes down what it
// received, to C:\vexlode-example-report.txt, so a publisher can see what a
// real setup.exe would get from the bootstrapper.
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

std::string Utf8(const std::wstring& text) {
  int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string out(size > 0 ? size - 1 : 0, '\0');
  if (size > 1) WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &out[0], size, nullptr, nullptr);
  return out;
}

void ListFiles(FILE* report, const std::wstring& directory, const std::wstring& prefix) {
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW((directory + L"\\*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    std::wstring name = data.cFileName;
    if (name == L"." || name == L"..") continue;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      fprintf(report, "  %s/\n", Utf8(prefix + name).c_str());
      ListFiles(report, directory + L"\\" + name, prefix + name + L"/");
    } else {
      fprintf(report, "  %s (%lu bytes)\n", Utf8(prefix + name).c_str(), data.nFileSizeLow);
    }
  } while (FindNextFileW(find, &data));
  FindClose(find);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  FILE* report = _wfopen(L"C:\\vexlode-example-report.txt", L"w");
  if (!report) return 2;
  wchar_t directory[MAX_PATH] = {}, self[MAX_PATH] = {};
  GetCurrentDirectoryW(MAX_PATH, directory);
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring selfDirectory = self;
  selfDirectory = selfDirectory.substr(0, selfDirectory.find_last_of(L'\\'));
  fprintf(report, "command line: %s\n", Utf8(GetCommandLineW()).c_str());
  fprintf(report, "current directory: %s\n", Utf8(directory).c_str());
  fprintf(report, "started from: %s\n", Utf8(self).c_str());
  fprintf(report, "files beside it:\n");
  ListFiles(report, selfDirectory, L"");
  fclose(report);
  return 0;
}
