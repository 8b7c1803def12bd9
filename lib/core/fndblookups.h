// What an fndb handle keeps between its searches: the failed searches, the name index and when it
// is worth building, and what each entry and the name searched last decided.
#pragma once

#include "fndbindex.h"
#include "fndbview.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvid {

// Texts kept once each, found again without regard to ASCII case; ids count from 0 in the order
// of insertion.
class FoldedTexts {
 public:
  static constexpr std::uint32_t kNone = 0xFFFFFFFF;
  static std::uint32_t Hash(std::string_view text);
  std::uint32_t Find(std::string_view text, std::uint32_t hash) const;  // kNone when absent
  std::uint32_t Insert(std::string_view text, std::uint32_t hash);     // must be absent
  std::size_t Size() const { return spans.size(); }
  void Clear();

 private:
  struct Span {
    std::uint32_t hash;
    std::uint32_t offset;  // in texts
    std::uint32_t length;
  };
  std::string texts;
  std::vector<Span> spans;
  std::vector<std::uint32_t> slots;  // id + 1; 0: free
};

// The failed searches of a handle: a set of keys compared without regard to ASCII case. A key is
// kept as the pair of its part through its last separator (the entry, for a plain name) and the
// rest (the name), each text once: a file search records one name below each of a few entries.
class FndbFailedSearches {
 public:
  // Keys kept at most; the set is emptied before one more is kept.
  static constexpr std::uint32_t kMaxKeys = (1u << 24) - 1;
  // Where the rest of a key begins: just past its last separator (0 when it has none).
  static std::size_t RestStart(std::string_view key);

  bool Contains(std::string_view key) const;
  void Insert(std::string_view key);  // when absent
  // The same with the parts' ids (FoldedTexts::kNone: a text not kept, so no key with it).
  bool Contains(std::uint32_t part, std::uint32_t rest) const;
  void Insert(std::uint32_t part, std::uint32_t rest);  // when absent
  std::uint32_t PartId(std::string_view part, bool add);
  std::uint32_t RestId(std::string_view rest, bool add);
  bool Empty() const { return count == 0; }
  bool Full() const { return count == kMaxKeys; }
  // Counts the clears, so that ids kept elsewhere can be told from those of an emptied set.
  std::uint64_t Generation() const { return generation; }
  // The texts kept: a text not found is not found while these stay the same.
  std::size_t Parts() const { return parts.Size(); }
  std::size_t Rests() const { return rests.Size(); }
  void Clear();

 private:
  static std::uint64_t PairOf(std::uint32_t part, std::uint32_t rest) {
    return (static_cast<std::uint64_t>(rest) + 1) << 32 | part;
  }
  FoldedTexts parts;
  FoldedTexts rests;
  // For each rest, the first 64 parts it failed with; the other pairs in an open-addressed table
  // (0: free). A file search asks for one name below each of a few entries, so the names' bits
  // answer it without a look-up of its own for each entry.
  static constexpr std::uint32_t kMaskedParts = 64;
  std::vector<std::uint64_t> partMasks;
  std::vector<std::uint64_t> pairs;
  std::uint32_t pairCount = 0;
  std::uint32_t count = 0;
  std::uint64_t generation = 0;
};

// A search asks the handle for one key, entry + separator + name, at a time; a file search asks
// for the same name below every entry of a root in turn (seven entries for the launcher's pattern)
// and for the same entries in every search. So the part of the work that depends on the entry
// alone (the key made relative to the root, the directory before its "//", that directory's span
// in the index, the entry's text among the failed searches) is done once per entry, and the name
// is looked up once for all the entries that ask for it one after another. The answers are those
// of the walk, and the failed searches those the handle would record key by key.
//
// The index is built when the walks have cost about as much as building it would:
//   1. never while no entry has been walked twice, so that a process that searches once (the
//      launcher) never pays for an index, nor for counting the tree;
//   2. then the directories and names of the tree are counted once, by reading its records;
//   3. the index is built once the walks since the content last changed have tried as many
//      directories as kWalkedPerDirectory for each directory of the tree and one for each
//      kNamesPerWalked names (the cost of the build, counted in directories walked).
// Not thread-safe: the handle calls it under its lock (RelativeKey reads nothing that changes).
class FndbLookups {
 public:
  static constexpr std::uint64_t kWalkedPerDirectory = 1;
  static constexpr std::uint64_t kNamesPerWalked = 4;

