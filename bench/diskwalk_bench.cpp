// Benchmark of the disk walk and of mkfndb's tree walk against one plain enumeration of the same
// folders, with the walks as they were before (tests/support/reference_walk.h) in the same run.
//
// usage: diskwalk_bench [--folders N] [--runs R] [--dir DIRECTORY] [--root ROOT]
// The generated tree (N folders of ten files below DIRECTORY\dw-N\tex, 3,500 by default) is made
// once and kept. --root measures a real TEXMF root instead (its tex subtree for the searches).
#include "bench.h"
#include "fndbbuilder.h"
#include "internal.h"
#include "reference_walk.h"
#include "registry_sandbox.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <utility>
#include <string>
#include <vector>

using namespace korvid;

namespace {

using bench::Enumerate;
using bench::MakeDirectories;
using bench::Measure;
using bench::Now;
using bench::TimeInTurns;

void Touch(const std::string& path) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
}

// root\tex\groupGG\packagePPPP\docDD: folders three deep, ten files in each of the deepest, and
// the target in the last folder made.
void MakeTree(const std::string& root, unsigned folders) {
  // Four leaves to a package, forty groups: about the number of folders asked for in all.
  unsigned leaves = folders > 50 ? (folders - 41) * 4 / 5 : 4;
  unsigned made = 0;
  for (unsigned package = 0; made < leaves; ++package) {
    char path[kMaxPath];
    std::snprintf(path, sizeof path, "%s\\tex\\group%02u\\package%04u", root.c_str(), package % 40,
                  package / 40);
    for (unsigned doc = 0; doc < 4 && made < leaves; ++doc, ++made) {
      std::string folder = std::string(path) + "\\doc" + std::to_string(doc);
      MakeDirectories(folder);
      for (unsigned f = 0; f < 10; ++f) Touch(folder + "\\file" + std::to_string(f) + ".sty");
      if (made + 1 == leaves) Touch(folder + "\\zz-target.sty");
    }
  }
  Touch(root + "\\made");
}

std::string Search(bool reference, const char* name, const char* pattern) {
  char result[kMaxPath];
  bool found = reference ? testing_support::reference::FindFileOnDisk(name, pattern, result)
                         : FindFileOnDisk(name, pattern, result);
  return found ? result : "(not found)";
}

}  // namespace

