// The tests' perl.exe programs: fakeperl.exe records how it was started, hostperl.exe runs perl.
#include "console.h"
#include "crt_command_line.h"
#include "fakeperl_record.h"
#include "testing.h"
#include "win32.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

using namespace testing_support;

namespace {

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

// A perl.exe of the given kind alone in a bin folder of a fresh test folder.
struct PerlSetup {
  explicit PerlSetup(const char* program)
      : perl(folder.Join("bin\\perl.exe")), record(folder.Join("record.txt")) {
    CopyProgram(program, perl);
  }
  TestFolder folder;
  std::string perl;
  std::string record;
};

}  // namespace

// ---------------------------------------------------------------------------------------------
// The record format and the command-line rules, on bytes

TEST(FakePerlRecord, HexKeepsEveryByte) {
  std::string all;
  for (int c = 0; c < 256; ++c) all += static_cast<char>(c);
  std::string back;
  ASSERT_TRUE(HexDecode(HexEncode(all), &back));
  EXPECT_EQ(back, all);
  EXPECT_EQ(HexEncode(""), "-");
  ASSERT_TRUE(HexDecode("-", &back));
  EXPECT_EQ(back, "");
  EXPECT_EQ(HexEncode("A\n"), "410a");
  ASSERT_TRUE(HexDecode("4A0D", &back));
  EXPECT_EQ(back, "J\r");
  for (const char* bad : {"", "4", "4g", "--", "41 42", "0x41"}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(HexDecode(bad, &back));
  }
  EXPECT_EQ(FakePerlMappingList({"ab", "c;d"}), "6162;633b64");
}

namespace {

std::string SampleRecord(const std::string& extra = "") {
  std::string text = std::string(kFakePerlRecordHeader) + "\n";
  text += "command-line " + HexEncode("\"C:\\p.exe\" \"x y.pl\" \t-v ") + "\n";
  text += "current-directory " + HexEncode("C:\\work") + "\n";
  for (const char* name : kFakePerlRecordedVariables) {
    if (std::string(name) == "HOME") {
      text += "environment HOME unset\n";
    } else if (std::string(name) == "TEMP") {
      text += "environment TEMP set -\n";
    } else {
      text += std::string("environment ") + name + " set " + HexEncode(std::string(name) + "\xff") +
              "\n";
    }
  }
  text += "mapping " + HexEncode("Local\\m 1") + " opened\n";
  text += "mapping " + HexEncode("m2") + " missing 2\n";
  return text + extra + "end\n";
}

}  // namespace

TEST(FakePerlRecord, ParsesEveryField) {
  FakePerlRecord record;
  std::string error;
  ASSERT_TRUE(ParseFakePerlRecord(SampleRecord("ctrl-event 1\n"), &record, &error)) << error;
  EXPECT_EQ(record.commandLine, "\"C:\\p.exe\" \"x y.pl\" \t-v ");
  EXPECT_EQ(record.currentDirectory, "C:\\work");
  EXPECT_EQ(record.environment.size(), std::size(kFakePerlRecordedVariables));
  EXPECT_EQ(record.environment.at("HOME"), std::nullopt);
  EXPECT_EQ(record.environment.at("TEMP"), std::optional<std::string>(""));
  EXPECT_EQ(record.environment.at("TEXMFMAIN"), std::optional<std::string>("TEXMFMAIN\xff"));
  ASSERT_EQ(record.mappings.size(), 2u);
  EXPECT_EQ(record.mappings[0].name, "Local\\m 1");
  EXPECT_TRUE(record.mappings[0].opened);
  EXPECT_EQ(record.mappings[1].name, "m2");
  EXPECT_FALSE(record.mappings[1].opened);
  EXPECT_EQ(record.mappings[1].error, 2u);
  EXPECT_EQ(record.ctrlState, FakePerlCtrlState::Received);
  EXPECT_EQ(record.ctrlEvent, 1u);

  ASSERT_TRUE(ParseFakePerlRecord(SampleRecord(), &record, &error)) << error;
  EXPECT_EQ(record.ctrlState, FakePerlCtrlState::NotAsked);
  ASSERT_TRUE(ParseFakePerlRecord(SampleRecord("ctrl-event none\n"), &record, &error));
  EXPECT_EQ(record.ctrlState, FakePerlCtrlState::NoEvent);
}

