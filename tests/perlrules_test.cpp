// Where the launcher may look for perl.exe: the meaning of PATH entries, the order of the places,
// and configured values that cannot be run.
#include "korvid.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace korvid;

namespace {

// "L" beside the launcher, "S" a system directory, "P<n>" PATH entry n, "P<n>." the entry ".";
// then the perl.exe's path.
std::vector<std::string> Describe(const PerlSearchPlan& plan) {
  std::vector<std::string> lines;
  for (const PerlCandidate& c : plan.candidates) {
    std::string kind = c.source == PerlSource::LauncherDirectory ? "L"
                       : c.source == PerlSource::SystemDirectory ? "S"
                       : "P" + std::to_string(c.pathEntry) + (c.currentDirectory ? "." : "");
    lines.push_back(kind + " " + c.path);
  }
  for (const PassedOverPathEntry& e : plan.passedOver) {
    bool tooLong = e.reason == PassedOverPathEntry::Reason::TooLong;
    lines.push_back("passed over " + std::to_string(e.position) + " '" + e.entry + "'" +
                    (tooLong ? " too long" : " relative"));
  }
  return lines;
}

}  // namespace

TEST(PerlRules, PlacesInSearchOrder) {
  const std::vector<std::string> system = {"C:\\W\\system32", "C:\\W\\System", "C:\\W\\"};
  const std::string deep = "C:\\" + std::string(250, 'd');  // its perl.exe does not fit
  struct Row {
    std::string path;
    std::string current;
    std::vector<std::string> expected;  // after the launcher's and the system directories
  };
  const Row rows[] = {
      {"", "C:\\work", {}},
      {"C:\\perl\\bin;D:/p/", "C:\\work", {"P1 C:\\perl\\bin\\perl.exe", "P2 D:/p/perl.exe"}},
      // The current directory only where an entry names it.
      {".;C:\\perl", "C:\\work", {"P1. C:\\work\\perl.exe", "P2 C:\\perl\\perl.exe"}},
      {"C:\\perl;.\\;./", "C:\\",
       {"P1 C:\\perl\\perl.exe", "P2. C:\\perl.exe", "P3. C:\\perl.exe"}},
      {"C:\\work", "C:\\work", {"P1 C:\\work\\perl.exe"}},
      {".", "", {}},  // the current directory could not be read
      // Empty entries count in the positions; a final ';' ends the list.
      {";;C:\\p;", "C:\\work", {"P3 C:\\p\\perl.exe"}},
      {"\"C:\\Program Files\\Perl\\bin\";\"\"", "C:\\w",
       {"P1 C:\\Program Files\\Perl\\bin\\perl.exe"}},
      {"\\\\server\\share\\perl;//host/p", "C:\\w",
       {"P1 \\\\server\\share\\perl\\perl.exe", "P2 //host/p\\perl.exe"}},
      // Entries whose meaning depends on the current directory or drive.
      {"bin;..;.\\bin;C:perl;\\perl\\bin;%SystemRoot%;.x;C:\\ok", "C:\\work",
       {"P8 C:\\ok\\perl.exe", "passed over 1 'bin' relative", "passed over 2 '..' relative",
        "passed over 3 '.\\bin' relative", "passed over 4 'C:perl' relative",
        "passed over 5 '\\perl\\bin' relative", "passed over 6 '%SystemRoot%' relative",
        "passed over 7 '.x' relative"}},
      {deep + ";" + deep.substr(0, 247), "C:\\w",
       {"P2 " + deep.substr(0, 247) + "\\perl.exe", "passed over 1 '" + deep + "' too long"}},
      {".", deep, {"passed over 1 '.' too long"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.path);
    std::vector<std::string> expected = {"L C:\\tex\\bin\\perl.exe", "S C:\\W\\system32\\perl.exe",
                                         "S C:\\W\\System\\perl.exe", "S C:\\W\\perl.exe"};
    expected.insert(expected.end(), row.expected.begin(), row.expected.end());
    EXPECT_EQ(Describe(PlanPerlSearch("C:\\tex\\bin", system, row.path, row.current)), expected);
  }
  // Places that could not be had are left out.
  EXPECT_EQ(Describe(PlanPerlSearch("", {""}, "C:\\p", "C:\\w")),
            std::vector<std::string>{"P1 C:\\p\\perl.exe"});
}

TEST(PerlRules, ConfiguredValues) {
  struct Row { std::string value; PerlProblem problem; };
  const Row rows[] = {
      {"C:\\Perl\\bin\\perl.exe", PerlProblem::None},
      {"c:/perl/perl.exe", PerlProblem::None},
      {"\\\\server\\share\\perl.exe", PerlProblem::None},
      {"C:\\" + std::string(256, 'p'), PerlProblem::None},  // 259 characters
      {"C:\\" + std::string(257, 'p'), PerlProblem::TooLong},
      {"perl.exe", PerlProblem::NotFullPath},
      {".\\perl.exe", PerlProblem::NotFullPath},
      {"\\perl\\perl.exe", PerlProblem::NotFullPath},  // on the current drive
      {"C:perl.exe", PerlProblem::NotFullPath},         // in the drive's current directory
      {"\"C:\\Perl\\bin\\perl.exe\"", PerlProblem::NotFullPath},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.value);
    EXPECT_EQ(CheckConfiguredPerl(row.value), row.problem);
  }
}
