// The error funnel of the native build of lib/core: the record is kept per thread as on Windows,
// with the template's insert as its message; reports and traces go nowhere.
#include "korvid/errors.h"
#include "korvid/trace.h"

#include <cstdio>
#include <cstring>

namespace korvid {
namespace {

thread_local ErrorRecord lastError{};

void Record(ErrorCode code, const char* module, unsigned line, const char* info) {
  lastError.code = code;
  std::snprintf(lastError.module, sizeof lastError.module, "%s", module ? module : "");
  lastError.line = line;
  std::snprintf(lastError.message, sizeof lastError.message, "%s", info ? info : "");
}

}  // namespace

TraceStreamIds traceStreams;

void RaiseError(ErrorCode code, const char* module, unsigned line, const char* info) {
  Record(code, module, line, info);
}

void RaiseError(ErrorCode code, const char* module, unsigned line, unsigned long, const char* info) {
  Record(code, module, line, info);
}

void ClearLastError() { lastError = ErrorRecord{}; }

ErrorRecord GetLastErrorRecord() { return lastError; }

void TraceV(int, const char*, std::va_list) {}
void Trace(int, const char*, ...) {}
void TraceError(const char*, ...) {}
void TraceWin32Error(unsigned long, const char*, const char*, int) {}
void TraceLastWin32Error(const char*, const char*, int) {}
void TraceCrtError(const char*, const char*, int) {}

}  // namespace korvid
