// The file search: order of places, the disk walk, and the working-directory shortcuts.
#include "fndbbuilder.h"
#include "fndbcheck.h"
#include "fndbview.h"
#include "internal.h"
#include "library_fixture.h"
#include "reference_walk.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <random>
#include <string>
#include <vector>

using namespace korvid;
using testing_support::TestFolder;
using List = std::vector<std::string>;

namespace {

constexpr char kLauncherPattern[] =
    "%R/context//;%R/korvid//;%R/nts//;%R/pdftex//;%R/psutils//;%R/source//;%R/tex//";

class FindFiles : public testing_support::LibraryTest {
 protected:
  std::string Find(const char* name, const char* pattern) {
    char result[kMaxPath];
    return FindFile(name, pattern, result) ? std::string(result) : std::string("(not found)");
  }
  // Two roots without fndb below the test folder.
  void StartTwoRoots() {
    r0 = folder.MakeDirectory("r0");
    r1 = folder.MakeDirectory("r1");
    Start(r0 + ";" + r1);
  }
  std::string r0, r1;
};

}  // namespace

TEST_F(FindFiles, ContextBeforeTex) {
  StartTwoRoots();
  folder.Write("r0\\tex\\generic\\foo.pl", "");
  std::string context = folder.Write("r0\\context\\perl\\foo.pl", "");
  EXPECT_EQ(Find("foo.pl", kLauncherPattern), context);
}

TEST_F(FindFiles, SecondRootsContextBeforeFirstRootsKorvid) {
  StartTwoRoots();
  folder.Write("r0\\korvid\\scripts\\foo.pl", "");
  std::string second = folder.Write("r1\\context\\foo.pl", "");
  EXPECT_EQ(Find("foo.pl", kLauncherPattern), second);
}

TEST_F(FindFiles, DirectHitBeforeDeeperOnes) {
  StartTwoRoots();
  folder.Write("r0\\tex\\a\\b\\x.sty", "");
  std::string direct = folder.Write("r0\\tex\\x.sty", "");
  EXPECT_EQ(Find("x.sty", "%R/tex//"), direct);
  EXPECT_EQ(Find("b\\x.sty", "%R/tex//"), r0 + "\\tex\\a\\b\\x.sty");
  EXPECT_EQ(Find("x.sty", "%R/tex/a//"), r0 + "\\tex\\a\\b\\x.sty");
  EXPECT_EQ(Find("x.sty", "%R//"), direct);  // any depth below the root
}

TEST_F(FindFiles, TwoLevelsDownAndInnerMarkers) {
  StartTwoRoots();
  std::string deep = folder.Write("r1\\tex\\latex\\base\\deep.cls", "");
  EXPECT_EQ(Find("deep.cls", "%R/tex//"), deep);
  EXPECT_EQ(Find("base//deep.cls", "%R\\tex//"), deep);
  EXPECT_EQ(Find("deep.cls", "%R/tex"), "(not found)");
}

TEST_F(FindFiles, TracesEachCandidate) {
  StartTwoRoots();
  SetTraceOptions("error,filesearch");
  folder.MakeDirectory("r0\\tex\\sub");
  capture.Clear();
  EXPECT_EQ(Find("none.tex", "%R/tex//"), "(not found)");
  List trying;
  for (const std::string& text : capture.Texts()) {
    if (text.rfind("trying ", 0) == 0) trying.push_back(text);
  }
  EXPECT_EQ(trying, (List{"trying " + r0 + "\\tex\\none.tex...",
                          "trying " + r0 + "\\tex\\sub\\none.tex...",
                          "trying " + r1 + "\\tex\\none.tex..."}));
  // r1 has no tex directory: its enumeration is reported, and the search goes on.
  EXPECT_EQ(capture.CountContaining("Info: " + r1 + "\\tex\\*"), 1);
}

TEST_F(FindFiles, MissingDirectoryIsReportedAndPassedOver) {
  StartTwoRoots();
  std::string found = folder.Write("r1\\tex\\y.tex", "");
  capture.Clear();
  EXPECT_EQ(Find("y.tex", "%R/nothere//;%R/tex//"), found);
  EXPECT_EQ(capture.CountContaining("Info: " + r0 + "\\nothere\\*"), 1);
  EXPECT_EQ(capture.CountContaining("Info: " + r1 + "\\nothere\\*"), 1);
}

