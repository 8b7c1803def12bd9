// Trace streams (lib/trace): named streams of lines on the debugger output, each switched on or
// off; "error" carries the reports of failures. KORVID_TRACE switches streams on from outside.
#pragma once

#include <cstdarg>

namespace korvid {

// Ids of the standard streams; -1 until the first start-up registers them.
struct TraceStreamIds {
  int access = -1;
  int config = -1;
  int error = -1;
  int filesearch = -1;
  int fndb = -1;
  int fontinfo = -1;
  int open = -1;
  int process = -1;
  int tempfile = -1;
  int time = -1;
};
extern TraceStreamIds traceStreams;

// The id of the stream of this name (added when new); -1 when the table is full.
int RegisterTraceStream(const char* name);
// Replaces the enable string and the enabled set; null stands for "error".
void SetTraceOptions(const char* options);
void EnableTraceStream(int id, bool enable);
bool IsTraceEnabled(int id);
// The library's formats are those of the C99 printf: mingw's runtime gives it under the name
// gnu_printf, other compilers know it as printf.
#if defined(__MINGW32__)
#define KORVID_PRINTF_FORMAT(formatIndex, firstArgument) \
  __attribute__((format(gnu_printf, formatIndex, firstArgument)))
#else
#define KORVID_PRINTF_FORMAT(formatIndex, firstArgument) \
  __attribute__((format(printf, formatIndex, firstArgument)))
#endif
void Trace(int id, const char* format, ...) KORVID_PRINTF_FORMAT(2, 3);
void TraceV(int id, const char* format, std::va_list args);
void TraceError(const char* format, ...) KORVID_PRINTF_FORMAT(1, 2);
void ResetTraces();

}  // namespace korvid
