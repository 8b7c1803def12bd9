// The fndb file layout and the lookups in an fndb, over a plain byte view (a pointer and a size).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

namespace korvid {

class FndbIndex;

// Header: 32-bit little-endian words at these byte offsets.
constexpr std::uint32_t kFndbSignature = 0x42444E46;  // the bytes "FNDB"
constexpr std::uint32_t kFndbVersion = 3;
constexpr std::uint32_t kFndbFrozenFlag = 1;  // flags bit 0: never opened for writing
constexpr std::uint32_t kFndbSignatureField = 0;
constexpr std::uint32_t kFndbVersionField = 4;
constexpr std::uint32_t kFndbFlagsField = 8;
constexpr std::uint32_t kFndbRootDirectoryField = 16;
constexpr std::uint32_t kFndbChangeCountField = 28;
constexpr std::uint32_t kFndbUsedSizeField = 36;
constexpr std::uint32_t kFndbHeaderSize = 40;

// Directory record: nameOffset, parentOffset, fileCount F, subdirectoryCount S, extensionOffset,
// one unused word, then F file name offsets, S subdirectory name offsets and S subdirectory
// record offsets.
constexpr std::uint32_t kFndbRecordFixedWords = 6;

// Working limits of the lookups: a directory path given to FindSubDirectory has at most 259
// characters; a directory's path relative to the root fits 256 bytes; a result fits 260 bytes.
constexpr std::size_t kFndbMaxSubDirectoryPath = 259;
constexpr std::size_t kFndbDirectoryPathSize = 256;
constexpr std::size_t kFndbResultSize = 260;

enum class FndbHeaderCheck { Good, NotFndb, UnknownVersion };

// Signature first (also for a view too short to hold it), then the version, then the header's
// length: a view shorter than the header is not an fndb.
FndbHeaderCheck CheckFndbHeader(const void* data, std::uint32_t size);

// Lookups in one fndb. Every offset, count and string is checked against the view's size, so no
// read leaves the view whatever the bytes hold; records that link back (a subdirectory or a
// continuation pointing to a record already on the way) end the walk. A damaged database answers
// "not found". The lookups allocate nothing but the "//" walk's record of the directories and
// chains it tried.
class FndbView {
 public:
  // rootPath is the TEXMF root the database describes; found paths start with it.
  FndbView(const void* data, std::uint32_t size, std::string_view rootPath = {});

  std::uint32_t Size() const { return size; }
  std::string_view RootPath() const { return rootPath; }
  // The word at the byte offset, or 0 when it does not lie wholly inside the view.
  std::uint32_t Word(std::uint32_t offset) const;
  std::uint32_t RootDirectory() const { return Word(kFndbRootDirectoryField); }
  std::uint32_t ChangeCount() const { return Word(kFndbChangeCountField); }
  std::uint32_t Flags() const { return Word(kFndbFlagsField); }
  std::uint32_t UsedSize() const { return Word(kFndbUsedSizeField); }

  // The directory reached by following the components of a relative path of directory names
  // (separators '\' or '/', runs of them count as one); 0 when a component is missing, when the
  // path has no component at all or more than 259 characters.
  std::uint32_t FindSubDirectory(std::uint32_t directory, std::string_view path) const;

  // Whether the file is listed, following the name's own directory part (up to its last
  // separator) from the directory.
  bool FileExistsInDirectory(std::uint32_t directory, std::string_view name) const;

  // Writes the directory's path relative to the root (empty for the root) into a buffer of
  // kFndbDirectoryPathSize bytes. The length, or -1 when it does not fit or the records are
  // damaged (then the buffer holds an empty text).
  int GetDirectoryPath(std::uint32_t directory, char* buffer) const;

  // Whether the file is listed; when result (kFndbResultSize bytes) is given it receives root
  // path, directory path and the name as asked. Not found, result untouched, when that path does
  // not fit.
  bool FindFileInDirectory(std::uint32_t directory, std::string_view name, char* result) const;

  // Resolves the "//" parts of a remainder below the directory, depth first: at each directory
  // the direct match before the subdirectories, subdirectories in stored order (first record,
  // then continuation records). With a pattern, a directory path matching the pattern at any
  // depth comes first.
  bool RecursiveSearch(std::uint32_t directory, std::optional<std::string_view> pattern,
                       std::string_view remainder, char* result) const;

