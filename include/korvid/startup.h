// Start-up and shutdown of the library, the running program's name, and the home, profile and
// working directories (lib/korvid). Every program that uses the library starts it first and
// shuts it down last.
#pragma once

#include <cstdint>

namespace korvid {

struct StartupOptions {
  std::uint32_t flags;
  std::uint8_t reserved[12];
};
static_assert(sizeof(StartupOptions) == 16, "the start-up options are a 16-byte record");

constexpr std::uint32_t kStartupNoConfigFiles = 1;  // never read the configuration files
constexpr std::uint32_t kStartupFrozenFndbs = 2;    // open every fndb read-only

// Reference-counted: only the first call builds the context, only the balancing last call of
// UninitializeLibrary tears it down. Both always return true.
bool InitializeLibrary(const StartupOptions* options = nullptr);
bool UninitializeLibrary();

// Restricts the process's own DLL search to the system directory where the system offers it
// (SetDefaultDllDirectories); the processes it starts keep their own search. The shipped
// programs call it first thing. False where it is not offered or fails.
bool RestrictDllSearch();

// The flags word of the options given to the first InitializeLibrary (0 when none were given).
std::uint32_t GetStartupFlags();

// Base name of the running executable into a kMaxPath buffer; "fixme" when it cannot be had.
char* GetProgramName(char* buffer);

// Fills the kMaxPath buffer (a static one of the library when buffer is null) and returns it;
// never fails (the last resort is "C:\").
char* GetHomeDirectory(char* buffer = nullptr);

// The profile directory into a kMaxPath buffer, or null when none is known or a registry failure
// was reported.
char* GetProfileDirectory(char* buffer);

// Adds a directory to the front or the back of the working-directory list and rewrites
// KORVID_CWD. False (and nothing added) when the directory's absolute form does not fit kMaxPath.
bool AddWorkingDirectory(const char* directory, bool atBack);

// Index 0: the current directory; index n >= 1: entry n of the working-directory list.
// Null past the end of the list, or (after reporting) when the current directory cannot be read.
char* GetWorkingDirectory(unsigned index, char* buffer);

// Start-up step: exports the scratch directory as TEMPDIR, TMPDIR, TEMP and TMP, and HOME,
// wherever they are unset.
void ExportTempEnvironment();

}  // namespace korvid
