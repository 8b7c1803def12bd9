// fndb benchmark: opening, plain lookups and "//" searches on a generated TeX-like database.
// Usage: fndb_bench [--runs N] [--baseline OTHER-FNDB_BENCH.EXE] [DIRECTORY]
//   (the database file is written to DIRECTORY, by default the temp folder). The searches of the
//   launcher's pattern over two roots run in fresh processes; with --baseline, another build of
//   this program (keep a copy of an older one) runs them in turns with this one, under the same
//   load.
#include "bench.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "fndbbuilder.h"
#include "fndbindex.h"
#include "fndbview.h"
#include "internal.h"

using namespace korvid;

namespace {

constexpr std::uint32_t kDirectories = 15000;
constexpr std::uint32_t kFiles = 150000;

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

class Random {
 public:
  std::uint32_t Next() {
    state = state * 1664525u + 1013904223u;
    return state >> 8;
  }
  std::uint32_t Below(std::uint32_t n) { return Next() % n; }

 private:
  std::uint32_t state = 20240601;
};

const char* const kSyllables[] = {"ams", "bab", "cal", "doc", "eur", "fon", "geo", "hyp", "ifl",
                                  "jur", "kva", "lst", "mat", "nat", "opt", "pgf", "qua", "rot",
                                  "sia", "tik", "uni", "var", "wra", "xco", "yfo", "zap"};

std::string Word(std::uint32_t i) {
  std::string word = kSyllables[i % 26];
  word += kSyllables[(i / 26) % 26];
  if (i >= 26 * 26) word += std::to_string(i / (26 * 26));
  return word;
}

// A directory of the generated tree with the weight of the files it gets.
struct Node {
  FndbTreeDirectory* directory;
  std::uint32_t weight;
  const char* extension;
};

class TreeMaker {
 public:
  FndbTreeDirectory root{"", {}, {}};

  // Adds a directory below the parent; the pointer stays valid until the parent gets another
  // child, so children are added to a parent in one go before going deeper.
  FndbTreeDirectory* Add(FndbTreeDirectory* parent, const std::string& name, std::uint32_t weight,
                         const char* extension) {
    parent->subdirectories.push_back(FndbTreeDirectory{name, {}, {}});
    ++directories;
    pending.push_back({parent, parent->subdirectories.size() - 1, weight, extension});
    return &parent->subdirectories.back();
  }

