// Updates of an fndb in place, over its bytes: each change planned as the stores that make it, in
// an order that lets processes go on reading the database without a lock while it changes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "fndblayout.h"

namespace korvid {

// Records that updates write hold at most this many names (files and subdirectories); a name for
// a directory whose last record is full goes into a new record at the end of its chain. Records
// of a whole build may hold more.
constexpr std::uint32_t kFndbUpdateNamesPerRecord = 16;

// The header word that marks an update under way: the lookups never read it (a whole build writes
// 0 there). An update sets it before its first other store and clears it after its last, so that
// the writer after one that ended half-way knows it has to move the change count.
constexpr std::uint32_t kFndbUnderwayField = 32;
constexpr std::uint32_t kFndbUnderway = 0x59574E55;  // the bytes "UNWY"

// What a store of an update is for. Every store but a Fill is one aligned 32-bit word.
enum class FndbStoreRole : std::uint8_t {
  Underway,     // the header's mark of an update under way, set
  Fill,         // new records and names, written into the free space
  UsedSize,     // the header's usedSize, moved past the new bytes
  Publish,      // a link word: the header's root offset, a subdirectory record offset or an
                // extension offset, now leading to the new records
  ChangeCount,  // the header's changeCount
  Done,         // the mark cleared
};

struct FndbStore {
  FndbStoreRole role = FndbStoreRole::Fill;
  std::uint32_t offset = 0;
  std::uint32_t word = 0;  // the value of a word store
  std::string bytes;       // the bytes of a Fill
};

// A change a caller asks for. Paths are relative to the root, components separated by '\' or '/'
// (runs of separators count as one). Names compare without regard to the case of ASCII letters:
// an added name that is listed in another case is listed already.
struct FndbChange {
  // A tree is a directory with everything below it.
  enum class Kind { AddFile, RemoveFile, AddTree, RemoveTree };
  Kind kind = Kind::AddFile;
  std::string path;
  FndbTreeDirectory content;  // AddTree: what lies below the directory
};

// The changes of one directory, made visible by one publishing store.
struct FndbDirectoryEdit {
  std::string path;  // the directory; empty for the root
  std::vector<std::string> addFiles;
  std::vector<FndbTreeDirectory> addDirectories;  // each with what lies below it
  std::vector<std::string> removeFiles;
  std::vector<std::string> removeDirectories;  // with everything below them
  bool Empty() const {
    return addFiles.empty() && addDirectories.empty() && removeFiles.empty() &&
           removeDirectories.empty();
  }
};

enum class FndbPlanOutcome {
  Planned,    // stores were added to the plan
  Unchanged,  // the listing already is as asked: no store
  BadPath,    // no component, a component "." or ".." or holding a zero byte, or deeper than the
              // lookups go (also for a name of an added tree)
  Damaged,    // the records it needs do not lie wholly in the used part, are not on word
              // boundaries, or link back; nothing is planned over such records
  TooLarge,   // the database would outgrow 32-bit offsets
};

// The plan of an update: changes, each turned into stores against the bytes as the stores before
// it leave them. The bytes are only read; the planned bytes are kept apart until the stores are
// made. First:
//   0. Underway: the header's mark of an update under way is set.
// Then for each directory edit:
//   1. Fill: the new records and names go into the free space, from the first word boundary at or
//      after usedSize on. Nothing published leads there, so no reader reads them yet.
//   2. UsedSize: usedSize moves past them. A writer that ends after this leaves bytes that nothing
//      leads to (the next whole build reclaims them) and no published record in what the next
//      writer takes for free space.
//   3. Publish: one store of the offset of the first new record into the link word that led to
//      the first replaced record (or into the last record's extension offset, 0 until then, when
//      records are only appended). A published record is never changed but by such a store, so a
//      reader sees each directory as before (it read the old link: the old records stay as they
//      are) or as after (the new records are complete since step 1), never a mix.
// After the last edit:
//   4. ChangeCount: the header's changeCount moves (never to 0). Holders compare it before each
//      search and drop what they remember of the old content; it moves after the publishing
//      stores, so that nothing remembered after the move was learnt from the old content.
//   5. Done: the mark is cleared.
// A writer that ends after 3 and before 4 leaves the new listing with the old count: a holder
// that remembered a miss of an added file goes on dismissing it, and its name index answers from
// the records it was built over (old ones, unchanged), until the count moves. The next update
// finds the mark set and moves the count even when it has nothing else to change.
// A directory's records change as a suffix of its chain: the records from the first one that loses
// a name to the end are replaced by copies without the removed names; added names go into the copy
// of the last record when they fit its capacity, else into new records appended to the chain.
// Replaced records keep their place in the chain. A subdirectory whose parent's first record was
// replaced keeps the old one as its parentOffset: it still holds the parent's name and parent, so
// every path built from the parent chain stays the same.
class FndbUpdatePlan {
 public:
  // The current bytes of the database (they must stay as they are while the plan is used).
  FndbUpdatePlan(const void* data, std::uint32_t size,
                 std::uint32_t namesPerRecord = kFndbUpdateNamesPerRecord);

