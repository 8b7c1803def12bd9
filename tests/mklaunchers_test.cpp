// mklaunchers.exe on a distribution of two roots: what it makes, replaces, removes and leaves.
#include "fndbbuilder.h"
#include "internal.h"
#include "testing.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace korvid;
using namespace testing_support;

namespace {

// A file's identity on its volume and its number of names (hard links); zeros if unreadable.
struct FileFacts {
  std::uint64_t index = 0;
  unsigned links = 0;
};

FileFacts Facts(const std::string& path) {
  FileFacts facts;
  FileHandle file(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr));
  BY_HANDLE_FILE_INFORMATION information;
  if (!file || !GetFileInformationByHandle(file.get(), &information)) return facts;
  facts.index = (static_cast<std::uint64_t>(information.nFileIndexHigh) << 32) |
                information.nFileIndexLow;
  facts.links = information.nNumberOfLinks;
  return facts;
}

// Roots <T>\local (no fndb: the disk is searched) and <T>\texmf (an fndb), named in the
// paths.ini beside the bin folder <T>\texmf\korvid\bin, which holds tervan.exe and
// mklaunchers.exe. Scripts: alpha, beta and other in texmf, zeta in local, gamma outside the
// launcher's subtrees; the fndb also lists three names the system refuses. The bin folder already
// holds: beta.exe and old.exe, launchers with other bytes; gone.exe, a copy of tervan.exe;
// delta.exe, another program of the distribution; other.exe, no program at all.
class Mklaunchers : public ::testing::Test {
 protected:
  void SetUp() override {
    local = folder.MakeDirectory("local");
    texmf = folder.MakeDirectory("texmf");
    bin = folder.MakeDirectory("texmf\\korvid\\bin");
    folder.Write("texmf\\korvid\\config\\paths.ini",
                 "[Paths]\nTeXMF Root Directories=" + local + ";" + texmf + "\nInstall Root=" +
                     texmf + "\nLocal Root=" + local + "\n");
    folder.Write("texmf\\korvid\\scripts\\alpha\\alpha.pl", "");
    folder.Write("texmf\\tex\\latex\\beta.pl", "");
    folder.Write("texmf\\korvid\\other.pl", "");
    folder.Write("texmf\\context\\readme.txt", "");
    folder.Write("texmf\\doc\\gamma.pl", "");
    folder.Write("local\\tex\\zeta.pl", "");

    CopyProgram("tervan.exe", bin + "\\tervan.exe");
    CopyProgram("mklaunchers.exe", bin + "\\mklaunchers.exe");
    CopyProgram("kwhere.exe", bin + "\\delta.exe");
    CopyProgram("tervan.exe", bin + "\\gone.exe");
    tervan = ReadFileBytes(bin + "\\tervan.exe");
    WriteFileBytes(bin + "\\beta.exe", tervan + "older");
    WriteFileBytes(bin + "\\old.exe", tervan + "older");
    WriteFileBytes(bin + "\\other.exe", "not a program");

    // The fndb of texmf as mkfndb writes it, with names no Windows folder can hold added.
    FndbTreeDirectory tree;
    std::vector<std::string> warnings;
    std::string error;
    ASSERT_TRUE(ReadDirectoryTree(texmf, &tree, &warnings, &error)) << error;
    for (FndbTreeDirectory& directory : tree.subdirectories) {
      if (directory.name != "context") continue;
      directory.files.insert(directory.files.end(), {"con.pl", "bad?x.pl", "dot..pl"});
    }
    ASSERT_TRUE(WriteFileAtomically(texmf + "\\korvid\\config\\texmf.fndb",
                                    LayOutFndb(tree, FndbLayoutOptions{}), &error))
        << error;
  }

  ProcessResult Run(const std::string& arguments, const std::string& program = "") {
    std::string tool = program.empty() ? bin + "\\mklaunchers.exe" : program;
    ProcessResult result = RunProcess("\"" + tool + "\" " + arguments);
    EXPECT_TRUE(result.started);
    result.out = UnixLineEnds(result.out);
    result.err = UnixLineEnds(result.err);
    return result;
  }

  std::string Refusals() const {
    const std::string context = texmf + "\\context\\";
    return "mklaunchers: passed over '" + context +
           "bad?x.pl': the name holds a character that file names cannot hold\n"
           "mklaunchers: passed over '" + context + "con.pl': the name is a device name\n"
           "mklaunchers: passed over '" + context + "dot..pl': the name ends in a dot or a blank\n"
           "mklaunchers: other.exe is not a launcher: left alone\n";
  }

  void ExpectLauncher(const std::string& name, const std::string& bytes, bool link) {
    SCOPED_TRACE(name);
    EXPECT_EQ(ReadFileBytes(bin + "\\" + name), bytes);
    FileFacts facts = Facts(bin + "\\" + name);
    EXPECT_EQ(facts.index == Facts(bin + "\\tervan.exe").index, link);
  }

