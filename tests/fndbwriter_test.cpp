// Updates of an fndb in place on real files: every holder sees them at its next search (a holder
// that made the named mapping read-only too), what is never written, a full database (grown only
// when nobody holds it), the writers' mutex, and a writer ended half-way in a process of its own.
#include "fndbwriter.h"

#include <gtest/gtest.h>

#include <cctype>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "fndbbuilder.h"
#include "fndbbytes.h"
#include "fndbview.h"
#include "internal.h"
#include "testing.h"

using namespace korvid;
using testing_support::ReadFileBytes;
using testing_support::RunProcess;
using testing_support::SetWordAt;
using testing_support::TestFolder;
using testing_support::TraceCapture;
using testing_support::WordAt;

namespace {

constexpr char kRoot[] = "C:\\texmf";
using Kind = FndbChange::Kind;

// root: plain.tex; tex: foo.tex, latex\article.cls, generic\foo.sty
std::string Database(std::uint32_t reserve, bool frozen = false) {
  FndbTreeDirectory latex{"latex", {"article.cls"}, {}};
  FndbTreeDirectory generic{"generic", {"foo.sty"}, {}};
  FndbTreeDirectory tex{"tex", {"foo.tex"}, {latex, generic}};
  FndbLayoutOptions options;
  options.reserve = reserve;
  options.frozen = frozen;
  return LayOutFndb(FndbTreeDirectory{"", {"plain.tex"}, {tex}}, options);
}

bool Lists(const std::string& bytes, const std::string& path) {
  FndbView view(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
  return view.FileExistsInDirectory(view.RootDirectory(), path);
}

// The search's result, or "" when it finds nothing.
std::string Found(FileNameDatabase* fndb, const char* name, const std::string& entry) {
  char result[kMaxPath] = "";
  return fndb->Search(name, entry.c_str(), result) ? result : "";
}

class FndbWriterTest : public testing::Test {
 protected:
  void SetUp() override {
    InitializeLibrary();
    SetTraceOptions("error,fndb");
  }
  void TearDown() override { UninitializeLibrary(); }

  FndbWriteResult Update(const std::string& path, const std::vector<FndbChange>& changes,
                         const FndbWriterOptions& options = {}) {
    FndbWriteResult result;
    EXPECT_TRUE(UpdateFndb(path, changes, options, &result)) << result.error;
    return result;
  }

  TestFolder folder;
  TraceCapture capture;
};

}  // namespace

// The first holder makes the named mapping read-only, as the launcher does for an install root;
// the writer's stores reach it, another holder in the same process and one in another process.
TEST_F(FndbWriterTest, EveryHolderSeesAnUpdateAtItsNextSearch) {
  std::string path = folder.Write("db.fndb", Database(8192));
  FileNameDatabase* holder = FileNameDatabase::Create(path.c_str(), kRoot, true);
  ASSERT_NE(holder, nullptr);
  FileNameDatabase* second = FileNameDatabase::Create(path.c_str(), kRoot, false);
  ASSERT_NE(second, nullptr);
  EXPECT_TRUE(second->IsReadOnly());  // attached to the read-only mapping
  struct Row {
    const char* label;
    FndbChange change;
    const char* name;
    std::string entry;
    std::string before;
    std::string after;
  };
  const Row rows[] = {
      {"a file added", {Kind::AddFile, "tex\\late.tex", {}}, "late.tex", "C:\\texmf\\tex", "",
       "C:\\texmf\\tex\\late.tex"},
      {"the file removed", {Kind::RemoveFile, "tex\\late.tex", {}}, "late.tex", "C:\\texmf\\tex",
       "C:\\texmf\\tex\\late.tex", ""},
      {"a tree added with missing parents",
       {Kind::AddTree, "fonts\\tfm\\public", {"", {"cmr10.tfm"}, {}}}, "cmr10.tfm",
       "C:\\texmf//", "", "C:\\texmf\\fonts\\tfm\\public\\cmr10.tfm"},
      {"a tree removed", {Kind::RemoveTree, "tex\\latex", {}}, "article.cls", "C:\\texmf\\tex//",
       "C:\\texmf\\tex\\latex\\article.cls", ""},
      {"a file of the root removed (its first record replaced)",
       {Kind::RemoveFile, "plain.tex", {}}, "plain.tex", "C:\\texmf", "C:\\texmf\\plain.tex", ""},
  };
  std::uint32_t count = 1;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    // Searched twice: a miss is then remembered, and must be forgotten after the update.
    for (FileNameDatabase* fndb : {holder, second, holder}) {
      EXPECT_EQ(Found(fndb, row.name, row.entry), row.before);
    }
    FndbWriteResult result = Update(path, {row.change});
    EXPECT_TRUE(result.changed);
    EXPECT_EQ(result.changeCount, ++count);
    EXPECT_EQ(WordAt(ReadFileBytes(path), kFndbChangeCountField), count);
    capture.Clear();
    for (FileNameDatabase* fndb : {holder, second}) {
      EXPECT_EQ(Found(fndb, row.name, row.entry), row.after);
    }
    EXPECT_FALSE(capture.HasText("dismissing search"));
    // A process started now attaches to the holders' mapping and sees the same.
    testing_support::ProcessResult probe =
        RunProcess("\"" + testing_support::BuildDirectory() + "\\fndbprobe.exe\" \"" + path +
                   "\" C:\\texmf " + row.name + " " + row.entry);
    ASSERT_TRUE(probe.started);
    EXPECT_EQ(probe.exitCode, row.after.empty() ? 1u : 0u) << probe.out;
  }
  holder->Release();
  second->Release();
}