TEST(FakePerlRecord, RejectsDamagedRecords) {
  // The sample has 15 lines: header, command line, directory, 9 variables, 2 mappings, end.
  const std::string good = SampleRecord();
  auto without = [&](const std::string& line) {
    std::string text = good;
    text.erase(text.find(line), line.size());
    return text;
  };
  auto replaced = [&](const std::string& line, const std::string& by) {
    std::string text = good;
    text.replace(text.find(line), line.size(), by);
    return text;
  };
  const std::string directoryLine = "current-directory 433a5c776f726b";
  struct Row { std::string text; int line; std::string message; };
  const Row rows[] = {
      {"", 0, "empty record"},
      {good.substr(0, good.size() - 1), 15, "no line end"},
      {without("end\n"), 14, "record ends early"},
      {good + "end\n", 16, "text after the end"},
      {replaced("fakeperl-record 1", "fakeperl-record 2"), 1, "not a fakeperl record"},
      {replaced("command-line 22", "command-line 2"), 2, "bad hex"},
      {replaced(directoryLine, "current-directory  433a"), 3,
       "unexpected 'current-directory  433a'"},
      {without(directoryLine + "\n"), 14, "command line or directory missing"},
      {without("environment HOME unset\n"), 14, "HOME not recorded"},
      {replaced("environment HOME unset", "environment HOME gone"), 11, "bad environment line"},
      {replaced("environment HOME unset", "environment TEMP unset"), 11,
       "variable recorded twice"},
      {replaced(" missing 2", " missing"), 14, "bad mapping line"},
      {replaced(" missing 2", " missing 4294967296"), 14, "bad mapping line"},
      {replaced(" opened", " open"), 13, "bad mapping line"},
      {replaced("end\n", "ctrl-event soon\nend\n"), 15, "bad ctrl-event line"},
      {replaced("end\n", "ctrl-event 1\nctrl-event 1\nend\n"), 16,
       "unexpected 'ctrl-event 1'"},
  };
  for (const Row& row : rows) {
    const std::string expected = "line " + std::to_string(row.line) + ": " + row.message;
    SCOPED_TRACE(expected);
    FakePerlRecord record;
    std::string error;
    EXPECT_FALSE(ParseFakePerlRecord(row.text, &record, &error));
    EXPECT_EQ(error, expected);
  }
}

TEST(CrtCommandLine, SplitsAsTheRuntimeDoes) {
  using Args = std::vector<std::string>;
  struct Row { const char* line; Args args; };
  const Row rows[] = {
      {"p", {"p"}},
      {"p a b", {"p", "a", "b"}},
      {"p  \t a\t", {"p", "a"}},
      {"\"C:\\Program Files\\p.exe\" x", {"C:\\Program Files\\p.exe", "x"}},
      {"C:\\a\"b c\"d\\p.exe y", {"C:\\ab cd\\p.exe", "y"}},  // quotes in the name only switch
      {"\"C:\\p\\\" x", {"C:\\p\\", "x"}},                     // no backslash rule in the name
      {"\"p x", {"p x"}},                                     // unclosed name runs to the end
      {"p\ta", {"p", "a"}},
      {"p \"a b\" c", {"p", "a b", "c"}},
      {"p a\\\\b \\server\\", {"p", "a\\\\b", "\\server\\"}},  // lone backslashes are literal
      {"p a\\\"b", {"p", "a\"b"}},
      {"p a\\\\\\\"b", {"p", "a\\\"b"}},
      {"p \"a\\\\\" b", {"p", "a\\", "b"}},
      {"p \"a\"\"b\"", {"p", "a\"b"}},
      {"p \"a\"\" b\"", {"p", "a\" b"}},
      {"p a\"\"b", {"p", "ab"}},
      {"p \"\" x \"\"", {"p", "", "x", ""}},
      {"p \"open arg", {"p", "open arg"}},
      {"p a\\", {"p", "a\\"}},
      {"p \"a\\\"", {"p", "a\""}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.line);
    EXPECT_EQ(SplitCrtCommandLine(row.line), row.args);
  }
}

