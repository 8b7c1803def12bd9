// Ini files: the in-memory Cfg, the rules of ini lines, and the reader that applies them to a
// stream.
#include "internal.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace korvid {

// Section and key names compare without regard to ASCII letter case. Each table keeps a name as
// written at its first occurrence; later spellings find that entry.
class Cfg {
 public:
  using ValueTable = std::map<std::string, std::string, CaseInsensitiveLess>;

  // Records the full path of a file read by name, and the default section it names.
  void RecordFileName(const char* name);

  std::string fileName;        // empty until a file is read by name
  std::string defaultSection;  // the base name of fileName
  std::map<std::string, ValueTable, CaseInsensitiveLess> sections;
};

namespace {

constexpr char kModule[] = "lib/cfg";

constexpr std::size_t kLineBufferSize = 128;
constexpr std::size_t kSectionBufferSize = 256;
constexpr std::size_t kExpansionBufferSize = 100 + 1;
constexpr std::size_t kValueReserve = 256;
// The platform's expansion works on counted strings of at most 32767 characters; a longer text
// is refused here rather than handed over (some versions of the platform crash on it).
constexpr std::size_t kExpansionLimit = 32767;

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

// A block of the C heap and its size in bytes, freed when the owner goes. The line reader grows
// it through the two fields.
struct HeapBuffer {
  char* data = nullptr;
  std::size_t size = 0;

  HeapBuffer() = default;
  HeapBuffer(const HeapBuffer&) = delete;
  HeapBuffer& operator=(const HeapBuffer&) = delete;
  ~HeapBuffer() { std::free(data); }

  bool Allocate(std::size_t bytes) {
    data = static_cast<char*>(std::malloc(bytes));
    if (data == nullptr) return false;
    size = bytes;
    return true;
  }
  bool Resize(std::size_t bytes) {
    char* grown = static_cast<char*>(std::realloc(data, bytes));
    if (grown == nullptr) return false;
    data = grown;
    size = bytes;
    return true;
  }
};

struct StreamCloser {
  void operator()(std::FILE* stream) const { std::fclose(stream); }
};
using StreamOwner = std::unique_ptr<std::FILE, StreamCloser>;

// One read of ini text into a Cfg, with the buffers that are reused from line to line and only
// grow. Each step returns the read's result: 0 to go on, -1, -2 or -3 to stop.
class CfgReader {
 public:
  explicit CfgReader(Cfg* cfg) : cfg(cfg) {}
  int Read(bool named, std::FILE* stream);

 private:
  bool AllocateBuffer(HeapBuffer& buffer, std::size_t bytes);
  int ReadLine(std::size_t length);
  int ReadSectionHeader(std::string_view line);
  int ReadKeyLine(char* line);
  int SetSection(std::string_view name);
  const char* Expand(const char* value, int* result);
  int SyntaxError(const char* line);

  Cfg* cfg;
  HeapBuffer line;
  HeapBuffer section;  // the current section; unset (null) until a header when the read is unnamed
  HeapBuffer expansion;
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
  if (!AllocateBuffer(expansion, kExpansionBufferSize)) return -2;

  int result = 0;
  long length = 0;
  while (result == 0 && (length = getdelim(&line.data, &line.size, '\n', stream)) > 0) {
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
  const char* expanded = Expand(value, &result);
  if (expanded == nullptr) return result;
  return PutCfgValue(cfg, section.data, key, expanded);
}

// The value with its environment references expanded by the platform: in the expansion buffer,
// or the value itself when it holds no "%" (nothing to expand, so no limit of the platform
// applies). A failure is reported and stops the read (null, with *result set): storing an empty
// or a cut value instead would lose the text without a word.
const char* CfgReader::Expand(const char* value, int* result) {
  if (std::strchr(value, '%') == nullptr) return value;
  std::size_t length = std::strlen(value);
  if (length >= kExpansionLimit) {
    KORVID_RAISE(ErrorCode::InternalError);
    TraceError("cfg value too long to expand (%u bytes)", static_cast<unsigned>(length));
    *result = -1;
    return nullptr;
  }
  // The count the platform returns includes the terminator, and its ANSI form wants one byte
  // more room than that; so a count not below the buffer size asks for a buffer of count + 1.
  // Three tries allow for the environment growing between them.
  for (int attempt = 0; attempt < 3; ++attempt) {
    SetLastError(ERROR_SUCCESS);
    DWORD needed =
        ExpandEnvironmentStringsA(value, expansion.data, static_cast<DWORD>(expansion.size));
    if (needed == 0) break;
    if (needed < expansion.size) {
      // The platform also cuts a result longer than its counted strings and says so only here.
      if (GetLastError() == ERROR_INSUFFICIENT_BUFFER) break;
      return expansion.data;
    }
    if (!expansion.Resize(static_cast<std::size_t>(needed) + 1)) {
      KORVID_RAISE(ErrorCode::InternalError);
      TraceError("realloc(%u) failed", static_cast<unsigned>(needed) + 1);
      *result = -2;
      return nullptr;
    }
  }
  if (GetLastError() == ERROR_SUCCESS) SetLastError(ERROR_INSUFFICIENT_BUFFER);
  KORVID_RAISE(ErrorCode::Win32Error, "ExpandEnvironmentStringsA");
  *result = -1;
  return nullptr;
}

int CfgReader::SyntaxError(const char* text) {
  KORVID_RAISE(ErrorCode::IniSyntaxError, text);
  return -3;
}

}  // namespace

// A name whose full path does not fit kMaxPath is recorded as given: it names the same default
// section.
void Cfg::RecordFileName(const char* name) {
  char fullPath[kMaxPath];
  fileName = _fullpath(fullPath, name, sizeof fullPath) != nullptr ? fullPath : name;
  defaultSection = SplitPath(fileName.c_str()).name;
}

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

int ReadCfg(Cfg* cfg, const char* fileName, std::FILE* stream) {
  ClearLastError();
  StreamOwner opened;
  if (stream == nullptr) {
    if (fileName == nullptr) {
      errno = EINVAL;
      KORVID_RAISE(ErrorCode::CrtError, "ReadCfg");
      return -1;
    }
    Trace(traceStreams.config, "parsing '%s'...", fileName);
    opened.reset(std::fopen(fileName, "r"));
    if (!opened) {
      KORVID_RAISE(ErrorCode::CrtError, fileName);
      return -1;
    }
    stream = opened.get();
  }
  if (fileName != nullptr) cfg->RecordFileName(fileName);
  CfgReader reader(cfg);
  return reader.Read(fileName != nullptr, stream);
}

int ReadCfgFile(Cfg* cfg, const char* fileName) { return ReadCfg(cfg, fileName, nullptr); }

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
