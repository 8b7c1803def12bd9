// Test program: opens an fndb in a process of its own and searches it once.
// Usage: fndbprobe FNDB ROOT NAME ENTRY [frozen]
// Prints "found PATH" (exit 0), "not found" (exit 1) or "create failed: MESSAGE" (exit 2), and a
// line "readonly 0|1 size N" after a successful Create. The "fndb" trace stream is enabled.
#include <cstdio>
#include <cstring>

#include "korvid.h"

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr, "usage: fndbprobe FNDB ROOT NAME ENTRY [frozen]\n");
    return 3;
  }
  korvid::InitializeLibrary();
  korvid::SetTraceOptions("error,fndb");
  bool frozen = argc > 5 && std::strcmp(argv[5], "frozen") == 0;
  int status;
  korvid::FileNameDatabase* fndb = korvid::FileNameDatabase::Create(argv[1], argv[2], frozen);
  if (fndb == nullptr) {
    std::printf("create failed: %s\n", korvid::GetLastErrorRecord().message);
    status = 2;
  } else {
    std::printf("readonly %d size %u\n", fndb->IsReadOnly() ? 1 : 0, fndb->Size());
    char result[korvid::kMaxPath];
    if (fndb->Search(argv[3], argv[4], result)) {
      std::printf("found %s\n", result);
      status = 0;
    } else {
      std::printf("not found\n");
      status = 1;
    }
    fndb->Release();
  }
  korvid::UninitializeLibrary();
  return status;
}
