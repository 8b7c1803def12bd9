// Inside the library: locks, scoped owners of Win32 handles and the process-wide library context
// that the modules share (the raising macros and the parsing internals come from core.h).
#pragma once

#include "core.h"
#include "korvid.h"
#include "win32.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

namespace korvid {

// ---------------------------------------------------------------------------------------------
// Locks

// A recursive lock: the owning thread may enter it again.
class LibraryLock {
 public:
  LibraryLock() { InitializeCriticalSection(&section); }
  ~LibraryLock() { DeleteCriticalSection(&section); }
  LibraryLock(const LibraryLock&) = delete;
  LibraryLock& operator=(const LibraryLock&) = delete;
  void Enter() { EnterCriticalSection(&section); }
  void Leave() { LeaveCriticalSection(&section); }

 private:
  CRITICAL_SECTION section;
};

// Locks are only ever held through this guard, so they are left on every way out.
class LockGuard {
 public:
  explicit LockGuard(LibraryLock& lock) : lock(lock) { lock.Enter(); }
  ~LockGuard() { lock.Leave(); }
  LockGuard(const LockGuard&) = delete;
  LockGuard& operator=(const LockGuard&) = delete;

 private:
  LibraryLock& lock;
};

// ---------------------------------------------------------------------------------------------
// The registry functions, reached on first use rather than imported: a program that imports the
// registry DLL pays for loading it, and what it loads, at every start. They come from kernel32
// where it exports them (it is loaded in every process), else from the system directory's
// advapi32, loaded then. Each returns its status like the function it stands for; a function that
// cannot be reached gives the loader's error, or ERROR_PROC_NOT_FOUND.

struct RegistryFunctions {
  LONG(WINAPI* openKeyEx)(HKEY key, LPCSTR subKey, DWORD options, REGSAM access, PHKEY result);
  LONG(WINAPI* queryValueEx)(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                             LPDWORD size);
  LONG(WINAPI* closeKey)(HKEY key);
};
const RegistryFunctions& Registry();

// Loads a DLL of the system directory, and what it needs from there, whatever lies elsewhere under
// its name. Null (with the thread's last error set) when it cannot be loaded.
HMODULE LoadSystemLibrary(const char* name);

// ---------------------------------------------------------------------------------------------
// Close wrappers: they report a failure and leave the thread's last error as it was when the
// close succeeds, so that an error about to be reported is not clobbered.

void CloseRegistryKey(HKEY key);
void CloseFindHandle(HANDLE handle);
void CloseKernelHandle(HANDLE handle);

// One scoped owner for every kind of handle; Traits give the handle type, the empty value, the
// validity test and the close function.
template <typename Traits>
class ScopedOwner {
 public:
  using Handle = typename Traits::Handle;
  ScopedOwner() noexcept : handle(Traits::Empty()) {}
  explicit ScopedOwner(Handle h) noexcept : handle(h) {}
  ScopedOwner(ScopedOwner&& other) noexcept : handle(other.release()) {}
  ScopedOwner& operator=(ScopedOwner&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  ScopedOwner(const ScopedOwner&) = delete;
  ScopedOwner& operator=(const ScopedOwner&) = delete;
  ~ScopedOwner() { reset(); }

  Handle get() const noexcept { return handle; }
  Handle release() noexcept {
    Handle h = handle;
    handle = Traits::Empty();
    return h;
  }
  void reset(Handle h = Traits::Empty()) noexcept {
    Handle old = handle;
    handle = h;
    if (Traits::IsValid(old)) Traits::Close(old);
  }
  explicit operator bool() const noexcept { return Traits::IsValid(handle); }

 private:
  Handle handle;
};

struct KernelHandleTraits {
  using Handle = HANDLE;
  static Handle Empty() { return nullptr; }
  static bool IsValid(Handle h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
  static void Close(Handle h) { CloseKernelHandle(h); }
};
struct FindHandleTraits {
  using Handle = HANDLE;
  static Handle Empty() { return INVALID_HANDLE_VALUE; }
  static bool IsValid(Handle h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
  static void Close(Handle h) { CloseFindHandle(h); }
};
struct RegistryKeyTraits {
  using Handle = HKEY;
  static Handle Empty() { return nullptr; }
  static bool IsValid(Handle h) { return h != nullptr; }
  static void Close(Handle h) { CloseRegistryKey(h); }
};

using FileHandle = ScopedOwner<KernelHandleTraits>;
using MappingHandle = ScopedOwner<KernelHandleTraits>;
using FindHandle = ScopedOwner<FindHandleTraits>;
using RegistryKey = ScopedOwner<RegistryKeyTraits>;
using KernelHandle = ScopedOwner<KernelHandleTraits>;  // processes, threads, jobs

// The system's text for a Win32 error number, without its line end ("Win32 error N" when the system
// has none).
std::string SystemErrorText(unsigned long number);

// ---------------------------------------------------------------------------------------------
// The debugger output. Every trace line ("korvidlib: " + text + newline) goes to the hook when one
// is set, to OutputDebugStringA otherwise. Tests set the hook to see the exact lines.

using DebugOutputHook = void (*)(const char* line);
void SetDebugOutputHook(DebugOutputHook hook);

// Start-up step: when KORVID_TRACE is set, enables the streams it names ("all": every stream)
// besides "error", and copies every line also to standard error, or to the file that
// KORVID_TRACE_FILE names. Unset, it does nothing.
void StartRequestedTraces();

// ---------------------------------------------------------------------------------------------
// The environment (lib/korvid). The runtime's environment table is not safe against a writer on
// another thread, so every read and write of the library goes through these, under the
// environment lock (a leaf). The runtime's setter also updates the environment that child
// processes inherit.

std::optional<std::string> GetEnvironmentValue(const char* name);
// False (after a report) when the value is too long for the platform.
bool SetEnvironmentEntry(const std::string& entry);  // "NAME=value"

// ---------------------------------------------------------------------------------------------
// File registries (lib/files): what the library records as temporary or open, acted upon at
// shutdown.

void RegisterTempFile(const char* group, const char* name, const char* path);
void RegisterOpenFile(const char* key, const char* path);
void UnregisterOpenFile(const char* key);

// ---------------------------------------------------------------------------------------------
// ---------------------------------------------------------------------------------------------
// Directory links in tree walks (lib/files)

// The volume serial number and file index of a directory, which stay the same whichever link
// leads there. Empty (no index) when the directory cannot be opened or its file system gives no
// index.
struct DirectoryIdentity {
  std::uint32_t volume = 0;
  std::uint64_t index = 0;
  bool Known() const { return index != 0; }
  auto operator<=>(const DirectoryIdentity&) const = default;
};
DirectoryIdentity IdentifyDirectory(const std::string& path);

// Keeps one walk of a directory tree from entering a directory twice through links, so that links
// are followed and loops end. Plain subdirectories form a tree, so only a link can lead a walk to a
// directory a second time: a link is entered unless
//   1. the directory it leads to cannot be identified (it could be anything, a loop included),
//   2. it leads to a directory the walk is inside (one on the way down from the start, or one
//      that holds the start): a loop, or
//   3. it leads to a directory the walk has entered through a link before, in the same state (the
//      disk search walks some directories twice, with and without a subdirectory pattern), and
//      that visit was whole or came by a way no longer than this link. A visit cut short (a path
//      too long to list, the depth limit) does not count as entering: below a shorter way in, the
//      walk reaches more, so the directory is entered again through a link with a shorter path,
//      and only then (a longer way reaches no more, and a directory is entered at most once per
//      length of the way in, which keeps a tree of many links from being walked without end).
// Only links and, when a link is met, the directories the walk is inside are identified: opening a
// directory costs more than listing a small one, and most trees have no links.
class LinkGuard {
 public:
  enum class Verdict { Enter, Unidentified, Loop, Entered };
  // The directories the walk is inside, the start first, the link's own parent last. On Enter the
  // visit through the link begins; the walk ends it with Leave.
  Verdict Check(const std::string& link, const std::vector<std::string>& inside,
                const std::string& state = std::string());
  // The walk passed over something for a path or depth limit: the visits under way are cut short.
  void CutShort() { ++cuts; }
  // Ends the latest visit that Check let in.
  void Leave();