  // Plans the change: 1. AddFile adds the file, and its directory with any missing parents;
  // 2. RemoveFile removes a listed file; 3. AddTree adds the directory with its content (and any
  // missing parents), or, when it is listed, what of its content is not; 4. RemoveTree removes a
  // listed directory with everything below it. Nothing is planned unless Planned.
  FndbPlanOutcome Add(const FndbChange& change);
  // Plans one directory's edit: names added that are listed already, and removed ones that are
  // not listed, are left out.
  FndbPlanOutcome Add(const FndbDirectoryEdit& edit);

  // The edits that make the listing (as planned so far) list exactly the tree: one edit per
  // directory that both list whose names differ. Files named in ignored (paths relative to the
  // root, letter case ignored) are neither added nor removed. Damaged when the listing cannot be
  // read whole.
  FndbPlanOutcome Compare(const FndbTreeDirectory& tree, const std::vector<std::string>& ignored,
                          std::vector<FndbDirectoryEdit>* edits) const;

  bool Empty() const { return stores.empty(); }
  // Whether the writer before ended half-way (the mark was found set): the stores move the
  // change count even without a change.
  bool Repairs() const { return underway; }
  // The stores in the order they must be made: none when nothing was planned, unless
  // moveChangeCount asks for the count to move anyway, or the plan repairs.
  std::vector<FndbStore> Stores(bool moveChangeCount = false) const;
  // The end of the used part once the stores are made.
  std::uint32_t UsedSize() const { return used; }
  // The changeCount the stores leave (the current one when they do not move it).
  std::uint32_t ChangeCount(bool moveChangeCount = false) const;

 private:
  struct Record;
  struct Chain;
  class Builder;

  bool Word(std::uint64_t offset, std::uint32_t* value) const;
  bool Name(std::uint32_t offset, std::string_view* name) const;
  bool ReadRecord(std::uint32_t offset, Record* record) const;
  bool ReadChain(std::uint32_t first, Chain* chain) const;
  // The index of the name in one sorted array of name offsets, or where it would go.
  bool FindName(std::uint32_t array, std::uint32_t count, std::string_view name, bool* found,
                std::uint32_t* index) const;
  enum class Lookup { Found, Absent, Damaged };
  // The subdirectory of the directory: its first record, and the word that links it.
  Lookup FindChild(std::uint32_t directory, std::string_view name, std::uint32_t* child,
                   std::uint32_t* link) const;
  Lookup FindFile(std::uint32_t directory, std::string_view name) const;
  // Follows the components from the root as far as they are listed.
  struct Place {
    std::uint32_t directory;  // the deepest listed directory
    std::uint32_t link;       // the word that links it
    std::size_t depth;        // how many components lead there
  };
  bool Resolve(const std::vector<std::string_view>& components, Place* place) const;
  FndbPlanOutcome Edit(std::uint32_t directory, std::uint32_t link, FndbDirectoryEdit edit);
  FndbPlanOutcome Merge(const std::vector<std::string_view>& components,
                        const FndbTreeDirectory& content, std::size_t depth);
  void Store(FndbStoreRole role, std::uint32_t offset, std::uint32_t word);

  const unsigned char* data;
  std::uint32_t size;
  std::uint32_t start = 0;  // usedSize before the plan; the planned bytes begin here
  bool sound = false;       // the header holds a usable usedSize
  bool underway = false;    // the mark of an update under way was found set
  std::uint32_t namesPerRecord;
  std::string fresh;                               // planned bytes from start on
  std::map<std::uint32_t, std::uint32_t> patched;  // planned word stores below start
  std::uint32_t used = 0;
  std::vector<FndbStore> stores;
};

// Makes the stores on the bytes, in order: a fill by copying, a word store by one aligned 32-bit
// store with release order (so that every store before it is seen by a reader that sees it).
// afterStore, when given, is told after each store (its number, from 1, and its role); when it
// answers false no further store is made (a test stops a writer there). False when a store does
// not lie inside the bytes or a word store is not aligned: nothing of that store is made.
bool MakeFndbStores(void* data, std::uint32_t size, const std::vector<FndbStore>& stores,
                    const std::function<bool(std::size_t, FndbStoreRole)>& afterStore = {});

}  // namespace korvid
