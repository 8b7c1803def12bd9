// The file search: working-directory shortcuts, each root's fndb, and the disk walk elsewhere.
#include "internal.h"

#include <direct.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <set>
#include <string_view>
#include <unordered_map>

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

// ---------------------------------------------------------------------------------------------
// Folder listings
//
// The disk walk reads each folder once per search: its listing answers whether the candidate file
// is there, which subdirectory the pattern names, and where the walk goes on. Listings, and the
// outcome of each walk, are kept for the life of the process and forgotten when the caches are
// cleared (ClearSearchPathCache, shutdown). What the process remembers may be older than the disk,
// and a search trusts it only where nobody would notice:
//   1. a hit taken from memory is tested on the disk before it is returned, so a file deleted since
//      is never answered;
//   2. a search that finds nothing anywhere, having used anything it remembered, walks the disk
//      entries again from fresh listings (and keeps those), so a file made after a folder was
//      first read is found as soon as it exists;
//   3. what remains: while an older copy of the name is found, a new copy made earlier in the order
//      of the search is not seen until the caches are cleared, as a root with an fndb does not see
//      it until its fndb is rebuilt.
// Folders that cannot be read, or whose enumeration ends early, are not remembered: their errors
// are reported by each search, as they always were.

}  // namespace

struct FolderListing {
  enum class State { Read, Failed, TooLong };
  struct Subdirectory {
    std::string name;
    bool link;  // a reparse point: the walk asks the link guard before entering it
  };
  State state = State::Read;
  DWORD error = 0;        // Failed, or a Read listing that ended early
  bool complete = true;   // the enumeration reached its end
  bool plain = true;      // every name is printable ASCII: an absent key means an absent name
  std::vector<std::string> fileKeys;       // upper-cased, sorted
  std::vector<std::string> directoryKeys;  // upper-cased, sorted
  std::vector<Subdirectory> subdirectories;  // in the order of the enumeration
};

namespace {

std::string UpperAscii(std::string_view text) {
  std::string upper(text);
  for (char& c : upper) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return upper;
}

// Whether the system finds a name exactly when an ASCII case-insensitive comparison with the long
// names of an enumeration does. Not so for: wildcards and characters no name holds; a tilde (the
// name may be a short name, which the enumeration does not return); a trailing dot or space (the
// system strips them); "." and ".."; device names, which exist in every folder.
bool IsPlainName(std::string_view name) {
  if (name.empty() || name == "." || name == ".." || name.back() == '.' || name.back() == ' ') {
    return false;
  }
  for (char c : name) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u >= 0x7f) return false;
    if (std::string_view("\"*:<>?|~/\\").find(c) != std::string_view::npos) return false;
  }
  return !IsDeviceName(name);
}

enum class Presence { Absent, Maybe };

bool HasKey(const std::vector<std::string>& keys, std::string_view name) {
  return std::binary_search(keys.begin(), keys.end(), UpperAscii(name));
}

// Whether the system takes the relative path as it is written: not so when it holds a "." or ".."
// component ("nothere\..\six.pl" is "six.pl") or ends in a separator or a dot ("six.pl\." is
// "six.pl"), which the system drops or resolves before it looks anything up.
bool IsLiteralPath(std::string_view path) {
  if (path.empty() || path.back() == '.' ||
      IsDirectoryDelimiter(static_cast<unsigned char>(path.back()))) {
    return false;
  }
  for (std::size_t start = 0; start <= path.size();) {
    std::size_t end = path.find_first_of("\\/", start);
    if (end == std::string_view::npos) end = path.size();
    std::string_view component = path.substr(start, end - start);
    if (component == "." || component == "..") return false;
    start = end + 1;
  }
  return true;
}

// Whether the relative path (a name, or folders and a name) may lie in the listed folder: only its
// first component is looked up, and only a plain name in a literal path and a complete, plain
// listing is decided.
Presence Lookup(const FolderListing& listing, std::string_view path, bool wantDirectory) {
  if (listing.state != FolderListing::State::Read || !listing.complete || !listing.plain ||
      !IsLiteralPath(path)) {
    return Presence::Maybe;
  }
  std::size_t separator = path.find_first_of("\\/");
  std::string_view first = path.substr(0, separator);
  if (!IsPlainName(first)) return Presence::Maybe;
  bool directory = wantDirectory || separator != std::string_view::npos;
  return HasKey(directory ? listing.directoryKeys : listing.fileKeys, first) ? Presence::Maybe
                                                                             : Presence::Absent;
}