TEST_F(FindFiles, AbsoluteNamesAreOnlyTested) {
  StartTwoRoots();
  std::string file = folder.Write("abs.txt", "");
  EXPECT_EQ(Find(file.c_str(), "%R//"), file);
  EXPECT_EQ(Find(r0.c_str(), "%R//"), "(not found)");  // a directory does not count
  EXPECT_EQ(Find(folder.Join("none.txt").c_str(), "."), "(not found)");
}

TEST_F(FindFiles, CurrentDirectoryGivesTheNameAsPassed) {
  StartTwoRoots();
  folder.Write("sub\\here.txt", "");
  EXPECT_EQ(Find("sub\\here.txt", "."), "sub\\here.txt");
  EXPECT_EQ(Find("sub/here.txt", folder.Path().c_str()), "sub/here.txt");
}

TEST_F(FindFiles, WorkingDirectoryGivesAFullPath) {
  StartTwoRoots();
  std::string work = folder.MakeDirectory("work");
  std::string file = folder.Write("work\\w.txt", "");
  ASSERT_TRUE(AddWorkingDirectory(work.c_str(), true));
  EXPECT_EQ(Find("w.txt", work.c_str()), file);
  EXPECT_EQ(Find("w.txt", "."), file);  // "." expands to the working directories too
}

TEST_F(FindFiles, DiskOnlySearch) {
  StartTwoRoots();
  std::string fndb1 = folder.Write("r1\\korvid\\config\\texmf0.fndb", "x");
  char result[kMaxPath];
  ASSERT_TRUE(FindFileOnDisk("texmf0.fndb", "%R\\korvid\\config", result));
  EXPECT_EQ(std::string(result), fndb1);
  EXPECT_FALSE(FindFileOnDisk("texmf1.fndb", "%R\\korvid\\config", result));
}

TEST_F(FindFiles, OverlongNamesAreNotFound) {
  StartTwoRoots();
  std::string name(300, 'n');
  EXPECT_EQ(Find(name.c_str(), "%R/tex//;."), "(not found)");
  std::string absolute = "C:\\" + name;
  EXPECT_EQ(Find(absolute.c_str(), "."), "(not found)");
}

// Network roots, home and working directory: a tree named like the share lies at the root of the
// current drive, where a walk that took the leading pair for the marker would look first.
TEST_F(FindFiles, NetworkNamesAreSearchedOnTheShareOnly) {
  const std::string planted = "\\kvtest-unc";
  struct Planted {
    std::string path;
    ~Planted() { testing_support::RemoveTree(path); }
  } cleanup{planted};
  for (const char* file : {"\\share\\tex\\foo.pl", "\\share\\korvid\\config\\texmf0.fndb",
                           "\\share\\korvid\\config\\texmf.fndb", "\\home\\texmf\\foo.pl",
                           "\\work\\tex\\foo.pl"}) {
    testing_support::WriteFileBytes(planted + file, "x");
  }
  testing_support::ScopedEnvironment noHomeDrive("HOMEDRIVE", nullptr);
  testing_support::ScopedEnvironment noHomePath("HOMEPATH", nullptr);
  testing_support::ScopedEnvironment home("HOME", "//kvtest-unc/home");
  // A relative pattern is tried below the current directory first, then below the working one.
  struct Row { const char* root; const char* work; const char* pattern; const char* tried; };
  const Row rows[] = {
      {"//kvtest-unc/share", "", "%R/tex//", "//kvtest-unc/share\\tex\\foo.pl"},
      {"\\\\kvtest-unc\\share", "", "%R/tex//", "\\\\kvtest-unc\\share\\tex\\foo.pl"},
      {"//kvtest-unc\\share", "", "%R/tex//", "//kvtest-unc\\share\\tex\\foo.pl"},
      {"C:\\kvtest-none", "", "~/texmf//", "//kvtest-unc/home\\texmf\\foo.pl"},
      {"C:\\kvtest-none", "//kvtest-unc/work", "tex//", "//kvtest-unc/work\\tex\\foo.pl"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.root) + " " + row.pattern);
    Start(row.root);
    if (row.work[0] != '\0') {
      ASSERT_TRUE(AddWorkingDirectory(row.work, true));
    }
    SetTraceOptions("error,filesearch,fndb");
    capture.Clear();
    EXPECT_EQ(Find("foo.pl", row.pattern), "(not found)");
    List trying;
    for (const std::string& text : capture.Texts()) {
      if (text.rfind("trying ", 0) == 0) trying.push_back(text);
    }
    List expected;
    if (row.work[0] != '\0') expected.push_back("trying " + folder.Join("tex\\foo.pl") + "...");
    expected.push_back(std::string("trying ") + row.tried + "...");
    EXPECT_EQ(trying, expected);
    char fndb[kRootBufferSize];
    EXPECT_FALSE(GetFndbFileName(0, fndb));
    Stop();
  }
}

