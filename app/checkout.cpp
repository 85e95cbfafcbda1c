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

void CopyPayload(HANDLE source, HANDLE target) {
  uint8_t chunk[4096];
  for (;;) {
    DWORD bytesRead = 0;
    ReadFile(source, chunk, sizeof chunk, &bytesRead, nullptr);
    if (bytesRead == 0) break;
    DWORD written = 0;
    WriteFile(target, chunk, bytesRead, &written, nullptr);
  }
}
