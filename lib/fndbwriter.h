// Writing an fndb in place while other processes hold and read it: the writers' mutex, a mapping
// of the file for writing, the stores of an update (planned in fndbupdate.h), the replacement of a
// database that must grow, and mkfndb's choice between a whole build and an update in place.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "fndbbuilder.h"
#include "fndbupdate.h"

namespace korvid {

struct FndbWriterOptions {
  // How long an update waits for the writer before it, in milliseconds.
  std::uint32_t waitMilliseconds = 10000;
  std::uint32_t namesPerRecord = kFndbUpdateNamesPerRecord;
  // The free space a database gets when an update makes it grow.
  std::uint32_t reserve = kFndbBuildReserve;
  // A test hook, told after each store of an update made in place (see MakeFndbStores); when it
  // answers false, the writer makes no further store, as if it had ended there.
  std::function<bool(std::size_t number, FndbStoreRole role)> afterStore;
};

enum class FndbWriteFailure {
  None,
  Missing,   // there is no database file
  NotFndb,   // the file is no fndb of this version
  Damaged,   // the records an update needs cannot be read
  Frozen,    // the header's frozen flag: never written
  ReadOnly,  // the file's read-only attribute: never written
  Refused,   // the system refused writing (no write access, or a holder shares no writing)
  Busy,      // another writer did not finish within the wait
  Full,      // in use and full: the update does not fit and the database cannot grow
  BadPath,   // a change names no path the database can list
  Failed,    // anything else (reported as an error record)
};

struct FndbWriteResult {
  FndbWriteFailure failure = FndbWriteFailure::None;
  std::string error;                      // why, for the user
  std::vector<FndbPlanOutcome> outcomes;  // of each change, in order
  bool changed = false;                   // stores were made
  bool grown = false;                     // the database was replaced by a larger copy
  bool repaired = false;  // the writer before ended half-way: the change count moves anyway
  bool stopped = false;   // afterStore stopped the writer
  std::uint32_t changeCount = 0;
  std::uint32_t size = 0;       // of the database file
  std::uint32_t freeBytes = 0;  // after the update
  std::uint32_t needed = 0;     // Full: how many bytes more than freeBytes the update needs
};

struct FndbRefreshResult;

// One database opened for updates. Every update takes the writers' mutex (named after the file's
// identity, so that every writer of the file agrees whatever path it was given), maps the file
// for writing, plans the changes against the bytes and makes the stores in place, where every
// holder's view of the file sees them (writes through any mapping of a file are coherent with
// every other view of it, the holders' read-only ones too).
// An update that does not fit the free space grows the database when no other process holds it:
// a larger copy with the update made is moved over the file, which the system refuses while any
// process has the file open or mapped. It then fails as "in use and full", nothing changed.
class FndbWriter {
 public:
  FndbWriter();
  ~FndbWriter();
  FndbWriter(const FndbWriter&) = delete;
  FndbWriter& operator=(const FndbWriter&) = delete;

  // Opens the file for writing; false with the failure in result.
  bool Open(const std::string& fndbPath, const FndbWriterOptions& options, FndbWriteResult* result);
  // The changes as one update (FndbUpdatePlan::Add of each). True when done, also when nothing
  // had to change; false with the failure in result and the database unchanged (unless
  // afterStore stopped the writer half-way).
  bool Update(const std::vector<FndbChange>& changes, FndbWriteResult* result);
  // The edits that make the listing that of the tree, as one update; ignored: files neither
  // added nor removed (paths relative to the root). edits receives what was applied.
  bool UpdateToTree(const FndbTreeDirectory& tree, const std::vector<std::string>& ignored,
                    FndbWriteResult* result, std::vector<FndbDirectoryEdit>* edits = nullptr);
  void Close();

 private:
  friend bool RefreshFndb(const FndbBuildOptions& options, const FndbWriterOptions& writerOptions,
                          FndbRefreshResult* result);
  struct Handles;  // the file, the mutex, the mapping and its view
  class MutexHold;
  // Opens the file, and (unless keepMutex) the writers' mutex of the file it is.
  bool OpenFile(FndbWriteResult* result, bool keepMutex = false);
  bool Map(FndbWriteResult* result);
  bool Apply(const std::function<bool(FndbUpdatePlan& plan, FndbWriteResult* result)>& planChanges,
             FndbWriteResult* result);
  bool Grow(const FndbUpdatePlan& plan, const std::vector<FndbStore>& stores,
            FndbWriteResult* result);
  bool Fail(FndbWriteResult* result, FndbWriteFailure failure, const std::string& error);
  // Takes the writers' mutex for the hold; false with the failure in result.
  bool Take(MutexHold& hold, FndbWriteResult* result);
  // Whether another process holds the database (see RefreshFndb); under the writers' mutex.
  bool HeldByOthers();

  std::string path;
  FndbWriterOptions options;
  std::unique_ptr<Handles> handles;
  int holds = 0;  // MutexHolds alive: an update inside another one keeps the mutex handle
};

// The changes, as one update of the database at the path (open, update, close).
bool UpdateFndb(const std::string& fndbPath, const std::vector<FndbChange>& changes,
                const FndbWriterOptions& options, FndbWriteResult* result);

struct FndbRefreshResult {
  bool inPlace = false;   // the differences were applied in place: others hold the database
  FndbBuildResult build;  // the walk, and the whole build when there was one
  FndbWriteResult write;  // the update in place, when there was one
  std::vector<FndbDirectoryEdit> edits;  // what the update in place changed
};

// mkfndb ROOT: walks the root, then, under the writers' mutex, writes a whole new database over
// the old one when no other process holds it (as BuildFndb does; also when there is none yet), or
// applies the differences between the tree and the listing in place when one does (or when the
// whole build's move is refused because one took it meanwhile). The database file itself counts
// on neither side. False with the reason in result->build.error or result->write.
bool RefreshFndb(const FndbBuildOptions& options, const FndbWriterOptions& writerOptions,
                 FndbRefreshResult* result);

}  // namespace korvid
