// Test support: the guarded buffer of the native build (mmap and a PROT_NONE page).
#include "guarded_buffer.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>

namespace testing_support {

GuardedBuffer::GuardedBuffer(std::size_t capacity) {
  page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  dataBytes = (capacity + page - 1) / page * page;
  void* mapped = mmap(nullptr, dataBytes + page, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) return;
  base = static_cast<unsigned char*>(mapped);
  guarded = mprotect(base + dataBytes, page, PROT_NONE) == 0;
}

GuardedBuffer::~GuardedBuffer() {
  if (base != nullptr) munmap(base, dataBytes + page);
}

const unsigned char* GuardedBuffer::Place(const std::string& bytes) {
  unsigned char* at = base + dataBytes - bytes.size();
  std::memcpy(at, bytes.data(), bytes.size());
  return at;
}

// The protection of a page cannot be read back without parsing /proc; mprotect's answer stands.
bool GuardedBuffer::GuardFaults() const { return guarded; }

}  // namespace testing_support
