// TEXMF roots: where they come from, the install and local roots, and each root's fndb.
#include "internal.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace korvid {
namespace {

constexpr char kModule[] = "lib/texmfroot";
constexpr std::size_t kMaxRootPath = 260;      // characters of a root path, NUL not counted
constexpr std::size_t kMaxRootList = 4095;     // characters of a root list
constexpr char kFndbPattern[] = "%R\\korvid\\config";

auto& Roots() { return Context().roots; }

// Joins a directory and a name with a backslash unless the directory ends in a separator.
std::string Join(const std::string& directory, const char* name) {
  std::string joined = directory;
  if (joined.empty() || !IsDirectoryDelimiter(static_cast<unsigned char>(joined.back()))) {
    joined += '\\';
  }
  joined += name;
  return joined;
}

bool CopyRoot(char* buffer, const std::string& text) {
  if (text.size() > kMaxRootPath) return false;
  std::memcpy(buffer, text.c_str(), text.size() + 1);
  return true;
}

// The discovered sources; empty install or local root: none given.
struct Discovery {
  std::string rootList;
  std::string installRoot;
  std::string localRoot;
};

std::string KorvidDirectLocalRoot() {
  if (std::optional<std::string> local = GetEnvironmentValue("KD_LOCALROOT")) return *local;
  if ((GetVersion() & 0x80000000u) == 0) {
    std::optional<std::string> systemDrive = GetEnvironmentValue("SystemDrive");
    if (systemDrive && !systemDrive->empty()) {
      return std::string(1, (*systemDrive)[0]) + ":\\KorvidDirect";
    }
    TraceError("SystemDrive environment variable not defined");
  }
  char windows[kRootBufferSize];
  UINT length = GetWindowsDirectoryA(windows, sizeof windows);
  if (length == 0) {
    KORVID_TRACE_LAST_WIN32_ERROR("GetWindowsDirectory");
    return "C:\\KorvidDirect";
  }
  if (length >= sizeof windows) {
    TraceError("buffer capacity exceeded");
    return "C:\\KorvidDirect";
  }
  return Join(windows, "KorvidDirect");
}

// An install or local root longer than a root path is ignored (as if none were given).
std::string RootValue(const Cfg* cfg, const char* key) {
  const char* value = GetCfgValue(cfg, "Paths", key);
  if (value == nullptr) return {};
  if (std::strlen(value) > kMaxRootPath) {
    TraceError("buffer capacity exceeded");
    return {};
  }
  return value;
}

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

bool ReadPathsIni(Discovery& found) {
  char bin[kRootBufferSize];
  if (!GetBinDirectory(bin)) return false;
  std::string path = Join(bin, "..\\config\\paths.ini");
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "r"));
  if (!file) return false;
  CfgPtr cfg(CreateCfg());
  if (ReadCfg(cfg.get(), path.c_str(), file.get()) != 0) {
    TraceError("cannot parse '%s'", path.c_str());
    return false;
  }
  const char* list = GetCfgValue(cfg.get(), "Paths", "TeXMF Root Directories");
  if (list == nullptr) {
    TraceError("value 'TeXMF Root Directories' does not exist");
    return false;
  }
  if (std::strlen(list) > kMaxRootList) {
    TraceError("buffer capacity exceeded");
    return false;
  }
  found.rootList = list;
  found.installRoot = RootValue(cfg.get(), "Install Root");
  found.localRoot = RootValue(cfg.get(), "Local Root");
  return true;
}

bool ReadRegistry(Discovery& found) {
  char list[kMaxRootList + 1];
  if (GetRegistryValue(Hive::Any, "Korvid", "TeXMF Root Directories", list, sizeof list,
                       nullptr) == nullptr ||
      list[0] == '\0') {
    if (GetRegistryValue(Hive::Any, "Korvid", "Root Directory", list, sizeof list, nullptr) ==
            nullptr ||
        list[0] == '\0') {
      return false;
    }
  }
  found.rootList = list;
  char root[kRootBufferSize];
  if (GetRegistryValue(Hive::Any, "Korvid", "Install Root", root, sizeof root, nullptr)) {
    found.installRoot = root;
  }
  if (GetRegistryValue(Hive::Any, "Korvid", "Local Root", root, sizeof root, nullptr)) {
    found.localRoot = root;
  }
  return true;
}

// Ensures the table; false (after the report) when no root is configured.
bool EnsureTable() {
  auto& roots = Roots();
  if (!roots.table) InitializeRoots();
  if (!roots.table || roots.table->empty()) {
    KORVID_RAISE(ErrorCode::InternalError);
    TraceError("no TEXMF roots configured");
    return false;
  }
  return true;
}

