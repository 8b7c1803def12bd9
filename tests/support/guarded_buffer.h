// Test support: a buffer whose last byte is followed by a page with no access, so that a read
// past the end of what is placed there faults. guarded_buffer.cpp is the Windows one,
// native/guarded_buffer.cpp the native build's.
#pragma once

#include <cstddef>
#include <string>

namespace testing_support {

class GuardedBuffer {
 public:
  explicit GuardedBuffer(std::size_t capacity);
  ~GuardedBuffer();
  GuardedBuffer(const GuardedBuffer&) = delete;
  GuardedBuffer& operator=(const GuardedBuffer&) = delete;
  bool Valid() const { return base != nullptr; }
  // The copy's last byte is the last readable byte.
  const unsigned char* Place(const std::string& bytes);
  // Whether the page after the data is really closed to access.
  bool GuardFaults() const;

 private:
  std::size_t page = 4096;
  std::size_t dataBytes = 0;
  unsigned char* base = nullptr;
  bool guarded = false;
};

}  // namespace testing_support
