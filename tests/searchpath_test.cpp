// Search-path expansion: roots, home, relative elements, duplicates and the cache.
#include "internal.h"
#include "library_fixture.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace korvid;
using testing_support::Entries;
using testing_support::ScopedEnvironment;
using List = std::vector<std::string>;

namespace {

class SearchPath : public testing_support::LibraryTest {};

}  // namespace

TEST_F(SearchPath, LauncherPatternOverTwoRoots) {
  Start("C:\\r0;D:\\r1");
  List expected;
  for (const char* tree : {"context", "korvid", "nts", "pdftex", "psutils", "source", "tex"}) {
    expected.push_back(std::string("C:\\r0\\") + tree + "//");
    expected.push_back(std::string("D:\\r1\\") + tree + "//");
  }
  EXPECT_EQ(Entries("%R/context//;%R/korvid//;%R/nts//;%R/pdftex//;%R/psutils//;%R/source//;%R/tex//"),
            expected);
}

TEST_F(SearchPath, RootsEndingInASeparatorGetNoSecondOne) {
  Start("C:\\r0\\;D:/r1/");
  EXPECT_EQ(Entries("%R\\korvid\\config"), (List{"C:\\r0\\korvid\\config", "D:/r1/korvid\\config"}));
}

TEST_F(SearchPath, CacheIsCaseInsensitiveAndKeepsTheFirstList) {
  Start("C:\\r0");
  auto first = ExpandSearchPath("%R/TEX//");
  auto second = ExpandSearchPath("%R/tex//");
  EXPECT_EQ(first.get(), second.get());
  EXPECT_EQ(*second, List{"C:\\r0\\TEX//"});
  EXPECT_EQ(ExpandSearchPath("%R/TEX//").get(), first.get());
}

TEST_F(SearchPath, LowerCaseRIsRelative) {
  Start("C:\\r0");
  EXPECT_EQ(Entries("%r\\tex"), List{folder.Path() + "\\%r\\tex"});
}

TEST_F(SearchPath, DuplicatesAreDropped) {
  Start("C:\\r0");
  EXPECT_EQ(Entries("C:\\a;c:/A;C:\\a\\;C:\\A\\"), (List{"C:\\a", "C:\\a\\"}));
}

TEST_F(SearchPath, EmptyElementsAndDots) {
  Start("C:\\r0");
  ASSERT_TRUE(AddWorkingDirectory("C:\\w", true));
  const std::string here = folder.Path();
  EXPECT_EQ(Entries("a;;b"), (List{here + "\\a", "C:\\w\\a", here + "\\", "C:\\w\\", here + "\\b",
                                   "C:\\w\\b"}));
  EXPECT_EQ(Entries("a;"), (List{here + "\\a", "C:\\w\\a"}));
  EXPECT_EQ(Entries("."), (List{here, "C:\\w"}));
  EXPECT_EQ(Entries(""), List{});
  EXPECT_EQ(Entries(";"), (List{here + "\\", "C:\\w\\"}));
}

TEST_F(SearchPath, RelativeElementBelowADriveRoot) {
  Start("C:\\r0");
  ASSERT_TRUE(AddWorkingDirectory("C:\\", true));
  EXPECT_EQ(Entries("x").back(), "C:\\x");
}

TEST_F(SearchPath, NoRootsNoEntries) {
  Start(";");
  capture.Clear();
  EXPECT_EQ(Entries("%R\\tex;%R/korvid//"), List{});
  EXPECT_TRUE(capture.HasText("no TEXMF roots configured"));
}

TEST_F(SearchPath, Home) {
  ScopedEnvironment drive("HOMEDRIVE", nullptr);
  ScopedEnvironment home("HOME", "C:\\home");
  Start("C:\\r0");
  EXPECT_EQ(Entries("~"), List{"C:\\home"});
  EXPECT_EQ(Entries("~\\texmf"), List{"C:\\home\\texmf"});
  EXPECT_EQ(Entries("~texmf"), List{"C:\\home\\texmf"});
  EXPECT_EQ(Entries("~/texmf//"), List{"C:\\home\\texmf//"});
}

TEST_F(SearchPath, HomeThatIsNotAbsoluteIsRefused) {
  ScopedEnvironment drive("HOMEDRIVE", nullptr);
  ScopedEnvironment home("HOME", "relative\\home");
  Start("C:\\r0");
  capture.Clear();
  EXPECT_EQ(Entries("~\\texmf;C:\\x"), List{"C:\\x"});
  EXPECT_EQ(capture.Texts(), List{"cannot expand ~: 'relative\\home' is not fq"});
}

TEST_F(SearchPath, LeadingDoubleSlashIsANetworkName) {
  Start("C:\\r0");
  EXPECT_EQ(Entries("//server/share//"), List{"\\\\server\\share//"});
}

TEST_F(SearchPath, NewWorkingDirectoryClearsTheCache) {
  Start("C:\\r0");
  auto before = ExpandSearchPath("sub");
  EXPECT_EQ(*before, List{folder.Path() + "\\sub"});
  ASSERT_TRUE(AddWorkingDirectory("C:\\w", false));
  auto after = ExpandSearchPath("sub");
  EXPECT_EQ(*after, (List{folder.Path() + "\\sub", "C:\\w\\sub"}));
  EXPECT_EQ(*before, List{folder.Path() + "\\sub"});  // a list handed out stays valid
}

TEST_F(SearchPath, EntriesBeyondTheirSlotAreDropped) {
  Start("C:\\r0");
  std::string longElement = "C:\\" + std::string(258, 'x');  // 261 characters
  std::string fits = "C:\\" + std::string(257, 'y');         // 260 characters
  EXPECT_EQ(Entries((longElement + ";" + fits).c_str()), List{fits});
  std::string longRelative(300, 'r');
  EXPECT_EQ(Entries(longRelative.c_str()), List{});
}

// A root that begins with the root placeholder is joined once and then read as a relative path.
TEST_F(SearchPath, RootsHoldingThePlaceholderAreExpandedOnce) {
  Start("%R\\a;%R\\b;C:\\r");
  const std::string here = folder.Path();
  EXPECT_EQ(Entries("%R/tex//;%R\\korvid\\config"),
            (List{here + "\\%R\\a\\tex//", here + "\\%R\\b\\tex//", "C:\\r\\tex//",
                  here + "\\%R\\a\\korvid\\config", here + "\\%R\\b\\korvid\\config",
                  "C:\\r\\korvid\\config"}));
}
