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

CopyOutcome CopyPayload(HANDLE source, HANDLE target) {
  CopyOutcome outcome;
  LARGE_INTEGER size, zero = {}, position;
  if (GetFileSizeEx(source, &size) && SetFilePointerEx(source, zero, &position, FILE_CURRENT) &&
      size.QuadPart > position.QuadPart)
    outcome.expected = static_cast<uint64_t>(size.QuadPart - position.QuadPart);
  uint8_t chunk[4096];
  for (;;) {
    DWORD bytesRead = 0;
    if (!ReadFile(source, chunk, sizeof chunk, &bytesRead, nullptr)) {
      outcome.error = GetLastError();
      break;
    }
    if (bytesRead == 0) break;
    DWORD written = 0;
    BOOL wrote = WriteFile(target, chunk, bytesRead, &written, nullptr);
    outcome.copied += written;
    if (!wrote || written != bytesRead) {
      // A short write without an error code is a full disk all the same.
      outcome.error = wrote ? ERROR_DISK_FULL : GetLastError();
      break;
    }
  }
  return outcome;
}
