// fndb updates in place: random sequences of additions and removals applied to a laid-out tree.
// After every update the bytes read strictly as the model's tree, the plain and "//" lookups and
// the name index answer as the reference does on that tree, and a writer stopped after any store
// leaves each directory with its old or its new content. On damaged bytes: no read or store
// outside them.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "check.h"
#include "fndb_reference.h"
#include "fndbindex.h"
#include "fndblayout.h"
#include "fndbupdate.h"
#include "fndbview.h"
#include "korvid.h"

using namespace korvid;
using fuzzing::Folded;

namespace {

constexpr char kRoot[] = "C:\\texmf";
constexpr std::size_t kFreeSpace = 1 << 13;
constexpr std::size_t kMaxUpdates = 48;

// The model: what the database lists, each name with the spelling it was first listed with.
struct ModelDirectory {
  std::string name;
  std::map<std::string, std::string> files;  // folded name: name
  std::map<std::string, ModelDirectory> subdirectories;
};

bool GoodName(std::string_view name) {
  if (name.empty() || name == "." || name == "..") return false;
  for (char c : name) {
    if (c == '\0' || fuzzing::IsSeparator(c)) return false;
  }
  return true;
}

// The components of a path; names of a described tree also end at a zero byte (the layout stores
// names up to one), names of a change keep it (the plan refuses them).
std::vector<std::string> Components(std::string_view path, bool zeroSeparates = false) {
  auto separates = [&](char c) { return fuzzing::IsSeparator(c) || (zeroSeparates && c == '\0'); };
  std::vector<std::string> parts;
  std::size_t i = 0;
  while (i < path.size()) {
    while (i < path.size() && separates(path[i])) ++i;
    std::size_t start = i;
    while (i < path.size() && !separates(path[i])) ++i;
    if (i > start) parts.emplace_back(path.substr(start, i - start));
  }
  return parts;
}

std::size_t Depth(const fuzzing::RefDirectory& tree) {
  std::size_t depth = 0;
  for (const fuzzing::RefDirectory& child : tree.subdirectories) {
    depth = std::max(depth, 1 + Depth(child));
  }
  return depth;
}

std::size_t Depth(const FndbTreeDirectory& tree) {
  std::size_t depth = 0;
  for (const FndbTreeDirectory& child : tree.subdirectories)
    depth = std::max(depth, 1 + Depth(child));
  return depth;
}

bool GoodTree(const FndbTreeDirectory& tree) {
  for (const std::string& file : tree.files) {
    if (!GoodName(file)) return false;
  }
  for (const FndbTreeDirectory& child : tree.subdirectories) {
    if (!GoodName(child.name) || !GoodTree(child)) return false;
  }
  return true;
}

// Adds the tree's names that the directory does not list (the first spelling of a name wins).
bool Merge(ModelDirectory* directory, const FndbTreeDirectory& tree) {
  bool changed = false;
  for (const std::string& file : tree.files)
    changed |= directory->files.emplace(Folded(file), file).second;
  for (const FndbTreeDirectory& child : tree.subdirectories) {
    auto [it, added] =
        directory->subdirectories.emplace(Folded(child.name), ModelDirectory{child.name, {}, {}});
    changed |= added;
    changed |= Merge(&it->second, child);
  }
  return changed;
}

// Applies the change to the model the way the plan is meant to; the outcome it expects.
FndbPlanOutcome ApplyToModel(ModelDirectory* root, const FndbChange& change) {
  std::vector<std::string> parts = Components(change.path);
  if (parts.empty() || parts.size() > FndbView::kMaxWalkDepth) return FndbPlanOutcome::BadPath;
  for (const std::string& part : parts) {
    if (!GoodName(part) || part.find('\0') != std::string::npos) return FndbPlanOutcome::BadPath;
  }
  if (change.path.find('\0') != std::string::npos) return FndbPlanOutcome::BadPath;
  if (change.kind == FndbChange::Kind::AddTree &&
      (!GoodTree(change.content) ||
       parts.size() + Depth(change.content) > FndbView::kMaxWalkDepth)) {
    return FndbPlanOutcome::BadPath;
  }
  ModelDirectory* directory = root;
  bool creates =
      change.kind == FndbChange::Kind::AddFile || change.kind == FndbChange::Kind::AddTree;
  std::size_t walk = change.kind == FndbChange::Kind::AddTree ? parts.size() : parts.size() - 1;
  bool changed = false;
  for (std::size_t i = 0; i < walk; ++i) {
    auto it = directory->subdirectories.find(Folded(parts[i]));
    if (it == directory->subdirectories.end()) {
      if (!creates) return FndbPlanOutcome::Unchanged;
      it = directory->subdirectories.emplace(Folded(parts[i]), ModelDirectory{parts[i], {}, {}})
               .first;
      changed = true;
    }
    directory = &it->second;
  }
  const std::string& last = parts.back();
  switch (change.kind) {
    case FndbChange::Kind::AddFile:
      changed |= directory->files.emplace(Folded(last), last).second;
      break;
    case FndbChange::Kind::RemoveFile:
      changed = directory->files.erase(Folded(last)) > 0;
      break;
    case FndbChange::Kind::AddTree:
      changed |= Merge(directory, change.content);
      break;
    case FndbChange::Kind::RemoveTree:
      changed = directory->subdirectories.erase(Folded(last)) > 0;
      break;
  }
  return changed ? FndbPlanOutcome::Planned : FndbPlanOutcome::Unchanged;
}

ModelDirectory ModelOf(const FndbTreeDirectory& tree) {
  ModelDirectory model;
  Merge(&model, tree);
  return model;
}

bool SameAsModel(const fuzzing::RefDirectory& read, const ModelDirectory& model) {
  if (read.files.size() != model.files.size() ||
      read.subdirectories.size() != model.subdirectories.size()) {
    return false;
  }
  for (const std::string& file : read.files) {
    auto it = model.files.find(Folded(file));
    if (it == model.files.end() || it->second != file) return false;
  }
  for (const fuzzing::RefDirectory& child : read.subdirectories) {
    auto it = model.subdirectories.find(Folded(child.name));
    if (it == model.subdirectories.end() || it->second.name != child.name ||
        !SameAsModel(child, it->second)) {
      return false;
    }
  }
  return true;
}

// Each directory's names (folded, with a mark for directories), by folded path.
void Contents(const fuzzing::RefDirectory& directory, std::map<std::string, std::string>* out) {
  std::vector<std::string> names;
  for (const std::string& file : directory.files) names.push_back(Folded(file));
  for (const fuzzing::RefDirectory& child : directory.subdirectories) {
    names.push_back(Folded(child.name) + "\\");
    Contents(child, out);
  }
  std::sort(names.begin(), names.end());
  std::string text;
  for (const std::string& name : names) text += name + "|";
  (*out)[Folded(directory.path)] = text;
}

std::optional<std::map<std::string, std::string>> ReadContents(std::string_view bytes) {
  std::optional<fuzzing::RefDirectory> tree =
      fuzzing::StrictReader(bytes, fuzzing::ParentRule::SamePath).Read();
  if (!tree) return std::nullopt;
  std::map<std::string, std::string> contents;
  Contents(*tree, &contents);
  return contents;
}

// The lookups of the view, walked and through the name index, against the reference's.
void CheckLookups(const std::string& bytes, const fuzzing::RefDirectory& tree) {
  auto exact = std::make_unique<unsigned char[]>(bytes.size());
  std::memcpy(exact.get(), bytes.data(), bytes.size());
  FndbView view(exact.get(), static_cast<std::uint32_t>(bytes.size()), kRoot);
  // The index covers trees no deeper than the walk goes.
  std::unique_ptr<FndbIndex> index = FndbIndex::Build(view);
  FUZZ_CHECK(index != nullptr || Depth(tree) >= FndbView::kMaxWalkDepth);
  fuzzing::RefLookup reference(tree, kRoot);
  char result[kFndbResultSize];
  auto check = [&](const std::string& key) {
    std::optional<std::string> expected = reference.Search(key);
    if (reference.exhausted) return;
    bool found = view.Search(key, result);
    FUZZ_CHECK(found == expected.has_value());
    if (found) FUZZ_CHECK(*expected == result);
  };
  auto visit = [&](auto&& self, const fuzzing::RefDirectory& directory) -> void {
    for (const std::string& file : directory.files) {
      std::string path = directory.path.empty() ? file : directory.path + "\\" + file;
      check(path);
      check("//" + file);
      check(path + "~");
      if (index != nullptr && FndbIndex::Answers(file)) {
        std::optional<std::string> expected = reference.Search("//" + file);
        if (reference.exhausted) continue;
        bool found = index->Search(view, view.RootDirectory(), file, result);
        FUZZ_CHECK(found == expected.has_value());
        if (found) FUZZ_CHECK(*expected == result);
      }
    }
    for (const fuzzing::RefDirectory& child : directory.subdirectories) self(self, child);
  };
  visit(visit, tree);
}

// A tree from lines: a path of components separated by '/' or '\' is a file, or a directory when
// it ends in a separator. A name met again in other letter case is the same.
FndbTreeDirectory Describe(const std::vector<std::string_view>& lines) {
  FndbTreeDirectory root;
  for (std::string_view line : lines) {
    std::vector<std::string> parts = Components(line, true);
    if (parts.empty()) continue;
    FndbTreeDirectory* directory = &root;
    bool isDirectory = fuzzing::IsSeparator(line.back());
    for (std::size_t p = 0; p < parts.size(); ++p) {
      if (p + 1 == parts.size() && !isDirectory) {
        bool listed = false;
        for (const std::string& file : directory->files) listed |= Folded(file) == Folded(parts[p]);
        if (!listed) directory->files.push_back(parts[p]);
        break;
      }
      FndbTreeDirectory* next = nullptr;
      for (FndbTreeDirectory& child : directory->subdirectories) {
        if (Folded(child.name) == Folded(parts[p])) next = &child;
      }
      if (next == nullptr) {
        directory->subdirectories.push_back(FndbTreeDirectory{parts[p], {}, {}});
        next = &directory->subdirectories.back();
      }
      directory = next;
    }
  }
  return root;
}

std::vector<std::string_view> Split(std::string_view text, char separator) {
  std::vector<std::string_view> pieces;
  while (true) {
    std::size_t end = text.find(separator);
    pieces.push_back(text.substr(0, end));
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return pieces;
}

// A line of an operation: "+path" adds a file, "+path/" a directory, "+path/|a|b/c" a directory
// with content (lines as for Describe), "-path" removes a file, "-path/" a directory. A line that
// begins with '&' belongs to the update of the line before.
std::optional<FndbChange> Operation(std::string_view line) {
  if (line.empty() || (line[0] != '+' && line[0] != '-')) return std::nullopt;
  bool add = line[0] == '+';
  line.remove_prefix(1);
  std::vector<std::string_view> pieces = Split(line, '|');
  std::string_view path = pieces[0];
  bool directory = !path.empty() && fuzzing::IsSeparator(path.back());
  FndbChange change;
  change.path = std::string(path);
  if (add && directory) {
    change.kind = FndbChange::Kind::AddTree;
    change.content = Describe(std::vector<std::string_view>(pieces.begin() + 1, pieces.end()));
  } else if (add) {
    change.kind = FndbChange::Kind::AddFile;
  } else {
    change.kind = directory ? FndbChange::Kind::RemoveTree : FndbChange::Kind::RemoveFile;
  }
  return change;
}

}  // namespace

// Input: a byte of options (names per record of the laid-out tree in bits 0-1, the updates'
// record capacity minus one in bits 2-3, bit 4: damage a word of the bytes), then lines: the tree
// up to a line "=", then operations (see Operation); a further line "=" makes the listing that of
// the first tree again, through the comparison.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::uint32_t namesPerRecord = data[0] & 3;
  const std::uint32_t capacity = ((data[0] >> 2) & 3) + 1;
  const bool damaged = (data[0] & 16) != 0;
  std::vector<std::string_view> lines =
      Split(std::string_view(reinterpret_cast<const char*>(data + 1), size - 1), '\n');
  std::size_t split = 0;
  while (split < lines.size() && lines[split] != "=") ++split;
  FndbTreeDirectory first =
      Describe(std::vector<std::string_view>(lines.begin(), lines.begin() + split));
  FndbLayoutOptions layout;
  layout.namesPerRecord = namesPerRecord;
  layout.reserve = kFreeSpace;
  std::string bytes = LayOutFndb(first, layout);
  FUZZ_CHECK(!bytes.empty());
  if (damaged && size >= 5) {
    std::uint32_t at;
    std::memcpy(&at, data + size - 4, 4);
    std::uint32_t value = at >> 7;
    at = (at % static_cast<std::uint32_t>(bytes.size() / 4)) * 4;
    std::memcpy(&bytes[at], &value, 4);
  }
  ModelDirectory model = ModelOf(first);

