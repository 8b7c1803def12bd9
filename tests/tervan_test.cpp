// tervan.exe from end to end: installed under a utility's name in a TEXMF tree, started with exact
// raw command lines, with a stand-in perl.exe that records what it was given.
#include "console.h"
#include "fakeperl_record.h"
#include "fndbbuilder.h"
#include "internal.h"
#include "testing.h"

#include <gtest/gtest.h>
#include <tlhelp32.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

using namespace korvid;
using namespace testing_support;
using List = std::vector<std::string>;

namespace {

// A distribution below a test folder: roots <T>\local (no fndb) and <T>\texmf (with fndb), named
// in <T>\texmf\korvid\config\paths.ini; the launcher installed as <T>\texmf\korvid\bin\foo.exe;
// the stand-in Perl in <T>\perl, put first on the PATH.
class Launcher : public ::testing::Test {
 protected:
  void SetUp() override {
    local = folder.MakeDirectory("local");
    texmf = folder.MakeDirectory("texmf");
    bin = folder.MakeDirectory("texmf\\korvid\\bin");
    exe = bin + "\\foo.exe";
    perl = folder.Join("perl\\perl.exe");
    record = folder.Join("record.txt");
    fndbPath = texmf + "\\korvid\\config\\texmf.fndb";
    CopyProgram("tervan.exe", exe);
    CopyProgram("fakeperl.exe", perl);
    WritePathsIni(local + ";" + texmf);
    path.emplace("PATH", (folder.Join("perl") + ";" + oldPath()).c_str());
    recordVariable.emplace(kFakePerlRecord, record.c_str());
  }
  static std::string oldPath() {
    const char* p = std::getenv("PATH");
    return p ? p : "";
  }
  void WritePathsIni(const std::string& roots) {
    folder.Write("texmf\\korvid\\config\\paths.ini",
                 "[Paths]\nTeXMF Root Directories=" + roots + "\nInstall Root=" + texmf +
                     "\nLocal Root=" + local + "\n");
  }
  void BuildFndb() {
    FndbBuildOptions options;
    options.root = texmf;
    FndbBuildResult result;
    ASSERT_TRUE(korvid::BuildFndb(options, &result)) << result.error;
  }
  // Puts the script into the install root's tree and lists it in its fndb.
  std::string InstallScript(const std::string& relative = "texmf\\scripts\\..\\tex\\perl\\foo.pl") {
    std::string script = folder.Write(relative, "print 1;\n");
    BuildFndb();
    return script;
  }
  ProcessResult Run(const std::string& commandLine, ProcessOptions options = {}) {
    if (options.applicationName.empty()) options.applicationName = exe;
    return RunProcess(commandLine, options);
  }
  std::string Quoted(const std::string& s) { return "\"" + s + "\""; }

  TestFolder folder;
  std::string local, texmf, bin, exe, perl, record, fndbPath;
  std::optional<ScopedEnvironment> path;
  std::optional<ScopedEnvironment> recordVariable;
  ScopedEnvironment noBin{"KORVID_BINDIR", nullptr};
  ScopedEnvironment noCwd{"KORVID_CWD", nullptr};
  ScopedEnvironment noTrace{"KORVID_TRACE", nullptr};
  ScopedEnvironment noTraceFile{"KORVID_TRACE_FILE", nullptr};
};

// How long a process may take to go once the job holding it is closed.
constexpr DWORD kGoneWithinMs = 5000;

// The ids of the processes that the given process started and that still run.
std::vector<DWORD> ChildProcesses(DWORD parent) {
  std::vector<DWORD> children;
  KernelHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  PROCESSENTRY32 entry;
  entry.dwSize = sizeof entry;
  for (BOOL more = snapshot && Process32First(snapshot.get(), &entry); more;
       more = Process32Next(snapshot.get(), &entry)) {
    if (entry.th32ParentProcessID == parent) children.push_back(entry.th32ProcessID);
  }
  return children;
}

// The one child of the process, opened to wait for it and end it; empty when it has not exactly one.
KernelHandle OnlyChild(DWORD parent, DWORD* id) {
  std::vector<DWORD> children = ChildProcesses(parent);
  if (children.size() != 1) return KernelHandle();
  *id = children[0];
  return KernelHandle(OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION,
                                  FALSE, children[0]));
}

