// Writing an fndb in place: the writers' mutex, the mapping for writing, the stores, growth by
// replacement, and mkfndb ROOT's choice between a whole build and an update in place.
#include "fndbwriter.h"

#include <algorithm>
#include <cstdio>

#include "fndbview.h"
#include "internal.h"

namespace korvid {
namespace {

constexpr char kModule[] = "lib/fndbwriter";

struct ViewTraits {
  using Handle = void*;
  static Handle Empty() { return nullptr; }
  static bool IsValid(Handle h) { return h != nullptr; }
  static void Close(Handle h) {
    DWORD saved = GetLastError();
    if (!UnmapViewOfFile(h)) {
      KORVID_RAISE(ErrorCode::Win32Error, "UnmapViewOfFile");
      return;
    }
    SetLastError(saved);
  }
};
using MappedView = ScopedOwner<ViewTraits>;

std::string Quoted(const std::string& path) { return "'" + path + "'"; }

// Reports a failed call (its error number) as an error record of the caller's line, and gives the
// system's text for the error.
std::string FailedCall(DWORD number, const char* info, unsigned line) {
  SetLastError(number);
  RaiseError(ErrorCode::Win32Error, kModule, line, info);
  return SystemErrorText(number);
}

// The file's index on its volume, the same whichever path leads to the file; 0 where the file
// system gives none. Asked of the native query: GetFileInformationByHandle, which gives it too,
// also asks for the volume's serial number, and that takes milliseconds under wine.
std::uint64_t FileIndex(HANDLE file) {
  using Query = LONG(WINAPI*)(HANDLE file, void* status, void* information, ULONG length,
                              int informationClass);
  static const Query query = [] {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    FARPROC address = ntdll != nullptr ? GetProcAddress(ntdll, "NtQueryInformationFile") : nullptr;
    return reinterpret_cast<Query>(reinterpret_cast<void (*)()>(address));
  }();
  constexpr int kFileInternalInformation = 6;
  struct {
    ULONG_PTR status;
    ULONG_PTR information;
  } status;  // IO_STATUS_BLOCK
  LARGE_INTEGER index{};
  if (query == nullptr ||
      query(file, &status, &index, sizeof index, kFileInternalInformation) < 0) {
    return 0;
  }
  return static_cast<std::uint64_t>(index.QuadPart);
}

// The writers' mutex of the open file: named after the file's index, which every path that leads
// to the file shares (two spellings of one path, a short name, a substituted drive, a link on the
// way). Two files of one index on two volumes share a mutex: their writers merely take turns.
// Where the file system gives no index, after the name of the file's mapping.
std::string WriterMutexName(HANDLE file, const std::string& path) {
  char name[64];
  if (std::uint64_t index = FileIndex(file)) {
    std::snprintf(name, sizeof name, "KorvidFndbWriter.%016llx",
                  static_cast<unsigned long long>(index));
    return name;
  }
  std::uint64_t hash = 14695981039346656037ull;  // FNV-1a: mapping names can be long
  for (unsigned char c : FndbMappingName(path.c_str())) hash = (hash ^ c) * 1099511628211ull;
  std::snprintf(name, sizeof name, "KorvidFndbWriter.path.%016llx",
                static_cast<unsigned long long>(hash));
  return name;
}

}  // namespace

struct FndbWriter::Handles {
  FileHandle file;
  KernelHandle mutex;
  MappingHandle mapping;
  MappedView view;
  std::uint32_t size = 0;  // of the view
};

// Owns the writers' mutex for one update. A writer that ends while it owns the mutex leaves it
// abandoned: the next one is told so.
class FndbWriter::MutexHold {
 public:
  explicit MutexHold(FndbWriter& writer) : writer(writer), mutex(writer.handles->mutex.get()) {
    ++writer.holds;
  }
  ~MutexHold() {
    if (owned && !ReleaseMutex(mutex)) KORVID_RAISE(ErrorCode::Win32Error, "ReleaseMutex");
    --writer.holds;
  }
  MutexHold(const MutexHold&) = delete;
  MutexHold& operator=(const MutexHold&) = delete;
  DWORD Take(DWORD milliseconds) {
    DWORD outcome = WaitForSingleObject(mutex, milliseconds);
    owned = outcome == WAIT_OBJECT_0 || outcome == WAIT_ABANDONED;
    return outcome;
  }

