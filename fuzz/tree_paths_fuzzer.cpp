// The tree removal's path forming over fuzzed roots and entry names: every
// result either fits its 260-unit buffer exactly as composed, or is empty
// and reported as not fitting.
#include "cleanup/tree_paths.h"
#include "fuzz_support.h"

using fuzz::HeapBuffer;
using fuzz::HeapText;
using fuzz::Units;

namespace {

void CheckFormed(bool fits, HeapBuffer& out, const Units& expected) {
  FUZZ_CHECK(fits == (expected.size() < kPathCapacity));
  FUZZ_CHECK(fuzz::Equal(out.get(), fits ? expected : Units()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Reader in(data, size);
  const uint8_t flags = in.U8();
  const Units root = in.Text();
  const Units name = in.Text();
  const HeapText rootText(root);
  const HeapText nameText(name);
  // A null root or name reads as empty.
  const wchar_t* rootArgument = flags & 1 ? nullptr : rootText.get();
  const wchar_t* nameArgument = flags & 2 ? nullptr : nameText.get();
  const Units rootShown = flags & 1 ? Units() : root;
  const Units nameShown = flags & 2 ? Units() : name;

  {
    HeapBuffer out(kPathCapacity);
    Units expected = rootShown;
    if (expected.empty() || expected.back() != L'\\') expected.push_back(L'\\');
    fuzz::AppendUnits(expected, fuzz::Widen("*.*"));
    CheckFormed(FormSearchPattern(out.As<kPathCapacity>(), rootArgument), out, expected);
  }
  {
    HeapBuffer out(kPathCapacity);
    Units expected = rootShown;
    expected.push_back(L'\\');
    fuzz::AppendUnits(expected, nameShown);
    CheckFormed(FormEntryPath(out.As<kPathCapacity>(), rootArgument, nameArgument), out, expected);
  }
  {
    HeapBuffer out(kPathCapacity);
    const bool fits = FormPathItself(out.As<kPathCapacity>(), rootArgument);
    Units expected = rootShown;
    // Trailing backslashes go, except the one of "\" and of "X:\".
    while (expected.size() > 1 && expected.back() == L'\\' && expected[expected.size() - 2] != L':')
      expected.pop_back();
    FUZZ_CHECK(fits == (rootShown.size() < kPathCapacity));
    FUZZ_CHECK(fuzz::Equal(out.get(), fits ? expected : Units()));
    if (fits && !expected.empty() && expected.back() == L'\\')
      FUZZ_CHECK(expected.size() == 1 || expected[expected.size() - 2] == L':');
  }
  FUZZ_CHECK(IsKeptDirectoryName(nameArgument) == (!nameShown.empty() && nameShown[0] == L'.'));
  return 0;
}
