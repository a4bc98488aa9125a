#include "core/net/webgetpool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "core/formats/dictionary.h"
#include "core/net/webget.h"
#include "core/net/webgetrequest.h"
#include "core/platform/asyncfile.h"
#include "core/platform/eventqueue.h"
#include "core/platform/thread.h"
#include "core/runtime/class.h"
#include "tests/loopback_port.h"
#include "tests/netfixture.h"
#include "tests/nginx_peer.h"
#include "tests/test_util.h"

namespace {

constexpr int kBoundMs = 20000;
constexpr int kPorts = 30;
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kRequestsPerHost = 5;
#else
constexpr int kRequestsPerHost = 20;
#endif

// /slow/ answers at 4 KiB/s: its 1 MiB file runs for minutes, until removed.
// /redir/<port>/<path> answers 302 to that path on that port.
const char *const kLocations =
    "location /slow/ { limit_rate 4k; } "
    "location ~ ^/redir/(\\d+)(/.*)$ { return 302 http://127.0.0.1:$1$2$is_args$args; }";

std::string key(const std::string &url) {
  char out[600];
  EXPECT_EQ(WebGetPool_GetHostKey(url.c_str(), out, int(sizeof out)), 1) << url;
  return out;
}

class WebGetPoolTest : public NetTest {
 protected:
  static void SetUpTestSuite() {
    if (!NginxPortsPeer::Available()) return;
    nginx_ = new NginxPortsPeer(kPorts, kLocations);
    nginx_->WriteFile("small.bin", std::string(1024, 's'));
    nginx_->WriteFile("slow/big.bin", std::string(1 << 20, 'b'));
  }
  static void TearDownTestSuite() {
    delete nginx_;
    nginx_ = nullptr;
  }
  void SetUp() override {
    NetTest::SetUp();
    AsyncFile_Init();
    WebGet_AddWhitelistHost("127.0.0.1");
  }
  void TearDown() override {
    for (WebGetRequest *r : requests_) Class_ReleaseObject(&r);
    WebGetPool *pool = WebGetPool_Get();
    if (pool != nullptr) WebGetPool_Release(&pool);
    AsyncFile_Shutdown();
    NetTest::TearDown();
  }
  bool HaveNginx() const { return nginx_ != nullptr && nginx_->Started(); }

  // A new GET into memory, kept by the fixture.
  WebGetRequest *NewRequest(const std::string &url) {
    WebGetRequest *r = nullptr;
    WebGetRequest_Create(&r);
    EXPECT_EQ(WebGetRequest_SetUrl(r, url.c_str(), 0), 1);
    requests_.push_back(r);
    return r;
  }
  WebGetRequest *Add(const std::string &url) {
    WebGetRequest *r = NewRequest(url);
    EXPECT_EQ(WebGetPool_AddRequest(r), 1);
    return r;
  }
  static bool Complete(const std::vector<WebGetRequest *> &rs) {
    for (WebGetRequest *r : rs)
      if (!WebGetRequest_IsComplete(r)) return false;
    return true;
  }
  static void ExpectSmallBody(WebGetRequest *r) {
    int32_t code = -1, codeEx = -1;
    WebGetRequest_GetError(r, &code, &codeEx);
    EXPECT_EQ(code, 0) << r->url;
    EXPECT_EQ(WebGetRequest_GetStatusCode(r), 200) << r->url;
    const uint8_t *data = nullptr;
    int64_t length = 0;
    WebGetRequest_GetMemoryOutput(r, &data, &length);
    EXPECT_EQ(length, 1024) << r->url;
  }
  static void Counts(const std::string &hostKey, WebGetPoolHostState *state,
                     int32_t *connections = nullptr, int32_t *pending = nullptr) {
    WebGetPool_GetHostCounts(WebGetPool_Get(), hostKey.c_str(), state, connections, pending);
  }
  // Runs pool steps alone, without flushing the main queue (which may run a
  // posted step as well), until done() holds.
  static bool StepUntil(const std::function<bool()> &done) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBoundMs);
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      WebGetPool_Step();
      Thread_Yield();
    }
    return true;
  }
  // The access log lines of that port whose URI contains `mark`, once there
  // are at least `count` (nginx may write a line after its answer arrived).
  static std::vector<NginxPortsPeer::LogLine> Logged(int port, const std::string &mark,
                                                size_t count) {
    std::vector<NginxPortsPeer::LogLine> out;
    Test_WaitUntil([&] {
      out.clear();
      for (const NginxPortsPeer::LogLine &line : nginx_->AccessLog())
        if (line.port == port && line.uri.find(mark) != std::string::npos) out.push_back(line);
      return out.size() >= count;
    }, kBoundMs);
    return out;
  }

  static NginxPortsPeer *nginx_;
  std::vector<WebGetRequest *> requests_;
};

