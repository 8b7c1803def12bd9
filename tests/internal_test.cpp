// Error records and the four report forms, as they reach the debugger output.
#include "internal.h"
#include "testing.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

using namespace korvid;
using testing_support::TraceCapture;

namespace {

constexpr char kModule[] = "lib/test";

std::string RawSystemText(DWORD number) {
  char* text = nullptr;
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER |
                     FORMAT_MESSAGE_IGNORE_INSERTS,
                 nullptr, number, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                 reinterpret_cast<char*>(&text), 1024, nullptr);
  std::string result = text ? text : "";
  if (text) LocalFree(text);
  return result;
}

class Errors : public ::testing::Test {
 protected:
  void SetUp() override { InitializeLibrary(); }
  void TearDown() override { UninitializeLibrary(); }
  TraceCapture capture;
};

}  // namespace

TEST_F(Errors, PlainCodeWritesModuleLineAndMessage) {
  unsigned line = __LINE__ + 1;
  KORVID_RAISE(ErrorCode::OpenFileFailed, "C:\\x.tfm");
  ErrorRecord record = GetLastErrorRecord();
  EXPECT_EQ(record.code, ErrorCode::OpenFileFailed);
  EXPECT_STREQ(record.module, "lib/test");
  EXPECT_EQ(record.line, line);
  EXPECT_STREQ(record.message, "Cannot open file C:\\x.tfm.");
  ASSERT_EQ(capture.Lines().size(), 1u);
  EXPECT_EQ(capture.Lines()[0],
            "korvidlib: lib/test:" + std::to_string(line) + ": Cannot open file C:\\x.tfm.\n");
}

TEST_F(Errors, InternalErrorWritesOnlyItsLine) {
  unsigned line = __LINE__ + 1;
  KORVID_RAISE(ErrorCode::InternalError);
  EXPECT_STREQ(GetLastErrorRecord().message, "Internal error.");
  EXPECT_EQ(GetLastErrorRecord().code, ErrorCode::InternalError);
  ASSERT_EQ(capture.Texts().size(), 1u);
  EXPECT_EQ(capture.Texts()[0], "internal error in 'lib/test', line " + std::to_string(line));
}

TEST_F(Errors, Win32NumberIgnoresTheThreadsLastError) {
  SetLastError(ERROR_ACCESS_DENIED);
  unsigned line = __LINE__ + 1;
  KORVID_RAISE(ErrorCode::Win32ErrorNumber, 6ul, "RegCloseKey");
  ASSERT_EQ(capture.Texts().size(), 1u);
  EXPECT_EQ(capture.Texts()[0], "Win32 error #6 in 'lib/test' on line " + std::to_string(line) +
                                    ":\n" + RawSystemText(6) + "\nInfo: RegCloseKey");
  EXPECT_FALSE(RawSystemText(6).empty());
  EXPECT_EQ(GetLastErrorRecord().code, ErrorCode::Win32ErrorNumber);
  EXPECT_STREQ(GetLastErrorRecord().message, "Win32 error.");
}

TEST_F(Errors, Win32ErrorTakesTheThreadsLastError) {
  SetLastError(ERROR_PATH_NOT_FOUND);
  unsigned line = __LINE__ + 1;
  KORVID_RAISE(ErrorCode::Win32Error, "C:\\nowhere");
  ASSERT_EQ(capture.Texts().size(), 1u);
  EXPECT_EQ(capture.Texts()[0], "Win32 error #3 in 'lib/test' on line " + std::to_string(line) +
                                    ":\n" + RawSystemText(3) + "\nInfo: C:\\nowhere");
  EXPECT_STREQ(GetLastErrorRecord().message, "Win32 error.");
}

TEST_F(Errors, CrtErrorUsesTheRuntimesText) {
  errno = ENOENT;
  unsigned line = __LINE__ + 1;
  KORVID_RAISE(ErrorCode::CrtError, "_tgetcwd");
  ASSERT_EQ(capture.Texts().size(), 1u);
  EXPECT_EQ(capture.Texts()[0], "CRT error in 'lib/test' on line " + std::to_string(line) + ":\n" +
                                    std::strerror(ENOENT) + "\nInfo: _tgetcwd");
  EXPECT_STREQ(GetLastErrorRecord().message, "CRT error.");
}

