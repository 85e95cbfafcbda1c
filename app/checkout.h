// Copying the appended archive out of the program's own file.
#pragma once
#include <windows.h>
#include <stdint.h>

// Reads the first MiB of `file` into the static header buffer and scans it.
// Afterwards the file position stands just past the bytes read (0 when the
// read failed). Returns the payload offset or -1.
int32_t FindPayloadOffset(HANDLE file);

// Creates the empty temporary archive `archiveName` in the temporary
// directory; `archivePath` (MAX_PATH units) receives its full path. When the
// name or its extraction directory's name is already taken, it draws fresh
// names with rand(), so the path's file name may differ from `archiveName`.
// Returns null when the temporary directory cannot be had (archivePath is
// then empty), INVALID_HANDLE_VALUE when the file cannot be created.
HANDLE CreateTempArchive(const wchar_t* archiveName, wchar_t (&archivePath)[MAX_PATH]);

// Copies everything from `source`'s position to its end into `target`.
void CopyPayload(HANDLE source, HANDLE target);
