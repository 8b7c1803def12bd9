// The least a launcher can do: start the command line of its arguments' tail, wait, and return the
// child's exit code. The launch benchmark uses it to tell the launcher's own cost from what the
// platform charges for any process that starts another.
#include "win32.h"

#include <cstring>

int main() {
  const char* line = GetCommandLineA();
  bool quoted = *line == '"';
  if (quoted) ++line;
  while (*line != '\0' && (quoted ? *line != '"' : *line != ' ')) ++line;
  if (quoted && *line == '"') ++line;
  while (*line == ' ') ++line;
  char commandLine[32768];
  std::strncpy(commandLine, line, sizeof commandLine - 1);
  commandLine[sizeof commandLine - 1] = '\0';
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process;
  if (!CreateProcessA(nullptr, commandLine, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                      &process)) {
    return 1;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD exitCode = 1;
  GetExitCodeProcess(process.hProcess, &exitCode);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return static_cast<int>(exitCode);
}
