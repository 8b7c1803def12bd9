// The ini parser: line rules, sections, expansion, merging, and every failure with its report.
#include "internal.h"
#include "testing.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <io.h>

#include <cstring>
#include <string>
#include <vector>

using namespace korvid;
using testing_support::ScopedEnvironment;
using testing_support::TestFolder;
using testing_support::TraceCapture;

namespace {

using namespace std::string_literals;

class LibraryEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { InitializeLibrary(); }
  void TearDown() override { UninitializeLibrary(); }
};
[[maybe_unused]] ::testing::Environment* const kLibrary =
    ::testing::AddGlobalTestEnvironment(new LibraryEnvironment);

TEST(SplitCfgLine, KeysValuesAndInlineComments) {
  struct Row { const char* line; const char* key; const char* value; };
  const Row rows[] = {
      {"Install Root = C:\\tex ; remark\n", "Install Root", "C:\\tex"},
      {"key=value;not a comment\n", "key", "value;not a comment"},
      {"key=a;b ;c\n", "key", "a;b ;c"},  // only the first ";" may start a comment
      {"key=a\t;c\n", "key", "a"},
      {"key=a\r;c\n", "key", "a\r"},  // a carriage return is white space before ";" only
      {"key= ;all comment\n", "key", ""},
      {"key=;x\n", "key", ";x"},
      {"key=\n", "key", ""},
      {"key= \t \n", "key", ""},
      {"k \t=\t v a l \t\n", "k", "v a l"},
      {"a b\t c=d", "a b\t c", "d"},
      {"k==v=\n", "k", "=v="},
      {".dot=1\n", ".dot", "1"},
      {"9=%PATH%\n", "9", "%PATH%"},  // expansion is not the splitter's business
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.line);
    std::string line = row.line;
    char* key = nullptr;
    char* value = nullptr;
    ASSERT_EQ(SplitCfgLine(line.data(), &key, &value), 0);
    EXPECT_STREQ(key, row.key);
    EXPECT_STREQ(value, row.value);
  }
}

TEST(SplitCfgLine, NoKeyLinesAndSyntaxErrors) {
  const char* comments[] = {" k=v\n", "\tk=v\n", ";k=v\n", "#k=v\n", "\n", "",
                            "[s]\n",  "=v\n",   "-k=v\n", "\xC9k=v\n"};
  for (const char* text : comments) {
    SCOPED_TRACE(text);
    std::string line = text;
    char* key = line.data();
    char* value = line.data();
    EXPECT_EQ(SplitCfgLine(line.data(), &key, &value), 0);
    EXPECT_EQ(key, nullptr);
    EXPECT_EQ(value, nullptr);
  }
  std::string line = "no value here\n";
  char* key;
  char* value;
  EXPECT_EQ(SplitCfgLine(line.data(), &key, &value), -3);
  EXPECT_EQ(line, "no value here\n");  // left as read, for the report
}

