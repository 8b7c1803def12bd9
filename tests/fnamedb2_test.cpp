// The fndb handle on real files: opening, refusing, growing, sharing a mapping (also across
// processes), reference counts, and the search with its traces and negative cache.
#include "fndbbuilder.h"
#include "fndbbytes.h"
#include "fndbview.h"
#include "internal.h"
#include "testing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

using namespace korvid;
using testing_support::ProcessOptions;
using testing_support::ReadFileBytes;
using testing_support::RunProcess;
using testing_support::SetWordAt;
using testing_support::TestFolder;
using testing_support::TraceCapture;
using testing_support::WordAt;

namespace {

constexpr char kRoot[] = "C:\\texmf";

std::string PointerText(const void* pointer) {
  char text[32];
  std::snprintf(text, sizeof text, "%p", pointer);
  return text;
}

// root: plain.tex; tex: foo.tex, latex/article.cls, generic/foo.sty
FndbTreeDirectory SmallTree() {
  FndbTreeDirectory latex{"latex", {"article.cls"}, {}};
  FndbTreeDirectory generic{"generic", {"foo.sty"}, {}};
  FndbTreeDirectory tex{"tex", {"foo.tex"}, {latex, generic}};
  return FndbTreeDirectory{"", {"plain.tex"}, {tex}};
}

std::string SmallDatabase(std::uint32_t reserve, std::uint32_t changeCount = 1,
                          bool frozen = false) {
  FndbLayoutOptions options;
  options.reserve = reserve;
  options.changeCount = changeCount;
  options.frozen = frozen;
  return LayOutFndb(SmallTree(), options);
}

std::uint64_t FileSize(const std::string& path) { return ReadFileBytes(path).size(); }

// No handle of the file is left open, and no mapping of the name.
void ExpectNothingLeftOpen(const std::string& path) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            0, nullptr);
  EXPECT_NE(file, INVALID_HANDLE_VALUE) << "the file is still open";
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  std::string name = FndbMappingName(path.c_str());
  if (!name.empty()) {
    HANDLE mapping = OpenFileMappingA(FILE_MAP_READ, FALSE, name.c_str());
    EXPECT_EQ(mapping, nullptr) << "the mapping still exists";
    if (mapping != nullptr) CloseHandle(mapping);
  }
}

// Overwrites bytes of the file through a handle of its own (the holder shares writing).
void OverwriteFile(const std::string& path, std::uint32_t offset, const std::string& bytes) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  SetFilePointer(file, static_cast<LONG>(offset), nullptr, FILE_BEGIN);
  DWORD written = 0;
  WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(file);
  ASSERT_EQ(written, bytes.size());
}

// The number in "internal error in 'lib/fnamedb2', line N" / "... on line N:".
unsigned LineIn(const std::string& text, const std::string& before) {
  std::size_t at = text.find(before);
  if (at == std::string::npos) return 0;
  return static_cast<unsigned>(std::stoul(text.substr(at + before.size())));
}

class FnameDb2 : public testing::Test {
 protected:
  void SetUp() override {
    InitializeLibrary();
    SetTraceOptions("error,fndb");
  }
  void TearDown() override { UninitializeLibrary(); }

  TestFolder folder;
  TraceCapture capture;
};

}  // namespace

TEST(FndbMappingName, RaisesBytesAndDropsSeparators) {
  EXPECT_EQ(FndbMappingName("C:\\tm\\a.fndb"), "\x63\x94\x8D\x81\x4E\x86\x8E\x84\x82");
  EXPECT_EQ(FndbMappingName("C:/tm/a.fndb"), FndbMappingName("C:\\tm\\a.fndb"));
  EXPECT_NE(FndbMappingName("c:\\tm\\a.fndb"), FndbMappingName("C:\\tm\\a.fndb"));
  EXPECT_EQ(FndbMappingName("\xDF\xFF~"), "\xFF\x1F\x9E");  // raised modulo 256
  EXPECT_EQ(FndbMappingName(""), "");
}

TEST(FndbMappingName, PathWithByteE0GetsNoSharedName) {
  // Raised, 0xE0 would be a zero byte ending the name: C:\x\<E0>a.fndb and C:\x\<E0>b.fndb would
  // share the name of C:\x.
  EXPECT_EQ(FndbMappingName("C:\\x\\\xE0" "a.fndb"), "");
  EXPECT_EQ(FndbMappingName("\xE0"), "");
}

