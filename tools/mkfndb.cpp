// mkfndb: builds the file name database of a TEXMF root or updates it in place while programs
// hold it, adds and removes paths, lists what a database holds, or checks it against the disk.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fndbbuilder.h"
#include "fndbcheck.h"
#include "fndbview.h"
#include "fndbwriter.h"
#include "korvid.h"
#include "tooloptions.h"
#include "win32.h"

namespace {

constexpr char kUsage[] =
    "usage: mkfndb [options] ROOT\n"
    "       mkfndb --add [-o FILE] ROOT PATH...\n"
    "       mkfndb --remove [-o FILE] ROOT PATH...\n"
    "       mkfndb --list FILE\n"
    "       mkfndb --check [-o FILE] ROOT\n"
    "\n"
    "Builds the file name database of the TEXMF root ROOT: every directory and file below it.\n"
    "When programs hold the database, it is updated in place instead: they see the change at\n"
    "their next search.\n"
    "\n"
    "options:\n"
    "  -o FILE, --output FILE      write the database to FILE; the default is\n"
    "                              ROOT\\korvid\\config\\texmf.fndb (its directories are made)\n"
    "  -f, --frozen                mark the database frozen: it is never opened for writing\n"
    "  -n N, --names-per-record N  put at most N names (files and subdirectories) into one\n"
    "                              directory record; a larger directory continues in further\n"
    "                              records (0, the default: no limit)\n"
    "  -r N, --reserve N           leave N free bytes after the data, for updates in place\n"
    "                              (default 65536)\n"
    "      --add                   list each PATH (a file, or a directory with what lies below\n"
    "                              it) in the database of ROOT, without a walk of the tree\n"
    "      --remove                take each PATH (and what lies below it) out of the database\n"
    "  -l FILE, --list FILE        print the directories (ending in '\\') and the files that\n"
    "                              the database FILE holds, one a line, and exit\n"
    "  -c, --check                 compare the database of ROOT (or FILE) with the disk and\n"
    "                              name the files listed but gone and the files not listed;\n"
    "                              exit status 0 current, 1 out of date, 2 failed\n"
    "  -q, --quiet                 print nothing but warnings and errors\n"
    "  -h, --help                  print this text\n"
    "      --version               print the version\n"
    "\n"
    "A PATH is absolute or relative to the current directory and lies below ROOT.\n"
    "The database is written to a new file next to the output and then moved over it, so the\n"
    "output holds either its old content or the whole new database. While programs hold it,\n"
    "mkfndb ROOT applies the differences between the tree and the database in place; an update\n"
    "in place that does not fit the free space fails with nothing changed. A read-only or\n"
    "frozen database is never changed in place. Exit status: 0 done, 1 failed, 2 wrong usage.\n";

constexpr char kTool[] = "mkfndb";
constexpr char kDefaultOutput[] = "korvid\\config\\texmf.fndb";
constexpr std::size_t kNamesShown = 10;  // --check names this many of each kind

int Usage(const std::string& problem) { return korvid::tools::UsageError(kTool, problem, kUsage); }

std::string Join(const std::string& directory, const std::string& name) {
  if (!directory.empty() && (directory.back() == '\\' || directory.back() == '/')) {
    return directory + name;
  }
  return directory + "\\" + name;
}

bool ParseCount(const char* text, std::uint32_t* value) {
  if (text == nullptr || *text < '0' || *text > '9') return false;
  errno = 0;
  char* end = nullptr;
  unsigned long long parsed = std::strtoull(text, &end, 10);
  if (errno != 0 || *end != '\0' || parsed > UINT32_MAX) return false;
  *value = static_cast<std::uint32_t>(parsed);
  return true;
}

int List(const std::string& path) {
  std::string bytes;
  std::string error;
  if (!korvid::ReadWholeFile(path, &bytes, &error)) {
    std::fprintf(stderr, "mkfndb: %s\n", error.c_str());
    return 1;
  }
  std::uint32_t size = static_cast<std::uint32_t>(bytes.size());
  switch (korvid::CheckFndbHeader(bytes.data(), size)) {
    case korvid::FndbHeaderCheck::Good:
      break;
    case korvid::FndbHeaderCheck::NotFndb:
      std::fprintf(stderr, "mkfndb: '%s' is not an fndb file\n", path.c_str());
      return 1;
    case korvid::FndbHeaderCheck::UnknownVersion:
      std::fprintf(stderr, "mkfndb: '%s' is an fndb file of an unknown version\n", path.c_str());
      return 1;
  }
  korvid::FndbView view(bytes.data(), size);
  bool intact = view.List([](std::string_view entry, bool) {
    std::fwrite(entry.data(), 1, entry.size(), stdout);
    std::fputc('\n', stdout);
  });
  std::fflush(stdout);
  if (!intact) {
    std::fprintf(stderr, "mkfndb: '%s' is damaged: entries were passed over\n", path.c_str());
    return 1;
  }
  return 0;
}

// What to do about a database that is in use and full.
constexpr char kFullAdvice[] =
    "end the programs that hold it and run this again (the database then grows), or run "
    "mkfndb ROOT once they have ended";

void ComplainAboutWriting(const korvid::FndbWriteResult& result) {
  korvid::tools::Complain(kTool, result.error);
  if (result.failure == korvid::FndbWriteFailure::Full) {
    korvid::tools::Complain(kTool, kFullAdvice);
  }
}

// "1 file", "2 files".
std::string Count(std::uint32_t number, const char* one, const char* more) {
  return std::to_string(number) + " " + (number == 1 ? one : more);
}

std::string WrittenInPlace(const korvid::FndbWriteResult& result) {
  std::string text = "change count " + std::to_string(result.changeCount);
  if (result.grown) text += ", grown to " + std::to_string(result.size) + " bytes";
  if (result.repaired) text += "; the writer before had ended half-way";
  return text;
}

int Build(korvid::FndbBuildOptions options, bool quiet) {
  korvid::FndbRefreshResult result;
  bool built;
  {
    korvid::tools::ConsoleProgress progress(kTool);
    options.progress = [&](const korvid::FndbTreeStatistics& soFar) {
      progress.Update(soFar.directories, soFar.files);
    };
    built = korvid::RefreshFndb(options, korvid::FndbWriterOptions{}, &result);
  }
  for (const std::string& warning : result.build.warnings) {
    std::fprintf(stderr, "mkfndb: warning: %s\n", warning.c_str());
  }
  if (!built) {
    if (!result.build.error.empty()) {
      std::fprintf(stderr, "mkfndb: %s\n", result.build.error.c_str());
    } else {
      ComplainAboutWriting(result.write);
    }
    return 1;
  }
  if (quiet) return 0;
  if (!result.inPlace) {
    std::printf("mkfndb: wrote '%s': %u directories, %u files, %u bytes, change count %u\n",
                result.build.output.c_str(), result.build.statistics.directories,
                result.build.statistics.files, result.build.bytes, result.build.changeCount);
    return 0;
  }
  if (!result.write.changed) {
    std::printf("mkfndb: '%s' is in use and lists the tree already: nothing changed\n",
                result.build.output.c_str());
    return 0;
  }
  std::uint32_t filesAdded = 0, directoriesAdded = 0, filesRemoved = 0, directoriesRemoved = 0;
  for (const korvid::FndbDirectoryEdit& edit : result.edits) {
    filesAdded += static_cast<std::uint32_t>(edit.addFiles.size());
    for (const korvid::FndbTreeDirectory& directory : edit.addDirectories) {
      korvid::FndbTreeStatistics below = korvid::CountTree(directory);
      filesAdded += below.files;
      directoriesAdded += below.directories;
    }
    filesRemoved += static_cast<std::uint32_t>(edit.removeFiles.size());
    directoriesRemoved += static_cast<std::uint32_t>(edit.removeDirectories.size());
  }
  std::printf("mkfndb: '%s' is in use: updated it in place: %s and %s added, %s and %s "
              "removed, %s\n",
              result.build.output.c_str(), Count(filesAdded, "file", "files").c_str(),
              Count(directoriesAdded, "directory", "directories").c_str(),
              Count(filesRemoved, "file", "files").c_str(),
              Count(directoriesRemoved, "directory", "directories").c_str(),
              WrittenInPlace(result.write).c_str());
  return 0;
}

// --add and --remove: each PATH as a change of the database, all of them as one update.
int Update(const std::string& root, const std::vector<std::string>& paths,
           const std::string& output, bool add, bool quiet) {
  char fullRoot[korvid::kMaxPath];
  DWORD length = GetFullPathNameA(root.c_str(), sizeof fullRoot, fullRoot, nullptr);
  if (length == 0 || length >= sizeof fullRoot) return Usage("cannot use the root '" + root + "'");
  std::vector<std::string> relatives;
  for (const std::string& path : paths) {
    char full[korvid::kMaxPath];
    length = GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
    const char* relative =
        length == 0 || length >= sizeof full ? nullptr : korvid::MakeRelative(full, fullRoot);
    while (relative != nullptr &&
           korvid::IsDirectoryDelimiter(static_cast<unsigned char>(*relative))) {
      ++relative;
    }
    if (relative == nullptr || *relative == '\0') {
      return Usage("'" + path + "' does not lie below the root '" + root + "'");
    }
    relatives.push_back(relative);
  }
  std::vector<korvid::FndbChange> changes;
  using Kind = korvid::FndbChange::Kind;
  for (std::size_t i = 0; i < paths.size(); ++i) {
    if (!add) {
      changes.push_back({Kind::RemoveFile, relatives[i], {}});
      changes.push_back({Kind::RemoveTree, relatives[i], {}});
      continue;
    }
    DWORD attributes = GetFileAttributesA(paths[i].c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
      korvid::tools::Complain(kTool,
                              "cannot add '" + paths[i] + "': it does not exist; nothing changed");
      return 1;
    }
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
      changes.push_back({Kind::AddFile, relatives[i], {}});
      continue;
    }
    korvid::FndbChange change{Kind::AddTree, relatives[i], {}};
    std::vector<std::string> warnings;
    std::string error;
    if (!korvid::ReadDirectoryTree(paths[i], &change.content, &warnings, &error)) {
      korvid::tools::Complain(kTool, error);
      return 1;
    }
    for (const std::string& warning : warnings) {
      korvid::tools::Complain(kTool, "warning: " + warning);
    }
    changes.push_back(std::move(change));
  }

