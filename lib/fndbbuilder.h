// Building fndb files: the walk of a directory tree on disk and the atomic write that mkfndb and
// the tests use (the layout of the bytes is in fndblayout.h).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "fndblayout.h"

namespace korvid {

// Called by the walk after each directory it has read, with the directories (the root included)
// and files read so far.
using FndbWalkProgress = std::function<void(const FndbTreeStatistics& soFar)>;

// Reads the tree below the directory, each directory with one enumeration. Links to directories
// (reparse points) are followed, but no directory is listed twice: a link back into a directory
// above it, to a directory listed through another link (where a listing cut short by the path
// limit counts only against longer ways in), or to one that cannot be identified is passed over
// with a warning (see LinkGuard). Directories that cannot be read are passed over with a warning.
// False, with the reason in error, when the root itself cannot be read.
bool ReadDirectoryTree(const std::string& rootPath, FndbTreeDirectory* tree,
                       std::vector<std::string>* warnings, std::string* error,
                       const FndbWalkProgress& progress = {});

// Writes the bytes to a new file in the destination's directory and then moves it over the
// destination, so that the destination holds either its old content or all of the new one. A
// read-only destination is refused. False, with the reason in error and no file left behind;
// inUse (when given) tells whether the move was refused because a program holds the destination
// (has it open or mapped).
bool WriteFileAtomically(const std::string& path, const std::string& bytes, std::string* error,
                         bool* inUse = nullptr);

// Reads a whole file; false with the reason in error.
bool ReadWholeFile(const std::string& path, std::string* bytes, std::string* error);

struct FndbBuildOptions {
  std::string root;
  std::string output;  // empty: the root's "korvid\config\texmf.fndb"
  bool frozen = false;
  std::uint32_t namesPerRecord = 0;
  std::uint32_t reserve = kFndbBuildReserve;
  FndbWalkProgress progress;  // given to the walk
};

struct FndbBuildResult {
  std::string output;  // the path written
  FndbTreeStatistics statistics;
  std::uint32_t bytes = 0;
  std::uint32_t changeCount = 0;
  std::vector<std::string> warnings;
  std::string error;  // why the build failed
};

// Walks the root and writes its database. The changeCount is that of the database it replaces
// plus one (never 0), 1 when there is none. False, with result->error set and the output left as
// it was, when the root does not exist or the output cannot be written.
bool BuildFndb(const FndbBuildOptions& options, FndbBuildResult* result);

// The parts of BuildFndb: the root checked and walked (result->statistics and warnings set), then
// the database of that tree written as BuildFndb writes it (result->output, bytes and changeCount
// set; inUse as WriteFileAtomically tells it).
bool WalkFndbRoot(const FndbBuildOptions& options, FndbTreeDirectory* tree,
                  FndbBuildResult* result);
bool WriteFndb(const FndbBuildOptions& options, const FndbTreeDirectory& tree,
               FndbBuildResult* result, bool* inUse = nullptr);
// The path BuildFndb writes: options.output, or the root's "korvid\config\texmf.fndb".
std::string FndbOutputPath(const FndbBuildOptions& options);

}  // namespace korvid