 private:
  FndbWriter& writer;
  HANDLE mutex;
  bool owned = false;
};

FndbWriter::FndbWriter() : handles(std::make_unique<Handles>()) {}

FndbWriter::~FndbWriter() = default;

bool FndbWriter::Fail(FndbWriteResult* result, FndbWriteFailure failure, const std::string& error) {
  result->failure = failure;
  result->error = error;
  return false;
}

bool FndbWriter::Open(const std::string& fndbPath, const FndbWriterOptions& writerOptions,
                      FndbWriteResult* result) {
  ClearLastError();
  *result = FndbWriteResult{};
  Close();
  path = fndbPath;
  options = writerOptions;
  return OpenFile(result);
}

// Writing shares reading and writing, as every holder's open does, and no deletion: while a
// writer has the file open, nobody can move another file over it.
bool FndbWriter::OpenFile(FndbWriteResult* result, bool keepMutex) {
  DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    DWORD number = GetLastError();
    if (number == ERROR_FILE_NOT_FOUND || number == ERROR_PATH_NOT_FOUND) {
      return Fail(result, FndbWriteFailure::Missing, Quoted(path) + " does not exist");
    }
    return Fail(result, FndbWriteFailure::Failed,
                "cannot read " + Quoted(path) + ": " + FailedCall(number, path.c_str(), __LINE__));
  }
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
    return Fail(result, FndbWriteFailure::Failed, Quoted(path) + " is a directory");
  }
  if (attributes & FILE_ATTRIBUTE_READONLY) {
    return Fail(result, FndbWriteFailure::ReadOnly,
                Quoted(path) + " is read-only: it is never written");
  }
  handles->file.reset(CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_RANDOM_ACCESS, nullptr));
  if (!handles->file) {
    DWORD number = GetLastError();
    FndbWriteFailure failure = number == ERROR_ACCESS_DENIED || number == ERROR_SHARING_VIOLATION
                                   ? FndbWriteFailure::Refused
                                   : FndbWriteFailure::Failed;
    return Fail(result, failure,
                "cannot write " + Quoted(path) + ": " + FailedCall(number, path.c_str(), __LINE__));
  }
  if (keepMutex) return true;
  std::string mutexName = WriterMutexName(handles->file.get(), path);
  handles->mutex.reset(CreateMutexA(nullptr, FALSE, mutexName.c_str()));
  if (!handles->mutex) {
    DWORD number = GetLastError();
    return Fail(result, FndbWriteFailure::Failed,
                "cannot make the writers' mutex of " + Quoted(path) + ": " +
                    FailedCall(number, mutexName.c_str(), __LINE__));
  }
  return true;
}

void FndbWriter::Close() {
  handles->view.reset();
  handles->mapping.reset();
  handles->mutex.reset();
  handles->file.reset();
  handles->size = 0;
}

// Maps the whole file as it is now (a holder that opened it for writing may have grown it since);
// a mapping of the file at its present size is kept from the update before.
bool FndbWriter::Map(FndbWriteResult* result) {
  LARGE_INTEGER length;
  if (!GetFileSizeEx(handles->file.get(), &length)) {
    DWORD number = GetLastError();
    return Fail(result, FndbWriteFailure::Failed,
                "cannot read " + Quoted(path) + ": " + FailedCall(number, path.c_str(), __LINE__));
  }
  if (handles->view && length.QuadPart == handles->size) return true;
  handles->view.reset();
  handles->mapping.reset();
  handles->size = 0;
  if (length.QuadPart < kFndbHeaderSize || length.QuadPart > UINT32_MAX) {
    return Fail(result, FndbWriteFailure::NotFndb,
                Quoted(path) + " is not an fndb file of this version");
  }
  handles->mapping.reset(
      CreateFileMappingA(handles->file.get(), nullptr, PAGE_READWRITE, 0, 0, nullptr));
  if (handles->mapping) {
    handles->view.reset(MapViewOfFile(handles->mapping.get(), FILE_MAP_WRITE, 0, 0, 0));
  }
  if (!handles->view) {
    DWORD number = GetLastError();
    return Fail(result, FndbWriteFailure::Failed,
                "cannot map " + Quoted(path) + ": " + FailedCall(number, path.c_str(), __LINE__));
  }
  handles->size = static_cast<std::uint32_t>(length.QuadPart);
  return true;
}

