// Test support: captured debugger output, throwaway folders, environment scopes, child processes.
#include "testing.h"

#include "internal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <exception>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace testing_support {
namespace {

void SetDirectoryReadOnly(const std::string& path, bool readOnly);

std::mutex captureMutex;
std::vector<std::string> capturedLines;

void CaptureLine(const char* line) {
  std::lock_guard<std::mutex> lock(captureMutex);
  capturedLines.emplace_back(line);
}

std::string TextOf(const std::string& line) {
  std::string text = line;
  const std::string prefix = "korvidlib: ";
  if (text.compare(0, prefix.size(), prefix) == 0) text.erase(0, prefix.size());
  if (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

}  // namespace

TraceCapture::TraceCapture() {
  Clear();
  korvid::SetDebugOutputHook(&CaptureLine);
}

TraceCapture::~TraceCapture() { korvid::SetDebugOutputHook(nullptr); }

std::vector<std::string> TraceCapture::Lines() const {
  std::lock_guard<std::mutex> lock(captureMutex);
  return capturedLines;
}

std::vector<std::string> TraceCapture::Texts() const {
  std::vector<std::string> texts;
  for (const std::string& line : Lines()) texts.push_back(TextOf(line));
  return texts;
}

bool TraceCapture::HasText(const std::string& text) const {
  for (const std::string& t : Texts()) {
    if (t == text) return true;
  }
  return false;
}

int TraceCapture::CountContaining(const std::string& fragment) const {
  int count = 0;
  for (const std::string& t : Texts()) {
    if (t.find(fragment) != std::string::npos) ++count;
  }
  return count;
}

void TraceCapture::Clear() {
  std::lock_guard<std::mutex> lock(captureMutex);
  capturedLines.clear();
}

// ---------------------------------------------------------------------------------------------

void MakeDirectories(const std::string& path) {
  for (std::size_t i = 3; i <= path.size(); ++i) {
    if (i == path.size() || path[i] == '\\' || path[i] == '/') {
      CreateDirectoryA(path.substr(0, i).c_str(), nullptr);
    }
  }
}

namespace {

bool IsDirectoryLink(const std::string& path) {
  DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
         (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// The Unix path of a path under wine; empty elsewhere.
std::string UnixPath(const std::string& path) {
  using Convert = char*(CDECL*)(const wchar_t*);
  auto convert = reinterpret_cast<Convert>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32"), "wine_get_unix_file_name")));
  wchar_t wide[MAX_PATH];
  if (convert == nullptr ||
      MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, wide, MAX_PATH) == 0) {
    return std::string();
  }
  char* converted = convert(wide);
  if (converted == nullptr) return std::string();
  std::string result = converted;
  HeapFree(GetProcessHeap(), 0, converted);
  return result;
}

// Starts a Unix program under wine (wine starts ELF programs) and waits until done() or five
// seconds have passed: the handle wine gives back may be signalled before the program has run.
void RunUnixProgram(const std::string& program, const std::string& arguments,
                    const std::function<bool()>& done) {
  std::string image = "Z:" + program;
  for (char& c : image) {
    if (c == '/') c = '\\';
  }
  std::string commandLine = image + " " + arguments;
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process;
  if (!CreateProcessA(image.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      nullptr, &startup, &process)) {
    return;
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  for (int waited = 0; !done() && waited < 5000; waited += 10) Sleep(10);
}

}  // namespace

bool MakeDirectoryLink(const std::string& link, const std::string& target) {
  CreateSymbolicLinkA(link.c_str(), target.c_str(),
                      SYMBOLIC_LINK_FLAG_DIRECTORY | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE);
  if (IsDirectoryLink(link)) return true;
  std::string unixLink = UnixPath(link);
  std::string unixTarget = UnixPath(target);
  if (unixLink.empty() || unixTarget.empty()) return false;
  RunUnixProgram("/bin/ln", "-s \"" + unixTarget + "\" \"" + unixLink + "\"",
                 [&] { return IsDirectoryLink(link); });
  return IsDirectoryLink(link);
}

void RemoveTree(const std::string& path) {
  DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    if (!RemoveDirectoryA(path.c_str())) {
      std::string unixPath = UnixPath(path);
      if (!unixPath.empty()) {
        RunUnixProgram("/bin/rm", "\"" + unixPath + "\"", [&] { return !IsDirectoryLink(path); });
      }
    }
    return;
  }
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    SetFileAttributesA(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    DeleteFileA(path.c_str());
    return;
  }
  if (attributes & FILE_ATTRIBUTE_READONLY) SetDirectoryReadOnly(path, false);
  WIN32_FIND_DATAA data;
  HANDLE find = FindFirstFileA((path + "\\*").c_str(), &data);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      std::string name = data.cFileName;
      if (name != "." && name != "..") RemoveTree(path + "\\" + name);
    } while (FindNextFileA(find, &data));
    FindClose(find);
  }
  RemoveDirectoryA(path.c_str());
}

std::string ReadFileBytes(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) throw std::runtime_error("cannot read " + path);
  std::string bytes;
  char chunk[65536];
  std::size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) bytes.append(chunk, n);
  std::fclose(f);
  return bytes;
}

