// The log entry points. Every caller in the bootstrapper passes the tag "setup".
// LogError and LogInfo write to the log file and copy the line to the debugger
// output; LogDebug goes to the debugger output only. None of them fails.
// Formats use common/format's conversions: %s is a wide string.
#pragma once

void LogError(const wchar_t* tag, const wchar_t* format, ...);
void LogInfo(const wchar_t* tag, const wchar_t* format, ...);
void LogDebug(const wchar_t* tag, const wchar_t* format, ...);