bool CheckIndex(unsigned index) {
  if (!EnsureTable()) return false;
  if (index == static_cast<unsigned>(-1) || index >= Roots().table->size()) {
    KORVID_RAISE(ErrorCode::InternalError);
    TraceError("#%u is an invalid TEXMF root", index);
    return false;
  }
  return true;
}

}  // namespace

bool GetProgramDirectory(char* buffer) {
  char name[kRootBufferSize];
  DWORD length = GetModuleFileNameA(nullptr, name, sizeof name);
  if (length == 0 || length >= sizeof name) {
    if (length != 0) SetLastError(ERROR_INSUFFICIENT_BUFFER);
    KORVID_RAISE(ErrorCode::Win32Error, "GetModuleFileName");
    return false;
  }
  name[length] = '\0';
  PathParts parts = SplitPath(name);
  return CopyRoot(buffer, parts.drive + parts.directory);
}

bool IsKorvidDirect() {
  auto& roots = Roots();
  LockGuard guard(roots.lock);
  if (roots.korvidDirect == Tristate::Undetermined) {
    roots.korvidDirect = Tristate::No;
    char directory[kRootBufferSize];
    if (GetProgramDirectory(directory)) {
      std::string marker = Join(directory, "..\\config\\kd.ini");
      DWORD attributes = GetFileAttributesA(marker.c_str());
      if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)) {
        roots.korvidDirect = Tristate::Yes;
        Trace(traceStreams.config, "KorvidDirect setup");
      }
    }
  }
  return roots.korvidDirect == Tristate::Yes;
}

// A KORVID_BINDIR too long for a root buffer is passed over for the program directory.
bool GetBinDirectory(char* buffer) {
  if (!IsKorvidDirect()) {
    if (std::optional<std::string> bin = GetEnvironmentValue("KORVID_BINDIR")) {
      if (CopyRoot(buffer, *bin)) return true;
      TraceError("buffer capacity exceeded");
    }
  }
  return GetProgramDirectory(buffer);
}

void RegisterRoot(const char* path) {
  Trace(traceStreams.config, "registering TEXMF root '%s'...", path);
  auto& roots = Roots();
  if (!roots.table) {
    roots.table.emplace();
    roots.table->reserve(10);
  }
  RootRecord record;
  record.path = path;
  roots.table->push_back(std::move(record));
}

void InitializeRoots() {
  auto& roots = Roots();
  LockGuard guard(roots.lock);
  Discovery found;
  if (IsKorvidDirect()) {
    // The edition test has just found the program directory.
    char bin[kRootBufferSize] = "";
    GetProgramDirectory(bin);
    std::string up = Join(bin, "..\\..");
    char resolved[kMaxPath];
    found.installRoot = _fullpath(resolved, up.c_str(), sizeof resolved) ? resolved : up;
    found.localRoot = KorvidDirectLocalRoot();
    char list[kMaxRootList + 1];
    std::snprintf(list, sizeof list, "%s%c%s", found.localRoot.c_str(), ';',
                  found.installRoot.c_str());
    found.rootList = list;
  } else if (!ReadPathsIni(found) && !ReadRegistry(found)) {
    Trace(traceStreams.config, "TEXMF roots not yet configured");
    found = Discovery{};
    char directory[kRootBufferSize];
    found.rootList = GetProgramDirectory(directory) ? Join(directory, "..\\..") : "C:\\texmf";
  }

  roots.installRoot = 0;
  roots.localRoot = 0;
  int registered = 0;
  Tokenizer entries(found.rootList.c_str(), ';');
  while (const char* entry = entries.Next()) {
    if (entry[0] == '\0') continue;
    // A root longer than a root path cannot be handed out; it is left out of the table.
    if (std::strlen(entry) > kMaxRootPath) {
      TraceError("TEXMF root too long: '%s'", entry);
      continue;
    }
    if (PathCompare(entry, found.installRoot.c_str()) == 0) roots.installRoot = registered;
    if (PathCompare(entry, found.localRoot.c_str()) == 0) roots.localRoot = registered;
    RegisterRoot(entry);
    ++registered;
  }
}

unsigned GetNumberOfRoots() {
  ClearLastError();
  LockGuard guard(Roots().lock);
  return EnsureTable() ? static_cast<unsigned>(Roots().table->size()) : 0;
}

char* GetRootDirectory(unsigned index, char* buffer) {
  ClearLastError();
  LockGuard guard(Roots().lock);
  if (!CheckIndex(index)) return nullptr;
  CopyRoot(buffer, (*Roots().table)[index].path);
  return buffer;
}

