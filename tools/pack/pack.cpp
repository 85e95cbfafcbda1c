// vexlode-pack: appends an installation package (a ZIP with setup.exe at its
// root) to the bootstrapper stub, optionally branding the stub first with an
// icon and version information. A directory package is zipped first. With
// --check it reads an installer instead and reports whether the stub would
// install it.
#include <algorithm>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "app/exit_code.h"
#include "app/payload.h"
#include "app/payload_seal.h"
#include "tools/pack/archive.h"
#include "tools/pack/bytes.h"
#include "tools/pack/check.h"
#include "tools/pack/ico.h"
#include "tools/pack/manifest.h"
#include "tools/pack/pack_error.h"
#include "tools/pack/pe_resources.h"
#include "tools/pack/seal.h"
#include "tools/pack/version_info.h"

#ifdef _WIN32
#include <windows.h>

#include "common/handle.h"
#endif

namespace fs = std::filesystem;

namespace {

struct Options {
  fs::path stub, package, out, icon, check;
  Compression compression = Compression::Deflate;
  bool allowX64 = false;  // test builds on machines that only run 64-bit Wine
  Branding branding;
  uint32_t sealOptions = 0;  // kSealOption* bits
  bool help = false, version = false;
};

std::vector<uint8_t> ReadFileBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw PackError("cannot read " + path.u8string());
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

uint16_t ParseNumber(const std::string& text, int base, const std::string& option) {
  std::string digits = base == 16 && text.rfind("0x", 0) == 0 ? text.substr(2) : text;
  const std::string allowed = base == 16 ? "0123456789abcdefABCDEF" : "0123456789";
  if (digits.empty() || digits.size() > 5 || digits.find_first_not_of(allowed) != std::string::npos ||
      std::stoul(digits, nullptr, base) > 0xFFFF)
    throw PackError(option + " " + text + ": expected a number from 0 to " + (base == 16 ? "0xFFFF" : "65535"));
  return uint16_t(std::stoul(digits, nullptr, base));
}

// A sealed option of two named values: `on` sets `bit`, `off` clears it; the
// last one given counts.
void SetChoice(uint32_t& sealOptions, const std::string& option, const std::string& value, const char* on,
               const char* off, uint32_t bit) {
  if (value == on) sealOptions |= bit;
  else if (value == off) sealOptions &= ~bit;
  else throw PackError(option + " " + value + ": expected " + on + " or " + off);
}

// Returns false for a usage error; throws PackError for a refused value.
bool ParseOptions(const std::vector<std::string>& args, Options& options) {
  auto version = [&]() -> VersionInfo& {
    if (!options.branding.version) options.branding.version.emplace();
    return *options.branding.version;
  };
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    const bool hasValue = i + 1 < args.size();
    if (arg == "--allow-x64") options.allowX64 = true;
    else if (arg == "--progress") options.sealOptions |= kSealOptionProgress;
    else if (arg == "-h" || arg == "--help") options.help = true;
    else if (arg == "--version") options.version = true;
    else if (!arg.empty() && arg[0] != '-' && options.package.empty()) options.package = fs::u8path(arg);
    else if (!hasValue) return false;
    else if (arg == "--stub") options.stub = fs::u8path(args[++i]);
    else if (arg == "-o") options.out = fs::u8path(args[++i]);
    else if (arg == "--icon") options.icon = fs::u8path(args[++i]);
    else if (arg == "--working-directory")
      SetChoice(options.sealOptions, arg, args[++i], "package", "caller", kSealOptionPackageWorkingDirectory);
    else if (arg == "--installer-temp")
      SetChoice(options.sealOptions, arg, args[++i], "private", "user", kSealOptionPrivateInstallerTemp);
    else if (arg == "--exit-code")
      SetChoice(options.sealOptions, arg, args[++i], "installer", "checkout", kSealOptionInstallerExitCode);
    else if (arg == "--check") options.check = fs::u8path(args[++i]);
    else if (arg == "--elevation") {
      // The stub's own manifest already asks for administrators: kept as built.
      const std::string level = ExecutionLevelFor(args[++i]);
      options.branding.executionLevel = level == "requireAdministrator" ? "" : level;
    }
    else if (arg == "--compression") options.compression = ParseCompression(args[++i]);
    else if (arg == "--file-version") version().file = ParseVersionNumber(args[++i], arg);
    else if (arg == "--product-version") version().product = ParseVersionNumber(args[++i], arg);
    else if (arg == "--version-language") version().language = ParseNumber(args[++i], 16, arg);
    else if (arg == "--version-codepage") version().codePage = ParseNumber(args[++i], 10, arg);
    else if (arg == "--version-string") {
      const std::string& field = args[++i];
      const size_t equals = field.find('=');
      if (equals == 0 || equals == std::string::npos)
        throw PackError("--version-string " + field + ": expected KEY=VALUE");
      SetVersionString(version(), field.substr(0, equals), field.substr(equals + 1));
    } else {
      return false;
    }
  }
  if (options.help || options.version) return true;
  // A check reads one installer; it packs nothing.
  if (!options.check.empty()) return options.package.empty() && options.out.empty();
  return !options.package.empty() && !options.out.empty();
}