// Ends the process unless it has ended, when the test is over: a failed check leaves nothing
// running.
struct EndsAtExit {
  KernelHandle process;
  ~EndsAtExit() {
    if (process) TerminateProcess(process.get(), 1);
  }
};

bool WaitForFile(const std::string& path, DWORD timeoutMs) {
  for (DWORD waited = 0; waited < timeoutMs; waited += 20) {
    if (Exists(path)) return true;
    Sleep(20);
  }
  return Exists(path);
}

// Starts the command line, suspended, inside the job, and lets it run; false when any step fails.
bool StartInJob(const std::string& commandLine, HANDLE job, PROCESS_INFORMATION* process) {
  std::string line = commandLine;
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr,
                      nullptr, &startup, process)) {
    return false;
  }
  if (job != nullptr && !AssignProcessToJobObject(job, process->hProcess)) {
    TerminateProcess(process->hProcess, 1);
    return false;
  }
  return ResumeThread(process->hThread) != static_cast<DWORD>(-1);
}

// The lines of a text, each with its "\n".
List SplitLines(const std::string& text) {
  List lines;
  for (std::size_t start = 0; start < text.size();) {
    std::size_t end = text.find('\n', start);
    end = end == std::string::npos ? text.size() : end + 1;
    lines.push_back(text.substr(start, end - start));
    start = end;
  }
  return lines;
}

}  // namespace

TEST_F(Launcher, QuotedProgramNameWithArguments) {
  std::string script = texmf + "\\tex\\perl\\foo.pl";
  InstallScript();
  ProcessResult result = Run(Quoted(exe) + " -v \"a b\"");
  ASSERT_TRUE(result.started);
  EXPECT_EQ(result.exitCode, 0u) << result.err;
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "");
  FakePerlRecord r = ReadFakePerlRecord(record);
  EXPECT_EQ(r.commandLine, Quoted(perl) + " " + Quoted(script) + " -v \"a b\"");
}

TEST_F(Launcher, RawCommandLines) {
  std::string script = texmf + "\\tex\\perl\\foo.pl";
  InstallScript();
  const std::string prefix = Quoted(perl) + " " + Quoted(script) + " ";
  struct Row { std::string line; std::string tail; };
  const Row rows[] = {
      {exe + "   x", "x"},
      {exe, ""},
      {Quoted(exe) + "\tx", "\tx"},
      {exe + "\tx y", "\tx y"},  // a tab ends the program name, as a blank does
      {"  " + exe + " x", "x"},  // blanks before the name
      {"\"" + exe + " -x", ""},  // no closing quote: all of it is the program name
      {Quoted(exe) + "  \"quoted \\\" arg\" \\\\server\\share  trailing  ", "\"quoted \\\" arg\" \\\\server\\share  trailing  "},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.line);
    DeleteFileA(record.c_str());
    ProcessResult result = Run(row.line);
    ASSERT_TRUE(result.started);
    EXPECT_EQ(result.exitCode, 0u) << result.err;
    EXPECT_EQ(ReadFakePerlRecord(record).commandLine, prefix + row.tail);
  }
}

TEST_F(Launcher, ExitCodesComeBackUnchanged) {
  InstallScript();
  for (const char* code : {"0", "2", "255", "3221225477"}) {
    SCOPED_TRACE(code);
    ScopedEnvironment exitCode(kFakePerlExitCode, code);
    ProcessResult result = Run(exe);
    EXPECT_EQ(std::to_string(result.exitCode), code);
  }
}

