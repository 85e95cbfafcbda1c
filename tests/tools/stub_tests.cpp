// Properties of the built stub that ship in every installer: what it imports,
// that nothing trails its sections, its subsystem and its manifest.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "app/payload.h"

namespace {

struct Image {
  std::vector<uint8_t> bytes;
  uint32_t pe = 0;
  bool pe32plus = false;

  uint16_t U16(size_t at) const { return bytes.at(at) | (bytes.at(at + 1) << 8); }
  uint32_t U32(size_t at) const { return U16(at) | (uint32_t(U16(at + 2)) << 16); }
  uint32_t SectionCount() const { return U16(pe + 6); }
  size_t SectionTable() const { return pe + 24 + U16(pe + 20); }
  size_t OptionalHeader() const { return pe + 24; }
  // Data directory i: RVA and size.
  std::pair<uint32_t, uint32_t> Directory(int i) const {
    size_t at = OptionalHeader() + (pe32plus ? 112 : 96) + 8 * i;
    return {U32(at), U32(at + 4)};
  }
  size_t FileOffset(uint32_t rva) const {
    for (uint32_t i = 0; i < SectionCount(); ++i) {
      size_t s = SectionTable() + 40 * i;
      uint32_t va = U32(s + 12), size = std::max(U32(s + 8), U32(s + 16)), raw = U32(s + 20);
      if (rva >= va && rva < va + size) return raw + (rva - va);
    }
    throw std::runtime_error("rva outside the sections");
  }
  std::string CString(size_t at) const {
    std::string out;
    while (bytes.at(at)) out += char(bytes[at++]);
    return out;
  }
};

Image Load(const char* variable) {
  const char* path = getenv(variable);
  if (!path) return {};
  std::ifstream in(path, std::ios::binary);
  Image image;
  image.bytes.assign(std::istreambuf_iterator<char>(in), {});
  if (image.bytes.size() < 64) return {};
  image.pe = image.U32(60);
  image.pe32plus = image.U16(image.pe + 24) == 0x20b;
  return image;
}

struct Import {
  std::string dll, function;  // function: empty when imported by ordinal
};

// Every import descriptor's DLL and functions.
std::vector<Import> Imports(const Image& image) {
  std::vector<Import> imports;
  const size_t entry = image.pe32plus ? 8 : 4;
  for (size_t at = image.FileOffset(image.Directory(1).first); image.U32(at + 12); at += 20) {
    const std::string dll = image.CString(image.FileOffset(image.U32(at + 12)));
    const uint32_t lookup = image.U32(at) ? image.U32(at) : image.U32(at + 16);
    for (size_t thunk = image.FileOffset(lookup);; thunk += entry) {
      const uint32_t low = image.U32(thunk), high = image.pe32plus ? image.U32(thunk + 4) : 0;
      if (!low && !high) break;
      const bool byOrdinal = image.pe32plus ? (high & 0x80000000u) : (low & 0x80000000u);
      imports.push_back({dll, byOrdinal ? "" : image.CString(image.FileOffset(low) + 2)});
    }
  }
  return imports;
}

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), ::tolower);
  return text;
}

class StubTest : public ::testing::TestWithParam<const char*> {};

