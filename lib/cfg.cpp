// Ini files: the in-memory Cfg and the reader of ini text.
#include "internal.h"

#include <cstring>

namespace korvid {
namespace {

constexpr char kModule[] = "lib/cfg";

}  // namespace

// Sections and keys are found without regard to ASCII case and keep the case of their first
// occurrence (the map key is the name as first written).
class Cfg {
 public:
  struct Section {
    std::map<std::string, std::string, CaseInsensitiveLess> values;
  };
  std::string fileName;  // full path of the last file read by name; names the default section
  std::map<std::string, Section, CaseInsensitiveLess> sections;

  std::string DefaultSection() const { return SplitPath(fileName.c_str()).name; }
};

Cfg* CreateCfg() {
  ClearLastError();
  return new Cfg;
}

void FreeCfg(Cfg* cfg) {
  ClearLastError();
  delete cfg;
}

int PutCfgValue(Cfg* cfg, const char* section, const char* key, const char* value) {
  std::string sectionName = section != nullptr ? std::string(section) : cfg->DefaultSection();
  auto sectionIt = cfg->sections.try_emplace(sectionName).first;
  auto& values = sectionIt->second.values;
  auto valueIt = values.find(key);
  if (valueIt == values.end()) {
    std::string text;
    text.reserve(256);
    text = value;
    values.emplace(key, std::move(text));
  } else {
    valueIt->second = value;
  }
  return 0;
}

const char* GetCfgValue(const Cfg* cfg, const char* section, const char* key) {
  ClearLastError();
  std::string sectionName = section != nullptr ? std::string(section) : cfg->DefaultSection();
  auto sectionIt = cfg->sections.find(sectionName);
  if (sectionIt == cfg->sections.end()) return nullptr;
  auto valueIt = sectionIt->second.values.find(key);
  if (valueIt == sectionIt->second.values.end()) return nullptr;
  return valueIt->second.c_str();
}

}  // namespace korvid
