// Splits a raw command line into arguments the way the Microsoft C runtime builds argv.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace testing_support {

// The rules of the current runtime (the one of Visual C++ 2008 and later):
// 1. The program name runs to the first blank or tab outside double quotes; every double quote in
//    it only switches quoting, and backslashes are ordinary characters.
// 2. Arguments are separated by runs of blanks and tabs outside double quotes; blanks and tabs at
//    the end make no argument, while "" makes an empty one.
// 3. 2n backslashes before a double quote give n backslashes, and the quote switches quoting;
//    2n+1 backslashes before a double quote give n backslashes and a literal quote.
// 4. Inside quotes, "" gives a literal quote and quoting goes on.
// 5. Backslashes not followed by a double quote are literal.
// Header-only: hostperl.exe splits its command line with it, and the tests check it directly.
inline std::vector<std::string> SplitCrtCommandLine(std::string_view line) {
  std::vector<std::string> arguments;
  std::size_t p = 0;
  auto at = [&](std::size_t i) { return i < line.size() ? line[i] : '\0'; };

  std::string name;
  bool inQuotes = false;
  for (; p < line.size(); ++p) {
    char c = line[p];
    if (c == '"') {
      inQuotes = !inQuotes;
    } else if (!inQuotes && (c == ' ' || c == '\t')) {
      ++p;
      break;
    } else {
      name += c;
    }
  }
  arguments.push_back(name);

  for (;;) {
    while (at(p) == ' ' || at(p) == '\t') ++p;
    if (p >= line.size()) break;
    std::string argument;
    inQuotes = false;
    for (;;) {
      std::size_t backslashes = 0;
      while (at(p) == '\\') {
        ++p;
        ++backslashes;
      }
      bool copy = true;
      if (at(p) == '"') {
        if (backslashes % 2 == 0) {
          if (inQuotes && at(p + 1) == '"') {
            ++p;  // case 4: the second quote is copied below
          } else {
            copy = false;
            inQuotes = !inQuotes;
          }
        }
        backslashes /= 2;
      }
      argument.append(backslashes, '\\');
      if (p >= line.size() || (!inQuotes && (line[p] == ' ' || line[p] == '\t'))) break;
      if (copy) argument += line[p];
      ++p;
    }
    arguments.push_back(argument);
  }
  return arguments;
}

}  // namespace testing_support
