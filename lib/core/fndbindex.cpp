// The file-name index of an fndb: built once over a sound tree, then lookups without a walk.
#include "fndbindex.h"

#include "core.h"

#include <algorithm>
#include <bit>

namespace korvid {
namespace {

inline bool IsSeparator(char c) { return c == '\\' || c == '/'; }

}  // namespace

// Names of one hash are told apart by the lookup, which compares them.
std::uint32_t FndbIndex::Hash(std::string_view name) { return HashIgnoringCase(name); }

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
  std::uint32_t root = view.RootDirectory();
  if (root == 0) return nullptr;
  // The records read so far, one bit for each byte offset of the view.
  std::vector<std::uint64_t> seen(view.Size() / 64 + 1, 0);
  auto firstRead = [&seen](std::uint32_t offset) {
    std::uint64_t bit = std::uint64_t{1} << (offset & 63);
    std::uint64_t& word = seen[offset >> 6];
    if (word & bit) return false;
    word |= bit;
    return true;
  };

  struct Frame {
    std::uint32_t order;          // of the directory
    std::uint32_t record;         // the chain record whose subdirectories are being visited
    std::uint32_t next;           // the next subdirectory of that record
    std::uint32_t linksLeft;
  };
  std::vector<Frame> stack;
  std::vector<Posting> found;  // in walk order
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
      FndbView::Record record;
      if (!view.ReadRecord(offset, &record) || !firstRead(offset)) return false;
      for (std::uint32_t i = 0; i < record.fileCount; ++i) {
        std::optional<std::string_view> name = view.String(view.Word(record.FileNames() + 4 * i));
        if (!name) return false;
        found.push_back(Posting{Hash(*name), order});
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
  // Databases are written depth first, so the records mostly come in walk order already.
  if (!std::is_sorted(index->orderByRecord.begin(), index->orderByRecord.end())) {
    std::sort(index->orderByRecord.begin(), index->orderByRecord.end());
  }

  // The postings by the top bits of their hash, about one name to a bucket: a counting sort,
  // which keeps the walk order within a bucket; then each bucket by hash and order.
  index->bucketBits = std::clamp<unsigned>(std::bit_width(found.size()), 2, 24) - 1;
  std::vector<std::uint32_t>& buckets = index->buckets;
  buckets.assign((std::size_t{1} << index->bucketBits) + 1, 0);
  for (const Posting& posting : found) ++buckets[index->Bucket(posting.hash) + 1];
  for (std::size_t b = 1; b < buckets.size(); ++b) buckets[b] += buckets[b - 1];
  std::vector<std::uint32_t> next(buckets.begin(), buckets.end() - 1);
  index->postings.resize(found.size());
  for (const Posting& posting : found) {
    index->postings[next[index->Bucket(posting.hash)]++] = posting;
  }
  auto byHashThenOrder = [](const Posting& a, const Posting& b) {
    return a.hash != b.hash ? a.hash < b.hash : a.order < b.order;
  };
  for (std::size_t b = 0; b + 1 < buckets.size(); ++b) {
    if (buckets[b + 1] - buckets[b] > 1) {
      std::sort(index->postings.begin() + buckets[b], index->postings.begin() + buckets[b + 1],
                byHashThenOrder);
    }
  }
  return index;
}

FndbIndex::TreeSize FndbIndex::Measure(const FndbView& view) {
  TreeSize size;
  std::uint64_t recordsLeft = view.MaxChainLength();
  std::vector<std::uint32_t> pending;
  if (view.RootDirectory() != 0) pending.push_back(view.RootDirectory());
  while (!pending.empty()) {
    std::uint32_t offset = pending.back();
    pending.pop_back();
    ++size.directories;
    for (; offset != 0 && recordsLeft > 0; --recordsLeft) {
      FndbView::Record record;
      if (!view.ReadRecord(offset, &record)) break;
      size.names += record.fileCount;
      for (std::uint32_t i = 0; i < record.subdirectoryCount && pending.size() < recordsLeft; ++i) {
        pending.push_back(view.Word(record.SubdirectoryRecords() + 4 * i));
      }
      offset = record.extensionOffset;
    }
  }
  return size;
}

bool FndbIndex::Covers(std::uint32_t directory) const {
  Span span = SpanOf(directory);
  return span.first < span.end;
}

FndbIndex::Span FndbIndex::SpanOf(std::uint32_t directory) const {
  auto place = std::lower_bound(orderByRecord.begin(), orderByRecord.end(),
                                static_cast<std::uint64_t>(directory) << 32);
  if (place == orderByRecord.end() || (*place >> 32) != directory) return Span{};
  std::uint32_t first = static_cast<std::uint32_t>(*place);
  return Span{first, spanEnds[first]};
}

FndbIndex::Candidates FndbIndex::CandidatesOf(std::string_view name) const {
  if (buckets.empty()) return Candidates{};
  std::uint32_t hash = Hash(name);
  auto begin = postings.begin() + buckets[Bucket(hash)];
  auto end = postings.begin() + buckets[Bucket(hash) + 1];
  auto [low, high] = std::equal_range(
      begin, end, Posting{hash, 0},
      [](const Posting& a, const Posting& b) { return a.hash < b.hash; });
  return Candidates{static_cast<std::uint32_t>(low - postings.begin()),
                    static_cast<std::uint32_t>(high - postings.begin())};
}

bool FndbIndex::Search(const FndbView& view, std::uint32_t directory, std::string_view name,
                       char* result) const {
  return Search(view, SpanOf(directory), CandidatesOf(name), name, result);
}

std::optional<bool> SearchIndex(const FndbIndex& index, const FndbView& view,
                                std::uint32_t directory, std::string_view remainder, char* result) {
  if (!FndbIndex::Answers(remainder) || !index.Covers(directory)) return std::nullopt;
  return index.Search(view, directory, remainder, result);
}

// Other names of the same hash, and a directory whose path does not fit the result, are passed
// over as the walk passes over them.
bool FndbIndex::Search(const FndbView& view, Span span, Candidates candidates,
                       std::string_view name, char* result) const {
  if (span.first >= span.end || candidates.begin >= candidates.end) return false;
  auto candidate = std::lower_bound(
      postings.begin() + candidates.begin, postings.begin() + candidates.end, span.first,
      [](const Posting& posting, std::uint32_t order) { return posting.order < order; });
  for (; candidate != postings.begin() + candidates.end && candidate->order < span.end;
       ++candidate) {
    if (view.FindFileInDirectory(records[candidate->order], name, result)) return true;
  }
  return false;
}

}  // namespace korvid
