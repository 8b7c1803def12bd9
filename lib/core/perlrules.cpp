// Where the launcher may look for perl.exe: what a PATH entry means, the places in search order,
// and whether a configured Perl can be run at all.
#include "korvid/path.h"
#include "korvid/perl.h"

namespace korvid {
namespace {

constexpr char kPerlName[] = "perl.exe";

bool IsLetter(unsigned char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

bool IsSeparator(char c) { return IsDirectoryDelimiter(static_cast<unsigned char>(c)); }

// "." alone or followed only by separators.
bool IsDot(std::string_view entry) {
  if (entry.empty() || entry[0] != '.') return false;
  for (std::size_t i = 1; i < entry.size(); ++i) {
    if (!IsSeparator(entry[i])) return false;
  }
  return true;
}

// The directory's perl.exe, or empty when it would not fit kMaxPath with its NUL.
std::string PerlIn(std::string_view directory) {
  std::string path(directory);
  if (!IsSeparator(path.back())) path += '\\';
  path += kPerlName;
  return path.size() < kMaxPath ? path : std::string();
}

void AddCandidate(PerlSearchPlan& plan, PerlSource source, std::string_view directory) {
  if (directory.empty()) return;
  std::string path = PerlIn(directory);
  if (!path.empty()) plan.candidates.push_back({source, path, 0, false});
}

}  // namespace

bool IsFullPath(std::string_view path) {
  if (path.size() >= 3 && IsLetter(static_cast<unsigned char>(path[0])) && path[1] == ':' &&
      IsSeparator(path[2])) {
    return true;
  }
  return path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1]);
}

// A PATH entry is one of four kinds:
//   1. empty (";;", or only quotes): skipped;
//   2. "." with or without trailing separators: the current directory, which the user asked for;
//   3. a full path: that directory;
//   4. anything else ("bin", "..", "C:perl", "\perl\bin", "%SystemRoot%"): passed over, since a
//      perl.exe found there would depend on the current directory or drive, which is the folder
//      the user happens to be in.
// Double quotes are removed first: cmd.exe accepts quoted entries, and no path holds a quote.
PerlSearchPlan PlanPerlSearch(std::string_view launcherDirectory,
                              const std::vector<std::string>& systemDirectories,
                              std::string_view path, std::string_view currentDirectory) {
  PerlSearchPlan plan;
  AddCandidate(plan, PerlSource::LauncherDirectory, launcherDirectory);
  for (const std::string& directory : systemDirectories) {
    AddCandidate(plan, PerlSource::SystemDirectory, directory);
  }
  unsigned position = 0;
  while (!path.empty()) {
    std::size_t semicolon = path.find(';');
    std::string_view entry = path.substr(0, semicolon);
    path.remove_prefix(semicolon == std::string_view::npos ? path.size() : semicolon + 1);
    ++position;
    std::string directory;
    for (char c : entry) {
      if (c != '"') directory += c;
    }
    if (directory.empty()) continue;
    bool dot = IsDot(directory);
    if (dot && currentDirectory.empty()) continue;  // unknown: nothing to search
    if (!dot && !IsFullPath(directory)) {
      plan.passedOver.push_back(
          {position, std::string(entry), PassedOverPathEntry::Reason::DependsOnCurrentDirectory});
      continue;
    }
    std::string perl = PerlIn(dot ? currentDirectory : std::string_view(directory));
    if (perl.empty()) {
      plan.passedOver.push_back(
          {position, std::string(entry), PassedOverPathEntry::Reason::TooLong});
      continue;
    }
    plan.candidates.push_back({PerlSource::PathEntry, perl, position, dot});
  }
  return plan;
}

PerlProblem CheckConfiguredPerl(std::string_view value) {
  if (value.size() >= kMaxPath) return PerlProblem::TooLong;
  if (!IsFullPath(value)) return PerlProblem::NotFullPath;
  return PerlProblem::None;
}

}  // namespace korvid