bool FndbWriter::Update(const std::vector<FndbChange>& changes, FndbWriteResult* result) {
  return Apply(
      [&](FndbUpdatePlan& plan, FndbWriteResult* planned) {
        for (const FndbChange& change : changes) {
          FndbPlanOutcome outcome = plan.Add(change);
          planned->outcomes.push_back(outcome);
          switch (outcome) {
            case FndbPlanOutcome::Planned:
            case FndbPlanOutcome::Unchanged:
              break;
            case FndbPlanOutcome::BadPath:
              return Fail(planned, FndbWriteFailure::BadPath,
                          "cannot list '" + change.path + "' in " + Quoted(path));
            case FndbPlanOutcome::Damaged:
              return Fail(planned, FndbWriteFailure::Damaged,
                          Quoted(path) + " is damaged: its records cannot be updated");
            case FndbPlanOutcome::TooLarge:
              return Fail(planned, FndbWriteFailure::Failed,
                          Quoted(path) + " would outgrow the size an fndb can have");
          }
        }
        return true;
      },
      result);
}

bool FndbWriter::UpdateToTree(const FndbTreeDirectory& tree,
                              const std::vector<std::string>& ignored, FndbWriteResult* result,
                              std::vector<FndbDirectoryEdit>* edits) {
  std::vector<FndbDirectoryEdit> found;
  bool done = Apply(
      [&](FndbUpdatePlan& plan, FndbWriteResult* planned) {
        if (plan.Compare(tree, ignored, &found) == FndbPlanOutcome::Damaged) {
          return Fail(planned, FndbWriteFailure::Damaged,
                      Quoted(path) + " is damaged: its records cannot be updated");
        }
        for (const FndbDirectoryEdit& edit : found) {
          FndbPlanOutcome outcome = plan.Add(edit);
          planned->outcomes.push_back(outcome);
          if (outcome == FndbPlanOutcome::Damaged) {
            return Fail(planned, FndbWriteFailure::Damaged,
                        Quoted(path) + " is damaged: its records cannot be updated");
          }
          if (outcome == FndbPlanOutcome::TooLarge) {
            return Fail(planned, FndbWriteFailure::Failed,
                        Quoted(path) + " would outgrow the size an fndb can have");
          }
        }
        return true;
      },
      result);
  if (edits != nullptr) *edits = done ? std::move(found) : std::vector<FndbDirectoryEdit>{};
  return done;
}

bool FndbWriter::Take(MutexHold& hold, FndbWriteResult* result) {
  switch (hold.Take(options.waitMilliseconds)) {
    case WAIT_OBJECT_0:
    case WAIT_ABANDONED:  // its writer ended: the mark in the header tells whether half-way
      return true;
    case WAIT_TIMEOUT: {
      char seconds[32];
      std::snprintf(seconds, sizeof seconds, "%g", options.waitMilliseconds / 1000.0);
      return Fail(result, FndbWriteFailure::Busy,
                  Quoted(path) + " is being changed by another program: gave up after " + seconds +
                      " seconds");
    }
    default: {
      DWORD number = GetLastError();
      return Fail(result, FndbWriteFailure::Failed,
                  "cannot wait for the writers of " + Quoted(path) + ": " +
                      FailedCall(number, "WaitForSingleObject", __LINE__));
    }
  }
}

