// The extractor's pure decisions over fuzzed entries: name guard and safety
// check, target path joining, attribute mapping, MS-DOS time decoding, the
// "UT" extra-field parser, the local header check and the encryption check
// byte. The name guard and the safety check are held to properties; the
// rest is compared with a model written from the format's rules.
#include <algorithm>

#include "common/bytes.h"
#include "fuzz_support.h"
#include "unzip/crypt_check.h"
#include "unzip/entry_rules.h"

using fuzz::HeapBuffer;
using fuzz::HeapText;
using fuzz::Units;

namespace {

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

bool Contains(const Units& text, const char* pattern) {
  Units p = fuzz::Widen(pattern);
  return std::search(text.begin(), text.end(), p.begin(), p.end()) != text.end();
}

// What the guard acts on: a drive prefix ("X:"), a leading separator, or
// a parent step anywhere.
bool GuardActsOn(const Units& name) {
  if (name.size() >= 2 && name[1] == L':') return true;
  if (!name.empty() && IsSeparator(name[0])) return true;
  for (const char* step : {"\\..\\", "\\../", "/../", "/..\\"})
    if (Contains(name, step)) return true;
  return false;
}

// What Win32 makes of a component: trailing dots and spaces are dropped.
Units Trimmed(Units component) {
  while (!component.empty() && (component.back() == L'.' || component.back() == L' '))
    component.pop_back();
  return component;
}

// A name judged safe must not be able to leave the base directory: not
// rooted, no drive or stream colon, and no component that Win32 could read
// as a parent step.
void CheckSafeMeansContained(const Units& name) {
  FUZZ_CHECK(name.empty() || !IsSeparator(name[0]));
  FUZZ_CHECK(std::find(name.begin(), name.end(), L':') == name.end());
  Units component;
  auto finish = [&] {
    if (!component.empty() && !(component.size() == 1 && component[0] == L'.'))
      FUZZ_CHECK(!Trimmed(component).empty());
    component.clear();
  };
  for (wchar_t c : name) {
    if (IsSeparator(c)) finish();
    else component.push_back(c);
  }
  finish();
}

uint32_t ModelAttributes(uint32_t madeBy, uint32_t external) {
  const uint32_t host = (madeBy >> 8) & 0xFF;
  uint32_t attributes = 0;
  if (host == 0 || host == 7 || host == 11 || host == 14) {
    if (external & 0x10) attributes |= 0x10;
    if (external & 0x01) attributes |= 0x01;
    if (external & 0x02) attributes |= 0x02;
    if (external & 0x04) attributes |= 0x04;
    if (external & 0x20) attributes |= 0x20;
  } else {
    if (external & (1u << 30)) attributes |= 0x10;
    if (!(external & (1u << 23))) attributes |= 0x01;
    attributes |= 0x20;
  }
  return attributes;
}

// Days since 1970-01-01 of a proleptic Gregorian date, and back.
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int64_t* y, unsigned* m, unsigned* d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  *d = doy - (153 * mp + 2) / 5 + 1;
  *m = mp < 10 ? mp + 3 : mp - 9;
  *y = static_cast<int64_t>(yoe) + era * 400 + (*m <= 2);
}

bool ModelDateValid(unsigned year, unsigned month, unsigned day) {
  if (month < 1 || month > 12 || day < 1) return false;
  int64_t y;
  unsigned m, d;
  CivilFromDays(DaysFromCivil(year, month, day), &y, &m, &d);
  return y == year && m == month && d == day;  // 31 April comes back as 1 May
}

uint64_t ModelFileTime(int32_t seconds) {
  return static_cast<uint64_t>((static_cast<__int128>(seconds) + 11644473600) * 10000000);
}

ExtendedTimes ModelExtendedTimes(const std::vector<uint8_t>& field, bool* found) {
  ExtendedTimes times;
  *found = false;
  if (field.size() <= 4) return times;
  for (size_t offset = 0; offset + 4 < field.size();) {
    const size_t dataSize = field[offset + 2] | field[offset + 3] << 8;
    if (field[offset] == 'U' && field[offset + 1] == 'T') {
      *found = true;
      const size_t end = std::min(field.size(), offset + 4 + dataSize);
      const uint8_t flags = field[offset + 4];
      size_t at = offset + 5;
      bool* has[] = {&times.hasWrite, &times.hasAccess, &times.hasCreation};
      uint64_t* value[] = {&times.write, &times.access, &times.creation};
      for (int bit = 0; bit < 3; ++bit) {
        if (!(flags & (1 << bit))) continue;
        if (at + 4 > end) break;
        *has[bit] = true;
        *value[bit] = ModelFileTime(static_cast<int32_t>(ReadLe32(&field[at])));
        at += 4;
      }
      return times;
    }
    offset += 4 + dataSize;
  }
  return times;
}

