// An index of the file names of one fndb over its byte view, for the "//" lookups that repeat.
#pragma once

#include "fndbview.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

namespace korvid {

// For each file name, the directories that list it, in the order the "//" walk visits them.
// A lookup of a plain name below a directory is then a look-up of the name's hash and a binary
// search over the directory's span of the walk order, where the walk visits every directory of
// the span. The index is built only over a database whose records form a sound tree (each record
// reached once, every record and name inside the view, no deeper than the walk goes), so that its
// answers are exactly the walk's: the first directory in walk order that lists the name and whose
// path fits the result. It refers to the view by offsets and must be dropped when the view's
// bytes change.
class FndbIndex {
 public:
  // Null when the records do not form a sound tree (the walk then answers alone).
  static std::unique_ptr<FndbIndex> Build(const FndbView& view);

  // What building an index over the view would read: its directories and file names, counted
  // by following the records alone (at most as many records as the view could hold, so that
  // records that link back end the count).
  struct TreeSize {
    std::uint64_t directories = 0;
    std::uint64_t names = 0;
  };
  static TreeSize Measure(const FndbView& view);

  // Whether Search answers for this remainder of a key: one name, no separator.
  static bool Answers(std::string_view remainder);

  // The directories at any depth below a directory (itself included): a range of the walk order.
  struct Span {
    std::uint32_t first = 0;
    std::uint32_t end = 0;  // empty when the directory is not in the tree
  };
  Span SpanOf(std::uint32_t directory) const;

  // The entries of the names that share a name's hash: a range of the index's entries.
  struct Candidates {
    std::uint32_t begin = 0;
    std::uint32_t end = 0;
  };
  Candidates CandidatesOf(std::string_view name) const;

  // Whether the directory (a first record) is one of those the index was built over. After an
  // update in place, a directory whose first record was replaced is not, until the index is built
  // anew: the walk answers for it.
  bool Covers(std::uint32_t directory) const;

  // The "//" lookup of the name at any depth below the directory (a record offset of the view
  // the index was built over), as FndbView::RecursiveSearch would answer it.
  bool Search(const FndbView& view, std::uint32_t directory, std::string_view name,
              char* result) const;
  // The same, from the directory's span and the name's candidates.
  bool Search(const FndbView& view, Span span, Candidates candidates, std::string_view name,
              char* result) const;

  std::size_t Directories() const { return records.size(); }
  std::size_t Files() const { return postings.size(); }

 private:
  struct Posting {
    std::uint32_t hash;   // of the name, letters folded
    std::uint32_t order;  // the listing directory's place in the walk order
  };
  static std::uint32_t Hash(std::string_view name);
  std::uint32_t Bucket(std::uint32_t hash) const { return hash >> (32 - bucketBits); }

  std::vector<std::uint32_t> records;        // directory record offsets in walk order
  std::vector<std::uint32_t> spanEnds;       // for each, the order just past its subtree
  std::vector<std::uint64_t> orderByRecord;  // (record offset << 32 | order), sorted
  std::vector<Posting> postings;             // sorted by hash, then order
  // The postings whose hash has the top bucketBits bits b lie from buckets[b] to buckets[b + 1].
  unsigned bucketBits = 1;
  std::vector<std::uint32_t> buckets;
};

}  // namespace korvid
