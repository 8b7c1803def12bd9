// The file search: working-directory shortcuts, each root's fndb, and the disk walk elsewhere.
#include "internal.h"

#include <direct.h>

#include <cstring>
#include <string_view>

namespace korvid {
namespace {

constexpr char kModule[] = "lib/findfile";

bool EndsInSeparator(std::string_view text) {
  return !text.empty() && IsDirectoryDelimiter(static_cast<unsigned char>(text.back()));
}

// Copies a path into the kMaxPath result; false when it does not fit.
bool CopyResult(char* result, std::string_view path) {
  if (path.size() >= kMaxPath) return false;
  std::memcpy(result, path.data(), path.size());
  result[path.size()] = '\0';
  return true;
}

bool WalkDisk(const std::string& directory, const std::string* pattern,
              const std::string& remainder, char* result);

// Calls visit on each subdirectory of the directory in the order of the enumeration, until visit
// succeeds. A directory that cannot be enumerated, or an enumeration that ends in an error, is
// reported; directories whose names would not fit a path are passed over.
template <typename Visit>
bool ForEachSubdirectory(const std::string& directory, Visit visit) {
  std::string searchText = directory + "\\*";
  if (searchText.size() >= kMaxPath) return false;
  WIN32_FIND_DATAA data;
  FindHandle find(FindFirstFileA(searchText.c_str(), &data));
  if (!find) {
    KORVID_RAISE(ErrorCode::Win32Error, searchText.c_str());
    return false;
  }
  do {
    if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) continue;
    if (std::strcmp(data.cFileName, ".") == 0 || std::strcmp(data.cFileName, "..") == 0) continue;
    std::string subdirectory = directory + "\\" + data.cFileName;
    if (subdirectory.size() >= kMaxPath) continue;
    if (visit(subdirectory)) return true;
  } while (FindNextFileA(find.get(), &data));
  if (GetLastError() != ERROR_NO_MORE_FILES) KORVID_RAISE(ErrorCode::Win32Error, searchText.c_str());
  return false;
}

bool WalkDisk(const std::string& directory, const std::string* pattern,
              const std::string& remainder, char* result) {
  if (pattern == nullptr) {
    std::size_t marker = remainder.find("//");
    if (marker != std::string::npos) {
      std::string subPattern = remainder.substr(0, marker);
      return WalkDisk(directory, &subPattern, remainder.substr(marker + 2), result);
    }
    std::string candidate = directory + "\\" + remainder;
    if (CopyResult(result, candidate)) {
      Trace(traceStreams.filesearch, "trying %s...", result);
      if (AccessFile(result, 0)) return true;
    }
    return ForEachSubdirectory(directory, [&](const std::string& subdirectory) {
      return WalkDisk(subdirectory, nullptr, remainder, result);
    });
  }
  std::string direct = directory + "\\" + *pattern;
  if (direct.size() < kMaxPath && AccessDirectory(direct.c_str(), 0) &&
      WalkDisk(direct, nullptr, remainder, result)) {
    return true;
  }
  return ForEachSubdirectory(directory, [&](const std::string& subdirectory) {
    return WalkDisk(subdirectory, pattern, remainder, result);
  });
}

bool SearchDisk(const char* name, const std::string& entry, char* result) {
  std::string key = entry;
  if (!EndsInSeparator(key)) key += '\\';
  key += name;
  std::size_t marker = FindRecursionMarker(key);
  if (marker == std::string::npos) return CopyResult(result, key) && AccessFile(result, 0);
  return WalkDisk(key.substr(0, marker), nullptr, key.substr(marker + 2), result);
}

bool FindAbsolute(const char* name, char* result) {
  return AccessFile(name, 0) && CopyResult(result, name);
}

// The entry through its root's fndb: a hit that is gone from the disk counts as a miss and says the
// database is out of date (the first time in the process).
bool SearchFndb(FileNameDatabase& fndb, const char* name, const std::string& entry, char* result) {
  if (!fndb.Search(name, entry.c_str(), result)) return false;
  if (AccessFile(result, 0)) return true;
  KORVID_RAISE(ErrorCode::InternalError);
  TraceError("found '%s' in fndb, but the file does not exist", result);
  if (!Context().outOfDateWarned.exchange(true)) {
    TraceError("the file name database is out-of-date");
  }
  return false;
}

// One entry of the expanded list, given the current directory.
FileSource SearchEntry(const char* name, const std::string& entry, const char* currentDirectory,
                       char* result) {
  // 1. The current directory: the name is found as given, relative.
  if (PathCompare(entry.c_str(), currentDirectory) == 0 && AccessFile(name, 0) &&
      CopyResult(result, name)) {
    return FileSource::CurrentDirectory;
  }
  // 2. The working directories.
  char directory[kMaxPath];
  for (unsigned n = 1; GetWorkingDirectory(n, directory) != nullptr; ++n) {
    if (PathCompare(entry.c_str(), directory) != 0) continue;
    std::string joined = directory;
    if (!EndsInSeparator(joined)) joined += '\\';
    joined += name;
    if (CopyResult(result, joined) && AccessFile(result, 0)) return FileSource::WorkingDirectory;
  }
  // 3. The root's fndb, or the disk when the root has none.
  if (FndbReference fndb = GetFndbForPath(entry.c_str())) {
    return SearchFndb(*fndb, name, entry, result) ? FileSource::Fndb : FileSource::None;
  }
  return SearchDisk(name, entry, result) ? FileSource::Disk : FileSource::None;
}

bool ReadCurrentDirectory(char* buffer) {
  if (_getcwd(buffer, kMaxPath) != nullptr) return true;
  KORVID_RAISE(ErrorCode::CrtError, "_tgetcwd");
  return false;
}

}  // namespace

bool FindFile(const char* name, const char* pattern, char* result) {
  ClearLastError();
  std::shared_ptr<const SearchPathList> list = ExpandSearchPath(pattern);
  if (IsAbsolutePath(name)) return FindAbsolute(name, result);
  char currentDirectory[kMaxPath];
  if (!ReadCurrentDirectory(currentDirectory)) return false;
  for (const std::string& entry : *list) {
    if (SearchEntry(name, entry, currentDirectory, result) != FileSource::None) return true;
  }
  return false;
}

FileSource FindFileInEntry(const char* name, const char* entry, char* result) {
  ClearLastError();
  if (IsAbsolutePath(name)) {
    return FindAbsolute(name, result) ? FileSource::Absolute : FileSource::None;
  }
  char currentDirectory[kMaxPath];
  if (!ReadCurrentDirectory(currentDirectory)) return FileSource::None;
  return SearchEntry(name, entry, currentDirectory, result);
}

bool FindFileOnDisk(const char* name, const char* pattern, char* result) {
  ClearLastError();
  if (IsAbsolutePath(name)) return FindAbsolute(name, result);
  std::shared_ptr<const SearchPathList> list = ExpandSearchPath(pattern);
  for (const std::string& entry : *list) {
    if (SearchDisk(name, entry, result)) return true;
  }
  return false;
}

}  // namespace korvid
