// Error records and reports, the close wrappers, and the case-insensitive ordering.
#include "internal.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace korvid {
namespace {

constexpr char kModule[] = "lib/internal";

const char* const kTemplates[] = {
    "No error.",
    "Cannot create directory %1.",
    "Cannot determine file name database for file %1.",
    "Cannot open file %1.",
    "Unexpected context.",
    "Cannot delete %1.",
    "Win32 error.",
    "CRT error.",
    "Syntax error in ini file. Offending line: '%1'.",
    "Internal error.",
    "Win32 error.",
};

// Stand-ins for registry functions that cannot be reached: they fail with the reason, as the
// real ones fail with a status.
DWORD registryLoadError = ERROR_PROC_NOT_FOUND;
LONG WINAPI UnreachableOpenKeyEx(HKEY, LPCSTR, DWORD, REGSAM, PHKEY result) {
  if (result != nullptr) *result = nullptr;
  return static_cast<LONG>(registryLoadError);
}
LONG WINAPI UnreachableQueryValueEx(HKEY, LPCSTR, LPDWORD, LPDWORD, LPBYTE, LPDWORD) {
  return static_cast<LONG>(registryLoadError);
}
LONG WINAPI UnreachableCloseKey(HKEY) { return static_cast<LONG>(registryLoadError); }

// All three from one module, so that a key is closed by the code that opened it.
bool LookUpRegistryFunctions(HMODULE module, RegistryFunctions* functions) {
  if (module == nullptr) return false;
  FARPROC open = GetProcAddress(module, "RegOpenKeyExA");
  FARPROC query = GetProcAddress(module, "RegQueryValueExA");
  FARPROC close = GetProcAddress(module, "RegCloseKey");
  if (open == nullptr || query == nullptr || close == nullptr) return false;
  functions->openKeyEx = reinterpret_cast<decltype(functions->openKeyEx)>(
      reinterpret_cast<void (*)()>(open));
  functions->queryValueEx = reinterpret_cast<decltype(functions->queryValueEx)>(
      reinterpret_cast<void (*)()>(query));
  functions->closeKey = reinterpret_cast<decltype(functions->closeKey)>(
      reinterpret_cast<void (*)()>(close));
  return true;
}

}  // namespace