// The stub must be a 32-bit PE image that ends exactly where its sections'
// raw data ends: anything after it would be taken for part of the payload.
void CheckStub(const fs::path& stubPath, const std::vector<uint8_t>& stub, bool allowX64) {
  const std::string name = stubPath.u8string();
  PeLayout layout;
  if (!ScanPeLayout(stub.data(), std::min(stub.size(), kHeaderBufferSize), &layout))
    throw PackError("stub " + name + " is not a PE image");
  const bool x86 = layout.machine == 0x14c && layout.optionalMagic == 0x10b;
  const bool x64 = layout.machine == 0x8664 && layout.optionalMagic == 0x20b;
  if (!x86 && !(allowX64 && x64)) throw PackError("stub " + name + " is not a 32-bit PE image");
  const uint32_t end = uint32_t(layout.payloadOffset);
  if (end < stub.size())
    throw PackError("stub " + name + " has " + std::to_string(stub.size() - end) +
                    " bytes after its sections (an already packed installer, or not stripped)");
  if (end > stub.size()) throw PackError("stub " + name + " is truncated");
}

// Same file under any name, hard links included: compared by identity, not by path.
bool SameFile(const fs::path& a, const fs::path& b) {
#ifdef _WIN32
  auto identity = [](const fs::path& path, BY_HANDLE_FILE_INFORMATION& info) {
    FileHandle file(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    return file.valid() && GetFileInformationByHandle(file.get(), &info);
  };
  BY_HANDLE_FILE_INFORMATION infoA, infoB;
  if (identity(a, infoA) && identity(b, infoB))
    return infoA.dwVolumeSerialNumber == infoB.dwVolumeSerialNumber &&
           infoA.nFileIndexHigh == infoB.nFileIndexHigh && infoA.nFileIndexLow == infoB.nFileIndexLow;
#endif
  std::error_code error;
#ifndef _WIN32
  if (fs::exists(a, error) && fs::exists(b, error)) return fs::equivalent(a, b, error);
#endif
  return fs::weakly_canonical(a, error) == fs::weakly_canonical(b, error);
}

// The stub shipped with the packer: vexlode.exe beside it (a release, or
// vexlode-pack.exe on Windows), else build/win32/vexlode.exe next to
// build/native/vexlode-pack. Without the packer's own path, a relative name
// would pick whatever stub lies in the current directory: refused instead.
fs::path DefaultStub() {
  const PackError unknown("cannot find the packer's own folder: name the stub with --stub");
#ifdef _WIN32
  wchar_t self[32768];
  DWORD length = GetModuleFileNameW(nullptr, self, 32768);
  if (length == 0 || length >= 32768) throw unknown;
  const fs::path beside = fs::path(std::wstring(self, length)).parent_path() / "vexlode.exe";
  if (fs::exists(beside)) return beside;
  throw PackError("no stub beside the packer (" + beside.u8string() + "): name one with --stub");
#else
  std::error_code error;
  fs::path self = fs::canonical("/proc/self/exe", error);
  if (error) throw unknown;
  const fs::path beside = self.parent_path() / "vexlode.exe";
  const fs::path built = self.parent_path().parent_path() / "win32" / "vexlode.exe";
  if (fs::exists(beside)) return beside;
  if (fs::exists(built)) return built;
  throw PackError("no stub beside the packer (" + beside.u8string() + ") or in its build tree (" +
                  built.u8string() + "): name one with --stub");
#endif
}

void ReplaceFile(const fs::path& from, const fs::path& to) {
#ifdef _WIN32
  if (!MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING))
    throw PackError("cannot write " + to.u8string());
#else
  fs::permissions(from, fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec,
                  fs::perm_options::add);
  fs::rename(from, to);
#endif
}

