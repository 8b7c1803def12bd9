// Benchmark of the file search: two generated TEXMF roots shaped like TeX trees, the launcher's
// seven-element pattern, a name that lies in the last element's subtree of the second root;
// searched through fndbs and on the disk, in fresh processes and repeated.
//
// usage: findfile_bench [--files N] [--runs R] [--dir DIRECTORY] [--baseline OTHER.EXE] [--no-disk]
// The trees and their fndbs are made once (below DIRECTORY, by default the system's temporary
// folder) and kept for later runs. With --baseline, another build of this program (keep a copy of
// an older one) runs its fresh processes in turns with this one's, under the same load.
#include "bench.h"
#include "fndbbuilder.h"
#include "internal.h"
#include "registry_sandbox.h"

#include <direct.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
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

// The figures of one fresh process, as "NAME VALUE" lines (see kLabels).
//   fndb: the first search; then new missing names, each searched once, the first of them one by
//     one, so that it shows after how many searches lookups become fast; the same hit repeated,
//     beside one GetFileAttributesA of the file found; and the parts of a search, each timed over
//     many calls.
//   disk: the first search, then the same one repeated.
constexpr int kSequence = 30;   // searches timed one by one after the first
constexpr int kSteady = 300;    // searches for each median once lookups are fast
constexpr int kPartRounds = 2000;

const std::map<std::string, std::string> kLabels = {
    {"init_ms", "start-up (ms)"},
    {"first_ms", "first search of a fresh process, a hit (ms)"},
    {"repeated_us", "the same search repeated, mean (us)"},
    {"fast_after", "searches made before lookups are fast"},
    {"miss_us", "new missing name through FindFile (us)"},
    {"hit_us", "the same hit repeated through FindFile (us)"},
    {"attributes_us", "one GetFileAttributesA of the file found (us)"},
    {"hit_beyond_attributes_us", "hit beyond GetFileAttributesA (us)"},
    {"part_expand_ns", "part: ExpandSearchPath (ns per call)"},
    {"part_getcwd_ns", "part: _getcwd (ns per call)"},
    {"part_clear_error_ns", "part: ClearLastError (ns per call)"},
    {"part_trace_enabled_ns", "part: IsTraceEnabled (ns per call)"},
    {"part_lock_ns", "part: a LockGuard on a LibraryLock (ns per call)"},
    {"part_compare_ns", "part: PathCompare of an entry (ns per call)"},
    {"part_working_ns", "part: GetWorkingDirectory(1) (ns per call)"},
    {"part_fndb_ns", "part: GetFndbForPath + release (ns per entry)"},
    {"part_root_ns", "part: DetermineRootDirectory (ns per entry)"},
    {"part_search_miss_ns", "part: Search, new missing name (ns per entry)"},
    {"part_search_dismissed_ns", "part: Search, dismissed (ns per entry)"},
    {"part_search_hit_ns", "part: Search, the hit's own entry (ns per call)"},
};

// Keeps a result, so that the call making it is not left out.
volatile long kept;
void Keep(long value) { kept = value; }

double MedianMicroseconds(std::vector<double> seconds) { return Median(std::move(seconds)) * 1e6; }

// Nanoseconds per call of body(i), i = 0 to calls - 1: the calls are timed in batches of `batch`
// and the median batch is taken, less the clock's own time, since on a busy machine a loop's mean
// holds every time the process waited for a processor.
template <typename Body>
double PerCall(int calls, int batch, Body body) {
  std::vector<double> batches, empty;
  for (int i = 0; i + batch <= calls; i += batch) {
    double start = Now();
    double between = Now();
    for (int j = i; j < i + batch; ++j) body(j);
    double end = Now();
    empty.push_back(between - start);
    batches.push_back(end - between);
  }
  return (Median(batches) - Median(empty)) / batch * 1e9;
}

