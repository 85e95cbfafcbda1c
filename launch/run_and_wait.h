// Starting the installer and waiting for it.
#pragma once
#include <stdint.h>

#include "common/sha256.h"
#include "launch/system_message.h"

// Starts `applicationPath` with exactly `commandLine` as its whole command
// line (writable: process creation may change it), in our current
// directory, and waits, without a time limit, until it has exited. Logs the
// outcome at INF. Returns the exit code; 0xFFFFFFFF when the program could
// not be started, no exit code could be read, or `applicationPath` is null.
// `started`, when given, tells whether the program ran: 0xFFFFFFFF is also
// an exit code of its own.
uint32_t RunAndWait(const wchar_t* applicationPath, wchar_t* commandLine, bool* started = nullptr);

// As RunAndWait, for the installer this run extracted: it is started only
// when the file at `applicationPath` holds exactly the bytes whose digest
// is `expected` (null: none was extracted, so nothing found there is ours).
// The check reads through a handle that denies writing and deleting, held
// until the child has ended, so the file cannot change between check and
// start. With `foreignEntry` (something in the installer's folder that the
// run did not put there), nothing is started either. A refusal is one ERR
// line; a file that cannot be opened is logged as a failed start.
uint32_t RunExtractedAndWait(const wchar_t* applicationPath, wchar_t* commandLine,
                             const Sha256Digest* expected, const wchar_t* foreignEntry,
                             bool* started = nullptr);

// The system's text for `error`, without its line break; empty when there is
// none or it is too long for the log line.
wchar_t* GetSystemErrorText(unsigned long error, wchar_t (&out)[kErrorTextChars]);