TEST_F(Launcher, TexVariablesAreOverwritten) {
  InstallScript();
  ScopedEnvironment system("TEXSYSTEM", "other");
  ScopedEnvironment localRoot("TEXMFLOCAL", "C:\\old\\local");
  ScopedEnvironment mainRoot("TEXMFMAIN", "C:\\old\\main");
  ASSERT_EQ(Run(exe + " x").exitCode, 0u);
  FakePerlRecord r = ReadFakePerlRecord(record);
  EXPECT_EQ(r.environment["TEXSYSTEM"], std::optional<std::string>("korvid"));
  EXPECT_EQ(r.environment["TEXMFLOCAL"], std::optional<std::string>(local));
  EXPECT_EQ(r.environment["TEXMFMAIN"], std::optional<std::string>(texmf));
}

TEST_F(Launcher, NoFndbStaysMappedWhilePerlRuns) {
  InstallScript();
  std::string name = FndbMappingName(fndbPath.c_str());
  ASSERT_FALSE(name.empty());
  ScopedEnvironment mappings(kFakePerlMappings, FakePerlMappingList({name}).c_str());
  ASSERT_EQ(Run(exe).exitCode, 0u);
  FakePerlRecord r = ReadFakePerlRecord(record);
  ASSERT_EQ(r.mappings.size(), 1u);
  EXPECT_FALSE(r.mappings[0].opened);

  // The check itself sees a mapping that someone else holds.
  InitializeLibrary();
  FileNameDatabase* held = FileNameDatabase::Create(fndbPath.c_str(), texmf.c_str(), true);
  ASSERT_NE(held, nullptr);
  ASSERT_EQ(Run(exe).exitCode, 0u);
  EXPECT_TRUE(ReadFakePerlRecord(record).mappings[0].opened);
  held->Release();
  UninitializeLibrary();
}

TEST_F(Launcher, ScriptInARootWithoutFndb) {
  InstallScript("texmf\\tex\\other.pl");
  std::string script = folder.Write("local\\context\\perl\\foo.pl", "");
  ASSERT_EQ(Run(exe).exitCode, 0u);
  EXPECT_EQ(ReadFakePerlRecord(record).commandLine, Quoted(perl) + " " + Quoted(script) + " ");
}

TEST_F(Launcher, FndbRootHidesAFileItDoesNotList) {
  BuildFndb();
  folder.Write("texmf\\tex\\foo.pl", "");
  ProcessResult result = Run(exe);
  EXPECT_EQ(result.exitCode, 1u);
  EXPECT_EQ(result.err, "tervan: cannot find foo.pl.\n");
}

TEST_F(Launcher, NoPerl) {
  InstallScript();
  DeleteFileA(perl.c_str());
  ProcessResult result = Run(exe + " x");
  EXPECT_EQ(result.exitCode, 1u);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "tervan: you do not have Perl in your PATH.\n");
  EXPECT_FALSE(Exists(record));
}

