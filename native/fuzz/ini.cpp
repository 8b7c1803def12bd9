// Ini text through the parser: the result and the values stored are those of a small reference
// reading of the same rules, the stored text never outgrows the input, and a syntax error names
// its line.
#include "check.h"
#include "core.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <utility>

using namespace korvid;

namespace {

constexpr char kDefaultSection[] = "Default";

// Hands values back unchanged and counts them.
class CountingExpander : public CfgExpander {
 public:
  int calls = 0;
  bool Prepare() override { return true; }
  const char* Expand(const char* value, int*) override {
    ++calls;
    return value;
  }
};

std::string Folded(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  }
  return out;
}

bool IsBlankOrTab(char c) { return c == ' ' || c == '\t'; }

// Folded section -> (spelling, folded key -> (spelling, value)).
using Table = std::map<std::string, std::pair<std::string, std::map<std::string, std::pair<std::string, std::string>>>>;

struct Reading {
  int result = 0;
  int expansions = 0;
  std::string offendingLine;
  Table table;
};

Reading ReadByTheRules(std::string_view text, bool named) {
  Reading reading;
  std::string section = named ? kDefaultSection : "";
  while (!text.empty()) {
    std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end == std::string_view::npos ? text.size() : end + 1);
    text.remove_prefix(line.size());
    char first = line[0];
    bool header = first == '[';
    bool key = (first >= 'A' && first <= 'Z') || (first >= 'a' && first <= 'z') ||
               (first >= '0' && first <= '9') || first == '.';
    if (!header && !key) continue;
    std::size_t equals = line.find('=');
    if (line.find('\0') != std::string_view::npos || (header && line.find_first_not_of(']', 1) == std::string_view::npos) ||
        (!header && equals == std::string_view::npos)) {
      reading.result = -3;
      reading.offendingLine = std::string(line.substr(0, line.find('\0')));
      return reading;
    }
    if (header) {
      std::string_view name = line.substr(line.find_first_not_of(']', 1));
      section = std::string(name.substr(0, name.find(']')));
      continue;
    }
    std::string_view name = line.substr(0, equals);
    while (IsBlankOrTab(name.back())) name.remove_suffix(1);
    std::string_view value = line.substr(equals + 1);
    std::size_t semicolon = value.find(';');
    if (semicolon != std::string_view::npos) {
      char before = semicolon > 0 ? value[semicolon - 1] : '=';
      if (before == ' ' || (before >= '\t' && before <= '\r')) value = value.substr(0, semicolon);
    }
    while (!value.empty() && IsBlankOrTab(value.front())) value.remove_prefix(1);
    while (!value.empty() && (IsBlankOrTab(value.back()) || value.back() == '\n')) {
      value.remove_suffix(1);
    }
    if (value.find('%') != std::string_view::npos) ++reading.expansions;
    auto& entry = reading.table.try_emplace(Folded(section), section, std::map<std::string, std::pair<std::string, std::string>>()).first->second;
    auto& slot = entry.second.try_emplace(Folded(name), std::string(name), std::string()).first->second;
    slot.second = std::string(value);
  }
  return reading;
}

}  // namespace

// Input: a byte whose low bit makes the read a named one, then the ini text.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  bool named = (data[0] & 1) != 0;
  std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  std::FILE* stream = fmemopen(const_cast<std::uint8_t*>(data + 1), size - 1, "r");
  if (stream == nullptr) return 0;
  CfgPtr cfg(CreateCfg());
  if (named) cfg->defaultSection = kDefaultSection;
  CountingExpander expander;
  ClearLastError();
  int result = ReadCfgStream(cfg.get(), named, stream, expander);
  std::fclose(stream);

  Reading expected = ReadByTheRules(text, named);
  FUZZ_CHECK(result == expected.result);
  FUZZ_CHECK(expander.calls == expected.expansions);
  if (result == -3) {
    ErrorRecord record = GetLastErrorRecord();
    FUZZ_CHECK(record.code == ErrorCode::IniSyntaxError);
    FUZZ_CHECK(expected.offendingLine.substr(0, sizeof record.message - 1) == record.message);
  }
  FUZZ_CHECK(cfg->sections.size() == expected.table.size());
  std::size_t stored = 0;
  for (const auto& [sectionName, values] : cfg->sections) {
    auto section = expected.table.find(Folded(sectionName));
    FUZZ_CHECK(section != expected.table.end());
    FUZZ_CHECK(section->second.first == sectionName);
    FUZZ_CHECK(values.size() == section->second.second.size());
    stored += sectionName.size();
    for (const auto& [keyName, value] : values) {
      auto key = section->second.second.find(Folded(keyName));
      FUZZ_CHECK(key != section->second.second.end());
      FUZZ_CHECK(key->second.first == keyName && key->second.second == value);
      FUZZ_CHECK(GetCfgValue(cfg.get(), sectionName.c_str(), keyName.c_str()) == value);
      stored += keyName.size() + value.size();
    }
  }
  // Every stored text is a part of its own line, but for the default section's name.
  FUZZ_CHECK(stored <= text.size() + std::strlen(kDefaultSection));
  return 0;
}
