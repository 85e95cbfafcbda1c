// The packer's --check report, run in process and read back by key.
#pragma once
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "tools/pack/check.h"

namespace fuzz {

struct CheckReport {
  bool installs = false;
  std::vector<std::string> keys;  // in the order written
  std::map<std::string, std::string> facts;
};

// Every line is one "key: value" fact, no key comes twice (text from the
// file must not forge a fact), the last is "result:", and the return value
// says what that line says.
inline CheckReport RunCheck(const std::vector<uint8_t>& file) {
  std::ostringstream out;
  CheckReport report;
  report.installs = CheckInstaller("installer.exe", file, out);
  std::istringstream lines(out.str());
  for (std::string line; std::getline(lines, line);) {
    const size_t colon = line.find(": ");
    FUZZ_CHECK(colon != std::string::npos && colon > 0);
    const std::string key = line.substr(0, colon);
    FUZZ_CHECK(report.facts.emplace(key, line.substr(colon + 2)).second);
    report.keys.push_back(key);
  }
  FUZZ_CHECK(!report.keys.empty() && report.keys.back() == "result");
  const std::string& result = report.facts["result"];
  FUZZ_CHECK(report.installs == (result == "installs"));
  FUZZ_CHECK(report.installs || result.rfind("does not install: ", 0) == 0);
  return report;
}

inline std::string Narrow(const wchar_t* text) {
  std::string out;
  for (; *text; ++text) out += char(*text);
  return out;
}

}  // namespace fuzz