TEST_F(FnameDb2, RefusesFilesThatAreNoFndb) {
  std::string good = SmallDatabase(4096);
  std::string badSignature = good, version2 = good, version4 = good;
  badSignature.replace(0, 4, "FNDA");
  SetWordAt(&version2, 4, 2);
  SetWordAt(&version4, 4, 4);
  struct Row { const char* label; std::string bytes; const char* message; };
  const Row rows[] = {
      {"signature", badSignature, "'%s' is not an fndb file"},
      {"text file", "hello world\r\n", "'%s' is not an fndb file"},
      {"empty", "", "'%s' is not an fndb file"},
      {"cut header", good.substr(0, 30), "'%s' is not an fndb file"},
      {"version 2", version2, "'%s' an unknown fndb file"},
      {"version 4", version4, "'%s' an unknown fndb file"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    std::string path = folder.Write("bad.fndb", row.bytes);
    capture.Clear();
    EXPECT_EQ(FileNameDatabase::Create(path.c_str(), kRoot, false), nullptr);
    ErrorRecord record = GetLastErrorRecord();
    EXPECT_EQ(record.code, ErrorCode::InternalError);
    EXPECT_STREQ(record.module, "lib/fnamedb2");
    EXPECT_STREQ(record.message, "Internal error.");
    char message[512];
    std::snprintf(message, sizeof message, row.message, path.c_str());
    std::vector<std::string> texts = capture.Texts();
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(texts[0], "internal error in 'lib/fnamedb2', line " + std::to_string(record.line));
    EXPECT_EQ(texts[1], message);
    ExpectNothingLeftOpen(path);
  }
}

TEST_F(FnameDb2, RefusesADirectoryAndAMissingFile) {
  std::string directory = folder.MakeDirectory("dir.fndb");
  EXPECT_EQ(FileNameDatabase::Create(directory.c_str(), kRoot, false), nullptr);
  EXPECT_EQ(GetLastErrorRecord().code, ErrorCode::InternalError);
  EXPECT_EQ(capture.Texts().back(), "'" + directory + "' is a directory");

  capture.Clear();
  std::string missing = folder.Join("missing.fndb");
  EXPECT_EQ(FileNameDatabase::Create(missing.c_str(), kRoot, true), nullptr);
  ErrorRecord record = GetLastErrorRecord();
  EXPECT_EQ(record.code, ErrorCode::Win32Error);
  EXPECT_STREQ(record.message, "Win32 error.");
  std::vector<std::string> texts = capture.Texts();
  ASSERT_EQ(texts.size(), 1u);
  EXPECT_EQ(texts[0].rfind("Win32 error #2 in 'lib/fnamedb2' on line ", 0), 0u) << texts[0];
  EXPECT_EQ(LineIn(texts[0], "on line "), record.line);
  EXPECT_EQ(texts[0].substr(texts[0].size() - missing.size() - 7), "\nInfo: " + missing);
}

TEST_F(FnameDb2, GrowsByExactly16384BytesWhenLessThan4096AreFree) {
  struct Row { const char* label; std::uint32_t reserve; bool grows; };
  const Row rows[] = {
      {"4096 free", 4096, false}, {"4095 free", 4095, true}, {"none free", 0, true},
      {"plenty free", 70000, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    std::string path = folder.Write("grow.fndb", SmallDatabase(row.reserve));
    std::uint64_t before = FileSize(path);
    FileNameDatabase* fndb = FileNameDatabase::Create(path.c_str(), kRoot, false);
    ASSERT_NE(fndb, nullptr);
    EXPECT_FALSE(fndb->IsReadOnly());
    std::uint64_t expected = before + (row.grows ? 16384 : 0);
    EXPECT_EQ(fndb->Size(), expected);
    char result[kMaxPath];
    EXPECT_TRUE(fndb->Search("article.cls", "C:\\texmf\\tex\\latex", result));
    fndb->Release();
    EXPECT_EQ(FileSize(path), expected);  // the file keeps its new size
    ExpectNothingLeftOpen(path);
  }
}

TEST_F(FnameDb2, ReadOnlyOpensNeverGrow) {
  struct Row { const char* label; bool attribute; bool flag; bool frozen; };
  const Row rows[] = {
      {"read-only attribute", true, false, false},
      {"header flag bit 0", false, true, false},
      {"opened frozen", false, false, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    std::string path = folder.Write("ro.fndb", SmallDatabase(0, 1, row.flag));
    std::uint64_t before = FileSize(path);
    if (row.attribute) testing_support::SetReadOnly(path, true);
    FileNameDatabase* fndb = FileNameDatabase::Create(path.c_str(), kRoot, row.frozen);
    ASSERT_NE(fndb, nullptr);
    EXPECT_TRUE(fndb->IsReadOnly());
    EXPECT_EQ(fndb->Size(), before);
    char result[kMaxPath];
    EXPECT_TRUE(fndb->Search("plain.tex", kRoot, result));
    fndb->Release();
    EXPECT_EQ(FileSize(path), before);
    if (row.attribute) testing_support::SetReadOnly(path, false);
    ExpectNothingLeftOpen(path);
  }
}

TEST_F(FnameDb2, UsedSizeBeyondTheFileIsNotGrown) {
  std::string bytes = SmallDatabase(0);
  SetWordAt(&bytes, kFndbUsedSizeField, static_cast<std::uint32_t>(bytes.size()) + 1);
  std::string path = folder.Write("damaged.fndb", bytes);
  FileNameDatabase* fndb = FileNameDatabase::Create(path.c_str(), kRoot, false);
  ASSERT_NE(fndb, nullptr);
  EXPECT_TRUE(fndb->IsReadOnly());
  fndb->Release();
  EXPECT_EQ(FileSize(path), bytes.size());
}

TEST_F(FnameDb2, SecondCreateAttachesToTheMappingWithoutCheckingTheHeader) {
  std::string path = folder.Write("shared.fndb", SmallDatabase(8192));
  FileNameDatabase* first = FileNameDatabase::Create(path.c_str(), kRoot, false);
  ASSERT_NE(first, nullptr);
  // Only a handle that opened the file itself would see the broken signature.
  OverwriteFile(path, 0, "XXXX");
  FileNameDatabase* second = FileNameDatabase::Create(path.c_str(), "C:\\other", true);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(second->Size(), FileSize(path));
  EXPECT_TRUE(second->IsReadOnly());
  char result[kMaxPath];
  ASSERT_TRUE(second->Search("foo.sty", "C:\\other\\tex//", result));
  EXPECT_STREQ(result, "C:\\other\\tex\\generic\\foo.sty");
  first->Release();
  second->Release();

  capture.Clear();
  EXPECT_EQ(FileNameDatabase::Create(path.c_str(), kRoot, false), nullptr);
  EXPECT_TRUE(capture.HasText("'" + path + "' is not an fndb file"));
}

TEST_F(FnameDb2, AnotherProcessAttachesToTheMapping) {
  std::string path = folder.Write("shared.fndb", SmallDatabase(8192));
  std::string probe = testing_support::BuildDirectory() + "\\fndbprobe.exe";
  std::string command = "\"" + probe + "\" \"" + path + "\" C:\\texmf article.cls C:\\texmf\\tex//";
  FileNameDatabase* holder = FileNameDatabase::Create(path.c_str(), kRoot, false);
  ASSERT_NE(holder, nullptr);
  OverwriteFile(path, 0, "XXXX");

  testing_support::ProcessResult attached = RunProcess(command);
  ASSERT_TRUE(attached.started);
  EXPECT_EQ(attached.exitCode, 0u) << attached.out;
  EXPECT_NE(attached.out.find("found C:\\texmf\\tex\\latex\\article.cls"), std::string::npos)
      << attached.out;
  holder->Release();

  // With no holder left, the child opens the file itself and refuses it.
  ProcessOptions options;
  options.collectDebugOutput = true;
  testing_support::ProcessResult alone = RunProcess(command, options);
  ASSERT_TRUE(alone.started);
  EXPECT_EQ(alone.exitCode, 2u) << alone.out;
  EXPECT_NE(alone.out.find("create failed: Internal error."), std::string::npos) << alone.out;
  std::string line = "korvidlib: '" + path + "' is not an fndb file\n";
  EXPECT_NE(std::find(alone.debugLines.begin(), alone.debugLines.end(), line),
            alone.debugLines.end());
}

TEST_F(FnameDb2, PathsWithByteE0DoNotShareAMapping) {
  FndbTreeDirectory treeA{"", {"only-a.tex"}, {}};
  FndbTreeDirectory treeB{"", {"only-b.tex"}, {}};
  std::string pathA = folder.Write("x\xE0" "a.fndb", LayOutFndb(treeA, {}));
  std::string pathB = folder.Write("x\xE0" "b.fndb", LayOutFndb(treeB, {}));
  FileNameDatabase* a = FileNameDatabase::Create(pathA.c_str(), kRoot, false);
  FileNameDatabase* b = FileNameDatabase::Create(pathB.c_str(), kRoot, false);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  char result[kMaxPath];
  EXPECT_TRUE(a->Search("only-a.tex", kRoot, result));
  EXPECT_FALSE(a->Search("only-b.tex", kRoot, result));
  EXPECT_TRUE(b->Search("only-b.tex", kRoot, result));
  EXPECT_FALSE(b->Search("only-a.tex", kRoot, result));

  // A second Create of the same path opens the file itself.
  OverwriteFile(pathA, 0, "XXXX");
  EXPECT_EQ(FileNameDatabase::Create(pathA.c_str(), kRoot, false), nullptr);
  a->Release();
  b->Release();
}

TEST_F(FnameDb2, MappingThatMayNotBeWrittenIsAttachedForReading) {
  std::string path = folder.Write("ro-mapping.fndb", SmallDatabase(8192));
  // A mapping of the file whose security grants reading only, as a holder that opened the file
  // for reading leaves it.
  SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
  PSID everyone = nullptr;
  ASSERT_TRUE(
      AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone));
  alignas(DWORD) unsigned char aclBytes[256];
  PACL acl = reinterpret_cast<PACL>(aclBytes);
  ASSERT_TRUE(InitializeAcl(acl, sizeof aclBytes, ACL_REVISION));
  ASSERT_TRUE(AddAccessAllowedAce(acl, ACL_REVISION, SECTION_MAP_READ | SECTION_QUERY, everyone));
  SECURITY_DESCRIPTOR descriptor;
  ASSERT_TRUE(InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION));
  ASSERT_TRUE(SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE));
  SECURITY_ATTRIBUTES security{sizeof security, &descriptor, FALSE};
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  std::string name = FndbMappingName(path.c_str());
  HANDLE mapping = CreateFileMappingA(file, &security, PAGE_READONLY, 0, 0, name.c_str());
  ASSERT_NE(mapping, nullptr);
  ASSERT_EQ(OpenFileMappingA(FILE_MAP_WRITE, FALSE, name.c_str()), nullptr);

  FileNameDatabase* fndb = FileNameDatabase::Create(path.c_str(), kRoot, false);
  ASSERT_NE(fndb, nullptr);
  EXPECT_TRUE(fndb->IsReadOnly());
  char result[kMaxPath];
  EXPECT_TRUE(fndb->Search("foo.tex", "C:\\texmf\\tex", result));
  fndb->Release();
  CloseHandle(mapping);
  CloseHandle(file);
  FreeSid(everyone);
}

