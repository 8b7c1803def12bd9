// The rules of mklaunchers over names: which listed files are scripts below a subtree, which names
// can be launchers, and what becomes of each file already in the bin folder.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace korvid {

// NAME of a file named NAME.pl (the extension in any letter case); none for other files.
std::optional<std::string_view> ScriptBaseName(std::string_view fileName);

// NAME when the file at listedPath (relative to a root, components separated by '\' or '/') is
// NAME.pl and lies in the subtree (relative to the same root; empty: the root itself), at any
// depth below it when recursive, else directly in it. Components compare without regard to ASCII
// letter case; runs of separators count as one.
std::optional<std::string_view> ScriptBelow(std::string_view listedPath, std::string_view subtree,
                                            bool recursive);

// Why NAME.exe cannot be made in a folder.
enum class LauncherNameProblem {
  None,
  Empty,
  ForbiddenCharacter,   // a control character or one of < > : " / \ | ? *
  TrailingDotOrBlank,   // the system strips them: the program could not be called by its name
  DeviceName,           // CON, PRN, AUX, NUL, COM0-9, LPT0-9... with any extension
  TooLong,              // folder, '\', NAME and ".exe" reach 260 characters, or NAME.exe 256
};
// directoryLength: the length of the folder's path, to which "\NAME.exe" is added.
LauncherNameProblem CheckLauncherName(std::string_view name, std::size_t directoryLength);
const char* DescribeLauncherNameProblem(LauncherNameProblem problem);

// What the bin folder holds under a launcher's name.
enum class ExistingFile {
  None,
  CurrentLauncher,  // the same file as tervan.exe, or the same bytes
  StaleLauncher,    // a launcher of another version or with other bytes
  OtherFile,        // no launcher: a program of its own, a folder, any other file
  Unknown,          // it cannot be read, so nobody can tell
};

enum class LauncherAction {
  Make,        // nothing there yet
  Keep,        // up to date
  Replace,     // brought up to date
  Remove,      // its script is gone and pruning was asked for
  LeaveAlone,  // a script wants the name, but the file there is not (known to be) a launcher
  Ignore,      // no script wants the name and the file is none of ours
};

// scriptFound: the launcher's search finds NAME.pl.
LauncherAction DecideLauncher(bool scriptFound, ExistingFile existing, bool prune);

}  // namespace korvid
