#include "tests/support/test_files.h"

#include <atomic>

namespace {
std::atomic<unsigned> counter{0};
}

TempDir::TempDir() {
  wchar_t name[64];
  swprintf(name, 64, L"vxtest_%lu_%lu_%u", GetCurrentProcessId(), GetTickCount(), counter++);
  path_ = TempDirectory() + name;
  CreateDirectoryW(path_.c_str(), nullptr);
}

TempDir::~TempDir() { RemoveTreeForTest(path_); }

namespace {

// Runs a Unix program under Wine; Wine neither waits for it nor reports its
// exit code reliably, so callers check the outcome themselves.
bool RunUnixCommand(std::wstring command) {
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &process))
    return false;
  WaitForSingleObject(process.hProcess, 10000);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return true;
}

template <class Done>
bool WaitFor(Done done) {
  for (int tries = 0; tries < 200; ++tries) {
    if (done()) return true;
    Sleep(25);
  }
  return false;
}

}  // namespace

bool RemoveSymbolicLink(const std::wstring& link) {
  std::string unixLink = UnixPathOf(link);
  if (unixLink.empty()) return false;
  // Wine acts on a file link's target, so the link goes from the Unix side.
  RunUnixCommand(L"Z:\\bin\\rm -f \"" + Widen(unixLink) + L"\"");
  return WaitFor([&] { return GetFileAttributesW(link.c_str()) == INVALID_FILE_ATTRIBUTES; });
}

void RemoveTreeForTest(const std::wstring& path) {
  // Nothing to do; and an rm started now could outlive us and remove what a
  // caller creates at the path next.
  if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) return;
  // Under Wine, rm -rf removes planted links without following them.
  std::string unixPath = UnixPathOf(path);
  if (!unixPath.empty() && RunUnixCommand(L"Z:\\bin\\rm -rf \"" + Widen(unixPath) + L"\"") &&
      WaitFor([&] { return GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES; }))
    return;
  DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return;
  SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    DeleteFileW(path.c_str());
    return;
  }
  if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
      do {
        std::wstring name = data.cFileName;
        if (name != L"." && name != L"..") RemoveTreeForTest(path + L"\\" + name);
      } while (FindNextFileW(find, &data));
      FindClose(find);
    }
  }
  RemoveDirectoryW(path.c_str());
}

bool WriteWholeFile(const std::wstring& path, const std::string& bytes) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  BOOL ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(file);
  return ok && written == bytes.size();
}

std::string ReadWholeFile(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return {};
  std::string bytes;
  char chunk[65536];
  DWORD got = 0;
  while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got) bytes.append(chunk, got);
  CloseHandle(file);
  return bytes;
}

bool PathExists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

DWORD AttributesOf(const std::wstring& path) { return GetFileAttributesW(path.c_str()); }

std::wstring TempDirectory() {
  wchar_t buffer[MAX_PATH];
  DWORD length = GetTempPathW(MAX_PATH, buffer);
  return std::wstring(buffer, length);
}

std::wstring ModuleDirectory() {
  wchar_t buffer[MAX_PATH];
  DWORD length = GetModuleFileNameW(nullptr, buffer, MAX_PATH);
  std::wstring path(buffer, length);
  return path.substr(0, path.find_last_of(L'\\'));
}

std::string Narrow(const std::wstring& text) {
  int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string out(size > 0 ? size - 1 : 0, '\0');
  if (size > 1) WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &out[0], size, nullptr, nullptr);
  return out;
}

std::wstring Widen(const std::string& text) {
  int size = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
  std::wstring out(size > 0 ? size - 1 : 0, L'\0');
  if (size > 1) MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, &out[0], size);
  return out;
}

std::string UnixPathOf(const std::wstring& path) {
  // Wine exports this from kernel32; it is absent on Windows itself.
  using GetUnixFileName = char*(__cdecl*)(const wchar_t*);
  auto convert = reinterpret_cast<GetUnixFileName>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  if (!convert) return {};
  char* unixPath = convert(path.c_str());
  if (!unixPath) return {};
  std::string out = unixPath;
  HeapFree(GetProcessHeap(), 0, unixPath);
  return out;
}

bool PlantSymbolicLink(const std::wstring& target, const std::wstring& link) {
  std::string unixTarget = UnixPathOf(target), unixLink = UnixPathOf(link);
  if (unixTarget.empty() || unixLink.empty()) return false;
  if (!RunUnixCommand(L"Z:\\bin\\ln -sfn \"" + Widen(unixTarget) + L"\" \"" + Widen(unixLink) + L"\""))
    return false;
  return WaitFor([&] { return GetFileAttributesW(link.c_str()) != INVALID_FILE_ATTRIBUTES; });
}