void WriteFileBytes(const std::string& path, const std::string& bytes) {
  std::size_t slash = path.find_last_of("\\/");
  if (slash != std::string::npos) MakeDirectories(path.substr(0, slash));
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) throw std::runtime_error("cannot write " + path);
  std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
}

namespace {

// The Linux name of a path, through wine's own conversion; empty when it has none.
std::string UnixFileName(const std::string& path) {
  using Convert = char*(__cdecl*)(const WCHAR*);
  static Convert convert = reinterpret_cast<Convert>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
  if (convert == nullptr) return {};
  WCHAR wide[MAX_PATH];
  if (MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, wide, MAX_PATH) == 0) return {};
  char* unixName = convert(wide);
  if (unixName == nullptr) return {};
  std::string result = unixName;
  HeapFree(GetProcessHeap(), 0, unixName);
  return result;
}

// Wine keeps no read-only attribute for directories; it reports one when the Linux directory has
// no write permission. The Linux chmod runs detached, so its effect is awaited.
void SetDirectoryReadOnly(const std::string& path, bool readOnly) {
  std::string unixName = UnixFileName(path);
  if (unixName.empty()) throw std::runtime_error("no Linux name for " + path);
  std::string command = std::string("Z:\\bin\\chmod ") + (readOnly ? "a-w" : "u+w") + " \"" +
                        unixName + "\"";
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &process)) {
    throw std::runtime_error("cannot run chmod for " + path);
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  for (int waited = 0; waited < 10000; waited += 5) {
    DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES &&
        ((attributes & FILE_ATTRIBUTE_READONLY) != 0) == readOnly) {
      return;
    }
    Sleep(5);
  }
  throw std::runtime_error("chmod had no effect on " + path);
}

}  // namespace

void SetReadOnly(const std::string& path, bool readOnly) {
  DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) throw std::runtime_error("no such path " + path);
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
    SetDirectoryReadOnly(path, readOnly);
    return;
  }
  attributes = readOnly ? (attributes | FILE_ATTRIBUTE_READONLY)
                        : (attributes & ~FILE_ATTRIBUTE_READONLY);
  SetFileAttributesA(path.c_str(), attributes);
}

bool Exists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::vector<std::string> FolderNames(const std::string& folder) {
  std::vector<std::string> names;
  WIN32_FIND_DATAA data;
  korvid::FindHandle find(FindFirstFileA((folder + "\\*").c_str(), &data));
  if (!find) return names;
  do {
    std::string name = data.cFileName;
    if (name != "." && name != "..") names.push_back(name);
  } while (FindNextFileA(find.get(), &data));
  std::sort(names.begin(), names.end());
  return names;
}

std::string CurrentDirectory() {
  char buffer[MAX_PATH];
  DWORD n = GetCurrentDirectoryA(sizeof buffer, buffer);
  return std::string(buffer, n);
}

TestFolder::TestFolder() {
  static int counter = 0;
  char temp[MAX_PATH];
  GetTempPathA(sizeof temp, temp);
  path = std::string(temp) + "kvt-" + std::to_string(GetCurrentProcessId()) + "-" +
         std::to_string(++counter);
  RemoveTree(path);
  MakeDirectories(path);
}