// Where the launcher takes perl.exe from, and what kwhere --perl says of it: copies of the
// stand-in Perl beside the launcher, in the current directory, in folders named on the PATH, and
// configured; each set-up run through tervan.exe and kwhere.exe installed side by side.
TEST_F(Launcher, PerlOnlyFromTrustedPlaces) {
  InstallScript();
  CopyProgram("kwhere.exe", bin + "\\kwhere.exe");
  const std::string work = folder.MakeDirectory("work");
  folder.MakeDirectory("work\\sub");
  folder.MakeDirectory("dist");
  const std::string perlDirectory = folder.Join("perl");
  const std::string onPath = perl;
  const std::string beside = bin + "\\perl.exe";
  const std::string planted = work + "\\perl.exe";
  const std::string below = work + "\\sub\\perl.exe";
  const std::string configured = folder.Join("dist\\perl.exe");
  const std::string bare = folder.Join("dist\\perl");
  const std::string missing = folder.Join("dist\\missing\\perl.exe");
  const std::string ini = texmf + "\\korvid\\config\\korvid.ini";
  const std::string noPerl = "tervan: you do not have Perl in your PATH.\n";
  const std::string noneFound =
      "kwhere: perl.exe is not beside the launcher, in a system directory or in a PATH entry\n";
  const std::string notRun = "kwhere: " + planted +
                             " is not run: the current directory is searched only where the PATH "
                             "names it\n";
  auto configuredProblem = [](const std::string& value, const std::string& setting,
                              const std::string& what) {
    return "the configured Perl '" + value + "' (" + setting + ") " + what;
  };
  const std::string byVariable = "set by KORVID_PERL";
  const std::string inIni = "set in " + ini;
  struct Row {
    const char* setup;
    List perls;             // where copies of perl.exe lie
    std::string path;       // the first entries of PATH
    const char* variable;   // KORVID_PERL; null: unset
    std::string iniValue;   // Perl in section Korvid of the install root's korvid.ini; "": none
    std::string runs;       // the perl.exe that runs; empty: none
    std::string error;      // tervan's message then
    std::string where;      // what kwhere --perl prints
    std::string whereError;
    bool decoy = false;     // another program as dist\perl.exe
  };
  const Row rows[] = {
      {"planted in the current directory, another on the PATH", {planted, onPath}, perlDirectory,
       nullptr, "", onPath, "", onPath + "  (PATH entry 1)\n", notRun},
      {"only in the current directory", {planted}, perlDirectory, nullptr, "", "", noPerl, "",
       noneFound + notRun},
      {"\".\" on the PATH", {planted, onPath}, ".;" + perlDirectory, nullptr, "", planted, "",
       planted + "  (PATH entry 1, the current directory)\n", ""},
      {"the current directory's own path on the PATH", {planted, onPath},
       work + ";" + perlDirectory, nullptr, "", planted, "", planted + "  (PATH entry 1)\n", ""},
      {"below the current directory, through a relative entry", {below}, "sub", nullptr, "", "",
       noPerl, "",
       noneFound + "kwhere: PATH entry 1 'sub' is not searched: it depends on the current "
                   "directory\n"},
      {"beside the launcher before the PATH", {beside, onPath, planted}, perlDirectory, nullptr,
       "", beside, "", beside + "  (beside the launcher)\n", notRun},
      {"KORVID_PERL before the launcher's directory, the PATH and korvid.ini",
       {beside, onPath, configured}, perlDirectory, configured.c_str(), onPath, configured, "",
       configured + "  (configured, " + byVariable + ")\n", ""},
      {"configured in korvid.ini", {beside, onPath, configured}, perlDirectory, nullptr,
       configured, configured, "", configured + "  (configured, " + inIni + ")\n", ""},
      {"configured but missing", {beside, onPath}, perlDirectory, missing.c_str(), "", "",
       "tervan: " + configuredProblem(missing, byVariable, "is not an existing file") + ".\n", "",
       "kwhere: " + configuredProblem(missing, byVariable, "is not an existing file") + "\n"},
      {"configured as a directory", {onPath}, perlDirectory, perlDirectory.c_str(), "", "",
       "tervan: " + configuredProblem(perlDirectory, byVariable, "is not an existing file") +
           ".\n",
       "", "kwhere: " + configuredProblem(perlDirectory, byVariable, "is not an existing file") +
               "\n"},
      {"configured relative, though the current directory holds it", {planted, onPath},
       perlDirectory, nullptr, "perl.exe", "", "tervan: " +
       configuredProblem("perl.exe", inIni, "is not a full path") + ".\n", "",
       "kwhere: " + configuredProblem("perl.exe", inIni, "is not a full path") + "\n"},
      {"configured without an extension, beside a perl.exe", {bare}, perlDirectory, bare.c_str(),
       "", bare, "", bare + "  (configured, " + byVariable + ")\n", "", true},
  };
  path.reset();
  const std::string systemPath = oldPath();
  for (const Row& row : rows) {
    SCOPED_TRACE(row.setup);
    for (const std::string& copy : {onPath, beside, planted, below, configured, bare}) {
      DeleteFileA(copy.c_str());
    }
    for (const std::string& copy : row.perls) CopyProgram("fakeperl.exe", copy);
    if (row.decoy) CopyProgram("probe.exe", configured);
    DeleteFileA(ini.c_str());
    if (!row.iniValue.empty()) WriteFileBytes(ini, "[Korvid]\nPerl=" + row.iniValue + "\n");
    ScopedEnvironment pathVariable("PATH", (row.path + ";" + systemPath).c_str());
    ScopedEnvironment variable("KORVID_PERL", row.variable);
    DeleteFileA(record.c_str());
    ProcessOptions options;
    options.currentDirectory = work;

    ProcessResult result = Run(exe + " x", options);
    ASSERT_TRUE(result.started);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, row.error);
    if (row.runs.empty()) {
      EXPECT_EQ(result.exitCode, 1u);
      EXPECT_FALSE(Exists(record));
    } else {
      EXPECT_EQ(result.exitCode, 0u);
      EXPECT_EQ(ReadFakePerlRecord(record).commandLine,
                Quoted(row.runs) + " " + Quoted(texmf + "\\tex\\perl\\foo.pl") + " x");
    }

    ProcessResult where = RunProcess(Quoted(bin + "\\kwhere.exe") + " --perl", options);
    ASSERT_TRUE(where.started);
    EXPECT_EQ(where.exitCode, row.runs.empty() ? 1u : 0u);
    EXPECT_EQ(UnixLineEnds(where.out), row.where);
    EXPECT_EQ(UnixLineEnds(where.err), row.whereError);
  }
}

