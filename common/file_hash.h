// The Win32 edge of hashing: a file's digest through a handle the caller holds.
#pragma once
#include <windows.h>

#include "common/sha256.h"

// Hashes the file behind `file`, from offset 0 to its end, through the handle
// itself, never by path, so it is the very file the caller holds open. The
// handle must be synchronous and readable; its position is left at the end.
bool HashFileContents(HANDLE file, Sha256Digest* out);
