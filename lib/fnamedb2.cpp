// The fndb handle: opening, mapping and sharing a file name database, and its reference count.
#include "internal.h"

#include <cstring>

namespace korvid {
namespace {

constexpr char kModule[] = "lib/fnamedb2";

}  // namespace

FileNameDatabase::FileNameDatabase(const char* rootPath, bool frozen)
    : readOnly(frozen), fileHandle(INVALID_HANDLE_VALUE), rootPath(rootPath) {}

FileNameDatabase::~FileNameDatabase() { Close(true); }

long FileNameDatabase::AddReference() { return InterlockedIncrement(&referenceCount); }

long FileNameDatabase::ReferenceCount() const { return referenceCount; }

long FileNameDatabase::Release() {
  long count = InterlockedDecrement(&referenceCount);
  if (count == 0) {
    Trace(traceStreams.fndb, "unloading fndb %p", static_cast<void*>(this));
    delete this;
  }
  return count;
}

void FileNameDatabase::Close(bool withFile) {
  if (view != nullptr) {
    if (!UnmapViewOfFile(view)) KORVID_RAISE(ErrorCode::Win32Error, "UnmapViewOfFile");
    view = nullptr;
  }
  if (mappingHandle != nullptr) {
    if (!CloseHandle(mappingHandle)) KORVID_RAISE(ErrorCode::Win32Error, "CloseHandle");
    mappingHandle = nullptr;
  }
  if (withFile && fileHandle != INVALID_HANDLE_VALUE) {
    if (!CloseHandle(fileHandle)) KORVID_RAISE(ErrorCode::Win32Error, "CloseHandle");
    fileHandle = INVALID_HANDLE_VALUE;
  }
  mapped = false;
}

}  // namespace korvid
