// Test support: captured debugger output, throwaway folders, environment scopes, child processes.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace testing_support {

// Collects every line the library hands to the debugger output while it lives.
class TraceCapture {
 public:
  TraceCapture();
  ~TraceCapture();
  TraceCapture(const TraceCapture&) = delete;
  TraceCapture& operator=(const TraceCapture&) = delete;

  // Whole lines as written: "korvidlib: " + text + "\n".
  std::vector<std::string> Lines() const;
  // The texts of the lines, without prefix and final newline.
  std::vector<std::string> Texts() const;
  bool HasText(const std::string& text) const;
  // The number of lines whose text contains the fragment.
  int CountContaining(const std::string& fragment) const;
  void Clear();
};

// A fresh directory below the system's temporary folder, removed with all its content (read-only
// files and directories included) when the object goes.
class TestFolder {
 public:
  TestFolder();
  ~TestFolder();
  TestFolder(const TestFolder&) = delete;
  TestFolder& operator=(const TestFolder&) = delete;

  const std::string& Path() const { return path; }
  // path + "\" + relative
  std::string Join(const std::string& relative) const;
  // Creates the file (and its directories) with the given bytes; returns its full path.
  std::string Write(const std::string& relative, const std::string& content);
  // Creates the directory (and its parents); returns its full path.
  std::string MakeDirectory(const std::string& relative);

 private:
  std::string path;
};

void MakeDirectories(const std::string& path);
void RemoveTree(const std::string& path);
std::string ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::string& bytes);
void SetReadOnly(const std::string& path, bool readOnly);
bool Exists(const std::string& path);
// The names in the folder but "." and "..", sorted; none when it cannot be listed.
std::vector<std::string> FolderNames(const std::string& folder);
// Makes a link to a directory: a symbolic link where the system makes one; under wine, whose
// symbolic links to directories are not made, a Unix symbolic link (wine shows it as a directory
// link). False when neither is there afterwards. RemoveTree removes the link, not what it leads to.
bool MakeDirectoryLink(const std::string& link, const std::string& target);
std::string CurrentDirectory();
// A program's output with the text-mode line ends ("\r\n") turned back into "\n".
std::string UnixLineEnds(const std::string& text);

// Sets (or, with a null value, removes) an environment variable for the scope, in the runtime's
// and the process's environment alike; the old state comes back at the end.
class ScopedEnvironment {
 public:
  ScopedEnvironment(const std::string& name, const char* value);
  ~ScopedEnvironment();
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

 private:
  std::string name;
  bool hadValue;
  std::string oldValue;
};
void SetEnvironmentValue(const std::string& name, const char* value);

// The library's registry tree "Software\Zef" in both hives, removed when the object is made and
// when it goes, so that every test starts and ends without it.
class ScopedRegistry {
 public:
  enum class Hive { CurrentUser, LocalMachine };
  ScopedRegistry();
  ~ScopedRegistry();
  ScopedRegistry(const ScopedRegistry&) = delete;
  ScopedRegistry& operator=(const ScopedRegistry&) = delete;
  // Writes a value of "Software\Zef\Korvid\CurrentVersion\<section>" with the given type
  // (REG_SZ = 1, REG_EXPAND_SZ = 2, REG_DWORD = 4); the stored bytes are the text and its NUL.
  void Set(Hive hive, const std::string& section, const std::string& name,
           const std::string& value, unsigned long type = 1);
  static void Clear();
};

struct ProcessResult {
  bool started = false;
  std::uint32_t exitCode = 0;
  std::string out;
  std::string err;
  std::vector<std::string> debugLines;  // with collectDebugOutput
};

struct ProcessOptions {
  std::string applicationName;      // empty: taken from the command line
  std::string currentDirectory;     // empty: the caller's
  bool collectDebugOutput = false;  // run the child under a debugger that collects its lines
  std::string input;                // written to the child's standard input
  std::uint32_t creationFlags = 0;  // added to CreateProcessA's flags (CREATE_NEW_PROCESS_GROUP...)
  // Called with the child's process id once it runs, before the wait (for example to send it a
  // console control event). Under collectDebugOutput the child stands still until it returns.
  std::function<void(std::uint32_t processId)> onStarted;
};

// Starts the raw command line (CreateProcessA), waits and collects.
ProcessResult RunProcess(const std::string& commandLine, const ProcessOptions& options = {});

// Lets threads run for runMs, then sets stop and joins them. Threads that do not finish within
// timeoutMs are stuck (a lock order was violated): the failure is reported and the process ends,
// since stuck threads cannot be joined. Each thread counts itself in finished when it ends.
void StopThreadsOrAbort(std::vector<std::thread>& threads, std::atomic<bool>& stop,
                        std::atomic<int>& finished, unsigned runMs, unsigned timeoutMs);

// Directory of the build's programs (the test executables and the test programs).
std::string BuildDirectory();
// Copies a program of the build into place.
void CopyProgram(const std::string& programName, const std::string& destination);

}  // namespace testing_support
