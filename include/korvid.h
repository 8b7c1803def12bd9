// The Korvid support library: every operation the launcher and the library's modules call.
//
// Paths travel in caller-supplied buffers of kMaxPath characters (terminating NUL included);
// root paths in buffers of kRootBufferSize. An operation fills the buffer and returns it, or
// returns null. Failures are results: the failing operation records the details in the last-error
// record, reports them on the "error" trace stream and returns its failure value. Not finding a
// file is a normal result and reports nothing.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace korvid {

constexpr std::size_t kMaxPath = 260;         // the platform's path limit, NUL included
constexpr std::size_t kRootBufferSize = 261;  // root paths: 260 characters and the NUL

// ---------------------------------------------------------------------------------------------
// Start-up and shutdown, home, profile and working directories (lib/korvid)

struct StartupOptions {
  std::uint32_t flags;
  std::uint8_t reserved[12];
};
static_assert(sizeof(StartupOptions) == 16, "the start-up options are a 16-byte record");

constexpr std::uint32_t kStartupNoConfigFiles = 1;  // never read the configuration files
constexpr std::uint32_t kStartupFrozenFndbs = 2;    // open every fndb read-only

// Reference-counted: only the first call builds the context, only the balancing last call of
// UninitializeLibrary tears it down. Both always return true.
bool InitializeLibrary(const StartupOptions* options = nullptr);
bool UninitializeLibrary();

// Restricts the process's own DLL search to the system directory where the system offers it
// (SetDefaultDllDirectories); the processes it starts keep their own search. The shipped
// programs call it first thing. False where it is not offered or fails.
bool RestrictDllSearch();

// The flags word of the options given to the first InitializeLibrary (0 when none were given).
std::uint32_t GetStartupFlags();

// Base name of the running executable into a kMaxPath buffer; "fixme" when it cannot be had.
char* GetProgramName(char* buffer);

// In place: every '/' becomes '\', except a "//" pair that does not start the text.
void NormalizeSlashes(char* path);

// Fills the kMaxPath buffer (a static one of the library when buffer is null) and returns it;
// never fails (the last resort is "C:\").
char* GetHomeDirectory(char* buffer = nullptr);

// The profile directory into a kMaxPath buffer, or null when none is known or a registry failure
// was reported.
char* GetProfileDirectory(char* buffer);

// Adds a directory to the front or the back of the working-directory list and rewrites
// KORVID_CWD. False (and nothing added) when the directory's absolute form does not fit kMaxPath.
bool AddWorkingDirectory(const char* directory, bool atBack);

// Index 0: the current directory; index n >= 1: entry n of the working-directory list.
// Null past the end of the list, or (after reporting) when the current directory cannot be read.
char* GetWorkingDirectory(unsigned index, char* buffer);

// Start-up step: exports the scratch directory as TEMPDIR, TMPDIR, TEMP and TMP, and HOME,
// wherever they are unset.
void ExportTempEnvironment();

// ---------------------------------------------------------------------------------------------
// Error records and reports (lib/internal)

enum class ErrorCode : std::uint32_t {
  NoError = 0,
  CreateDirectoryFailed = 1,
  NoFileNameDatabase = 2,
  OpenFileFailed = 3,
  UnexpectedContext = 4,
  DeleteFailed = 5,
  Win32Error = 6,
  CrtError = 7,
  IniSyntaxError = 8,
  InternalError = 9,
  Win32ErrorNumber = 10,
};

struct ErrorRecord {
  ErrorCode code;
  char module[260];
  unsigned line;
  char message[1024];
};

// Records the error and reports it on the "error" stream. Code 6 reports the thread's last Win32
// error, code 7 the runtime's errno; info is the text of the template's %1.
void RaiseError(ErrorCode code, const char* module, unsigned line, const char* info = "");
// Code 10: a Win32 error number that a call returned instead of setting the last error.
void RaiseError(ErrorCode code, const char* module, unsigned line, unsigned long number,
                const char* info);
void ClearLastError();
ErrorRecord GetLastErrorRecord();

// Reports on the "error" stream without touching the last-error record.
void TraceWin32Error(unsigned long number, const char* info, const char* module, int line);
void TraceLastWin32Error(const char* info, const char* module, int line);
void TraceCrtError(const char* info, const char* module, int line);

