// TEXMF roots: discovery from the edition marker, paths.ini, the registry and the defaults, and
// the questions the root table answers.
#include "fndbbuilder.h"
#include "internal.h"
#include "library_fixture.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <sstream>
#include <string>
#include <vector>

using namespace korvid;
using testing_support::ScopedEnvironment;
using testing_support::ScopedRegistry;
using testing_support::TestFolder;
using List = std::vector<std::string>;

namespace {

class Roots : public testing_support::LibraryTest {
 protected:
  List RootPaths() {
    List paths;
    char buffer[kRootBufferSize];
    for (unsigned i = 0; i < GetNumberOfRoots(); ++i) {
      paths.push_back(GetRootDirectory(i, buffer) ? buffer : "(none)");
    }
    return paths;
  }
};

// The answers of a probe program copied to `exe`, one "key=value" line each.
std::map<std::string, std::string> Probe(const std::string& exe, const std::string& questions,
                                         List* debugLines = nullptr) {
  testing_support::ProcessOptions options;
  options.collectDebugOutput = debugLines != nullptr;
  auto result = testing_support::RunProcess("\"" + exe + "\" " + questions, options);
  EXPECT_TRUE(result.started);
  std::map<std::string, std::string> answers;
  std::istringstream lines(result.out);
  std::string line;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::size_t equals = line.find('=');
    if (equals != std::string::npos) answers[line.substr(0, equals)] = line.substr(equals + 1);
  }
  if (debugLines != nullptr) {
    for (std::string& l : result.debugLines) {
      if (l.rfind("korvidlib: ", 0) == 0) l.erase(0, 11);
      if (!l.empty() && l.back() == '\n') l.pop_back();
      debugLines->push_back(l);
    }
  }
  return answers;
}

std::string Put(const std::string& path, const std::string& content) {
  testing_support::WriteFileBytes(path, content);
  return path;
}

bool Contains(const List& lines, const std::string& text) {
  for (const std::string& line : lines) {
    if (line == text) return true;
  }
  return false;
}

// A distribution tree: <folder>\texmf\korvid\bin\probe.exe with its config directory beside bin.
class Discovery : public ::testing::Test {
 protected:
  void SetUp() override {
    bin = folder.MakeDirectory("texmf\\korvid\\bin");
    config = folder.MakeDirectory("texmf\\korvid\\config");
    exe = bin + "\\probe.exe";
    testing_support::CopyProgram("probe.exe", exe);
  }
  TestFolder folder;
  ScopedRegistry registry;
  ScopedEnvironment noBin{"KORVID_BINDIR", nullptr};
  ScopedEnvironment noLocal{"KD_LOCALROOT", nullptr};
  ScopedEnvironment traces{"PROBE_TRACES", "error,config"};
  std::string bin, config, exe;
};

}  // namespace

TEST_F(Roots, RootContainingAPath) {
  Start("C:\\texmf;C:\\texmf\\local;C:\\texmf\\local");
  struct Row { const char* path; int root; };
  const Row rows[] = {
      {"C:\\TEXMF\\local\\tex\\a.sty", 1}, {"C:\\texmf\\tex\\a.sty", 0}, {"C:\\texmfx\\a.sty", -1},
      {"C:\\texmf", 0},                    {"c:/texmf/local", 1},        {"D:\\texmf\\a", -1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.path);
    EXPECT_EQ(DetermineRootDirectory(row.path), row.root);
  }
  capture.Clear();
  EXPECT_EQ(DetermineRootDirectory("texmf\\a.sty"), -1);
  EXPECT_EQ(capture.Texts(), List{"DetermineRootDirectory: not fq path: 'texmf\\a.sty'"});
}

TEST_F(Roots, RootWithATrailingBackslash) {
  Start("C:\\texmf\\");
  EXPECT_EQ(DetermineRootDirectory("C:\\texmf\\tex\\a.sty"), -1);
  EXPECT_EQ(DetermineRootDirectory("C:\\texmf\\"), 0);
  EXPECT_EQ(DetermineRootDirectory("C:\\texmf\\\\x"), 0);
}

TEST_F(Roots, EmptyEntriesAreSkippedAndIndicesFollowTheTable) {
  Start("C:\\a;;C:\\b", "", "c:/B");
  EXPECT_EQ(RootPaths(), (List{"C:\\a", "C:\\b"}));
  EXPECT_EQ(GetLocalRoot(), 1);
  EXPECT_EQ(GetInstallRoot(), 0);
}

TEST_F(Roots, TrailingSeparatorAddsNoRoot) {
  Start("C:\\a;");
  EXPECT_EQ(RootPaths(), List{"C:\\a"});
}

TEST_F(Roots, InstallRootMustMatchWhole) {
  Start("C:\\x;C:\\texmf", "C:\\texmf\\", "C:\\TEXMF");
  EXPECT_EQ(GetInstallRoot(), 0);
  EXPECT_EQ(GetLocalRoot(), 1);
}