class CfgFile : public ::testing::Test {
 protected:
  int Read(const std::string& name, const std::string& bytes) {
    path = folder.Write(name, bytes);
    return ReadCfgFile(cfg.get(), path.c_str());
  }
  const char* Get(const char* section, const std::string& key) {
    return GetCfgValue(cfg.get(), section, key.c_str());
  }
  std::string LinePrefix() const {
    return "lib/cfg:" + std::to_string(GetLastErrorRecord().line) + ": ";
  }
  // The record and the one line of a syntax error quoting the line.
  void ExpectSyntaxError(const std::string& offending) {
    ErrorRecord record = GetLastErrorRecord();
    std::string message = "Syntax error in ini file. Offending line: '" + offending + "'.";
    EXPECT_EQ(record.code, ErrorCode::IniSyntaxError);
    EXPECT_STREQ(record.module, "lib/cfg");
    EXPECT_EQ(record.message, message);
    EXPECT_EQ(traces.Texts(), std::vector<std::string>{LinePrefix() + message});
  }
  // The record and the two lines of an internal error followed by its own text.
  void ExpectInternalError(const std::string& module, const std::string& text) {
    ErrorRecord record = GetLastErrorRecord();
    EXPECT_EQ(record.code, ErrorCode::InternalError);
    EXPECT_EQ(record.module, module);
    EXPECT_STREQ(record.message, "Internal error.");
    std::string first = "internal error in '" + module + "', line " + std::to_string(record.line);
    EXPECT_EQ(traces.Texts(), (std::vector<std::string>{first, text}));
  }
  void ExpectCrtError(const std::string& strerrorText, const std::string& info) {
    ErrorRecord record = GetLastErrorRecord();
    EXPECT_EQ(record.code, ErrorCode::CrtError);
    EXPECT_STREQ(record.module, "lib/cfg");
    EXPECT_STREQ(record.message, "CRT error.");
    EXPECT_EQ(traces.Texts(), std::vector<std::string>{"CRT error in 'lib/cfg' on line " +
                                                       std::to_string(record.line) + ":\n" +
                                                       strerrorText + "\nInfo: " + info});
  }

  TestFolder folder;
  TraceCapture traces;
  CfgPtr cfg{CreateCfg()};
  std::string path;
};

TEST_F(CfgFile, SectionsAndKeysIgnoreLetterCase) {
  ASSERT_EQ(Read("korvid.ini", "[Paths]\nInstall Root=C:\\tex ; the install root\n"), 0);
  EXPECT_STREQ(Get("Paths", "Install Root"), "C:\\tex");
  EXPECT_STREQ(Get("PATHS", "install ROOT"), "C:\\tex");
  EXPECT_EQ(Get("Paths", "InstallRoot"), nullptr);
  EXPECT_EQ(Get("Path", "Install Root"), nullptr);
  EXPECT_EQ(GetLastErrorRecord().code, ErrorCode::NoError);
  EXPECT_TRUE(traces.Texts().empty());
}

TEST_F(CfgFile, CommentLinesAreIgnoredAlsoWithAnEquals) {
  ASSERT_EQ(Read("x.ini", "\n;a=1\n#b=2\n c=3\n\td=4\n-e=5\n[S]\n;f=6\n g=7\nh=8\n"), 0);
  for (const char* key : {"a", "b", "c", "d", "e"}) EXPECT_EQ(Get(nullptr, key), nullptr) << key;
  for (const char* key : {"f", "g"}) EXPECT_EQ(Get("S", key), nullptr) << key;
  EXPECT_STREQ(Get("S", "h"), "8");
}

TEST_F(CfgFile, SectionHeaderNames) {
  struct Row { std::string text; std::string section; };
  const Row rows[] = {
      {"[ a b ]\n", " a b "},     {"[]]name]tail\n", "name"}, {"[open\n", "open\n"},
      {"[]\n", "\n"},             {"[\n", "\n"},             {"[x]]\n", "x"},
      {"[Open\r\n", "Open\n"},  // the runtime drops the carriage return before the line feed
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    cfg.reset(CreateCfg());
    ASSERT_EQ(Read("x.ini", row.text + "k=v\n"), 0);
    EXPECT_STREQ(Get(row.section.c_str(), "K"), "v");
  }
}

TEST_F(CfgFile, EmptySectionNameStopsTheRead) {
  for (const std::string header : {"[", "[]", "[]]]"}) {
    SCOPED_TRACE(header);
    cfg.reset(CreateCfg());
    traces.Clear();
    EXPECT_EQ(Read("x.ini", "before=1\n" + header), -3);
    ExpectSyntaxError(header);
    EXPECT_STREQ(Get(nullptr, "before"), "1");
  }
}