// One update, under the writers' mutex:
//   1. take the mutex, waiting at most options.waitMilliseconds (a writer that ended owning it
//      leaves it abandoned, or gone with its last handle: the header's mark of an update under
//      way tells the plan that the writer before ended half-way, and the plan then moves the
//      change count even with nothing else to change);
//   2. map the file as it is now and check its header (an fndb, not frozen, usedSize inside);
//   3. plan the changes against the bytes (fndbupdate.h: the order of the stores);
//   4. when they fit the free space, make the stores in the mapping; else grow the database by
//      replacement when nobody holds it, or fail as in use and full with nothing changed;
//   5. flush the written pages, so that the file holds the update once the writer returns.
bool FndbWriter::Apply(
    const std::function<bool(FndbUpdatePlan& plan, FndbWriteResult* result)>& planChanges,
    FndbWriteResult* result) {
  ClearLastError();
  *result = FndbWriteResult{};
  if (!handles->file) return Fail(result, FndbWriteFailure::Failed, "no fndb is open");
  bool reopen = false;
  bool done = [&] {
    MutexHold hold(*this);
    if (!Take(hold, result)) return false;
    for (int attempt = 0;; ++attempt) {
      if (!Map(result)) return false;
      FndbView header(handles->view.get(), handles->size);
      if (CheckFndbHeader(handles->view.get(), handles->size) != FndbHeaderCheck::Good) {
        return Fail(result, FndbWriteFailure::NotFndb,
                    Quoted(path) + " is not an fndb file of this version");
      }
      if (header.Flags() & kFndbFrozenFlag) {
        return Fail(result, FndbWriteFailure::Frozen,
                    Quoted(path) + " is frozen: it is never written");
      }
      if (header.UsedSize() < kFndbHeaderSize || header.UsedSize() > handles->size) {
        return Fail(result, FndbWriteFailure::Damaged,
                    Quoted(path) + " is damaged: its records cannot be updated");
      }
      FndbUpdatePlan plan(handles->view.get(), handles->size, options.namesPerRecord);
      result->outcomes.clear();
      if (!planChanges(plan, result)) return false;
      result->repaired = plan.Repairs();
      result->size = handles->size;
      result->changeCount = plan.ChangeCount();
      std::vector<FndbStore> stores = plan.Stores();
      if (stores.empty()) {
        result->freeBytes = handles->size - plan.UsedSize();
        return true;
      }
      if (plan.UsedSize() > handles->size) {
        // A holder that opened the file for writing may have grown it meanwhile: map it again.
        LARGE_INTEGER length;
        if (attempt == 0 && GetFileSizeEx(handles->file.get(), &length) &&
            length.QuadPart > handles->size) {
          continue;
        }
        reopen = true;
        return Grow(plan, stores, result);
      }
      std::size_t made = 0;
      bool fits = MakeFndbStores(handles->view.get(), handles->size, stores,
                                 [&](std::size_t number, FndbStoreRole role) {
                                   made = number;
                                   return !options.afterStore || options.afterStore(number, role);
                                 });
      result->changed = made > 0;
      result->stopped = made < stores.size();
      if (!fits) {
        return Fail(result, FndbWriteFailure::Failed,
                    "the update of " + Quoted(path) + " does not fit its mapping");
      }
      if (!FlushViewOfFile(handles->view.get(), 0)) {
        KORVID_RAISE(ErrorCode::Win32Error, path.c_str());
      }
      result->freeBytes = handles->size - plan.UsedSize();
      return true;
    }
  }();
  // After a growth the file is another one (or, when its move was refused, this one again): it
  // is opened anew once the mutex is released, so that the next update takes that file's mutex.
  // Inside another hold (RefreshFndb's) the mutex handle stays: that hold releases it.
  if (reopen) {
    FndbWriteResult reopened;
    if (!OpenFile(&reopened, holds > 0) && done) {
      *result = reopened;
      done = false;
    }
  }
  return done;
}

// The update made on a larger copy of the bytes, moved over the file: the system refuses the
// move while any process has the file open or mapped, and then nothing has changed. The writer's
// own handles are closed first; the mutex stays owned.
bool FndbWriter::Grow(const FndbUpdatePlan& plan, const std::vector<FndbStore>& stores,
                      FndbWriteResult* result) {
  std::uint64_t grown =
      std::uint64_t{plan.UsedSize()} + std::max<std::uint32_t>(options.reserve, 4096);
  const std::uint32_t freeBytes =
      handles->size - FndbView(handles->view.get(), handles->size).UsedSize();
  const std::uint32_t needed = plan.UsedSize() - handles->size;
  if (grown > UINT32_MAX) {
    return Fail(result, FndbWriteFailure::Failed,
                Quoted(path) + " would outgrow the size an fndb can have");
  }
  std::string bytes(reinterpret_cast<const char*>(handles->view.get()), handles->size);
  bytes.resize(static_cast<std::size_t>(grown), '\0');
  if (!MakeFndbStores(bytes.data(), static_cast<std::uint32_t>(bytes.size()), stores)) {
    return Fail(result, FndbWriteFailure::Failed, "the update of " + Quoted(path) + " failed");
  }
  handles->view.reset();
  handles->mapping.reset();
  handles->file.reset();
  std::string error;
  bool inUse = false;
  if (!WriteFileAtomically(path, bytes, &error, &inUse)) {
    result->freeBytes = freeBytes;
    result->needed = needed;
    if (!inUse) return Fail(result, FndbWriteFailure::Failed, error);
    ClearLastError();  // the refused move is the answer, not a failure of the library
    return Fail(result, FndbWriteFailure::Full,
                Quoted(path) + " is in use and full: the update needs " + std::to_string(needed) +
                    " bytes more than the " + std::to_string(freeBytes) +
                    " it has free; nothing was changed");
  }
  result->changed = true;
  result->grown = true;
  result->size = static_cast<std::uint32_t>(bytes.size());
  result->freeBytes = result->size - plan.UsedSize();
  return true;
}

