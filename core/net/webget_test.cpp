// The HTTP client's global: rewrite rules against pcre2test, option texts,
// the whitelist, the report stores and the TLS store seam.
#include "core/net/webget.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "core/formats/dictionary.h"
#include "core/security/auth.h"
#include "core/security/certstorei.h"
#include "core/security/tls1.h"
#include "tests/log_capture.h"
#include "tests/test_util.h"

namespace {

// The global (and the store registry it takes "app" from) for one test.
struct WebGetSession {
  Test_LogRecord log;
  WebGetSession() {
    Auth_Init();
    WebGet_Init();
  }
  ~WebGetSession() {
    WebGet_Shutdown();
    Auth_Shutdown();
  }
};

// Rewrites url in a buffer of size bytes; *changed gets the answer.
std::string rewrite(uint32_t flags, const std::string &url, int size = kWebGetUrlBytes,
                    int *changed = nullptr) {
  std::vector<char> buffer(size_t(size), '\0');
  memcpy(buffer.data(), url.c_str(), url.size() + 1);
  int result = WebGet_RewriteUrl(flags, buffer.data(), size);
  if (changed) *changed = result;
  return buffer.data();
}

int addRule(const char *key, const char *pattern, const char *replacement,
            const char *compile = "", const char *substitute = "", uint32_t flags = 0,
            int isMutable = 1) {
  return WebGet_AddUrlRedirect(key, flags, isMutable, pattern, replacement,
                               WebGet_ParseCompileOptions(compile),
                               WebGet_ParseSubstituteOptions(substitute));
}

// The tally's count of host -> server -> status (-1 when missing).
int64_t tallyCount(Dictionary *tally, const char *host, const char *server, const char *status) {
  Dictionary *h = nullptr, *s = nullptr;
  int64_t count = -1;
  if (Dictionary_GetDictionaryByKey(tally, host, &h) &&
      Dictionary_GetDictionaryByKey(h, server, &s))
    Dictionary_GetInt64ByKey(s, status, &count);
  return count;
}

}  // namespace

// 300 generated rules: our substitution equals pcre2test's under the same
// options and buffer size, or both fail and the URL stays.
TEST(WebGetRewrite, EqualsPcre2test) {
  WebGetSession session;
  int urls = 0, substituted = 0;
  bool compiles = false;
  for (const auto &[line, f] : Test_ReadRows("rewrite.txt")) {
    SCOPED_TRACE("rewrite.txt line " + std::to_string(line));
    if (f[0] == "rule") {
      ASSERT_EQ(f.size(), 7u);
      WebGet_ClearUrlRedirects();
      compiles = addRule("r", f[2].c_str(), f[5].c_str(), f[3].c_str(), f[4].c_str()) == 1;
      EXPECT_EQ(compiles, f[6] == "1") << f[2];
      continue;
    }
    ASSERT_EQ(f.size(), 6u);
    int changed = -1;
    std::string out = rewrite(0, f[3], std::stoi(f[2]), &changed);
    bool positive = f[4][0] != 'F' && std::stoi(f[4]) > 0;
    EXPECT_EQ(out, f[5]);
    EXPECT_EQ(changed, positive ? 1 : 0);
    urls++;
    substituted += positive;
  }
  EXPECT_EQ(urls, 900);
  EXPECT_GT(substituted, 200);  // the table is not all failures and misses
}

TEST(WebGetRewrite, RuleTable) {
  WebGetSession session;
  const std::string url = "http://cdn.example/files/a.bin";
  // Two rules: the second sees the first's output.
  ASSERT_EQ(addRule("one", "cdn\\.example", "mirror.example"), 1);
  ASSERT_EQ(addRule("two", "mirror", "m2"), 1);
  EXPECT_EQ(rewrite(1, url), "http://m2.example/files/a.bin");
  // Replacing "one" in place keeps it first; a pattern that does not compile
  // keeps the old rule.
  ASSERT_EQ(addRule("ONE", "cdn\\.example", "mirror-x.example"), 1);
  EXPECT_EQ(rewrite(1, url), "http://m2-x.example/files/a.bin");
  EXPECT_EQ(addRule("one", "(unclosed", "zzz"), 0);
  EXPECT_EQ(rewrite(1, url), "http://m2-x.example/files/a.bin");
  // An immutable rule survives add and remove, not clear.
  ASSERT_EQ(addRule("fixed", "a\\.bin", "b.bin", "", "", 0, 0), 1);
  EXPECT_EQ(addRule("fixed", "x", "y"), 0);
  EXPECT_EQ(WebGet_RemoveUrlRedirect("Fixed"), 0);
  EXPECT_EQ(rewrite(1, url), "http://m2-x.example/files/b.bin");
  EXPECT_EQ(WebGet_RemoveUrlRedirect("two"), 1);
  EXPECT_EQ(WebGet_RemoveUrlRedirect("two"), 0);
  WebGet_ClearUrlRedirects();
  EXPECT_EQ(rewrite(1, url), url);
  // A resource rule runs only for flags 2.
  ASSERT_EQ(addRule("res", "files", "assets", "", "", kWebGetRedirectResource), 1);
  int changed = -1;
  EXPECT_EQ(rewrite(1, url, kWebGetUrlBytes, &changed), url);
  EXPECT_EQ(changed, 0);
  EXPECT_EQ(rewrite(2, url, kWebGetUrlBytes, &changed), "http://cdn.example/assets/a.bin");
  EXPECT_EQ(changed, 1);
}

