// File name databases (lib/fnamedb2): the handle of one root's fndb file, mapped and shared under
// one name with every process that holds the same file, counted by references, and its search of
// a name below an entry.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace korvid {

class LibraryLock;
class FndbLookups;

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

  bool IsReadOnly() const { return readOnly; }
  std::uint32_t Size() const { return size; }
  const char* RootPath() const { return rootPath.c_str(); }

 private:
  friend struct std::default_delete<FileNameDatabase>;
  enum class Attachment { Attached, Absent, Failed };

  FileNameDatabase(const char* rootPath, bool frozen);
  ~FileNameDatabase();
  FileNameDatabase(const FileNameDatabase&) = delete;
  FileNameDatabase& operator=(const FileNameDatabase&) = delete;
  bool Open(const char* fndbPath);
  Attachment Attach(const char* fndbPath, const std::string& mappingName);
  bool OpenFile(const char* fndbPath, const std::string& mappingName);
  // existed: the named mapping was already there (another holder's, of its own size).
  bool Map(const char* fndbPath, const std::string& mappingName, std::uint32_t maximumSize,
           bool writable, bool* existed);
  // Limits size to the mapped view; false after reporting when the view cannot be queried or its
  // pages up to size are not all committed (then it is no fndb).
  bool LimitSizeToView(const char* fndbPath);
  void Close(bool withFile);

  bool readOnly;
  bool mapped = false;
  std::uint32_t lastChangeCount = 0;
  std::uint32_t size = 0;
  void* fileHandle;
  void* mappingHandle = nullptr;
  volatile long referenceCount = 0;
  const unsigned char* view = nullptr;
  // Threads that share the handle search it at once; the lookups are read and changed under this
  // lock, a walk through the view (which is only read) runs outside it.
  std::unique_ptr<LibraryLock> searchLock;
  // The negative search cache (failedSearches, a set of keys compared without regard to ASCII
  // case), the name index once the walks of this handle add up, and what each entry decided.
  std::unique_ptr<FndbLookups> lookups;
  std::string rootPath;
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
