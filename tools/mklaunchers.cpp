// mklaunchers: makes tervan.exe the launcher of each Perl script the launcher finds.
#include <algorithm>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "fndbbuilder.h"
#include "fndbview.h"
#include "internal.h"
#include "launch.h"
#include "launcherfiles.h"
#include "launchers.h"
#include "tooloptions.h"

namespace {

using korvid::ExistingFile;
using korvid::LauncherAction;
using korvid::tools::Complain;
using korvid::tools::LauncherSource;
using korvid::tools::Placement;

constexpr char kUsage[] =
    "usage: mklaunchers [options] BINDIR\n"
    "\n"
    "Makes BINDIR\\NAME.exe a launcher (a hard link to BINDIR\\tervan.exe, or a copy where the\n"
    "system refuses links) for every NAME.pl that the launcher finds in the TEXMF roots, through\n"
    "each root's fndb, or on the disk where a root has none. The roots are those the programs\n"
    "beside mklaunchers.exe find: run the mklaunchers.exe of BINDIR.\n"
    "\n"
    "Only launchers (programs whose version resource says tervan) are ever replaced or removed:\n"
    "a launcher of another version or with other bytes is replaced; any other NAME.exe is left\n"
    "alone with a warning. Names the system refuses are passed over with a warning.\n"
    "\n"
    "options:\n"
    "  -c, --copy      make copies instead of hard links\n"
    "  -p, --prune     remove the launchers whose script is no longer found\n"
    "  -n, --dry-run   print what would change, and change nothing\n"
    "  -h, --help      print this text\n"
    "      --version   print the version\n"
    "\n"
    "Exit status: 0 everything done, 1 something passed over or failed, 2 wrong usage.\n";

constexpr char kTool[] = "mklaunchers";
constexpr char kLauncherName[] = "tervan";

int Usage(const std::string& problem) {
  return korvid::tools::UsageError(kTool, problem, kUsage);
}

struct Options {
  std::string bin;  // full path, without a trailing separator
  bool copy = false;
  bool prune = false;
  bool dryRun = false;
};

struct Tally {
  unsigned made = 0;
  unsigned replaced = 0;
  unsigned removed = 0;
  unsigned upToDate = 0;
  unsigned passedOver = 0;
  unsigned failed = 0;
};

void PassOver(const std::string& message, Tally* tally) {
  Complain(kTool, message);
  ++tally->passedOver;
}

std::string WithoutTrailingSeparator(std::string path) {
  while (path.size() > 1 && korvid::IsDirectoryDelimiter(static_cast<unsigned char>(path.back())) &&
         !(path.size() == 3 && path[1] == ':')) {
    path.pop_back();
  }
  return path;
}

std::string RootPath(unsigned index) {
  char root[korvid::kRootBufferSize];
  if (korvid::GetRootDirectory(index, root) == nullptr) return {};
  return root;
}

// ---------------------------------------------------------------------------------------------
// The scripts: every NAME.pl listed below an element of the launcher's pattern (in the root's
// fndb, or on the disk where the root has none), kept when the launcher's own search finds it.

// The name and where it was first listed, for the messages.
using Candidates = std::map<std::string, std::string, korvid::CaseInsensitiveLess>;

// The files of one root's fndb, relative to the root; read once per root.
struct FndbFiles {
  bool listed = false;
  std::vector<std::string> files;
};

FndbFiles ListFndb(unsigned root, Tally* tally) {
  FndbFiles result;
  char path[korvid::kRootBufferSize] = "";
  std::string bytes;
  std::string problem;
  if (!korvid::GetFndbFileName(root, path)) {
    problem = "its file cannot be named";
  } else if (korvid::ReadWholeFile(path, &bytes, &problem)) {
    auto size = static_cast<std::uint32_t>(bytes.size());
    if (korvid::CheckFndbHeader(bytes.data(), size) != korvid::FndbHeaderCheck::Good) {
      problem = "'" + std::string(path) + "' is not an fndb file of this version";
    } else {
      korvid::FndbView view(bytes.data(), size);
      result.listed = view.List([&](std::string_view file, bool isDirectory) {
        if (!isDirectory) result.files.emplace_back(file);
      });
      if (!result.listed) problem = "'" + std::string(path) + "' is damaged";
    }
  }
  if (!result.listed) {
    PassOver("the fndb of '" + RootPath(root) + "' cannot be listed (" + problem +
                 "): its scripts are looked for on the disk",
             tally);
  }
  return result;
}

void AddTreeScripts(const korvid::FndbTreeDirectory& node, const std::string& path,
                    bool recursive, Candidates* candidates) {
  for (const std::string& file : node.files) {
    if (auto name = korvid::ScriptBaseName(file)) {
      candidates->emplace(std::string(*name), path + "\\" + file);
    }
  }
  if (!recursive) return;
  for (const korvid::FndbTreeDirectory& subdirectory : node.subdirectories) {
    AddTreeScripts(subdirectory, path + "\\" + subdirectory.name, true, candidates);
  }
}

void AddDiskScripts(const std::string& directory, bool recursive, Candidates* candidates,
                    Tally* tally) {
  if (!korvid::AccessDirectory(directory.c_str(), 0)) return;  // no such subtree in this root
  korvid::FndbTreeDirectory tree;
  std::vector<std::string> warnings;
  std::string error;
  bool read = korvid::ReadDirectoryTree(directory, &tree, &warnings, &error);
  for (const std::string& warning : warnings) PassOver(warning, tally);
  if (!read) {
    PassOver(error, tally);
    return;
  }
  AddTreeScripts(tree, directory, recursive, candidates);
}

Candidates FindCandidates(Tally* tally) {
  Candidates candidates;
  std::map<unsigned, FndbFiles> fndbs;
  std::shared_ptr<const korvid::SearchPathList> list =
      korvid::ExpandSearchPath(korvid::kScriptSearchPattern);
  for (const std::string& entry : *list) {
    std::size_t marker = korvid::FindRecursionMarker(entry);
    bool recursive = marker != std::string::npos;
    std::string directory = entry.substr(0, marker);
    std::replace(directory.begin(), directory.end(), '/', '\\');
    directory = WithoutTrailingSeparator(directory);
    int root = korvid::DetermineRootDirectory(entry.c_str());
    // As the search does: the root's fndb when it has one that loads, else the disk.
    if (root >= 0 && korvid::GetFndb(static_cast<unsigned>(root))) {
      std::string rootPath = WithoutTrailingSeparator(RootPath(static_cast<unsigned>(root)));
      const char* subtree = korvid::PathCompare(directory.c_str(), rootPath.c_str()) == 0
                                ? ""
                                : korvid::MakeRelative(directory.c_str(), rootPath.c_str());
      auto known = fndbs.find(static_cast<unsigned>(root));
      if (known == fndbs.end()) {
        known = fndbs.emplace(static_cast<unsigned>(root), ListFndb(static_cast<unsigned>(root),
                                                                    tally)).first;
      }
      if (subtree != nullptr && known->second.listed) {
        for (const std::string& file : known->second.files) {
          if (auto name = korvid::ScriptBelow(file, subtree, recursive)) {
            candidates.emplace(std::string(*name), rootPath + "\\" + file);
          }
        }
        continue;
      }
    }
    AddDiskScripts(directory, recursive, &candidates, tally);
  }
  return candidates;
}

// Pruning goes by what the search finds: while a root is not there (a network share offline),
// the launchers of its scripts would all go, so nothing is pruned then.
bool MayPrune(Tally* tally) {
  unsigned count = korvid::GetNumberOfRoots();
  if (count == 0) {
    PassOver("no TEXMF roots are configured: nothing is pruned", tally);
    return false;
  }
  for (unsigned i = 0; i < count; ++i) {
    std::string root = RootPath(i);
    if (!korvid::AccessDirectory(root.c_str(), 0)) {
      PassOver("the root directory '" + root + "' does not exist: nothing is pruned", tally);
      return false;
    }
  }
  return true;
}

// ---------------------------------------------------------------------------------------------
// The bin folder

class LauncherMaker {
 public:
  LauncherMaker(const Options& options, const LauncherSource& source, bool prune, Tally* tally)
      : options(options), source(source), prune(prune), tally(*tally) {}

