// Updates of an fndb in place over its bytes: what each change lists afterwards, the order of the
// stores, a writer stopped after every store, the comparison with a tree, damaged bytes, and
// readers on other threads while a writer updates.
#include "fndblookups.h"
#include "fndbupdate.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "fndb_reference.h"
#include "fndbindex.h"
#include "fndbview.h"
#include "korvid.h"

using namespace korvid;

namespace {

constexpr char kRoot[] = "C:\\texmf";

std::uint32_t WordIn(const std::string& bytes, std::uint32_t offset) {
  std::uint32_t value;
  std::memcpy(&value, bytes.data() + offset, 4);
  return value;
}

// Every directory (ending in '\') and file below the root, one a line, letter case folded in the
// order: what a strict reading of the bytes lists, or "unreadable".
std::string Listing(const std::string& bytes) {
  std::optional<fuzzing::RefDirectory> tree =
      fuzzing::StrictReader(bytes, fuzzing::ParentRule::SamePath).Read();
  if (!tree) return "unreadable";
  std::vector<std::string> lines;
  auto collect = [&](auto&& self, const fuzzing::RefDirectory& directory) -> void {
    std::string prefix = directory.path.empty() ? "" : directory.path + "\\";
    for (const std::string& file : directory.files) lines.push_back(prefix + file);
    for (const fuzzing::RefDirectory& child : directory.subdirectories) {
      lines.push_back(child.path + "\\");
      self(self, child);
    }
  };
  collect(collect, *tree);
  std::sort(lines.begin(), lines.end(), CaseInsensitiveLess());
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return text;
}

// The content of each directory (its names, folded and sorted), by path.
std::map<std::string, std::string> Directories(const std::string& bytes) {
  std::map<std::string, std::string> directories;
  std::optional<fuzzing::RefDirectory> tree =
      fuzzing::StrictReader(bytes, fuzzing::ParentRule::SamePath).Read();
  if (!tree) return directories;
  auto collect = [&](auto&& self, const fuzzing::RefDirectory& directory) -> void {
    std::vector<std::string> names;
    for (const std::string& file : directory.files) names.push_back(fuzzing::Folded(file));
    for (const fuzzing::RefDirectory& child : directory.subdirectories) {
      names.push_back(fuzzing::Folded(child.name) + "\\");
      self(self, child);
    }
    std::sort(names.begin(), names.end());
    std::string text;
    for (const std::string& name : names) text += name + " ";
    directories[fuzzing::Folded(directory.path)] = text;
  };
  collect(collect, *tree);
  return directories;
}

// root: README, tex\ (plain.tex, latex\ (a.sty, b.sty, c.sty)), doc\ (x.pdf)
FndbTreeDirectory SmallTree() {
  FndbTreeDirectory latex{"latex", {"a.sty", "b.sty", "c.sty"}, {}};
  FndbTreeDirectory tex{"tex", {"plain.tex"}, {latex}};
  FndbTreeDirectory doc{"doc", {"x.pdf"}, {}};
  return FndbTreeDirectory{"", {"README"}, {tex, doc}};
}

std::string Build(const FndbTreeDirectory& tree, std::uint32_t reserve = 8192,
                  std::uint32_t namesPerRecord = 0) {
  FndbLayoutOptions options;
  options.reserve = reserve;
  options.namesPerRecord = namesPerRecord;
  return LayOutFndb(tree, options);
}

FndbChange Change(FndbChange::Kind kind, const std::string& path, FndbTreeDirectory content = {}) {
  return FndbChange{kind, path, std::move(content)};
}
using Kind = FndbChange::Kind;

// Plans the changes on the bytes and makes the stores; the outcome of the last change.
FndbPlanOutcome Apply(std::string* bytes, const std::vector<FndbChange>& changes,
                      std::uint32_t namesPerRecord = kFndbUpdateNamesPerRecord) {
  FndbUpdatePlan plan(bytes->data(), static_cast<std::uint32_t>(bytes->size()), namesPerRecord);
  FndbPlanOutcome outcome = FndbPlanOutcome::Unchanged;
  for (const FndbChange& change : changes) outcome = plan.Add(change);
  EXPECT_LE(plan.UsedSize(), bytes->size());
  EXPECT_TRUE(
      MakeFndbStores(bytes->data(), static_cast<std::uint32_t>(bytes->size()), plan.Stores()));
  return outcome;
}

// Whether the path is C:\texmf\dirD\NAME or C:\texmf\dirD\new\x\NAME for a digit D.
bool AtItsPlace(const std::string& path, const std::string& name) {
  std::string prefix = std::string(kRoot) + "\\dir";
  if (path.compare(0, prefix.size(), prefix) != 0 || path.size() < prefix.size() + 2) return false;
  std::string rest = path.substr(prefix.size() + 1);
  return std::isdigit(static_cast<unsigned char>(path[prefix.size()])) &&
         (rest == "\\" + name || rest == "\\new\\x\\" + name);
}

}  // namespace

