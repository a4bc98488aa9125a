// QVN.WebGet through the bridge: answers read by Python's json, rules a page
// adds checked against pcre2test, and what a page must not be able to do
// (stop the program, undo immutable rules, stall on a pattern).
#include "core/bridge/webgetinterop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/bridge/coreinterop.h"
#include "core/net/webget.h"
#include "core/net/webgetpool.h"
#include "core/net/webgetrequest.h"
#include "core/platform/asyncfile.h"
#include "core/runtime/class.h"
#include "core/security/auth.h"
#include "tests/log_capture.h"
#include "tests/netfixture.h"
#include "tests/nginx_peer.h"
#include "tests/page_recorder.h"
#include "tests/test_params.h"
#include "tests/test_util.h"
#include "tests/wake_hook.h"

namespace {

class WebGetInteropTest : public ThreadTest {
 protected:
  void SetUp() override {
    ThreadTest::SetUp();
    Auth_Init();
    WebGet_Init();
    Interop_Init();
    ASSERT_NE(CoreInterop_AddLibrary(), nullptr);
    char buffer[kInteropInstanceIdBytes] = {};
    ASSERT_EQ(Interop_CreateInstance("QVN.WebGet", buffer, sizeof buffer, nullptr, nullptr), 1);
    id_ = buffer;
  }
  void TearDown() override {
    Interop_Shutdown();
    WebGet_Shutdown();
    Auth_Shutdown();
    ThreadTest::TearDown();
  }
  // {"method":method, params...}: the result and the output.
  std::pair<int, std::string> Call(const std::string &method, const std::string &params = "") {
    return TestParams_Call(
        id_, R"({"method":")" + method + "\"" + (params.empty() ? "" : "," + params) + "}");
  }
  // addUrlRedirect with the option words as the page sends them (JSON text).
  std::pair<int, std::string> Add(const std::string &name, const std::string &pattern,
                                  const std::string &replacement,
                                  const std::string &compileOptions = "0",
                                  const std::string &subOptions = "0",
                                  const std::string &isMutable = "true") {
    return Call("addUrlRedirect", R"("name":)" + TestParams_Quote(name) + R"(,"flags":0,"mutable":)" +
                                      isMutable + R"(,"pattern":)" + TestParams_Quote(pattern) +
                                      R"(,"replacement":)" + TestParams_Quote(replacement) +
                                      R"(,"compileOptions":)" + compileOptions +
                                      R"(,"subOptions":)" + subOptions);
  }
  // redirect's raw output.
  std::string Redirect(const std::string &url, int flags = 1) {
    auto [result, output] =
        Call("redirect", R"("flags":)" + std::to_string(flags) + R"(,"url":)" + TestParams_Quote(url));
    EXPECT_EQ(result, 1);
    return output;
  }
  // Python's json reading redirect's outputs, against the URLs expected.
  static void ExpectUrls(const std::vector<std::string> &outputs,
                         const std::vector<std::string> &urls) {
    // Files of their own per test: ctest runs the tests side by side.
    std::string prefix = std::string("webgetinterop_") +
                         ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::vector<std::string> read = PageRecorder_PythonRead(outputs, prefix);
    ASSERT_EQ(read.size(), urls.size());
    for (size_t i = 0; i < urls.size(); i++)
      EXPECT_EQ(read[i], R"({"returnValue":)" + TestParams_Quote(urls[i]) + "}") << i;
  }
  std::string id_;
};

}  // namespace

