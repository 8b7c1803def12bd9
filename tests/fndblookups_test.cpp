// What an fndb handle keeps between searches: the walk's answers with and without the name index,
// when the index is built, and the tree size the rule counts.
#include "fndbbytes.h"
#include "fndblayout.h"
#include "fndblookups.h"
#include "korvid.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

using namespace korvid;

namespace {

constexpr char kRoot[] = "C:\\texmf";

// Searches as the handle does: the lookups first, the walk when they leave the key to it.
class Searcher {
 public:
  std::string Search(const FndbView& view, const std::string& entry, const std::string& name) {
    std::string key = entry;
    if (key.empty() || !IsDirectoryDelimiter(static_cast<unsigned char>(key.back()))) key += '\\';
    std::size_t entryPart = key.size();
    key += name;
    char result[kFndbResultSize] = "";
    std::shared_ptr<const FndbIndex> index;
    FndbLookups::Outcome outcome = lookups.Begin(view, key, entryPart, result, &index);
    if (outcome == FndbLookups::Outcome::Walk) {
      std::uint64_t walked = 0;
      std::optional<std::string_view> relative = lookups.RelativeKey(key);
      bool found = relative && view.Search(*relative, result, index.get(), &walked);
      lookups.Walked(key, walked, found);
      return found ? result : "(none)";
    }
    dismissed += outcome == FndbLookups::Outcome::Dismissed;
    return outcome == FndbLookups::Outcome::Found ? result : "(none)";
  }
  FndbLookups lookups{kRoot};
  int dismissed = 0;
};

// The walk alone, with lookups that never build an index (each search has fresh ones).
std::string Walk(const FndbView& view, const std::string& entry, const std::string& name) {
  return Searcher().Search(view, entry, name);
}

// Names that repeat across directories in varying case; some directory names so long that the
// paths below them do not fit a result.
FndbTreeDirectory RandomTree(std::mt19937& random, int depth) {
  static const char* const kNames[] = {"a.tex", "B.sty", "x", "README"};
  FndbTreeDirectory directory;
  for (const char* name : kNames) {
    if (random() % 3 == 0) directory.files.push_back(random() % 2 ? name : "A.TEX");
  }
  int children = depth > 0 ? static_cast<int>(random() % 4) : 0;
  for (int i = 0; i < children; ++i) {
    FndbTreeDirectory child = RandomTree(random, depth - 1);
    child.name = "d" + std::to_string(i) + (random() % 9 == 0 ? std::string(120, 'L') : "");
    directory.subdirectories.push_back(std::move(child));
  }
  std::sort(directory.files.begin(), directory.files.end(), CaseInsensitiveLess());
  directory.files.erase(std::unique(directory.files.begin(), directory.files.end(),
                                    [](const std::string& a, const std::string& b) {
                                      return EqualIgnoringCase(a, b);
                                    }),
                        directory.files.end());
  return directory;
}

// A root of `directories - 1` subdirectories, each with the same number of files.
FndbTreeDirectory WideTree(int directories, int filesEach) {
  FndbTreeDirectory root;
  for (int d = 1; d < directories; ++d) {
    FndbTreeDirectory child{"d" + std::to_string(d), {}, {}};
    for (int f = 0; f < filesEach; ++f) child.files.push_back("f" + std::to_string(f) + ".tex");
    root.subdirectories.push_back(std::move(child));
  }
  return root;
}

FndbView ViewOf(const std::string& bytes) {
  return FndbView(bytes.data(), static_cast<std::uint32_t>(bytes.size()), kRoot);
}

}  // namespace

// Every kind of entry and name, searched again and again while the index comes: the walk's answer
// each time.
TEST(FndbLookups, AnswerAsTheWalkBeforeAndAfterTheIndex) {
  const char* entries[] = {"C:\\texmf//",       "C:\\texmf\\d0//", "c:/TEXMF/d1//",
                           "C:\\texmf\\d0\\d1//", "C:\\texmf\\d0//d1//", "C:\\texmf\\d0/",
                           "C:\\texmf\\d0",     "d1//",            "C:\\texmfx\\d0//",
                           "C:\\texmf\\none//", "",                "C:\\texmf\\d2//"};
  const std::string names[] = {"a.tex", "B.STY", "x",        "d1/a.tex",
                               "/a.tex", "none", "readme",   std::string(250, 'n')};
  std::mt19937 random(5);
  for (int seed = 0; seed < 6; ++seed) {
    SCOPED_TRACE(seed);
    FndbLayoutOptions options;
    options.namesPerRecord = seed % 2 ? 2 : 0;
    std::string bytes = LayOutFndb(RandomTree(random, 4), options);
    FndbView view = ViewOf(bytes);
    Searcher searcher;
    for (int round = 0; round < 4; ++round) {
      for (const char* entry : entries) {
        for (const std::string& name : names) {
          SCOPED_TRACE(std::to_string(round) + " '" + entry + "' '" + name + "'");
          ASSERT_EQ(searcher.Search(view, entry, name), Walk(view, entry, name));
        }
      }
    }
    EXPECT_TRUE(searcher.lookups.Indexed());
  }
}