// Perl keeps the DLL search it is started with: it loads a DLL from a folder on the PATH, which the
// launcher leaves out of its own search. Without the folder on the PATH, the DLL is not found.
TEST_F(Launcher, PerlKeepsItsOwnDllSearch) {
  InstallScript();
  CopyProgram("korvidtestdll.dll", folder.Join("dlls\\korvidtestdll.dll"));
  ScopedEnvironment load(kFakePerlLoadLibrary, "korvidtestdll.dll");
  const std::string withPerl = folder.Join("perl") + ";" + oldPath();
  struct Row { std::string path; bool loaded; std::uint32_t error; };
  const Row rows[] = {
      {folder.Join("dlls") + ";" + withPerl, true, 0},
      {withPerl, false, ERROR_MOD_NOT_FOUND},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.path);
    ScopedEnvironment pathVariable("PATH", row.path.c_str());
    ProcessOptions options;
    options.currentDirectory = folder.Path();  // the build's folder holds the DLL too
    ASSERT_EQ(Run(exe, options).exitCode, 0u);
    std::optional<FakePerlLibraryCheck> library = ReadFakePerlRecord(record).library;
    ASSERT_TRUE(library.has_value());
    EXPECT_EQ(library->loaded, row.loaded);
    EXPECT_EQ(library->error, row.error);
  }
}

TEST_F(Launcher, NoScript) {
  BuildFndb();
  ProcessResult result = Run(exe);
  EXPECT_EQ(result.exitCode, 1u);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "tervan: cannot find foo.pl.\n");
}

TEST_F(Launcher, PerlThatCannotRun) {
  InstallScript();
  WriteFileBytes(perl, "this is no program");
  ProcessResult result = Run(exe);
  EXPECT_EQ(result.exitCode, 1u);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "tervan: cannot run Perl.\n");
}

TEST_F(Launcher, ProgramNameTooLongForItsBuffer) {
  InstallScript();
  ProcessResult result = Run(Quoted("C:\\" + std::string(300, 'n') + "\\foo.exe") + " x");
  EXPECT_EQ(result.exitCode, 1u);
  EXPECT_EQ(result.err, "tervan: the program name is too long.\n");
  EXPECT_FALSE(Exists(record));
}