// ---------------------------------------------------------------------------------------------
// Trace streams (lib/trace)

// Ids of the standard streams; -1 until the first start-up registers them.
struct TraceStreamIds {
  int access = -1;
  int config = -1;
  int error = -1;
  int filesearch = -1;
  int fndb = -1;
  int fontinfo = -1;
  int open = -1;
  int process = -1;
  int tempfile = -1;
  int time = -1;
};
extern TraceStreamIds traceStreams;

// The id of the stream of this name (added when new); -1 when the table is full.
int RegisterTraceStream(const char* name);
// Replaces the enable string and the enabled set; null stands for "error".
void SetTraceOptions(const char* options);
void EnableTraceStream(int id, bool enable);
bool IsTraceEnabled(int id);
// The library's formats are those of the C99 printf: mingw's runtime gives it under the name
// gnu_printf, other compilers know it as printf.
#if defined(__MINGW32__)
#define KORVID_PRINTF_FORMAT(formatIndex, firstArgument) \
  __attribute__((format(gnu_printf, formatIndex, firstArgument)))
#else
#define KORVID_PRINTF_FORMAT(formatIndex, firstArgument) \
  __attribute__((format(printf, formatIndex, firstArgument)))
#endif
void Trace(int id, const char* format, ...) KORVID_PRINTF_FORMAT(2, 3);
void TraceV(int id, const char* format, std::va_list args);
void TraceError(const char* format, ...) KORVID_PRINTF_FORMAT(1, 2);
void ResetTraces();

// ---------------------------------------------------------------------------------------------
// Shared text helpers (lib/config)

// Splits a text at one separator: empty pieces are yielded, but a separator at the very end
// yields no empty last piece; an empty or null text yields nothing. Works on its own copy (of at
// most maxCopy characters when given).
class Tokenizer {
 public:
  static constexpr std::size_t kWholeText = static_cast<std::size_t>(-1);
  Tokenizer(const char* text, char separator, std::size_t maxCopy = kWholeText);
  // The next piece, or null at the end; valid until the next call.
  const char* Next();

 private:
  std::string copy;
  char separator;
  std::size_t position = 0;
  bool done;
};

// Splits a text at any of a set of delimiters; runs of delimiters are skipped, so only non-empty
// pieces are yielded.
class DelimiterTokenizer {
 public:
  DelimiterTokenizer(const char* text, const char* delimiters);
  const char* Next();

 private:
  std::string copy;
  std::uint32_t delimiterSet[8] = {};
  std::size_t position = 0;
  bool IsDelimiter(unsigned char c) const { return (delimiterSet[c >> 5] >> (c & 31)) & 1u; }
};

// True when one piece of the list equals the name without regard to ASCII case.
bool IsNameInList(const char* list, const char* name, const char* delimiters);

// ---------------------------------------------------------------------------------------------
// Path rules (lib/path)

bool IsDirectoryDelimiter(int c);
bool IsAbsolutePath(const char* path);
// -1, 0 or 1; letters folded, any separator equal to any separator, a trailing separator counts.
int PathCompare(const char* a, const char* b);
int PathCompareN(const char* a, const char* b, std::size_t n);
// The part of path below root (a position inside path), or null when path is not below root.
const char* MakeRelative(const char* path, const char* root);
// The position of the "//" that marks a search at any depth, or npos when there is none. Two
// separators at the start of a path name a network share and never mark a search: the marker is
// looked for only after them.
std::size_t FindRecursionMarker(std::string_view path);

// The four parts of a path as the runtime's splitter gives them: drive ("C:"), directory (up to
// and including the last separator), base name, extension (from the last dot of the name).
struct PathParts {
  std::string drive;
  std::string directory;
  std::string name;
  std::string extension;
};
PathParts SplitPath(const char* path);

// ---------------------------------------------------------------------------------------------
// File tests, forced delete and shutdown clean-up (lib/files)

// Access modes: 0 existence, 2 writing, 4 reading, 6 reading and writing.
bool AccessFile(const char* path, int mode);
bool AccessDirectory(const char* path, int mode);
// True when the file was deleted (also a read-only one); false after reporting the failure.
bool RemoveFile(const char* path);
void RemoveTempFiles();
void ReportOpenFiles();

// ---------------------------------------------------------------------------------------------
// Ini files (lib/cfg, lib/getdelim)

