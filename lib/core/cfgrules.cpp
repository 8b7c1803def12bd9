// Ini files: the in-memory Cfg and the rules of ini lines, applied to a stream.
#include "core.h"
#include "korvid/trace.h"

#include <cstring>
#include <string_view>

namespace korvid {

namespace {

constexpr char kModule[] = "lib/cfg";

constexpr std::size_t kLineBufferSize = 128;
constexpr std::size_t kSectionBufferSize = 256;
constexpr std::size_t kValueReserve = 256;

bool IsBlankOrTab(char c) { return c == ' ' || c == '\t'; }
// Blank, tab, line feed, vertical tab, form feed, carriage return.
bool IsWhiteSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool IsKeyStart(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.';
}

// The name of a section header line, which starts with "[":
// 1. any "]" right after the "[" is skipped;
// 2. the name runs to the next "]", or to the end of the line as read (its line feed included);
// 3. whatever follows that "]" is ignored.
std::string_view SectionName(std::string_view line) {
  line.remove_prefix(1);
  std::size_t start = line.find_first_not_of(']');
  if (start == std::string_view::npos) return {};
  line.remove_prefix(start);
  return line.substr(0, line.find(']'));
}

// One read of ini text into a Cfg, with the buffers that are reused from line to line and only
// grow. Each step returns the read's result: 0 to go on, -1, -2 or -3 to stop.
class CfgReader {
 public:
  CfgReader(Cfg* cfg, CfgExpander& expander) : cfg(cfg), expander(expander) {}
  int Read(bool named, std::FILE* stream);

 private:
  bool AllocateBuffer(HeapBuffer& buffer, std::size_t bytes);
  int ReadLine(std::size_t length);
  int ReadSectionHeader(std::string_view line);
  int ReadKeyLine(char* line);
  int SetSection(std::string_view name);
  int SyntaxError(const char* line);

