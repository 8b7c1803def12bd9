// tervan.exe: runs the Perl script named like the program, found in the TEXMF trees.
#include "korvid.h"
#include "launch.h"

// The arguments the runtime parsed are not used: the launch reads the raw command line itself.
int main() {
  korvid::RestrictDllSearch();
  korvid::InitializeLibrary();
  int exitCode = korvid::LaunchScript();
  korvid::UninitializeLibrary();
  return exitCode;
}
