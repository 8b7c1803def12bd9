// Configuration values and application names.
#include "internal.h"

#include <cstring>
#include <string>
#include <vector>

// ---------------------------------------------------------------------------------------------
// Configuration values

namespace korvid {
namespace {

constexpr char kModule[] = "lib/config";
constexpr char kKeyFormat[] = "Software\\Zef\\Korvid\\CurrentVersion\\%s";
constexpr std::size_t kMaxKeyName = 263;
constexpr std::size_t kSectionListCopy = 4095;
constexpr std::size_t kApplicationNamesBuffer = 4096;

// Copies a value that fits the buffer (its NUL included); false, buffer untouched, otherwise.
bool CopyIfFits(char* buffer, std::size_t size, const char* value) {
  std::size_t length = std::strlen(value);
  if (length >= size) return false;
  std::memcpy(buffer, value, length + 1);
  return true;
}

char* Default(char* buffer, std::size_t size, const char* defaultValue) {
  if (defaultValue != nullptr && CopyIfFits(buffer, size, defaultValue)) return buffer;
  return nullptr;
}

HKEY HiveKey(Hive hive) {
  return hive == Hive::LocalMachine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
}

// "Korvid", then "_" and the section unless it is "Korvid" itself, then "_" and the name; blanks
// become underscores.
std::string EnvironmentName(const char* section, const char* name) {
  std::string variable = "Korvid";
  if (_stricmp(section, "Korvid") != 0) {
    variable += '_';
    variable += section;
  }
  variable += '_';
  variable += name;
  for (char& c : variable) {
    if (c == ' ') c = '_';
  }
  return variable;
}

// The value of one section: its environment variable, else its entry in the configuration files.
// A value that does not fit the buffer counts as none.
bool LookUpInSection(CfgPtr& cfg, const char* section, const char* name, char* buffer,
                     std::size_t size) {
  if (std::optional<std::string> value = GetEnvironmentValue(EnvironmentName(section, name).c_str())) {
    return CopyIfFits(buffer, size, value->c_str());
  }
  if (!cfg) cfg.reset(CreateCfg());
  const char* value = GetCfgValue(cfg.get(), section, name);
  return value != nullptr && CopyIfFits(buffer, size, value);
}

void ReadOneConfigFile(CfgPtr& cfg, const char* path) {
  if (!cfg) cfg.reset(CreateCfg());
  if (ReadCfgFile(cfg.get(), path) != 0) TraceError("cannot parse '%s'", path);
}

// The configuration files in the order they are read. Later reads replace earlier values, so
// the files are read from the last root to the first and the file the registry names comes last.
std::vector<std::string> ConfigFiles() {
  std::vector<std::string> files;
  unsigned count = GetNumberOfRoots();
  for (unsigned i = count; i-- > 0;) {
    char root[kRootBufferSize];
    if (GetRootDirectory(i, root) == nullptr) continue;
    std::string path = root;
    if (path.empty() || !IsDirectoryDelimiter(static_cast<unsigned char>(path.back()))) {
      path += '\\';
    }
    path += "korvid\\config\\korvid.ini";
    if (path.size() < kMaxPath && AccessFile(path.c_str(), 0)) files.push_back(path);
  }
  char named[kMaxPath];
  if (GetRegistryValue(Hive::CurrentUser, "Korvid", "Configuration File", named, sizeof named,
                       nullptr) != nullptr) {
    files.push_back(named);
  }
  return files;
}

void ReadConfigFiles(CfgPtr& cfg) {
  ClearSearchPathCache();
  for (const std::string& file : ConfigFiles()) ReadOneConfigFile(cfg, file.c_str());
}

std::string ApplicationNamesCopy() {
  auto& names = Context().applicationNames;
  LockGuard guard(names.lock);
  return names.list;
}

}  // namespace

char* GetRegistryValue(Hive hive, const char* section, const char* name, char* buffer,
                       std::size_t size, const char* defaultValue) {
  ClearLastError();
  if (hive == Hive::Any) {
    if (GetRegistryValue(Hive::CurrentUser, section, name, buffer, size, nullptr) != nullptr) {
      return buffer;
    }
    return GetRegistryValue(Hive::LocalMachine, section, name, buffer, size, defaultValue);
  }
  if (size == 0) return nullptr;
  char keyName[kMaxKeyName + 1];
  int keyLength = std::snprintf(keyName, sizeof keyName, kKeyFormat, section);
  if (keyLength < 0 || static_cast<std::size_t>(keyLength) > kMaxKeyName) {
    TraceError("registry key name too long for section '%s'", section);
    return Default(buffer, size, defaultValue);
  }

  // The machine's values are read from the 32-bit view of the registry in every build: that is
  // where a 32-bit installer writes them, and a 64-bit program would otherwise see the other view.
  REGSAM access = KEY_READ | (hive == Hive::LocalMachine ? KEY_WOW64_32KEY : 0);
  HKEY rawKey = nullptr;
  LONG status = Registry().openKeyEx(HiveKey(hive), keyName, 0, access, &rawKey);
  if (status != ERROR_SUCCESS) {
    if (status != ERROR_FILE_NOT_FOUND) {
      KORVID_TRACE_WIN32_ERROR(static_cast<unsigned long>(status), keyName);
    }
    return Default(buffer, size, defaultValue);
  }
  DWORD type = 0;
  DWORD bytes = static_cast<DWORD>(size < 0x7fffffff ? size : 0x7fffffff);
  status = Registry().queryValueEx(rawKey, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer),
                                   &bytes);
  LONG closeStatus = Registry().closeKey(rawKey);
  if (closeStatus != ERROR_SUCCESS) {
    KORVID_TRACE_WIN32_ERROR(static_cast<unsigned long>(closeStatus), keyName);
  }
  if (status == ERROR_SUCCESS) {
    if (type != REG_SZ) {
      TraceError("ignoring value '%s' of type %lu", name, static_cast<unsigned long>(type));
      return Default(buffer, size, defaultValue);
    }
    // The stored bytes need not end in a NUL: one is added when there is room for it.
    if (bytes == 0 || buffer[bytes - 1] != '\0') {
      if (bytes >= size) {
        KORVID_TRACE_WIN32_ERROR(ERROR_MORE_DATA, name);
        return Default(buffer, size, defaultValue);
      }
      buffer[bytes] = '\0';
    }
    return buffer;
  }
  if (status != ERROR_FILE_NOT_FOUND) {
    KORVID_TRACE_WIN32_ERROR(static_cast<unsigned long>(status), name);
  }
  return Default(buffer, size, defaultValue);
}

