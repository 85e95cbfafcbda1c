// Where the appended archive starts, and the temporary archive's names and
// place. Pure functions; the Win32 side is in checkout.h and temp_workspace.h.
#pragma once
#include <stddef.h>
#include <stdint.h>

constexpr size_t kHeaderBufferSize = 1048576;  // the first MiB of the file
constexpr int32_t kNoPayload = -1;
// Room for "vexlode_N_N_N.zip" and its terminator, with some to spare.
constexpr size_t kArchiveNameChars = 64;
constexpr size_t kMappedHeaderBytes = 4096;  // the headers' page in a running image

// The payload offset: the largest PointerToRawData + SizeOfRawData (mod 2^32)
// over the section table. `bytes` holds the `length` bytes actually read from
// the start of the file. Returns kNoPayload when "MZ" or "PE\0\0" is missing,
// or when any header field it needs lies outside those bytes: a hostile file
// never makes it read beyond them.
int32_t ScanPayloadOffset(const uint8_t* bytes, size_t length);

// What the packer needs besides the payload offset, from the same checked scan.
struct PeLayout {
  int32_t payloadOffset;       // as ScanPayloadOffset returns it
  uint32_t peOffset;           // file offset of "PE\0\0"
  uint16_t machine;            // file header Machine
  uint16_t optionalMagic;      // 0x10b (PE32), 0x20b (PE32+); 0 when the optional header is too short
  uint16_t optionalHeaderSize;
  uint16_t sectionCount;
  uint32_t sectionTable;       // file offset of the first section header
  // The certificate table (a signature) as the security directory declares
  // it: a file offset and a size; both 0 when the header holds no such entry.
  uint32_t certificateOffset;
  uint32_t certificateSize;
};

// Fills `layout` and returns true where ScanPayloadOffset finds an offset;
// every field it fills lies inside the `length` bytes.
bool ScanPeLayout(const uint8_t* bytes, size_t length, PeLayout* layout);

// "vexlode_third_second_first.zip" from three successive draws.
void FormatArchiveName(wchar_t* out, size_t capacity, int firstDraw, int secondDraw, int thirdDraw);

// Three draws for a name tried after the first, each 0 to 32767 as rand()
// gives them, from six bytes of the system's random source: names put in
// place for the coming tick counts cannot foresee them.
void DrawsFromRandomBytes(const uint8_t (&bytes)[6], int (&draws)[3]);

// GetVolumeInformation's flag for a file system that keeps permissions.
constexpr uint32_t kVolumePersistentAcls = 0x00000008;
// FILE_FS_DEVICE_INFORMATION: a remote volume's characteristic, and the
// network file systems' device types (the redirector's, and DFS's).
constexpr uint32_t kRemoteDeviceCharacteristic = 0x00000010;
constexpr uint32_t kNetworkFileSystemDevice = 0x14;
constexpr uint32_t kDfsFileSystemDevice = 0x35;

// What was read of the volume a temporary directory is on.
struct TempVolume {
  bool flagsRead = false;
  uint32_t flags = 0;
  bool deviceRead = false;
  uint32_t deviceType = 0;
  uint32_t characteristics = 0;
};

enum class TempVolumeUse { kUsable, kNoPermissions, kRemote };

// Whether the run may create its objects in a temporary directory on
// `volume`. An elevated run protects them with a descriptor, which a file
// system without permissions (FAT, exFAT) drops without a word: there the
// user could change them at will. On a network volume the server judges
// that descriptor by the user's network identity, the same elevated or not,
// and may answer a later open with other bytes than it gave us: a volume
// not shown to be local is refused as remote.
TempVolumeUse JudgeTempVolume(bool elevated, const TempVolume& volume);

// The archive path up to, not including, its last '.'; empty without one.
void ArchiveBasePath(const wchar_t* archivePath, wchar_t* out, size_t capacity);
