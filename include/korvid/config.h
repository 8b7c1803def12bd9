// Configuration values and application names (lib/config): a value of the sections that the
// running application's names give, from the environment or the configuration files; the values
// of the distribution's registry key; the list of application names.
#pragma once

#include <cstddef>
#include <string>

namespace korvid {

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

}  // namespace korvid
