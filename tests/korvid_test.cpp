// The library context: reference-counted start-up, working directories, home and profile.
#include "internal.h"
#include "testing.h"

#include <gtest/gtest.h>

#include <direct.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using namespace korvid;
using testing_support::ScopedEnvironment;
using testing_support::TestFolder;
using testing_support::TraceCapture;

namespace {

constexpr char kProfileKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\ProfileReconciliation";

std::vector<std::string> WorkingDirectories() {
  std::vector<std::string> list;
  char buffer[kMaxPath];
  for (unsigned i = 1; GetWorkingDirectory(i, buffer) != nullptr; ++i) list.push_back(buffer);
  return list;
}

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "(unset)";
}

// Runs the test in a folder of its own as current directory.
class Context : public ::testing::Test {
 protected:
  void SetUp() override {
    oldDirectory = testing_support::CurrentDirectory();
    ASSERT_EQ(_chdir(folder.Path().c_str()), 0);
  }
  void TearDown() override { _chdir(oldDirectory.c_str()); }
  TestFolder folder;
  std::string oldDirectory;
  TraceCapture capture;
};

// The profile key lives in the test prefix's own registry; each test leaves it as it found none.
class ProfileKey {
 public:
  ProfileKey() { RegDeleteKeyA(HKEY_CURRENT_USER, kProfileKey); }
  ~ProfileKey() { RegDeleteKeyA(HKEY_CURRENT_USER, kProfileKey); }
  void Set(const std::string& value) {
    HKEY key;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, kProfileKey, 0, nullptr, 0, KEY_WRITE, nullptr,
                              &key, nullptr),
              ERROR_SUCCESS);
    RegSetValueExA(key, "ProfileDirectory", 0, REG_SZ,
                   reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>(value.size() + 1));
    RegCloseKey(key);
  }
};

}  // namespace

TEST_F(Context, WorkingDirectoriesFromTheEnvironment) {
  ScopedEnvironment cwd("KORVID_CWD", "C:/a;b");
  InitializeLibrary();
  const std::string here = folder.Path();
  EXPECT_EQ(WorkingDirectories(), (std::vector<std::string>{"C:\\a", here + "\\b"}));
  EXPECT_EQ(Env("KORVID_CWD"), "C:\\a;" + here + "\\b");
  char buffer[kMaxPath];
  EXPECT_EQ(GetWorkingDirectory(3, buffer), nullptr);
  EXPECT_STREQ(GetWorkingDirectory(0, buffer), here.c_str());
  UninitializeLibrary();
  EXPECT_EQ(GetWorkingDirectory(1, buffer), nullptr);
  EXPECT_EQ(Env("KORVID_CWD"), "C:\\a;" + here + "\\b");  // stays after shutdown
}

TEST_F(Context, LeadingSeparatorAddsTheCurrentDirectory) {
  ScopedEnvironment cwd("KORVID_CWD", ";C:\\a;");
  InitializeLibrary();
  EXPECT_EQ(WorkingDirectories(), (std::vector<std::string>{folder.Path(), "C:\\a"}));
  UninitializeLibrary();
}

TEST_F(Context, NoVariableNoListNoVariable) {
  ScopedEnvironment cwd("KORVID_CWD", nullptr);
  InitializeLibrary();
  EXPECT_TRUE(WorkingDirectories().empty());
  EXPECT_EQ(Env("KORVID_CWD"), "(unset)");
  UninitializeLibrary();
}

TEST_F(Context, AddWorkingDirectoryFrontAndBack) {
  ScopedEnvironment cwd("KORVID_CWD", nullptr);
  InitializeLibrary();
  EXPECT_TRUE(AddWorkingDirectory("C:\\back", true));
  EXPECT_TRUE(AddWorkingDirectory("front", false));
  EXPECT_TRUE(AddWorkingDirectory("C:\\back", true));  // no duplicate check
  std::vector<std::string> expected{folder.Path() + "\\front", "C:\\back", "C:\\back"};
  EXPECT_EQ(WorkingDirectories(), expected);
  EXPECT_EQ(Env("KORVID_CWD"), expected[0] + ";C:\\back;C:\\back");
  UninitializeLibrary();
}

TEST_F(Context, OverlongWorkingDirectoryIsRefused) {
  ScopedEnvironment cwd("KORVID_CWD", nullptr);
  InitializeLibrary();
  ASSERT_TRUE(AddWorkingDirectory("C:\\ok", true));
  std::string relative(300, 'r');
  EXPECT_FALSE(AddWorkingDirectory(relative.c_str(), true));
  std::string absolute = "C:\\" + std::string(300, 'a');
  EXPECT_FALSE(AddWorkingDirectory(absolute.c_str(), false));
  EXPECT_EQ(WorkingDirectories(), std::vector<std::string>{"C:\\ok"});
  EXPECT_EQ(Env("KORVID_CWD"), "C:\\ok");
  UninitializeLibrary();
}

