// The packer's --check over an arbitrary installer image: PE headers,
// section table, resource directory, version resource, certificate table,
// package. A publisher runs it on files from anywhere. The report must stay
// a list of known facts in their order, each once (text from the file never
// forges a line), end with its result, and "installs" only where the stub's
// own code would take the archive.
#include <string>
#include <vector>

#include "check_facts.h"
#include "fuzz_support.h"
#include "stub_model.h"

namespace {

const char* const kFactOrder[] = {"file", "stub", "stub sha256", "seal", "signature", "package",
                                  "package setup.exe", "package compression", "branding", "branding ProductName",
                                  "branding FileVersion", "branding icon", "elevation", "option exit code",
                                  "option working directory", "option installer temp", "option progress",
                                  "result"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<uint8_t> file(data, data + size);
  const fuzz::CheckReport check = fuzz::RunCheck(file);

  size_t next = 0;
  for (const std::string& key : check.keys) {
    while (next < sizeof kFactOrder / sizeof *kFactOrder && key != kFactOrder[next]) ++next;
    FUZZ_CHECK(next < sizeof kFactOrder / sizeof *kFactOrder);
  }
  for (const auto& fact : check.facts)
    for (char c : fact.second) FUZZ_CHECK(uint8_t(c) >= 0x20 && c != 0x7F);

  const int32_t offset = ScanPayloadOffset(file.data(), std::min(file.size(), kHeaderBufferSize));
  if (offset >= 0 && check.facts.at("stub").rfind("vexlode, ", 0) == 0) {
    const std::string& stub = check.facts.at("stub");
    FUZZ_CHECK(stub.size() > 6 && stub.compare(stub.size() - 6, 6, " bytes") == 0);
    FUZZ_CHECK(stub.find(", " + std::to_string(offset) + " bytes") != std::string::npos);
  }
  if (check.installs) {
    const fuzz::StubRun run = fuzz::RunStub(file, 4096);
    FUZZ_CHECK(run.started && run.verdict == SealVerdict::Intact);
    FUZZ_CHECK(check.facts.at("package setup.exe") == "at the root");
  }
  return 0;
}