NginxPortsPeer *WebGetPoolTest::nginx_ = nullptr;

// Host keys keep schemes and ports apart; all file URLs share one entry.
TEST_F(WebGetPoolTest, HostKeys) {
  struct Case {
    const char *url, *key;
  } cases[] = {
      {"http://h/a", "http://h:80"},
      {"http://h:80/b?c", "http://h:80"},
      {"HTTP://h", "http://h:80"},
      {"https://h/", "https://h:443"},
      {"http://h:443/", "http://h:443"},
      {"http://user:pw@h:8080/a", "http://h:8080"},
      {"file:///tmp/a", "file://"},
      {"file://server/share/b", "file://"},
  };
  for (const Case &c : cases) EXPECT_EQ(key(c.url), c.key) << c.url;

  NetTest_StartPool();
  WebGetRequest *a = Add("file:///nonexistent/a");
  WebGetRequest *b = Add("file:///nonexistent/b%20c");
  WebGetPoolHostState state{};
  int32_t connections = 0;
  Counts("file://", &state, &connections);
  EXPECT_EQ(state, WebGetPoolHostState::kActive);
  EXPECT_EQ(connections, 2);
  EXPECT_TRUE(NetTest_PumpUntil([&] { return Complete({a, b}); }, kBoundMs));
}

// Seven requests to one host: six connections, the seventh waits and then
// runs on one of them (nginx saw six connections).
TEST_F(WebGetPoolTest, SevenRequestsOpenSixConnections) {
  if (!HaveNginx()) GTEST_SKIP() << "nginx is not available";
  NetTest_StartPool();
  std::vector<WebGetRequest *> rs;
  for (int i = 0; i < 7; i++) rs.push_back(Add(nginx_->Url(0, "/small.bin?seven=" + std::to_string(i))));
  WebGetPoolHostState state{};
  int32_t connections = 0, pending = 0;
  Counts(key(nginx_->Url(0, "/")), &state, &connections, &pending);
  EXPECT_EQ(connections, 6);
  EXPECT_EQ(pending, 1);
  ASSERT_TRUE(NetTest_PumpUntil([&] { return Complete(rs); }, kBoundMs));
  for (WebGetRequest *r : rs) ExpectSmallBody(r);
  std::vector<NginxPortsPeer::LogLine> lines = Logged(nginx_->Port(0), "seven=", 7);
  std::set<long> seen;
  for (const NginxPortsPeer::LogLine &line : lines) seen.insert(line.connection);
  EXPECT_EQ(lines.size(), 7u);
  EXPECT_EQ(seen.size(), 6u);
  Counts(key(nginx_->Url(0, "/")), &state, &connections, &pending);
  EXPECT_EQ(connections, 6);
}