TEST_F(FnameDb2, ReadOnlyOpenSharesTheFileWithAWriter) {
  std::string path = folder.Write("written.fndb", SmallDatabase(8192));
  HANDLE writer = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                              nullptr);
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  FileNameDatabase* fndb = FileNameDatabase::Create(path.c_str(), kRoot, true);
  EXPECT_NE(fndb, nullptr);
  if (fndb != nullptr) fndb->Release();
  CloseHandle(writer);
}

// A file whose writing is refused is read, as an attached mapping is: here another handle shares
// reading only (sharing violation). Wine cannot refuse writing with access denied while the file
// looks writable: it turns a DACL that grants reading only into the read-only attribute.
TEST_F(FnameDb2, RefusedWritingOpensReadOnlyWithoutAReport) {
  std::string path = folder.Write("held.fndb", SmallDatabase(0));
  std::uint64_t before = FileSize(path);
  HANDLE holder =
      CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  HANDLE probe = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(probe, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  if (probe != INVALID_HANDLE_VALUE) CloseHandle(probe);

  capture.Clear();
  FileNameDatabase* fndb = FileNameDatabase::Create(path.c_str(), kRoot, false);
  EXPECT_EQ(GetLastErrorRecord().code, ErrorCode::NoError);
  EXPECT_EQ(capture.Texts(), std::vector<std::string>{});
  ASSERT_NE(fndb, nullptr);
  EXPECT_TRUE(fndb->IsReadOnly());
  EXPECT_EQ(fndb->Size(), before);  // a file that is only read keeps no free-space reserve
  char result[kMaxPath];
  EXPECT_TRUE(fndb->Search("plain.tex", kRoot, result));
  fndb->Release();
  CloseHandle(holder);
  EXPECT_EQ(FileSize(path), before);
}

// A section that reserves its pages without committing them, under the name an fndb's mapping
// would have: its pages cannot be read, so it is no fndb.
TEST_F(FnameDb2, ReservedMappingUnderTheNameIsNoFndb) {
  std::string path = folder.Write("squatted.fndb", SmallDatabase(8192));
  std::string name = FndbMappingName(path.c_str());
  HANDLE section = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE | SEC_RESERVE,
                                      0, 65536, name.c_str());
  ASSERT_NE(section, nullptr);
  for (bool frozen : {false, true}) {
    SCOPED_TRACE(frozen ? "frozen" : "writable");
    capture.Clear();
    EXPECT_EQ(FileNameDatabase::Create(path.c_str(), kRoot, frozen), nullptr);
    EXPECT_TRUE(capture.HasText("'" + path + "' is not an fndb file"));
    EXPECT_EQ(GetLastErrorRecord().code, ErrorCode::InternalError);
  }
  CloseHandle(section);
}

