// Lookups in an fndb over a byte view: every offset, count and string is checked against the size.
#include "fndbview.h"

#include "korvid/text.h"

#include <cstring>
#include <map>
#include <string>
#include <tuple>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace korvid {
namespace {

// A directory path that fits kFndbDirectoryPathSize has at most this many components, since each
// takes a character and all but the first a separator: deeper directories can never be found.
constexpr unsigned kMaxDepth = FndbView::kMaxWalkDepth;

inline bool IsSeparator(char c) { return c == '\\' || c == '/'; }


bool HasComponent(std::string_view path) {
  for (char c : path) {
    if (!IsSeparator(c)) return true;
  }
  return false;
}

}  // namespace

FndbHeaderCheck CheckFndbHeader(const void* data, std::uint32_t size) {
  FndbView view(data, size);
  if (size < 4 || view.Word(kFndbSignatureField) != kFndbSignature) return FndbHeaderCheck::NotFndb;
  if (size < 8) return FndbHeaderCheck::NotFndb;
  if (view.Word(kFndbVersionField) != kFndbVersion) return FndbHeaderCheck::UnknownVersion;
  if (size < kFndbHeaderSize) return FndbHeaderCheck::NotFndb;
  return FndbHeaderCheck::Good;
}

FndbView::FndbView(const void* data, std::uint32_t size, std::string_view rootPath)
    : data(static_cast<const unsigned char*>(data)),
      size(data != nullptr ? size : 0),
      rootPath(rootPath) {}

std::uint32_t FndbView::Word(std::uint32_t offset) const {
  if (size < 4 || offset > size - 4) return 0;
  std::uint32_t value;
  std::memcpy(&value, data + offset, 4);
  return value;  // the format is little-endian, as is every platform this runs on
}

bool FndbView::ReadRecord(std::uint32_t offset, Record* record) const {
  constexpr std::uint32_t kFixedBytes = 4 * kFndbRecordFixedWords;
  if (recordReads != nullptr) ++*recordReads;
  if (offset == 0 || size < kFixedBytes || offset > size - kFixedBytes) return false;
  record->offset = offset;
  record->fileCount = Word(offset + 8);
  record->subdirectoryCount = Word(offset + 12);
  record->extensionOffset = Word(offset + 16);
  std::uint64_t length = kFixedBytes + 4ull * record->fileCount + 8ull * record->subdirectoryCount;
  return length <= size - offset;
}

std::optional<std::string_view> FndbView::String(std::uint32_t offset) const {
  if (offset == 0 || offset >= size) return std::nullopt;
  const void* end = std::memchr(data + offset, '\0', size - offset);
  if (end == nullptr) return std::nullopt;
  return std::string_view(reinterpret_cast<const char*>(data + offset),
                          static_cast<const unsigned char*>(end) - (data + offset));
}

// Equal bytes are passed over without folding: names in one directory often share a prefix.
bool FndbView::CompareName(std::uint32_t offset, std::string_view name, int* order) const {
  if (offset == 0 || offset >= size) return false;
  const unsigned char* stored = data + offset;
  std::size_t available = size - offset;
  std::size_t limit = name.size() < available ? name.size() : available;
  for (std::size_t i = 0; i < limit; ++i) {
    unsigned char s = stored[i];
    unsigned char w = static_cast<unsigned char>(name[i]);
    if (s == w && s != '\0') continue;
    if (s == '\0') {
      *order = -1;  // the stored name is a prefix of the wanted one
      return true;
    }
    unsigned a = FoldAsciiCase(s);
    unsigned b = FoldAsciiCase(w);
    if (a != b) {
      *order = a < b ? -1 : 1;
      return true;
    }
  }
  if (limit == available) return false;  // no end inside the view
  *order = stored[limit] == '\0' ? 0 : 1;
  return true;
}

