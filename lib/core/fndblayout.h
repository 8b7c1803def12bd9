// The fndb layout: the bytes of a database from an in-memory tree.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace korvid {

struct FndbTreeDirectory {
  std::string name;  // a single path component; the root's name is not stored
  std::vector<std::string> files;
  std::vector<FndbTreeDirectory> subdirectories;
};

// The free space a whole build leaves after the data, for updates in place while programs hold the
// database: a package of tens of files in a few new folders, added file by file, takes about a
// tenth of it (see the README).
constexpr std::uint32_t kFndbBuildReserve = 65536;

struct FndbLayoutOptions {
  bool frozen = false;  // header flag bit 0
  std::uint32_t changeCount = 1;
  std::uint32_t namesPerRecord = 0;  // at most this many names (files and subdirectories) in one
                                     // record, the rest in continuation records; 0: no limit
  std::uint32_t reserve = 4096;      // zero bytes after the used part (a writable open keeps at
                                     // least 4096 free, and grows a file that has fewer)
};

// The bytes of the database. Names are sorted in each directory under the ASCII case-insensitive
// order the lookups rely on. The header comes first, then the directories depth first in sorted
// order, each as its records (the first and its continuations) followed by the names they list;
// records start on word boundaries; usedSize is the end of the last name. Empty when the result
// would not fit 32-bit offsets.
std::string LayOutFndb(const FndbTreeDirectory& root, const FndbLayoutOptions& options);

// The records and names of a directory tree as LayOutFndb places them, from the first word
// boundary at or after `start` on, for a directory added to a database: the top directory's
// records get the given name and parent offsets. bytes receives what goes at `start` and after;
// the result is the offset of the top directory's first record, 0 (bytes empty) when the tree
// would not fit 32-bit offsets.
std::uint32_t LayOutFndbSubtree(const FndbTreeDirectory& top, std::uint32_t start,
                                std::uint32_t nameOffset, std::uint32_t parentOffset,
                                std::uint32_t namesPerRecord, std::string* bytes);

struct FndbTreeStatistics {
  std::uint32_t directories = 0;  // the root included
  std::uint32_t files = 0;
};
FndbTreeStatistics CountTree(const FndbTreeDirectory& root);

}  // namespace korvid