TEST_F(FnameDb2, ReleaseFreesTheHandleWithTheLastReference) {
  std::string path = folder.Write("count.fndb", SmallDatabase(8192));
  FileNameDatabase* fndb = FileNameDatabase::Create(path.c_str(), kRoot, false);
  ASSERT_NE(fndb, nullptr);
  EXPECT_EQ(fndb->ReferenceCount(), 1);
  EXPECT_EQ(fndb->AddReference(), 2);
  std::string pointer = PointerText(fndb);
  capture.Clear();
  EXPECT_EQ(fndb->Release(), 1);
  EXPECT_TRUE(capture.Texts().empty());
  EXPECT_EQ(fndb->Release(), 0);
  EXPECT_EQ(capture.Texts(), std::vector<std::string>{"unloading fndb " + pointer});
  ExpectNothingLeftOpen(path);
}

TEST_F(FnameDb2, SearchTracesAndResults) {
  std::string path = folder.Write("search.fndb", SmallDatabase(8192));
  FileNameDatabase* fndb = FileNameDatabase::Create(path.c_str(), kRoot, false);
  ASSERT_NE(fndb, nullptr);
  std::string pointer = PointerText(fndb);
  struct Row { const char* name; const char* entry; const char* key; const char* result; };
  const Row rows[] = {
      {"FOO.TEX", "C:\\texmf\\tex", "C:\\texmf\\tex\\FOO.TEX", "C:\\texmf\\tex\\FOO.TEX"},
      {"foo.tex", "c:/TEXMF/tex/", "c:/TEXMF/tex/foo.tex", "C:\\texmf\\tex/foo.tex"},
      {"plain.tex", "C:\\texmf", "C:\\texmf\\plain.tex", "C:\\texmf\\plain.tex"},
      {"foo.tex", "tex", "tex\\foo.tex", "C:\\texmf\\tex\\foo.tex"},
      {"latex/article.cls", "C:\\texmf\\tex", "C:\\texmf\\tex\\latex/article.cls",
       "C:\\texmf\\tex\\latex/article.cls"},
      {"article.cls", "C:\\texmf\\tex//", "C:\\texmf\\tex//article.cls",
       "C:\\texmf\\tex\\latex\\article.cls"},
      {"foo.sty", "C:\\texmf//", "C:\\texmf//foo.sty", "C:\\texmf\\tex\\generic\\foo.sty"},
      {"foo.tex", "C:\\texmf\\tex\\latex", "C:\\texmf\\tex\\latex\\foo.tex", nullptr},
      {"foo.tex", "D:\\other\\tex", "D:\\other\\tex\\foo.tex", nullptr},
      {"foo.tex", "C:\\texmfx\\tex", "C:\\texmfx\\tex\\foo.tex", nullptr},
      {"plain.tex", "", "\\plain.tex", nullptr},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.key);
    capture.Clear();
    char result[kMaxPath] = "untouched";
    EXPECT_EQ(fndb->Search(row.name, row.entry, result), row.result != nullptr);
    std::vector<std::string> expected = {std::string("searching '") + row.key + "' via fndb " +
                                         pointer};
    if (row.result != nullptr) {
      EXPECT_STREQ(result, row.result);
      expected.push_back(std::string("found '") + row.result + "' in fndb " + pointer);
    } else {
      EXPECT_STREQ(result, "untouched");
    }
    EXPECT_EQ(capture.Texts(), expected);
    EXPECT_EQ(GetLastErrorRecord().code, ErrorCode::NoError);
  }
  fndb->Release();
}