// A pending request leaves without touching a connection; a running one is
// taken off its connection, which stays and serves the next request.
TEST_F(WebGetPoolTest, RemovePendingAndRunning) {
  if (!HaveNginx()) GTEST_SKIP() << "nginx is not available";
  NetTest_StartPool();
  std::string hostKey = key(nginx_->Url(1, "/"));
  std::vector<WebGetRequest *> running;
  for (int i = 0; i < 6; i++) running.push_back(Add(nginx_->Url(1, "/slow/big.bin?rm=" + std::to_string(i))));
  WebGetRequest *pending = Add(nginx_->Url(1, "/slow/big.bin?rm=6"));
  EXPECT_EQ(WebGetPool_RemoveRequest(pending), 1);
  EXPECT_TRUE(WebGetRequest_IsOnlyReference(pending));
  WebGetPoolHostState state{};
  int32_t connections = 0, waiting = 0;
  Counts(hostKey, &state, &connections, &waiting);
  EXPECT_EQ(connections, 6);
  EXPECT_EQ(waiting, 0);
  ASSERT_TRUE(NetTest_PumpUntil([&] {
    for (WebGetRequest *r : running)
      if (WebGetRequest_GetPhase(r) != kWebGetPhaseBody) return false;
    return true;
  }, kBoundMs));
  EXPECT_EQ(WebGetPool_RemoveRequest(running[0]), 1);
  EXPECT_EQ(WebGetRequest_GetPhase(running[0]), kWebGetPhaseIdle);
  EXPECT_TRUE(WebGetRequest_IsOnlyReference(running[0]));
  // The freed connection takes the next request at once.
  WebGetRequest_SetUrl(pending, nginx_->Url(1, "/small.bin?rm=again").c_str(), 0);
  EXPECT_EQ(WebGetPool_AddRequest(pending), 1);
  Counts(hostKey, &state, &connections, &waiting);
  EXPECT_EQ(connections, 6);
  EXPECT_EQ(waiting, 0);
  ASSERT_TRUE(NetTest_PumpUntil([&] { return Complete({pending}); }, kBoundMs));
  ExpectSmallBody(pending);
  for (size_t i = 1; i < running.size(); i++) {
    EXPECT_FALSE(WebGetRequest_IsComplete(running[i]));
    EXPECT_EQ(WebGetPool_RemoveRequest(running[i]), 1);
  }
  EXPECT_EQ(WebGetPool_RemoveRequest(running[0]), 0);
}

// Owners that let go of their running requests: the connections drop them
// without a completion, and the request that waited runs on one of them.
TEST_F(WebGetPoolTest, DroppedRequestsFreeTheirConnections) {
  if (!HaveNginx()) GTEST_SKIP() << "nginx is not available";
  NetTest_StartPool();
  std::vector<WebGetRequest *> slow;
  for (int i = 0; i < 6; i++) slow.push_back(Add(nginx_->Url(15, "/slow/big.bin?drop")));
  WebGetRequest *last = Add(nginx_->Url(15, "/small.bin?drop"));
  ASSERT_TRUE(NetTest_PumpUntil([&] {
    for (WebGetRequest *r : slow)
      if (WebGetRequest_GetPhase(r) != kWebGetPhaseBody) return false;
    return true;
  }, kBoundMs));
  for (WebGetRequest *r : slow) {
    requests_.erase(std::find(requests_.begin(), requests_.end(), r));
    Class_ReleaseObject(&r);
  }
  ASSERT_TRUE(NetTest_PumpUntil([&] { return Complete({last}); }, kBoundMs));
  ExpectSmallBody(last);
}