TEST(WebGetRewrite, FailedSubstitutionsLeaveTheUrl) {
  WebGetSession session;
  // A result longer than the buffer.
  ASSERT_EQ(addRule("long", "a\\.bin", "a-much-longer-name.bin"), 1);
  const std::string url = "http://h/a.bin";
  EXPECT_EQ(rewrite(1, url, int(url.size()) + 8), url);
  WebGet_ClearUrlRedirects();
  // "DupNames" as a substitute option substitutes (it adds nothing).
  ASSERT_EQ(addRule("dup", "(?<n>cdn)|(?<n>mirror)", "${n}2", "DupNames", "Global,x,DupNames"), 1);
  EXPECT_EQ(rewrite(1, "http://cdn.example/mirror"), "http://cdn2.example/mirror2");
  WebGet_ClearUrlRedirects();
  // A pattern that backtracks without end hits the match limit.
  ASSERT_EQ(addRule("catastrophic", "(a+)+$", "x"), 1);
  std::string slow = "http://h/" + std::string(40, 'a') + "!";
  TestLogCapture capture;
  int changed = -1;
  EXPECT_EQ(rewrite(1, slow, kWebGetUrlBytes, &changed), slow);
  EXPECT_EQ(changed, 0);
  EXPECT_NE(capture.Take().find("Regex substitution failed (catastrophic) (-47)"),
            std::string::npos);
}

TEST(WebGetRewrite, MacrosAroundTheRules) {
  WebGetSession session;
  char agent[kWebGetAgentBytes];
  ASSERT_EQ(WebGet_GetSystemAgent(agent, int(sizeof agent)), 1);
  EXPECT_EQ(strncmp(agent, "(compatible; ", 13), 0) << agent;
  EXPECT_EQ(strchr(agent, '{'), nullptr) << agent;  // every macro of the agent answered
  char user[kWebGetAgentBytes];
  WebGet_GetUserAgent(user, int(sizeof user));
  EXPECT_EQ(std::string(user), std::string("Mozilla/4.0 ") + agent);

  WebGet_SetMacroValue("Mirror", "m1.example");
  ASSERT_EQ(addRule("to", "^http://cdn\\.example/(.*)$", "https://{mirror}/$1?ua={SystemAgent}&from={Url}"), 1);
  EXPECT_EQ(rewrite(1, "http://cdn.example/x"),
            "https://m1.example/x?ua=" + std::string(agent) + "&from=http://cdn.example/x");
  // Flags 0: no expansion; the replacement's macros stay.
  EXPECT_EQ(rewrite(0, "http://cdn.example/x"),
            "https://{mirror}/x?ua={SystemAgent}&from={Url}");
  // Macros in the URL itself are expanded before the rules see it.
  EXPECT_EQ(rewrite(1, "http://{MIRROR}/y"), "http://m1.example/y");
  WebGet_RemoveMacroValue("mirror");
  char out[kWebGetUrlBytes];
  ASSERT_EQ(WebGet_ExpandUrl("http://{Mirror}/z", out, int(sizeof out)), 1);
  EXPECT_STREQ(out, "http://{Mirror}/z");
}