// ---------------------------------------------------------------------------------------------
// fakeperl.exe

TEST(FakePerl, RecordsTheRawCommandLineByteForByte) {
  PerlSetup setup("fakeperl.exe");
  ScopedEnvironment record(kFakePerlRecord, setup.record.c_str());
  const std::string p = Quoted(setup.perl);
  const std::string s = Quoted("C:\\Program Files\\tex\\scripts\\foo.pl");
  const std::string lines[] = {
      p + " " + s + " ",  // the launcher's empty tail: one trailing blank
      p + " " + s + " -v \"a b\"",
      p + " " + s + " \t-x\t\"y  z\"   ",
      p + " " + s + " a\\\\\\\"b \"\" \\\\server\\share\\ \"tail\\\\\"",
      p + " " + s + " 100% %PATH% ^& | < > ;,=",
      p + " " + s + " \xe9t\xe9 \xc4\xd6\xdc",
      p + " " + s + " " + std::string(3000, 'a'),
      p,
      setup.perl + " unquoted",
  };
  for (const std::string& line : lines) {
    SCOPED_TRACE(line.substr(0, 200));
    DeleteFileA(setup.record.c_str());
    ProcessResult result = RunProcess(line);
    ASSERT_TRUE(result.started);
    EXPECT_EQ(result.exitCode, 0u) << result.err;
    EXPECT_EQ(ReadFakePerlRecord(setup.record).commandLine, line);
  }
}

TEST(FakePerl, RecordsEnvironmentValuesAndAbsence) {
  PerlSetup setup("fakeperl.exe");
  ScopedEnvironment record(kFakePerlRecord, setup.record.c_str());
  const std::map<std::string, std::optional<std::string>> expected = {
      {"TEXSYSTEM", "korvid"},
      {"TEXMFLOCAL", "C:\\Local Tex\\"},
      {"TEXMFMAIN", "C:\\main;%x%\"q\" \t\xe9"},
      {"TEMPDIR", ""},
      {"TMPDIR", std::nullopt},
      {"TEMP", "C:\\t"},
      {"TMP", std::nullopt},
      {"HOME", "C:\\Users\\h"},
      {"KORVID_CWD", "C:\\a;C:\\b"},
  };
  std::vector<std::unique_ptr<ScopedEnvironment>> scopes;
  for (const auto& [name, value] : expected) {
    scopes.push_back(std::make_unique<ScopedEnvironment>(name, value ? value->c_str() : nullptr));
  }
  ProcessResult result = RunProcess(Quoted(setup.perl) + " x.pl");
  ASSERT_TRUE(result.started);
  EXPECT_EQ(result.exitCode, 0u) << result.err;
  EXPECT_EQ(ReadFakePerlRecord(setup.record).environment, expected);
}

