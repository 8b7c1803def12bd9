// Shared text helpers: the tokenizers and the ASCII case-insensitive order and equality.
#include "korvid/text.h"

#include <cstdint>
#include <cstring>

namespace korvid {
namespace {

// The length of the common prefix of a and b up to n bytes, counted in whole 8-byte words: texts
// compared without regard to case are mostly equal byte for byte (keys, patterns and paths in the
// case they were written), so equal words are passed over before any byte is folded.
std::size_t EqualWords(const char* a, const char* b, std::size_t n) {
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    std::uint64_t x, y;
    std::memcpy(&x, a + i, 8);
    std::memcpy(&y, b + i, 8);
    if (x != y) break;
  }
  return i;
}

// Whether the byte is in the set of a DelimiterTokenizer (one bit per byte value).
bool InSet(const std::uint32_t (&set)[8], char byte) {
  unsigned char c = static_cast<unsigned char>(byte);
  return (set[c >> 5] >> (c & 31)) & 1u;
}

}  // namespace

bool EqualIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = EqualWords(a.data(), b.data(), a.size()); i < a.size(); ++i) {
    if (FoldAsciiCase(static_cast<unsigned char>(a[i])) !=
        FoldAsciiCase(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

bool CaseInsensitiveLess::operator()(std::string_view a, std::string_view b) const {
  std::size_t n = a.size() < b.size() ? a.size() : b.size();
  for (std::size_t i = EqualWords(a.data(), b.data(), n); i < n; ++i) {
    unsigned char ca = static_cast<unsigned char>(a[i]);
    unsigned char cb = static_cast<unsigned char>(b[i]);
    if (ca >= 'A' && ca <= 'Z') ca += 'a' - 'A';
    if (cb >= 'A' && cb <= 'Z') cb += 'a' - 'A';
    if (ca != cb) return ca < cb;
  }
  return a.size() < b.size();
}

Tokenizer::Tokenizer(const char* text, char separator, std::size_t maxCopy)
    : separator(separator) {
  if (text != nullptr) {
    std::size_t length = std::strlen(text);
    copy.assign(text, length < maxCopy ? length : maxCopy);
  }
  done = copy.empty();
}

const char* Tokenizer::Next() {
  if (done) return nullptr;
  std::size_t start = position;
  std::size_t end = copy.find(separator, start);
  if (end == std::string::npos) {
    done = true;
  } else {
    copy[end] = '\0';
    position = end + 1;
    if (position >= copy.size()) done = true;
  }
  return copy.c_str() + start;
}

DelimiterTokenizer::DelimiterTokenizer(const char* text, const char* delimiters) {
  if (text != nullptr) copy = text;
  for (const char* d = delimiters; d != nullptr && *d != '\0'; ++d) {
    unsigned char c = static_cast<unsigned char>(*d);
    delimiterSet[c >> 5] |= 1u << (c & 31);
  }
}

const char* DelimiterTokenizer::Next() {
  while (position < copy.size() && InSet(delimiterSet, copy[position])) {
    ++position;
  }
  if (position >= copy.size()) return nullptr;
  std::size_t start = position;
  while (position < copy.size() && !InSet(delimiterSet, copy[position])) {
    ++position;
  }
  if (position < copy.size()) copy[position++] = '\0';
  return copy.c_str() + start;
}

bool IsNameInList(const char* list, const char* name, const char* delimiters) {
  DelimiterTokenizer items(list, delimiters);
  while (const char* item = items.Next()) {
    if (EqualIgnoringCase(item, name)) return true;
  }
  return false;
}

}  // namespace korvid
