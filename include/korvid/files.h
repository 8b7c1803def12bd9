// File tests, forced delete and shutdown clean-up (lib/files): whether a file or directory can be
// reached as asked, deleting a file even when it is read-only, and what the library registered as
// temporary or open, acted upon at shutdown.
#pragma once

namespace korvid {

// Access modes: 0 existence, 2 writing, 4 reading, 6 reading and writing.
bool AccessFile(const char* path, int mode);
bool AccessDirectory(const char* path, int mode);
// True when the file was deleted (also a read-only one); false after reporting the failure.
bool RemoveFile(const char* path);
void RemoveTempFiles();
void ReportOpenFiles();

}  // namespace korvid
