// kwhere.exe over a distribution of two roots: one searched through its fndb, one on the disk.
#include "fndbbuilder.h"
#include "internal.h"
#include "testing.h"

#include <gtest/gtest.h>

#include <string>

using namespace korvid;
using namespace testing_support;

namespace {

// Roots <T>\local (no fndb) and <T>\texmf (fndb), named in <T>\texmf\korvid\config\paths.ini,
// which kwhere finds through KORVID_BINDIR. foo.pl lies in both roots; new.pl was added to the
// texmf root after its fndb was written.
class Kwhere : public ::testing::Test {
 protected:
  void SetUp() override {
    local = folder.MakeDirectory("local");
    texmf = folder.MakeDirectory("texmf");
    fndbPath = texmf + "\\korvid\\config\\texmf.fndb";
    folder.Write("texmf\\korvid\\config\\paths.ini",
                 "[Paths]\nTeXMF Root Directories=" + local + ";" + texmf + "\nInstall Root=" +
                     texmf + "\nLocal Root=" + local + "\n");
    folder.Write("texmf\\context\\bar\\foo.pl", "");
    folder.Write("texmf\\tex\\perl\\foo.pl", "");
    folder.Write("local\\tex\\foo.pl", "");
    FndbBuildOptions options;
    options.root = texmf;
    FndbBuildResult result;
    ASSERT_TRUE(BuildFndb(options, &result)) << result.error;
    folder.Write("texmf\\korvid\\scripts\\new.pl", "");
  }
  ProcessResult Run(const std::string& arguments) {
    ProcessResult result =
        RunProcess("\"" + BuildDirectory() + "\\kwhere.exe\" " + arguments);
    EXPECT_TRUE(result.started);
    result.out = UnixLineEnds(result.out);
    result.err = UnixLineEnds(result.err);
    return result;
  }

  TestFolder folder;
  std::string local, texmf, fndbPath;
  ScopedEnvironment bin{"KORVID_BINDIR", folder.Join("texmf\\korvid\\bin").c_str()};
  ScopedEnvironment noCwd{"KORVID_CWD", nullptr};
  ScopedEnvironment noTrace{"KORVID_TRACE", nullptr};
};

}  // namespace

TEST_F(Kwhere, AnswersAndExitCodes) {
  const std::string first = texmf + "\\context\\bar\\foo.pl";
  const std::string fresh = texmf + "\\korvid\\scripts\\new.pl";
  const std::string longName(kMaxPath, 'n');
  struct Row {
    std::string arguments;
    std::uint32_t exitCode;
    std::string out;
    std::string err;  // for wrong usage: how it begins
  };
  const Row rows[] = {
      {"foo.pl", 0, first + "\n", ""},
      {"--all foo.pl", 0,
       first + "  (root 1 " + texmf + ", fndb)\n" + local + "\\tex\\foo.pl  (root 0 " + local +
           ", disk)\n" + texmf + "\\tex\\perl\\foo.pl  (root 1 " + texmf + ", fndb)\n",
       ""},
      {"-p %R/tex// foo.pl", 0, local + "\\tex\\foo.pl\n", ""},
      {"foo.pl new.pl", 1, first + "\n", "kwhere: new.pl not found\n"},
      {"-a new.pl", 1,
       fresh + "  (root 1 " + texmf + ", on disk but not in its fndb: not searched; run mkfndb " +
           texmf + ")\n",
       "kwhere: new.pl not found\n"},
      {"\"" + fresh + "\"", 0, fresh + "\n", ""},
      {longName, 1, "", "kwhere: the name '" + longName + "' is longer than 259 characters\n"},
      {"--version", 0, "kwhere (tervan) " KORVID_VERSION "\n" KORVID_COPYRIGHT "\n", ""},
      {"", 2, "", "kwhere: no NAME given\n\nusage: kwhere [options] NAME...\n"},
      {"--bogus foo.pl", 2, "", "kwhere: unknown option --bogus\n\nusage: kwhere"},
      {"foo.pl --pattern", 2, "", "kwhere: --pattern needs a pattern\n\nusage: kwhere"},
      {"--roots foo.pl", 2, "", "kwhere: --roots takes no NAME\n\nusage: kwhere"},
      {"--perl foo.pl", 2, "", "kwhere: --perl takes no NAME\n\nusage: kwhere"},
      {"--perl -r", 2, "", "kwhere: --perl and --roots cannot be combined\n\nusage: kwhere"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.arguments);
    ProcessResult result = Run(row.arguments);
    EXPECT_EQ(result.exitCode, row.exitCode);
    EXPECT_EQ(result.out, row.out);
    if (row.exitCode == 2) {
      EXPECT_EQ(result.err.rfind(row.err, 0), 0u) << result.err;
    } else {
      EXPECT_EQ(result.err, row.err);
    }
  }
}

