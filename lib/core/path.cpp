// Path rules: separators, absolute paths, comparison and the part of a path below a root.
#include "core.h"
#include "korvid/path.h"

#include <cstring>

namespace korvid {
namespace {


bool IsLetter(unsigned char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// The walk shared by PathCompare and PathCompareN; limit is the number of positions compared.
// Every separator folds to '/', so that paths equal up to their separators also order alike
// against any third path.
int ComparePaths(const char* a, const char* b, std::size_t limit) {
  for (std::size_t i = 0; i < limit; ++i) {
    unsigned char ca = static_cast<unsigned char>(a[i]);
    unsigned char cb = static_cast<unsigned char>(b[i]);
    int fa = IsDirectoryDelimiter(ca) ? '/' : FoldAsciiCase(ca);
    int fb = IsDirectoryDelimiter(cb) ? '/' : FoldAsciiCase(cb);
    if (fa == fb && cb != '\0') continue;
    int difference = fa - fb;
    return difference < 0 ? -1 : (difference > 0 ? 1 : 0);
  }
  return 0;
}

constexpr std::size_t kWorkingCopy = 260;

// Copies path with separators turned into '/' and letters folded; false when it does not fit.
bool CanonicalCopy(const char* path, char (&out)[kWorkingCopy]) {
  std::size_t length = std::strlen(path);
  if (length >= kWorkingCopy) return false;
  for (std::size_t i = 0; i <= length; ++i) {
    unsigned char c = static_cast<unsigned char>(path[i]);
    out[i] = IsDirectoryDelimiter(c) ? '/' : static_cast<char>(FoldAsciiCase(c));
  }
  return true;
}

}  // namespace

bool IsDirectoryDelimiter(int c) { return c == '\\' || c == '/'; }

void NormalizeSlashes(char* path) {
  std::size_t length = std::strlen(path);
  for (std::size_t i = 0; i < length; ++i) {
    if (path[i] != '/') continue;
    if (i > 0 && i + 1 < length && path[i + 1] == '/') {
      ++i;  // a "//" pair past the start stays: it marks a recursive search
      continue;
    }
    path[i] = '\\';
  }
}

bool IsAbsolutePath(const char* path) {
  ClearLastError();
  if (path == nullptr || path[0] == '\0') return false;
  if (IsDirectoryDelimiter(static_cast<unsigned char>(path[0]))) return true;
  return IsLetter(static_cast<unsigned char>(path[0])) && path[1] == ':' &&
         IsDirectoryDelimiter(static_cast<unsigned char>(path[2]));
}

int PathCompare(const char* a, const char* b) {
  ClearLastError();
  return ComparePaths(a, b, static_cast<std::size_t>(-1));
}

// Paths that are equal at all are mostly equal byte for byte (an entry starts with the root it was
// made from); two roots that differ, differ mostly at their ends.
bool SamePath(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  if (SameBytes(a, b)) return true;
  for (std::size_t i = a.size(); i-- > 0;) {
    unsigned char ca = static_cast<unsigned char>(a[i]);
    unsigned char cb = static_cast<unsigned char>(b[i]);
    if (ca == cb) continue;
    if (IsDirectoryDelimiter(ca) && IsDirectoryDelimiter(cb)) continue;
    if (FoldAsciiCase(ca) != FoldAsciiCase(cb)) return false;
  }
  return true;
}

int PathCompareN(const char* a, const char* b, std::size_t n) {
  ClearLastError();
  return ComparePaths(a, b, n);
}

// Paths that do not fit the 260-byte working copies are answered with none.
const char* MakeRelative(const char* path, const char* root) {
  ClearLastError();
  char pathCopy[kWorkingCopy];
  char rootCopy[kWorkingCopy];
  if (!CanonicalCopy(path, pathCopy) || !CanonicalCopy(root, rootCopy)) return nullptr;
  std::size_t n = std::strlen(rootCopy);
  if (std::strncmp(pathCopy, rootCopy, n) != 0) return nullptr;
  if (n > 0 && rootCopy[n - 1] == '/') return path + n;
  if (pathCopy[n] == '/') return path + n + 1;
  return nullptr;
}

std::size_t FindRecursionMarker(std::string_view path) {
  std::size_t start = 0;
  if (path.size() >= 2 && IsDirectoryDelimiter(static_cast<unsigned char>(path[0])) &&
      IsDirectoryDelimiter(static_cast<unsigned char>(path[1]))) {
    start = 2;  // \\server or //server
  }
  return path.find("//", start);
}

PathParts SplitPath(const char* path) {
  PathParts parts;
  std::string_view rest(path != nullptr ? path : "");
  if (rest.size() >= 2 && rest[1] == ':') {
    parts.drive.assign(rest.substr(0, 2));
    rest.remove_prefix(2);
  }
  std::size_t lastSeparator = rest.find_last_of("\\/");
  if (lastSeparator != std::string_view::npos) {
    parts.directory.assign(rest.substr(0, lastSeparator + 1));
    rest.remove_prefix(lastSeparator + 1);
  }
  std::size_t dot = rest.find_last_of('.');
  if (dot != std::string_view::npos) {
    parts.extension.assign(rest.substr(dot));
    rest = rest.substr(0, dot);
  }
  parts.name.assign(rest);
  return parts;
}

bool IsDeviceName(std::string_view name) {
  std::string stem(name.substr(0, name.find('.')));
  while (!stem.empty() && stem.back() == ' ') stem.pop_back();
  for (char& c : stem) c = static_cast<char>(FoldAsciiCase(static_cast<unsigned char>(c)));
  for (std::string_view device : {"con", "prn", "aux", "nul", "conin$", "conout$", "clock$"}) {
    if (stem == device) return true;
  }
  // COM and LPT with a digit, or with the superscripts 1, 2 and 3 of the ANSI code page.
  if (stem.size() != 4 || (!stem.starts_with("com") && !stem.starts_with("lpt"))) return false;
  unsigned char number = static_cast<unsigned char>(stem[3]);
  return (number >= '0' && number <= '9') || number == 0xB9 || number == 0xB2 || number == 0xB3;
}

}  // namespace korvid
