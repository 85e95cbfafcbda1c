#include "tools/pack/manifest.h"

#include "tools/pack/pack_error.h"

namespace {

// Where the value of the level attribute of the requestedExecutionLevel
// element starts and ends; npos when there is none.
std::pair<size_t, size_t> LevelValue(const std::string& manifest) {
  const size_t none = std::string::npos;
  const size_t element = manifest.find("<requestedExecutionLevel");
  if (element == none) return {none, none};
  const size_t close = manifest.find('>', element);
  // " level=" and not "uiAccess=": the attribute, wherever it stands.
  for (size_t at = manifest.find("level", element); at != none && at < close; at = manifest.find("level", at + 1)) {
    const char before = manifest[at - 1];
    if (before != ' ' && before != '\t' && before != '\n' && before != '\r') continue;
    size_t equals = at + 5;
    while (equals < close && (manifest[equals] == ' ' || manifest[equals] == '\t')) ++equals;
    if (equals >= close || manifest[equals] != '=') continue;
    size_t quote = equals + 1;
    while (quote < close && (manifest[quote] == ' ' || manifest[quote] == '\t')) ++quote;
    if (quote >= close || (manifest[quote] != '"' && manifest[quote] != '\'')) continue;
    const size_t end = manifest.find(manifest[quote], quote + 1);
    if (end == none || end > close) continue;
    return {quote + 1, end};
  }
  return {none, none};
}

}  // namespace

std::string ExecutionLevelFor(const std::string& choice) {
  if (choice == "administrator") return "requireAdministrator";
  if (choice == "highest") return "highestAvailable";
  if (choice == "invoker") return "asInvoker";
  throw PackError("--elevation " + choice + ": expected administrator, highest or invoker");
}

std::string SetExecutionLevel(const std::string& manifest, const std::string& level) {
  const auto [start, end] = LevelValue(manifest);
  if (start == std::string::npos) throw PackError("the stub's manifest requests no execution level");
  return manifest.substr(0, start) + level + manifest.substr(end);
}

std::string ExecutionLevel(const std::string& manifest) {
  const auto [start, end] = LevelValue(manifest);
  return start == std::string::npos ? std::string() : manifest.substr(start, end - start);
}
