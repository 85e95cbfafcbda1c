// A stand-in for setup.exe in the launch tests. Its whole command line is the
// installer's, so it takes its orders from the environment it inherits:
//   VXCHILD_RESULTS       file to write what it saw into (UTF-8 lines)
//   VXCHILD_STDOUT_BYTES  bytes to write to standard output first
//   VXCHILD_STDERR_BYTES  bytes to write to standard error first
//   VXCHILD_EXIT          exit code
//   VXCHILD_PROBE         a file to try to open for writing and for deletion
//   VXCHILD_HANDLE        the value of an event of the parent's to set, should it have been passed on
// Results: command line, current directory, the file types of the three
// standard handles, how many bytes each output write delivered, and with
// VXCHILD_PROBE the error of each open (0 when it opened).
#include <windows.h>

#include <stdlib.h>

#include <string>

namespace {

std::wstring Variable(const wchar_t* name) {
  wchar_t value[1024];
  DWORD length = GetEnvironmentVariableW(name, value, 1024);
  return length && length < 1024 ? std::wstring(value, length) : std::wstring();
}

unsigned long Number(const wchar_t* name) {
  std::wstring text = Variable(name);
  return text.empty() ? 0 : wcstoul(text.c_str(), nullptr, 10);
}

unsigned long WriteBytes(DWORD which, unsigned long count) {
  HANDLE handle = GetStdHandle(which);
  std::string chunk(65536, 'x');
  unsigned long total = 0;
  while (total < count) {
    DWORD want = static_cast<DWORD>(count - total < chunk.size() ? count - total : chunk.size());
    DWORD written = 0;
    if (!WriteFile(handle, chunk.data(), want, &written, nullptr) || written == 0) break;
    total += written;
  }
  return total;
}

std::string Utf8(const std::wstring& text) {
  int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr,
                                 0, nullptr, nullptr);
  std::string out(size, '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &out[0], size,
                      nullptr, nullptr);
  return out;
}

// 0 when `path` opens with `access`, sharing everything; else the error.
DWORD OpenError(const std::wstring& path, DWORD access) {
  HANDLE file = CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return GetLastError();
  CloseHandle(file);
  return 0;
}

}  // namespace

int main() {
  if (unsigned long value = Number(L"VXCHILD_HANDLE")) SetEvent(reinterpret_cast<HANDLE>(static_cast<uintptr_t>(value)));
  unsigned long wroteOut = WriteBytes(STD_OUTPUT_HANDLE, Number(L"VXCHILD_STDOUT_BYTES"));
  unsigned long wroteErr = WriteBytes(STD_ERROR_HANDLE, Number(L"VXCHILD_STDERR_BYTES"));

  std::wstring results = Variable(L"VXCHILD_RESULTS");
  if (!results.empty()) {
    wchar_t directory[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, directory);
    std::string report = Utf8(GetCommandLineW()) + "\n" + Utf8(directory) + "\n";
    for (DWORD which : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE})
      report += std::to_string(GetFileType(GetStdHandle(which))) + " ";
    report += "\n" + std::to_string(wroteOut) + " " + std::to_string(wroteErr) + "\n";
    std::wstring probe = Variable(L"VXCHILD_PROBE");
    if (!probe.empty())
      report += std::to_string(OpenError(probe, GENERIC_WRITE)) + " " + std::to_string(OpenError(probe, DELETE)) + "\n";
    HANDLE file = CreateFileW(results.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    WriteFile(file, report.data(), static_cast<DWORD>(report.size()), &written, nullptr);
    CloseHandle(file);
  }
  return static_cast<int>(Number(L"VXCHILD_EXIT"));
}
