#include "core/runtime/refusallog.h"

#include <gtest/gtest.h>

#include <string>

#include "core/platform/platform.h"
#include "core/runtime/log.h"
#include "tests/log_capture.h"
#include "tests/test_util.h"

namespace {

double gNow = 1000.0;
double fakeTicks() { return gNow; }

struct FakeClock {
  FakeClock() {
    gNow = 1000.0;
    Platform_SetTickSourceForTest(fakeTicks);
  }
  ~FakeClock() { Platform_SetTickSourceForTest(nullptr); }
};

}  // namespace

// However many refusals, and from however many uids, the lines stay few: a
// uid's first at once, then one count an interval, uids past the table's
// room counted together.
TEST(RefusalLog, FloodsCostAFewLines) {
  FakeClock clock;
  struct Row {
    const char *what;
    int uids;         // refusing uids, 1000 upwards, in turn
    int refusals;     // in all, at one instant
    double later;     // seconds after which one more of uid 1000 comes
    int firsts;       // Note answers 1
    const char *said; // in the log after it all
  } rows[] = {
      {"one uid's flood, counted in the next interval", 1, 10000, 5.0, 1,
       "WebServer - refused 10000 connections of uid 1000 in the last 5 s"},
      {"within the interval: only counted", 1, 10000, 4.0, 1, nullptr},
      {"more uids than room", 40, 4000, 5.0, kRefusalLogUids + 1,
       "WebServer - refused 100 connections of uid 1000 in the last 5 s"},
      {"quiet for an interval: a first again", 1, 1, 6.0, 2, nullptr},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    RefusalLog log;
    gNow = 1000.0;
    TestLogCapture capture;
    int firsts = 0;
    for (int i = 0; i < row.refusals; i++)
      firsts += RefusalLog_Note(&log, uint32_t(1000 + i % row.uids), LOG_DEBUG, "WebServer - ");
    gNow += row.later;
    firsts += RefusalLog_Note(&log, 1000, LOG_DEBUG, "WebServer - ");
    std::string said = capture.Take();
    EXPECT_EQ(firsts, row.firsts);
    EXPECT_LE(Test_CountOf(said, "refused"), 2u) << said;
    if (row.said != nullptr) {
      EXPECT_NE(said.find(row.said), std::string::npos) << said;
    } else {
      EXPECT_EQ(said.find("refused"), std::string::npos) << said;
    }
  }
}

// A listener that stops writes what it counted, and forgets.
TEST(RefusalLog, FlushWritesTheCountsLeft) {
  FakeClock clock;
  RefusalLog log;
  TestLogCapture capture;
  for (int i = 0; i < 5; i++) RefusalLog_Note(&log, 65534, LOG_DEBUG, "NamedPipe - ");
  gNow += 2.0;
  EXPECT_EQ(RefusalLog_Flush(&log, LOG_DEBUG, "NamedPipe - "), 1);
  EXPECT_EQ(RefusalLog_Flush(&log, LOG_DEBUG, "NamedPipe - "), 0);
  EXPECT_EQ(RefusalLog_Note(&log, 65534, LOG_DEBUG, "NamedPipe - "), 1);
  EXPECT_NE(capture.Take().find("NamedPipe - refused 4 connections of uid 65534 in the last 2 s"),
            std::string::npos);
}
