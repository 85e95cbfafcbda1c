// The seal verdict over a hostile installer, tail above all: the record, the
// padding and the certificate table after the archive. The packer's --check
// and the stub's own check-out (modelled in stub_model.h, hashing in other
// pieces) must reach the same verdict on the same bytes, and an "intact"
// verdict must mean what it promises: exactly the sealed bytes, then nothing
// but under 8 zeros and the declared certificate table ending the file.
//
// Input: one flags byte, then the installer. Flag bit 0 re-seals the record
// over the bytes its size now covers, so that mutations reach the tail's
// rules instead of stopping at a changed digest; the other bits pick the
// stub's read size.
#include <algorithm>
#include <string>
#include <vector>

#include "check_facts.h"
#include "common/sha256.h"
#include "fuzz_support.h"
#include "stub_model.h"

namespace {

void Reseal(std::vector<uint8_t>& file) {
  PeLayout layout;
  if (!ScanPeLayout(file.data(), std::min(file.size(), kHeaderBufferSize), &layout) || layout.payloadOffset < 0)
    return;
  uint8_t record[kSealRecordSize];
  if (!fuzz::MappedSealRecord(file, layout, record)) return;
  PayloadSeal seal = {};
  if (ReadSealRecord(record, sizeof record, &seal) != SealState::Present) return;
  const uint64_t start = std::min<uint64_t>(uint32_t(layout.payloadOffset), file.size());
  const uint64_t size = std::min<uint64_t>(seal.archiveSize, file.size() - start);
  const Sha256Digest digest = Sha256Of(file.data() + start, size_t(size));
  std::copy(std::begin(digest.bytes), std::end(digest.bytes), seal.digest);
  // Only a whole record in the file can be rewritten in place.
  for (size_t i = 0; i < layout.sectionCount; ++i) {
    const uint8_t* header = file.data() + layout.sectionTable + 40 * i;
    if (memcmp(header, kSealSectionName, sizeof kSealSectionName) != 0) continue;
    const uint64_t raw = ReadLe32(header + 20);
    if (ReadLe32(header + 16) >= kSealRecordSize && raw + kSealRecordSize <= file.size())
      WriteSealRecord(file.data() + raw, seal);
    return;
  }
}

// What "intact" promises, checked from the file's bytes alone.
void CheckIntact(const std::vector<uint8_t>& file, const fuzz::StubRun& run) {
  const uint64_t end = run.payloadOffset + run.seal.archiveSize;
  FUZZ_CHECK(end <= file.size());
  FUZZ_CHECK(Sha256Of(file.data() + run.payloadOffset, size_t(run.seal.archiveSize)) ==
             [&] { Sha256Digest d; std::copy(std::begin(run.seal.digest), std::end(run.seal.digest), d.bytes); return d; }());
  if (end == file.size()) return;
  const uint64_t table = run.ownHeaders.certificateOffset;
  FUZZ_CHECK(table >= end && table - end < 8 && table % 8 == 0);
  FUZZ_CHECK(run.ownHeaders.certificateSize != 0 && table + run.ownHeaders.certificateSize == file.size());
  for (uint64_t i = end; i < table; ++i) FUZZ_CHECK(file[i] == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t flags = data[0];
  std::vector<uint8_t> file(data + 1, data + size);
  if (flags & 1) Reseal(file);

  const size_t pieces[] = {1, 7, 64, 4096, 65536};
  const fuzz::StubRun run = fuzz::RunStub(file, pieces[(flags >> 1) % 5]);
  const fuzz::CheckReport check = fuzz::RunCheck(file);
  const std::string& seal = check.facts.count("seal") ? check.facts.at("seal") : "";
  const std::string& result = check.facts.at("result");

  if (!run.started) {
    // No payload offset or no seal section of ours: nothing the stub would install.
    FUZZ_CHECK(!check.installs);
    return 0;
  }
  if (run.verdict == SealVerdict::Intact && run.plan == SealPlan::Check) CheckIntact(file, run);
  if (run.plan == SealPlan::TakeAsIs) {
    FUZZ_CHECK(seal.rfind("empty:", 0) == 0);
  } else if (run.verdict == SealVerdict::Intact) {
    FUZZ_CHECK(seal.rfind("sealed, intact", 0) == 0);
  } else {
    const std::string text = fuzz::Narrow(SealVerdictText(run.verdict));
    FUZZ_CHECK(seal == text);
    FUZZ_CHECK(result == "does not install: " + text);
  }
  return 0;
}
