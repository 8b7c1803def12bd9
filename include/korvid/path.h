// Path rules (lib/core/path): separators, absolute paths, comparison with letters folded, the part
// of a path below a root, the "//" of a search at any depth. Pure rules over text; they also give
// the buffer sizes every path of the library travels in.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace korvid {

// Paths travel in caller-supplied buffers of kMaxPath characters (terminating NUL included);
// root paths in buffers of kRootBufferSize.
constexpr std::size_t kMaxPath = 260;         // the platform's path limit, NUL included
constexpr std::size_t kRootBufferSize = 261;  // root paths: 260 characters and the NUL

// In place: every '/' becomes '\', except a "//" pair that does not start the text.
void NormalizeSlashes(char* path);

bool IsDirectoryDelimiter(int c);
bool IsAbsolutePath(const char* path);
// -1, 0 or 1; letters folded, any separator equal to any separator, a trailing separator counts.
int PathCompare(const char* a, const char* b);
int PathCompareN(const char* a, const char* b, std::size_t n);
// The part of path below root (a position inside path), or null when path is not below root.
const char* MakeRelative(const char* path, const char* root);
// The position of the "//" that marks a search at any depth, or npos when there is none. Two
// separators at the start of a path name a network share and never mark a search: the marker is
// looked for only after them.
std::size_t FindRecursionMarker(std::string_view path);

// The four parts of a path as the runtime's splitter gives them: drive ("C:"), directory (up to
// and including the last separator), base name, extension (from the last dot of the name).
struct PathParts {
  std::string drive;
  std::string directory;
  std::string name;
  std::string extension;
};
PathParts SplitPath(const char* path);

}  // namespace korvid