TEST_F(Launcher, FailedRootQueryIsTracedAndTheRunGoesOn) {
  // Only separators: discovery registers no root, every root question fails.
  WritePathsIni(";");
  ProcessOptions options;
  options.collectDebugOutput = true;
  ProcessResult result = Run(exe, options);
  EXPECT_EQ(result.exitCode, 1u);
  EXPECT_EQ(result.err, "tervan: cannot find foo.pl.\n");
  int internal = 0, noRoots = 0;
  for (const std::string& line : result.debugLines) {
    if (line.rfind("korvidlib: internal error in 'lib/texmfroot', line ", 0) == 0) ++internal;
    if (line == "korvidlib: no TEXMF roots configured\n") ++noRoots;
  }
  EXPECT_GE(noRoots, 1);
  EXPECT_EQ(internal, noRoots);
}

// The error lines go to the debugger output; asking for other streams copies them, with those
// streams, to standard error.
TEST_F(Launcher, StaleFndbIsTracedOnTheDebuggerOutput) {
  std::string stale = InstallScript("texmf\\tex\\foo.pl");
  DeleteFileA(stale.c_str());
  std::string script = folder.Write("local\\tex\\foo.pl", "");
  WritePathsIni(texmf + ";" + local);  // the install root first: its stale entry is met first
  const List expected = {"korvidlib: found '" + stale + "' in fndb, but the file does not exist\n",
                         "korvidlib: the file name database is out-of-date\n"};
  for (const char* streams : {static_cast<const char*>(nullptr), "fndb"}) {
    SCOPED_TRACE(streams != nullptr ? streams : "no KORVID_TRACE");
    ScopedEnvironment trace("KORVID_TRACE", streams);
    ProcessOptions options;
    options.collectDebugOutput = true;
    ProcessResult result = Run(exe, options);
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(ReadFakePerlRecord(record).commandLine, Quoted(perl) + " " + Quoted(script) + " ");
    List seen;
    for (const std::string& line : result.debugLines) {
      if (line.find("does not exist") != std::string::npos ||
          line.find("out-of-date") != std::string::npos) {
        seen.push_back(line);
      }
    }
    EXPECT_EQ(seen, expected);
    for (const std::string& line : expected) {
      EXPECT_EQ(result.err.find(line) != std::string::npos, streams != nullptr) << line;
    }
  }
}

TEST_F(Launcher, CtrlCReachesPerlAndTheLauncherReturnsItsCode) {
  ASSERT_TRUE(UseOwnConsole());
  InstallScript();
  ScopedEnvironment wait(kFakePerlCtrlWait, "60000");
  ScopedEnvironment code(kFakePerlCtrlExitCode, "42");
  FakePerlSignals signals;
  CtrlCGuard guard;
  ProcessOptions options;
  int sent = 0;
  options.onStarted = [&](std::uint32_t) { sent = signals.SendCtrlCUntilReceived(0); };
  ProcessResult result = Run(exe, options);
  EXPECT_GE(sent, 1);
  EXPECT_EQ(result.exitCode, 42u);
  EXPECT_EQ(ReadFakePerlRecord(record).ctrlState, FakePerlCtrlState::Received);
  // Every event sent reaches the test's own handler too, before the guard goes.
  EXPECT_TRUE(guard.WaitForCount(sent, 10000));
}