TEST_F(Kwhere, RootsAndTheirFndbs) {
  std::uint32_t size = static_cast<std::uint32_t>(ReadFileBytes(fndbPath).size());
  ProcessResult result = Run("--roots");
  EXPECT_EQ(result.exitCode, 0u);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.out, "0 " + local + " [local]\n  fndb " + local +
                            "\\korvid\\config\\texmf.fndb: absent (the disk is searched)\n1 " +
                            texmf + " [install]\n  fndb " + fndbPath + ": present, frozen, " +
                            std::to_string(size) + " bytes, 3 files\n");  // paths.ini and the two foo.pl

  WriteFileBytes(fndbPath, "not a database, but long enough to hold a header");
  RemoveTree(local);
  result = Run("-r");
  EXPECT_EQ(result.exitCode, 1u);
  EXPECT_NE(result.out.find("0 " + local + " [local] [missing]\n"), std::string::npos);
  EXPECT_NE(result.out.find("  fndb " + fndbPath + ": present, not an fndb file\n"),
            std::string::npos);
  EXPECT_EQ(result.err, "kwhere: the root directory '" + local + "' does not exist\n" +
                            "kwhere: the fndb '" + fndbPath +
                            "' cannot be used (not an fndb file); run mkfndb " + texmf + "\n");
}

TEST_F(Kwhere, TraceOptionTracesEveryStream) {
  ProcessResult plain = Run("foo.pl");
  ProcessResult traced = Run("--trace foo.pl");
  EXPECT_EQ(traced.exitCode, 0u);
  EXPECT_EQ(traced.out, plain.out);
  EXPECT_EQ(plain.err, "");
  for (const std::string& wanted :
       {"korvidlib: registering TEXMF root '" + local + "'...\n",
        "korvidlib: loading frozen " + fndbPath + "...\n",
        "korvidlib: AccessFile('" + texmf + "\\context\\bar\\foo.pl', 0) => true\n"}) {
    EXPECT_NE(traced.err.find(wanted), std::string::npos) << wanted;
  }
  // A trace file that cannot be opened is reported, and the lines stay on standard error.
  ScopedEnvironment file("KORVID_TRACE_FILE", folder.Join("none\\trace.log").c_str());
  ProcessResult unopened = Run("-t foo.pl");
  EXPECT_EQ(unopened.exitCode, 0u);
  EXPECT_EQ(unopened.err.rfind("korvidlib: Win32 error #3 in 'lib/trace' on line ", 0), 0u)
      << unopened.err;
  EXPECT_NE(unopened.err.find("Info: " + folder.Join("none\\trace.log") + "\n"),
            std::string::npos);
  EXPECT_NE(unopened.err.find("korvidlib: loading frozen " + fndbPath + "...\n"),
            std::string::npos);
}

// After updates in place (the install root's fndb is held, as a running program would), kwhere
// --all tells where the search finds the script and where the disk holds one the fndb does not
// list.
TEST_F(Kwhere, TellsTheTruthAfterUpdatesInPlace) {
  FileNameDatabase* holder = FileNameDatabase::Create(fndbPath.c_str(), texmf.c_str(), true);
  ASSERT_NE(holder, nullptr);
  const std::string fresh = texmf + "\\korvid\\scripts\\new.pl";
  const std::string mkfndb = "\"" + BuildDirectory() + "\\mkfndb.exe\" ";
  struct Row {
    std::string update;
    std::uint32_t exitCode;
    std::string out;
  };
  const Row rows[] = {
      {"--add \"" + texmf + "\" \"" + fresh + "\"", 0,
       fresh + "  (root 1 " + texmf + ", fndb)\n"},
      {"--remove \"" + texmf + "\" \"" + fresh + "\"", 1,
       fresh + "  (root 1 " + texmf + ", on disk but not in its fndb: not searched; run mkfndb " +
           texmf + ")\n"},
      {"\"" + texmf + "\"", 0, fresh + "  (root 1 " + texmf + ", fndb)\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.update);
    ProcessResult update = RunProcess(mkfndb + row.update);
    ASSERT_EQ(update.exitCode, 0u) << update.out << update.err;
    ProcessResult result = Run("--all new.pl");
    EXPECT_EQ(result.exitCode, row.exitCode);
    EXPECT_EQ(result.out, row.out);
  }
  holder->Release();
}
