// For the fndb fuzz targets: a strict reading of fndb bytes into a tree (accepting only databases
// laid out as the lookups expect), and the lookups done the simple way on that tree.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace fuzzing {

constexpr std::size_t kMaxComponentsPath = 259;  // a directory path handed to the lookups
constexpr std::size_t kDirectoryPathSize = 256;  // a directory path relative to the root, NUL in
constexpr std::size_t kResultSize = 260;         // a found path, NUL included
constexpr unsigned kMaxWalkDepth = 128;

inline bool IsSeparator(char c) { return c == '\\' || c == '/'; }
inline unsigned char Fold(unsigned char c) { return (c >= 'A' && c <= 'Z') ? c + 32 : c; }

inline std::string Folded(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(Fold(static_cast<unsigned char>(c)));
  return out;
}

inline bool HasComponent(std::string_view path) {
  for (char c : path) {
    if (!IsSeparator(c)) return true;
  }
  return false;
}

struct RefDirectory {
  std::string name;
  std::string path;  // relative to the root, components joined by '\'
  std::vector<std::string> files;                 // in stored order
  std::vector<RefDirectory> subdirectories;       // in stored order
};

// Reads the bytes; nullopt unless every rule of a well-formed database holds: a good header; every
// record inside the bytes and visited once; names that end inside the bytes, are not empty and hold
// no separator, in strictly rising case-folded order within a record and unique within a
// directory; every subdirectory's first record names itself as listed and its parent's first
// record as parent; the root's parent is 0.
// A database updated in place may name, as a subdirectory's parent, a first record of the parent
// that an update replaced: it keeps the parent's name and parent, so the paths built from the
// parent chain stay the same. ParentRule::SamePath accepts such a parent: a record inside the
// bytes whose name and parent chain spell the parent's path up to a record with parent 0.
enum class ParentRule { Exact, SamePath };

class StrictReader {
 public:
  explicit StrictReader(std::string_view bytes, ParentRule rule = ParentRule::Exact)
      : bytes(bytes), rule(rule) {}

  std::optional<RefDirectory> Read() {
    if (bytes.size() < 40 || bytes.size() > 0xFFFFFFFFu) return std::nullopt;
    if (Word(0) != 0x42444E46 || Word(4) != 3) return std::nullopt;
    std::uint32_t root = Word(16);
    if (!RecordFits(root) || Word(root + 4) != 0) return std::nullopt;
    RefDirectory tree;
    std::vector<std::string> ancestry;
    if (!ReadDirectory(root, &tree, &ancestry)) return std::nullopt;
    return tree;
  }

 private:
  std::uint32_t Word(std::uint64_t offset) const {
    if (offset + 4 > bytes.size()) return 0;
    std::uint32_t value;
    std::memcpy(&value, bytes.data() + offset, 4);
    return value;
  }
  bool RecordFits(std::uint32_t offset) const {
    if (offset == 0) return false;
    std::uint64_t end = std::uint64_t{offset} + 24 + 4ull * Word(std::uint64_t{offset} + 8) +
                        8ull * Word(std::uint64_t{offset} + 12);
    return std::uint64_t{offset} + 24 <= bytes.size() && end <= bytes.size();
  }
  std::optional<std::string> Name(std::uint32_t offset) const {
    if (offset == 0 || offset >= bytes.size()) return std::nullopt;
    std::size_t end = bytes.find('\0', offset);
    if (end == std::string_view::npos || end == offset) return std::nullopt;
    std::string name(bytes.substr(offset, end - offset));
    for (char c : name) {
      if (IsSeparator(c)) return std::nullopt;
    }
    return name;
  }
  // One sorted array of names; appended to out, unique (folded) across the whole directory.
  bool ReadNames(std::uint64_t array, std::uint32_t count, std::vector<std::string>* out,
                 std::set<std::string>* seen) const {
    std::string previous;
    for (std::uint32_t i = 0; i < count; ++i) {
      std::optional<std::string> name = Name(Word(array + 4ull * i));
      if (!name) return false;
      std::string folded = Folded(*name);
      if (i > 0 && !(previous < folded)) return false;
      if (!seen->insert(folded).second) return false;
      previous = folded;
      out->push_back(*name);
    }
    return true;
  }
  // Whether the record and its parent chain spell the path of the names (from the root on).
  bool SpellsPath(std::uint32_t record, const std::vector<std::string>& names,
                  std::size_t count) const {
    if (!RecordFits(record)) return false;
    if (count == 0) return Word(std::uint64_t{record} + 4) == 0;
    std::optional<std::string> own = Name(Word(record));
    return own && *own == names[count - 1] &&
           SpellsPath(Word(std::uint64_t{record} + 4), names, count - 1);
  }

