// The file-name index of an fndb: built once over a sound tree, then lookups without a walk.
#include "fndbindex.h"

#include "korvid.h"

#include <algorithm>
#include <unordered_set>

namespace korvid {
namespace {

inline bool IsSeparator(char c) { return c == '\\' || c == '/'; }

}  // namespace

std::uint32_t FndbIndex::Hash(std::string_view name) {
  std::uint32_t hash = 2166136261u;
  for (char c : name) hash = (hash ^ FoldAsciiCase(static_cast<unsigned char>(c))) * 16777619u;
  return hash ^ (hash >> 15);
}

bool FndbIndex::Answers(std::string_view remainder) {
  if (remainder.empty()) return false;
  for (char c : remainder) {
    if (IsSeparator(c)) return false;
  }
  return true;
}

// Walks the tree in the walk's order with an explicit stack. Anything the walk would treat
// differently from a plain tree gives up: a record read twice (a loop, or two parents), a record
// or a name outside the view, a subdirectory offset of 0, a directory deeper than the walk goes.
std::unique_ptr<FndbIndex> FndbIndex::Build(const FndbView& view) {
  auto index = std::unique_ptr<FndbIndex>(new FndbIndex);
  std::unordered_set<std::uint32_t> seen;
  std::uint32_t root = view.RootDirectory();
  if (root == 0) return nullptr;

  struct Frame {
    std::uint32_t order;          // of the directory
    std::uint32_t record;         // the chain record whose subdirectories are being visited
    std::uint32_t next;           // the next subdirectory of that record
    std::uint32_t linksLeft;
  };
  std::vector<Frame> stack;
  // Enters a directory: numbers it, reads the file names of its whole chain.
  auto enter = [&](std::uint32_t directory) -> bool {
    if (directory == 0 || stack.size() > FndbView::kMaxWalkDepth) return false;
    std::uint32_t order = static_cast<std::uint32_t>(index->records.size());
    index->records.push_back(directory);
    index->spanEnds.push_back(0);
    index->orderByRecord.push_back(static_cast<std::uint64_t>(directory) << 32 | order);
    std::uint32_t offset = directory;
    std::uint32_t links = view.MaxChainLength();
    for (; offset != 0 && links > 0; --links) {
      if (!seen.insert(offset).second) return false;
      FndbView::Record record;
      if (!view.ReadRecord(offset, &record)) return false;
      for (std::uint32_t i = 0; i < record.fileCount; ++i) {
        std::optional<std::string_view> name = view.String(view.Word(record.FileNames() + 4 * i));
        if (!name) return false;
        index->postings.push_back(Posting{Hash(*name), order});
      }
      offset = record.extensionOffset;
    }
    if (offset != 0) return false;
    stack.push_back(Frame{order, directory, 0, view.MaxChainLength()});
    return true;
  };

  if (!enter(root)) return nullptr;
  while (!stack.empty()) {
    Frame& frame = stack.back();
    FndbView::Record record;
    if (!view.ReadRecord(frame.record, &record)) return nullptr;
    if (frame.next < record.subdirectoryCount) {
      std::uint32_t child = view.Word(record.SubdirectoryRecords() + 4 * frame.next++);
      if (!enter(child)) return nullptr;
      continue;
    }
    if (record.extensionOffset != 0 && --frame.linksLeft > 0) {
      frame.record = record.extensionOffset;
      frame.next = 0;
      continue;
    }
    index->spanEnds[frame.order] = static_cast<std::uint32_t>(index->records.size());
    stack.pop_back();
  }

  std::sort(index->orderByRecord.begin(), index->orderByRecord.end());
  // Postings were made in walk order; a stable sort by hash keeps that order within a name.
  std::stable_sort(index->postings.begin(), index->postings.end(),
                   [](const Posting& a, const Posting& b) { return a.hash < b.hash; });
  return index;
}

bool FndbIndex::Covers(std::uint32_t directory) const {
  auto place = std::lower_bound(orderByRecord.begin(), orderByRecord.end(),
                                static_cast<std::uint64_t>(directory) << 32);
  return place != orderByRecord.end() && (*place >> 32) == directory;
}

bool FndbIndex::Search(const FndbView& view, std::uint32_t directory, std::string_view name,
                       char* result) const {
  auto place = std::lower_bound(orderByRecord.begin(), orderByRecord.end(),
                                static_cast<std::uint64_t>(directory) << 32);
  if (place == orderByRecord.end() || (*place >> 32) != directory) return false;
  std::uint32_t first = static_cast<std::uint32_t>(*place);
  std::uint32_t end = spanEnds[first];
  std::uint32_t hash = Hash(name);
  auto candidate = std::lower_bound(
      postings.begin(), postings.end(), Posting{hash, first}, [](const Posting& a, const Posting& b) {
        return a.hash != b.hash ? a.hash < b.hash : a.order < b.order;
      });
  // Other names of the same hash, and a directory whose path does not fit the result, are passed
  // over as the walk passes over them.
  for (; candidate != postings.end() && candidate->hash == hash && candidate->order < end;
       ++candidate) {
    if (view.FindFileInDirectory(records[candidate->order], name, result)) return true;
  }
  return false;
}

}  // namespace korvid
