// Console control events in tests: a console of the test's own, a handler that keeps it alive.
#include "console.h"

#include "win32.h"

#include <atomic>

namespace testing_support {
namespace {

std::atomic<int> ctrlEvents{0};
std::atomic<int> sentToOwnGroup{0};

BOOL WINAPI CountControlEvent(DWORD) {
  ++ctrlEvents;
  return TRUE;
}

bool AllocateConsole() {
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
  FreeConsole();
  bool allocated = AllocConsole() != 0;
  SetStdHandle(STD_INPUT_HANDLE, input);
  SetStdHandle(STD_OUTPUT_HANDLE, output);
  SetStdHandle(STD_ERROR_HANDLE, error);
  return allocated;
}

}  // namespace

bool UseOwnConsole() {
  static const bool allocated = AllocateConsole();
  return allocated;
}

bool SendCtrlC(std::uint32_t processGroup) {
  if (GenerateConsoleCtrlEvent(CTRL_C_EVENT, processGroup) == 0) return false;
  if (processGroup == 0) ++sentToOwnGroup;
  return true;
}

CtrlCGuard::CtrlCGuard() {
  ctrlEvents = 0;
  sentToOwnGroup = 0;
  SetConsoleCtrlHandler(&CountControlEvent, TRUE);
}

// An event still on its way when the handler goes would end the test process with the default
// handler: the handler stays until every event sent to the test's group has come, and stays for
// good when one never does.
CtrlCGuard::~CtrlCGuard() {
  if (WaitForCount(sentToOwnGroup.load(), 60000)) {
    SetConsoleCtrlHandler(&CountControlEvent, FALSE);
  }
}

int CtrlCGuard::Count() const { return ctrlEvents.load(); }

bool CtrlCGuard::WaitForCount(int count, unsigned timeoutMs) const {
  for (unsigned waited = 0; ctrlEvents.load() < count; waited += 10) {
    if (waited >= timeoutMs) return false;
    Sleep(10);
  }
  return true;
}

}  // namespace testing_support
