// Search-path patterns: expansion of "%R", "~" and relative elements into cached entry lists.
#include "internal.h"

#include <cstring>

namespace korvid {
namespace {

constexpr std::size_t kMaxEntry = 260;  // an entry's slot holds 260 characters and the NUL

bool EndsInSeparator(const std::string& text) {
  return !text.empty() && IsDirectoryDelimiter(static_cast<unsigned char>(text.back()));
}

// Appends the entry unless an equal one is there already; entries that do not fit their slot are
// dropped.
void Add(SearchPathList& list, const std::string& entry) {
  if (entry.size() > kMaxEntry) return;
  for (const std::string& existing : list) {
    if (PathCompare(existing.c_str(), entry.c_str()) == 0) return;
  }
  list.push_back(entry);
}

// rootsJoined: the element is a root joined with the rest of a "%R" element. Its text is then
// taken as it is by rules 2 to 4, never expanded as a root element again: a root that itself
// begins with "%R" would otherwise be joined with every root once more at each level.
void ExpandPathElement(SearchPathList& list, const char* element, bool rootsJoined = false) {
  // 1. Roots: "%R" and a separator stand for every TEXMF root in table order.
  if (!rootsJoined && element[0] == '%' && element[1] == 'R' &&
      IsDirectoryDelimiter(static_cast<unsigned char>(element[2]))) {
    unsigned count = GetNumberOfRoots();
    for (unsigned i = 0; i < count; ++i) {
      char root[kRootBufferSize];
      if (GetRootDirectory(i, root) == nullptr) continue;
      std::string joined = root;
      if (!EndsInSeparator(joined)) joined += '\\';
      joined += element + 3;
      if (joined.size() > kMaxEntry) continue;
      ExpandPathElement(list, joined.c_str(), true);
    }
    return;
  }
  // 2. Home: "~" stands for the home directory.
  if (element[0] == '~') {
    char home[kMaxPath];
    GetHomeDirectory(home);
    if (!IsAbsolutePath(home)) {
      TraceError("cannot expand ~: '%s' is not fq", home);
      return;
    }
    std::string entry = home;
    bool homeEndsInSeparator = entry.size() >= 2 && EndsInSeparator(entry);
    if (!homeEndsInSeparator && element[1] != '\0' &&
        !IsDirectoryDelimiter(static_cast<unsigned char>(element[1]))) {
      entry += '\\';
    }
    entry += element + 1;
    Add(list, entry);
    return;
  }
  // 3. Absolute: taken as it is.
  if (IsAbsolutePath(element)) {
    Add(list, element);
    return;
  }
  // 4. Relative: below the current directory, then below each working directory.
  char directory[kMaxPath];
  for (unsigned n = 0; GetWorkingDirectory(n, directory) != nullptr; ++n) {
    if (!IsAbsolutePath(directory)) {
      TraceError("%s is not absolute", directory);
      continue;
    }
    std::string entry = directory;
    if (std::strcmp(element, ".") != 0) {
      if (!(entry.size() >= 2 && EndsInSeparator(entry))) entry += '\\';
      entry += element;
    }
    Add(list, entry);
  }
}

void AppendSearchPath(SearchPathList& list, const char* pattern) {
  std::string copy = pattern;
  NormalizeSlashes(copy.data());
  Tokenizer elements(copy.c_str(), ';');
  while (const char* element = elements.Next()) ExpandPathElement(list, element);
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
    auto it = searchPaths.cache.find(pattern);
    if (it != searchPaths.cache.end()) return it->second;
    generation = searchPaths.generation;
  }
  auto list = std::make_shared<SearchPathList>();
  AppendSearchPath(*list, pattern);
  LockGuard guard(searchPaths.lock);
  auto it = searchPaths.cache.find(pattern);
  if (it != searchPaths.cache.end()) return it->second;
  if (searchPaths.generation == generation) searchPaths.cache.emplace(pattern, list);
  return list;
}

void ClearSearchPathCache() {
  {
    auto& searchPaths = Context().searchPaths;
    LockGuard guard(searchPaths.lock);
    searchPaths.cache.clear();
    ++searchPaths.generation;
  }
  // What the disk search remembers goes with the lists it walked: whoever clears one (a new
  // configuration, working directory or application name; shutdown) wants the disk seen afresh.
  ClearDiskSearchCache();
}

}  // namespace korvid
