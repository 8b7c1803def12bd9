// Finding the perl.exe the launcher runs: a configured one, or the first in the trusted places.
#include "internal.h"

#include <string>
#include <vector>

namespace korvid {
namespace {

constexpr char kSection[] = "Korvid";
constexpr char kValueName[] = "Perl";
// Room for any environment value, so that a long one is refused rather than passed over.
constexpr std::size_t kValueBufferSize = 32768;

// The configured value and where it is set; false when no place sets it.
bool ReadPerlSetting(std::string* value, std::string* setting) {
  std::vector<char> buffer(kValueBufferSize);
  if (GetConfigValue(kSection, kValueName, buffer.data(), buffer.size(), nullptr) != nullptr) {
    *value = buffer.data();
    ConfigValueOrigin origin = FindConfigValueOrigin(kSection, kValueName);
    switch (origin.place) {
      case ConfigValueOrigin::Place::Environment:
        *setting = "set by " + origin.where;
        break;
      case ConfigValueOrigin::Place::ConfigurationFile:
        *setting = "set in " + origin.where;
        break;
      case ConfigValueOrigin::Place::None:
        *setting = "set in the configuration files";
        break;
    }
    return true;
  }
  const std::pair<Hive, const char*> hives[] = {
      {Hive::CurrentUser, "HKEY_CURRENT_USER"}, {Hive::LocalMachine, "HKEY_LOCAL_MACHINE"}};
  for (const auto& [hive, hiveName] : hives) {
    if (GetRegistryValue(hive, kSection, kValueName, buffer.data(), buffer.size(), nullptr) !=
        nullptr) {
      *value = buffer.data();
      *setting = std::string("set in ") + hiveName + "\\Software\\Zef\\Korvid\\CurrentVersion\\" +
                 kSection;
      return true;
    }
  }
  return false;
}

// The system directories in the order SearchPathA takes them: the system directory, the 16-bit
// system directory, the Windows directory. One that cannot be had is left out.
std::vector<std::string> SystemDirectories() {
  std::vector<std::string> directories;
  char buffer[kMaxPath];
  UINT length = GetSystemDirectoryA(buffer, sizeof buffer);
  if (length != 0 && length < sizeof buffer) directories.emplace_back(buffer, length);
  length = GetWindowsDirectoryA(buffer, sizeof buffer);
  if (length != 0 && length < sizeof buffer) {
    std::string windows(buffer, length);
    directories.push_back(windows + (IsDirectoryDelimiter(windows.back()) ? "" : "\\") + "System");
    directories.push_back(windows);
  }
  return directories;
}

}  // namespace

PerlLocation LocatePerl() {
  ClearLastError();
  PerlLocation location;
  std::string value;
  if (ReadPerlSetting(&value, &location.setting) && !value.empty()) {
    location.perl.source = PerlSource::Configured;
    location.perl.path = value;
    location.problem = CheckConfiguredPerl(value);
    if (location.problem == PerlProblem::None && !AccessFile(value.c_str(), 0)) {
      location.problem = PerlProblem::NoSuchFile;
    }
    return location;
  }
  location.setting.clear();

  char launcherDirectory[kRootBufferSize];
  if (!GetProgramDirectory(launcherDirectory)) launcherDirectory[0] = '\0';
  char currentDirectory[kMaxPath];
  if (GetWorkingDirectory(0, currentDirectory) == nullptr) currentDirectory[0] = '\0';
  location.plan = PlanPerlSearch(launcherDirectory, SystemDirectories(),
                                 GetEnvironmentValue("PATH").value_or(""), currentDirectory);
  for (const PerlCandidate& candidate : location.plan.candidates) {
    if (AccessFile(candidate.path.c_str(), 0)) {
      location.perl = candidate;
      location.problem = PerlProblem::None;
      break;
    }
  }
  return location;
}

std::string DescribePerlProblem(const PerlLocation& location) {
  std::string what;
  switch (location.problem) {
    case PerlProblem::NotFullPath:
      what = "is not a full path";
      break;
    case PerlProblem::TooLong:
      what = "is longer than " + std::to_string(kMaxPath - 1) + " characters";
      break;
    case PerlProblem::NoSuchFile:
      what = "is not an existing file";
      break;
    case PerlProblem::None:
    case PerlProblem::NotFound:
      return {};
  }
  return "the configured Perl '" + location.perl.path + "' (" + location.setting + ") " + what;
}

}  // namespace korvid