TEST_F(Context, WorkingDirectoryListBeyondTheEnvironmentsLimit) {
  ScopedEnvironment cwd("KORVID_CWD", nullptr);
  InitializeLibrary();
  std::string directory = "C:\\" + std::string(200, 'd');
  for (int i = 0; i < 200; ++i) ASSERT_TRUE(AddWorkingDirectory(directory.c_str(), true));
  EXPECT_EQ(WorkingDirectories().size(), 200u);
  std::string exported = Env("KORVID_CWD");
  EXPECT_LE(exported.size(), 32767u);
  EXPECT_GE(exported.size(), 32767u - 203);  // the last list that fitted
  EXPECT_GE(capture.CountContaining("cannot set environment variable 'KORVID_CWD': value too long"),
            1);
  UninitializeLibrary();
}

TEST_F(Context, NestedStartupsOnlyCount) {
  ScopedEnvironment cwd("KORVID_CWD", "C:\\one");
  StartupOptions first{kStartupFrozenFndbs, {1, 2, 3}};
  InitializeLibrary(&first);
  ScopedEnvironment cwd2("KORVID_CWD", "C:\\two");
  StartupOptions second{kStartupNoConfigFiles, {}};
  InitializeLibrary(&second);
  EXPECT_EQ(GetStartupFlags(), kStartupFrozenFndbs);
  EXPECT_EQ(WorkingDirectories(), std::vector<std::string>{"C:\\one"});
  UninitializeLibrary();
  EXPECT_EQ(WorkingDirectories(), std::vector<std::string>{"C:\\one"});
  EXPECT_TRUE(IsTraceEnabled(traceStreams.error));
  UninitializeLibrary();
  EXPECT_TRUE(WorkingDirectories().empty());
  EXPECT_FALSE(IsTraceEnabled(traceStreams.error));
  InitializeLibrary();
  EXPECT_EQ(GetStartupFlags(), 0u);
  UninitializeLibrary();
}

TEST(NormalizeSlashes, KeepsRecursionMarkers) {
  struct Row { const char* in; const char* out; };
  const Row rows[] = {
      {"C:/texmf//", "C:\\texmf//"}, {"//server/share/x", "\\\\server\\share\\x"},
      {"a///b", "a//\\b"},           {"%R/tex//", "%R\\tex//"},
      {"/", "\\"},                   {"", ""},
      {"a/", "a\\"},                 {"a//", "a//"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.in);
    std::string text = row.in;
    NormalizeSlashes(text.data());
    EXPECT_EQ(text, row.out);
  }
}

TEST(Home, DriveAndPath) {
  struct Row { const char* drive; const char* path; const char* home; const char* result; };
  const Row rows[] = {
      {"C:", "\\Users\\x", "D:\\h", "C:\\Users\\x"},
      {"C:", "Users", nullptr, "C:\\Users"},
      {"C:", "/u", nullptr, "C:/u"},
      {"C:", nullptr, "D:\\h", "D:\\h"},
      {nullptr, "\\Users", "D:\\h", "D:\\h"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.drive ? row.drive : "-") + (row.path ? row.path : "-"));
    ScopedEnvironment drive("HOMEDRIVE", row.drive);
    ScopedEnvironment path("HOMEPATH", row.path);
    ScopedEnvironment home("HOME", row.home);
    char buffer[kMaxPath];
    EXPECT_STREQ(GetHomeDirectory(buffer), row.result);
    EXPECT_STREQ(GetHomeDirectory(), row.result);
  }
}

TEST(Home, OverlongValuesArePassedOver) {
  TraceCapture capture;
  InitializeLibrary();
  std::string longPath = "\\" + std::string(300, 'p');
  ScopedEnvironment drive("HOMEDRIVE", "C:");
  ScopedEnvironment path("HOMEPATH", longPath.c_str());
  ScopedEnvironment home("HOME", "D:\\home");
  char buffer[kMaxPath];
  EXPECT_STREQ(GetHomeDirectory(buffer), "D:\\home");
  EXPECT_EQ(capture.Texts(), std::vector<std::string>{"buffer capacity exceeded"});
  UninitializeLibrary();
}

TEST(Home, FallsBackToProfileThenWindows) {
  ProfileKey key;
  ScopedEnvironment drive("HOMEDRIVE", nullptr);
  ScopedEnvironment home("HOME", nullptr);
  ScopedEnvironment profile("USERPROFILE", "C:\\users\\me");
  char buffer[kMaxPath];
  EXPECT_STREQ(GetHomeDirectory(buffer), "C:\\users\\me");
  ScopedEnvironment noProfile("USERPROFILE", nullptr);
  char windows[kMaxPath];
  GetWindowsDirectoryA(windows, sizeof windows);
  EXPECT_STREQ(GetHomeDirectory(buffer), windows);
}

