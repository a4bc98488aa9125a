// Proxy lists through real proxies: a test GetProxy hook answers the list,
// squid is the proxy that works, closed ports the ones that do not, and
// nginx the origin. What squid logged shows which way a request went.
#include "core/net/webgetconnection.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <string>

#include "core/net/webget.h"
#include "core/net/webgetrequest.h"
#include "core/platform/asyncfile.h"
#include "tests/log_capture.h"
#include "tests/netfixture.h"
#include "tests/web_peers.h"
#include "tests/webget_outcome.h"

namespace {

constexpr int kBoundMs = 20000;

std::string gAnswer;  // what the hook answers; written on the test's thread only
std::atomic<int> gAsked{0};
std::atomic<int> gRestarts{0};
std::atomic<int> gWorking{0};  // answers "still working" this many times first

int answerHook(const char *, char *out, int outSize, int, int *pending) {
  gAsked++;
  *pending = 0;
  if (gWorking.load() > 0) {
    gWorking--;
    *pending = 1;
    return 0;
  }
  snprintf(out, size_t(outSize), "%s", gAnswer.c_str());
  return 1;
}

int restartHook(void) {
  gRestarts++;
  return 1;
}

using Outcome = WebGetOutcome;

class WebGetProxyListTest : public WebGetConnectionFixture {
 protected:
  void SetUp() override {
    WebGetConnectionFixture::SetUp();
    WebGetConnection_SetProxyHooks(answerHook, restartHook);
    gAsked = 0;
    gRestarts = 0;
    gWorking = 0;
  }
  void TearDown() override {
    WebGetConnection_SetProxyHooks(nullptr, nullptr);
    WebGetConnectionFixture::TearDown();
  }

