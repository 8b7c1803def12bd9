// fakeperl.exe: the tests' perl.exe; records how it was started, then exits as it is told.
//
// Controlled only through the FAKEPERL_* variables of fakeperl_record.h; it takes no notice of its
// arguments. It uses nothing of the korvid library, so that it sees the launcher's handiwork only.
#include "fakeperl_record.h"
#include "win32.h"

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

using testing_support::HexEncode;

[[noreturn]] void Fail(const std::string& message) {
  std::string line = "fakeperl: " + message + "\n";
  DWORD written;
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), line.data(), static_cast<DWORD>(line.size()), &written,
            nullptr);
  ExitProcess(testing_support::kFakePerlControlError);
}

// The process environment, read from the block itself so that an empty value and an absent one
// stay apart (GetEnvironmentVariableA returns 0 for both). Names compare without letter case.
std::optional<std::string> Variable(std::string_view name) {
  std::optional<std::string> value;
  char* block = GetEnvironmentStringsA();
  if (block == nullptr) return value;
  for (const char* entry = block; *entry != '\0'; entry += std::string_view(entry).size() + 1) {
    std::string_view text(entry);
    // Entries of the form "=C:=C:\dir" hold drive directories, not variables.
    std::size_t equals = text.find('=', 1);
    if (equals != name.size()) continue;
    if (CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, text.data(), static_cast<int>(equals),
                       name.data(), static_cast<int>(name.size())) == CSTR_EQUAL) {
      value = std::string(text.substr(equals + 1));
      break;
    }
  }
  FreeEnvironmentStringsA(block);
  return value;
}