// Each row's result, its output as Python's json reads it, and its log line.
TEST_F(WebGetInteropTest, AnswersAndRefusals) {
  WebGet_AddWhitelistHost("*.trusted.example");
  AuthSwitchGuardForTest restore(Authenticate_Enabled());
  struct Case {
    const char *method;
    std::string params;
    int result;
    const char *python;  // keys sorted; "" for no output
    const char *log;
  } cases[] = {
      // No rule: the URL comes back as given.
      {"redirect", R"("flags":1,"url":"http://a.example/x")", 1,
       R"({"returnValue":"http://a.example/x"})", nullptr},
      // The open names answer by their labels and by their listed hashes.
      {"setMacroValue", R"("key":"cdn","value":"c.example")", 1, R"({"returnValue":true})",
       nullptr},
      {"redirect", R"("flags":1,"url":"http://{cdn}/x")", 1,
       R"({"returnValue":"http://c.example/x"})", nullptr},
      {"removeMacroValue", R"("key":"cdn","methodHash":3461589106)", 1,
       R"({"returnValue":true})", nullptr},
      {"removeMacroValue", R"("key":"cdn")", 1, R"({"returnValue":false})", nullptr},
      // "mutable" must be a Boolean.
      {"addUrlRedirect",
       R"("name":"n","flags":0,"mutable":1,"pattern":"a","replacement":"b","compileOptions":0,"subOptions":0)",
       0, R"({"returnValue":false})", "Incorrect parameter type (WebGet.addUrlRedirect::mutable)"},
      // Option words: the whole 32-bit range, nothing outside it.
      {"addUrlRedirect",
       R"("name":"n","flags":0,"mutable":true,"pattern":"a","replacement":"b","compileOptions":2147483648,"subOptions":4294967295)",
       1, R"({"returnValue":true})", nullptr},
      {"addUrlRedirect",
       R"("name":"n","flags":0,"mutable":true,"pattern":"a","replacement":"b","compileOptions":-1,"subOptions":0)",
       0, R"({"returnValue":false})", "Parameter out of range (WebGet.addUrlRedirect::compileOptions)"},
      {"addUrlRedirect",
       R"("name":"n","flags":0,"mutable":true,"pattern":"a","replacement":"b","compileOptions":4294967296,"subOptions":0)",
       0, R"({"returnValue":false})", "Parameter out of range (WebGet.addUrlRedirect::compileOptions)"},
      {"addUrlRedirect",
       R"("name":"n","flags":0,"mutable":true,"pattern":"a","replacement":"b","compileOptions":"5","subOptions":0)",
       0, R"({"returnValue":false})", "Incorrect parameter type (WebGet.addUrlRedirect::compileOptions)"},
      {"addUrlRedirect",
       R"("name":"n","flags":0,"mutable":true,"pattern":"a","replacement":"b","compileOptions":0,"subOptions":-1)",
       0, R"({"returnValue":false})", "Parameter out of range (WebGet.addUrlRedirect::subOptions)"},
      {"addUrlRedirect",
       R"("name":"n","flags":0,"mutable":true,"pattern":"a","replacement":"b","compileOptions":0,"subOptions":4294967296)",
       0, R"({"returnValue":false})", "Parameter out of range (WebGet.addUrlRedirect::subOptions)"},
      {"removeUrlRedirect", R"("name":"N")", 1, R"({"returnValue":true})", nullptr},
      // The whitelist, with security off and then on.
      {"relax", "", 0, "", nullptr},
      {"authorize", R"("url":"https://cdn.trusted.example/a")", 1, R"({"returnValue":true})",
       nullptr},
      {"authorize", R"("url":"https://foreign.example/a")", 1, R"({"returnValue":true})",
       "Hostname not found in whitelist (foreign.example)"},
      {"enforce", "", 0, "", nullptr},
      {"authorize", R"("url":"https://cdn.trusted.example/a")", 1, R"({"returnValue":true})",
       nullptr},
      {"authorize", R"("url":"https://foreign.example/a")", 1, R"({"returnValue":false})",
       "Hostname not found in whitelist (foreign.example)"},
      {"redirect", R"("flags":"1","url":"x")", 0, R"({"returnValue":""})",
       "Incorrect parameter type (WebGet.redirect::flags)"},
  };
  std::vector<std::string> outputs;
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.method) + " " + c.params);
    if (std::string(c.method) == "enforce" || std::string(c.method) == "relax") {
      Authenticate_SetEnabledForTest(std::string(c.method) == "enforce");
      continue;
    }
    TestLogCapture log;
    auto [result, output] = Call(c.method, c.params);
    std::string text = log.Take();
    EXPECT_EQ(result, c.result);
    if (c.log != nullptr) {
      EXPECT_NE(text.find(c.log), std::string::npos) << text;
    }
    outputs.push_back(output);
  }
  std::vector<std::string> read = PageRecorder_PythonRead(outputs, "webgetinterop_answers");
  size_t i = 0;
  for (const Case &c : cases) {
    if (std::string(c.method) == "enforce" || std::string(c.method) == "relax") continue;
    ASSERT_LT(i, read.size());
    EXPECT_EQ(read[i++], c.python) << c.method << " " << c.params;
  }
}

