// The library context: start-up and shutdown, program name, home, profile and working directories.
#include "internal.h"

#include <direct.h>

#include <cstdlib>
#include <cstring>

namespace korvid {
namespace {

constexpr char kModule[] = "lib/korvid";
constexpr char kProfileKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\ProfileReconciliation";
constexpr char kProfileValue[] = "ProfileDirectory";

const char* const kStandardStreams[] = {"access", "config",  "error",   "filesearch", "fndb",
                                        "fontinfo", "open",  "process", "tempfile",   "time"};

// Copies text into a kMaxPath buffer; false (buffer untouched) when it does not fit.
bool CopyPath(char* buffer, const std::string& text) {
  if (text.size() >= kMaxPath) return false;
  std::memcpy(buffer, text.c_str(), text.size() + 1);
  return true;
}


void RegisterStandardStreams() {
  int* ids[] = {&traceStreams.access,   &traceStreams.config,   &traceStreams.error,
                &traceStreams.filesearch, &traceStreams.fndb,   &traceStreams.fontinfo,
                &traceStreams.open,     &traceStreams.process,  &traceStreams.tempfile,
                &traceStreams.time};
  for (std::size_t i = 0; i < std::size(kStandardStreams); ++i) {
    *ids[i] = RegisterTraceStream(kStandardStreams[i]);
  }
}

// Rewrites KORVID_CWD from the list; the caller holds the working-directory lock.
void ExportWorkingDirectories(const std::vector<std::string>& list) {
  std::string entry = "KORVID_CWD=";
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (i > 0) entry += ';';
    entry += list[i];
  }
  SetEnvironmentEntry(entry);
}

// Makes the directory absolute; an empty name stands for the current directory.
bool MakeAbsoluteDirectory(const char* directory, char* out) {
  if (directory[0] != '\0' && IsAbsolutePath(directory)) {
    return CopyPath(out, directory);
  }
  return _fullpath(out, directory[0] != '\0' ? directory : ".", kMaxPath) != nullptr;
}

// The order of the steps matters: files named by the configuration and the roots are cleaned up
// before the tables that name them go.
void TearDown() {
  FreeConfig();
  RemoveTempFiles();
  ReportOpenFiles();
  FreeRoots();
  ClearApplicationNames();
  ResetTraces();
  ClearSearchPathCache();
  auto& workingDirectories = Context().workingDirectories;
  LockGuard guard(workingDirectories.lock);
  workingDirectories.list.reset();
}

}  // namespace

std::optional<std::string> GetEnvironmentValue(const char* name) {
  LockGuard guard(Context().environment.lock);
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

// The platform keeps values of at most 32767 characters (and some versions crash on longer ones
// instead of failing): a longer value is not set, and the variable keeps its old value.
bool SetEnvironmentEntry(const std::string& entry) {
  constexpr std::size_t kMaxValue = 32767;
  std::size_t equals = entry.find('=');
  if (equals == std::string::npos || entry.size() - equals - 1 > kMaxValue) {
    TraceError("cannot set environment variable '%s': value too long",
               entry.substr(0, equals).c_str());
    return false;
  }
  LockGuard guard(Context().environment.lock);
  return _putenv(entry.c_str()) == 0;
}

LibraryContext& Context() {
  static LibraryContext context;
  return context;
}

namespace {
// The locks exist before the entry point runs.
[[maybe_unused]] LibraryContext& contextBeforeEntry = Context();
}  // namespace

// Looked up rather than imported: a program that imports it does not start on a system without
// it. It changes this process's own search only, so Perl keeps the search it expects.
bool RestrictDllSearch() {
  using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);
  auto restrict = reinterpret_cast<SetDefaultDllDirectoriesFunction>(reinterpret_cast<void (*)()>(
      GetProcAddress(GetModuleHandleA("kernel32.dll"), "SetDefaultDllDirectories")));
  return restrict != nullptr && restrict(LOAD_LIBRARY_SEARCH_SYSTEM32) != 0;
}

bool InitializeLibrary(const StartupOptions* options) {
  auto& startup = Context().startup;
  LockGuard guard(startup.lock);
  if (++startup.referenceCount > 1) return true;

  if (options != nullptr) {
    std::memcpy(&startup.options, options, sizeof startup.options);
  } else {
    std::memset(&startup.options, 0, sizeof startup.options);
  }
  startup.flags.store(startup.options.flags);

  // A shutdown empties the stream table; a later start-up registers the standard streams again
  // (they get their earlier ids back), so that its errors are reported too.
  RegisterStandardStreams();
  SetTraceOptions("error");
  StartRequestedTraces();

  char programName[kMaxPath];
  AddApplicationName(GetProgramName(programName));

  {
    auto& workingDirectories = Context().workingDirectories;
    LockGuard wdGuard(workingDirectories.lock);
    workingDirectories.list.emplace();
    if (std::optional<std::string> value = GetEnvironmentValue("KORVID_CWD")) {
      std::string copy = *value;
      NormalizeSlashes(copy.data());
      Tokenizer items(copy.c_str(), ';');
      while (const char* item = items.Next()) {
        AddWorkingDirectory(item, true);
      }
    }
  }

  ExportTempEnvironment();
  return true;
}

bool UninitializeLibrary() {
  auto& startup = Context().startup;
  LockGuard guard(startup.lock);
  if (startup.referenceCount == 1) TearDown();
  --startup.referenceCount;
  return true;
}

std::uint32_t GetStartupFlags() { return Context().startup.flags.load(); }

