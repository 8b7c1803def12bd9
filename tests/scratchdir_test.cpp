// The scratch directory: candidates in order, the tests each candidate must pass, and the export
// of the temporary-folder variables at start-up.
#include "internal.h"
#include "library_fixture.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

using namespace korvid;
using testing_support::ScopedEnvironment;
using List = std::vector<std::string>;

namespace {

// Q: is no drive of the test prefix, so the candidates on the system drive all fail unless a test
// points SystemDrive elsewhere.
class Scratch : public testing_support::LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    temp = folder.MakeDirectory("systemp");
    Start(folder.Join("noroot"));
  }
  std::string Choose(bool plainOnly) {
    char buffer[kMaxPath];
    return ChooseScratchDirectory(buffer, plainOnly) ? std::string(buffer) : "(none)";
  }
  List Verdicts() {
    List lines;
    for (const std::string& text : capture.Texts()) {
      if (text.rfind("IsGoodTempFolder", 0) == 0) lines.push_back(text);
    }
    return lines;
  }
  std::string temp;
  ScopedEnvironment drive{"SystemDrive", "Q:"};
  ScopedEnvironment tmp{"TMP", nullptr};
  ScopedEnvironment tempVariable{"TEMP", nullptr};
};

}  // namespace

TEST_F(Scratch, ConfiguredValueWins) {
  std::string configured = folder.MakeDirectory("configured");
  ScopedEnvironment value("KORVID_TEMP", configured.c_str());
  ScopedEnvironment systemTemp("TMP", temp.c_str());
  EXPECT_EQ(Choose(false), configured);
  EXPECT_EQ(Choose(true), configured);
}

TEST_F(Scratch, RelativeValueIsRefusedWithoutTrace) {
  ScopedEnvironment value("KORVID_TEMP", "relative");
  ScopedEnvironment systemTemp("TMP", temp.c_str());
  SetTraceOptions("error,tempfile");
  capture.Clear();
  EXPECT_EQ(Choose(false), temp + "\\");
  EXPECT_EQ(Verdicts(), (List{"IsGoodTempFolder(\"Q:\\KorvidTemp\", 1, 1) => 0",
                              "IsGoodTempFolder(\"" + temp + "\\\", 1, 1) => 1"}));
}

TEST_F(Scratch, BlanksAreRefusedOnlyForPlainFolders) {
  std::string blanks = folder.MakeDirectory("Documents and Settings\\x\\Temp");
  ScopedEnvironment value("KORVID_TEMP", blanks.c_str());
  ScopedEnvironment systemTemp("TMP", temp.c_str());
  EXPECT_EQ(Choose(true), temp + "\\");
  EXPECT_EQ(Choose(false), blanks);
}

TEST_F(Scratch, ShortNameTildeIsRefusedOnlyForPlainFolders) {
  std::string shortName = folder.MakeDirectory("PROGRA~1");
  std::string local = folder.MakeDirectory("local");
  Stop();
  Start(local);
  ScopedEnvironment systemTemp("TMP", shortName.c_str());
  EXPECT_EQ(Choose(true), local);
  EXPECT_EQ(Choose(false), shortName + "\\");
}

TEST_F(Scratch, ReadOnlyDirectoryAndFileAreRefused) {
  std::string locked = folder.MakeDirectory("locked");
  testing_support::SetReadOnly(locked, true);
  std::string file = folder.Write("afile", "x");
  ScopedEnvironment systemTemp("TMP", temp.c_str());
  {
    ScopedEnvironment value("KORVID_TEMP", locked.c_str());
    EXPECT_EQ(Choose(false), temp + "\\");
  }
  ScopedEnvironment value("KORVID_TEMP", file.c_str());
  EXPECT_EQ(Choose(false), temp + "\\");
  testing_support::SetReadOnly(locked, false);
}

TEST_F(Scratch, KorvidTempBeforeTheSystemsTemporaryPath) {
  ScopedEnvironment c("SystemDrive", "C:");
  ScopedEnvironment systemTemp("TMP", temp.c_str());
  ASSERT_TRUE(CreateDirectoryA("C:\\KorvidTemp", nullptr) ||
              GetLastError() == ERROR_ALREADY_EXISTS);
  std::string chosen = Choose(false);
  RemoveDirectoryA("C:\\KorvidTemp");
  EXPECT_EQ(chosen, "C:\\KorvidTemp");
}

TEST_F(Scratch, NetworkPathsAreTestedOnlyWhenAllowed) {
  SetTraceOptions("error,tempfile");
  capture.Clear();
  EXPECT_FALSE(IsGoodTempFolder("\\\\server\\tmp", true, false));
  EXPECT_FALSE(IsGoodTempFolder("//server/tmp", true, false));
  EXPECT_TRUE(Verdicts().empty());
  EXPECT_FALSE(IsGoodTempFolder("\\\\server\\tmp", true, true));
  EXPECT_EQ(Verdicts(), List{"IsGoodTempFolder(\"\\\\server\\tmp\", 1, 1) => 0"});
  EXPECT_TRUE(IsGoodTempFolder(temp.c_str(), false, false));
}

TEST_F(Scratch, NoCandidateIsReported) {
  ScopedEnvironment systemTemp("TMP", "Q:\\nope");
  SetTraceOptions("error,tempfile");
  capture.Clear();
  EXPECT_EQ(Choose(false), "(none)");
  const std::string root = folder.Join("noroot");
  EXPECT_EQ(Verdicts(), (List{"IsGoodTempFolder(\"Q:\\KorvidTemp\", 1, 1) => 0",
                              "IsGoodTempFolder(\"Q:\\nope\\\", 1, 1) => 0",
                              "IsGoodTempFolder(\"Q:\\temp\", 1, 1) => 0",
                              "IsGoodTempFolder(\"Q:\\tmp\", 1, 1) => 0",
                              "IsGoodTempFolder(\"" + root + "\", 1, 1) => 0",
                              "IsGoodTempFolder(\"Q:\\\", 1, 1) => 0"}));
  List texts = capture.Texts();
  ASSERT_GE(texts.size(), 2u);
  EXPECT_EQ(texts[texts.size() - 2].rfind("internal error in 'lib/scratchdir', line ", 0), 0u);
  EXPECT_EQ(texts.back(), "cannot find temporary folder");
  EXPECT_EQ(GetLastErrorRecord().code, ErrorCode::InternalError);
}

TEST_F(Scratch, MissingSystemDriveVariable) {
  ScopedEnvironment noDrive("SystemDrive", nullptr);
  ScopedEnvironment systemTemp("TMP", temp.c_str());
  capture.Clear();
  Choose(false);
  EXPECT_TRUE(capture.HasText("SystemDrive environment variable not defined"));
}

TEST_F(Scratch, StartupExportsOnlyUnsetVariables) {
  std::string configured = folder.MakeDirectory("configured");
  Stop();
  ScopedEnvironment value("KORVID_TEMP", configured.c_str());
  ScopedEnvironment setTemp("TEMP", "C:\\keep");
  ScopedEnvironment noTempDir("TEMPDIR", nullptr);
  ScopedEnvironment noTmpDir("TMPDIR", "C:\\keep too");
  ScopedEnvironment noTmp("TMP", nullptr);
  InitializeLibrary();
  EXPECT_STREQ(std::getenv("TEMPDIR"), configured.c_str());
  EXPECT_STREQ(std::getenv("TMPDIR"), "C:\\keep too");
  EXPECT_STREQ(std::getenv("TEMP"), "C:\\keep");
  EXPECT_STREQ(std::getenv("TMP"), configured.c_str());
  UninitializeLibrary();
}