TEST_F(CfgFile, KeyLineWithoutEqualsStopsTheReadAndKeepsWhatCameBefore) {
  EXPECT_EQ(Read("x.ini", "[S]\nbefore=1\nno value\nafter=2\n"), -3);
  ExpectSyntaxError("no value\n");  // the line as read, with its line feed
  EXPECT_STREQ(Get("S", "before"), "1");
  EXPECT_EQ(Get("S", "after"), nullptr);
}

TEST_F(CfgFile, DefaultSectionIsTheBaseNameOfTheLastFileReadByName) {
  ASSERT_EQ(Read("paths.ini", "Root=C:\\a\n[Other]\nRoot=C:\\b\n"), 0);
  EXPECT_STREQ(Get("paths", "root"), "C:\\a");
  EXPECT_STREQ(Get(nullptr, "root"), "C:\\a");
  EXPECT_STREQ(Get("other", "root"), "C:\\b");
  ASSERT_EQ(Read("sub\\korvid.cfg.ini", "Temp=C:\\t\n"), 0);
  EXPECT_STREQ(Get("korvid.cfg", "temp"), "C:\\t");
  EXPECT_STREQ(Get(nullptr, "temp"), "C:\\t");
  EXPECT_EQ(Get(nullptr, "root"), nullptr);
}

TEST_F(CfgFile, FilesMergeAndTheLastValueWins) {
  ASSERT_EQ(Read("a.ini", "[S]\nx=1\ny=2\n[T]\nz=3\n[s]\nX=4\n"), 0);
  EXPECT_STREQ(Get("S", "x"), "4");  // twice in one file: one section, the last value
  ASSERT_EQ(Read("b.ini", "[s]\ny=5\n"), 0);
  EXPECT_STREQ(Get("S", "x"), "4");
  EXPECT_STREQ(Get("S", "y"), "5");
  EXPECT_STREQ(Get("T", "z"), "3");
}

TEST_F(CfgFile, StreamsWithAndWithoutName) {
  std::string bytes = "k=v\n[S]\nk=w\n";
  std::FILE* stream = std::fopen(folder.Write("data.ini", bytes).c_str(), "r");
  ASSERT_EQ(ReadCfg(cfg.get(), nullptr, stream), 0);  // no name: the empty-named section
  EXPECT_STREQ(Get("", "k"), "v");
  EXPECT_STREQ(Get(nullptr, "k"), "v");
  std::fclose(stream);

  EnableTraceStream(traceStreams.config, true);
  stream = std::fopen(folder.Join("data.ini").c_str(), "r");
  ASSERT_EQ(ReadCfg(cfg.get(), "Z:\\nowhere\\Korvid.ini", stream), 0);  // reads the stream
  std::fclose(stream);
  EXPECT_STREQ(Get("korvid", "k"), "v");
  EXPECT_STREQ(Get(nullptr, "k"), "v");
  EXPECT_TRUE(traces.Texts().empty());  // no "parsing" line: the file was not opened here
  EXPECT_EQ(Read("paths.ini", "k=x\n"), 0);
  EnableTraceStream(traceStreams.config, false);
  EXPECT_EQ(traces.Texts(), std::vector<std::string>{"parsing '" + path + "'..."});
}

TEST_F(CfgFile, TextModeLinesAndTheLastLine) {
  ASSERT_EQ(Read("x.ini", "[S]\r\na=1\r\nb=x\ry\r\nc=2\r\r\nd=3\ne=last"), 0);
  EXPECT_STREQ(Get("S", "a"), "1");
  EXPECT_STREQ(Get("S", "b"), "x\ry");  // a carriage return not before a line feed stays
  EXPECT_STREQ(Get("S", "c"), "2\r");
  EXPECT_STREQ(Get("S", "d"), "3");
  EXPECT_STREQ(Get("S", "e"), "last");
  // Text mode takes a Ctrl-Z for the end of the file.
  ASSERT_EQ(Read("y.ini", "a=1\n\x1a" "b=2\n"), 0);
  EXPECT_STREQ(Get(nullptr, "a"), "1");
  EXPECT_EQ(Get(nullptr, "b"), nullptr);
}

