// Copying the appended archive out of the program's own file.
#pragma once
#include <windows.h>
#include <stdint.h>

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

// Copies everything from `source`'s position to its end into `target`. Stops
// at the first read that yields nothing or fails, and at the first write
// that fails or falls short: past one, the rest would land in the wrong place.
CopyOutcome CopyPayload(HANDLE source, HANDLE target);