  void Settle(const std::string& name, bool scriptFound) {
    std::string fileName = name + ".exe";
    std::string target = options.bin + "\\" + fileName;
    std::string reason;
    ExistingFile existing = source.Classify(target, &reason);
    switch (korvid::DecideLauncher(scriptFound, existing, prune)) {
      case LauncherAction::Make:
        Place(fileName, target, false);
        break;
      case LauncherAction::Replace:
        Place(fileName, target, true);
        break;
      case LauncherAction::Remove:
        Remove(fileName, target);
        break;
      case LauncherAction::Keep:
        ++tally.upToDate;
        break;
      case LauncherAction::LeaveAlone:
        PassOver(existing == ExistingFile::Unknown
                     ? "cannot tell whether " + fileName + " is a launcher (" + reason +
                           "): left alone"
                     : fileName + " is not a launcher: left alone",
                 &tally);
        break;
      case LauncherAction::Ignore:
        break;
    }
  }

 private:
  void Place(const std::string& fileName, const std::string& target, bool replace) {
    unsigned& count = replace ? tally.replaced : tally.made;
    if (options.dryRun) {
      std::printf("would %s %s\n", replace ? "replace" : "make", fileName.c_str());
      ++count;
      return;
    }
    Placement placement = Placement::Link;
    std::string linkRefusal;
    std::string error;
    if (!korvid::tools::PlaceLauncher(source, target, replace, options.copy, &placement,
                                      &linkRefusal, &error)) {
      Complain(kTool, error);
      ++tally.failed;
      return;
    }
    if (!linkRefusal.empty() && !linkRefusalTold) {
      Complain(kTool, "the system refuses hard links in '" + options.bin + "' (" + linkRefusal +
                          "): copies are made instead");
      linkRefusalTold = true;
    }
    std::printf("%s %s (%s)\n", replace ? "replaced" : "made", fileName.c_str(),
                placement == Placement::Link ? "hard link" : "copy");
    ++count;
  }