  std::string fndbPath = output.empty() ? Join(root, kDefaultOutput) : output;
  korvid::FndbWriteResult result;
  if (!korvid::UpdateFndb(fndbPath, changes, korvid::FndbWriterOptions{}, &result)) {
    ComplainAboutWriting(result);
    if (result.failure == korvid::FndbWriteFailure::Missing) {
      korvid::tools::Complain(kTool, "run mkfndb " + root + " first");
    }
    return 1;
  }
  if (quiet) return 0;
  for (std::size_t i = 0; i < paths.size(); ++i) {
    bool changed;
    if (add) {
      changed = result.outcomes[i] == korvid::FndbPlanOutcome::Planned;
    } else {
      changed = result.outcomes[2 * i] == korvid::FndbPlanOutcome::Planned ||
                result.outcomes[2 * i + 1] == korvid::FndbPlanOutcome::Planned;
    }
    const char* verb = add ? "added" : "removed";
    if (changed) {
      std::printf("mkfndb: %s '%s'\n", verb, relatives[i].c_str());
    } else {
      std::printf("mkfndb: '%s' is %s: nothing changed\n", relatives[i].c_str(),
                  add ? "listed already" : "not listed");
    }
  }
  if (result.changed) {
    std::printf("mkfndb: updated '%s' in place: %s\n", fndbPath.c_str(),
                WrittenInPlace(result).c_str());
  }
  return 0;
}

