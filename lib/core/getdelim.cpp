// The line reader of the ini parser: one delimited line of a stream into a growing heap buffer.
#include "core.h"
#include "korvid/trace.h"

#include <climits>
#include <cstdlib>

namespace korvid {
namespace {

constexpr char kModule[] = "lib/getdelim";
constexpr std::size_t kFirstCapacity = 128;
// The count is returned as a long, so the buffer never grows past what a long can count.
constexpr std::size_t kMaxCapacity = static_cast<std::size_t>(LONG_MAX);

// Doubles the buffer (or gives a missing one its first capacity); false, with the old buffer
// left to the caller, when the memory cannot be had.
bool Grow(char** buffer, std::size_t* capacity) {
  std::size_t wanted = *buffer == nullptr || *capacity == 0 ? kFirstCapacity : *capacity * 2;
  if (*buffer != nullptr && *capacity > kMaxCapacity / 2) return false;
  char* grown = static_cast<char*>(std::realloc(*buffer, wanted));
  if (grown == nullptr) return false;
  *buffer = grown;
  *capacity = wanted;
  return true;
}

}  // namespace

// 1. A stream already at its end, or in error, gives -1. Checking the error indicator too keeps
//    a stream whose reads keep failing from yielding empty lines forever.
// 2. Bytes are stored one at a time; before byte i is stored the buffer doubles when i + 1 would
//    not leave room for the terminator, so the terminator always fits.
// 3. The line ends after the delimiter or where the stream has no more bytes; NUL bytes are
//    stored and counted like any other.
long getdelim(char** buffer, std::size_t* capacity, int delimiter, std::FILE* stream) {
  if (std::feof(stream) || std::ferror(stream)) return -1;
  if ((*buffer == nullptr || *capacity == 0) && !Grow(buffer, capacity)) {
    KORVID_RAISE(ErrorCode::InternalError);
    TraceError("out of memory");
    return -1;
  }
  const int stop = static_cast<unsigned char>(delimiter);
  std::size_t count = 0;
  for (;;) {
    int c = std::fgetc(stream);
    if (c == EOF) break;
    if (count + 1 >= *capacity && !Grow(buffer, capacity)) {
      KORVID_RAISE(ErrorCode::InternalError);
      TraceError("out of memory");
      return -1;
    }
    (*buffer)[count++] = static_cast<char>(c);
    if (c == stop) break;
  }
  (*buffer)[count] = '\0';
  return static_cast<long>(count);
}

}  // namespace korvid