class Cfg;
Cfg* CreateCfg();
void FreeCfg(Cfg* cfg);
struct CfgDeleter {
  void operator()(Cfg* cfg) const { FreeCfg(cfg); }
};
using CfgPtr = std::unique_ptr<Cfg, CfgDeleter>;

// 0 on success; -1 (cannot open, I/O error, a value the platform cannot expand), -2 (out of
// memory) or -3 (syntax error). Every failure is reported; the values stored before it stay.
int ReadCfg(Cfg* cfg, const char* fileName, std::FILE* stream);
int ReadCfgFile(Cfg* cfg, const char* fileName);
// The value, owned by the Cfg, or null when the section or the key does not exist.
// A null section names the default section.
const char* GetCfgValue(const Cfg* cfg, const char* section, const char* key);

// ---------------------------------------------------------------------------------------------
// Configuration values and application names (lib/config)

enum class Hive { Any, CurrentUser, LocalMachine };

// A REG_SZ value of "Software\Zef\Korvid\CurrentVersion\<section>"; Hive::Any reads the current
// user's, then the machine's. The buffer, or null (then its content is undefined).
char* GetRegistryValue(Hive hive, const char* section, const char* name, char* buffer,
                       std::size_t size, const char* defaultValue);
// Environment, configuration files, then section "Korvid", then the default. Null sections stand
// for the application-name list. The buffer, or null.
char* GetConfigValue(const char* sections, const char* name, char* buffer, std::size_t size,
                     const char* defaultValue);

// Where GetConfigValue finds the value of name in the one section, for messages that must say it:
// the section's environment variable, else the configuration file of highest rank that sets it
// (read again for the question). None when neither sets it.
struct ConfigValueOrigin {
  enum class Place { None, Environment, ConfigurationFile } place = Place::None;
  std::string where;  // the variable's name or the file's path
};
ConfigValueOrigin FindConfigValueOrigin(const char* section, const char* name);

void AddApplicationName(const char* name);
// The list, most recent first, copied into a shared 4096-character buffer.
const char* GetApplicationNames();
void ClearApplicationNames();
void FreeConfig();

// ---------------------------------------------------------------------------------------------
// File name database (lib/fnamedb2)

// Case-insensitive (ASCII) ordering of byte strings; transparent, so that lookups by a plain text
// need no copy of it.
// The one case rule of names and paths: ASCII letters folded to lower case, other bytes as they are.
constexpr unsigned char FoldAsciiCase(unsigned char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + ('a' - 'A')) : c;
}
// Equal without regard to the case of ASCII letters.
bool EqualIgnoringCase(std::string_view a, std::string_view b);

struct CaseInsensitiveLess {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const;
};

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

// ---------------------------------------------------------------------------------------------
// TEXMF roots (lib/texmfroot)

unsigned GetNumberOfRoots();
char* GetRootDirectory(unsigned index, char* buffer);  // kRootBufferSize buffer
int GetInstallRoot();
int GetLocalRoot();
bool GetFndbFileName(unsigned index, char* buffer);  // kRootBufferSize buffer
FndbReference GetFndb(unsigned index);
int DetermineRootDirectory(const char* path);
FndbReference GetFndbForPath(const char* path);
bool UnloadFndbs();
void FreeRoots();
bool IsKorvidDirect();
bool GetProgramDirectory(char* buffer);  // kRootBufferSize buffer
bool GetBinDirectory(char* buffer);      // kRootBufferSize buffer

// ---------------------------------------------------------------------------------------------
// Search paths and the file search (lib/searchpath, lib/findfile)

using SearchPathList = std::vector<std::string>;
// The expanded list of the pattern; it stays valid for its holder even when the cache is cleared.
std::shared_ptr<const SearchPathList> ExpandSearchPath(const char* pattern);
void ClearSearchPathCache();

// The pattern along which the launcher finds its script: seven subtrees below every TEXMF root,
// in this order.
constexpr char kScriptSearchPattern[] =
    "%R/context//;%R/korvid//;%R/nts//;%R/pdftex//;%R/psutils//;%R/source//;%R/tex//";

// On success the kMaxPath result holds the path found.
bool FindFile(const char* name, const char* pattern, char* result);
bool FindFileOnDisk(const char* name, const char* pattern, char* result);