  explicit FndbLookups(std::string rootPath);

  // The key made relative to the root, as the search looks it up (an absolute key below the root
  // loses the root; the pair of a "//" that follows the root itself is kept); none when the key
  // is absolute but not below the root, or longer than a path. key ends in a zero byte.
  std::optional<std::string_view> RelativeKey(std::string_view key) const;

  enum class Outcome { Dismissed, Found, Absent, Walk };
  // A search of the key, whose first entryPartLength bytes are the entry and the separator put
  // after it (the rest is the name):
  //   Dismissed: the key failed before;
  //   Found, Absent: the index answers it (the result filled as the walk fills it; a failure is
  //     recorded);
  //   Walk: the key must be walked, and *walkIndex is the index the walk may use (null: none).
  Outcome Begin(const FndbView& view, std::string_view key, std::size_t entryPartLength,
                char* result, std::shared_ptr<const FndbIndex>* walkIndex);
  // After a walk: the directories it tried, and whether it found the key.
  void Walked(std::string_view key, std::uint64_t directories, bool found);
  // The database's content changed: nothing of the above holds any more.
  void Forget();

  bool Indexed() const { return index != nullptr; }
  // Builds the index now, whatever the rule says (a test hook: the answers with an index).
  void BuildIndexNow(const FndbView& view);

 private:
  // The id of a text among the failed searches, kept: an id found stays until the set is emptied;
  // a text not found is looked up again once the set has more texts.
  struct KeptId {
    std::uint32_t id = FoldedTexts::kNone;
    std::uint64_t generation = ~std::uint64_t{0};  // of the set the id is of
    std::size_t textsSeen = 0;  // the set's texts when the text was not found
    template <typename Lookup>
    std::uint32_t Get(std::uint64_t setGeneration, std::size_t texts, bool add, Lookup lookup);
  };
  // What an entry decides whatever the name (a plain one, without separators). What every search
  // of the entry reads comes first.
  struct Plan {
    std::string entryPart;
    KeptId part;  // the entry part among the failed searches
    bool walks = false;         // the key walks below the directory before the entry's "//"
    bool answersNames = false;  // ... and the rest of the key is the name alone
    std::uint32_t directory = 0;  // that directory; 0: there is none
    std::uint64_t spanSerial = 0;  // the index the span belongs to; 0: none yet
    FndbIndex::Span span;
    std::uint64_t foundSerial = 0;  // the index that found foundName there, as found
    std::string foundName;
    std::string found;
    unsigned walksSeen = 0;
  };
  // The name asked last, and what was looked up for it.
  struct Name {
    bool known = false;
    std::string text;  // a plain name
    KeptId rest;       // the name among the failed searches
    std::uint64_t candidatesSerial = 0;
    FndbIndex::Candidates candidates;
  };
  Outcome Answer(const FndbView& view, std::string_view key, std::size_t entryPartLength,
                 char* result, Plan** planUsed);
  void Record(Plan& plan, std::string_view key, std::size_t entryPartLength);
  // Whether the name has no separator; then it is the name kept below.
  bool PlainName(std::string_view text);
  // The ids of the entry part and of the plain name kept, among the failed searches; kNone when
  // absent, unless add puts them there.
  std::uint32_t PartOf(Plan& plan, bool add);
  std::uint32_t RestOf(bool add);
  Plan MakePlan(const FndbView& view, std::string_view entryPart) const;
  Plan& PlanFor(const FndbView& view, std::string_view entryPart);
  bool IndexDue(const FndbView& view);

  std::string rootPath;
  FndbFailedSearches failedSearches;
  std::vector<Plan> plans;
  std::size_t nextPlan = 0;  // entries come in the same order in every search: looked at first
  Name name;

  std::shared_ptr<const FndbIndex> index;
  bool noIndex = false;     // the tree is not sound enough for one
  std::uint64_t serial = 1;  // counts the indexes built: spans and candidates are of this one

  std::uint64_t walked = 0;
  bool repeated = false;  // an entry has been walked twice
  std::optional<FndbIndex::TreeSize> tree;
};

}  // namespace korvid
