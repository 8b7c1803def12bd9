// Ini files (lib/cfg; the line rules in lib/core/cfgrules and lib/core/getdelim): a file of
// sections and key lines read into a Cfg, whose values are then looked up by section and key.
// The Cfg is the library's own: callers hold it through CfgPtr.
#pragma once

#include <cstdio>
#include <memory>

namespace korvid {

class Cfg;
Cfg* CreateCfg();
void FreeCfg(Cfg* cfg);
struct CfgDeleter {
  void operator()(Cfg* cfg) const { FreeCfg(cfg); }
};
using CfgPtr = std::unique_ptr<Cfg, CfgDeleter>;

// 0 on success; -1 (cannot open, I/O error, a value the platform cannot expand), -2 (out of
// memory) or -3 (syntax error). Every failure is reported; the values stored before it stay.
int ReadCfg(Cfg* cfg, const char* fileName, std::FILE* stream);
int ReadCfgFile(Cfg* cfg, const char* fileName);
// The value, owned by the Cfg, or null when the section or the key does not exist.
// A null section names the default section.
const char* GetCfgValue(const Cfg* cfg, const char* section, const char* key);

}  // namespace korvid
