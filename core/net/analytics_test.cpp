#include "core/net/analytics.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/formats/dictionary.h"
#include "core/net/webget.h"
#include "core/platform/asyncfile.h"
#include "core/platform/platform.h"
#include "core/runtime/str.h"
#include "tests/analytics_endpoint.h"
#include "tests/fault_server.h"
#include "tests/log_capture.h"
#include "tests/netfixture.h"
#include "tests/test_util.h"

namespace {

constexpr int kBoundMs = 20000;

using DictionaryPtr = AnalyticsDictionaryPtr;
using Post = AnalyticsPost;
DictionaryPtr own(Dictionary *d) { return AnalyticsEndpoint_Own(d); }
std::string text(Dictionary *d, const char *key) { return AnalyticsEndpoint_Text(d, key); }
std::string member(Dictionary *d, const char *key) { return AnalyticsEndpoint_Member(d, key); }

double gClock = 0;
double testClock() { return gClock; }

class AnalyticsTest : public AnalyticsEndpointTest {
 protected:
  // Shutdown runs under the test's deadline and clock; the base's second
  // Shutdown finds nothing left.
  void TearDown() override {
    Analytics_Shutdown();
    Analytics_SetShutdownSecondsForTest(-1);
    Platform_SetTickSourceForTest(nullptr);
    AnalyticsEndpointTest::TearDown();
  }

  // Holds the tick clock still at its present value; the test moves it.
  static void HoldClock() {
    // Whole seconds, so that the delays read back exactly.
    gClock = std::floor(Platform_GetTickSeconds()) + 1;
    Platform_SetTickSourceForTest(testClock);
  }

  // Applies {"analytics": members}, with the endpoint's path made a URL.
  static void Configure(const std::string &path, const std::string &members) {
    std::string json = R"({"analytics":{"key":"k-1")";
    if (!path.empty()) json += R"(,"endPoint":")" + endpoint_->Url(path) + "\"";
    if (!members.empty()) json += "," + members;
    json += "}}";
    Dictionary *config = NetTest_Dictionary(json);
    Analytics_Configure(config);
    Dictionary_Release(&config);
  }

  static void Track(const std::string &name, const std::string &arguments = "{}") {
    Dictionary *d = NetTest_Dictionary(arguments);
    EXPECT_EQ(Analytics_TrackEvent(name.c_str(), d), 1) << name;
    Dictionary_Release(&d);
  }

  // The POSTs to path so far.
  static std::vector<Post> Posts(const std::string &path) {
    return AnalyticsEndpoint_Posts(*endpoint_, path);
  }

  // One pass of the main loop with the analytics step.
  static void Pump() {
    NetTest_Pump();
    Analytics_Pump();
  }
  static bool PumpUntil(const std::function<bool()> &done) {
    return NetTest_PumpUntil(
        [&] {
          Analytics_Pump();
          return done();
        },
        kBoundMs);
  }

  static AnalyticsStatus Status() {
    AnalyticsStatus s{};
    Analytics_GetStatusForTest(&s);
    return s;
  }

  // The queue as the crash handler would save it.
  static std::vector<DictionaryPtr> Queued() {
    Dictionary *list = nullptr;
    Dictionary_Create(&list);
    Analytics_AppendEvents(list);
    std::vector<DictionaryPtr> out;
    Dictionary *e = nullptr;
    for (int32_t i = 0; Dictionary_GetDictionaryByIndex(list, i, &e); i++) {
      Dictionary *copy = nullptr;
      Dictionary_Create(&copy);
      Dictionary_Merge(copy, e, kDictionaryMergeOverwrite);
      out.push_back(own(copy));
    }
    Dictionary_Release(&list);
    return out;
  }

};

