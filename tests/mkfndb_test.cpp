// The fndb builder: its layout against a database written by hand, and mkfndb.exe on real trees.
#include "fndbbuilder.h"
#include "fndbbytes.h"
#include "fndbview.h"
#include "internal.h"
#include "testing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

using namespace korvid;
using testing_support::FndbBytes;
using testing_support::FolderNames;
using testing_support::ReadFileBytes;
using testing_support::RunProcess;
using testing_support::TestFolder;
using testing_support::WordAt;

namespace {

std::vector<std::string> NamesInRecord(const std::string& bytes, std::uint32_t record) {
  std::vector<std::string> names;
  std::uint32_t files = WordAt(bytes, record + 8);
  std::uint32_t subdirectories = WordAt(bytes, record + 12);
  for (std::uint32_t i = 0; i < files + subdirectories; ++i) {
    names.push_back(bytes.c_str() + WordAt(bytes, record + 24 + 4 * i));
  }
  return names;
}

using ToolRun = testing_support::ProcessResult;

// mkfndb.exe with the arguments, its output with Unix line ends.
ToolRun RunMkfndb(const std::string& arguments, const std::string& currentDirectory = "") {
  testing_support::ProcessOptions options;
  options.currentDirectory = currentDirectory;
  ToolRun run =
      RunProcess("\"" + testing_support::BuildDirectory() + "\\mkfndb.exe\" " + arguments, options);
  EXPECT_TRUE(run.started);
  run.out = testing_support::UnixLineEnds(run.out);
  run.err = testing_support::UnixLineEnds(run.err);
  return run;
}

std::string Quoted(const std::string& path) { return "\"" + path + "\""; }

class MkfndbTool : public testing::Test {
 protected:
  void SetUp() override { InitializeLibrary(); }
  void TearDown() override { UninitializeLibrary(); }

  // A small TEXMF tree on disk, at root.
  void MakeTree() {
    folder.Write("root\\README", "r");
    folder.Write("root\\tex\\latex\\base\\article.cls", "a");
    folder.Write("root\\tex\\latex\\base\\size10.clo", "s");
    folder.Write("root\\tex\\plain\\plain.tex", "p");
    folder.Write("root\\fonts\\tfm\\public\\cm\\cmr10.tfm", "c");
  }

  TestFolder folder;
  const std::string root = folder.Join("root");
  const std::string fndb = root + "\\korvid\\config\\texmf.fndb";  // where mkfndb ROOT writes
};

// What `mkfndb --list` prints for the database.
std::string ListOf(const std::string& fndb) {
  ToolRun run = RunMkfndb("--list " + Quoted(fndb));
  EXPECT_EQ(run.exitCode, 0u) << run.err;
  return run.out;
}

// A search through the holder: its result, or "" when it finds nothing.
std::string Found(FileNameDatabase* fndb, const std::string& name, const std::string& entry) {
  char result[kMaxPath] = "";
  return fndb->Search(name.c_str(), entry.c_str(), result) ? result : "";
}

}  // namespace

// The builder's bytes for this tree, written out by hand from the format tables.
TEST(FndbLayout, MatchesADatabaseWrittenByHand) {
  FndbTreeDirectory tree{"", {"b.tex", "A.tex"}, {{"sub", {"c.sty"}, {}}}};
  FndbLayoutOptions options;
  options.frozen = true;
  options.changeCount = 5;
  options.namesPerRecord = 2;
  options.reserve = 8;

  FndbBytes db;
  db.At(0).Raw("FNDB").Word(3).Word(1).Word(0).Word(40).Word(0).Word(0).Word(5).Word(0).Word(154);
  // root, first record: A.tex, b.tex (sorted without regard to case); continued at 72
  db.At(40).Word(0).Word(0).Word(2).Word(0).Word(72).Word(0).Word(104).Word(110);
  // root, continuation record: the subdirectory sub at 120
  db.At(72).Word(0).Word(0).Word(0).Word(1).Word(0).Word(0).Word(116).Word(120);
  // the names the root's records list
  db.At(104).Text("A.tex").Text("b.tex").Text("sub");
  // sub: name, parent's first record, c.sty; then its name
  db.At(120).Word(116).Word(40).Word(1).Word(0).Word(0).Word(0).Word(148);
  db.At(148).Text("c.sty").At(154);
  db.Raw(std::string(8, '\0'));

  std::string built = LayOutFndb(tree, options);
  EXPECT_EQ(built, db.Bytes());

  FndbView view(built.data(), static_cast<std::uint32_t>(built.size()), "R:");
  char result[kFndbResultSize];
  for (const char* key : {"a.tex", "B.TEX", "sub/c.sty", "//c.sty"}) {
    SCOPED_TRACE(key);
    EXPECT_TRUE(view.Search(key, result));
  }
  EXPECT_STREQ(result, "R:\\sub\\c.sty");
}

