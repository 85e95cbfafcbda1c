// Reads the optional "logtool.ini" beside the executable, section "Log",
// through the private-profile calls only. Without the file the built-in
// values apply: level 3, 5242880 bytes, "C:\plomet_setup.log".
#pragma once
#include <stdint.h>

#include "common/containers.h"
#include "log/log_format.h"

// Empty when the executable's own path cannot be had: then nothing is read.
// Looked up once and handed to both readers below.
WideString GetLogIniPath();
LogLimits ReadLogLimits(const WideString& ini);
// Composed path, or empty when file logging is off. True when the path is
// the ini's, not the built-in one.
bool ReadLogFilePath(const WideString& ini, wchar_t (&path)[kPathCapacity]);
