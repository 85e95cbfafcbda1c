// FormatText with the program's own kind of fixed formats and fuzzed
// arguments. The format itself is never fuzzed: like any printf, a format
// that asks for more arguments than were passed reads garbage by design.
#include <stdio.h>

#include "common/format.h"
#include "fuzz_support.h"

using fuzz::HeapBuffer;
using fuzz::HeapText;
using fuzz::Units;

namespace {

struct Args {
  const wchar_t* text[3];
  Units shown[3];  // what %s prints for each: "(null)" for a null argument
  int number[2];
};

Units Pad(Units text, size_t width, bool left) {
  if (text.size() < width) {
    Units padding(width - text.size(), L' ');
    if (left) text.insert(text.end(), padding.begin(), padding.end());
    else text.insert(text.begin(), padding.begin(), padding.end());
  }
  return text;
}

Units Printf(const char* format, int value) {
  char text[64];
  snprintf(text, sizeof text, format, value);
  return fuzz::Widen(text);
}

Units Join(std::initializer_list<Units> parts) {
  Units joined;
  for (const Units& part : parts) fuzz::AppendUnits(joined, part);
  return joined;
}

struct Case {
  size_t (*format)(wchar_t*, size_t, const Args&);
  Units (*expected)(const Args&);
};

// Each case calls FormatText with a literal format, so the argument list
// always matches what the format asks for.
const Case kCases[] = {
    {[](wchar_t* o, size_t c, const Args& a) { return FormatText(o, c, L"%s", a.text[0]); },
     [](const Args& a) { return a.shown[0]; }},
    {[](wchar_t* o, size_t c, const Args& a) { return FormatText(o, c, L"[%-8s]:", a.text[0]); },
     [](const Args& a) { return Join({{L'['}, Pad(a.shown[0], 8, true), fuzz::Widen("]:")}); }},
    {[](wchar_t* o, size_t c, const Args& a) {
       return FormatText(o, c, L"%s%s%s", a.text[0], a.text[1], a.text[2]);
     },
     [](const Args& a) { return Join({a.shown[0], a.shown[1], a.shown[2]}); }},
    {[](wchar_t* o, size_t c, const Args& a) {
       return FormatText(o, c, L"%10s|%-10s|%05s", a.text[0], a.text[1], a.text[2]);
     },
     [](const Args& a) {
       return Join({Pad(a.shown[0], 10, false), {L'|'}, Pad(a.shown[1], 10, true), {L'|'},
                    Pad(a.shown[2], 5, false)});
     }},
    {[](wchar_t* o, size_t c, const Args& a) { return FormatText(o, c, L"%2000s", a.text[0]); },
     [](const Args& a) { return Pad(a.shown[0], 2000, false); }},
    {[](wchar_t* o, size_t c, const Args& a) { return FormatText(o, c, L"打开文件[%s]失败", a.text[0]); },
     [](const Args& a) {
       Units before{0x6253, 0x5F00, 0x6587, 0x4EF6, L'['}, after{L']', 0x5931, 0x8D25};
       return Join({before, a.shown[0], after});
     }},
    {[](wchar_t* o, size_t c, const Args& a) {
       return FormatText(o, c, L"UnZip(%s,%s,%d) uses:%d", a.text[0], a.text[1], a.number[0],
                         a.number[1]);
     },
     [](const Args& a) {
       return Join({fuzz::Widen("UnZip("), a.shown[0], {L','}, a.shown[1], {L','},
                    Printf("%d", a.number[0]), fuzz::Widen(") uses:"), Printf("%d", a.number[1])});
     }},
    {[](wchar_t* o, size_t c, const Args& a) {
       return FormatText(o, c, L"%x %X %u %08x %-6d|%06d", a.number[0], a.number[0], a.number[1],
                         a.number[1], a.number[0], a.number[1]);
     },
     [](const Args& a) {
       return Join({Printf("%x", a.number[0]), {L' '}, Printf("%X", a.number[0]), {L' '},
                    Printf("%u", a.number[1]), {L' '}, Printf("%08x", a.number[1]), {L' '},
                    Printf("%-6d", a.number[0]), {L'|'}, Printf("%06d", a.number[1])});
     }},
    {[](wchar_t* o, size_t c, const Args& a) {
       return FormatText(o, c, L"100%% %ls %q %hs %", a.text[0], a.text[1]);
     },
     [](const Args& a) {
       return Join({fuzz::Widen("100% "), a.shown[0], fuzz::Widen(" %q "), a.shown[1],
                    fuzz::Widen(" %")});
     }},
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Reader in(data, size);
  const Case& which = kCases[in.U8() % (sizeof kCases / sizeof kCases[0])];
  const size_t capacity = in.U16() % 4200;
  const uint8_t nulls = in.U8();
  Args args;
  args.number[0] = static_cast<int>(in.U32());
  args.number[1] = static_cast<int>(in.U32());
  Units texts[3] = {in.Text(), in.Text(), in.Text()};
  const HeapText held[3] = {HeapText(texts[0]), HeapText(texts[1]), HeapText(texts[2])};
  for (int i = 0; i < 3; ++i) {
    const bool null = nulls & (1 << i);
    args.text[i] = null ? nullptr : held[i].get();
    args.shown[i] = null ? fuzz::Widen("(null)") : texts[i];
  }

  HeapBuffer out(capacity);
  const size_t written = which.format(out.get(), out.capacity(), args);
  if (capacity == 0) {
    FUZZ_CHECK(written == 0);
    FUZZ_CHECK(out.get()[0] == HeapBuffer::kUnwritten);
    return 0;
  }
  Units expected = which.expected(args);
  if (expected.size() > capacity - 1) expected.resize(capacity - 1);
  FUZZ_CHECK(written == expected.size());
  FUZZ_CHECK(fuzz::Equal(out.get(), expected));
  return 0;
}
