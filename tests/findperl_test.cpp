// A configured Perl: the places that set the value "Perl" of section "Korvid", in their order, and
// what the launcher is told of each. (The search of the trusted places runs through the real
// launcher in tervan_test.)
#include "internal.h"
#include "library_fixture.h"

#include <gtest/gtest.h>

#include <string>

using namespace korvid;
using namespace testing_support;

namespace {

// Roots <T>\r0 and <T>\r1, each with a korvid.ini when a row gives one; a perl.exe on the PATH in
// <T>\p, and another file to configure in <T>\dist.
class ConfiguredPerl : public LibraryTest {
 protected:
  std::string Ini(int root) {
    return folder.Join("r" + std::to_string(root) + "\\korvid\\config\\korvid.ini");
  }
};

}  // namespace

TEST_F(ConfiguredPerl, PlacesInTheirOrder) {
  using Hive = ScopedRegistry::Hive;
  const std::string dist = folder.Write("dist\\perl.exe", "");
  const std::string onPath = folder.Write("p\\perl.exe", "");
  const std::string named = folder.Join("named.ini");
  const std::string tooLong = "C:\\" + std::string(300, 'l');
  const std::string user =
      "set in HKEY_CURRENT_USER\\Software\\Zef\\Korvid\\CurrentVersion\\Korvid";
  const std::string machine =
      "set in HKEY_LOCAL_MACHINE\\Software\\Zef\\Korvid\\CurrentVersion\\Korvid";
  const char* const none = nullptr;
  folder.MakeDirectory("r0");
  folder.MakeDirectory("r1");
  ScopedEnvironment path("PATH", (folder.Join("p") + ";" + std::getenv("PATH")).c_str());
  struct Row {
    const char* setup;
    const char* variable;  // KORVID_PERL
    const char* root0;     // Perl= in the korvid.ini of root 0, of root 1, of the named file
    const char* root1;
    const char* namedFile;
    const char* user;      // the registry's value, the current user's and the machine's
    const char* machine;
    PerlProblem problem;
    PerlSource source;
    std::string path;
    std::string setting;
  };
  const Row rows[] = {
      {"the user's registry value", none, none, none, none, dist.c_str(), "x",
       PerlProblem::None, PerlSource::Configured, dist, user},
      {"the machine's, when the user has none", none, none, none, none, none, "perl.exe",
       PerlProblem::NotFullPath, PerlSource::Configured, "perl.exe", machine},
      {"korvid.ini before the registry", none, none, dist.c_str(), none, "C:\\x", none,
       PerlProblem::None, PerlSource::Configured, dist, "set in " + Ini(1)},
      {"root 0's korvid.ini before root 1's", none, "C:\\r0\\perl.exe", dist.c_str(), none, none,
       none, PerlProblem::NoSuchFile, PerlSource::Configured, "C:\\r0\\perl.exe",
       "set in " + Ini(0)},
      {"the file the registry names before the roots'", none, "C:\\r0\\perl.exe", none,
       dist.c_str(), none, none, PerlProblem::None, PerlSource::Configured, dist,
       "set in " + named},
      {"KORVID_PERL before them all", tooLong.c_str(), dist.c_str(), none, dist.c_str(),
       dist.c_str(), none, PerlProblem::TooLong, PerlSource::Configured, tooLong,
       "set by KORVID_PERL"},
      {"an empty value hides the later places and configures none", none, "", none, none,
       dist.c_str(), none, PerlProblem::None, PerlSource::PathEntry, onPath, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.setup);
    ScopedRegistry::Clear();
    DeleteFileA(named.c_str());
    for (int root : {0, 1}) {
      const char* value = root == 0 ? row.root0 : row.root1;
      DeleteFileA(Ini(root).c_str());
      if (value != nullptr) {
        folder.Write("r" + std::to_string(root) + "\\korvid\\config\\korvid.ini",
                     std::string("[Korvid]\nPerl=") + value + "\n");
      }
    }
    if (row.namedFile != nullptr) {
      folder.Write("named.ini", std::string("[Korvid]\nPerl=") + row.namedFile + "\n");
      registry.Set(Hive::CurrentUser, "Korvid", "Configuration File", named);
    }
    if (row.user != nullptr) registry.Set(Hive::CurrentUser, "Korvid", "Perl", row.user);
    if (row.machine != nullptr) registry.Set(Hive::LocalMachine, "Korvid", "Perl", row.machine);
    ScopedEnvironment variable("KORVID_PERL", row.variable);
    Start(folder.Join("r0") + ";" + folder.Join("r1"));

    PerlLocation location = LocatePerl();
    EXPECT_EQ(location.problem, row.problem);
    EXPECT_EQ(location.perl.source, row.source);
    EXPECT_EQ(location.perl.path, row.path);
    EXPECT_EQ(location.setting, row.setting);
    EXPECT_EQ(location.plan.candidates.empty(), row.source == PerlSource::Configured);
    Stop();
  }
}