TEST_F(FnameDb2, RepeatedMissIsDismissedUntilTheDatabaseChanges) {
  // The second database lists the missing file and has another changeCount; it is written over
  // the first one in place, through the mapping.
  std::string first = SmallDatabase(8192, 1);
  FndbTreeDirectory tree = SmallTree();
  tree.subdirectories[0].files.push_back("late.tex");
  FndbLayoutOptions options;
  options.changeCount = 2;
  options.reserve = 0;
  std::string second = LayOutFndb(tree, options);
  ASSERT_LT(second.size(), first.size());
  second.resize(first.size(), '\0');

  std::string path = folder.Write("cache.fndb", first);
  FileNameDatabase* fndb = FileNameDatabase::Create(path.c_str(), kRoot, false);
  ASSERT_NE(fndb, nullptr);
  std::string pointer = PointerText(fndb);
  const std::string searching = "searching 'C:\\texmf\\tex\\late.tex' via fndb " + pointer;

  char result[kMaxPath] = "untouched";
  EXPECT_FALSE(fndb->Search("late.tex", "C:\\texmf\\tex", result));
  EXPECT_STREQ(result, "untouched");
  EXPECT_EQ(capture.Texts(), std::vector<std::string>{searching});

  capture.Clear();
  EXPECT_FALSE(fndb->Search("late.tex", "C:\\texmf\\tex", result));
  EXPECT_STREQ(result, "");
  EXPECT_EQ(capture.Texts(), (std::vector<std::string>{searching, "dismissing search"}));

  // The cache compares keys without regard to case.
  capture.Clear();
  std::strcpy(result, "untouched");
  EXPECT_FALSE(fndb->Search("LATE.TEX", "C:\\TEXMF\\TEX", result));
  EXPECT_STREQ(result, "");
  EXPECT_TRUE(capture.HasText("dismissing search"));

  std::string name = FndbMappingName(path.c_str());
  HANDLE mapping = OpenFileMappingA(FILE_MAP_WRITE, FALSE, name.c_str());
  ASSERT_NE(mapping, nullptr);
  void* view = MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, second.size());
  ASSERT_NE(view, nullptr);
  std::memcpy(view, second.data(), second.size());
  UnmapViewOfFile(view);
  CloseHandle(mapping);

  capture.Clear();
  EXPECT_TRUE(fndb->Search("late.tex", "C:\\texmf\\tex", result));
  EXPECT_STREQ(result, "C:\\texmf\\tex\\late.tex");
  const std::string found = "found 'C:\\texmf\\tex\\late.tex' in fndb " + pointer;
  EXPECT_EQ(capture.Texts(), (std::vector<std::string>{searching, found}));

  // The misses recorded before the change are gone: a second search finds the file again.
  capture.Clear();
  std::strcpy(result, "untouched");
  EXPECT_TRUE(fndb->Search("late.tex", "C:\\texmf\\tex", result));
  EXPECT_STREQ(result, "C:\\texmf\\tex\\late.tex");
  EXPECT_EQ(capture.Texts(), (std::vector<std::string>{searching, found}));
  fndb->Release();
}

