// The file search: order of places, the disk walk, and the working-directory shortcuts.
#include "fndbbuilder.h"
#include "internal.h"
#include "library_fixture.h"

#include <gtest/gtest.h>

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
