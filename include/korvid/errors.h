// Error records and reports (lib/internal). Failures are results: the failing operation records
// the details in the last-error record, reports them on the "error" trace stream and returns its
// failure value. Not finding a file is a normal result and reports nothing.
#pragma once

#include <cstdint>

namespace korvid {

enum class ErrorCode : std::uint32_t {
  NoError = 0,
  CreateDirectoryFailed = 1,
  NoFileNameDatabase = 2,
  OpenFileFailed = 3,
  UnexpectedContext = 4,
  DeleteFailed = 5,
  Win32Error = 6,
  CrtError = 7,
  IniSyntaxError = 8,
  InternalError = 9,
  Win32ErrorNumber = 10,
};

struct ErrorRecord {
  ErrorCode code;
  char module[260];
  unsigned line;
  char message[1024];
};

// Records the error and reports it on the "error" stream. Code 6 reports the thread's last Win32
// error, code 7 the runtime's errno; info is the text of the template's %1.
void RaiseError(ErrorCode code, const char* module, unsigned line, const char* info = "");
// Code 10: a Win32 error number that a call returned instead of setting the last error.
void RaiseError(ErrorCode code, const char* module, unsigned line, unsigned long number,
                const char* info);
void ClearLastError();
ErrorRecord GetLastErrorRecord();

// Reports on the "error" stream without touching the last-error record.
void TraceWin32Error(unsigned long number, const char* info, const char* module, int line);
void TraceLastWin32Error(const char* info, const char* module, int line);
void TraceCrtError(const char* info, const char* module, int line);

}  // namespace korvid
