// Gives a test process registry hives of its own, so that tests running side by side never see
// each other's keys: HKEY_CURRENT_USER and HKEY_LOCAL_MACHINE are mapped onto two keys below
// "Software\KorvidTests\<id>" of the real current user. Programs a test starts join the sandbox of
// their parent through the variable KORVID_TEST_REGISTRY.
#pragma once

#include "win32.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>

namespace testing_support {

inline constexpr char kRegistrySandboxVariable[] = "KORVID_TEST_REGISTRY";

// Maps both hives onto the sandbox below `root` (a key name under the real current user); false
// when either hive could not be mapped.
inline bool EnterRegistrySandbox(const std::string& root) {
  bool ok = true;
  const std::pair<HKEY, const char*> hives[] = {{HKEY_CURRENT_USER, "\\cu"},
                                                {HKEY_LOCAL_MACHINE, "\\lm"}};
  HKEY keys[2] = {nullptr, nullptr};
  // Both keys are made before either hive is mapped: the names are below the real current user.
  for (int i = 0; i < 2; ++i) {
    ok = ok && RegCreateKeyExA(HKEY_CURRENT_USER, (root + hives[i].second).c_str(), 0, nullptr, 0,
                               KEY_ALL_ACCESS, nullptr, &keys[i], nullptr) == ERROR_SUCCESS;
  }
  for (int i = 0; i < 2; ++i) {
    ok = ok && RegOverridePredefKey(hives[i].first, keys[i]) == ERROR_SUCCESS;
  }
  for (HKEY key : keys) {
    if (key != nullptr) RegCloseKey(key);
  }
  return ok;
}

// A test program that runs outside its sandbox would share the prefix's registry with every test
// running beside it: it stops before any test runs.
inline void EnterRegistrySandboxOrExit(const std::string& root) {
  if (EnterRegistrySandbox(root)) return;
  std::fprintf(stderr, "cannot enter the registry sandbox '%s'\n", root.c_str());
  std::exit(3);
}

// A program of the tests joins the sandbox its parent names, if any.
inline void JoinParentRegistrySandbox() {
  if (const char* root = std::getenv(kRegistrySandboxVariable)) EnterRegistrySandboxOrExit(root);
}

}  // namespace testing_support
