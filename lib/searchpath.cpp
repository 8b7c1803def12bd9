// Search-path patterns: the cache of expanded lists, over the library's roots and directories.
#include "internal.h"

namespace korvid {
namespace {

// The library's roots, home and working directories.
class LibrarySources : public SearchPathSources {
 public:
  unsigned RootCount() override { return GetNumberOfRoots(); }
  bool Root(unsigned index, char* buffer) override {
    return GetRootDirectory(index, buffer) != nullptr;
  }
  void Home(char* buffer) override { GetHomeDirectory(buffer); }
  bool WorkingDirectory(unsigned index, char* buffer) override {
    return GetWorkingDirectory(index, buffer) != nullptr;
  }
};

// Whether the text (ending in a zero byte) is the known one, compared only as far as the known
// one goes: the runtime would measure the text byte by byte first.
bool IsText(const char* text, const std::string& known) {
  for (std::size_t i = 0; i < known.size(); ++i) {
    if (text[i] != known[i]) return false;
  }
  return text[known.size()] == '\0';
}

}  // namespace

// The cache lock is held only to look up and to insert, never while the pattern is expanded:
// expansion takes the root-table and working-directory locks, and those are held by callers that
// come here (the root table looking for fndb files) or clear the cache (a new working directory).
// A list expanded while the cache was cleared is handed out but not cached.
std::shared_ptr<const SearchPathList> ExpandSearchPath(const char* pattern) {
  auto& searchPaths = Context().searchPaths;
  std::uint64_t generation;
  {
    LockGuard guard(searchPaths.lock);
    if (searchPaths.lastList && IsText(pattern, searchPaths.lastPattern)) {
      return searchPaths.lastList;
    }
    const std::string_view text(pattern);
    auto it = searchPaths.cache.find(text);
    if (it != searchPaths.cache.end()) {
      searchPaths.lastPattern = text;
      searchPaths.lastList = it->second;
      return it->second;
    }
    generation = searchPaths.generation;
  }
  auto list = std::make_shared<SearchPathList>();
  LibrarySources sources;
  AppendSearchPath(*list, pattern, sources);
  LockGuard guard(searchPaths.lock);
  auto it = searchPaths.cache.find(std::string_view(pattern));
  if (it != searchPaths.cache.end()) return it->second;
  if (searchPaths.generation == generation) searchPaths.cache.emplace(pattern, list);
  return list;
}

void ClearSearchPathCache() {
  {
    auto& searchPaths = Context().searchPaths;
    LockGuard guard(searchPaths.lock);
    searchPaths.cache.clear();
    searchPaths.lastPattern.clear();
    searchPaths.lastList.reset();
    ++searchPaths.generation;
  }
  // What the disk search remembers goes with the lists it walked: whoever clears one (a new
  // configuration, working directory or application name; shutdown) wants the disk seen afresh.
  ClearDiskSearchCache();
}

}  // namespace korvid