TEST_F(Launcher, SeveralLaunchersAtOnce) {
  InstallScript();
  recordVariable.reset();
  constexpr int kLaunchers = 6;
  std::vector<std::thread> threads;
  std::atomic<int> succeeded{0};
  for (int i = 0; i < kLaunchers; ++i) {
    threads.emplace_back([&, i] {
      ProcessResult result = Run(exe + " run" + std::to_string(i));
      if (result.started && result.exitCode == 0 && result.err.empty()) ++succeeded;
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(succeeded, kLaunchers);
}

TEST_F(Launcher, RealPerlRunsTheScript) {
  CopyProgram("hostperl.exe", perl);
  InstallScript("texmf\\tex\\foo.pl");
  folder.Write("texmf\\tex\\foo.pl",
               "print join('|', @ARGV), \"\\n\", $ENV{TEXMFMAIN}, \"\\n\"; exit 3;\n");
  ProcessResult result = Run(exe + " one \"two words\" three");
  EXPECT_EQ(result.exitCode, 3u) << result.err;
  EXPECT_EQ(result.out, "one|two words|three\n" + texmf + "\n");
}

// Perl ends with the launcher however the launcher ends; what Perl started keeps running.
TEST_F(Launcher, EndedLauncherTakesPerlButNotWhatPerlStarted) {
  InstallScript();
  std::string server = folder.Join("perl\\server.exe");
  CopyProgram("fakeperl.exe", server);
  ScopedEnvironment sleep(kFakePerlSleep, "120000");
  ScopedEnvironment start(kFakePerlStart, Quoted(server).c_str());
  PROCESS_INFORMATION started;
  ASSERT_TRUE(StartInJob(exe, nullptr, &started));
  EndsAtExit launcher{KernelHandle(started.hProcess)};
  KernelHandle launcherThread(started.hThread);
  ASSERT_TRUE(WaitForFile(record, 30000));

  DWORD perlId = 0, serverId = 0;
  EndsAtExit perlProcess{OnlyChild(started.dwProcessId, &perlId)};
  ASSERT_TRUE(perlProcess.process) << "the launcher runs no single Perl";
  EndsAtExit serverProcess{OnlyChild(perlId, &serverId)};
  ASSERT_TRUE(serverProcess.process) << "Perl runs no single program of its own";

  ASSERT_TRUE(TerminateProcess(launcher.process.get(), 9));
  EXPECT_EQ(WaitForSingleObject(perlProcess.process.get(), kGoneWithinMs), WAIT_OBJECT_0)
      << "Perl still runs " << kGoneWithinMs << " ms after its launcher was ended";
  EXPECT_EQ(WaitForSingleObject(serverProcess.process.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT))
      << "the program Perl started was ended with it";
}

// A caller's job that lets nothing break away (and, on older systems, holds no nested job) must not
// keep Perl from running.
TEST_F(Launcher, LaunchInsideAJobThatForbidsBreakaway) {
  InstallScript();
  ScopedEnvironment code(kFakePerlExitCode, "7");
  KernelHandle job(CreateJobObjectA(nullptr, nullptr));
  ASSERT_TRUE(job);
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  ASSERT_TRUE(SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits,
                                      sizeof limits));
  PROCESS_INFORMATION started;
  ASSERT_TRUE(StartInJob(exe + " x", job.get(), &started));
  KernelHandle launcher(started.hProcess), launcherThread(started.hThread);
  ASSERT_EQ(WaitForSingleObject(launcher.get(), 60000), WAIT_OBJECT_0);
  DWORD exitCode = 0;
  GetExitCodeProcess(launcher.get(), &exitCode);
  EXPECT_EQ(exitCode, 7u);
  EXPECT_EQ(ReadFakePerlRecord(record).commandLine,
            Quoted(perl) + " " + Quoted(texmf + "\\tex\\perl\\foo.pl") + " x");
}

// Names that Windows takes for an installer's when a program has no manifest.
TEST_F(Launcher, InstallerLikeNamesRunAsInvoker) {
  ScopedEnvironment code(kFakePerlExitCode, "7");
  for (const char* name : {"setup", "update-foo", "install"}) {
    SCOPED_TRACE(name);
    std::string program = bin + "\\" + name + ".exe";
    CopyProgram("tervan.exe", program);
    std::string script = folder.Write(std::string("texmf\\tex\\") + name + ".pl", "print 1;\n");
    BuildFndb();
    DeleteFileA(record.c_str());
    ProcessOptions options;
    options.applicationName = program;
    ProcessResult result = Run(Quoted(program) + " a", options);
    ASSERT_TRUE(result.started);
    EXPECT_EQ(result.exitCode, 7u) << result.err;
    EXPECT_EQ(ReadFakePerlRecord(record).commandLine, Quoted(perl) + " " + Quoted(script) + " a");
  }
}

TEST_F(Launcher, RequestedTracesGoToStandardErrorBeforePerlsOutput) {
  std::string script = texmf + "\\tex\\perl\\foo.pl";
  InstallScript();
  ScopedEnvironment perlSays(kFakePerlStderr, "perl says\n");
  const std::string roots = "korvidlib: registering TEXMF root '" + local + "'...\n";
  const std::string loading = "korvidlib: loading frozen " + fndbPath + "...\n";
  const std::string tried = "korvidlib: trying " + local + "\\context\\foo.pl...\n";
  const std::string searching = "korvidlib: searching '" + texmf + "\\tex//foo.pl' via fndb ";
  const std::string access = "korvidlib: AccessFile('" + script + "', 0) => true\n";
  struct Row { const char* streams; List present; List absent; };
  const Row rows[] = {
      {"filesearch,fndb,config", {roots, loading, tried, searching}, {access}},
      {"fndb", {loading, searching}, {roots, tried, access}},
      {"all", {roots, loading, tried, searching, access}, {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.streams);
    ScopedEnvironment trace("KORVID_TRACE", row.streams);
    ProcessOptions options;
    options.collectDebugOutput = true;
    ProcessResult result = Run(exe, options);
    EXPECT_EQ(result.exitCode, 0u);
    // Standard error gets the very lines of the debugger output (some hold several text lines),
    // in the same order, and then Perl's own output.
    std::string traces;
    for (const std::string& line : result.debugLines) {
      if (line.rfind("korvidlib: ", 0) == 0) traces += line;
    }
    EXPECT_EQ(result.err, traces + "perl says\n");
    for (const std::string& wanted : row.present) {
      EXPECT_NE(("\n" + traces).find("\n" + wanted), std::string::npos) << wanted;
    }
    for (const std::string& unwanted : row.absent) {
      EXPECT_EQ(("\n" + traces).find("\n" + unwanted), std::string::npos) << unwanted;
    }
  }
}

TEST_F(Launcher, TraceFileTakesWholeLinesFromProcessesAppendingAtOnce) {
  InstallScript();
  recordVariable.reset();
  std::string traceFile = folder.Write("trace.log", "kept\n");
  ScopedEnvironment trace("KORVID_TRACE", "all");
  ScopedEnvironment file("KORVID_TRACE_FILE", traceFile.c_str());
  ProcessResult alone = Run(exe);
  EXPECT_EQ(alone.err, "");
  List linesOfOneRun = SplitLines(ReadFileBytes(traceFile));
  ASSERT_GT(linesOfOneRun.size(), 20u);
  EXPECT_EQ(linesOfOneRun.front(), "kept\n");
  linesOfOneRun.erase(linesOfOneRun.begin());

  // Two runs at once: the file holds what was there and the lines of both, each line whole.
  WriteFileBytes(traceFile, "kept\n");
  std::vector<std::thread> threads;
  for (int i = 0; i < 2; ++i) threads.emplace_back([&] { Run(exe); });
  for (auto& thread : threads) thread.join();
  List lines = SplitLines(ReadFileBytes(traceFile));
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.front(), "kept\n");
  lines.erase(lines.begin());
  List expected = linesOfOneRun;
  expected.insert(expected.end(), linesOfOneRun.begin(), linesOfOneRun.end());
  std::sort(expected.begin(), expected.end());
  std::sort(lines.begin(), lines.end());
  EXPECT_EQ(lines, expected);
}
