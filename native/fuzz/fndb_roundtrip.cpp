// fndb round trip: a tree description laid out by the builder reads back as that tree, every file
// is found at its path, nothing else is, and "//" searches agree with a direct walk of the
// description.
#include "check.h"
#include "fndb_reference.h"
#include "fndblayout.h"
#include "fndbview.h"
#include "korvid.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

using namespace korvid;
using fuzzing::Folded;

namespace {

constexpr char kRoot[] = "C:\\texmf";

FndbTreeDirectory* Subdirectory(FndbTreeDirectory* directory, const std::string& name) {
  for (FndbTreeDirectory& child : directory->subdirectories) {
    if (Folded(child.name) == Folded(name)) return &child;
  }
  directory->subdirectories.push_back(FndbTreeDirectory{name, {}, {}});
  return &directory->subdirectories.back();
}

// Each line is a path of components separated by '/' or '\' (empty ones dropped): a file, or a
// directory when the line ends in a separator. A name met again in other letter case is the same.
FndbTreeDirectory Describe(std::string_view text) {
  FndbTreeDirectory root;
  while (!text.empty()) {
    std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    std::vector<std::string> parts;
    std::size_t i = 0;
    while (i < line.size()) {
      std::size_t start = i;
      while (i < line.size() && !fuzzing::IsSeparator(line[i]) && line[i] != '\0') ++i;
      if (i > start) parts.emplace_back(line.substr(start, i - start));
      ++i;
    }
    if (parts.empty()) continue;
    bool isDirectory = fuzzing::IsSeparator(line.back());
    FndbTreeDirectory* directory = &root;
    for (std::size_t p = 0; p + 1 < parts.size(); ++p) directory = Subdirectory(directory, parts[p]);
    if (isDirectory) {
      Subdirectory(directory, parts.back());
    } else if (std::none_of(directory->files.begin(), directory->files.end(),
                            [&](const std::string& f) { return Folded(f) == Folded(parts.back()); })) {
      directory->files.push_back(parts.back());
    }
  }
  return root;
}

void Sort(FndbTreeDirectory* directory) {
  CaseInsensitiveLess less;
  std::sort(directory->files.begin(), directory->files.end(), less);
  std::sort(directory->subdirectories.begin(), directory->subdirectories.end(),
            [&](const auto& a, const auto& b) { return less(a.name, b.name); });
  for (FndbTreeDirectory& child : directory->subdirectories) Sort(&child);
}

bool SameTree(const FndbTreeDirectory& described, const fuzzing::RefDirectory& read) {
  if (described.files != read.files ||
      described.subdirectories.size() != read.subdirectories.size()) {
    return false;
  }
  for (std::size_t i = 0; i < described.subdirectories.size(); ++i) {
    if (described.subdirectories[i].name != read.subdirectories[i].name ||
        !SameTree(described.subdirectories[i], read.subdirectories[i])) {
      return false;
    }
  }
  return true;
}

// Whether the lookups can give the path: a directory path under 256 bytes, a result under 260.
bool Fits(const std::string& directoryPath, const std::string& name) {
  std::string full = std::string(kRoot) + "\\" + (directoryPath.empty() ? "" : directoryPath + "\\");
  return directoryPath.size() < kFndbDirectoryPathSize && (full + name).size() < kFndbResultSize;
}

struct Walker {
  std::vector<std::pair<std::string, std::string>> files;  // directory path, name: stored order

  void Collect(const FndbTreeDirectory& directory, const std::string& path) {
    for (const std::string& file : directory.files) files.emplace_back(path, file);
    for (const FndbTreeDirectory& child : directory.subdirectories) {
      Collect(child, path.empty() ? child.name : path + "\\" + child.name);
    }
  }
};

// The first file of that name (folded) in depth-first order, a directory's files before its
// subdirectories, whose path the lookups can give; at most 128 levels below the start.
std::optional<std::string> DirectWalk(const FndbTreeDirectory& directory, const std::string& path,
                                      const std::string& name, unsigned depth) {
  if (depth > fuzzing::kMaxWalkDepth) return std::nullopt;
  for (const std::string& file : directory.files) {
    if (Folded(file) == Folded(name) && Fits(path, name)) {
      return std::string(kRoot) + "\\" + (path.empty() ? "" : path + "\\") + name;
    }
  }
  for (const FndbTreeDirectory& child : directory.subdirectories) {
    std::string childPath = path.empty() ? child.name : path + "\\" + child.name;
    if (auto found = DirectWalk(child, childPath, name, depth + 1)) return found;
  }
  return std::nullopt;
}

}  // namespace

// Input: a byte of options (names per record in its low two bits, the frozen flag in bit 2), then
// the tree description.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  FndbLayoutOptions options;
  options.namesPerRecord = data[0] & 3;
  options.frozen = (data[0] & 4) != 0;
  options.reserve = 0;
  FndbTreeDirectory tree =
      Describe(std::string_view(reinterpret_cast<const char*>(data + 1), size - 1));
  std::string bytes = LayOutFndb(tree, options);
  FUZZ_CHECK(!bytes.empty());
  Sort(&tree);

  std::optional<fuzzing::RefDirectory> read = fuzzing::StrictReader(bytes).Read();
  FUZZ_CHECK(read.has_value());
  FUZZ_CHECK(SameTree(tree, *read));

  auto exact = std::make_unique<unsigned char[]>(bytes.size());
  std::memcpy(exact.get(), bytes.data(), bytes.size());
  FndbView view(exact.get(), static_cast<std::uint32_t>(bytes.size()), kRoot);
  FUZZ_CHECK(CheckFndbHeader(exact.get(), static_cast<std::uint32_t>(bytes.size())) ==
             FndbHeaderCheck::Good);
  FUZZ_CHECK(((view.Flags() & kFndbFrozenFlag) != 0) == options.frozen);

  Walker walker;
  walker.Collect(tree, "");
  std::set<std::pair<std::string, std::string>> listedFiles;
  for (const auto& file : walker.files) listedFiles.emplace(file.first, Folded(file.second));
  std::map<std::string, std::optional<std::string>> firstInWalk;  // by folded name
  char result[kFndbResultSize];
  for (const auto& file : walker.files) {
    const std::string& directory = file.first;
    const std::string& name = file.second;
    std::string key = directory.empty() ? name : directory + "\\" + name;
    // Found at its path, when the path fits the lookups' limits.
    bool fits = Fits("", key) && directory.size() <= kFndbMaxSubDirectoryPath;
    bool found = view.Search(key, result);
    FUZZ_CHECK(found == fits);
    if (found) FUZZ_CHECK(std::string(kRoot) + "\\" + key == result);
    // A name one letter longer is listed only when the description has it.
    std::string longer = key + "~";
    if (listedFiles.count({directory, Folded(name + "~")}) == 0) {
      FUZZ_CHECK(!view.Search(longer, result));
    }
    // "//" with the name alone: the first file of that name in the walk of the description.
    auto known = firstInWalk.find(Folded(name));
    if (known == firstInWalk.end()) {
      known = firstInWalk.emplace(Folded(name), DirectWalk(tree, "", name, 0)).first;
    }
    // The walk found the name as spelled at its first sight; the lookup gives it as asked.
    std::optional<std::string> expected = known->second;
    if (expected) expected->replace(expected->size() - name.size(), name.size(), name);
    found = view.Search("//" + name, result);
    FUZZ_CHECK(found == expected.has_value());
    if (found) FUZZ_CHECK(*expected == result);
  }
  return 0;
}
