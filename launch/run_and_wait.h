// Starting the installer and waiting for it.
#pragma once
#include <stdint.h>

#include "launch/system_message.h"

// Starts `applicationPath` with exactly `commandLine` as its whole command
// line (writable: process creation may change it), in our current
// directory, and waits, without a time limit, until it has exited. Logs the
// outcome at INF. Returns the exit code; 0xFFFFFFFF when the program could
// not be started, no exit code could be read, or `applicationPath` is null.
uint32_t RunAndWait(const wchar_t* applicationPath, wchar_t* commandLine);

// The system's text for the calling thread's last error, without its line
// break; empty when there is none or it is too long for the log line.
wchar_t* GetSystemErrorText(wchar_t (&out)[kErrorTextChars]);
