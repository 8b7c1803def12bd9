// Tokenizers and name lists shared by the modules.
#include "korvid.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace korvid;

namespace {

std::vector<std::string> Pieces(const char* text, char separator,
                                std::size_t maxCopy = Tokenizer::kWholeText) {
  std::vector<std::string> pieces;
  Tokenizer tokenizer(text, separator, maxCopy);
  while (const char* piece = tokenizer.Next()) pieces.push_back(piece);
  return pieces;
}

std::vector<std::string> Words(const char* text, const char* delimiters) {
  std::vector<std::string> words;
  DelimiterTokenizer tokenizer(text, delimiters);
  while (const char* word = tokenizer.Next()) words.push_back(word);
  return words;
}

using List = std::vector<std::string>;

}  // namespace

TEST(Tokenizer, SplitsAtOneSeparator) {
  struct Row { const char* text; List pieces; };
  const Row rows[] = {
      {"a;b", {"a", "b"}},       {"a;;b", {"a", "", "b"}}, {";a", {"", "a"}},
      {"a;", {"a"}},             {";", {""}},              {";;", {"", ""}},
      {"", {}},                  {"abc", {"abc"}},         {"a;b;", {"a", "b"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    EXPECT_EQ(Pieces(row.text, ';'), row.pieces);
  }
  EXPECT_EQ(Pieces(nullptr, ';'), List{});
}

TEST(Tokenizer, KeepsTheGivenTextAndCanCapItsCopy) {
  std::string text = "x;y;z";
  Pieces(text.c_str(), ';');
  EXPECT_EQ(text, "x;y;z");
  std::string longText = std::string(4094, 'a') + ";bc";
  EXPECT_EQ(Pieces(longText.c_str(), ';', 4095), (List{std::string(4094, 'a')}));
  EXPECT_EQ(Pieces(longText.c_str(), ';', 4096), (List{std::string(4094, 'a'), "b"}));
}

TEST(DelimiterTokenizer, SkipsRunsOfDelimiters) {
  EXPECT_EQ(Words(",, error;fndb\t\nconfig ,", ",; \n\t"), (List{"error", "fndb", "config"}));
  EXPECT_EQ(Words("", ",;"), List{});
  EXPECT_EQ(Words(";;;", ";"), List{});
  EXPECT_EQ(Words("\xE9t\xE9", " "), List{"\xE9t\xE9"});
}

TEST(IsNameInList, IgnoresCase) {
  EXPECT_TRUE(IsNameInList("error,FNDB", "fndb", ",; \n\t"));
  EXPECT_TRUE(IsNameInList("  foo  ", "FOO", ",; \n\t"));
  EXPECT_FALSE(IsNameInList("fndbx", "fndb", ",; \n\t"));
  EXPECT_FALSE(IsNameInList("", "fndb", ",; \n\t"));
}
