// Shared pieces of the harnesses: reading structured values from the fuzz
// input, and wide strings held in exactly sized heap blocks so that ASan
// reports a read or write one unit past the end.
//
// std::wstring is avoided on purpose: libstdc++ instantiates it for a 32-bit
// wchar_t, and the harnesses are built with -fshort-wchar.
#pragma once
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <vector>

// A violated expectation is a finding: abort so that libFuzzer keeps the input.
#define FUZZ_CHECK(condition)                                                   \
  do {                                                                          \
    if (!(condition)) {                                                         \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      abort();                                                                  \
    }                                                                           \
  } while (0)

namespace fuzz {

using Units = std::vector<wchar_t>;

// Lenient UTF-8 to UTF-16: well-formed sequences decode as usual, three-byte
// forms may also yield lone surrogates (so every 16-bit unit is reachable
// from a readable seed), and any other byte stands for itself. NUL units
// never appear in the result.
inline Units DecodeText(const uint8_t* bytes, size_t length) {
  Units units;
  size_t i = 0;
  auto continuation = [&](size_t at) { return at < length && (bytes[at] & 0xC0) == 0x80; };
  while (i < length) {
    uint8_t b = bytes[i];
    uint32_t code = b;
    size_t used = 1;
    if (b >= 0xC2 && b < 0xE0 && continuation(i + 1)) {
      code = ((b & 0x1Fu) << 6) | (bytes[i + 1] & 0x3Fu);
      used = 2;
    } else if (b >= 0xE0 && b < 0xF0 && continuation(i + 1) && continuation(i + 2)) {
      code = ((b & 0x0Fu) << 12) | ((bytes[i + 1] & 0x3Fu) << 6) | (bytes[i + 2] & 0x3Fu);
      used = 3;
    } else if (b >= 0xF0 && b < 0xF5 && continuation(i + 1) && continuation(i + 2) &&
               continuation(i + 3)) {
      code = ((b & 0x07u) << 18) | ((bytes[i + 1] & 0x3Fu) << 12) |
             ((bytes[i + 2] & 0x3Fu) << 6) | (bytes[i + 3] & 0x3Fu);
      used = 4;
    }
    i += used;
    if (code == 0) continue;
    if (code > 0xFFFF && code <= 0x10FFFF) {
      code -= 0x10000;
      units.push_back(static_cast<wchar_t>(0xD800 + (code >> 10)));
      units.push_back(static_cast<wchar_t>(0xDC00 + (code & 0x3FF)));
    } else if (code <= 0xFFFF) {
      units.push_back(static_cast<wchar_t>(code));
    }
  }
  return units;
}

// A NUL-terminated copy in a block of exactly length + 1 units.
class HeapText {
 public:
  explicit HeapText(const Units& units) : length_(units.size()), data_(new wchar_t[length_ + 1]) {
    if (length_) memcpy(data_.get(), units.data(), length_ * sizeof(wchar_t));
    data_[length_] = 0;
  }
  explicit HeapText(const wchar_t* text) : HeapText(Units(text, text + Length(text))) {}
  const wchar_t* get() const { return data_.get(); }
  size_t length() const { return length_; }

  static size_t Length(const wchar_t* text) {
    size_t n = 0;
    while (text[n]) ++n;
    return n;
  }

 private:
  size_t length_;
  std::unique_ptr<wchar_t[]> data_;
};

// An output block of exactly `capacity` units (at least one allocated so the
// pointer is valid), filled with a marker to see what was written.
class HeapBuffer {
 public:
  explicit HeapBuffer(size_t capacity)
      : capacity_(capacity), data_(new wchar_t[capacity ? capacity : 1]) {
    for (size_t i = 0; i < (capacity ? capacity : 1); ++i) data_[i] = kUnwritten;
  }
  wchar_t* get() { return data_.get(); }
  size_t capacity() const { return capacity_; }
  // A view as a fixed-size array, for the functions that take wchar_t (&)[N].
  template <size_t N>
  wchar_t (&As())[N] {
    FUZZ_CHECK(capacity_ == N);
    return *reinterpret_cast<wchar_t(*)[N]>(data_.get());
  }

  static constexpr wchar_t kUnwritten = static_cast<wchar_t>(0xFDD0);

 private:
  size_t capacity_;
  std::unique_ptr<wchar_t[]> data_;
};

// Reads values from the front of the input: fixed-size integers (zero once
// the input is used up) and NUL-separated text fields.
class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  uint8_t U8() { return offset_ < size_ ? data_[offset_++] : 0; }
  uint16_t U16() { return static_cast<uint16_t>(U8() | (U8() << 8)); }
  uint32_t U32() {
    uint32_t low = U16();
    return low | (static_cast<uint32_t>(U16()) << 16);
  }
  // The next field up to a NUL byte or the end of the input.
  Units Text() {
    size_t start = offset_;
    while (offset_ < size_ && data_[offset_]) ++offset_;
    Units units = DecodeText(data_ + start, offset_ - start);
    if (offset_ < size_) ++offset_;  // the separator
    return units;
  }
  // Everything that is left, as bytes.
  std::vector<uint8_t> Rest() {
    std::vector<uint8_t> rest(data_ + offset_, data_ + size_);
    offset_ = size_;
    return rest;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t offset_ = 0;
};

inline bool Equal(const wchar_t* text, const Units& expected) {
  size_t i = 0;
  for (; i < expected.size(); ++i)
    if (text[i] != expected[i]) return false;
  return text[i] == 0;
}

inline Units Widen(const char* ascii) {
  Units units;
  while (*ascii) units.push_back(static_cast<wchar_t>(static_cast<unsigned char>(*ascii++)));
  return units;
}

inline void AppendUnits(Units& to, const Units& from) { to.insert(to.end(), from.begin(), from.end()); }

}  // namespace fuzz