// An owner that adds its next request, to another host, from the finished
// one's callback: the host that makes room goes while its connection is
// still inside its poll, and is destroyed only after the step.
TEST_F(WebGetPoolTest, OwnerAddsFromItsCallback) {
  if (!HaveNginx()) GTEST_SKIP() << "nginx is not available";
  Dictionary *config = NetTest_Dictionary(R"({"webGetPool":{"maxHosts":1}})");
  NetTest_StartPool(config);
  Dictionary_Release(&config);
  WebGetRequest *first = NewRequest(nginx_->Url(23, "/small.bin?chain=1"));
  WebGetRequest *second = NewRequest(nginx_->Url(24, "/small.bin?chain=2"));
  WebGetRequest_SetPhaseCallback(first, nullptr, second, [](WebGetRequest *, void *next) {
    return WebGetPool_AddRequest(static_cast<WebGetRequest *>(next));
  });
  EXPECT_EQ(WebGetPool_AddRequest(first), 1);
  ASSERT_TRUE(NetTest_PumpUntil([&] { return Complete({first, second}); }, kBoundMs));
  ExpectSmallBody(first);
  ExpectSmallBody(second);
  WebGetPoolHostState state{};
  Counts(key(nginx_->Url(23, "/")), &state);
  EXPECT_EQ(state, WebGetPoolHostState::kNone);
}

// Five idle hosts: a sixth takes the place of one of them at once.
TEST_F(WebGetPoolTest, IdleHostGivesWayAtOnce) {
  if (!HaveNginx()) GTEST_SKIP() << "nginx is not available";
  NetTest_StartPool();
  std::vector<WebGetRequest *> rs;
  for (int i = 0; i < 5; i++) rs.push_back(Add(nginx_->Url(i, "/small.bin?idle")));
  ASSERT_TRUE(NetTest_PumpUntil([&] { return Complete(rs); }, kBoundMs));
  WebGetRequest *sixth = Add(nginx_->Url(5, "/small.bin?idle"));
  WebGetPoolHostState state{};
  Counts(key(nginx_->Url(5, "/")), &state);
  EXPECT_EQ(state, WebGetPoolHostState::kActive);
  int gone = 0;
  for (int i = 0; i < 5; i++) {
    Counts(key(nginx_->Url(i, "/")), &state);
    gone += state == WebGetPoolHostState::kNone;
  }
  EXPECT_EQ(gone, 1);
  ASSERT_TRUE(NetTest_PumpUntil([&] { return Complete({sixth}); }, kBoundMs));
  ExpectSmallBody(sixth);
}

// Five busy hosts: a sixth waits until one of them has nothing left to do,
// then runs while the other four still download.
TEST_F(WebGetPoolTest, SixthHostWaitsForAnIdleOne) {
  if (!HaveNginx()) GTEST_SKIP() << "nginx is not available";
  NetTest_StartPool();
  std::vector<WebGetRequest *> slow;
  for (int i = 0; i < 4; i++) slow.push_back(Add(nginx_->Url(6 + i, "/slow/big.bin?busy")));
  WebGetRequest *quick = Add(nginx_->Url(10, "/small.bin?busy"));
  WebGetRequest *sixth = Add(nginx_->Url(11, "/small.bin?busy"));
  WebGetPoolHostState state{};
  Counts(key(nginx_->Url(11, "/")), &state);
  EXPECT_EQ(state, WebGetPoolHostState::kWaiting);
  ASSERT_TRUE(NetTest_PumpUntil([&] { return Complete({quick, sixth}); }, kBoundMs));
  ExpectSmallBody(quick);
  ExpectSmallBody(sixth);
  Counts(key(nginx_->Url(10, "/")), &state);
  EXPECT_EQ(state, WebGetPoolHostState::kNone);
  Counts(key(nginx_->Url(11, "/")), &state);
  EXPECT_EQ(state, WebGetPoolHostState::kActive);
  for (WebGetRequest *r : slow) {
    EXPECT_FALSE(WebGetRequest_IsComplete(r));
    EXPECT_EQ(WebGetPool_RemoveRequest(r), 1);
  }
}