  Cfg* cfg;
  CfgExpander& expander;
  HeapBuffer line;
  HeapBuffer section;  // the current section; unset (null) until a header when the read is unnamed
  std::size_t sectionSize = kSectionBufferSize;
};

bool CfgReader::AllocateBuffer(HeapBuffer& buffer, std::size_t bytes) {
  if (buffer.Allocate(bytes)) return true;
  KORVID_RAISE(ErrorCode::InternalError);
  TraceError("malloc(%u) failed", static_cast<unsigned>(bytes));
  return false;
}

int CfgReader::Read(bool named, std::FILE* stream) {
  if (!AllocateBuffer(line, kLineBufferSize)) return -2;
  if (named) {
    if (!AllocateBuffer(section, kSectionBufferSize)) return -2;
    if (SetSection(cfg->defaultSection) != 0) return -2;
  }
  if (!expander.Prepare()) return -2;

  int result = 0;
  long length = 0;
  while (result == 0 && (length = korvid::getdelim(&line.data, &line.size, '\n', stream)) > 0) {
    // A line cut short by a read error is not taken for a whole one.
    if (std::ferror(stream)) break;
    result = ReadLine(static_cast<std::size_t>(length));
  }
  // A stream that gives no more bytes without being at its end is failing as well (a stream not
  // open for reading reports neither end nor error).
  bool failed = std::ferror(stream) || (length == 0 && !std::feof(stream));
  if (result == 0 && failed) {
    KORVID_RAISE(ErrorCode::InternalError);
    TraceError("cfg file I/O error");
    result = -1;
  }
  return result;
}

// By its first byte a line is a section header ("["), a key line (an ASCII letter or digit, or
// ".") or a comment (anything else, also an empty line). A header or key line holding a NUL byte
// is refused as a whole: no name or value may be cut short at it.
int CfgReader::ReadLine(std::size_t length) {
  char* text = line.data;
  bool header = text[0] == '[';
  if (!header && !IsKeyStart(text[0])) return 0;
  if (std::strlen(text) != length) return SyntaxError(text);
  return header ? ReadSectionHeader(std::string_view(text, length)) : ReadKeyLine(text);
}

int CfgReader::ReadSectionHeader(std::string_view text) {
  std::string_view name = SectionName(text);
  if (name.empty()) return SyntaxError(text.data());
  // The section itself is made by the first value stored into it.
  return SetSection(name);
}

// The buffer size doubles from 256 until the name and its terminator fit, and the buffer is
// grown to that size plus one byte.
int CfgReader::SetSection(std::string_view name) {
  if (name.size() + 1 > section.size) {
    std::size_t wanted = sectionSize;
    while (wanted < name.size() + 1) wanted *= 2;
    sectionSize = wanted;
    if (!section.Resize(wanted + 1)) {
      KORVID_RAISE(ErrorCode::InternalError);
      TraceError("realloc(%u) failed", static_cast<unsigned>(wanted + 1));
      return -2;
    }
  }
  std::memcpy(section.data, name.data(), name.size());
  section.data[name.size()] = '\0';
  return 0;
}

int CfgReader::ReadKeyLine(char* text) {
  char* key = nullptr;
  char* value = nullptr;
  // On a syntax error the line is left as it was read.
  if (SplitCfgLine(text, &key, &value) != 0) return SyntaxError(text);
  int result = 0;
  const char* expanded =
      std::strchr(value, '%') != nullptr ? expander.Expand(value, &result) : value;
  if (expanded == nullptr) return result;
  return PutCfgValue(cfg, section.data, key, expanded);
}

int CfgReader::SyntaxError(const char* text) {
  KORVID_RAISE(ErrorCode::IniSyntaxError, text);
  return -3;
}

}  // namespace

Cfg* CreateCfg() {
  ClearLastError();
  return new Cfg;
}

void FreeCfg(Cfg* cfg) {
  ClearLastError();
  delete cfg;
}

// A key line starts with an ASCII letter or digit, or ".":
// 1. the key runs from the first byte to the first "=" (a line without one is a syntax error);
// 2. the value starts after that "=";
// 3. only the first ";" after the "=" can start a comment, and only when it follows white space;
// 4. blanks and tabs before the "=" leave the key, blanks and tabs inside it stay;
// 5. blanks and tabs leave the start of the value, blanks, tabs and line feeds its end.
int SplitCfgLine(char* line, char** key, char** value) {
  *key = nullptr;
  *value = nullptr;
  if (!IsKeyStart(line[0])) return 0;
  char* equals = std::strchr(line, '=');
  if (equals == nullptr) return -3;
  char* valueStart = equals + 1;
  char* valueEnd = valueStart + std::strlen(valueStart);
  char* semicolon = std::strchr(valueStart, ';');
  if (semicolon != nullptr && IsWhiteSpace(semicolon[-1])) valueEnd = semicolon;

  char* keyEnd = equals;
  while (IsBlankOrTab(keyEnd[-1])) --keyEnd;  // stops at the first byte, which is no blank
  *keyEnd = '\0';

  while (valueStart < valueEnd && IsBlankOrTab(*valueStart)) ++valueStart;
  while (valueEnd > valueStart && (IsBlankOrTab(valueEnd[-1]) || valueEnd[-1] == '\n')) {
    --valueEnd;
  }
  *valueEnd = '\0';
  *key = line;
  *value = valueStart;
  return 0;
}

int ReadCfgStream(Cfg* cfg, bool named, std::FILE* stream, CfgExpander& expander) {
  CfgReader reader(cfg, expander);
  return reader.Read(named, stream);
}

int PutCfgValue(Cfg* cfg, const char* section, const char* key, const char* value) {
  ClearLastError();
  std::string_view sectionName =
      section != nullptr ? std::string_view(section) : std::string_view(cfg->defaultSection);
  auto sectionIt = cfg->sections.find(sectionName);
  if (sectionIt == cfg->sections.end()) {
    sectionIt = cfg->sections.emplace(std::string(sectionName), Cfg::ValueTable()).first;
  }
  Cfg::ValueTable& values = sectionIt->second;
  std::string_view keyName(key);
  auto valueIt = values.find(keyName);
  if (valueIt != values.end()) {
    valueIt->second = value;
    return 0;
  }
  std::string text;
  text.reserve(kValueReserve);
  text = value;
  values.emplace(std::string(keyName), std::move(text));
  return 0;
}

const char* GetCfgValue(const Cfg* cfg, const char* section, const char* key) {
  ClearLastError();
  std::string_view sectionName =
      section != nullptr ? std::string_view(section) : std::string_view(cfg->defaultSection);
  auto sectionIt = cfg->sections.find(sectionName);
  if (sectionIt == cfg->sections.end()) return nullptr;
  auto valueIt = sectionIt->second.find(std::string_view(key));
  if (valueIt == sectionIt->second.end()) return nullptr;
  return valueIt->second.c_str();
}

}  // namespace korvid
