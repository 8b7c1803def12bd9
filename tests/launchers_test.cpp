// The rules of mklaunchers over names: scripts in listings, launcher names, existing files.
#include "launchers.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>

using namespace korvid;

namespace {

std::string Shown(std::optional<std::string_view> name) {
  return name ? "[" + std::string(*name) + "]" : "none";
}

}  // namespace

TEST(Launchers, ScriptsBelowASubtree) {
  struct Row {
    std::string_view path;
    std::string_view subtree;
    bool recursive;
    std::string expected;
  };
  const Row rows[] = {
      {"korvid\\scripts\\foo\\foo.pl", "korvid", true, "[foo]"},
      {"korvid\\foo.pl", "korvid", true, "[foo]"},  // "//" matches at depth 0 too
      {"korvid\\foo.pl", "korvid", false, "[foo]"},
      {"korvid\\scripts\\foo.pl", "korvid", false, "none"},
      {"KORVID/Scripts//Foo.PL", "korvid\\", true, "[Foo]"},  // case, separators and runs of them
      {"tex\\latex\\bar.pl", "tex\\latex", true, "[bar]"},
      {"tex\\latexx\\bar.pl", "tex\\latex", true, "none"},  // a component, not a prefix
      {"texmf\\korvid\\foo.pl", "korvid", true, "none"},
      {"korvid\\foo.pm", "korvid", true, "none"},
      {"korvid\\foo.pl.txt", "korvid", true, "none"},
      {"korvid\\.pl", "korvid", true, "[]"},  // an empty name: refused later, with a warning
      {"korvid\\dir.pl\\", "korvid", true, "none"},  // a listed directory
      {"korvid", "korvid", true, "none"},
      {"foo.pl", "", true, "[foo]"},  // the subtree is the root
      {"a\\b\\foo.pl", "", false, "none"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.path) + " below " + std::string(row.subtree));
    EXPECT_EQ(Shown(ScriptBelow(row.path, row.subtree, row.recursive)), row.expected);
  }
  EXPECT_EQ(Shown(ScriptBaseName("a.b.PL")), "[a.b]");
  EXPECT_EQ(Shown(ScriptBaseName("pl")), "none");
}

TEST(Launchers, NamesTheSystemRefuses) {
  using Problem = LauncherNameProblem;
  const std::string longest(255 - 4, 'n');  // NAME.exe of 255 characters
  struct Row {
    std::string name;
    std::size_t directoryLength;
    Problem expected;
  };
  const Row rows[] = {
      {"pdfcrop", 20, Problem::None},
      {"two words", 20, Problem::None},
      {"a.b", 20, Problem::None},
      {" lead", 20, Problem::None},
      {"console", 20, Problem::None},
      {"com10", 20, Problem::None},
      {"lpt", 20, Problem::None},
      {"", 20, Problem::Empty},
      {"con", 20, Problem::DeviceName},
      {"NUL", 20, Problem::DeviceName},
      {"aux.tool", 20, Problem::DeviceName},  // the system takes "aux.tool.exe" for AUX
      {"prn ", 20, Problem::TrailingDotOrBlank},
      {"prn .x", 20, Problem::DeviceName},
      {"com1", 20, Problem::DeviceName},
      {"Lpt9", 20, Problem::DeviceName},
      {"com0", 20, Problem::DeviceName},
      {"com\xB9", 20, Problem::DeviceName},  // COM with the superscript 1
      {"conin$", 20, Problem::DeviceName},
      {"conout$", 20, Problem::DeviceName},
      {"foo.", 20, Problem::TrailingDotOrBlank},
      {"foo ", 20, Problem::TrailingDotOrBlank},
      {"..", 20, Problem::TrailingDotOrBlank},
      {"a:b", 20, Problem::ForbiddenCharacter},
      {"a*b", 20, Problem::ForbiddenCharacter},
      {"a?b", 20, Problem::ForbiddenCharacter},
      {"a\"b", 20, Problem::ForbiddenCharacter},
      {"a<b>", 20, Problem::ForbiddenCharacter},
      {"a|b", 20, Problem::ForbiddenCharacter},
      {"a\\b", 20, Problem::ForbiddenCharacter},
      {"a/b", 20, Problem::ForbiddenCharacter},
      {"tab\there", 20, Problem::ForbiddenCharacter},
      {longest, 0, Problem::None},
      {longest + "n", 0, Problem::TooLong},
      {"foo", 259 - 8, Problem::None},  // "\foo.exe": 259 characters in all
      {"foo", 259 - 7, Problem::TooLong},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE("[" + row.name + "] in a folder of " + std::to_string(row.directoryLength));
    EXPECT_EQ(CheckLauncherName(row.name, row.directoryLength), row.expected);
  }
}

// What mklaunchers does with each kind of file it meets under a launcher's name.
TEST(Launchers, WhatBecomesOfEachExistingFile) {
  using File = ExistingFile;
  using Action = LauncherAction;
  struct Row {
    bool scriptFound;
    File existing;
    Action plain;   // without --prune
    Action pruned;  // with --prune
  };
  const Row rows[] = {
      {true, File::None, Action::Make, Action::Make},
      {true, File::CurrentLauncher, Action::Keep, Action::Keep},
      {true, File::StaleLauncher, Action::Replace, Action::Replace},
      {true, File::OtherFile, Action::LeaveAlone, Action::LeaveAlone},
      {true, File::Unknown, Action::LeaveAlone, Action::LeaveAlone},
      {false, File::CurrentLauncher, Action::Keep, Action::Remove},
      {false, File::StaleLauncher, Action::Replace, Action::Remove},
      {false, File::OtherFile, Action::Ignore, Action::Ignore},
      {false, File::Unknown, Action::Ignore, Action::Ignore},
      {false, File::None, Action::Ignore, Action::Ignore},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::to_string(row.scriptFound) + " " +
                 std::to_string(static_cast<int>(row.existing)));
    EXPECT_EQ(DecideLauncher(row.scriptFound, row.existing, false), row.plain);
    EXPECT_EQ(DecideLauncher(row.scriptFound, row.existing, true), row.pruned);
  }
}
