// A test program that starts the library where it was copied to and prints what it is asked:
// each argument names one question, and each answer goes to standard output on a line of its own.
#include "korvid.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

void Answer(const char* question) {
  using namespace korvid;
  char buffer[kRootBufferSize];
  std::string q = question;
  if (q == "programname") {
    std::printf("programname=%s\n", GetProgramName(buffer));
  } else if (q == "home") {
    std::printf("home=%s\n", GetHomeDirectory(buffer));
  } else if (q == "cwdlist") {
    for (unsigned i = 1; GetWorkingDirectory(i, buffer) != nullptr; ++i) {
      std::printf("cwd%u=%s\n", i, buffer);
    }
  } else if (q == "env:KORVID_CWD" || q.rfind("env:", 0) == 0) {
    const char* value = std::getenv(q.c_str() + 4);
    std::printf("%s=%s\n", q.c_str(), value ? value : "(unset)");
  } else {
    std::printf("unknown question %s\n", question);
  }
}

}  // namespace

int main(int argc, char** argv) {
  korvid::InitializeLibrary();
  for (int i = 1; i < argc; ++i) Answer(argv[i]);
  std::fflush(stdout);
  korvid::UninitializeLibrary();
  return 0;
}