// Everything the stubs may import. The loader resolves these before our
// first line, with the search order of the installer's folder: each DLL is a
// known DLL, mapped from System32 whatever lies beside the installer, and
// none of these functions is forwarded out of the known DLLs (advapi32's
// RtlGenRandom, forwarded to cryptbase, was). A new import fails the test
// until it is checked and added here; a row neither build uses fails too.
const std::set<std::pair<std::string, std::string>> kAllowedImports = {
    {"kernel32.dll", "CloseHandle"}, {"kernel32.dll", "CreateDirectoryW"},
    {"kernel32.dll", "CreateFileW"}, {"kernel32.dll", "CreatePipe"},
    {"kernel32.dll", "CreateProcessW"}, {"kernel32.dll", "DeleteCriticalSection"},
    {"kernel32.dll", "DeleteFileW"}, {"kernel32.dll", "DuplicateHandle"},
    {"kernel32.dll", "EnterCriticalSection"}, {"kernel32.dll", "FindClose"},
    {"kernel32.dll", "FindFirstFileW"}, {"kernel32.dll", "FindNextFileW"},
    {"kernel32.dll", "FormatMessageW"}, {"kernel32.dll", "FreeLibrary"},
    {"kernel32.dll", "GetCommandLineW"}, {"kernel32.dll", "GetCurrentDirectoryW"},
    {"kernel32.dll", "GetCurrentProcess"}, {"kernel32.dll", "GetCurrentProcessId"},
    {"kernel32.dll", "GetCurrentThreadId"}, {"kernel32.dll", "GetExitCodeProcess"},
    {"kernel32.dll", "GetFileAttributesW"}, {"kernel32.dll", "GetFileInformationByHandleEx"},
    {"kernel32.dll", "GetFileSize"}, {"kernel32.dll", "GetFileSizeEx"},
    {"kernel32.dll", "GetFinalPathNameByHandleW"}, {"kernel32.dll", "GetFullPathNameW"},
    {"kernel32.dll", "GetLastError"}, {"kernel32.dll", "GetLocalTime"},
    {"kernel32.dll", "GetModuleFileNameW"}, {"kernel32.dll", "GetModuleHandleW"},
    {"kernel32.dll", "GetPriorityClass"}, {"kernel32.dll", "GetPrivateProfileIntW"},
    {"kernel32.dll", "GetPrivateProfileStringW"}, {"kernel32.dll", "GetProcAddress"},
    {"kernel32.dll", "GetStartupInfoW"}, {"kernel32.dll", "GetTempPathW"},
    {"kernel32.dll", "GetTickCount"}, {"kernel32.dll", "GetVolumeInformationByHandleW"},
    {"kernel32.dll", "InitializeCriticalSection"}, {"kernel32.dll", "LeaveCriticalSection"},
    {"kernel32.dll", "LoadLibraryExW"}, {"kernel32.dll", "LocalAlloc"},
    {"kernel32.dll", "LocalFileTimeToFileTime"}, {"kernel32.dll", "LocalFree"},
    {"kernel32.dll", "MoveFileExW"}, {"kernel32.dll", "MultiByteToWideChar"},
    {"kernel32.dll", "OutputDebugStringW"}, {"kernel32.dll", "PeekNamedPipe"},
    {"kernel32.dll", "ReadFile"}, {"kernel32.dll", "RemoveDirectoryW"},
    {"kernel32.dll", "SetFileAttributesW"}, {"kernel32.dll", "SetFileInformationByHandle"},
    {"kernel32.dll", "SetFilePointer"}, {"kernel32.dll", "SetFilePointerEx"},
    {"kernel32.dll", "SetFileTime"}, {"kernel32.dll", "SetHandleInformation"},
    {"kernel32.dll", "SetLastError"}, {"kernel32.dll", "SetUnhandledExceptionFilter"},
    {"kernel32.dll", "Sleep"}, {"kernel32.dll", "SystemTimeToFileTime"},
    {"kernel32.dll", "TerminateProcess"}, {"kernel32.dll", "TlsGetValue"},
    {"kernel32.dll", "VirtualProtect"}, {"kernel32.dll", "VirtualQuery"},
    {"kernel32.dll", "WaitForSingleObject"}, {"kernel32.dll", "WideCharToMultiByte"},
    {"kernel32.dll", "WriteFile"},
    {"kernel32.dll", "DeleteProcThreadAttributeList"}, {"kernel32.dll", "FreeEnvironmentStringsW"},
    {"kernel32.dll", "GetEnvironmentStringsW"}, {"kernel32.dll", "InitializeProcThreadAttributeList"},
    {"kernel32.dll", "QueryFullProcessImageNameW"}, {"kernel32.dll", "ResumeThread"},
    {"kernel32.dll", "UpdateProcThreadAttribute"},
    // the progress window: its thread, its event, the version resource it reads
    {"kernel32.dll", "CreateEventW"}, {"kernel32.dll", "CreateThread"}, {"kernel32.dll", "SetEvent"},
    {"kernel32.dll", "FindResourceW"}, {"kernel32.dll", "LoadResource"}, {"kernel32.dll", "LockResource"},
    {"kernel32.dll", "SizeofResource"},
    {"msvcrt.dll", "__set_app_type"}, {"msvcrt.dll", "__setusermatherr"},
    {"msvcrt.dll", "__wgetmainargs"}, {"msvcrt.dll", "__winitenv"}, {"msvcrt.dll", "_amsg_exit"},
    {"msvcrt.dll", "_cexit"}, {"msvcrt.dll", "_errno"}, {"msvcrt.dll", "_filelengthi64"},
    {"msvcrt.dll", "_fileno"}, {"msvcrt.dll", "_initterm"}, {"msvcrt.dll", "_onexit"},
    {"msvcrt.dll", "abort"}, {"msvcrt.dll", "calloc"}, {"msvcrt.dll", "exit"},
    {"msvcrt.dll", "fclose"}, {"msvcrt.dll", "ferror"}, {"msvcrt.dll", "fflush"},
    {"msvcrt.dll", "fgetpos"}, {"msvcrt.dll", "fopen"}, {"msvcrt.dll", "fprintf"},
    {"msvcrt.dll", "fread"}, {"msvcrt.dll", "free"}, {"msvcrt.dll", "fseek"},
    {"msvcrt.dll", "fsetpos"}, {"msvcrt.dll", "ftell"}, {"msvcrt.dll", "fwrite"},
    {"msvcrt.dll", "malloc"}, {"msvcrt.dll", "memcmp"}, {"msvcrt.dll", "memcpy"},
    {"msvcrt.dll", "memmove"}, {"msvcrt.dll", "rand"}, {"msvcrt.dll", "signal"},
    {"msvcrt.dll", "srand"}, {"msvcrt.dll", "strcmp"}, {"msvcrt.dll", "strlen"},
    {"msvcrt.dll", "strncmp"}, {"msvcrt.dll", "vfprintf"},
    {"ntdll.dll", "NtAccessCheck"}, {"ntdll.dll", "NtOpenProcessToken"},
    {"ntdll.dll", "NtQueryInformationToken"}, {"ntdll.dll", "NtQuerySecurityObject"},
    {"ntdll.dll", "RtlAbsoluteToSelfRelativeSD"}, {"ntdll.dll", "RtlAddAccessAllowedAceEx"},
    {"ntdll.dll", "RtlCreateAcl"}, {"ntdll.dll", "RtlCreateSecurityDescriptor"},
    {"ntdll.dll", "RtlSetControlSecurityDescriptor"}, {"ntdll.dll", "RtlSetDaclSecurityDescriptor"},
    {"ntdll.dll", "RtlSetOwnerSecurityDescriptor"},
    // i686 only; the start-up code looks up and pins libgcc's DLL (see SECURITY.md)
    {"kernel32.dll", "GetModuleHandleA"}, {"kernel32.dll", "LoadLibraryA"},
    {"msvcrt.dll", "__p__commode"}, {"msvcrt.dll", "__p__fmode"}, {"msvcrt.dll", "__p__wcmdln"},
    {"msvcrt.dll", "_iob"},
    // x86_64 only; kernel32's __C_specific_handler is forwarded to ntdll
    {"kernel32.dll", "__C_specific_handler"}, {"msvcrt.dll", "__iob_func"},
    {"msvcrt.dll", "_commode"}, {"msvcrt.dll", "_fmode"}, {"msvcrt.dll", "_wcmdln"},
};