  void Build() {
    Random random;
    std::vector<std::string> topNames = {"bibtex",   "doc",     "fonts",  "makeindex",
                                         "metapost", "scripts", "source", "tex"};
    for (const std::string& name : topNames) root.subdirectories.push_back({name, {}, {}});
    directories += static_cast<std::uint32_t>(topNames.size());
    FndbTreeDirectory* doc = &root.subdirectories[1];
    FndbTreeDirectory* fonts = &root.subdirectories[2];
    FndbTreeDirectory* source = &root.subdirectories[6];
    FndbTreeDirectory* tex = &root.subdirectories[7];
    root.files = {"README", "ls-R", "LICENSE"};

    // tex/{latex,generic,plain,context}/PACKAGE, a fifth of them with a subdirectory
    std::vector<std::pair<std::string, std::uint32_t>> formats = {
        {"context", 300}, {"generic", 600}, {"latex", 2600}, {"plain", 100}};
    std::uint32_t package = 0;
    std::vector<std::string> packageNames;
    for (auto& [format, count] : formats) tex->subdirectories.push_back({format, {}, {}});
    directories += static_cast<std::uint32_t>(formats.size());
    for (std::size_t f = 0; f < formats.size(); ++f) {
      FndbTreeDirectory* formatDirectory = &tex->subdirectories[f];
      formatDirectory->subdirectories.reserve(formats[f].second);
      for (std::uint32_t i = 0; i < formats[f].second; ++i, ++package) {
        packageNames.push_back(Word(package));
        FndbTreeDirectory* dir = Add(formatDirectory, packageNames.back(), 8, ".sty");
        if (random.Below(5) == 0) Add(dir, "config", 2, ".cfg");
      }
    }
    // doc/{latex,generic}/PACKAGE and source/latex/PACKAGE
    doc->subdirectories = {{"generic", {}, {}}, {"latex", {}, {}}};
    source->subdirectories = {{"latex", {}, {}}};
    directories += 3;
    doc->subdirectories[1].subdirectories.reserve(package);
    for (std::uint32_t i = 0; i < package; ++i) {
      FndbTreeDirectory* parent = &doc->subdirectories[i % 5 == 0 ? 0 : 1];
      Add(parent, packageNames[i], 4, ".pdf");
    }
    for (std::uint32_t i = 0; i < package * 3 / 4; ++i) {
      Add(&source->subdirectories[0], packageNames[i], 3, ".dtx");
    }
    // fonts/TYPE/VENDOR/FAMILY until the directory count is reached
    std::vector<std::pair<std::string, const char*>> types = {
        {"afm", ".afm"}, {"enc", ".enc"},   {"map", ".map"}, {"opentype", ".otf"},
        {"tfm", ".tfm"}, {"type1", ".pfb"}, {"vf", ".vf"}};
    for (auto& [type, extension] : types) fonts->subdirectories.push_back({type, {}, {}});
    directories += static_cast<std::uint32_t>(types.size());
    const std::uint32_t kVendors = 12;
    for (auto& type : fonts->subdirectories) {
      for (std::uint32_t v = 0; v < kVendors; ++v)
        type.subdirectories.push_back({Word(500 + v), {}, {}});
      directories += kVendors;
    }
    std::uint32_t remaining = kDirectories - directories;
    std::uint32_t perVendor = remaining / (kVendors * static_cast<std::uint32_t>(types.size())) + 1;
    for (std::size_t t = 0; t < types.size(); ++t) {
      for (std::uint32_t v = 0; v < kVendors; ++v) {
        FndbTreeDirectory* vendor = &fonts->subdirectories[t].subdirectories[v];
        vendor->subdirectories.reserve(perVendor);
        for (std::uint32_t k = 0; k < perVendor && directories < kDirectories; ++k) {
          Add(vendor, Word(1000 + k), 30, types[t].second);
        }
      }
    }

    // Files: kFiles spread by weight, the rest one each from the start.
    std::uint64_t totalWeight = 0;
    for (const Pending& p : pending) totalWeight += p.weight;
    std::uint32_t given = static_cast<std::uint32_t>(root.files.size());
    std::vector<std::uint32_t> counts;
    for (const Pending& p : pending) {
      counts.push_back(
          static_cast<std::uint32_t>(p.weight * std::uint64_t(kFiles - 3) / totalWeight));
      given += counts.back();
    }
    for (std::size_t i = 0; given < kFiles; i = (i + 1) % counts.size(), ++given) ++counts[i];
    for (std::size_t i = 0; i < pending.size(); ++i) {
      FndbTreeDirectory& dir = pending[i].parent->subdirectories[pending[i].index];
      for (std::uint32_t f = 0; f < counts[i]; ++f) {
        dir.files.push_back(dir.name + "-" + Word(random.Below(2000)) + std::to_string(f) +
                            pending[i].extension);
      }
    }
  }

  std::uint32_t directories = 1;  // the root

 private:
  struct Pending {
    FndbTreeDirectory* parent;
    std::size_t index;
    std::uint32_t weight;
    const char* extension;
  };
  std::vector<Pending> pending;
};

// Every file as (entry, name), entries absolute below the root.
void CollectKeys(const FndbTreeDirectory& dir, const std::string& path,
                 std::vector<std::pair<std::string, std::string>>* keys) {
  for (const std::string& file : dir.files) keys->push_back({path, file});
  for (const FndbTreeDirectory& child : dir.subdirectories) {
    CollectKeys(child, path + "\\" + child.name, keys);
  }
}

// The deepest-last file in stored (sorted) order: the one a whole-tree walk reaches last.
void LastInStoredOrder(const FndbTreeDirectory& dir, const std::string& path, std::string* entry,
                       std::string* name) {
  if (!dir.files.empty()) {
    *entry = path;
    *name = *std::max_element(dir.files.begin(), dir.files.end(), CaseInsensitiveLess());
  }
  if (dir.subdirectories.empty()) return;
  auto last = std::max_element(dir.subdirectories.begin(), dir.subdirectories.end(),
                               [](const FndbTreeDirectory& a, const FndbTreeDirectory& b) {
                                 return CaseInsensitiveLess()(a.name, b.name);
                               });
  LastInStoredOrder(*last, path + "\\" + last->name, entry, name);
}

// Keys packed into one buffer: entry, zero, name, zero; and the relative key "entry\name".
class PackedKeys {
 public:
  void Add(const std::string& entry, const std::string& name) {
    starts.push_back(text.size());
    text.append(entry).push_back('\0');
    text.append(name).push_back('\0');
    keys.push_back(text.size());
    if (!entry.empty()) text.append(entry).push_back('\\');
    text.append(name).push_back('\0');
  }
  std::size_t Count() const { return starts.size(); }
  const char* Entry(std::size_t i) const { return text.data() + starts[i]; }
  const char* Name(std::size_t i) const { return Entry(i) + std::strlen(Entry(i)) + 1; }
  std::string_view Key(std::size_t i) const { return text.data() + keys[i]; }

