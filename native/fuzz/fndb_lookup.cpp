// fndb lookups on arbitrary bytes: no read outside the bytes (they lie in a block of exactly their
// size), on a well-formed database the answer of the simple lookup on its tree, and wherever a
// name index can be built over the bytes, the walk's answer from the index too, also through the
// lookups a handle keeps (the key split into entry and name after each of its separators).
#include "check.h"
#include "fndb_reference.h"
#include "fndbindex.h"
#include "fndblookups.h"
#include "fndbview.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

using namespace korvid;

namespace {

constexpr char kRoot[] = "C:\\texmf";

void Lookup(const FndbView& view, const FndbIndex* index,
            const std::optional<fuzzing::RefDirectory>& tree, std::string_view key) {
  char result[kFndbResultSize];
  std::memset(result, 'x', sizeof result);
  bool found = view.Search(key, result);
  if (found) FUZZ_CHECK(std::memchr(result, '\0', sizeof result) != nullptr);
  if (index != nullptr) {
    char indexed[kFndbResultSize];
    std::memset(indexed, 'x', sizeof indexed);
    FUZZ_CHECK(view.Search(key, indexed, index) == found);
    if (found) FUZZ_CHECK(std::strcmp(indexed, result) == 0);
  }
  if (!tree) return;
  fuzzing::RefLookup reference(*tree, kRoot);
  std::optional<std::string> expected = reference.Search(key);
  if (reference.exhausted) return;
  FUZZ_CHECK(found == expected.has_value());
  if (found) FUZZ_CHECK(*expected == result);
}

// The key as a handle forms it, entry and separator first, then the name: whatever the lookups
// answer without a walk is the walk's answer.
void HandleLookup(const FndbView& view, const std::string& key) {
  if (key.find('\0') != std::string::npos) return;  // a handle's keys are texts
  FndbLookups lookups(kRoot);
  lookups.BuildIndexNow(view);
  for (std::size_t i = 0; i < key.size(); ++i) {
    if (key[i] != '\\' && key[i] != '/') continue;
    char result[kFndbResultSize];
    std::shared_ptr<const FndbIndex> index;
    FndbLookups::Outcome outcome = lookups.Begin(view, key, i + 1, result, &index);
    if (outcome == FndbLookups::Outcome::Walk) continue;
    char walked[kFndbResultSize];
    std::optional<std::string_view> relative = lookups.RelativeKey(key);
    bool found = relative && view.Search(*relative, walked);
    FUZZ_CHECK((outcome == FndbLookups::Outcome::Found) == found);
    if (found) FUZZ_CHECK(std::strcmp(result, walked) == 0);
  }
}

}  // namespace

// Input: a byte k, a key of k bytes (fewer when the input ends), then the database.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  std::size_t keyLength = std::min<std::size_t>(data[0], size - 1);
  std::string key(reinterpret_cast<const char*>(data + 1), keyLength);
  std::size_t databaseSize = size - 1 - keyLength;
  auto database = std::make_unique<unsigned char[]>(databaseSize);
  std::memcpy(database.get(), data + 1 + keyLength, databaseSize);

  FndbView view(database.get(), static_cast<std::uint32_t>(databaseSize), kRoot);
  CheckFndbHeader(database.get(), static_cast<std::uint32_t>(databaseSize));
  std::optional<fuzzing::RefDirectory> tree = fuzzing::StrictReader(std::string_view(
      reinterpret_cast<const char*>(database.get()), databaseSize)).Read();

  std::unique_ptr<FndbIndex> index = FndbIndex::Build(view);
  // The key as given, and its counterpart: without its first "//", or with one in front.
  Lookup(view, index.get(), tree, key);
  std::size_t split = key.find("//");
  std::string other = split == std::string::npos ? "//" + key : key.substr(0, split) + "\\" +
                                                                    key.substr(split + 2);
  Lookup(view, index.get(), tree, other);
  HandleLookup(view, key);
  HandleLookup(view, std::string(kRoot) + "\\" + key);
  view.List([](std::string_view, bool) {});
  return 0;
}
