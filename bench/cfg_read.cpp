// Benchmark of the ini parser: reading large files of many lines and of one long line, and look-ups.
#include "korvid.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

std::string TempFile(const char* name) {
  const char* temp = std::getenv("TEMP");
  return std::string(temp != nullptr ? temp : ".") + "\\" + name;
}

bool WriteFile(const std::string& path, const std::string& bytes) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

// The best of a few reads of the file into a fresh Cfg, in seconds.
double BestRead(const std::string& path) {
  double best = 1e9;
  for (int run = 0; run < 5; ++run) {
    korvid::CfgPtr cfg(korvid::CreateCfg());
    auto start = Clock::now();
    int result = korvid::ReadCfgFile(cfg.get(), path.c_str());
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (result != 0) {
      std::printf("read of %s failed: %d\n", path.c_str(), result);
      std::exit(1);
    }
    if (seconds < best) best = seconds;
  }
  return best;
}

}  // namespace

int main() {
  korvid::InitializeLibrary();
  std::string lines;
  const int kSections = 50, kKeys = 1000;
  for (int s = 0; s < kSections; ++s) {
    lines += "[Section" + std::to_string(s) + "]\n; comment\n";
    for (int k = 0; k < kKeys; ++k) {
      lines += "Key" + std::to_string(k) + " = " + std::string(60, 'a' + k % 26) + " ; note\n";
    }
  }
  std::string oneLine = "key=" + std::string(4 << 20, 'v') + "\n";
  std::string referring;
  for (int k = 0; k < 20000; ++k) referring += "Key" + std::to_string(k) + "=%TEMP%\\x\n";

  const std::string manyPath = TempFile("kv-bench-many.ini");
  const std::string longPath = TempFile("kv-bench-long.ini");
  const std::string refPath = TempFile("kv-bench-ref.ini");
  if (!WriteFile(manyPath, lines) || !WriteFile(longPath, oneLine) ||
      !WriteFile(refPath, referring)) {
    std::printf("cannot write the benchmark files\n");
    return 1;
  }

  double many = BestRead(manyPath);
  std::printf("%d key lines, %.1f MB: %.3f s, %.1f MB/s, %.0f lines/s\n", kSections * kKeys,
              lines.size() / 1e6, many, lines.size() / 1e6 / many, kSections * kKeys / many);
  double single = BestRead(longPath);
  std::printf("one line of %.1f MB: %.3f s, %.1f MB/s\n", oneLine.size() / 1e6, single,
              oneLine.size() / 1e6 / single);
  double ref = BestRead(refPath);
  std::printf("20000 values with a reference: %.3f s, %.1f us a line\n", ref, ref / 20000 * 1e6);

  korvid::CfgPtr cfg(korvid::CreateCfg());
  korvid::ReadCfgFile(cfg.get(), manyPath.c_str());
  auto start = Clock::now();
  int found = 0;
  for (int s = 0; s < kSections; ++s) {
    std::string section = "SECTION" + std::to_string(s);
    for (int k = 0; k < kKeys; ++k) {
      std::string key = "key" + std::to_string(k);
      if (korvid::GetCfgValue(cfg.get(), section.c_str(), key.c_str()) != nullptr) ++found;
    }
  }
  double lookups = std::chrono::duration<double>(Clock::now() - start).count();
  std::printf("%d look-ups: %.3f s, %.2f us each\n", found, lookups, lookups / found * 1e6);

  std::remove(manyPath.c_str());
  std::remove(longPath.c_str());
  std::remove(refPath.c_str());
  korvid::UninitializeLibrary();
  return found == kSections * kKeys ? 0 : 1;
}
