// Placeholder until the log facility lands: debugger output only.
#include <windows.h>
#include <stdarg.h>
#include "log/log.h"
#include "common/format.h"
static void Emit(const wchar_t* level, const wchar_t* tag, const wchar_t* format, va_list args) {
  wchar_t line[1024];
  size_t n = FormatText(line, 1024, L"[%s][%s]:", level, tag);
  FormatTextV(line + n, 1024 - n, format, args);
  OutputDebugStringW(line);
}
void LogError(const wchar_t* tag, const wchar_t* format, ...) { va_list a; va_start(a, format); Emit(L"ERR", tag, format, a); va_end(a); }
void LogInfo(const wchar_t* tag, const wchar_t* format, ...) { va_list a; va_start(a, format); Emit(L"INF", tag, format, a); va_end(a); }
void LogDebug(const wchar_t* tag, const wchar_t* format, ...) { va_list a; va_start(a, format); Emit(L"DBG", tag, format, a); va_end(a); }
