// hostperl.exe: stands in for perl.exe by running the host's /usr/bin/perl outside wine.
//
// Its command line is split as the C runtime does; the first argument (the script, unless it is
// a perl switch) becomes a Linux path, the others go to perl unchanged. A program spawned on the
// host inherits wine's own Linux environment, directory and descriptors, not the Win32 ones:
// 1. The environment and the directory are handed over through
//    "/usr/bin/env -i -C DIR -- NAME=value... /usr/bin/perl SCRIPT ARGS".
// 2. Standard handles. Wine leaves descriptors 0 and 1 of this process on /dev/null and 2 on its
//    own standard error unless the handle is a file. For each standard handle:
//    a. a file or device: wine_server_handle_to_fd gives a duplicate of its descriptor, which the
//       spawned program inherits;
//    b. a pipe (wine keeps pipes inside its server, without a descriptor): output goes to a
//       temporary file that a thread copies to the handle while perl runs and to its end
//       afterwards; input is read to its end first and handed over as a file;
//    c. a console or no handle: wine's own descriptor stays.
//    Bash (dash takes no descriptor above 9) moves the descriptors to 0, 1 and 2 and closes the
//    originals before it runs env.
// 3. __wine_unix_spawnvp with wait set returns the exit status of the program (0 to 255; 255
//    too when a signal ended it), or an NTSTATUS when it could not be started. That status, read
//    in "$?" terms, is this program's exit code.
#include "crt_command_line.h"
#include "win32.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

// The exit code when perl cannot be run at all; the reason goes to standard error.
constexpr DWORD kCannotRun = 127;

using SpawnFunction = LONG(WINAPI*)(char* const* argv, int wait);
// The host path of a Win32 path, allocated on the process heap; null on failure.
using UnixFileNameFunction = char*(__cdecl*)(const wchar_t* path);
// A new host descriptor for a handle, which the process owns; 0 or an NTSTATUS.
using HandleToFdFunction = LONG(__cdecl*)(HANDLE handle, unsigned access, int* fd,
                                          unsigned* options);

[[noreturn]] void Fail(const std::string& message) {
  std::string line = "hostperl: " + message + "\n";
  DWORD written;
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), line.data(), static_cast<DWORD>(line.size()), &written,
            nullptr);
  ExitProcess(kCannotRun);
}

std::string ErrorText(const std::string& what) {
  return what + " (" + std::to_string(GetLastError()) + ")";
}

template <typename Function>
Function Export(const char* module, const char* name) {
  HMODULE handle = GetModuleHandleA(module);
  FARPROC address = handle != nullptr ? GetProcAddress(handle, name) : nullptr;
  if (address == nullptr) Fail(std::string("no ") + name + " in " + module + " (not under wine?)");
  return reinterpret_cast<Function>(reinterpret_cast<void*>(address));
}

struct Wine {
  SpawnFunction spawn = Export<SpawnFunction>("ntdll.dll", "__wine_unix_spawnvp");
  UnixFileNameFunction toUnix = Export<UnixFileNameFunction>("kernel32.dll",
                                                             "wine_get_unix_file_name");
  HandleToFdFunction toFd = Export<HandleToFdFunction>("ntdll.dll", "wine_server_handle_to_fd");

  std::string UnixPath(const std::string& path) const {
    int length = MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, nullptr, 0);
    std::wstring wide(length > 0 ? length : 1, L'\0');
    if (length <= 0 || MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, wide.data(), length) == 0) {
      Fail("cannot convert '" + path + "'");
    }
    char* unixPath = toUnix(wide.c_str());
    if (unixPath == nullptr) Fail("no host path for '" + path + "'");
    std::string result = unixPath;
    HeapFree(GetProcessHeap(), 0, unixPath);
    return result;
  }

  // -1 when the handle has no descriptor (a pipe, a console, no handle).
  int Descriptor(HANDLE handle, unsigned access) const {
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return -1;
    int fd = -1;
    unsigned options = 0;
    return toFd(handle, access, &fd, &options) == 0 ? fd : -1;
  }
};