const char kHelp[] =
    "usage: vexlode-pack [--stub STUB] PACKAGE -o OUT.exe [options] [branding]\n"
    "       vexlode-pack --check INSTALLER.exe\n"
    "       vexlode-pack --version | --help | -h\n"
    "  PACKAGE: a .zip with setup.exe at its root, or a directory to zip\n"
    "  --stub STUB                 the stub to pack (default: vexlode.exe beside the packer)\n"
    "  --check INSTALLER.exe       read an installer without running it: stub, seal, signature,\n"
    "                              package, branding and options; exit 0 when it would install\n"
    "  --version                   the packer's version and the SHA-256 of its default stub\n"
    "options:\n"
    "  --exit-code installer       exit with setup.exe's own code, 1603 when it did not run\n"
    "                              (for deployment tools)\n"
    "  --exit-code checkout        exit 1 once the archive is checked out, 0 before (default)\n"
    "  --working-directory package setup.exe starts in its own protected folder\n"
    "  --working-directory caller  setup.exe starts in the caller's current directory (default)\n"
    "  --installer-temp private    setup.exe's TEMP and TMP are a protected folder of the run,\n"
    "                              removed with what it holds when setup.exe has ended\n"
    "  --installer-temp user       setup.exe's TEMP and TMP are the user's (default)\n"
    "  --elevation administrator   ask for administrator rights (default)\n"
    "  --elevation highest         run with the highest rights the user has: elevated for an\n"
    "                              administrator, as is for a standard user\n"
    "  --elevation invoker         no consent prompt: run with the caller's rights (per-user\n"
    "                              installers)\n"
    "  --progress                  show a progress window when checking out and extracting\n"
    "                              take longer than a second (default: no window)\n"
    "  --compression lzma|deflate|store  how a directory's files are zipped\n"
    "                              (default deflate; a .zip keeps its own)\n"
    "  --allow-x64                 accept a 64-bit stub (test builds only)\n"
    "branding:\n"
    "  --icon FILE.ico             the installer's icon (all its images)\n"
    "  --version-string KEY=VALUE  a version string (ProductName, FileDescription, ...)\n"
    "  --file-version N.N.N.N      the numeric file version\n"
    "  --product-version N.N.N.N   the numeric product version\n"
    "  --version-language HEX      language of the strings (default 0409, US English)\n"
    "  --version-codepage N        code page of the strings (default 1200, Unicode)\n";

int Usage() {
  std::cerr << kHelp;
  return 2;
}

// The version, and which stub a pack without --stub would take.
int Version() {
  std::cout << "vexlode-pack " << VEXLODE_VERSION << "\n";
  try {
    const fs::path stub = DefaultStub();
    const std::vector<uint8_t> bytes = ReadFileBytes(stub);
    std::cout << "default stub: " << stub.u8string() << "\n"
              << "default stub sha256: " << DigestText(bytes.data(), bytes.size()) << "\n";
  } catch (const PackError& error) {
    std::cout << "default stub: missing: " << error.what() << "\n";
  }
  return 0;
}

