// What an fndb handle keeps between its searches: failed searches, entry plans, the name index.
#include "fndblookups.h"

#include "core.h"
#include "korvid/path.h"

#include <cstring>
#include <utility>

namespace korvid {
namespace {

// MakeRelative works on copies of at most this many bytes; a longer key is not found.
constexpr std::size_t kMaxKey = 259;
// Plans kept at most; a process that searches more entries than this starts them again.
constexpr std::size_t kMaxPlans = 256;

inline bool IsSeparator(char c) { return c == '\\' || c == '/'; }

bool HasSeparator(std::string_view text) {
  for (char c : text) {
    if (IsSeparator(c)) return true;
  }
  return false;
}

// Open addressing with linear probing over a power-of-two table, grown at half load.
template <typename Slot>
std::size_t Probe(const std::vector<Slot>& slots, std::uint64_t hash) {
  return static_cast<std::size_t>(hash) & (slots.size() - 1);
}

std::uint64_t MixPair(std::uint64_t pair) {
  pair *= 0x9E3779B97F4A7C15ull;
  return pair ^ (pair >> 29);
}

}  // namespace

// ---------------------------------------------------------------------------------------------

std::uint32_t FoldedTexts::Hash(std::string_view text) { return HashIgnoringCase(text); }

std::uint32_t FoldedTexts::Find(std::string_view text, std::uint32_t hash) const {
  if (slots.empty()) return kNone;
  for (std::size_t i = Probe(slots, hash); slots[i] != 0; i = (i + 1) & (slots.size() - 1)) {
    const Span& span = spans[slots[i] - 1];
    if (span.hash == hash &&
        EqualIgnoringCase(std::string_view(texts).substr(span.offset, span.length), text)) {
      return slots[i] - 1;
    }
  }
  return kNone;
}

std::uint32_t FoldedTexts::Insert(std::string_view text, std::uint32_t hash) {
  if (2 * (spans.size() + 1) > slots.size()) {
    std::vector<std::uint32_t> grown(slots.empty() ? 64 : 2 * slots.size(), 0);
    for (std::size_t id = 0; id < spans.size(); ++id) {
      std::size_t i = Probe(grown, spans[id].hash);
      while (grown[i] != 0) i = (i + 1) & (grown.size() - 1);
      grown[i] = static_cast<std::uint32_t>(id + 1);
    }
    slots.swap(grown);
  }
  std::size_t i = Probe(slots, hash);
  while (slots[i] != 0) i = (i + 1) & (slots.size() - 1);
  spans.push_back(Span{hash, static_cast<std::uint32_t>(texts.size()),
                       static_cast<std::uint32_t>(text.size())});
  texts.append(text);
  slots[i] = static_cast<std::uint32_t>(spans.size());
  return static_cast<std::uint32_t>(spans.size() - 1);
}

void FoldedTexts::Clear() {
  texts.clear();
  spans.clear();
  slots.clear();
}

// ---------------------------------------------------------------------------------------------

std::size_t FndbFailedSearches::RestStart(std::string_view key) {
  std::size_t start = key.size();
  while (start > 0 && !IsSeparator(key[start - 1])) --start;
  return start;
}

std::uint32_t FndbFailedSearches::PartId(std::string_view part, bool add) {
  std::uint32_t hash = FoldedTexts::Hash(part);
  std::uint32_t id = parts.Find(part, hash);
  return id == FoldedTexts::kNone && add ? parts.Insert(part, hash) : id;
}

std::uint32_t FndbFailedSearches::RestId(std::string_view rest, bool add) {
  std::uint32_t hash = FoldedTexts::Hash(rest);
  std::uint32_t id = rests.Find(rest, hash);
  return id == FoldedTexts::kNone && add ? rests.Insert(rest, hash) : id;
}

bool FndbFailedSearches::Contains(std::uint32_t part, std::uint32_t rest) const {
  if (part == FoldedTexts::kNone || rest == FoldedTexts::kNone) return false;
  if (part < kMaskedParts) return rest < partMasks.size() && (partMasks[rest] >> part) & 1;
  if (pairs.empty()) return false;
  std::uint64_t pair = PairOf(part, rest);
  std::size_t mask = pairs.size() - 1;
  for (std::size_t i = Probe(pairs, MixPair(pair)); pairs[i] != 0; i = (i + 1) & mask) {
    if (pairs[i] == pair) return true;
  }
  return false;
}

void FndbFailedSearches::Insert(std::uint32_t part, std::uint32_t rest) {
  ++count;
  if (part < kMaskedParts) {
    if (rest >= partMasks.size()) partMasks.resize(rest + 1, 0);
    partMasks[rest] |= std::uint64_t{1} << part;
    return;
  }
  if (2 * (pairCount + 1) > pairs.size()) {
    std::vector<std::uint64_t> grown(pairs.empty() ? 64 : 2 * pairs.size(), 0);
    for (std::uint64_t pair : pairs) {
      if (pair == 0) continue;
      std::size_t i = Probe(grown, MixPair(pair));
      while (grown[i] != 0) i = (i + 1) & (grown.size() - 1);
      grown[i] = pair;
    }
    pairs.swap(grown);
  }
  std::uint64_t pair = PairOf(part, rest);
  std::size_t i = Probe(pairs, MixPair(pair));
  while (pairs[i] != 0) i = (i + 1) & (pairs.size() - 1);
  pairs[i] = pair;
  ++pairCount;
}

bool FndbFailedSearches::Contains(std::string_view key) const {
  if (count == 0) return false;
  std::size_t start = RestStart(key);
  std::string_view part = key.substr(0, start);
  std::string_view rest = key.substr(start);
  return Contains(parts.Find(part, FoldedTexts::Hash(part)),
                  rests.Find(rest, FoldedTexts::Hash(rest)));
}

void FndbFailedSearches::Insert(std::string_view key) {
  if (Full()) Clear();
  std::size_t start = RestStart(key);
  std::uint32_t part = PartId(key.substr(0, start), true);
  Insert(part, RestId(key.substr(start), true));
}

void FndbFailedSearches::Clear() {
  parts.Clear();
  rests.Clear();
  partMasks.clear();
  pairs.clear();
  pairCount = 0;
  count = 0;
  ++generation;
}

// ---------------------------------------------------------------------------------------------

FndbLookups::FndbLookups(std::string rootPath) : rootPath(std::move(rootPath)) {}

std::optional<std::string_view> FndbLookups::RelativeKey(std::string_view key) const {
  const char* relative = key.data();
  if (IsAbsolutePath(relative)) {
    relative = MakeRelative(relative, rootPath.c_str());
    if (relative == nullptr) return std::nullopt;
    // The root followed by "//": the first '/' ended the root, the pair still marks the walk.
    if (relative > key.data() && relative[0] == '/' && relative[-1] == '/') --relative;
  }
  return std::string_view(relative, key.data() + key.size() - relative);
}

// The plan is worked out on the key the entry makes with a one-letter name, and holds for every
// plain name when nothing it rests on reads past the entry part:
//   1. whether the key is absolute (its first three bytes);
//   2. for an absolute key, the comparison with the root (the root's length and one more byte)
//      and the byte before the relative key (the "//" after the root);
//   3. the first "//" of the relative key, which must end inside the entry part; a name without
//      separators cannot put one before it.
FndbLookups::Plan FndbLookups::MakePlan(const FndbView& view, std::string_view entryPart) const {
  Plan plan;
  plan.entryPart = entryPart;
  if (entryPart.size() < 3 || entryPart.size() >= kMaxKey) return plan;
  std::string probe(entryPart);
  probe += 'x';
  std::optional<std::string_view> relative = RelativeKey(probe);
  if (!relative) return plan;
  std::size_t start = static_cast<std::size_t>(relative->data() - probe.data());
  if (IsAbsolutePath(probe.c_str()) &&
      (rootPath.size() + 1 > entryPart.size() || start >= entryPart.size())) {
    return plan;
  }
  std::size_t split = relative->find("//");
  if (split == std::string_view::npos || start + split + 2 > entryPart.size()) return plan;
  plan.walks = true;
  plan.answersNames = start + split + 2 == entryPart.size();
  std::string_view prefix = relative->substr(0, split);
  bool anyComponent = prefix.find_first_not_of("\\/") != std::string_view::npos;
  plan.directory = anyComponent ? view.FindSubDirectory(view.RootDirectory(), prefix)
                                : view.RootDirectory();
  return plan;
}

FndbLookups::Plan& FndbLookups::PlanFor(const FndbView& view, std::string_view entryPart) {
  if (nextPlan < plans.size() && SameBytes(plans[nextPlan].entryPart, entryPart)) {
    return plans[nextPlan++];
  }
  for (std::size_t i = 0; i < plans.size(); ++i) {
    if (SameBytes(plans[i].entryPart, entryPart)) {
      nextPlan = i + 1;
      return plans[i];
    }
  }
  if (plans.size() >= kMaxPlans) plans.clear();
  plans.push_back(MakePlan(view, entryPart));
  nextPlan = plans.size();
  return plans.back();
}

bool FndbLookups::IndexDue(const FndbView& view) {
  if (!repeated) return false;
  if (!tree) tree = FndbIndex::Measure(view);
  return walked >= tree->directories * kWalkedPerDirectory + tree->names / kNamesPerWalked;
}

void FndbLookups::BuildIndexNow(const FndbView& view) {
  index = FndbIndex::Build(view);
  noIndex = index == nullptr;
  ++serial;
}

// A plain name splits its key into the entry part and the name, as the failed searches keep it;
// the ids of both are kept with the plan and the name (an id found stays until the set is emptied;
// a text not found is looked up again once the set has more texts).
bool FndbLookups::PlainName(std::string_view text) {
  if (name.known && SameBytes(text, name.text)) return true;
  if (HasSeparator(text)) return false;
  name.known = true;
  name.text.assign(text);
  name.rest = KeptId();
  name.candidatesSerial = 0;
  return true;
}

template <typename Lookup>
std::uint32_t FndbLookups::KeptId::Get(std::uint64_t setGeneration, std::size_t texts, bool add,
                                       Lookup lookup) {
  if (generation != setGeneration || (id == FoldedTexts::kNone && textsSeen != texts)) {
    id = lookup(false);
    generation = setGeneration;
    textsSeen = texts;
  }
  if (id == FoldedTexts::kNone && add) id = lookup(true);
  return id;
}

std::uint32_t FndbLookups::PartOf(Plan& plan, bool add) {
  return plan.part.Get(failedSearches.Generation(), failedSearches.Parts(), add, [&](bool adding) {
    return failedSearches.PartId(plan.entryPart, adding);
  });
}

std::uint32_t FndbLookups::RestOf(bool add) {
  return name.rest.Get(failedSearches.Generation(), failedSearches.Rests(), add, [&](bool adding) {
    return failedSearches.RestId(name.text, adding);
  });
}

FndbLookups::Outcome FndbLookups::Answer(const FndbView& view, std::string_view key,
                                         std::size_t entryPartLength, char* result,
                                         Plan** planUsed) {
  std::string_view entryPart = key.substr(0, entryPartLength);
  // The entry that follows the last one asked for (a file search's next entry) has its plan.
  // Otherwise an entry without "//" names one directory: the walk answers it, and nothing is kept
  // for it but its failures (plain lookups ask for ever other entries, which plans would churn).
  bool next = nextPlan < plans.size() && SameBytes(plans[nextPlan].entryPart, entryPart);
  if (!next && entryPart.find("//") == std::string_view::npos) {
    *planUsed = nullptr;
    return failedSearches.Contains(key) ? Outcome::Dismissed : Outcome::Walk;
  }
  Plan& plan = next ? plans[nextPlan++] : PlanFor(view, entryPart);
  *planUsed = &plan;
  std::string_view text = key.substr(entryPartLength);
  bool plain = PlainName(text);
  if (plain ? failedSearches.Contains(PartOf(plan, false), RestOf(false))
            : failedSearches.Contains(key)) {
    return Outcome::Dismissed;
  }
  if (!index && !noIndex && IndexDue(view)) BuildIndexNow(view);
  if (!index || !plain || !plan.answersNames || text.empty() || key.size() >= kMaxKey) {
    return Outcome::Walk;
  }
  if (plan.directory == 0) return Outcome::Absent;
  if (name.candidatesSerial != serial) {
    name.candidates = index->CandidatesOf(text);
    name.candidatesSerial = serial;
  }
  if (plan.spanSerial != serial) {
    plan.span = index->SpanOf(plan.directory);
    plan.spanSerial = serial;
  }
  // A directory the index was not built over (its first record replaced by an update in place
  // since) is walked.
  if (plan.span.first >= plan.span.end) return Outcome::Walk;
  // The name found last below the entry is found again without reading the records.
  if (plan.foundSerial == serial && SameBytes(plan.foundName, text)) {
    std::memcpy(result, plan.found.c_str(), plan.found.size() + 1);
    return Outcome::Found;
  }
  if (!index->Search(view, plan.span, name.candidates, text, result)) return Outcome::Absent;
  plan.foundName.assign(text);
  plan.found.assign(result);
  plan.foundSerial = serial;
  return Outcome::Found;
}

FndbLookups::Outcome FndbLookups::Begin(const FndbView& view, std::string_view key,
                                        std::size_t entryPartLength, char* result,
                                        std::shared_ptr<const FndbIndex>* walkIndex) {
  Plan* plan;
  Outcome outcome = Answer(view, key, entryPartLength, result, &plan);
  if (outcome == Outcome::Absent) Record(*plan, key, entryPartLength);
  if (outcome == Outcome::Walk) {
    if (plan != nullptr && plan->walks && plan->directory != 0 && plan->walksSeen++ > 0) {
      repeated = true;
    }
    *walkIndex = index;
  }
  return outcome;
}

void FndbLookups::Record(Plan& plan, std::string_view key, std::size_t entryPartLength) {
  if (failedSearches.Full() || !PlainName(key.substr(entryPartLength))) {
    if (!failedSearches.Contains(key)) failedSearches.Insert(key);
    return;
  }
  std::uint32_t part = PartOf(plan, true);
  std::uint32_t rest = RestOf(true);
  if (!failedSearches.Contains(part, rest)) failedSearches.Insert(part, rest);
}

void FndbLookups::Walked(std::string_view key, std::uint64_t directories, bool found) {
  walked += directories;
  // Another thread may have recorded the same miss meanwhile.
  if (!found && !failedSearches.Contains(key)) failedSearches.Insert(key);
}

void FndbLookups::Forget() {
  failedSearches.Clear();
  plans.clear();
  nextPlan = 0;
  name = Name{};
  index.reset();
  noIndex = false;
  ++serial;
  walked = 0;
  repeated = false;
  tree.reset();
}

}  // namespace korvid
