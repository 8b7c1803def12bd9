// The launcher's own rules: splitting its command line into the program name and the tail; starting
// Perl inside its job, or without it when the job refuses.
#include "launch.h"

#include "korvid.h"

#include "fakeperl_record.h"
#include "testing.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

using namespace korvid;

TEST(SplitCommandLine, NameAndTail) {
  struct Row { const char* line; const char* name; const char* tail; };
  const Row rows[] = {
      {"\"C:\\Program Files\\tex\\bin\\foo.exe\" -v \"a b\"", "C:\\Program Files\\tex\\bin\\foo.exe",
       "-v \"a b\""},
      {"foo   x", "foo", "x"},
      {"foo", "foo", ""},
      {"foo ", "foo", ""},
      {"\"foo\"\tx", "foo", "\tx"},
      {"foo\tx y", "foo", "\tx y"},  // a tab ends the name: x is the first argument
      {"hello.exe\ta b", "hello.exe", "\ta b"},
      {"  \tfoo x", "foo", "x"},  // blanks and tabs before the name
      {" \"C:\\a b\\foo.exe\" x", "C:\\a b\\foo.exe", "x"},
      {"   ", "", ""},
      {"\"C:\\a b\\foo.exe -x", "C:\\a b\\foo.exe -x", ""},
      {"fo\"o\" x", "fo\"o\"", "x"},
      {"\"\" x", "", "x"},
      {"\"foo\"x y", "foo", "x y"},
      {"", "", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.line);
    char name[kMaxPath];
    const char* tail = SplitCommandLine(row.line, name);
    ASSERT_NE(tail, nullptr);
    EXPECT_STREQ(name, row.name);
    EXPECT_STREQ(tail, row.tail);
    EXPECT_EQ(tail, row.line + std::strlen(row.line) - std::strlen(row.tail));  // points into it
  }
}

TEST(SplitCommandLine, NameMustFitItsBuffer) {
  char name[kMaxPath + 16];
  std::memset(name, '#', sizeof name);
  std::string fits(259, 'f');
  EXPECT_NE(SplitCommandLine((fits + " x").c_str(), name), nullptr);
  EXPECT_EQ(std::string(name), fits);
  std::memset(name, '#', sizeof name);
  std::string over(260, 'o');
  EXPECT_EQ(SplitCommandLine(("\"" + over + "\" x").c_str(), name), nullptr);
  EXPECT_EQ(name[kMaxPath], '#');
}

// The job the launcher makes holds the process it starts; a job that refuses it (here a handle
// without the right to assign) leaves the process running on its own, and is dropped.
TEST(StartPerl, InTheJobOrWithoutIt) {
  struct Row {
    const char* name;
    DWORD access;  // of the handle given to StartPerl
    bool inJob;
  };
  const Row rows[] = {
      {"full access", JOB_OBJECT_ALL_ACCESS, true},
      {"no right to assign", JOB_OBJECT_QUERY, false},
  };
  std::string perl = testing_support::BuildDirectory() + "\\fakeperl.exe";
  testing_support::ScopedEnvironment code(testing_support::kFakePerlExitCode, "5");
  testing_support::ScopedEnvironment noRecord(testing_support::kFakePerlRecord, nullptr);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    KernelHandle job = NewPerlJob();
    ASSERT_TRUE(job);
    HANDLE given = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), job.get(), GetCurrentProcess(), &given,
                                row.access, FALSE, 0));
    KernelHandle givenJob(given);
    std::string commandLine = "\"" + perl + "\"";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    ASSERT_TRUE(StartPerl(perl.c_str(), commandLine.data(), &startup, &givenJob, &process));
    KernelHandle child(process.hProcess), childThread(process.hThread);
    EXPECT_EQ(static_cast<bool>(givenJob), row.inJob);
    BOOL inJob = !row.inJob;
    ASSERT_TRUE(IsProcessInJob(child.get(), job.get(), &inJob));
    EXPECT_EQ(inJob != FALSE, row.inJob);
    ASSERT_EQ(WaitForSingleObject(child.get(), 30000), WAIT_OBJECT_0) << "left suspended";
    DWORD exitCode = 0;
    GetExitCodeProcess(child.get(), &exitCode);
    EXPECT_EQ(exitCode, 5u);
  }
}
