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
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "fndb_reference.h"
#include "fndbbytes.h"
#include "fndbindex.h"
#include "fndbview.h"
#include "korvid.h"

using namespace korvid;
using testing_support::SetWordAt;
using testing_support::WordAt;

namespace {

constexpr char kRoot[] = "C:\\texmf";
using Kind = FndbChange::Kind;

std::uint32_t SizeOf(const std::string& bytes) { return static_cast<std::uint32_t>(bytes.size()); }

// Calls visit for every directory a strict reading of the bytes lists; false when it does not
// accept them.
bool ForEachDirectory(const std::string& bytes,
                      const std::function<void(const fuzzing::RefDirectory&)>& visit) {
  std::optional<fuzzing::RefDirectory> tree =
      fuzzing::StrictReader(bytes, fuzzing::ParentRule::SamePath).Read();
  auto walk = [&](auto&& self, const fuzzing::RefDirectory& directory) -> void {
    visit(directory);
    for (const fuzzing::RefDirectory& child : directory.subdirectories) self(self, child);
  };
  if (tree) walk(walk, *tree);
  return tree.has_value();
}

std::vector<std::string> Sorted(std::vector<std::string> lines) {
  std::sort(lines.begin(), lines.end(), CaseInsensitiveLess());
  return lines;
}

// Every directory (ending in '\') and file below the root, letter case folded in the order: what a
// strict reading of the bytes lists, or "unreadable".
std::vector<std::string> Listing(const std::string& bytes) {
  std::vector<std::string> lines;
  bool readable = ForEachDirectory(bytes, [&](const fuzzing::RefDirectory& directory) {
    std::string prefix = directory.path.empty() ? "" : directory.path + "\\";
    for (const std::string& file : directory.files) lines.push_back(prefix + file);
    for (const fuzzing::RefDirectory& child : directory.subdirectories) {
      lines.push_back(child.path + "\\");
    }
  });
  return readable ? Sorted(lines) : std::vector<std::string>{"unreadable"};
}

// The content of each directory (its names, folded and sorted), by path.
std::map<std::string, std::string> Directories(const std::string& bytes) {
  std::map<std::string, std::string> directories;
  ForEachDirectory(bytes, [&](const fuzzing::RefDirectory& directory) {
    std::vector<std::string> names;
    for (const std::string& file : directory.files) names.push_back(fuzzing::Folded(file));
    for (const fuzzing::RefDirectory& child : directory.subdirectories) {
      names.push_back(fuzzing::Folded(child.name) + "\\");
    }
    std::sort(names.begin(), names.end());
    std::string& text = directories[fuzzing::Folded(directory.path)];
    for (const std::string& name : names) text += name + " ";
  });
  return directories;
}

// A directory's content in the map, if it is there.
std::optional<std::string> ContentOf(const std::map<std::string, std::string>& directories,
                                     const std::string& path) {
  auto at = directories.find(path);
  return at == directories.end() ? std::nullopt : std::optional<std::string>(at->second);
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

FndbChange Change(Kind kind, const std::string& path, FndbTreeDirectory content = {}) {
  return FndbChange{kind, path, std::move(content)};
}
FndbChange FileAdded(const std::string& path) { return Change(Kind::AddFile, path); }
FndbChange FileRemoved(const std::string& path) { return Change(Kind::RemoveFile, path); }
FndbChange TreeAdded(const std::string& path, FndbTreeDirectory content) {
  return Change(Kind::AddTree, path, std::move(content));
}
FndbChange TreeRemoved(const std::string& path) { return Change(Kind::RemoveTree, path); }

FndbUpdatePlan PlanOver(const std::string& bytes,
                        std::uint32_t namesPerRecord = kFndbUpdateNamesPerRecord) {
  return FndbUpdatePlan(bytes.data(), SizeOf(bytes), namesPerRecord);
}

bool Store(std::string* bytes, const std::vector<FndbStore>& stores,
           const std::function<bool(std::size_t, FndbStoreRole)>& afterStore = {}) {
  return MakeFndbStores(bytes->data(), SizeOf(*bytes), stores, afterStore);
}

// Plans the changes on the bytes and makes the stores; the outcome of the last change.
FndbPlanOutcome Apply(std::string* bytes, const std::vector<FndbChange>& changes,
                      std::uint32_t namesPerRecord = kFndbUpdateNamesPerRecord) {
  FndbUpdatePlan plan = PlanOver(*bytes, namesPerRecord);
  FndbPlanOutcome outcome = FndbPlanOutcome::Unchanged;
  for (const FndbChange& change : changes) outcome = plan.Add(change);
  EXPECT_LE(plan.UsedSize(), bytes->size());
  EXPECT_TRUE(Store(bytes, plan.Stores()));
  return outcome;
}

// A word store's role, offset and word, to compare at once.
std::tuple<FndbStoreRole, std::uint32_t, std::uint32_t> WordStore(const FndbStore& store) {
  return {store.role, store.offset, store.word};
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
  using enum FndbPlanOutcome;
  struct Row {
    const char* label;
    std::vector<FndbChange> changes;
    FndbPlanOutcome outcome;
    std::vector<std::string> added = {};    // lines the listing gains
    std::vector<std::string> removed = {};  // lines it loses
  };
  std::string deep;  // deeper than the lookups go
  for (int i = 0; i < 129; ++i) deep += "d\\";
  const Row rows[] = {
      {"a file into a directory", {FileAdded("tex\\latex\\d.sty")}, Planned, {"tex\\latex\\d.sty"}},
      {"a file into the root", {FileAdded("/AAA")}, Planned, {"AAA"}},
      {"a file listed in other case", {FileAdded("TEX/Latex/A.STY")}, Unchanged},
      {"a file with two missing parents", {FileAdded("tex//new/deeper/n.sty")}, Planned,
       {"tex\\new\\", "tex\\new\\deeper\\", "tex\\new\\deeper\\n.sty"}},
      {"a file removed", {FileRemoved("tex\\latex\\b.sty")}, Planned, {}, {"tex\\latex\\b.sty"}},
      {"the root's file removed (its first record)", {FileRemoved("readme")}, Planned, {},
       {"README"}},
      {"a file not listed", {FileRemoved("tex\\none.sty")}, Unchanged},
      {"a file below a missing directory", {FileRemoved("none\\x")}, Unchanged},
      {"a directory is no file", {FileRemoved("tex\\latex")}, Unchanged},
      {"a directory with its content",
       {TreeAdded("fonts\\tfm", {"", {"cmr10.tfm"}, {{"public", {"p.tfm"}, {}}}})}, Planned,
       {"fonts\\", "fonts\\tfm\\", "fonts\\tfm\\cmr10.tfm", "fonts\\tfm\\public\\",
        "fonts\\tfm\\public\\p.tfm"}},
      {"a listed directory gains what it lacks",
       {TreeAdded("tex", {"", {"PLAIN.TEX", "new.tex"}, {{"latex", {"z.sty"}, {}}}})}, Planned,
       {"tex\\new.tex", "tex\\latex\\z.sty"}},
      {"a listed directory lacks nothing", {TreeAdded("tex", {"", {"plain.tex"}, {}})}, Unchanged},
      {"a directory with everything below it", {TreeRemoved("tex")}, Planned, {},
       {"tex\\", "tex\\plain.tex", "tex\\latex\\", "tex\\latex\\a.sty", "tex\\latex\\b.sty",
        "tex\\latex\\c.sty"}},
      {"a directory not listed", {TreeRemoved("tex\\none")}, Unchanged},
      {"a file then its directory", {FileAdded("doc\\y.pdf"), TreeRemoved("doc")}, Planned, {},
       {"doc\\", "doc\\x.pdf"}},
      {"no component", {FileAdded("\\/")}, BadPath},
      {"a dot component", {FileAdded("tex\\.\\x")}, BadPath},
      {"a dot-dot component", {TreeRemoved("tex/..")}, BadPath},
      {"a zero byte", {FileAdded(std::string("a\0b", 3))}, BadPath},
      {"a name longer than a result", {FileAdded(std::string(300, 'n'))}, Planned,
       {std::string(300, 'n')}},
      {"deeper than the lookups go", {FileAdded(deep + "f")}, BadPath},
      {"a bad name in added content", {TreeAdded("x", {"", {".."}, {}})}, BadPath},
  };
  const std::vector<std::string> before = Listing(Build(SmallTree()));
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    std::string bytes = Build(SmallTree());
    const std::string old = bytes;
    EXPECT_EQ(Apply(&bytes, row.changes), row.outcome);
    std::vector<std::string> expected = before;
    for (const std::string& line : row.removed) {
      auto at = std::find(expected.begin(), expected.end(), line);
      ASSERT_NE(at, expected.end()) << line;
      expected.erase(at);
    }
    expected.insert(expected.end(), row.added.begin(), row.added.end());
    EXPECT_EQ(Listing(bytes), Sorted(expected));
    bool changed = row.outcome == Planned;
    EXPECT_EQ(bytes != old, changed);
    EXPECT_EQ(WordAt(bytes, kFndbChangeCountField), changed ? 2u : 1u);
  }
}

// The stores of an update: the new bytes go into the free space; below the old usedSize only the
// mark of an update under way, usedSize, one link word per edited directory and changeCount
// change.
TEST(FndbUpdate, StoresFillThenMoveUsedSizeThenPublishThenCount) {
  struct Row {
    const char* label;
    FndbChange change;
    std::size_t publishes;
  };
  const Row rows[] = {
      {"one file", FileAdded("tex\\latex\\d.sty"), 1},
      {"a removal", FileRemoved("README"), 1},
      {"two directories' edits", TreeAdded("tex", {"", {"n.tex"}, {{"latex", {"n.sty"}, {}}}}), 2},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    std::string bytes = Build(SmallTree());
    FndbUpdatePlan plan = PlanOver(bytes);
    plan.Add(row.change);
    std::vector<FndbStore> stores = plan.Stores();
    ASSERT_EQ(stores.size(), 3 * row.publishes + 3);
    EXPECT_EQ(WordStore(stores.front()),
              std::make_tuple(FndbStoreRole::Underway, kFndbUnderwayField, kFndbUnderway));
    std::uint32_t end = WordAt(bytes, kFndbUsedSizeField);
    for (std::size_t edit = 0; edit < row.publishes; ++edit) {
      const FndbStore& fill = stores[1 + 3 * edit];
      const FndbStore& publish = stores[3 + 3 * edit];
      EXPECT_EQ(fill.role, FndbStoreRole::Fill);
      EXPECT_GE(fill.offset, end);
      EXPECT_EQ(fill.offset % 4, 0u);
      end = fill.offset + static_cast<std::uint32_t>(fill.bytes.size());
      EXPECT_EQ(WordStore(stores[2 + 3 * edit]),
                std::make_tuple(FndbStoreRole::UsedSize, kFndbUsedSizeField, end));
      EXPECT_EQ(publish.role, FndbStoreRole::Publish);
      EXPECT_EQ(publish.offset % 4, 0u);
      EXPECT_GE(publish.word, fill.offset);
      EXPECT_LT(publish.word, end);
    }
    EXPECT_EQ(WordStore(stores[stores.size() - 2]),
              std::make_tuple(FndbStoreRole::ChangeCount, kFndbChangeCountField, 2u));
    EXPECT_EQ(WordStore(stores.back()),
              std::make_tuple(FndbStoreRole::Done, kFndbUnderwayField, 0u));
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
  const std::pair<const char*, FndbChange> rows[] = {
      {"a file added to a full chain", FileAdded("tex\\latex\\e.sty")},
      {"a new folder two levels deep", FileAdded("doc\\new\\deeper\\n.pdf")},
      {"a removal from a first record", FileRemoved("README")},
  };
  for (const auto& [label, change] : rows) {
    SCOPED_TRACE(label);
    FndbUpdatePlan plan = PlanOver(built, 4);
    ASSERT_EQ(plan.Add(change), FndbPlanOutcome::Planned);
    std::vector<FndbStore> stores = plan.Stores();
    ASSERT_EQ(stores.size(), 6u);
    std::string complete = built;
    ASSERT_TRUE(Store(&complete, stores));
    const std::map<std::string, std::string> old = Directories(built);
    const std::map<std::string, std::string> updated = Directories(complete);
    ASSERT_NE(old, updated);
    std::set<std::string> paths;
    for (const auto& [path, names] : old) paths.insert(path);
    for (const auto& [path, names] : updated) paths.insert(path);
    std::size_t publish = 0;  // the number of the publishing store, from 1
    for (std::size_t i = 0; i < stores.size(); ++i) {
      if (stores[i].role == FndbStoreRole::Publish) publish = i + 1;
    }
    EXPECT_EQ(publish, stores.size() - 2);
    for (std::size_t n = 0; n <= stores.size(); ++n) {
      SCOPED_TRACE("stopped after store " + std::to_string(n));
      std::string bytes = built;
      std::size_t made = 0;
      if (n > 0) {
        ASSERT_TRUE(Store(&bytes, stores, [&](std::size_t number, FndbStoreRole) {
          made = number;
          return number < n;
        }));
      }
      EXPECT_EQ(made, n);
      std::map<std::string, std::string> directories = Directories(bytes);
      ASSERT_FALSE(directories.empty()) << "not accepted by the strict reader";
      bool allOld = true;
      bool allNew = true;
      for (const std::string& path : paths) {
        bool asBefore = ContentOf(directories, path) == ContentOf(old, path);
        bool asAfter = ContentOf(directories, path) == ContentOf(updated, path);
        EXPECT_TRUE(asBefore || asAfter) << path;
        allOld = allOld && asBefore;
        allNew = allNew && asAfter;
      }
      // Until the publishing store the listing is the old one; from it on, the new one. The store
      // after it moves changeCount: a writer ended between the two leaves the new listing with
      // the old count.
      EXPECT_EQ(allOld, n < publish);
      EXPECT_EQ(allNew, n >= publish);
      EXPECT_EQ(WordAt(bytes, kFndbChangeCountField), n > publish ? 2u : 1u);
      FndbUpdatePlan next = PlanOver(bytes, 4);
      bool halfWay = n > 0 && n < stores.size();
      EXPECT_EQ(next.Repairs(), halfWay);
      std::vector<FndbStore> repair = next.Stores();
      ASSERT_EQ(repair.size(), halfWay ? 3u : 0u);
      ASSERT_TRUE(Store(&bytes, repair));
      EXPECT_EQ(WordAt(bytes, kFndbChangeCountField),
                (n > publish ? 2u : 1u) + (halfWay ? 1u : 0u));
      EXPECT_EQ(WordAt(bytes, kFndbUnderwayField), 0u);
    }
  }
}

TEST(FndbUpdate, AddedNamesFillTheLastRecordThenNewOnes) {
  std::string bytes = Build(FndbTreeDirectory{"", {}, {{"d", {"a"}, {}}}});
  const std::uint32_t capacity = 3;
  // The chain of d after each change: the names of each record.
  auto chain = [&] {
    FndbView view(bytes.data(), SizeOf(bytes));
    std::vector<std::uint32_t> counts;
    for (std::uint32_t record = view.FindSubDirectory(view.RootDirectory(), "d"); record != 0;
         record = view.Word(record + 16)) {
      counts.push_back(view.Word(record + 8));
    }
    return counts;
  };
  struct Row {
    FndbChange change;
    std::vector<std::uint32_t> chain;
  };
  const Row rows[] = {
      {FileAdded("d\\b"), {2}},    {FileAdded("d\\c"), {3}},    {FileAdded("d\\d"), {3, 1}},
      {FileAdded("d\\e"), {3, 2}}, {FileAdded("d\\f"), {3, 3}}, {FileAdded("d\\g"), {3, 3, 1}},
      // A removal keeps every record at its place in the chain, an emptied one too.
      {FileRemoved("d\\g"), {3, 3, 0}}, {FileRemoved("d\\a"), {2, 3, 0}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.change.path);
    EXPECT_EQ(Apply(&bytes, {row.change}, capacity), FndbPlanOutcome::Planned);
    EXPECT_EQ(chain(), row.chain);
  }
  EXPECT_EQ(Listing(bytes),
            (std::vector<std::string>{"d\\", "d\\b", "d\\c", "d\\d", "d\\e", "d\\f"}));
}

TEST(FndbUpdate, ComparingWithATreeGivesTheEditsThatMakeIt) {
  FndbTreeDirectory disk = SmallTree();
  disk.files = {"readme", "new.txt"};                                   // case only; one added
  disk.subdirectories[0].subdirectories[0].files = {"a.sty", "d.sty"};  // two gone, one added
  disk.subdirectories.pop_back();                                       // doc gone
  disk.subdirectories.push_back({"fonts", {"f.tfm"}, {{"afm", {}, {}}}});
  disk.subdirectories[0].files.push_back("texmf.fndb");  // ignored
  std::string bytes = Build(SmallTree());
  FndbUpdatePlan plan = PlanOver(bytes);
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
  ASSERT_TRUE(Store(&bytes, plan.Stores()));
  EXPECT_EQ(Listing(bytes),
            (std::vector<std::string>{"fonts\\", "fonts\\afm\\", "fonts\\f.tfm", "new.txt",
                                      "README", "tex\\", "tex\\latex\\", "tex\\latex\\a.sty",
                                      "tex\\latex\\d.sty", "tex\\plain.tex"}));
  EXPECT_EQ(PlanOver(bytes).Compare(disk, {"tex\\texmf.fndb"}, &edits), FndbPlanOutcome::Unchanged);
  EXPECT_TRUE(edits.empty());
}

// Records reaching into the free space, off word boundaries or linking back are not built upon.
TEST(FndbUpdate, DamagedRecordsAreRefusedAndNothingIsPlanned) {
  const std::string good = Build(SmallTree());
  const std::uint32_t root = WordAt(good, kFndbRootDirectoryField);
  const std::uint32_t used = WordAt(good, kFndbUsedSizeField);
  struct Row {
    const char* label;
    std::uint32_t at;
    std::uint32_t value;
  };
  const Row rows[] = {
      {"usedSize below the records", kFndbUsedSizeField, root + 8},
      {"usedSize past the bytes", kFndbUsedSizeField, SizeOf(good) + 1},
      {"root record off a word boundary", kFndbRootDirectoryField, root + 2},
      {"root record in the free space", kFndbRootDirectoryField, used + 8},
      {"a chain that links back", root + 16, root},
      {"a file count past the used part", root + 8, 0x40000000},
      {"not an fndb", 0, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    std::string bytes = good;
    SetWordAt(&bytes, row.at, row.value);
    FndbUpdatePlan plan = PlanOver(bytes);
    EXPECT_EQ(plan.Add(FileAdded("tex\\latex\\new.sty")), FndbPlanOutcome::Damaged);
    EXPECT_EQ(plan.Add(FileRemoved("README")), FndbPlanOutcome::Damaged);
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
    EXPECT_FALSE(Store(&bytes, {store}));
    EXPECT_EQ(bytes, std::string(64, '\0'));
  }
  word.offset = 60;
  EXPECT_TRUE(Store(&bytes, {word}));
  EXPECT_EQ(WordAt(bytes, 60), 7u);
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
      {"the start's first record replaced", FileRemoved("tex\\plain.tex"), "tex//a.sty",
       "C:\\texmf\\tex\\latex\\a.sty"},
      {"the root's first record replaced", FileRemoved("README"), "//c.sty",
       "C:\\texmf\\tex\\latex\\c.sty"},
      {"a file added below: as before", FileAdded("tex\\latex\\new.sty"), "tex//new.sty", nullptr},
      {"a file added where it starts: as after", FileAdded("tex\\new.tex"), "tex//new.tex",
       "C:\\texmf\\tex\\new.tex"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    std::string bytes = Build(SmallTree());
    FndbView view(bytes.data(), SizeOf(bytes), kRoot);
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
  FndbTreeDirectory tree{"", {"root.tex"}, {}};
  std::vector<std::string> stable = {"root.tex"};
  for (int d = 0; d < 8; ++d) {
    std::string name = "dir" + std::to_string(d);
    FndbTreeDirectory directory{name, {}, {{"sub", {"deep" + std::to_string(d) + ".sty"}, {}}}};
    stable.push_back(name + "\\sub\\deep" + std::to_string(d) + ".sty");
    for (int f = 0; f < 6; ++f) {
      directory.files.push_back("keep" + std::to_string(d) + "_" + std::to_string(f) + ".tex");
      stable.push_back(name + "\\" + directory.files.back());
    }
    tree.subdirectories.push_back(std::move(directory));
  }
  const int kUpdates = 1000;
  std::string initial = Build(tree, 3 << 20, 2);
  auto memory = std::make_unique<unsigned char[]>(initial.size());
  std::memcpy(memory.get(), initial.data(), initial.size());
  const std::uint32_t size = SizeOf(initial);

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
    changes.push_back(listed.erase(file) ? FileRemoved(file) : FileAdded(file));
    if (changes.back().kind == Kind::AddFile) listed.insert(file);
    if (i % 3 == 0) {
      std::string folder = directory + "\\new";
      changes.push_back(listed.erase(folder)
                            ? TreeRemoved(folder)
                            : FileAdded(folder + "\\x\\t" + std::to_string(i % 5) + ".sty"));
      if (changes.back().kind == Kind::AddFile) listed.insert(folder);
    }
    FndbUpdatePlan plan(memory.get(), size, 2);
    for (const FndbChange& change : changes) {
      ASSERT_EQ(plan.Add(change), FndbPlanOutcome::Planned) << change.path;
    }
    ASSERT_LE(plan.UsedSize(), size);
    // The writer lets the readers run between any two of its stores, so that they meet the bytes
    // as each store leaves them.
    ASSERT_TRUE(MakeFndbStores(memory.get(), size, plan.Stores(), [](std::size_t, FndbStoreRole) {
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
  EXPECT_NE(Listing(final), std::vector<std::string>{"unreadable"});
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
  FndbTreeDirectory content;
  for (int i = 0; i < 10; ++i) {
    content.files.push_back("newpackage-part" + std::to_string(i) + ".sty");
  }
  for (bool byFolder : {false, true}) {
    SCOPED_TRACE(byFolder ? "folder by folder" : "file by file");
    std::string bytes = Build(tree, kFndbBuildReserve);
    const std::uint32_t before = WordAt(bytes, kFndbUsedSizeField);
    for (const char* folder : folders) {
      if (byFolder) {
        ASSERT_EQ(Apply(&bytes, {TreeAdded(folder, content)}), FndbPlanOutcome::Planned);
        continue;
      }
      for (const std::string& file : content.files) {
        ASSERT_EQ(Apply(&bytes, {FileAdded(std::string(folder) + "\\" + file)}),
                  FndbPlanOutcome::Planned);
      }
    }
    const std::uint32_t used = WordAt(bytes, kFndbUsedSizeField) - before;
    EXPECT_LT(used * (byFolder ? 32 : 16), kFndbBuildReserve) << used;
  }
}
