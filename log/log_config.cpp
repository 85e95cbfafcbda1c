#include "log/log_config.h"

#include <windows.h>

#include "common/path.h"

WideString GetLogIniPath() {
  wchar_t modulePath[kPathCapacity] = {};
  DWORD length = GetModuleFileNameW(nullptr, modulePath, kPathCapacity);
  // A truncated module path would name some other folder's logtool.ini.
  if (length == 0 || length >= kPathCapacity) return WideString();
  wchar_t iniPath[kPathCapacity + 16];
  if (!ComposeIniPath(modulePath, iniPath, sizeof iniPath / sizeof iniPath[0])) return WideString();
  return WideString(iniPath);
}

LogLimits ReadLogLimits(const WideString& ini) {
  if (ini.empty()) return {kDefaultLogLevel, kDefaultMaxFileSize};
  LogLimits limits;
  limits.level = GetPrivateProfileIntW(L"Log", L"LogLevel", kDefaultLogLevel, ini.c_str());
  limits.maxFileSize = GetPrivateProfileIntW(L"Log", L"MaxFileSize", kDefaultMaxFileSize, ini.c_str());
  return limits;
}

bool ReadLogFilePath(const WideString& ini, wchar_t (&path)[kPathCapacity]) {
  wchar_t configured[kPathCapacity] = {};
  if (!ini.empty())
    GetPrivateProfileStringW(L"Log", L"OutFilePath", L"", configured, kPathCapacity, ini.c_str());
  ComposeLogFilePath(configured, path);
  return configured[0] != 0;
}