TEST(ShippedStubs, ImportOnlyAllowedFunctionsOfKnownDllsWithNothingDelayed) {
  const Image stubs[] = {Load("VEXLODE_STUB32"), Load("VEXLODE_STUB64")};
  if (stubs[0].bytes.empty() || stubs[1].bytes.empty()) GTEST_SKIP() << "VEXLODE_STUB32/64 not set";
  std::set<std::pair<std::string, std::string>> used;
  for (const Image& image : stubs) {
    for (const Import& import : Imports(image)) {
      const std::pair<std::string, std::string> row(Lower(import.dll), import.function);
      EXPECT_TRUE(kAllowedImports.count(row)) << import.dll << "!" << import.function;
      used.insert(row);
    }
    // Delay-loaded DLLs are searched for when first called, outside both
    // guards below.
    EXPECT_EQ(image.Directory(13), std::make_pair(0u, 0u)) << "delay imports";
  }
  for (const auto& row : kAllowedImports)
    EXPECT_TRUE(used.count(row)) << "unused row " << row.first << "!" << row.second;
}

TEST_P(StubTest, LoadConfigurationResolvesImportsFromSystem32Only) {
  Image image = Load(GetParam());
  if (image.bytes.empty()) GTEST_SKIP() << GetParam() << " not set";
  auto [rva, size] = image.Directory(10);
  ASSERT_NE(rva, 0u) << "no load configuration directory";
  const size_t config = image.FileOffset(rva);
  EXPECT_EQ(image.U32(config), size) << "structure and directory disagree on the size";
  // DependentLoadFlags. On i686 the structure stops before the safe
  // exception handler table (0x40), so it cannot narrow exception handling;
  // on x86_64, which has no such table, it is whole up to it (0x70), the
  // smallest 64-bit size that readers take as carrying the flags.
  const size_t flags = image.pe32plus ? 0x4E : 0x36;
  if (image.pe32plus)
    EXPECT_EQ(size, 0x70u);
  else
    EXPECT_EQ(size, 0x40u);
  EXPECT_EQ(image.U16(config + flags), 0x800) << "not LOAD_LIBRARY_SEARCH_SYSTEM32";
}

