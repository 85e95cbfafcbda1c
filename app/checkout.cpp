#include "app/checkout.h"

#include "app/payload.h"
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

HANDLE CreateTempArchive(const wchar_t* archiveName, wchar_t (&archivePath)[MAX_PATH]) {
  archivePath[0] = 0;
  wchar_t tempDirectory[MAX_PATH];
  DWORD length = GetTempPathW(MAX_PATH, tempDirectory);
  // A longer temporary path is not filled in at all: treat it as unavailable.
  if (length == 0 || length >= MAX_PATH) return nullptr;
  CopyText(archivePath, MAX_PATH, tempDirectory);
  if (AppendText(archivePath, MAX_PATH, archiveName) != length + TextLength(archiveName))
    return INVALID_HANDLE_VALUE;  // the name does not fit: never open a cut path
  DeleteFileW(archivePath);
  return CreateFileW(archivePath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                     nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
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
