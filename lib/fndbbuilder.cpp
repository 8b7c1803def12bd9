// Building fndb files: the walk of a directory tree on disk and the atomic write.
#include "fndbbuilder.h"

#include <algorithm>
#include <cstring>

#include "fndbview.h"
#include "internal.h"

namespace korvid {
namespace {

constexpr char kModule[] = "lib/fndbbuilder";
constexpr char kDefaultOutput[] = "korvid\\config\\texmf.fndb";
// Directories deeper than this cannot be found (their paths do not fit the lookups' limits).
constexpr unsigned kMaxTreeDepth = kFndbDirectoryPathSize / 2;

std::string Join(const std::string& directory, const std::string& name) {
  if (directory.empty() || IsDirectoryDelimiter(static_cast<unsigned char>(directory.back()))) {
    return directory + name;
  }
  return directory + "\\" + name;
}

// Reports the failed call through the library's error record, and gives the reason as text.
std::string Failure(const std::string& what, const char* info, unsigned line) {
  DWORD number = GetLastError();
  RaiseError(ErrorCode::Win32Error, kModule, line, info);
  return what + ": " + SystemErrorText(number);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// The disk walk

namespace {

// The walk's report of progress: counts what has been read and tells the caller's callback.
struct WalkProgress {
  const FndbWalkProgress& callback;
  FndbTreeStatistics soFar;
  void DirectoryRead(std::size_t files) {
    if (!callback) return;
    ++soFar.directories;
    soFar.files += static_cast<std::uint32_t>(files);
    callback(soFar);
  }
};

// The walk of one tree: the directories it is inside (for the link guard) and what it reports.
struct TreeWalk {
  std::vector<std::string>* warnings;
  std::string* error;
  std::vector<std::string> inside;
  LinkGuard guard;
  WalkProgress progress;
};

bool ReadDirectory(const std::string& path, FndbTreeDirectory* node, unsigned depth,
                   TreeWalk& walk) {
  std::string pattern = Join(path, "*");
  if (pattern.size() >= MAX_PATH) {
    walk.warnings->push_back("passing over '" + path + "': the path is too long");
    walk.guard.CutShort();
    return true;
  }
  WIN32_FIND_DATAA data;
  FindHandle find(FindFirstFileExA(pattern.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch,
                                   nullptr, FIND_FIRST_EX_LARGE_FETCH));
  if (!find) {
    DWORD number = GetLastError();
    if (number == ERROR_FILE_NOT_FOUND) return true;  // nothing in it, not even "." and ".."
    std::string reason = "cannot read the directory '" + path + "': " + SystemErrorText(number);
    if (depth == 0) {
      SetLastError(number);
      KORVID_RAISE(ErrorCode::Win32Error, path.c_str());
      *walk.error = reason;
      return false;
    }
    walk.warnings->push_back(reason);
    return true;
  }
  walk.inside.push_back(path);
  do {
    std::string name = data.cFileName;
    if (name == "." || name == "..") continue;
    if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
      node->files.push_back(name);
      continue;
    }
    std::string childPath = Join(path, name);
    if (depth + 1 > kMaxTreeDepth) {
      walk.warnings->push_back("passing over '" + childPath + "': too deep");
      walk.guard.CutShort();
      continue;
    }
    bool link = (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    if (link) {
      const char* refusal = nullptr;
      switch (walk.guard.Check(childPath, walk.inside)) {
        case LinkGuard::Verdict::Enter:
          break;
        case LinkGuard::Verdict::Unidentified:
          refusal = "the directory it leads to cannot be identified";
          break;
        case LinkGuard::Verdict::Loop:
          refusal = "it leads back into a directory above it";
          break;
        case LinkGuard::Verdict::Entered:
          refusal = "the directory it leads to is listed through another link";
          break;
      }
      if (refusal != nullptr) {
        walk.warnings->push_back("not following the link '" + childPath + "': " + refusal);
        continue;
      }
    }
    node->subdirectories.push_back(FndbTreeDirectory{name, {}, {}});
    ReadDirectory(childPath, &node->subdirectories.back(), depth + 1, walk);
    if (link) walk.guard.Leave();
  } while (FindNextFileA(find.get(), &data));
  DWORD number = GetLastError();
  walk.inside.pop_back();
  if (number != ERROR_NO_MORE_FILES) {
    walk.warnings->push_back("reading '" + path + "' stopped early: " + SystemErrorText(number));
  }
  walk.progress.DirectoryRead(node->files.size());
  return true;
}

}  // namespace

bool ReadDirectoryTree(const std::string& rootPath, FndbTreeDirectory* tree,
                       std::vector<std::string>* warnings, std::string* error,
                       const FndbWalkProgress& progress) {
  *tree = FndbTreeDirectory{};
  TreeWalk walk{warnings, error, {}, {}, WalkProgress{progress, {}}};
  return ReadDirectory(rootPath, tree, 0, walk);
}

// ---------------------------------------------------------------------------------------------
// Files

namespace {

// The temporary file of an atomic write: removed unless it was moved into place.
class TemporaryFile {
 public:
  explicit TemporaryFile(std::string path) : path(std::move(path)) {}
  ~TemporaryFile() {
    if (!path.empty()) DeleteFileA(path.c_str());
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  const std::string& Path() const { return path; }
  void Keep() { path.clear(); }

 private:
  std::string path;
};

}  // namespace

bool WriteFileAtomically(const std::string& path, const std::string& bytes, std::string* error,
                         bool* inUse) {
  if (inUse != nullptr) *inUse = false;
  DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES) {
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
      *error = "cannot write '" + path + "': it is a directory";
      return false;
    }
    if (attributes & FILE_ATTRIBUTE_READONLY) {
      *error = "cannot write '" + path + "': the file is read-only";
      return false;
    }
  }
  std::size_t slash = path.find_last_of("\\/");
  std::string directory = slash == std::string::npos                     ? std::string(".")
                          : slash == 0 || (slash == 2 && path[1] == ':') ? path.substr(0, slash + 1)
                                                                         : path.substr(0, slash);
  char temporaryPath[MAX_PATH];
  if (directory.size() >= MAX_PATH - 14 ||
      GetTempFileNameA(directory.c_str(), "fdb", 0, temporaryPath) == 0) {
    *error = Failure("cannot write '" + path + "': cannot create a file in '" + directory + "'",
                     directory.c_str(), __LINE__);
    return false;
  }
  TemporaryFile temporary(temporaryPath);
  {
    FileHandle file(CreateFileA(temporaryPath, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
      *error = Failure("cannot write '" + temporary.Path() + "'", temporaryPath, __LINE__);
      return false;
    }
    std::size_t done = 0;
    while (done < bytes.size()) {
      DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1 << 20));
      DWORD written = 0;
      if (!WriteFile(file.get(), bytes.data() + done, chunk, &written, nullptr) || written == 0) {
        *error = Failure("cannot write '" + temporary.Path() + "'", temporaryPath, __LINE__);
        return false;
      }
      done += written;
    }
    if (!FlushFileBuffers(file.get())) {
      *error = Failure("cannot write '" + temporary.Path() + "'", temporaryPath, __LINE__);
      return false;
    }
  }
  if (!MoveFileExA(temporaryPath, path.c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    DWORD number = GetLastError();
    if (inUse != nullptr) {
      *inUse = number == ERROR_ACCESS_DENIED || number == ERROR_SHARING_VIOLATION ||
               number == ERROR_USER_MAPPED_FILE || number == ERROR_LOCK_VIOLATION;
    }
    *error = Failure("cannot replace '" + path + "'", path.c_str(), __LINE__);
    return false;
  }
  temporary.Keep();
  return true;
}

bool ReadWholeFile(const std::string& path, std::string* bytes, std::string* error) {
  FileHandle file(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr));
  if (!file) {
    *error = Failure("cannot open '" + path + "'", path.c_str(), __LINE__);
    return false;
  }
  LARGE_INTEGER length;
  if (!GetFileSizeEx(file.get(), &length)) {
    *error = Failure("cannot read '" + path + "'", path.c_str(), __LINE__);
    return false;
  }
  if (length.QuadPart > UINT32_MAX) {
    *error = "cannot read '" + path + "': the file is larger than any fndb can be";
    return false;
  }
  bytes->assign(static_cast<std::size_t>(length.QuadPart), '\0');
  std::size_t done = 0;
  while (done < bytes->size()) {
    DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes->size() - done, 1 << 20));
    DWORD read = 0;
    if (!ReadFile(file.get(), &(*bytes)[done], chunk, &read, nullptr)) {
      *error = Failure("cannot read '" + path + "'", path.c_str(), __LINE__);
      return false;
    }
    if (read == 0) break;
    done += read;
  }
  bytes->resize(done);
  return true;
}

