// The fndb handle: opening, mapping and sharing a file name database, its reference count, and
// the search with its negative cache.
#include <sys/stat.h>

#include <algorithm>
#include <cstring>

#include "fndbview.h"
#include "fndbindex.h"
#include "internal.h"

namespace korvid {
namespace {

constexpr char kModule[] = "lib/fnamedb2";

constexpr std::uint32_t kFreeSpaceReserve = 4096;  // a writable open keeps this much free
constexpr std::uint32_t kGrowth = 16384;           // added to the file when it has less

}  // namespace

// Backslashes, slashes and colons are dropped; every other byte is raised by 0x20. The byte 0xE0
// would become a zero byte and cut the name short, so that paths which differ after it would
// share one mapping: such a path gets no name, and its mapping is not shared.
std::string FndbMappingName(const char* fndbPath) {
  std::string name;
  if (fndbPath == nullptr) return name;
  for (const char* p = fndbPath; *p != '\0'; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (c == '\\' || c == '/' || c == ':') continue;
    unsigned char raised = static_cast<unsigned char>(c + 0x20);
    if (raised == 0) return std::string();
    name.push_back(static_cast<char>(raised));
  }
  return name;
}

FileNameDatabase::FileNameDatabase(const char* rootPath, bool frozen)
    : readOnly(frozen),
      fileHandle(INVALID_HANDLE_VALUE),
      searchLock(std::make_unique<LibraryLock>()),
      rootPath(rootPath ? rootPath : "") {}

FileNameDatabase::~FileNameDatabase() { Close(true); }

FileNameDatabase* FileNameDatabase::Create(const char* fndbPath, const char* rootPath,
                                           bool frozen) {
  ClearLastError();
  std::unique_ptr<FileNameDatabase> fndb(new FileNameDatabase(rootPath, frozen));
  if (!fndb->Open(fndbPath != nullptr ? fndbPath : "")) return nullptr;
  return fndb.release();
}

long FileNameDatabase::AddReference() { return InterlockedIncrement(&referenceCount); }

long FileNameDatabase::ReferenceCount() const { return referenceCount; }

long FileNameDatabase::Release() {
  long count = InterlockedDecrement(&referenceCount);
  if (count == 0) {
    Trace(traceStreams.fndb, "unloading fndb %p", static_cast<void*>(this));
    delete this;
  }
  return count;
}

bool FileNameDatabase::Open(const char* fndbPath) {
  std::string mappingName = FndbMappingName(fndbPath);
  Attachment attachment = Attachment::Absent;
  if (!mappingName.empty()) attachment = Attach(fndbPath, mappingName);
  if (attachment == Attachment::Failed) return false;
  if (attachment == Attachment::Absent && !OpenFile(fndbPath, mappingName)) return false;
  mapped = true;
  referenceCount = 1;
  if (FndbView(view, size).Flags() & kFndbFrozenFlag) readOnly = true;
  return true;
}

// The header of an existing mapping is not checked again: its creator did. A mapping that may
// not be mapped for writing (its creator opened the file for reading) is attached for reading.
FileNameDatabase::Attachment FileNameDatabase::Attach(const char* fndbPath,
                                                      const std::string& mappingName) {
  DWORD access = readOnly ? FILE_MAP_READ : FILE_MAP_WRITE;
  HANDLE mapping = OpenFileMappingA(access, FALSE, mappingName.c_str());
  if (mapping == nullptr && access == FILE_MAP_WRITE && GetLastError() == ERROR_ACCESS_DENIED) {
    access = FILE_MAP_READ;
    mapping = OpenFileMappingA(access, FALSE, mappingName.c_str());
  }
  if (mapping == nullptr) return Attachment::Absent;
  mappingHandle = mapping;
  void* address = MapViewOfFile(mapping, access, 0, 0, 0);
  if (address == nullptr && access == FILE_MAP_WRITE && GetLastError() == ERROR_ACCESS_DENIED) {
    HANDLE readable = OpenFileMappingA(FILE_MAP_READ, FALSE, mappingName.c_str());
    if (readable != nullptr) {
      Close(false);
      mappingHandle = readable;
      access = FILE_MAP_READ;
      address = MapViewOfFile(readable, access, 0, 0, 0);
    }
  }
  if (address == nullptr) {
    KORVID_RAISE(ErrorCode::Win32Error, fndbPath);
    return Attachment::Failed;
  }
  view = static_cast<const unsigned char*>(address);
  if (access == FILE_MAP_READ) readOnly = true;

  struct _stat64 status;
  if (_stat64(fndbPath, &status) != 0) {
    KORVID_RAISE(ErrorCode::CrtError, fndbPath);
    return Attachment::Failed;
  }
  size = static_cast<std::uint32_t>(std::min<long long>(status.st_size, UINT32_MAX));
  // The file's status may not describe this mapping (the file may have been replaced since it
  // was made): the view's own extent bounds every read.
  if (!LimitSizeToView(fndbPath)) return Attachment::Failed;
  if (size < kFndbHeaderSize) {
    KORVID_RAISE(ErrorCode::InternalError);
    TraceError("'%s' is not an fndb file", fndbPath);
    return Attachment::Failed;
  }
  return Attachment::Attached;
}

// A read-only open shares writing as well: the file may be held for writing by a process that
// reached it under another mapping name, and this one must still be able to read it.
bool FileNameDatabase::OpenFile(const char* fndbPath, const std::string& mappingName) {
  DWORD attributes = GetFileAttributesA(fndbPath);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    KORVID_RAISE(ErrorCode::Win32Error, fndbPath);
    return false;
  }
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
    KORVID_RAISE(ErrorCode::InternalError);
    TraceError("'%s' is a directory", fndbPath);
    return false;
  }
  if (attributes & FILE_ATTRIBUTE_READONLY) readOnly = true;

  // Writing may be refused although the attributes allow it (a file the user may only read, a
  // holder that shares reading only): the database is then read, as an attached one is.
  auto openFile = [fndbPath](bool forWriting) {
    return CreateFileA(fndbPath, forWriting ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                       FILE_FLAG_RANDOM_ACCESS, nullptr);
  };
  HANDLE file = openFile(!readOnly);
  if (file == INVALID_HANDLE_VALUE && !readOnly &&
      (GetLastError() == ERROR_ACCESS_DENIED || GetLastError() == ERROR_SHARING_VIOLATION)) {
    readOnly = true;
    file = openFile(false);
  }
  bool writable = !readOnly;
  if (file == INVALID_HANDLE_VALUE) {
    KORVID_RAISE(ErrorCode::Win32Error, fndbPath);
    return false;
  }
  fileHandle = file;

  DWORD high = 0;
  SetLastError(NO_ERROR);  // a size of 0xFFFFFFFF is told from a failure by the last error
  DWORD low = GetFileSize(file, &high);
  if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) {
    KORVID_RAISE(ErrorCode::Win32Error, fndbPath);
    return false;
  }
  if (high != 0) KORVID_RAISE(ErrorCode::UnexpectedContext);  // goes on with the low word
  size = low;
  // An empty file cannot be mapped; it holds no header either.
  if (size == 0) {
    KORVID_RAISE(ErrorCode::InternalError);
    TraceError("'%s' is not an fndb file", fndbPath);
    return false;
  }

  bool existed = false;
  if (!Map(fndbPath, mappingName, 0, writable, &existed)) return false;
  switch (CheckFndbHeader(view, size)) {
    case FndbHeaderCheck::Good:
      break;
    case FndbHeaderCheck::NotFndb:
      KORVID_RAISE(ErrorCode::InternalError);
      TraceError("'%s' is not an fndb file", fndbPath);
      return false;
    case FndbHeaderCheck::UnknownVersion:
      KORVID_RAISE(ErrorCode::InternalError);
      TraceError("'%s' an unknown fndb file", fndbPath);
      return false;
  }

  // The free-space reserve of a writable open. A usedSize beyond the file's end is damage: such a
  // file is not grown (it would grow at every open) but read only. A mapping another holder made
  // meanwhile keeps its size.
  FndbView header(view, size);
  if (header.Flags() & kFndbFrozenFlag) readOnly = true;
  if (!readOnly && !existed) {
    std::uint32_t usedSize = header.UsedSize();
    if (usedSize > size) {
      readOnly = true;
    } else if (size - usedSize < kFreeSpaceReserve && size <= UINT32_MAX - kGrowth) {
      Close(false);
      if (!Map(fndbPath, mappingName, size + kGrowth, true, &existed)) return false;
      if (!existed) size += kGrowth;
      if (!LimitSizeToView(fndbPath)) return false;
    }
  }
  lastChangeCount = FndbView(view, size).ChangeCount();
  return true;
}