// A DLL by the same name in the program's folder, the current directory or a PATH entry is never
// taken for the system's. Systems before the loader update that brought the flag refuse it as an
// invalid parameter: there the DLL is loaded by its full path in the system directory, and what
// it needs is looked for beside it first.
HMODULE LoadSystemLibrary(const char* name) {
  HMODULE module = LoadLibraryExA(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (module != nullptr || GetLastError() != ERROR_INVALID_PARAMETER) return module;
  char directory[kMaxPath];
  UINT length = GetSystemDirectoryA(directory, sizeof directory);
  if (length == 0) return nullptr;
  std::string path;
  if (length < sizeof directory) {
    path.assign(directory, length);
    if (!IsDirectoryDelimiter(static_cast<unsigned char>(path.back()))) path += '\\';
    path += name;
  }
  if (path.empty() || path.size() >= kMaxPath) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return nullptr;
  }
  return LoadLibraryExA(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

namespace {

RegistryFunctions FindRegistryFunctions() {
  DWORD saved = GetLastError();
  RegistryFunctions functions{};
  if (!LookUpRegistryFunctions(GetModuleHandleA("kernel32.dll"), &functions)) {
    // Loaded for the life of the process: the functions stay in use until it ends.
    HMODULE advapi = LoadSystemLibrary("advapi32.dll");
    if (advapi == nullptr) registryLoadError = GetLastError();
    if (!LookUpRegistryFunctions(advapi, &functions)) {
      functions = {UnreachableOpenKeyEx, UnreachableQueryValueEx, UnreachableCloseKey};
    }
  }
  SetLastError(saved);
  return functions;
}

void CopyBounded(char* out, std::size_t size, const char* text) {
  std::snprintf(out, size, "%s", text ? text : "");
}

// Expands the template into the 1024-character message. A message that does not fit is cut and
// ends in "..."; a template that cannot be expanded at all is stored unexpanded.
void ExpandTemplate(ErrorCode code, const char* insert1, const char* insert2, char* message,
                    std::size_t size) {
  unsigned index = static_cast<unsigned>(code);
  const char* templ = index < std::size(kTemplates) ? kTemplates[index] : "Internal error.";
  DWORD_PTR inserts[2] = {reinterpret_cast<DWORD_PTR>(insert1 ? insert1 : ""),
                          reinterpret_cast<DWORD_PTR>(insert2 ? insert2 : "")};
  constexpr DWORD kFlags = FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ARGUMENT_ARRAY;
  if (FormatMessageA(kFlags, templ, 0, 0, message, static_cast<DWORD>(size),
                     reinterpret_cast<va_list*>(inserts)) != 0) {
    return;
  }
  char* allocated = nullptr;
  if (FormatMessageA(kFlags | FORMAT_MESSAGE_ALLOCATE_BUFFER, templ, 0, 0,
                     reinterpret_cast<char*>(&allocated), static_cast<DWORD>(size),
                     reinterpret_cast<va_list*>(inserts)) != 0 &&
      allocated != nullptr) {
    std::size_t length = std::strlen(allocated);
    if (length < size) {
      std::memcpy(message, allocated, length + 1);
    } else {
      std::memcpy(message, allocated, size - 4);
      std::memcpy(message + size - 4, "...", 4);
    }
    LocalFree(allocated);
    return;
  }
  CopyBounded(message, size, templ);
}

}  // namespace

void TraceWin32Error(unsigned long number, const char* info, const char* module, int line) {
  char* text = nullptr;
  DWORD length = FormatMessageA(
      FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, number, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<char*>(&text),
      1024, nullptr);
  const char* shown = (length != 0 && text != nullptr) ? text : "(the system has no text for it)";
  TraceError("Win32 error #%lu in '%s' on line %d:\n%s\nInfo: %s", number, module, line, shown,
             info ? info : "");
  if (text != nullptr) LocalFree(text);
}

std::string SystemErrorText(unsigned long number) {
  char* text = nullptr;
  DWORD length = FormatMessageA(
      FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, number, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<char*>(&text), 0,
      nullptr);
  std::string result = (length != 0 && text != nullptr) ? std::string(text, length)
                                                        : "Win32 error " + std::to_string(number);
  if (text != nullptr) LocalFree(text);
  while (!result.empty() &&
         (result.back() == '\n' || result.back() == '\r' || result.back() == ' ')) {
    result.pop_back();
  }
  return result;
}

void TraceLastWin32Error(const char* info, const char* module, int line) {
  TraceWin32Error(GetLastError(), info, module, line);
}

void TraceCrtError(const char* info, const char* module, int line) {
  TraceError("CRT error in '%s' on line %d:\n%s\nInfo: %s", module, line, std::strerror(errno),
             info ? info : "");
}

namespace {

void Raise(ErrorCode code, const char* module, unsigned line, unsigned long number,
           const char* insert1, const char* insert2) {
  // 1. The first report, before the lock: Win32, CRT and internal errors.
  bool reported = true;
  switch (code) {
    case ErrorCode::Win32Error:
      TraceWin32Error(number, insert1, module, static_cast<int>(line));
      break;
    case ErrorCode::Win32ErrorNumber:
      TraceWin32Error(number, insert2, module, static_cast<int>(line));
      break;
    case ErrorCode::CrtError:
      TraceCrtError(insert1, module, static_cast<int>(line));
      break;
    case ErrorCode::InternalError:
      TraceError("internal error in '%s', line %u", module, line);
      break;
    default:
      reported = false;
      break;
  }
  ErrorRecord& record = Context().error.record;
  LockGuard guard(Context().error.lock);
  record.code = code;
  record.line = line;
  CopyBounded(record.module, sizeof record.module, module);
  ExpandTemplate(code, insert1, insert2, record.message, sizeof record.message);
  Context().error.recorded.store(true);
  if (!reported) {
    TraceError("%s:%u: %s", record.module, record.line, record.message);
  }
}

}  // namespace

void RaiseError(ErrorCode code, const char* module, unsigned line, const char* info) {
  // The thread's last error is read before anything else can change it.
  unsigned long number = GetLastError();
  Raise(code, module, line, number, info, nullptr);
}

void RaiseError(ErrorCode code, const char* module, unsigned line, unsigned long number,
                const char* info) {
  char numberText[16];
  std::snprintf(numberText, sizeof numberText, "%lu", number);
  if (code == ErrorCode::Win32ErrorNumber) {
    Raise(code, module, line, number, numberText, info);
  } else {
    Raise(code, module, line, number, info, nullptr);
  }
}

// A raise that runs beside this call is either seen (and cleared) or comes after it, as it would
// with the lock taken.
void ClearLastError() {
  auto& error = Context().error;
  if (!error.recorded.load()) return;
  LockGuard guard(error.lock);
  error.record.code = ErrorCode::NoError;
  error.recorded.store(false);
}

ErrorRecord GetLastErrorRecord() {
  LockGuard guard(Context().error.lock);
  return Context().error.record;
}

const RegistryFunctions& Registry() {
  static const RegistryFunctions functions = FindRegistryFunctions();
  return functions;
}

void CloseRegistryKey(HKEY key) {
  LONG status = Registry().closeKey(key);
  if (status != ERROR_SUCCESS) {
    KORVID_RAISE(ErrorCode::Win32ErrorNumber, static_cast<unsigned long>(status), "RegCloseKey");
  }
}

void CloseFindHandle(HANDLE handle) {
  DWORD saved = GetLastError();
  if (!FindClose(handle)) {
    KORVID_RAISE(ErrorCode::Win32Error, "FindClose");
    return;
  }
  SetLastError(saved);
}

void CloseKernelHandle(HANDLE handle) {
  DWORD saved = GetLastError();
  if (!CloseHandle(handle)) {
    KORVID_RAISE(ErrorCode::Win32Error, "CloseHandle");
    return;
  }
  SetLastError(saved);
}

}  // namespace korvid
