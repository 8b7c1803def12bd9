// Gives a test process registry hives of its own, so that tests running side by side never see
// each other's keys: HKEY_CURRENT_USER and HKEY_LOCAL_MACHINE are mapped onto two keys below
// "Software\KorvidTests\<id>" of the real current user. Programs a test starts join the sandbox of
// their parent through the variable KORVID_TEST_REGISTRY.
#pragma once

#include "win32.h"

#include <cstdlib>
#include <string>

namespace testing_support {

inline constexpr char kRegistrySandboxVariable[] = "KORVID_TEST_REGISTRY";

// Maps both hives onto the sandbox below `root` (a key name under the real current user).
inline bool EnterRegistrySandbox(const std::string& root) {
  HKEY user = nullptr;
  HKEY machine = nullptr;
  if (RegCreateKeyExA(HKEY_CURRENT_USER, (root + "\\cu").c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                      nullptr, &user, nullptr) != ERROR_SUCCESS ||
      RegCreateKeyExA(HKEY_CURRENT_USER, (root + "\\lm").c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                      nullptr, &machine, nullptr) != ERROR_SUCCESS) {
    return false;
  }
  bool ok = RegOverridePredefKey(HKEY_CURRENT_USER, user) == ERROR_SUCCESS &&
            RegOverridePredefKey(HKEY_LOCAL_MACHINE, machine) == ERROR_SUCCESS;
  RegCloseKey(user);
  RegCloseKey(machine);
  return ok;
}

// A program of the tests joins the sandbox its parent names, if any.
inline void JoinParentRegistrySandbox() {
  if (const char* root = std::getenv(kRegistrySandboxVariable)) EnterRegistrySandbox(root);
}

}  // namespace testing_support
