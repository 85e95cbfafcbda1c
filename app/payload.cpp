#include "app/payload.h"

#include "common/bytes.h"
#include "common/format.h"
#include "common/path.h"
#include "common/text.h"

namespace {

// True when [offset, offset + size) lies within `length` bytes.
bool Within(uint64_t offset, uint64_t size, size_t length) {
  return offset <= length && size <= length - offset;
}

constexpr size_t kPeSignatureOffsetField = 60;
constexpr size_t kFileHeaderSize = 20;
constexpr size_t kSectionHeaderSize = 40;
constexpr uint32_t kSecurityDirectory = 4;

// Where the data directory's count and first entry sit in the optional header.
struct DirectoryLayout {
  size_t countField;
  size_t firstEntry;
};
constexpr DirectoryLayout kPe32Directories = {92, 96};
constexpr DirectoryLayout kPe32PlusDirectories = {108, 112};

}  // namespace

bool ScanPeLayout(const uint8_t* bytes, size_t length, PeLayout* layout) {
  if (!bytes || !layout || length > kHeaderBufferSize) return false;
  if (!Within(0, 2, length) || bytes[0] != 'M' || bytes[1] != 'Z') return false;
  if (!Within(kPeSignatureOffsetField, 4, length)) return false;
  const uint64_t pe = ReadLe32(bytes + kPeSignatureOffsetField);
  if (!Within(pe, 4 + kFileHeaderSize, length)) return false;
  if (bytes[pe] != 'P' || bytes[pe + 1] != 'E' || bytes[pe + 2] || bytes[pe + 3]) return false;

  const uint16_t sectionCount = ReadLe16(bytes + pe + 6);
  // The section table follows the optional header, whose size the file
  // header gives (224 bytes in a 32-bit image, 240 in a 64-bit one).
  const uint16_t optionalHeaderSize = ReadLe16(bytes + pe + 4 + 16);
  const uint64_t table = pe + 4 + kFileHeaderSize + optionalHeaderSize;
  if (!Within(table, uint64_t(sectionCount) * kSectionHeaderSize, length)) return false;

  uint32_t end = 0;
  for (uint32_t i = 0; i < sectionCount; ++i) {
    const uint8_t* section = bytes + table + i * kSectionHeaderSize;
    uint32_t sectionEnd = ReadLe32(section + 20) + ReadLe32(section + 16);
    if (sectionEnd > end) end = sectionEnd;
  }
  layout->payloadOffset = static_cast<int32_t>(end);
  layout->peOffset = static_cast<uint32_t>(pe);
  layout->machine = ReadLe16(bytes + pe + 4);
  // The table check above puts the whole optional header inside the bytes.
  layout->optionalMagic = optionalHeaderSize >= 2 ? ReadLe16(bytes + pe + 4 + kFileHeaderSize) : 0;
  layout->optionalHeaderSize = optionalHeaderSize;
  layout->sectionCount = sectionCount;
  layout->sectionTable = static_cast<uint32_t>(table);

  layout->certificateOffset = layout->certificateSize = 0;
  const DirectoryLayout* directories = layout->optionalMagic == 0x10b   ? &kPe32Directories
                                       : layout->optionalMagic == 0x20b ? &kPe32PlusDirectories
                                                                        : nullptr;
  if (directories) {
    const size_t entry = directories->firstEntry + kSecurityDirectory * 8;
    const uint8_t* optional = bytes + pe + 4 + kFileHeaderSize;
    if (entry + 8 <= optionalHeaderSize && ReadLe32(optional + directories->countField) > kSecurityDirectory) {
      layout->certificateOffset = ReadLe32(optional + entry);
      layout->certificateSize = ReadLe32(optional + entry + 4);
    }
  }
  return true;
}

int32_t ScanPayloadOffset(const uint8_t* bytes, size_t length) {
  PeLayout layout;
  return ScanPeLayout(bytes, length, &layout) ? layout.payloadOffset : kNoPayload;
}

void FormatArchiveName(wchar_t* out, size_t capacity, int firstDraw, int secondDraw, int thirdDraw) {
  FormatText(out, capacity, L"vexlode_%d_%d_%d.zip", thirdDraw, secondDraw, firstDraw);
}

void DrawsFromRandomBytes(const uint8_t (&bytes)[6], int (&draws)[3]) {
  for (int i = 0; i < 3; ++i) draws[i] = (bytes[2 * i] | (bytes[2 * i + 1] << 8)) & 0x7FFF;
}

TempVolumeUse JudgeTempVolume(bool elevated, const TempVolume& volume) {
  if (!elevated) return TempVolumeUse::kUsable;
  if (!volume.deviceRead || (volume.characteristics & kRemoteDeviceCharacteristic) ||
      volume.deviceType == kNetworkFileSystemDevice || volume.deviceType == kDfsFileSystemDevice)
    return TempVolumeUse::kRemote;
  if (!volume.flagsRead || !(volume.flags & kVolumePersistentAcls))
    return TempVolumeUse::kNoPermissions;
  return TempVolumeUse::kUsable;
}

void ArchiveBasePath(const wchar_t* archivePath, wchar_t* out, size_t capacity) {
  size_t stem = StemLength(archivePath);
  // Without a dot there is no extension to cut, and no base either.
  CopyText(out, capacity, archivePath, archivePath && archivePath[stem] ? stem : 0);
}
