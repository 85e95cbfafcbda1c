// The VS_VERSIONINFO resource: numeric versions and string fields.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

struct VersionNumber {
  uint16_t parts[4] = {0, 0, 0, 0};
  int given = 0;  // how many parts the publisher wrote
};

// "1", "1.2", "1.2.3" or "1.2.3.4", each part 0-65535 in decimal. Throws
// PackError naming `option` for anything else.
VersionNumber ParseVersionNumber(const std::string& text, const std::string& option);

// The parts as given, joined with '.': what goes into the string fields.
std::string VersionText(const VersionNumber& version);

struct VersionInfo {
  std::optional<VersionNumber> file, product;
  std::vector<std::pair<std::string, std::string>> strings;  // UTF-8 key, value
  uint16_t language = 0x0409;                                // US English
  uint16_t codePage = 1200;                                  // Unicode
};

// Adds or replaces a string field; a later value for a key replaces the earlier.
void SetVersionString(VersionInfo& info, const std::string& key, const std::string& value);

// The resource bytes. FileVersion and ProductVersion strings are filled in
// from the numeric versions where not given. Throws PackError for text that
// is not UTF-8 and for strings too long for the format's 16-bit lengths.
std::vector<uint8_t> BuildVersionInfo(const VersionInfo& info);

// The string fields (UTF-8 key, value) of the first string table in the
// resource bytes of a VS_VERSIONINFO, as BuildVersionInfo writes them and
// Windows reads them. Throws PackError when a node runs outside its parent.
std::vector<std::pair<std::string, std::string>> ReadVersionStrings(const std::vector<uint8_t>& resource);

// UTF-8 to UTF-16; throws PackError on malformed input.
std::u16string Utf8ToUtf16(const std::string& text);

// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string Utf16ToUtf8(const std::u16string& text);
