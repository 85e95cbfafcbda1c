// Copying the appended archive out of the program's own file.
#pragma once
#include <windows.h>
#include <stdint.h>

// Reads the first MiB of `file` into the static header buffer and scans it.
// Afterwards the file position stands just past the bytes read (0 when the
// read failed). Returns the payload offset or -1.
int32_t FindPayloadOffset(HANDLE file);

// Copies everything from `source`'s position to its end into `target`.
void CopyPayload(HANDLE source, HANDLE target);
