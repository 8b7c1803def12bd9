// Trace streams: registration, the enable string, the 4096-byte cut, and lock order under load.
#include "internal.h"
#include "testing.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

using namespace korvid;
using testing_support::TraceCapture;

namespace {

class Traces : public ::testing::Test {
 protected:
  void SetUp() override { InitializeLibrary(); }
  void TearDown() override { UninitializeLibrary(); }
  TraceCapture capture;
};

}  // namespace

TEST_F(Traces, StandardStreamsInOrderOnlyErrorEnabled) {
  const int ids[] = {traceStreams.access,   traceStreams.config,   traceStreams.error,
                     traceStreams.filesearch, traceStreams.fndb,   traceStreams.fontinfo,
                     traceStreams.open,     traceStreams.process,  traceStreams.tempfile,
                     traceStreams.time};
  for (int i = 0; i < 10; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(ids[i], i);
    EXPECT_EQ(IsTraceEnabled(ids[i]), ids[i] == traceStreams.error);
  }
  EXPECT_EQ(RegisterTraceStream("fndb"), traceStreams.fndb);
}

TEST_F(Traces, SetOptionsComparesExactly) {
  SetTraceOptions("error,fndb");
  EXPECT_TRUE(IsTraceEnabled(traceStreams.error));
  EXPECT_TRUE(IsTraceEnabled(traceStreams.fndb));
  EXPECT_FALSE(IsTraceEnabled(traceStreams.config));
  SetTraceOptions("Error");
  EXPECT_FALSE(IsTraceEnabled(traceStreams.error));
  SetTraceOptions(" ;access\t\nconfig,, ");
  EXPECT_TRUE(IsTraceEnabled(traceStreams.access));
  EXPECT_TRUE(IsTraceEnabled(traceStreams.config));
  SetTraceOptions(nullptr);
  EXPECT_TRUE(IsTraceEnabled(traceStreams.error));
  EXPECT_FALSE(IsTraceEnabled(traceStreams.config));
}

TEST_F(Traces, RegistrationMatchesTheEnableStringIgnoringCase) {
  SetTraceOptions("foo;bar");
  int foo = RegisterTraceStream("FOO");
  int other = RegisterTraceStream("baz");
  EXPECT_TRUE(IsTraceEnabled(foo));
  EXPECT_FALSE(IsTraceEnabled(other));
  EXPECT_EQ(RegisterTraceStream("FOO"), foo);
  EXPECT_NE(RegisterTraceStream("foo"), foo);  // names are told apart by case
}

TEST_F(Traces, TableHoldsThirtyTwoStreams) {
  std::vector<int> ids;
  for (int i = 10; i < 32; ++i) ids.push_back(RegisterTraceStream(("s" + std::to_string(i)).c_str()));
  EXPECT_EQ(ids.back(), 31);
  EXPECT_TRUE(capture.Lines().empty());
  EXPECT_EQ(RegisterTraceStream("one too many"), -1);
  EXPECT_EQ(capture.Texts(), std::vector<std::string>{"too many trace streams"});
  EXPECT_EQ(RegisterTraceStream("s31"), 31);
}

TEST_F(Traces, LinesHaveThePrefixAndANewline) {
  Trace(traceStreams.error, "value %d of '%s'", 42, "x");
  Trace(traceStreams.fndb, "not enabled");
  Trace(-1, "no stream");
  EXPECT_EQ(capture.Lines(), std::vector<std::string>{"korvidlib: value 42 of 'x'\n"});
}

TEST_F(Traces, LongTextsAreCut) {
  struct Row { std::size_t length; bool whole; };
  for (Row row : {Row{5000, false}, Row{4096, false}, Row{4095, true}, Row{1, true}}) {
    SCOPED_TRACE(row.length);
    capture.Clear();
    std::string text(row.length, 'x');
    TraceError("%s", text.c_str());
    ASSERT_EQ(capture.Lines().size(), 1u);
    std::string expected = "korvidlib: ";
    expected += row.whole ? text : std::string(4092, 'x') + "...";
    expected += '\n';
    EXPECT_EQ(capture.Lines()[0], expected);
  }
}

TEST_F(Traces, DisabledStreamDoesNotFormat) {
  // Formatting would read through the bogus pointer and fault.
  Trace(traceStreams.fndb, "%s", reinterpret_cast<const char*>(8));
  EnableTraceStream(traceStreams.fndb, true);
  EXPECT_TRUE(IsTraceEnabled(traceStreams.fndb));
  EnableTraceStream(traceStreams.fndb, false);
  EXPECT_FALSE(IsTraceEnabled(traceStreams.fndb));
  EXPECT_TRUE(capture.Lines().empty());
}

TEST_F(Traces, ShutdownResetsAndARestartRegistersAgain) {
  UninitializeLibrary();
  EXPECT_FALSE(IsTraceEnabled(traceStreams.error));
  InitializeLibrary();
  EXPECT_EQ(traceStreams.error, 2);
  EXPECT_TRUE(IsTraceEnabled(traceStreams.error));
  TraceError("after restart");
  EXPECT_TRUE(capture.HasText("after restart"));
}

// Raising an error takes the error lock and writes to the trace; registering a stream clears the
// last error. Threads doing both at once must never wait on each other for ever.
TEST_F(Traces, ErrorsAndRegistrationsFromManyThreads) {
  constexpr char kModule[] = "lib/test";
  std::atomic<bool> stop{false};
  std::atomic<int> finished{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; !stop; ++i) {
        switch ((t + i) % 4) {
          case 0: KORVID_RAISE(ErrorCode::OpenFileFailed, "x"); break;
          case 1: RegisterTraceStream(("t" + std::to_string(i % 8)).c_str()); break;
          case 2: SetTraceOptions("error,t1,T2"); break;
          case 3: KORVID_RAISE(ErrorCode::InternalError); ClearLastError(); break;
        }
      }
      ++finished;
    });
  }
  testing_support::StopThreadsOrAbort(threads, stop, finished, 1500, 30000);
  EXPECT_GT(capture.Lines().size(), 0u);
}