struct HandleCloser {
  void operator()(void* handle) const { CloseHandle(handle); }
};
using Handle = std::unique_ptr<void, HandleCloser>;

Handle OpenFile(const std::string& path, DWORD access, DWORD disposition, DWORD flags) {
  HANDLE handle = CreateFileA(path.c_str(), access,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              disposition, flags, nullptr);
  if (handle == INVALID_HANDLE_VALUE) Fail(ErrorText("cannot open '" + path + "'"));
  return Handle(handle);
}

// A fresh temporary file, gone once its last handle is closed. It lies in the system's temporary
// folder rather than the user's, which the tests point elsewhere or watch.
std::string TemporaryFile() {
  char windows[MAX_PATH], user[MAX_PATH], path[MAX_PATH];
  UINT length = GetWindowsDirectoryA(windows, sizeof windows);
  std::string system = length > 0 && length < sizeof windows ? std::string(windows) + "\\Temp" : "";
  DWORD userLength = GetTempPathA(sizeof user, user);
  for (const std::string& directory :
       {system, userLength > 0 && userLength < sizeof user ? std::string(user) : std::string()}) {
    if (!directory.empty() && GetTempFileNameA(directory.c_str(), "hpl", 0, path) != 0) return path;
  }
  Fail(ErrorText("cannot make a temporary file"));
}

bool WriteAll(HANDLE target, const char* data, DWORD size) {
  while (size > 0) {
    DWORD written = 0;
    if (!WriteFile(target, data, size, &written, nullptr) || written == 0) return false;
    data += written;
    size -= written;
  }
  return true;
}