// An executable path that does not fit kMaxPath is treated like a failed query: "fixme".
char* GetProgramName(char* buffer) {
  ClearLastError();
  char path[kMaxPath + 1];
  DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
  if (length == 0 || length >= kMaxPath) {
    if (length != 0) SetLastError(ERROR_INSUFFICIENT_BUFFER);
    KORVID_TRACE_LAST_WIN32_ERROR("GetModuleFileName");
    std::strcpy(buffer, "fixme");
    return buffer;
  }
  path[length] = '\0';
  CopyPath(buffer, SplitPath(path).name);
  return buffer;
}

// Rules 1 and 2 pass over a value that does not fit the buffer (and say so); rule 5 never fails.
char* GetHomeDirectory(char* buffer) {
  static char staticBuffer[kMaxPath];
  if (buffer == nullptr) buffer = staticBuffer;

  std::optional<std::string> homeDrive = GetEnvironmentValue("HOMEDRIVE");
  std::optional<std::string> homePath = GetEnvironmentValue("HOMEPATH");
  if (homeDrive && homePath) {
    std::string home = *homeDrive;
    if (homePath->empty() || !IsDirectoryDelimiter(static_cast<unsigned char>((*homePath)[0]))) {
      home += '\\';
    }
    home += *homePath;
    if (CopyPath(buffer, home)) return buffer;
    TraceError("buffer capacity exceeded");
  }
  if (std::optional<std::string> home = GetEnvironmentValue("HOME")) {
    if (CopyPath(buffer, *home)) return buffer;
    TraceError("buffer capacity exceeded");
  }
  if (GetProfileDirectory(buffer) != nullptr) return buffer;
  UINT length = GetWindowsDirectoryA(buffer, kMaxPath);
  if (length == 0) {
    KORVID_TRACE_LAST_WIN32_ERROR("GetWindowsDirectory");
  } else if (length >= kMaxPath) {
    TraceError("buffer capacity exceeded");
  } else {
    return buffer;
  }
  std::strcpy(buffer, "C:\\");
  return buffer;
}

// A registry value that does not fit 260 bytes fails the query and is reported (code 10);
// a USERPROFILE that does not fit is passed over.
char* GetProfileDirectory(char* buffer) {
  HKEY rawKey = nullptr;
  LONG status = Registry().openKeyEx(HKEY_CURRENT_USER, kProfileKey, 0, KEY_READ, &rawKey);
  if (status == ERROR_SUCCESS) {
    RegistryKey key(rawKey);
    char data[kMaxPath + 1];
    DWORD size = kMaxPath;
    DWORD type = 0;
    status = Registry().queryValueEx(key.get(), kProfileValue, nullptr, &type,
                                     reinterpret_cast<BYTE*>(data), &size);
    if (status == ERROR_SUCCESS) {
      data[size < sizeof data ? size : sizeof data - 1] = '\0';
      if (!CopyPath(buffer, data)) {
        TraceError("buffer capacity exceeded");
        return nullptr;
      }
      return buffer;
    }
    if (status != ERROR_FILE_NOT_FOUND) {
      KORVID_RAISE(ErrorCode::Win32ErrorNumber, static_cast<unsigned long>(status), kProfileValue);
      return nullptr;
    }
  } else if (status != ERROR_FILE_NOT_FOUND) {
    KORVID_RAISE(ErrorCode::Win32ErrorNumber, static_cast<unsigned long>(status), kProfileKey);
    return nullptr;
  }
  std::optional<std::string> profile = GetEnvironmentValue("USERPROFILE");
  if (!profile || profile->empty()) return nullptr;
  if (!CopyPath(buffer, *profile)) {
    TraceError("buffer capacity exceeded");
    return nullptr;
  }
  return buffer;
}

bool AddWorkingDirectory(const char* directory, bool atBack) {
  ClearLastError();
  auto& workingDirectories = Context().workingDirectories;
  LockGuard guard(workingDirectories.lock);
  // Expanded search paths depend on the working directories. The cache lock is a leaf, so it may
  // be taken inside the working-directory lock.
  ClearSearchPathCache();
  char absolute[kMaxPath];
  if (!MakeAbsoluteDirectory(directory, absolute)) {
    TraceError("cannot add working directory '%s': path too long", directory);
    return false;
  }
  if (!workingDirectories.list) workingDirectories.list.emplace();
  auto& list = *workingDirectories.list;
  list.insert(atBack ? list.end() : list.begin(), absolute);
  ExportWorkingDirectories(list);
  return true;
}

char* GetWorkingDirectory(unsigned index, char* buffer) {
  if (index == 0) {
    if (_getcwd(buffer, kMaxPath) == nullptr) {
      KORVID_RAISE(ErrorCode::CrtError, "_tgetcwd");
      return nullptr;
    }
    return buffer;
  }
  auto& workingDirectories = Context().workingDirectories;
  LockGuard guard(workingDirectories.lock);
  if (!workingDirectories.list || index > workingDirectories.list->size()) return nullptr;
  CopyPath(buffer, (*workingDirectories.list)[index - 1]);
  return buffer;
}

void ExportTempEnvironment() {
  char scratch[kMaxPath];
  if (ChooseScratchDirectory(scratch, false)) {
    for (const char* name : {"TEMPDIR", "TMPDIR", "TEMP", "TMP"}) {
      if (!GetEnvironmentValue(name)) SetEnvironmentEntry(std::string(name) + "=" + scratch);
    }
  }
  if (!GetEnvironmentValue("HOME")) {
    char home[kMaxPath];
    SetEnvironmentEntry(std::string("HOME=") + GetHomeDirectory(home));
  }
}

}  // namespace korvid