 private:
  std::string text;
  std::vector<std::size_t> starts;
  std::vector<std::size_t> keys;
};

void Report(const char* what, double value, const char* unit, const char* target) {
  std::printf("  %-46s %12.3f %-10s %s\n", what, value, unit, target);
}

// The launcher's pattern over two roots through their handles, as the file search asks them:
// each element below the first root, then below the second, until one finds the name.
constexpr const char* kLauncherElements[] = {"context", "korvid", "nts",   "pdftex",
                                             "psutils", "source", "tex"};
constexpr int kSequence = 30;  // searches timed one by one after the first
constexpr int kSteady = 300;   // searches for each median once lookups are fast

const std::map<std::string, std::string> kLabels = {
    {"first_ms", "first search of fresh handles, a hit (ms)"},
    {"fast_after", "searches made before lookups are fast"},
    {"miss_us", "new missing name, 14 entries (us)"},
    {"hit_us", "the same hit repeated, 14 entries (us)"},
    {"walk_ms", "one walk of the whole tree, a miss (ms)"},
    {"index_ms", "building the name index (ms)"},
};

class LauncherSearch {
 public:
  LauncherSearch(const std::string& path, const std::string& root) {
    for (int r = 0; r < 2; ++r) {
      std::string rootPath = root + (r == 0 ? "" : "2");
      fndbs[r] = FileNameDatabase::Create(path.c_str(), rootPath.c_str(), true);
      for (const char* element : kLauncherElements) {
        entries[r].push_back(rootPath + "\\" + element + "//");
      }
    }
  }
  ~LauncherSearch() {
    for (FileNameDatabase* fndb : fndbs) {
      if (fndb != nullptr) fndb->Release();
    }
  }
  bool Opened() const { return fndbs[0] != nullptr && fndbs[1] != nullptr; }
  bool Find(const char* name, char* result) {
    for (std::size_t e = 0; e < entries[0].size(); ++e) {
      for (int r = 0; r < 2; ++r) {
        if (fndbs[r]->Search(name, entries[r][e].c_str(), result)) return true;
      }
    }
    return false;
  }

