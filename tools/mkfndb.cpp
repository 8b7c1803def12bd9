// mkfndb: builds the file name database of a TEXMF root, lists what a database holds, or checks
// a database against the disk.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fndbbuilder.h"
#include "fndbcheck.h"
#include "fndbview.h"
#include "korvid.h"
#include "tooloptions.h"

namespace {

constexpr char kUsage[] =
    "usage: mkfndb [options] ROOT\n"
    "       mkfndb --list FILE\n"
    "       mkfndb --check [-o FILE] ROOT\n"
    "\n"
    "Builds the file name database of the TEXMF root ROOT: every directory and file below it.\n"
    "\n"
    "options:\n"
    "  -o FILE, --output FILE      write the database to FILE; the default is\n"
    "                              ROOT\\korvid\\config\\texmf.fndb (its directories are made)\n"
    "  -f, --frozen                mark the database frozen: it is never opened for writing\n"
    "  -n N, --names-per-record N  put at most N names (files and subdirectories) into one\n"
    "                              directory record; a larger directory continues in further\n"
    "                              records (0, the default: no limit)\n"
    "  -r N, --reserve N           leave N free bytes after the data (default 4096)\n"
    "  -l FILE, --list FILE        print the directories (ending in '\\') and the files that\n"
    "                              the database FILE holds, one a line, and exit\n"
    "  -c, --check                 compare the database of ROOT (or FILE) with the disk and\n"
    "                              name the files listed but gone and the files not listed;\n"
    "                              exit status 0 current, 1 out of date, 2 failed\n"
    "  -q, --quiet                 print nothing but warnings and errors\n"
    "  -h, --help                  print this text\n"
    "      --version               print the version\n"
    "\n"
    "The database is written to a new file next to the output and then moved over it, so the\n"
    "output holds either its old content or the whole new database. A read-only output is\n"
    "refused. Exit status: 0 done, 1 failed, 2 wrong usage.\n";

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

int Build(korvid::FndbBuildOptions options, bool quiet) {
  korvid::FndbBuildResult result;
  bool built;
  {
    korvid::tools::ConsoleProgress progress(kTool);
    options.progress = [&](const korvid::FndbTreeStatistics& soFar) {
      progress.Update(soFar.directories, soFar.files);
    };
    built = korvid::BuildFndb(options, &result);
  }
  for (const std::string& warning : result.warnings) {
    std::fprintf(stderr, "mkfndb: warning: %s\n", warning.c_str());
  }
  if (!built) {
    std::fprintf(stderr, "mkfndb: %s\n", result.error.c_str());
    return 1;
  }
  if (!quiet) {
    std::printf("mkfndb: wrote '%s': %u directories, %u files, %u bytes, change count %u\n",
                result.output.c_str(), result.statistics.directories, result.statistics.files,
                result.bytes, result.changeCount);
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

enum Option { kOutput, kFrozen, kNamesPerRecord, kReserve, kList, kQuiet, kCheck };
constexpr korvid::tools::OptionDefinition kOptions[] = {
    {'o', "output", true}, {'f', "frozen", false}, {'n', "names-per-record", true},
    {'r', "reserve", true}, {'l', "list", true},    {'q', "quiet", false},
    {'c', "check", false},
};

int Run(int argc, char** argv) {
  using Kind = korvid::tools::OptionParser::Kind;
  korvid::FndbBuildOptions options;
  bool quiet = false;
  bool check = false;
  const char* listPath = nullptr;
  const char* root = nullptr;
  korvid::tools::OptionParser parser(argc, argv, kOptions);
  for (auto item = parser.Next(); item.kind != Kind::End; item = parser.Next()) {
    if (int status = korvid::tools::AnswerCommonItem(item, kTool, kUsage); status >= 0) {
      return status;
    }
    if (item.kind == Kind::Operand) {
      if (root != nullptr) return Usage("only one root can be given");
      root = item.text;
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
    }
  }
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