// The program's immutable rules outlive a page's remove, clear and
// overwrite; a page's own rules and macros do not outlive its clear.
TEST_F(WebGetInteropTest, PagesCannotUndoImmutableRules) {
  ASSERT_EQ(WebGet_AddUrlRedirect("fixed", 0, 0, "/old/", "/new/", 0, 0), 1);
  ASSERT_EQ(Add("page", "page\\.example", "mirror.example").first, 1);
  ASSERT_EQ(Call("setMacroValue", R"("key":"m","value":"v")").first, 1);
  const std::string url = "http://page.example/old/a";
  std::vector<std::string> outputs{Redirect(url)};
  {
    TestLogCapture log;
    EXPECT_EQ(Call("removeUrlRedirect", R"("name":"FIXED")").second, R"({"returnValue":false})");
    EXPECT_NE(log.Take().find("Attempted to remove immutable redirect (FIXED)"),
              std::string::npos);
  }
  {
    TestLogCapture log;
    EXPECT_EQ(Add("fixed", "x", "y").second, R"({"returnValue":false})");
    EXPECT_NE(log.Take().find("Attempted to overwrite immutable redirect (fixed)"),
              std::string::npos);
  }
  EXPECT_EQ(Call("clearUrlRedirects").second, R"({"returnValue":true})");
  outputs.push_back(Redirect(url));
  outputs.push_back(Redirect("http://{m}/"));
  // The macro is gone: its name stays in the URL.
  ExpectUrls(outputs,
             {"http://mirror.example/new/a", "http://page.example/new/a", "http://{m}/"});
}

// "Anchored" (0x80000000) works from a page; a pattern that backtracks
// without end stops at the match limit and leaves the URL.
TEST_F(WebGetInteropTest, AnchoredAndRunawayPatterns) {
  ASSERT_EQ(Add("anchored", "b", "X", "2147483648").first, 1);
  std::vector<std::string> outputs{Redirect("ab"), Redirect("ba")};
  ASSERT_EQ(Call("clearUrlRedirects").first, 1);

  ASSERT_EQ(Add("runaway", "(a+)+$", "x").first, 1);
  std::string url = "http://h/" + std::string(40, 'a') + "!";
  TestLogCapture log;
  outputs.push_back(Redirect(url));
  EXPECT_NE(log.Take().find("Regex substitution failed (runaway) (-47)"), std::string::npos);
  ExpectUrls(outputs, {"ab", "Xa", url});
}

// A URL longer than the client's own buffers comes back whole through {Url}.
TEST_F(WebGetInteropTest, LongUrlThroughTheKeptCopy) {
  ASSERT_EQ(Add("all", "^.*$", "{Url}?x").first, 1);
  std::string url = "http://h/" + std::string(6000 - 9, 'p');
  ASSERT_EQ(url.size(), 6000u);
  ExpectUrls({Redirect(url)}, {url + "?x"});
}

// Fifty rules of the rewrite table added by page bindings, their option
// words sent as numbers: redirect answers what pcre2test wrote.
TEST_F(WebGetInteropTest, PageRulesEqualPcre2test) {
  int rules = 0;
  std::vector<std::string> outputs, urls;
  bool compiles = false;
  for (const auto &[line, f] : Test_ReadRows("rewrite.txt")) {
    SCOPED_TRACE("rewrite.txt line " + std::to_string(line));
    if (f[0] == "rule") {
      if (++rules > 50) break;
      ASSERT_EQ(Call("clearUrlRedirects").first, 1);
      std::string compile = std::to_string(WebGet_ParseCompileOptions(f[3].c_str()));
      std::string substitute = std::to_string(WebGet_ParseSubstituteOptions(f[4].c_str()));
      auto [result, output] = Add("r", f[2], f[5], compile, substitute);
      ASSERT_EQ(result, 1);
      compiles = output == R"({"returnValue":true})";
      EXPECT_EQ(compiles, f[6] == "1") << f[2];
      continue;
    }
    // pcre2test's 1,024-byte rows, but for the ones that ran out of room
    // (PCRE2_ERROR_NOMEMORY), which the 8,192 bytes of redirect may hold.
    if (!compiles || f[2] != "1024" || f[4] == "F -48") continue;
    outputs.push_back(Redirect(f[3], 0));
    urls.push_back(f[5]);
  }
  EXPECT_GT(urls.size(), 100u);
  ExpectUrls(outputs, urls);
}

// Eight threads rewrite while the page adds, replaces, removes and clears.
using WebGetInteropThreaded = WebGetInteropTest;
TEST_F(WebGetInteropThreaded, RulesChangeWhileRewriting) {
  ASSERT_EQ(WebGet_AddUrlRedirect("base", 0, 0, "^http://cdn\\.example/",
                                  "http://mirror.example/", 0, 0),
            1);
  std::atomic<bool> stop{false};
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; t++) {
    threads.emplace_back([&] {
      while (!stop.load()) {
        char url[kWebGetUrlBytes] = "http://cdn.example/a.bin";
        WebGet_RewriteUrl(1, url, int(sizeof url));
        std::string out = url;
        if (out != "http://mirror.example/a.bin" && out != "http://mirror.example/b.bin")
          wrong++;
      }
    });
  }
  for (int i = 0; i < 200; i++) {
    Add("swap", "a\\.bin", "b.bin");
    if (i % 3 == 0) Call("removeUrlRedirect", R"("name":"swap")");
    if (i % 7 == 0) Call("clearUrlRedirects");
  }
  stop = true;
  for (auto &thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
}