TEST_F(FndbWriterTest, WhatIsNeverWrittenIsRefusedAndLeftAsItIs) {
  struct Row {
    const char* label;
    std::optional<std::string> bytes;  // none: no file
    bool readOnly;
    FndbWriteFailure failure;
    const char* message;  // after the quoted path
  };
  std::string beyond = Database(64);
  SetWordAt(&beyond, kFndbUsedSizeField, static_cast<std::uint32_t>(beyond.size()) + 1);
  const Row rows[] = {
      {"the frozen flag", Database(8192, true), false, FndbWriteFailure::Frozen,
       " is frozen: it is never written"},
      {"the read-only attribute", Database(8192), true, FndbWriteFailure::ReadOnly,
       " is read-only: it is never written"},
      {"not an fndb", "plain text that is long enough for a header", false,
       FndbWriteFailure::NotFndb, " is not an fndb file of this version"},
      {"usedSize past the end", beyond, false, FndbWriteFailure::Damaged,
       " is damaged: its records cannot be updated"},
      {"no file", std::nullopt, false, FndbWriteFailure::Missing, " does not exist"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    std::string path =
        row.bytes ? folder.Write("refused.fndb", *row.bytes) : folder.Join("missing.fndb");
    if (row.readOnly) testing_support::SetReadOnly(path, true);
    FndbWriteResult result;
    EXPECT_FALSE(UpdateFndb(path, {{Kind::AddFile, "tex\\x.tex", {}}}, {}, &result));
    EXPECT_EQ(result.failure, row.failure);
    EXPECT_EQ(result.error, "'" + path + "'" + row.message);
    EXPECT_FALSE(result.changed);
    if (row.bytes) {
      EXPECT_EQ(ReadFileBytes(path), *row.bytes);
    } else {
      EXPECT_FALSE(testing_support::Exists(path));
    }
    if (row.readOnly) testing_support::SetReadOnly(path, false);
  }
}

// An update that does not fit: refused while a process holds the database, nothing changed; the
// database grows (a larger copy moved over it) once nobody does.
TEST_F(FndbWriterTest, AFullDatabaseGrowsOnlyWhenNobodyHoldsIt) {
  const std::string bytes = Database(100);
  std::string path = folder.Write("full.fndb", bytes);
  FndbTreeDirectory content;
  for (int i = 0; i < 20; ++i)
    content.files.push_back("file-with-a-long-name-" + std::to_string(i));
  const std::vector<FndbChange> changes = {{Kind::AddTree, "big", content}};

  FileNameDatabase* holder = FileNameDatabase::Create(path.c_str(), kRoot, true);
  ASSERT_NE(holder, nullptr);
  FndbWriteResult result;
  EXPECT_FALSE(UpdateFndb(path, changes, {}, &result));
  EXPECT_EQ(result.failure, FndbWriteFailure::Full);
  EXPECT_EQ(result.freeBytes, 100u);
  EXPECT_GT(result.needed, 300u);
  EXPECT_EQ(result.error, "'" + path + "' is in use and full: the update needs " +
                              std::to_string(result.needed) +
                              " bytes more than the 100 it has free; nothing was changed");
  EXPECT_EQ(ReadFileBytes(path), bytes);
  EXPECT_EQ(Found(holder, "plain.tex", kRoot), "C:\\texmf\\plain.tex");
  holder->Release();

  result = Update(path, changes);
  EXPECT_TRUE(result.grown);
  std::string grown = ReadFileBytes(path);
  EXPECT_EQ(result.size, grown.size());
  EXPECT_EQ(grown.size(), WordAt(grown, kFndbUsedSizeField) + kFndbBuildReserve);
  EXPECT_EQ(WordAt(grown, kFndbChangeCountField), 2u);
  EXPECT_TRUE(Lists(grown, "big\\file-with-a-long-name-19"));
  EXPECT_TRUE(Lists(grown, "tex\\latex\\article.cls"));
  // The writer goes on with the new file.
  FndbWriter writer;
  ASSERT_TRUE(writer.Open(path, {}, &result));
  ASSERT_TRUE(writer.Update({{Kind::AddFile, "after.tex", {}}}, &result)) << result.error;
  EXPECT_FALSE(result.grown);
  EXPECT_TRUE(Lists(ReadFileBytes(path), "after.tex"));
}

// Writers of one file wait for each other whatever path they were given; a writer that does not
// get its turn within its wait gives up with nothing changed.
TEST_F(FndbWriterTest, WritersWaitForEachOtherAndGiveUpAfterTheirWait) {
  std::string path = folder.Write("shared.fndb", Database(8192));
  std::string otherSpelling = path;
  for (char& c : otherSpelling) c = c == '\\' ? '/' : static_cast<char>(std::toupper(c));
  KernelHandle inside(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  KernelHandle go(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  FndbWriterOptions slow;
  slow.afterStore = [&](std::size_t number, FndbStoreRole) {
    if (number == 1) {
      SetEvent(inside.get());
      WaitForSingleObject(go.get(), INFINITE);
    }
    return true;
  };
  std::thread first([&] { Update(path, {{Kind::AddFile, "first.tex", {}}}, slow); });
  ASSERT_EQ(WaitForSingleObject(inside.get(), INFINITE), WAIT_OBJECT_0);
  FndbWriterOptions impatient;
  impatient.waitMilliseconds = 200;
  FndbWriteResult result;
  EXPECT_FALSE(UpdateFndb(otherSpelling, {{Kind::AddFile, "second.tex", {}}}, impatient, &result));
  EXPECT_EQ(result.failure, FndbWriteFailure::Busy);
  EXPECT_EQ(result.error, "'" + otherSpelling +
                              "' is being changed by another program: gave up after 0.2 seconds");
  SetEvent(go.get());
  first.join();
  Update(otherSpelling, {{Kind::AddFile, "second.tex", {}}});
  std::string bytes = ReadFileBytes(path);
  EXPECT_TRUE(Lists(bytes, "first.tex"));
  EXPECT_TRUE(Lists(bytes, "second.tex"));
  EXPECT_EQ(WordAt(bytes, kFndbChangeCountField), 3u);
}

// A writer in a process of its own ends right after one of its stores, owning the writers' mutex.
// The file lists the old content before the publishing store and the new one from it on; the
// change count stays. A holder that remembered a miss of the added file keeps dismissing it (the
// count did not move) until the next writer, which finds the mark of an update under way and
// moves the count even with nothing to change.
TEST_F(FndbWriterTest, AWriterEndedHalfWayLeavesOldOrNewAndTheNextOneRepairs) {
  struct Row {
    const char* stop;
    std::uint32_t exitCode;
    bool listed;
  };
  const Row rows[] = {
      {"1", 7, false},  // after the mark of an update under way
      {"2", 7, false},  // after the fill
      {"3", 7, false},  // after usedSize
      {"publish", 7, true}, {"never", 0, true},
  };
  const std::string late = "C:\\texmf\\tex\\late.tex";
  for (const Row& row : rows) {
    SCOPED_TRACE(row.stop);
    const std::string before = Database(8192);
    std::string path = folder.Write("ended.fndb", before);
    FileNameDatabase* holder = FileNameDatabase::Create(path.c_str(), kRoot, true);
    ASSERT_NE(holder, nullptr);
    for (int i = 0; i < 2; ++i) EXPECT_EQ(Found(holder, "late.tex", "C:\\texmf\\tex"), "");

    testing_support::ProcessResult writer =
        RunProcess("\"" + testing_support::BuildDirectory() + "\\fndbwriter.exe\" \"" + path +
                   "\" " + row.stop + " add tex\\late.tex");
    ASSERT_TRUE(writer.started);
    EXPECT_EQ(writer.exitCode, row.exitCode) << writer.out;
    bool ended = row.exitCode == 7;
    std::string bytes = ReadFileBytes(path);
    EXPECT_EQ(Lists(bytes, "tex\\late.tex"), row.listed);
    EXPECT_EQ(WordAt(bytes, kFndbChangeCountField), ended ? 1u : 2u);
    // Below the old usedSize only the header's words changed.
    const std::uint32_t used = WordAt(before, kFndbUsedSizeField);
    EXPECT_EQ(bytes.compare(kFndbHeaderSize, used - kFndbHeaderSize, before, kFndbHeaderSize,
                            used - kFndbHeaderSize) == 0,
              !row.listed);
    EXPECT_EQ(WordAt(bytes, kFndbUnderwayField), ended ? kFndbUnderway : 0u);
    capture.Clear();
    // The remembered miss: dismissed while the count stays; another key walks the new listing.
    EXPECT_EQ(Found(holder, "late.tex", "C:\\texmf\\tex"), ended ? "" : late);
    EXPECT_EQ(capture.HasText("dismissing search"), ended);
    EXPECT_EQ(Found(holder, "late.tex", "C:\\texmf\\tex//"), row.listed ? late : "");

    FndbWriteResult next = Update(path, {});
    EXPECT_EQ(next.repaired, ended);
    EXPECT_EQ(next.changed, ended);
    EXPECT_EQ(WordAt(ReadFileBytes(path), kFndbChangeCountField), 2u);
    EXPECT_EQ(Found(holder, "late.tex", "C:\\texmf\\tex"), row.listed ? late : "");
    holder->Release();
  }
}
