// The planning of in-place updates of an fndb, and the making of their stores.
#include "fndbupdate.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <set>

#include "fndbview.h"
#include "korvid/text.h"

namespace korvid {
namespace {

constexpr std::uint32_t kFixedBytes = 4 * kFndbRecordFixedWords;
constexpr std::uint32_t kExtensionWord = 16;
// Directories deeper than the lookups go below the root are neither added nor compared.
constexpr std::size_t kMaxDepth = FndbView::kMaxWalkDepth;

inline bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// The order of names in the database: ASCII letters folded, then bytes as unsigned values, a
// prefix first.
int CompareNames(std::string_view a, std::string_view b) {
  std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    unsigned x = FoldAsciiCase(static_cast<unsigned char>(a[i]));
    unsigned y = FoldAsciiCase(static_cast<unsigned char>(b[i]));
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : a.size() < b.size() ? -1 : 1;
}

bool NameLess(std::string_view a, std::string_view b) { return CompareNames(a, b) < 0; }

// A name a directory can list: one component, not "." or "..", no zero byte.
bool GoodName(std::string_view name) {
  if (name.empty() || name == "." || name == "..") return false;
  for (char c : name) {
    if (c == '\0' || IsSeparator(c)) return false;
  }
  return true;
}

// The components of a relative path; false when there is none or one is no good name, or when
// there are more than the lookups follow.
bool SplitComponents(std::string_view path, std::vector<std::string_view>* components) {
  components->clear();
  std::size_t i = 0;
  while (i < path.size()) {
    while (i < path.size() && IsSeparator(path[i])) ++i;
    if (i == path.size()) break;
    std::size_t begin = i;
    while (i < path.size() && !IsSeparator(path[i])) ++i;
    std::string_view component = path.substr(begin, i - begin);
    if (!GoodName(component)) return false;
    components->push_back(component);
  }
  return !components->empty() && components->size() <= kMaxDepth;
}

// A copy of the tree fit to be laid out: good names only (else false), each name once without
// regard to case (the first one kept), no deeper than depthLeft levels below it.
bool CleanTree(const FndbTreeDirectory& tree, std::size_t depthLeft, FndbTreeDirectory* clean) {
  clean->files.clear();
  clean->subdirectories.clear();
  std::set<std::string_view, CaseInsensitiveLess> files;
  for (const std::string& file : tree.files) {
    if (!GoodName(file)) return false;
    if (files.insert(file).second) clean->files.push_back(file);
  }
  std::set<std::string_view, CaseInsensitiveLess> directories;
  for (const FndbTreeDirectory& child : tree.subdirectories) {
    if (!GoodName(child.name) || depthLeft == 0) return false;
    if (!directories.insert(child.name).second) continue;
    clean->subdirectories.push_back(FndbTreeDirectory{child.name, {}, {}});
    if (!CleanTree(child, depthLeft - 1, &clean->subdirectories.back())) return false;
  }
  return true;
}

void PutWord(std::string* bytes, std::size_t at, std::uint32_t value) {
  unsigned char little[4] = {
      static_cast<unsigned char>(value), static_cast<unsigned char>(value >> 8),
      static_cast<unsigned char>(value >> 16), static_cast<unsigned char>(value >> 24)};
  std::memcpy(bytes->data() + at, little, 4);
}

std::uint32_t NextChangeCount(std::uint32_t count) { return count + 1 == 0 ? 1 : count + 1; }

}  // namespace

// ---------------------------------------------------------------------------------------------
// Reading the bytes as the plan leaves them: below start the database's own bytes with the
// planned word stores, from start on the planned bytes. Whatever is read lies wholly on one side:
// a record or name of the database that reaches into its free space is damage.

struct FndbUpdatePlan::Record {
  std::uint32_t offset = 0;
  std::uint32_t name = 0;
  std::uint32_t parent = 0;
  std::uint32_t files = 0;
  std::uint32_t subdirectories = 0;
  std::uint32_t extension = 0;
  std::uint32_t FileNames() const { return offset + kFixedBytes; }
  std::uint32_t SubdirectoryNames() const { return FileNames() + 4 * files; }
  std::uint32_t SubdirectoryRecords() const { return SubdirectoryNames() + 4 * subdirectories; }
  std::uint32_t Names() const { return files + subdirectories; }
};

struct FndbUpdatePlan::Chain {
  std::vector<Record> records;
};

FndbUpdatePlan::FndbUpdatePlan(const void* data, std::uint32_t size, std::uint32_t namesPerRecord)
    : data(static_cast<const unsigned char*>(data)),
      size(data != nullptr ? size : 0),
      namesPerRecord(namesPerRecord == 0 ? 1 : namesPerRecord) {
  if (CheckFndbHeader(this->data, this->size) != FndbHeaderCheck::Good) return;
  std::uint32_t usedSize = FndbView(this->data, this->size).UsedSize();
  if (usedSize < kFndbHeaderSize || usedSize > this->size) return;
  start = usedSize;
  used = usedSize;
  sound = true;
  underway = FndbView(this->data, this->size).Word(kFndbUnderwayField) == kFndbUnderway;
}

bool FndbUpdatePlan::Word(std::uint64_t offset, std::uint32_t* value) const {
  if (offset + 4 <= start) {
    auto it = patched.find(static_cast<std::uint32_t>(offset));
    if (it != patched.end()) {
      *value = it->second;
    } else {
      std::memcpy(value, data + offset, 4);
    }
    return true;
  }
  if (offset >= start && offset + 4 <= used) {
    std::memcpy(value, fresh.data() + (offset - start), 4);
    return true;
  }
  return false;
}

bool FndbUpdatePlan::Name(std::uint32_t offset, std::string_view* name) const {
  const unsigned char* first;
  std::size_t available;
  if (offset == 0) return false;
  if (offset < start) {
    first = data + offset;
    available = start - offset;
  } else if (offset < used) {
    first = reinterpret_cast<const unsigned char*>(fresh.data()) + (offset - start);
    available = used - offset;
  } else {
    return false;
  }
  const void* end = std::memchr(first, '\0', available);
  if (end == nullptr) return false;
  *name = std::string_view(reinterpret_cast<const char*>(first),
                           static_cast<const unsigned char*>(end) - first);
  return true;
}

bool FndbUpdatePlan::ReadRecord(std::uint32_t offset, Record* record) const {
  if (offset == 0 || offset % 4 != 0) return false;
  record->offset = offset;
  if (!Word(offset, &record->name) || !Word(offset + 4ull, &record->parent) ||
      !Word(offset + 8ull, &record->files) || !Word(offset + 12ull, &record->subdirectories) ||
      !Word(offset + 16ull, &record->extension)) {
    return false;
  }
  std::uint64_t end =
      offset + std::uint64_t{kFixedBytes} + 4ull * record->files + 8ull * record->subdirectories;
  return offset < start ? end <= start : end <= used;
}

// A chain longer than the used part could hold distinct records links back.
bool FndbUpdatePlan::ReadChain(std::uint32_t first, Chain* chain) const {
  chain->records.clear();
  for (std::uint32_t offset = first; offset != 0;) {
    if (chain->records.size() > used / kFixedBytes) return false;
    Record record;
    if (!ReadRecord(offset, &record)) return false;
    chain->records.push_back(record);
    offset = record.extension;
  }
  return !chain->records.empty();
}

bool FndbUpdatePlan::FindName(std::uint32_t array, std::uint32_t count, std::string_view name,
                              bool* found, std::uint32_t* index) const {
  std::uint32_t low = 0;
  std::uint32_t high = count;
  while (low < high) {
    std::uint32_t mid = low + (high - low) / 2;
    std::uint32_t offset;
    std::string_view stored;
    if (!Word(array + 4ull * mid, &offset) || !Name(offset, &stored)) return false;
    int order = CompareNames(stored, name);
    if (order < 0) {
      low = mid + 1;
    } else if (order > 0) {
      high = mid;
    } else {
      *found = true;
      *index = mid;
      return true;
    }
  }
  *found = false;
  *index = low;
  return true;
}

FndbUpdatePlan::Lookup FndbUpdatePlan::FindChild(std::uint32_t directory, std::string_view name,
                                                 std::uint32_t* child, std::uint32_t* link) const {
  Chain chain;
  if (!ReadChain(directory, &chain)) return Lookup::Damaged;
  for (const Record& record : chain.records) {
    bool found;
    std::uint32_t index;
    if (!FindName(record.SubdirectoryNames(), record.subdirectories, name, &found, &index)) {
      return Lookup::Damaged;
    }
    if (found) {
      *link = record.SubdirectoryRecords() + 4 * index;
      if (!Word(*link, child) || *child == 0) return Lookup::Damaged;
      return Lookup::Found;
    }
  }
  return Lookup::Absent;
}

FndbUpdatePlan::Lookup FndbUpdatePlan::FindFile(std::uint32_t directory,
                                                std::string_view name) const {
  Chain chain;
  if (!ReadChain(directory, &chain)) return Lookup::Damaged;
  for (const Record& record : chain.records) {
    bool found;
    std::uint32_t index;
    if (!FindName(record.FileNames(), record.files, name, &found, &index)) return Lookup::Damaged;
    if (found) return Lookup::Found;
  }
  return Lookup::Absent;
}

bool FndbUpdatePlan::Resolve(const std::vector<std::string_view>& components, Place* place) const {
  place->link = kFndbRootDirectoryField;
  if (!Word(place->link, &place->directory)) return false;
  for (place->depth = 0; place->depth < components.size(); ++place->depth) {
    std::uint32_t child;
    std::uint32_t link;
    switch (FindChild(place->directory, components[place->depth], &child, &link)) {
      case Lookup::Found:
        place->directory = child;
        place->link = link;
        break;
      case Lookup::Absent:
        return true;
      case Lookup::Damaged:
        return false;
    }
  }
  return true;
}

// ---------------------------------------------------------------------------------------------
// Changes

namespace {

// The tree of the components from `from` on, the last one holding the content.
FndbTreeDirectory Nest(const std::vector<std::string_view>& components, std::size_t from,
                       FndbTreeDirectory content) {
  content.name = std::string(components.back());
  for (std::size_t i = components.size() - 1; i-- > from;) {
    FndbTreeDirectory parent{std::string(components[i]), {}, {}};
    parent.subdirectories.push_back(std::move(content));
    content = std::move(parent);
  }
  return content;
}

}  // namespace

FndbPlanOutcome FndbUpdatePlan::Add(const FndbChange& change) {
  if (!sound) return FndbPlanOutcome::Damaged;
  std::vector<std::string_view> components;
  if (!SplitComponents(change.path, &components)) return FndbPlanOutcome::BadPath;
  std::vector<std::string_view> parent(components.begin(), components.end() - 1);
  std::string_view name = components.back();
  Place place;
  switch (change.kind) {
    case FndbChange::Kind::AddFile: {
      if (!Resolve(parent, &place)) return FndbPlanOutcome::Damaged;
      FndbDirectoryEdit edit;
      if (place.depth == parent.size()) {
        edit.addFiles.emplace_back(name);
      } else {
        std::vector<std::string_view> missing(parent.begin() + place.depth, parent.end());
        edit.addDirectories.push_back(
            Nest(missing, 0, FndbTreeDirectory{"", {std::string(name)}, {}}));
      }
      return Edit(place.directory, place.link, std::move(edit));
    }
    case FndbChange::Kind::AddTree: {
      FndbTreeDirectory content;
      if (!CleanTree(change.content, kMaxDepth - components.size(), &content)) {
        return FndbPlanOutcome::BadPath;
      }
      if (!Resolve(components, &place)) return FndbPlanOutcome::Damaged;
      if (place.depth == components.size()) return Merge(components, content, 0);
      std::vector<std::string_view> missing(components.begin() + place.depth, components.end());
      FndbDirectoryEdit edit;
      edit.addDirectories.push_back(Nest(missing, 0, std::move(content)));
      return Edit(place.directory, place.link, std::move(edit));
    }
    case FndbChange::Kind::RemoveFile:
    case FndbChange::Kind::RemoveTree: {
      if (!Resolve(parent, &place)) return FndbPlanOutcome::Damaged;
      if (place.depth < parent.size()) return FndbPlanOutcome::Unchanged;
      FndbDirectoryEdit edit;
      (change.kind == FndbChange::Kind::RemoveFile ? edit.removeFiles : edit.removeDirectories)
          .emplace_back(name);
      return Edit(place.directory, place.link, std::move(edit));
    }
  }
  return FndbPlanOutcome::BadPath;
}

// What of the content is not listed below the listed directory: its own edit, then the listed
// subdirectories' (each resolved again: an edit may have replaced the records on the way).
FndbPlanOutcome FndbUpdatePlan::Merge(const std::vector<std::string_view>& components,
                                      const FndbTreeDirectory& content, std::size_t depth) {
  Place place;
  if (!Resolve(components, &place)) return FndbPlanOutcome::Damaged;
  if (place.depth != components.size() || depth > kMaxDepth) return FndbPlanOutcome::Damaged;
  FndbDirectoryEdit edit;
  edit.addFiles = content.files;
  std::vector<const FndbTreeDirectory*> listed;
  for (const FndbTreeDirectory& child : content.subdirectories) {
    std::uint32_t record;
    std::uint32_t link;
    switch (FindChild(place.directory, child.name, &record, &link)) {
      case Lookup::Found:
        listed.push_back(&child);
        break;
      case Lookup::Absent:
        edit.addDirectories.push_back(child);
        break;
      case Lookup::Damaged:
        return FndbPlanOutcome::Damaged;
    }
  }
  FndbPlanOutcome outcome = Edit(place.directory, place.link, std::move(edit));
  if (outcome != FndbPlanOutcome::Planned && outcome != FndbPlanOutcome::Unchanged) return outcome;
  for (const FndbTreeDirectory* child : listed) {
    std::vector<std::string_view> below = components;
    below.push_back(child->name);
    FndbPlanOutcome merged = Merge(below, *child, depth + 1);
    if (merged == FndbPlanOutcome::Planned) outcome = merged;
    if (merged != FndbPlanOutcome::Planned && merged != FndbPlanOutcome::Unchanged) return merged;
  }
  return outcome;
}

FndbPlanOutcome FndbUpdatePlan::Add(const FndbDirectoryEdit& edit) {
  if (!sound) return FndbPlanOutcome::Damaged;
  std::vector<std::string_view> components;
  bool root = true;
  for (char c : edit.path) root = root && IsSeparator(c);
  if (!root && !SplitComponents(edit.path, &components)) return FndbPlanOutcome::BadPath;
  FndbDirectoryEdit clean;
  clean.path = edit.path;
  for (const std::vector<std::string>* names :
       {&edit.addFiles, &edit.removeFiles, &edit.removeDirectories}) {
    for (const std::string& name : *names) {
      if (!GoodName(name)) return FndbPlanOutcome::BadPath;
    }
  }
  clean.addFiles = edit.addFiles;
  clean.removeFiles = edit.removeFiles;
  clean.removeDirectories = edit.removeDirectories;
  for (const FndbTreeDirectory& directory : edit.addDirectories) {
    FndbTreeDirectory copy{directory.name, {}, {}};
    if (!GoodName(directory.name) || components.size() >= kMaxDepth ||
        !CleanTree(directory, kMaxDepth - components.size() - 1, &copy)) {
      return FndbPlanOutcome::BadPath;
    }
    clean.addDirectories.push_back(std::move(copy));
  }
  Place place;
  if (!Resolve(components, &place)) return FndbPlanOutcome::Damaged;
  if (place.depth < components.size()) {
    // An unlisted directory lists nothing to remove; what it gains comes with it.
    if (clean.addFiles.empty() && clean.addDirectories.empty()) return FndbPlanOutcome::Unchanged;
    std::vector<std::string_view> missing(components.begin() + place.depth, components.end());
    FndbDirectoryEdit parentEdit;
    parentEdit.addDirectories.push_back(
        Nest(missing, 0, FndbTreeDirectory{"", clean.addFiles, std::move(clean.addDirectories)}));
    FndbTreeDirectory& top = parentEdit.addDirectories.back();
    FndbTreeDirectory cleaned{top.name, {}, {}};
    if (!CleanTree(top, kMaxDepth - place.depth - 1, &cleaned)) return FndbPlanOutcome::BadPath;
    parentEdit.addDirectories.back() = std::move(cleaned);
    return Edit(place.directory, place.link, std::move(parentEdit));
  }
  return Edit(place.directory, place.link, std::move(clean));
}

// ---------------------------------------------------------------------------------------------
// One directory's edit: the replaced suffix of its chain, the new records, one publishing store.

FndbPlanOutcome FndbUpdatePlan::Edit(std::uint32_t directory, std::uint32_t link,
                                     FndbDirectoryEdit edit) {
  Chain chain;
  if (!ReadChain(directory, &chain)) return FndbPlanOutcome::Damaged;
  const std::size_t n = chain.records.size();

  // 1. Where each name is listed (record and index), or that it is not.
  struct Listing {
    bool found = false;
    std::size_t record = 0;
    std::uint32_t index = 0;
  };
  auto locate = [&](std::string_view name, bool file, Listing* listing) {
    for (std::size_t r = 0; r < n; ++r) {
      const Record& record = chain.records[r];
      bool found;
      std::uint32_t index;
      if (!FindName(file ? record.FileNames() : record.SubdirectoryNames(),
                    file ? record.files : record.subdirectories, name, &found, &index)) {
        return false;
      }
      if (found) {
        *listing = Listing{true, r, index};
        return true;
      }
    }
    *listing = Listing{};
    return true;
  };
  std::vector<std::set<std::uint32_t>> removedFiles(n);
  std::vector<std::set<std::uint32_t>> removedDirectories(n);
  for (bool file : {true, false}) {
    for (const std::string& name : file ? edit.removeFiles : edit.removeDirectories) {
      Listing listing;
      if (!locate(name, file, &listing)) return FndbPlanOutcome::Damaged;
      if (listing.found) {
        (file ? removedFiles : removedDirectories)[listing.record].insert(listing.index);
      }
    }
  }
  std::vector<std::string> addFiles;
  std::vector<const FndbTreeDirectory*> addDirectories;
  std::set<std::string_view, CaseInsensitiveLess> adding;
  for (const std::string& name : edit.addFiles) {
    Listing listing;
    if (!locate(name, true, &listing)) return FndbPlanOutcome::Damaged;
    if (!listing.found && adding.insert(name).second) addFiles.push_back(name);
  }
  adding.clear();
  for (const FndbTreeDirectory& child : edit.addDirectories) {
    Listing listing;
    if (!locate(child.name, false, &listing)) return FndbPlanOutcome::Damaged;
    if (!listing.found && adding.insert(child.name).second) addDirectories.push_back(&child);
  }
  std::sort(addFiles.begin(), addFiles.end(), NameLess);
  std::sort(addDirectories.begin(), addDirectories.end(),
            [](const FndbTreeDirectory* a, const FndbTreeDirectory* b) {
              return NameLess(a->name, b->name);
            });

  // 2. The suffix of the chain that is replaced (from the first record that loses a name), and
  //    whether the added names go into the copy of the last record or into appended records.
  std::size_t firstRemoval = n;
  for (std::size_t r = n; r-- > 0;) {
    if (!removedFiles[r].empty() || !removedDirectories[r].empty()) firstRemoval = r;
  }
  const std::size_t additions = addFiles.size() + addDirectories.size();
  if (firstRemoval == n && additions == 0) return FndbPlanOutcome::Unchanged;
  const Record& last = chain.records[n - 1];
  std::uint64_t lastNames =
      std::uint64_t{last.Names()} - removedFiles[n - 1].size() - removedDirectories[n - 1].size();
  const bool intoLast = additions > 0 && lastNames + additions <= namesPerRecord;
  const std::size_t replaceFrom = intoLast ? std::min(firstRemoval, n - 1) : firstRemoval;

  // 3. Offsets: the new records first, then the added names, then the added directories.
  struct NewRecord {
    std::vector<std::uint32_t> files;                // name offsets, sorted
    std::vector<std::uint32_t> subdirectoryNames;    // sorted
    std::vector<std::uint32_t> subdirectoryRecords;  // at the same index
    std::vector<std::size_t> newFiles;               // indices into addFiles, merged in
    std::vector<std::size_t> newDirectories;         // indices into addDirectories
    std::uint32_t offset = 0;
  };
  std::vector<NewRecord> records;
  for (std::size_t r = replaceFrom; r < n; ++r) {
    const Record& old = chain.records[r];
    NewRecord copy;
    for (std::uint32_t i = 0; i < old.files; ++i) {
      if (removedFiles[r].count(i)) continue;
      std::uint32_t name;
      if (!Word(old.FileNames() + 4ull * i, &name)) return FndbPlanOutcome::Damaged;
      copy.files.push_back(name);
    }
    for (std::uint32_t i = 0; i < old.subdirectories; ++i) {
      if (removedDirectories[r].count(i)) continue;
      std::uint32_t name;
      std::uint32_t record;
      if (!Word(old.SubdirectoryNames() + 4ull * i, &name) ||
          !Word(old.SubdirectoryRecords() + 4ull * i, &record)) {
        return FndbPlanOutcome::Damaged;
      }
      copy.subdirectoryNames.push_back(name);
      copy.subdirectoryRecords.push_back(record);
    }
    records.push_back(std::move(copy));
  }
  if (intoLast) {
    for (std::size_t i = 0; i < addFiles.size(); ++i) records.back().newFiles.push_back(i);
    for (std::size_t i = 0; i < addDirectories.size(); ++i) {
      records.back().newDirectories.push_back(i);
    }
  } else {
    // Appended records of at most namesPerRecord names each, files first.
    for (std::size_t first = 0; first < additions; first += namesPerRecord) {
      NewRecord appended;
      for (std::size_t i = first; i < additions && i < first + namesPerRecord; ++i) {
        if (i < addFiles.size()) {
          appended.newFiles.push_back(i);
        } else {
          appended.newDirectories.push_back(i - addFiles.size());
        }
      }
      records.push_back(std::move(appended));
    }
  }

  const std::uint64_t begin = (std::uint64_t{used} + 3) & ~std::uint64_t{3};
  std::uint64_t offset = begin;
  for (NewRecord& record : records) {
    record.offset = static_cast<std::uint32_t>(offset);
    std::uint64_t files = record.files.size() + record.newFiles.size();
    std::uint64_t subdirectories = record.subdirectoryNames.size() + record.newDirectories.size();
    offset += kFixedBytes + 4 * files + 8 * subdirectories;
  }
  std::vector<std::uint32_t> fileNameOffsets(addFiles.size());
  for (std::size_t i = 0; i < addFiles.size(); ++i) {
    fileNameOffsets[i] = static_cast<std::uint32_t>(offset);
    offset += addFiles[i].size() + 1;
  }
  std::vector<std::uint32_t> directoryNameOffsets(addDirectories.size());
  for (std::size_t i = 0; i < addDirectories.size(); ++i) {
    directoryNameOffsets[i] = static_cast<std::uint32_t>(offset);
    offset += addDirectories[i]->name.size() + 1;
  }
  if (offset > UINT32_MAX) return FndbPlanOutcome::TooLarge;
  // The directory's first record once the edit is published: added directories name it parent.
  const std::uint32_t firstRecord = replaceFrom == 0 ? records.front().offset : directory;

  std::string bytes(static_cast<std::size_t>(offset - begin), '\0');
  for (std::size_t i = 0; i < addFiles.size(); ++i) {
    std::memcpy(&bytes[fileNameOffsets[i] - begin], addFiles[i].c_str(), addFiles[i].size() + 1);
  }
  for (std::size_t i = 0; i < addDirectories.size(); ++i) {
    const std::string& name = addDirectories[i]->name;
    std::memcpy(&bytes[directoryNameOffsets[i] - begin], name.c_str(), name.size() + 1);
  }
  std::vector<std::uint32_t> directoryRecords(addDirectories.size());
  for (std::size_t i = 0; i < addDirectories.size(); ++i) {
    std::string subtree;
    std::uint32_t top =
        LayOutFndbSubtree(*addDirectories[i], static_cast<std::uint32_t>(begin + bytes.size()),
                          directoryNameOffsets[i], firstRecord, 0, &subtree);
    if (top == 0 || begin + bytes.size() + subtree.size() > UINT32_MAX) {
      return FndbPlanOutcome::TooLarge;
    }
    directoryRecords[i] = top;
    bytes += subtree;
  }

  // 4. The records' words. Added names are merged into the sorted arrays.
  std::string_view stored;
  auto mergeNames = [&](const std::vector<std::uint32_t>& old,
                        const std::vector<std::size_t>& added, auto addedName, auto emit) -> bool {
    std::size_t a = 0;
    for (std::size_t o = 0; o <= old.size(); ++o) {
      if (o < old.size() && !Name(old[o], &stored)) return false;
      while (a < added.size() && (o == old.size() || NameLess(addedName(added[a]), stored))) {
        emit(false, added[a++]);
      }
      if (o < old.size()) emit(true, o);
    }
    return true;
  };
  const Record& head = chain.records.front();
  for (std::size_t k = 0; k < records.size(); ++k) {
    const NewRecord& record = records[k];
    std::size_t at = record.offset - begin;
    std::vector<std::uint32_t> files;
    std::vector<std::uint32_t> names;
    std::vector<std::uint32_t> links;
    bool read = mergeNames(
        record.files, record.newFiles, [&](std::size_t i) { return std::string_view(addFiles[i]); },
        [&](bool old, std::size_t i) {
          files.push_back(old ? record.files[i] : fileNameOffsets[i]);
        });
    read =
        read && mergeNames(
                    record.subdirectoryNames, record.newDirectories,
                    [&](std::size_t i) { return std::string_view(addDirectories[i]->name); },
                    [&](bool old, std::size_t i) {
                      names.push_back(old ? record.subdirectoryNames[i] : directoryNameOffsets[i]);
                      links.push_back(old ? record.subdirectoryRecords[i] : directoryRecords[i]);
                    });
    if (!read) return FndbPlanOutcome::Damaged;
    PutWord(&bytes, at, head.name);
    PutWord(&bytes, at + 4, head.parent);
    PutWord(&bytes, at + 8, static_cast<std::uint32_t>(files.size()));
    PutWord(&bytes, at + 12, static_cast<std::uint32_t>(names.size()));
    PutWord(&bytes, at + kExtensionWord, k + 1 < records.size() ? records[k + 1].offset : 0);
    PutWord(&bytes, at + 20, 0);
    at += kFixedBytes;
    for (std::vector<std::uint32_t>* words : {&files, &names, &links}) {
      for (std::uint32_t word : *words) {
        PutWord(&bytes, at, word);
        at += 4;
      }
    }
  }

  // 5. The stores: fill, usedSize, publish (see the class comment).
  std::uint32_t target = replaceFrom == 0  ? link
                         : replaceFrom < n ? chain.records[replaceFrom - 1].offset + kExtensionWord
                                           : chain.records[n - 1].offset + kExtensionWord;
  const std::uint32_t newUsed = static_cast<std::uint32_t>(begin + bytes.size());
  fresh.resize(begin - start, '\0');
  fresh += bytes;
  used = newUsed;
  FndbStore fill;
  fill.role = FndbStoreRole::Fill;
  fill.offset = static_cast<std::uint32_t>(begin);
  fill.bytes = std::move(bytes);
  stores.push_back(std::move(fill));
  Store(FndbStoreRole::UsedSize, kFndbUsedSizeField, newUsed);
  Store(FndbStoreRole::Publish, target, records.front().offset);
  return FndbPlanOutcome::Planned;
}

void FndbUpdatePlan::Store(FndbStoreRole role, std::uint32_t offset, std::uint32_t word) {
  if (offset >= start) {
    PutWord(&fresh, offset - start, word);
  } else {
    patched[offset] = word;
  }
  FndbStore store;
  store.role = role;
  store.offset = offset;
  store.word = word;
  stores.push_back(std::move(store));
}

std::uint32_t FndbUpdatePlan::ChangeCount(bool moveChangeCount) const {
  std::uint32_t count = 0;
  if (!sound || !Word(kFndbChangeCountField, &count)) return count;
  return stores.empty() && !moveChangeCount && !underway ? count : NextChangeCount(count);
}

std::vector<FndbStore> FndbUpdatePlan::Stores(bool moveChangeCount) const {
  std::vector<FndbStore> all;
  if (!sound || (stores.empty() && !moveChangeCount && !underway)) return all;
  auto word = [](FndbStoreRole role, std::uint32_t offset, std::uint32_t value) {
    FndbStore store;
    store.role = role;
    store.offset = offset;
    store.word = value;
    return store;
  };
  all.push_back(word(FndbStoreRole::Underway, kFndbUnderwayField, kFndbUnderway));
  all.insert(all.end(), stores.begin(), stores.end());
  all.push_back(word(FndbStoreRole::ChangeCount, kFndbChangeCountField, ChangeCount(true)));
  all.push_back(word(FndbStoreRole::Done, kFndbUnderwayField, 0));
  return all;
}

// ---------------------------------------------------------------------------------------------
// Comparing the listing with a tree

FndbPlanOutcome FndbUpdatePlan::Compare(const FndbTreeDirectory& tree,
                                        const std::vector<std::string>& ignored,
                                        std::vector<FndbDirectoryEdit>* edits) const {
  edits->clear();
  if (!sound) return FndbPlanOutcome::Damaged;
  std::set<std::string, CaseInsensitiveLess> skip;
  for (std::string path : ignored) {
    std::replace(path.begin(), path.end(), '/', '\\');
    skip.insert(std::move(path));
  }
  std::set<std::uint32_t> visited;
  std::string path;

  auto compare = [&](auto&& self, std::uint32_t directory, const FndbTreeDirectory& disk,
                     std::size_t depth) -> bool {
    if (depth > kMaxDepth || !visited.insert(directory).second) return false;
    Chain chain;
    if (!ReadChain(directory, &chain)) return false;
    struct Entry {
      std::string_view name;
      std::uint32_t record;
    };
    std::vector<Entry> files;
    std::vector<Entry> directories;
    for (const Record& record : chain.records) {
      for (std::uint32_t i = 0; i < record.Names(); ++i) {
        std::uint32_t name;
        Entry entry{{}, 0};
        if (!Word(record.FileNames() + 4ull * i, &name) || !Name(name, &entry.name)) return false;
        if (i >= record.files &&
            !Word(record.SubdirectoryRecords() + 4ull * (i - record.files), &entry.record)) {
          return false;
        }
        (i < record.files ? files : directories).push_back(entry);
      }
    }
    auto byName = [](const Entry& a, const Entry& b) { return NameLess(a.name, b.name); };
    std::stable_sort(files.begin(), files.end(), byName);
    std::stable_sort(directories.begin(), directories.end(), byName);
    std::vector<const std::string*> diskFiles;
    for (const std::string& file : disk.files) diskFiles.push_back(&file);
    std::vector<const FndbTreeDirectory*> diskDirectories;
    for (const FndbTreeDirectory& child : disk.subdirectories) diskDirectories.push_back(&child);
    std::stable_sort(diskFiles.begin(), diskFiles.end(),
                     [](const std::string* a, const std::string* b) { return NameLess(*a, *b); });
    std::stable_sort(diskDirectories.begin(), diskDirectories.end(),
                     [](const FndbTreeDirectory* a, const FndbTreeDirectory* b) {
                       return NameLess(a->name, b->name);
                     });

    FndbDirectoryEdit edit;
    edit.path = path;
    const std::size_t base = path.size();
    auto ignoredFile = [&](std::string_view name) {
      if (skip.empty()) return false;
      std::string full = path;
      if (!full.empty()) full += '\\';
      full.append(name);
      return skip.count(full) != 0;
    };
    // Both sides sorted; a name met twice on one side (in other letter case) counts once.
    std::size_t l = 0;
    std::size_t d = 0;
    while (l < files.size() || d < diskFiles.size()) {
      int order = l == files.size()       ? 1
                  : d == diskFiles.size() ? -1
                                          : CompareNames(files[l].name, *diskFiles[d]);
      std::string_view name = order <= 0 ? files[l].name : std::string_view(*diskFiles[d]);
      if (order < 0 && !ignoredFile(name)) edit.removeFiles.emplace_back(name);
      if (order > 0 && !ignoredFile(name)) edit.addFiles.emplace_back(name);
      while (l < files.size() && CompareNames(files[l].name, name) == 0) ++l;
      while (d < diskFiles.size() && CompareNames(*diskFiles[d], name) == 0) ++d;
    }
    std::vector<std::pair<std::uint32_t, const FndbTreeDirectory*>> both;
    l = 0;
    d = 0;
    while (l < directories.size() || d < diskDirectories.size()) {
      int order = l == directories.size() ? 1
                  : d == diskDirectories.size()
                      ? -1
                      : CompareNames(directories[l].name, diskDirectories[d]->name);
      std::string_view name =
          order <= 0 ? directories[l].name : std::string_view(diskDirectories[d]->name);
      if (order < 0) edit.removeDirectories.emplace_back(name);
      if (order > 0) edit.addDirectories.push_back(*diskDirectories[d]);
      if (order == 0) both.emplace_back(directories[l].record, diskDirectories[d]);
      while (l < directories.size() && CompareNames(directories[l].name, name) == 0) ++l;
      while (d < diskDirectories.size() && CompareNames(diskDirectories[d]->name, name) == 0) ++d;
    }
    if (!edit.Empty()) edits->push_back(std::move(edit));
    for (const auto& [record, child] : both) {
      if (base > 0) path += '\\';
      path += child->name;
      bool read = self(self, record, *child, depth + 1);
      path.resize(base);
      if (!read) return false;
    }
    return true;
  };

  std::uint32_t root;
  if (!Word(kFndbRootDirectoryField, &root) || !compare(compare, root, tree, 0)) {
    edits->clear();
    return FndbPlanOutcome::Damaged;
  }
  return edits->empty() ? FndbPlanOutcome::Unchanged : FndbPlanOutcome::Planned;
}

// ---------------------------------------------------------------------------------------------

bool MakeFndbStores(void* data, std::uint32_t size, const std::vector<FndbStore>& stores,
                    const std::function<bool(std::size_t, FndbStoreRole)>& afterStore) {
  unsigned char* bytes = static_cast<unsigned char*>(data);
  for (std::size_t i = 0; i < stores.size(); ++i) {
    const FndbStore& store = stores[i];
    if (store.role == FndbStoreRole::Fill) {
      if (store.offset > size || store.bytes.size() > size - store.offset) return false;
      std::memcpy(bytes + store.offset, store.bytes.data(), store.bytes.size());
    } else {
      if (size < 4 || store.offset > size - 4 ||
          reinterpret_cast<std::uintptr_t>(bytes + store.offset) % 4 != 0) {
        return false;
      }
      std::atomic_ref<std::uint32_t>(*reinterpret_cast<std::uint32_t*>(bytes + store.offset))
          .store(store.word, std::memory_order_release);
    }
    if (afterStore && !afterStore(i + 1, store.role)) return true;
  }
  return true;
}

}  // namespace korvid