// Searches of new names over the whole tree: no index while no entry was walked twice; then one
// once the walks have tried as many directories as the tree has, and one more for each eight
// names.
TEST(FndbLookups, IndexOnceTheWalksAddUp) {
  struct Row { int directories; int filesEach; };
  const Row rows[] = {{40, 1}, {40, 30}, {300, 2}, {10, 200}};
  for (const Row& row : rows) {
    SCOPED_TRACE(std::to_string(row.directories) + " x " + std::to_string(row.filesEach));
    std::string bytes = LayOutFndb(WideTree(row.directories, row.filesEach), {});
    FndbView view = ViewOf(bytes);
    std::uint64_t cost = row.directories * FndbLookups::kWalkedPerDirectory +
                         (row.directories - 1) * row.filesEach / FndbLookups::kNamesPerWalked;
    // The search whose start builds it: the third at the earliest, when the second walk of the
    // entry has said that the process searches again.
    std::uint64_t first = 3;
    while ((first - 1) * row.directories < cost) ++first;
    Searcher searcher;
    for (std::uint64_t search = 1; search <= first + 1; ++search) {
      SCOPED_TRACE(search);
      EXPECT_EQ(searcher.Search(view, "C:\\texmf//", "new" + std::to_string(search)), "(none)");
      EXPECT_EQ(searcher.lookups.Indexed(), search >= first);
    }
    searcher.lookups.Forget();
    EXPECT_FALSE(searcher.lookups.Indexed());
    EXPECT_EQ(searcher.Search(view, "C:\\texmf\\d1//", "f0.tex"), "C:\\texmf\\d1\\f0.tex");
    EXPECT_FALSE(searcher.lookups.Indexed());
  }
}

// One search along many entries, each walked once, however much it walks: no index.
TEST(FndbLookups, NoIndexForOneSearch) {
  std::string bytes = LayOutFndb(WideTree(200, 3), {});
  FndbView view = ViewOf(bytes);
  Searcher searcher;
  for (int repeat = 0; repeat < 3; ++repeat) {
    for (const char* entry : {"C:\\texmf//", "C:\\texmf\\d1//", "C:\\texmf\\d2//", "d3//"}) {
      searcher.Search(view, entry, "missing.tex");
      searcher.Search(view, std::string(entry) + "d9//", "missing.tex");
    }
    EXPECT_FALSE(searcher.lookups.Indexed()) << repeat;
    searcher.lookups.Forget();
  }
}

// The tree size counts every directory and name of a sound tree, and ends over records that link
// back.
TEST(FndbIndex, MeasureCountsTheTreeAndEndsOverLoops) {
  FndbTreeDirectory tree = WideTree(30, 4);
  tree.subdirectories[3].subdirectories.push_back({"deep", {"a", "b"}, {}});
  FndbLayoutOptions options;
  options.namesPerRecord = 3;
  std::string bytes = LayOutFndb(tree, options);
  FndbIndex::TreeSize size = FndbIndex::Measure(ViewOf(bytes));
  EXPECT_EQ(size.directories, CountTree(tree).directories);
  EXPECT_EQ(size.names, CountTree(tree).files);

  FndbView view = ViewOf(bytes);
  std::uint32_t root = view.RootDirectory();
  std::uint32_t first = view.FindSubDirectory(root, "d1");
  // d1 is given one subdirectory: the root, or d1 itself.
  for (std::uint32_t target : {root, first}) {
    std::string damaged = bytes;
    std::uint32_t records = first + 24 + 4 * testing_support::WordAt(bytes, first + 8);
    testing_support::SetWordAt(&damaged, first + 12, 1);  // d1 gets one subdirectory
    testing_support::SetWordAt(&damaged, records + 4, target);
    FndbIndex::TreeSize looped = FndbIndex::Measure(ViewOf(damaged));
    EXPECT_LE(looped.directories, damaged.size() / 24 + 1) << target;
  }
}

