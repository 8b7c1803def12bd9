// kwhere: where the library's file search finds a file, and which roots and fndbs it searches.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fndbbuilder.h"
#include "fndbview.h"
#include "korvid.h"
#include "tooloptions.h"

namespace {

constexpr char kUsage[] =
    "usage: kwhere [options] NAME...\n"
    "       kwhere --roots\n"
    "       kwhere --perl\n"
    "\n"
    "Prints, one line each, the path where the file search finds NAME. The default pattern is\n"
    "the one the launcher finds its script along, so \"kwhere foo.pl\" names the script that\n"
    "foo.exe runs.\n"
    "\n"
    "options:\n"
    "  -p P, --pattern P   search along the pattern P instead (elements separated by ';',\n"
    "                      \"%R\" for every TEXMF root, \"//\" for any depth below)\n"
    "  -a, --all           print the match in every element of the expanded pattern, in search\n"
    "                      order, with its root and whether the root's fndb or the disk answered\n"
    "  -r, --roots         list the TEXMF roots in order, with their marks and fndbs\n"
    "      --perl          print the perl.exe the launcher runs and why (kwhere's own directory\n"
    "                      stands for the launcher's: both lie in the distribution's bin)\n"
    "  -t, --trace         trace the search on standard error (as KORVID_TRACE=all does)\n"
    "  -h, --help          print this text\n"
    "      --version       print the version\n"
    "\n"
    "Exit status: 0 every NAME found (with --perl: a Perl found), 1 a NAME not found (no Perl)\n"
    "or a failure, 2 wrong usage.\n";

constexpr char kTool[] = "kwhere";

int Usage(const std::string& problem) { return korvid::tools::UsageError(kTool, problem, kUsage); }

std::string RootPath(int index) {
  char root[korvid::kRootBufferSize];
  if (index < 0 || korvid::GetRootDirectory(static_cast<unsigned>(index), root) == nullptr) {
    return {};
  }
  return root;
}

const char* SourceText(korvid::FileSource source) {
  switch (source) {
    case korvid::FileSource::Absolute:
      return "as given";
    case korvid::FileSource::CurrentDirectory:
      return "current directory";
    case korvid::FileSource::WorkingDirectory:
      return "working directory";
    case korvid::FileSource::Fndb:
      return "fndb";
    case korvid::FileSource::Disk:
      return "disk";
    case korvid::FileSource::None:
      break;
  }
  return "";
}

// Every element of the expanded pattern in search order; also the places where the disk holds
// the file but the root's fndb does not list it (the search passes over those).
bool FindAll(const char* name, const char* pattern) {
  bool found = false;
  std::shared_ptr<const korvid::SearchPathList> list = korvid::ExpandSearchPath(pattern);
  for (const std::string& entry : *list) {
    char result[korvid::kMaxPath];
    korvid::FileSource source = korvid::FindFileInEntry(name, entry.c_str(), result);
    int root = korvid::DetermineRootDirectory(entry.c_str());
    std::string where = root >= 0 ? "root " + std::to_string(root) + " " + RootPath(root)
                                  : "no root";
    if (source == korvid::FileSource::Absolute) {
      std::printf("%s  (%s)\n", result, SourceText(source));
      return true;
    }
    if (source != korvid::FileSource::None) {
      std::printf("%s  (%s, %s)\n", result, where.c_str(), SourceText(source));
      found = true;
      continue;
    }
    if (root >= 0 && korvid::GetFndb(static_cast<unsigned>(root)) &&
        korvid::FindFileOnDisk(name, entry.c_str(), result)) {
      std::printf("%s  (%s, on disk but not in its fndb: not searched; run mkfndb %s)\n", result,
                  where.c_str(), RootPath(root).c_str());
    }
  }
  return found;
}

struct FndbFacts {
  std::string path;
  bool present = false;
  std::string problem;  // why its content cannot be listed; empty when it can
  std::uint32_t size = 0;
  std::uint32_t files = 0;
};

FndbFacts ReadFndbFacts(unsigned index) {
  FndbFacts facts;
  char path[korvid::kRootBufferSize] = "";
  facts.present = korvid::GetFndbFileName(index, path);
  facts.path = path;
  if (!facts.present) return facts;
  std::string bytes;
  if (!korvid::ReadWholeFile(facts.path, &bytes, &facts.problem)) return facts;
  facts.size = static_cast<std::uint32_t>(bytes.size());
  switch (korvid::CheckFndbHeader(bytes.data(), facts.size)) {
    case korvid::FndbHeaderCheck::Good:
      break;
    case korvid::FndbHeaderCheck::NotFndb:
      facts.problem = "not an fndb file";
      return facts;
    case korvid::FndbHeaderCheck::UnknownVersion:
      facts.problem = "an fndb file of an unknown version";
      return facts;
  }
  korvid::FndbView view(bytes.data(), facts.size);
  bool intact = view.List([&](std::string_view, bool isDirectory) {
    if (!isDirectory) ++facts.files;
  });
  if (!intact) facts.problem = "damaged: entries were passed over";
  return facts;
}

int ListRoots() {
  unsigned count = korvid::GetNumberOfRoots();
  if (count == 0) {
    korvid::tools::Complain(kTool, "no TEXMF roots are configured");
    return 1;
  }
  int status = 0;
  for (unsigned i = 0; i < count; ++i) {
    std::string root = RootPath(static_cast<int>(i));
    std::string marks;
    if (korvid::GetInstallRoot() == static_cast<int>(i)) marks += " [install]";
    if (korvid::GetLocalRoot() == static_cast<int>(i)) marks += " [local]";
    if (!korvid::AccessDirectory(root.c_str(), 0)) {
      marks += " [missing]";
      korvid::tools::Complain(kTool, "the root directory '" + root + "' does not exist");
      status = 1;
    }
    std::printf("%u %s%s\n", i, root.c_str(), marks.c_str());
    FndbFacts facts = ReadFndbFacts(i);
    if (!facts.present) {
      std::printf("  fndb %s: absent (the disk is searched)\n", facts.path.c_str());
      continue;
    }
    if (!facts.problem.empty()) {
      std::printf("  fndb %s: present, %s\n", facts.path.c_str(), facts.problem.c_str());
      korvid::tools::Complain(kTool, "the fndb '" + facts.path + "' cannot be used (" +
                                         facts.problem + "); run mkfndb " + root);
      status = 1;
      continue;
    }
    korvid::FndbReference fndb = korvid::GetFndb(i);
    const char* mode = !fndb ? "cannot be loaded" : fndb->IsReadOnly() ? "frozen" : "writable";
    std::printf("  fndb %s: present, %s, %u bytes, %u files\n", facts.path.c_str(), mode,
                facts.size, facts.files);
  }
  return status;
}

std::string PerlReason(const korvid::PerlCandidate& perl, const std::string& setting) {
  switch (perl.source) {
    case korvid::PerlSource::Configured:
      return "configured, " + setting;
    case korvid::PerlSource::LauncherDirectory:
      return "beside the launcher";
    case korvid::PerlSource::SystemDirectory:
      return "system directory";
    case korvid::PerlSource::PathEntry:
      return "PATH entry " + std::to_string(perl.pathEntry) +
             (perl.currentDirectory ? ", the current directory" : "");
    case korvid::PerlSource::None:
      break;
  }
  return {};
}

// The perl.exe the launcher would run and why, or why there is none.
int ShowPerl() {
  korvid::PerlLocation location = korvid::LocatePerl();
  if (std::string problem = korvid::DescribePerlProblem(location); !problem.empty()) {
    korvid::tools::Complain(kTool, problem);
    return 1;
  }
  if (location.problem == korvid::PerlProblem::None) {
    std::printf("%s  (%s)\n", location.perl.path.c_str(),
                PerlReason(location.perl, location.setting).c_str());
  } else {
    korvid::tools::Complain(
        kTool, "perl.exe is not beside the launcher, in a system directory or in a PATH entry");
    for (const korvid::PassedOverPathEntry& entry : location.plan.passedOver) {
      bool tooLong = entry.reason == korvid::PassedOverPathEntry::Reason::TooLong;
      korvid::tools::Complain(kTool, "PATH entry " + std::to_string(entry.position) + " '" +
                                         entry.entry + "' is not searched: " +
                                         (tooLong ? "its perl.exe would be too long"
                                                  : "it depends on the current directory"));
    }
  }
  // Where the launcher used to find a perl.exe first, it now needs to be asked for.
  char current[korvid::kMaxPath];
  if (location.perl.source != korvid::PerlSource::Configured &&
      korvid::GetWorkingDirectory(0, current) != nullptr) {
    std::string here = current;
    if (!korvid::IsDirectoryDelimiter(static_cast<unsigned char>(here.back()))) here += '\\';
    here += "perl.exe";
    if (korvid::AccessFile(here.c_str(), 0) &&
        (location.problem != korvid::PerlProblem::None ||
         korvid::PathCompare(here.c_str(), location.perl.path.c_str()) != 0)) {
      korvid::tools::Complain(kTool, here + " is not run: the current directory is searched only "
                                            "where the PATH names it");
    }
  }
  return location.problem == korvid::PerlProblem::None ? 0 : 1;
}

int Run(int argc, char** argv) {
  using Kind = korvid::tools::OptionParser::Kind;
  enum Option { kPattern, kAll, kRoots, kTrace, kPerl };
  static constexpr korvid::tools::OptionDefinition kOptions[] = {
      {'p', "pattern", true}, {'a', "all", false},   {'r', "roots", false},
      {'t', "trace", false},  {'\0', "perl", false}};
  const char* pattern = korvid::kScriptSearchPattern;
  bool all = false;
  bool roots = false;
  bool trace = false;
  bool perl = false;
  std::vector<const char*> names;
  korvid::tools::OptionParser parser(argc, argv, kOptions);
  for (auto item = parser.Next(); item.kind != Kind::End; item = parser.Next()) {
    if (int status = korvid::tools::AnswerCommonItem(item, kTool, kUsage); status >= 0) {
      return status;
    }
    if (item.kind == Kind::Operand) {
      names.push_back(item.text);
      continue;
    }
    switch (item.option) {
      case kPattern:
        if (item.value == nullptr || *item.value == '\0') return Usage("--pattern needs a pattern");
        pattern = item.value;
        break;
      case kAll:
        all = true;
        break;
      case kRoots:
        roots = true;
        break;
      case kTrace:
        trace = true;
        break;
      case kPerl:
        perl = true;
        break;
    }
  }
  if (perl && roots) return Usage("--perl and --roots cannot be combined");
  if (perl && !names.empty()) return Usage("--perl takes no NAME");
  if (roots && !names.empty()) return Usage("--roots takes no NAME");
  if (!roots && !perl && names.empty()) return Usage("no NAME given");

  // Start-up reads the variable.
  if (trace) _putenv("KORVID_TRACE=all");
  korvid::InitializeLibrary();
  int status = 0;
  if (roots) {
    status = ListRoots();
  } else if (perl) {
    status = ShowPerl();
  } else {
    for (const char* name : names) {
      if (std::strlen(name) >= korvid::kMaxPath) {
        korvid::tools::Complain(kTool, "the name '" + std::string(name) + "' is longer than " +
                                           std::to_string(korvid::kMaxPath - 1) + " characters");
        status = 1;
        continue;
      }
      char result[korvid::kMaxPath];
      bool found = all ? FindAll(name, pattern) : korvid::FindFile(name, pattern, result);
      if (found && !all) std::printf("%s\n", result);
      if (!found) {
        korvid::tools::Complain(kTool, std::string(name) + " not found");
        status = 1;
      }
    }
  }
  std::fflush(stdout);
  korvid::UninitializeLibrary();
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  korvid::RestrictDllSearch();
  return Run(argc, argv);
}