void PrintParts() {
  std::shared_ptr<const SearchPathList> list = ExpandSearchPath(kPattern);
  const int entries = static_cast<int>(list->size());
  const int calls = kPartRounds * entries;
  const int batch = 8 * entries;  // calls timed together
  char cwd[kMaxPath];
  char buffer[kMaxPath];
  std::vector<FndbReference> fndbs;
  for (const std::string& entry : *list) fndbs.push_back(GetFndbForPath(entry.c_str()));
  auto entry = [&](int i) { return (*list)[i % entries].c_str(); };
  std::printf("part_expand_ns %.1f\n",
              PerCall(calls, batch, [&](int) { Keep(ExpandSearchPath(kPattern)->size()); }));
  std::printf("part_getcwd_ns %.1f\n",
              PerCall(calls, batch, [&](int) { Keep(_getcwd(cwd, kMaxPath) != nullptr); }));
  std::printf("part_clear_error_ns %.1f\n", PerCall(calls, batch, [&](int) { ClearLastError(); }));
  std::printf("part_trace_enabled_ns %.1f\n",
              PerCall(calls, batch, [&](int) { Keep(IsTraceEnabled(traceStreams.fndb)); }));
  LibraryLock lock;
  std::printf("part_lock_ns %.1f\n",
              PerCall(calls, batch, [&](int) { LockGuard guard(lock); }));
  std::printf("part_compare_ns %.1f\n",
              PerCall(calls, batch, [&](int i) { Keep(PathCompare(entry(i), cwd)); }));
  std::printf("part_working_ns %.1f\n",
              PerCall(calls, batch, [&](int) { Keep(GetWorkingDirectory(1, buffer) != nullptr); }));
  std::printf("part_fndb_ns %.1f\n",
              PerCall(calls, batch, [&](int i) { Keep(GetFndbForPath(entry(i)) != nullptr); }));
  std::printf("part_root_ns %.1f\n", PerCall(calls, batch, [&](int i) {
                Keep(DetermineRootDirectory(entry(i)));
              }));
  std::vector<std::string> names;
  for (int round = 0; round < kPartRounds; ++round) {
    names.push_back("part-miss" + std::to_string(round) + ".sty");
  }
  auto search = [&](int i) {
    FileNameDatabase* fndb = fndbs[i % entries].get();
    if (fndb != nullptr) Keep(fndb->Search(names[i / entries].c_str(), entry(i), buffer));
  };
  std::printf("part_search_miss_ns %.1f\n", PerCall(calls, batch, search));
  std::printf("part_search_dismissed_ns %.1f\n", PerCall(calls, batch, search));
  FileNameDatabase* last = fndbs[entries - 1].get();
  if (last != nullptr) {
    std::printf("part_search_hit_ns %.1f\n", PerCall(calls, batch, [&](int) {
                  Keep(last->Search(kTarget, entry(entries - 1), buffer));
                }));
  }
}

int Child(const char* mode, const char* expected) {
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
  std::printf("init_ms %.3f\nfirst_ms %.3f\n", (initialized - start) * 1e3,
              (first - initialized) * 1e3);
  if (std::strcmp(mode, "disk") == 0) {
    const int repeats = first - initialized > 0.05 ? 3 : 200;  // disk walks are slow
    double before = Now();
    for (int i = 0; i < repeats; ++i) FindFile(kTarget, kPattern, result);
    std::printf("repeated_us %.3f\n", (Now() - before) / repeats * 1e6);
    UninitializeLibrary();
    return 0;
  }

  int made = 0;
  auto missing = [&made] { return "new-miss" + std::to_string(made++) + ".sty"; };
  std::vector<double> sequence, misses, hits, attributes;
  for (int i = 0; i < kSequence; ++i) {
    std::string name = missing();
    double begin = Now();
    bool wrong = FindFile(name.c_str(), kPattern, result);
    sequence.push_back(Now() - begin);
    if (wrong) return 1;
  }
  for (int i = 0; i < kSteady; ++i) {
    std::string name = missing();
    double begin = Now();
    bool wrong = FindFile(name.c_str(), kPattern, result);
    misses.push_back(Now() - begin);
    if (wrong) return 1;
  }
  for (int i = 0; i < kSteady; ++i) {
    double begin = Now();
    bool ok = FindFile(kTarget, kPattern, result);
    double between = Now();
    bool exists = GetFileAttributesA(result) != INVALID_FILE_ATTRIBUTES;
    attributes.push_back(Now() - between);
    hits.push_back(between - begin);
    if (!ok || !exists) return 1;
  }
  double miss = MedianMicroseconds(misses);
  // The first search from which two in a row take less than ten times the steady figure; the
  // searches before it, the first search included.
  int fastAfter = kSequence + 1;
  for (int i = 0; i + 1 < kSequence; ++i) {
    if (sequence[i] * 1e6 < 10 * miss && sequence[i + 1] * 1e6 < 10 * miss) {
      fastAfter = i + 1;
      break;
    }
  }
  std::printf("fast_after %d\n", fastAfter);
  for (int i = 0; i < 12; ++i) {
    std::printf("search_%02d_us %.3f\n", i + 2, sequence[i] * 1e6);
  }
  // Each search beside the file test that follows it: the machine's load is about the same.
  std::vector<double> beyond;
  for (std::size_t i = 0; i < hits.size(); ++i) beyond.push_back(hits[i] - attributes[i]);
  std::printf("miss_us %.3f\nhit_us %.3f\nattributes_us %.3f\nhit_beyond_attributes_us %.3f\n",
              miss, MedianMicroseconds(hits), MedianMicroseconds(attributes),
              MedianMicroseconds(beyond));
  PrintParts();
  UninitializeLibrary();
  return 0;
}

