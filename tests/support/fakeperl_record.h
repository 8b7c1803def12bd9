// fakeperl.exe, the tests' perl.exe: the variables that control it and the record it writes.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace testing_support {

class ScopedEnvironment;

// Control variables, read by fakeperl.exe from its environment. Numbers are decimal or 0x-hex.
inline constexpr char kFakePerlRecord[] = "FAKEPERL_RECORD";      // record file; unset: none
inline constexpr char kFakePerlMappings[] = "FAKEPERL_MAPPINGS";  // hex names, ';'-separated
inline constexpr char kFakePerlExitCode[] = "FAKEPERL_EXIT_CODE";  // 0 to 4294967295, default 0
inline constexpr char kFakePerlStdout[] = "FAKEPERL_STDOUT";      // written raw to standard output
inline constexpr char kFakePerlStderr[] = "FAKEPERL_STDERR";      // written raw to standard error
inline constexpr char kFakePerlSleep[] = "FAKEPERL_SLEEP_MS";     // pause before exiting
// Milliseconds to wait for a console control event ("infinite" for no limit); the record is
// written after the wait.
inline constexpr char kFakePerlCtrlWait[] = "FAKEPERL_CTRL_WAIT_MS";
// NAME of two named events of the test's, set by fakeperl.exe: "NAME-waiting" once its control
// handler is in place, "NAME-received" when an event has come. A test waits on them instead of
// polling a file that fakeperl.exe replaces (see FakePerlSignals).
inline constexpr char kFakePerlSignals[] = "FAKEPERL_SIGNALS";
inline constexpr char kFakePerlCtrlExitCode[] = "FAKEPERL_CTRL_EXIT_CODE";  // default 130
// A command line that fakeperl.exe starts before it writes its record and leaves running; the
// program started sees neither this variable nor FAKEPERL_RECORD and FAKEPERL_SIGNALS.
inline constexpr char kFakePerlStart[] = "FAKEPERL_START";
// A DLL name that fakeperl.exe loads with LoadLibraryA (and frees) before it writes its record.
inline constexpr char kFakePerlLoadLibrary[] = "FAKEPERL_LOAD_LIBRARY";

// The exit code of fakeperl.exe when its controls are unusable or the record cannot be written;
// it says so on standard error, prefixed "fakeperl: ".
inline constexpr std::uint32_t kFakePerlControlError = 125;
inline constexpr std::uint32_t kFakePerlDefaultCtrlExitCode = 130;

// The variables whose value (or absence) the record holds, in record order.
inline constexpr const char* kFakePerlRecordedVariables[] = {
    "TEXSYSTEM", "TEXMFLOCAL", "TEXMFMAIN", "TEMPDIR", "TMPDIR",
    "TEMP",      "TMP",        "HOME",      "KORVID_CWD"};

// The record is text, one field per line, every free-form value in hex so that any byte survives:
//   fakeperl-record 1
//   command-line HEX
//   current-directory HEX
//   environment NAME set HEX | environment NAME unset        (one line per recorded variable)
//   mapping HEX opened | mapping HEX missing ERROR            (one line per name asked for)
//   library HEX loaded | library HEX missing ERROR            (only when asked to load one)
//   ctrl-event none | ctrl-event NUMBER                       (only when asked to wait)
//   end
// An empty value is written as "-". Lines end in "\n"; fields are separated by one blank.
inline constexpr char kFakePerlRecordHeader[] = "fakeperl-record 1";

// Two lowercase digits per byte; the empty text becomes "-". Inline: fakeperl.exe writes with it.
inline std::string HexEncode(std::string_view bytes) {
  if (bytes.empty()) return "-";
  constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) {
    hex += kDigits[c >> 4];
    hex += kDigits[c & 15];
  }
  return hex;
}
// False on an odd length or a character that is no hex digit; "-" decodes to the empty text.
bool HexDecode(std::string_view hex, std::string* bytes);

// The value of FAKEPERL_MAPPINGS that asks about the given mapping names.
std::string FakePerlMappingList(const std::vector<std::string>& names);

struct FakePerlMappingCheck {
  std::string name;
  bool opened = false;
  std::uint32_t error = 0;  // GetLastError after a failed OpenFileMappingA
};

struct FakePerlLibraryCheck {
  std::string name;
  bool loaded = false;
  std::uint32_t error = 0;  // GetLastError after a failed LoadLibraryA
};

enum class FakePerlCtrlState { NotAsked, NoEvent, Received };

struct FakePerlRecord {
  std::string commandLine;
  std::string currentDirectory;
  std::map<std::string, std::optional<std::string>> environment;  // every recorded variable
  std::vector<FakePerlMappingCheck> mappings;                      // in the order asked
  std::optional<FakePerlLibraryCheck> library;                     // when asked to load one
  FakePerlCtrlState ctrlState = FakePerlCtrlState::NotAsked;
  std::uint32_t ctrlEvent = 0;  // with Received: CTRL_C_EVENT (0), CTRL_BREAK_EVENT (1), ...
};

// Parses a whole record; false with a message naming the line when it is damaged or incomplete.
bool ParseFakePerlRecord(std::string_view bytes, FakePerlRecord* record, std::string* error);
// Reads and parses the record file; throws std::runtime_error when it is missing or damaged.
FakePerlRecord ReadFakePerlRecord(const std::string& path);
// The events of FAKEPERL_SIGNALS under a name of this process's own, made before fakeperl.exe
// starts; the variable names them while the object lives.
class FakePerlSignals {
 public:
  FakePerlSignals();
  ~FakePerlSignals();
  FakePerlSignals(const FakePerlSignals&) = delete;
  FakePerlSignals& operator=(const FakePerlSignals&) = delete;

  // Waits (up to a minute) until fakeperl.exe has its control handler in place.
  bool WaitUntilWaiting() const;
  // Once fakeperl.exe waits, sends Ctrl+C to the process group, and again (up to five times) while
  // no event has arrived after five seconds: a loaded machine may deliver console events late. The
  // number of events sent; 0 when fakeperl.exe never came to wait.
  int SendCtrlCUntilReceived(std::uint32_t processGroup) const;

 private:
  void* waiting;  // HANDLEs, closed by the destructor
  void* received;
  std::unique_ptr<ScopedEnvironment> variable;
};

}  // namespace testing_support
