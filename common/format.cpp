#include "common/format.h"

namespace {

class Output {
 public:
  Output(wchar_t* out, size_t capacity) : out_(out), capacity_(capacity) {}
  void Put(wchar_t c) {
    if (length_ + 1 < capacity_) out_[length_++] = c;
  }
  void Pad(size_t count, wchar_t c) {
    while (count--) Put(c);
  }
  size_t Finish() {
    if (capacity_) out_[length_] = 0;
    return length_;
  }

 private:
  wchar_t* out_;
  size_t capacity_;
  size_t length_ = 0;
};

void PutField(Output& output, const wchar_t* text, size_t length, size_t width,
              bool leftAlign, wchar_t pad) {
  size_t padding = width > length ? width - length : 0;
  if (!leftAlign) {
    // Zero padding goes after a sign.
    if (pad == L'0' && length && text[0] == L'-') {
      output.Put(L'-');
      ++text;
      --length;
    }
    output.Pad(padding, pad);
  }
  for (size_t i = 0; i < length; ++i) output.Put(text[i]);
  if (leftAlign) output.Pad(padding, L' ');
}

size_t Digits(wchar_t* buffer, unsigned long long value, unsigned base, bool upper) {
  const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  wchar_t reversed[24];
  size_t count = 0;
  do {
    reversed[count++] = static_cast<wchar_t>(digits[value % base]);
    value /= base;
  } while (value);
  for (size_t i = 0; i < count; ++i) buffer[i] = reversed[count - 1 - i];
  return count;
}

}  // namespace

size_t FormatTextV(wchar_t* out, size_t capacity, const wchar_t* format, va_list args) {
  Output output(out, capacity);
  if (!format) return output.Finish();
  for (const wchar_t* p = format; *p; ++p) {
    if (*p != L'%') {
      output.Put(*p);
      continue;
    }
    const wchar_t* start = p++;
    bool leftAlign = false;
    wchar_t pad = L' ';
    for (;; ++p) {
      if (*p == L'-') leftAlign = true;
      else if (*p == L'0') pad = L'0';
      else break;
    }
    size_t width = 0;
    while (*p >= L'0' && *p <= L'9' && width < 1024) width = width * 10 + (*p++ - L'0');
    int longs = 0;  // "ll" takes a 64-bit argument; "l" and "h" change nothing
    for (; *p == L'l' || *p == L'h'; ++p) longs += *p == L'l';
    bool wide = longs >= 2;

    wchar_t number[24];
    switch (*p) {
      case L'%':
        output.Put(L'%');
        break;
      case L's': {
        const wchar_t* text = va_arg(args, const wchar_t*);
        if (!text) text = L"(null)";
        size_t length = 0;
        while (text[length]) ++length;
        PutField(output, text, length, width, leftAlign, L' ');
        break;
      }
      case L'c': {
        wchar_t c = static_cast<wchar_t>(va_arg(args, int));
        PutField(output, &c, 1, width, leftAlign, L' ');
        break;
      }
      case L'd':
      case L'i': {
        long long value = wide ? va_arg(args, long long) : va_arg(args, int);
        size_t length = 0;
        unsigned long long magnitude = value < 0 ? 0ULL - static_cast<unsigned long long>(value)
                                                 : static_cast<unsigned long long>(value);
        if (value < 0) number[length++] = L'-';
        length += Digits(number + length, magnitude, 10, false);
        PutField(output, number, length, width, leftAlign, leftAlign ? L' ' : pad);
        break;
      }
      case L'u':
      case L'x':
      case L'X': {
        unsigned long long value = wide ? va_arg(args, unsigned long long) : va_arg(args, unsigned);
        size_t length = Digits(number, value, *p == L'u' ? 10 : 16, *p == L'X');
        PutField(output, number, length, width, leftAlign, leftAlign ? L' ' : pad);
        break;
      }
      default:
        // Not a conversion we know: keep the text as it stands.
        for (const wchar_t* q = start; q <= p && *q; ++q) output.Put(*q);
        if (!*p) return output.Finish();
        break;
    }
  }
  return output.Finish();
}

size_t FormatText(wchar_t* out, size_t capacity, const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  size_t length = FormatTextV(out, capacity, format, args);
  va_end(args);
  return length;
}
