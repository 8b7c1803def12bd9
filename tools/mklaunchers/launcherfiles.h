// The bin folder's side of mklaunchers: which files are launchers, and placing and removing them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "launchers.h"

namespace korvid::tools {

// The bin folder's tervan.exe, to which the files there are compared.
class LauncherSource {
 public:
  // False, with the reason, when the file cannot be read or its version resource does not say
  // that it is tervan.
  bool Open(const std::string& path, std::string* error);
  const std::string& Path() const { return path; }
  const std::string& Bytes() const { return bytes; }

  // What the file at path is. A launcher is a program whose version resource says it is tervan
  // (any version); it is current when it is this very file (a hard link) or has its bytes.
  // reason: why an Unknown file cannot be read.
  ExistingFile Classify(const std::string& path, std::string* reason) const;

 private:
  std::string path;
  std::string bytes;
  std::uint32_t volume = 0;
  std::uint64_t index = 0;
};

// The names of the programs (*.exe) of the folder, without the extension; false with the reason
// when the folder cannot be read.
bool ListPrograms(const std::string& directory, std::vector<std::string>* names,
                  std::string* error);

enum class Placement { Link, Copy };

// Makes target a launcher: a hard link to the source, or a copy of it when copies are asked for
// or the system refuses the link (then linkRefusal tells why). The new file is made beside the
// target and renamed over it, so that the target is at every moment either what it was or the
// whole launcher. replace: an existing target is replaced. False, with the reason, when it failed.
bool PlaceLauncher(const LauncherSource& source, const std::string& target, bool replace,
                   bool copy, Placement* placement, std::string* linkRefusal, std::string* error);

// False, with the reason, when the file cannot be deleted (a running program, a read-only file).
bool RemoveLauncher(const std::string& path, std::string* error);

}  // namespace korvid::tools