// The wire form: headers, a JSON array in queue order, the keys of every
// event in their order, arguments that overwrite the fixed keys, the
// "arguments"."analytics" object lifted out, and the properties added
// without overwriting and expanded.
TEST_F(AnalyticsTest, BatchWireFormat) {
  Configure("/track/wire", "");
  Dictionary *properties = nullptr;
  Analytics_GetProperties(&properties);
  Dictionary_SetStringByKey(properties, "app", "shared");
  Dictionary_SetStringByKey(properties, "lang", "{Lower:EN}");
  Track("first", R"({"x":"1","arguments":{"y":2,"analytics":{"a":"{Upper:b}"}}})");
  Track("second", R"({"event":"renamed","n":5})");
  Track("third", R"({"analytics":{"app":"own"}})");
  ASSERT_EQ(Analytics_Send(0), 1);
  ASSERT_TRUE(PumpUntil([] { return Posts("/track/wire").size() == 1; }));
  ASSERT_TRUE(PumpUntil([] { return !Status().inFlight; }));

  Post post = Posts("/track/wire")[0];
  EXPECT_EQ(post.ContentType(), "application/json");
  EXPECT_EQ(post.ApiKey(), "k-1");
  EXPECT_EQ(post.Keys(),
            R"([["event","machine","session","x","arguments","analytics"],)"
            R"(["event","machine","session","n","analytics"],)"
            R"(["event","machine","session","analytics"]])");
  std::vector<Dictionary *> events = post.Events();
  ASSERT_EQ(events.size(), 3u);
  char session[kAnalyticsSessionIdMaxBytes];
  Analytics_GetSessionId(session, sizeof session);
  struct Row {
    const char *event, *arguments, *analytics;
  } rows[] = {
      {"first", R"({"y":2})", R"({"a":"B","app":"shared","lang":"en"})"},
      {"renamed", "<missing>", R"({"app":"shared","lang":"en"})"},
      {"third", "<missing>", R"({"app":"own","lang":"en"})"},
  };
  for (size_t i = 0; i < events.size(); i++) {
    SCOPED_TRACE(i);
    EXPECT_EQ(text(events[i], "event"), rows[i].event);
    EXPECT_EQ(member(events[i], "arguments"), rows[i].arguments);
    EXPECT_EQ(member(events[i], "analytics"), rows[i].analytics);
    EXPECT_EQ(text(events[i], "session"), session);
    std::string machine = text(events[i], "machine");
    EXPECT_EQ(machine.size(), 40u) << machine;
    EXPECT_EQ(machine.find_first_not_of("0123456789abcdef"), std::string::npos) << machine;
  }
  EXPECT_EQ(std::string(session).size(), 32u);
  // A delivered batch leaves the queue; the next pass takes the outcome.
  Analytics_Send(0);
  EXPECT_EQ(Status().queued, 0);
}

// 150 events with maxSendEvents 100: one batch of 100, then one of 50, in
// queue order.
TEST_F(AnalyticsTest, BatchesFollowMaxSendEvents) {
  Configure("/track/split", R"("maxSendEvents":100)");
  for (int i = 0; i < 150; i++) Track("e" + std::to_string(i));
  ASSERT_TRUE(PumpUntil([] { return Posts("/track/split").size() == 2; }));
  std::vector<Post> posts = Posts("/track/split");
  std::vector<std::string> names;
  for (const Post &p : posts)
    for (Dictionary *e : p.Events()) names.push_back(text(e, "event"));
  ASSERT_EQ(posts[0].Events().size(), 100u);
  ASSERT_EQ(posts[1].Events().size(), 50u);
  for (int i = 0; i < 150; i++) EXPECT_EQ(names[size_t(i)], "e" + std::to_string(i));
}

// A batch answered 500 stays queued; the tries follow on the tick clock
// after 0, 15, 30, 60 s, then at most the send interval; a success clears
// the count.
TEST_F(AnalyticsTest, FailedBatchBacksOff) {
  HoldClock();
  Configure("/status/500/backoff", R"("maxSendEvents":1,"sendInterval":100)");
  Track("kept");
  const double delays[] = {0, 15, 30, 60, 100, 100};
  for (size_t k = 0; k < std::size(delays); k++) {
    SCOPED_TRACE(k);
    ASSERT_TRUE(PumpUntil([&] { return Status().failures == int32_t(k + 1); }));
    AnalyticsStatus s = Status();
    EXPECT_EQ(s.retryNotBefore - gClock, delays[k]);
    EXPECT_EQ(s.queued, 1);
    if (delays[k] > 0) {
      gClock = s.retryNotBefore - 1;
      for (int i = 0; i < 20; i++) Pump();
      EXPECT_FALSE(Status().inFlight);
      EXPECT_EQ(Posts("/status/500/backoff").size(), k + 1);
      gClock = s.retryNotBefore;
    }
  }
  std::vector<Post> posts = Posts("/status/500/backoff");
  for (const Post &p : posts) EXPECT_EQ(p.Keys(), R"([["event","machine","session","analytics"]])");
  Configure("/track/recovered", "");
  gClock += 100;
  ASSERT_TRUE(PumpUntil([] { return Status().queued == 0; }));
  EXPECT_EQ(Status().failures, 0);
  EXPECT_EQ(Posts("/track/recovered").size(), 1u);
}