bool FileNameDatabase::Map(const char* fndbPath, const std::string& mappingName,
                           std::uint32_t maximumSize, bool writable, bool* existed) {
  const char* name = mappingName.empty() ? nullptr : mappingName.c_str();
  HANDLE mapping = CreateFileMappingA(
      fileHandle, nullptr, writable ? PAGE_READWRITE : PAGE_READONLY, 0, maximumSize, name);
  if (mapping == nullptr) {
    KORVID_RAISE(ErrorCode::Win32Error, mappingName.c_str());
    return false;
  }
  *existed = GetLastError() == ERROR_ALREADY_EXISTS;
  mappingHandle = mapping;
  void* address = MapViewOfFile(mapping, writable ? FILE_MAP_WRITE : FILE_MAP_READ, 0, 0,
                                *existed ? 0 : maximumSize);
  if (address == nullptr) {
    KORVID_RAISE(ErrorCode::Win32Error, mappingName.c_str());
    return false;
  }
  view = static_cast<const unsigned char*>(address);
  return LimitSizeToView(fndbPath);
}

// The view is walked region by region from its start. Pages of the view that are not committed
// (a section that only reserved them, made by another process under the mapping name) cannot be
// read: such a view holds no fndb. The view may end before the file's size says (the file may
// have grown or been replaced since the mapping was made): the size then ends with the view.
bool FileNameDatabase::LimitSizeToView(const char* fndbPath) {
  std::size_t extent = 0;
  const void* allocation = nullptr;
  while (extent < size) {
    MEMORY_BASIC_INFORMATION region;
    if (VirtualQuery(view + extent, &region, sizeof region) == 0) {
      if (extent > 0) break;
      KORVID_RAISE(ErrorCode::Win32Error, "VirtualQuery");
      return false;
    }
    if (extent == 0) allocation = region.AllocationBase;
    if (region.AllocationBase != allocation) break;  // past the end of the view
    if (region.State != MEM_COMMIT) {
      KORVID_RAISE(ErrorCode::InternalError);
      TraceError("'%s' is not an fndb file", fndbPath);
      return false;
    }
    extent = static_cast<std::size_t>(static_cast<const unsigned char*>(region.BaseAddress) +
                                      region.RegionSize - view);
  }
  if (extent < size) size = static_cast<std::uint32_t>(extent);
  return true;
}

