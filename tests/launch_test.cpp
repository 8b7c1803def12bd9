// The launcher's own rules: splitting its command line into the program name and the tail.
#include "launch.h"

#include "korvid.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

using namespace korvid;

TEST(SplitCommandLine, NameAndTail) {
  struct Row { const char* line; const char* name; const char* tail; };
  const Row rows[] = {
      {"\"C:\\Program Files\\tex\\bin\\foo.exe\" -v \"a b\"", "C:\\Program Files\\tex\\bin\\foo.exe",
       "-v \"a b\""},
      {"foo   x", "foo", "x"},
      {"foo", "foo", ""},
      {"foo ", "foo", ""},
      {"\"foo\"\tx", "foo", "\tx"},
      {"foo\tx y", "foo\tx", "y"},
      {"\"C:\\a b\\foo.exe -x", "C:\\a b\\foo.exe -x", ""},
      {"fo\"o\" x", "fo\"o\"", "x"},
      {"\"\" x", "", "x"},
      {"\"foo\"x y", "foo", "x y"},
      {"", "", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.line);
    char name[kMaxPath];
    const char* tail = SplitCommandLine(row.line, name);
    ASSERT_NE(tail, nullptr);
    EXPECT_STREQ(name, row.name);
    EXPECT_STREQ(tail, row.tail);
    EXPECT_EQ(tail, row.line + std::strlen(row.line) - std::strlen(row.tail));  // points into it
  }
}

TEST(SplitCommandLine, NameMustFitItsBuffer) {
  char name[kMaxPath + 16];
  std::memset(name, '#', sizeof name);
  std::string fits(259, 'f');
  EXPECT_NE(SplitCommandLine((fits + " x").c_str(), name), nullptr);
  EXPECT_EQ(std::string(name), fits);
  std::memset(name, '#', sizeof name);
  std::string over(260, 'o');
  EXPECT_EQ(SplitCommandLine(("\"" + over + "\" x").c_str(), name), nullptr);
  EXPECT_EQ(name[kMaxPath], '#');
}