  // Groups of changes, each one update.
  std::vector<std::vector<std::optional<FndbChange>>> updates;  // nullopt: the comparison
  for (std::size_t i = split + 1; i < lines.size() && updates.size() < kMaxUpdates; ++i) {
    std::string_view line = lines[i];
    bool joined = !line.empty() && line[0] == '&' && !updates.empty();
    if (joined) line.remove_prefix(1);
    std::optional<FndbChange> change = Operation(line);
    if (!change && line != "=") continue;
    if (!joined) updates.emplace_back();
    updates.back().push_back(std::move(change));
  }

  std::uint32_t count =
      FndbView(bytes.data(), static_cast<std::uint32_t>(bytes.size())).ChangeCount();
  for (const auto& update : updates) {
    const std::uint32_t total = static_cast<std::uint32_t>(bytes.size());
    FndbUpdatePlan plan(bytes.data(), total, capacity);
    ModelDirectory next = model;
    bool refused = false;
    for (const std::optional<FndbChange>& change : update) {
      if (!change) {
        std::vector<FndbDirectoryEdit> edits;
        FndbPlanOutcome compared = plan.Compare(first, {}, &edits);
        if (damaged) {
          for (const FndbDirectoryEdit& edit : edits) plan.Add(edit);
          continue;
        }
        FUZZ_CHECK(compared != FndbPlanOutcome::Damaged);
        for (const FndbDirectoryEdit& edit : edits) {
          FUZZ_CHECK(plan.Add(edit) == FndbPlanOutcome::Planned);
        }
        next = ModelOf(first);
        continue;
      }
      FndbPlanOutcome outcome = plan.Add(*change);
      if (damaged) continue;
      FUZZ_CHECK(outcome == ApplyToModel(&next, *change));
    }
    std::vector<FndbStore> stores = plan.Stores();
    if (plan.UsedSize() > total) refused = true;  // full: nothing is made
    if (damaged) {
      if (!refused) FUZZ_CHECK(MakeFndbStores(bytes.data(), total, stores));
      continue;
    }
    if (refused) continue;

    // The stores: the mark first, the count and the cleared mark last; fills only from the old
    // usedSize on; below it only word stores on word boundaries.
    const std::string before = bytes;
    const std::uint32_t oldUsed = FndbView(before.data(), total).UsedSize();
    FUZZ_CHECK(stores.empty() == plan.Empty());
    if (stores.empty()) continue;
    FUZZ_CHECK(stores.front().role == FndbStoreRole::Underway);
    FUZZ_CHECK(stores[stores.size() - 2].role == FndbStoreRole::ChangeCount);
    FUZZ_CHECK(stores.back().role == FndbStoreRole::Done);
    std::uint32_t end = oldUsed;
    for (const FndbStore& store : stores) {
      if (store.role == FndbStoreRole::Fill) {
        FUZZ_CHECK(store.offset >= end && store.offset % 4 == 0);
        end = store.offset + static_cast<std::uint32_t>(store.bytes.size());
        continue;
      }
      FUZZ_CHECK(store.offset % 4 == 0 && store.offset + 4 <= end);
      // Only a publishing store changes a word the lookups read.
      if (store.role != FndbStoreRole::Publish) {
        FUZZ_CHECK(store.offset == kFndbUsedSizeField || store.offset == kFndbChangeCountField ||
                   store.offset == kFndbUnderwayField);
      }
      if (store.role == FndbStoreRole::UsedSize) FUZZ_CHECK(store.word == end);
    }

    // Stopped after any store: strictly readable, each directory as the last publishing store
    // left it (each change of a directory is one publishing store, and the changes of one update
    // are made one after the other). The stores between two publishing stores change nothing the
    // lookups read (checked above), so the bytes are read after each publishing store.
    std::string after = before;
    FUZZ_CHECK(MakeFndbStores(after.data(), total, stores));
    std::map<std::string, std::vector<std::optional<std::string>>> seen;  // by path: each state
    std::size_t publishes = 0;
    std::size_t boundaries = 0;
    auto record = [&](const std::map<std::string, std::string>& contents) {
      // A directory first met now was absent at the boundaries before.
      for (const auto& entry : contents) {
        seen.try_emplace(entry.first, boundaries, std::nullopt);
      }
      ++boundaries;
      for (auto& [path, states] : seen) {
        auto it = contents.find(path);
        states.push_back(it == contents.end() ? std::nullopt
                                              : std::optional<std::string>(it->second));
      }
    };
    std::vector<std::map<std::string, std::string>> stopped;
    for (std::size_t n = 0; n <= stores.size(); ++n) {
      if (n > 0 && n < stores.size() && stores[n - 1].role != FndbStoreRole::Publish) continue;
      std::string partial = before;
      if (n > 0) {
        FUZZ_CHECK(MakeFndbStores(partial.data(), total, stores,
                                  [&](std::size_t number, FndbStoreRole) { return number < n; }));
      }
      std::optional<std::map<std::string, std::string>> now = ReadContents(partial);
      FUZZ_CHECK(now.has_value());
      if (n == 0 || stores[n - 1].role == FndbStoreRole::Publish) {
        record(*now);
        publishes += n > 0;
      }
      stopped.push_back(std::move(*now));
      FUZZ_CHECK(FndbUpdatePlan(partial.data(), total, capacity).Repairs() ==
                 (n > 0 && n < stores.size()));
    }
    for (const std::map<std::string, std::string>& contents : stopped) {
      for (auto& [path, states] : seen) {
        auto it = contents.find(path);
        std::optional<std::string> state =
            it == contents.end() ? std::nullopt : std::optional<std::string>(it->second);
        FUZZ_CHECK(std::find(states.begin(), states.end(), state) != states.end());
      }
    }
    FUZZ_CHECK(publishes > 0);
    bytes = std::move(after);
    model = std::move(next);
    count = count + 1 == 0 ? 1 : count + 1;
    FndbView view(bytes.data(), total);
    FUZZ_CHECK(view.ChangeCount() == count);
    FUZZ_CHECK(view.Word(kFndbUnderwayField) == 0);
    std::optional<fuzzing::RefDirectory> read =
        fuzzing::StrictReader(bytes, fuzzing::ParentRule::SamePath).Read();
    FUZZ_CHECK(read.has_value());
    FUZZ_CHECK(SameAsModel(*read, model));
    CheckLookups(bytes, *read);
  }
  return 0;
}
