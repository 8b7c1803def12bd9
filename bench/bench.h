// Small helpers the benchmark programs share: a clock, directory making, medians, measures taken
// in turns, one enumeration of a tree, the timing of a process, and child runs whose figures are
// gathered in turns with those of another build.
#pragma once

#include "win32.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace bench {

// Seconds from the performance counter.
inline double Now() {
  static LARGE_INTEGER frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f;
  }();
  LARGE_INTEGER counter;
  QueryPerformanceCounter(&counter);
  return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// The directory of the running program: the build directory, where the other programs are.
inline std::string ProgramDirectory() {
  char self[MAX_PATH];
  GetModuleFileNameA(nullptr, self, sizeof self);
  std::string directory = self;
  directory.erase(directory.find_last_of('\\'));
  return directory;
}

inline void MakeDirectories(const std::string& path) {
  for (std::size_t i = 3; i <= path.size(); ++i) {
    if (i == path.size() || path[i] == '\\') CreateDirectoryA(path.substr(0, i).c_str(), nullptr);
  }
}

inline double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// Measures taken in turns, run after run, so that a change in the machine's load falls on all of
// them alike; each is the median of its runs, in milliseconds.
struct Measure {
  std::function<void()> action;
  std::function<void()> prepare;  // untimed, before each run
  double median = 0;
};

inline void TimeInTurns(int runs, std::vector<Measure*> measures) {
  std::vector<std::vector<double>> times(measures.size());
  for (int run = 0; run < runs; ++run) {
    for (std::size_t m = 0; m < measures.size(); ++m) {
      if (measures[m]->prepare) measures[m]->prepare();
      double start = Now();
      measures[m]->action();
      times[m].push_back((Now() - start) * 1e3);
    }
  }
  for (std::size_t m = 0; m < measures.size(); ++m) measures[m]->median = Median(times[m]);
}

// One enumeration of every folder below the directory; the number of folders.
inline unsigned Enumerate(const std::string& directory) {
  unsigned folders = 1;
  WIN32_FIND_DATAA data;
  HANDLE find = FindFirstFileExA((directory + "\\*").c_str(), FindExInfoBasic, &data,
                                 FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
  if (find == INVALID_HANDLE_VALUE) return folders;
  do {
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && std::strcmp(data.cFileName, ".") &&
        std::strcmp(data.cFileName, "..")) {
      folders += Enumerate(directory + "\\" + data.cFileName);
    }
  } while (FindNextFileA(find, &data));
  FindClose(find);
  return folders;
}

// Starts the command line, waits; the wall time in milliseconds, or a negative value on failure.
inline double TimeRun(const std::string& commandLine, DWORD expectedExitCode) {
  std::string line = commandLine;
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process;
  double start = Now();
  if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                      &process)) {
    return -1;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  double end = Now();
  DWORD code = 1;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return code == expectedExitCode ? (end - start) * 1e3 : -1;
}

// Starts the command line with its standard output on a pipe and waits; what it printed, or none
// when it could not be started or did not exit with 0.
inline std::optional<std::string> RunChild(const std::string& commandLine) {
  std::string line = commandLine;
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE readEnd, writeEnd;
  if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return std::nullopt;
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = writeEnd;
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  PROCESS_INFORMATION process;
  if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                      &process)) {
    CloseHandle(readEnd);
    CloseHandle(writeEnd);
    return std::nullopt;
  }
  CloseHandle(writeEnd);
  std::string out;
  char chunk[4096];
  DWORD n;
  while (ReadFile(readEnd, chunk, sizeof chunk, &n, nullptr) && n > 0) out.append(chunk, n);
  CloseHandle(readEnd);
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 1;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  if (code != 0) return std::nullopt;
  return out;
}

// The figures of child runs: each child prints lines "NAME VALUE"; each name gathers one value
// per run, in the order the names first appeared.
class Figures {
 public:
  void Add(const std::string& output) {
    std::istringstream lines(output);
    std::string name;
    double value;
    while (lines >> name >> value) {
      if (!values.contains(name)) order.push_back(name);
      values[name].push_back(value);
    }
  }
  bool Has(const std::string& name) const { return values.contains(name); }
  double MedianOf(const std::string& name) const {
    auto it = values.find(name);
    return it == values.end() ? 0 : Median(it->second);
  }
  const std::vector<std::string>& Names() const { return order; }

 private:
  std::map<std::string, std::vector<double>> values;
  std::vector<std::string> order;
};

// Runs the command of this build and, when given, that of another build in turns, each `runs`
// times, so that both meet the same load; the one that runs first changes from pair to pair
// (A B, B A, A B, ...), since the first of two processes started one after the other is measured
// slower here. False when a run failed.
inline bool RunInTurns(const std::string& command, const std::string& baselineCommand, int runs,
                       Figures* figures, Figures* baselineFigures) {
  auto run = [](const std::string& line, Figures* into) {
    std::optional<std::string> out = RunChild(line);
    if (!out) {
      std::fprintf(stderr, "failed: %s\n", line.c_str());
      return false;
    }
    into->Add(*out);
    return true;
  };
  for (int i = 0; i < runs; ++i) {
    if (baselineCommand.empty()) {
      if (!run(command, figures)) return false;
    } else if (i % 2 == 0) {
      if (!run(command, figures) || !run(baselineCommand, baselineFigures)) return false;
    } else {
      if (!run(baselineCommand, baselineFigures) || !run(command, figures)) return false;
    }
  }
  return true;
}

// One row per figure: its median in this build and, with a baseline, in the baseline and the
// ratio of the two.
inline void PrintSideBySide(const Figures& figures, const Figures& baseline,
                            const std::map<std::string, std::string>& labels) {
  bool compared = !baseline.Names().empty();
  std::printf("  %-52s %14s", "figure (median of the runs)", "this build");
  if (compared) std::printf(" %14s %9s", "baseline", "ratio");
  std::printf("\n");
  for (const std::string& name : figures.Names()) {
    auto label = labels.find(name);
    std::printf("  %-52s %14.3f", label != labels.end() ? label->second.c_str() : name.c_str(),
                figures.MedianOf(name));
    if (compared && baseline.Has(name)) {
      double old = baseline.MedianOf(name);
      std::printf(" %14.3f %9.2f", old, old != 0 ? figures.MedianOf(name) / old : 0.0);
    }
    std::printf("\n");
  }
}

}  // namespace bench