// One enumeration of the folder, with the variant that skips short names and fetches in large
// batches.
std::shared_ptr<const FolderListing> ReadFolder(const std::string& directory) {
  auto listing = std::make_shared<FolderListing>();
  std::string searchText = directory + "\\*";
  if (searchText.size() >= kMaxPath) {
    listing->state = FolderListing::State::TooLong;
    return listing;
  }
  WIN32_FIND_DATAA data;
  FindHandle find(FindFirstFileExA(searchText.c_str(), FindExInfoBasic, &data,
                                   FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH));
  if (!find) {
    listing->state = FolderListing::State::Failed;
    listing->error = GetLastError();
    return listing;
  }
  do {
    // A '?' stands for a character the code page lacks, which may match an ASCII letter when the
    // system compares names without regard to case.
    const char* name = data.cFileName;
    for (const char* c = name; *c != '\0'; ++c) {
      unsigned char u = static_cast<unsigned char>(*c);
      if (u < 0x20 || u >= 0x7f || u == '?') listing->plain = false;
    }
    if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
      listing->fileKeys.push_back(UpperAscii(name));
      continue;
    }
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    listing->directoryKeys.push_back(UpperAscii(name));
    listing->subdirectories.push_back(
        {name, (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0});
  } while (FindNextFileA(find.get(), &data));
  DWORD end = GetLastError();
  if (end != ERROR_NO_MORE_FILES) {
    listing->complete = false;
    listing->error = end;
  }
  std::sort(listing->fileKeys.begin(), listing->fileKeys.end());
  std::sort(listing->directoryKeys.begin(), listing->directoryKeys.end());
  return listing;
}

// What one search has read and whether it relied on what earlier searches left.
struct SearchMemory {
  bool fresh = false;      // the second round: nothing remembered from earlier searches is used
  bool usedMemory = false;
  std::unordered_map<std::string, std::shared_ptr<const FolderListing>> read;  // in this search
  std::set<const FolderListing*> reported;  // failures reported in the first round
};

// ---------------------------------------------------------------------------------------------
// The disk walk

class DiskWalk {
 public:
  DiskWalk(SearchMemory& memory, char* result) : memory(memory), result(result) {}

  bool Walk(const std::string& directory, const std::string* pattern,
            const std::string& remainder) {
    if (pattern == nullptr) {
      std::size_t marker = remainder.find("//");
      if (marker != std::string::npos) {
        std::string subPattern = remainder.substr(0, marker);
        return Walk(directory, &subPattern, remainder.substr(marker + 2));
      }
    }
    inside.push_back(directory);
    bool found = pattern == nullptr ? WalkFiles(directory, remainder)
                                    : WalkPattern(directory, *pattern, remainder);
    inside.pop_back();
    return found;
  }

  // Whether the walk met a folder it could not read (completely): then its outcome is not kept.
  bool Troubled() const { return troubled; }

 private:
  // 1. The candidate in the folder itself; 2. each subdirectory in the order of the enumeration.
  bool WalkFiles(const std::string& directory, const std::string& remainder) {
    std::shared_ptr<const FolderListing> listing = List(directory);
    // The candidate is traced as ever, whether the listing or the file test rules it out.
    if (CopyResult(result, directory + "\\" + remainder)) {
      Trace(traceStreams.filesearch, "trying %s...", result);
      if (Lookup(*listing, remainder, false) == Presence::Absent) {
        ClearLastError();  // as the file test it stands for does
      } else if (AccessFile(result, 0)) {
        return true;
      }
    } else {
      guard.CutShort();
    }
    return ForEachSubdirectory(directory, *listing, remainder, [&](const std::string& subdirectory) {
      return Walk(subdirectory, nullptr, remainder);
    });
  }

  // 1. The folder the pattern names, searched for the remainder; 2. each subdirectory, searched
  // for the pattern again.
  bool WalkPattern(const std::string& directory, const std::string& pattern,
                   const std::string& remainder) {
    std::shared_ptr<const FolderListing> listing = List(directory);
    std::string direct = directory + "\\" + pattern;
    if (direct.size() < kMaxPath) {
      if (Lookup(*listing, pattern, true) == Presence::Absent) {
        ClearLastError();  // as the directory test it stands for does
      } else if (AccessDirectory(direct.c_str(), 0) && Walk(direct, nullptr, remainder)) {
        return true;
      }
    } else {
      guard.CutShort();
    }
    std::string state = pattern + "//" + remainder;
    return ForEachSubdirectory(directory, *listing, state, [&](const std::string& subdirectory) {
      return Walk(subdirectory, &pattern, remainder);
    });
  }

