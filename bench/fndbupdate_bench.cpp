// Benchmark of updates of an fndb in place, on a generated root of about 150,000 files in 15,000
// folders and its database: one --add in-process (through an open writer, and on its own, beside
// the plan alone) against the 100 µs it may take; the whole mkfndb --add command against one start
// of a trivial program; and mkfndb ROOT on a database this process holds, with 10 files changed,
// against one enumeration of the tree. Medians of runs taken in turns in the same run.
//
// usage: fndbupdate_bench [--runs R] [--dir DIRECTORY]   (from the build directory)
// The tree (DIRECTORY\fu-150000, the temp folder by default) is made once and kept.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench.h"
#include "fndbbuilder.h"
#include "fndbupdate.h"
#include "fndbwriter.h"
#include "internal.h"

using namespace korvid;

namespace {

using bench::Enumerate;
using bench::MakeDirectories;
using bench::Measure;
using bench::Now;
using bench::TimeInTurns;
using bench::TimeRun;

constexpr unsigned kGroups = 40;
constexpr unsigned kPackages = 2990;
constexpr unsigned kDocs = 4;
constexpr unsigned kFilesPerFolder = 10;

void Touch(const std::string& path) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
}

std::string Package(const std::string& root, unsigned package) {
  char path[kMaxPath];
  std::snprintf(path, sizeof path, "%s\\tex\\group%02u\\package%04u", root.c_str(),
                package % kGroups, package / kGroups);
  return path;
}

// root\tex\groupGG\packagePPPP with ten files, and four doc folders of ten files in each package.
void MakeTree(const std::string& root) {
  for (unsigned package = 0; package < kPackages; ++package) {
    std::string folder = Package(root, package);
    for (unsigned doc = 0; doc <= kDocs; ++doc) {
      std::string leaf = doc == kDocs ? folder : folder + "\\doc" + std::to_string(doc);
      MakeDirectories(leaf);
      for (unsigned f = 0; f < kFilesPerFolder; ++f) {
        Touch(leaf + "\\file" + std::to_string(f) + ".sty");
      }
    }
    if (package % 300 == 0) {
      std::printf("  %u of %u packages\n", package, kPackages);
      std::fflush(stdout);
    }
  }
  Touch(root + "\\made");
}

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

}  // namespace

