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

namespace {

// Wine runs us as a Linux process, so a Linux system call acts at once: no
// Unix program to start and wait for (which Wine cannot do), no Win32 call
// that would follow the link. Returns the call's result, or -1.
constexpr long kSymlinkCall = 0, kUnlinkCall = 1;
long LinuxLinkCall(long call, const char* first, const char* second) {
  long result = -1;
#if defined(__x86_64__)
  const long numbers[] = {88 /* symlink */, 87 /* unlink */};
  register const char* rdi asm("rdi") = first;
  register const char* rsi asm("rsi") = second;
  asm volatile("syscall" : "=a"(result) : "0"(numbers[call]), "r"(rdi), "r"(rsi)
               : "rcx", "r11", "memory");
#elif defined(__i386__)
  const long numbers[] = {83 /* symlink */, 10 /* unlink */};
  asm volatile("int $0x80" : "=a"(result) : "0"(numbers[call]), "b"(first), "c"(second)
               : "memory");
#else
  (void)call, (void)first, (void)second;
#endif
  return result;
}

// The Unix path of a Windows path whose last part need not exist.
std::string UnixPathOfNew(const std::wstring& path) {
  std::string whole = UnixPathOf(path);
  if (!whole.empty()) return whole;
  size_t slash = path.find_last_of(L"\\/");
  if (slash == std::wstring::npos) return {};
  std::string parent = UnixPathOf(path.substr(0, slash));
  return parent.empty() ? parent : parent + "/" + Narrow(path.substr(slash + 1));
}

}  // namespace

bool PlantSymbolicLink(const std::wstring& target, const std::wstring& link) {
  std::string unixTarget = UnixPathOfNew(target), unixLink = UnixPathOfNew(link);
  return !unixTarget.empty() && !unixLink.empty() &&
         LinuxLinkCall(kSymlinkCall, unixTarget.c_str(), unixLink.c_str()) == 0;
}

bool RemoveSymbolicLink(const std::wstring& link) {
  std::string unixLink = UnixPathOfNew(link);
  return !unixLink.empty() && LinuxLinkCall(kUnlinkCall, unixLink.c_str(), nullptr) == 0;
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
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
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

uint64_t FileIdOf(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 0;
  BY_HANDLE_FILE_INFORMATION info = {};
  BOOL read = GetFileInformationByHandle(file, &info);
  CloseHandle(file);
  return read ? uint64_t{info.nFileIndexHigh} << 32 | info.nFileIndexLow : 0;
}

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