  // Calls visit on each subdirectory in the order of the enumeration until visit succeeds. A folder
  // that could not be enumerated, or whose enumeration ended in an error, is reported; directories
  // whose names would not fit a path are passed over (the walk is cut short there), and links the
  // guard refuses.
  template <typename Visit>
  bool ForEachSubdirectory(const std::string& directory, const FolderListing& listing,
                           const std::string& state, Visit visit) {
    std::string searchText = directory + "\\*";
    if (listing.state == FolderListing::State::TooLong) {
      guard.CutShort();
      return false;
    }
    if (listing.state == FolderListing::State::Failed) {
      Report(listing, searchText);
      return false;
    }
    for (const FolderListing::Subdirectory& entry : listing.subdirectories) {
      std::string subdirectory = directory + "\\" + entry.name;
      if (subdirectory.size() >= kMaxPath) {
        guard.CutShort();
        continue;
      }
      if (entry.link && guard.Check(subdirectory, inside, state) != LinkGuard::Verdict::Enter) {
        continue;
      }
      bool found = visit(subdirectory);
      if (entry.link) guard.Leave();
      if (found) return true;
    }
    if (!listing.complete) Report(listing, searchText);
    return false;
  }

  // The second round of a search does not report again what the first reported.
  void Report(const FolderListing& listing, const std::string& searchText) {
    if (memory.fresh && memory.reported.contains(&listing)) return;
    if (!memory.fresh) memory.reported.insert(&listing);
    SetLastError(listing.error);
    KORVID_RAISE(ErrorCode::Win32Error, searchText.c_str());
  }

  std::shared_ptr<const FolderListing> List(const std::string& directory) {
    auto local = memory.read.find(directory);
    if (local != memory.read.end()) return Note(local->second);
    auto& diskSearch = Context().diskSearch;
    if (!memory.fresh) {
      LockGuard lock(diskSearch.lock);
      auto kept = diskSearch.listings.find(directory);
      if (kept != diskSearch.listings.end()) {
        memory.usedMemory = true;
        return kept->second;
      }
    }
    std::shared_ptr<const FolderListing> listing = ReadFolder(directory);
    memory.read.emplace(directory, listing);
    if (listing->state == FolderListing::State::Read && listing->complete) {
      LockGuard lock(diskSearch.lock);
      diskSearch.listings[directory] = listing;
    }
    return Note(listing);
  }

  const std::shared_ptr<const FolderListing>& Note(const std::shared_ptr<const FolderListing>& l) {
    if (l->state == FolderListing::State::Failed || !l->complete) troubled = true;
    return l;
  }

  SearchMemory& memory;
  char* result;
  std::vector<std::string> inside;  // the directories the walk is in, the start first
  LinkGuard guard;
  bool troubled = false;
};

bool SearchDisk(const char* name, const std::string& entry, char* result, SearchMemory& memory) {
  std::string key = entry;
  if (!EndsInSeparator(key)) key += '\\';
  key += name;
  std::size_t marker = FindRecursionMarker(key);
  if (marker == std::string::npos) return CopyResult(result, key) && AccessFile(result, 0);

  auto& diskSearch = Context().diskSearch;
  if (!memory.fresh) {
    std::optional<std::string> before;
    {
      LockGuard lock(diskSearch.lock);
      auto kept = diskSearch.walks.find(key);
      if (kept != diskSearch.walks.end()) before = kept->second;
    }
    if (before) {
      memory.usedMemory = true;
      if (before->empty()) {
        ClearLastError();  // as the walk's first file test did
        return false;
      }
      if (CopyResult(result, *before)) {
        Trace(traceStreams.filesearch, "trying %s...", result);
        if (AccessFile(result, 0)) return true;
      }
    }
  }
  DiskWalk walk(memory, result);
  bool found = walk.Walk(key.substr(0, marker), nullptr, key.substr(marker + 2));
  if (!walk.Troubled()) {
    LockGuard lock(diskSearch.lock);
    diskSearch.walks[key] = found ? std::string(result) : std::string();
  }
  return found;
}

