// Text rules (lib/core/text): the one case rule of names and paths (ASCII letters folded), and the
// tokenizers that split lists. The whole library compares and splits its texts through these.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace korvid {

// The one case rule of names and paths: ASCII letters folded to lower case, other bytes as they are.
constexpr unsigned char FoldAsciiCase(unsigned char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + ('a' - 'A')) : c;
}
// Equal without regard to the case of ASCII letters.
bool EqualIgnoringCase(std::string_view a, std::string_view b);

// Case-insensitive (ASCII) ordering of byte strings; transparent, so that lookups by a plain text
// need no copy of it.
struct CaseInsensitiveLess {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const;
};

// Splits a text at one separator: empty pieces are yielded, but a separator at the very end
// yields no empty last piece; an empty or null text yields nothing. Works on its own copy (of at
// most maxCopy characters when given).
class Tokenizer {
 public:
  static constexpr std::size_t kWholeText = static_cast<std::size_t>(-1);
  Tokenizer(const char* text, char separator, std::size_t maxCopy = kWholeText);
  // The next piece, or null at the end; valid until the next call.
  const char* Next();

 private:
  std::string copy;
  char separator;
  std::size_t position = 0;
  bool done;
};

// Splits a text at any of a set of delimiters; runs of delimiters are skipped, so only non-empty
// pieces are yielded.
class DelimiterTokenizer {
 public:
  DelimiterTokenizer(const char* text, const char* delimiters);
  const char* Next();

 private:
  std::string copy;
  std::uint32_t delimiterSet[8] = {};  // one bit per byte value
  std::size_t position = 0;
};

// True when one piece of the list equals the name without regard to ASCII case.
bool IsNameInList(const char* list, const char* name, const char* delimiters);

}  // namespace korvid