int GetInstallRoot() {
  ClearLastError();
  LockGuard guard(Roots().lock);
  return EnsureTable() ? Roots().installRoot : -1;
}

int GetLocalRoot() {
  ClearLastError();
  LockGuard guard(Roots().lock);
  return EnsureTable() ? Roots().localRoot : -1;
}

bool GetFndbFileName(unsigned index, char* buffer) {
  ClearLastError();
  LockGuard guard(Roots().lock);
  if (!CheckIndex(index)) return false;
  // 1. A texmf<n>.fndb in the korvid\config directory of any root, roots in table order.
  char name[32];
  std::snprintf(name, sizeof name, "texmf%u.fndb", index);
  char found[kMaxPath];
  if (FindFileOnDisk(name, kFndbPattern, found) && AccessFile(found, 0)) {
    return CopyRoot(buffer, found);
  }
  // 2. The root's own fndb.
  std::string own = Join((*Roots().table)[index].path, "korvid\\config\\texmf.fndb");
  if (!CopyRoot(buffer, own)) return false;
  return AccessFile(buffer, 0);
}

FndbReference GetFndb(unsigned index) {
  auto& roots = Roots();
  LockGuard guard(roots.lock);
  if (!CheckIndex(index)) return nullptr;
  RootRecord& record = (*roots.table)[index];
  if (record.fndb) {
    record.fndb->AddReference();
    return FndbReference(record.fndb.get());
  }
  if (record.noFndb) return nullptr;
  char path[kRootBufferSize];
  if (!GetFndbFileName(index, path)) {
    Trace(traceStreams.fndb, "there is no fndb for '%s'", record.path.c_str());
    record.noFndb = true;
    return nullptr;
  }
  bool frozen = (GetStartupFlags() & kStartupFrozenFndbs) != 0 ||
                static_cast<int>(index) != roots.localRoot;
  Trace(traceStreams.fndb, "loading %s%s...", frozen ? "frozen " : "", path);
  FileNameDatabase* fndb = FileNameDatabase::Create(path, record.path.c_str(), frozen);
  if (fndb == nullptr) {
    record.noFndb = true;
    TraceError("cannot load '%s'", path);
    return nullptr;
  }
  record.fndb.reset(fndb);
  // The whole address, as "unloading fndb %p" writes it: the two lines name the same handle.
  Trace(traceStreams.fndb, "... %p", static_cast<void*>(fndb));
  fndb->AddReference();
  return FndbReference(fndb);
}

int DetermineRootDirectory(const char* path) {
  if (!IsAbsolutePath(path)) {
    TraceError("DetermineRootDirectory: not fq path: '%s'", path);
    return -1;
  }
  LockGuard guard(Roots().lock);
  if (!EnsureTable()) return -1;
  const auto& table = *Roots().table;
  const std::string_view text(path);
  int best = -1;
  // A root holds the path when the path continues it with a separator or ends with it.
  for (std::size_t i = 0; i < table.size(); ++i) {
    const std::string& root = table[i].path;
    std::size_t length = root.size();
    if (length > text.size()) continue;
    if (length < text.size() && !IsDirectoryDelimiter(static_cast<unsigned char>(text[length]))) {
      continue;
    }
    if (!SamePath(root, text.substr(0, length))) continue;
    if (best == -1 || length > table[best].path.size()) best = static_cast<int>(i);
  }
  return best;
}

FndbReference GetFndbForPath(const char* path) {
  int index = DetermineRootDirectory(path);
  if (index == -1) return nullptr;
  return GetFndb(static_cast<unsigned>(index));
}

bool UnloadFndbs() {
  ClearLastError();
  auto& roots = Roots();
  LockGuard guard(roots.lock);
  if (!roots.table) return true;
  bool verdict = true;
  for (std::size_t i = 0; i < roots.table->size(); ++i) {
    RootRecord& record = (*roots.table)[i];
    if (!record.fndb) continue;
    if (record.fndb->ReferenceCount() != 1) {
      Trace(traceStreams.fndb, "cannot unload fndb #%u: still in use", static_cast<unsigned>(i));
      verdict = false;
      continue;
    }
    if (record.fndb.release()->Release() != 0) {
      KORVID_RAISE(ErrorCode::InternalError);
      TraceError("fndb #%u still in use", static_cast<unsigned>(i));
      verdict = false;
    }
  }
  return verdict;
}

void FreeRoots() {
  auto& roots = Roots();
  LockGuard guard(roots.lock);
  roots.table.reset();  // each record releases the table's reference to its fndb
  roots.installRoot = -1;
  roots.localRoot = -1;
  roots.korvidDirect = Tristate::Undetermined;
}

}  // namespace korvid