TEST(FndbUpdate, EachChangeListsWhatItSays) {
  const std::string before = Listing(Build(SmallTree()));
  struct Row {
    const char* label;
    std::vector<FndbChange> changes;
    FndbPlanOutcome outcome;
    std::vector<std::string> added;    // lines the listing gains
    std::vector<std::string> removed;  // lines it loses
  };
  const Row rows[] = {
      {"a file into a directory",
       {Change(Kind::AddFile, "tex\\latex\\d.sty")},
       FndbPlanOutcome::Planned,
       {"tex\\latex\\d.sty"},
       {}},
      {"a file into the root",
       {Change(Kind::AddFile, "/AAA")},
       FndbPlanOutcome::Planned,
       {"AAA"},
       {}},
      {"a file listed in other case",
       {Change(Kind::AddFile, "TEX/Latex/A.STY")},
       FndbPlanOutcome::Unchanged,
       {},
       {}},
      {"a file with two missing parents",
       {Change(Kind::AddFile, "tex//new/deeper/n.sty")},
       FndbPlanOutcome::Planned,
       {"tex\\new\\", "tex\\new\\deeper\\", "tex\\new\\deeper\\n.sty"},
       {}},
      {"a file removed",
       {Change(Kind::RemoveFile, "tex\\latex\\b.sty")},
       FndbPlanOutcome::Planned,
       {},
       {"tex\\latex\\b.sty"}},
      {"the root's file removed (its first record)",
       {Change(Kind::RemoveFile, "readme")},
       FndbPlanOutcome::Planned,
       {},
       {"README"}},
      {"a file not listed",
       {Change(Kind::RemoveFile, "tex\\none.sty")},
       FndbPlanOutcome::Unchanged,
       {},
       {}},
      {"a file below a missing directory",
       {Change(Kind::RemoveFile, "none\\x")},
       FndbPlanOutcome::Unchanged,
       {},
       {}},
      {"a directory is no file",
       {Change(Kind::RemoveFile, "tex\\latex")},
       FndbPlanOutcome::Unchanged,
       {},
       {}},
      {"a directory with its content",
       {Change(Kind::AddTree, "fonts\\tfm", {"", {"cmr10.tfm"}, {{"public", {"p.tfm"}, {}}}})},
       FndbPlanOutcome::Planned,
       {"fonts\\", "fonts\\tfm\\", "fonts\\tfm\\cmr10.tfm", "fonts\\tfm\\public\\",
        "fonts\\tfm\\public\\p.tfm"},
       {}},
      {"a listed directory gains what it lacks",
       {Change(Kind::AddTree, "tex", {"", {"PLAIN.TEX", "new.tex"}, {{"latex", {"z.sty"}, {}}}})},
       FndbPlanOutcome::Planned,
       {"tex\\new.tex", "tex\\latex\\z.sty"},
       {}},
      {"a listed directory lacks nothing",
       {Change(Kind::AddTree, "tex", {"", {"plain.tex"}, {}})},
       FndbPlanOutcome::Unchanged,
       {},
       {}},
      {"a directory with everything below it",
       {Change(Kind::RemoveTree, "tex")},
       FndbPlanOutcome::Planned,
       {},
       {"tex\\", "tex\\plain.tex", "tex\\latex\\", "tex\\latex\\a.sty", "tex\\latex\\b.sty",
        "tex\\latex\\c.sty"}},
      {"a directory not listed",
       {Change(Kind::RemoveTree, "tex\\none")},
       FndbPlanOutcome::Unchanged,
       {},
       {}},
      {"a file then its directory",
       {Change(Kind::AddFile, "doc\\y.pdf"), Change(Kind::RemoveTree, "doc")},
       FndbPlanOutcome::Planned,
       {},
       {"doc\\", "doc\\x.pdf"}},
      {"no component", {Change(Kind::AddFile, "\\/")}, FndbPlanOutcome::BadPath, {}, {}},
      {"a dot component", {Change(Kind::AddFile, "tex\\.\\x")}, FndbPlanOutcome::BadPath, {}, {}},
      {"a dot-dot component",
       {Change(Kind::RemoveTree, "tex/..")},
       FndbPlanOutcome::BadPath,
       {},
       {}},
      {"a zero byte",
       {Change(Kind::AddFile, std::string("a\0b", 3))},
       FndbPlanOutcome::BadPath,
       {},
       {}},
      {"a name longer than a result",
       {Change(Kind::AddFile, std::string(300, 'n'))},
       FndbPlanOutcome::Planned,
       {std::string(300, 'n')},
       {}},
      {"deeper than the lookups go",
       {Change(Kind::AddFile,
               [] {
                 std::string path;
                 for (int i = 0; i < 129; ++i) path += "d\\";
                 return path + "f";
               }())},
       FndbPlanOutcome::BadPath,
       {},
       {}},
      {"a bad name in added content",
       {Change(Kind::AddTree, "x", {"", {".."}, {}})},
       FndbPlanOutcome::BadPath,
       {},
       {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    std::string bytes = Build(SmallTree());
    const std::string old = bytes;
    EXPECT_EQ(Apply(&bytes, row.changes), row.outcome);
    std::string expected = before;
    for (const std::string& line : row.removed) {
      std::size_t at = expected.find(line + "\n");
      ASSERT_NE(at, std::string::npos) << line;
      expected.erase(at, line.size() + 1);
    }
    std::vector<std::string> lines;
    for (std::size_t at = 0; at < expected.size();) {
      std::size_t end = expected.find('\n', at);
      lines.push_back(expected.substr(at, end - at));
      at = end + 1;
    }
    lines.insert(lines.end(), row.added.begin(), row.added.end());
    std::sort(lines.begin(), lines.end(), CaseInsensitiveLess());
    expected.clear();
    for (const std::string& line : lines) expected += line + "\n";
    EXPECT_EQ(Listing(bytes), expected);
    bool changed = row.outcome == FndbPlanOutcome::Planned;
    EXPECT_EQ(bytes != old, changed);
    EXPECT_EQ(WordIn(bytes, kFndbChangeCountField), changed ? 2u : 1u);
  }
}

// The stores of an update: the new bytes go into the free space; below the old usedSize only the
// mark of an update under way, usedSize, one link word per edited directory and changeCount
// change.
TEST(FndbUpdate, StoresFillThenMoveUsedSizeThenPublishThenCount) {
  struct Row {
    const char* label;
    std::vector<FndbChange> changes;
    std::size_t publishes;
  };
  const Row rows[] = {
      {"one file", {Change(Kind::AddFile, "tex\\latex\\d.sty")}, 1},
      {"a removal", {Change(Kind::RemoveFile, "README")}, 1},
      {"two directories' edits",
       {Change(Kind::AddTree, "tex", {"", {"n.tex"}, {{"latex", {"n.sty"}, {}}}})},
       2},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    std::string bytes = Build(SmallTree());
    const std::uint32_t oldUsed = WordIn(bytes, kFndbUsedSizeField);
    FndbUpdatePlan plan(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
    for (const FndbChange& change : row.changes) plan.Add(change);
    std::vector<FndbStore> stores = plan.Stores();
    ASSERT_EQ(stores.size(), 3 * row.publishes + 3);
    EXPECT_EQ(stores.front().role, FndbStoreRole::Underway);
    EXPECT_EQ(stores.front().offset, kFndbUnderwayField);
    EXPECT_EQ(stores.front().word, kFndbUnderway);
    std::uint32_t end = oldUsed;
    for (std::size_t edit = 0; edit < row.publishes; ++edit) {
      const FndbStore& fill = stores[1 + 3 * edit];
      const FndbStore& usedSize = stores[2 + 3 * edit];
      const FndbStore& publish = stores[3 + 3 * edit];
      EXPECT_EQ(fill.role, FndbStoreRole::Fill);
      EXPECT_GE(fill.offset, end);
      EXPECT_EQ(fill.offset % 4, 0u);
      end = fill.offset + static_cast<std::uint32_t>(fill.bytes.size());
      EXPECT_EQ(usedSize.role, FndbStoreRole::UsedSize);
      EXPECT_EQ(usedSize.offset, kFndbUsedSizeField);
      EXPECT_EQ(usedSize.word, end);
      EXPECT_EQ(publish.role, FndbStoreRole::Publish);
      EXPECT_EQ(publish.offset % 4, 0u);
      EXPECT_GE(publish.word, fill.offset);
      EXPECT_LT(publish.word, end);
    }
    const FndbStore& count = stores[stores.size() - 2];
    EXPECT_EQ(count.role, FndbStoreRole::ChangeCount);
    EXPECT_EQ(count.offset, kFndbChangeCountField);
    EXPECT_EQ(count.word, 2u);
    EXPECT_EQ(stores.back().role, FndbStoreRole::Done);
    EXPECT_EQ(stores.back().offset, kFndbUnderwayField);
    EXPECT_EQ(stores.back().word, 0u);
    EXPECT_EQ(plan.UsedSize(), end);
  }
}

// A writer ended after any store leaves bytes that a strict reader accepts, each directory with
// its old or its new content, and the old changeCount until its store. The next writer finds the
// mark of an update under way and moves the count, with nothing else to change.
TEST(FndbUpdate, AWriterStoppedAfterAnyStoreLeavesEachDirectoryOldOrNew) {
  // tex\latex holds four names per record, the last record full.
  FndbTreeDirectory tree = SmallTree();
  tree.subdirectories[0].subdirectories[0].files.push_back("d.sty");
  const std::string built = Build(tree, 8192, 4);
  struct Row {
    const char* label;
    FndbChange change;
    std::size_t stores;
  };
  const Row rows[] = {
      {"a file added to a full chain", Change(Kind::AddFile, "tex\\latex\\e.sty"), 6},
      {"a new folder two levels deep", Change(Kind::AddFile, "doc\\new\\deeper\\n.pdf"), 6},
      {"a removal from a first record", Change(Kind::RemoveFile, "README"), 6},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    FndbUpdatePlan plan(built.data(), static_cast<std::uint32_t>(built.size()), 4);
    ASSERT_EQ(plan.Add(row.change), FndbPlanOutcome::Planned);
    std::vector<FndbStore> stores = plan.Stores();
    ASSERT_EQ(stores.size(), row.stores);
    std::string complete = built;
    ASSERT_TRUE(
        MakeFndbStores(complete.data(), static_cast<std::uint32_t>(complete.size()), stores));
    const std::map<std::string, std::string> old = Directories(built);
    const std::map<std::string, std::string> updated = Directories(complete);
    ASSERT_NE(old, updated);
    std::size_t publish = 0;  // the number of the publishing store, from 1
    for (std::size_t i = 0; i < stores.size(); ++i) {
      if (stores[i].role == FndbStoreRole::Publish) publish = i + 1;
    }
    for (std::size_t n = 0; n <= stores.size(); ++n) {
      SCOPED_TRACE("stopped after store " + std::to_string(n));
      std::string bytes = built;
      std::size_t made = 0;
      if (n > 0) {
        ASSERT_TRUE(MakeFndbStores(bytes.data(), static_cast<std::uint32_t>(bytes.size()), stores,
                                   [&](std::size_t number, FndbStoreRole) {
                                     made = number;
                                     return number < n;
                                   }));
      }
      EXPECT_EQ(made, n);
      std::map<std::string, std::string> directories = Directories(bytes);
      ASSERT_FALSE(directories.empty()) << "not accepted by the strict reader";
      bool allOld = true;
      bool allNew = true;
      std::set<std::string> paths;
      for (const auto& [path, names] : old) paths.insert(path);
      for (const auto& [path, names] : updated) paths.insert(path);
      for (const std::string& path : paths) {
        auto now = directories.find(path);
        auto before = old.find(path);
        auto after = updated.find(path);
        bool asBefore = now == directories.end()
                            ? before == old.end()
                            : before != old.end() && before->second == now->second;
        bool asAfter = now == directories.end()
                           ? after == updated.end()
                           : after != updated.end() && after->second == now->second;
        EXPECT_TRUE(asBefore || asAfter) << path;
        allOld = allOld && asBefore;
        allNew = allNew && asAfter;
      }
      // Until the publishing store the listing is the old one; from it on, the new one. The store
      // after it moves changeCount: a writer ended between the two leaves the new listing with
      // the old count.
      EXPECT_EQ(allOld, n < publish);
      EXPECT_EQ(allNew, n >= publish);
      EXPECT_EQ(WordIn(bytes, kFndbChangeCountField), n > publish ? 2u : 1u);
      FndbUpdatePlan next(bytes.data(), static_cast<std::uint32_t>(bytes.size()), 4);
      bool halfWay = n > 0 && n < stores.size();
      EXPECT_EQ(next.Repairs(), halfWay);
      std::vector<FndbStore> repair = next.Stores();
      ASSERT_EQ(repair.size(), halfWay ? 3u : 0u);
      ASSERT_TRUE(MakeFndbStores(bytes.data(), static_cast<std::uint32_t>(bytes.size()), repair));
      EXPECT_EQ(WordIn(bytes, kFndbChangeCountField),
                (n > publish ? 2u : 1u) + (halfWay ? 1u : 0u));
      EXPECT_EQ(WordIn(bytes, kFndbUnderwayField), 0u);
    }
    EXPECT_EQ(publish, stores.size() - 2);
  }
}

TEST(FndbUpdate, AddedNamesFillTheLastRecordThenNewOnes) {
  std::string bytes = Build(FndbTreeDirectory{"", {}, {{"d", {"a"}, {}}}});
  const std::uint32_t capacity = 3;
  // The chain of d after each added file: the names of each record.
  auto chain = [&] {
    FndbView view(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
    std::vector<std::uint32_t> counts;
    for (std::uint32_t record = view.FindSubDirectory(view.RootDirectory(), "d"); record != 0;
         record = view.Word(record + 16)) {
      counts.push_back(view.Word(record + 8));
    }
    return counts;
  };
  struct Row {
    const char* file;
    std::vector<std::uint32_t> chain;
  };
  const Row rows[] = {
      {"b", {2}}, {"c", {3}}, {"d", {3, 1}}, {"e", {3, 2}}, {"f", {3, 3}}, {"g", {3, 3, 1}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.file);
    EXPECT_EQ(Apply(&bytes, {Change(Kind::AddFile, std::string("d\\") + row.file)}, capacity),
              FndbPlanOutcome::Planned);
    EXPECT_EQ(chain(), row.chain);
  }
  // A removal keeps every record at its place in the chain, an emptied one too.
  EXPECT_EQ(Apply(&bytes, {Change(Kind::RemoveFile, "d\\g")}, capacity), FndbPlanOutcome::Planned);
  EXPECT_EQ(chain(), (std::vector<std::uint32_t>{3, 3, 0}));
  EXPECT_EQ(Apply(&bytes, {Change(Kind::RemoveFile, "d\\a")}, capacity), FndbPlanOutcome::Planned);
  EXPECT_EQ(chain(), (std::vector<std::uint32_t>{2, 3, 0}));
  EXPECT_EQ(Listing(bytes), "d\\\nd\\b\nd\\c\nd\\d\nd\\e\nd\\f\n");
}

TEST(FndbUpdate, ComparingWithATreeGivesTheEditsThatMakeIt) {
  FndbTreeDirectory disk = SmallTree();
  disk.files = {"readme", "new.txt"};                                   // case only; one added
  disk.subdirectories[0].subdirectories[0].files = {"a.sty", "d.sty"};  // two gone, one added
  disk.subdirectories.pop_back();                                       // doc gone
  disk.subdirectories.push_back({"fonts", {"f.tfm"}, {{"afm", {}, {}}}});
  disk.subdirectories[0].files.push_back("texmf.fndb");  // ignored
  std::string bytes = Build(SmallTree());
  FndbUpdatePlan plan(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
  std::vector<FndbDirectoryEdit> edits;
  ASSERT_EQ(plan.Compare(disk, {"TEX/texmf.fndb"}, &edits), FndbPlanOutcome::Planned);
  ASSERT_EQ(edits.size(), 2u);
  EXPECT_EQ(edits[0].path, "");
  EXPECT_EQ(edits[0].addFiles, std::vector<std::string>{"new.txt"});
  EXPECT_EQ(edits[0].removeDirectories, std::vector<std::string>{"doc"});
  ASSERT_EQ(edits[0].addDirectories.size(), 1u);
  EXPECT_EQ(edits[0].addDirectories[0].name, "fonts");
  EXPECT_EQ(edits[1].path, "tex\\latex");
  EXPECT_EQ(edits[1].addFiles, std::vector<std::string>{"d.sty"});
  EXPECT_EQ(edits[1].removeFiles, (std::vector<std::string>{"b.sty", "c.sty"}));
  for (const FndbDirectoryEdit& edit : edits) ASSERT_EQ(plan.Add(edit), FndbPlanOutcome::Planned);
  ASSERT_TRUE(
      MakeFndbStores(bytes.data(), static_cast<std::uint32_t>(bytes.size()), plan.Stores()));
  EXPECT_EQ(Listing(bytes),
            "fonts\\\nfonts\\afm\\\nfonts\\f.tfm\nnew.txt\nREADME\ntex\\\ntex\\latex\\\n"
            "tex\\latex\\a.sty\ntex\\latex\\d.sty\ntex\\plain.tex\n");
  FndbUpdatePlan again(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
  EXPECT_EQ(again.Compare(disk, {"tex\\texmf.fndb"}, &edits), FndbPlanOutcome::Unchanged);
  EXPECT_TRUE(edits.empty());
}

// Records reaching into the free space, off word boundaries or linking back are not built upon.
TEST(FndbUpdate, DamagedRecordsAreRefusedAndNothingIsPlanned) {
  const std::string good = Build(SmallTree());
  const std::uint32_t root = WordIn(good, kFndbRootDirectoryField);
  const std::uint32_t used = WordIn(good, kFndbUsedSizeField);
  struct Row {
    const char* label;
    std::uint32_t at;
    std::uint32_t value;
  };
  const Row rows[] = {
      {"usedSize below the records", kFndbUsedSizeField, root + 8},
      {"usedSize past the bytes", kFndbUsedSizeField, static_cast<std::uint32_t>(good.size()) + 1},
      {"root record off a word boundary", kFndbRootDirectoryField, root + 2},
      {"root record in the free space", kFndbRootDirectoryField, used + 8},
      {"a chain that links back", root + 16, root},
      {"a file count past the used part", root + 8, 0x40000000},
      {"not an fndb", 0, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    std::string bytes = good;
    std::memcpy(&bytes[row.at], &row.value, 4);
    FndbUpdatePlan plan(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
    EXPECT_EQ(plan.Add(Change(Kind::AddFile, "tex\\latex\\new.sty")), FndbPlanOutcome::Damaged);
    EXPECT_EQ(plan.Add(Change(Kind::RemoveFile, "README")), FndbPlanOutcome::Damaged);
    EXPECT_TRUE(plan.Stores().empty());
    std::vector<FndbDirectoryEdit> edits;
    EXPECT_EQ(plan.Compare(SmallTree(), {}, &edits), FndbPlanOutcome::Damaged);
  }
}

TEST(FndbUpdate, StoresOutsideTheBytesAreNotMade) {
  std::string bytes(64, '\0');
  FndbStore fill;
  fill.offset = 60;
  fill.bytes = "12345";
  FndbStore word;
  word.role = FndbStoreRole::Publish;
  word.offset = 62;
  word.word = 7;
  for (const FndbStore& store : {fill, word}) {
    EXPECT_FALSE(MakeFndbStores(bytes.data(), 64, {store}));
    EXPECT_EQ(bytes, std::string(64, '\0'));
  }
  word.offset = 60;
  EXPECT_TRUE(MakeFndbStores(bytes.data(), 64, {word}));
  EXPECT_EQ(WordIn(bytes, 60), 7u);
}

// A name index built before an update (a holder keeps its index until it sees the change count
// move) answers from the records it was built over, which stay as they were: each directory as
// before. A directory whose first record the update replaced is none it knows: the walk answers
// for it, never a "not found" of the index.
TEST(FndbUpdate, AnIndexBuiltBeforeAnUpdateLeavesReplacedDirectoriesToTheWalk) {
  struct Row {
    const char* label;
    FndbChange change;
    const char* key;
    const char* result;  // null: not found
  };
  const Row rows[] = {
      {"the start's first record replaced", Change(Kind::RemoveFile, "tex\\plain.tex"),
       "tex//a.sty", "C:\\texmf\\tex\\latex\\a.sty"},
      {"the root's first record replaced", Change(Kind::RemoveFile, "README"), "//c.sty",
       "C:\\texmf\\tex\\latex\\c.sty"},
      {"a file added below: as before", Change(Kind::AddFile, "tex\\latex\\new.sty"),
       "tex//new.sty", nullptr},
      {"a file added where it starts: as after", Change(Kind::AddFile, "tex\\new.tex"),
       "tex//new.tex", "C:\\texmf\\tex\\new.tex"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    std::string bytes = Build(SmallTree());
    FndbView view(bytes.data(), static_cast<std::uint32_t>(bytes.size()), kRoot);
    std::unique_ptr<FndbIndex> index = FndbIndex::Build(view);
    ASSERT_NE(index, nullptr);
    FndbLookups lookups(kRoot);
    lookups.BuildIndexNow(view);
    ASSERT_EQ(Apply(&bytes, {row.change}), FndbPlanOutcome::Planned);
    char result[kFndbResultSize] = "";
    EXPECT_EQ(view.Search(row.key, result, index.get()), row.result != nullptr);
    if (row.result != nullptr) {
      EXPECT_STREQ(result, row.result);
    }
    // A handle's lookups leave such a directory to the walk too.
    std::string key = std::string(kRoot) + "\\" + row.key;
    std::shared_ptr<const FndbIndex> walkIndex;
    EXPECT_EQ(lookups.Begin(view, key, key.rfind('/') + 1, result, &walkIndex),
              row.result != nullptr ? FndbLookups::Outcome::Walk : FndbLookups::Outcome::Absent);
  }
}

// Threads search the bytes without a lock while a writer updates them thousands of times: files
// that stay listed are always found where they are, files never listed never, files that come and
// go only at their own place.
TEST(FndbUpdate, ReadersSearchingWhileAWriterUpdatesGetNoWrongAnswer) {
  FndbTreeDirectory tree;
  std::vector<std::string> stable;
  for (int d = 0; d < 8; ++d) {
    FndbTreeDirectory directory{"dir" + std::to_string(d), {}, {}};
    for (int f = 0; f < 6; ++f) {
      std::string name = "keep" + std::to_string(d) + "_" + std::to_string(f) + ".tex";
      directory.files.push_back(name);
      stable.push_back(directory.name + "\\" + name);
    }
    directory.subdirectories.push_back({"sub", {"deep" + std::to_string(d) + ".sty"}, {}});
    stable.push_back(directory.name + "\\sub\\deep" + std::to_string(d) + ".sty");
    tree.subdirectories.push_back(std::move(directory));
  }
  tree.files = {"root.tex"};
  stable.push_back("root.tex");
  const int kUpdates = 1000;
  std::string initial = Build(tree, 3 << 20, 2);
  auto memory = std::make_unique<unsigned char[]>(initial.size());
  std::memcpy(memory.get(), initial.data(), initial.size());
  const std::uint32_t size = static_cast<std::uint32_t>(initial.size());

  std::atomic<bool> done{false};
  std::atomic<long> wrong{0};
  std::atomic<long> searches{0};
  auto reader = [&](int seed) {
    FndbView view(memory.get(), size, kRoot);
    std::unique_ptr<FndbIndex> index;
    std::uint32_t indexedCount = 0;
    char result[kFndbResultSize];
    for (int i = seed; !done; ++i) {
      const std::string& path = stable[i % stable.size()];
      std::string name = path.substr(path.find_last_of('\\') + 1);
      std::string expected = std::string(kRoot) + "\\" + path;
      if (!view.Search(path, result) || expected != result) ++wrong;
      if (!view.Search("//" + name, result) || expected != result) ++wrong;
      if (view.Search("//never" + std::to_string(i % 7) + ".tex", result)) ++wrong;
      // A file that comes and goes is found at one of its own places or not at all.
      std::string toggled = "t" + std::to_string(i % 5) + ".sty";
      if (view.Search("//" + toggled, result) && !AtItsPlace(result, toggled)) ++wrong;
      // The index is built anew now and then, not at every change: one built over records that
      // updates have replaced since answers from those records, which never change.
      std::uint32_t count = view.ChangeCount();
      if (!index || (count != indexedCount && i % 16 == 0)) {
        index = FndbIndex::Build(view);
        indexedCount = count;
      }
      if (!index || !index->Search(view, view.RootDirectory(), name, result) ||
          expected != result) {
        ++wrong;
      }
      ++searches;
    }
  };
  std::vector<std::thread> readers;
  for (int r = 0; r < 2; ++r) readers.emplace_back(reader, r * 17);

  // Each update toggles a file, and every third one a folder two levels deep, so that every one
  // changes the listing.
  std::set<std::string> listed;
  int updates = 0;
  for (int i = 0; i < kUpdates; ++i) {
    std::string directory = "dir" + std::to_string(i % 8);
    std::string file = directory + "\\t" + std::to_string((i / 8) % 5) + ".sty";
    std::vector<FndbChange> changes;
    changes.push_back(Change(listed.erase(file) ? Kind::RemoveFile : Kind::AddFile, file));
    if (changes.back().kind == Kind::AddFile) listed.insert(file);
    if (i % 3 == 0) {
      std::string folder = directory + "\\new";
      changes.push_back(
          listed.erase(folder)
              ? Change(Kind::RemoveTree, folder)
              : Change(Kind::AddFile, folder + "\\x\\t" + std::to_string(i % 5) + ".sty"));
      if (changes.back().kind == Kind::AddFile) listed.insert(folder);
    }
    FndbUpdatePlan plan(memory.get(), size, 2);
    for (const FndbChange& change : changes) {
      ASSERT_EQ(plan.Add(change), FndbPlanOutcome::Planned) << change.path;
    }
    ASSERT_LE(plan.UsedSize(), size);
    // The writer lets the readers run between any two of its stores, so that they meet the bytes
    // as each store leaves them.
    std::vector<FndbStore> stores = plan.Stores();
    ASSERT_TRUE(MakeFndbStores(memory.get(), size, stores, [](std::size_t, FndbStoreRole) {
      std::this_thread::yield();
      return true;
    }));
    ++updates;
  }
  // Let every reader see the last state too.
  long seen = searches;
  while (searches < seen + 30) std::this_thread::yield();
  done = true;
  for (std::thread& thread : readers) thread.join();
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(updates, kUpdates);
  EXPECT_GT(searches, 0);
  std::string final(reinterpret_cast<const char*>(memory.get()), size);
  EXPECT_NE(Listing(final), "unreadable");
}

// The free space a whole build leaves is for package installs while programs hold the database: a
// package of forty files in four new folders, added file by file (the costliest way: each file
// copies the last record of its folder), takes less than a sixteenth of it; added folder by folder,
// less than a thirty-second.
TEST(FndbUpdate, TheReserveOfAWholeBuildHoldsManyPackageInstalls) {
  FndbTreeDirectory latex{"latex", {}, {}};
  for (int i = 0; i < 300; ++i) {
    std::string name = "package" + std::to_string(i);
    latex.subdirectories.push_back({name, {name + ".sty", name + ".cfg"}, {}});
  }
  FndbTreeDirectory tree{"", {"README"}, {{"tex", {}, {latex}}, {"doc", {}, {}}}};
  const char* const folders[] = {"tex\\latex\\newpackage", "tex\\latex\\newpackage\\config",
                                 "doc\\latex\\newpackage", "source\\latex\\newpackage"};
  for (bool byFolder : {false, true}) {
    SCOPED_TRACE(byFolder ? "folder by folder" : "file by file");
    std::string bytes = Build(tree, kFndbBuildReserve);
    const std::uint32_t before = WordIn(bytes, kFndbUsedSizeField);
    for (const char* folder : folders) {
      FndbTreeDirectory content;
      for (int i = 0; i < 10; ++i)
        content.files.push_back("newpackage-part" + std::to_string(i) + ".sty");
      if (byFolder) {
        ASSERT_EQ(Apply(&bytes, {Change(Kind::AddTree, folder, content)}),
                  FndbPlanOutcome::Planned);
        continue;
      }
      for (const std::string& file : content.files) {
        ASSERT_EQ(Apply(&bytes, {Change(Kind::AddFile, std::string(folder) + "\\" + file)}),
                  FndbPlanOutcome::Planned);
      }
    }
    const std::uint32_t used = WordIn(bytes, kFndbUsedSizeField) - before;
    EXPECT_LT(used * (byFolder ? 32 : 16), kFndbBuildReserve) << used;
  }
}