TEST_F(Roots, LastOfSeveralMatchesGivesTheIndex) {
  Start("C:\\t;C:\\u;c:/t", "C:\\t");
  EXPECT_EQ(GetInstallRoot(), 2);
  EXPECT_EQ(RootPaths().size(), 3u);
}

TEST_F(Roots, EmptyRegistryListFallsBackToRootDirectory) {
  registry.Set(ScopedRegistry::Hive::LocalMachine, "Korvid", "Root Directory", "C:\\machine");
  Start("");
  EXPECT_EQ(RootPaths(), List{"C:\\machine"});
}

TEST_F(Roots, CurrentUserListHidesTheMachines) {
  registry.Set(ScopedRegistry::Hive::LocalMachine, "Korvid", "TeXMF Root Directories",
               "C:\\machine");
  Start("C:\\user");
  EXPECT_EQ(RootPaths(), List{"C:\\user"});
}

TEST_F(Roots, InvalidIndexIsReported) {
  Start("C:\\a;C:\\b");
  char buffer[kRootBufferSize];
  for (unsigned index : {2u, 4294967295u}) {
    SCOPED_TRACE(index);
    capture.Clear();
    EXPECT_EQ(GetRootDirectory(index, buffer), nullptr);
    EXPECT_EQ(GetLastErrorRecord().code, ErrorCode::InternalError);
    EXPECT_TRUE(capture.HasText("#" + std::to_string(index) + " is an invalid TEXMF root"));
    EXPECT_EQ(capture.CountContaining("internal error in 'lib/texmfroot'"), 1);
  }
  EXPECT_FALSE(GetFndbFileName(7, buffer));
  EXPECT_EQ(GetFndb(7), nullptr);
}

TEST_F(Roots, NoRootsAfterDiscovery) {
  Start(";");
  capture.Clear();
  EXPECT_EQ(GetNumberOfRoots(), 0u);
  EXPECT_EQ(GetInstallRoot(), -1);
  EXPECT_EQ(GetLocalRoot(), -1);
  EXPECT_EQ(capture.CountContaining("no TEXMF roots configured"), 3);
  EXPECT_EQ(GetLastErrorRecord().code, ErrorCode::InternalError);
}

TEST_F(Roots, OverlongRootIsLeftOut) {
  std::string longRoot = "C:\\" + std::string(300, 'l');
  Start("C:\\a;" + longRoot + ";C:\\b", "C:\\b");
  EXPECT_EQ(RootPaths(), (List{"C:\\a", "C:\\b"}));
  EXPECT_EQ(GetInstallRoot(), 1);
}

TEST_F(Roots, FreeRootsDiscoversAfresh) {
  Start("C:\\a");
  EXPECT_EQ(RootPaths(), List{"C:\\a"});
  registry.Set(ScopedRegistry::Hive::CurrentUser, "Korvid", "TeXMF Root Directories", "C:\\b");
  EXPECT_EQ(RootPaths(), List{"C:\\a"});  // fixed for the context
  FreeRoots();
  EXPECT_EQ(RootPaths(), List{"C:\\b"});
}

TEST_F(Discovery, ReadOnlyMarkerSelectsTheDirectEdition) {
  std::string marker = Put(config + "\\kd.ini", "");
  testing_support::SetReadOnly(marker, true);
  Put(config + "\\paths.ini", "[Paths]\nTeXMF Root Directories=C:\\p\n");
  registry.Set(ScopedRegistry::Hive::CurrentUser, "Korvid", "TeXMF Root Directories", "C:\\r");
  ScopedEnvironment local("KD_LOCALROOT", "D:\\loc");
  List lines;
  auto answers = Probe(exe, "kd roots", &lines);
  EXPECT_EQ(answers["kd"], "1");
  EXPECT_EQ(answers["root0"], "D:\\loc");
  EXPECT_EQ(answers["root1"], folder.Path() + "\\texmf");
  EXPECT_EQ(answers["local"], "0");
  EXPECT_EQ(answers["install"], "1");
  EXPECT_TRUE(Contains(lines, "KorvidDirect setup"));
  EXPECT_TRUE(Contains(lines, "registering TEXMF root 'D:\\loc'..."));
}

// (Wine sets SystemDrive afresh in every process it starts, so the drive cannot be moved here.)
TEST_F(Discovery, DirectEditionLocalRootFromTheSystemDrive) {
  std::string marker = Put(config + "\\kd.ini", "");
  testing_support::SetReadOnly(marker, true);
  auto answers = Probe(exe, "roots");
  EXPECT_EQ(answers["root0"], std::string(1, std::getenv("SystemDrive")[0]) + ":\\KorvidDirect");
}

