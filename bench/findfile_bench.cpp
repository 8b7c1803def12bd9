// Benchmark of the file search: two generated TEXMF roots shaped like TeX trees, the launcher's
// seven-element pattern, a name that lies in the last element's subtree of the second root;
// searched through fndbs and on the disk, in fresh processes and repeated.
//
// usage: findfile_bench [--files N] [--runs R] [--dir DIRECTORY]
// The trees are made once (below DIRECTORY, by default the system's temporary folder) and kept for
// later runs.
#include "bench.h"
#include "fndbbuilder.h"
#include "internal.h"
#include "registry_sandbox.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using namespace korvid;

namespace {

using bench::MakeDirectories;
using bench::Median;
using bench::Now;

constexpr char kPattern[] =
    "%R/context//;%R/korvid//;%R/nts//;%R/pdftex//;%R/psutils//;%R/source//;%R/tex//";
constexpr char kTarget[] = "zz-target.sty";

void Touch(const std::string& path) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
}

// A root of about `files` files, ten to a directory, in the seven subtrees (most of them in tex
// and source, as in a TeX distribution), three levels deep.
void MakeRoot(const std::string& root, unsigned files, bool withTarget) {
  struct Share { const char* tree; unsigned percent; };
  const Share shares[] = {{"context", 6}, {"korvid", 1}, {"nts", 1},   {"pdftex", 2},
                          {"psutils", 1}, {"source", 19}, {"tex", 70}};
  unsigned made = 0;
  for (const Share& share : shares) {
    unsigned count = files * share.percent / 100;
    for (unsigned i = 0; i < count; ++i, ++made) {
      unsigned directory = i / 10;
      char path[kMaxPath];
      std::snprintf(path, sizeof path, "%s\\%s\\group%02u\\package%04u", root.c_str(), share.tree,
                    directory % 40, directory / 40);
      if (i % 10 == 0) MakeDirectories(path);
      std::string file = std::string(path) + "\\file" + std::to_string(i % 10) + ".sty";
      Touch(file);
    }
  }
  if (withTarget) {
    std::string deep = root + "\\tex\\group39\\zz-deep\\zz-deeper";
    MakeDirectories(deep);
    Touch(deep + "\\" + kTarget);
  }
  Touch(root + "\\made");
}

bool BuildDatabase(const std::string& root) {
  FndbBuildOptions options;
  options.root = root;
  FndbBuildResult result;
  if (!BuildFndb(options, &result)) {
    std::fprintf(stderr, "findfile_bench: %s\n", result.error.c_str());
    return false;
  }
  return true;
}

// Child: one fresh library context, the first search, then repeated ones. Prints
// "first_ms repeated_us init_ms".
int Child(const char* expected) {
  testing_support::JoinParentRegistrySandbox();
  double start = Now();
  InitializeLibrary();
  double initialized = Now();
  char result[kMaxPath];
  bool found = FindFile(kTarget, kPattern, result);
  double first = Now();
  if (!found || std::strcmp(result, expected) != 0) {
    std::fprintf(stderr, "findfile_bench: found '%s' instead of '%s'\n", found ? result : "",
                 expected);
    return 1;
  }
  const int repeats = first - initialized > 0.05 ? 3 : 200;  // disk walks are slow
  double before = Now();
  for (int i = 0; i < repeats; ++i) FindFile(kTarget, kPattern, result);
  double after = Now();
  std::printf("%.3f %.3f %.3f\n", (first - initialized) * 1e3, (after - before) / repeats * 1e6,
              (initialized - start) * 1e3);
  UninitializeLibrary();
  return 0;
}

struct Figures {
  double first = 0, repeated = 0, init = 0;
};

