// The disk search and the fndb builder's tree walk as they were before folder listings and link
// following: the reference that differential tests and benchmarks hold the library against.
#pragma once

#include "fndbbuilder.h"
#include "internal.h"

#include <cstring>
#include <string>
#include <vector>

namespace testing_support::reference {

constexpr char kModule[] = "lib/findfile";  // the reports are compared with the library's

inline bool CopyResult(char* result, const std::string& path) {
  if (path.size() >= korvid::kMaxPath) return false;
  std::memcpy(result, path.c_str(), path.size() + 1);
  return true;
}

// Tests the candidate in each directory, then enumerates it to go down.
template <typename Visit>
bool ForEachSubdirectory(const std::string& directory, Visit visit) {
  std::string searchText = directory + "\\*";
  if (searchText.size() >= korvid::kMaxPath) return false;
  WIN32_FIND_DATAA data;
  korvid::FindHandle find(FindFirstFileA(searchText.c_str(), &data));
  if (!find) {
    KORVID_RAISE(korvid::ErrorCode::Win32Error, searchText.c_str());
    return false;
  }
  do {
    if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) continue;
    if (std::strcmp(data.cFileName, ".") == 0 || std::strcmp(data.cFileName, "..") == 0) continue;
    std::string subdirectory = directory + "\\" + data.cFileName;
    if (subdirectory.size() >= korvid::kMaxPath) continue;
    if (visit(subdirectory)) return true;
  } while (FindNextFileA(find.get(), &data));
  if (GetLastError() != ERROR_NO_MORE_FILES) {
    KORVID_RAISE(korvid::ErrorCode::Win32Error, searchText.c_str());
  }
  return false;
}

inline bool WalkDisk(const std::string& directory, const std::string* pattern,
                     const std::string& remainder, char* result) {
  if (pattern == nullptr) {
    std::size_t marker = remainder.find("//");
    if (marker != std::string::npos) {
      std::string subPattern = remainder.substr(0, marker);
      return WalkDisk(directory, &subPattern, remainder.substr(marker + 2), result);
    }
    if (CopyResult(result, directory + "\\" + remainder)) {
      korvid::Trace(korvid::traceStreams.filesearch, "trying %s...", result);
      if (korvid::AccessFile(result, 0)) return true;
    }
    return ForEachSubdirectory(directory, [&](const std::string& subdirectory) {
      return WalkDisk(subdirectory, nullptr, remainder, result);
    });
  }
  std::string direct = directory + "\\" + *pattern;
  if (direct.size() < korvid::kMaxPath && korvid::AccessDirectory(direct.c_str(), 0) &&
      WalkDisk(direct, nullptr, remainder, result)) {
    return true;
  }
  return ForEachSubdirectory(directory, [&](const std::string& subdirectory) {
    return WalkDisk(subdirectory, pattern, remainder, result);
  });
}

inline bool SearchDisk(const char* name, const std::string& entry, char* result) {
  std::string key = entry;
  if (key.empty() || !korvid::IsDirectoryDelimiter(static_cast<unsigned char>(key.back()))) {
    key += '\\';
  }
  key += name;
  std::size_t marker = key.find("//");
  if (marker == std::string::npos) return CopyResult(result, key) && korvid::AccessFile(result, 0);
  return WalkDisk(key.substr(0, marker), nullptr, key.substr(marker + 2), result);
}

// FindFileOnDisk for a relative name.
inline bool FindFileOnDisk(const char* name, const char* pattern, char* result) {
  korvid::ClearLastError();
  std::shared_ptr<const korvid::SearchPathList> list = korvid::ExpandSearchPath(pattern);
  for (const std::string& entry : *list) {
    if (SearchDisk(name, entry, result)) return true;
  }
  return false;
}

// The builder's tree walk: FindFirstFileA, links passed over.
inline void ReadDirectory(const std::string& path, korvid::FndbTreeDirectory* node) {
  WIN32_FIND_DATAA data;
  korvid::FindHandle find(FindFirstFileA((path + "\\*").c_str(), &data));
  if (!find) return;
  do {
    std::string name = data.cFileName;
    if (name == "." || name == "..") continue;
    if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
      node->files.push_back(name);
    } else if (!(data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
      node->subdirectories.push_back(korvid::FndbTreeDirectory{name, {}, {}});
      ReadDirectory(path + "\\" + name, &node->subdirectories.back());
    }
  } while (FindNextFileA(find.get(), &data));
}

}  // namespace testing_support::reference
