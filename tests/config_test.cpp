// Tokenizers and name lists shared by the modules.
#include "internal.h"
#include "library_fixture.h"
#include "registry_sandbox.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

using namespace korvid;
using testing_support::ScopedEnvironment;
using testing_support::ScopedRegistry;

namespace {

std::vector<std::string> Pieces(const char* text, char separator,
                                std::size_t maxCopy = Tokenizer::kWholeText) {
  std::vector<std::string> pieces;
  Tokenizer tokenizer(text, separator, maxCopy);
  while (const char* piece = tokenizer.Next()) pieces.push_back(piece);
  return pieces;
}

std::vector<std::string> Words(const char* text, const char* delimiters) {
  std::vector<std::string> words;
  DelimiterTokenizer tokenizer(text, delimiters);
  while (const char* word = tokenizer.Next()) words.push_back(word);
  return words;
}

using List = std::vector<std::string>;

}  // namespace

TEST(Tokenizer, SplitsAtOneSeparator) {
  struct Row { const char* text; List pieces; };
  const Row rows[] = {
      {"a;b", {"a", "b"}},       {"a;;b", {"a", "", "b"}}, {";a", {"", "a"}},
      {"a;", {"a"}},             {";", {""}},              {";;", {"", ""}},
      {"", {}},                  {"abc", {"abc"}},         {"a;b;", {"a", "b"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    EXPECT_EQ(Pieces(row.text, ';'), row.pieces);
  }
  EXPECT_EQ(Pieces(nullptr, ';'), List{});
}

TEST(Tokenizer, KeepsTheGivenTextAndCanCapItsCopy) {
  std::string text = "x;y;z";
  Pieces(text.c_str(), ';');
  EXPECT_EQ(text, "x;y;z");
  std::string longText = std::string(4094, 'a') + ";bc";
  EXPECT_EQ(Pieces(longText.c_str(), ';', 4095), (List{std::string(4094, 'a')}));
  EXPECT_EQ(Pieces(longText.c_str(), ';', 4096), (List{std::string(4094, 'a'), "b"}));
}

TEST(DelimiterTokenizer, SkipsRunsOfDelimiters) {
  EXPECT_EQ(Words(",, error;fndb\t\nconfig ,", ",; \n\t"), (List{"error", "fndb", "config"}));
  EXPECT_EQ(Words("", ",;"), List{});
  EXPECT_EQ(Words(";;;", ";"), List{});
  EXPECT_EQ(Words("\xE9t\xE9", " "), List{"\xE9t\xE9"});
}

TEST(IsNameInList, IgnoresCase) {
  EXPECT_TRUE(IsNameInList("error,FNDB", "fndb", ",; \n\t"));
  EXPECT_TRUE(IsNameInList("  foo  ", "FOO", ",; \n\t"));
  EXPECT_FALSE(IsNameInList("fndbx", "fndb", ",; \n\t"));
  EXPECT_FALSE(IsNameInList("", "fndb", ",; \n\t"));
}

namespace {

// Two roots, each with a korvid.ini of its own.
class ConfigValues : public testing_support::LibraryTest {
 protected:
  void StartWith(const std::string& ini0, const std::string& ini1,
                 const StartupOptions* options = nullptr) {
    std::string r0 = folder.MakeDirectory("r0");
    std::string r1 = folder.MakeDirectory("r1");
    if (!ini0.empty()) folder.Write("r0\\korvid\\config\\korvid.ini", ini0);
    if (!ini1.empty()) folder.Write("r1\\korvid\\config\\korvid.ini", ini1);
    Start(r0 + ";" + r1, "", "", options);
  }
  std::string Value(const char* sections, const char* name, std::size_t size = kMaxPath,
                    const char* defaultValue = nullptr) {
    std::vector<char> buffer(size);
    const char* value = GetConfigValue(sections, name, buffer.data(), size, defaultValue);
    return value ? std::string(value) : std::string("(null)");
  }
};

}  // namespace

TEST_F(ConfigValues, EnvironmentBeatsTheFiles) {
  StartWith("[Korvid]\nTemp=C:\\fromini\n", "");
  EXPECT_EQ(Value("Korvid", "Temp"), "C:\\fromini");
  ScopedEnvironment temp("KORVID_TEMP", "C:\\fromenv");
  EXPECT_EQ(Value("Korvid", "Temp"), "C:\\fromenv");
}

TEST_F(ConfigValues, EnvironmentNameOfASectionAndAValueWithBlanks) {
  StartWith("", "");
  ScopedEnvironment value("KORVID_TERVAN_MAX_FILES", "12");
  EXPECT_EQ(Value("tervan", "Max Files"), "12");
  EXPECT_EQ(Value("other", "Max Files"), "(null)");
}

TEST_F(ConfigValues, FirstRootWinsAndTheNamedFileBeatsBoth) {
  std::string named = folder.Write("named.ini", "[Korvid]\nKey=named\n");
  StartWith("[Korvid]\nKey=root0\nOnly0=a\n", "[Korvid]\nKey=root1\nOnly1=b\n");
  EXPECT_EQ(Value("Korvid", "Key"), "root0");
  EXPECT_EQ(Value("Korvid", "Only1"), "b");
  Stop();
  registry.Set(ScopedRegistry::Hive::CurrentUser, "Korvid", "Configuration File", named);
  InitializeLibrary();
  EXPECT_EQ(Value("Korvid", "Key"), "named");
  EXPECT_EQ(Value("Korvid", "Only0"), "a");
  UninitializeLibrary();
}

TEST_F(ConfigValues, SectionListInOrderThenKorvidThenDefault) {
  StartWith("[a]\nx=from a\n[b]\nx=from b\ny=from b\n[Korvid]\nz=from korvid\n", "");
  EXPECT_EQ(Value("a;b", "x"), "from a");
  EXPECT_EQ(Value("a;b", "y"), "from b");
  EXPECT_EQ(Value("a;b", "z"), "from korvid");
  EXPECT_EQ(Value("a;b", "w", kMaxPath, "dflt"), "dflt");
  EXPECT_EQ(Value("a;b", "w"), "(null)");
}

TEST_F(ConfigValues, ValuesThatDoNotFitArePassedOver) {
  std::string longValue(300, 'v');
  StartWith("[a]\nx=" + longValue + "\n[b]\nx=short\n[Korvid]\ny=" + longValue + "\n", "");
  EXPECT_EQ(Value("a;b", "x", 260), "short");
  EXPECT_EQ(Value("a", "y", 260, "dflt"), "dflt");
  EXPECT_EQ(Value("a", "x", 301), longValue);
  ScopedEnvironment env("KORVID_A_X", longValue.c_str());
  EXPECT_EQ(Value("a;b", "x", 260), "short");  // the environment value is not replaced by a's
  std::string longDefault(260, 'd');
  EXPECT_EQ(Value("a", "none", 260, longDefault.c_str()), "(null)");
  EXPECT_EQ(Value("a", "none", 261, longDefault.c_str()), longDefault);
}

TEST_F(ConfigValues, FilesAreReadOncePerContext) {
  StartWith("[Korvid]\nKey=first\n", "");
  EXPECT_EQ(Value("Korvid", "Key"), "first");
  folder.Write("r0\\korvid\\config\\korvid.ini", "[Korvid]\nKey=second\n");
  EXPECT_EQ(Value("Korvid", "Key"), "first");
  Stop();
  InitializeLibrary();
  EXPECT_EQ(Value("Korvid", "Key"), "second");
  UninitializeLibrary();
}

TEST_F(ConfigValues, StartupFlagKeepsTheFilesOut) {
  StartupOptions options{kStartupNoConfigFiles, {}};
  StartWith("[Korvid]\nKey=ini\n", "", &options);
  EXPECT_EQ(Value("Korvid", "Key"), "(null)");
  ScopedEnvironment env("KORVID_KEY", "env");
  EXPECT_EQ(Value("Korvid", "Key"), "env");
}

TEST_F(ConfigValues, UnparsableFileIsReportedAndTheOthersAreRead) {
  StartWith("[Korvid]\nbroken line\n", "[Korvid]\nKey=root1\n");
  EXPECT_EQ(Value("Korvid", "Key"), "root1");
  Stop();
  capture.Clear();
  InitializeLibrary();
  Value("Korvid", "Key");
  EXPECT_TRUE(capture.HasText("cannot parse '" + folder.Path() +
                              "\\r0\\korvid\\config\\korvid.ini'"));
  UninitializeLibrary();
}

TEST_F(ConfigValues, ApplicationNamesAreTheDefaultSections) {
  StartWith("[x]\nk=from x\n[y]\nk=from y\nj=only y\n[Korvid]\nm=korvid\n", "");
  AddApplicationName("x");
  AddApplicationName("y");
  EXPECT_EQ(std::string(GetApplicationNames()), "y;x;config_test");
  EXPECT_EQ(Value(nullptr, "k"), "from y");
  EXPECT_EQ(Value(nullptr, "m"), "korvid");
  ClearApplicationNames();
  EXPECT_STREQ(GetApplicationNames(), "");
}

TEST_F(ConfigValues, OverlongApplicationNameListIsCutAtAName) {
  StartWith("", "");
  ClearApplicationNames();
  for (int i = 0; i < 500; ++i) AddApplicationName(("name" + std::to_string(i)).c_str());
  std::string names = GetApplicationNames();
  EXPECT_LT(names.size(), 4096u);
  EXPECT_EQ(names.substr(0, 15), "name499;name498");
  EXPECT_NE(names.back(), ';');
  std::string last = names.substr(names.rfind(';') + 1);
  EXPECT_EQ(last.rfind("name", 0), 0u);
  EXPECT_GE(last.size(), 5u);
}

TEST(RegistryValues, CurrentUserFirstAndEmptyHidesMachine) {
  ScopedRegistry registry;
  char buffer[kMaxPath];
  registry.Set(ScopedRegistry::Hive::LocalMachine, "Korvid", "V", "machine");
  EXPECT_STREQ(GetRegistryValue(Hive::Any, "Korvid", "V", buffer, sizeof buffer, nullptr),
               "machine");
  registry.Set(ScopedRegistry::Hive::CurrentUser, "Korvid", "V", "");
  EXPECT_STREQ(GetRegistryValue(Hive::Any, "Korvid", "V", buffer, sizeof buffer, nullptr), "");
  EXPECT_STREQ(GetRegistryValue(Hive::LocalMachine, "Korvid", "V", buffer, sizeof buffer, nullptr),
               "machine");
  EXPECT_EQ(GetRegistryValue(Hive::Any, "Korvid", "missing", buffer, sizeof buffer, nullptr),
            nullptr);
  EXPECT_STREQ(GetRegistryValue(Hive::Any, "Nosection", "V", buffer, sizeof buffer, "dflt"), "dflt");
}

// The machine's values come from the registry's 32-bit view in both builds: a 64-bit program
// reads what a 32-bit installer wrote. The test leaves the process's sandbox for the real machine
// hive, with a section of its own, and puts a different value into the 64-bit view where there is one.
TEST(RegistryValues, MachineValuesComeFromThe32BitView) {
  const std::string section = "ViewTest" + std::to_string(GetCurrentProcessId());
  const std::string keyName = "Software\\Zef\\Korvid\\CurrentVersion\\" + section;
  BOOL wow64 = FALSE;
  IsWow64Process(GetCurrentProcess(), &wow64);
  const bool twoViews = sizeof(void*) == 8 || wow64;

  RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
  auto write = [&](REGSAM view, const std::string& value) {
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, keyName.c_str(), 0, nullptr, 0, KEY_WRITE | view,
                        nullptr, &key, nullptr) != ERROR_SUCCESS) {
      return false;
    }
    bool ok = RegSetValueExA(key, "Root", 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                             static_cast<DWORD>(value.size() + 1)) == ERROR_SUCCESS;
    RegCloseKey(key);
    return ok;
  };
  bool written = write(KEY_WOW64_32KEY, "from the 32-bit view") &&
                 (!twoViews || write(KEY_WOW64_64KEY, "from the 64-bit view"));
  char buffer[kMaxPath];
  const char* value =
      GetRegistryValue(Hive::LocalMachine, section.c_str(), "Root", buffer, sizeof buffer, nullptr);
  std::string read = value != nullptr ? value : "(none)";
  for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
    RegDeleteKeyExA(HKEY_LOCAL_MACHINE, keyName.c_str(), view, 0);
  }
  if (const char* sandbox = std::getenv(testing_support::kRegistrySandboxVariable)) {
    testing_support::EnterRegistrySandboxOrExit(sandbox);
  }
  ASSERT_TRUE(written);
  EXPECT_EQ(read, "from the 32-bit view");
}

