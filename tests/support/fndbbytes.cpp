// Test support: fndb bytes written by hand, word by word, and a small record assembler.
#include "fndbbytes.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <stdexcept>

namespace testing_support {

FndbBytes& FndbBytes::Raw(const std::string& raw) {
  bytes += raw;
  return *this;
}

FndbBytes& FndbBytes::Word(std::uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
  return *this;
}

FndbBytes& FndbBytes::Text(const std::string& text) {
  bytes += text;
  bytes.push_back('\0');
  return *this;
}

FndbBytes& FndbBytes::At(std::uint32_t offset) {
  EXPECT_EQ(bytes.size(), offset) << "the hand-made layout is off";
  return *this;
}

std::uint32_t WordAt(const std::string& bytes, std::uint32_t offset) {
  if (offset + 4 > bytes.size()) throw std::out_of_range("word past the end");
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<unsigned char>(bytes[offset + i]);
  return value;
}

void SetWordAt(std::string* bytes, std::uint32_t offset, std::uint32_t value) {
  if (offset + 4 > bytes->size()) throw std::out_of_range("word past the end");
  for (int i = 0; i < 4; ++i) (*bytes)[offset + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

namespace {

std::uint32_t RecordBytes(const AssembledRecord& record) {
  return 4 * static_cast<std::uint32_t>(6 + record.files.size() + 2 * record.subdirectories.size());
}

}  // namespace

std::uint32_t AssembledOffset(const std::vector<AssembledRecord>& records,
                              const std::string& label) {
  std::uint32_t offset = 40;
  for (const AssembledRecord& record : records) {
    if (record.label == label) return offset;
    offset += RecordBytes(record);
  }
  throw std::invalid_argument("no record " + label);
}

std::string Assemble(const std::vector<AssembledRecord>& records, std::uint32_t changeCount,
                     std::uint32_t reserve) {
  std::uint32_t offset = 40;
  for (const AssembledRecord& record : records) offset += RecordBytes(record);
  std::map<std::string, std::uint32_t> strings;
  std::string stringBytes;
  auto place = [&](const std::string& text) -> std::uint32_t {
    if (text.empty()) return 0;
    auto it = strings.find(text);
    if (it != strings.end()) return it->second;
    std::uint32_t at = offset + static_cast<std::uint32_t>(stringBytes.size());
    strings[text] = at;
    stringBytes += text;
    stringBytes.push_back('\0');
    return at;
  };
  auto label = [&](const std::string& name) -> std::uint32_t {
    return name.empty() ? 0 : AssembledOffset(records, name);
  };

  FndbBytes body;
  for (const AssembledRecord& record : records) {
    body.Word(place(record.name)).Word(label(record.parent));
    body.Word(static_cast<std::uint32_t>(record.files.size()));
    body.Word(static_cast<std::uint32_t>(record.subdirectories.size()));
    body.Word(label(record.extension)).Word(0);
    for (const std::string& file : record.files) body.Word(place(file));
    for (const auto& [name, target] : record.subdirectories) body.Word(place(name));
    for (const auto& [name, target] : record.subdirectories) body.Word(label(target));
  }
  std::uint32_t usedSize = offset + static_cast<std::uint32_t>(stringBytes.size());
  FndbBytes header;
  header.Raw("FNDB")
      .Word(3)
      .Word(0)
      .Word(0)
      .Word(40)
      .Word(0)
      .Word(0)
      .Word(changeCount)
      .Word(0)
      .Word(usedSize);
  return header.Bytes() + body.Bytes() + stringBytes + std::string(reserve, '\0');
}

}  // namespace testing_support
