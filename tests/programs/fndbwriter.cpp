// Test program: one writer's update of an fndb in place, which ends its process right after one of
// its stores when asked, as a writer that dies half-way would (owning the writers' mutex).
// Usage: fndbwriter FNDB STOP add|remove|addtree|removetree PATH...
//   STOP: N (end after the Nth store), "publish" (after the first publishing store) or "never".
// Prints "changed 0|1 count N repaired 0|1" (exit 0) or "failed: MESSAGE" (exit 1); exit 7 when it
// ended itself.
#include "fndbwriter.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "korvid.h"
#include "win32.h"

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr, "usage: fndbwriter FNDB STOP add|remove|addtree|removetree PATH...\n");
    return 3;
  }
  korvid::InitializeLibrary();
  using Kind = korvid::FndbChange::Kind;
  Kind kind = std::strcmp(argv[3], "add") == 0       ? Kind::AddFile
              : std::strcmp(argv[3], "remove") == 0  ? Kind::RemoveFile
              : std::strcmp(argv[3], "addtree") == 0 ? Kind::AddTree
                                                     : Kind::RemoveTree;
  std::vector<korvid::FndbChange> changes;
  for (int i = 4; i < argc; ++i) changes.push_back({kind, argv[i], {}});
  std::string stop = argv[2];
  korvid::FndbWriterOptions options;
  options.afterStore = [&](std::size_t number, korvid::FndbStoreRole role) {
    bool end = stop == "publish"
                   ? role == korvid::FndbStoreRole::Publish
                   : stop != "never" && number == std::strtoul(stop.c_str(), nullptr, 10);
    if (end) {
      std::fflush(stdout);
      ExitProcess(7);
    }
    return true;
  };
  korvid::FndbWriteResult result;
  int status = 0;
  if (korvid::UpdateFndb(argv[1], changes, options, &result)) {
    std::printf("changed %d count %u repaired %d\n", result.changed ? 1 : 0, result.changeCount,
                result.repaired ? 1 : 0);
  } else {
    std::printf("failed: %s\n", result.error.c_str());
    status = 1;
  }
  korvid::UninitializeLibrary();
  return status;
}