TEST(FakePerl, ChecksWhichFileMappingsCanBeOpened) {
  PerlSetup setup("fakeperl.exe");
  ScopedEnvironment record(kFakePerlRecord, setup.record.c_str());
  const std::string id = std::to_string(GetCurrentProcessId());
  const std::vector<std::string> names = {"korvid-tooling-" + id, "Local\\kv map;\xe9 " + id,
                                          "korvid-tooling-missing-" + id};
  HANDLE first = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096,
                                    names[0].c_str());
  HANDLE second = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096,
                                     names[1].c_str());
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  ScopedEnvironment mappings(kFakePerlMappings, FakePerlMappingList(names).c_str());

  ProcessResult result = RunProcess(Quoted(setup.perl));
  ASSERT_EQ(result.exitCode, 0u) << result.err;
  std::vector<FakePerlMappingCheck> checks = ReadFakePerlRecord(setup.record).mappings;
  ASSERT_EQ(checks.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(names[i]);
    EXPECT_EQ(checks[i].name, names[i]);
    EXPECT_EQ(checks[i].opened, i < 2);
    EXPECT_EQ(checks[i].error, i < 2 ? 0u : static_cast<std::uint32_t>(ERROR_FILE_NOT_FOUND));
  }

  // Once the last handle is gone, the mapping is gone for the child too.
  CloseHandle(first);
  CloseHandle(second);
  result = RunProcess(Quoted(setup.perl));
  ASSERT_EQ(result.exitCode, 0u) << result.err;
  checks = ReadFakePerlRecord(setup.record).mappings;
  ASSERT_EQ(checks.size(), 3u);
  for (const FakePerlMappingCheck& check : checks) {
    SCOPED_TRACE(check.name);
    EXPECT_FALSE(check.opened);
    EXPECT_EQ(check.error, static_cast<std::uint32_t>(ERROR_FILE_NOT_FOUND));
  }
}

TEST(FakePerl, ExitsWithTheCodeItIsGiven) {
  PerlSetup setup("fakeperl.exe");
  struct Row { const char* value; std::uint32_t code; };
  const Row rows[] = {
      {nullptr, 0},          {"0", 0},
      {"2", 2},              {"255", 255},
      {"256", 256},          {"3221225477", 3221225477u},
      {"4294967295", 4294967295u}, {"0xC000013A", 0xC000013Au},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.value ? row.value : "(unset)");
    ScopedEnvironment code(kFakePerlExitCode, row.value);
    ProcessResult result = RunProcess(Quoted(setup.perl) + " s.pl");
    ASSERT_TRUE(result.started);
    EXPECT_EQ(result.exitCode, row.code);
    EXPECT_EQ(result.err, "");
    EXPECT_FALSE(Exists(setup.record));  // no record asked for, none written
  }
}

TEST(FakePerl, WritesTheGivenTextAndSleeps) {
  PerlSetup setup("fakeperl.exe");
  ScopedEnvironment out(kFakePerlStdout, "first\r\nsecond\n\xe9");
  ScopedEnvironment err(kFakePerlStderr, "trouble\n");
  ScopedEnvironment sleep(kFakePerlSleep, "400");
  ULONGLONG start = GetTickCount64();
  ProcessResult result = RunProcess(Quoted(setup.perl));
  ULONGLONG elapsed = GetTickCount64() - start;
  EXPECT_EQ(result.out, "first\r\nsecond\n\xe9");
  EXPECT_EQ(result.err, "trouble\n");
  EXPECT_GE(elapsed, 400u);
}

// Ctrl+C under wine 8 needs a real console (the test takes one of its own); Ctrl+Break is not
// delivered at all. The launcher's Ctrl+C test stands on this one.
TEST(FakePerl, CtrlCToTheTestsOwnGroupReachesTheChildAndSparesTheTest) {
  ASSERT_TRUE(UseOwnConsole());
  PerlSetup setup("fakeperl.exe");
  ScopedEnvironment record(kFakePerlRecord, setup.record.c_str());
  ScopedEnvironment wait(kFakePerlCtrlWait, "60000");
  FakePerlSignals signals;
  CtrlCGuard guard;
  ProcessOptions options;
  int sent = 0;
  options.onStarted = [&](std::uint32_t) { sent = signals.SendCtrlCUntilReceived(0); };
  ProcessResult result = RunProcess(Quoted(setup.perl), options);
  EXPECT_GE(sent, 1);
  EXPECT_EQ(result.exitCode, kFakePerlDefaultCtrlExitCode);
  EXPECT_EQ(ReadFakePerlRecord(setup.record).ctrlState, FakePerlCtrlState::Received);
  // Every event sent reaches the test's own handler too, before the guard goes.
  EXPECT_TRUE(guard.WaitForCount(sent, 10000));
}