namespace {

class FndbSearch : public FindFiles {
 protected:
  void Build(const std::string& root) {
    FndbBuildOptions options;
    options.root = root;
    FndbBuildResult result;
    ASSERT_TRUE(BuildFndb(options, &result)) << result.error;
  }
};

}  // namespace

TEST_F(FndbSearch, ScriptThroughTheFndb) {
  r0 = folder.MakeDirectory("r0");
  std::string script = folder.Write("r0\\scripts\\..\\tex\\x\\foo.pl", "");
  Build(r0);
  Start(r0);
  SetTraceOptions("error,fndb,filesearch");
  capture.Clear();
  EXPECT_EQ(Find("foo.pl", kLauncherPattern), r0 + "\\tex\\x\\foo.pl");
  EXPECT_EQ(capture.CountContaining("trying "), 0);  // the disk is not walked
  EXPECT_EQ(capture.CountContaining("found '" + r0 + "\\tex\\x\\foo.pl' in fndb"), 1);
  EXPECT_EQ(Find("foo.pl", "%R//"), r0 + "\\tex\\x\\foo.pl");
}

TEST_F(FndbSearch, FileTheFndbDoesNotListIsNotFoundThere) {
  r0 = folder.MakeDirectory("r0");
  r1 = folder.MakeDirectory("r1");
  Build(r0);
  folder.Write("r0\\tex\\new.sty", "");  // after the database was made
  std::string other = folder.Write("r1\\tex\\new.sty", "");
  Start(r0 + ";" + r1);
  EXPECT_EQ(Find("new.sty", "%R/tex//"), other);
}

TEST_F(FndbSearch, StaleEntryIsReportedAndTheSearchGoesOn) {
  r0 = folder.MakeDirectory("r0");
  r1 = folder.MakeDirectory("r1");
  std::string gone = folder.Write("r0\\tex\\gone.sty", "");
  std::string alsoGone = folder.Write("r0\\tex\\gone2.sty", "");
  Build(r0);
  DeleteFileA(gone.c_str());
  DeleteFileA(alsoGone.c_str());
  std::string other = folder.Write("r1\\tex\\gone.sty", "");
  Start(r0 + ";" + r1);
  capture.Clear();
  EXPECT_EQ(Find("gone.sty", "%R/tex//"), other);
  EXPECT_EQ(Find("gone2.sty", "%R/tex//"), "(not found)");
  List texts = capture.Texts();
  EXPECT_EQ(capture.CountContaining("found '" + gone + "' in fndb, but the file does not exist"), 1);
  EXPECT_EQ(capture.CountContaining("found '" + alsoGone + "' in fndb, but the file does not exist"),
            1);
  EXPECT_EQ(capture.CountContaining("the file name database is out-of-date"), 1);
  EXPECT_EQ(capture.CountContaining("internal error in 'lib/findfile'"), 2);
}

