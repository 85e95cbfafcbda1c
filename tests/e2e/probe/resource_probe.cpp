// Prints what Windows itself reads from an executable's resources, one
// "name=value" line each, in UTF-8: the version numbers and translation, the
// string fields named on the command line, the main icon group's sizes and
// whether the manifest asks for administrator.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

void Print(const std::wstring& line) {
  std::wstring text = line + L"\n";
  int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), int(text.size()), nullptr, 0, nullptr, nullptr);
  std::string bytes(size, '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.c_str(), int(text.size()), &bytes[0], size, nullptr, nullptr);
  fwrite(bytes.data(), 1, bytes.size(), stdout);
}

std::wstring Version(DWORD high, DWORD low) {
  return std::to_wstring(HIWORD(high)) + L"." + std::to_wstring(LOWORD(high)) + L"." +
         std::to_wstring(HIWORD(low)) + L"." + std::to_wstring(LOWORD(low));
}

void PrintVersionInfo(const wchar_t* path, int count, wchar_t** keys) {
  DWORD ignored = 0, size = GetFileVersionInfoSizeW(path, &ignored);
  std::vector<BYTE> data(size ? size : 1);
  if (!size || !GetFileVersionInfoW(path, 0, size, data.data())) return Print(L"version=none");
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  if (VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&fixed), &length) && fixed) {
    Print(L"#FileVersion=" + Version(fixed->dwFileVersionMS, fixed->dwFileVersionLS));
    Print(L"#ProductVersion=" + Version(fixed->dwProductVersionMS, fixed->dwProductVersionLS));
  }
  WORD* translation = nullptr;
  if (!VerQueryValueW(data.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation), &length) ||
      length < 4)
    return Print(L"translation=none");
  wchar_t table[9];
  swprintf(table, 9, L"%04x%04x", translation[0], translation[1]);
  Print(std::wstring(L"translation=") + table);
  for (int i = 0; i < count; ++i) {
    std::wstring query = std::wstring(L"\\StringFileInfo\\") + table + L"\\" + keys[i];
    wchar_t* value = nullptr;
    if (VerQueryValueW(data.data(), query.c_str(), reinterpret_cast<void**>(&value), &length) && value)
      Print(std::wstring(keys[i]) + L"=" + value);
    else
      Print(std::wstring(keys[i]) + L" missing");
  }
}

const BYTE* Resource(HMODULE module, const wchar_t* type, DWORD* size) {
  HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(1), type);
  if (!found) return nullptr;
  *size = SizeofResource(module, found);
  return static_cast<const BYTE*>(LockResource(LoadResource(module, found)));
}

void PrintIconAndManifest(const wchar_t* path) {
  HMODULE module = LoadLibraryExW(path, nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  if (!module) return Print(L"module=unreadable");
  DWORD size = 0;
  const BYTE* group = Resource(module, MAKEINTRESOURCEW(14), &size);
  std::wstring sizes;
  for (WORD i = 0; group && size >= 6 && i < *reinterpret_cast<const WORD*>(group + 4); ++i) {
    if (DWORD(6 + 14 * (i + 1)) > size) break;
    const BYTE* entry = group + 6 + 14 * i;
    sizes += (sizes.empty() ? L"" : L",") + std::to_wstring(entry[0] ? entry[0] : 256) + L"x" +
             std::to_wstring(entry[1] ? entry[1] : 256);
  }
  Print(L"icons=" + sizes);
  const BYTE* manifest = Resource(module, MAKEINTRESOURCEW(24), &size);
  std::string text = manifest ? std::string(reinterpret_cast<const char*>(manifest), size) : "";
  Print(std::wstring(L"administrator=") +
        (text.find("level=\"requireAdministrator\"") != std::string::npos ? L"yes" : L"no"));
  std::wstring hex;
  for (unsigned char c : text) hex += L"0123456789abcdef"[c >> 4], hex += L"0123456789abcdef"[c & 15];
  Print(L"manifest=" + hex);
  FreeLibrary(module);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) return 2;
  PrintVersionInfo(argv[1], argc - 2, argv + 2);
  PrintIconAndManifest(argv[1]);
  return 0;
}
