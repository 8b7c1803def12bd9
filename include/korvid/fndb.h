// File name databases (lib/fnamedb2): the handle of one root's fndb file, mapped and shared under
// one name with every process that holds the same file, counted by references, and its search of
// a name below an entry. What the handle keeps between searches is the library's own.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace korvid {

class FileNameDatabase {
 public:
  // Maps the fndb file (attaching to the mapping another holder of the same path made) and
  // returns a handle with one reference; null after every failure was reported. frozen: open for
  // reading only.
  static FileNameDatabase* Create(const char* fndbPath, const char* rootPath, bool frozen);
  // Interlocked; returns the new count.
  long AddReference();
  // Interlocked; destroys the handle when the count reaches 0. Returns the new count.
  long Release();
  long ReferenceCount() const;

  // Looks up the key entry + "\" + name (entry may contain "//": any depth below that point).
  // True with the full path in the kMaxPath result when found. Not finding is no failure: false,
  // the result untouched, except for a repeat of a failed search on an unchanged database, which
  // is dismissed at once and empties the result.
  bool Search(const char* name, const char* entry, char* result);
  // The same, the texts' lengths known (the file search's entries are strings).
  bool Search(std::string_view name, std::string_view entry, char* result);

  bool IsReadOnly() const;
  std::uint32_t Size() const;
  const char* RootPath() const;

  FileNameDatabase(const FileNameDatabase&) = delete;
  FileNameDatabase& operator=(const FileNameDatabase&) = delete;

 private:
  // Every handle is the library's FndbHandle (lib/fnamedb2), which holds the state; this side
  // has none, so that a search costs no indirection.
  friend class FndbHandle;
  FileNameDatabase() = default;
  ~FileNameDatabase() = default;
};

struct FndbReleaser {
  void operator()(FileNameDatabase* fndb) const { fndb->Release(); }
};
// One counted reference, released when the owner goes.
using FndbReference = std::unique_ptr<FileNameDatabase, FndbReleaser>;

// The name of the shared mapping of an fndb file; empty when the path cannot be given a name
// that no other path shares.
std::string FndbMappingName(const char* fndbPath);

}  // namespace korvid
