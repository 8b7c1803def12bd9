// Path rules on arbitrary bytes: the comparison is the order of its own folding, normalising twice
// changes nothing, the relative part is a suffix consistent with the prefix comparison, the
// split parts make up the path, and the tokenizers' pieces make up their text.
#include "check.h"
#include "korvid.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <string>

using namespace korvid;

namespace {

int Sign(int value) { return (value > 0) - (value < 0); }

// Letters folded to lower case, every separator to '/'.
std::string Folded(const std::string& path) {
  std::string out = path;
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + ('a' - 'A'));
    if (c == '\\') c = '/';
  }
  return out;
}

int CompareFolded(const std::string& a, const std::string& b) {
  std::string fa = Folded(a);
  std::string fb = Folded(b);
  int order = std::memcmp(fa.data(), fb.data(), std::min(fa.size(), fb.size()));
  if (order != 0) return Sign(order);
  return Sign(static_cast<int>(fa.size() > fb.size()) - static_cast<int>(fa.size() < fb.size()));
}

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

void CheckNormalize(const std::string& path) {
  std::string once = path;
  NormalizeSlashes(once.data());
  FUZZ_CHECK(std::strlen(once.c_str()) == path.size());
  for (std::size_t i = 0; i < path.size(); ++i) {
    FUZZ_CHECK(once[i] == path[i] || (path[i] == '/' && once[i] == '\\'));
  }
  std::string twice = once;
  NormalizeSlashes(twice.data());
  FUZZ_CHECK(twice == once);
}

void CheckCompare(const std::string& a, const std::string& b, std::size_t n) {
  int ab = PathCompare(a.c_str(), b.c_str());
  FUZZ_CHECK(ab == CompareFolded(a, b));
  FUZZ_CHECK(PathCompare(b.c_str(), a.c_str()) == -ab);
  FUZZ_CHECK(PathCompare(a.c_str(), a.c_str()) == 0);
  int abn = PathCompareN(a.c_str(), b.c_str(), n);
  FUZZ_CHECK(abn == CompareFolded(a.substr(0, n), b.substr(0, n)));
  FUZZ_CHECK(PathCompareN(a.c_str(), b.c_str(), static_cast<std::size_t>(-1)) == ab);
}

void CheckRelative(const std::string& path, const std::string& root) {
  const char* relative = MakeRelative(path.c_str(), root.c_str());
  std::size_t n = root.size();
  bool fits = path.size() < kMaxPath && root.size() < kMaxPath;
  bool prefix = n <= path.size() && PathCompareN(path.c_str(), root.c_str(), n) == 0;
  bool below = prefix && ((n > 0 && IsSeparator(root[n - 1])) ||
                          (n < path.size() && IsSeparator(path[n])));
  FUZZ_CHECK((relative != nullptr) == (fits && below));
  if (relative == nullptr) return;
  // A suffix of the path: what stands before it is the root, and at most one separator.
  FUZZ_CHECK(relative >= path.c_str() && relative <= path.c_str() + path.size());
  std::size_t start = static_cast<std::size_t>(relative - path.c_str());
  FUZZ_CHECK(start == n || (start == n + 1 && IsSeparator(path[n])));
}

void CheckSplit(const std::string& path) {
  PathParts parts = SplitPath(path.c_str());
  FUZZ_CHECK(parts.drive + parts.directory + parts.name + parts.extension == path);
  FUZZ_CHECK(parts.drive.empty() || (parts.drive.size() == 2 && parts.drive[1] == ':'));
  FUZZ_CHECK(parts.directory.empty() || IsSeparator(parts.directory.back()));
  std::string file = parts.name + parts.extension;
  FUZZ_CHECK(file.find_first_of("\\/") == std::string::npos);
  FUZZ_CHECK(parts.extension.empty() || (parts.extension[0] == '.' &&
                                    parts.extension.find('.', 1) == std::string::npos));
  FUZZ_CHECK(parts.name.find('.') == std::string::npos || !parts.extension.empty());
}

// The tokenizers: the pieces put back together give the text again.
void CheckTokenizers(const std::string& text) {
  std::string joined;
  Tokenizer pieces(text.c_str(), ';');
  for (const char* piece = pieces.Next(); piece != nullptr; piece = pieces.Next()) {
    joined += piece;
    joined += ';';
    FUZZ_CHECK(std::strchr(piece, ';') == nullptr);
  }
  std::string expected = text;
  if (!expected.empty() && expected.back() != ';') expected += ';';
  FUZZ_CHECK(joined == expected);

  std::string kept;
  DelimiterTokenizer words(text.c_str(), " ;");
  while (const char* word = words.Next()) {
    FUZZ_CHECK(*word != '\0' && std::strpbrk(word, " ;") == nullptr);
    std::string upper = word;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    FUZZ_CHECK(IsNameInList(text.c_str(), upper.c_str(), " ;"));
    kept += word;
  }
  std::string stripped;
  for (char c : text) {
    if (c != ' ' && c != ';') stripped += c;
  }
  FUZZ_CHECK(kept == stripped);
}

}  // namespace

// Input: a byte n, then two texts separated by the first NUL byte (the second ends at the next).
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  std::size_t n = data[0];
  std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
  std::size_t split = rest.find('\0');
  std::string a = rest.substr(0, split);
  std::string b = split == std::string::npos ? std::string() : rest.substr(split + 1);
  b = b.substr(0, b.find('\0'));

  CheckNormalize(a);
  CheckCompare(a, b, n);
  CheckRelative(a, b);
  CheckRelative(b, a);
  CheckSplit(a);
  CheckTokenizers(a);
  return 0;
}