FndbView::Lookup FndbView::FindInArray(std::uint32_t array, std::uint32_t count,
                                       std::string_view name, std::uint32_t* index) const {
  std::uint32_t low = 0;
  std::uint32_t high = count;
  while (low < high) {
    std::uint32_t mid = low + (high - low) / 2;
    int order;
    if (!CompareName(Word(array + 4 * mid), name, &order)) return Lookup::Damaged;
    if (order > 0) {
      high = mid;
    } else if (order < 0) {
      low = mid + 1;
    } else {
      *index = mid;
      return Lookup::Found;
    }
  }
  return Lookup::Absent;
}

// The bookkeeping of one "//" walk that keeps its work linear in the size of the view whatever
// the records hold. In a sound database every continuation record belongs to one chain, at one
// place in it, and a name looked up in a directory always gives the same answer. So within a walk:
// 1. a chain is followed only through continuation records that no other chain, and no other
//    place of this chain, reached before (a chain that runs into another one or into itself ends);
// 2. a name is looked up once per directory of several records, and its answer is kept: many
//    directories may lead to one long chain, which is then read once per name, not once per way in.
// Neither changes an answer on a sound database.
class FndbView::ChainGuard {
 public:
  bool Claim(std::uint32_t record, std::uint32_t head, std::uint32_t position) {
    std::uint64_t place = (std::uint64_t{head} << 32) | position;
    auto [it, inserted] = claims.try_emplace(record, place);
    return inserted || it->second == place;
  }

  enum class Kind { Child, File };
  const std::uint32_t* Answer(Kind kind, std::uint32_t head, std::string_view name) const {
    auto it = answers.find(Question{kind, head, name.data(), name.size()});
    return it == answers.end() ? nullptr : &it->second;
  }
  void Keep(Kind kind, std::uint32_t head, std::string_view name, std::uint32_t answer) {
    answers.emplace(Question{kind, head, name.data(), name.size()}, answer);
  }

 private:
  // The names of a walk are parts of its key: the same part is the same text at the same place.
  using Question = std::tuple<Kind, std::uint32_t, const char*, std::size_t>;
  std::unordered_map<std::uint32_t, std::uint64_t> claims;  // record: head << 32 | position
  std::map<Question, std::uint32_t> answers;
};

// A chain longer than the view could hold distinct records loops, and a record that does not fit
// the view ends it.
template <typename Body>
bool FndbView::ForEachRecord(std::uint32_t directory, ChainGuard* guard, Body&& body) const {
  std::uint32_t offset = directory;
  for (std::uint32_t position = 0; offset != 0 && position < MaxChainLength(); ++position) {
    if (position > 0 && guard != nullptr && !guard->Claim(offset, directory, position)) {
      return false;
    }
    Record record;
    if (!ReadRecord(offset, &record)) return false;
    if (body(record)) return true;
    offset = record.extensionOffset;
  }
  return false;
}

// A directory of a single record is read again rather than remembered: that costs one record.
std::uint32_t FndbView::FindChild(std::uint32_t directory, std::string_view name,
                                  ChainGuard* guard) const {
  bool kept = guard != nullptr && Word(directory + 16) != 0;
  if (kept) {
    if (const std::uint32_t* answer = guard->Answer(ChainGuard::Kind::Child, directory, name)) {
      return *answer;
    }
  }
  std::uint32_t child = 0;
  ForEachRecord(directory, guard, [&](const Record& record) {
    std::uint32_t index;
    switch (FindInArray(record.SubdirectoryNames(), record.subdirectoryCount, name, &index)) {
      case Lookup::Found:
        child = Word(record.SubdirectoryRecords() + 4 * index);
        return true;
      case Lookup::Damaged:
        return true;
      case Lookup::Absent:
        break;
    }
    return false;
  });
  if (kept) guard->Keep(ChainGuard::Kind::Child, directory, name, child);
  return child;
}

