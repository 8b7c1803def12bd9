// The tools' option parser: argument lists and the items they give.
#include "tooloptions.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using korvid::tools::OptionParser;
using korvid::tools::OptionDefinition;
using Kind = OptionParser::Kind;

namespace {

constexpr OptionDefinition kDefinitions[] = {
    {'o', "output", true}, {'q', "quiet", false}, {'\0', "long", false}};

// Each item as text: "option N=VALUE", "operand TEXT", "unknown TEXT", "help", "version".
std::vector<std::string> Parse(std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), "tool");
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  OptionParser parser(static_cast<int>(argv.size()), argv.data(), kDefinitions);
  std::vector<std::string> items;
  for (auto item = parser.Next(); item.kind != Kind::End; item = parser.Next()) {
    switch (item.kind) {
      case Kind::Option:
        items.push_back("option " + std::to_string(item.option) +
                        (item.value ? std::string("=") + item.value : ""));
        break;
      case Kind::Operand:
        items.push_back(std::string("operand ") + item.text);
        break;
      case Kind::Unknown:
        items.push_back(std::string("unknown ") + item.text);
        break;
      case Kind::Help:
        items.push_back("help");
        break;
      case Kind::Version:
        items.push_back("version");
        break;
      case Kind::End:
        break;
    }
  }
  return items;
}

}  // namespace

TEST(ToolOptions, ItemsInArgumentOrder) {
  struct Row {
    std::vector<std::string> arguments;
    std::vector<std::string> items;
  };
  const Row rows[] = {
      {{}, {}},
      {{"-o", "f", "root"}, {"option 0=f", "operand root"}},
      {{"--output", "-q"}, {"option 0=-q"}},  // a value option takes the next argument as it is
      {{"root", "-o"}, {"operand root", "option 0"}},  // the value is missing
      {{"-q", "--quiet", "--long"}, {"option 1", "option 1", "option 2"}},
      {{"-", "-x", "--", "-qq", "--Quiet", "--output=f"},
       {"operand -", "unknown -x", "unknown --", "unknown -qq", "unknown --Quiet",
        "unknown --output=f"}},
      {{"-h", "--help", "--version", "-v"}, {"help", "help", "version", "unknown -v"}},
  };
  for (const Row& row : rows) {
    std::string line;
    for (const std::string& argument : row.arguments) line += argument + " ";
    SCOPED_TRACE(line);
    EXPECT_EQ(Parse(row.arguments), row.items);
  }
}