// Taking back the last request of a busy host makes room for a waiting
// one at once.
TEST_F(WebGetPoolTest, RemovingTheLastRequestMakesRoom) {
  if (!HaveNginx()) GTEST_SKIP() << "nginx is not available";
  NetTest_StartPool();
  std::vector<WebGetRequest *> slow;
  for (int i = 0; i < 5; i++) slow.push_back(Add(nginx_->Url(17 + i, "/slow/big.bin?room")));
  WebGetRequest *sixth = Add(nginx_->Url(22, "/small.bin?room"));
  ASSERT_TRUE(NetTest_PumpUntil([&] { return WebGetRequest_GetPhase(slow[0]) == kWebGetPhaseBody; }, kBoundMs));
  EXPECT_EQ(WebGetPool_RemoveRequest(slow[0]), 1);
  WebGetPoolHostState state{};
  Counts(key(nginx_->Url(22, "/")), &state);
  EXPECT_EQ(state, WebGetPoolHostState::kActive);
  ASSERT_TRUE(NetTest_PumpUntil([&] { return Complete({sixth}); }, kBoundMs));
  ExpectSmallBody(sixth);
  for (size_t i = 1; i < slow.size(); i++) EXPECT_EQ(WebGetPool_RemoveRequest(slow[i]), 1);
}

// Thirty hosts with five active at a time: every request finishes.
TEST_F(WebGetPoolTest, ThirtyHostsFiveAtATime) {
  if (!HaveNginx()) GTEST_SKIP() << "nginx is not available";
  Dictionary *config = NetTest_Dictionary(R"({"webGetPool":{"maxHosts":5,"maxHostConnections":0}})");
  NetTest_StartPool(config);
  Dictionary_Release(&config);
  auto start = std::chrono::steady_clock::now();
  std::vector<std::vector<WebGetRequest *>> hosts(kPorts);
  for (int i = 0; i < kRequestsPerHost; i++)
    for (int h = 0; h < kPorts; h++)
      hosts[size_t(h)].push_back(Add(nginx_->Url(h, "/small.bin?thirty=" + std::to_string(i))));
  std::map<int, double> doneMs;
  int32_t mostActive = 0;
  bool finished = NetTest_PumpUntil([&] {
    int32_t active = 0;
    WebGetPool_GetHostTotals(WebGetPool_Get(), &active, nullptr);
    mostActive = std::max(mostActive, active);
    for (int h = 0; h < kPorts; h++) {
      if (doneMs.count(h) || !Complete(hosts[size_t(h)])) continue;
      doneMs[h] = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    }
    return int(doneMs.size()) == kPorts;
  }, kBoundMs * 3);
  ASSERT_TRUE(finished);
  EXPECT_LE(mostActive, 5);
  std::string report = "wait per host (ms):";
  for (const auto &[h, ms] : doneMs) report += " " + std::to_string(h) + ":" + std::to_string(int(ms));
  printf("%s\n", report.c_str());
  for (const auto &requests : hosts)
    for (WebGetRequest *r : requests) ExpectSmallBody(r);
  // The connection limit 0 was refused: the default six apply.
  int32_t connections = 0;
  WebGetPoolHostState state{};
  for (int h = 0; h < kPorts; h++) {
    Counts(key(nginx_->Url(h, "/")), &state, &connections);
    EXPECT_LE(connections, 6);
  }
}

// A redirect to another port runs under that port's key.
TEST_F(WebGetPoolTest, RedirectRunsUnderItsNewKey) {
  if (!HaveNginx()) GTEST_SKIP() << "nginx is not available";
  NetTest_StartPool();
  std::string target = std::to_string(nginx_->Port(12));
  WebGetRequest *r = Add(nginx_->Url(0, "/redir/" + target + "/small.bin?moved=1"));
  ASSERT_TRUE(NetTest_PumpUntil([&] { return Complete({r}); }, kBoundMs));
  ExpectSmallBody(r);
  EXPECT_EQ(std::string(r->url), nginx_->Url(12, "/small.bin?moved=1"));
  WebGetPoolHostState state{};
  int32_t connections = 0;
  Counts(key(nginx_->Url(12, "/")), &state, &connections);
  EXPECT_EQ(state, WebGetPoolHostState::kActive);
  EXPECT_EQ(connections, 1);
  std::vector<NginxPortsPeer::LogLine> from = Logged(nginx_->Port(0), "moved=1", 1);
  std::vector<NginxPortsPeer::LogLine> to = Logged(nginx_->Port(12), "moved=1", 1);
  ASSERT_EQ(from.size(), 1u);
  EXPECT_EQ(from[0].status, 302);
  ASSERT_EQ(to.size(), 1u);
  EXPECT_EQ(to[0].status, 200);
}