// What answered a search of one entry.
enum class FileSource {
  None,              // not found there
  Absolute,          // an absolute name, found where it is
  CurrentDirectory,  // the entry is the current directory
  WorkingDirectory,  // the entry is one of the working directories
  Fndb,              // the fndb of the entry's root
  Disk,              // the disk below the entry (its root has no fndb)
};
// Searches one entry of an expanded pattern exactly as FindFile searches each of its entries, in
// turn; the kMaxPath result holds the path found. None when the file is not there, or (after
// reporting) when the current directory cannot be read.
FileSource FindFileInEntry(const char* name, const char* entry, char* result);

// ---------------------------------------------------------------------------------------------
// Scratch directory (lib/scratchdir)

bool ChooseScratchDirectory(char* buffer, bool plainOnly);  // kMaxPath buffer
bool IsGoodTempFolder(const char* path, bool allowSpecialCharacters, bool allowNetworkPath);

// ---------------------------------------------------------------------------------------------
// Finding Perl (lib/findperl; the rules over text in lib/core/perlrules)

// Where a perl.exe to run comes from.
enum class PerlSource {
  None,
  Configured,         // the configuration value "Perl" of section "Korvid"
  LauncherDirectory,  // the running program's own directory
  SystemDirectory,    // one of the system directories
  PathEntry,          // an entry of PATH
};

struct PerlCandidate {
  PerlSource source = PerlSource::None;
  std::string path;               // the perl.exe (for Configured: the value as set)
  unsigned pathEntry = 0;         // PathEntry: the entry's position in PATH, from 1
  bool currentDirectory = false;  // PathEntry: the entry "." (the current directory)
};

// A PATH entry that the search passes over.
struct PassedOverPathEntry {
  enum class Reason {
    DependsOnCurrentDirectory,  // relative (other than "."), drive-relative or rooted on no drive
    TooLong,                    // its perl.exe would not fit kMaxPath
  };
  unsigned position = 0;  // from 1
  std::string entry;      // as written
  Reason reason = Reason::DependsOnCurrentDirectory;
};

struct PerlSearchPlan {
  std::vector<PerlCandidate> candidates;  // in search order
  std::vector<PassedOverPathEntry> passedOver;
};

// A drive letter, ':' and a separator, or two separators (a network path): a path that means
// the same whatever the current directory and drive are.
bool IsFullPath(std::string_view path);

// The places where perl.exe is looked for when none is configured, in this order: the launcher's
// directory, the system directories as given, then the PATH entries in order. An entry names a
// directory when it is a full path (double quotes removed); "." (with or without a trailing
// separator) names the current directory, which is searched only then; an empty entry is
// skipped; every other entry is passed over, since it would take its meaning from the current
// directory or drive. Empty directories are left out.
PerlSearchPlan PlanPerlSearch(std::string_view launcherDirectory,
                              const std::vector<std::string>& systemDirectories,
                              std::string_view path, std::string_view currentDirectory);

// Why there is no Perl to run.
enum class PerlProblem {
  None,
  NotFound,     // none configured, and no place of the search holds one
  NotFullPath,  // configured, but relative (it would depend on the current directory)
  TooLong,      // configured, but longer than kMaxPath - 1 characters
  NoSuchFile,   // configured, but no file is there (nothing, or a directory)
};

// The problem of a configured value that is not empty, as far as the text tells: None, TooLong or
// NotFullPath.
PerlProblem CheckConfiguredPerl(std::string_view value);

struct PerlLocation {
  PerlProblem problem = PerlProblem::NotFound;  // None: perl is the one to run
  PerlCandidate perl;   // the one found, or the configured one that cannot be used
  std::string setting;  // Configured: where the value is set ("set by KORVID_PERL", "set in FILE")
  PerlSearchPlan plan;  // the places searched; empty when a value is configured
};

// The perl.exe the launcher runs. A configured value (not empty) is the only candidate: the
// value of "Perl" in section "Korvid" from the environment or the configuration files, else from
// the registry (the current user's, then the machine's). Otherwise the first perl.exe of the
// places PlanPerlSearch gives for the running program's directory, the system directories, PATH
// and the current directory.
PerlLocation LocatePerl();

// "the configured Perl 'VALUE' (set by KORVID_PERL) is not a full path" and the like for a
// configured value that cannot be used; empty otherwise.
std::string DescribePerlProblem(const PerlLocation& location);

}  // namespace korvid
