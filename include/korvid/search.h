// Search paths and the file search (lib/searchpath, lib/findfile; the pattern rules in
// lib/core/searchpattern): a pattern expanded into its list of entries, and a file looked for
// below each entry in turn, through the entry's root's fndb or on the disk.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace korvid {

using SearchPathList = std::vector<std::string>;
// The expanded list of the pattern; it stays valid for its holder even when the cache is cleared.
std::shared_ptr<const SearchPathList> ExpandSearchPath(const char* pattern);
void ClearSearchPathCache();

// The pattern along which the launcher finds its script: seven subtrees below every TEXMF root,
// in this order.
constexpr char kScriptSearchPattern[] =
    "%R/context//;%R/korvid//;%R/nts//;%R/pdftex//;%R/psutils//;%R/source//;%R/tex//";

// On success the kMaxPath result holds the path found.
bool FindFile(const char* name, const char* pattern, char* result);
bool FindFileOnDisk(const char* name, const char* pattern, char* result);

// What answered a search of one entry.
enum class FileSource {
  None,              // not found there
  Absolute,          // an absolute name, found where it is
  CurrentDirectory,  // the entry is the current directory
  WorkingDirectory,  // the entry is one of the working directories
  Fndb,              // the fndb of the entry's root
  Disk,              // the disk below the entry (its root has no fndb)
};
// Searches one entry of an expanded pattern exactly as FindFile searches each of its entries, in
// turn; the kMaxPath result holds the path found. None when the file is not there, or (after
// reporting) when the current directory cannot be read.
FileSource FindFileInEntry(const char* name, const char* entry, char* result);

}  // namespace korvid