namespace {

// Page settings on the road: requests through the pool to nginx, whose
// access log shows the path each one reached.
class WebGetInteropRoadTest : public NetTest {
 protected:
  void SetUp() override {
    NetTest::SetUp();
    if (!NginxPortsPeer::Available()) GTEST_SKIP() << "nginx is not available";
    nginx_ = std::make_unique<NginxPortsPeer>(1, "");
    ASSERT_TRUE(nginx_->Started());
    nginx_->WriteFile("x", "plain");
    nginx_->WriteFile("rewritten/x", "rewritten");
    AsyncFile_Init();
    WebGet_AddWhitelistHost("127.0.0.1");
    NetTest_StartPool();
    Interop_Init();
    ASSERT_NE(CoreInterop_AddLibrary(), nullptr);
    char buffer[kInteropInstanceIdBytes] = {};
    ASSERT_EQ(Interop_CreateInstance("QVN.WebGet", buffer, sizeof buffer, nullptr, nullptr), 1);
    id_ = buffer;
  }
  void TearDown() override {
    if (!id_.empty()) {
      Interop_Shutdown();
      WebGetPool *pool = WebGetPool_Get();
      if (pool != nullptr) WebGetPool_Release(&pool);
      AsyncFile_Shutdown();
    }
    nginx_.reset();
    NetTest::TearDown();
  }
  int Call(const std::string &binding) { return TestParams_Call(id_, binding).first; }
  // GETs url (rewritten as requests are) through the pool: the status, or
  // -1 when the URL was refused or the request failed.
  int Get(const std::string &url) {
    WebGetRequest *r = nullptr;
    WebGetRequest_Create(&r);
    int status = -1;
    if (WebGetRequest_SetUrl(r, url.c_str(), 1) && WebGetPool_AddRequest(r) &&
        NetTest_PumpUntil([&] { return WebGetRequest_IsComplete(r) != 0; }, 20000)) {
      int32_t code = -1, codeEx = -1;
      WebGetRequest_GetError(r, &code, &codeEx);
      if (code == 0) status = WebGetRequest_GetStatusCode(r);
    }
    Class_ReleaseObject(&r);
    return status;
  }
  // The access log's paths holding mark, once count have arrived.
  std::vector<std::string> Logged(const std::string &mark, size_t count) {
    std::vector<std::string> out;
    Test_WaitUntil([&] {
      out.clear();
      for (const NginxPortsPeer::LogLine &line : nginx_->AccessLog())
        if (line.uri.find(mark) != std::string::npos) out.push_back(line.uri);
      return out.size() >= count;
    }, 5000);
    return out;
  }
  std::unique_ptr<NginxPortsPeer> nginx_;
  std::string id_;
};

}  // namespace

TEST_F(WebGetInteropRoadTest, MacrosAndRulesReachTheServer) {
  std::string host = "127.0.0.1:" + std::to_string(nginx_->Port(0));
  // A macro value expands in the request's URL until the page removes it.
  ASSERT_EQ(Call(R"({"method":"setMacroValue","key":"cdn","value":")" + host + "\"}"), 1);
  EXPECT_EQ(Get("http://{cdn}/x?macro=1"), 200);
  ASSERT_EQ(Call(R"({"method":"removeMacroValue","key":"cdn"})"), 1);
  EXPECT_EQ(Get("http://{cdn}/x?macro=2"), -1);
  // A page's rule sends the request to the rewritten path.
  ASSERT_EQ(Call(R"({"method":"addUrlRedirect","name":"road","flags":0,"mutable":true,)"
                 R"("pattern":"/original/","replacement":"/rewritten/","compileOptions":0,)"
                 R"("subOptions":0})"),
            1);
  EXPECT_EQ(Get("http://" + host + "/original/x?road=1"), 200);
  // A runaway pattern gives up at its limit; the request goes as it was.
  ASSERT_EQ(Call(R"({"method":"addUrlRedirect","name":"runaway","flags":0,"mutable":true,)"
                 R"("pattern":"(a+)+$","replacement":"z","compileOptions":0,"subOptions":0})"),
            1);
  std::string runaway = "/x?runaway=" + std::string(40, 'a') + "!";
  EXPECT_EQ(Get("http://" + host + runaway), 200);

  EXPECT_EQ(Logged("macro=", 1), std::vector<std::string>{"/x?macro=1"});
  EXPECT_EQ(Logged("road=", 1), std::vector<std::string>{"/rewritten/x?road=1"});
  EXPECT_EQ(Logged("runaway=", 1), std::vector<std::string>{runaway});
}