TEST_F(CfgFile, EnvironmentReferencesAreExpanded) {
  ScopedEnvironment shortValue("KVT_SHORT", "xyz");
  ScopedEnvironment longValue("KVT_LONG", std::string(150, 'L').c_str());
  ScopedEnvironment unset("KVT_UNSET", nullptr);
  const std::string before(250, 'p'), L(150, 'L');
  struct Row { std::string key; std::string text; std::string value; };
  const Row rows[] = {
      {"a", "%KVT_SHORT%", "xyz"},
      {"b", "pre%KVT_SHORT%post %KVT_UNSET% 100%", "prexyzpost %KVT_UNSET% 100%"},
      {"fits99", std::string(96, 'f') + "%KVT_SHORT%", std::string(96, 'f') + "xyz"},
      {"fits100", std::string(97, 'f') + "%KVT_SHORT%", std::string(97, 'f') + "xyz"},
      {"long1", "%KVT_LONG%", L},  // longer than 100 after expansion
      {"long2", before + "%KVT_LONG%", before + L},  // before and after
      {"short", "%kvt_short%", "xyz"},  // after the buffer grew
      {"long3", "%KVT_LONG%%KVT_LONG%%KVT_LONG%", L + L + L},
      {"high", "\xE9%KVT_SHORT%\xFF", "\xE9xyz\xFF"},
  };
  std::string text;
  for (const Row& row : rows) text += row.key + "=" + row.text + "\n";
  ASSERT_EQ(Read("x.ini", text), 0);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.key);
    EXPECT_STREQ(Get(nullptr, row.key), row.value.c_str());
  }
  // A fresh read starts again from the small buffer.
  ASSERT_EQ(Read("y.ini", "a=%KVT_LONG%\nb=%KVT_SHORT%\n"), 0);
  EXPECT_STREQ(Get(nullptr, "a"), L.c_str());
  EXPECT_STREQ(Get(nullptr, "b"), "xyz");
}

TEST_F(CfgFile, LongLinesAndValuesAreStoredWhole) {
  ScopedEnvironment shortValue("KVT_SHORT", "xyz");
  const std::string plain(9995, 'v');         // a line of 10,000 bytes
  const std::string referring(9984, 'r');     // so is this one, before expansion
  const std::string huge(100000, 'h');        // no reference: not handed to the platform
  const std::string atLimit(32766 - 11, 'z'); // the longest text the platform expands
  std::string text = "big=" + plain + "\nref=" + referring + "%KVT_SHORT%\nhuge=" + huge +
                     "\nlimit=" + atLimit + "%KVT_SHORT%\nafter=1\n";
  ASSERT_EQ(Read("x.ini", text), 0);
  EXPECT_EQ(std::strlen(Get(nullptr, "big")), plain.size());
  EXPECT_STREQ(Get(nullptr, "big"), plain.c_str());
  EXPECT_STREQ(Get(nullptr, "ref"), (referring + "xyz").c_str());
  EXPECT_STREQ(Get(nullptr, "huge"), huge.c_str());
  EXPECT_STREQ(Get(nullptr, "limit"), (atLimit + "xyz").c_str());
  EXPECT_STREQ(Get(nullptr, "after"), "1");
}

TEST_F(CfgFile, ValueTooLongToExpandStopsTheRead) {
  std::string tooLong = std::string(32767 - 5, 'z') + "%X_X%";
  EXPECT_EQ(Read("x.ini", "before=1\nv=" + tooLong + "\nafter=2\n"), -1);
  ExpectInternalError("lib/cfg", "cfg value too long to expand (32767 bytes)");
  EXPECT_STREQ(Get(nullptr, "before"), "1");
  EXPECT_EQ(Get(nullptr, "v"), nullptr);
  EXPECT_EQ(Get(nullptr, "after"), nullptr);
}