void FileNameDatabase::Close(bool withFile) {
  if (view != nullptr) {
    if (!UnmapViewOfFile(view)) KORVID_RAISE(ErrorCode::Win32Error, "UnmapViewOfFile");
    view = nullptr;
  }
  if (mappingHandle != nullptr) {
    if (!CloseHandle(mappingHandle)) KORVID_RAISE(ErrorCode::Win32Error, "CloseHandle");
    mappingHandle = nullptr;
  }
  if (withFile && fileHandle != INVALID_HANDLE_VALUE) {
    if (!CloseHandle(fileHandle)) KORVID_RAISE(ErrorCode::Win32Error, "CloseHandle");
    fileHandle = INVALID_HANDLE_VALUE;
  }
  mapped = false;
}

// ---------------------------------------------------------------------------------------------

// Setting bit 5 of every byte maps both cases of a letter to one value, so keys that are equal
// without regard to case hash alike (other bytes may collide; the comparison tells them apart).
// Four bytes at a time: the key is hashed on every miss.
std::uint32_t FileNameDatabase::SearchCache::Hash(std::string_view key) {
  std::uint32_t hash = 2166136261u ^ static_cast<std::uint32_t>(key.size());
  std::size_t i = 0;
  for (; i + 4 <= key.size(); i += 4) {
    std::uint32_t word;
    std::memcpy(&word, key.data() + i, 4);
    hash = (hash ^ (word | 0x20202020u)) * 16777619u;
    hash ^= hash >> 15;
  }
  for (; i < key.size(); ++i) {
    hash = (hash ^ (static_cast<unsigned char>(key[i]) | 0x20u)) * 16777619u;
  }
  return hash ^ (hash >> 13);
}

