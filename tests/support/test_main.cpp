// The entry of every test program: each test process works in a registry sandbox of its own.
#include "registry_sandbox.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

std::string sandboxRoot;

void LeaveRegistrySandbox() {
  RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
  RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
  RegDeleteTreeA(HKEY_CURRENT_USER, sandboxRoot.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  if (std::getenv(testing_support::kRegistrySandboxVariable) != nullptr) {
    testing_support::JoinParentRegistrySandbox();
  } else {
    sandboxRoot = "Software\\KorvidTests\\" + std::to_string(GetCurrentProcessId()) + "-" +
                  std::to_string(GetTickCount());
    RegDeleteTreeA(HKEY_CURRENT_USER, sandboxRoot.c_str());
    std::atexit(LeaveRegistrySandbox);
    testing_support::EnterRegistrySandboxOrExit(sandboxRoot);
    SetEnvironmentVariableA(testing_support::kRegistrySandboxVariable, sandboxRoot.c_str());
    _putenv((std::string(testing_support::kRegistrySandboxVariable) + "=" + sandboxRoot).c_str());
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