TEST(WebGetOptions, Texts) {
  struct Row {
    const char *text;
    uint64_t compile, substitute;
    uint32_t flags;
  };
  const uint64_t caseless = WebGet_ParseCompileOptions("Caseless");
  const uint64_t dotall = WebGet_ParseCompileOptions("DotAll");
  const uint64_t global = WebGet_ParseSubstituteOptions("Global");
  const uint64_t extended = WebGet_ParseSubstituteOptions("Extended");
  ASSERT_NE(caseless, 0u);
  ASSERT_NE(dotall, 0u);
  ASSERT_NE(global, 0u);
  const Row rows[] = {
      {"Caseless,DotAll", caseless, 0, 0},             // the second field is skipped
      {"Caseless,x,DotAll", caseless | dotall, 0, 0},  // names in odd fields only
      {"caseless, x, DOTALL", caseless | dotall, 0, 0},
      {"Global,x,Extended", WebGet_ParseCompileOptions("Extended"), global | extended, 0},
      {"DupNames", WebGet_ParseCompileOptions("DupNames"), 0, 0},  // a name, no value
      {"Expand,x,Resource", 0, 0, 3},
      {"Unknown,x,Nothing", 0, 0, 0},
      {"", 0, 0, 0},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.text);
    EXPECT_EQ(WebGet_ParseCompileOptions(row.text), row.compile);
    EXPECT_EQ(WebGet_ParseSubstituteOptions(row.text), row.substitute);
    EXPECT_EQ(WebGet_ParseRedirectFlags(row.text), row.flags);
  }
  EXPECT_NE(WebGet_ParseCompileOptions("DupNames"), 0u);
}

TEST(WebGetWhitelist, AuthorizeTable) {
  WebGetSession session;
  AuthSwitchGuardForTest enforced(1);
  WebGet_AddWhitelistHost("*.example");
  WebGet_AddWhitelistHost("star\\*.test");
  WebGet_AddWhitelistHost("*.EXAMPLE");  // the same pattern: kept once
  struct Row {
    const char *url;
    int allowed;
  };
  const Row rows[] = {
      {"http://Files.Example:8080/a", 1},
      {"https://cdn.example/", 1},
      {"files.example/no-scheme", 0},         // no "//"
      {"http://star*.test/", 1},              // "\*" is a literal star
      {"http://starry.test/", 0},
      {"http://a.example@evil.test/", 0},     // user information: the host is evil.test
      {"http://evil.test\\@a.example/", 0},   // a backslash ends the host
      {"http://evil.test/?a.example", 0},
      {"http://example/", 0},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.url);
    EXPECT_EQ(WebGet_Authorize(row.url), row.allowed);
  }
  {
    AuthSwitchGuardForTest off(0);
    EXPECT_EQ(WebGet_Authorize("http://evil.test/"), 1);  // not enforced: allowed
    EXPECT_EQ(WebGet_Authorize("evil.test"), 0);          // malformed whatever the switch
  }
  WebGet_SetWhitelistImmutable();
  EXPECT_EQ(WebGet_IsHostWhitelisted("x.example"), 1);
}

TEST(WebGetDeathTest, FatalPaths) {
  EXPECT_DEATH(
      {
        WebGetSession session;
        WebGet_SetWhitelistImmutable();
        WebGet_AddWhitelistHost("late.example");
      },
      "Assertion failed \\(Platform_CAS\\(&GlobalWebGet->IsHostnameWhitelistImmutable, FALSE, "
      "FALSE\\) == FALSE\\)\nHostnameWhitelist is immutable");
  EXPECT_DEATH(
      {
        WebGetSession session;
        WebGet_AddUrlRedirect("k", 0, 1, "a", "b", uint64_t(1) << 32, 0);
      },
      "CompileOptions out of range");
  EXPECT_DEATH(
      {
        WebGetSession session;
        WebGet_Init();
      },
      "Assertion failed \\(GlobalWebGet == NULL\\)\nWebGet already initialized");
  EXPECT_DEATH(WebGet_RewriteUrl(1, nullptr, 0), "Pointer is NULL");
}

TEST(WebGetReports, ErrorReportsOncePerAddressAndCapped) {
  WebGetSession session;
  uint32_t a = 0x0100007f, b = 0x0200007f;
  EXPECT_EQ(WebGet_ShouldReportError(&a, 80), 1);
  EXPECT_EQ(WebGet_ShouldReportError(&a, 80), 0);  // within the hour
  EXPECT_EQ(WebGet_ShouldReportError(&a, 443), 1);
  EXPECT_EQ(WebGet_ShouldReportError(&b, 80), 1);
  // Past the cap the oldest record goes: a:80 is new again.
  for (int port = 1000; port < 1000 + kWebGetReportCap; port++)
    ASSERT_EQ(WebGet_ShouldReportError(&b, port), 1);
  EXPECT_EQ(WebGet_ShouldReportError(&a, 80), 1);
  WebGet_ClearErrorReports();
  EXPECT_EQ(WebGet_ShouldReportError(&a, 443), 1);
}

