// What the running stub concludes about an installer held in memory, the
// way its edge code gets there (app/seal_record.cpp, app/checkout.cpp,
// app/bootstrap.cpp): the record from the mapped seal section, its own
// headers from the mapped header page, the payload offset from the first
// MiB, the archive read and hashed piece by piece up to the sealed size from
// wherever the file ends, then the few bytes of padding read after it.
// The harnesses compare the packer's --check against it.
#pragma once
#include <string.h>

#include <algorithm>
#include <vector>

#include "app/payload.h"
#include "app/payload_seal.h"
#include "common/bytes.h"
#include "common/sha256.h"

namespace fuzz {

struct StubRun {
  bool started = false;  // false: no payload offset, the stub stops before any verdict
  SealState state = SealState::Malformed;
  SealPlan plan = SealPlan::Refuse;
  SealVerdict verdict = SealVerdict::BadRecord;
  PayloadSeal seal = {};
  uint64_t payloadOffset = 0;
  PeLayout ownHeaders = {};
};

// The seal record as the loader maps it: the first ".vxseal" section's raw
// bytes, zeros where its raw data is shorter than a record. False when that
// raw data runs past the file's end (such an image is not loaded as ours).
inline bool MappedSealRecord(const std::vector<uint8_t>& file, const PeLayout& layout,
                             uint8_t (&record)[kSealRecordSize]) {
  memset(record, 0, sizeof record);
  for (size_t i = 0; i < layout.sectionCount; ++i) {
    const uint8_t* header = file.data() + layout.sectionTable + 40 * i;
    if (memcmp(header, kSealSectionName, sizeof kSealSectionName) != 0) continue;
    const uint64_t rawSize = ReadLe32(header + 16), raw = ReadLe32(header + 20);
    const uint64_t mapped = std::min<uint64_t>(rawSize, kSealRecordSize);
    if (raw + mapped > file.size()) return false;
    memcpy(record, file.data() + raw, size_t(mapped));
    return true;
  }
  return false;
}

// `piece` sets the read size, so that the digest is built from other cuts
// than the check's one-shot hash.
inline StubRun RunStub(const std::vector<uint8_t>& file, size_t piece) {
  StubRun run;
  PeLayout layout;
  if (!ScanPeLayout(file.data(), std::min(file.size(), kHeaderBufferSize), &layout) ||
      layout.payloadOffset < 0)
    return run;
  uint8_t record[kSealRecordSize];
  if (!MappedSealRecord(file, layout, record)) return run;
  run.started = true;
  run.payloadOffset = uint32_t(layout.payloadOffset);
  run.state = ReadSealRecord(record, sizeof record, &run.seal);
  run.plan = PlanPayloadCheck(run.state, ScanPeLayout(file.data(), std::min(file.size(), kMappedHeaderBytes),
                                                      &run.ownHeaders));
  if (run.plan != SealPlan::Check) {
    run.verdict = run.plan == SealPlan::TakeAsIs ? SealVerdict::Intact : SealVerdict::BadRecord;
    return run;
  }
  Sha256Hasher hasher;
  if (!hasher.Start()) abort();
  uint64_t position = run.payloadOffset, copied = 0;
  piece = std::max<size_t>(piece, 1);
  while (copied < run.seal.archiveSize && position < file.size()) {
    const size_t got = size_t(std::min<uint64_t>({piece, run.seal.archiveSize - copied, file.size() - position}));
    hasher.Add(file.data() + position, got);
    position += got;
    copied += got;
  }
  Sha256Digest digest;
  if (!hasher.Finish(&digest)) abort();
  const size_t gapLength = CertificateGapLength(run.payloadOffset + run.seal.archiveSize,
                                                run.ownHeaders.certificateOffset, run.ownHeaders.certificateSize);
  const size_t gapRead = position < file.size() ? size_t(std::min<uint64_t>(gapLength, file.size() - position)) : 0;
  const SealedCopy copy = DescribeSealedCopy(run.seal, run.payloadOffset, copied, digest.bytes, file.size(),
                                             run.ownHeaders, file.data() + std::min<uint64_t>(position, file.size()),
                                             gapRead);
  run.verdict = JudgeSealedCopy(run.seal, copy);
  return run;
}

}  // namespace fuzz