// A redirected request is found whatever its URL now names: taken back
// before it reached its new host it is never sent there, and it can be added
// again; taken back while it runs there, its new connection stays.
TEST_F(WebGetPoolTest, RemoveAfterRedirect) {
  if (!HaveNginx()) GTEST_SKIP() << "nginx is not available";
  NetTest_StartPool();
  std::string moved = nginx_->Url(13, "/small.bin?gone=1");
  WebGetRequest *r = Add(nginx_->Url(0, "/redir/" + std::to_string(nginx_->Port(13)) + "/small.bin?gone=1"));
  ASSERT_TRUE(StepUntil([&] { return moved == r->url; }));
  EXPECT_EQ(WebGetPool_RemoveRequest(r), 1);
  EXPECT_EQ(WebGetRequest_GetPhase(r), kWebGetPhaseIdle);
  WebGetRequest *after = Add(nginx_->Url(13, "/small.bin?after=1"));
  ASSERT_TRUE(NetTest_PumpUntil([&] { return Complete({after}); }, kBoundMs));
  ExpectSmallBody(after);
  EXPECT_EQ(WebGetPool_AddRequest(r), 1);
  ASSERT_TRUE(NetTest_PumpUntil([&] { return Complete({r}); }, kBoundMs));
  ExpectSmallBody(r);
  // Only the request added again reached the new host.
  Logged(nginx_->Port(13), "after=1", 1);
  EXPECT_EQ(Logged(nginx_->Port(13), "gone=1", 1).size(), 1u);

  std::string slowTarget = nginx_->Url(14, "/slow/big.bin?away=1");
  WebGetRequest *s = Add(nginx_->Url(0, "/redir/" + std::to_string(nginx_->Port(14)) + "/slow/big.bin?away=1"));
  ASSERT_TRUE(NetTest_PumpUntil([&] {
    return slowTarget == s->url && WebGetRequest_GetPhase(s) == kWebGetPhaseBody;
  }, kBoundMs));
  EXPECT_EQ(WebGetPool_RemoveRequest(s), 1);
  EXPECT_EQ(WebGetRequest_GetPhase(s), kWebGetPhaseIdle);
  EXPECT_TRUE(WebGetRequest_IsOnlyReference(s));
  WebGetPoolHostState state{};
  int32_t connections = 0;
  Counts(key(slowTarget), &state, &connections);
  EXPECT_EQ(connections, 1);
}

}  // namespace

// A server that accepts and then says nothing: the pool's own timed steps
// bring the request to its time-out, with no pump calling the step.
TEST_F(WebGetPoolTest, SilentServerTimesOutOnPostedStepsAlone) {
  int port = 0;
  int listener = Test_LoopbackListener(&port);
  ASSERT_GE(listener, 0);
  NetTest_StartPool();
  WebGetRequest *r = NewRequest("http://127.0.0.1:" + std::to_string(port) + "/silent");
  WebGetRequest_SetTimeout(r, 1);
  ASSERT_EQ(WebGetPool_AddRequest(r), 1);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBoundMs);
  while (!WebGetRequest_IsComplete(r) && std::chrono::steady_clock::now() < deadline) {
    EventQueue_Flush(EventQueue_GetMain());
    Thread_Yield();
  }
  int32_t code = -1, codeEx = -1;
  WebGetRequest_GetError(r, &code, &codeEx);
  EXPECT_EQ(code, 961);
  close(listener);
}
