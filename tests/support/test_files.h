// File-system helpers for tests: a fresh temporary folder per fixture, and
// reading and writing whole files. Test code may use the standard library.
#pragma once
#include <windows.h>

#include <stdint.h>

#include <string>
#include <vector>

// A uniquely named folder under the temporary directory, removed (with
// everything in it, links not followed) on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::wstring& path() const { return path_; }  // no trailing backslash
  std::wstring operator/(const std::wstring& name) const { return path_ + L"\\" + name; }

 private:
  std::wstring path_;
};

void RemoveTreeForTest(const std::wstring& path);
bool WriteWholeFile(const std::wstring& path, const std::string& bytes);
std::string ReadWholeFile(const std::wstring& path);
bool PathExists(const std::wstring& path);
DWORD AttributesOf(const std::wstring& path);
// The file ID as GetFileInformationByHandle reports it; 0 when unreadable.
uint64_t FileIdOf(const std::wstring& path);
std::wstring TempDirectory();                 // GetTempPathW, with trailing backslash
std::wstring ModuleDirectory();               // folder of the running test executable
std::string Narrow(const std::wstring& text); // UTF-8
std::wstring Widen(const std::string& text);  // from UTF-8
// Unix path of a Windows path under Wine (for planting symbolic links).
std::string UnixPathOf(const std::wstring& path);

// Plants a Unix symbolic link at `link` pointing to `target` (both Windows
// paths; the target need not exist). Wine cannot create links itself, so
// this makes one with Linux's own system call; Wine shows it as a reparse
// point. Returns false where that is not possible (not under Wine).
bool PlantSymbolicLink(const std::wstring& target, const std::wstring& link);

// Removes a planted link itself, in the same way (under Wine, Win32 deletion
// would reach the file it points to).
bool RemoveSymbolicLink(const std::wstring& link);