namespace {

// The changeCount of the database at the path; 0 when there is none (or no fndb there).
std::uint32_t PreviousChangeCount(const std::string& path) {
  FileHandle file(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr));
  if (!file) return 0;
  unsigned char header[kFndbHeaderSize];
  DWORD read = 0;
  if (!ReadFile(file.get(), header, sizeof header, &read, nullptr)) return 0;
  if (CheckFndbHeader(header, read) != FndbHeaderCheck::Good) return 0;
  return FndbView(header, read).ChangeCount();
}

bool MakeDirectory(const std::string& path, std::string* error) {
  if (CreateDirectoryA(path.c_str(), nullptr)) return true;
  if (GetLastError() == ERROR_ALREADY_EXISTS && AccessDirectory(path.c_str(), 0)) return true;
  *error = Failure("cannot create the directory '" + path + "'", path.c_str(), __LINE__);
  return false;
}

}  // namespace

std::string FndbOutputPath(const FndbBuildOptions& options) {
  return options.output.empty() ? Join(options.root, kDefaultOutput) : options.output;
}

bool WalkFndbRoot(const FndbBuildOptions& options, FndbTreeDirectory* tree,
                  FndbBuildResult* result) {
  ClearLastError();
  *result = FndbBuildResult{};
  result->output = FndbOutputPath(options);
  DWORD attributes = GetFileAttributesA(options.root.c_str());
  if (options.root.empty() || attributes == INVALID_FILE_ATTRIBUTES) {
    result->error = "the root directory '" + options.root + "' does not exist";
    return false;
  }
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    result->error = "the root '" + options.root + "' is not a directory";
    return false;
  }
  if (!ReadDirectoryTree(options.root, tree, &result->warnings, &result->error,
                         options.progress)) {
    return false;
  }
  result->statistics = CountTree(*tree);
  return true;
}