TestFolder::~TestFolder() { RemoveTree(path); }

std::string TestFolder::Join(const std::string& relative) const { return path + "\\" + relative; }

std::string TestFolder::Write(const std::string& relative, const std::string& content) {
  std::string full = Join(relative);
  WriteFileBytes(full, content);
  return full;
}

std::string TestFolder::MakeDirectory(const std::string& relative) {
  std::string full = Join(relative);
  MakeDirectories(full);
  return full;
}

// ---------------------------------------------------------------------------------------------

void SetEnvironmentValue(const std::string& name, const char* value) {
  // The runtime's setter also updates the process environment; an empty value needs the Win32
  // call, since "NAME=" removes the variable.
  if (value == nullptr) {
    _putenv((name + "=").c_str());
    SetEnvironmentVariableA(name.c_str(), nullptr);
  } else {
    _putenv((name + "=" + value).c_str());
    SetEnvironmentVariableA(name.c_str(), value);
  }
}

ScopedEnvironment::ScopedEnvironment(const std::string& name, const char* value) : name(name) {
  const char* old = std::getenv(name.c_str());
  hadValue = old != nullptr;
  if (hadValue) oldValue = old;
  SetEnvironmentValue(name, value);
}

ScopedEnvironment::~ScopedEnvironment() {
  SetEnvironmentValue(name, hadValue ? oldValue.c_str() : nullptr);
}

// ---------------------------------------------------------------------------------------------

ScopedRegistry::ScopedRegistry() { Clear(); }

ScopedRegistry::~ScopedRegistry() { Clear(); }

void ScopedRegistry::Clear() {
  for (HKEY hive : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) RegDeleteTreeA(hive, "Software\\Zef");
}

void ScopedRegistry::Set(Hive hive, const std::string& section, const std::string& name,
                         const std::string& value, unsigned long type) {
  std::string keyName = "Software\\Zef\\Korvid\\CurrentVersion\\" + section;
  HKEY key;
  HKEY root = hive == Hive::CurrentUser ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE;
  if (RegCreateKeyExA(root, keyName.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr) !=
      ERROR_SUCCESS) {
    throw std::runtime_error("cannot create " + keyName);
  }
  RegSetValueExA(key, name.c_str(), 0, type, reinterpret_cast<const BYTE*>(value.c_str()),
                 static_cast<DWORD>(value.size() + 1));
  RegCloseKey(key);
}

// ---------------------------------------------------------------------------------------------

namespace {

void ReadAll(HANDLE pipe, std::string* out) {
  char chunk[4096];
  DWORD n;
  while (ReadFile(pipe, chunk, sizeof chunk, &n, nullptr) && n > 0) out->append(chunk, n);
}

void DebugLoop(const PROCESS_INFORMATION& process, std::vector<std::string>* lines) {
  for (;;) {
    DEBUG_EVENT event;
    if (!WaitForDebugEvent(&event, INFINITE)) return;
    DWORD status = DBG_CONTINUE;
    switch (event.dwDebugEventCode) {
      case OUTPUT_DEBUG_STRING_EVENT: {
        const auto& info = event.u.DebugString;
        std::string text(info.nDebugStringLength, '\0');
        SIZE_T read = 0;
        ReadProcessMemory(process.hProcess, info.lpDebugStringData, text.data(), text.size(),
                          &read);
        text.resize(read);
        while (!text.empty() && text.back() == '\0') text.pop_back();
        lines->push_back(text);
        break;
      }
      case EXCEPTION_DEBUG_EVENT:
        if (event.u.Exception.ExceptionRecord.ExceptionCode != EXCEPTION_BREAKPOINT) {
          status = DBG_EXCEPTION_NOT_HANDLED;
        }
        break;
      case CREATE_PROCESS_DEBUG_EVENT:
        if (event.u.CreateProcessInfo.hFile) CloseHandle(event.u.CreateProcessInfo.hFile);
        break;
      case LOAD_DLL_DEBUG_EVENT:
        if (event.u.LoadDll.hFile) CloseHandle(event.u.LoadDll.hFile);
        break;
      default:
        break;
    }
    bool done = event.dwDebugEventCode == EXIT_PROCESS_DEBUG_EVENT &&
                event.dwProcessId == process.dwProcessId;
    ContinueDebugEvent(event.dwProcessId, event.dwThreadId, status);
    if (done) return;
  }
}

}  // namespace

