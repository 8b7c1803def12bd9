// mkfndb: builds the file name database of a TEXMF root, or lists what a database holds.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fndbbuilder.h"
#include "fndbview.h"
#include "korvid.h"

namespace {

constexpr char kUsage[] =
    "usage: mkfndb [options] ROOT\n"
    "       mkfndb --list FILE\n"
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
    "  -q, --quiet                 print nothing but warnings and errors\n"
    "  -h, --help                  print this text\n"
    "\n"
    "The database is written to a new file next to the output and then moved over it, so the\n"
    "output holds either its old content or the whole new database. A read-only output is\n"
    "refused. Exit status: 0 done, 1 failed, 2 wrong usage.\n";

int Usage(const char* problem) {
  std::fprintf(stderr, "mkfndb: %s\n\n%s", problem, kUsage);
  return 2;
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

int Build(const korvid::FndbBuildOptions& options, bool quiet) {
  korvid::FndbBuildResult result;
  bool built = korvid::BuildFndb(options, &result);
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

int Run(int argc, char** argv) {
  korvid::FndbBuildOptions options;
  bool quiet = false;
  const char* listPath = nullptr;
  const char* root = nullptr;
  for (int i = 1; i < argc; ++i) {
    std::string argument = argv[i];
    auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    if (argument == "-h" || argument == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (argument == "-o" || argument == "--output") {
      const char* path = value();
      if (path == nullptr || *path == '\0') return Usage("--output needs a file");
      options.output = path;
    } else if (argument == "-f" || argument == "--frozen") {
      options.frozen = true;
    } else if (argument == "-n" || argument == "--names-per-record") {
      if (!ParseCount(value(), &options.namesPerRecord)) {
        return Usage("--names-per-record needs a number");
      }
    } else if (argument == "-r" || argument == "--reserve") {
      if (!ParseCount(value(), &options.reserve)) return Usage("--reserve needs a number");
    } else if (argument == "-l" || argument == "--list") {
      listPath = value();
      if (listPath == nullptr) return Usage("--list needs a file");
    } else if (argument == "-q" || argument == "--quiet") {
      quiet = true;
    } else if (argument.size() > 1 && argument[0] == '-') {
      return Usage(("unknown option " + argument).c_str());
    } else if (root == nullptr) {
      root = argv[i];
    } else {
      return Usage("only one root can be given");
    }
  }
  if (listPath != nullptr) {
    if (root != nullptr) return Usage("--list takes no root");
    return List(listPath);
  }
  if (root == nullptr) return Usage("no root given");
  options.root = root;
  return Build(options, quiet);
}

}  // namespace

int main(int argc, char** argv) {
  korvid::InitializeLibrary();
  int status = Run(argc, argv);
  korvid::UninitializeLibrary();
  return status;
}