  TestFolder folder;
  std::string local, texmf, bin, tervan;
  ScopedRegistry registry;
  ScopedEnvironment noBin{"KORVID_BINDIR", nullptr};
  ScopedEnvironment noCwd{"KORVID_CWD", nullptr};
  ScopedEnvironment noTrace{"KORVID_TRACE", nullptr};
};

}  // namespace

TEST_F(Mklaunchers, MakesReplacesAndLeavesAlone) {
  ProcessResult first = Run("\"" + bin + "\"");
  EXPECT_EQ(first.exitCode, 1u);  // names passed over, other.exe left alone
  EXPECT_EQ(first.out,
            "made alpha.exe (hard link)\n"
            "replaced beta.exe (hard link)\n"
            "made zeta.exe (hard link)\n"
            "replaced old.exe (hard link)\n"
            "mklaunchers: 2 made, 2 replaced, 0 removed, 1 up to date, 4 passed over, 0 failed\n");
  EXPECT_EQ(first.err, Refusals());
  for (const char* name : {"alpha.exe", "beta.exe", "zeta.exe", "old.exe"}) {
    ExpectLauncher(name, tervan, true);
  }
  ExpectLauncher("gone.exe", tervan, false);  // a current copy stays as it is
  EXPECT_EQ(Facts(bin + "\\tervan.exe").links, 5u);
  EXPECT_EQ(ReadFileBytes(bin + "\\other.exe"), "not a program");
  EXPECT_EQ(ReadFileBytes(bin + "\\delta.exe"), ReadFileBytes(BuildDirectory() + "\\kwhere.exe"));
  // Nothing else: no launcher of a refused name or of a script outside the subtrees, no
  // temporary file.
  const std::vector<std::string> names = {"alpha.exe", "beta.exe", "delta.exe", "gone.exe",
                                          "mklaunchers.exe", "old.exe", "other.exe",
                                          "tervan.exe", "zeta.exe"};
  EXPECT_EQ(FolderNames(bin), names);

  ProcessResult again = Run("\"" + bin + "\\\\\"");  // a trailing separator changes nothing
  EXPECT_EQ(again.exitCode, 1u);
  EXPECT_EQ(again.out,
            "mklaunchers: 0 made, 0 replaced, 0 removed, 5 up to date, 4 passed over, 0 failed\n");
  EXPECT_EQ(again.err, Refusals());

  // An upgrade replaces tervan.exe by a new file: every launcher becomes a link to it again.
  const std::string upgraded = tervan + "upgraded";
  ASSERT_TRUE(DeleteFileA((bin + "\\tervan.exe").c_str()));
  WriteFileBytes(bin + "\\tervan.exe", upgraded);
  ProcessResult upgrade = Run("\"" + bin + "\"");
  EXPECT_EQ(upgrade.out,
            "replaced alpha.exe (hard link)\n"
            "replaced beta.exe (hard link)\n"
            "replaced zeta.exe (hard link)\n"
            "replaced gone.exe (hard link)\n"
            "replaced old.exe (hard link)\n"
            "mklaunchers: 0 made, 5 replaced, 0 removed, 0 up to date, 4 passed over, 0 failed\n");
  for (const char* name : {"alpha.exe", "beta.exe", "zeta.exe", "gone.exe", "old.exe"}) {
    ExpectLauncher(name, upgraded, true);
  }
}

TEST_F(Mklaunchers, DryRunChangesNothing) {
  ProcessResult result = Run("--dry-run --prune \"" + bin + "\"");
  EXPECT_EQ(result.exitCode, 1u);
  EXPECT_EQ(result.out,
            "would make alpha.exe\n"
            "would replace beta.exe\n"
            "would make zeta.exe\n"
            "would remove gone.exe\n"
            "would remove old.exe\n"
            "mklaunchers: 2 to make, 1 to replace, 2 to remove, 0 up to date, 4 passed over, "
            "0 failed (dry run: nothing changed)\n");
  EXPECT_EQ(result.err, Refusals());
  EXPECT_FALSE(Exists(bin + "\\alpha.exe"));
  EXPECT_EQ(ReadFileBytes(bin + "\\beta.exe"), tervan + "older");
  EXPECT_TRUE(Exists(bin + "\\gone.exe"));
  EXPECT_EQ(Facts(bin + "\\tervan.exe").links, 1u);
}