ProcessResult RunProcess(const std::string& commandLine, const ProcessOptions& options) {
  ProcessResult result;
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE outRead, outWrite, errRead, errWrite, inRead, inWrite;
  CreatePipe(&outRead, &outWrite, &inherit, 0);
  CreatePipe(&errRead, &errWrite, &inherit, 0);
  CreatePipe(&inRead, &inWrite, &inherit, 0);
  SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(errRead, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(inWrite, HANDLE_FLAG_INHERIT, 0);

  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = inRead;
  startup.hStdOutput = outWrite;
  startup.hStdError = errWrite;
  PROCESS_INFORMATION process{};
  std::string line = commandLine;
  DWORD flags = (options.collectDebugOutput ? DEBUG_ONLY_THIS_PROCESS : 0) | options.creationFlags;
  const char* directory =
      options.currentDirectory.empty() ? nullptr : options.currentDirectory.c_str();

  std::thread outReader, errReader;
  std::exception_ptr failure;
  std::string input = options.input;
  auto run = [&] {
    const char* application =
        options.applicationName.empty() ? nullptr : options.applicationName.c_str();
    result.started = CreateProcessA(application, line.data(), nullptr, nullptr, TRUE, flags,
                                    nullptr, directory, &startup, &process) != 0;
    CloseHandle(outWrite);
    CloseHandle(errWrite);
    CloseHandle(inRead);
    if (!result.started) {
      CloseHandle(inWrite);
      return;
    }
    outReader = std::thread(ReadAll, outRead, &result.out);
    errReader = std::thread(ReadAll, errRead, &result.err);
    DWORD written;
    if (!input.empty()) WriteFile(inWrite, input.data(), static_cast<DWORD>(input.size()),
                                  &written, nullptr);
    CloseHandle(inWrite);
    // A failing check in the callback must not leave the reader threads joinable: the child is
    // ended, the threads are joined below, and the exception goes on from there.
    if (options.onStarted) {
      try {
        options.onStarted(process.dwProcessId);
      } catch (...) {
        failure = std::current_exception();
        TerminateProcess(process.hProcess, 1);
      }
    }
    if (options.collectDebugOutput) DebugLoop(process, &result.debugLines);
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    result.exitCode = code;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  };
  // The debugger loop must run on the thread that created the process.
  run();
  if (outReader.joinable()) outReader.join();
  if (errReader.joinable()) errReader.join();
  CloseHandle(outRead);
  CloseHandle(errRead);
  if (failure) std::rethrow_exception(failure);
  return result;
}

void StopThreadsOrAbort(std::vector<std::thread>& threads, std::atomic<bool>& stop,
                        std::atomic<int>& finished, unsigned runMs, unsigned timeoutMs) {
  Sleep(runMs);
  stop = true;
  const int count = static_cast<int>(threads.size());
  for (unsigned waited = 0; finished < count && waited < timeoutMs; waited += 10) Sleep(10);
  if (finished < count) {
    ADD_FAILURE() << "threads are stuck: a lock order was violated";
    std::fflush(nullptr);
    TerminateProcess(GetCurrentProcess(), 3);
  }
  for (auto& thread : threads) thread.join();
}

std::string BuildDirectory() {
  char path[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
  std::string full(path, n);
  return full.substr(0, full.find_last_of("\\/"));
}

void CopyProgram(const std::string& programName, const std::string& destination) {
  std::size_t slash = destination.find_last_of("\\/");
  if (slash != std::string::npos) MakeDirectories(destination.substr(0, slash));
  std::string source = BuildDirectory() + "\\" + programName;
  if (!CopyFileA(source.c_str(), destination.c_str(), FALSE)) {
    throw std::runtime_error("cannot copy " + source + " to " + destination);
  }
}

std::string UnixLineEnds(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    out.push_back(text[i]);
  }
  return out;
}

}  // namespace testing_support
