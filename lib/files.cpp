// File tests, forced delete, and the shutdown clean-up of temporary and open files.
#include "internal.h"

#include <cstring>

namespace korvid {
namespace {

constexpr char kModule[] = "lib/files";

}  // namespace

bool AccessFile(const char* path, int mode) {
  ClearLastError();
  DWORD attributes = GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    Trace(traceStreams.access, "AccessFile('%s', %d) => false", path, mode);
    return false;
  }
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
    Trace(traceStreams.access, "AccessFile('%s', %d) => false (directory)", path, mode);
    return false;
  }
  if ((attributes & FILE_ATTRIBUTE_READONLY) && (mode & 2)) {
    Trace(traceStreams.access, "AccessFile('%s', %d) => false (readonly)", path, mode);
    return false;
  }
  Trace(traceStreams.access, "AccessFile('%s', %d) => true", path, mode);
  return true;
}

// A path that does not fit the 260-byte copy with its appended separator is no directory.
bool AccessDirectory(const char* path, int mode) {
  ClearLastError();
  char copy[kMaxPath];
  std::size_t length = std::strlen(path);
  bool append = length < 2 || !IsDirectoryDelimiter(static_cast<unsigned char>(path[length - 1]));
  if (length + (append ? 1 : 0) >= sizeof copy) return false;
  std::memcpy(copy, path, length);
  if (append) copy[length++] = '\\';
  copy[length] = '\0';
  DWORD attributes = GetFileAttributesA(copy);
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    return false;
  }
  if (mode == 2 || mode == 6) return !(attributes & FILE_ATTRIBUTE_READONLY);
  return true;
}

DirectoryIdentity IdentifyDirectory(const std::string& path) {
  // No access rights are asked for: reading the attributes needs none. Backup semantics open a
  // directory; without FILE_FLAG_OPEN_REPARSE_POINT a link is followed to where it leads.
  FileHandle handle(CreateFileA(path.c_str(), 0,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  BY_HANDLE_FILE_INFORMATION information;
  if (!handle || !GetFileInformationByHandle(handle.get(), &information)) return {};
  DirectoryIdentity identity;
  identity.volume = information.dwVolumeSerialNumber;
  identity.index = (std::uint64_t{information.nFileIndexHigh} << 32) | information.nFileIndexLow;
  return identity;
}

const DirectoryIdentity& LinkGuard::Identity(const std::string& path) {
  auto it = known.find(path);
  if (it == known.end()) it = known.emplace(path, IdentifyDirectory(path)).first;
  return it->second;
}

LinkGuard::Verdict LinkGuard::Check(const std::string& link, const std::vector<std::string>& inside,
                                    const std::string& state) {
  DirectoryIdentity target = Identity(link);
  if (!target.Known()) return Verdict::Unidentified;
  for (const std::string& directory : inside) {
    if (Identity(directory) == target) return Verdict::Loop;
  }
  if (!aboveStart) {
    aboveStart.emplace();
    std::string path = inside.empty() ? std::string() : inside.front();
    for (;;) {
      std::size_t separator = path.find_last_of("\\/");
      // The folders above, by their names: "C:\a\b" is held by "C:\a" and "C:\".
      if (separator == std::string::npos || separator + 1 == path.size()) break;
      path.erase(separator == 2 && path[1] == ':' ? separator + 1 : separator);
      if (path.empty()) break;
      aboveStart->push_back(Identity(path));
    }
  }
  for (const DirectoryIdentity& above : *aboveStart) {
    if (above == target) return Verdict::Loop;
  }
  Target key{target, state};
  auto before = entered.find(key);
  if (before != entered.end() && link.size() >= before->second) return Verdict::Entered;
  entered[key] = link.size();
  visits.push_back({key, cuts});
  return Verdict::Enter;
}

void LinkGuard::Leave() {
  if (visits.empty()) return;
  if (cuts == visits.back().cutsBefore) entered[visits.back().target] = 0;
  visits.pop_back();
}

bool RemoveFile(const char* path) {
  ClearLastError();
  DWORD attributes = GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    KORVID_RAISE(ErrorCode::Win32Error, path);
    return false;
  }
  if ((attributes & FILE_ATTRIBUTE_READONLY) && !SetFileAttributesA(path, 0)) {
    KORVID_RAISE(ErrorCode::Win32Error, path);
    return false;
  }
  if (!DeleteFileA(path)) {
    KORVID_RAISE(ErrorCode::Win32Error, path);
    return false;
  }
  return true;
}

void RegisterTempFile(const char* group, const char* name, const char* path) {
  auto& tempFiles = Context().tempFiles;
  LockGuard guard(tempFiles.lock);
  if (!tempFiles.groups) tempFiles.groups.emplace();
  (*tempFiles.groups)[group][name] = path;
}

void RegisterOpenFile(const char* key, const char* path) {
  auto& openFiles = Context().openFiles;
  LockGuard guard(openFiles.lock);
  if (!openFiles.files) openFiles.files.emplace();
  (*openFiles.files)[key] = path;
}

void UnregisterOpenFile(const char* key) {
  auto& openFiles = Context().openFiles;
  LockGuard guard(openFiles.lock);
  if (openFiles.files) openFiles.files->erase(key);
}

void RemoveTempFiles() {
  auto& tempFiles = Context().tempFiles;
  LockGuard guard(tempFiles.lock);
  if (!tempFiles.groups) return;
  for (auto& [groupName, group] : *tempFiles.groups) {
    for (auto& [entryName, path] : group) {
      Trace(traceStreams.tempfile, "removing '%s'...", path.c_str());
      RemoveFile(path.c_str());
    }
    group.clear();
  }
  tempFiles.groups.reset();
}

void ReportOpenFiles() {
  auto& openFiles = Context().openFiles;
  LockGuard guard(openFiles.lock);
  if (!openFiles.files) return;
  for (const auto& [key, path] : *openFiles.files) {
    TraceError("still open: '%s'", path.c_str());
  }
  openFiles.files.reset();
}

}  // namespace korvid
