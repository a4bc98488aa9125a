// Proxy auto-configuration scripts: a corpus using every helper against
// pacparser's answers (tests/gen_pac.py), the time helpers against an
// injected clock, and scripts that loop or allocate without end.
#include "core/posix/autoproxy.h"

#include <gtest/gtest.h>

#include <atomic>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/platform/platform.h"
#include "tests/fsfault.h"
#include "tests/test_util.h"

namespace {

struct Evaluation {
  int result;
  int systemError;
  std::string answer;
};

Evaluation evaluate(const std::string &script, const std::string &url, int outSize = 512) {
  std::string out(size_t(outSize), '\0');
  ProxyScriptRequest request = {
      script.c_str(), int32_t(script.size()), url.c_str(), out.data(), outSize, -1, -1};
  Platform_ProxyGetForURLWithScript(&request);
  return {request.result, request.systemError, out.c_str()};
}

double gFakeNow = 0;
double fakeClock() { return gFakeNow; }

}  // namespace

TEST(AutoProxy, CorpusAnswersAsPacparser) {
  std::ifstream scriptFile(Test_VectorPath("pac_corpus.js"));
  std::stringstream script;
  script << scriptFile.rdbuf();
  ASSERT_FALSE(script.str().empty());
  std::ifstream table(Test_VectorPath("pac.txt"));
  std::string line;
  int cases = 0;
  while (std::getline(table, line)) {
    size_t tab1 = line.find('\t'), tab2 = line.find('\t', tab1 + 1);
    std::string url = line.substr(0, tab1), expected = line.substr(tab2 + 1);
    Evaluation got = evaluate(script.str(), url);
    EXPECT_EQ(got.result, 1) << url;
    EXPECT_EQ(got.answer, expected) << url;
    cases++;
  }
  EXPECT_GT(cases, 10);
  EXPECT_EQ(Platform_IsAutoProxyAvailable(), 1);
}

TEST(AutoProxy, TimeHelpersReadTheInjectedClock) {
  // Wednesday 2026-03-18 14:30:15 UTC.
  gFakeNow = 1773844215;
  AutoProxy_SetClockForTest(fakeClock);
  setenv("TZ", "UTC", 1);
  tzset();
  struct Case {
    const char *call;
    bool expected;
  } cases[] = {
      {"weekdayRange('WED')", true},
      {"weekdayRange('MON', 'FRI')", true},
      {"weekdayRange('SAT', 'MON')", false},  // wraps over the weekend
      {"weekdayRange('THU', 'TUE', 'GMT')", false},
      {"weekdayRange('TUE', 'WED', 'GMT')", true},
      {"timeRange(14)", true},
      {"timeRange(15)", false},
      {"timeRange(9, 17)", true},
      {"timeRange(14, 15, 'GMT')", true},
      {"timeRange(15, 14)", false},
      {"timeRange(22, 15)", true},  // over midnight
      {"timeRange(14, 30, 14, 30)", true},
      {"timeRange(14, 31, 15, 0)", false},
      {"timeRange(14, 30, 10, 14, 30, 20)", true},
      {"timeRange(14, 30, 16, 14, 30, 20)", false},
      {"dateRange(18)", true},
      {"dateRange('MAR')", true},
      {"dateRange(2026)", true},
      {"dateRange(2025)", false},
      {"dateRange(1, 17)", false},
      {"dateRange('JAN', 'MAR')", true},
      {"dateRange('NOV', 'FEB')", false},
      {"dateRange(17, 'MAR', 19, 'MAR')", true},
      {"dateRange('OCT', 2025, 'FEB', 2026)", false},
      {"dateRange('OCT', 2025, 'MAR', 2026)", true},
      {"dateRange(1, 'JAN', 2026, 31, 'DEC', 2026, 'GMT')", true},
  };
  for (const Case &c : cases) {
    std::string script =
        std::string("function FindProxyForURL(u, h) { return ") + c.call + " ? 'yes' : 'no'; }";
    Evaluation got = evaluate(script, "http://x/");
    EXPECT_EQ(got.result, 1) << c.call;
    EXPECT_EQ(got.answer, c.expected ? "yes" : "no") << c.call;
  }
  AutoProxy_SetClockForTest(nullptr);
  unsetenv("TZ");
  tzset();
}