bool ParseNumber(std::string_view text, std::uint32_t* number) {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  if (text.empty()) return false;
  std::uint64_t value = 0;
  for (char c : text) {
    int digit;
    if (c >= '0' && c <= '9') digit = c - '0';
    else if (base == 16 && c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    else if (base == 16 && c >= 'A' && c <= 'F') digit = c - 'A' + 10;
    else return false;
    value = value * base + digit;
    if (value > 0xFFFFFFFFu) return false;
  }
  *number = static_cast<std::uint32_t>(value);
  return true;
}

std::uint32_t NumberControl(const char* name, std::uint32_t fallback) {
  std::optional<std::string> text = Variable(name);
  if (!text) return fallback;
  std::uint32_t number;
  if (!ParseNumber(*text, &number)) Fail(std::string("bad ") + name + " '" + *text + "'");
  return number;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::vector<std::string> MappingNames() {
  std::vector<std::string> names;
  std::optional<std::string> list = Variable(testing_support::kFakePerlMappings);
  if (!list || list->empty()) return names;
  std::string_view rest = *list;
  for (;;) {
    std::size_t semicolon = rest.find(';');
    std::string_view hex = rest.substr(0, semicolon);
    std::string name;
    bool good = hex.size() % 2 == 0 && !hex.empty();
    for (std::size_t i = 0; good && i < hex.size(); i += 2) {
      int high = HexDigit(hex[i]), low = HexDigit(hex[i + 1]);
      good = high >= 0 && low >= 0;
      name += static_cast<char>(high * 16 + low);
    }
    if (!good || name.find('\0') != std::string::npos) {
      Fail(std::string("bad mapping name '") + std::string(hex) + "' in " +
           testing_support::kFakePerlMappings);
    }
    names.push_back(name);
    if (semicolon == std::string_view::npos) break;
    rest.remove_prefix(semicolon + 1);
  }
  return names;
}

void WriteStandard(DWORD which, const std::optional<std::string>& text) {
  if (!text || text->empty()) return;
  DWORD written;
  WriteFile(GetStdHandle(which), text->data(), static_cast<DWORD>(text->size()), &written, nullptr);
}

std::string CurrentDirectory() {
  DWORD size = GetCurrentDirectoryA(0, nullptr);
  std::string directory(size, '\0');
  DWORD length = GetCurrentDirectoryA(size, directory.data());
  directory.resize(length < size ? length : 0);
  return directory;
}

// ---------------------------------------------------------------------------------------------
// Console control events

std::atomic<DWORD> receivedEvent{0xFFFFFFFF};
HANDLE eventArrived = nullptr;
// The test's "-waiting" and "-received" events, when it gave them.
HANDLE testWaiting = nullptr;
HANDLE testReceived = nullptr;

HANDLE OpenTestEvent(const std::string& name) {
  HANDLE event = OpenEventA(EVENT_MODIFY_STATE, FALSE, name.c_str());
  if (event == nullptr) {
    Fail("cannot open the event '" + name + "' (" + std::to_string(GetLastError()) + ")");
  }
  return event;
}

BOOL WINAPI OnControlEvent(DWORD type) {
  DWORD none = 0xFFFFFFFF;
  receivedEvent.compare_exchange_strong(none, type);
  SetEvent(eventArrived);
  if (testReceived != nullptr) SetEvent(testReceived);
  // Handled: the process goes on, and the main thread leaves with the chosen code.
  return TRUE;
}

// ---------------------------------------------------------------------------------------------

struct Record {
  std::string commandLine;
  std::string currentDirectory;
  std::vector<std::pair<const char*, std::optional<std::string>>> environment;
  std::vector<std::pair<std::string, DWORD>> mappings;  // name, 0 when it opened, else the error
  std::optional<std::pair<std::string, DWORD>> library;  // name, 0 when it loaded, else the error
  std::string ctrlEvent;                                // empty: not asked to wait
};

std::string Format(const Record& record) {
  std::string text = std::string(testing_support::kFakePerlRecordHeader) + "\n";
  text += "command-line " + HexEncode(record.commandLine) + "\n";
  text += "current-directory " + HexEncode(record.currentDirectory) + "\n";
  for (const auto& [name, value] : record.environment) {
    text += std::string("environment ") + name +
            (value ? " set " + HexEncode(*value) : std::string(" unset")) + "\n";
  }
  for (const auto& [name, error] : record.mappings) {
    text += "mapping " + HexEncode(name) +
            (error == 0 ? std::string(" opened") : " missing " + std::to_string(error)) + "\n";
  }
  if (record.library) {
    const auto& [name, error] = *record.library;
    text += "library " + HexEncode(name) +
            (error == 0 ? std::string(" loaded") : " missing " + std::to_string(error)) + "\n";
  }
  if (!record.ctrlEvent.empty()) text += "ctrl-event " + record.ctrlEvent + "\n";
  text += "end\n";
  return text;
}

// Written beside the target and moved over it, so that a reader polling for the file never sees
// half a record.
void Save(const std::string& path, const Record& record) {
  std::string text = Format(record);
  std::string temporary = path + ".part";
  HANDLE file = CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    Fail("cannot create '" + temporary + "' (" + std::to_string(GetLastError()) + ")");
  }
  DWORD written = 0;
  BOOL wrote = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  DWORD error = GetLastError();
  CloseHandle(file);
  if (!wrote || written != text.size()) {
    Fail("cannot write '" + temporary + "' (" + std::to_string(error) + ")");
  }
  if (!MoveFileExA(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    Fail("cannot move '" + temporary + "' to '" + path + "' (" + std::to_string(GetLastError()) +
         ")");
  }
}

}  // namespace

int main() {
  // Every control is checked before anything is done, so that a bad one leaves no record.
  std::optional<std::string> recordPath = Variable(testing_support::kFakePerlRecord);
  if (recordPath && recordPath->empty()) {
    Fail(std::string("empty ") + testing_support::kFakePerlRecord);
  }
  std::vector<std::string> mappingNames = MappingNames();
  std::uint32_t exitCode = NumberControl(testing_support::kFakePerlExitCode, 0);
  std::uint32_t ctrlExitCode = NumberControl(testing_support::kFakePerlCtrlExitCode,
                                             testing_support::kFakePerlDefaultCtrlExitCode);
  std::uint32_t sleepMs = NumberControl(testing_support::kFakePerlSleep, 0);
  std::optional<std::string> waitText = Variable(testing_support::kFakePerlCtrlWait);
  std::uint32_t waitMs = 0;
  if (waitText && *waitText == "infinite") {
    waitMs = INFINITE;
  } else if (waitText) {
    waitMs = NumberControl(testing_support::kFakePerlCtrlWait, 0);
  }
  std::optional<std::string> signals = Variable(testing_support::kFakePerlSignals);
  if (signals) {
    testWaiting = OpenTestEvent(*signals + "-waiting");
    testReceived = OpenTestEvent(*signals + "-received");
  }

  Record record;
  if (waitText) {
    eventArrived = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (eventArrived == nullptr || !SetConsoleCtrlHandler(&OnControlEvent, TRUE)) {
      Fail("cannot install a console control handler (" + std::to_string(GetLastError()) + ")");
    }
  }

  record.commandLine = GetCommandLineA();
  record.currentDirectory = CurrentDirectory();
  for (const char* name : testing_support::kFakePerlRecordedVariables) {
    record.environment.emplace_back(name, Variable(name));
  }
  for (const std::string& name : mappingNames) {
    HANDLE mapping = OpenFileMappingA(FILE_MAP_READ, FALSE, name.c_str());
    DWORD error = mapping == nullptr ? GetLastError() : 0;
    // A failure that leaves no error code must still read as a failure.
    if (mapping == nullptr && error == 0) error = ERROR_GEN_FAILURE;
    if (mapping != nullptr) CloseHandle(mapping);
    record.mappings.emplace_back(name, error);
  }

  // By name, as Perl loads its extensions' DLLs: along the search this process was given.
  if (std::optional<std::string> library = Variable(testing_support::kFakePerlLoadLibrary)) {
    HMODULE module = LoadLibraryA(library->c_str());
    DWORD error = module == nullptr ? GetLastError() : 0;
    if (module == nullptr && error == 0) error = ERROR_GEN_FAILURE;
    if (module != nullptr) FreeLibrary(module);
    record.library.emplace(*library, error);
  }

  if (std::optional<std::string> start = Variable(testing_support::kFakePerlStart)) {
    SetEnvironmentVariableA(testing_support::kFakePerlStart, nullptr);
    SetEnvironmentVariableA(testing_support::kFakePerlRecord, nullptr);
    SetEnvironmentVariableA(testing_support::kFakePerlSignals, nullptr);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started;
    if (!CreateProcessA(nullptr, start->data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &started)) {
      Fail("cannot start '" + *start + "' (" + std::to_string(GetLastError()) + ")");
    }
    CloseHandle(started.hThread);
    CloseHandle(started.hProcess);
  }

  WriteStandard(STD_OUTPUT_HANDLE, Variable(testing_support::kFakePerlStdout));
  WriteStandard(STD_ERROR_HANDLE, Variable(testing_support::kFakePerlStderr));
  if (waitText) {
    if (testWaiting != nullptr) SetEvent(testWaiting);
    if (WaitForSingleObject(eventArrived, waitMs) == WAIT_OBJECT_0) {
      record.ctrlEvent = std::to_string(receivedEvent.load());
      exitCode = ctrlExitCode;
    } else {
      record.ctrlEvent = "none";
    }
  }
  if (recordPath) Save(*recordPath, record);

  if (sleepMs > 0) Sleep(sleepMs);
  ExitProcess(exitCode);
}
