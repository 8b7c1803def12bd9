// Comparing what an fndb lists with a directory tree read from the disk.
#include "fndbcheck.h"

#include <algorithm>
#include <set>
#include <string_view>

namespace korvid {
namespace {

struct FoldedLess {
  bool operator()(const std::string& a, const std::string& b) const {
    std::size_t n = a.size() < b.size() ? a.size() : b.size();
    for (std::size_t i = 0; i < n; ++i) {
      unsigned char x = static_cast<unsigned char>(a[i]);
      unsigned char y = static_cast<unsigned char>(b[i]);
      if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x + 32);
      if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y + 32);
      if (x != y) return x < y;
    }
    return a.size() < b.size();
  }
};
using FoldedSet = std::set<std::string, FoldedLess>;

void CollectFiles(const FndbTreeDirectory& directory, const std::string& prefix,
                  std::vector<std::string>* files) {
  for (const std::string& file : directory.files) files->push_back(prefix + file);
  for (const FndbTreeDirectory& subdirectory : directory.subdirectories) {
    CollectFiles(subdirectory, prefix + subdirectory.name + "\\", files);
  }
}

}  // namespace

FndbComparison CompareFndbWithTree(const FndbView& view, const FndbTreeDirectory& tree,
                                   const std::vector<std::string>& ignored) {
  FndbComparison comparison;
  FoldedSet skip(ignored.begin(), ignored.end());
  std::vector<std::string> listed;
  comparison.intact = view.List([&](std::string_view path, bool isDirectory) {
    if (!isDirectory) listed.emplace_back(path);
  });
  std::vector<std::string> onDisk;
  CollectFiles(tree, "", &onDisk);
  FoldedSet listedSet(listed.begin(), listed.end());
  FoldedSet diskSet(onDisk.begin(), onDisk.end());
  for (const std::string& path : listed) {
    if (!diskSet.count(path) && !skip.count(path)) comparison.gone.push_back(path);
  }
  for (const std::string& path : onDisk) {
    if (!listedSet.count(path) && !skip.count(path)) comparison.unlisted.push_back(path);
  }
  std::sort(comparison.gone.begin(), comparison.gone.end(), FoldedLess());
  std::sort(comparison.unlisted.begin(), comparison.unlisted.end(), FoldedLess());
  return comparison;
}

}  // namespace korvid