TEST_F(AnalyticsTest, RetryDelay) {
  struct Row {
    int interval;
    std::vector<double> delays;  // after 0, 1, 2 ... failures
  } rows[] = {
      {300, {0, 15, 30, 60, 120, 240, 300, 300, 300, 300, 300, 300}},
      {0, {0, 15, 30, 60, 120, 240, 480, 960, 1920, 3840, 3840, 3840}},
  };
  for (const Row &row : rows) {
    Configure("", R"("sendInterval":)" + std::to_string(row.interval));
    for (size_t f = 0; f < row.delays.size(); f++)
      EXPECT_EQ(Analytics_RetryDelay(int32_t(f)), row.delays[f]) << row.interval << " " << f;
  }
}

// Shutdown sends what is left in batches; what it cannot send is counted in
// the log, and an endpoint that drips its answer holds it only until the
// deadline.
TEST_F(AnalyticsTest, ShutdownSendsTheRest) {
  struct Row {
    std::string path;
    double seconds;  // the shutdown deadline
    int events;
    int posts;         // -1: not counted (the deadline may come first)
    std::string line;  // expected in the log; "" for no failure line
  } rows[] = {
      {"/track/rest", 20, 5, 3, ""},
      {"/status/500/rest", 20, 3, 1, "Failed to send 3 analytics events (500)"},
      {"/drip/rest", 1, 2, -1, "Failed to send 2 analytics events ("},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.path);
    Analytics_SetShutdownSecondsForTest(row.seconds);
    Configure(row.path, R"("maxSendEvents":2)");
    for (int i = 0; i < row.events; i++) Track("e" + std::to_string(i));
    std::string log;
    {
      TestLogCapture capture;
      Analytics_Shutdown();
      log = capture.Take();
    }
    std::vector<Post> posts = Posts(row.path);
    if (row.posts >= 0) {
      EXPECT_EQ(posts.size(), size_t(row.posts));
    }
    if (row.line.empty()) {
      EXPECT_EQ(log.find("Failed to send"), std::string::npos) << log;
      size_t sent = 0;
      for (const Post &p : posts) sent += p.Events().size();
      EXPECT_EQ(sent, size_t(row.events));
    } else {
      EXPECT_NE(log.find(row.line), std::string::npos) << log;
    }
    Analytics_Init();
  }
}

// Inactive analytics queues and sends nothing; a missing endpoint or key is
// said once, a switched-off analytics says nothing.
TEST_F(AnalyticsTest, InactiveDropsEvents) {
  struct Row {
    const char *name;
    std::string config;
    int lines;
  } rows[] = {
      {"no endpoint", R"({"analytics":{"key":"k"}})", 1},
      {"no key", R"({"analytics":{"endPoint":"URL"}})", 1},
      {"disabled", R"({"analytics":{"endPoint":"URL","key":"k","enabled":false}})", 0},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    Analytics_Shutdown();
    Analytics_Init();
    std::string json = row.config;
    size_t at = json.find("URL");
    if (at != std::string::npos) json.replace(at, 3, endpoint_->Url("/track/inactive"));
    Dictionary *config = NetTest_Dictionary(json);
    Analytics_Configure(config);
    Dictionary_Release(&config);
    std::string log;
    {
      TestLogCapture capture;
      for (int i = 0; i < 3; i++) EXPECT_EQ(Analytics_TrackEvent("dropped", nullptr), 0);
      EXPECT_EQ(Analytics_Send(1), 0);
      Pump();
      EXPECT_EQ(Analytics_IsActive(), 0);
      EXPECT_EQ(Analytics_HasWork(), 0);
      Analytics_Shutdown();
      log = capture.Take();
    }
    int lines = 0;
    for (char c : log) lines += c == '\n';
    EXPECT_EQ(lines, row.lines) << log;
    if (row.lines == 1) {
      EXPECT_NE(log.find("INFO - "), std::string::npos) << log;
    }
    Analytics_Init();
  }
  EXPECT_TRUE(Posts("/track/inactive").empty());
}