TEST(AutoProxy, FailuresAndLimitsAnswerZero) {
  AutoProxy_SetLimitsForTest(300, 8u << 20);
  struct Case {
    const char *name, *script;
    int error;
  } cases[] = {
      {"loops", "function FindProxyForURL(u, h) { for (;;) {} }", 1460},
      {"loops at load", "while (true) {}", 1460},
      // Inside built-ins, where the executor's check does not look.
      {"backtracks",
       "function FindProxyForURL(u, h) { "
       "return /^(a+)+$/.test('aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaab') ? 'x' : 'y'; }",
       1460},
      {"matches a long pattern",
       "function FindProxyForURL(u, h) { var t = new Array(20001).join('ab'), p = '*' + t + 'c'; "
       "return shExpMatch(t + t + t + t + t, p) ? 'x' : 'y'; }", 1460},
      {"allocates",
       // Doubling reaches the limit in a few steps, long before the time
       // limit even in a slow build.
       "function FindProxyForURL(u, h) { var a = [], s = 'x'; for (;;) a.push(s += s); }", 8},
      {"syntax error", "function FindProxyForURL(u, h) {", 12166},
      {"throws", "function FindProxyForURL(u, h) { throw new Error('no'); }", 12166},
      {"no function", "var x = 1;", 12166},
      {"not a string", "function FindProxyForURL(u, h) { return 1; }", 12166},
  };
  for (const Case &c : cases) {
    Evaluation got = evaluate(c.script, "http://x/");
    EXPECT_EQ(got.result, 0) << c.name;
    EXPECT_EQ(got.systemError, c.error) << c.name;
    EXPECT_EQ(got.answer, "") << c.name;
  }
  AutoProxy_SetLimitsForTest(0, 0);
  // The process is alive and the next evaluation is whole.
  EXPECT_EQ(evaluate("function FindProxyForURL(u, h) { return h; }", "http://a.b:81/c").answer,
            "a.b");
  // A short out keeps what fits.
  EXPECT_EQ(
      evaluate("function FindProxyForURL(u, h) { return 'PROXY p:1'; }", "http://x/", 6).answer,
      "PROXY");
}

TEST(AutoProxy, NameServicesOfTheScripts) {
  struct InNet {
    const char *address, *network, *mask;
    int expected;
  } inNet[] = {
      {"10.1.2.3", "10.1.0.0", "255.255.0.0", 1},
      {"10.1.2.3", "10.1.2.3", "255.255.0.0", 1},  // host bits in the pattern
      {"10.2.2.3", "10.1.0.0", "255.255.0.0", 0},
      {"10.1.2.3", "10.1.2.4", "255.255.255.255", 0},
      {"anything", "0.0.0.0", "0.0.0.0", 0},
      {"10.1.2.3", "10.1", "255.255.0.0", 0},
      {"10.1.2.3:80", "10.1.0.0", "255.255.0.0", 0},
  };
  for (const InNet &c : inNet)
    EXPECT_EQ(Platform_AutoProxyIsInNet(c.address, c.network, c.mask), c.expected)
        << c.address << " " << c.network << " " << c.mask;

  char out[48];
  uint32_t size = sizeof out;
  EXPECT_EQ(Platform_AutoProxyResolveHostName("127.0.0.1", out, &size), 0);
  EXPECT_STREQ(out, "127.0.0.1");
  EXPECT_EQ(size, 9u);
  size = sizeof out;
  EXPECT_EQ(Platform_AutoProxyResolveHostName("no-such-host.invalid", out, &size), 12007);
  EXPECT_EQ(Platform_AutoProxyIsResolvable("localhost"), 1);
  EXPECT_EQ(Platform_AutoProxyIsResolvable("no-such-host.invalid"), 0);
  size = 4;
  EXPECT_EQ(Platform_AutoProxyResolveHostName("127.0.0.1", out, &size), 122);
  size = sizeof out;
  EXPECT_EQ(Platform_AutoProxyGetIPAddress(out, &size), 0);
  EXPECT_EQ(std::string(out),
            FsFault_Command("getent ahostsv4 $(hostname) | awk 'NR==1 {print $1}'"));
}

TEST(AutoProxyThreaded, EvaluationsOverlapOnSeveralThreads) {
  // Two scripts in turn, so the kept bytecode changes hands while others load it.
  const std::string scripts[2] = {
      "function FindProxyForURL(u, h) { return shExpMatch(h, '*.a') ? 'PROXY a:1' : 'DIRECT'; }",
      "function FindProxyForURL(u, h) { return 'PROXY ' + h + ':2'; }"};
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; t++) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 25; i++) {
        int which = (t + i) % 2;
        Evaluation got = evaluate(scripts[which], "http://x.a/");
        if (got.answer != (which == 0 ? "PROXY a:1" : "PROXY x.a:2")) wrong++;
      }
    });
  }
  for (std::thread &thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
}