TEST_F(CfgFile, ExpansionBeyondThePlatformLimitStopsTheRead) {
  ScopedEnvironment hugeValue("KVT_HUGE", std::string(30000, 'H').c_str());
  EXPECT_EQ(Read("x.ini", "before=1\nv=%KVT_HUGE%%KVT_HUGE%\nafter=2\n"), -1);
  ErrorRecord record = GetLastErrorRecord();
  EXPECT_EQ(record.code, ErrorCode::Win32Error);
  EXPECT_STREQ(record.module, "lib/cfg");
  std::vector<std::string> texts = traces.Texts();
  ASSERT_EQ(texts.size(), 1u);
  std::string head = "Win32 error #122 in 'lib/cfg' on line " + std::to_string(record.line) + ":\n";
  std::string tail = "\nInfo: ExpandEnvironmentStringsA";
  EXPECT_EQ(texts[0].substr(0, head.size()), head);
  EXPECT_EQ(texts[0].substr(texts[0].size() - tail.size()), tail);
  EXPECT_STREQ(Get(nullptr, "before"), "1");
  EXPECT_EQ(Get(nullptr, "v"), nullptr);
}

TEST_F(CfgFile, BytesThatAreNotText) {
  // 1. NUL bytes: a key or header line holding one is a syntax error (quoted up to the NUL);
  //    a comment line holding one, or starting with one, is ignored.
  EXPECT_EQ(Read("a.ini", "; x\0y\n\0k=v\nok=1\nbad=x\0y\nafter=2\n"s), -3);
  ExpectSyntaxError("bad=x");
  EXPECT_STREQ(Get(nullptr, "ok"), "1");
  EXPECT_EQ(Get(nullptr, "k"), nullptr);
  EXPECT_EQ(Get(nullptr, "bad"), nullptr);
  traces.Clear();
  EXPECT_EQ(Read("b.ini", "[se\0c]\nk=v\n"s), -3);
  ExpectSyntaxError("[se");

  // 2. Bytes above 127 are kept as they are; only ASCII letters fold; a line starting with one
  //    is a comment, a UTF-8 byte-order mark included.
  ASSERT_EQ(Read("c.ini", "\xEF\xBB\xBF[Caf\xE9]\nK\xC9y=\xE9t\xE9 \xFF\n\xE9=1\n"), 0);
  EXPECT_STREQ(Get(nullptr, "K\xC9y"), "\xE9t\xE9 \xFF");
  ASSERT_EQ(Read("d.ini", "[Caf\xE9]\nk=1\n"), 0);
  EXPECT_STREQ(Get("CAF\xE9", "K"), "1");
  EXPECT_EQ(Get("CAF\xC9", "K"), nullptr);
}

TEST_F(CfgFile, SectionNameOfHundredThousandCharacters) {
  std::string name(100000, 's'), open(100000, 'o');
  ASSERT_EQ(Read("x.ini", "[" + name + "]\nk=1\n[" + open + "\nk=2\n[short]\nk=3\n"), 0);
  name[0] = 'S';
  EXPECT_STREQ(Get(name.c_str(), "k"), "1");
  EXPECT_STREQ(Get((open + "\n").c_str(), "k"), "2");
  EXPECT_STREQ(Get("short", "k"), "3");
}

TEST_F(CfgFile, FileOfSomeMegabytes) {
  std::string text;
  const int kSections = 50, kKeys = 1000;
  for (int s = 0; s < kSections; ++s) {
    text += "[Section" + std::to_string(s) + "]\n; comment\n";
    for (int k = 0; k < kKeys; ++k) {
      text += "Key" + std::to_string(k) + " = " + std::string(60, 'a' + k % 26) + " ; note\n";
    }
  }
  ASSERT_GT(text.size(), 3000000u);
  ASSERT_EQ(Read("big.ini", text), 0);
  for (int s = 0; s < kSections; s += 7) {
    for (int k = 0; k < kKeys; k += 13) {
      std::string section = "SECTION" + std::to_string(s), key = "key" + std::to_string(k);
      ASSERT_STREQ(Get(section.c_str(), key), std::string(60, 'a' + k % 26).c_str());
    }
  }
}

