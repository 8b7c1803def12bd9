// A test fixture that starts the library over TEXMF roots the test chooses (through the registry),
// in a fresh folder that is also the current directory.
#pragma once

#include "korvid.h"
#include "testing.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace testing_support {

class LibraryTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Writes the root list to the registry and starts the library; call once per test.
  void Start(const std::string& rootList, const std::string& installRoot = "",
             const std::string& localRoot = "", const korvid::StartupOptions* options = nullptr);
  void Stop();

  TestFolder folder;
  ScopedRegistry registry;
  TraceCapture capture;

 private:
  std::string oldDirectory;
  bool started = false;
  ScopedEnvironment noCwd{"KORVID_CWD", nullptr};
  ScopedEnvironment noBin{"KORVID_BINDIR", nullptr};
  ScopedEnvironment noTemp{"KORVID_TEMP", nullptr};
};

std::vector<std::string> Entries(const char* pattern);

}  // namespace testing_support
