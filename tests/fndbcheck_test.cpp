// Comparing an fndb with a tree: in-memory databases against in-memory trees.
#include "fndbbuilder.h"
#include "fndbcheck.h"
#include "fndbview.h"
#include "fndbbytes.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace korvid;
using List = std::vector<std::string>;

TEST(FndbCheck, ListsWhatIsGoneAndWhatIsNotListed) {
  const FndbTreeDirectory listed{
      "", {"README", "texmf.fndb"}, {{"tex", {"a.sty", "B.sty"}, {{"sub", {"c.tex"}, {}}}}}};
  struct Row {
    const char* what;
    FndbTreeDirectory disk;
    List ignored;
    List gone;
    List unlisted;
  };
  const Row rows[] = {
      {"the same files", listed, {}, {}, {}},
      {"letter case differs", {"", {"readme", "TEXMF.FNDB"}, {{"TEX", {"A.sty", "b.STY"},
                                                                {{"Sub", {"C.tex"}, {}}}}}},
       {}, {}, {}},
      {"a file gone, one new, in order of paths",
       {"", {"README", "texmf.fndb", "z"}, {{"tex", {"B.sty", "new.sty"}, {{"sub", {}, {}}}}}},
       {}, {"tex\\a.sty", "tex\\sub\\c.tex"}, {"tex\\new.sty", "z"}},
      {"a directory gone and one new",
       {"", {"README", "texmf.fndb"}, {{"new", {"x"}, {}}}}, {},
       {"tex\\a.sty", "tex\\B.sty", "tex\\sub\\c.tex"}, {"new\\x"}},
      {"the ignored database on neither side", {"", {"README"}, {{"tex", {"a.sty", "B.sty"},
                                                                  {{"sub", {"c.tex"}, {}}}}}},
       {"TEXMF.fndb"}, {}, {}},
  };
  std::string bytes = LayOutFndb(listed, {});
  FndbView view(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    FndbComparison comparison = CompareFndbWithTree(view, row.disk, row.ignored);
    EXPECT_TRUE(comparison.intact);
    EXPECT_EQ(comparison.gone, row.gone);
    EXPECT_EQ(comparison.unlisted, row.unlisted);
    EXPECT_EQ(comparison.Current(), row.gone.empty() && row.unlisted.empty());
  }
}

TEST(FndbCheck, DamagedDatabaseIsNeverCurrent) {
  FndbTreeDirectory tree{"", {"a"}, {{"d", {"b"}, {}}}};
  std::string bytes = LayOutFndb(tree, {});
  testing_support::SetWordAt(&bytes, 40 + 24 + 8, 40);  // d's record is the root: a loop
  FndbView view(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
  FndbComparison comparison = CompareFndbWithTree(view, {"", {"a"}, {}}, {});
  EXPECT_FALSE(comparison.intact);
  EXPECT_FALSE(comparison.Current());
}
