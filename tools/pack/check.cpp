#include "tools/pack/check.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <optional>

#include "app/exit_code.h"
#include "app/payload.h"
#include "app/payload_seal.h"
#include "common/sha256.h"
#include "tools/pack/archive.h"
#include "tools/pack/bytes.h"
#include "tools/pack/manifest.h"
#include "tools/pack/pack_error.h"
#include "tools/pack/pe_resources.h"
#include "tools/pack/version_info.h"
#include "unzip/entry_rules.h"

namespace {

// The one place the check hashes.
std::array<uint8_t, 32> Digest(const uint8_t* bytes, size_t size) {
  const Sha256Digest digest = Sha256Of(bytes, size);
  std::array<uint8_t, 32> out;
  std::copy(std::begin(digest.bytes), std::end(digest.bytes), out.begin());
  return out;
}

std::string Hex(const uint8_t* bytes, size_t size) {
  std::string hex;
  for (size_t i = 0; i < size; ++i) hex += "0123456789abcdef"[bytes[i] >> 4], hex += "0123456789abcdef"[bytes[i] & 15];
  return hex;
}

// The verdict texts are the stub's own, and plain ASCII.
std::string Narrow(const wchar_t* text) {
  std::string out;
  for (; *text; ++text) out += char(*text);
  return out;
}

// Text from the file goes on one line of its own: a line break in a version
// string must not forge a fact.
std::string OneLine(const std::string& text) {
  std::string out = text;
  for (char& c : out)
    if (uint8_t(c) < 0x20 || c == 0x7F) c = '?';
  return out;
}

std::string MachineText(uint16_t machine) {
  if (machine == 0x14c) return "32-bit";
  if (machine == 0x8664) return "64-bit";
  char text[32];
  snprintf(text, sizeof text, "machine 0x%x", machine);
  return text;
}

std::string MethodText(uint16_t method) {
  const std::string number = std::to_string(method);
  if (method == 0) return number + " stored";
  if (method == 8) return number + " deflate";
  if (method == 14) return number + " LZMA";
  return number + " unsupported";
}

std::string Count(uint64_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

// The seal record as the loader maps it: the seal section's first raw
// bytes, and zeros where its raw data is shorter than a record.
struct MappedRecord {
  size_t offset = 0;  // in the file
  size_t length = 0;  // bytes of the record that come from the file
  std::array<uint8_t, kSealRecordSize> bytes{};
};

// None when the image has no seal section. A record whose raw data runs
// past the file's end is left all zeros: damaged.
std::optional<MappedRecord> MapSealRecord(const std::vector<uint8_t>& file, const PeLayout& layout) {
  for (size_t i = 0; i < layout.sectionCount; ++i) {
    const size_t header = SectionHeader(layout, i);
    if (!std::equal(kSealSectionName, kSealSectionName + sizeof kSealSectionName, file.begin() + header)) continue;
    MappedRecord record;
    const uint64_t raw = GetU32(file, header + 20);
    const uint64_t length = std::min<uint64_t>(GetU32(file, header + 16), kSealRecordSize);
    if (raw + length <= file.size()) {
      record.offset = size_t(raw);
      record.length = size_t(length);
      std::copy(file.begin() + raw, file.begin() + raw + length, record.bytes.begin());
    }
    return record;
  }
  return std::nullopt;
}

// The stub as it was before packing: its seal record emptied and its
// checksum what the linker wrote. For an installer packed without branding
// this is the stub file itself. Section ends wrap at 4 GiB, so the image may
// end before the record does.
std::vector<uint8_t> UnsealedImage(const std::vector<uint8_t>& file, const PeLayout& layout, const MappedRecord& record) {
  std::vector<uint8_t> image(file.begin(), file.begin() + std::min<uint64_t>(uint32_t(layout.payloadOffset), file.size()));
  const size_t end = std::min(record.offset + record.length, image.size());
  for (size_t at = record.offset; at < end; ++at)
    image[at] = at - record.offset < sizeof kSealMagic ? kSealMagic[at - record.offset] : 0;
  const size_t checksum = ChecksumField(layout);
  if (checksum + 4 <= image.size() && GetU32(image, checksum)) SetU32(image, checksum, PeChecksum(image, checksum));
  return image;
}

// The resource tree the loader would find through the resource directory;
// none when the image has none. Throws PackError when it is malformed.
std::optional<ResourceTree> ImageResources(const std::vector<uint8_t>& image, const PeLayout& layout) {
  constexpr int kResourceDirectory = 2;
  const bool plus = layout.optionalMagic == 0x20b;
  const size_t countField = plus ? 108 : 92, entry = (plus ? 112 : 96) + 8 * kResourceDirectory;
  const size_t optional = layout.peOffset + 24;
  if ((!plus && layout.optionalMagic != 0x10b) || entry + 8 > layout.optionalHeaderSize ||
      GetU32(image, optional + countField) <= kResourceDirectory)
    return std::nullopt;
  const uint32_t rva = GetU32(image, optional + entry);
  if (!rva || !GetU32(image, optional + entry + 4)) return std::nullopt;
  for (size_t i = 0; i < layout.sectionCount; ++i) {
    const size_t header = SectionHeader(layout, i);
    const uint32_t va = GetU32(image, header + 12), rawSize = GetU32(image, header + 16),
                   raw = GetU32(image, header + 20);
    if (rva < va || rva - va >= rawSize) continue;
    if (uint64_t(raw) + rawSize > image.size()) break;
    const std::vector<uint8_t> section(image.begin() + raw + (rva - va), image.begin() + raw + rawSize);
    return ParseResourceSection(section, rva);
  }
  throw PackError("the resource directory lies outside the sections");
}

// What the stub's check-out would conclude, from the bytes it would copy
// (from `offset`; their count goes to `archiveSize`) and read after them.
SealVerdict StubVerdict(const std::vector<uint8_t>& file, uint64_t offset, SealPlan plan, const PayloadSeal& seal,
                        const PeLayout& ownHeaders, uint64_t* archiveSize) {
  const uint64_t start = std::min<uint64_t>(offset, file.size());
  *archiveSize = file.size() - start;
  if (plan == SealPlan::TakeAsIs) return SealVerdict::Intact;
  if (plan == SealPlan::Refuse) return SealVerdict::BadRecord;
  *archiveSize = std::min<uint64_t>(seal.archiveSize, *archiveSize);
  const std::array<uint8_t, 32> digest = Digest(file.data() + start, size_t(*archiveSize));
  uint8_t copied[32];
  std::copy(digest.begin(), digest.end(), copied);
  const uint64_t after = start + *archiveSize;
  const size_t gapLength =
      CertificateGapLength(offset + seal.archiveSize, ownHeaders.certificateOffset, ownHeaders.certificateSize);
  const size_t gapRead = size_t(std::min<uint64_t>(gapLength, file.size() - after));
  return JudgeSealedCopy(seal, DescribeSealedCopy(seal, offset, *archiveSize, copied, file.size(), ownHeaders,
                                                  file.data() + after, gapRead));
}

class Report {
 public:
  explicit Report(std::ostream& out) : out_(out) {}
  void Fact(const std::string& key, const std::string& value) { out_ << key << ": " << value << "\n"; }
  bool Installs() {
    Fact("result", "installs");
    return true;
  }
  bool DoesNotInstall(const std::string& reason) {
    Fact("result", "does not install: " + reason);
    return false;
  }

 private:
  std::ostream& out_;
};

void ReportSignature(Report& report, const PeLayout& layout, uint64_t fileSize) {
  if (!layout.certificateSize) return report.Fact("signature", "none");
  const uint64_t end = uint64_t(layout.certificateOffset) + layout.certificateSize;
  const std::string table = "certificate table of " + std::to_string(layout.certificateSize) + " bytes at " +
                            std::to_string(layout.certificateOffset);
  report.Fact("signature", table + (end == fileSize ? ", ends the file (the signer is not judged here)"
                                    : end > fileSize ? ", runs past the end of the file"
                                                     : ", does not end the file: " +
                                                           std::to_string(fileSize - end) + " bytes follow it"));
}

// The package the stub would extract: `size` bytes at `archive`.
ArchiveListing ReportPackage(Report& report, const uint8_t* archive, size_t size) {
  const ArchiveListing listing = ListArchive(archive, size);
  if (!listing.readable) {
    report.Fact("package", "not a readable ZIP archive");
    return listing;
  }
  report.Fact("package", Count(listing.entries, "entry", "entries") + ", " +
                             Count(listing.uncompressedBytes, "byte", "bytes") + " uncompressed");
  report.Fact("package setup.exe", listing.setupAtRoot ? "at the root" : "not at the root");
  std::string methods;
  for (const auto& [method, entries] : listing.methods)
    methods += (methods.empty() ? "" : ", ") + MethodText(method) + " (" + Count(entries, "entry", "entries") + ")";
  report.Fact("package compression", methods.empty() ? "(no entries)" : methods);
  return listing;
}

// What the loader will ask for: the level of the first manifest.
void ReportElevation(Report& report, const std::optional<ResourceTree>& tree) {
  const ResourceKey manifest{false, 24, {}};
  std::string level;
  if (tree && tree->count(manifest) && !tree->at(manifest).empty() && !tree->at(manifest).begin()->second.empty()) {
    const std::vector<uint8_t>& bytes = tree->at(manifest).begin()->second.begin()->second.bytes;
    level = ExecutionLevel(std::string(bytes.begin(), bytes.end()));
  }
  const char* meaning = level == "requireAdministrator" ? "administrator: a consent prompt, always elevated"
                        : level == "highestAvailable"   ? "highest: elevated for administrators, as is for others"
                        : level == "asInvoker"          ? "invoker: no consent prompt, the caller's rights"
                                                        : nullptr;
  report.Fact("elevation", meaning ? std::string(meaning) + " (" + level + ")"
                           : level.empty() ? std::string("none requested: the caller's rights")
                                           : "unknown level " + OneLine(level));
}

void ReportBranding(Report& report, const std::vector<uint8_t>& file, const PeLayout& layout) {
  std::optional<ResourceTree> tree;
  try {
    tree = ImageResources(file, layout);
  } catch (const PackError& error) {
    return report.Fact("branding", std::string("unreadable: ") + error.what());
  }
  std::string productName = "(none)", fileVersion = "(none)";
  const ResourceKey version{false, 16, {}}, iconGroup{false, 14, {}};
  if (tree && tree->count(version) && !tree->at(version).empty() && !tree->at(version).begin()->second.empty()) {
    try {
      for (const auto& [key, value] : ReadVersionStrings(tree->at(version).begin()->second.begin()->second.bytes)) {
        if (key == "ProductName") productName = OneLine(value);
        if (key == "FileVersion") fileVersion = OneLine(value);
      }
    } catch (const PackError& error) {
      productName = fileVersion = std::string("unreadable: ") + error.what();
    }
  }
  report.Fact("branding ProductName", productName);
  report.Fact("branding FileVersion", fileVersion);
  report.Fact("branding icon", tree && tree->count(iconGroup) ? "set" : "none");
  ReportElevation(report, tree);
}

void ReportOptions(Report& report, SealState state, uint32_t options) {
  if (state == SealState::Malformed) {
    report.Fact("option exit code", "unknown (the seal record is damaged)");
    report.Fact("option working directory", "unknown (the seal record is damaged)");
    report.Fact("option installer temp", "unknown (the seal record is damaged)");
    return report.Fact("option progress", "unknown (the seal record is damaged)");
  }
  report.Fact("option exit code", options & kSealOptionInstallerExitCode
                                      ? "installer: setup.exe's own, " + std::to_string(kInstallerNotRunExitCode) +
                                            " when it did not run"
                                      : std::string("checkout: 1 once the archive is checked out, 0 before"));
  report.Fact("option working directory", options & kSealOptionPackageWorkingDirectory
                                              ? "package: setup.exe's own folder"
                                              : "caller: the caller's current directory");
  report.Fact("option installer temp", options & kSealOptionPrivateInstallerTemp
                                           ? "private: a protected folder of the run, removed afterwards"
                                           : "user: the user's TEMP");
  report.Fact("option progress", options & kSealOptionProgress
                                     ? "shown when checking out and extracting take over a second"
                                     : "none: no window");
}

}  // namespace

std::string DigestText(const uint8_t* bytes, size_t size) {
  const std::array<uint8_t, 32> digest = Digest(bytes, size);
  return Hex(digest.data(), digest.size());
}

bool CheckInstaller(const std::string& name, const std::vector<uint8_t>& file, std::ostream& out) {
  Report report(out);
  report.Fact("file", name);
  // As the stub finds its payload: the header scan over the first MiB.
  PeLayout layout;
  if (!ScanPeLayout(file.data(), std::min(file.size(), kHeaderBufferSize), &layout) || layout.payloadOffset < 0) {
    report.Fact("stub", "not a PE image");
    return report.DoesNotInstall("no payload offset: the stub would stop at once");
  }
  const uint64_t offset = uint32_t(layout.payloadOffset);
  const std::optional<MappedRecord> record = MapSealRecord(file, layout);
  if (!record) {
    report.Fact("stub", MachineText(layout.machine) + ", not a vexlode stub (no seal section)");
    return report.DoesNotInstall("not a vexlode installer");
  }
  report.Fact("stub", "vexlode, " + MachineText(layout.machine) + ", " + std::to_string(offset) + " bytes");
  const uint64_t imageEnd = std::min<uint64_t>(offset, file.size());  // a file cut inside its image
  const std::vector<uint8_t> unsealed = UnsealedImage(file, layout, *record);
  report.Fact("stub sha256", DigestText(unsealed.data(), unsealed.size()) + " (with its seal emptied)");

  // The stub's own decision, on the bytes it would read: its record, and
  // its headers as the loader maps them.
  PayloadSeal seal = {};
  const SealState state = ReadSealRecord(record->bytes.data(), kSealRecordSize, &seal);
  PeLayout ownHeaders;
  const SealPlan plan =
      PlanPayloadCheck(state, ScanPeLayout(file.data(), std::min(file.size(), kMappedHeaderBytes), &ownHeaders));
  uint64_t archiveSize = 0;
  const SealVerdict verdict = StubVerdict(file, offset, plan, seal, ownHeaders, &archiveSize);
  report.Fact("seal", plan == SealPlan::TakeAsIs ? "empty: not sealed, the stub takes whatever archive the file holds"
                      : verdict == SealVerdict::Intact
                          ? "sealed, intact: archive of " + std::to_string(seal.archiveSize) + " bytes, sha256 " +
                                Hex(seal.digest, sizeof seal.digest)
                          : Narrow(SealVerdictText(verdict)));
  ReportSignature(report, layout, file.size());
  const ArchiveListing listing = ReportPackage(report, file.data() + imageEnd, size_t(archiveSize));
  ReportBranding(report, file, layout);
  ReportOptions(report, state, seal.options);

  if (verdict != SealVerdict::Intact) return report.DoesNotInstall(Narrow(SealVerdictText(verdict)));
  if (!listing.readable) return report.DoesNotInstall("the package is not a readable ZIP archive");
  if (!listing.setupAtRoot) return report.DoesNotInstall("no setup.exe at the package's root");
  if (!IsExtractableMethod(listing.setupMethod))
    return report.DoesNotInstall("setup.exe is compressed with method " + std::to_string(listing.setupMethod) +
                                 ", which the stub cannot extract");
  return report.Installs();
}
