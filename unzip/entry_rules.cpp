#include "unzip/entry_rules.h"

#include "common/bytes.h"
#include "common/text.h"

namespace {

// Position of the first occurrence of `pattern` in `text`, or null.
const wchar_t* FindText(const wchar_t* text, const wchar_t* pattern) {
  for (; *text; ++text) {
    size_t i = 0;
    while (pattern[i] && text[i] == pattern[i]) ++i;
    if (!pattern[i]) return text;
  }
  return nullptr;
}

wchar_t AsciiUpper(wchar_t c) { return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - 32) : c; }

bool EqualsIgnoringAsciiCase(const wchar_t* text, size_t length, const wchar_t* upper) {
  size_t i = 0;
  for (; i < length && upper[i]; ++i)
    if (AsciiUpper(text[i]) != upper[i]) return false;
  return i == length && !upper[i];
}

// Names that Win32 maps to devices wherever they stand in a path, with or
// without an extension: writing to them never writes a file below the base.
bool IsDeviceName(const wchar_t* component, size_t length) {
  size_t stem = 0;
  while (stem < length && component[stem] != L'.') ++stem;
  while (stem > 0 && component[stem - 1] == L' ') --stem;
  static const wchar_t* const kPlain[] = {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"};
  for (const wchar_t* device : kPlain)
    if (EqualsIgnoringAsciiCase(component, stem, device)) return true;
  if (stem == 4 && (EqualsIgnoringAsciiCase(component, 3, L"COM") ||
                    EqualsIgnoringAsciiCase(component, 3, L"LPT"))) {
    wchar_t digit = component[3];
    // Windows also counts the superscript digits one to three.
    return (digit >= L'0' && digit <= L'9') || digit == 0xB9 || digit == 0xB2 || digit == 0xB3;
  }
  return false;
}

bool IsSafeComponent(const wchar_t* component, size_t length) {
  if (length == 0) return true;  // "a//b" and a trailing separator collapse
  bool onlyDotsAndSpaces = true;
  for (size_t i = 0; i < length; ++i) {
    wchar_t c = component[i];
    if (c < 0x20 || c == L':' || c == L'*' || c == L'?' || c == L'"' || c == L'<' ||
        c == L'>' || c == L'|')
      return false;
    if (c != L'.' && c != L' ') onlyDotsAndSpaces = false;
  }
  // "..", "...", ". ." and the like: Win32 trims trailing dots and spaces,
  // so anything but "." itself may climb.
  if (onlyDotsAndSpaces && !(length == 1 && component[0] == L'.')) return false;
  return !IsDeviceName(component, length);
}

bool IsLeapYear(unsigned year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

unsigned DaysInMonth(unsigned year, unsigned month) {
  static const unsigned char kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

}  // namespace

const wchar_t* GuardEntryName(const wchar_t* name) {
  if (!name) return L"";
  static const wchar_t* const kParentSteps[] = {L"\\..\\", L"\\../", L"/../", L"/..\\"};
  const wchar_t* start = name;
  for (;;) {
    if (start[0] && start[1] == L':') {
      start += 2;
      continue;
    }
    if (IsPathSeparator(start[0])) {
      start += 1;
      continue;
    }
    const wchar_t* step = nullptr;
    for (const wchar_t* pattern : kParentSteps)
      if ((step = FindText(start, pattern)) != nullptr) break;
    if (!step) return start;
    start = step + 4;
  }
}

bool IsSafeEntryName(const wchar_t* name) {
  if (!name || IsPathSeparator(name[0])) return false;
  size_t i = 0;
  while (name[i]) {
    size_t end = i;
    while (name[end] && !IsPathSeparator(name[end])) ++end;
    if (!IsSafeComponent(name + i, end - i)) return false;
    i = name[end] ? end + 1 : end;
  }
  return true;
}

uint32_t MapEntryAttributes(uint32_t versionMadeBy, uint32_t externalAttributes) {
  uint32_t host = (versionMadeBy >> 8) & 0xFF;
  if (host == 0 || host == 7 || host == 11 || host == 14)
    return externalAttributes & (kAttributeReadOnly | kAttributeHidden | kAttributeSystem |
                                 kAttributeDirectory | kAttributeArchive);
  uint32_t attributes = kAttributeArchive;
  if (externalAttributes & 0x40000000) attributes |= kAttributeDirectory;  // S_IFDIR
  if (!(externalAttributes & 0x00800000)) attributes |= kAttributeReadOnly;  // no owner write
  return attributes;
}

bool DecodeDosTime(uint16_t date, uint16_t time, CalendarTime* out) {
  CalendarTime t;
  t.year = static_cast<uint16_t>((date >> 9) + 1980);
  t.month = (date >> 5) & 0x0F;
  t.day = date & 0x1F;
  t.hour = time >> 11;
  t.minute = (time >> 5) & 0x3F;
  t.second = static_cast<uint16_t>((time & 0x1F) * 2);
  if (out) *out = t;
  return t.month >= 1 && t.month <= 12 && t.day >= 1 && t.day <= DaysInMonth(t.year, t.month) &&
         t.hour < 24 && t.minute < 60 && t.second < 60;
}

uint64_t UnixTimeToFileTime(int32_t seconds) {
  return static_cast<uint64_t>(static_cast<int64_t>(seconds) + 11644473600LL) * 10000000ULL;
}

bool ParseExtendedTimestamp(const uint8_t* field, size_t length, ExtendedTimes* out) {
  if (!field || !out || length <= 4) return false;
  size_t offset = 0;
  while (offset + 4 < length) {
    size_t dataSize = ReadLe16(field + offset + 2);
    if (field[offset] == 'U' && field[offset + 1] == 'T') {
      size_t blockEnd = offset + 4 + dataSize;
      if (blockEnd > length) blockEnd = length;
      uint8_t flags = field[offset + 4];
      size_t at = offset + 5;
      struct Slot { uint8_t flag; bool* has; uint64_t* time; };
      const Slot slots[] = {{0x1, &out->hasWrite, &out->write},
                            {0x2, &out->hasAccess, &out->access},
                            {0x4, &out->hasCreation, &out->creation}};
      for (const Slot& slot : slots) {
        if (!(flags & slot.flag)) continue;
        if (at + 4 > blockEnd) break;
        *slot.has = true;
        *slot.time = UnixTimeToFileTime(static_cast<int32_t>(ReadLe32(field + at)));
        at += 4;
      }
      return true;
    }
    offset += 4 + dataSize;
  }
  return false;
}

size_t DirectoryPartLength(const wchar_t* name) {
  size_t length = 0;
  for (size_t i = 0; name && name[i]; ++i)
    if (IsPathSeparator(name[i])) length = i + 1;
  return length;
}

bool FindExtraBlock(const uint8_t* field, size_t length, uint16_t id, const uint8_t** data,
                    size_t* size) {
  if (!field || !data || !size) return false;
  for (size_t offset = 0; length >= 4 && offset <= length - 4;) {
    size_t dataSize = ReadLe16(field + offset + 2);
    if (ReadLe16(field + offset) == id) {
      *data = field + offset + 4;
      *size = dataSize < length - offset - 4 ? dataSize : length - offset - 4;
      return true;
    }
    offset += 4 + dataSize;
  }
  return false;
}

namespace {

// A local ZIP64 block holds the uncompressed, then the compressed size. The
// format asks for both in a local header; some writers store only those
// whose 32-bit field is 0xFFFFFFFF, so fewer than 16 bytes are read that way.
bool LocalSizesAgree(const uint8_t* header, const CentralFields& central, const uint8_t* extra,
                     size_t extraLength) {
  const uint32_t kMarker = 0xFFFFFFFF;
  uint32_t compressed = ReadLe32(header + 18), uncompressed = ReadLe32(header + 22);
  const uint8_t* block = nullptr;
  size_t blockSize = 0;
  bool zip64 = (compressed == kMarker || uncompressed == kMarker) &&
               FindExtraBlock(extra, extraLength, kZip64BlockId, &block, &blockSize);
  size_t compressedAt = (blockSize >= 16 || uncompressed == kMarker) ? 8 : 0;
  auto agrees = [&](uint32_t local, uint64_t expected, size_t at) {
    if (local != kMarker || !zip64) return local == expected;
    return at + 8 <= blockSize && ReadLe64(block + at) == expected;
  };
  return agrees(uncompressed, central.uncompressedSize, 0) &&
         agrees(compressed, central.compressedSize, compressedAt);
}

}  // namespace

bool LocalHeaderAgrees(const uint8_t* header, size_t length, const CentralFields& central,
                       const uint8_t* extra, size_t extraLength) {
  if (!header || length < kLocalHeaderSize) return false;
  if (ReadLe32(header) != 0x04034b50) return false;
  uint16_t flags = ReadLe16(header + 6);
  uint16_t method = ReadLe16(header + 8);
  if (method != central.method || !IsExtractableMethod(method)) return false;
  if (!(flags & 0x8) && (ReadLe32(header + 14) != central.crc ||
                         !LocalSizesAgree(header, central, extra, extraLength)))
    return false;
  return ReadLe16(header + 26) == central.nameLength;
}

bool IsEmptyArchive(const uint8_t* bytes, size_t length) {
  if (!bytes || length < 22 || ReadLe32(bytes) != 0x06054b50) return false;
  for (size_t at = 4; at < 20; ++at)  // disk numbers, entry counts, directory size and offset
    if (bytes[at]) return false;
  return ReadLe16(bytes + 20) == length - 22;
}

uint8_t ExpectedCheckByte(uint16_t flags, uint32_t crc, uint32_t dosDateTime) {
  return static_cast<uint8_t>((flags & 0x8) ? (dosDateTime >> 8) : (crc >> 24));
}
