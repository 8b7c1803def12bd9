// The launch procedure of tervan: find Perl and the script, export the TeX variables, run Perl.
#include "launch.h"

#include "internal.h"

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace korvid {
namespace {

constexpr std::size_t kBaseNameSize = 256;
constexpr std::size_t kEnvironmentEntrySize = 2000;

// Messages go out byte for byte as written: standard error is switched to binary first.
int Fail(const char* format, const char* argument = "") {
  std::fflush(stderr);
  _setmode(_fileno(stderr), _O_BINARY);
  std::fprintf(stderr, format, argument);
  std::fflush(stderr);
  return 1;
}

// Sets one environment entry for this process and the child; an entry that does not fit its
// buffer is not set. An empty value is exported as empty, not removed.
void Export(const char* name, const char* value) {
  char entry[kEnvironmentEntrySize];
  int length = std::snprintf(entry, sizeof entry, "%s=%s", name, value);
  if (length < 0 || static_cast<std::size_t>(length) >= sizeof entry) return;
  if (value[0] != '\0') {
    _putenv(entry);
  } else {
    SetEnvironmentVariableA(name, "");
  }
}

// The path of root `index` (or empty when the root table cannot give it).
std::string RootPath(int index) {
  char root[kRootBufferSize];
  if (index < 0 || GetRootDirectory(static_cast<unsigned>(index), root) == nullptr) return {};
  return root;
}

// Perl gets the console's Ctrl+C and Ctrl+Break; the launcher outlives them, waits for Perl and
// returns its exit code. (A handler, unlike the ignore flag, is not inherited by the child.) It
// stays in place once Perl has ended: the console runs each process's handler on a thread of its
// own, so the launcher's share of an event that made Perl exit may come after Perl is gone, and
// without the handler it would end the launcher with the code of an interrupted program.
BOOL WINAPI KeepRunning(DWORD event) {
  return event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT;
}

}  // namespace

// The job kills what it holds when its last handle closes, and the launcher holds the only one (not
// inheritable), so Perl ends however the launcher ends (TerminateProcess, its console closed, a
// crash). What Perl starts leaves the job silently: a viewer or a server it leaves behind keeps
// running.
KernelHandle NewPerlJob() {
  KernelHandle job(CreateJobObjectA(nullptr, nullptr));
  if (!job) return job;
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits;
  std::memset(&limits, 0, sizeof limits);
  limits.BasicLimitInformation.LimitFlags =
      JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK;
  if (!SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits,
                               sizeof limits)) {
    job.reset();
  }
  return job;
}

// Suspended, assigned, resumed, so that Perl runs no instruction outside the job. A job that
// refuses the assignment (the launcher's own job forbids nesting) or a thread that will not resume
// must not cost the launch: then Perl runs as it would without a job, and the job, which holds
// nothing, is dropped.
bool StartPerl(const char* perlPath, char* commandLine, STARTUPINFOA* startup, KernelHandle* job,
               PROCESS_INFORMATION* process) {
  if (*job) {
    if (!CreateProcessA(perlPath, commandLine, nullptr, nullptr, TRUE, CREATE_SUSPENDED, nullptr,
                        nullptr, startup, process)) {
      return false;
    }
    if (!AssignProcessToJobObject(job->get(), process->hProcess)) job->reset();
    if (ResumeThread(process->hThread) != static_cast<DWORD>(-1)) return true;
    KernelHandle stuck(process->hProcess), stuckThread(process->hThread);
    TerminateProcess(stuck.get(), 1);
    WaitForSingleObject(stuck.get(), INFINITE);
    job->reset();
  }
  return CreateProcessA(perlPath, commandLine, nullptr, nullptr, TRUE, 0, nullptr, nullptr, startup,
                        process) != 0;
}

