// CommandLineArgs over fuzzed command lines: Parse, AddParentPath and
// BuildCommandLine against a plainly written model of the grammar, the key
// order checked pairwise, and the serialised line parsed back. The same
// text also goes through ShapeSystemMessage, the launch's other pure part.
#include <algorithm>
#include <utility>

#include "fuzz_support.h"
#include "launch/command_line_args.h"
#include "launch/system_message.h"

using fuzz::HeapBuffer;
using fuzz::HeapText;
using fuzz::Units;

namespace {

unsigned Fold(wchar_t c) {
  unsigned unit = static_cast<uint16_t>(c);
  return unit >= 'A' && unit <= 'Z' ? unit + 32 : unit;
}

bool ModelKeyLess(const Units& a, const Units& b) {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                      [](wchar_t x, wchar_t y) { return Fold(x) < Fold(y); });
}

bool IsSeparator(wchar_t c) { return c == L'|' || c == L'/'; }

struct Model {
  Units programPath;
  std::vector<std::pair<Units, Units>> entries;  // in key order

  void Insert(Units key, Units value) {
    auto at = std::lower_bound(entries.begin(), entries.end(), key,
                               [](const auto& entry, const Units& k) { return ModelKeyLess(entry.first, k); });
    if (at != entries.end() && !ModelKeyLess(key, at->first)) return;  // the first one stays
    entries.insert(at, {std::move(key), std::move(value)});
  }

  void ParseArgument(const Units& token) {
    size_t i = 0;
    while (i < token.size() && token[i] == L'=') ++i;
    if (i == token.size()) return;
    size_t keyEnd = std::find(token.begin() + i, token.end(), L'=') - token.begin();
    Units key;
    for (size_t k = i; k < keyEnd; ++k)
      if (token[k] != L' ') key.push_back(token[k]);
    if (key.empty()) return;
    size_t v = keyEnd;
    while (v < token.size() && token[v] == L'=') ++v;
    size_t valueEnd = std::find(token.begin() + v, token.end(), L'=') - token.begin();
    Insert(std::move(key), Units(token.begin() + v, token.begin() + valueEnd));
  }

  int Parse(Units line) {
    auto quote = std::find(line.begin(), line.end(), L'"');
    if (quote != line.end()) line.erase(line.begin(), quote + 1);
    auto closing = std::find(line.begin(), line.end(), L'"');
    programPath.assign(line.begin(), closing);
    if (closing != line.end()) line.erase(line.begin(), closing + 1);
    entries.clear();
    std::vector<Units> tokens;
    Units token;
    for (wchar_t c : line) {
      if (!IsSeparator(c)) {
        token.push_back(c);
      } else if (!token.empty()) {
        tokens.push_back(std::move(token));
        token.clear();
      }
    }
    if (!token.empty()) tokens.push_back(std::move(token));
    for (const Units& t : tokens) ParseArgument(t);
    return tokens.empty() ? 0 : 1;
  }

  Units Build() const {
    Units line;
    for (const auto& [key, value] : entries) {
      fuzz::AppendUnits(line, key);
      line.push_back(L'=');
      fuzz::AppendUnits(line, value);
      line.push_back(L'|');
    }
    return line;
  }
};

Units Of(const WideString& text) { return Units(text.c_str(), text.c_str() + text.size()); }

void CheckSame(const CommandLineArgs& args, const Model& model) {
  FUZZ_CHECK(Of(args.programPath) == model.programPath);
  FUZZ_CHECK(args.entries.size() == model.entries.size());
  for (size_t i = 0; i < model.entries.size(); ++i) {
    FUZZ_CHECK(Of(args.entries[i].key) == model.entries[i].first);
    FUZZ_CHECK(Of(args.entries[i].value) == model.entries[i].second);
  }
  // Strictly ascending: every key differs from its neighbour and sorts after it.
  for (size_t i = 1; i < args.entries.size(); ++i) {
    const wchar_t* before = args.entries[i - 1].key.c_str();
    const wchar_t* after = args.entries[i].key.c_str();
    FUZZ_CHECK(KeyLess(before, after) && !KeyLess(after, before));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Reader in(data, size);
  const uint8_t flags = in.U8();
  const Units line = in.Text();
  const Units parent = in.Text();
  const HeapText lineText(line);
  const HeapText parentText(parent);

  CommandLineArgs args(static_cast<const wchar_t*>(nullptr));
  Model model;
  if (flags & 1) {
    // A null line changes nothing, even after an earlier parse.
    FUZZ_CHECK(args.Parse(lineText.get()) == model.Parse(line));
    FUZZ_CHECK(args.Parse(nullptr) == 0);
  } else {
    FUZZ_CHECK(args.Parse(lineText.get()) == model.Parse(line));
  }
  CheckSame(args, model);

  const bool nullParent = flags & 2;
  args.AddParentPath(nullParent ? nullptr : parentText.get());
  model.Insert(fuzz::Widen("paren"), nullParent ? Units() : parent);
  CheckSame(args, model);

  const WideString built = args.BuildCommandLine();
  FUZZ_CHECK(Of(built) == model.Build());
  CheckSame(args, model);  // building changes nothing

  // The installer parses the same grammar: unless the parent path holds a
  // separator or "=", parsing the built line gives back the same entries.
  const bool plainParent = std::none_of(parent.begin(), parent.end(), [](wchar_t c) {
    return IsSeparator(c) || c == L'=';
  });
  if (plainParent || nullParent) {
    Units reparsed = fuzz::Widen("\"setup.exe\"");
    fuzz::AppendUnits(reparsed, Of(built));
    const HeapText reparsedText(reparsed);
    CommandLineArgs again(reparsedText.get());
    FUZZ_CHECK(again.entries.size() == args.entries.size());
    for (size_t i = 0; i < args.entries.size(); ++i) {
      FUZZ_CHECK(TextEquals(again.entries[i].key.c_str(), args.entries[i].key.c_str()));
      FUZZ_CHECK(TextEquals(again.entries[i].value.c_str(), args.entries[i].value.c_str()));
    }
  }

  // A system message loses its closing line break only; one too long for
  // the log line is dropped whole.
  {
    HeapBuffer shaped(kErrorTextChars);
    ShapeSystemMessage(shaped.As<kErrorTextChars>(), lineText.get(), line.size());
    Units expected;
    if (!line.empty() && line.size() + 14 <= kErrorTextChars) {
      expected = line;
      if (expected.back() == L'\n') expected.pop_back();
      if (!expected.empty() && expected.back() == L'\r') expected.pop_back();
    }
    FUZZ_CHECK(fuzz::Equal(shaped.get(), expected));
  }

  // RemoveSpaces drops U+0020 and nothing else.
  Units spaceless;
  for (wchar_t c : line)
    if (c != L' ') spaceless.push_back(c);
  FUZZ_CHECK(Of(CommandLineArgs::RemoveSpaces(lineText.get())) == spaceless);
  return 0;
}
