// The rules of mklaunchers over names: scripts below a subtree, launcher names the system accepts,
// and the fate of each existing file.
#include "launchers.h"

#include "core.h"

#include "korvid/path.h"
#include "korvid/text.h"

#include <string>

namespace korvid {
namespace {

constexpr std::string_view kScriptExtension = ".pl";
constexpr std::string_view kProgramExtension = ".exe";
constexpr std::size_t kMaxComponent = 255;

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// The next component of a path from position on (runs of separators skipped); empty at the end.
std::string_view NextComponent(std::string_view path, std::size_t* position) {
  std::size_t start = *position;
  while (start < path.size() && IsSeparator(path[start])) ++start;
  std::size_t end = start;
  while (end < path.size() && !IsSeparator(path[end])) ++end;
  *position = end;
  return path.substr(start, end - start);
}


}  // namespace

std::optional<std::string_view> ScriptBaseName(std::string_view fileName) {
  if (fileName.size() < kScriptExtension.size()) return std::nullopt;
  std::size_t stem = fileName.size() - kScriptExtension.size();
  if (!EqualIgnoringCase(fileName.substr(stem), kScriptExtension)) return std::nullopt;
  return fileName.substr(0, stem);
}

std::optional<std::string_view> ScriptBelow(std::string_view listedPath, std::string_view subtree,
                                            bool recursive) {
  std::size_t inPath = 0;
  std::size_t inSubtree = 0;
  for (std::string_view wanted = NextComponent(subtree, &inSubtree); !wanted.empty();
       wanted = NextComponent(subtree, &inSubtree)) {
    if (!EqualIgnoringCase(NextComponent(listedPath, &inPath), wanted)) return std::nullopt;
  }
  std::string_view name = NextComponent(listedPath, &inPath);
  for (std::string_view next = NextComponent(listedPath, &inPath); !next.empty();
       next = NextComponent(listedPath, &inPath)) {
    if (!recursive) return std::nullopt;
    name = next;
  }
  // A listed directory ends in a separator: its last component is no file name.
  if (name.empty() || (!listedPath.empty() && IsSeparator(listedPath.back()))) {
    return std::nullopt;
  }
  return ScriptBaseName(name);
}

LauncherNameProblem CheckLauncherName(std::string_view name, std::size_t directoryLength) {
  if (name.empty()) return LauncherNameProblem::Empty;
  for (char c : name) {
    if (static_cast<unsigned char>(c) < 0x20 ||
        std::string_view("<>:\"/\\|?*").find(c) != std::string_view::npos) {
      return LauncherNameProblem::ForbiddenCharacter;
    }
  }
  if (name.back() == '.' || name.back() == ' ') return LauncherNameProblem::TrailingDotOrBlank;
  if (IsDeviceName(name)) return LauncherNameProblem::DeviceName;
  std::size_t fileName = name.size() + kProgramExtension.size();
  if (fileName > kMaxComponent || directoryLength + 1 + fileName >= kMaxPath) {
    return LauncherNameProblem::TooLong;
  }
  return LauncherNameProblem::None;
}

const char* DescribeLauncherNameProblem(LauncherNameProblem problem) {
  switch (problem) {
    case LauncherNameProblem::None:
      return "";
    case LauncherNameProblem::Empty:
      return "the name is empty";
    case LauncherNameProblem::ForbiddenCharacter:
      return "the name holds a character that file names cannot hold";
    case LauncherNameProblem::TrailingDotOrBlank:
      return "the name ends in a dot or a blank";
    case LauncherNameProblem::DeviceName:
      return "the name is a device name";
    case LauncherNameProblem::TooLong:
      return "the launcher's path would be longer than 259 characters";
  }
  return "";
}

// 1. A name a script wants gets a launcher where there is none, and an up-to-date one where there
//    is a launcher; any other file there is left alone.
// 2. A launcher whose script is not found (it may still run a script of the current directory)
//    is brought up to date, or removed when pruning.
// 3. Files that are not launchers and that no script wants are not looked at.
LauncherAction DecideLauncher(bool scriptFound, ExistingFile existing, bool prune) {
  switch (existing) {
    case ExistingFile::None:
      return scriptFound ? LauncherAction::Make : LauncherAction::Ignore;
    case ExistingFile::CurrentLauncher:
      return !scriptFound && prune ? LauncherAction::Remove : LauncherAction::Keep;
    case ExistingFile::StaleLauncher:
      return !scriptFound && prune ? LauncherAction::Remove : LauncherAction::Replace;
    case ExistingFile::OtherFile:
    case ExistingFile::Unknown:
      return scriptFound ? LauncherAction::LeaveAlone : LauncherAction::Ignore;
  }
  return LauncherAction::Ignore;
}

}  // namespace korvid