  // Fetches url on the test's connection, through the request's own proxy
  // setting ("host:port") when given.
  Outcome Fetch(const std::string &url, const std::string &proxy = "") {
    WebGetRequest *r = nullptr;
    WebGetRequest_Create(&r);
    EXPECT_EQ(WebGetRequest_SetUrl(r, url.c_str(), 0), 1);
    snprintf(r->proxy, sizeof r->proxy, "%s", proxy.c_str());
    Outcome out = Test_RunWebGet(connection_, r, true, kBoundMs);
    Class_ReleaseObject(&r);
    return out;
  }
};

// One run through the cases that need squid: the first entry refuses, the
// second (squid) carries the request; the same URL again uses squid without
// asking the hook; the request's own proxy wins over the list; with squid
// gone the list falls through to DIRECT; a list of dead proxies fails with
// 950, and the next request for that URL has the resolver look again.
TEST_F(WebGetProxyListTest, EntriesTriedInTurn) {
  if (!NginxPeer::Available() || !SquidPeer::Available())
    GTEST_SKIP() << "nginx or squid is not installed";
  NginxPeer origin;
  for (const char *name : {"doc.txt", "own.txt", "dead.txt"})
    std::ofstream(origin.dir / name) << "through";
  SquidPeer squid;
  ASSERT_TRUE(origin.Ready());
  ASSERT_TRUE(squid.Ready());
  std::string closed = "127.0.0.1:" + std::to_string(Test_FreeLoopbackPort());
  std::string url = origin.Url("/doc.txt");
  gAnswer = "PROXY " + closed + "; PROXY " + squid.Authority() + "; DIRECT";

  Outcome out = Fetch(url);
  EXPECT_EQ(out.code, 0);
  EXPECT_EQ(out.body, "through");
  EXPECT_TRUE(Test_WaitUntil([&] { return squid.Logged(url) == 1; }, kBoundMs));
  out = Fetch(url);
  EXPECT_EQ(out.body, "through");
  EXPECT_TRUE(Test_WaitUntil([&] { return squid.Logged(url) == 2; }, kBoundMs));
  EXPECT_EQ(gAsked.load(), 1);

  // The request's own proxy: the hook is not asked.
  std::string other = origin.Url("/own.txt");
  gAnswer = "PROXY " + closed;
  out = Fetch(other, squid.Authority());
  EXPECT_EQ(out.code, 0);
  EXPECT_TRUE(Test_WaitUntil([&] { return squid.Logged(other) == 1; }, kBoundMs));
  EXPECT_EQ(gAsked.load(), 1);

  std::string squidAuthority = squid.Authority();
  squid.Stop();
  out = Fetch(url);
  EXPECT_EQ(out.code, 0);
  EXPECT_EQ(out.body, "through");
  EXPECT_EQ(gAsked.load(), 1);

  // A refused connect is a socket error (953, 10061); the list's end then
  // fails the next request with that last error (950 without one).
  std::string dead = origin.Url("/dead.txt");
  gAnswer = "PROXY " + closed + "; PROXY " + squidAuthority;
  out = Fetch(dead);
  EXPECT_EQ(out.code, kWebGetErrorSocket);
  EXPECT_EQ(out.codeEx, 10061);
  EXPECT_EQ(gRestarts.load(), 0);
  out = Fetch(dead);
  EXPECT_EQ(out.code, kWebGetErrorSocket);
  EXPECT_EQ(gRestarts.load(), 1);
  EXPECT_EQ(gAsked.load(), 2);
  // The list was dropped: the next request asks the resolver again.
  gAnswer = "DIRECT";
  EXPECT_EQ(Fetch(dead).code, 0);
  EXPECT_EQ(gAsked.load(), 3);
  // A DIRECT answer is kept for the URL like a proxy is.
  EXPECT_EQ(Fetch(dead).code, 0);
  EXPECT_EQ(gAsked.load(), 3);
}

// Entries that are not HTTP proxies: SOCKS of any version goes direct with
// one warning; another typed entry is passed over with one; an empty
// answer is DIRECT; a list with nothing usable fails as an exhausted one.
TEST_F(WebGetProxyListTest, EntriesThatAreNotHttpProxies) {
  if (!NginxPeer::Available()) GTEST_SKIP() << "nginx is not installed";
  NginxPeer origin;
  std::ofstream(origin.dir / "doc.txt") << "direct";
  ASSERT_TRUE(origin.Ready());
  struct Row {
    const char *answer;
    int32_t code;
    const char *warned;  // the one warning line, or NULL for none
  } rows[] = {
      {"SOCKS5 127.0.0.1:1", 0, "Unsupported proxy type (SOCKS5)"},
      {"socks 127.0.0.1:1; PROXY 127.0.0.1:1", 0, "Unsupported proxy type (socks)"},
      {"HTTPS 127.0.0.1:1; DIRECT", 0, "Unsupported proxy type (HTTPS)"},
      {"", 0, nullptr},
      {"  DIRECT  ;;", 0, nullptr},
      {"HTTPS 127.0.0.1:1", kWebGetErrorConnect, "Unsupported proxy type (HTTPS)"},
  };
  int n = 0;
  for (const Row &row : rows) {
    SCOPED_TRACE(row.answer);
    gAnswer = row.answer;
    std::string url = origin.Url("/doc.txt?" + std::to_string(n++));
    TestLogCapture capture;
    Outcome out = Fetch(url);
    std::string log = capture.Take();
    EXPECT_EQ(out.code, row.code);
    if (row.code == 0) {
      EXPECT_EQ(out.body, "direct");
    }
    if (row.warned != nullptr) {
      EXPECT_EQ(WebPeer_CountText(log, row.warned), 1) << log;
    } else {
      EXPECT_EQ(log.find("Unsupported proxy type"), std::string::npos) << log;
    }
  }
  // A resolver still at work is asked again until it answers.
  gAnswer = "DIRECT";
  gWorking = 3;
  gAsked = 0;
  EXPECT_EQ(Fetch(origin.Url("/doc.txt?working")).body, "direct");
  EXPECT_EQ(gAsked.load(), 4);
}

}  // namespace
