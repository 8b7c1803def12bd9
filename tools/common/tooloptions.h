// What every tool shares: its command-line options, --help and --version, messages on standard
// error, and a progress line on the console.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace korvid::tools {

struct OptionDefinition {
  char shortName;        // '\0': none
  const char* longName;  // without the leading "--"
  bool takesValue;       // the next argument is the option's value
};

// Goes through the arguments in order: "-x" and "--name" are options (a value option takes the
// next argument), "-h"/"--help" and "--version" are known to every tool, anything else
// (including "-" alone) is an operand.
class OptionParser {
 public:
  enum class Kind { Option, Operand, Unknown, Help, Version, End };
  struct Item {
    Kind kind = Kind::End;
    int option = -1;              // index in the definitions, for Kind::Option
    const char* text = nullptr;   // the argument as given
    const char* value = nullptr;  // the value of a value option; null when it is missing
  };

  OptionParser(int argc, char** argv, std::span<const OptionDefinition> definitions);
  Item Next();

 private:
  int argc;
  char** argv;
  std::span<const OptionDefinition> definitions;
  int position = 1;
};

// Answers the items every tool answers alike: --help (the usage on standard output), --version,
// and an unknown option (wrong usage). The exit status to end with, or -1 for other items.
int AnswerCommonItem(const OptionParser::Item& item, const char* tool, const char* usage);

// "tool: problem", a blank line and the usage text on standard error; returns 2, the exit status
// of wrong usage.
int UsageError(const char* tool, const std::string& problem, const char* usage);
// The usage text on standard output; returns 0.
int PrintHelp(const char* usage);
// "tool (tervan) VERSION" and the copyright line of the license on standard output; returns 0.
int PrintVersion(const char* tool);
// "tool: message" and a newline on standard error.
void Complain(const char* tool, const std::string& message);

// A line "tool: N directories, M files" on standard error, rewritten in place, shown once the
// work has run for about a second and only when standard error is a console.
class ConsoleProgress {
 public:
  explicit ConsoleProgress(const char* tool);
  ~ConsoleProgress();  // ends the line when one was shown
  ConsoleProgress(const ConsoleProgress&) = delete;
  ConsoleProgress& operator=(const ConsoleProgress&) = delete;
  void Update(std::uint32_t directories, std::uint32_t files);

 private:
  const char* tool;
  bool console;
  std::uint64_t start;
  std::uint64_t lastShown = 0;
  bool shown = false;
};

}  // namespace korvid::tools