TEST_P(StubTest, HashesWithItsOwnCodeNotTheSystemProvider) {
  Image image = Load(GetParam());
  if (image.bytes.empty()) GTEST_SKIP() << GetParam() << " not set";
  // Loading the system's crypto provider alone costs megabytes of working set.
  const std::vector<Import> imports = Imports(image);
  EXPECT_TRUE(std::any_of(imports.begin(), imports.end(),
                          [](const Import& i) { return i.function == "CreateFileW"; }));
  for (const Import& import : imports) EXPECT_NE(Lower(import.function).find("crypt"), 0u) << import.function;
}

TEST_P(StubTest, IsStrippedGuiImageWhoseSectionsEndTheFile) {
  Image image = Load(GetParam());
  if (image.bytes.empty()) GTEST_SKIP() << GetParam() << " not set";
  size_t scanned = std::min(image.bytes.size(), kHeaderBufferSize);
  EXPECT_EQ(ScanPayloadOffset(image.bytes.data(), scanned), int32_t(image.bytes.size()));
  EXPECT_EQ(image.U32(image.pe + 12), 0u) << "symbol table present";
  EXPECT_EQ(image.U16(image.OptionalHeader() + 68), 2) << "not the GUI subsystem";
}

TEST_P(StubTest, CarriesTheElevationManifest) {
  Image image = Load(GetParam());
  if (image.bytes.empty()) GTEST_SKIP() << GetParam() << " not set";
  std::string text(image.bytes.begin(), image.bytes.end());
  EXPECT_NE(text.find("level=\"requireAdministrator\" uiAccess=\"false\""), std::string::npos);
  EXPECT_NE(text.find("{e2011457-1546-43c5-a5fe-008deee3d3f0}"), std::string::npos);
  EXPECT_NE(text.find("{35138b9a-5d96-4fbd-8e2d-a2440225f93a}"), std::string::npos);
}

TEST(StubSources, LoadLibrariesOnlyFromSystem32) {
  // Past the imports above, our own code maps a DLL only from System32, so
  // nothing beside the installer or in the current folder can answer it.
  namespace fs = std::filesystem;
  const std::regex call(R"(LoadLibrary(\w*)\s*\(([^;]*)\))");
  for (const char* folder : {"app", "unzip", "launch", "cleanup", "log", "common"}) {
    for (const auto& entry : fs::recursive_directory_iterator(fs::path(VEXLODE_ROOT) / folder)) {
      if (!entry.is_regular_file()) continue;
      std::ifstream in(entry.path());
      std::string source(std::istreambuf_iterator<char>(in), {});
      for (std::sregex_iterator it(source.begin(), source.end(), call), end; it != end; ++it) {
        EXPECT_EQ((*it)[1], "ExW") << entry.path() << ": " << it->str();
        EXPECT_NE((*it)[2].str().find("LOAD_LIBRARY_SEARCH_SYSTEM32"), std::string::npos)
            << entry.path() << ": " << it->str();
      }
    }
  }
}

TEST(ShippedStub, SizeIsAtMost128KiBAndWhatTheReadmeSays) {
  Image image = Load("VEXLODE_STUB32");
  if (image.bytes.empty()) GTEST_SKIP() << "VEXLODE_STUB32 not set";
  const double size = image.bytes.size();
  EXPECT_LE(size, 128 * 1024);
  // The README gives a rounded figure; it must stay within a tenth of the truth.
  std::ifstream in(std::filesystem::path(VEXLODE_ROOT) / "README.md");
  std::string readme(std::istreambuf_iterator<char>(in), {});
  std::smatch stated;
  ASSERT_TRUE(std::regex_search(readme, stated, std::regex(R"(stub\s+is\s+about\s+(\d+)\s+KB)")));
  EXPECT_NEAR(std::stod(stated[1]) * 1000, size, size / 10) << "README: " << stated[0];
}

INSTANTIATE_TEST_SUITE_P(Builds, StubTest, ::testing::Values("VEXLODE_STUB32", "VEXLODE_STUB64"));

}  // namespace
