// QVN.Analytics through the bridge against the Python endpoint of
// tests/analytics_endpoint.py, which reads every body with json.
#include "core/bridge/analyticsinterop.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/bridge/coreinterop.h"
#include "core/net/analytics.h"
#include "core/net/webget.h"
#include "core/platform/asyncfile.h"
#include "tests/analytics_endpoint.h"
#include "tests/log_capture.h"
#include "tests/test_params.h"

namespace {

constexpr int kBoundMs = 20000;

class AnalyticsInteropTest : public AnalyticsEndpointTest {
 protected:
  void SetUp() override {
    AnalyticsEndpointTest::SetUp();
    Interop_Init();
    ASSERT_NE(CoreInterop_AddLibrary(), nullptr);
    char buffer[kInteropInstanceIdBytes] = {};
    ASSERT_EQ(Interop_CreateInstance("QVN.Analytics", buffer, sizeof buffer, nullptr, nullptr),
              1);
    id_ = buffer;
  }
  void TearDown() override {
    Interop_Shutdown();
    AnalyticsEndpointTest::TearDown();
  }
  // The endpoint at path, or none when path is empty.
  static void Configure(const std::string &path) {
    std::string json = R"({"analytics":{"key":"k-1")";
    if (!path.empty()) json += R"(,"endPoint":")" + endpoint_->Url(path) + "\"";
    Dictionary *config = NetTest_Dictionary(json + "}}");
    Analytics_Configure(config);
    Dictionary_Release(&config);
  }
  std::string Call(const std::string &params) {
    auto [result, output] = TestParams_Call(id_, "{" + params + "}");
    return std::to_string(result) + " " + output;
  }
  // Sends the queue and waits until path has its POST and nothing is in flight.
  static std::vector<AnalyticsPost> Flush(const std::string &path) {
    EXPECT_EQ(Analytics_Send(0), 1);
    EXPECT_TRUE(NetTest_PumpUntil(
        [&] {
          Analytics_Pump();
          AnalyticsStatus s{};
          Analytics_GetStatusForTest(&s);
          return !AnalyticsEndpoint_Posts(*endpoint_, path).empty() && !s.inFlight;
        },
        kBoundMs));
    return AnalyticsEndpoint_Posts(*endpoint_, path);
  }
  std::string id_;
};

}  // namespace

// Events and shared properties from a page: what is JSON with one object at
// the top is taken, anything else answers false and changes nothing.
TEST_F(AnalyticsInteropTest, EventsAndPropertiesFromAPage) {
  Configure("/page/events");
  struct Case {
    const char *params;
    const char *answer;
  } cases[] = {
      {R"("method":"extend","info":"{\"k\":\"one\"}")", R"(1 {"returnValue":true})"},
      {R"("method":"extend","info":"{\"k\":\"two\"}")", R"(1 {"returnValue":true})"},
      {R"("method":"sendEvent","eventName":"install","info":"{\"step\":1}")",
       R"(1 {"returnValue":true})"},
      {R"("method":"sendEvent","eventName":"empty","info":"{}")", R"(1 {"returnValue":true})"},
      // Not JSON, or JSON without one object at the top: false, nothing queued.
      {R"("method":"sendEvent","eventName":"bad","info":"{\"step\":")",
       R"(1 {"returnValue":false})"},
      {R"("method":"sendEvent","eventName":"list","info":"[1]")", R"(1 {"returnValue":false})"},
      {R"("method":"sendEvent","eventName":"number","info":"5")", R"(1 {"returnValue":false})"},
      {R"("method":"extend","info":"[{\"k\":\"three\"}]")", R"(1 {"returnValue":false})"},
      {R"("method":"extend","info":"\"x\"")", R"(1 {"returnValue":false})"},
      {R"("method":"sendEvent","eventName":"x")", R"(0 {"returnValue":false})"},
  };
  for (const Case &c : cases) EXPECT_EQ(Call(c.params), c.answer) << c.params;

  std::vector<AnalyticsPost> posts = Flush("/page/events");
  ASSERT_EQ(posts.size(), 1u);
  EXPECT_EQ(posts[0].Keys(), R"([["event","machine","session","step","analytics"],)"
                             R"(["event","machine","session","analytics"]])");
  std::vector<Dictionary *> events = posts[0].Events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(AnalyticsEndpoint_Text(events[0], "event"), "install");
  EXPECT_EQ(AnalyticsEndpoint_Text(events[0], "step"), "1");
  EXPECT_EQ(AnalyticsEndpoint_Member(events[0], "analytics"), R"({"k":"two"})");
  EXPECT_EQ(AnalyticsEndpoint_Text(events[1], "event"), "empty");
}

// Turning analytics off drops what is queued; with no endpoint a page's
// event answers false and one line says why.
TEST_F(AnalyticsInteropTest, DisabledAndUnconfigured) {
  Configure("/page/off");
  EXPECT_EQ(Call(R"("method":"sendEvent","eventName":"a","info":"{}")"),
            R"(1 {"returnValue":true})");
  EXPECT_EQ(Call(R"("method":"setEnabled","enabled":false)"), R"(1 {"returnValue":true})");
  AnalyticsStatus s{};
  Analytics_GetStatusForTest(&s);
  EXPECT_EQ(s.queued, 0);
  EXPECT_EQ(Call(R"("method":"sendEvent","eventName":"b","info":"{}")"),
            R"(1 {"returnValue":false})");
  EXPECT_EQ(Call(R"("method":"setEnabled","enabled":true)"), R"(1 {"returnValue":true})");
  Analytics_Send(0);
  for (int i = 0; i < 20; i++) NetTest_Pump();
  EXPECT_TRUE(AnalyticsEndpoint_Posts(*endpoint_, "/page/off").empty());

  Analytics_Shutdown();
  Analytics_Init();
  Configure("");
  TestLogCapture log;
  EXPECT_EQ(Call(R"("method":"sendEvent","eventName":"c","info":"{}")"),
            R"(1 {"returnValue":false})");
  EXPECT_EQ(Call(R"("method":"sendEvent","eventName":"d","info":"{}")"),
            R"(1 {"returnValue":false})");
  std::string text = log.Take();
  size_t first = text.find("no endpoint or key configured");
  EXPECT_NE(first, std::string::npos) << text;
  EXPECT_EQ(text.find("no endpoint or key configured", first + 1), std::string::npos) << text;
}
