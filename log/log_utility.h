// The process-wide log behind LogError and LogInfo. It starts before
// wWinMain from the configuration (log/log_config.h) and ends at exit; a
// log call after the end starts it again.
#pragma once
#include "log/log_format.h"

// For tests: ends the log as the exit step does and starts it again with
// `path` ("" writes no file) and `limits`, clamped as configured ones are,
// in place of the configured file and limits. The file stays closed until
// the next line, so a test may read or replace it in between. `fromIni`:
// the path is taken as logtool.ini's rather than the built-in one.
void RestartLogForTest(const wchar_t* path, LogLimits limits, bool fromIni = false);