  void Remove(const std::string& fileName, const std::string& target) {
    if (options.dryRun) {
      std::printf("would remove %s\n", fileName.c_str());
      ++tally.removed;
      return;
    }
    std::string error;
    if (!korvid::tools::RemoveLauncher(target, &error)) {
      Complain(kTool, error);
      ++tally.failed;
      return;
    }
    std::printf("removed %s\n", fileName.c_str());
    ++tally.removed;
  }

  const Options& options;
  const LauncherSource& source;
  bool prune;
  Tally& tally;
  bool linkRefusalTold = false;
};

// The roots come from where this program lies; launchers elsewhere may see other roots.
void NoteOtherFolder(const std::string& bin) {
  char directory[korvid::kRootBufferSize];
  if (!korvid::GetProgramDirectory(directory)) return;
  std::string own = WithoutTrailingSeparator(directory);
  if (korvid::PathCompare(own.c_str(), bin.c_str()) != 0) {
    Complain(kTool, "note: the TEXMF roots are those found for the programs in '" + own +
                        "', not in '" + bin + "'");
  }
}

int MakeLaunchers(const Options& options) {
  Tally tally;
  LauncherSource source;
  std::string error;
  if (!source.Open(options.bin + "\\" + kLauncherName + ".exe", &error)) {
    Complain(kTool, error);
    return 1;
  }
  NoteOtherFolder(options.bin);
  bool prune = options.prune && MayPrune(&tally);
  LauncherMaker maker(options, source, prune, &tally);

  // Every name a script claims, those the system refuses included; the other programs of the
  // folder are looked at afterwards, as launchers without a script.
  std::set<std::string, korvid::CaseInsensitiveLess> claimed{kLauncherName};
  for (const auto& [name, listedAt] : FindCandidates(&tally)) {
    if (claimed.contains(name)) continue;
    korvid::LauncherNameProblem problem = korvid::CheckLauncherName(name, options.bin.size());
    if (problem != korvid::LauncherNameProblem::None) {
      claimed.insert(name);
      PassOver("passed over '" + listedAt + "': " + korvid::DescribeLauncherNameProblem(problem),
               &tally);
      continue;
    }
    char scriptPath[korvid::kMaxPath];
    if (!korvid::FindScript(name.c_str(), scriptPath)) continue;
    claimed.insert(name);
    maker.Settle(name, true);
  }
  std::vector<std::string> programs;
  if (!korvid::tools::ListPrograms(options.bin, &programs, &error)) {
    Complain(kTool, error);
    ++tally.failed;
  }
  for (const std::string& name : programs) {
    if (!claimed.contains(name)) maker.Settle(name, false);
  }

  bool dry = options.dryRun;
  std::printf("%s: %u %s, %u %s, %u %s, %u up to date, %u passed over, %u failed%s\n", kTool,
              tally.made, dry ? "to make" : "made", tally.replaced, dry ? "to replace" : "replaced",
              tally.removed, dry ? "to remove" : "removed", tally.upToDate, tally.passedOver,
              tally.failed, dry ? " (dry run: nothing changed)" : "");
  return tally.passedOver + tally.failed == 0 ? 0 : 1;
}

int Run(int argc, char** argv) {
  using Kind = korvid::tools::OptionParser::Kind;
  enum Option { kCopy, kPrune, kDryRun };
  static constexpr korvid::tools::OptionDefinition kOptions[] = {
      {'c', "copy", false}, {'p', "prune", false}, {'n', "dry-run", false}};
  Options options;
  std::vector<const char*> operands;
  korvid::tools::OptionParser parser(argc, argv, kOptions);
  for (auto item = parser.Next(); item.kind != Kind::End; item = parser.Next()) {
    if (int status = korvid::tools::AnswerCommonItem(item, kTool, kUsage); status >= 0) {
      return status;
    }
    if (item.kind == Kind::Operand) {
      operands.push_back(item.text);
      continue;
    }
    switch (item.option) {
      case kCopy:
        options.copy = true;
        break;
      case kPrune:
        options.prune = true;
        break;
      case kDryRun:
        options.dryRun = true;
        break;
    }
  }
  if (operands.empty()) return Usage("no BINDIR given");
  if (operands.size() > 1) return Usage("one BINDIR only");

  char full[korvid::kMaxPath];
  DWORD length = GetFullPathNameA(operands[0], sizeof full, full, nullptr);
  if (length == 0 || length >= sizeof full) {
    Complain(kTool, "the path of '" + std::string(operands[0]) + "' is too long");
    return 1;
  }
  options.bin = WithoutTrailingSeparator(full);
  if (!korvid::AccessDirectory(options.bin.c_str(), 0)) {
    Complain(kTool, "'" + options.bin + "' is not a folder");
    return 1;
  }
  korvid::InitializeLibrary();
  int status = MakeLaunchers(options);
  std::fflush(stdout);
  korvid::UninitializeLibrary();
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  korvid::RestrictDllSearch();
  return Run(argc, argv);
}
