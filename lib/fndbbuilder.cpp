// Building fndb files: layout from an in-memory tree, the disk walk, and the atomic write.
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

// The system's text for an error number, without its line end.
std::string SystemText(DWORD number) {
  char* text = nullptr;
  DWORD length = FormatMessageA(
      FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, number, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<char*>(&text), 0,
      nullptr);
  std::string result = (length != 0 && text != nullptr) ? std::string(text, length)
                                                        : "Win32 error " + std::to_string(number);
  if (text != nullptr) LocalFree(text);
  while (!result.empty() &&
         (result.back() == '\n' || result.back() == '\r' || result.back() == ' ')) {
    result.pop_back();
  }
  return result;
}

// Reports the failed call through the library's error record, and gives the reason as text.
std::string Failure(const std::string& what, const char* info, unsigned line) {
  DWORD number = GetLastError();
  RaiseError(ErrorCode::Win32Error, kModule, line, info);
  return what + ": " + SystemText(number);
}

// ---------------------------------------------------------------------------------------------
// Layout

void PutWord(std::string& bytes, std::uint32_t offset, std::uint32_t value) {
  unsigned char little[4] = {
      static_cast<unsigned char>(value), static_cast<unsigned char>(value >> 8),
      static_cast<unsigned char>(value >> 16), static_cast<unsigned char>(value >> 24)};
  std::memcpy(&bytes[offset], little, 4);
}

struct Directory {
  const FndbTreeDirectory* source;
  std::size_t parent;  // index in the node list; the root is its own parent
  std::vector<const std::string*> files;
  std::vector<std::size_t> subdirectories;  // indices in the node list, in sorted order
  std::vector<std::uint64_t> records;       // offsets of the chain
  std::vector<std::uint64_t> fileNames;     // offsets of the names, in sorted order
  std::vector<std::uint64_t> subdirectoryNames;
};

struct LessByName {
  bool operator()(const std::string* a, const std::string* b) const {
    return CaseInsensitiveLess()(*a, *b);
  }
};

// Depth first, subdirectories in sorted order: the order of the records in the file.
void CollectDirectories(const FndbTreeDirectory& source, std::size_t parent,
                        std::vector<Directory>* nodes) {
  std::size_t index = nodes->size();
  nodes->push_back(Directory{&source, parent, {}, {}, {}, {}, {}});
  std::vector<const std::string*> files;
  for (const std::string& file : source.files) files.push_back(&file);
  std::stable_sort(files.begin(), files.end(), LessByName());
  (*nodes)[index].files = std::move(files);

  std::vector<const FndbTreeDirectory*> children;
  for (const FndbTreeDirectory& child : source.subdirectories) children.push_back(&child);
  std::stable_sort(children.begin(), children.end(),
                   [](const FndbTreeDirectory* a, const FndbTreeDirectory* b) {
                     return CaseInsensitiveLess()(a->name, b->name);
                   });
  for (const FndbTreeDirectory* child : children) {
    (*nodes)[index].subdirectories.push_back(nodes->size());
    CollectDirectories(*child, index, nodes);
  }
}

// How the names of one directory spread over its records: record r holds the names from
// r * perRecord on, files first, then subdirectories.
struct Chunk {
  std::size_t firstName;
  std::size_t names;
};

std::vector<Chunk> Chunks(std::size_t names, std::uint32_t perRecord) {
  std::vector<Chunk> chunks;
  if (perRecord == 0 || names <= perRecord) {
    chunks.push_back(Chunk{0, names});
    return chunks;
  }
  for (std::size_t first = 0; first < names; first += perRecord) {
    chunks.push_back(Chunk{first, std::min<std::size_t>(perRecord, names - first)});
  }
  return chunks;
}

}  // namespace