void PrintNames(const char* what, const std::vector<std::string>& names) {
  if (names.empty()) return;
  std::printf("%zu %s%s:\n", names.size(), names.size() == 1 ? "file " : "files ", what);
  for (std::size_t i = 0; i < names.size() && i < kNamesShown; ++i) {
    std::printf("  %s\n", names[i].c_str());
  }
  if (names.size() > kNamesShown) std::printf("  ...\n");
}

// 0: the database lists exactly the files below the root; 1: it does not; 2: failed.
int Check(const std::string& root, const std::string& output) {
  std::string fndbPath = output.empty() ? Join(root, kDefaultOutput) : output;
  if (fndbPath.size() >= korvid::kMaxPath) {
    korvid::tools::Complain(kTool, "the path '" + fndbPath + "' is longer than " +
                                       std::to_string(korvid::kMaxPath - 1) + " characters");
    return 2;
  }
  if (!korvid::AccessDirectory(root.c_str(), 0)) {
    korvid::tools::Complain(kTool, korvid::AccessFile(root.c_str(), 0)
                                       ? "the root '" + root + "' is not a directory"
                                       : "the root directory '" + root + "' does not exist");
    return 2;
  }
  korvid::FndbTreeDirectory tree;
  std::vector<std::string> warnings;
  std::string error;
  {
    korvid::tools::ConsoleProgress progress(kTool);
    auto update = [&](const korvid::FndbTreeStatistics& soFar) {
      progress.Update(soFar.directories, soFar.files);
    };
    if (!korvid::ReadDirectoryTree(root, &tree, &warnings, &error, update)) {
      korvid::tools::Complain(kTool, error);
      return 2;
    }
  }
  for (const std::string& warning : warnings) {
    korvid::tools::Complain(kTool, "warning: " + warning);
  }
  std::string bytes;
  if (!korvid::ReadWholeFile(fndbPath, &bytes, &error)) {
    korvid::tools::Complain(kTool, error);
    return 2;
  }
  std::uint32_t size = static_cast<std::uint32_t>(bytes.size());
  if (korvid::CheckFndbHeader(bytes.data(), size) != korvid::FndbHeaderCheck::Good) {
    korvid::tools::Complain(kTool, "'" + fndbPath + "' is not an fndb file of this version");
    return 2;
  }
  // The database file itself appears on the disk once it has been written.
  std::vector<std::string> ignored;
  const char* relative = korvid::MakeRelative(fndbPath.c_str(), root.c_str());
  if (relative != nullptr) {
    while (*relative == '\\' || *relative == '/') ++relative;
    ignored.push_back(relative);
  }
  korvid::FndbView view(bytes.data(), size);
  korvid::FndbComparison comparison = korvid::CompareFndbWithTree(view, tree, ignored);
  if (!comparison.intact) {
    korvid::tools::Complain(kTool, "'" + fndbPath + "' is damaged: entries were passed over");
    return 2;
  }
  if (comparison.Current()) {
    std::printf("mkfndb: '%s' is current\n", fndbPath.c_str());
    return 0;
  }
  std::printf("mkfndb: '%s' is out of date\n", fndbPath.c_str());
  PrintNames("listed but gone", comparison.gone);
  PrintNames("on disk but not listed", comparison.unlisted);
  std::printf("run mkfndb %s\n", root.c_str());
  return 1;
}