// The second round of a search that found nothing but relied on what earlier searches left: the
// disk entries again, from fresh listings.
bool SearchDiskAfresh(const char* name, const std::vector<const std::string*>& entries,
                      char* result, SearchMemory& memory) {
  if (!memory.usedMemory) return false;
  memory.fresh = true;
  for (const std::string* entry : entries) {
    if (SearchDisk(name, *entry, result, memory)) return true;
  }
  return false;
}

bool FindAbsolute(const char* name, char* result) {
  return AccessFile(name, 0) && CopyResult(result, name);
}

// The entry through its root's fndb: a hit that is gone from the disk counts as a miss and says the
// database is out of date (the first time in the process).
bool SearchFndb(FileNameDatabase& fndb, std::string_view name, const std::string& entry,
                char* result) {
  if (!fndb.Search(name, std::string_view(entry), result)) return false;
  if (AccessFile(result, 0)) return true;
  KORVID_RAISE(ErrorCode::InternalError);
  TraceError("found '%s' in fndb, but the file does not exist", result);
  if (!Context().outOfDateWarned.exchange(true)) {
    TraceError("the file name database is out-of-date");
  }
  return false;
}

// What a search asks once rather than at every entry: the current directory, the working
// directories, the roots of the entries, and the fndb of each root. One reference to a root's fndb
// is taken at the first entry below that root and held until the search ends, so that the entries
// of a root do not each take the root table's lock and a reference of their own.
class SearchPlaces {
 public:
  explicit SearchPlaces(std::shared_ptr<const SearchPathList> list = nullptr)
      : list(std::move(list)) {
    if (!this->list) return;
    auto& memo = Context().entryRoots;
    LockGuard guard(memo.lock);
    if (!memo.list.owner_before(this->list) && !this->list.owner_before(memo.list)) {
      known = memo.roots;
    }
  }
  SearchPlaces(const SearchPlaces&) = delete;
  SearchPlaces& operator=(const SearchPlaces&) = delete;
  // What this search learned is kept for the next search of the same list.
  ~SearchPlaces() {
    if (learned.empty()) return;
    auto& memo = Context().entryRoots;
    LockGuard guard(memo.lock);
    memo.list = list;
    memo.roots = std::make_shared<const std::vector<int>>(std::move(learned));
  }

  // False (after reporting) when the current directory cannot be read.
  bool Read() {
    if (_getcwd(currentDirectory, kMaxPath) == nullptr) {
      KORVID_RAISE(ErrorCode::CrtError, "_tgetcwd");
      return false;
    }
    currentLength = std::strlen(currentDirectory);
    char directory[kMaxPath];
    for (unsigned n = 1; GetWorkingDirectory(n, directory) != nullptr; ++n) {
      workingDirectories.emplace_back(directory);
    }
    return true;
  }

  std::string_view CurrentDirectory() const {
    return std::string_view(currentDirectory, currentLength);
  }
  const std::vector<std::string>& WorkingDirectories() const { return workingDirectories; }

  // The fndb of the root the entry (entry `index` of the list, if there is one) lies below; null
  // when that root has none, or the entry lies below no root.
  FileNameDatabase* FndbFor(std::size_t index, const std::string& entry) {
    int root = RootOf(index, entry);
    if (root < 0) return nullptr;
    for (std::size_t i = 0; i < fewCount; ++i) {
      if (few[i].first == root) return few[i].second.get();
    }
    for (const auto& [asked, fndb] : more) {
      if (asked == root) return fndb.get();
    }
    std::pair<int, FndbReference> answer(root, GetFndb(static_cast<unsigned>(root)));
    auto& kept = fewCount < kFew ? few[fewCount++] : more.emplace_back();
    kept = std::move(answer);
    return kept.second.get();
  }

 private:
  int RootOf(std::size_t index, const std::string& entry) {
    bool listed = list && index < list->size();
    if (listed && known && index < known->size() && (*known)[index] >= 0) return (*known)[index];
    int root = DetermineRootDirectory(entry.c_str());
    if (listed && root >= 0) {
      if (learned.empty()) {
        learned = known ? *known : std::vector<int>();
        learned.resize(list->size(), -1);
      }
      learned[index] = root;
    }
    return root;
  }

