// Pattern expansion over supplied roots, home and working directories, apart from the library.
#include "core.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

using namespace korvid;

namespace {

class FixedSources : public SearchPathSources {
 public:
  std::vector<std::string> roots;
  std::string home;
  std::vector<std::string> directories;
  int asked = 0;

  unsigned RootCount() override {
    ++asked;
    return static_cast<unsigned>(roots.size());
  }
  bool Root(unsigned index, char* buffer) override {
    std::strcpy(buffer, roots[index].c_str());
    return true;
  }
  void Home(char* buffer) override {
    ++asked;
    std::strcpy(buffer, home.c_str());
  }
  bool WorkingDirectory(unsigned index, char* buffer) override {
    ++asked;
    if (index >= directories.size()) return false;
    std::strcpy(buffer, directories[index].c_str());
    return true;
  }
};

TEST(SearchPattern, ElementsExpandOverTheSuppliedSources) {
  const std::string longName(258, 'n');  // 261 characters: one too many
  struct Row {
    std::string pattern;
    std::string home;
    std::vector<std::string> expected;
    bool asksSources;
  };
  const Row rows[] = {
      {"%R\\tex//", "C:\\home", {"C:\\a\\tex//", "D:\\b\\tex//"}, true},
      {"%R/x;%R\\x", "C:\\home", {"C:\\a\\x", "D:\\b\\x"}, true},
      {"~\\x;~y", "C:\\home", {"C:\\home\\x", "C:\\home\\y"}, true},
      {"~\\x", "C:\\", {"C:\\\\x"}, true},
      {"~", "relative", {}, true},
      {"rel;.", "C:\\home", {"C:\\cwd\\rel", "D:\\w\\rel", "C:\\cwd", "D:\\w\\"}, true},
      {"C:/x;c:\\X;C:\\y", "C:\\home", {"C:\\x", "C:\\y"}, false},
      {"C:\\" + longName + ";C:\\z", "C:\\home", {"C:\\z"}, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.pattern);
    FixedSources sources;
    sources.roots = {"C:\\a", "D:\\b\\"};
    sources.home = row.home;
    sources.directories = {"C:\\cwd", "D:\\w\\"};
    SearchPathList list;
    AppendSearchPath(list, row.pattern.c_str(), sources);
    EXPECT_EQ(list, row.expected);
    EXPECT_EQ(sources.asked > 0, row.asksSources);
  }
}

// "%R//" is any depth below each root, as "//" is after a folder, and a root's text is never
// expanded as a pattern again (a root holding "%R" would otherwise be joined with itself until its
// entries grow too long).
TEST(SearchPattern, RootsFollowedByTheMarkerAndRootsHoldingThePlaceholder) {
  struct Row {
    const char* pattern;
    std::vector<std::string> roots;
    std::vector<std::string> expected;
  };
  const Row rows[] = {
      {"%R//", {"C:\\a", "D:\\b\\"}, {"C:\\a//", "D:\\b//"}},
      {"%R///", {"C:\\a"}, {"C:\\a//\\"}},
      {"%R//tex;%R\\tex//", {"C:\\a"}, {"C:\\a//tex", "C:\\a\\tex//"}},
      {"%R//", {"C:\\", "\\\\server\\share\\"}, {"C://", "\\\\server\\share//"}},
      {"%R\\x", {"%R\\r"}, {"C:\\cwd\\%R\\r\\x", "D:\\w\\%R\\r\\x"}},
      {"%R//", {"%R\\r"}, {"C:\\cwd\\%R\\r//", "D:\\w\\%R\\r//"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.pattern);
    FixedSources sources;
    sources.roots = row.roots;
    sources.directories = {"C:\\cwd", "D:\\w\\"};
    SearchPathList list;
    AppendSearchPath(list, row.pattern, sources);
    EXPECT_EQ(list, row.expected);
  }
}

}  // namespace