// Case 2b for output: perl writes into a temporary file, a thread copies what arrives.
class OutputRelay {
 public:
  OutputRelay(const Wine& wine, HANDLE target) : target(target) {
    std::string path = TemporaryFile();
    writer = OpenFile(path, GENERIC_WRITE, CREATE_ALWAYS,
                      FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE);
    reader = OpenFile(path, GENERIC_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
    fd = wine.Descriptor(writer.get(), FILE_WRITE_DATA);
    if (fd < 0) Fail("no descriptor for '" + path + "'");
    copier = std::thread([this] { Copy(); });
  }
  ~OutputRelay() { Finish(); }

  int Fd() const { return fd; }

  // Perl has ended: copy the rest and stop.
  void Finish() {
    finished = true;
    if (copier.joinable()) copier.join();
  }

 private:
  void Copy() {
    char chunk[65536];
    bool targetGone = false;
    for (;;) {
      bool last = finished.load();  // read before the file, so that nothing is left behind
      DWORD n = 0;
      if (!ReadFile(reader.get(), chunk, sizeof chunk, &n, nullptr)) n = 0;
      if (n > 0) {
        // A reader that went away must not stall perl: the rest is dropped.
        if (!targetGone) targetGone = !WriteAll(target, chunk, n);
        continue;
      }
      if (last) return;
      Sleep(5);
    }
  }

  HANDLE target;
  Handle writer, reader;
  int fd = -1;
  std::atomic<bool> finished{false};
  std::thread copier;
};

// Case 2b for input: everything the pipe brings, in a temporary file that perl reads.
int SpooledInput(const Wine& wine, HANDLE source, Handle* keep) {
  std::string path = TemporaryFile();
  Handle writer = OpenFile(path, GENERIC_WRITE, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE);
  char chunk[65536];
  DWORD n;
  while (ReadFile(source, chunk, sizeof chunk, &n, nullptr) && n > 0) {
    if (!WriteAll(writer.get(), chunk, n)) Fail(ErrorText("cannot spool standard input"));
  }
  *keep = OpenFile(path, GENERIC_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
  int fd = wine.Descriptor(keep->get(), FILE_READ_DATA);
  if (fd < 0) Fail("no descriptor for '" + path + "'");
  return fd;
}

std::string CurrentDirectory() {
  DWORD size = GetCurrentDirectoryA(0, nullptr);
  std::string directory(size, '\0');
  DWORD length = GetCurrentDirectoryA(size, directory.data());
  if (length == 0 || length >= size) Fail(ErrorText("cannot read the current directory"));
  directory.resize(length);
  return directory;
}

// "NAME=value" for every variable of the Win32 environment; the "=C:=C:\dir" entries that hold
// the directories of drives are no variables and stay behind.
std::vector<std::string> Win32Environment() {
  std::vector<std::string> entries;
  char* block = GetEnvironmentStringsA();
  if (block == nullptr) Fail(ErrorText("cannot read the environment"));
  for (const char* entry = block; *entry != '\0'; entry += std::string_view(entry).size() + 1) {
    if (entry[0] != '=') entries.emplace_back(entry);
  }
  FreeEnvironmentStringsA(block);
  return entries;
}

}  // namespace

int main() {
  Wine wine;
  std::vector<std::string> arguments = testing_support::SplitCrtCommandLine(GetCommandLineA());
  if (arguments.size() > 1 && !arguments[1].empty() && arguments[1][0] != '-') {
    arguments[1] = wine.UnixPath(arguments[1]);
  }
  std::string directory = wine.UnixPath(CurrentDirectory());

  // The shell script of case 2: "exec 0<&N 1>&M ... N<&- M<&- ...", then the command.
  std::string moves, closes;
  Handle spooledInput;
  std::vector<std::unique_ptr<OutputRelay>> relays;
  struct Standard { DWORD id; unsigned access; const char* target; };
  for (const Standard& standard : {Standard{STD_INPUT_HANDLE, FILE_READ_DATA, "0<&"},
                                   Standard{STD_OUTPUT_HANDLE, FILE_WRITE_DATA, "1>&"},
                                   Standard{STD_ERROR_HANDLE, FILE_WRITE_DATA, "2>&"}}) {
    HANDLE handle = GetStdHandle(standard.id);
    int fd = wine.Descriptor(handle, standard.access);
    if (fd < 0 && handle != nullptr && handle != INVALID_HANDLE_VALUE &&
        GetFileType(handle) == FILE_TYPE_PIPE) {
      if (standard.id == STD_INPUT_HANDLE) {
        fd = SpooledInput(wine, handle, &spooledInput);
      } else {
        relays.push_back(std::make_unique<OutputRelay>(wine, handle));
        fd = relays.back()->Fd();
      }
    }
    if (fd < 0) continue;
    // Wine keeps 0, 1 and 2 open, so a new descriptor is never one of them.
    std::string number = std::to_string(fd);
    moves.append(" ").append(standard.target).append(number);
    closes.append(" ").append(number).append("<&-");
  }
  std::string script = (moves.empty() ? "" : "exec" + moves + closes + " && ") + "exec \"$@\"";

  std::vector<std::string> hostArguments = {"/bin/bash", "-c", script, "hostperl", "/usr/bin/env",
                                            "-i", "-C", directory, "--"};
  for (std::string& entry : Win32Environment()) hostArguments.push_back(std::move(entry));
  hostArguments.push_back("/usr/bin/perl");
  hostArguments.insert(hostArguments.end(), arguments.begin() + 1, arguments.end());

  std::vector<char*> argv;
  for (std::string& argument : hostArguments) argv.push_back(argument.data());
  argv.push_back(nullptr);

  LONG status = wine.spawn(argv.data(), 1);
  for (auto& relay : relays) relay->Finish();
  if (static_cast<std::uint32_t>(status) > 255) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08lx", static_cast<unsigned long>(status));
    Fail(std::string("cannot run /bin/bash (status ") + hex + ")");
  }
  ExitProcess(static_cast<DWORD>(status));
}