TEST_F(Discovery, WritableMarkerIsNoEdition) {
  Put(config + "\\kd.ini", "");
  Put(config + "\\paths.ini",
                             "[Paths]\nTeXMF Root Directories=C:\\p0;C:\\p1\n"
                             "Install Root=c:/P1 ; a remark\nLocal Root=C:\\p0\n");
  auto answers = Probe(exe, "kd roots");
  EXPECT_EQ(answers["kd"], "0");
  EXPECT_EQ(answers["root0"], "C:\\p0");
  EXPECT_EQ(answers["root1"], "C:\\p1");
  EXPECT_EQ(answers["install"], "1");
  EXPECT_EQ(answers["local"], "0");
}

TEST_F(Discovery, BinDirectoryMovesWherePathsIniIsRead) {
  std::string other = folder.MakeDirectory("elsewhere\\bin");
  Put(folder.Join("elsewhere\\config\\paths.ini"),
                             "[Paths]\nTeXMF Root Directories=C:\\moved\n");
  Put(config + "\\paths.ini", "[Paths]\nTeXMF Root Directories=C:\\own\n");
  ScopedEnvironment binDir("KORVID_BINDIR", other.c_str());
  auto answers = Probe(exe, "bindir roots");
  EXPECT_EQ(answers["bindir"], other);
  EXPECT_EQ(answers["root0"], "C:\\moved");
}

TEST_F(Discovery, BinDirectoryDoesNotMoveTheDefaults) {
  ScopedEnvironment binDir("KORVID_BINDIR", folder.Path().c_str());
  List lines;
  auto answers = Probe(exe, "roots", &lines);
  EXPECT_EQ(answers["root0"], bin + "\\..\\..");
  EXPECT_EQ(answers["install"], "0");
  EXPECT_EQ(answers["local"], "0");
  EXPECT_TRUE(Contains(lines, "TEXMF roots not yet configured"));
}

TEST_F(Discovery, OverlongPathsIniListFallsBackToTheRegistry) {
  std::string list = "C:\\" + std::string(4093, 'x');  // 4096 characters
  Put(config + "\\paths.ini",
                             "[Paths]\nTeXMF Root Directories=" + list + "\n");
  registry.Set(ScopedRegistry::Hive::CurrentUser, "Korvid", "TeXMF Root Directories", "C:\\reg");
  List lines;
  auto answers = Probe(exe, "roots", &lines);
  EXPECT_EQ(answers["root0"], "C:\\reg");
  EXPECT_TRUE(Contains(lines, "buffer capacity exceeded"));
}

TEST_F(Discovery, PathsIniWithoutTheListOrUnparsable) {
  Put(config + "\\paths.ini", "[Paths]\nInstall Root=C:\\x\n");
  registry.Set(ScopedRegistry::Hive::CurrentUser, "Korvid", "TeXMF Root Directories", "C:\\reg");
  List lines;
  auto answers = Probe(exe, "roots", &lines);
  EXPECT_EQ(answers["root0"], "C:\\reg");
  EXPECT_TRUE(Contains(lines, "value 'TeXMF Root Directories' does not exist"));

  Put(config + "\\paths.ini", "[Paths]\nno equals sign\n");
  lines.clear();
  answers = Probe(exe, "roots", &lines);
  EXPECT_EQ(answers["root0"], "C:\\reg");
  EXPECT_TRUE(Contains(lines, "cannot parse '" + bin + "\\..\\config\\paths.ini'"));
}

namespace {

// Roots on disk, some with an fndb made by the builder.
class RootFndbs : public testing_support::LibraryTest {
 protected:
  std::string MakeRoot(const std::string& name, bool withFndb) {
    std::string root = folder.MakeDirectory(name);
    folder.Write(name + "\\tex\\a.sty", "");
    if (withFndb) Build(root);
    return root;
  }
  void Build(const std::string& root, const std::string& output = "") {
    FndbBuildOptions options;
    options.root = root;
    options.output = output;
    FndbBuildResult result;
    ASSERT_TRUE(BuildFndb(options, &result)) << result.error;
  }
  static std::string Pointer(const void* p) {
    char text[32];
    std::snprintf(text, sizeof text, "%p", p);
    return text;
  }
};

}  // namespace

TEST_F(RootFndbs, SameHandleAndOneMoreReferenceEachTime) {
  std::string r0 = MakeRoot("r0", true);
  Start(r0);
  SetTraceOptions("error,fndb");
  capture.Clear();
  FndbReference first = GetFndb(0);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->ReferenceCount(), 2);
  FndbReference second = GetFndb(0);
  EXPECT_EQ(second.get(), first.get());
  EXPECT_EQ(first->ReferenceCount(), 3);
  std::string path = r0 + "\\korvid\\config\\texmf.fndb";
  EXPECT_EQ(capture.Texts(),
            (List{"loading " + path + "...", "... " + Pointer(first.get())}));
  second.reset();
  EXPECT_EQ(first->ReferenceCount(), 2);
}

