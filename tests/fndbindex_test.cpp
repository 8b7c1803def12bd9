// The file-name index of an fndb: the same answers as the "//" walk, and none over damaged trees.
#include "fndbbuilder.h"
#include "fndbbytes.h"
#include "fndbindex.h"
#include "fndbview.h"
#include "internal.h"
#include "library_fixture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

using namespace korvid;

namespace {

// A random tree whose names repeat across directories in varying case, with some directory names
// long enough that results below them do not fit a path.
FndbTreeDirectory RandomTree(std::mt19937& random, int depth, std::vector<std::string>* paths,
                             const std::string& path) {
  static const char* const kNames[] = {"a.tex", "B.sty", "foo.pl", "x", "README", "z.cls"};
  FndbTreeDirectory directory;
  paths->push_back(path);
  for (const char* name : kNames) {
    if (random() % 3 == 0) {
      std::string variant = name;
      if (random() % 2 == 0) variant[0] = static_cast<char>(std::toupper(variant[0]));
      directory.files.push_back(variant);
    }
  }
  int children = depth > 0 ? static_cast<int>(random() % 4) : 0;
  for (int i = 0; i < children; ++i) {
    std::string name = "d" + std::to_string(i);
    if (random() % 7 == 0) name += std::string(90, 'L');
    FndbTreeDirectory child =
        RandomTree(random, depth - 1, paths, path.empty() ? name : path + "\\" + name);
    child.name = name;
    directory.subdirectories.push_back(std::move(child));
  }
  return directory;
}

}  // namespace

// Every directory, every name (and one nobody lists), walked and through the index.
TEST(FndbIndex, AnswersAsTheWalkDoes) {
  std::mt19937 random(7);
  for (int round = 0; round < 12; ++round) {
    SCOPED_TRACE(round);
    std::vector<std::string> paths;
    FndbTreeDirectory tree = RandomTree(random, 5, &paths, "");
    FndbLayoutOptions options;
    options.namesPerRecord = round % 3 == 0 ? 2 : 0;  // continuation records too
    std::string bytes = LayOutFndb(tree, options);
    FndbView view(bytes.data(), static_cast<std::uint32_t>(bytes.size()), "C:\\texmf");
    std::unique_ptr<FndbIndex> index = FndbIndex::Build(view);
    ASSERT_NE(index, nullptr);
    EXPECT_EQ(index->Directories(), paths.size());
    for (const std::string& path : paths) {
      for (const char* name : {"A.TEX", "b.sty", "foo.pl", "X", "readme", "z.cls", "none.tex"}) {
        std::string key = path + "//" + name;
        char walked[kFndbResultSize] = "";
        char indexed[kFndbResultSize] = "";
        bool byWalk = view.Search(key, walked);
        bool byIndex = view.Search(key, indexed, index.get());
        ASSERT_EQ(byIndex, byWalk) << key;
        ASSERT_STREQ(indexed, walked) << key;
      }
    }
  }
}

TEST(FndbIndex, AnswersOnlyPlainNames) {
  for (const char* remainder : {"", "a/b.tex", "a\\b.tex", "a//b.tex"}) {
    EXPECT_FALSE(FndbIndex::Answers(remainder)) << remainder;
  }
  EXPECT_TRUE(FndbIndex::Answers("b.tex"));
}

// A record reached twice (two parents, or a subdirectory that is its own ancestor) is no tree.
TEST(FndbIndex, NoneOverRecordsThatLinkBack) {
  FndbTreeDirectory tree{"", {"a.tex"}, {{"sub", {"b.tex"}, {}}, {"two", {}, {}}}};
  std::string bytes = LayOutFndb(tree, {});
  FndbView good(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
  ASSERT_NE(FndbIndex::Build(good), nullptr);
  std::uint32_t root = good.RootDirectory();
  std::uint32_t sub = good.FindSubDirectory(root, "sub");
  std::uint32_t two = good.FindSubDirectory(root, "two");
  // The root's subdirectory records follow its two subdirectory names.
  std::uint32_t records = root + 24 + 4 * 1 + 4 * 2;
  ASSERT_EQ(testing_support::WordAt(bytes, records + 4), two);
  for (std::uint32_t target : {sub, root}) {
    std::string damaged = bytes;
    testing_support::SetWordAt(&damaged, records + 4, target);
    FndbView view(damaged.data(), static_cast<std::uint32_t>(damaged.size()));
    EXPECT_EQ(FndbIndex::Build(view), nullptr) << target;
  }
}

// Through the handle: once searches have walked enough, misses and hits keep their answers, and
// a database changed in place (its change count moved) is answered from its new content.
using FndbIndexHandle = testing_support::LibraryTest;

TEST_F(FndbIndexHandle, SearchesKeepTheirAnswersOnceIndexed) {
  std::string root = folder.MakeDirectory("r");
  FndbTreeDirectory tree{"", {}, {}};
  for (int i = 0; i < 40; ++i) {
    FndbTreeDirectory directory{"d" + std::to_string(i), {"f" + std::to_string(i) + ".tex"}, {}};
    for (int j = 0; j < 20; ++j) directory.subdirectories.push_back({"s" + std::to_string(j), {"x"}, {}});
    tree.subdirectories.push_back(directory);
  }
  std::string path = folder.Join("r\\texmf.fndb");
  std::string bytes = LayOutFndb(tree, {});
  testing_support::WriteFileBytes(path, bytes);
  Start(root);
  FileNameDatabase* fndb = FileNameDatabase::Create(path.c_str(), root.c_str(), false);
  ASSERT_NE(fndb, nullptr);
  const std::string all = root + "//";
  char result[kMaxPath];
  for (int i = 0; i < 200; ++i) {  // misses of new names: walks first, then the index
    std::string name = "miss" + std::to_string(i);
    ASSERT_FALSE(fndb->Search(name.c_str(), all.c_str(), result)) << i;
    ASSERT_TRUE(fndb->Search("F39.tex", all.c_str(), result)) << i;
    ASSERT_EQ(std::string(result), root + "\\d39\\F39.tex");
  }
  EXPECT_TRUE(fndb->Search("X", (root + "\\d7//").c_str(), result));
  EXPECT_EQ(std::string(result), root + "\\d7\\s0\\X");

  // Another writer renames f39.tex to g39.tex in place and moves the change count.
  HANDLE mapping = OpenFileMappingA(FILE_MAP_WRITE, FALSE, FndbMappingName(path.c_str()).c_str());
  ASSERT_NE(mapping, nullptr);
  auto* shared = static_cast<char*>(MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, bytes.size()));
  ASSERT_NE(shared, nullptr);
  shared[bytes.find("f39.tex")] = 'g';
  std::uint32_t changeCount = testing_support::WordAt(bytes, kFndbChangeCountField) + 1;
  std::memcpy(shared + kFndbChangeCountField, &changeCount, 4);
  UnmapViewOfFile(shared);
  CloseHandle(mapping);
  EXPECT_FALSE(fndb->Search("f39.tex", all.c_str(), result));
  EXPECT_TRUE(fndb->Search("g39.tex", all.c_str(), result));
  EXPECT_EQ(std::string(result), root + "\\d39\\g39.tex");
  fndb->Release();
}
