// Trace streams: named switches over the lines the library writes to the debugger output.
#include "internal.h"

#include <cstdio>
#include <cstring>

namespace korvid {

TraceStreamIds traceStreams;

namespace {

constexpr unsigned kMaxStreams = 32;
constexpr char kListDelimiters[] = ",; \n\t";
constexpr std::size_t kTextSize = 4096;
constexpr char kPrefix[] = "korvidlib: ";

std::atomic<DebugOutputHook> debugOutputHook{nullptr};

void WriteDebugOutput(const char* line) {
  DebugOutputHook hook = debugOutputHook.load();
  if (hook != nullptr) {
    hook(line);
  } else {
    OutputDebugStringA(line);
  }
}

}  // namespace

void SetDebugOutputHook(DebugOutputHook hook) { debugOutputHook.store(hook); }

// The last error is cleared before the trace lock is taken: the error lock encloses the trace
// lock when an error is reported, so the trace lock must never enclose the error lock.
int RegisterTraceStream(const char* name) {
  ClearLastError();
  auto& trace = Context().trace;
  LockGuard guard(trace.lock);
  for (const TraceStream& stream : trace.streams) {
    if (stream.name == name) return static_cast<int>(stream.id);
  }
  if (trace.streams.size() >= kMaxStreams) {
    TraceError("too many trace streams");
    return -1;
  }
  if (trace.streams.capacity() == 0) trace.streams.reserve(20);
  unsigned id = static_cast<unsigned>(trace.streams.size());
  trace.streams.push_back(TraceStream{id, name});
  if (IsNameInList(trace.enableString.c_str(), name, kListDelimiters)) {
    trace.enabled |= 1u << id;
  }
  return static_cast<int>(id);
}

void SetTraceOptions(const char* options) {
  ClearLastError();
  auto& trace = Context().trace;
  LockGuard guard(trace.lock);
  trace.enableString = options != nullptr ? options : "error";
  trace.enabled = 0;
  DelimiterTokenizer items(trace.enableString.c_str(), kListDelimiters);
  while (const char* item = items.Next()) {
    for (const TraceStream& stream : trace.streams) {
      if (stream.name == item) trace.enabled |= 1u << stream.id;
    }
  }
}

void EnableTraceStream(int id, bool enable) {
  if (id < 0 || id >= static_cast<int>(kMaxStreams)) return;
  auto& trace = Context().trace;
  LockGuard guard(trace.lock);
  if (enable) {
    trace.enabled |= 1u << id;
  } else {
    trace.enabled &= ~(1u << id);
  }
}

bool IsTraceEnabled(int id) {
  if (id < 0 || id >= static_cast<int>(kMaxStreams)) return false;
  auto& trace = Context().trace;
  LockGuard guard(trace.lock);
  return (trace.enabled >> id) & 1u;
}

void TraceV(int id, const char* format, std::va_list args) {
  if (!IsTraceEnabled(id)) return;
  char line[sizeof kPrefix - 1 + kTextSize + 1];
  std::memcpy(line, kPrefix, sizeof kPrefix - 1);
  char* text = line + sizeof kPrefix - 1;
  int length = std::vsnprintf(text, kTextSize, format, args);
  if (length < 0) return;
  if (static_cast<std::size_t>(length) >= kTextSize) {
    std::memcpy(text + kTextSize - 4, "...", 4);
    length = static_cast<int>(kTextSize - 1);
  }
  text[length] = '\n';
  text[length + 1] = '\0';
  WriteDebugOutput(line);
}

void Trace(int id, const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  TraceV(id, format, args);
  va_end(args);
}

void TraceError(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  TraceV(traceStreams.error, format, args);
  va_end(args);
}

void ResetTraces() {
  auto& trace = Context().trace;
  LockGuard guard(trace.lock);
  trace.enabled = 0;
  trace.streams.clear();
  trace.enableString.clear();
}

}  // namespace korvid