bool FndbView::HasFile(std::uint32_t directory, std::string_view name, ChainGuard* guard) const {
  bool kept = guard != nullptr && Word(directory + 16) != 0;
  if (kept) {
    if (const std::uint32_t* answer = guard->Answer(ChainGuard::Kind::File, directory, name)) {
      return *answer != 0;
    }
  }
  bool found = false;
  ForEachRecord(directory, guard, [&](const Record& record) {
    std::uint32_t index;
    switch (FindInArray(record.FileNames(), record.fileCount, name, &index)) {
      case Lookup::Found:
        found = true;
        return true;
      case Lookup::Damaged:
        return true;
      case Lookup::Absent:
        break;
    }
    return false;
  });
  if (kept) guard->Keep(ChainGuard::Kind::File, directory, name, found ? 1 : 0);
  return found;
}

std::uint32_t FndbView::FindSubDirectory(std::uint32_t directory, std::string_view path) const {
  return FindSubDirectory(directory, path, nullptr);
}

std::uint32_t FndbView::FindSubDirectory(std::uint32_t directory, std::string_view path,
                                         ChainGuard* guard) const {
  if (path.size() > kFndbMaxSubDirectoryPath) return 0;
  std::uint32_t current = directory;
  bool anyComponent = false;
  std::size_t i = 0;
  while (i < path.size()) {
    while (i < path.size() && IsSeparator(path[i])) ++i;
    if (i == path.size()) break;
    std::size_t start = i;
    while (i < path.size() && !IsSeparator(path[i])) ++i;
    anyComponent = true;
    current = FindChild(current, path.substr(start, i - start), guard);
    if (current == 0) return 0;
  }
  return anyComponent ? current : 0;
}

bool FndbView::FileExistsInDirectory(std::uint32_t directory, std::string_view name) const {
  return FileExistsInDirectory(directory, name, nullptr);
}

bool FndbView::FileExistsInDirectory(std::uint32_t directory, std::string_view name,
                                     ChainGuard* guard) const {
  // Asked at every directory of a walk: a plain scan, not find_last_of's search per byte.
  std::size_t end = name.size();  // just past the last separator; 0 when there is none
  while (end > 0 && !IsSeparator(name[end - 1])) --end;
  if (end > 0) {
    directory = FindSubDirectory(directory, name.substr(0, end - 1), guard);
    if (directory == 0) return false;
    name.remove_prefix(end);
  }
  return HasFile(directory, name, guard);
}

// The parent chain is followed upwards first, at most kMaxDepth steps (a parent offset pointing
// back would otherwise never reach the root), then the names are joined from the top.
int FndbView::GetDirectoryPath(std::uint32_t directory, char* buffer) const {
  buffer[0] = '\0';
  std::uint32_t names[kMaxDepth];
  unsigned depth = 0;
  std::uint32_t root = RootDirectory();
  for (std::uint32_t current = directory; current != root;) {
    Record record;
    if (!ReadRecord(current, &record)) return -1;
    std::uint32_t parent = Word(current + 4);
    if (parent == 0) break;  // the root directory; its own name is never used
    if (depth == kMaxDepth) return -1;
    names[depth++] = Word(current);
    current = parent;
  }
  std::size_t length = 0;
  while (depth > 0) {
    std::optional<std::string_view> name = String(names[--depth]);
    bool fits = name.has_value();
    if (fits && length > 0 && !IsSeparator(buffer[length - 1])) {
      fits = length + 1 < kFndbDirectoryPathSize;
      if (fits) buffer[length++] = '\\';
    }
    if (fits) fits = length + name->size() < kFndbDirectoryPathSize;
    if (!fits) {
      buffer[0] = '\0';
      return -1;
    }
    std::memcpy(buffer + length, name->data(), name->size());
    length += name->size();
  }
  buffer[length] = '\0';
  return static_cast<int>(length);
}

bool FndbView::FindFileInDirectory(std::uint32_t directory, std::string_view name,
                                   char* result) const {
  return FindFileInDirectory(directory, name, result, nullptr);
}

