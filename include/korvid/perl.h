// Finding Perl (lib/findperl; the rules over text in lib/core/perlrules): the perl.exe the
// launcher runs, a configured one or the first in the places searched, and why there is none.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace korvid {

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