TEST_F(RootFndbs, OnlyTheLocalRootIsOpenedWritable) {
  std::string r0 = MakeRoot("r0", true);
  std::string r1 = MakeRoot("r1", true);
  Start(r0 + ";" + r1, "", r1);
  SetTraceOptions("error,fndb");
  capture.Clear();
  EXPECT_TRUE(GetFndb(0)->IsReadOnly());
  EXPECT_FALSE(GetFndb(1)->IsReadOnly());
  EXPECT_TRUE(capture.HasText("loading frozen " + r0 + "\\korvid\\config\\texmf.fndb..."));
  EXPECT_TRUE(capture.HasText("loading " + r1 + "\\korvid\\config\\texmf.fndb..."));
}

TEST_F(RootFndbs, StartupFlagFreezesTheLocalRootToo) {
  std::string r0 = MakeRoot("r0", true);
  StartupOptions options{kStartupFrozenFndbs, {}};
  Start(r0, "", r0, &options);
  EXPECT_TRUE(GetFndb(0)->IsReadOnly());
}

TEST_F(RootFndbs, RootWithoutFndbIsAskedOnce) {
  std::string r0 = MakeRoot("r0", false);
  Start(r0);
  SetTraceOptions("error,fndb");
  capture.Clear();
  EXPECT_EQ(GetFndb(0), nullptr);
  EXPECT_EQ(GetFndb(0), nullptr);
  EXPECT_EQ(capture.Texts(), List{"there is no fndb for '" + r0 + "'"});
  char buffer[kRootBufferSize];
  EXPECT_FALSE(GetFndbFileName(0, buffer));
}

TEST_F(RootFndbs, NumberedFndbInAnyRootWins) {
  std::string r0 = MakeRoot("r0", false);
  std::string r1 = MakeRoot("r1", true);
  folder.MakeDirectory("r0\\korvid\\config");
  Build(r1, r0 + "\\korvid\\config\\texmf1.fndb");
  Start(r0 + ";" + r1);
  char buffer[kRootBufferSize];
  ASSERT_TRUE(GetFndbFileName(1, buffer));
  EXPECT_EQ(std::string(buffer), r0 + "\\korvid\\config\\texmf1.fndb");
  ASSERT_TRUE(GetFndbFileName(0, buffer) == false);
  FndbReference fndb = GetFndb(1);
  ASSERT_NE(fndb, nullptr);
  EXPECT_STREQ(fndb->RootPath(), r1.c_str());
}

TEST_F(RootFndbs, UnloadLeavesWhatIsStillHeld) {
  std::string r0 = MakeRoot("r0", true);
  std::string r1 = MakeRoot("r1", true);
  Start(r0 + ";" + r1);
  SetTraceOptions("error,fndb");
  FndbReference held = GetFndb(0);
  FileNameDatabase* other = GetFndb(1).get();
  capture.Clear();
  EXPECT_FALSE(UnloadFndbs());
  EXPECT_EQ(capture.Texts(), (List{"cannot unload fndb #0: still in use",
                                   "unloading fndb " + Pointer(other)}));
  EXPECT_EQ(held->ReferenceCount(), 2);
  held.reset();
  EXPECT_TRUE(UnloadFndbs());
  capture.Clear();
  EXPECT_NE(GetFndb(1), nullptr);  // loaded again on demand
  EXPECT_TRUE(capture.HasText("loading frozen " + r1 + "\\korvid\\config\\texmf.fndb..."));
}

TEST_F(RootFndbs, DamagedFndbIsNotTriedAgain) {
  std::string r0 = MakeRoot("r0", false);
  std::string path = folder.Write("r0\\korvid\\config\\texmf.fndb", std::string(64, 'x'));
  Start(r0);
  capture.Clear();
  EXPECT_EQ(GetFndb(0), nullptr);
  EXPECT_TRUE(capture.HasText("'" + path + "' is not an fndb file"));
  EXPECT_TRUE(capture.HasText("cannot load '" + path + "'"));
  capture.Clear();
  EXPECT_EQ(GetFndb(0), nullptr);
  EXPECT_TRUE(capture.Lines().empty());
}

TEST_F(RootFndbs, ShutdownReleasesTheTablesReferences) {
  std::string r0 = MakeRoot("r0", true);
  Start(r0);
  SetTraceOptions("error,fndb");
  FndbReference kept = GetFndb(0);
  FreeRoots();
  EXPECT_EQ(kept->ReferenceCount(), 1);  // a holder keeps the handle alive
  capture.Clear();
  kept.reset();
  EXPECT_EQ(capture.CountContaining("unloading fndb "), 1);
}