TEST_F(Mklaunchers, CopiesWhenAsked) {
  ProcessResult result = Run("-c \"" + bin + "\"");
  EXPECT_EQ(result.out,
            "made alpha.exe (copy)\n"
            "replaced beta.exe (copy)\n"
            "made zeta.exe (copy)\n"
            "replaced old.exe (copy)\n"
            "mklaunchers: 2 made, 2 replaced, 0 removed, 1 up to date, 4 passed over, 0 failed\n");
  for (const char* name : {"alpha.exe", "beta.exe", "zeta.exe", "old.exe"}) {
    ExpectLauncher(name, tervan, false);
    EXPECT_EQ(Facts(bin + "\\" + name).links, 1u);
  }
}

TEST_F(Mklaunchers, PruneRemovesOnlyLaunchersWhoseScriptIsGone) {
  ProcessResult first = Run("--prune \"" + bin + "\"");
  EXPECT_EQ(first.out,
            "made alpha.exe (hard link)\n"
            "replaced beta.exe (hard link)\n"
            "made zeta.exe (hard link)\n"
            "removed gone.exe\n"
            "removed old.exe\n"
            "mklaunchers: 2 made, 1 replaced, 2 removed, 0 up to date, 4 passed over, 0 failed\n");
  EXPECT_FALSE(Exists(bin + "\\gone.exe"));
  EXPECT_FALSE(Exists(bin + "\\old.exe"));
  for (const char* kept : {"delta.exe", "other.exe", "mklaunchers.exe", "tervan.exe"}) {
    EXPECT_TRUE(Exists(bin + "\\" + kept)) << kept;
  }

  // The fndb still lists alpha.pl, but the launcher's search no longer finds it.
  ASSERT_TRUE(DeleteFileA((texmf + "\\korvid\\scripts\\alpha\\alpha.pl").c_str()));
  ProcessResult gone = Run("-p \"" + bin + "\"");
  EXPECT_EQ(gone.out,
            "removed alpha.exe\n"
            "mklaunchers: 0 made, 0 replaced, 1 removed, 2 up to date, 4 passed over, 0 failed\n");

  // While a root is missing, its scripts seem gone: nothing is pruned.
  RemoveTree(local);
  ProcessResult missing = Run("--prune \"" + bin + "\"");
  EXPECT_EQ(missing.exitCode, 1u);
  EXPECT_EQ(missing.out,
            "mklaunchers: 0 made, 0 replaced, 0 removed, 2 up to date, 5 passed over, 0 failed\n");
  EXPECT_EQ(missing.err, "mklaunchers: the root directory '" + local +
                             "' does not exist: nothing is pruned\n" + Refusals());
  EXPECT_TRUE(Exists(bin + "\\zeta.exe"));
}

TEST_F(Mklaunchers, UsageAndWhatItNeeds) {
  folder.MakeDirectory("empty");
  CopyProgram("kwhere.exe", folder.Join("impostor\\tervan.exe"));
  struct Row {
    std::string arguments;
    std::uint32_t exitCode;
    std::string out;  // how it begins
    std::string err;  // how it begins
  };
  const Row rows[] = {
      {"", 2, "", "mklaunchers: no BINDIR given\n\nusage: mklaunchers [options] BINDIR\n"},
      {"a b", 2, "", "mklaunchers: one BINDIR only\n\nusage: mklaunchers"},
      {"--bogus x", 2, "", "mklaunchers: unknown option --bogus\n\nusage: mklaunchers"},
      {"--help", 0, "usage: mklaunchers [options] BINDIR\n", ""},
      {"--version", 0, "mklaunchers (tervan) " KORVID_VERSION "\n" KORVID_COPYRIGHT "\n", ""},
      {"\"" + folder.Join("none") + "\"", 1, "",
       "mklaunchers: '" + folder.Join("none") + "' is not a folder\n"},
      {"\"" + folder.Join("empty") + "\"", 1, "",
       "mklaunchers: cannot read '" + folder.Join("empty\\tervan.exe") + "': "},
      {"\"" + folder.Join("impostor") + "\"", 1, "",
       "mklaunchers: '" + folder.Join("impostor\\tervan.exe") +
           "' is not tervan.exe: its version resource does not say tervan\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.arguments);
    ProcessResult result = Run(row.arguments);
    EXPECT_EQ(result.exitCode, row.exitCode);
    EXPECT_EQ(result.out.rfind(row.out, 0), 0u) << result.out;
    EXPECT_EQ(result.err.rfind(row.err, 0), 0u) << result.err;
  }
  // Another folder's roots may not be the bin folder's: said, and nothing else changes.
  ProcessResult elsewhere = Run("-n \"" + bin + "\"", BuildDirectory() + "\\mklaunchers.exe");
  EXPECT_EQ(elsewhere.err.rfind("mklaunchers: note: the TEXMF roots are those found for the "
                                "programs in '" + BuildDirectory() + "', not in '" + bin + "'\n",
                                0),
            0u)
      << elsewhere.err;
}
