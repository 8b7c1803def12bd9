// The launch procedure of tervan: find Perl and the script, export the TeX variables, run Perl.
#pragma once

#include "internal.h"

#include <string>

namespace korvid {

// Perl's exit code, or 1 when the launcher itself fails (after its message on standard error).
int LaunchScript();

// Fills the 260-character buffer with the full path of the perl.exe to run (LocatePerl); false
// when there is none. Then *problem says why a configured Perl cannot be used, or is empty when
// none is configured.
bool FindPerl(char* perlPath, std::string* problem);

// Copies the first word of the raw command line (ended by a blank or a tab unless quoted), without
// its quotes, into the 260-character program name and returns where the tail begins; null when the
// name does not fit.
const char* SplitCommandLine(const char* commandLine, char* programName);

// Fills the 260-character script path with the full path of baseName.pl along the script search
// pattern; false when it is not found.
bool FindScript(const char* baseName, char* scriptPath);

// A job that ends Perl with the launcher and lets what Perl starts leave it; empty when the job
// cannot be made.
KernelHandle NewPerlJob();

// Starts the program at perlPath, exactly that file (no search, no extension added), with the
// command line, inside the job (when there is one). When the job refuses the process or the
// process cannot be resumed, it runs without the job and the job is emptied. False when the
// process cannot be started at all.
bool StartPerl(const char* perlPath, char* commandLine, STARTUPINFOA* startup, KernelHandle* job,
               PROCESS_INFORMATION* process);

}  // namespace korvid