TEST_F(Errors, TraceFunctionsLeaveTheRecordAlone) {
  KORVID_RAISE(ErrorCode::DeleteFailed, "a");
  TraceWin32Error(2, "info", "lib/other", 7);
  TraceCrtError("info", "lib/other", 8);
  EXPECT_EQ(GetLastErrorRecord().code, ErrorCode::DeleteFailed);
  EXPECT_STREQ(GetLastErrorRecord().message, "Cannot delete a.");
  EXPECT_EQ(capture.Texts().size(), 3u);
}

TEST_F(Errors, ClearKeepsModuleLineAndMessage) {
  KORVID_RAISE(ErrorCode::CreateDirectoryFailed, "C:\\d");
  ErrorRecord before = GetLastErrorRecord();
  ClearLastError();
  ErrorRecord after = GetLastErrorRecord();
  EXPECT_EQ(after.code, ErrorCode::NoError);
  EXPECT_STREQ(after.module, before.module);
  EXPECT_EQ(after.line, before.line);
  EXPECT_STREQ(after.message, "Cannot create directory C:\\d.");
}

TEST_F(Errors, SucceedingOperationClearsAnEarlierFailure) {
  EXPECT_FALSE(RemoveFile("C:\\surely\\not\\here.txt"));
  EXPECT_EQ(GetLastErrorRecord().code, ErrorCode::Win32Error);
  char buffer[kMaxPath];
  EXPECT_NE(GetProgramName(buffer), nullptr);
  EXPECT_EQ(GetLastErrorRecord().code, ErrorCode::NoError);
}

TEST_F(Errors, OverlongMessageIsCutInsideTheRecord) {
  std::string info(3000, 'i');
  KORVID_RAISE(ErrorCode::OpenFileFailed, info.c_str());
  ErrorRecord record = GetLastErrorRecord();
  std::string message = record.message;
  ASSERT_EQ(message.size(), 1023u);
  EXPECT_EQ(message.substr(0, 17), "Cannot open file ");
  EXPECT_EQ(message.substr(1020), "...");
}

TEST_F(Errors, InsertsAreNotReinterpreted) {
  KORVID_RAISE(ErrorCode::IniSyntaxError, "a=%1 %n %% b");
  EXPECT_STREQ(GetLastErrorRecord().message,
               "Syntax error in ini file. Offending line: 'a=%1 %n %% b'.");
}

TEST_F(Errors, CloseWrappersReportFailures) {
  CloseRegistryKey(reinterpret_cast<HKEY>(0x1234));
  ErrorRecord record = GetLastErrorRecord();
  EXPECT_EQ(record.code, ErrorCode::Win32ErrorNumber);
  EXPECT_STREQ(record.module, "lib/internal");
  EXPECT_EQ(capture.CountContaining("Info: RegCloseKey"), 1);

  capture.Clear();
  CloseFindHandle(reinterpret_cast<HANDLE>(0x5678));
  EXPECT_EQ(GetLastErrorRecord().code, ErrorCode::Win32Error);
  EXPECT_EQ(capture.CountContaining("Info: FindClose"), 1);
}

TEST_F(Errors, SuccessfulCloseKeepsTheLastError) {
  HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  ASSERT_NE(event, nullptr);
  SetLastError(ERROR_FILE_NOT_FOUND);
  { FileHandle owner(event); }
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_TRUE(capture.Lines().empty());
}

TEST(ScopedOwner, MovesAndReleases) {
  HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  FileHandle a(event);
  FileHandle b(std::move(a));
  EXPECT_FALSE(a);
  EXPECT_TRUE(b);
  EXPECT_EQ(b.get(), event);
  HANDLE raw = b.release();
  EXPECT_FALSE(b);
  EXPECT_TRUE(CloseHandle(raw));
  FileHandle invalid(INVALID_HANDLE_VALUE);
  EXPECT_FALSE(invalid);
}
