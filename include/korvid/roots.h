// TEXMF roots (lib/texmfroot): the roots the library searches, from paths.ini beside the bin
// directory, the registry or the program's own place; the install and local roots among them; and
// the fndb of each root, loaded when first asked for and held by the root table until unloaded.
#pragma once

#include "korvid/fndb.h"

namespace korvid {

unsigned GetNumberOfRoots();
char* GetRootDirectory(unsigned index, char* buffer);  // kRootBufferSize buffer
int GetInstallRoot();
int GetLocalRoot();
bool GetFndbFileName(unsigned index, char* buffer);  // kRootBufferSize buffer
FndbReference GetFndb(unsigned index);
int DetermineRootDirectory(const char* path);
FndbReference GetFndbForPath(const char* path);
bool UnloadFndbs();
void FreeRoots();
bool IsKorvidDirect();
bool GetProgramDirectory(char* buffer);  // kRootBufferSize buffer
bool GetBinDirectory(char* buffer);      // kRootBufferSize buffer

}  // namespace korvid
