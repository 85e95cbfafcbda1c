// The log's line and path composition over fuzzed texts, stamps and buffer
// capacities. Every output goes to an exactly sized heap block, and
// each result is compared with the text the header comment promises.
#include <stdio.h>

#include "fuzz_support.h"
#include "log/log_format.h"

using fuzz::HeapBuffer;
using fuzz::HeapText;
using fuzz::Units;

namespace {

Units StampText(const LogStamp& s) {
  char text[160];
  snprintf(text, sizeof text, "[%4d]%4d-%02d-%02d %02d:%02d:%02d:%03d: [%4d]",
           static_cast<int>(s.processId), static_cast<int>(s.year), static_cast<int>(s.month),
           static_cast<int>(s.day), static_cast<int>(s.hour), static_cast<int>(s.minute),
           static_cast<int>(s.second), static_cast<int>(s.milliseconds),
           static_cast<int>(s.threadId));
  return fuzz::Widen(text);
}

Units Cut(Units text, size_t capacity) {
  if (capacity == 0) return {};
  if (text.size() > capacity - 1) text.resize(capacity - 1);
  return text;
}

// A bounded composition: written text as promised, terminated, length returned,
// nothing written past the capacity (ASan) and nothing at all into capacity 0.
void CheckBounded(HeapBuffer& out, size_t written, const Units& expected) {
  if (out.capacity() == 0) {
    FUZZ_CHECK(written == 0);
    FUZZ_CHECK(out.get()[0] == HeapBuffer::kUnwritten);
    return;
  }
  FUZZ_CHECK(written == expected.size());
  FUZZ_CHECK(fuzz::Equal(out.get(), expected));
}

Units StemOf(const Units& path) {
  size_t stem = path.size();
  for (size_t i = 0; i < path.size(); ++i)
    if (path[i] == L'.') stem = i;
  return Units(path.begin(), path.begin() + stem);
}

Units DirectoryOf(const Units& path) {
  size_t directory = 0;
  for (size_t i = 0; i < path.size(); ++i)
    if (path[i] == L'\\') directory = i + 1;
  return Units(path.begin(), path.begin() + directory);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Reader in(data, size);
  LogStamp stamp;
  stamp.processId = in.U32();
  stamp.threadId = in.U32();
  stamp.year = in.U32();
  stamp.month = in.U32();
  stamp.day = in.U32();
  stamp.hour = in.U32();
  stamp.minute = in.U32();
  stamp.second = in.U32();
  stamp.milliseconds = in.U32();
  const uint32_t level = in.U32();
  const uint8_t flags = in.U8();
  const size_t tagCapacity = in.U8();
  const size_t debugCapacity = in.U16() % 1200;
  const size_t iniCapacity = in.U16() % 600;
  const Units tagUnits = in.Text();
  const Units levelUnits = in.Text();
  const Units message = in.Text();
  const Units path = in.Text();

  const wchar_t* name = LogLevelName(level);
  FUZZ_CHECK(HeapText::Length(name) == 3);

  // Tag prefix: "[tag     ]:", a null tag reads "(null)".
  const HeapText tag(tagUnits);
  const bool nullTag = flags & 1;
  Units tagShown = nullTag ? fuzz::Widen("(null)") : tagUnits;
  {
    Units expected{L'['};
    fuzz::AppendUnits(expected, tagShown);
    while (expected.size() < 9) expected.push_back(L' ');
    fuzz::AppendUnits(expected, fuzz::Widen("]:"));
    HeapBuffer out(tagCapacity);
    size_t written = ComposeTagPrefix(out.get(), out.capacity(), nullTag ? nullptr : tag.get());
    CheckBounded(out, written, Cut(expected, tagCapacity));
  }

  // File line: stamp, "[LVL]", message, cut so that "\r\n" still fits.
  {
    const HeapText levelName(flags & 2 ? levelUnits : Units(name, name + 3));
    const HeapText text(message);
    Units body = StampText(stamp);
    body.push_back(L'[');
    fuzz::AppendUnits(body, flags & 2 ? levelUnits : Units(name, name + 3));
    body.push_back(L']');
    fuzz::AppendUnits(body, message);
    Units expected = Cut(body, kLogLineOutputMax - 1);
    fuzz::AppendUnits(expected, fuzz::Widen("\r\n"));
    HeapBuffer line(kLogLineChars);
    size_t written = ComposeLogLine(line.As<kLogLineChars>(), stamp, levelName.get(), text.get());
    FUZZ_CHECK(written <= kLogLineOutputMax);
    FUZZ_CHECK(written == expected.size());
    FUZZ_CHECK(fuzz::Equal(line.get(), expected));
  }

  // Debugger prefix: stamp, "[DBG][tag]:".
  {
    Units expected = StampText(stamp);
    fuzz::AppendUnits(expected, fuzz::Widen("[DBG]["));
    fuzz::AppendUnits(expected, tagShown);
    fuzz::AppendUnits(expected, fuzz::Widen("]:"));
    HeapBuffer out(debugCapacity);
    size_t written =
        ComposeDebugPrefix(out.get(), out.capacity(), stamp, nullTag ? nullptr : tag.get());
    CheckBounded(out, written, Cut(expected, debugCapacity));
  }

  const HeapText pathText(path);
  const wchar_t* pathArgument = flags & 4 ? nullptr : pathText.get();
  const Units pathShown = flags & 4 ? Units() : path;

  // Rotated name: stem + ".wtx", or nothing when it does not fit.
  {
    HeapBuffer rotated(kPathCapacity);
    bool fits = ComposeRotatedPath(pathArgument, rotated.As<kPathCapacity>());
    Units expected = StemOf(pathShown);
    fuzz::AppendUnits(expected, fuzz::Widen(".wtx"));
    FUZZ_CHECK(fits == (expected.size() < kPathCapacity));
    FUZZ_CHECK(fuzz::Equal(rotated.get(), fits ? expected : Units()));
  }

  // Log file path from the configured value.
  {
    HeapBuffer composed(kPathCapacity);
    ComposeLogFilePath(pathArgument, composed.As<kPathCapacity>());
    Units expected;
    if (pathShown.empty()) {
      expected = fuzz::Widen("C:\\plomet_setup.log");
    } else if (pathShown != fuzz::Widen("none")) {
      expected = StemOf(pathShown);
      fuzz::AppendUnits(expected, fuzz::Widen(".log"));
      if (expected.size() >= kPathCapacity) expected.clear();
    }
    FUZZ_CHECK(fuzz::Equal(composed.get(), expected));
  }

  // Walk levels: after the root, names that are neither empty, "." nor "..",
  // with nothing but separators around them, the last one ending the path.
  {
    LogPathLevels levels;
    if (SplitLogPath(pathArgument, &levels)) {
      FUZZ_CHECK(pathShown.size() < kPathCapacity);
      FUZZ_CHECK(levels.rootLength > 0 && levels.count > 0);
      auto separator = [](wchar_t c) { return c == L'\\' || c == L'/'; };
      size_t at = levels.rootLength;
      for (size_t i = 0; i < levels.count; ++i) {
        const LogPathLevels::Name& name = levels.names[i];
        for (; at < name.start; ++at) FUZZ_CHECK(separator(pathShown[at]));
        FUZZ_CHECK(name.length > 0 && name.start + name.length <= pathShown.size());
        for (size_t k = 0; k < name.length; ++k) FUZZ_CHECK(!separator(pathShown[name.start + k]));
        Units text(pathShown.begin() + name.start, pathShown.begin() + name.start + name.length);
        FUZZ_CHECK(text != fuzz::Widen(".") && text != fuzz::Widen(".."));
        at = name.start + name.length;
      }
      FUZZ_CHECK(at == pathShown.size());
    }
  }

  // "logtool.ini" beside the module, or false when it does not fit.
  {
    HeapBuffer out(iniCapacity);
    bool fits = ComposeIniPath(pathArgument, out.get(), out.capacity());
    Units expected = DirectoryOf(pathShown);
    fuzz::AppendUnits(expected, fuzz::Widen("logtool.ini"));
    FUZZ_CHECK(fits == (expected.size() < iniCapacity));
    if (iniCapacity == 0) {
      FUZZ_CHECK(out.get()[0] == HeapBuffer::kUnwritten);
    } else {
      FUZZ_CHECK(fuzz::Equal(out.get(), fits ? expected : Units()));
    }
  }
  return 0;
}
