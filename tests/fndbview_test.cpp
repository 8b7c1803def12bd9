// fndb lookups over plain buffers: hand-made databases, "//" order, chains, damage and loops.
#include "fndbbytes.h"
#include "fndblayout.h"
#include "fndbview.h"
#include "guarded_buffer.h"
#include "korvid.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

using namespace korvid;
using testing_support::AssembledOffset;
using testing_support::AssembledRecord;
using testing_support::Assemble;
using testing_support::FndbBytes;
using testing_support::GuardedBuffer;
using testing_support::SetWordAt;

namespace {

// root: a.tex, B.sty, tex/
// tex: foo.tex, latex/
// latex: x.sty, z.sty, continued in a second record with m.sty (sorted within its record only)
std::string HandMadeDatabase() {
  FndbBytes db;
  db.At(0).Raw("FNDB").Word(3).Word(0).Word(0).Word(40).Word(0).Word(0).Word(7).Word(0).Word(224);
  // root directory: name none, parent none, F 2, S 1, no continuation, unused
  db.At(40).Word(0).Word(0).Word(2).Word(1).Word(0).Word(0);
  db.Word(176).Word(182);  // a.tex, B.sty
  db.Word(188).Word(80);   // tex -> 80
  // tex
  db.At(80).Word(188).Word(40).Word(1).Word(1).Word(0).Word(0);
  db.Word(192);             // foo.tex
  db.Word(200).Word(116);   // latex -> 116
  // latex, first record, continued at 148
  db.At(116).Word(200).Word(80).Word(2).Word(0).Word(148).Word(0);
  db.Word(206).Word(212);   // x.sty, z.sty
  // latex, continuation record
  db.At(148).Word(200).Word(80).Word(1).Word(0).Word(0).Word(0);
  db.Word(218);             // m.sty
  db.At(176).Text("a.tex").Text("B.sty").Text("tex").Text("foo.tex").Text("latex");
  db.Text("x.sty").Text("z.sty").Text("m.sty").At(224);
  return db.Bytes();
}

// A label or name with a number; spelled out to keep the compiler's string warnings quiet.
std::string Numbered(const char* prefix, int number) {
  std::string text(prefix);
  text.append(std::to_string(number));
  return text;
}

constexpr std::uint32_t kRoot = 40, kTex = 80, kLatex = 116, kLatexContinued = 148;

FndbView ViewOf(const std::string& bytes, const char* root = "C:\\texmf") {
  return FndbView(bytes.data(), static_cast<std::uint32_t>(bytes.size()), root);
}

// Stored order differs from sorted order: tex lists b in its first record and a in its
// continuation record.
std::vector<AssembledRecord> WalkTree() {
  return {
      {"root", "", "", {}, {{"tex", "T"}}, ""},
      {"T", "tex", "root", {"foo.sty"}, {{"b", "B"}}, "T2"},
      {"T2", "tex", "root", {}, {{"a", "A"}}, ""},
      {"B", "b", "T", {"deep.sty"}, {{"c", "C"}}, ""},
      {"C", "c", "B", {"x.tex"}, {}, ""},
      {"A", "a", "T", {"deep.sty", "foo.sty", "x.tex"}, {}, ""},
  };
}

}  // namespace

TEST(FndbHeader, ChecksSignatureVersionAndLength) {
  std::string good = HandMadeDatabase();
  struct Row { const char* label; std::string bytes; FndbHeaderCheck check; };
  std::string version2 = good, version4 = good, badSignature = good;
  std::string shortVersion = good.substr(0, 8);
  shortVersion[4] = 2;
  SetWordAt(&version2, 4, 2);
  SetWordAt(&version4, 4, 4);
  badSignature[3] = 'X';
  const Row rows[] = {
      {"good", good, FndbHeaderCheck::Good},
      {"signature", badSignature, FndbHeaderCheck::NotFndb},
      {"version 2", version2, FndbHeaderCheck::UnknownVersion},
      {"version 4", version4, FndbHeaderCheck::UnknownVersion},
      {"empty", "", FndbHeaderCheck::NotFndb},
      {"three bytes", "FND", FndbHeaderCheck::NotFndb},
      {"signature only", "FNDB", FndbHeaderCheck::NotFndb},
      {"short version", shortVersion, FndbHeaderCheck::UnknownVersion},
      {"header cut", good.substr(0, 39), FndbHeaderCheck::NotFndb},
      {"header whole", good.substr(0, 40), FndbHeaderCheck::Good},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    EXPECT_EQ(CheckFndbHeader(row.bytes.data(), static_cast<std::uint32_t>(row.bytes.size())),
              row.check);
  }
}