std::string ChildCommand(const std::string& program, const char* mode,
                         const std::string& expected) {
  return "\"" + program + "\" --child " + mode + " \"" + expected + "\"";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "--child") == 0) return Child(argv[2], argv[3]);

  unsigned files = 150000;
  int runs = 15;
  bool disk = true;
  std::string baseline;
  char temp[kMaxPath];
  GetTempPathA(sizeof temp, temp);
  std::string directory = std::string(temp) + "korvid-findfile-bench";
  for (int i = 1; i < argc; ++i) {
    bool valued = i + 1 < argc;
    if (std::strcmp(argv[i], "--no-disk") == 0) {
      disk = false;
    } else if (valued && std::strcmp(argv[i], "--files") == 0) {
      files = static_cast<unsigned>(std::atoi(argv[++i]));
    } else if (valued && std::strcmp(argv[i], "--runs") == 0) {
      runs = std::atoi(argv[++i]);
    } else if (valued && std::strcmp(argv[i], "--dir") == 0) {
      directory = argv[++i];
    } else if (valued && std::strcmp(argv[i], "--baseline") == 0) {
      baseline = argv[++i];
    } else {
      std::fprintf(stderr,
                   "usage: findfile_bench [--files N] [--runs R] [--dir DIRECTORY] "
                   "[--baseline OTHER-FINDFILE_BENCH.EXE] [--no-disk]\n");
      return 2;
    }
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
  for (const std::string& root : {r0, r1}) {
    std::string fndb = root + "\\korvid\\config\\texmf.fndb";
    if (GetFileAttributesA(fndb.c_str()) == INVALID_FILE_ATTRIBUTES && !BuildDatabase(root)) {
      return 1;
    }
  }
  std::printf("fndbs ready in %.2f s\n", Now() - start);

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

  bench::Figures withFndb, baselineFndb, onDisk, unused;
  bool ok = bench::RunInTurns(ChildCommand(self, "fndb", expected),
                              baseline.empty() ? "" : ChildCommand(baseline, "fndb", expected),
                              runs, &withFndb, &baselineFndb);
  // Without databases: they are moved aside, so that both roots are walked on the disk.
  if (ok && disk) {
    for (const std::string& root : {r0, r1}) {
      std::string fndb = root + "\\korvid\\config\\texmf.fndb";
      MoveFileExA(fndb.c_str(), (fndb + ".off").c_str(), MOVEFILE_REPLACE_EXISTING);
    }
    ok = bench::RunInTurns(ChildCommand(self, "disk", expected), "", std::max(3, runs / 3),
                           &onDisk, &unused);
    for (const std::string& root : {r0, r1}) {
      std::string fndb = root + "\\korvid\\config\\texmf.fndb";
      MoveFileExA((fndb + ".off").c_str(), fndb.c_str(), MOVEFILE_REPLACE_EXISTING);
    }
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
  std::printf("with fndbs, %d fresh processes%s:\n", runs,
              baseline.empty() ? "" : " of each build, in turns");
  bench::PrintSideBySide(withFndb, baselineFndb, kLabels);
  if (disk) {
    std::printf("disk walk (no fndbs), this build:\n");
    bench::PrintSideBySide(onDisk, unused, kLabels);
    std::printf("  disk walk / fndb: first %.0fx\n",
                onDisk.MedianOf("first_ms") / withFndb.MedianOf("first_ms"));
  }
  return 0;
}
