// The fndb handle: opening, mapping and sharing a file name database, its reference count, and
// the search with its negative cache.
#include <sys/stat.h>

#include <algorithm>
#include <cstring>

#include "fndblookups.h"
#include "fndbview.h"
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

// Every FileNameDatabase is one of these: the public class has no state of its own, so its
// operations reach this state by a cast, without an indirection.
class FndbHandle final : public FileNameDatabase {
 public:
  FndbHandle(const char* rootPath, bool frozen);
  ~FndbHandle();

  bool Open(const char* fndbPath);

  // What the public operations use.
  bool readOnly;
  std::uint32_t size = 0;
  volatile long referenceCount = 0;
  std::string rootPath;
  const unsigned char* view = nullptr;
  std::uint32_t lastChangeCount = 0;
  // Threads that share the handle search it at once; the lookups are read and changed under this
  // lock, a walk through the view (which is only read) runs outside it.
  LibraryLock searchLock;
  // The negative search cache (the failed searches, a set of keys compared without regard to
  // ASCII case), the name index once the walks of this handle add up, and what each entry decided.
  FndbLookups lookups;

 private:
  enum class Attachment { Attached, Absent, Failed };

  Attachment Attach(const char* fndbPath, const std::string& mappingName);
  bool OpenFile(const char* fndbPath, const std::string& mappingName);
  // existed: the named mapping was already there (another holder's, of its own size).
  bool Map(const char* fndbPath, const std::string& mappingName, std::uint32_t maximumSize,
           bool writable, bool* existed);
  // Limits size to the mapped view; false after reporting when the view cannot be queried or its
  // pages up to size are not all committed (then it is no fndb).
  bool LimitSizeToView(const char* fndbPath);
  void Close(bool withFile);

  bool mapped = false;
  HANDLE fileHandle = INVALID_HANDLE_VALUE;
  HANDLE mappingHandle = nullptr;
};

namespace {

FndbHandle& Handle(FileNameDatabase* fndb) { return *static_cast<FndbHandle*>(fndb); }
const FndbHandle& Handle(const FileNameDatabase* fndb) {
  return *static_cast<const FndbHandle*>(fndb);
}

}  // namespace

FndbHandle::FndbHandle(const char* rootPath, bool frozen)
    : readOnly(frozen), rootPath(rootPath ? rootPath : ""), lookups(this->rootPath) {}

FndbHandle::~FndbHandle() { Close(true); }

FileNameDatabase* FileNameDatabase::Create(const char* fndbPath, const char* rootPath,
                                           bool frozen) {
  ClearLastError();
  std::unique_ptr<FndbHandle> fndb(new FndbHandle(rootPath, frozen));
  if (!fndb->Open(fndbPath != nullptr ? fndbPath : "")) return nullptr;
  return fndb.release();
}

long FileNameDatabase::AddReference() {
  return InterlockedIncrement(&Handle(this).referenceCount);
}

long FileNameDatabase::ReferenceCount() const { return Handle(this).referenceCount; }

long FileNameDatabase::Release() {
  FndbHandle& handle = Handle(this);
  long count = InterlockedDecrement(&handle.referenceCount);
  if (count == 0) {
    Trace(traceStreams.fndb, "unloading fndb %p", static_cast<void*>(this));
    delete &handle;
  }
  return count;
}

bool FileNameDatabase::IsReadOnly() const { return Handle(this).readOnly; }

std::uint32_t FileNameDatabase::Size() const { return Handle(this).size; }

const char* FileNameDatabase::RootPath() const { return Handle(this).rootPath.c_str(); }

bool FndbHandle::Open(const char* fndbPath) {
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
FndbHandle::Attachment FndbHandle::Attach(const char* fndbPath,
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
bool FndbHandle::OpenFile(const char* fndbPath, const std::string& mappingName) {
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

bool FndbHandle::Map(const char* fndbPath, const std::string& mappingName,
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
bool FndbHandle::LimitSizeToView(const char* fndbPath) {
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

void FndbHandle::Close(bool withFile) {
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

namespace {

// Forms entry + "\" (unless the entry ends in a separator) + name, in the buffer when it fits
// (the usual case: no allocation), else in the spill string. *entryPart: the length of the part
// before the name.
std::string_view FormKey(std::string_view entry, std::string_view name,
                         char (&buffer)[2 * kMaxPath], std::string* spill, std::size_t* entryPart) {
  bool separator =
      entry.empty() || !IsDirectoryDelimiter(static_cast<unsigned char>(entry.back()));
  std::size_t length = entry.size() + (separator ? 1 : 0) + name.size();
  char* out = buffer;
  if (length >= sizeof buffer) {
    spill->resize(length);
    out = spill->data();
  }
  std::memcpy(out, entry.data(), entry.size());
  if (separator) out[entry.size()] = '\\';
  std::memcpy(out + length - name.size(), name.data(), name.size());
  out[length] = '\0';
  *entryPart = length - name.size();
  return std::string_view(out, length);
}

}  // namespace

// Two choices of this search: a key whose part before "//" is empty walks from the root (as the
// disk search does for such an entry), and a key that is not below rootPath is not found.
// A key the name index answers is answered under the lock, at once; a walk runs outside it.
bool FileNameDatabase::Search(const char* name, const char* entry, char* result) {
  return Search(std::string_view(name != nullptr ? name : ""),
                std::string_view(entry != nullptr ? entry : ""), result);
}

bool FileNameDatabase::Search(std::string_view name, std::string_view entry, char* result) {
  FndbHandle& handle = Handle(this);
  ClearLastError();
  char ignored[kMaxPath];
  if (result == nullptr) result = ignored;
  char keyBuffer[2 * kMaxPath];
  std::string spill;
  std::size_t entryPart = 0;
  std::string_view key = FormKey(entry, name, keyBuffer, &spill, &entryPart);
  // The stream is tested once: a search is the library's hottest path.
  const bool traced = IsTraceEnabled(traceStreams.fndb);
  if (traced) {
    Trace(traceStreams.fndb, "searching '%s' via fndb %p", key.data(), static_cast<void*>(this));
  }

  FndbView database(handle.view, handle.size, handle.rootPath);
  std::uint32_t changeCount = database.ChangeCount();
  std::shared_ptr<const FndbIndex> index;
  FndbLookups::Outcome outcome;
  {
    LockGuard guard(handle.searchLock);
    if (changeCount != handle.lastChangeCount) {
      handle.lastChangeCount = changeCount;
      handle.lookups.Forget();
    }
    outcome = handle.lookups.Begin(database, key, entryPart, result, &index);
  }
  switch (outcome) {
    case FndbLookups::Outcome::Dismissed:
      result[0] = '\0';
      if (traced) Trace(traceStreams.fndb, "dismissing search");
      return false;
    case FndbLookups::Outcome::Absent:
      return false;
    case FndbLookups::Outcome::Found:
    case FndbLookups::Outcome::Walk:
      break;
  }

  bool found = outcome == FndbLookups::Outcome::Found;
  if (!found) {
    std::uint64_t walked = 0;
    std::optional<std::string_view> relative = handle.lookups.RelativeKey(key);
    found = relative && database.Search(*relative, result, index.get(), &walked);
    // A hit that walked no directory (a key without "//") leaves nothing to count.
    if (walked != 0 || !found) {
      LockGuard guard(handle.searchLock);
      handle.lookups.Walked(key, walked, found);
    }
  }
  if (found && traced) {
    Trace(traceStreams.fndb, "found '%s' in fndb %p", result, static_cast<void*>(this));
  }
  return found;
}

}  // namespace korvid