TEST(RegistryValues, OtherTypesAreIgnored) {
  InitializeLibrary();
  testing_support::TraceCapture capture;
  ScopedRegistry registry;
  registry.Set(ScopedRegistry::Hive::CurrentUser, "Korvid", "E", "%SystemRoot%", REG_EXPAND_SZ);
  registry.Set(ScopedRegistry::Hive::LocalMachine, "Korvid", "E", "machine");
  char buffer[kMaxPath];
  EXPECT_STREQ(GetRegistryValue(Hive::Any, "Korvid", "E", buffer, sizeof buffer, nullptr),
               "machine");
  EXPECT_EQ(capture.Texts(), std::vector<std::string>{"ignoring value 'E' of type 2"});
  UninitializeLibrary();
}

TEST(RegistryValues, ValueTooLongForTheBufferIsReported) {
  InitializeLibrary();
  testing_support::TraceCapture capture;
  ScopedRegistry registry;
  registry.Set(ScopedRegistry::Hive::CurrentUser, "Korvid", "L", std::string(100, 'l'));
  char buffer[50];
  EXPECT_STREQ(GetRegistryValue(Hive::CurrentUser, "Korvid", "L", buffer, sizeof buffer, "d"), "d");
  EXPECT_EQ(capture.CountContaining("Win32 error #234"), 1);
  EXPECT_EQ(capture.CountContaining("Info: L"), 1);
  std::string longSection(300, 's');
  EXPECT_EQ(GetRegistryValue(Hive::CurrentUser, longSection.c_str(), "L", buffer, sizeof buffer,
                             nullptr),
            nullptr);
  UninitializeLibrary();
}
