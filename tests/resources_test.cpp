// The manifest and the version resource of every shipped program, read back from the built
// executables as Windows reads them.
#include "internal.h"
#include "testing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

using namespace testing_support;

namespace {

std::vector<std::string> ShippedPrograms() {
  std::vector<std::string> names;
  std::istringstream list(KORVID_SHIPPED_PROGRAMS);
  for (std::string name; std::getline(list, name, ',');) names.push_back(name);
  return names;
}

std::string ProgramPath(const std::string& name) { return BuildDirectory() + "\\" + name + ".exe"; }

struct DataModuleTraits {
  using Handle = HMODULE;
  static Handle Empty() { return nullptr; }
  static bool IsValid(Handle h) { return h != nullptr; }
  static void Close(Handle h) { FreeLibrary(h); }
};
using DataModule = korvid::ScopedOwner<DataModuleTraits>;

// The bytes of the manifest (type 24, id 1), or empty when the program has none.
std::string Manifest(const std::string& path) {
  DataModule module(LoadLibraryExA(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
  if (!module) return {};
  HRSRC found = FindResourceA(module.get(), MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));
  HGLOBAL loaded = found ? LoadResource(module.get(), found) : nullptr;
  const char* bytes = loaded ? static_cast<const char*>(LockResource(loaded)) : nullptr;
  if (bytes == nullptr) return {};
  return std::string(bytes, SizeofResource(module.get(), found));
}

// A value of the version resource's string table (US English, Unicode), or "(none)".
std::string VersionString(const std::vector<char>& info, const std::string& name) {
  std::string key = "\\StringFileInfo\\040904b0\\" + name;
  char* value = nullptr;
  UINT length = 0;
  if (!VerQueryValueA(info.data(), key.c_str(), reinterpret_cast<void**>(&value), &length) ||
      value == nullptr) {
    return "(none)";
  }
  std::string text(value, length);
  while (!text.empty() && text.back() == '\0') text.pop_back();
  return text;
}

// The names of the DLLs the program imports, in lower case; mapped as an image whose imports are
// not resolved, so that the import directory is read where the loader reads it.
std::vector<std::string> ImportedDlls(const std::string& path) {
  std::vector<std::string> names;
  DataModule module(LoadLibraryExA(path.c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES));
  if (!module) return names;
  const auto* base = reinterpret_cast<const unsigned char*>(module.get());
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& directory =
      nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  if (directory.VirtualAddress == 0) return names;
  for (const auto* entry =
           reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + directory.VirtualAddress);
       entry->Name != 0; ++entry) {
    std::string name = reinterpret_cast<const char*>(base + entry->Name);
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    names.push_back(name);
  }
  return names;
}

// The registry DLL costs every start its loading; the launcher reaches the registry functions
// when it reads the registry.
TEST(ShippedPrograms, LauncherImportsOnlyTheKernelAndTheRuntime) {
  std::vector<std::string> imports = ImportedDlls(ProgramPath("tervan"));
  std::vector<std::string> expected = {"kernel32.dll", "msvcrt.dll"};
  std::sort(imports.begin(), imports.end());
  EXPECT_EQ(imports, expected);
}

TEST(ShippedPrograms, TheListHoldsTheLauncherAndTheTools) {
  std::vector<std::string> names = ShippedPrograms();
  for (const char* expected : {"tervan", "mkfndb", "kwhere", "mklaunchers"}) {
    EXPECT_NE(std::find(names.begin(), names.end(), expected), names.end()) << expected;
  }
}

// Run with the caller's rights under any name, on Windows 7 to 11, and nothing that changes what
// the narrow API does with paths and texts.
TEST(ShippedPrograms, ManifestRunsAsInvokerOnWindows7To11) {
  struct Row {
    const char* text;
    bool present;
  };
  const Row rows[] = {
      {"<requestedExecutionLevel level=\"asInvoker\" uiAccess=\"false\"/>", true},
      {"<supportedOS Id=\"{35138b9a-5d96-4fbd-8e2d-a2440225f93a}\"/>", true},  // 7
      {"<supportedOS Id=\"{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}\"/>", true},  // 8
      {"<supportedOS Id=\"{1f676c76-80e1-4239-95bb-83d0f6d0da78}\"/>", true},  // 8.1
      {"<supportedOS Id=\"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}\"/>", true},  // 10, 11
      {"longPathAware", false},
      {"activeCodePage", false},
      {"requireAdministrator", false},
      {"highestAvailable", false},
  };
  for (const std::string& name : ShippedPrograms()) {
    SCOPED_TRACE(name);
    std::string manifest = Manifest(ProgramPath(name));
    ASSERT_FALSE(manifest.empty()) << "no manifest";
    for (const Row& row : rows) {
      SCOPED_TRACE(row.text);
      EXPECT_EQ(manifest.find(row.text) != std::string::npos, row.present);
    }
  }
}

TEST(ShippedPrograms, VersionResourceGivesTheProjectVersion) {
  unsigned major = 0, minor = 0, patch = 0;
  ASSERT_EQ(std::sscanf(KORVID_VERSION, "%u.%u.%u", &major, &minor, &patch), 3);
  for (const std::string& name : ShippedPrograms()) {
    SCOPED_TRACE(name);
    std::string path = ProgramPath(name);
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeA(path.c_str(), &ignored);
    ASSERT_NE(size, 0u) << "no version resource";
    std::vector<char> info(size);
    ASSERT_TRUE(GetFileVersionInfoA(path.c_str(), 0, size, info.data()));

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(info.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
    ASSERT_GE(length, sizeof *fixed);
    EXPECT_EQ(fixed->dwFileVersionMS, (major << 16) | minor);
    EXPECT_EQ(fixed->dwFileVersionLS, patch << 16);
    EXPECT_EQ(fixed->dwProductVersionMS, (major << 16) | minor);
    EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_APP));

    EXPECT_EQ(VersionString(info, "ProductName"), "tervan");
    EXPECT_EQ(VersionString(info, "ProductVersion"), KORVID_VERSION);
    EXPECT_EQ(VersionString(info, "FileVersion"), KORVID_VERSION);
    EXPECT_EQ(VersionString(info, "OriginalFilename"), name + ".exe");
    EXPECT_EQ(VersionString(info, "LegalCopyright"), "Copyright (c) 2026 the tervan authors");
    std::string description = VersionString(info, "FileDescription");
    EXPECT_NE(description, "(none)");
    EXPECT_FALSE(description.empty());
  }
}

}  // namespace
