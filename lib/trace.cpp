// Trace streams: named switches over the lines the library writes to the debugger output.
#include "internal.h"

#include <cstdio>
#include <cstring>

namespace korvid {

TraceStreamIds traceStreams;

namespace {

constexpr char kModule[] = "lib/trace";
constexpr unsigned kMaxStreams = 32;
constexpr char kListDelimiters[] = ",; \n\t";
constexpr std::size_t kTextSize = 4096;
constexpr char kPrefix[] = "korvidlib: ";

std::atomic<DebugOutputHook> debugOutputHook{nullptr};

// The copy is one WriteFile of the whole line, so that lines of other threads and processes
// writing to the same target never come inside it. A write to the trace file is also done under
// an exclusive lock of the whole file: an appending write is one step on Windows, but wine seeks
// to the end and writes in two, so that two processes could otherwise write at the same place.
void WriteDebugOutput(const char* line, std::size_t length) {
  DebugOutputHook hook = debugOutputHook.load();
  if (hook != nullptr) {
    hook(line);
  } else {
    OutputDebugStringA(line);
  }
  if (HANDLE target = Context().trace.copyTarget.load()) {
    DWORD written = 0;
    OVERLAPPED whole{};
    bool locked = Context().trace.copyToFile.load() &&
                  LockFileEx(target, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole);
    WriteFile(target, line, static_cast<DWORD>(length), &written, nullptr);
    if (locked) UnlockFileEx(target, 0, MAXDWORD, MAXDWORD, &whole);
  }
}

// Appending only: every write of every process that has the file open this way lands at its
// end, so that concurrent writers never overwrite each other.
void OpenCopyTarget() {
  auto& trace = Context().trace;
  if (trace.copyTarget.load() != nullptr) return;  // a later start-up keeps the first target
  HANDLE standardError = GetStdHandle(STD_ERROR_HANDLE);
  if (standardError != INVALID_HANDLE_VALUE) trace.copyTarget.store(standardError);
  std::optional<std::string> path = GetEnvironmentValue("KORVID_TRACE_FILE");
  if (!path || path->empty()) return;
  // Reading too, which locking the file needs.
  FileHandle file(CreateFileA(path->c_str(), GENERIC_READ | FILE_APPEND_DATA,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) {
    // Said on standard error, which keeps the lines.
    KORVID_TRACE_LAST_WIN32_ERROR(path->c_str());
    return;
  }
  trace.copyToFile.store(true);
  trace.copyTarget.store(file.get());
  trace.copyFile = std::move(file);
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
  return (Context().trace.enabled.load(std::memory_order_relaxed) >> id) & 1u;
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
  WriteDebugOutput(line, sizeof kPrefix + static_cast<std::size_t>(length));
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

void StartRequestedTraces() {
  std::optional<std::string> requested = GetEnvironmentValue("KORVID_TRACE");
  if (!requested) return;
  OpenCopyTarget();
  SetTraceOptions(("error," + *requested).c_str());
  if (IsNameInList(requested->c_str(), "all", kListDelimiters)) {
    auto& trace = Context().trace;
    LockGuard guard(trace.lock);
    for (const TraceStream& stream : trace.streams) trace.enabled |= 1u << stream.id;
  }
}

void ResetTraces() {
  auto& trace = Context().trace;
  LockGuard guard(trace.lock);
  trace.enabled = 0;
  trace.streams.clear();
  trace.enableString.clear();
}

}  // namespace korvid
