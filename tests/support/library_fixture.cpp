// A test fixture that starts the library over TEXMF roots the test chooses.
#include "library_fixture.h"

#include <direct.h>

namespace testing_support {

void LibraryTest::SetUp() {
  oldDirectory = CurrentDirectory();
  ASSERT_EQ(_chdir(folder.Path().c_str()), 0);
}

void LibraryTest::TearDown() {
  Stop();
  _chdir(oldDirectory.c_str());
}

void LibraryTest::Start(const std::string& rootList, const std::string& installRoot,
                        const std::string& localRoot, const korvid::StartupOptions* options) {
  registry.Set(ScopedRegistry::Hive::CurrentUser, "Korvid", "TeXMF Root Directories", rootList);
  if (!installRoot.empty()) {
    registry.Set(ScopedRegistry::Hive::CurrentUser, "Korvid", "Install Root", installRoot);
  }
  if (!localRoot.empty()) {
    registry.Set(ScopedRegistry::Hive::CurrentUser, "Korvid", "Local Root", localRoot);
  }
  korvid::InitializeLibrary(options);
  started = true;
}

void LibraryTest::Stop() {
  if (started) korvid::UninitializeLibrary();
  started = false;
}

std::vector<std::string> Entries(const char* pattern) {
  auto list = korvid::ExpandSearchPath(pattern);
  return std::vector<std::string>(list->begin(), list->end());
}

}  // namespace testing_support