char* GetConfigValue(const char* sections, const char* name, char* buffer, std::size_t size,
                     const char* defaultValue) {
  ClearLastError();
  auto& configFiles = Context().configFiles;
  LockGuard guard(configFiles.lock);
  if (!configFiles.cfg && !(GetStartupFlags() & kStartupNoConfigFiles)) {
    ReadConfigFiles(configFiles.cfg);
  }
  // The list is copied under the application-name lock and split after it is left.
  std::string list = sections != nullptr ? std::string(sections) : ApplicationNamesCopy();
  Tokenizer sectionNames(list.c_str(), ';', kSectionListCopy);
  while (const char* section = sectionNames.Next()) {
    if (LookUpInSection(configFiles.cfg, section, name, buffer, size)) return buffer;
  }
  if (LookUpInSection(configFiles.cfg, "Korvid", name, buffer, size)) return buffer;
  return Default(buffer, size, defaultValue);
}

// The files are read one by one, from the highest rank down, until one sets the value: the
// merged configuration does not keep where each value came from.
ConfigValueOrigin FindConfigValueOrigin(const char* section, const char* name) {
  ClearLastError();
  ConfigValueOrigin origin;
  std::string variable = EnvironmentName(section, name);
  if (GetEnvironmentValue(variable.c_str())) {
    // Spelt as people write it; the platform matches the name in any case.
    for (char& c : variable) {
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    origin.place = ConfigValueOrigin::Place::Environment;
    origin.where = variable;
    return origin;
  }
  if (GetStartupFlags() & kStartupNoConfigFiles) return origin;
  std::vector<std::string> files = ConfigFiles();
  for (auto file = files.rbegin(); file != files.rend(); ++file) {
    CfgPtr cfg;
    ReadOneConfigFile(cfg, file->c_str());
    if (GetCfgValue(cfg.get(), section, name) != nullptr) {
      origin.place = ConfigValueOrigin::Place::ConfigurationFile;
      origin.where = *file;
      return origin;
    }
  }
  return origin;
}

void AddApplicationName(const char* name) {
  ClearLastError();
  auto& names = Context().applicationNames;
  LockGuard guard(names.lock);
  ClearSearchPathCache();
  names.list = names.list.empty() ? std::string(name) : std::string(name) + ";" + names.list;
}

// A list that does not fit the shared buffer is cut after its last whole name that fits.
const char* GetApplicationNames() {
  auto& names = Context().applicationNames;
  LockGuard guard(names.lock);
  std::string_view list = names.list;
  if (list.size() >= kApplicationNamesBuffer) {
    list = list.substr(0, kApplicationNamesBuffer);
    std::size_t lastSeparator = list.find_last_of(';');
    list = list.substr(0, lastSeparator == std::string_view::npos ? 0 : lastSeparator);
  }
  std::memcpy(names.shared, list.data(), list.size());
  names.shared[list.size()] = '\0';
  return names.shared;
}

void ClearApplicationNames() {
  auto& names = Context().applicationNames;
  LockGuard guard(names.lock);
  names.list.clear();
}

void FreeConfig() {
  auto& configFiles = Context().configFiles;
  LockGuard guard(configFiles.lock);
  configFiles.cfg.reset();
}

}  // namespace korvid
