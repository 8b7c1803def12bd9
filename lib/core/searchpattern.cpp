// Search-path patterns: the expansion of "%R", "~" and relative elements into entry lists, over
// the roots, home and working directories a caller supplies.
#include "core.h"
#include "korvid/path.h"
#include "korvid/trace.h"

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
void ExpandPathElement(SearchPathList& list, const char* element, SearchPathSources& sources,
                       bool rootsJoined = false) {
  // 1. Roots: "%R" and a separator stand for every TEXMF root in table order. "%R//" marks any
  //    depth below each root, as "//" does after a folder: the root is followed by the marker
  //    itself, not by a separator and a lone '/'.
  if (!rootsJoined && element[0] == '%' && element[1] == 'R' &&
      IsDirectoryDelimiter(static_cast<unsigned char>(element[2]))) {
    bool marker = element[2] == '/' && element[3] == '/';
    unsigned count = sources.RootCount();
    for (unsigned i = 0; i < count; ++i) {
      char root[kRootBufferSize];
      if (!sources.Root(i, root)) continue;
      std::string joined = root;
      if (marker) {
        // "C:\" gives "C://": the walk puts a separator after the part before the marker.
        while (joined.size() > 1 && EndsInSeparator(joined)) joined.pop_back();
        joined += "//";
        joined += element + 4;
      } else {
        if (!EndsInSeparator(joined)) joined += '\\';
        joined += element + 3;
      }
      if (joined.size() > kMaxEntry) continue;
      ExpandPathElement(list, joined.c_str(), sources, true);
    }
    return;
  }
  // 2. Home: "~" stands for the home directory.
  if (element[0] == '~') {
    char home[kMaxPath];
    sources.Home(home);
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
  for (unsigned n = 0; sources.WorkingDirectory(n, directory); ++n) {
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

}  // namespace

void AppendSearchPath(SearchPathList& list, const char* pattern, SearchPathSources& sources) {
  std::string copy = pattern;
  NormalizeSlashes(copy.data());
  Tokenizer elements(copy.c_str(), ';');
  while (const char* element = elements.Next()) ExpandPathElement(list, element, sources);
}

}  // namespace korvid