TEST(WebGetReports, CacheTallyCountsAndStopsGrowingAtTheCap) {
  WebGetSession session;
  WebGet_CountCacheResult("cdn.example", "edge1", "HIT");
  WebGet_CountCacheResult("cdn.example", "edge1", "HIT");
  WebGet_CountCacheResult("cdn.example", "edge2", "MISS");
  for (int i = 0; i < kWebGetReportCap + 50; i++)
    WebGet_CountCacheResult("cdn.example", ("srv" + std::to_string(i)).c_str(), "HIT");
  // A known key still counts at the cap.
  EXPECT_EQ(WebGet_CountCacheResult("cdn.example", "edge1", "HIT"), 1);
  Dictionary *tally = nullptr;
  Dictionary_Create(&tally);
  WebGet_CopyCacheResults(tally);
  EXPECT_EQ(tallyCount(tally, "cdn.example", "edge1", "HIT"), 3);
  EXPECT_EQ(tallyCount(tally, "cdn.example", "edge2", "MISS"), 1);
  Dictionary *host = nullptr;
  ASSERT_EQ(Dictionary_GetDictionaryByKey(tally, "cdn.example", &host), 1);
  int32_t servers = 0;
  Dictionary_GetCount(host, &servers);
  EXPECT_EQ(servers, kWebGetReportCap);  // edge1, edge2 and srv0..srv997
  Dictionary_Release(&tally);
}

TEST(WebGetTls, DefaultStoreIsTheGlobalsWhileItHasOne) {
  Test_LogRecord log;
  Auth_Init();
  CertStore *app = Auth_GetCertStore("app");
  WebGet_Init();
  CertStore *mine = WebGet_GetCertStore();
  CertStore *tls = Tls_DefaultCertStore();
  EXPECT_EQ(tls, mine);
  CertStore_Release(&tls);
  CertStore *other = Auth_GetCertStore("null");
  WebGet_SetCertStore(other);
  tls = Tls_DefaultCertStore();
  EXPECT_EQ(tls, other);
  CertStore_Release(&tls);
  WebGet_SetCertStore(nullptr);  // none: sessions take "app"
  tls = Tls_DefaultCertStore();
  EXPECT_EQ(tls, app);
  CertStore_Release(&tls);
  WebGet_SetCertStore(other);
  WebGet_Shutdown();
  tls = Tls_DefaultCertStore();  // the source is gone with the global
  EXPECT_EQ(tls, app);
  CertStore_Release(&tls);
  CertStore_Release(&other);
  CertStore_Release(&mine);
  CertStore_Release(&app);
  Auth_Shutdown();
}

// Eight threads rewrite while a ninth adds, replaces and removes rules: every
// result is one that some state of the rule list gives.
TEST(WebGetThreaded, RewritingWhileRulesChange) {
  WebGetSession session;
  ASSERT_EQ(addRule("base", "^http://cdn\\.example/", "http://mirror.example/"), 1);
  std::atomic<bool> stop{false};
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; t++) {
    threads.emplace_back([&] {
      for (int i = 0; i < 400; i++) {
        std::string out = rewrite(1, "http://cdn.example/a.bin");
        if (out != "http://mirror.example/a.bin" && out != "http://mirror.example/b.bin" &&
            out != "http://mirror.example/c.bin")
          wrong++;
      }
    });
  }
  std::thread changer([&] {
    for (int i = 0; !stop.load(); i++) {
      addRule("swap", "a\\.bin", (i % 2) ? "b.bin" : "c.bin");
      if (i % 3 == 0) WebGet_RemoveUrlRedirect("swap");
      WebGet_SetMacroValue("n", std::to_string(i).c_str());
    }
  });
  for (auto &thread : threads) thread.join();
  stop = true;
  changer.join();
  EXPECT_EQ(wrong.load(), 0);
}

TEST(WebGetThreaded, ReportsFromEightThreadsPastTheCaps) {
  WebGetSession session;
  std::vector<std::thread> threads;
  std::atomic<int> firstReports{0};
  for (int t = 0; t < 8; t++) {
    threads.emplace_back([t, &firstReports] {
      uint32_t address = 0x0100000a + uint32_t(t);
      for (int i = 0; i < 300; i++) {
        firstReports += WebGet_ShouldReportError(&address, i);
        WebGet_CountCacheResult("h", ("s" + std::to_string(t * 300 + i)).c_str(), "HIT");
        WebGet_CountCacheResult("h", "shared", "HIT");
      }
    });
  }
  for (auto &thread : threads) thread.join();
  EXPECT_EQ(firstReports.load(), 8 * 300);  // every pair was new once
  Dictionary *tally = nullptr;
  Dictionary_Create(&tally);
  WebGet_CopyCacheResults(tally);
  Dictionary *host = nullptr;
  ASSERT_EQ(Dictionary_GetDictionaryByKey(tally, "h", &host), 1);
  int32_t servers = 0;
  Dictionary_GetCount(host, &servers);
  EXPECT_EQ(servers, kWebGetReportCap);
  EXPECT_EQ(tallyCount(tally, "h", "shared", "HIT"), 8 * 300);
  Dictionary_Release(&tally);
}