// Traditional PKWARE decryption keyed with the empty password.
int ModelCheckByte(const uint8_t* header) {
  auto crc = [](uint32_t value, uint8_t byte) {
    value ^= byte;
    for (int i = 0; i < 8; ++i) value = (value >> 1) ^ (0xEDB88320u & (0u - (value & 1)));
    return value;
  };
  uint32_t keys[3] = {0x12345678, 0x23456789, 0x34567890};
  int plain = 0;
  for (int i = 0; i < 12; ++i) {
    uint32_t temp = (keys[2] & 0xFFFF) | 2;
    plain = header[i] ^ static_cast<uint8_t>((temp * (temp ^ 1)) >> 8);
    keys[0] = crc(keys[0], static_cast<uint8_t>(plain));
    keys[1] = (keys[1] + (keys[0] & 0xFF)) * 134775813 + 1;
    keys[2] = crc(keys[2], static_cast<uint8_t>(keys[1] >> 24));
  }
  return plain;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Reader in(data, size);
  const uint16_t madeBy = in.U16();
  const uint32_t external = in.U32();
  const uint16_t date = in.U16();
  const uint16_t time = in.U16();
  const size_t joinCapacity = in.U16() % 600;
  CentralFields central;
  central.method = in.U16();
  central.crc = in.U32();
  central.compressedSize = in.U32();
  central.uncompressedSize = in.U32();
  central.nameLength = in.U16();
  const uint16_t generalFlags = in.U16();
  const Units nameUnits = in.Text();
  const Units baseUnits = in.Text();
  const std::vector<uint8_t> rest = in.Rest();

  // Name guard: a suffix of the name that ends a dropped step (a drive's
  // colon or a separator), with nothing left for the guard to act on; a
  // name it would not act on comes back whole.
  const HeapText name(nameUnits);
  const wchar_t* guarded = GuardEntryName(name.get());
  FUZZ_CHECK(guarded >= name.get() && guarded <= name.get() + name.length());
  const size_t start = guarded - name.get();
  FUZZ_CHECK(start == 0 || nameUnits[start - 1] == L':' || IsSeparator(nameUnits[start - 1]));
  const Units guardedUnits(nameUnits.begin() + start, nameUnits.end());
  FUZZ_CHECK(!GuardActsOn(guardedUnits));
  FUZZ_CHECK(GuardActsOn(nameUnits) || start == 0);
  FUZZ_CHECK(GuardEntryName(guarded) == guarded);
  FUZZ_CHECK(*GuardEntryName(nullptr) == 0);

  const bool safe = IsSafeEntryName(guarded);
  if (safe) CheckSafeMeansContained(guardedUnits);
  FUZZ_CHECK(!IsSafeEntryName(nullptr));

  // Target path: base + directory part + file part, or nothing when too long.
  const size_t directory = DirectoryPartLength(guarded);
  size_t modelDirectory = 0;
  for (size_t i = 0; i < guardedUnits.size(); ++i)
    if (IsSeparator(guardedUnits[i])) modelDirectory = i + 1;
  FUZZ_CHECK(directory == modelDirectory);
  {
    const HeapText base(baseUnits);
    HeapBuffer out(joinCapacity);
    const bool joined = JoinPath(out.get(), out.capacity(), base.get(), guarded, directory,
                                 guarded + directory);
    Units expected = baseUnits;
    fuzz::AppendUnits(expected, guardedUnits);
    FUZZ_CHECK(joined == (joinCapacity > 0 && expected.size() < joinCapacity));
    if (joinCapacity == 0)
      FUZZ_CHECK(out.get()[0] == HeapBuffer::kUnwritten);
    else
      FUZZ_CHECK(fuzz::Equal(out.get(), joined ? expected : Units()));
  }

  FUZZ_CHECK(MapEntryAttributes(madeBy, external) == ModelAttributes(madeBy, external));

  // MS-DOS time: fields by the bit layout, valid exactly for real calendar times.
  CalendarTime decoded;
  const bool valid = DecodeDosTime(date, time, &decoded);
  FUZZ_CHECK(decoded.year == (date >> 9) + 1980 && decoded.month == ((date >> 5) & 15) &&
             decoded.day == (date & 31) && decoded.hour == (time >> 11) &&
             decoded.minute == ((time >> 5) & 63) && decoded.second == (time & 31) * 2);
  FUZZ_CHECK(valid == (ModelDateValid(decoded.year, decoded.month, decoded.day) &&
                       decoded.hour < 24 && decoded.minute < 60 && decoded.second < 60));
  FUZZ_CHECK(DecodeDosTime(date, time, nullptr) == valid);

  // "UT" block in an exactly sized copy of the field.
  {
    std::unique_ptr<uint8_t[]> field(new uint8_t[rest.size() ? rest.size() : 1]);
    if (!rest.empty()) memcpy(field.get(), rest.data(), rest.size());
    ExtendedTimes times;
    const bool found = ParseExtendedTimestamp(rest.empty() ? nullptr : field.get(), rest.size(), &times);
    bool modelFound;
    const ExtendedTimes model = ModelExtendedTimes(rest, &modelFound);
    FUZZ_CHECK(found == modelFound);
    FUZZ_CHECK(times.hasWrite == model.hasWrite && times.write == model.write);
    FUZZ_CHECK(times.hasAccess == model.hasAccess && times.access == model.access);
    FUZZ_CHECK(times.hasCreation == model.hasCreation && times.creation == model.creation);
  }
  FUZZ_CHECK(UnixTimeToFileTime(static_cast<int32_t>(external)) ==
             ModelFileTime(static_cast<int32_t>(external)));

  // Local header check over the first bytes of the rest, exactly sized, with
  // whatever follows them as the local extra field.
  {
    const size_t length = std::min<size_t>(rest.size(), kLocalHeaderSize + 4);
    std::unique_ptr<uint8_t[]> header(new uint8_t[length ? length : 1]);
    if (length) memcpy(header.get(), rest.data(), length);
    const size_t extraLength = rest.size() - length;
    std::unique_ptr<uint8_t[]> extra(new uint8_t[extraLength ? extraLength : 1]);
    if (extraLength) memcpy(extra.get(), rest.data() + length, extraLength);
    bool expected = length >= kLocalHeaderSize && ReadLe32(&rest[0]) == 0x04034b50;
    if (expected) {
      const uint16_t localFlags = ReadLe16(&rest[6]);
      const uint16_t method = ReadLe16(&rest[8]);
      expected = method == central.method && (method == 0 || method == 8) &&
                 ReadLe16(&rest[26]) == central.nameLength;
      if (!(localFlags & 8)) {
        const uint32_t compressed = ReadLe32(&rest[18]), uncompressed = ReadLe32(&rest[22]);
        const bool marked = compressed == 0xFFFFFFFF || uncompressed == 0xFFFFFFFF;
        // The first block whose header lies wholly in the field, by its ID.
        size_t at = length, blockEnd = 0;
        bool zip64 = false;
        while (marked && at + 4 <= rest.size()) {
          const size_t size = ReadLe16(&rest[at + 2]);
          if (ReadLe16(&rest[at]) == 1) {
            zip64 = true;
            blockEnd = std::min(rest.size(), at + 4 + size);
            at += 4;
            break;
          }
          at += 4 + size;
        }
        auto value = [&](size_t offset, uint64_t* out) {
          if (at + offset + 8 > blockEnd) return false;
          *out = ReadLe64(&rest[at + offset]);
          return true;
        };
        uint64_t u = uncompressed, c = compressed;
        bool present = true;
        if (zip64 && uncompressed == 0xFFFFFFFF) present = value(0, &u);
        const size_t cAt = ((zip64 && blockEnd - at >= 16) || uncompressed == 0xFFFFFFFF) ? 8 : 0;
        if (zip64 && compressed == 0xFFFFFFFF) present = present && value(cAt, &c);
        expected = expected && ReadLe32(&rest[14]) == central.crc && present &&
                   c == central.compressedSize && u == central.uncompressedSize;
      }
    }
    FUZZ_CHECK(LocalHeaderAgrees(length ? header.get() : nullptr, length, central,
                                 extraLength ? extra.get() : nullptr, extraLength) == expected);
  }

  // Encryption check byte: which byte is expected, and what the header decrypts to.
  const uint32_t dosDateTime = static_cast<uint32_t>(date) << 16 | time;
  FUZZ_CHECK(ExpectedCheckByte(generalFlags, central.crc, dosDateTime) ==
             ((generalFlags & 8) ? (time >> 8) : (central.crc >> 24)));
  if (rest.size() >= 12) {
    std::unique_ptr<uint8_t[]> header(new uint8_t[12]);
    memcpy(header.get(), rest.data() + rest.size() - 12, 12);
    FUZZ_CHECK(DecryptedCheckByte(header.get()) == ModelCheckByte(header.get()));
  }
  return 0;
}