TEST(FndbView, FindSubDirectory) {
  std::string bytes = HandMadeDatabase();
  FndbView view = ViewOf(bytes);
  ASSERT_EQ(view.RootDirectory(), kRoot);
  struct Row { std::uint32_t from; std::string path; std::uint32_t result; };
  const Row rows[] = {
      {kRoot, "tex", kTex},           {kRoot, "TeX", kTex},
      {kRoot, "tex/latex", kLatex},   {kRoot, "\\tex\\\\latex\\", kLatex},
      {kRoot, "tex//latex", kLatex},  {kTex, "latex", kLatex},
      {kRoot, "", 0},                 {kRoot, "//", 0},
      {kRoot, "latex", 0},            {kRoot, "tex/latex/x.sty", 0},
      {kRoot, "te", 0},               {kRoot, "texx", 0},
      {0, "tex", 0},
      {kRoot, "tex" + std::string(252, '/') + "latex", 0},       // 260 characters
      {kRoot, "tex" + std::string(251, '/') + "latex", kLatex},  // 259 characters
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.path);
    EXPECT_EQ(view.FindSubDirectory(row.from, row.path), row.result);
  }
}

TEST(FndbView, FileExistsInDirectory) {
  std::string bytes = HandMadeDatabase();
  FndbView view = ViewOf(bytes);
  struct Row { std::uint32_t from; const char* name; bool exists; };
  const Row rows[] = {
      {kRoot, "a.tex", true},           {kRoot, "A.TEX", true},
      {kRoot, "b.STY", true},           {kRoot, "foo.tex", false},  // one level deeper
      {kRoot, "tex/foo.tex", true},     {kRoot, "TEX\\FOO.TEX", true},
      {kRoot, "tex/latex/x.sty", true}, {kRoot, "tex/latex/z.sty", true},
      {kRoot, "tex/latex/m.sty", true}, {kLatex, "M.STY", true},  // continuation record
      {kRoot, "tex/latex/y.sty", false}, {kRoot, "tex", false},    // a directory is no file
      {kRoot, "/a.tex", false},          {kRoot, "tex/", false},
      {kTex, "foo.tex", true},           {kTex, "a.tex", false},
      {kRoot, "a.te", false},            {kRoot, "a.texx", false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(view.FileExistsInDirectory(row.from, row.name), row.exists);
  }
}

TEST(FndbView, GetDirectoryPath) {
  std::string bytes = HandMadeDatabase();
  FndbView view = ViewOf(bytes);
  struct Row { std::uint32_t directory; int length; const char* path; };
  const Row rows[] = {
      {kRoot, 0, ""}, {kTex, 3, "tex"}, {kLatex, 9, "tex\\latex"},
      {kLatexContinued, 9, "tex\\latex"}, {0, -1, ""}, {4000, -1, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.directory);
    char buffer[kFndbDirectoryPathSize] = "junk";
    EXPECT_EQ(view.GetDirectoryPath(row.directory, buffer), row.length);
    EXPECT_STREQ(buffer, row.path);
  }
}

TEST(FndbView, FindFileInDirectoryComposesRootDirectoryAndNameAsAsked) {
  std::string bytes = HandMadeDatabase();
  struct Row { const char* root; std::uint32_t from; const char* name; const char* result; };
  const Row rows[] = {
      {"C:\\texmf", kRoot, "A.TEX", "C:\\texmf\\A.TEX"},
      {"C:\\texmf\\", kRoot, "a.tex", "C:\\texmf\\a.tex"},
      {"C:/texmf/", kRoot, "a.tex", "C:/texmf/a.tex"},
      {"", kRoot, "a.tex", "a.tex"},
      {"", kTex, "foo.tex", "tex\\foo.tex"},
      {"C:\\texmf", kRoot, "tex/latex/M.sty", "C:\\texmf\\tex/latex/M.sty"},
      {"C:\\texmf", kTex, "LATEX\\x.sty", "C:\\texmf\\tex\\LATEX\\x.sty"},
      {"C:\\texmf", kLatex, "z.sty", "C:\\texmf\\tex\\latex\\z.sty"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    char result[kFndbResultSize] = "untouched";
    EXPECT_TRUE(ViewOf(bytes, row.root).FindFileInDirectory(row.from, row.name, result));
    EXPECT_STREQ(result, row.result);
    EXPECT_TRUE(ViewOf(bytes, row.root).FindFileInDirectory(row.from, row.name, nullptr));
  }
  char result[kFndbResultSize] = "untouched";
  EXPECT_FALSE(ViewOf(bytes).FindFileInDirectory(kRoot, "y.tex", result));
  EXPECT_FALSE(ViewOf(bytes).FindFileInDirectory(0, "a.tex", result));
  EXPECT_STREQ(result, "untouched");
}

TEST(FndbView, ResultThatDoesNotFitIsNotFound) {
  std::string bytes = HandMadeDatabase();
  // root + '\' + "tex\latex" + '\' + "x.sty": 259 characters fit, 260 do not.
  std::string fits(259 - 1 - 9 - 1 - 5, 'r');
  std::string tooLong = fits + "r";
  char result[kFndbResultSize] = "untouched";
  EXPECT_FALSE(ViewOf(bytes, tooLong.c_str()).FindFileInDirectory(kLatex, "x.sty", result));
  EXPECT_STREQ(result, "untouched");
  ASSERT_TRUE(ViewOf(bytes, fits.c_str()).FindFileInDirectory(kLatex, "x.sty", result));
  EXPECT_EQ(std::strlen(result), 259u);
}

TEST(FndbView, SearchWithAndWithoutRecursion) {
  std::vector<AssembledRecord> tree = WalkTree();
  std::string bytes = Assemble(tree);
  FndbView view = ViewOf(bytes);
  struct Row { const char* key; const char* result; };
  const Row rows[] = {
      {"tex//foo.sty", "C:\\texmf\\tex\\foo.sty"},      // direct match before subdirectories
      {"tex//deep.sty", "C:\\texmf\\tex\\b\\deep.sty"}, // b is stored first (first record)
      {"tex//x.tex", "C:\\texmf\\tex\\b\\c\\x.tex"},    // depth first: b's subtree before a
      {"TEX//DEEP.STY", "C:\\texmf\\tex\\b\\DEEP.STY"},
      {"tex//c//x.tex", "C:\\texmf\\tex\\b\\c\\x.tex"},
      {"tex//a//x.tex", "C:\\texmf\\tex\\a\\x.tex"},
      {"tex//b/c/x.tex", "C:\\texmf\\tex\\b/c/x.tex"},
      {"tex/a/x.tex", "C:\\texmf\\tex/a/x.tex"},
      {"//x.tex", "C:\\texmf\\tex\\b\\c\\x.tex"},       // an empty part before "//": the root
      {"\\//x.tex", "C:\\texmf\\tex\\b\\c\\x.tex"},
      {"tex\\b//x.tex", "C:\\texmf\\tex\\b\\c\\x.tex"},
      {"tex/x.tex", nullptr},                            // exact path only without "//"
      {"tex//missing.tex", nullptr},
      {"tex//a//deep.sty", "C:\\texmf\\tex\\a\\deep.sty"},
      {"tex//c//deep.sty", nullptr},
      {"nothing//x.tex", nullptr},
      {"tex////x.tex", nullptr},                         // an empty pattern matches no directory
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.key);
    char result[kFndbResultSize] = "untouched";
    EXPECT_EQ(view.Search(row.key, result), row.result != nullptr);
    EXPECT_STREQ(result, row.result != nullptr ? row.result : "untouched");
  }
}

TEST(FndbView, RecursiveSearchWithAPattern) {
  std::vector<AssembledRecord> tree = WalkTree();
  std::string bytes = Assemble(tree);
  FndbView view = ViewOf(bytes, "R:");
  char result[kFndbResultSize];
  std::uint32_t root = view.RootDirectory();
  ASSERT_TRUE(view.RecursiveSearch(root, std::string_view("c"), "x.tex", result));
  EXPECT_STREQ(result, "R:\\tex\\b\\c\\x.tex");
  ASSERT_TRUE(view.RecursiveSearch(root, std::string_view("tex/a"), "foo.sty", result));
  EXPECT_STREQ(result, "R:\\tex\\a\\foo.sty");
  ASSERT_TRUE(view.RecursiveSearch(root, std::nullopt, "a//x.tex", result));
  EXPECT_STREQ(result, "R:\\tex\\a\\x.tex");
  EXPECT_FALSE(view.RecursiveSearch(root, std::string_view("c"), "deep.sty", result));
  EXPECT_FALSE(view.RecursiveSearch(0, std::nullopt, "x.tex", result));
}

TEST(FndbView, ListsEveryEntryInStoredOrder) {
  std::string bytes = Assemble(WalkTree());
  std::vector<std::string> lines;
  EXPECT_TRUE(ViewOf(bytes).List([&](std::string_view path, bool isDirectory) {
    lines.push_back(std::string(path) + (isDirectory ? " (dir)" : ""));
  }));
  const std::vector<std::string> expected = {
      "tex\\ (dir)",    "tex\\foo.sty",      "tex\\b\\ (dir)", "tex\\b\\deep.sty",
      "tex\\b\\c\\ (dir)", "tex\\b\\c\\x.tex", "tex\\a\\ (dir)", "tex\\a\\deep.sty",
      "tex\\a\\foo.sty", "tex\\a\\x.tex",
  };
  EXPECT_EQ(lines, expected);
}

// Records that link back must end the walk; the tests would hang (or overflow the stack) if
// they did not.
TEST(FndbView, RecordsThatLinkBackEndTheWalk) {
  struct Row { const char* label; std::vector<AssembledRecord> records; };
  const Row rows[] = {
      {"subdirectory pointing to its parent",
       {{"root", "", "", {"r.tex"}, {{"tex", "T"}}, ""},
        {"T", "tex", "root", {"t.tex"}, {{"up", "root"}}, ""}}},
      {"subdirectory pointing to itself",
       {{"root", "", "", {}, {{"tex", "T"}}, ""},
        {"T", "tex", "root", {"t.tex"}, {{"me", "T"}}, ""}}},
      {"continuation pointing to itself",
       {{"root", "", "", {}, {{"tex", "T"}}, ""}, {"T", "tex", "root", {"t.tex"}, {}, "T"}}},
      {"continuation pointing back to the first record",
       {{"root", "", "", {}, {{"tex", "T"}}, ""},
        {"T", "tex", "root", {"t.tex"}, {}, "T2"},
        {"T2", "tex", "root", {"u.tex"}, {{"sub", "root"}}, "T"}}},
      {"parents in a circle",
       {{"root", "", "", {}, {{"tex", "T"}}, ""},
        {"T", "tex", "U", {"t.tex"}, {{"u", "U"}}, ""},
        {"U", "u", "T", {"u.tex"}, {}, ""}}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    std::string bytes = Assemble(row.records);
    FndbView view = ViewOf(bytes);
    char result[kFndbResultSize] = "untouched";
    EXPECT_FALSE(view.Search("tex//missing.tex", result));
    EXPECT_FALSE(view.Search("//missing.tex", result));
    EXPECT_FALSE(view.Search("tex/missing.tex", result));
    EXPECT_FALSE(view.Search("tex/a/b/c/d/e/f/missing.tex", result));
    EXPECT_FALSE(view.Search("tex//x//missing.tex", result));
    EXPECT_STREQ(result, "untouched");
    view.List([](std::string_view, bool) {});
    char path[kFndbDirectoryPathSize];
    std::uint32_t tex = view.FindSubDirectory(view.RootDirectory(), "tex");
    ASSERT_NE(tex, 0u);
    view.GetDirectoryPath(tex, path);
  }
}

TEST(FndbView, ParentsInACircleGiveNoPath) {
  std::vector<AssembledRecord> records = {{"root", "", "", {}, {{"tex", "T"}}, ""},
                                          {"T", "tex", "U", {"t.tex"}, {{"u", "U"}}, ""},
                                          {"U", "u", "T", {"u.tex"}, {}, ""}};
  std::string bytes = Assemble(records);
  FndbView view = ViewOf(bytes);
  char path[kFndbDirectoryPathSize];
  EXPECT_EQ(view.GetDirectoryPath(AssembledOffset(records, "U"), path), -1);
  EXPECT_STREQ(path, "");
  char result[kFndbResultSize] = "untouched";
  EXPECT_FALSE(view.Search("tex//u.tex", result));
  EXPECT_FALSE(view.Search("tex//t.tex", result));
  EXPECT_STREQ(result, "untouched");
}

// Forty directories, each listing the next one twice: 2^40 paths through 40 records. A walk that
// tried each path would never end.
TEST(FndbView, SharedSubdirectoriesAreWalkedOnce) {
  std::vector<AssembledRecord> records = {{"root", "", "", {}, {{"d", "D0"}}, ""}};
  for (int i = 0; i < 40; ++i) {
    std::string next = Numbered("D", i + 1);
    records.push_back({Numbered("D", i), i == 0 ? "d" : "a", i == 0 ? "root" : Numbered("D", i - 1),
                       {}, {{"a", next}, {"b", next}}, ""});
  }
  records.push_back({"D40", "a", "D39", {"leaf.tex"}, {}, ""});
  std::string bytes = Assemble(records);
  FndbView view = ViewOf(bytes, "");
  char result[kFndbResultSize];
  EXPECT_FALSE(view.Search("d//missing.tex", result));
  EXPECT_FALSE(view.Search("//a//b//missing.tex", result));
  ASSERT_TRUE(view.Search("d//leaf.tex", result));
  std::string expected = "d\\";
  for (int i = 0; i < 40; ++i) expected.append("a\\");
  expected.append("leaf.tex");
  EXPECT_EQ(result, expected);
}

TEST(FndbView, DirectoriesTooDeepForAPathAreNotFound) {
  // 130 nested directories named "d": the path of the deepest has 259 characters.
  std::vector<AssembledRecord> records = {{"R0", "", "", {}, {{"d", "R1"}}, ""}};
  for (int i = 1; i <= 130; ++i) {
    std::vector<std::pair<std::string, std::string>> sub;
    if (i < 130) sub.push_back({"d", Numbered("R", i + 1)});
    records.push_back({Numbered("R", i), "d", Numbered("R", i - 1), {Numbered("f", i)}, sub, ""});
  }
  std::string bytes = Assemble(records);
  FndbView view = ViewOf(bytes, "");
  char result[kFndbResultSize];
  ASSERT_TRUE(view.Search("//f127", result));
  EXPECT_EQ(std::strlen(result), 127 * 2 - 1 + 1 + 4u);
  char path[kFndbDirectoryPathSize];
  EXPECT_EQ(view.GetDirectoryPath(AssembledOffset(records, "R128"), path), 255);
  EXPECT_EQ(view.GetDirectoryPath(AssembledOffset(records, "R129"), path), -1);
  EXPECT_FALSE(view.Search("//f128", result));  // 255 + 1 + 4 characters do not fit a result
  EXPECT_FALSE(view.Search("//f129", result));
  EXPECT_FALSE(view.Search("//f130", result));
}

TEST(FndbView, DamagedRecordsAnswerNotFound) {
  const std::string good = HandMadeDatabase();
  struct Row { const char* label; std::uint32_t offset; std::uint32_t value; };
  const Row rows[] = {
      {"root file count too large", kRoot + 8, 0xFFFFFFFF},
      {"root subdirectory count too large", kRoot + 12, 0x20000000},
      {"root offset past the end", kFndbRootDirectoryField, 100000},
      {"root offset at the last byte", kFndbRootDirectoryField, 223},
      {"name offset past the end", kRoot + 24, 5000},
      {"name offset at the end", kRoot + 24, 224},
      {"subdirectory record past the end", kRoot + 36, 0xFFFFFFF0},
      {"continuation past the end", kLatex + 16, 1u << 31},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    std::string bytes = good;
    SetWordAt(&bytes, row.offset, row.value);
    FndbView view = ViewOf(bytes);
    char result[kFndbResultSize];
    // Lookups that depend on the damaged word fail; none reads past the view.
    view.Search("a.tex", result);
    view.Search("tex//m.sty", result);
    view.Search("tex/latex/m.sty", result);
    view.List([](std::string_view, bool) {});
  }
  // A string cut by the end of the view is no name.
  std::string cut = good.substr(0, 222);  // "m.sty" loses its last byte and its zero
  char result[kFndbResultSize];
  EXPECT_TRUE(ViewOf(cut).Search("tex/latex/x.sty", result));
  EXPECT_FALSE(ViewOf(cut).Search("tex/latex/m.sty", result));
  EXPECT_FALSE(ViewOf(cut).Search("tex/latex/m.st", result));
}

// ---------------------------------------------------------------------------------------------
// The mutation test: thousands of damaged variants of one valid database, each placed so that its
// last byte is followed by a page with no access, so that a read past its end faults.

namespace {

FndbTreeDirectory MutationTree() {
  FndbTreeDirectory root{"", {"README", "ls-R"}, {}};
  FndbTreeDirectory tex{"tex", {"plain.tex"}, {}};
  FndbTreeDirectory latex{"latex", {}, {}};
  for (const char* package : {"base", "graphics", "tools", "amsmath"}) {
    FndbTreeDirectory dir{package, {}, {}};
    for (int i = 0; i < 4; ++i) dir.files.push_back(Numbered(package, i).append(".sty"));
    latex.subdirectories.push_back(dir);
  }
  tex.subdirectories.push_back(latex);
  FndbTreeDirectory fonts{"fonts", {}, {{"tfm", {"cmr10.tfm", "cmbx10.tfm"}, {}}}};
  root.subdirectories = {tex, fonts};
  return root;
}

const char* const kMutationKeys[] = {
    "README",          "tex/latex/base/base0.sty", "tex//tools3.sty", "tex//latex//amsmath2.sty",
    "//cmr10.tfm",     "fonts/tfm/CMBX10.TFM",     "tex//missing.sty", "//missing",
    "tex/latex/x/y/z", "fonts//tfm//cmr10.tfm",    "tex//graphics//", "ls-R",
};

// Runs every lookup on the view; a found result must be a whole path below the root.
int Exercise(const unsigned char* data, std::uint32_t size) {
  FndbView view(data, size, "C:\\texmf");
  CheckFndbHeader(data, size);
  int found = 0;
  for (const char* key : kMutationKeys) {
    char result[kFndbResultSize];
    std::memset(result, 'x', sizeof result);
    if (view.Search(key, result)) {
      ++found;
      const void* end = std::memchr(result, '\0', sizeof result);
      EXPECT_NE(end, nullptr) << key;
      EXPECT_EQ(std::strncmp(result, "C:\\texmf\\", 9), 0) << key;
    }
  }
  std::size_t listed = 0;
  view.List([&](std::string_view path, bool) { listed += path.size(); });
  char path[kFndbDirectoryPathSize];
  for (std::uint32_t offset = 0; offset < size; offset += 4) {
    if (view.GetDirectoryPath(offset, path) >= 0) {
      EXPECT_LT(std::strlen(path), sizeof path);
    }
  }
  return found;
}

// Every record of a sound database, found by following the links from the root.
std::vector<std::uint32_t> RecordOffsets(const std::string& bytes) {
  using testing_support::WordAt;
  std::vector<std::uint32_t> records;
  std::vector<std::uint32_t> pending = {WordAt(bytes, kFndbRootDirectoryField)};
  while (!pending.empty()) {
    std::uint32_t record = pending.back();
    pending.pop_back();
    if (record == 0 || std::find(records.begin(), records.end(), record) != records.end()) continue;
    records.push_back(record);
    std::uint32_t files = WordAt(bytes, record + 8);
    std::uint32_t subdirectories = WordAt(bytes, record + 12);
    pending.push_back(WordAt(bytes, record + 16));
    for (std::uint32_t i = 0; i < subdirectories; ++i) {
      pending.push_back(WordAt(bytes, record + 24 + 4 * (files + subdirectories + i)));
    }
  }
  return records;
}

}  // namespace

TEST(FndbMutation, DamagedVariantsNeverReadPastTheView) {
  FndbLayoutOptions layout;
  layout.namesPerRecord = 3;  // chains everywhere
  layout.reserve = 0;
  const std::string good = LayOutFndb(MutationTree(), layout);
  const std::uint32_t size = static_cast<std::uint32_t>(good.size());
  ASSERT_GT(size, 600u);
  GuardedBuffer buffer(size + 64);
  ASSERT_TRUE(buffer.Valid());
  ASSERT_TRUE(buffer.GuardFaults());

  // The sound database answers every key that names something in it.
  EXPECT_EQ(Exercise(buffer.Place(good), size), 8);

  int variants = 0;
  // 1. Truncated at every length.
  for (std::uint32_t length = 0; length < size; ++length) {
    Exercise(buffer.Place(good.substr(0, length)), length);
    ++variants;
  }
  // 2. Every byte flipped, in two ways.
  for (std::uint32_t i = 0; i < size; ++i) {
    for (unsigned char mask : {0xFF, 0x01, 0x80}) {
      std::string bytes = good;
      bytes[i] = static_cast<char>(bytes[i] ^ mask);
      Exercise(buffer.Place(bytes), size);
      ++variants;
    }
  }
  // 3. Every word replaced by offsets past the end, huge counts, and links back.
  for (std::uint32_t at = 0; at + 4 <= size; at += 4) {
    const std::uint32_t values[] = {0,        1,           size - 1,   size,       size + 4,
                                    0x7FFFFFFF, 0xFFFFFFFF, 0x40000000, 40,         at,
                                    at >= 24 ? at - 24 : 0, at >= 4 ? at - 4 : 0};
    for (std::uint32_t value : values) {
      std::string bytes = good;
      SetWordAt(&bytes, at, value);
      Exercise(buffer.Place(bytes), size);
      // The same damage at the end of a shortened view.
      Exercise(buffer.Place(bytes.substr(0, size - 3)), size - 3);
      variants += 2;
    }
  }
  // 4. Every word of the records pointed at every record: loops of every kind.
  std::vector<std::uint32_t> recordStarts = RecordOffsets(good);
  ASSERT_GE(recordStarts.size(), 10u);
  for (std::uint32_t record : recordStarts) {
    std::uint32_t words = 6 + testing_support::WordAt(good, record + 8) +
                          2 * testing_support::WordAt(good, record + 12);
    for (std::uint32_t at = record; at < record + 4 * words; at += 4) {
      for (std::uint32_t target : recordStarts) {
        std::string bytes = good;
        SetWordAt(&bytes, at, target);
        Exercise(buffer.Place(bytes), size);
        ++variants;
      }
    }
  }
  EXPECT_GT(variants, 10000);
}

namespace {

enum class Damage { CircularChains, ChainsRunningIntoEachOther, ManyWaysIntoOneChain };

// A damaged database of at most `size` bytes, of records that hold little but links. Strings at
// 40: "s", "a", "b", "c", "x.tex"; the root directory at 60.
std::string DamagedDatabase(Damage damage, std::uint32_t size) {
  constexpr std::uint32_t kS = 40, kA = 42, kC = 46, kFile = 48, kRootRecord = 60;
  std::vector<std::uint32_t> words(size / 4, 0);
  auto put = [&](std::uint32_t offset, std::initializer_list<std::uint32_t> values) {
    for (std::uint32_t value : values) {
      words[offset / 4] = value;
      offset += 4;
    }
  };
  put(0, {kFndbSignature, kFndbVersion, 0, 0, kRootRecord, 0, 0, 1, 0, size});
  std::string bytes;
  switch (damage) {
    case Damage::CircularChains: {
      // Each record lists itself as its subdirectory; the continuations run in a circle.
      const std::uint32_t first = kRootRecord + 32, n = (size - first) / 36;
      put(kRootRecord, {0, 0, 0, 1, 0, 0, kS, first});
      for (std::uint32_t i = 0; i < n; ++i) {
        std::uint32_t at = first + 36 * i;
        put(at, {kS, kRootRecord, 1, 1, first + 36 * ((i + 1) % n), 0, kFile, kS, at});
      }
      break;
    }
    case Damage::ChainsRunningIntoEachOther: {
      // The root lists every record; each record continues in the next one.
      const std::uint32_t n = (size - kRootRecord - 24) / 36;
      const std::uint32_t first = kRootRecord + 24 + 8 * n;
      put(kRootRecord, {0, 0, 0, n, 0, 0});
      for (std::uint32_t i = 0; i < n; ++i) {
        put(kRootRecord + 24 + 4 * i, {kS});
        put(kRootRecord + 24 + 4 * (n + i), {first + 28 * i});
        put(first + 28 * i, {kS, kRootRecord, 1, 0, i + 1 < n ? first + 28 * (i + 1) : 0, 0, kFile});
      }
      break;
    }
    case Damage::ManyWaysIntoOneChain: {
      // m directories each lead through "a" to one chain of m records, none of which holds "b".
      const std::uint32_t m = (size - kRootRecord - 24 - 24) / 72;
      const std::uint32_t leaf = kRootRecord + 24 + 8 * m, ways = leaf + 24, chain = ways + 32 * m;
      put(kRootRecord, {0, 0, 0, m, 0, 0});
      put(leaf, {kC, chain, 0, 0, 0, 0});
      for (std::uint32_t i = 0; i < m; ++i) {
        put(kRootRecord + 24 + 4 * i, {kS});
        put(kRootRecord + 24 + 4 * (m + i), {ways + 32 * i});
        put(ways + 32 * i, {kS, kRootRecord, 0, 1, 0, 0, kA, chain});
        put(chain + 32 * i, {kA, ways, 0, 1, i + 1 < m ? chain + 32 * (i + 1) : 0, 0, kC, leaf});
      }
      break;
    }
  }
  bytes.assign(reinterpret_cast<const char*>(words.data()), 4 * words.size());
  bytes.replace(40, 14, std::string("s\0a\0b\0c\0x.tex\0", 14));
  return bytes;
}

}  // namespace

// However its records link, a "//" miss reads each record a bounded number of times: at most
// kReadsPerRecord times the number of records the view could hold.
TEST(FndbView, DamagedDatabasesAreWalkedInLinearTime) {
  constexpr std::uint64_t kReadsPerRecord = 4;
  struct Row { const char* label; Damage damage; };
  const Row rows[] = {
      {"circular chains", Damage::CircularChains},
      {"chains running into each other", Damage::ChainsRunningIntoEachOther},
      {"many ways into one chain", Damage::ManyWaysIntoOneChain},
  };
  for (const Row& row : rows) {
    for (std::uint32_t size : {1u << 20, 4u << 20}) {
      std::string bytes = DamagedDatabase(row.damage, size);
      for (const char* key : {"//missing.tex", "//a/b//missing.tex"}) {
        SCOPED_TRACE(std::string(row.label) + ", " + std::to_string(size) + " bytes, " + key);
        FndbView view = ViewOf(bytes);
        std::uint64_t reads = 0;
        view.CountRecordReads(&reads);
        char result[kFndbResultSize] = "untouched";
        EXPECT_FALSE(view.Search(key, result));
        EXPECT_STREQ(result, "untouched");
        EXPECT_GT(reads, size / 256u);  // the walk did go through the records
        EXPECT_LE(reads, kReadsPerRecord * (size / (4 * kFndbRecordFixedWords)));
      }
    }
  }
}