// The local root's fndb held by another process that shares reading only: the root is still
// searched through its fndb, read-only, and nothing is reported.
TEST_F(FndbSearch, HeldLocalFndbIsReadNotPassedOver) {
  r0 = folder.MakeDirectory("r0");
  std::string listed = folder.Write("r0\\tex\\listed.sty", "");
  Build(r0);
  folder.Write("r0\\tex\\unlisted.sty", "");  // on the disk only
  std::string fndbPath = r0 + "\\korvid\\config\\texmf.fndb";
  HANDLE holder = CreateFileA(fndbPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  Start(r0, "", r0);
  SetTraceOptions("error,fndb,filesearch");
  capture.Clear();
  EXPECT_EQ(Find("listed.sty", "%R/tex//"), listed);
  EXPECT_EQ(Find("unlisted.sty", "%R/tex//"), "(not found)");
  EXPECT_TRUE(capture.HasText("loading " + fndbPath + "..."));
  EXPECT_EQ(capture.CountContaining("trying "), 0);
  EXPECT_EQ(capture.CountContaining("error"), 0);
  EXPECT_EQ(capture.CountContaining("cannot load"), 0);
  Stop();
  CloseHandle(holder);
}

TEST_F(FndbSearch, ReferencesAreReleasedAfterEachEntry) {
  r0 = folder.MakeDirectory("r0");
  folder.Write("r0\\tex\\a.sty", "");
  Build(r0);
  Start(r0);
  EXPECT_EQ(Find("a.sty", "%R/tex//"), r0 + "\\tex\\a.sty");
  EXPECT_EQ(Find("b.sty", "%R/tex//"), "(not found)");
  EXPECT_TRUE(UnloadFndbs());
}

// Searches after the first through the fndbs of two roots along the launcher's pattern: whether
// the handles walk or answer from the name index they build after a few searches, each search
// writes the same lines, entry by entry: "searching", then "dismissing search" for a miss repeated,
// and "found" for the hit, which ends the search.
TEST_F(FndbSearch, SearchesTraceAlikeBeforeAndAfterTheIndex) {
  r0 = folder.MakeDirectory("r0");
  r1 = folder.MakeDirectory("r1");
  for (const char* root : {"r0", "r1"}) {
    for (const char* tree : {"context", "korvid", "nts", "pdftex", "psutils", "source", "tex"}) {
      folder.Write(std::string(root) + "\\" + tree + "\\pkg\\a-" + tree + ".sty", "");
    }
  }
  std::string target = folder.Write("r1\\tex\\deep\\deeper\\Target.sty", "");
  Build(r0);
  Build(r1);
  Start(r0 + ";" + r1);
  SetTraceOptions("error,fndb");
  const List entries = testing_support::Entries(kLauncherPattern);
  ASSERT_EQ(entries.size(), 14u);
  List handles;  // the fndb of each entry, as the lines name it
  for (const std::string& entry : entries) {
    char text[32];
    std::snprintf(text, sizeof text, "%p", static_cast<void*>(GetFndbForPath(entry.c_str()).get()));
    handles.push_back(text);
  }
  auto lines = [&](const std::string& name, bool again, std::size_t hit) {
    List expected;
    for (std::size_t i = 0; i < entries.size(); ++i) {
      expected.push_back("searching '" + entries[i] + name + "' via fndb " + handles[i]);
      if (i == hit) {
        expected.push_back("found '" + target + "' in fndb " + handles[i]);
        break;
      }
      if (again) expected.push_back("dismissing search");
    }
    return expected;
  };
  for (int round = 0; round < 8; ++round) {
    SCOPED_TRACE(round);
    std::string missing = "missing" + std::to_string(round) + ".sty";
    for (bool again : {false, true}) {
      capture.Clear();
      EXPECT_EQ(Find(missing.c_str(), kLauncherPattern), "(not found)");
      EXPECT_EQ(capture.Texts(), lines(missing, again, entries.size()));
    }
    capture.Clear();
    EXPECT_EQ(Find("Target.sty", kLauncherPattern), target);
    EXPECT_EQ(capture.Texts(), lines("Target.sty", round > 0, entries.size() - 1));
  }
  EXPECT_TRUE(UnloadFndbs());
}

namespace {

// The files of a pseudo-random tree below root\tex and root\source: folders up to four deep, the
// same names in several of them, names in mixed case; the relative paths of the files.
List MakeRandomTree(TestFolder& folder, unsigned seed) {
  std::mt19937 random(seed);
  const char* folderNames[] = {"a", "B", "cc", "Deep", "e-1", "sub"};
  const char* fileNames[] = {"f0.sty", "F1.STY", "f2.tex", "x.pl", "same.sty"};
  List files;
  List folders = {"r0\\tex", "r0\\source"};
  for (std::size_t i = 0; i < folders.size() && folders.size() < 40; ++i) {
    if (std::count(folders[i].begin(), folders[i].end(), '\\') > 4) continue;
    for (unsigned n = random() % 4; n > 0; --n) {
      std::string child = folders[i] + "\\" + folderNames[random() % 6];
      if (std::find(folders.begin(), folders.end(), child) == folders.end()) folders.push_back(child);
    }
  }
  for (const std::string& directory : folders) {
    folder.MakeDirectory(directory);
    for (unsigned n = random() % 3; n > 0; --n) {
      std::string file = directory + "\\" + fileNames[random() % 5];
      if (!testing_support::Exists(folder.Join(file))) files.push_back(file);
      folder.Write(file, "");
    }
  }
  return files;
}

struct Outcome {
  std::string found;
  ErrorCode error;
  List trying;
  bool operator==(const Outcome&) const = default;
};

void PrintTo(const Outcome& outcome, std::ostream* out) {
  *out << outcome.found << " (error " << static_cast<int>(outcome.error) << ", "
       << outcome.trying.size() << " candidates)";
}

}  // namespace

// The search from folder listings against the search that tests each candidate on the disk.
TEST_F(FindFiles, SameAnswersAsTestingEachCandidate) {
  const char* patterns[] = {"%R/tex//", "%R///", "%R/tex//sub//", "%R/nothere//;%R/source//",
                            "%R/tex//B"};
  const char* names[] = {"f0.sty", "f1.sty", "SAME.sty", "x.pl", "none.sty", "sub\\f2.tex",
                         "b/x.pl", "f0.sty.", "nul", "F~1.STY", "f*.sty",
                         // names the system resolves or trims before it looks them up
                         "nothere\\..\\f0.sty", "f2.tex\\.", ".\\x.pl", "F1.STY\\"};
  for (unsigned seed : {1u, 2u, 3u}) {
    TestFolder trees;
    MakeRandomTree(trees, seed);
    Stop();
    Start(trees.Join("r0"));
    SetTraceOptions("filesearch");
    for (const char* pattern : patterns) {
      for (const char* name : names) {
        SCOPED_TRACE(std::to_string(seed) + " " + pattern + " " + name);
        auto search = [&](auto find) {
          capture.Clear();
          char result[kMaxPath];
          Outcome outcome{find(name, pattern, result) ? result : "(not found)",
                          GetLastErrorRecord().code, {}};
          for (const std::string& text : capture.Texts()) {
            if (text.rfind("trying ", 0) == 0) outcome.trying.push_back(text);
          }
          return outcome;
        };
        ClearSearchPathCache();
        Outcome reference = search(testing_support::reference::FindFileOnDisk);
        ClearSearchPathCache();
        EXPECT_EQ(search(FindFileOnDisk), reference);
        Outcome again = search(FindFileOnDisk);  // from what the first search read
        EXPECT_EQ(again.found, reference.found);
        EXPECT_EQ(again.error, reference.error);
      }
    }
  }
}

// Folder listings are kept: a search again reads no folder, yet sees files made or deleted since.
TEST_F(FindFiles, RepeatedSearchesAndChangesOnTheDisk) {
  StartTwoRoots();
  SetTraceOptions("filesearch");
  std::string deep = folder.Write("r0\\tex\\a\\b\\deep.sty", "");
  folder.Write("r0\\tex\\c\\other.sty", "");
  EXPECT_EQ(Find("deep.sty", "%R/tex//"), deep);
  capture.Clear();
  EXPECT_EQ(Find("deep.sty", "%R/tex//"), deep);
  EXPECT_EQ(capture.Texts(), List{"trying " + deep + "..."});

  struct Row {
    const char* what;
    const char* make;    // written before the search
    const char* remove;  // deleted before the search
    const char* name;
    const char* expected;  // relative to the test folder
  };
  const Row rows[] = {
      {"a file made after a miss", "r0\\tex\\c\\new.sty", nullptr, "new.sty", "r0\\tex\\c\\new.sty"},
      {"in a new folder", "r1\\tex\\n\\m\\late.sty", nullptr, "late.sty", "r1\\tex\\n\\m\\late.sty"},
      {"a hit deleted", nullptr, "r0\\tex\\a\\b\\deep.sty", "deep.sty", nullptr},
      {"a copy made after the hit", "r0\\tex\\other.sty", nullptr, "other.sty",
       "r0\\tex\\c\\other.sty"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    Find(row.name, "%R/tex//");  // what the search remembers
    if (row.make != nullptr) folder.Write(row.make, "");
    if (row.remove != nullptr) DeleteFileA(folder.Join(row.remove).c_str());
    EXPECT_EQ(Find(row.name, "%R/tex//"),
              row.expected != nullptr ? folder.Join(row.expected) : "(not found)");
  }
  // The copy nearer the top is found once the caches are cleared.
  ClearSearchPathCache();
  EXPECT_EQ(Find("other.sty", "%R/tex//"), r0 + "\\tex\\other.sty");
}

namespace {

// Trees with directory links below root r0 and folders beside it. Folders are enumerated in name
// order (as the system and wine list them); the tests rely on it to meet one link before another.
class LinkTrees : public FndbSearch {
 protected:
  void TearDown() override {
    testing_support::RemoveTree(folder.Join("r0"));  // the links before what they lead to
    FndbSearch::TearDown();
  }
  // Both relative to the test folder.
  bool Link(const std::string& link, const std::string& target) {
    return testing_support::MakeDirectoryLink(folder.Join(link), folder.Join(target));
  }
};

// A root whose korvid\scripts folder is a link to a folder outside it, a link beside a real folder,
// and two links back up (a loop).
class LinkedTree : public LinkTrees {
 protected:
  void SetUp() override {
    LinkTrees::SetUp();
    r0 = folder.MakeDirectory("r0");
    folder.Write("outside\\scripts\\tool.pl", "");
    folder.Write("r0\\tex\\real\\s.sty", "");
    folder.Write("r0\\tex\\loop\\l.sty", "");
    folder.MakeDirectory("r0\\korvid");
    if (!Link("r0\\korvid\\scripts", "outside\\scripts") ||
        !Link("r0\\tex\\beside", "r0\\tex\\real") ||
        !Link("r0\\tex\\loop\\self", "r0\\tex\\loop") || !Link("r0\\tex\\loop\\up", "r0")) {
      GTEST_SKIP() << "no directory links here";
    }
  }
};

}  // namespace

TEST_F(LinkedTree, FoundThroughTheFndbAndOnDiskAlike) {
  FndbBuildOptions options;
  options.root = r0;
  FndbBuildResult built;
  ASSERT_TRUE(BuildFndb(options, &built)) << built.error;
  std::sort(built.warnings.begin(), built.warnings.end());
  const std::string loop = "not following the link '" + r0 + "\\tex\\loop\\";
  EXPECT_EQ(built.warnings, (List{loop + "self': it leads back into a directory above it",
                                  loop + "up': it leads back into a directory above it"}));
  Start(r0);
  SetTraceOptions("filesearch");
  struct Row {
    const char* name;
    const char* pattern;
    List expected;  // relative to the root, any of them
  };
  const Row rows[] = {
      {"tool.pl", kLauncherPattern, {"korvid\\scripts\\tool.pl"}},
      {"s.sty", "%R/tex//", {"tex\\real\\s.sty", "tex\\beside\\s.sty"}},
      {"s.sty", "%R/tex/beside", {"tex\\beside\\s.sty"}},
      {"l.sty", "%R/tex//", {"tex\\loop\\l.sty"}},
      {"none.sty", "%R/tex//", {}},
      {"none.sty", "%R/korvid//", {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.name) + " " + row.pattern);
    List expected;
    for (const std::string& path : row.expected) expected.push_back(r0 + "\\" + path);
    if (expected.empty()) expected.push_back("(not found)");
    char result[kMaxPath];
    std::string onDisk = FindFileOnDisk(row.name, row.pattern, result) ? result : "(not found)";
    EXPECT_NE(std::find(expected.begin(), expected.end(), onDisk), expected.end()) << onDisk;
    std::string throughFndb = Find(row.name, row.pattern);
    EXPECT_NE(std::find(expected.begin(), expected.end(), throughFndb), expected.end())
        << throughFndb;
  }
  // The loop ends: each directory is tried once (tex, real, beside, loop; "up" leads to the root,
  // which holds the walk's start).
  capture.Clear();
  ClearSearchPathCache();
  char result[kMaxPath];
  EXPECT_FALSE(FindFileOnDisk("none.sty", "%R/tex//", result));
  EXPECT_EQ(capture.CountContaining("trying "), 4);
}

// "tex\<long>\l1" and "tex\l2" lead to one folder; the walk meets l1 first, and below it the paths
// are too long to list. That visit is cut short and does not count as entering the folder: l2 is
// followed, by the database's walk (which mkfndb builds and checks with) and by the disk search.
TEST_F(LinkTrees, AFolderMetFirstWhereItCannotBeListedIsEnteredThroughTheNextLink) {
  r0 = folder.MakeDirectory("r0");
  folder.MakeDirectory("shared\\sub");
  const std::string longName(254 - (r0 + "\\tex\\" + "\\l1").size(), 'a');  // l1's path: 254
  folder.MakeDirectory("r0\\tex\\" + longName);
  const std::string l1 = "r0\\tex\\" + longName + "\\l1";
  if (!Link(l1, "shared") || !Link("r0\\tex\\l2", "shared")) {
    GTEST_SKIP() << "no directory links here";
  }
  Build(r0);  // before the file is there
  std::string database;
  std::string error;
  ASSERT_TRUE(ReadWholeFile(r0 + "\\korvid\\config\\texmf.fndb", &database, &error)) << error;
  folder.Write("shared\\sub\\foo.pl", "");
  // What mkfndb --check compares: the database misses the file the walk reaches.
  FndbTreeDirectory tree;
  List warnings;
  ASSERT_TRUE(ReadDirectoryTree(r0, &tree, &warnings, &error)) << error;
  EXPECT_EQ(warnings, List{"passing over '" + folder.Join(l1) + "\\sub': the path is too long"});
  FndbView view(database.data(), static_cast<std::uint32_t>(database.size()));
  EXPECT_EQ(CompareFndbWithTree(view, tree, {"korvid\\config\\texmf.fndb"}).unlisted,
            List{"tex\\l2\\sub\\foo.pl"});

  Start(r0);
  char result[kMaxPath];
  EXPECT_TRUE(FindFileOnDisk("foo.pl", "%R/tex//", result));
  EXPECT_EQ(std::string(result), r0 + "\\tex\\l2\\sub\\foo.pl");
}

// With two markers, the folder behind "tex\a\l1" is walked for a "sub" folder first, and holds none;
// behind "tex\b\sub\l2" it is walked for the file itself, which is there.
TEST_F(LinkTrees, AFolderWalkedForASubfolderIsWalkedForTheFileThroughAnotherLink) {
  r0 = folder.MakeDirectory("r0");
  folder.Write("shared\\foo.pl", "");
  folder.MakeDirectory("r0\\tex\\a");
  folder.MakeDirectory("r0\\tex\\b\\sub");
  if (!Link("r0\\tex\\a\\l1", "shared") || !Link("r0\\tex\\b\\sub\\l2", "shared")) {
    GTEST_SKIP() << "no directory links here";
  }
  Start(r0);
  EXPECT_EQ(Find("foo.pl", "%R/tex//sub//"), r0 + "\\tex\\b\\sub\\l2\\foo.pl");
}