bool WriteFndb(const FndbBuildOptions& options, const FndbTreeDirectory& tree,
               FndbBuildResult* result, bool* inUse) {
  if (inUse != nullptr) *inUse = false;
  result->output = FndbOutputPath(options);
  FndbLayoutOptions layout;
  layout.frozen = options.frozen;
  layout.namesPerRecord = options.namesPerRecord;
  layout.reserve = options.reserve;
  layout.changeCount = PreviousChangeCount(result->output) + 1;
  if (layout.changeCount == 0) layout.changeCount = 1;
  std::string bytes = LayOutFndb(tree, layout);
  if (bytes.empty()) {
    result->error = "the tree below '" + options.root + "' is too large for an fndb";
    return false;
  }

  if (options.output.empty()) {
    std::string korvid = Join(options.root, "korvid");
    if (!MakeDirectory(korvid, &result->error) ||
        !MakeDirectory(Join(korvid, "config"), &result->error)) {
      return false;
    }
  }
  if (!WriteFileAtomically(result->output, bytes, &result->error, inUse)) return false;
  result->bytes = static_cast<std::uint32_t>(bytes.size());
  result->changeCount = layout.changeCount;
  return true;
}

bool BuildFndb(const FndbBuildOptions& options, FndbBuildResult* result) {
  FndbTreeDirectory tree;
  return WalkFndbRoot(options, &tree, result) && WriteFndb(options, tree, result);
}

}  // namespace korvid
