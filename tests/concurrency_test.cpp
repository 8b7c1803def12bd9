// The library used from several threads at once: searches, configuration lookups, new working
// directories and cache clears must neither deadlock nor hand out a list that goes away.
#include "fndbbuilder.h"
#include "internal.h"
#include "library_fixture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

using namespace korvid;

namespace {

class Concurrency : public testing_support::LibraryTest {};

constexpr char kLauncherPattern[] =
    "%R/context//;%R/korvid//;%R/nts//;%R/pdftex//;%R/psutils//;%R/source//;%R/tex//";

}  // namespace

TEST_F(Concurrency, SearchesLookupsAndWorkingDirectoriesAtOnce) {
  std::string r0 = folder.MakeDirectory("r0");
  std::string r1 = folder.MakeDirectory("r1");
  std::string script = folder.Write("r1\\tex\\a\\b\\foo.pl", "");
  folder.Write("r0\\korvid\\config\\korvid.ini", "[Korvid]\nKey=value\n");
  folder.Write("r0\\tex\\x\\y\\other.sty", "");
  // Root 0 is searched through its fndb (one handle shared by all threads), root 1 on the disk.
  FndbBuildOptions options;
  options.root = r0;
  FndbBuildResult built;
  ASSERT_TRUE(BuildFndb(options, &built)) << built.error;
  Start(r0 + ";" + r1);
  // The configuration files are read by the first lookup, while other threads run.
  FreeConfig();

  std::atomic<bool> stop{false};
  std::atomic<int> finished{0};
  std::atomic<int> wrongResults{0};
  std::vector<std::thread> threads;
  auto worker = [&](int kind) {
    char result[kMaxPath];
    for (int i = 0; !stop; ++i) {
      switch (kind) {
        case 0:
          if (!FindFile("foo.pl", kLauncherPattern, result) || script != result) ++wrongResults;
          if (FindFile(("miss" + std::to_string(i % 50) + ".sty").c_str(), kLauncherPattern,
                       result)) {
            ++wrongResults;
          }
          break;
        case 1: {
          char value[kMaxPath];
          const char* v = GetConfigValue("Korvid", "Key", value, sizeof value, nullptr);
          if (v == nullptr || std::string(v) != "value") ++wrongResults;
          if (i % 16 == 0) FreeConfig();
          break;
        }
        case 2:
          if (i < 200) AddWorkingDirectory(("C:\\w" + std::to_string(i % 4)).c_str(), i % 2 == 0);
          AddApplicationName("app");
          if (i % 32 == 0) ClearApplicationNames();
          break;
        case 3:
          ClearSearchPathCache();
          if (!FindFileOnDisk("korvid.ini", "%R\\korvid\\config", result)) ++wrongResults;
          UnloadFndbs();
          break;
      }
    }
    ++finished;
  };
  for (int kind = 0; kind < 4; ++kind) {
    threads.emplace_back(worker, kind);
    threads.emplace_back(worker, kind);
  }
  testing_support::StopThreadsOrAbort(threads, stop, finished, 3000, 60000);
  EXPECT_EQ(wrongResults, 0);
}
