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

// As RunAndWait, for the installer this run extracted into the folder open
// as `folder`: `installerName` is opened relative to that handle, never by
// path, through a handle that denies writing and deleting, held until the
// child has ended. It is started only when it lies directly in that folder
// (no link leads elsewhere) and holds exactly the bytes whose digest is
// `expected` (null: none was extracted, so nothing found there is ours),
// and by the final path read from that handle; in that folder when
// `inItsFolder`, else in ours. With `foreignEntry` (something in the folder
// that the run did not put there), nothing is started either.
// Nor is it started from a network share. It starts suspended and resumes
// only when the process runs the very file checked; otherwise it is ended.
// `installerPath` is how the log lines name it. A refusal is one ERR line; a
// file that cannot be opened or named is logged as a failed start.
// `installerTemp`, when given, is the TEMP and TMP it gets (null: ours).
// `started`, when given, tells whether the installer ran.
uint32_t RunExtractedAndWait(void* folder, const wchar_t* installerName, const wchar_t* installerPath,
                             wchar_t* commandLine, const Sha256Digest* expected,
                             const wchar_t* foreignEntry, bool inItsFolder,
                             const wchar_t* installerTemp = nullptr, bool* started = nullptr);

// The line that ends every attempt, for a start refused before these
// functions; returns `exitCode`.
uint32_t LogInstallerResult(uint32_t exitCode);

// Both programs get our environment without the variables that load code
// into a process, and NoDefaultCurrentDirectoryInExePath=1. Only their two
// output pipes are passed on; their standard input is none.

// Tests only (null in the stub): called once the installer has passed the
// checks, while its handle is held, right before it is started.
extern void (*installerCheckedForTest)();
// Tests only (null in the stub): what is started in place of the checked
// file's path, as a folder on that path swapped at that moment would make it.
extern const wchar_t* startPathForTest;

// The system's text for `error`, without its line break; empty when there is
// none or it is too long for the log line.
wchar_t* GetSystemErrorText(unsigned long error, wchar_t (&out)[kErrorTextChars]);
