// Inside the library, for the files of lib/core that only compute over bytes: the raising macros
// and the ini parser's internals. No Windows header comes in through here, nor the whole public
// interface: only the modules these internals are written in terms of.
#pragma once

#include "korvid/cfg.h"
#include "korvid/errors.h"
#include "korvid/search.h"
#include "korvid/text.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <string_view>

namespace korvid {

// ---------------------------------------------------------------------------------------------
// Raising sites name their module (a kModule constant of the file) and their line.

#define KORVID_RAISE(code, ...) \
  ::korvid::RaiseError((code), kModule, __LINE__ __VA_OPT__(, ) __VA_ARGS__)
#define KORVID_TRACE_LAST_WIN32_ERROR(info) ::korvid::TraceLastWin32Error((info), kModule, __LINE__)
#define KORVID_TRACE_WIN32_ERROR(number, info) \
  ::korvid::TraceWin32Error((number), (info), kModule, __LINE__)
#define KORVID_TRACE_CRT_ERROR(info) ::korvid::TraceCrtError((info), kModule, __LINE__)

// ---------------------------------------------------------------------------------------------
// Path rules inside the library (lib/core/path)

// Whether the two texts are the same bytes, compared a word at a time here: the searches compare
// entries and names at every call, and a call of the platform's runtime costs more than that.
inline bool SameBytes(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  std::size_t i = 0;
  for (; i + 8 <= a.size(); i += 8) {
    std::uint64_t x, y;
    std::memcpy(&x, a.data() + i, 8);
    std::memcpy(&y, b.data() + i, 8);
    if (x != y) return false;
  }
  for (; i < a.size(); ++i) {
    if (a[i] != b[i]) return false;
  }
  return true;
}

// A hash of the text under which texts equal without regard to ASCII case hash alike: bit 5 of
// every byte is set, which maps both cases of a letter to one value (other texts may share a hash;
// a comparison tells them apart). Eight bytes at a time: the index hashes every name of a tree.
inline std::uint32_t HashIgnoringCase(std::string_view text) {
  std::uint64_t hash = 14695981039346656037ull ^ text.size();
  std::size_t i = 0;
  for (; i + 8 <= text.size(); i += 8) {
    std::uint64_t word;
    std::memcpy(&word, text.data() + i, 8);
    hash = (hash ^ (word | 0x2020202020202020ull)) * 1099511628211ull;
    hash ^= hash >> 29;
  }
  for (; i < text.size(); ++i) {
    hash = (hash ^ (static_cast<unsigned char>(text[i]) | 0x20u)) * 1099511628211ull;
  }
  hash ^= hash >> 32;
  return static_cast<std::uint32_t>(hash);
}

// Whether the two paths are equal under PathCompare's rules (ASCII letters folded, any separator
// equal to any separator). It leaves the last error alone: the searches compare every entry with
// the current directory and the roots, inside operations that cleared it once.
bool SamePath(std::string_view a, std::string_view b);

// A name the system takes for a device whatever its folder: CON, PRN, AUX, NUL, CONIN$, CONOUT$,
// CLOCK$, COM and LPT with a digit (or a superscript 1, 2, 3), in any case, with any extension
// and blanks after its stem.
bool IsDeviceName(std::string_view name);

// ---------------------------------------------------------------------------------------------
// Ini parsing internals (lib/core/cfgrules, lib/core/getdelim)

// Section and key names compare without regard to ASCII letter case. Each table keeps a name as
// written at its first occurrence; later spellings find that entry.
class Cfg {
 public:
  using ValueTable = std::map<std::string, std::string, CaseInsensitiveLess>;

  std::string fileName;        // empty until a file is read by name
  std::string defaultSection;  // the base name of fileName
  std::map<std::string, ValueTable, CaseInsensitiveLess> sections;
};

// Reads up to and including the delimiter into a heap buffer that grows by doubling. Returns the
// bytes stored (0 once at the end of the input), or -1: at the end, after a read error, or when
// the buffer cannot grow (reported).
long getdelim(char** buffer, std::size_t* capacity, int delimiter, std::FILE* stream);
// 0 with key and value set (both null when the line is no key line), -3 on a syntax error.
int SplitCfgLine(char* line, char** key, char** value);
int PutCfgValue(Cfg* cfg, const char* section, const char* key, const char* value);

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

// The expansion of environment references in values that hold a "%": the platform's, which
// lies outside the core.
class CfgExpander {
 public:
  virtual ~CfgExpander() = default;
  // Called once before the first line; false after reporting when its buffer cannot be had.
  virtual bool Prepare() = 0;
  // The expanded value (valid until the next call), or null after reporting, with *result set
  // to -1 or -2.
  virtual const char* Expand(const char* value, int* result) = 0;
};

// Applies the ini lines of the stream to the Cfg; key lines before any section header go to the
// Cfg's default section (empty unless a file was read by name). named: the read of a file by its
// name, which starts with a section buffer of its own. 0, or the -1, -2 or -3 of ReadCfg.
int ReadCfgStream(Cfg* cfg, bool named, std::FILE* stream, CfgExpander& expander);

// ---------------------------------------------------------------------------------------------
// Search-path patterns (lib/core/searchpattern)

// What the elements of a pattern stand for; asked only when an element needs it.
class SearchPathSources {
 public:
  virtual ~SearchPathSources() = default;
  virtual unsigned RootCount() = 0;
  // Root index into a kRootBufferSize buffer; false when it cannot be had.
  virtual bool Root(unsigned index, char* buffer) = 0;
  // The home directory into a kMaxPath buffer.
  virtual void Home(char* buffer) = 0;
  // Index 0: the current directory, n >= 1: working directory n, into a kMaxPath buffer; false
  // past the end.
  virtual bool WorkingDirectory(unsigned index, char* buffer) = 0;
};

// Appends the entries of the pattern's elements (separated by ";") to the list: "%R\" and the
// rest below every root ("%R//" and the rest: any depth below every root), "~" below the home
// directory, an absolute element as it is, a relative one below each working directory. Equal
// entries and entries longer than 260 are left out.
void AppendSearchPath(SearchPathList& list, const char* pattern, SearchPathSources& sources);

}  // namespace korvid