TEST_F(FnameDb2, EveryRecordedMissIsDismissedAndNoOtherKey) {
  std::string path = folder.Write("many.fndb", SmallDatabase(8192));
  FileNameDatabase* fndb = FileNameDatabase::Create(path.c_str(), kRoot, true);
  ASSERT_NE(fndb, nullptr);
  SetTraceOptions("error");  // thousands of searches
  char result[kMaxPath];
  const int kKeys = 3000;  // the cache grows several times on the way
  auto name = [](int i) { return "miss" + std::to_string(i) + ".tex"; };
  for (int i = 0; i < kKeys; ++i) {
    std::strcpy(result, "untouched");
    ASSERT_FALSE(fndb->Search(name(i).c_str(), "C:\\texmf\\tex", result));
    ASSERT_STREQ(result, "untouched") << i;
  }
  int dismissed = 0;
  for (int i = 0; i < kKeys; ++i) {
    std::strcpy(result, "untouched");
    fndb->Search(name(i).c_str(), i % 2 ? "C:\\TEXMF\\TEX" : "c:\\texmf\\tex", result);
    dismissed += result[0] == '\0';
  }
  EXPECT_EQ(dismissed, kKeys);
  // Near misses of recorded keys are searched: another entry, a longer name, a found file.
  for (const char* other : {"miss1.tex", "miss10.tex"}) {
    std::strcpy(result, "untouched");
    EXPECT_FALSE(fndb->Search(other, "C:\\texmf", result));
    EXPECT_STREQ(result, "untouched");
  }
  std::strcpy(result, "untouched");
  EXPECT_FALSE(fndb->Search("miss1.texx", "C:\\texmf\\tex", result));
  EXPECT_STREQ(result, "untouched");
  EXPECT_TRUE(fndb->Search("foo.tex", "C:\\texmf\\tex", result));
  fndb->Release();
}