// Open addressing with linear probing over small slots, grown at half load. A slot keeps part of
// the hash, so that probing passes over other keys without reading their entries; the entries are
// appended in order, so growing reads them one after another.
namespace {

constexpr std::uint32_t kSlotIndexBits = 24;
constexpr std::uint32_t kSlotIndexMask = (1u << kSlotIndexBits) - 1;

inline std::uint32_t SlotTag(std::uint32_t hash) { return hash & ~kSlotIndexMask; }

}  // namespace

bool FileNameDatabase::SearchCache::Contains(std::string_view key, std::uint32_t hash) const {
  if (slots.empty()) return false;
  std::size_t mask = slots.size() - 1;
  for (std::size_t i = hash & mask; slots[i] != 0; i = (i + 1) & mask) {
    if ((slots[i] & ~kSlotIndexMask) != SlotTag(hash)) continue;
    const Entry& entry = entries[(slots[i] & kSlotIndexMask) - 1];
    if (entry.hash == hash &&
        EqualIgnoringCase(std::string_view(keys).substr(entry.offset, entry.length), key)) {
      return true;
    }
  }
  return false;
}

void FileNameDatabase::SearchCache::Insert(std::string_view key, std::uint32_t hash) {
  if (entries.size() == kSlotIndexMask) Clear();
  if (2 * (entries.size() + 1) > slots.size()) {
    std::vector<std::uint32_t> grown(slots.empty() ? 64 : 2 * slots.size(), 0);
    std::size_t mask = grown.size() - 1;
    for (std::size_t index = 0; index < entries.size(); ++index) {
      std::uint32_t entryHash = entries[index].hash;
      std::size_t i = entryHash & mask;
      while (grown[i] != 0) i = (i + 1) & mask;
      grown[i] = SlotTag(entryHash) | static_cast<std::uint32_t>(index + 1);
    }
    slots.swap(grown);
  }
  std::size_t mask = slots.size() - 1;
  std::size_t i = hash & mask;
  while (slots[i] != 0) i = (i + 1) & mask;
  entries.push_back(
      Entry{hash, static_cast<std::uint32_t>(keys.size()), static_cast<std::uint32_t>(key.size())});
  slots[i] = SlotTag(hash) | static_cast<std::uint32_t>(entries.size());
  keys.append(key);
}

void FileNameDatabase::SearchCache::Clear() {
  keys.clear();
  entries.clear();
  slots.clear();
}

