// Small helpers the benchmark programs share: a clock, directory making, medians, measures taken
// in turns, one enumeration of a tree, and the timing of a process.
#pragma once

#include "win32.h"

#include <algorithm>
#include <cstring>
#include <functional>
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

}  // namespace bench