// ---------------------------------------------------------------------------------------------
// hostperl.exe

TEST(HostPerl, PassesArgumentsAsTheRuntimeSplitsThem) {
  PerlSetup setup("hostperl.exe");
  std::string script =
      setup.folder.Write("scripts dir\\args.pl", "print scalar(@ARGV), \"\\n\";\n"
                                                 "print \"[$_]\\n\" for @ARGV;\n");
  ProcessResult result = RunProcess(
      Quoted(setup.perl) + " " + Quoted(script) +
      " plain \"a b\"  \"say \\\"hi\\\"\" back\\\\slash \"\" \"trail\\\\\\\\\" \tx'y");
  ASSERT_TRUE(result.started);
  EXPECT_EQ(result.exitCode, 0u) << result.err;
  EXPECT_EQ(result.out,
            "7\n[plain]\n[a b]\n[say \"hi\"]\n[back\\\\slash]\n[]\n[trail\\\\]\n[x'y]\n");
  EXPECT_EQ(result.err, "");
}

TEST(HostPerl, HandsOverTheWin32EnvironmentAlone) {
  PerlSetup setup("hostperl.exe");
  std::string script = setup.folder.Write(
      "env.pl",
      "for my $n (@ARGV) { print exists $ENV{$n} ? \"$n=$ENV{$n}\\n\" : \"$n unset\\n\" }");
  ScopedEnvironment texmfMain("TEXMFMAIN", "C:\\Tex Main\\texmf");
  ScopedEnvironment texSystem("TEXSYSTEM", "korvid");
  ScopedEnvironment empty("KORVID_TOOLING_EMPTY", "");
  // Wine's own Linux environment has HOME; perl must not see it once the Win32 one has none.
  ScopedEnvironment home("HOME", nullptr);
  ProcessResult result = RunProcess(Quoted(setup.perl) + " " + Quoted(script) +
                                    " TEXMFMAIN TEXSYSTEM KORVID_TOOLING_EMPTY HOME");
  EXPECT_EQ(result.exitCode, 0u) << result.err;
  EXPECT_EQ(result.out,
            "TEXMFMAIN=C:\\Tex Main\\texmf\nTEXSYSTEM=korvid\nKORVID_TOOLING_EMPTY=\nHOME unset\n");
}

TEST(HostPerl, RunsInTheCallersCurrentDirectory) {
  PerlSetup setup("hostperl.exe");
  std::string script = setup.folder.Write(
      "cwd.pl", "use Cwd;\nopen my $f, '<', 'marker.txt' or die \"no marker: $!\\n\";\n"
                "print scalar <$f>;\nprint getcwd(), \"\\n\";\n");
  ProcessOptions options;
  options.currentDirectory = setup.folder.MakeDirectory("work dir");
  setup.folder.Write("work dir\\marker.txt", "found\n");
  ProcessResult result = RunProcess(Quoted(setup.perl) + " " + Quoted(script), options);
  EXPECT_EQ(result.exitCode, 0u) << result.err;
  ASSERT_EQ(result.out.substr(0, 6), "found\n");
  const std::string tail = "/work dir\n";
  ASSERT_GE(result.out.size(), 6 + tail.size());
  EXPECT_EQ(result.out.substr(result.out.size() - tail.size()), tail);
  EXPECT_EQ(result.out[6], '/');  // a Linux path
}

TEST(HostPerl, ReturnsTheScriptsExitCodeAndOutput) {
  PerlSetup setup("hostperl.exe");
  std::string script = setup.folder.Write(
      "exit.pl", "print \"out $ARGV[0]\\n\";\nprint STDERR \"err $ARGV[0]\\n\";\nexit $ARGV[0];\n");
  for (std::uint32_t code : {0u, 3u, 255u}) {
    SCOPED_TRACE(code);
    ProcessResult result =
        RunProcess(Quoted(setup.perl) + " " + Quoted(script) + " " + std::to_string(code));
    ASSERT_TRUE(result.started);
    EXPECT_EQ(result.exitCode, code);
    EXPECT_EQ(result.out, "out " + std::to_string(code) + "\n");
    EXPECT_EQ(result.err, "err " + std::to_string(code) + "\n");
  }
}