TEST(Profile, RegistryValueComesFirst) {
  ProfileKey key;
  ScopedEnvironment profile("USERPROFILE", "C:\\from\\env");
  char buffer[kMaxPath];
  EXPECT_STREQ(GetProfileDirectory(buffer), "C:\\from\\env");
  key.Set("C:\\from\\registry");
  EXPECT_STREQ(GetProfileDirectory(buffer), "C:\\from\\registry");
  ScopedEnvironment empty("USERPROFILE", "");
  key.Set(std::string(259, 'v'));
  EXPECT_EQ(std::string(GetProfileDirectory(buffer)), std::string(259, 'v'));
}

TEST(Profile, OverlongRegistryValueIsReported) {
  InitializeLibrary();
  TraceCapture capture;
  ProfileKey key;
  key.Set(std::string(400, 'v'));
  char buffer[kMaxPath + 8];
  std::memset(buffer, '#', sizeof buffer);
  EXPECT_EQ(GetProfileDirectory(buffer), nullptr);
  EXPECT_EQ(buffer[kMaxPath], '#');  // nothing written past the 260 bytes
  ErrorRecord record = GetLastErrorRecord();
  EXPECT_EQ(record.code, ErrorCode::Win32ErrorNumber);
  EXPECT_STREQ(record.module, "lib/korvid");
  EXPECT_EQ(capture.CountContaining("Win32 error #234 in 'lib/korvid'"), 1);
  EXPECT_EQ(capture.CountContaining("Info: ProfileDirectory"), 1);
  UninitializeLibrary();
}

TEST(Profile, NoneWithoutRegistryOrEnvironment) {
  ProfileKey key;
  ScopedEnvironment profile("USERPROFILE", "");
  char buffer[kMaxPath];
  EXPECT_EQ(GetProfileDirectory(buffer), nullptr);
}

TEST(Startup, ExportsHomeWhereUnset) {
  ScopedEnvironment drive("HOMEDRIVE", "C:");
  ScopedEnvironment path("HOMEPATH", "\\Users\\t");
  ScopedEnvironment home("HOME", nullptr);
  InitializeLibrary();
  EXPECT_EQ(Env("HOME"), "C:\\Users\\t");
  char value[64];
  EXPECT_EQ(GetEnvironmentVariableA("HOME", value, sizeof value), 10u);  // children inherit it
  UninitializeLibrary();
  ScopedEnvironment preset("HOME", "D:\\mine");
  InitializeLibrary();
  EXPECT_EQ(Env("HOME"), "D:\\mine");
  UninitializeLibrary();
}

TEST(Startup, ProgramNameOfTheExecutable) {
  char buffer[kMaxPath];
  EXPECT_STREQ(GetProgramName(buffer), "korvid_test");
}

// (Wine's narrow API refuses executables whose path exceeds 260 characters, so the "fixme"
// answer to an over-long module path cannot be provoked here.)
// A DLL named without a path that lies beside the program, in the current directory or in a
// PATH folder: LoadLibraryA finds it, the library's loader of system DLLs does not, nor does
// LoadLibraryA once the program has restricted its search, which still finds the system's DLLs.
TEST(Startup, DllSearchRestrictedToTheSystemDirectory) {
  const std::string dll = "korvidtestdll.dll";
  const std::string questions = " systemlibrary:" + dll + " loadlibrary:" + dll +
                                " restrictdll loadlibrary:" + dll + " systemlibrary:advapi32.dll";
  const std::string answers = "systemlibrary=" + std::to_string(ERROR_MOD_NOT_FOUND) +
                              "\r\nloadlibrary=loaded\r\nrestrictdll=1\r\nloadlibrary=" +
                              std::to_string(ERROR_MOD_NOT_FOUND) +
                              "\r\nsystemlibrary=loaded\r\n";
  const std::string oldPath = std::getenv("PATH");
  for (const char* place : {"bin", "work", "path"}) {
    SCOPED_TRACE(place);
    TestFolder folder;
    std::string exe = folder.Join("bin\\probe.exe");
    testing_support::CopyProgram("probe.exe", exe);
    testing_support::CopyProgram(dll, folder.Join(std::string(place) + "\\" + dll));
    ScopedEnvironment path("PATH", (folder.Join("path") + ";" + oldPath).c_str());
    testing_support::ProcessOptions options;
    options.currentDirectory = folder.MakeDirectory("work");
    auto result = testing_support::RunProcess("\"" + exe + "\"" + questions, options);
    ASSERT_TRUE(result.started);
    EXPECT_EQ(result.out, answers);
  }
}

TEST(Startup, ProgramNameOfACopiedProgram) {
  TestFolder folder;
  std::string exe = folder.Path() + "\\my.tool.exe";
  testing_support::CopyProgram("probe.exe", exe);
  auto result = testing_support::RunProcess("\"" + exe + "\" programname");
  ASSERT_TRUE(result.started);
  EXPECT_EQ(result.out, "programname=my.tool\r\n");
}
