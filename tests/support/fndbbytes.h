// Test support: fndb bytes written by hand, word by word, and a small record assembler.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace testing_support {

// Appends little-endian words and strings; At() checks the running offset against the offset
// the hand-made layout says comes next.
class FndbBytes {
 public:
  FndbBytes& Raw(const std::string& bytes);
  FndbBytes& Word(std::uint32_t value);
  FndbBytes& Text(const std::string& text);  // with its zero byte
  FndbBytes& At(std::uint32_t offset);
  const std::string& Bytes() const { return bytes; }

 private:
  std::string bytes;
};

std::uint32_t WordAt(const std::string& bytes, std::uint32_t offset);
void SetWordAt(std::string* bytes, std::uint32_t offset, std::uint32_t value);

// One directory record for Assemble. Labels name records; an empty label reference is offset 0.
struct AssembledRecord {
  std::string label;
  std::string name;    // empty: offset 0
  std::string parent;  // label, or empty
  std::vector<std::string> files;
  std::vector<std::pair<std::string, std::string>> subdirectories;  // name, record label
  std::string extension;                                            // label, or empty
};

// The header (version 3, the first record as root directory), the records in the given order,
// then the strings in order of first use, then `reserve` zero bytes.
std::string Assemble(const std::vector<AssembledRecord>& records, std::uint32_t changeCount = 1,
                     std::uint32_t reserve = 0);
// The offset Assemble gives the record of the label.
std::uint32_t AssembledOffset(const std::vector<AssembledRecord>& records,
                              const std::string& label);

}  // namespace testing_support
