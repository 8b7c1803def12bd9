// File tests, forced delete and the shutdown clean-up, on real files.
#include "internal.h"
#include "testing.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace korvid;
using testing_support::TestFolder;
using testing_support::TraceCapture;

namespace {

class Files : public ::testing::Test {
 protected:
  void SetUp() override {
    InitializeLibrary();
    SetTraceOptions("error,access,tempfile");
  }
  void TearDown() override { UninitializeLibrary(); }
  TestFolder folder;
  TraceCapture capture;
};

}  // namespace

TEST_F(Files, AccessFileByModeWithTraces) {
  std::string plain = folder.Write("plain.txt", "x");
  std::string locked = folder.Write("locked.txt", "x");
  testing_support::SetReadOnly(locked, true);
  std::string dir = folder.MakeDirectory("dir");
  std::string missing = folder.Join("missing.txt");
  struct Row { const std::string* path; int mode; bool result; const char* suffix; };
  const Row rows[] = {
      {&plain, 0, true, "true"},         {&plain, 6, true, "true"},
      {&locked, 0, true, "true"},        {&locked, 4, true, "true"},
      {&locked, 2, false, "false (readonly)"}, {&locked, 6, false, "false (readonly)"},
      {&dir, 0, false, "false (directory)"},   {&dir, 2, false, "false (directory)"},
      {&missing, 0, false, "false"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(*row.path + " mode " + std::to_string(row.mode));
    capture.Clear();
    EXPECT_EQ(AccessFile(row.path->c_str(), row.mode), row.result);
    EXPECT_EQ(capture.Texts(), std::vector<std::string>{"AccessFile('" + *row.path + "', " +
                                                        std::to_string(row.mode) + ") => " +
                                                        row.suffix});
  }
}

TEST_F(Files, AccessDirectory) {
  std::string dir = folder.MakeDirectory("d");
  std::string locked = folder.MakeDirectory("ro");
  testing_support::SetReadOnly(locked, true);
  std::string file = folder.Write("f.txt", "x");
  struct Row { std::string path; int mode; bool result; };
  const Row rows[] = {
      {dir, 0, true},         {dir + "\\", 6, true},  {dir + "/", 2, true},
      {locked, 0, true},      {locked, 4, true},      {locked, 2, false},
      {locked, 6, false},     {file, 0, false},       {folder.Join("none"), 0, false},
      {"C:", 0, true},        {"", 0, true},          {"Z:", 6, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.path + " mode " + std::to_string(row.mode));
    EXPECT_EQ(AccessDirectory(row.path.c_str(), row.mode), row.result);
  }
  testing_support::SetReadOnly(locked, false);
  EXPECT_TRUE(capture.Lines().empty());  // no trace of its own
}

TEST_F(Files, AccessDirectoryAtTheEdgeOfItsBuffer) {
  // A path of 258 characters gets its separator and fits; one of 259 does not and is refused.
  std::string base = folder.Path() + "\\";
  std::string fits = base + std::string(258 - base.size(), 'a');
  std::string over = base + std::string(259 - base.size(), 'b');
  ASSERT_TRUE(CreateDirectoryA(fits.c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryA(over.c_str(), nullptr)) << GetLastError();
  EXPECT_TRUE(AccessDirectory(fits.c_str(), 6));
  EXPECT_FALSE(AccessDirectory(over.c_str(), 0));
  EXPECT_FALSE(AccessDirectory((over + "\\").c_str(), 0));  // 260 characters and the NUL
  std::string huge(5000, 'c');
  EXPECT_FALSE(AccessDirectory(huge.c_str(), 0));
}

TEST_F(Files, RemoveFileForcesReadOnlyFiles) {
  std::string locked = folder.Write("locked.txt", "x");
  testing_support::SetReadOnly(locked, true);
  EXPECT_TRUE(RemoveFile(locked.c_str()));
  EXPECT_FALSE(testing_support::Exists(locked));
  EXPECT_EQ(GetLastErrorRecord().code, ErrorCode::NoError);
}

TEST_F(Files, RemoveFileReportsAMissingFile) {
  std::string missing = folder.Join("missing.txt");
  EXPECT_FALSE(RemoveFile(missing.c_str()));
  ErrorRecord record = GetLastErrorRecord();
  EXPECT_EQ(record.code, ErrorCode::Win32Error);
  EXPECT_STREQ(record.module, "lib/files");
  ASSERT_EQ(capture.Texts().size(), 1u);
  const std::string text = capture.Texts()[0];
  EXPECT_EQ(text.rfind("Win32 error #2 in 'lib/files' on line ", 0), 0u) << text;
  EXPECT_EQ(text.substr(text.size() - missing.size() - 6), "Info: " + missing);
}

TEST_F(Files, RemoveFileReportsADirectory) {
  std::string dir = folder.MakeDirectory("dir");
  EXPECT_FALSE(RemoveFile(dir.c_str()));
  EXPECT_TRUE(testing_support::Exists(dir));
  EXPECT_EQ(GetLastErrorRecord().code, ErrorCode::Win32Error);
}

TEST_F(Files, ShutdownRemovesTemporaryFilesInOrder) {
  std::string a = folder.Write("a.tmp", "a");
  std::string b = folder.Write("b.tmp", "b");
  std::string c = folder.Write("c.tmp", "c");
  std::string gone = folder.Join("gone.tmp");
  testing_support::SetReadOnly(c, true);
  RegisterTempFile("zeta", "1", a.c_str());
  RegisterTempFile("alpha", "2", b.c_str());
  RegisterTempFile("alpha", "1", gone.c_str());
  RegisterTempFile("alpha", "3", c.c_str());
  UninitializeLibrary();
  InitializeLibrary();
  for (const std::string& path : {a, b, c}) EXPECT_FALSE(testing_support::Exists(path)) << path;
  std::vector<std::string> removing;
  for (const std::string& text : capture.Texts()) {
    if (text.rfind("removing", 0) == 0) removing.push_back(text);
  }
  EXPECT_EQ(removing, (std::vector<std::string>{"removing '" + gone + "'...",
                                                "removing '" + b + "'...",
                                                "removing '" + c + "'...",
                                                "removing '" + a + "'..."}));
  EXPECT_EQ(capture.CountContaining("Info: " + gone), 1);  // reported, and the walk went on
}

TEST_F(Files, ShutdownReportsOpenFilesOnce) {
  RegisterOpenFile("k2", "C:\\two.log");
  RegisterOpenFile("k1", "C:\\one.log");
  RegisterOpenFile("k3", "C:\\three.log");
  UnregisterOpenFile("k3");
  UninitializeLibrary();
  EXPECT_EQ(capture.Texts(), (std::vector<std::string>{"still open: 'C:\\one.log'",
                                                       "still open: 'C:\\two.log'"}));
  capture.Clear();
  InitializeLibrary();
  UninitializeLibrary();
  EXPECT_TRUE(capture.Lines().empty());
  InitializeLibrary();
}

TEST_F(Files, ShutdownWithNothingRegisteredIsQuiet) {
  UninitializeLibrary();
  EXPECT_TRUE(capture.Lines().empty());
  InitializeLibrary();
}