 private:
  FileNameDatabase* fndbs[2] = {};
  std::vector<std::string> entries[2];
};

int AfterFirstChild(const std::string& path, const std::string& root, const std::string& hit) {
  char result[kMaxPath];
  std::vector<double> sequence, misses, hits;
  double first;
  {
    LauncherSearch search(path, root);
    if (!search.Opened()) return 1;
    Clock::time_point begin = Clock::now();
    if (!search.Find(hit.c_str(), result)) return 1;
    first = Seconds(begin);
    int made = 0;
    auto missing = [&made] { return "new-miss" + std::to_string(made++) + ".sty"; };
    for (int i = 0; i < kSequence + kSteady; ++i) {
      std::string name = missing();
      begin = Clock::now();
      if (search.Find(name.c_str(), result)) return 1;
      (i < kSequence ? sequence : misses).push_back(Seconds(begin));
    }
    for (int i = 0; i < kSteady; ++i) {
      begin = Clock::now();
      if (!search.Find(hit.c_str(), result)) return 1;
      hits.push_back(Seconds(begin));
    }
  }
  double miss = bench::Median(misses) * 1e6;
  int fastAfter = kSequence + 1;
  for (int i = 0; i + 1 < kSequence; ++i) {
    if (sequence[i] * 1e6 < 10 * miss && sequence[i + 1] * 1e6 < 10 * miss) {
      fastAfter = i + 1;
      break;
    }
  }
  // The unit of the index rule: one walk of the whole tree, and the index itself.
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            0, nullptr);
  std::string bytes(GetFileSize(file, nullptr), '\0');
  DWORD read = 0;
  ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr);
  CloseHandle(file);
  FndbView view(bytes.data(), static_cast<std::uint32_t>(bytes.size()), root);
  std::vector<double> walks, builds;
  for (int i = 0; i < 5; ++i) {
    Clock::time_point begin = Clock::now();
    view.Search("//no-such-file.tex", result);
    walks.push_back(Seconds(begin));
    begin = Clock::now();
    std::unique_ptr<FndbIndex> index = FndbIndex::Build(view);
    builds.push_back(Seconds(begin));
    if (index == nullptr) return 1;
  }
  std::printf("first_ms %.3f\nfast_after %d\n", first * 1e3, fastAfter);
  for (int i = 0; i < 12; ++i) std::printf("search_%02d_us %.3f\n", i + 2, sequence[i] * 1e6);
  std::printf("miss_us %.3f\nhit_us %.3f\nwalk_ms %.3f\nindex_ms %.3f\n", miss,
              bench::Median(hits) * 1e6, bench::Median(walks) * 1e3, bench::Median(builds) * 1e3);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  InitializeLibrary();
  std::string root = "C:\\texmf-bench";
  if (argc == 4 && std::strcmp(argv[1], "--after-first") == 0) {
    int code = AfterFirstChild(argv[2], root, argv[3]);
    UninitializeLibrary();
    return code;
  }
  char temp[MAX_PATH];
  GetTempPathA(sizeof temp, temp);
  std::string directory = temp;
  std::string baseline;
  int runs = 9;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--baseline") == 0 && i + 1 < argc) {
      baseline = argv[++i];
    } else if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc) {
      runs = std::atoi(argv[++i]);
    } else {
      directory = argv[i];
    }
  }
  std::string path = directory;
  if (!path.empty() && path.back() != '\\' && path.back() != '/') path += '\\';
  path += "fndb-bench.fndb";

  TreeMaker maker;
  maker.Build();
  FndbTreeStatistics statistics = CountTree(maker.root);
  std::string bytes = LayOutFndb(maker.root, FndbLayoutOptions{});
  std::string error;
  if (!WriteFileAtomically(path, bytes, &error)) {
    std::fprintf(stderr, "fndb_bench: %s\n", error.c_str());
    return 1;
  }
  std::printf("fndb benchmark: %u directories, %u files, %u bytes in '%s'\n\n",
              statistics.directories, statistics.files, static_cast<unsigned>(bytes.size()),
              path.c_str());

  // Create: open and map, with no other holder (the file path), then attaching to a held mapping.
  const int kOpens = 301;
  std::vector<double> opens, attaches;
  for (int i = 0; i < kOpens; ++i) {
    Clock::time_point start = Clock::now();
    FileNameDatabase* fndb = FileNameDatabase::Create(path.c_str(), root.c_str(), false);
    opens.push_back(Seconds(start));
    if (fndb == nullptr) {
      std::fprintf(stderr, "fndb_bench: Create failed\n");
      return 1;
    }
    fndb->Release();
  }
  FileNameDatabase* held = FileNameDatabase::Create(path.c_str(), root.c_str(), false);
  for (int i = 0; i < kOpens; ++i) {
    Clock::time_point start = Clock::now();
    FileNameDatabase* fndb = FileNameDatabase::Create(path.c_str(), root.c_str(), false);
    attaches.push_back(Seconds(start));
    fndb->Release();
  }
  std::sort(opens.begin(), opens.end());
  std::sort(attaches.begin(), attaches.end());
  std::printf("Create (%d runs each)\n", kOpens);
  Report("open and map, median", 1e3 * opens[kOpens / 2], "ms", "target < 1 ms");
  Report("open and map, 90th percentile", 1e3 * opens[kOpens * 9 / 10], "ms", "");
  Report("attach to a held mapping, median", 1e3 * attaches[kOpens / 2], "ms", "");

  // Plain lookups: keys without "//", in random order, packed one after the other so that the
  // benchmark's own reading of them costs little.
  std::vector<std::pair<std::string, std::string>> keys;
  CollectKeys(maker.root, root, &keys);
  Random random;
  const std::size_t kDistinct = 200000;
  const int kPasses = 5;
  PackedKeys hits;
  for (std::size_t i = 0; i < kDistinct; ++i) {
    const auto& key = keys[random.Below(static_cast<std::uint32_t>(keys.size()))];
    hits.Add(key.first, key.second);
  }
  char result[kMaxPath];
  std::size_t found = 0;
  Clock::time_point start = Clock::now();
  for (int pass = 0; pass < kPasses; ++pass) {
    for (std::size_t i = 0; i < hits.Count(); ++i) {
      found += held->Search(hits.Name(i), hits.Entry(i), result);
    }
  }
  double hitSeconds = Seconds(start);
  if (found != kPasses * kDistinct) std::fprintf(stderr, "fndb_bench: hits missing\n");

  // Misses: distinct names in existing directories (half) and below missing directories (half);
  // each is a real walk, and each is then remembered by the negative cache.
  PackedKeys misses;
  for (std::size_t i = 0; i < kDistinct; ++i) {
    const auto& key = keys[random.Below(static_cast<std::uint32_t>(keys.size()))];
    misses.Add(i % 2 ? key.first : key.first + "\\none", "missing" + std::to_string(i) + ".tex");
  }
  found = 0;
  start = Clock::now();
  for (std::size_t i = 0; i < misses.Count(); ++i) {
    found += held->Search(misses.Name(i), misses.Entry(i), result);
  }
  double missSeconds = Seconds(start);
  start = Clock::now();
  for (std::size_t i = 0; i < misses.Count(); ++i) {
    found += held->Search(misses.Name(i), misses.Entry(i), result);
  }
  double repeatSeconds = Seconds(start);
  if (found != 0) std::fprintf(stderr, "fndb_bench: %zu misses found\n", found);

  // The lookup layer alone, without the handle's key, trace tests and cache.
  FndbView view(bytes.data(), static_cast<std::uint32_t>(bytes.size()), root);
  PackedKeys relativeKeys;
  for (std::size_t i = 0; i < hits.Count(); ++i) {
    std::string entry = hits.Entry(i);
    relativeKeys.Add(entry.size() > root.size() ? entry.substr(root.size() + 1) : "", hits.Name(i));
  }
  start = Clock::now();
  found = 0;
  for (int pass = 0; pass < kPasses; ++pass) {
    for (std::size_t i = 0; i < relativeKeys.Count(); ++i)
      found += view.Search(relativeKeys.Key(i), result);
  }
  double viewSeconds = Seconds(start);
  PackedKeys relativeMisses;
  for (std::size_t i = 0; i < misses.Count(); ++i) {
    std::string entry = misses.Entry(i);
    relativeMisses.Add(entry.size() > root.size() ? entry.substr(root.size() + 1) : "",
                       misses.Name(i));
  }
  start = Clock::now();
  std::size_t missed = 0;
  for (std::size_t i = 0; i < relativeMisses.Count(); ++i)
    missed += !view.Search(relativeMisses.Key(i), result);
  double viewMissSeconds = Seconds(start);

  std::printf("\nPlain lookups (no \"//\")\n");
  Report("hits, through Search", kPasses * kDistinct / hitSeconds / 1e6, "M/s", "target >= 1 M/s");
  Report("first misses, through Search", kDistinct / missSeconds / 1e6, "M/s", "target >= 1 M/s");
  Report("repeated misses (dismissed)", kDistinct / repeatSeconds / 1e6, "M/s", "");
  Report("hits, lookup layer alone", found / viewSeconds / 1e6, "M/s", "");
  Report("misses, lookup layer alone", missed / viewMissSeconds / 1e6, "M/s", "");

  // "//" searches.
  auto timeSearch = [&](const std::string& entry, const std::string& name, int runs, bool* hit) {
    double best = 1e9;
    for (int i = 0; i < runs; ++i) {
      std::string unique = runs > 1 && !*hit ? name + std::to_string(i) : name;
      Clock::time_point begin = Clock::now();
      bool ok = held->Search(unique.c_str(), entry.c_str(), result);
      best = std::min(best, Seconds(begin));
      if (i == 0) *hit = ok;
    }
    return best;
  };
  std::string lastEntry, lastName;
  LastInStoredOrder(maker.root, root, &lastEntry, &lastName);
  std::string deepFile;  // a font file in the last font type, vf, in sorted order
  for (const auto& key : keys) {
    if (key.first.find("\\fonts\\vf\\") != std::string::npos) deepFile = key.second;
  }
  std::printf("\n\"//\" searches (best of 20: the handle indexes its names once its walks add up)\n");
  bool hit = true;
  double deepHit = timeSearch(root + "\\fonts//", deepFile, 20, &hit);
  Report(("hit deep below fonts// (" + deepFile + ")").c_str(), 1e3 * deepHit, "ms",
         hit ? "" : "NOT FOUND");
  hit = true;
  double lastHit = timeSearch(root + "//", lastName, 20, &hit);
  Report("hit in the last directory of the whole tree", 1e3 * lastHit, "ms",
         hit ? "" : "NOT FOUND");
  hit = false;
  double treeMiss = timeSearch(root + "//", "no-such-file.tex", 20, &hit);
  Report("miss over the whole tree", 1e3 * treeMiss, "ms", "target < 5 ms");
  hit = false;
  double texMiss = timeSearch(root + "\\tex//", "no-such-file.sty", 20, &hit);
  Report("miss over tex//", 1e3 * texMiss, "ms", "");
  // The same miss again is dismissed.
  held->Search("no-such-file.tex", (root + "//").c_str(), result);
  start = Clock::now();
  held->Search("no-such-file.tex", (root + "//").c_str(), result);
  Report("dismissed repeat of the whole-tree miss", 1e6 * Seconds(start), "us", "");

  // Searches after the first: today's walk over the view against the handle, which indexes the
  // file names once its walks have tried enough directories. Medians of fresh names for misses.
  {
    std::printf("\n\"//\" searches after the first (medians; walk = every search walks the tree)\n");
    std::string all = root + "//";
    std::string relativeAll = "//";
    auto median = [](std::vector<double> values) {
      std::sort(values.begin(), values.end());
      return values[values.size() / 2];
    };
    auto walkMiss = std::vector<double>();
    auto handleMiss = std::vector<double>();
    auto walkHit = std::vector<double>();
    auto handleHit = std::vector<double>();
    FileNameDatabase* fresh = FileNameDatabase::Create(path.c_str(), root.c_str(), true);
    Clock::time_point begin = Clock::now();
    fresh->Search("first-miss.tex", all.c_str(), result);
    double firstMiss = Seconds(begin);
    for (int i = 0; i < 4; ++i) {  // "a few searches" before the measured ones
      fresh->Search(("warm" + std::to_string(i)).c_str(), all.c_str(), result);
    }
    for (int i = 0; i < 50; ++i) {
      std::string name = "new-miss" + std::to_string(i) + ".tex";
      begin = Clock::now();
      view.Search(relativeAll + name, result);
      walkMiss.push_back(Seconds(begin));
      begin = Clock::now();
      fresh->Search(name.c_str(), all.c_str(), result);
      handleMiss.push_back(Seconds(begin));
      begin = Clock::now();
      view.Search(relativeAll + lastName, result);
      walkHit.push_back(Seconds(begin));
      begin = Clock::now();
      bool ok = fresh->Search(lastName.c_str(), all.c_str(), result);
      handleHit.push_back(Seconds(begin));
      if (!ok) std::fprintf(stderr, "fndb_bench: %s not found\n", lastName.c_str());
    }
    begin = Clock::now();
    std::unique_ptr<FndbIndex> index = FndbIndex::Build(view);
    double build = Seconds(begin);
    Report("first miss of a fresh handle (walk)", 1e3 * firstMiss, "ms", "");
    Report("new missing name: walk", 1e6 * median(walkMiss), "us", "");
    Report("new missing name: handle", 1e6 * median(handleMiss), "us", "target < 50 us");
    Report("repeated hit in the last directory: walk", 1e6 * median(walkHit), "us", "");
    Report("repeated hit in the last directory: handle", 1e6 * median(handleHit), "us",
           "target < 5 us");
    Report("building the name index (once per handle)", 1e3 * build, "ms",
           index ? (std::to_string(index->Files()) + " names").c_str() : "NONE");
    fresh->Release();
  }

  held->Release();

  // The launcher's pattern over two roots (the database under two root paths), in fresh
  // processes; the hit lies in the last directory of the tex subtree in stored order.
  {
    std::string texEntry, texName;
    const FndbTreeDirectory& tex = maker.root.subdirectories.back();
    LastInStoredOrder(tex, root + "\\tex", &texEntry, &texName);
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, sizeof self);
    auto command = [&](const std::string& program) {
      return "\"" + program + "\" --after-first \"" + path + "\" \"" + texName + "\"";
    };
    bench::Figures figures, baselineFigures;
    if (!bench::RunInTurns(command(self), baseline.empty() ? "" : command(baseline), runs,
                           &figures, &baselineFigures)) {
      return 1;
    }
    std::printf("\nThe launcher's pattern over two roots through their handles (%s, %d fresh "
                "processes%s)\n",
                texName.c_str(), runs, baseline.empty() ? "" : " of each build, in turns");
    bench::PrintSideBySide(figures, baselineFigures, kLabels);
  }

  DeleteFileA(path.c_str());
  UninitializeLibrary();
  return 0;
}