 private:
  using Target = std::pair<DirectoryIdentity, std::string>;  // the directory and the walk's state
  struct Visit {
    Target target;
    std::uint64_t cutsBefore;
  };
  std::unordered_map<std::string, DirectoryIdentity> known;  // by path as walked
  std::optional<std::vector<DirectoryIdentity>> aboveStart;  // the folders that hold the start
  // Per directory entered: 0 once a visit was whole, else the shortest way in (the length of the
  // link's path) of the visits so far, all cut short.
  std::map<Target, std::size_t> entered;
  std::vector<Visit> visits;  // under way, the innermost last
  std::uint64_t cuts = 0;
  const DirectoryIdentity& Identity(const std::string& path);
};

// ---------------------------------------------------------------------------------------------
// Root discovery internals (lib/texmfroot); the caller holds the root-table lock.

void InitializeRoots();
void RegisterRoot(const char* path);

// ---------------------------------------------------------------------------------------------
// The library context: the process-wide state, grouped by module, each group under its own lock.
//
// Lock order. The start-up lock comes first and is never taken while another is held. Then:
// configuration-file lock, root-table lock, working-directory lock, application-name lock; the
// search-path cache, disk-search, entry-root, environment and trace locks are leaves (nothing is
// taken while they are held);
// the error lock encloses only the trace lock. Code that would need a lock against this order
// releases its own first.

struct TraceStream {
  unsigned id;
  std::string name;
};

struct RootRecord {
  std::string path;
  FndbReference fndb;  // the table's own reference
  bool noFndb = false;
};

enum class Tristate { Undetermined, No, Yes };

struct FolderListing;  // lib/findfile
// Forgets the folder listings and walk results that the disk search keeps (lib/findfile).
void ClearDiskSearchCache();

struct LibraryContext {
  struct {
    LibraryLock lock;
    int referenceCount = 0;
    StartupOptions options{};
    // The flags word, readable without the start-up lock: lookups made while other locks are held
    // need it, and the start-up lock must never be taken inside another.
    std::atomic<std::uint32_t> flags{0};
  } startup;

