#include "log/log_config.h"

#include <windows.h>

WideString GetLogIniPath() {
  wchar_t modulePath[MAX_PATH] = {};
  DWORD length = GetModuleFileNameW(nullptr, modulePath, MAX_PATH);
  // A truncated module path would name some other folder's logtool.ini.
  if (length == 0 || length >= MAX_PATH) return WideString();
  wchar_t iniPath[MAX_PATH + 16];
  if (!ComposeIniPath(modulePath, iniPath, sizeof iniPath / sizeof iniPath[0])) return WideString();
  return WideString(iniPath);
}

LogLimits ReadLogLimits() {
  WideString ini = GetLogIniPath();
  if (ini.empty()) return {kDefaultLogLevel, kDefaultMaxFileSize};
  LogLimits limits;
  limits.level = GetPrivateProfileIntW(L"Log", L"LogLevel", kDefaultLogLevel, ini.c_str());
  limits.maxFileSize = GetPrivateProfileIntW(L"Log", L"MaxFileSize", kDefaultMaxFileSize, ini.c_str());
  return limits;
}

void ReadLogFilePath(wchar_t (&path)[kLogPathChars]) {
  wchar_t configured[kLogPathChars] = {};
  WideString ini = GetLogIniPath();
  if (!ini.empty())
    GetPrivateProfileStringW(L"Log", L"OutFilePath", L"", configured, kLogPathChars, ini.c_str());
  ComposeLogFilePath(configured, path);
}