TEST_F(FnameDb2, AttachedHandleReadsNoFurtherThanTheMapping) {
  std::string path = folder.Write("extended.fndb", SmallDatabase(8192));
  std::uint64_t mapped = FileSize(path);
  FileNameDatabase* holder = FileNameDatabase::Create(path.c_str(), kRoot, false);
  ASSERT_NE(holder, nullptr);
  ASSERT_EQ(holder->Size(), mapped);
  // The file grows on disk; the mapping keeps its size.
  OverwriteFile(path, static_cast<std::uint32_t>(mapped), std::string(100000, 'x'));
  ASSERT_EQ(FileSize(path), mapped + 100000);
  FileNameDatabase* attached = FileNameDatabase::Create(path.c_str(), kRoot, false);
  ASSERT_NE(attached, nullptr);
  EXPECT_GE(attached->Size(), mapped);
  EXPECT_LT(attached->Size(), mapped + 100000);
  char result[kMaxPath];
  EXPECT_TRUE(attached->Search("article.cls", "C:\\texmf\\tex//", result));
  attached->Release();
  holder->Release();
}

TEST_F(FnameDb2, DamagedFilesFailCreateOrAnswer) {
  FndbLayoutOptions options;
  options.namesPerRecord = 2;
  options.reserve = 0;
  const std::string good = LayOutFndb(SmallTree(), options);
  const std::uint32_t size = static_cast<std::uint32_t>(good.size());
  std::vector<std::string> variants;
  for (std::uint32_t length = 0; length < size; length += 5) {
    variants.push_back(good.substr(0, length));
  }
  std::uint32_t state = 12345;
  for (int i = 0; i < 200; ++i) {
    state = state * 1103515245u + 12345u;
    std::string bytes = good;
    std::uint32_t at = (state >> 8) % (size / 4) * 4;
    const std::uint32_t values[] = {0, size, 0xFFFFFFFF, 40, at, size - 1};
    SetWordAt(&bytes, at, values[(state >> 4) % 6]);
    variants.push_back(bytes);
  }
  std::string path = folder.Join("mutant.fndb");
  int opened = 0;
  int refused = 0;
  for (const std::string& bytes : variants) {
    testing_support::WriteFileBytes(path, bytes);
    FileNameDatabase* fndb = FileNameDatabase::Create(path.c_str(), kRoot, true);
    if (fndb == nullptr) {
      ++refused;
      EXPECT_NE(GetLastErrorRecord().code, ErrorCode::NoError);
      continue;
    }
    ++opened;
    char result[kMaxPath];
    fndb->Search("article.cls", "C:\\texmf\\tex//", result);
    fndb->Search("missing.tex", "C:\\texmf//", result);
    fndb->Search("foo.tex", "C:\\texmf\\tex", result);
    fndb->Release();
  }
  EXPECT_GE(refused, static_cast<int>(kFndbHeaderSize / 5));  // every cut inside the header
  EXPECT_GT(opened, 100);
}
