// Comparing what an fndb lists with a directory tree read from the disk: pure, over a byte view
// and an in-memory tree.
#pragma once

#include "fndbbuilder.h"
#include "fndbview.h"

#include <string>
#include <vector>

namespace korvid {

struct FndbComparison {
  // Both in the order of the paths (ASCII letters folded), whatever order the disk gave.
  std::vector<std::string> gone;      // listed but not in the tree
  std::vector<std::string> unlisted;  // in the tree but not listed
  bool intact = true;                 // false: damaged records of the database were passed over
  bool Current() const { return intact && gone.empty() && unlisted.empty(); }
};

// Compares the files (paths relative to the root, components joined by '\', letter case of ASCII
// letters ignored) that the database lists with those of the tree. Files named in ignored (the
// database file itself, which the tree holds once it has been written) count on neither side.
FndbComparison CompareFndbWithTree(const FndbView& view, const FndbTreeDirectory& tree,
                                   const std::vector<std::string>& ignored);

}  // namespace korvid