int Check(const fs::path& installer) {
  const std::vector<uint8_t> file = ReadFileBytes(installer);
  return CheckInstaller(installer.u8string(), file, std::cout) ? 0 : 1;
}

int Run(const std::vector<std::string>& args) {
  Options options;
  fs::path temporary, zipped;
  try {
    if (!ParseOptions(args, options)) return Usage();
    if (options.help) return std::cout << kHelp, 0;
    if (options.version) return Version();
    if (!options.check.empty()) return Check(options.check);
    if (options.stub.empty()) options.stub = DefaultStub();
    temporary = options.out;
    temporary += ".partial";
    const std::string out = options.out.u8string();
    if (SameFile(options.out, options.stub)) throw PackError("output " + out + " is the stub itself");
    if (SameFile(options.out, options.package)) throw PackError("output " + out + " is the package itself");
    if (!options.icon.empty() && SameFile(options.out, options.icon))
      throw PackError("output " + out + " is the icon itself");

    std::vector<uint8_t> stub = ReadFileBytes(options.stub);
    CheckStub(options.stub, stub, options.allowX64);
    if (!options.icon.empty()) {
      try {
        options.branding.icon = ParseIco(ReadFileBytes(options.icon));
      } catch (const PackError& error) {
        throw PackError("icon " + options.icon.u8string() + ": " + error.what());
      }
    }
    const bool branded =
        !options.branding.icon.empty() || options.branding.version || !options.branding.executionLevel.empty();
    std::vector<uint8_t> image = branded ? BrandImage(stub, options.branding) : stub;

    fs::path archivePath = options.package;
    if (fs::is_directory(options.package)) {
      zipped = options.out;
      zipped += ".zip.partial";
      ZipDirectory(options.package, zipped, options.compression);
      archivePath = zipped;
    } else if (!fs::is_regular_file(options.package)) {
      throw PackError("package " + options.package.u8string() + " does not exist");
    }
    CheckArchive(archivePath);
    const std::vector<uint8_t> archive = ReadFileBytes(archivePath);
    // The progress bar's total: what the extraction will write.
    const uint64_t extracted = (options.sealOptions & kSealOptionProgress)
                                   ? ListArchive(archive.data(), archive.size()).uncompressedBytes
                                   : 0;
    SealImage(image, archive, options.sealOptions, extracted);

    {
      std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
      file.write(reinterpret_cast<const char*>(image.data()), image.size());
      file.write(reinterpret_cast<const char*>(archive.data()), archive.size());
      if (!file.flush()) throw PackError("cannot write " + temporary.u8string());
    }
    ReplaceFile(temporary, options.out);
    if (!zipped.empty()) fs::remove(zipped);
    std::cout << out << ": stub " << image.size() << " bytes, archive " << archive.size()
              << " bytes at offset " << image.size() << ", sealed\n";
    return 0;
  } catch (const std::exception& error) {
    std::error_code ignored;
    if (!temporary.empty()) fs::remove(temporary, ignored);
    if (!zipped.empty()) fs::remove(zipped, ignored);
    std::cerr << "vexlode-pack: " << error.what() << "\n";
    return 1;
  }
}

}  // namespace

#ifdef _WIN32
// Arguments arrive as UTF-16 and are handled as UTF-8 from here on.
int wmain(int argc, wchar_t** argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) {
    int size = WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, nullptr, 0, nullptr, nullptr);
    std::string arg(size > 0 ? size - 1 : 0, '\0');
    if (size > 1) WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, &arg[0], size, nullptr, nullptr);
    args.push_back(arg);
  }
  return Run(args);
}
#else
int main(int argc, char** argv) { return Run(std::vector<std::string>(argv + 1, argv + argc)); }
#endif