// Never SearchPathA: it looks in the current directory before the system directories and the
// PATH, so that a perl.exe lying in the folder the user works in would run with the user's rights.
bool FindPerl(char* perlPath, std::string* problem) {
  PerlLocation location = LocatePerl();
  *problem = DescribePerlProblem(location);
  if (location.problem != PerlProblem::None) return false;
  // Every path the search gives fits kMaxPath.
  std::snprintf(perlPath, kMaxPath, "%s", location.perl.path.c_str());
  return true;
}

// 1. Blanks and tabs before the name are skipped: the system starts a program from such a command
//    line, and the name is what follows them.
// 2. A name that begins with a double quote runs to the next one, blanks and tabs included.
// 3. An unquoted name ends at a blank or a tab, as the system and the C runtime end it: a tab does
//    not glue the first argument to the name.
// 4. Blanks after the name are skipped; a tab stays at the start of the tail.
const char* SplitCommandLine(const char* commandLine, char* programName) {
  const char* p = commandLine;
  while (*p == ' ' || *p == '\t') ++p;
  bool quoted = *p == '"';
  if (quoted) ++p;
  std::size_t length = 0;
  while (*p != '\0' && (quoted ? *p != '"' : *p != ' ' && *p != '\t')) {
    if (length + 1 >= kMaxPath) return nullptr;
    programName[length++] = *p++;
  }
  programName[length] = '\0';
  if (quoted && *p == '"') ++p;
  while (*p == ' ') ++p;
  return p;
}

bool FindScript(const char* baseName, char* scriptPath) {
  std::string name = std::string(baseName) + ".pl";
  return FindFile(name.c_str(), kScriptSearchPattern, scriptPath);
}

int LaunchScript() {
  ClearLastError();
  char perlPath[kMaxPath];
  std::string perlProblem;
  if (!FindPerl(perlPath, &perlProblem)) {
    if (!perlProblem.empty()) return Fail("tervan: %s.\n", perlProblem.c_str());
    return Fail("tervan: you do not have Perl in your PATH.\n");
  }

  char programName[kMaxPath];
  const char* tail = SplitCommandLine(GetCommandLineA(), programName);
  if (tail == nullptr) return Fail("tervan: the program name is too long.\n");
  std::string baseName = SplitPath(programName).name;
  if (baseName.size() >= kBaseNameSize) return Fail("tervan: the program name is too long.\n");

  char scriptPath[kMaxPath];
  if (!FindScript(baseName.c_str(), scriptPath)) {
    return Fail("tervan: cannot find %s.pl.\n", baseName.c_str());
  }

  std::size_t tailLength = std::strlen(tail);
  std::vector<char> commandLine((tailLength + 543) & ~static_cast<std::size_t>(3));
  std::snprintf(commandLine.data(), commandLine.size(), "\"%s\" \"%s\" %s", perlPath, scriptPath,
                tail);

  Export("TEXSYSTEM", "korvid");
  Export("TEXMFLOCAL", RootPath(GetLocalRoot()).c_str());
  Export("TEXMFMAIN", RootPath(GetInstallRoot()).c_str());

  STARTUPINFOA startup;
  std::memset(&startup, 0, sizeof startup);
  startup.cb = sizeof startup;

  UnloadFndbs();

  SetConsoleCtrlHandler(KeepRunning, TRUE);
  KernelHandle job = NewPerlJob();
  PROCESS_INFORMATION process;
  if (!StartPerl(perlPath, commandLine.data(), &startup, &job, &process)) {
    SetConsoleCtrlHandler(KeepRunning, FALSE);
    return Fail("tervan: cannot run Perl.\n");
  }
  // Declared in this order, the thread handle closes before the process handle.
  KernelHandle perl(process.hProcess), perlThread(process.hThread);
  WaitForSingleObject(perl.get(), INFINITE);
  DWORD exitCode = 1;
  GetExitCodeProcess(perl.get(), &exitCode);
  return static_cast<int>(exitCode);
}

}  // namespace korvid
