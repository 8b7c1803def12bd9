// The scratch directory (lib/scratchdir): a writable folder for temporary files, chosen from fixed
// candidates, and the test of whether a folder will do.
#pragma once

namespace korvid {

bool ChooseScratchDirectory(char* buffer, bool plainOnly);  // kMaxPath buffer
bool IsGoodTempFolder(const char* path, bool allowSpecialCharacters, bool allowNetworkPath);

}  // namespace korvid