bool FndbView::FindFileInDirectory(std::uint32_t directory, std::string_view name, char* result,
                                   ChainGuard* guard) const {
  if (directory == 0) return false;
  if (!FileExistsInDirectory(directory, name, guard)) return false;
  if (result == nullptr) return true;
  char directoryPath[kFndbDirectoryPathSize];
  int directoryLength = GetDirectoryPath(directory, directoryPath);
  if (directoryLength < 0) return false;

  // Each join adds a backslash unless its left part is empty or already ends in a separator.
  char joined[kFndbResultSize];
  std::size_t length = 0;
  auto join = [&](std::string_view right) {
    if (length > 0 && !IsSeparator(joined[length - 1])) {
      if (length + 1 >= sizeof joined) return false;
      joined[length++] = '\\';
    }
    if (length + right.size() >= sizeof joined) return false;
    std::memcpy(joined + length, right.data(), right.size());
    length += right.size();
    return true;
  };
  if (!join(rootPath) || !join(std::string_view(directoryPath, directoryLength)) || !join(name)) {
    return false;
  }
  joined[length] = '\0';
  std::memcpy(result, joined, length + 1);
  return true;
}

// ---------------------------------------------------------------------------------------------
// The "//" walk. In a tree no step of the walk leads back to a (directory, pattern, remainder)
// it has already tried, and trying one again would fail again; so each is tried once, which
// changes no result on a sound database and ends the walk on one whose records link back.

class FndbView::Walk {
 public:
  Walk(const FndbView& view, char* result) : view(view), result(result) {}

  // The (directory, pattern, remainder) triples tried so far.
  std::size_t Tried() const { return used; }

  bool Search(std::uint32_t directory, std::optional<std::string_view> pattern,
              std::string_view remainder, unsigned depth) {
    if (directory == 0 || depth > kMaxDepth) return false;
    if (!pattern) {
      std::size_t split = remainder.find("//");
      if (split != std::string_view::npos) {
        pattern = remainder.substr(0, split);
        remainder.remove_prefix(split + 2);
      }
    }
    // A pattern that names no directory is matched nowhere below.
    if (pattern && (!HasComponent(*pattern) || pattern->size() > kFndbMaxSubDirectoryPath)) {
      return false;
    }
    if (!FirstVisit(directory, pattern ? pattern->data() : nullptr, remainder.data())) {
      return false;
    }
    if (!pattern) {
      if (view.FindFileInDirectory(directory, remainder, result, &guard)) return true;
    } else {
      std::uint32_t match = view.FindSubDirectory(directory, *pattern, &guard);
      if (match != 0 && Search(match, std::nullopt, remainder, depth + 1)) return true;
    }
    return view.ForEachRecord(directory, &guard, [&](const Record& record) {
      for (std::uint32_t i = 0; i < record.subdirectoryCount; ++i) {
        std::uint32_t child = view.Word(record.SubdirectoryRecords() + 4 * i);
        if (Search(child, pattern, remainder, depth + 1)) return true;
      }
      return false;
    });
  }

 private:
  struct Slot {
    std::uint32_t directory = 0;  // 0: free
    const char* pattern = nullptr;
    const char* remainder = nullptr;
  };

  // Open addressing with linear probing; the table grows at half load.
  bool FirstVisit(std::uint32_t directory, const char* pattern, const char* remainder) {
    if (2 * (used + 1) > slots.size()) Grow();
    std::size_t mask = slots.size() - 1;
    for (std::size_t i = Hash(directory, pattern, remainder) & mask;; i = (i + 1) & mask) {
      Slot& slot = slots[i];
      if (slot.directory == 0) {
        slot = Slot{directory, pattern, remainder};
        ++used;
        return true;
      }
      if (slot.directory == directory && slot.pattern == pattern && slot.remainder == remainder) {
        return false;
      }
    }
  }

  static std::size_t Hash(std::uint32_t directory, const char* pattern, const char* remainder) {
    std::uint64_t h = directory * 0x9E3779B97F4A7C15ull;
    h ^= reinterpret_cast<std::uintptr_t>(pattern) * 0xC2B2AE3D27D4EB4Full;
    h ^= reinterpret_cast<std::uintptr_t>(remainder) * 0x165667B19E3779F9ull;
    return static_cast<std::size_t>(h ^ (h >> 29));
  }