  // The lookup of a key relative to the root: without "//" the file at exactly that path; with
  // "//" the directory path before the first "//" (the root when that part names no directory
  // component) and the rest below it at any depth. An index built over this view answers the
  // lookups it can answer (from a directory it covers) instead of the walk; walked, when given, grows by the number of
  // directories the walk tried.
  bool Search(std::string_view relativeKey, char* result, const FndbIndex* index = nullptr,
              std::uint64_t* walked = nullptr) const;

  // Directories deeper than this below the start of a "//" walk are never tried: their paths
  // could not fit a result.
  static constexpr unsigned kMaxWalkDepth = kFndbDirectoryPathSize / 2;

  // Counts every record the lookups read into *counter from now on (null: no count). A test hook:
  // the work of a lookup is the number of records it reads.
  void CountRecordReads(std::uint64_t* counter) { recordReads = counter; }

  // Every directory and file in stored order, depth first; a directory comes before its files
  // and subdirectories. Directory paths end in '\'; the root itself is not listed. False when
  // damaged records were passed over.
  bool List(const std::function<void(std::string_view path, bool isDirectory)>& visit) const;

 private:
  friend class FndbIndex;
  struct Record {
    std::uint32_t offset;
    std::uint32_t fileCount;
    std::uint32_t subdirectoryCount;
    std::uint32_t extensionOffset;
    std::uint32_t FileNames() const { return offset + 4 * kFndbRecordFixedWords; }
    std::uint32_t SubdirectoryNames() const { return FileNames() + 4 * fileCount; }
    std::uint32_t SubdirectoryRecords() const {
      return SubdirectoryNames() + 4 * subdirectoryCount;
    }
  };
  enum class Lookup { Found, Absent, Damaged };
  class ChainGuard;
  class Walk;

  bool ReadRecord(std::uint32_t offset, Record* record) const;
  // Calls body on each record of the directory's chain, in chain order, until it returns true.
  template <typename Body>
  bool ForEachRecord(std::uint32_t directory, ChainGuard* guard, Body&& body) const;
  std::uint32_t MaxChainLength() const { return size / (4 * kFndbRecordFixedWords) + 1; }
  // The string at the offset, when it ends inside the view.
  std::optional<std::string_view> String(std::uint32_t offset) const;
  // Compares the stored string with the name (ASCII letters folded); false when the stored
  // string runs past the view.
  bool CompareName(std::uint32_t offset, std::string_view name, int* order) const;
  // Binary search in one sorted array of name offsets.
  Lookup FindInArray(std::uint32_t array, std::uint32_t count, std::string_view name,
                     std::uint32_t* index) const;
  // Searches the subdirectory names of every record of the chain; the subdirectory's record.
  std::uint32_t FindChild(std::uint32_t directory, std::string_view name, ChainGuard* guard) const;
  bool HasFile(std::uint32_t directory, std::string_view name, ChainGuard* guard) const;
  // The lookups above, within a "//" walk (guard: its bookkeeping) or alone (guard null).
  std::uint32_t FindSubDirectory(std::uint32_t directory, std::string_view path,
                                 ChainGuard* guard) const;
  bool FileExistsInDirectory(std::uint32_t directory, std::string_view name,
                             ChainGuard* guard) const;
  bool FindFileInDirectory(std::uint32_t directory, std::string_view name, char* result,
                           ChainGuard* guard) const;

  const unsigned char* data;
  std::uint32_t size;
  std::string_view rootPath;
  std::uint64_t* recordReads = nullptr;
};

// The index's answer to the "//" lookup of the remainder below the directory, as
// FndbView::RecursiveSearch would give it; none when the index cannot answer (a remainder that is
// not one name, a directory the index was not built over), and the view walks. It lies with the
// index (lib/core/fndbindex), which is built on this view: the view knows the index by name only.
std::optional<bool> SearchIndex(const FndbIndex& index, const FndbView& view,
                                std::uint32_t directory, std::string_view remainder, char* result);

}  // namespace korvid
