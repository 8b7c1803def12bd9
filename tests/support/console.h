// Console control events in tests: a console of the test's own, a handler that keeps it alive.
#pragma once

#include <cstdint>

namespace testing_support {

// Under wine a program started without a terminal sits on a windowless stand-in console that
// refuses control events. This gives the test process a console of its own (once; later calls
// only report the first result), keeping its standard handles as they were. Processes it starts
// afterwards share that console.
bool UseOwnConsole();

// Sends Ctrl+C to a process group of the test's console: 0 for the test's own group (the test
// included: hold a CtrlCGuard), or the id of a process started with CREATE_NEW_PROCESS_GROUP.
// Under wine 8 only Ctrl+C is delivered (Ctrl+Break fails), and a process of a new group only
// gets it when it has switched Ctrl+C back on with SetConsoleCtrlHandler(nullptr, FALSE).
bool SendCtrlC(std::uint32_t processGroup);

// While it lives, Ctrl+C and Ctrl+Break do not end the test process; they are counted. A handler,
// unlike SetConsoleCtrlHandler(nullptr, TRUE), is not passed on to the processes the test starts.
class CtrlCGuard {
 public:
  CtrlCGuard();
  ~CtrlCGuard();
  CtrlCGuard(const CtrlCGuard&) = delete;
  CtrlCGuard& operator=(const CtrlCGuard&) = delete;

  int Count() const;
  // The handler runs on a thread of its own, possibly after the child that got the same event
  // has ended: wait for it before the guard goes. False when fewer events came in time.
  bool WaitForCount(int count, unsigned timeoutMs) const;
};

}  // namespace testing_support