TEST(FndbLayout, SortsNamesWithoutRegardToCase) {
  FndbTreeDirectory tree{
      "", {"b", "B2", "a", "_x", "Zed", "\xE9t\xE9"}, {{"Y", {}, {}}, {"x", {}, {}}}};
  std::string bytes = LayOutFndb(tree, {});
  EXPECT_EQ(NamesInRecord(bytes, 40),
            (std::vector<std::string>{"_x", "a", "b", "B2", "Zed", "\xE9t\xE9", "x", "Y"}));
}

TEST(FndbLayout, SpreadsLargeDirectoriesOverContinuationRecords) {
  FndbTreeDirectory tree{"", {"f1", "f2", "f3", "f4", "f5"}, {{"d1", {}, {}}, {"d2", {}, {}}}};
  FndbLayoutOptions options;
  options.namesPerRecord = 3;
  std::string bytes = LayOutFndb(tree, options);
  std::vector<std::vector<std::string>> chain;
  for (std::uint32_t record = 40; record != 0; record = WordAt(bytes, record + 16)) {
    chain.push_back(NamesInRecord(bytes, record));
    ASSERT_LT(chain.size(), 10u);
  }
  EXPECT_EQ(chain, (std::vector<std::vector<std::string>>{
                       {"f1", "f2", "f3"}, {"f4", "f5", "d1"}, {"d2"}}));
  FndbView view(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
  char result[kFndbResultSize];
  EXPECT_TRUE(view.Search("f5", result));
  EXPECT_NE(view.FindSubDirectory(view.RootDirectory(), "d2"), 0u);
  EXPECT_EQ(WordAt(bytes, kFndbUsedSizeField) + 4096, bytes.size());
}

TEST_F(MkfndbTool, BuildsADatabaseTheLibrarySearches) {
  MakeTree();
  ToolRun run = RunMkfndb(Quoted(root));
  ASSERT_EQ(run.exitCode, 0u) << run.err;
  std::string bytes = ReadFileBytes(fndb);
  EXPECT_EQ(run.out, "mkfndb: wrote '" + fndb + "': 9 directories, 5 files, " +
                         std::to_string(bytes.size()) + " bytes, change count 1\n");
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(WordAt(bytes, kFndbFlagsField), 0u);

  FileNameDatabase* database = FileNameDatabase::Create(fndb.c_str(), root.c_str(), false);
  ASSERT_NE(database, nullptr);
  EXPECT_FALSE(database->IsReadOnly());
  EXPECT_EQ(database->Size(), bytes.size());  // the reserve keeps a writable open from growing it
  struct Row { const char* name; std::string entry; std::string result; };
  const Row rows[] = {
      {"article.cls", root + "\\tex//", root + "\\tex\\latex\\base\\article.cls"},
      {"CMR10.TFM", root + "\\fonts//", root + "\\fonts\\tfm\\public\\cm\\CMR10.TFM"},
      {"plain.tex", root + "\\tex\\plain", root + "\\tex\\plain\\plain.tex"},
      {"README", root, root + "\\README"},
      {"size10.clo", root + "//", root + "\\tex\\latex\\base\\size10.clo"},
      {"missing.tex", root + "//", ""},
      {"plain.tex", root + "\\tex", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    char result[kMaxPath] = "";
    EXPECT_EQ(database->Search(row.name, row.entry.c_str(), result), !row.result.empty());
    EXPECT_EQ(result, row.result);
    if (!row.result.empty()) {
      EXPECT_TRUE(AccessFile(result, 0));
    }
  }
  database->Release();
}

// 32- and 64-bit programs of one installation share one mapping of the same file: mkfndb of either
// build writes the same bytes for a tree, and both derive the same mapping name. The digest was
// recorded once (again when whole builds came to leave 65536 free bytes instead of 4096); a build
// whose layout drifts fails here even where only one build runs.
TEST_F(MkfndbTool, WritesTheSameBytesInEveryBuild) {
  MakeTree();
  folder.Write("root\\tex\\latex\\base\\ltxdoc.cls", "l");
  folder.Write("root\\tex\\latex\\base\\LATEX.ltx", "x");
  ToolRun run = RunMkfndb("--names-per-record 2 " + Quoted(root));
  ASSERT_EQ(run.exitCode, 0u) << run.err;
  std::string bytes = ReadFileBytes(fndb);
  std::uint64_t digest = 14695981039346656037ull;  // FNV-1a, 64 bits
  for (unsigned char c : bytes) digest = (digest ^ c) * 1099511628211ull;
  EXPECT_EQ(bytes.size(), 66054u);
  EXPECT_EQ(digest, 2216740317346440522ull);
  EXPECT_EQ(FndbMappingName("C:\\Program Files (x86)\\Korvid\\korvid\\config\\texmf.fndb"),
            "cp\x92\x8F\x87\x92\x81\x8D@f\x89\x8C\x85\x93@H\x98XVIk\x8F\x92\x96\x89\x84\x8B\x8F\x92"
            "\x96\x89\x84\x83\x8F\x8E\x86\x89\x87\x94\x85\x98\x8D\x86N\x86\x8E\x84\x82");
}

TEST_F(MkfndbTool, ListsWhatADatabaseHolds) {
  MakeTree();
  std::string output = folder.Join("list.fndb");
  ASSERT_EQ(RunMkfndb("-o " + Quoted(output) + " -n 1 " + Quoted(root)).exitCode, 0u);
  ToolRun run = RunMkfndb("--list " + Quoted(output));
  EXPECT_EQ(run.exitCode, 0u) << run.err;
  EXPECT_EQ(run.out,
            "README\n"
            "fonts\\\n"
            "fonts\\tfm\\\n"
            "fonts\\tfm\\public\\\n"
            "fonts\\tfm\\public\\cm\\\n"
            "fonts\\tfm\\public\\cm\\cmr10.tfm\n"
            "tex\\\n"
            "tex\\latex\\\n"
            "tex\\latex\\base\\\n"
            "tex\\latex\\base\\article.cls\n"
            "tex\\latex\\base\\size10.clo\n"
            "tex\\plain\\\n"
            "tex\\plain\\plain.tex\n");
}

TEST_F(MkfndbTool, OptionsFrozenNamesPerRecordAndOutput) {
  MakeTree();
  std::string output = folder.Join("elsewhere\\frozen.fndb");
  folder.MakeDirectory("elsewhere");
  ToolRun run = RunMkfndb("--frozen --names-per-record 1 --reserve 0 --quiet --output " +
                          Quoted(output) + " " + Quoted(root));
  ASSERT_EQ(run.exitCode, 0u) << run.err;
  EXPECT_EQ(run.out, "");
  EXPECT_FALSE(testing_support::Exists(root + "\\korvid"));
  std::string bytes = ReadFileBytes(output);
  EXPECT_EQ(WordAt(bytes, kFndbFlagsField), kFndbFrozenFlag);
  EXPECT_EQ(WordAt(bytes, kFndbUsedSizeField), bytes.size());

  // base holds two names: two records.
  FndbView view(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
  std::uint32_t base = view.FindSubDirectory(view.RootDirectory(), "tex\\latex\\base");
  ASSERT_NE(base, 0u);
  std::uint32_t continuation = WordAt(bytes, base + 16);
  ASSERT_NE(continuation, 0u);
  EXPECT_EQ(WordAt(bytes, continuation + 16), 0u);

  FileNameDatabase* database = FileNameDatabase::Create(output.c_str(), root.c_str(), false);
  ASSERT_NE(database, nullptr);
  EXPECT_TRUE(database->IsReadOnly());
  EXPECT_EQ(database->Size(), bytes.size());
  char result[kMaxPath];
  EXPECT_TRUE(database->Search("size10.clo", (root + "\\tex//").c_str(), result));
  EXPECT_TRUE(database->Search("article.cls", (root + "\\tex\\latex\\base").c_str(), result));
  database->Release();
}

TEST_F(MkfndbTool, ReplacingADatabaseChangesItsChangeCount) {
  MakeTree();
  ASSERT_EQ(RunMkfndb("-q " + Quoted(root)).exitCode, 0u);
  EXPECT_EQ(WordAt(ReadFileBytes(fndb), kFndbChangeCountField), 1u);
  folder.Write("root\\tex\\plain\\new.tex", "n");
  ToolRun run = RunMkfndb(Quoted(root));
  ASSERT_EQ(run.exitCode, 0u);
  EXPECT_NE(run.out.find("change count 2"), std::string::npos) << run.out;
  std::string bytes = ReadFileBytes(fndb);
  EXPECT_EQ(WordAt(bytes, kFndbChangeCountField), 2u);
  FndbView view(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
  EXPECT_TRUE(view.FileExistsInDirectory(view.RootDirectory(), "tex/plain/new.tex"));
  EXPECT_TRUE(view.FileExistsInDirectory(view.RootDirectory(), "korvid/config/texmf.fndb"));
  EXPECT_EQ(FolderNames(root + "\\korvid\\config"), std::vector<std::string>{"texmf.fndb"});
}

TEST_F(MkfndbTool, RefusesAMissingRootAndLeavesNothing) {
  std::string missing = folder.Join("no-such-root");
  ToolRun run = RunMkfndb(Quoted(missing));
  EXPECT_EQ(run.exitCode, 1u);
  EXPECT_EQ(run.err, "mkfndb: the root directory '" + missing + "' does not exist\n");
  EXPECT_EQ(FolderNames(folder.Path()), std::vector<std::string>{});

  std::string file = folder.Write("plain-file", "x");
  run = RunMkfndb(Quoted(file));
  EXPECT_EQ(run.exitCode, 1u);
  EXPECT_EQ(run.err, "mkfndb: the root '" + file + "' is not a directory\n");
}

TEST_F(MkfndbTool, RefusesAnOutputItCannotWriteAndKeepsTheOldDatabase) {
  MakeTree();
  std::string config = root + "\\korvid\\config";
  ASSERT_EQ(RunMkfndb("-q " + Quoted(root)).exitCode, 0u);
  const std::string old = ReadFileBytes(fndb);
  folder.Write("root\\tex\\plain\\new.tex", "n");

  testing_support::SetReadOnly(fndb, true);
  ToolRun run = RunMkfndb(Quoted(root));
  EXPECT_EQ(run.exitCode, 1u);
  EXPECT_EQ(run.err, "mkfndb: cannot write '" + fndb + "': the file is read-only\n");
  testing_support::SetReadOnly(fndb, false);
  EXPECT_EQ(ReadFileBytes(fndb), old);
  EXPECT_EQ(FolderNames(config), std::vector<std::string>{"texmf.fndb"});

  struct Row { const char* label; std::string output; const char* message; };
  const Row rows[] = {
      {"below a file", root + "\\README\\x.fndb", "cannot write"},
      {"in a missing directory", folder.Join("missing\\x.fndb"), "cannot write"},
      {"onto a directory", root + "\\tex", "it is a directory"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    run = RunMkfndb("-o " + Quoted(row.output) + " " + Quoted(root));
    EXPECT_EQ(run.exitCode, 1u);
    EXPECT_EQ(run.err.rfind("mkfndb: ", 0), 0u) << run.err;
    EXPECT_NE(run.err.find(row.message), std::string::npos) << run.err;
    EXPECT_EQ(run.out, "");
  }
  EXPECT_FALSE(testing_support::Exists(folder.Join("missing")));
  EXPECT_EQ(FolderNames(root + "\\tex"), (std::vector<std::string>{"latex", "plain"}));
}

TEST_F(MkfndbTool, AtomicWriteReplacesWholeOrNotAtAll) {
  std::string path = folder.Write("target.bin", "old content");
  std::string error;
  ASSERT_TRUE(WriteFileAtomically(path, std::string(100000, 'n'), &error)) << error;
  EXPECT_EQ(ReadFileBytes(path), std::string(100000, 'n'));
  EXPECT_EQ(FolderNames(folder.Path()), std::vector<std::string>{"target.bin"});
  EXPECT_FALSE(WriteFileAtomically(folder.Join("none\\x.bin"), "x", &error));
  EXPECT_NE(error.find("cannot write '" + folder.Join("none\\x.bin") + "'"), std::string::npos);
}

TEST_F(MkfndbTool, UsageErrors) {
  struct Row { const char* arguments; const char* message; };
  const Row rows[] = {
      {"", "mkfndb: no root given\n"},
      {"--bogus x", "mkfndb: unknown option --bogus\n"},
      {"-n many x", "mkfndb: --names-per-record needs a number\n"},
      {"-r -1 x", "mkfndb: --reserve needs a number\n"},
      {"a b", "mkfndb: only one root can be given\n"},
      {"-o", "mkfndb: --output needs a file\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.arguments);
    ToolRun run = RunMkfndb(row.arguments);
    EXPECT_EQ(run.exitCode, 2u);
    EXPECT_EQ(run.err.rfind(row.message, 0), 0u) << run.err;
    EXPECT_NE(run.err.find("usage: mkfndb [options] ROOT"), std::string::npos);
  }
  ToolRun help = RunMkfndb("--help");
  EXPECT_EQ(help.exitCode, 0u);
  EXPECT_NE(help.out.find("--names-per-record N"), std::string::npos);
}

TEST_F(MkfndbTool, ListRefusesWhatIsNoDatabase) {
  std::string path = folder.Write("text.fndb", "just text, long enough to hold a header......");
  ToolRun run = RunMkfndb("--list " + Quoted(path));
  EXPECT_EQ(run.exitCode, 1u);
  EXPECT_EQ(run.err, "mkfndb: '" + path + "' is not an fndb file\n");

  FndbTreeDirectory tree{"", {"a"}, {{"d", {"b"}, {}}}};
  std::string bytes = LayOutFndb(tree, {});
  testing_support::SetWordAt(&bytes, 40 + 24 + 8, 40);  // d's record is the root: a loop
  std::string looped = folder.Write("looped.fndb", bytes);
  run = RunMkfndb("-l " + Quoted(looped));
  EXPECT_EQ(run.exitCode, 1u);
  EXPECT_EQ(run.out, "a\nd\\\n");
  EXPECT_EQ(run.err, "mkfndb: '" + looped + "' is damaged: entries were passed over\n");
}

TEST_F(MkfndbTool, CheckComparesTheDatabaseWithTheDisk) {
  MakeTree();
  struct Row {
    const char* change;
    std::function<void()> apply;
    std::uint32_t exitCode;
    std::string out;
    std::string err = "";
    int builds = 2;            // of the database, before apply
    std::string options = "";  // of the check
  };
  std::string other = folder.Join("other.fndb");
  std::string tenNew;  // in the order of names: n9 is the one left out
  for (const char* n : {"0", "1", "10", "2", "3", "4", "5", "6", "7", "8"}) {
    tenNew += std::string("  tex\\n") + n + ".sty\n";
  }
  const std::string current = "mkfndb: '" + fndb + "' is current\n";
  const std::string outOfDate = "mkfndb: '" + fndb + "' is out of date\n";
  const std::string runAgain = "run mkfndb " + root + "\n";
  const Row rows[] = {
      {"freshly built (the database lists itself after a rebuild)", [] {}, 0, current},
      {"a file added and one deleted",
       [&] {
         folder.Write("root\\tex\\plain\\new.tex", "n");
         DeleteFileA((root + "\\README").c_str());
       },
       1,
       outOfDate + "1 file listed but gone:\n  README\n1 file on disk but not listed:\n"
                   "  tex\\plain\\new.tex\n" + runAgain},
      {"eleven files added: ten are named",
       [&] {
         for (int i = 0; i < 11; ++i) folder.Write("root\\tex\\n" + std::to_string(i) + ".sty", "");
       },
       1, outOfDate + "11 files on disk but not listed:\n" + tenNew + "  ...\n" + runAgain},
      {"a damaged database",
       [&] { testing_support::WriteFileBytes(fndb, "not an fndb, but long enough for a header"); },
       2, "", "mkfndb: '" + fndb + "' is not an fndb file of this version\n"},
      {"no database", [&] { DeleteFileA(fndb.c_str()); }, 2, "",
       "mkfndb: cannot open '" + fndb + "'"},
      {"no root", [&] { testing_support::RemoveTree(root); }, 2, "",
       "mkfndb: the root directory '" + root + "' does not exist\n"},
      {"a root that is a file",
       [&] {
         testing_support::RemoveTree(root);
         testing_support::WriteFileBytes(root, "r");
       },
       2, "", "mkfndb: the root '" + root + "' is not a directory\n"},
      {"built once (the database does not list itself)", [] {}, 0, current, "", 1},
      {"-o FILE: the database there is checked",
       [&] {
         folder.Write("root\\tex\\late.sty", "l");
         ASSERT_EQ(RunMkfndb("-o " + Quoted(other) + " " + Quoted(root)).exitCode, 0u);
       },
       0, "mkfndb: '" + other + "' is current\n", "", 2, "-o " + Quoted(other) + " "},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.change);
    testing_support::RemoveTree(root);
    MakeTree();
    for (int i = 0; i < row.builds; ++i) ASSERT_EQ(RunMkfndb(Quoted(root)).exitCode, 0u);
    row.apply();
    ToolRun run = RunMkfndb("--check " + row.options + Quoted(root));
    EXPECT_EQ(run.exitCode, row.exitCode);
    EXPECT_EQ(run.out, row.out);
    EXPECT_EQ(run.err.rfind(row.err, 0), 0u) << run.err;
  }
}

TEST_F(MkfndbTool, TheWalkReportsItsProgress) {
  MakeTree();
  std::vector<FndbTreeStatistics> reports;
  FndbTreeDirectory tree;
  std::vector<std::string> warnings;
  std::string error;
  ASSERT_TRUE(ReadDirectoryTree(root, &tree, &warnings, &error,
                                [&](const FndbTreeStatistics& soFar) { reports.push_back(soFar); }));
  FndbTreeStatistics total = CountTree(tree);
  ASSERT_EQ(reports.size(), total.directories);
  for (std::size_t i = 0; i < reports.size(); ++i) EXPECT_EQ(reports[i].directories, i + 1);
  EXPECT_EQ(reports.back().files, total.files);
}

TEST_F(MkfndbTool, Version) {
  ToolRun run = RunMkfndb("--version");
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_EQ(run.out, "mkfndb (tervan) " KORVID_VERSION "\n" KORVID_COPYRIGHT "\n");
}

// --add and --remove change the listing path by path, without a walk of the tree.
TEST_F(MkfndbTool, AddAndRemoveListPathsWithoutAWalk) {
  MakeTree();
  ASSERT_EQ(RunMkfndb("-q " + Quoted(root)).exitCode, 0u);
  folder.Write("root\\tex\\plain\\new.tex", "n");
  folder.Write("root\\tex\\pkg\\pkg.sty", "p");
  folder.Write("root\\tex\\pkg\\doc\\pkg.pdf", "d");
  const std::string updated = "mkfndb: updated '" + fndb + "' in place: change count ";
  const std::string add = "--add " + Quoted(root) + " ";
  const std::string remove = "--remove " + Quoted(root) + " ";
  struct Row {
    std::string arguments;
    std::string directory;  // the current directory; empty: the test's
    std::string out;
    std::vector<std::string> listed = {};
    std::vector<std::string> unlisted = {};
  };
  const Row rows[] = {
      {add + Quoted(root + "\\tex\\plain\\new.tex"), "",
       "mkfndb: added 'tex\\plain\\new.tex'\n" + updated + "2\n", {"tex\\plain\\new.tex"}},
      {add + "pkg latex\\base", root + "\\tex",
       "mkfndb: added 'tex\\pkg'\nmkfndb: 'tex\\latex\\base' is listed already: nothing changed\n" +
           updated + "3\n",
       {"tex\\pkg\\", "tex\\pkg\\pkg.sty", "tex\\pkg\\doc\\pkg.pdf"}},
      {add + "README", root, "mkfndb: 'README' is listed already: nothing changed\n", {"README"}},
      {remove + "tex\\pkg README nothing.tex", root,
       "mkfndb: removed 'tex\\pkg'\nmkfndb: removed 'README'\n"
       "mkfndb: 'nothing.tex' is not listed: nothing changed\n" + updated + "4\n",
       {}, {"tex\\pkg\\", "tex\\pkg\\pkg.sty", "README"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.arguments);
    ToolRun run = RunMkfndb(row.arguments, row.directory);
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(run.out, row.out);
    EXPECT_EQ(run.err, "");
    std::string listing = ListOf(fndb);
    for (const std::string& line : row.listed) {
      EXPECT_NE(listing.find(line + "\n"), std::string::npos) << line;
    }
    for (const std::string& line : row.unlisted) {
      EXPECT_EQ(listing.find(line + "\n"), std::string::npos) << line;
    }
  }
  // What is refused changes nothing.
  const std::string listing = ListOf(fndb);
  struct Refusal {
    std::string arguments;
    std::uint32_t exitCode;
    std::string err;  // how it begins
  };
  const std::string notBelow = "' does not lie below the root '" + root + "'\n";
  const Refusal refusals[] = {
      {add + "missing.tex", 1,
       "mkfndb: cannot add 'missing.tex': it does not exist; nothing changed\n"},
      {add + Quoted(folder.Path()), 2, "mkfndb: '" + folder.Path() + notBelow + "\nusage:"},
      {remove + Quoted(root), 2, "mkfndb: '" + root + notBelow},
      {add, 2, "mkfndb: --add needs a PATH\n"},
      {"--add " + remove + "x", 2, "mkfndb: --add and --remove cannot be given together\n"},
      {"--check " + add + "x", 2, "mkfndb: --add cannot be given with --check\n"},
  };
  for (const Refusal& row : refusals) {
    SCOPED_TRACE(row.arguments);
    ToolRun run = RunMkfndb(row.arguments, root);
    EXPECT_EQ(run.exitCode, row.exitCode);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err.rfind(row.err, 0), 0u) << run.err;
    EXPECT_EQ(ListOf(fndb), listing);
  }
  // README and tex\pkg are gone from the listing, not from the disk.
  testing_support::RemoveTree(root + "\\tex\\pkg");
  ToolRun check = RunMkfndb("--check " + Quoted(root));
  EXPECT_EQ(check.exitCode, 1u);
  EXPECT_NE(check.out.find("1 file on disk but not listed:\n  README\n"), std::string::npos)
      << check.out;
  DeleteFileA((root + "\\README").c_str());
  EXPECT_EQ(RunMkfndb("--check " + Quoted(root)).exitCode, 0u);
}

// A holder keeps the database (its first holder made the mapping read-only, as the launcher does
// for an install root) and searches from a thread of its own while mkfndb --add, --remove and
// mkfndb ROOT run in other processes: it finds what they added at its next search.
TEST_F(MkfndbTool, ADatabaseInUseIsUpdatedInPlaceAndItsHoldersSeeIt) {
  MakeTree();
  ASSERT_EQ(RunMkfndb("-q " + Quoted(root)).exitCode, 0u);
  FileNameDatabase* holder = FileNameDatabase::Create(fndb.c_str(), root.c_str(), true);
  ASSERT_NE(holder, nullptr);
  std::atomic<bool> stop{false};
  std::atomic<int> wrong{0};
  std::atomic<int> searches{0};
  std::thread searcher([&] {
    const std::string expected = root + "\\tex\\latex\\base\\article.cls";
    while (!stop) {
      if (Found(holder, "article.cls", root + "\\tex//") != expected) ++wrong;
      if (!Found(holder, "nowhere.sty", root + "//").empty()) ++wrong;
      ++searches;
    }
  });
  const std::string texPlain = root + "\\tex\\plain";
  EXPECT_EQ(Found(holder, "new.tex", texPlain), "");
  folder.Write("root\\tex\\plain\\new.tex", "n");
  ToolRun run = RunMkfndb("--add " + Quoted(root) + " " + Quoted(texPlain + "\\new.tex"));
  EXPECT_EQ(run.exitCode, 0u) << run.err;
  EXPECT_EQ(Found(holder, "new.tex", texPlain), texPlain + "\\new.tex");

  run = RunMkfndb("--remove " + Quoted(root) + " " + Quoted(texPlain + "\\new.tex"));
  EXPECT_EQ(run.exitCode, 0u) << run.err;
  EXPECT_EQ(Found(holder, "new.tex", texPlain), "");

  // The whole run: the differences go in place.
  folder.Write("root\\tex\\latex\\base\\late.cls", "l");
  folder.Write("root\\tex\\newpkg\\x.sty", "x");
  DeleteFileA((root + "\\README").c_str());
  EXPECT_EQ(Found(holder, "x.sty", root + "//"), "");
  run = RunMkfndb(Quoted(root));
  EXPECT_EQ(run.exitCode, 0u) << run.err;
  EXPECT_EQ(run.out, "mkfndb: '" + fndb +
                         "' is in use: updated it in place: 4 files and 3 directories added, 1 "
                         "file and 0 directories removed, change count 4\n");
  EXPECT_EQ(Found(holder, "x.sty", root + "//"), root + "\\tex\\newpkg\\x.sty");
  EXPECT_EQ(Found(holder, "late.cls", root + "\\tex//"), root + "\\tex\\latex\\base\\late.cls");
  EXPECT_EQ(Found(holder, "README", root), "");
  EXPECT_EQ(RunMkfndb("--check " + Quoted(root)).out, "mkfndb: '" + fndb + "' is current\n");
  run = RunMkfndb(Quoted(root));
  EXPECT_EQ(run.out,
            "mkfndb: '" + fndb + "' is in use and lists the tree already: nothing changed\n");

  int seen = searches;
  while (searches < seen + 3) std::this_thread::yield();
  stop = true;
  searcher.join();
  EXPECT_EQ(wrong, 0);
  holder->Release();
  // Nobody holds it now: a whole build again.
  run = RunMkfndb(Quoted(root));
  EXPECT_EQ(run.out.rfind("mkfndb: wrote '" + fndb + "': ", 0), 0u) << run.out;
  EXPECT_NE(run.out.find("change count 5\n"), std::string::npos) << run.out;
}

TEST_F(MkfndbTool, AnUpdateThatDoesNotFitFailsCleanlyWhileTheDatabaseIsInUse) {
  MakeTree();
  ASSERT_EQ(RunMkfndb("-q --reserve 4096 " + Quoted(root)).exitCode, 0u);
  for (int i = 0; i < 60; ++i) {
    folder.Write("root\\tex\\big\\" + std::string(70, 'f') + std::to_string(i) + ".sty", "");
  }
  const std::string before = ReadFileBytes(fndb);
  FileNameDatabase* holder = FileNameDatabase::Create(fndb.c_str(), root.c_str(), true);
  ASSERT_NE(holder, nullptr);
  const std::string add = "--add " + Quoted(root) + " " + Quoted(root + "\\tex\\big");
  ToolRun run = RunMkfndb(add);
  EXPECT_EQ(run.exitCode, 1u);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err.rfind("mkfndb: '" + fndb + "' is in use and full: the update needs ", 0), 0u)
      << run.err;
  EXPECT_NE(run.err.find(" bytes more than the 4096 it has free; nothing was changed\nmkfndb: end "
                         "the programs that hold it and run this again (the database then grows), "
                         "or run mkfndb ROOT once they have ended\n"),
            std::string::npos)
      << run.err;
  EXPECT_EQ(ReadFileBytes(fndb), before);
  run = RunMkfndb(Quoted(root));  // the whole run in place does not fit either
  EXPECT_EQ(run.exitCode, 1u);
  EXPECT_EQ(ReadFileBytes(fndb), before);
  holder->Release();

  run = RunMkfndb(add);
  EXPECT_EQ(run.exitCode, 0u) << run.err;
  EXPECT_NE(run.out.find("in place: change count 2, grown to "), std::string::npos) << run.out;
  EXPECT_EQ(RunMkfndb("--check " + Quoted(root)).exitCode, 0u);
}

TEST_F(MkfndbTool, FrozenAndReadOnlyDatabasesAreNeverWrittenInPlace) {
  MakeTree();
  folder.Write("root\\tex\\new.tex", "n");
  struct Row {
    const char* label;
    const char* build;
    bool readOnly;
    bool held;
    std::string arguments;
    const char* message;
  };
  const Row rows[] = {
      {"frozen, --add", "-q -f ", false, false, "--add " + Quoted(root) + " tex\\new.tex",
       "' is frozen: it is never written\n"},
      {"frozen and held, a whole run", "-q -f ", false, true, Quoted(root),
       "' is frozen: it is never written\n"},
      {"read-only, --remove", "-q ", true, false, "--remove " + Quoted(root) + " README",
       "' is read-only: it is never written\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    ASSERT_EQ(RunMkfndb(row.build + Quoted(root)).exitCode, 0u);
    const std::string before = ReadFileBytes(fndb);
    if (row.readOnly) testing_support::SetReadOnly(fndb, true);
    FileNameDatabase* holder =
        row.held ? FileNameDatabase::Create(fndb.c_str(), root.c_str(), true) : nullptr;
    ToolRun run = RunMkfndb(row.arguments, root);
    EXPECT_EQ(run.exitCode, 1u);
    EXPECT_EQ(run.err, "mkfndb: '" + fndb + row.message);
    EXPECT_EQ(ReadFileBytes(fndb), before);
    if (holder != nullptr) holder->Release();
    if (row.readOnly) testing_support::SetReadOnly(fndb, false);
  }
}