TEST(HostPerl, ReportsPerlsOwnFailures) {
  PerlSetup setup("hostperl.exe");
  // A script that is not there: perl's own message and exit code.
  ProcessResult missing = RunProcess(Quoted(setup.perl) + " " + Quoted(setup.folder.Join("no.pl")));
  EXPECT_EQ(missing.exitCode, 2u);
  EXPECT_NE(missing.err.find("Can't open perl script"), std::string::npos) << missing.err;
  // A perl ended by a signal: the host status holds no exit code, and 255 stands for it.
  std::string script = setup.folder.Write("kill.pl", "kill 'KILL', $$; sleep 5; exit 0;\n");
  ProcessResult killed = RunProcess(Quoted(setup.perl) + " " + Quoted(script));
  EXPECT_EQ(killed.exitCode, 255u);
  // A switch as first argument is no script and stays as it is.
  ProcessResult switchOnly = RunProcess(Quoted(setup.perl) + " -e \"print qq(sum=), 1+2\"");
  EXPECT_EQ(switchOnly.exitCode, 0u) << switchOnly.err;
  EXPECT_EQ(switchOnly.out, "sum=3");
}

TEST(HostPerl, CarriesStandardInputAndLargeOutputWhole) {
  PerlSetup setup("hostperl.exe");
  std::string script = setup.folder.Write(
      "copy.pl", "binmode STDIN; binmode STDOUT; local $/; my $in = <STDIN>;\n"
                 "print STDERR 'e' x 100000; print length($in), \"\\n\", $in;\n");
  ProcessOptions options;
  for (int i = 0; i < 20000; ++i) options.input += "line " + std::to_string(i) + "\r\n\x01\xff";
  ProcessResult result = RunProcess(Quoted(setup.perl) + " " + Quoted(script), options);
  EXPECT_EQ(result.exitCode, 0u);
  EXPECT_TRUE(result.out == std::to_string(options.input.size()) + "\n" + options.input)
      << result.out.size() << " bytes of output";
  EXPECT_EQ(result.err, std::string(100000, 'e'));
}

TEST(HostPerl, WorksBehindAProcessThatPassesItsHandlesOn) {
  // As the launcher starts perl: inherited handles, no handles of its own in the start-up record.
  PerlSetup setup("hostperl.exe");
  std::string script = setup.folder.Write("hello.pl", "print \"hello $ARGV[0]\\n\"; exit 4;\n");
  ProcessResult result = RunProcess("cmd.exe /s /c \"" + Quoted(setup.perl) + " " +
                                    Quoted(script) + " \"a b\"\"");
  EXPECT_EQ(result.exitCode, 4u) << result.err;
  EXPECT_EQ(result.out, "hello a b\n");
}

TEST(HostPerl, LeavesTheUsersTemporaryFolderAlone) {
  PerlSetup setup("hostperl.exe");
  std::string script = setup.folder.Write("out.pl", "print \"out\\n\"; print STDERR \"err\\n\";\n");
  const std::string userTemp = setup.folder.MakeDirectory("user temp");
  for (const std::string& temp : {userTemp, setup.folder.Join("no such temp")}) {
    SCOPED_TRACE(temp);
    ScopedEnvironment tempScope("TEMP", temp.c_str());
    ScopedEnvironment tmpScope("TMP", temp.c_str());
    ProcessResult result = RunProcess(Quoted(setup.perl) + " " + Quoted(script));
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(result.out, "out\n");
    EXPECT_EQ(result.err, "err\n");
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA((userTemp + "\\*.tmp").c_str(), &data);
    EXPECT_EQ(find, INVALID_HANDLE_VALUE) << data.cFileName;
    if (find != INVALID_HANDLE_VALUE) FindClose(find);
  }
}
