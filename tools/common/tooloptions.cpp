// What every tool shares: options, --help and --version, messages and the progress line.
#include "tooloptions.h"

#include "win32.h"

#include <cstdio>
#include <cstring>

namespace korvid::tools {

OptionParser::OptionParser(int argc, char** argv, std::span<const OptionDefinition> definitions)
    : argc(argc), argv(argv), definitions(definitions) {}

OptionParser::Item OptionParser::Next() {
  Item item;
  if (position >= argc) return item;
  item.text = argv[position++];
  const char* text = item.text;
  if (text[0] != '-' || text[1] == '\0') {
    item.kind = Kind::Operand;
    return item;
  }
  bool isLong = text[1] == '-';
  if (std::strcmp(text, "-h") == 0 || std::strcmp(text, "--help") == 0) {
    item.kind = Kind::Help;
    return item;
  }
  if (std::strcmp(text, "--version") == 0) {
    item.kind = Kind::Version;
    return item;
  }
  item.kind = Kind::Unknown;
  for (std::size_t i = 0; i < definitions.size(); ++i) {
    const OptionDefinition& option = definitions[i];
    bool matches = isLong
                       ? option.longName != nullptr && std::strcmp(text + 2, option.longName) == 0
                       : option.shortName != '\0' && text[1] == option.shortName &&
                             text[2] == '\0';
    if (!matches) continue;
    item.kind = Kind::Option;
    item.option = static_cast<int>(i);
    if (option.takesValue && position < argc) item.value = argv[position++];
    break;
  }
  return item;
}

int AnswerCommonItem(const OptionParser::Item& item, const char* tool, const char* usage) {
  switch (item.kind) {
    case OptionParser::Kind::Help:
      return PrintHelp(usage);
    case OptionParser::Kind::Version:
      return PrintVersion(tool);
    case OptionParser::Kind::Unknown:
      return UsageError(tool, std::string("unknown option ") + item.text, usage);
    default:
      return -1;
  }
}

int UsageError(const char* tool, const std::string& problem, const char* usage) {
  std::fprintf(stderr, "%s: %s\n\n%s", tool, problem.c_str(), usage);
  return 2;
}

int PrintHelp(const char* usage) {
  std::fputs(usage, stdout);
  return 0;
}

int PrintVersion(const char* tool) {
  std::printf("%s (tervan) %s\n%s\n", tool, KORVID_VERSION, KORVID_COPYRIGHT);
  return 0;
}

void Complain(const char* tool, const std::string& message) {
  std::fprintf(stderr, "%s: %s\n", tool, message.c_str());
}

namespace {
constexpr std::uint64_t kQuietMs = 1000;   // no line for work that ends within this
constexpr std::uint64_t kRedrawMs = 100;   // at most this often
}  // namespace

ConsoleProgress::ConsoleProgress(const char* tool) : tool(tool), start(GetTickCount64()) {
  DWORD mode = 0;
  console = GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

ConsoleProgress::~ConsoleProgress() {
  if (shown) std::fputc('\n', stderr);
}

void ConsoleProgress::Update(std::uint32_t directories, std::uint32_t files) {
  if (!console) return;
  std::uint64_t now = GetTickCount64();
  if (now - start < kQuietMs || (shown && now - lastShown < kRedrawMs)) return;
  lastShown = now;
  shown = true;
  std::fprintf(stderr, "\r%s: %u directories, %u files", tool, directories, files);
  std::fflush(stderr);
}

}  // namespace korvid::tools