  // The depth only guards the stack: a database of a few thousand bytes nests no deeper.
  // ancestry: the names of the directory's path, from the root on.
  bool ReadDirectory(std::uint32_t first, RefDirectory* directory,
                     std::vector<std::string>* ancestry) {
    if (ancestry->size() > 20000) return false;
    std::set<std::string> fileNames;
    std::set<std::string> directoryNames;
    std::vector<std::pair<std::string, std::uint32_t>> children;
    for (std::uint32_t offset = first; offset != 0; offset = Word(std::uint64_t{offset} + 16)) {
      if (!RecordFits(offset) || !visited.insert(offset).second) return false;
      std::uint32_t files = Word(std::uint64_t{offset} + 8);
      std::uint32_t subdirectories = Word(std::uint64_t{offset} + 12);
      std::uint64_t fileArray = std::uint64_t{offset} + 24;
      std::uint64_t nameArray = fileArray + 4ull * files;
      std::uint64_t recordArray = nameArray + 4ull * subdirectories;
      if (!ReadNames(fileArray, files, &directory->files, &fileNames)) return false;
      std::vector<std::string> names;
      if (!ReadNames(nameArray, subdirectories, &names, &directoryNames)) return false;
      for (std::uint32_t i = 0; i < subdirectories; ++i) {
        children.emplace_back(names[i], Word(recordArray + 4ull * i));
      }
    }
    for (const auto& [name, record] : children) {
      if (!RecordFits(record)) return false;
      std::uint32_t parent = Word(std::uint64_t{record} + 4);
      if (rule == ParentRule::Exact ? parent != first
                                    : !SpellsPath(parent, *ancestry, ancestry->size())) {
        return false;
      }
      std::optional<std::string> own = Name(Word(record));
      if (!own || *own != name) return false;
      RefDirectory child;
      child.name = name;
      child.path = directory->path.empty() ? name : directory->path + "\\" + name;
      ancestry->push_back(name);
      bool read = ReadDirectory(record, &child, ancestry);
      ancestry->pop_back();
      if (!read) return false;
      directory->subdirectories.push_back(std::move(child));
    }
    return true;
  }

  std::string_view bytes;
  ParentRule rule;
  std::set<std::uint32_t> visited;
};

// The lookups on the tree, rule by rule as the lookups state them. Gives up (Exhausted) after a
// budget of steps, so that a slow case is not mistaken for a hang of the code under test.
class RefLookup {
 public:
  RefLookup(const RefDirectory& root, std::string_view rootPath) : root(root), rootPath(rootPath) {}

  bool exhausted = false;

  // The found path, or nullopt.
  std::optional<std::string> Search(std::string_view key) {
    std::size_t split = key.find("//");
    if (split == std::string_view::npos) return FileIn(&root, key);
    std::string_view prefix = key.substr(0, split);
    const RefDirectory* directory = HasComponent(prefix) ? FindSub(&root, prefix) : &root;
    if (directory == nullptr) return std::nullopt;
    return Walk(directory, std::nullopt, key.substr(split + 2), 0);
  }

 private:
  static const RefDirectory* Child(const RefDirectory* directory, std::string_view name) {
    std::string wanted = Folded(name);
    for (const RefDirectory& child : directory->subdirectories) {
      if (Folded(child.name) == wanted) return &child;
    }
    return nullptr;
  }

  static const RefDirectory* FindSub(const RefDirectory* directory, std::string_view path) {
    if (path.size() > kMaxComponentsPath || !HasComponent(path)) return nullptr;
    std::size_t i = 0;
    while (i < path.size()) {
      while (i < path.size() && IsSeparator(path[i])) ++i;
      if (i == path.size()) break;
      std::size_t start = i;
      while (i < path.size() && !IsSeparator(path[i])) ++i;
      directory = Child(directory, path.substr(start, i - start));
      if (directory == nullptr) return nullptr;
    }
    return directory;
  }

  std::optional<std::string> FileIn(const RefDirectory* directory, std::string_view name) const {
    const RefDirectory* holder = directory;
    std::string_view base = name;
    std::size_t separator = name.find_last_of("\\/");
    if (separator != std::string_view::npos) {
      holder = FindSub(directory, name.substr(0, separator));
      if (holder == nullptr) return std::nullopt;
      base = name.substr(separator + 1);
    }
    std::string wanted = Folded(base);
    bool listed = false;
    for (const std::string& file : holder->files) listed = listed || Folded(file) == wanted;
    if (!listed || directory->path.size() >= kDirectoryPathSize) return std::nullopt;
    std::string joined;
    for (std::string_view part : {rootPath, std::string_view(directory->path), name}) {
      if (!joined.empty() && !IsSeparator(joined.back())) joined += '\\';
      joined += part;
    }
    if (joined.size() >= kResultSize) return std::nullopt;
    return joined;
  }

  std::optional<std::string> Walk(const RefDirectory* directory,
                                  std::optional<std::string_view> pattern,
                                  std::string_view remainder, unsigned depth) {
    if (depth > kMaxWalkDepth || exhausted) return std::nullopt;
    if (++steps > 200000) {
      exhausted = true;
      return std::nullopt;
    }
    if (!pattern) {
      std::size_t split = remainder.find("//");
      if (split != std::string_view::npos) {
        pattern = remainder.substr(0, split);
        remainder.remove_prefix(split + 2);
      }
    }
    if (pattern && (!HasComponent(*pattern) || pattern->size() > kMaxComponentsPath)) {
      return std::nullopt;
    }
    if (!pattern) {
      if (std::optional<std::string> found = FileIn(directory, remainder)) return found;
    } else if (const RefDirectory* match = FindSub(directory, *pattern)) {
      if (std::optional<std::string> found = Walk(match, std::nullopt, remainder, depth + 1)) {
        return found;
      }
    }
    for (const RefDirectory& child : directory->subdirectories) {
      if (std::optional<std::string> found = Walk(&child, pattern, remainder, depth + 1)) {
        return found;
      }
    }
    return std::nullopt;
  }

  const RefDirectory& root;
  std::string_view rootPath;
  unsigned long steps = 0;
};

}  // namespace fuzzing