// maxEvents 2 and three events: the oldest goes, the warning comes once;
// switching analytics off empties the queue.
TEST_F(AnalyticsTest, QueueLimitAndDisable) {
  Configure("/track/limit", R"("maxEvents":2,"sendInterval":1000)");
  std::string log;
  {
    TestLogCapture capture;
    for (const char *name : {"a", "b", "c", "d"}) Track(name);
    log = capture.Take();
  }
  std::vector<DictionaryPtr> queued = Queued();
  ASSERT_EQ(queued.size(), 2u);
  EXPECT_EQ(text(queued[0].get(), "event"), "c");
  EXPECT_EQ(text(queued[1].get(), "event"), "d");
  const std::string warning = "Analytics event count exceeds max size (2)";
  size_t first = log.find(warning);
  EXPECT_NE(first, std::string::npos) << log;
  EXPECT_EQ(log.find(warning, first + 1), std::string::npos) << log;

  Analytics_SetEnabled(0);
  EXPECT_EQ(Status().queued, 0);
  EXPECT_EQ(Analytics_HasWork(), 0);
}

// Saved events come back through TrackEvents; the cache statistics become
// one event per verb with an integer value.
TEST_F(AnalyticsTest, TrackEventsAndCacheStatistics) {
  Configure("/track/saved", R"("sendInterval":1000)");
  Dictionary *saved = NetTest_Dictionary(
      R"({"list":[{"event":"crash","id":"7"},{"no":"name"},"text",{"event":"again"}]})");
  Dictionary *list = nullptr;
  Dictionary_GetListByKey(saved, "list", &list);
  Analytics_TrackEvents(list);
  Dictionary_Release(&saved);
  Dictionary *stats = NetTest_Dictionary(
      R"({"cdn.test":{"edge":{"HIT":3,"MISS":2.7}},"origin.test":{"direct":{"HIT":1}}})");
  Analytics_TrackXCacheStats(stats);
  Dictionary_Release(&stats);

  const char *expected[] = {
      R"({"event":"crash","id":"7"})",
      R"({"event":"again"})",
      R"({"event":"WebGetXCache","host":"cdn.test","from":"edge","verb":"HIT","value":3})",
      R"({"event":"WebGetXCache","host":"cdn.test","from":"edge","verb":"MISS","value":2})",
      R"({"event":"WebGetXCache","host":"origin.test","from":"direct","verb":"HIT","value":1})",
  };
  std::vector<DictionaryPtr> queued = Queued();
  ASSERT_EQ(queued.size(), std::size(expected));
  for (size_t i = 0; i < queued.size(); i++) {
    Dictionary *e = queued[i].get();
    Dictionary_RemoveKey(e, "machine");
    Dictionary_RemoveKey(e, "session");
    Dictionary_RemoveKey(e, "analytics");
    EXPECT_EQ(NetTest_Json(e), expected[i]);
  }
}

// The machine id comes from this machine, not from the process.
TEST_F(AnalyticsTest, MachineIdIsStable) {
  Configure("/track/id", R"("sendInterval":1000)");
  Track("one");
  std::vector<DictionaryPtr> before = Queued();
  char session[kAnalyticsSessionIdMaxBytes];
  Analytics_GetSessionId(session, sizeof session);
  Analytics_SetEnabled(0);
  Analytics_Shutdown();
  Analytics_Init();
  Configure("/track/id", R"("sendInterval":1000)");
  Track("two");
  std::vector<DictionaryPtr> after = Queued();
  ASSERT_EQ(before.size(), 1u);
  ASSERT_EQ(after.size(), 1u);
  EXPECT_EQ(text(before[0].get(), "machine"), text(after[0].get(), "machine"));
  EXPECT_NE(text(after[0].get(), "session"), session);
  Analytics_SetEnabled(0);
}

}  // namespace
