// Benchmark of a launch: tervan installed as foo.exe (its script found through an fndb, the stand-in
// perl.exe as the child) against the same child started directly, and against one start of a
// trivial program; the runs are interleaved and the medians compared. The launcher's own cost is
// the launch minus the direct start minus one trivial start. Under wine a process that starts
// another right after its own start pays for it far more than a second start costs, so the same is
// measured for a minimal relay (start, wait, exit code; no library) in the launcher's place, and
// the launcher's cost is also given against that relay.
//
// With --baseline, another tervan.exe (an older build, say) is installed as foo.exe in a second bin
// directory of the same tree and timed in the same interleaved runs, so that the two compare
// under the same load.
//
// usage: launch_bench [--runs N] [--baseline OLD-TERVAN.EXE]   (from the build directory)
#include "bench.h"
#include "fndbbuilder.h"
#include "internal.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using namespace korvid;

namespace {

using bench::MakeDirectories;
using bench::TimeRun;

bool Copy(const std::string& from, const std::string& to) {
  return CopyFileA(from.c_str(), to.c_str(), FALSE) != 0;
}

struct Stats {
  double median, low, high;
};

Stats Summarize(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return {values[values.size() / 2], values.front(), values.back()};
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 60;
  std::string baseline;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--runs") == 0) runs = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--baseline") == 0) baseline = argv[i + 1];
  }
  const std::string build = bench::ProgramDirectory();

  char temp[kMaxPath];
  GetTempPathA(sizeof temp, temp);
  const std::string tree = std::string(temp) + "korvid-launch-bench";
  const std::string texmf = tree + "\\texmf";
  const std::string bin = texmf + "\\korvid\\bin";
  MakeDirectories(bin);
  MakeDirectories(texmf + "\\tex\\perl");
  HANDLE script = CreateFileA((texmf + "\\tex\\perl\\foo.pl").c_str(), GENERIC_WRITE, 0, nullptr,
                              CREATE_ALWAYS, 0, nullptr);
  CloseHandle(script);
  std::string paths = "[Paths]\nTeXMF Root Directories=" + texmf + "\n";
  std::FILE* ini = std::fopen((texmf + "\\korvid\\config\\paths.ini").c_str(), "w");
  if (ini == nullptr) {
    MakeDirectories(texmf + "\\korvid\\config");
    ini = std::fopen((texmf + "\\korvid\\config\\paths.ini").c_str(), "w");
  }
  if (ini == nullptr) return 1;
  std::fputs(paths.c_str(), ini);
  std::fclose(ini);
  const std::string launcher = bin + "\\foo.exe";
  const std::string perl = bin + "\\perl.exe";
  const std::string trivial = bin + "\\trivial.exe";
  const std::string relay = bin + "\\relay.exe";
  if (!Copy(build + "\\tervan.exe", launcher) || !Copy(build + "\\fakeperl.exe", perl) ||
      !Copy(build + "\\trivial.exe", trivial) || !Copy(build + "\\relay.exe", relay)) {
    std::fprintf(stderr, "launch_bench: run it from the build directory\n");
    return 1;
  }
  const std::string oldBin = texmf + "\\korvid\\old";
  const std::string oldLauncher = oldBin + "\\foo.exe";
  if (!baseline.empty()) {
    MakeDirectories(oldBin);
    if (!Copy(baseline, oldLauncher) || !Copy(build + "\\fakeperl.exe", oldBin + "\\perl.exe")) {
      std::fprintf(stderr, "launch_bench: cannot install the baseline '%s'\n", baseline.c_str());
      return 1;
    }
  }
  FndbBuildOptions options;
  options.root = texmf;
  FndbBuildResult built;
  if (!BuildFndb(options, &built)) return 1;

  const std::string launch = "\"" + launcher + "\" -x y";
  const std::string direct = "\"" + perl + "\" \"" + texmf + "\\tex\\perl\\foo.pl\" -x y";
  const std::string nothing = "\"" + trivial + "\"";
  const std::string relayed = "\"" + relay + "\" " + direct;
  const std::string oldLaunch = "\"" + oldLauncher + "\" -x y";
  std::vector<double> launches, directs, trivials, relays, oldLaunches;
  for (int i = 0; i < runs + 3; ++i) {
    double a = TimeRun(launch, 0);
    double b = TimeRun(direct, 0);
    double c = TimeRun(nothing, 0);
    double d = TimeRun(relayed, 0);
    double e = baseline.empty() ? 0 : TimeRun(oldLaunch, 0);
    if (a < 0 || b < 0 || c < 0 || d < 0 || e < 0) {
      std::fprintf(stderr, "launch_bench: a run failed\n");
      return 1;
    }
    if (i < 3) continue;  // warm-up
    launches.push_back(a);
    directs.push_back(b);
    trivials.push_back(c);
    relays.push_back(d);
    oldLaunches.push_back(e);
  }
  Stats a = Summarize(launches), b = Summarize(directs), c = Summarize(trivials);
  Stats d = Summarize(relays);
  std::printf("%d interleaved runs each, wall time of start to exit (ms): median [min, max]\n",
              runs);
  std::printf("  launch   foo.exe -> perl.exe   %7.2f [%6.2f, %7.2f]\n", a.median, a.low, a.high);
  std::printf("  direct   perl.exe              %7.2f [%6.2f, %7.2f]\n", b.median, b.low, b.high);
  std::printf("  trivial  trivial.exe           %7.2f [%6.2f, %7.2f]\n", c.median, c.low, c.high);
  std::printf("  relay    relay.exe -> perl.exe %7.2f [%6.2f, %7.2f]\n", d.median, d.low, d.high);
  std::printf("  launcher's own cost: %.2f - %.2f - %.2f = %.2f ms\n", a.median, b.median,
              c.median, a.median - b.median - c.median);
  std::printf("  what any relay pays here: %.2f - %.2f - %.2f = %.2f ms\n", d.median, b.median,
              c.median, d.median - b.median - c.median);
  std::printf("  launcher against the relay: %.2f - %.2f = %.2f ms\n", a.median, d.median,
              a.median - d.median);
  if (!baseline.empty()) {
    Stats e = Summarize(oldLaunches);
    std::printf("  baseline %s\n", baseline.c_str());
    std::printf("  baseline foo.exe -> perl.exe   %7.2f [%6.2f, %7.2f]\n", e.median, e.low,
                e.high);
    std::printf("  baseline's own cost: %.2f - %.2f - %.2f = %.2f ms\n", e.median, b.median,
                c.median, e.median - b.median - c.median);
    std::printf("  baseline against the relay: %.2f - %.2f = %.2f ms\n", e.median, d.median,
                e.median - d.median);
    std::printf("  launcher against the baseline: %.2f - %.2f = %.2f ms\n", a.median, e.median,
                a.median - e.median);
  }
  return 0;
}