TEST_F(CfgFile, EmptyFileStoresNothingButRecordsItsName) {
  ASSERT_EQ(PutCfgValue(cfg.get(), "empty", "k", "v"), 0);
  ASSERT_EQ(Read("empty.ini", ""), 0);
  EXPECT_STREQ(Get(nullptr, "k"), "v");  // the default section is now "empty"
  EXPECT_EQ(Get(nullptr, "other"), nullptr);
  EXPECT_TRUE(traces.Texts().empty());
}

TEST_F(CfgFile, FilesThatCannotBeOpened) {
  ASSERT_EQ(Read("paths.ini", "k=v\n"), 0);
  traces.Clear();
  std::string missing = folder.Join("missing.ini");
  EXPECT_EQ(ReadCfgFile(cfg.get(), missing.c_str()), -1);
  ExpectCrtError("No such file or directory", missing);
  EXPECT_STREQ(Get(nullptr, "k"), "v");  // the recorded name is still paths.ini's
  traces.Clear();
  std::string directory = folder.MakeDirectory("dir.ini");
  EXPECT_EQ(ReadCfgFile(cfg.get(), directory.c_str()), -1);
  ExpectCrtError("Permission denied", directory);
  EXPECT_STREQ(Get(nullptr, "k"), "v");
  traces.Clear();
  EXPECT_EQ(ReadCfg(cfg.get(), nullptr, nullptr), -1);
  ExpectCrtError("Invalid argument", "ReadCfg");
}

TEST_F(CfgFile, StreamsThatFailToRead) {
  std::string file = folder.Write("x.ini", "k=v\n");
  // One sets its error indicator, the other (open for writing) reports neither end nor error.
  std::FILE* errorFlagged = _fdopen(_open(file.c_str(), _O_WRONLY), "r");
  std::FILE* writeOnly = std::fopen(file.c_str(), "a");
  for (std::FILE* stream : {errorFlagged, writeOnly}) {
    ASSERT_NE(stream, nullptr);
    traces.Clear();
    EXPECT_EQ(ReadCfg(cfg.get(), nullptr, stream), -1);
    ExpectInternalError("lib/cfg", "cfg file I/O error");
    std::fclose(stream);
  }
  EXPECT_EQ(Get("", "k"), nullptr);
}

TEST_F(CfgFile, NamesLongerThanTheBuffers) {
  // The base name does not fit the 256-byte section buffer, the full path not 260 bytes: the
  // name is recorded as given and its base name still names the default section.
  std::string base(300, 'b');
  std::FILE* stream = std::fopen(folder.Write("x.ini", "k=v\n").c_str(), "r");
  ASSERT_EQ(ReadCfg(cfg.get(), (base + ".ini").c_str(), stream), 0);
  std::fclose(stream);
  EXPECT_STREQ(Get(base.c_str(), "k"), "v");
  EXPECT_STREQ(Get(nullptr, "k"), "v");
}

TEST(Cfg, OperationsClearTheLastErrorAndFreeIgnoresNull) {
  CfgPtr cfg(CreateCfg());
  RaiseError(ErrorCode::InternalError, "lib/cfg", 1);
  EXPECT_EQ(GetCfgValue(cfg.get(), "s", "k"), nullptr);
  EXPECT_EQ(GetLastErrorRecord().code, ErrorCode::NoError);
  EXPECT_EQ(PutCfgValue(cfg.get(), nullptr, "k", "v"), 0);
  EXPECT_STREQ(GetCfgValue(cfg.get(), "", "K"), "v");
  RaiseError(ErrorCode::InternalError, "lib/cfg", 1);
  FreeCfg(nullptr);
  EXPECT_EQ(GetLastErrorRecord().code, ErrorCode::NoError);
}

}  // namespace
