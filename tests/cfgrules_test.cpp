// The ini rules over a stream, apart from the platform: which values go to the expander, and how
// its results and failures end the read.
#include "core.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

using namespace korvid;

namespace {

// Wraps each value in "<" and ">" and records it; fails on the value "%FAIL%" (with the result
// the row gives), and in Prepare when asked to.
class RecordingExpander : public CfgExpander {
 public:
  int failure = -1;
  bool prepareFails = false;
  std::vector<std::string> seen;
  std::string out;

  bool Prepare() override { return !prepareFails; }
  const char* Expand(const char* value, int* result) override {
    seen.push_back(value);
    if (std::string(value) == "%FAIL%") {
      *result = failure;
      return nullptr;
    }
    out = "<" + std::string(value) + ">";
    return out.c_str();
  }
};

// The text in a temporary stream at its start; closed by the caller.
std::FILE* StreamOf(const std::string& text) {
  std::FILE* stream = std::tmpfile();
  if (stream == nullptr) return nullptr;
  std::fwrite(text.data(), 1, text.size(), stream);
  std::rewind(stream);
  return stream;
}

struct Value {
  const char* section;
  const char* key;
  const char* value;  // null: absent
};

TEST(CfgRules, ExpanderSeesOnlyPercentValuesAndItsFailureStopsTheRead) {
  struct Row {
    const char* text;
    bool prepareFails;
    int failure;
    int result;
    std::vector<std::string> expanded;
    std::vector<Value> values;
  };
  const Row rows[] = {
      {"a=1\nb=%X%\n[S]\nc = x%y ; z\n", false, -1, 0, {"%X%", "x%y"},
       {{"def", "a", "1"}, {"def", "b", "<%X%>"}, {"s", "C", "<x%y>"}}},
      {"a=1\nb=%FAIL%\nc=2\n", false, -1, -1, {"%FAIL%"},
       {{"def", "a", "1"}, {"def", "b", nullptr}, {"def", "c", nullptr}}},
      {"a=%FAIL%\n", false, -2, -2, {"%FAIL%"}, {{"def", "a", nullptr}}},
      {"a=1\n", true, -1, -2, {}, {{"def", "a", nullptr}}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    CfgPtr cfg(CreateCfg());
    cfg->defaultSection = "def";
    RecordingExpander expander;
    expander.prepareFails = row.prepareFails;
    expander.failure = row.failure;
    std::FILE* stream = StreamOf(row.text);
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(ReadCfgStream(cfg.get(), true, stream, expander), row.result);
    std::fclose(stream);
    EXPECT_EQ(expander.seen, row.expanded);
    for (const Value& v : row.values) {
      SCOPED_TRACE(std::string(v.section) + "/" + v.key);
      const char* got = GetCfgValue(cfg.get(), v.section, v.key);
      if (v.value == nullptr) {
        EXPECT_EQ(got, nullptr);
      } else {
        ASSERT_NE(got, nullptr);
        EXPECT_STREQ(got, v.value);
      }
    }
  }
}

}  // namespace