// A holder has the file open (an exclusive open is refused), or keeps the mapping of this path's
// name alive. A holder that reached the file by another name and whose creator of the mapping
// has ended is not seen here: the whole build's move is refused then, and the update goes in
// place after all.
bool FndbWriter::HeldByOthers() {
  handles->view.reset();
  handles->mapping.reset();
  handles->file.reset();
  bool held = false;
  std::string name = FndbMappingName(path.c_str());
  if (!name.empty()) {
    MappingHandle mapping(OpenFileMappingA(FILE_MAP_READ, FALSE, name.c_str()));
    held = static_cast<bool>(mapping);
  }
  if (!held) {
    FileHandle alone(CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                 OPEN_EXISTING, 0, nullptr));
    held = !alone && GetLastError() == ERROR_SHARING_VIOLATION;
  }
  ClearLastError();
  return held;
}

namespace {

// The database file's path relative to the root, when it lies below it.
std::vector<std::string> DatabaseItself(const std::string& root, const std::string& output) {
  std::vector<std::string> ignored;
  const char* relative = MakeRelative(output.c_str(), root.c_str());
  if (relative != nullptr) {
    while (IsDirectoryDelimiter(static_cast<unsigned char>(*relative))) ++relative;
    ignored.push_back(relative);
  }
  return ignored;
}

}  // namespace

// Under the writers' mutex, so that no update runs between the choice and the writing:
//   1. no other process holds the database: a whole build is moved over it, as BuildFndb does;
//   2. one holds it (has it open or its named mapping), or the move of 1 is refused because one
//      took it meanwhile: the differences go in place, as one update.
bool RefreshFndb(const FndbBuildOptions& options, const FndbWriterOptions& writerOptions,
                 FndbRefreshResult* result) {
  *result = FndbRefreshResult{};
  FndbTreeDirectory tree;
  if (!WalkFndbRoot(options, &tree, &result->build)) return false;
  const std::string output = FndbOutputPath(options);
  FndbWriter writer;
  if (!writer.Open(output, writerOptions, &result->write)) {
    // No database yet, or one that cannot be written: the whole build makes it, or says why not.
    result->write = FndbWriteResult{};
    ClearLastError();
    return WriteFndb(options, tree, &result->build);
  }
  FndbWriter::MutexHold hold(writer);
  if (!writer.Take(hold, &result->write)) return false;
  bool inUse = writer.HeldByOthers();
  if (!inUse) {
    std::vector<std::string> warnings = std::move(result->build.warnings);
    bool written = WriteFndb(options, tree, &result->build, &inUse);
    result->build.warnings = std::move(warnings);
    if (written || !inUse) return written;
    result->build.error.clear();
    ClearLastError();
  }
  FndbWriteResult reopened;
  if (!writer.OpenFile(&reopened, true)) {
    result->write = reopened;
    return false;
  }
  result->inPlace = true;
  if (options.frozen) {
    result->write.failure = FndbWriteFailure::Refused;
    result->write.error = "'" + output + "' is in use: it cannot be marked frozen now";
    return false;
  }
  return writer.UpdateToTree(tree, DatabaseItself(options.root, output), &result->write,
                             &result->edits);
}

bool UpdateFndb(const std::string& fndbPath, const std::vector<FndbChange>& changes,
                const FndbWriterOptions& options, FndbWriteResult* result) {
  FndbWriter writer;
  return writer.Open(fndbPath, options, result) && writer.Update(changes, result);
}

}  // namespace korvid