  std::shared_ptr<const SearchPathList> list;
  std::shared_ptr<const std::vector<int>> known;  // from an earlier search of the list
  std::vector<int> learned;                       // known and more, when this search learned more
  char currentDirectory[kMaxPath];
  std::size_t currentLength = 0;
  std::vector<std::string> workingDirectories;
  // The roots asked for and their answers. A pattern's entries lie below a few roots, kept without
  // an allocation: one costs about as much as a whole search that the fndbs answer.
  static constexpr std::size_t kFew = 4;
  std::pair<int, FndbReference> few[kFew];
  std::size_t fewCount = 0;
  std::vector<std::pair<int, FndbReference>> more;
};

// One entry of the expanded list (name: a text that ends in a zero byte). Entries searched on the
// disk are added to diskEntries, for a second round afresh.
FileSource SearchEntry(std::string_view name, std::size_t index, const std::string& entry,
                       SearchPlaces& places, char* result, SearchMemory& memory,
                       std::vector<const std::string*>* diskEntries) {
  // Each entry starts with a clear record, as when every comparison below cleared it.
  ClearLastError();
  // 1. The current directory: the name is found as given, relative.
  if (SamePath(entry, places.CurrentDirectory()) && AccessFile(name.data(), 0) &&
      CopyResult(result, name)) {
    return FileSource::CurrentDirectory;
  }
  // 2. The working directories.
  for (const std::string& directory : places.WorkingDirectories()) {
    if (!SamePath(entry, directory)) continue;
    std::string joined = directory;
    if (!EndsInSeparator(joined)) joined += '\\';
    joined += name;
    if (CopyResult(result, joined) && AccessFile(result, 0)) return FileSource::WorkingDirectory;
  }
  // 3. The root's fndb, or the disk when the root has none.
  if (FileNameDatabase* fndb = places.FndbFor(index, entry)) {
    return SearchFndb(*fndb, name, entry, result) ? FileSource::Fndb : FileSource::None;
  }
  diskEntries->push_back(&entry);
  return SearchDisk(name.data(), entry, result, memory) ? FileSource::Disk : FileSource::None;
}

}  // namespace

bool FindFile(const char* name, const char* pattern, char* result) {
  ClearLastError();
  std::shared_ptr<const SearchPathList> list = ExpandSearchPath(pattern);
  if (IsAbsolutePath(name)) return FindAbsolute(name, result);
  SearchPlaces places(list);
  if (!places.Read()) return false;
  const std::string_view nameText(name);
  SearchMemory memory;
  std::vector<const std::string*> diskEntries;
  for (std::size_t i = 0; i < list->size(); ++i) {
    if (SearchEntry(nameText, i, (*list)[i], places, result, memory, &diskEntries) !=
        FileSource::None) {
      return true;
    }
  }
  return SearchDiskAfresh(name, diskEntries, result, memory);
}

FileSource FindFileInEntry(const char* name, const char* entry, char* result) {
  ClearLastError();
  if (IsAbsolutePath(name)) {
    return FindAbsolute(name, result) ? FileSource::Absolute : FileSource::None;
  }
  SearchPlaces places;
  if (!places.Read()) return FileSource::None;
  SearchMemory memory;
  std::vector<const std::string*> diskEntries;
  const std::string entryText = entry;
  FileSource source =
      SearchEntry(name, 0, entryText, places, result, memory, &diskEntries);
  if (source == FileSource::None && SearchDiskAfresh(name, diskEntries, result, memory)) {
    return FileSource::Disk;
  }
  return source;
}

bool FindFileOnDisk(const char* name, const char* pattern, char* result) {
  ClearLastError();
  if (IsAbsolutePath(name)) return FindAbsolute(name, result);
  std::shared_ptr<const SearchPathList> list = ExpandSearchPath(pattern);
  SearchMemory memory;
  std::vector<const std::string*> diskEntries;
  for (const std::string& entry : *list) {
    diskEntries.push_back(&entry);
    if (SearchDisk(name, entry, result, memory)) return true;
  }
  return SearchDiskAfresh(name, diskEntries, result, memory);
}

void ClearDiskSearchCache() {
  {
    auto& diskSearch = Context().diskSearch;
    LockGuard lock(diskSearch.lock);
    diskSearch.listings.clear();
    diskSearch.walks.clear();
  }
  auto& memo = Context().entryRoots;
  LockGuard lock(memo.lock);
  memo.list.reset();
  memo.roots.reset();
}

}  // namespace korvid