std::string LayOutFndb(const FndbTreeDirectory& root, const FndbLayoutOptions& options) {
  std::vector<Directory> nodes;
  CollectDirectories(root, 0, &nodes);

  // 1. Offsets: each directory's records, then the names they list (so that a binary search in
  //    a directory reads bytes close together), then the next directory on a word boundary.
  std::uint64_t offset = kFndbHeaderSize;
  for (Directory& node : nodes) {
    offset = (offset + 3) & ~std::uint64_t{3};
    std::size_t fileCount = node.files.size();
    for (const Chunk& chunk :
         Chunks(fileCount + node.subdirectories.size(), options.namesPerRecord)) {
      std::size_t files =
          std::min(chunk.firstName + chunk.names, fileCount) - std::min(chunk.firstName, fileCount);
      std::size_t subdirectories = chunk.names - files;
      node.records.push_back(offset);
      offset += 4 * (kFndbRecordFixedWords + files + 2 * subdirectories);
    }
    for (const std::string* file : node.files) {
      node.fileNames.push_back(offset);
      offset += file->size() + 1;
    }
    for (std::size_t child : node.subdirectories) {
      node.subdirectoryNames.push_back(offset);
      offset += nodes[child].source->name.size() + 1;
    }
  }
  std::uint64_t usedSize = offset;
  std::uint64_t total = usedSize + options.reserve;
  if (total > UINT32_MAX) return std::string();

  // 2. The bytes.
  std::string bytes(static_cast<std::size_t>(total), '\0');
  PutWord(bytes, kFndbSignatureField, kFndbSignature);
  PutWord(bytes, kFndbVersionField, kFndbVersion);
  PutWord(bytes, kFndbFlagsField, options.frozen ? kFndbFrozenFlag : 0);
  PutWord(bytes, kFndbRootDirectoryField, static_cast<std::uint32_t>(nodes[0].records[0]));
  PutWord(bytes, kFndbChangeCountField, options.changeCount);
  PutWord(bytes, kFndbUsedSizeField, static_cast<std::uint32_t>(usedSize));
  auto putText = [&](std::uint64_t at, const std::string& text) {
    std::memcpy(&bytes[static_cast<std::size_t>(at)], text.c_str(), text.size() + 1);
  };

  for (std::size_t index = 0; index < nodes.size(); ++index) {
    const Directory& node = nodes[index];
    std::uint32_t nameOffset = 0;
    std::uint32_t parentOffset = 0;
    if (index != 0) {
      const Directory& parent = nodes[node.parent];
      std::size_t position =
          std::find(parent.subdirectories.begin(), parent.subdirectories.end(), index) -
          parent.subdirectories.begin();
      nameOffset = static_cast<std::uint32_t>(parent.subdirectoryNames[position]);
      parentOffset = static_cast<std::uint32_t>(parent.records[0]);
    }
    std::size_t fileCount = node.files.size();
    std::vector<Chunk> chunks =
        Chunks(fileCount + node.subdirectories.size(), options.namesPerRecord);
    for (std::size_t r = 0; r < chunks.size(); ++r) {
      // Names [begin, end) of the directory: files first, then subdirectories.
      std::size_t begin = chunks[r].firstName;
      std::size_t end = chunks[r].firstName + chunks[r].names;
      std::size_t firstFile = std::min(begin, fileCount);
      std::size_t endFile = std::min(end, fileCount);
      std::size_t firstSub = std::max(begin, fileCount) - fileCount;
      std::size_t endSub = std::max(end, fileCount) - fileCount;

      std::uint32_t at = static_cast<std::uint32_t>(node.records[r]);
      PutWord(bytes, at, nameOffset);
      PutWord(bytes, at + 4, parentOffset);
      PutWord(bytes, at + 8, static_cast<std::uint32_t>(endFile - firstFile));
      PutWord(bytes, at + 12, static_cast<std::uint32_t>(endSub - firstSub));
      PutWord(bytes, at + 16,
              r + 1 < chunks.size() ? static_cast<std::uint32_t>(node.records[r + 1]) : 0);
      PutWord(bytes, at + 20, 0);
      std::uint32_t word = at + 4 * kFndbRecordFixedWords;
      for (std::size_t f = firstFile; f < endFile; ++f, word += 4) {
        PutWord(bytes, word, static_cast<std::uint32_t>(node.fileNames[f]));
      }
      for (std::size_t d = firstSub; d < endSub; ++d, word += 4) {
        PutWord(bytes, word, static_cast<std::uint32_t>(node.subdirectoryNames[d]));
      }
      for (std::size_t d = firstSub; d < endSub; ++d, word += 4) {
        PutWord(bytes, word, static_cast<std::uint32_t>(nodes[node.subdirectories[d]].records[0]));
      }
    }
    for (std::size_t f = 0; f < fileCount; ++f) putText(node.fileNames[f], *node.files[f]);
    for (std::size_t d = 0; d < node.subdirectories.size(); ++d) {
      putText(node.subdirectoryNames[d], nodes[node.subdirectories[d]].source->name);
    }
  }
  return bytes;
}

FndbTreeStatistics CountTree(const FndbTreeDirectory& root) {
  FndbTreeStatistics statistics;
  statistics.directories = 1;
  statistics.files = static_cast<std::uint32_t>(root.files.size());
  for (const FndbTreeDirectory& child : root.subdirectories) {
    FndbTreeStatistics below = CountTree(child);
    statistics.directories += below.directories;
    statistics.files += below.files;
  }
  return statistics;
}

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
    return true;
  }
  WIN32_FIND_DATAA data;
  FindHandle find(FindFirstFileExA(pattern.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch,
                                   nullptr, FIND_FIRST_EX_LARGE_FETCH));
  if (!find) {
    DWORD number = GetLastError();
    if (number == ERROR_FILE_NOT_FOUND) return true;  // nothing in it, not even "." and ".."
    std::string reason = "cannot read the directory '" + path + "': " + SystemText(number);
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
      continue;
    }
    if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
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
  } while (FindNextFileA(find.get(), &data));
  DWORD number = GetLastError();
  walk.inside.pop_back();
  if (number != ERROR_NO_MORE_FILES) {
    walk.warnings->push_back("reading '" + path + "' stopped early: " + SystemText(number));
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

bool WriteFileAtomically(const std::string& path, const std::string& bytes, std::string* error) {
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

bool BuildFndb(const FndbBuildOptions& options, FndbBuildResult* result) {
  ClearLastError();
  *result = FndbBuildResult{};
  bool defaultOutput = options.output.empty();
  result->output = defaultOutput ? Join(options.root, kDefaultOutput) : options.output;

  DWORD attributes = GetFileAttributesA(options.root.c_str());
  if (options.root.empty() || attributes == INVALID_FILE_ATTRIBUTES) {
    result->error = "the root directory '" + options.root + "' does not exist";
    return false;
  }
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    result->error = "the root '" + options.root + "' is not a directory";
    return false;
  }

  FndbTreeDirectory tree;
  if (!ReadDirectoryTree(options.root, &tree, &result->warnings, &result->error,
                         options.progress)) {
    return false;
  }
  result->statistics = CountTree(tree);

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

  if (defaultOutput) {
    std::string korvid = Join(options.root, "korvid");
    if (!MakeDirectory(korvid, &result->error) ||
        !MakeDirectory(Join(korvid, "config"), &result->error)) {
      return false;
    }
  }
  if (!WriteFileAtomically(result->output, bytes, &result->error)) return false;
  result->bytes = static_cast<std::uint32_t>(bytes.size());
  result->changeCount = layout.changeCount;
  return true;
}

}  // namespace korvid
