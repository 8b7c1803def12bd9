// Path rules: separators, absolute paths, comparison, relative parts and splitting.
#include "korvid.h"

#include <gtest/gtest.h>

#include <string>

using namespace korvid;

TEST(Path, AbsolutePaths) {
  struct Row { const char* path; bool absolute; };
  const Row rows[] = {
      {"\\\\server\\share", true}, {"/tex", true},  {"\\tex", true},   {"C:/x", true},
      {"c:\\x", true},            {"C:x", false},  {"C:", false},     {"rel\\x", false},
      {"", false},                {"1:\\x", false}, {":\\x", false},  {"z:/", true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.path);
    EXPECT_EQ(IsAbsolutePath(row.path), row.absolute);
  }
  EXPECT_FALSE(IsAbsolutePath(nullptr));
}

TEST(Path, CompareFoldsLettersAndSeparators) {
  struct Row { const char* a; const char* b; int result; };
  const Row rows[] = {
      {"C:\\Texmf", "c:/texmf", 0},   {"C:\\texmf", "C:\\texmf\\", -1},
      {"C:\\texmf\\", "C:\\texmf", 1}, {"a\\\\b", "a\\b", -1},
      {"a/b", "a\\b", 0},             {"", "", 0},
      {"abc", "abd", -1},             {"ABD", "abc", 1},
      {"\xE9", "\xC9", 1},            // only ASCII letters fold
      {"a\\", "a=", -1},             {"a/", "a=", -1},  // both separators order as one
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.a) + " vs " + row.b);
    EXPECT_EQ(PathCompare(row.a, row.b), row.result);
  }
}

TEST(Path, CompareNStopsAfterCount) {
  EXPECT_EQ(PathCompareN("C:\\texmf", "C:\\texmfx\\a", 8), 0);
  EXPECT_EQ(PathCompareN("C:\\texmf", "C:\\texmfx\\a", 9), -1);
  EXPECT_EQ(PathCompareN("abc", "xyz", 0), 0);
  EXPECT_EQ(PathCompareN("C:/TEXMF/a", "c:\\texmf\\b", 9), 0);
}

TEST(Path, CompareFoldsEveryLetterAndNothingElse) {
  for (char upper = 'A'; upper <= 'Z'; ++upper) {
    const char lower = static_cast<char>(upper - 'A' + 'a');
    const std::string big = std::string("C:\\") + upper + "ef\\texmf";
    const std::string small = std::string("c:\\") + lower + "ef\\texmf";
    SCOPED_TRACE(big);
    EXPECT_EQ(PathCompare(big.c_str(), small.c_str()), 0);
    EXPECT_EQ(PathCompare(small.c_str(), big.c_str()), 0);
    EXPECT_EQ(PathCompareN(big.c_str(), small.c_str(), big.size()), 0);
    EXPECT_EQ(PathCompareN(small.c_str(), big.c_str(), big.size()), 0);
  }
  // The characters next to the letters in both halves of the table stay apart.
  struct Row { const char* a; const char* b; int result; };
  const Row rows[] = {{"@", "`", -1}, {"`", "@", 1}, {"[", "{", -1}, {"{", "[", 1}};
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.a) + " vs " + row.b);
    EXPECT_EQ(PathCompare(row.a, row.b), row.result);
    EXPECT_EQ(PathCompareN(row.a, row.b, 1), row.result);
  }
}

TEST(Path, MakeRelative) {
  const std::string path = "c:/TEXMF/tex/a.sty";
  const char* p = path.c_str();
  EXPECT_STREQ(MakeRelative(p, "C:\\texmf"), "tex/a.sty");
  EXPECT_EQ(MakeRelative(p, "C:\\texmf"), p + 9);  // a position inside the caller's path
  EXPECT_STREQ(MakeRelative(p, "C:\\texmf\\"), "tex/a.sty");
  EXPECT_EQ(MakeRelative("C:\\texmfx\\a", "C:\\texmf"), nullptr);
  EXPECT_EQ(MakeRelative("C:\\texmf", "C:\\texmf"), nullptr);
  EXPECT_STREQ(MakeRelative("C:\\texmf\\", "C:\\texmf"), "");
  EXPECT_EQ(MakeRelative("C:\\a", "C:\\a\\b"), nullptr);
}

TEST(Path, MakeRelativeRefusesTextsBeyondItsCopies) {
  std::string longRoot = "C:\\" + std::string(300, 'r');
  std::string longPath = longRoot + "\\tex\\a.sty";
  EXPECT_EQ(MakeRelative(longPath.c_str(), "C:\\r"), nullptr);
  EXPECT_EQ(MakeRelative("C:\\r\\a", longRoot.c_str()), nullptr);
  std::string fits = "C:\\" + std::string(250, 'r') + "\\a";  // 255 characters
  EXPECT_STREQ(MakeRelative(fits.c_str(), ("C:\\" + std::string(250, 'r')).c_str()), "a");
}

TEST(Path, DirectoryDelimiters) {
  EXPECT_TRUE(IsDirectoryDelimiter('\\'));
  EXPECT_TRUE(IsDirectoryDelimiter('/'));
  EXPECT_FALSE(IsDirectoryDelimiter(':'));
  EXPECT_FALSE(IsDirectoryDelimiter('\0'));
}

TEST(Path, SplitPath) {
  struct Row { const char* path; const char* drive; const char* dir; const char* name; const char* ext; };
  const Row rows[] = {
      {"C:\\Program Files\\tex\\bin\\foo.exe", "C:", "\\Program Files\\tex\\bin\\", "foo", ".exe"},
      {"foo", "", "", "foo", ""},
      {"a.b.c", "", "", "a.b", ".c"},
      {"dir.x/name", "", "dir.x/", "name", ""},
      {"C:name.pl", "C:", "", "name", ".pl"},
      {"\\\\srv\\share\\x.", "", "\\\\srv\\share\\", "x", "."},
      {"", "", "", "", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.path);
    PathParts parts = SplitPath(row.path);
    EXPECT_EQ(parts.drive, row.drive);
    EXPECT_EQ(parts.directory, row.dir);
    EXPECT_EQ(parts.name, row.name);
    EXPECT_EQ(parts.extension, row.ext);
  }
}

TEST(Path, RecursionMarkerComesAfterANetworkName) {
  constexpr std::size_t kNone = std::string_view::npos;
  struct Row { const char* path; std::size_t marker; };
  const Row rows[] = {
      {"C:\\texmf\\tex//a.sty", 12},
      {"//server/share\\tex//a.sty", 18},
      {"\\\\server\\share\\tex//a.sty", 18},
      {"//server\\share\\tex//a.sty", 18},
      {"/\\server\\share//a.sty", 14},
      {"//server/share\\korvid\\config\\texmf0.fndb", kNone},
      {"//server\\share", kNone},
      {"///x", kNone},
      {"//", kNone},
      {"/tex//a", 4},
      {"C://a", 2},
      {"", kNone},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.path);
    EXPECT_EQ(FindRecursionMarker(row.path), row.marker);
  }
}
