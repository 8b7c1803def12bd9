// The bin folder's side of mklaunchers: which files are launchers, and placing and removing them.
#include "launcherfiles.h"

#include <cstdio>

#include "fndbbuilder.h"
#include "internal.h"

namespace korvid::tools {
namespace {

constexpr char kProductName[] = "tervan";
constexpr char kDefaultStringBlock[] = "040904b0";  // US English, Unicode: what the build writes

std::string Reason(const std::string& what, DWORD number) {
  return what + ": " + SystemErrorText(number);
}

// Opened for reading, shared with every other opener (a running program included).
FileHandle OpenForReading(const std::string& path) {
  return FileHandle(CreateFileA(path.c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, 0, nullptr));
}

std::string VersionValue(const std::vector<char>& info, const std::string& block,
                         const char* name) {
  std::string key = "\\StringFileInfo\\" + block + "\\" + name;
  char* value = nullptr;
  UINT length = 0;
  if (!VerQueryValueA(info.data(), key.c_str(), reinterpret_cast<void**>(&value), &length) ||
      value == nullptr) {
    return {};
  }
  std::string text(value, length);
  while (!text.empty() && text.back() == '\0') text.pop_back();
  return text;
}

// Whether the version resource names the product and the program tervan, in any of the languages
// it lists (any version: the launchers of every release count).
bool SaysTervan(const std::string& path) {
  DWORD ignored = 0;
  DWORD size = GetFileVersionInfoSizeA(path.c_str(), &ignored);
  if (size == 0) return false;
  std::vector<char> info(size);
  if (!GetFileVersionInfoA(path.c_str(), 0, size, info.data())) return false;
  std::vector<std::string> blocks;
  struct Translation {
    WORD language;
    WORD codePage;
  };
  Translation* translations = nullptr;
  UINT length = 0;
  if (VerQueryValueA(info.data(), "\\VarFileInfo\\Translation",
                     reinterpret_cast<void**>(&translations), &length) &&
      translations != nullptr) {
    for (UINT i = 0; i < length / sizeof(Translation); ++i) {
      char block[16];
      std::snprintf(block, sizeof block, "%04x%04x", translations[i].language,
                    translations[i].codePage);
      blocks.push_back(block);
    }
  }
  if (blocks.empty()) blocks.push_back(kDefaultStringBlock);
  for (const std::string& block : blocks) {
    if (VersionValue(info, block, "ProductName") == kProductName &&
        VersionValue(info, block, "InternalName") == kProductName) {
      return true;
    }
  }
  return false;
}

std::string DirectoryOf(const std::string& path) {
  std::size_t slash = path.find_last_of("\\/");
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

}  // namespace

bool LauncherSource::Open(const std::string& sourcePath, std::string* error) {
  path = sourcePath;
  FileHandle file = OpenForReading(path);
  BY_HANDLE_FILE_INFORMATION facts;
  if (!file || !GetFileInformationByHandle(file.get(), &facts)) {
    *error = Reason("cannot read '" + path + "'", GetLastError());
    return false;
  }
  volume = facts.dwVolumeSerialNumber;
  index = (static_cast<std::uint64_t>(facts.nFileIndexHigh) << 32) | facts.nFileIndexLow;
  file.reset();
  if (!SaysTervan(path)) {
    *error = "'" + path + "' is not tervan.exe: its version resource does not say tervan";
    return false;
  }
  return ReadWholeFile(path, &bytes, error);
}

// 1. No file: none. 2. A folder, or a file without tervan's version resource: another file.
// 3. The source itself (the same volume and file index): current. 4. Otherwise a launcher is
// current when its bytes are the source's. Whatever cannot be read is unknown.
ExistingFile LauncherSource::Classify(const std::string& target, std::string* reason) const {
  DWORD attributes = GetFileAttributesA(target.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    DWORD number = GetLastError();
    if (number == ERROR_FILE_NOT_FOUND || number == ERROR_PATH_NOT_FOUND) {
      return ExistingFile::None;
    }
    *reason = SystemErrorText(number);
    return ExistingFile::Unknown;
  }
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return ExistingFile::OtherFile;
  FileHandle file = OpenForReading(target);
  BY_HANDLE_FILE_INFORMATION facts;
  if (!file || !GetFileInformationByHandle(file.get(), &facts)) {
    *reason = SystemErrorText(GetLastError());
    return ExistingFile::Unknown;
  }
  std::uint64_t targetIndex =
      (static_cast<std::uint64_t>(facts.nFileIndexHigh) << 32) | facts.nFileIndexLow;
  if (index != 0 && facts.dwVolumeSerialNumber == volume && targetIndex == index) {
    return ExistingFile::CurrentLauncher;
  }
  std::uint64_t size = (static_cast<std::uint64_t>(facts.nFileSizeHigh) << 32) | facts.nFileSizeLow;
  file.reset();
  if (!SaysTervan(target)) return ExistingFile::OtherFile;
  if (size != bytes.size()) return ExistingFile::StaleLauncher;
  std::string content;
  if (!ReadWholeFile(target, &content, reason)) return ExistingFile::Unknown;
  return content == bytes ? ExistingFile::CurrentLauncher : ExistingFile::StaleLauncher;
}

bool ListPrograms(const std::string& directory, std::vector<std::string>* names,
                  std::string* error) {
  std::string pattern = directory + "\\*";
  WIN32_FIND_DATAA data;
  FindHandle find(FindFirstFileA(pattern.c_str(), &data));
  if (!find) {
    *error = Reason("cannot read the folder '" + directory + "'", GetLastError());
    return false;
  }
  do {
    std::string_view name = data.cFileName;
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || name.size() <= 4 ||
        !EqualIgnoringCase(name.substr(name.size() - 4), ".exe")) {
      continue;
    }
    names->emplace_back(name.substr(0, name.size() - 4));
  } while (FindNextFileA(find.get(), &data));
  DWORD number = GetLastError();
  if (number != ERROR_NO_MORE_FILES) {
    *error = Reason("reading the folder '" + directory + "' stopped early", number);
    return false;
  }
  return true;
}

// A link is made under a fresh name beside the target and renamed over it; a copy is written the
// same way (WriteFileAtomically). A link the system refuses (a file system without links, a file
// with too many links already) leaves a copy to be made; a failed rename is a failure.
bool PlaceLauncher(const LauncherSource& source, const std::string& target, bool replace,
                   bool copy, Placement* placement, std::string* linkRefusal, std::string* error) {
  std::string action = replace ? "cannot replace '" : "cannot make '";
  if (!copy) {
    char temporary[MAX_PATH];
    std::string directory = DirectoryOf(target);
    if (directory.size() >= MAX_PATH - 14 ||
        GetTempFileNameA(directory.c_str(), "mkl", 0, temporary) == 0) {
      *error = Reason(action + target + "'", GetLastError());
      return false;
    }
    DeleteFileA(temporary);
    if (CreateHardLinkA(temporary, source.Path().c_str(), nullptr)) {
      DWORD flags = replace ? MOVEFILE_REPLACE_EXISTING : 0;
      if (MoveFileExA(temporary, target.c_str(), flags)) {
        *placement = Placement::Link;
        return true;
      }
      DWORD number = GetLastError();
      DeleteFileA(temporary);
      *error = Reason(action + target + "'", number);
      return false;
    }
    *linkRefusal = SystemErrorText(GetLastError());
  }
  if (!WriteFileAtomically(target, source.Bytes(), error)) return false;
  *placement = Placement::Copy;
  return true;
}

bool RemoveLauncher(const std::string& path, std::string* error) {
  if (DeleteFileA(path.c_str())) return true;
  *error = Reason("cannot remove '" + path + "'", GetLastError());
  return false;
}

}  // namespace korvid::tools
