#include "app/checkout.h"

#include "app/payload.h"
#include "common/handle.h"
#include "common/text.h"

namespace {
// Static so that the scan costs neither heap nor stack; used for nothing else.
uint8_t headerBuffer[kHeaderBufferSize];
}

int32_t FindPayloadOffset(HANDLE file) {
  SetFilePointer(file, 0, nullptr, FILE_BEGIN);
  DWORD bytesRead = 0;
  if (!ReadFile(file, headerBuffer, kHeaderBufferSize, &bytesRead, nullptr)) return kNoPayload;
  return ScanPayloadOffset(headerBuffer, bytesRead);
}

CopyOutcome CopyPayload(HANDLE source, HANDLE target, uint64_t limit, Sha256Hasher* hasher,
                        ProgressSink* progress) {
  CopyOutcome outcome;
  LARGE_INTEGER size, zero = {}, position;
  if (GetFileSizeEx(source, &size) && SetFilePointerEx(source, zero, &position, FILE_CURRENT) &&
      size.QuadPart > position.QuadPart)
    outcome.expected = static_cast<uint64_t>(size.QuadPart - position.QuadPart);
  if (outcome.expected > limit) outcome.expected = limit;
  uint8_t chunk[4096];
  while (outcome.copied < limit) {
    DWORD wanted = limit - outcome.copied < sizeof chunk ? static_cast<DWORD>(limit - outcome.copied)
                                                         : static_cast<DWORD>(sizeof chunk);
    DWORD bytesRead = 0;
    if (!ReadFile(source, chunk, wanted, &bytesRead, nullptr)) {
      outcome.error = GetLastError();
      break;
    }
    if (bytesRead == 0) break;
    if (hasher) hasher->Add(chunk, bytesRead);  // a failure spoils the digest, which Finish reports
    DWORD written = 0;
    BOOL wrote = WriteFile(target, chunk, bytesRead, &written, nullptr);
    outcome.copied += written;
    AddProgress(progress, written);
    if (!wrote || written != bytesRead) {
      // A short write without an error code is a full disk all the same.
      outcome.error = wrote ? ERROR_DISK_FULL : GetLastError();
      break;
    }
  }
  return outcome;
}

bool ScanOwnHeaders(PeLayout* layout) {
  // The loader maps the headers as one page at least.
  const uint8_t* image = reinterpret_cast<const uint8_t*>(GetModuleHandleW(nullptr));
  return image && ScanPeLayout(image, kMappedHeaderBytes, layout);
}

SealVerdict CopySealedPayload(HANDLE source, HANDLE target, uint64_t payloadOffset,
                              const PayloadSeal& seal, const PeLayout& ownHeaders,
                              CopyOutcome* outcome, ProgressSink* progress) {
  Sha256Hasher hasher;
  if (!hasher.Start()) return SealVerdict::Unverifiable;
  *outcome = CopyPayload(source, target, seal.archiveSize, &hasher, progress);
  Sha256Digest digest;
  if (!hasher.Finish(&digest)) return SealVerdict::Unverifiable;

  LARGE_INTEGER fileSize;
  if (!GetFileSizeEx(source, &fileSize)) return SealVerdict::Unverifiable;
  // The source stands at the archive's end once the whole archive was copied.
  uint8_t gap[kCertificateAlignment];
  const size_t gapLength = CertificateGapLength(payloadOffset + seal.archiveSize,
                                                ownHeaders.certificateOffset, ownHeaders.certificateSize);
  DWORD gapRead = 0;
  if (gapLength && !ReadFile(source, gap, static_cast<DWORD>(gapLength), &gapRead, nullptr)) gapRead = 0;
  const SealedCopy copy =
      DescribeSealedCopy(seal, payloadOffset, outcome->copied, digest.bytes,
                         static_cast<uint64_t>(fileSize.QuadPart), ownHeaders, gap, gapRead);
  return JudgeSealedCopy(seal, copy);
}