  void Grow() {
    std::vector<Slot> old(slots.empty() ? 256 : 2 * slots.size());
    old.swap(slots);
    used = 0;
    std::size_t mask = slots.size() - 1;
    for (const Slot& slot : old) {
      if (slot.directory == 0) continue;
      std::size_t i = Hash(slot.directory, slot.pattern, slot.remainder) & mask;
      while (slots[i].directory != 0) i = (i + 1) & mask;
      slots[i] = slot;
      ++used;
    }
  }

  const FndbView& view;
  char* result;
  ChainGuard guard;
  std::vector<Slot> slots;
  std::size_t used = 0;
};

bool FndbView::RecursiveSearch(std::uint32_t directory, std::optional<std::string_view> pattern,
                               std::string_view remainder, char* result) const {
  Walk walk(*this, result);
  return walk.Search(directory, pattern, remainder, 0);
}

bool FndbView::Search(std::string_view relativeKey, char* result, const FndbIndex* index,
                      std::uint64_t* walked) const {
  std::size_t split = relativeKey.find("//");
  if (split == std::string_view::npos) {
    return FindFileInDirectory(RootDirectory(), relativeKey, result);
  }
  std::string_view prefix = relativeKey.substr(0, split);
  std::uint32_t directory =
      HasComponent(prefix) ? FindSubDirectory(RootDirectory(), prefix) : RootDirectory();
  if (directory == 0) return false;
  std::string_view remainder = relativeKey.substr(split + 2);
  if (index != nullptr) {
    if (std::optional<bool> found = SearchIndex(*index, *this, directory, remainder, result)) {
      return *found;
    }
  }
  Walk walk(*this, result);
  bool found = walk.Search(directory, std::nullopt, remainder, 0);
  if (walked != nullptr) *walked += walk.Tried();
  return found;
}

// ---------------------------------------------------------------------------------------------

bool FndbView::List(
    const std::function<void(std::string_view path, bool isDirectory)>& visit) const {
  bool intact = true;
  std::unordered_set<std::uint32_t> seen;
  std::string path;

  auto forEachRecord = [&](std::uint32_t directory, auto&& body) {
    std::uint32_t offset = directory;
    std::uint32_t links = MaxChainLength();
    for (; offset != 0 && links > 0; --links) {
      Record record;
      if (!ReadRecord(offset, &record)) {
        intact = false;
        return;
      }
      body(record);
      offset = record.extensionOffset;
    }
    if (offset != 0) intact = false;
  };

  auto listDirectory = [&](auto&& self, std::uint32_t directory, unsigned depth) -> void {
    if (!seen.insert(directory).second) {
      intact = false;
      return;
    }
    std::size_t base = path.size();
    forEachRecord(directory, [&](const Record& record) {
      for (std::uint32_t i = 0; i < record.fileCount; ++i) {
        std::optional<std::string_view> name = String(Word(record.FileNames() + 4 * i));
        if (!name) {
          intact = false;
          continue;
        }
        path.append(*name);
        visit(path, false);
        path.resize(base);
      }
    });
    forEachRecord(directory, [&](const Record& record) {
      for (std::uint32_t i = 0; i < record.subdirectoryCount; ++i) {
        std::optional<std::string_view> name = String(Word(record.SubdirectoryNames() + 4 * i));
        std::uint32_t child = Word(record.SubdirectoryRecords() + 4 * i);
        if (!name || child == 0 || depth + 1 > kMaxDepth) {
          intact = false;
          continue;
        }
        path.append(*name).push_back('\\');
        visit(path, true);
        self(self, child, depth + 1);
        path.resize(base);
      }
    });
  };

  std::uint32_t root = RootDirectory();
  Record record;
  if (!ReadRecord(root, &record)) return false;
  listDirectory(listDirectory, root, 0);
  return intact;
}

}  // namespace korvid
