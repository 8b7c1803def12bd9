// Ini files: reading by name, and the platform's expansion of environment references in values.
#include "internal.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace korvid {
namespace {

constexpr char kModule[] = "lib/cfg";

constexpr std::size_t kExpansionBufferSize = 100 + 1;
// The platform's expansion works on counted strings of at most 32767 characters; a longer text
// is refused here rather than handed over (some versions of the platform crash on it).
constexpr std::size_t kExpansionLimit = 32767;

struct StreamCloser {
  void operator()(std::FILE* stream) const { std::fclose(stream); }
};
using StreamOwner = std::unique_ptr<std::FILE, StreamCloser>;

class PlatformExpander : public CfgExpander {
 public:
  bool Prepare() override;
  const char* Expand(const char* value, int* result) override;

 private:
  HeapBuffer expansion;
};

bool PlatformExpander::Prepare() {
  if (expansion.Allocate(kExpansionBufferSize)) return true;
  KORVID_RAISE(ErrorCode::InternalError);
  TraceError("malloc(%u) failed", static_cast<unsigned>(kExpansionBufferSize));
  return false;
}

// The value with its environment references expanded by the platform, in the expansion buffer
// (values without "%" never come here, so no limit of the platform applies to them). A failure
// is reported and stops the read (null, with *result set): storing an empty or a cut value
// instead would lose the text without a word.
const char* PlatformExpander::Expand(const char* value, int* result) {
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

// Records the full path of a file read by name, and the default section it names. A name whose
// full path does not fit kMaxPath is recorded as given: it names the same default section.
void RecordFileName(Cfg* cfg, const char* name) {
  char fullPath[kMaxPath];
  cfg->fileName = _fullpath(fullPath, name, sizeof fullPath) != nullptr ? fullPath : name;
  cfg->defaultSection = SplitPath(cfg->fileName.c_str()).name;
}

}  // namespace

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
  if (fileName != nullptr) RecordFileName(cfg, fileName);
  PlatformExpander expander;
  return ReadCfgStream(cfg, fileName != nullptr, stream, expander);
}

int ReadCfgFile(Cfg* cfg, const char* fileName) { return ReadCfg(cfg, fileName, nullptr); }

}  // namespace korvid