enum Option { kOutput, kFrozen, kNamesPerRecord, kReserve, kList, kQuiet, kCheck, kAdd, kRemove };
constexpr korvid::tools::OptionDefinition kOptions[] = {
    {'o', "output", true},  {'f', "frozen", false}, {'n', "names-per-record", true},
    {'r', "reserve", true}, {'l', "list", true},    {'q', "quiet", false},
    {'c', "check", false},  {'\0', "add", false},   {'\0', "remove", false},
};

int Run(int argc, char** argv) {
  using Kind = korvid::tools::OptionParser::Kind;
  korvid::FndbBuildOptions options;
  bool quiet = false;
  bool check = false;
  bool add = false;
  bool remove = false;
  const char* listPath = nullptr;
  const char* root = nullptr;
  std::vector<std::string> paths;
  korvid::tools::OptionParser parser(argc, argv, kOptions);
  for (auto item = parser.Next(); item.kind != Kind::End; item = parser.Next()) {
    if (int status = korvid::tools::AnswerCommonItem(item, kTool, kUsage); status >= 0) {
      return status;
    }
    if (item.kind == Kind::Operand) {
      if (root == nullptr) {
        root = item.text;
      } else {
        paths.push_back(item.text);
      }
      continue;
    }
    switch (item.option) {
      case kOutput:
        if (item.value == nullptr || *item.value == '\0') return Usage("--output needs a file");
        options.output = item.value;
        break;
      case kFrozen:
        options.frozen = true;
        break;
      case kNamesPerRecord:
        if (!ParseCount(item.value, &options.namesPerRecord)) {
          return Usage("--names-per-record needs a number");
        }
        break;
      case kReserve:
        if (!ParseCount(item.value, &options.reserve)) return Usage("--reserve needs a number");
        break;
      case kList:
        listPath = item.value;
        if (listPath == nullptr) return Usage("--list needs a file");
        break;
      case kQuiet:
        quiet = true;
        break;
      case kCheck:
        check = true;
        break;
      case kAdd:
        add = true;
        break;
      case kRemove:
        remove = true;
        break;
    }
  }
  if (add && remove) return Usage("--add and --remove cannot be given together");
  if ((add || remove) && (check || listPath != nullptr)) {
    return Usage(std::string(add ? "--add" : "--remove") + " cannot be given with " +
                 (check ? "--check" : "--list"));
  }
  if (add || remove) {
    if (root == nullptr) return Usage("no root given");
    if (paths.empty()) return Usage(std::string(add ? "--add" : "--remove") + " needs a PATH");
    return Update(root, paths, options.output, add, quiet);
  }
  if (!paths.empty()) return Usage("only one root can be given");
  if (listPath != nullptr) {
    if (root != nullptr) return Usage("--list takes no root");
    return List(listPath);
  }
  if (root == nullptr) return Usage("no root given");
  if (check) return Check(root, options.output);
  options.root = root;
  return Build(options, quiet);
}

}  // namespace

int main(int argc, char** argv) {
  korvid::RestrictDllSearch();
  korvid::InitializeLibrary();
  int status = Run(argc, argv);
  korvid::UninitializeLibrary();
  return status;
}