int main(int argc, char** argv) {
  int runs = 7;
  char temp[kMaxPath];
  GetTempPathA(sizeof temp, temp);
  std::string directory = temp;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--runs") == 0) runs = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--dir") == 0) directory = argv[i + 1];
  }
  const std::string build = bench::ProgramDirectory();
  const std::string mkfndb = Quoted(build + "\\mkfndb.exe");
  const std::string trivial = Quoted(build + "\\trivial.exe");

  std::string root = directory;
  if (!root.empty() && root.back() != '\\') root += '\\';
  root += "fu-150000";
  if (GetFileAttributesA((root + "\\made").c_str()) == INVALID_FILE_ATTRIBUTES) {
    std::printf("making about 150,000 files in 15,000 folders below %s...\n", root.c_str());
    std::fflush(stdout);
    double start = Now();
    MakeTree(root);
    std::printf("  made in %.1f s\n", Now() - start);
  }
  InitializeLibrary();
  FndbBuildOptions options;
  options.root = root;
  FndbBuildResult built;
  if (!BuildFndb(options, &built)) {
    std::fprintf(stderr, "fndbupdate_bench: %s\n", built.error.c_str());
    return 1;
  }
  const std::string fndb = built.output;
  std::printf("database %s: %u folders, %u files, %u bytes\n", fndb.c_str(),
              built.statistics.directories, built.statistics.files, built.bytes);

  // 1. One --add in-process: the plan alone (on a copy of the bytes), an update through an open
  //    writer, and an update that opens and closes the database itself. Each addition is taken
  //    back by a removal, so that the free space lasts.
  const std::string folder = "tex\\group07\\package0012\\doc2\\";
  std::string bytes;
  std::string error;
  ReadWholeFile(fndb, &bytes, &error);
  unsigned counter = 0;
  auto name = [&](unsigned n) { return folder + "bench-" + std::to_string(n) + ".sty"; };
  Measure planOnly{[&] {
                     for (int i = 0; i < 100; ++i) {
                       FndbUpdatePlan plan(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
                       plan.Add(FndbChange{FndbChange::Kind::AddFile, name(i), {}});
                       plan.Stores();
                     }
                   },
                   {}};
  FndbWriter writer;
  FndbWriteResult result;
  if (!writer.Open(fndb, {}, &result)) {
    std::fprintf(stderr, "fndbupdate_bench: %s\n", result.error.c_str());
    return 1;
  }
  bool failed = false;
  auto update = [&](FndbChange::Kind kind, unsigned n, bool alone) {
    std::vector<FndbChange> changes{{kind, name(n), {}}};
    bool done = alone ? UpdateFndb(fndb, changes, {}, &result) : writer.Update(changes, &result);
    failed = failed || !done || !result.changed;
  };
  Measure addOpen{[&] { update(FndbChange::Kind::AddFile, counter, false); }, [&] { ++counter; }};
  Measure removeOpen{[&] { update(FndbChange::Kind::RemoveFile, counter, false); }, {}};
  Measure addAlone{[&] { update(FndbChange::Kind::AddFile, counter + 100000, true); }, {}};
  Measure removeAlone{[&] { update(FndbChange::Kind::RemoveFile, counter + 100000, true); }, {}};
  TimeInTurns(25 * runs, {&planOnly, &addOpen, &removeOpen, &addAlone, &removeAlone});
  writer.Close();
  if (failed) {
    std::fprintf(stderr, "fndbupdate_bench: an update failed: %s\n", result.error.c_str());
    return 1;
  }
  std::printf("one update in-process, %d runs each (median):\n", 25 * runs);
  std::printf("  %-44s %8.1f us\n", "the plan of one --add alone", planOnly.median * 10);
  std::printf("  %-44s %8.1f us (target: under 100 us)\n", "one --add through an open writer",
              addOpen.median * 1e3);
  std::printf("  %-44s %8.1f us\n", "one --remove through an open writer", removeOpen.median * 1e3);
  std::printf("  %-44s %8.1f us\n", "one --add that opens the database itself",
              addAlone.median * 1e3);
  std::printf("  %-44s %8.1f us\n", "one --remove that opens the database itself",
              removeAlone.median * 1e3);

  // 2. The whole command against one start of a trivial program.
  const std::string file = root + "\\tex\\group03\\package0005\\doc1\\command.sty";
  Touch(file);
  Measure start{[&] { failed = failed || TimeRun(trivial, 0) < 0; }, {}};
  Measure add{[&] {
                failed = failed ||
                         TimeRun(mkfndb + " -q --add " + Quoted(root) + " " + Quoted(file), 0) < 0;
              },
              {}};
  Measure remove{[&] {
                   failed =
                       failed ||
                       TimeRun(mkfndb + " -q --remove " + Quoted(root) + " " + Quoted(file), 0) < 0;
                 },
                 {}};
  TimeInTurns(3 * runs, {&start, &add, &remove});
  if (failed) {
    std::fprintf(stderr, "fndbupdate_bench: a command failed\n");
    return 1;
  }
  std::printf("the command, %d runs each (median):\n", 3 * runs);
  std::printf("  %-44s %8.2f ms\n", "trivial.exe", start.median);
  std::printf("  %-44s %8.2f ms (%.2fx trivial; target: 1.2x)\n", "mkfndb --add ROOT PATH",
              add.median, add.median / start.median);
  std::printf("  %-44s %8.2f ms (%.2fx trivial)\n", "mkfndb --remove ROOT PATH", remove.median,
              remove.median / start.median);

  // 3. mkfndb ROOT on a database this process holds, with ten files changed before each run
  //    (those of the run before deleted, ten new ones made), against one enumeration of the tree.
  if (!BuildFndb(options, &built)) return 1;  // afresh: the free space of a whole build
  FileNameDatabase* holder = FileNameDatabase::Create(fndb.c_str(), root.c_str(), true);
  if (holder == nullptr) return 1;
  int round = 0;
  auto changeTen = [&] {
    for (unsigned i = 0; i < 10; ++i) {
      std::string leaf = Package(root, i * 97) + "\\doc" + std::to_string(i % kDocs);
      DeleteFileA((leaf + "\\changed-" + std::to_string(round) + ".sty").c_str());
      Touch(leaf + "\\changed-" + std::to_string(round + 1) + ".sty");
    }
    ++round;
  };
  changeTen();
  FndbRefreshResult refreshed;
  if (!RefreshFndb(options, {}, &refreshed) || !refreshed.inPlace || !refreshed.write.changed) {
    std::fprintf(stderr, "fndbupdate_bench: mkfndb ROOT did not update in place: %s%s\n",
                 refreshed.build.error.c_str(), refreshed.write.error.c_str());
    return 1;
  }
  Measure enumeration{[&] { Enumerate(root); }, {}};
  Measure inPlace{[&] { failed = failed || TimeRun(mkfndb + " -q " + Quoted(root), 0) < 0; },
                  changeTen};
  TimeInTurns(runs, {&enumeration, &inPlace});
  holder->Release();
  UninitializeLibrary();
  if (failed) {
    std::fprintf(stderr, "fndbupdate_bench: mkfndb ROOT failed\n");
    return 1;
  }
  std::printf("mkfndb ROOT on a held database, 10 files changed, %d runs each (median):\n", runs);
  std::printf("  %-44s %8.2f ms\n", "one enumeration of the tree", enumeration.median);
  std::printf("  %-44s %8.2f ms (%.2fx enumeration; target: 1.2x)\n", "mkfndb ROOT, in place",
              inPlace.median, inPlace.median / enumeration.median);
  return 0;
}