// The failed searches are keys compared without regard to case, however entry and name split them.
TEST(FndbFailedSearches, KeysWithoutRegardToCase) {
  FndbFailedSearches failed;
  failed.Insert("C:\\texmf\\tex//foo.sty");
  failed.Insert("tex");
  struct Row { const char* key; bool held; };
  const Row rows[] = {
      {"C:\\texmf\\tex//foo.sty", true}, {"c:\\TEXMF\\Tex//FOO.STY", true}, {"TEX", true},
      {"C:\\texmf\\tex\\/foo.sty", false}, {"C:\\texmf\\tex//foo.styx", false},
      {"C:\\texmf\\tex//fo", false},     {"C:\\texmf//foo.sty", false},   {"foo.sty", false},
      {"\\tex", false},                  {"", false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.key);
    EXPECT_EQ(failed.Contains(row.key), row.held);
    std::string_view key(row.key);
    std::size_t rest = FndbFailedSearches::RestStart(key);
    EXPECT_EQ(failed.Contains(failed.PartId(key.substr(0, rest), false),
                              failed.RestId(key.substr(rest), false)),
              row.held);
  }
  // Many entries with one name, and many names below one entry.
  for (int i = 0; i < 150; ++i) {
    failed.Insert("C:\\e" + std::to_string(i) + "//same.sty");
    failed.Insert("C:\\one//n" + std::to_string(i));
  }
  for (int i = 0; i < 150; ++i) {
    SCOPED_TRACE(i);
    EXPECT_TRUE(failed.Contains("c:\\E" + std::to_string(i) + "//SAME.sty"));
    EXPECT_FALSE(failed.Contains("C:\\e" + std::to_string(i) + "//n" + std::to_string(i)));
    EXPECT_TRUE(failed.Contains("C:\\one//N" + std::to_string(i)));
    EXPECT_FALSE(failed.Contains("C:\\one//same.sty"));
  }
  failed.Clear();
  EXPECT_FALSE(failed.Contains("C:\\texmf\\tex//foo.sty"));
  EXPECT_FALSE(failed.Contains("C:\\e3//same.sty"));
}

// Through the lookups, with and without the index: a miss is dismissed the second time, whether
// asked with the same entry and name or with the key split elsewhere, in another case.
TEST(FndbLookups, MissesAreDismissedWhateverTheSplit) {
  std::string bytes = LayOutFndb(WideTree(20, 3), {});
  FndbView view = ViewOf(bytes);
  struct Row { const char* entry; const char* name; const char* again; const char* againName; };
  const Row rows[] = {
      {"C:\\texmf\\d1//", "none.tex", "C:\\texmf\\d1//", "none.tex"},
      {"C:\\texmf\\d1//", "n2.tex", "C:\\TEXMF", "D1//N2.TEX"},
      {"C:\\texmf", "d2//n3.tex", "c:\\texmf\\d2//", "n3.tex"},
      {"C:\\texmf\\d3", "sub\\n4.tex", "C:\\texmf\\d3\\sub\\", "N4.tex"},
  };
  for (bool indexed : {false, true}) {
    Searcher searcher;
    if (indexed) searcher.lookups.BuildIndexNow(view);
    for (const Row& row : rows) {
      SCOPED_TRACE(std::string(row.entry) + " " + row.name + (indexed ? " indexed" : ""));
      int before = searcher.dismissed;
      EXPECT_EQ(searcher.Search(view, row.entry, row.name), "(none)");
      EXPECT_EQ(searcher.dismissed, before);
      EXPECT_EQ(searcher.Search(view, row.again, row.againName), "(none)");
      EXPECT_EQ(searcher.dismissed, before + 1);
      EXPECT_EQ(searcher.Search(view, row.again, std::string(row.againName) + "x"), "(none)");
      EXPECT_EQ(searcher.dismissed, before + 1);
    }
    EXPECT_EQ(searcher.Search(view, "C:\\texmf\\d1//", "F0.TEX"), "C:\\texmf\\d1\\F0.TEX");
  }
}