namespace {

// Building the name index reads every name and costs about as much as ten walks over the whole
// tree. A handle builds one once its walks have tried about that many directories (a directory
// record and its names take some 250 bytes in a typical tree), so that the walks before the
// index cost at most as much as the index, and a process that searches a few times never pays
// for it.
std::uint64_t IndexAfterWalking(std::uint32_t databaseSize) {
  return std::max<std::uint64_t>(256, databaseSize / 25);
}

// Forms entry + "\" (unless the entry ends in a separator) + name, in the buffer when it fits
// (the usual case: no allocation), else in the spill string.
std::string_view FormKey(const char* entry, const char* name, char (&buffer)[2 * kMaxPath],
                         std::string* spill) {
  std::size_t entryLength = std::strlen(entry);
  std::size_t nameLength = std::strlen(name);
  bool separator =
      entryLength == 0 || !IsDirectoryDelimiter(static_cast<unsigned char>(entry[entryLength - 1]));
  std::size_t length = entryLength + (separator ? 1 : 0) + nameLength;
  char* out = buffer;
  if (length >= sizeof buffer) {
    spill->resize(length);
    out = spill->data();
  }
  std::memcpy(out, entry, entryLength);
  if (separator) out[entryLength] = '\\';
  std::memcpy(out + length - nameLength, name, nameLength);
  out[length] = '\0';
  return std::string_view(out, length);
}

}  // namespace

// Two choices of this search: a key whose part before "//" is empty walks from the root (as the
// disk search does for such an entry), and a key that is not below rootPath is not found.
bool FileNameDatabase::Search(const char* name, const char* entry, char* result) {
  ClearLastError();
  char ignored[kMaxPath];
  if (result == nullptr) result = ignored;
  char keyBuffer[2 * kMaxPath];
  std::string spill;
  std::string_view key =
      FormKey(entry != nullptr ? entry : "", name != nullptr ? name : "", keyBuffer, &spill);
  // The stream is tested once: a search is the library's hottest path.
  const bool traced = IsTraceEnabled(traceStreams.fndb);
  if (traced) {
    Trace(traceStreams.fndb, "searching '%s' via fndb %p", key.data(), static_cast<void*>(this));
  }

  FndbView database(view, size, rootPath);
  std::uint32_t changeCount = database.ChangeCount();
  std::uint32_t hash = 0;
  bool hashed = false;
  std::shared_ptr<const FndbIndex> index;
  {
    LockGuard guard(*searchLock);
    if (changeCount != lastChangeCount) {
      failedSearches.Clear();
      lastChangeCount = changeCount;
      nameIndex.reset();
      noNameIndex = false;
      walkedSinceChange = 0;
    } else if (!failedSearches.Empty()) {
      hash = SearchCache::Hash(key);
      hashed = true;
      if (failedSearches.Contains(key, hash)) {
        result[0] = '\0';
        if (traced) Trace(traceStreams.fndb, "dismissing search");
        return false;
      }
    }
    if (!nameIndex && !noNameIndex && walkedSinceChange >= IndexAfterWalking(size)) {
      nameIndex = FndbIndex::Build(database);
      noNameIndex = nameIndex == nullptr;
    }
    index = nameIndex;
  }

  const char* relative = key.data();
  if (IsAbsolutePath(relative)) {
    relative = MakeRelative(relative, rootPath.c_str());
    // The root followed by "//": the first '/' ended the root, the pair still marks the walk.
    if (relative != nullptr && relative > key.data() && relative[0] == '/' && relative[-1] == '/') {
      --relative;
    }
  }
  std::uint64_t walked = 0;
  bool found = relative != nullptr &&
               database.Search(std::string_view(relative, key.data() + key.size() - relative),
                               result, index.get(), &walked);
  if (found) {
    if (traced) Trace(traceStreams.fndb, "found '%s' in fndb %p", result, static_cast<void*>(this));
    if (walked != 0) {
      LockGuard guard(*searchLock);
      walkedSinceChange += walked;
    }
    return true;
  }
  if (!hashed) hash = SearchCache::Hash(key);
  LockGuard guard(*searchLock);
  walkedSinceChange += walked;
  // Another thread may have recorded the same miss meanwhile.
  if (!failedSearches.Contains(key, hash)) failedSearches.Insert(key, hash);
  return false;
}

}  // namespace korvid
