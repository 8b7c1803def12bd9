// The line reader: lines with their delimiter, the end of the input, buffer growth, failing streams.
#include "internal.h"
#include "testing.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <io.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using namespace korvid;
using testing_support::TestFolder;

namespace {

using namespace std::string_literals;

// Every line the reader gives for the stream, as (returned count, stored bytes), up to and
// without the -1 that ends it; at most 100 calls, so that a reader that never ends fails here.
std::vector<std::string> ReadLines(std::FILE* stream, int delimiter = '\n') {
  std::vector<std::string> lines;
  char* buffer = static_cast<char*>(std::malloc(128));
  std::size_t capacity = 128;
  for (int calls = 0; calls < 100; ++calls) {
    long count = getdelim(&buffer, &capacity, delimiter, stream);
    if (count < 0) break;
    EXPECT_EQ(buffer[count], '\0');
    lines.emplace_back(buffer, static_cast<std::size_t>(count));
  }
  std::free(buffer);
  return lines;
}

std::vector<std::string> ReadFileLines(const std::string& bytes, int delimiter = '\n') {
  TestFolder folder;
  std::FILE* stream = std::fopen(folder.Write("lines.txt", bytes).c_str(), "rb");
  std::vector<std::string> lines = ReadLines(stream, delimiter);
  std::fclose(stream);
  return lines;
}

TEST(Getdelim, LinesKeepTheirDelimiterAndTheEndGivesOneEmptyLine) {
  struct Row { std::string bytes; int delimiter; std::vector<std::string> lines; };
  const Row rows[] = {
      {"a\nbc\n", '\n', {"a\n", "bc\n", ""}},
      {"a\nbc", '\n', {"a\n", "bc"}},  // a last line without delimiter: no empty line after it
      {"", '\n', {""}},
      {"\n\n", '\n', {"\n", "\n", ""}},
      {"k\0v\nx"s, '\n', {"k\0v\n"s, "x"}},  // NUL bytes are stored and counted
      {"a\r\nb\r", '\n', {"a\r\n", "b\r"}},
      {"a;b;", ';', {"a;", "b;", ""}},
      {"a\xE9" "b", 0xE9, {"a\xE9", "b"}},  // a delimiter above 127
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.bytes);
    EXPECT_EQ(ReadFileLines(row.bytes, row.delimiter), row.lines);
  }
}

TEST(Getdelim, BufferDoublesBeforeTheTerminatorWouldNotFit) {
  TestFolder folder;
  const std::string fits(127, 'a'), grows(127, 'b'), big(9999, 'c');
  std::string path = folder.Write("lines.txt", fits.substr(1) + "\n" + grows + "\n" + big + "\nx\n");
  std::FILE* stream = std::fopen(path.c_str(), "rb");
  char* buffer = nullptr;  // a missing buffer gets the first capacity
  std::size_t capacity = 0;
  struct Step { std::string line; std::size_t capacity; };
  const Step steps[] = {{fits.substr(1) + "\n", 128}, {grows + "\n", 256},
                        {big + "\n", 16384}, {"x\n", 16384}};
  for (const Step& step : steps) {
    SCOPED_TRACE(step.line.size());
    ASSERT_EQ(getdelim(&buffer, &capacity, '\n', stream), static_cast<long>(step.line.size()));
    EXPECT_EQ(std::string(buffer), step.line);
    EXPECT_EQ(capacity, step.capacity);
  }
  std::free(buffer);
  std::fclose(stream);
}

TEST(Getdelim, StreamsAtTheirEndOrInErrorGiveMinusOne) {
  TestFolder folder;
  std::string path = folder.Write("lines.txt", "abc\n");
  char* buffer = static_cast<char*>(std::malloc(128));
  std::size_t capacity = 128;

  std::FILE* atEnd = std::fopen(path.c_str(), "rb");
  while (std::fgetc(atEnd) != EOF) {
  }
  std::strcpy(buffer, "untouched");
  EXPECT_EQ(getdelim(&buffer, &capacity, '\n', atEnd), -1);
  EXPECT_STREQ(buffer, "untouched");
  std::fclose(atEnd);

  // Reading a descriptor open for writing only sets the stream's error indicator: one empty
  // line, then the end, instead of empty lines forever.
  std::FILE* failing = _fdopen(_open(path.c_str(), _O_WRONLY), "r");
  ASSERT_NE(failing, nullptr);
  EXPECT_EQ(ReadLines(failing), std::vector<std::string>{""});
  EXPECT_NE(std::ferror(failing), 0);
  std::fclose(failing);
  std::free(buffer);
}

}  // namespace
