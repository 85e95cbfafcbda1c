// Copying the appended archive out of the program's own file.
#pragma once
#include <windows.h>
#include <stdint.h>

#include "app/payload.h"
#include "app/payload_seal.h"
#include "common/progress.h"
#include "common/sha256.h"

// Reads the first MiB of `file` into the static header buffer and scans it.
// Afterwards the file position stands just past the bytes read (0 when the
// read failed). Returns the payload offset or -1.
int32_t FindPayloadOffset(HANDLE file);

// What a payload copy managed: bytes written of the bytes from the source's
// position to its end, and the error of the call that stopped it early.
struct CopyOutcome {
  uint64_t copied = 0;
  uint64_t expected = 0;
  DWORD error = 0;
};

// Copies everything from `source`'s position to its end, or `limit` bytes if
// fewer, into `target`, adding each chunk to `hasher` and counting it to
// `progress` when they are given.
// Stops at the first read that yields nothing or fails, and at the first
// write that fails or falls short: past one, the rest would land in the
// wrong place.
CopyOutcome CopyPayload(HANDLE source, HANDLE target, uint64_t limit = UINT64_MAX,
                        Sha256Hasher* hasher = nullptr, ProgressSink* progress = nullptr);

// Copies the sealed archive from `source`, positioned at the payload offset
// `payloadOffset`, into `target`, hashing it on the way, and judges what was
// copied and what follows it in the file against `seal`. `ownHeaders` is the
// layout of the mapped image, whose certificate table is the only thing
// allowed after the archive. A copy that failed has `outcome->error` set.
SealVerdict CopySealedPayload(HANDLE source, HANDLE target, uint64_t payloadOffset,
                              const PayloadSeal& seal, const PeLayout& ownHeaders,
                              CopyOutcome* outcome, ProgressSink* progress = nullptr);

// The layout of the running image's own headers, as the loader mapped them.
bool ScanOwnHeaders(PeLayout* layout);