  struct {
    LibraryLock lock;
    std::optional<std::vector<std::string>> list;
  } workingDirectories;

  struct {
    LibraryLock lock;
  } environment;

  struct {
    LibraryLock lock;
    ErrorRecord record{};
    // Whether the record may hold an error: clearing a clear record takes no lock, since every
    // public operation clears it first and the searches make many such calls.
    std::atomic<bool> recorded{false};
  } error;

  struct {
    LibraryLock lock;
    std::vector<TraceStream> streams;
    // Changed under the lock, read without it: every Trace call and every search asks.
    std::atomic<std::uint32_t> enabled{0};
    std::string enableString;
    // Where lines are copied besides the debugger output (standard error or the trace file);
    // null: nowhere. Read by every write without the lock, so it is set once and never cleared.
    std::atomic<HANDLE> copyTarget{nullptr};
    FileHandle copyFile;  // the trace file, when lines go there
    std::atomic<bool> copyToFile{false};
  } trace;

  struct {
    LibraryLock lock;
    std::optional<std::vector<RootRecord>> table;
    int installRoot = -1;
    int localRoot = -1;
    Tristate korvidDirect = Tristate::Undetermined;
  } roots;

  struct {
    LibraryLock lock;
    std::map<std::string, std::shared_ptr<const SearchPathList>, CaseInsensitiveLess> cache;
    std::uint64_t generation = 0;  // counts clears, so an expansion that raced one is not cached
    // The pattern asked for last, as written, and its list: a process asks for one pattern again
    // and again, and finding it in the map compares it several times.
    std::string lastPattern;
    std::shared_ptr<const SearchPathList> lastList;
  } searchPaths;

  struct {
    LibraryLock lock;
    std::string list;
    char shared[4096] = {};
  } applicationNames;

  struct {
    LibraryLock lock;
    CfgPtr cfg;
  } configFiles;

  struct {
    LibraryLock lock;
    std::optional<std::map<std::string, std::map<std::string, std::string>>> groups;
  } tempFiles;

  struct {
    LibraryLock lock;
    std::optional<std::map<std::string, std::string>> files;
  } openFiles;

  // What the disk search has read, kept until the caches are cleared (ClearSearchPathCache, and
  // at shutdown); lib/findfile says when a search trusts it.
  struct {
    LibraryLock lock;
    std::unordered_map<std::string, std::shared_ptr<const FolderListing>> listings;  // by path
    std::unordered_map<std::string, std::string> walks;  // by search key: path found, "" for none
  } diskSearch;

  // The root each entry of the list searched last lies below, -1 where it is not known
  // (lib/findfile): the search-path cache hands out the same lists search after search, and the
  // root of an entry stays while its list lives. Where the root table gave no root, it is asked
  // again each time, since it reports why.
  struct {
    LibraryLock lock;
    std::weak_ptr<const SearchPathList> list;
    std::shared_ptr<const std::vector<int>> roots;
  } entryRoots;

  std::atomic<bool> outOfDateWarned{false};
};

LibraryContext& Context();

}  // namespace korvid
