// A test program that starts the library where it was copied to and prints what it is asked:
// each argument names one question, and each answer goes to standard output on a line of its own.
#include "internal.h"
#include "registry_sandbox.h"

#include <cstdio>
#include <cstdlib>
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
  } else if (q == "roots") {
    unsigned count = GetNumberOfRoots();
    for (unsigned i = 0; i < count; ++i) {
      std::printf("root%u=%s\n", i, GetRootDirectory(i, buffer) ? buffer : "(none)");
    }
    std::printf("install=%d\nlocal=%d\n", GetInstallRoot(), GetLocalRoot());
  } else if (q == "kd") {
    std::printf("kd=%d\n", IsKorvidDirect() ? 1 : 0);
  } else if (q == "bindir") {
    std::printf("bindir=%s\n", GetBinDirectory(buffer) ? buffer : "(none)");
  } else if (q.rfind("find:", 0) == 0) {
    // find:NAME:PATTERN
    std::size_t colon = q.find(':', 5);
    std::string name = q.substr(5, colon - 5);
    std::string pattern = q.substr(colon + 1);
    char result[kMaxPath];
    bool found = FindFile(name.c_str(), pattern.c_str(), result);
    std::printf("find=%s\n", found ? result : "(not found)");
  } else if (q.rfind("config:", 0) == 0) {
    // config:SECTION:NAME
    std::size_t colon = q.find(':', 7);
    std::string section = q.substr(7, colon - 7);
    std::string name = q.substr(colon + 1);
    char value[kMaxPath];
    const char* result = GetConfigValue(section.c_str(), name.c_str(), value, sizeof value, nullptr);
    std::printf("config=%s\n", result ? result : "(none)");
  } else if (q == "restrictdll") {
    std::printf("restrictdll=%d\n", RestrictDllSearch() ? 1 : 0);
  } else if (q.rfind("loadlibrary:", 0) == 0 || q.rfind("systemlibrary:", 0) == 0) {
    // loadlibrary:NAME (LoadLibraryA) or systemlibrary:NAME (the library's loader); freed again,
    // so that a later question finds it anew. The answer: loaded, or the error number.
    std::string how = q.substr(0, q.find(':'));
    std::string name = q.substr(how.size() + 1);
    HMODULE module = how == "loadlibrary" ? LoadLibraryA(name.c_str())
                                          : LoadSystemLibrary(name.c_str());
    unsigned long error = module == nullptr ? GetLastError() : 0;
    if (module != nullptr) FreeLibrary(module);
    std::string answer = module != nullptr ? "loaded" : std::to_string(error);
    std::printf("%s=%s\n", how.c_str(), answer.c_str());
  } else if (q == "env:KORVID_CWD" || q.rfind("env:", 0) == 0) {
    const char* value = std::getenv(q.c_str() + 4);
    std::printf("%s=%s\n", q.c_str(), value ? value : "(unset)");
  } else {
    std::printf("unknown question %s\n", question);
  }
}

}  // namespace

int main(int argc, char** argv) {
  testing_support::JoinParentRegistrySandbox();
  korvid::InitializeLibrary();
  // With PROBE_TRACES the streams are switched on and the lazily built state is dropped, so that
  // the questions below build it again with their traces visible.
  if (const char* traces = std::getenv("PROBE_TRACES")) {
    korvid::SetTraceOptions(traces);
    korvid::FreeConfig();
    korvid::FreeRoots();
    korvid::ClearSearchPathCache();
  }
  for (int i = 1; i < argc; ++i) Answer(argv[i]);
  std::fflush(stdout);
  korvid::UninitializeLibrary();
  return 0;
}
