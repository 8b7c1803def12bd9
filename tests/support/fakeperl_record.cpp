// Reads the record that fakeperl.exe leaves: how the stand-in Perl was started.
#include "fakeperl_record.h"

#include "console.h"

#include "testing.h"
#include "win32.h"

#include <atomic>
#include <stdexcept>

namespace testing_support {
namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::vector<std::string_view> Fields(std::string_view line) {
  std::vector<std::string_view> fields;
  for (;;) {
    std::size_t blank = line.find(' ');
    fields.push_back(line.substr(0, blank));
    if (blank == std::string_view::npos) return fields;
    line.remove_prefix(blank + 1);
  }
}

bool ParseNumber(std::string_view text, std::uint32_t* number) {
  if (text.empty() || text.size() > 10) return false;
  std::uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  if (value > 0xFFFFFFFFu) return false;
  *number = static_cast<std::uint32_t>(value);
  return true;
}

// The end of a "KEY NAME SUCCESS" or "KEY NAME missing ERROR" line.
bool ParseOutcome(const std::vector<std::string_view>& f, std::string_view success, bool* good,
                  std::uint32_t* error) {
  if (f.size() == 3 && f[2] == success) {
    *good = true;
    return true;
  }
  return f.size() == 4 && f[2] == "missing" && ParseNumber(f[3], error);
}

}  // namespace

bool HexDecode(std::string_view hex, std::string* bytes) {
  bytes->clear();
  if (hex == "-") return true;
  if (hex.empty() || hex.size() % 2 != 0) return false;
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    int high = HexDigit(hex[i]), low = HexDigit(hex[i + 1]);
    if (high < 0 || low < 0) return false;
    *bytes += static_cast<char>(high * 16 + low);
  }
  return true;
}

std::string FakePerlMappingList(const std::vector<std::string>& names) {
  std::string list;
  for (const std::string& name : names) {
    if (!list.empty()) list += ';';
    list += HexEncode(name);
  }
  return list;
}

bool ParseFakePerlRecord(std::string_view bytes, FakePerlRecord* record, std::string* error) {
  *record = FakePerlRecord{};
  int lineNumber = 0;
  bool sawCommandLine = false, sawDirectory = false, sawEnd = false;
  auto fail = [&](const std::string& why) {
    *error = "line " + std::to_string(lineNumber) + ": " + why;
    return false;
  };
  while (!bytes.empty()) {
    ++lineNumber;
    std::size_t newline = bytes.find('\n');
    if (newline == std::string_view::npos) return fail("no line end");
    std::string_view line = bytes.substr(0, newline);
    bytes.remove_prefix(newline + 1);
    if (sawEnd) return fail("text after the end");
    if (lineNumber == 1) {
      if (line != kFakePerlRecordHeader) return fail("not a fakeperl record");
      continue;
    }
    std::vector<std::string_view> f = Fields(line);
    const std::string_view key = f[0];
    std::string value;
    if (key == "command-line" && f.size() == 2 && !sawCommandLine) {
      if (!HexDecode(f[1], &record->commandLine)) return fail("bad hex");
      sawCommandLine = true;
    } else if (key == "current-directory" && f.size() == 2 && !sawDirectory) {
      if (!HexDecode(f[1], &record->currentDirectory)) return fail("bad hex");
      sawDirectory = true;
    } else if (key == "environment" && (f.size() == 3 || f.size() == 4) && !f[1].empty()) {
      std::string name(f[1]);
      if (record->environment.count(name) != 0) return fail("variable recorded twice");
      if (f.size() == 3 && f[2] == "unset") {
        record->environment[name] = std::nullopt;
      } else if (f.size() == 4 && f[2] == "set") {
        if (!HexDecode(f[3], &value)) return fail("bad hex");
        record->environment[name] = value;
      } else {
        return fail("bad environment line");
      }
    } else if (key == "mapping" && (f.size() == 3 || f.size() == 4)) {
      FakePerlMappingCheck check;
      if (!HexDecode(f[1], &check.name) || check.name.empty()) return fail("bad hex");
      if (!ParseOutcome(f, "opened", &check.opened, &check.error)) return fail("bad mapping line");
      record->mappings.push_back(check);
    } else if (key == "library" && (f.size() == 3 || f.size() == 4) && !record->library) {
      FakePerlLibraryCheck check;
      if (!HexDecode(f[1], &check.name) || check.name.empty()) return fail("bad hex");
      if (!ParseOutcome(f, "loaded", &check.loaded, &check.error)) return fail("bad library line");
      record->library = check;
    } else if (key == "ctrl-event" && f.size() == 2 &&
               record->ctrlState == FakePerlCtrlState::NotAsked) {
      if (f[1] == "none") {
        record->ctrlState = FakePerlCtrlState::NoEvent;
      } else if (ParseNumber(f[1], &record->ctrlEvent)) {
        record->ctrlState = FakePerlCtrlState::Received;
      } else {
        return fail("bad ctrl-event line");
      }
    } else if (key == "end" && f.size() == 1) {
      sawEnd = true;
    } else {
      return fail("unexpected '" + std::string(line) + "'");
    }
  }
  if (lineNumber == 0) return fail("empty record");
  if (!sawEnd) return fail("record ends early");
  if (!sawCommandLine || !sawDirectory) return fail("command line or directory missing");
  for (const char* name : kFakePerlRecordedVariables) {
    if (record->environment.count(name) == 0) return fail(std::string(name) + " not recorded");
  }
  return true;
}

FakePerlRecord ReadFakePerlRecord(const std::string& path) {
  FakePerlRecord record;
  std::string error;
  if (!ParseFakePerlRecord(ReadFileBytes(path), &record, &error)) {
    throw std::runtime_error("damaged fakeperl record " + path + ": " + error);
  }
  return record;
}

FakePerlSignals::FakePerlSignals() {
  static std::atomic<int> made{0};
  const std::string name = "Local\\fakeperl-" + std::to_string(GetCurrentProcessId()) + "-" +
                           std::to_string(++made);
  waiting = CreateEventA(nullptr, TRUE, FALSE, (name + "-waiting").c_str());
  received = CreateEventA(nullptr, TRUE, FALSE, (name + "-received").c_str());
  if (waiting == nullptr || received == nullptr) {
    throw std::runtime_error("cannot make the events " + name + "-*");
  }
  variable = std::make_unique<ScopedEnvironment>(kFakePerlSignals, name.c_str());
}

FakePerlSignals::~FakePerlSignals() {
  CloseHandle(waiting);
  CloseHandle(received);
}

bool FakePerlSignals::WaitUntilWaiting() const {
  return WaitForSingleObject(waiting, 60000) == WAIT_OBJECT_0;
}

int FakePerlSignals::SendCtrlCUntilReceived(std::uint32_t processGroup) const {
  if (!WaitUntilWaiting()) return 0;
  int sent = 0;
  for (int attempt = 0; attempt < 5; ++attempt) {
    if (!SendCtrlC(processGroup)) return sent;
    ++sent;
    if (WaitForSingleObject(received, 5000) == WAIT_OBJECT_0) return sent;
  }
  return sent;
}

}  // namespace testing_support