int main(int argc, char** argv) {
  unsigned folders = 3500;
  int runs = 5;
  char temp[kMaxPath];
  GetTempPathA(sizeof temp, temp);
  std::string directory = std::string(temp) + "korvid-diskwalk-bench";
  std::string root;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--folders") == 0) folders = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--runs") == 0) runs = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--dir") == 0) directory = argv[i + 1];
    if (std::strcmp(argv[i], "--root") == 0) root = argv[i + 1];
  }
  const char* target = "zz-target.sty";
  if (root.empty()) {
    root = directory + "-" + std::to_string(folders);
    if (GetFileAttributesA((root + "\\made").c_str()) == INVALID_FILE_ATTRIBUTES) {
      std::printf("making %u folders of ten files in %s...\n", folders, root.c_str());
      std::fflush(stdout);
      double start = Now();
      MakeTree(root, folders);
      std::printf("  made in %.1f s\n", Now() - start);
    }
  } else {
    target = "zz-no-such-target.sty";  // a real tree: the hit figures are those of a miss
  }

  // The root goes to the registry of a sandbox of this process.
  std::string sandbox = "Software\\KorvidBench\\" + std::to_string(GetCurrentProcessId());
  testing_support::EnterRegistrySandbox(sandbox);
  HKEY key;
  RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Zef\\Korvid\\CurrentVersion\\Korvid", 0, nullptr,
                  0, KEY_WRITE, nullptr, &key, nullptr);
  RegSetValueExA(key, "TeXMF Root Directories", 0, REG_SZ,
                 reinterpret_cast<const BYTE*>(root.c_str()),
                 static_cast<DWORD>(root.size() + 1));
  RegCloseKey(key);
  InitializeLibrary();

  const char* pattern = "%R/tex//";
  const std::string tex = root + "\\tex";
  unsigned texFolders = Enumerate(tex);
  auto clear = [] { ClearSearchPathCache(); };

  // Both walks must agree before they are timed.
  const char* miss = "zz-missing.sty";
  if (Search(true, target, pattern) != Search(false, target, pattern) ||
      Search(true, miss, pattern) != Search(false, miss, pattern)) {
    std::fprintf(stderr, "diskwalk_bench: the walks disagree\n");
    return 1;
  }
  Measure enumeration{[&] { Enumerate(tex); }, {}};
  Measure oldMiss{[&] { Search(true, miss, pattern); }, {}};
  Measure newMiss{[&] { Search(false, miss, pattern); }, clear};
  Measure oldHit{[&] { Search(true, target, pattern); }, {}};
  Measure newHit{[&] { Search(false, target, pattern); }, clear};
  Measure missAgain{[&] { Search(false, miss, pattern); }, [&] { clear(); Search(false, miss, pattern); }};
  Measure hitAgain{[&] {
                     for (int i = 0; i < 100; ++i) Search(false, target, pattern);
                   },
                   [&] { clear(); Search(false, target, pattern); }};
  TimeInTurns(runs, {&enumeration, &oldMiss, &newMiss, &oldHit, &newHit, &missAgain, &hitAgain});
  auto line = [&](const char* what, const Measure& now, const Measure& before) {
    std::printf("  %-30s %9.2f ms (%.2fx enumeration)   before: %9.2f ms (%.2fx)\n", what,
                now.median, now.median / enumeration.median, before.median,
                before.median / enumeration.median);
  };

  std::printf("disk search below %s: %u folders, pattern %s\n", tex.c_str(), texFolders, pattern);
  std::printf("  %-30s %9.2f ms\n", "one enumeration of the folders", enumeration.median);
  line("a miss, first search", newMiss, oldMiss);
  line("a hit, first search", newHit, oldHit);
  line("the same miss again (afresh)", missAgain, oldMiss);
  std::printf("  %-30s %9.1f us                        before: %9.2f ms\n", "the same hit again",
              hitAgain.median / 100 * 1e3, oldHit.median);

  // mkfndb's walk of the whole root.
  unsigned rootFolders = Enumerate(root);
  FndbTreeDirectory newTree, oldTree;
  std::vector<std::string> warnings;
  std::string error;
  std::string output = std::string(temp) + "korvid-diskwalk-bench.fndb";
  FndbBuildOptions options;
  options.root = root;
  options.output = output;
  FndbBuildResult built;
  Measure rootEnumeration{[&] { Enumerate(root); }, {}};
  Measure newWalk{[&] { ReadDirectoryTree(root, &newTree, &warnings, &error); },
                  [&] { warnings.clear(); }};
  Measure oldWalk{[&] { testing_support::reference::ReadDirectory(root, &oldTree); },
                  [&] { oldTree = FndbTreeDirectory{}; }};
  Measure build{[&] { BuildFndb(options, &built); }, {}};
  TimeInTurns(runs, {&rootEnumeration, &newWalk, &oldWalk, &build});
  FndbLayoutOptions layout;
  bool sameBytes = LayOutFndb(newTree, layout) == LayOutFndb(oldTree, layout);
  DeleteFileA(output.c_str());
  std::printf("mkfndb below %s: %u folders, %u files\n", root.c_str(), rootFolders,
              built.statistics.files);
  std::printf("  %-30s %9.2f ms\n", "one enumeration of the folders", rootEnumeration.median);
  std::printf("  %-30s %9.2f ms (%.2fx enumeration)   before: %9.2f ms (%.2fx)\n", "tree walk",
              newWalk.median, newWalk.median / rootEnumeration.median, oldWalk.median,
              oldWalk.median / rootEnumeration.median);
  std::printf("  %-30s %9.2f ms (%.2fx enumeration)\n", "whole build (walk, layout, write)",
              build.median, build.median / rootEnumeration.median);
  std::printf("  same database bytes from both walks: %s\n", sameBytes ? "yes" : "NO");

  UninitializeLibrary();
  RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
  RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
  RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\KorvidBench");
  return sameBytes ? 0 : 1;
}
