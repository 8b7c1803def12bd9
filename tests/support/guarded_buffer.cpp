// Test support: the guarded buffer on Windows (VirtualAlloc and a PAGE_NOACCESS page).
#include "guarded_buffer.h"

#include "win32.h"

#include <cstring>

namespace testing_support {

GuardedBuffer::GuardedBuffer(std::size_t capacity) {
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  page = info.dwPageSize;
  dataBytes = (capacity + page - 1) / page * page;
  base = static_cast<unsigned char*>(
      VirtualAlloc(nullptr, dataBytes + page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
  DWORD old;
  if (base != nullptr) VirtualProtect(base + dataBytes, page, PAGE_NOACCESS, &old);
}

GuardedBuffer::~GuardedBuffer() {
  if (base != nullptr) VirtualFree(base, 0, MEM_RELEASE);
}

const unsigned char* GuardedBuffer::Place(const std::string& bytes) {
  unsigned char* at = base + dataBytes - bytes.size();
  std::memcpy(at, bytes.data(), bytes.size());
  return at;
}

bool GuardedBuffer::GuardFaults() const {
  MEMORY_BASIC_INFORMATION region;
  return VirtualQuery(base + dataBytes, &region, sizeof region) != 0 &&
         region.Protect == PAGE_NOACCESS;
}

}  // namespace testing_support