bool RunChildren(const std::string& self, const std::string& expected, int runs, Figures* figures) {
  std::vector<double> firsts, repeats, inits;
  for (int i = 0; i < runs; ++i) {
    std::string command = "\"" + self + "\" --child \"" + expected + "\"";
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE readEnd, writeEnd;
    CreatePipe(&readEnd, &writeEnd, &inherit, 0);
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writeEnd;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    PROCESS_INFORMATION process;
    if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                        &startup, &process)) {
      return false;
    }
    CloseHandle(writeEnd);
    std::string out;
    char chunk[256];
    DWORD n;
    while (ReadFile(readEnd, chunk, sizeof chunk, &n, nullptr) && n > 0) out.append(chunk, n);
    CloseHandle(readEnd);
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 1;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    double first, repeated, init;
    if (code != 0 || std::sscanf(out.c_str(), "%lf %lf %lf", &first, &repeated, &init) != 3) {
      return false;
    }
    firsts.push_back(first);
    repeats.push_back(repeated);
    inits.push_back(init);
  }
  figures->first = Median(firsts);
  figures->repeated = Median(repeats);
  figures->init = Median(inits);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--child") == 0) return Child(argv[2]);

  unsigned files = 150000;
  int runs = 15;
  char temp[kMaxPath];
  GetTempPathA(sizeof temp, temp);
  std::string directory = std::string(temp) + "korvid-findfile-bench";
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--files") == 0) files = static_cast<unsigned>(std::atoi(argv[i + 1]));
    if (std::strcmp(argv[i], "--runs") == 0) runs = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--dir") == 0) directory = argv[i + 1];
  }
  directory += "-" + std::to_string(files);
  const std::string r0 = directory + "\\r0";
  const std::string r1 = directory + "\\r1";
  if (GetFileAttributesA((r1 + "\\made").c_str()) == INVALID_FILE_ATTRIBUTES) {
    std::printf("making two roots of %u files each in %s...\n", files, directory.c_str());
    std::fflush(stdout);
    double start = Now();
    MakeRoot(r0, files, false);
    MakeRoot(r1, files, true);
    std::printf("  made in %.1f s\n", Now() - start);
  }
  double start = Now();
  if (!BuildDatabase(r0) || !BuildDatabase(r1)) return 1;
  std::printf("fndbs built in %.2f s\n", Now() - start);

  // The roots go to the registry of a sandbox of this process, which the children join.
  std::string sandbox = "Software\\KorvidBench\\" + std::to_string(GetCurrentProcessId());
  testing_support::EnterRegistrySandbox(sandbox);
  SetEnvironmentVariableA(testing_support::kRegistrySandboxVariable, sandbox.c_str());
  HKEY key;
  RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Zef\\Korvid\\CurrentVersion\\Korvid", 0, nullptr,
                  0, KEY_WRITE, nullptr, &key, nullptr);
  std::string list = r0 + ";" + r1;
  RegSetValueExA(key, "TeXMF Root Directories", 0, REG_SZ,
                 reinterpret_cast<const BYTE*>(list.c_str()), static_cast<DWORD>(list.size() + 1));
  RegCloseKey(key);

  char self[kMaxPath];
  GetModuleFileNameA(nullptr, self, sizeof self);
  const std::string expected = r1 + "\\tex\\group39\\zz-deep\\zz-deeper\\" + kTarget;

  Figures withFndb, onDisk;
  bool ok = RunChildren(self, expected, runs, &withFndb);
  // Without databases: they are moved aside, so that both roots are walked on the disk.
  for (const std::string& root : {r0, r1}) {
    std::string fndb = root + "\\korvid\\config\\texmf.fndb";
    MoveFileExA(fndb.c_str(), (fndb + ".off").c_str(), MOVEFILE_REPLACE_EXISTING);
  }
  ok = ok && RunChildren(self, expected, std::max(3, runs / 3), &onDisk);
  for (const std::string& root : {r0, r1}) {
    std::string fndb = root + "\\korvid\\config\\texmf.fndb";
    MoveFileExA((fndb + ".off").c_str(), fndb.c_str(), MOVEFILE_REPLACE_EXISTING);
  }
  RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
  RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
  RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\KorvidBench");
  if (!ok) {
    std::fprintf(stderr, "findfile_bench: a child run failed\n");
    return 1;
  }
  std::printf("two roots of %u files, launcher pattern, target in the second root's tex subtree\n",
              files);
  std::printf("  %-12s first search %9.3f ms   repeated %10.1f us   (start-up %.2f ms)\n",
              "with fndbs", withFndb.first, withFndb.repeated, withFndb.init);
  std::printf("  %-12s first search %9.3f ms   repeated %10.1f us   (start-up %.2f ms)\n",
              "disk walk", onDisk.first, onDisk.repeated, onDisk.init);
  std::printf("  disk walk / fndb: first %.0fx, repeated %.0fx\n", onDisk.first / withFndb.first,
              onDisk.repeated / withFndb.repeated);
  return 0;
}
