// The proxy resolver: lists from the command line and the system settings
// (the environment through the platform layer), scripts fetched from nginx
// and from tests/wpadpeer.py, WPAD by DNS against that peer's dnslib server
// (hostile replies, the name walk), and script answers against pacparser.
#include "core/net/proxyresolver.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/net/dns.h"
#include "core/net/socket.h"
#include "core/net/webget.h"
#include "core/net/webgetconnection.h"
#include "core/net/webgetpool.h"
#include "core/net/webgetrequest.h"
#include "core/platform/asyncfile.h"
#include "core/posix/autoproxy.h"
#include "core/posix/sysroot.h"
#include "core/runtime/cmdline.h"
#include "core/runtime/str.h"
#include "tests/fsfault.h"
#include "tests/log_capture.h"
#include "tests/loopback_port.h"
#include "tests/netfixture.h"
#include "tests/peer_process.h"
#include "tests/peer_record.h"
#include "tests/test_util.h"
#include "tests/web_peers.h"

namespace {

constexpr int kBoundMs = 20000;

std::string readFile(const std::string &path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// tests/wpadpeer.py: DNS on one port, scripts over HTTP on another.
struct WpadPeer {
  FsFaultTempDir dir;
  std::unique_ptr<PeerProcess> process;
  int port = 0, dnsPort = 0;
  WpadPeer() {
    process = std::make_unique<PeerProcess>(std::vector<std::string>{
        "/usr/bin/python3", std::string(KEELSON_TESTS_DIR) + "/wpadpeer.py", dir.path()});
    Test_WaitUntil([&] { return access((dir / "port").c_str(), F_OK) == 0; }, kBoundMs);
    std::ifstream(dir / "port") >> port;
    std::ifstream(dir / "dnsport") >> dnsPort;
  }
  std::string Url(const std::string &path) const {
    return "http://127.0.0.1:" + std::to_string(port) + "/" + path;
  }
  void Serve(const std::string &name, const std::string &script) {
    std::ofstream(dir.path() + "/www/" + name) << script;
  }
  void Dns(const std::string &kinds) {
    std::ofstream(dir / "dns") << kinds;
    std::filesystem::remove(dir / "queries");
  }
  std::string Queries() { return readFile(dir / "queries"); }
};

std::string pacAnswering(const std::string &list) {
  return "function FindProxyForURL(url, host) { return \"" + list + "\"; }\n";
}

// What the settings say beyond the environment: the platform layer reads
// these from the desktop and DHCP leases, which a test cannot set here.
struct TestSettings {
  int autoDetect = 0;
  std::string autoConfigUrl, dhcpUrl, problem;
} gSettings;

int testAutoDetect(int *on) {
  *on = gSettings.autoDetect;
  return 1;
}
int testAutoConfigUrl(char *out, int size) {
  Str_Copy(out, gSettings.autoConfigUrl.c_str(), size);
  return out[0] != '\0';
}
int testAdapter(int index, NetworkAdapter *out) {
  if (index > 0 || gSettings.dhcpUrl.empty()) return 0;
  *out = NetworkAdapter{};
  Str_Copy(out->name, "eth9", sizeof out->name);
  out->connected = out->dhcp = out->wiredOrWireless = 1;
  out->type = 6;
  return 1;
}
int testDhcpUrl(const char *, char *out, int size) {
  Str_Copy(out, gSettings.dhcpUrl.c_str(), size);
  return out[0] != '\0';
}

int testSettingsProblem(char *out, int size) {
  Str_Copy(out, gSettings.problem.c_str(), size);
  return out[0] != '\0';
}

const ProxyResolverPlatform kTestPlatform = {
    testAutoDetect,         testAutoConfigUrl,           testAdapter,
    testDhcpUrl,            Platform_GetDnsServers,      Platform_ProxyGetByProtocol,
    Platform_GetProxyBypass, testSettingsProblem,
};

// The lines the resolver has for the user.
std::mutex gWarningsLock;
std::vector<std::string> gWarnings;
void testWarning(const char *line) {
  std::lock_guard<std::mutex> guard(gWarningsLock);
  gWarnings.push_back(line);
}
std::vector<std::string> takeWarnings() {
  std::lock_guard<std::mutex> guard(gWarningsLock);
  return std::exchange(gWarnings, {});
}

class ProxyResolverTest : public NetTest {
 protected:
  static void SetUpTestSuite() { peer_ = new WpadPeer(); }
  static void TearDownTestSuite() {
    delete peer_;
    peer_ = nullptr;
  }
  void SetUp() override {
    NetTest::SetUp();
    AsyncFile_Init();
    WebGet_AddWhitelistHost("127.0.0.1");
    ASSERT_GT(peer_->port, 0);
    for (const char *name : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "ftp_proxy",
                             "FTP_PROXY", "all_proxy", "ALL_PROXY", "no_proxy", "NO_PROXY"})
      env_.push_back(std::make_unique<PeerEnvScope>(name, nullptr));
    gSettings = TestSettings{};
    ProxyResolver_SetPlatformForTest(&kTestPlatform);
  }
  void TearDown() override {
    ProxyResolver_Shutdown();
    if (CmdLine_GetArgV(nullptr) != nullptr) CmdLine_Free();
    ProxyResolver_SetPlatformForTest(nullptr);
    ProxyResolver_SetMachineNameForTest(nullptr);
    Socket_SetDnsPortForTest(0);
    SysRoot_SetForTest(nullptr);
    env_.clear();
    AsyncFile_Shutdown();
    NetTest::TearDown();
  }

  // Starts the resolver under this command line, WPAD by DNS asking the
  // peer for the machine name given.
  void Start(const std::string &cmdline, const std::string &machine = "pc") {
    CmdLine_Init(cmdline.c_str());
    ProxyResolver_SetMachineNameForTest(machine.c_str());
    std::filesystem::create_directories(root_ / "etc");
    std::ofstream(root_ / "etc/resolv.conf") << "nameserver 127.0.0.1\n";
    SysRoot_SetForTest(root_.path().c_str());
    Socket_SetDnsPortForTest(peer_->dnsPort);
    ASSERT_EQ(ProxyResolver_Init(), 1);
  }
  // The list for url once detection has finished.
  static std::string Resolve(const std::string &url, int allowLoopback = 1, int *result = nullptr) {
    char out[kProxyResolverListBytes] = "junk";
    int pending = 1, got = -1;
    Test_WaitUntil([&] {
      got = ProxyResolver_GetProxy(url.c_str(), out, sizeof out, allowLoopback, &pending);
      return pending == 0;
    }, kBoundMs);
    EXPECT_EQ(pending, 0) << url;
    if (result != nullptr) *result = got;
    return out;
  }
  void Set(const char *name, const char *value) {
    env_.push_back(std::make_unique<PeerEnvScope>(name, value));
  }

  static WpadPeer *peer_;
  FsFaultTempDir root_;
  std::vector<std::unique_ptr<PeerEnvScope>> env_;
};

WpadPeer *ProxyResolverTest::peer_ = nullptr;

}  // namespace

TEST(ProxyResolverDeathTest, HooksNeedTheResolver) {
  char out[kProxyResolverListBytes];
  int pending = 0;
  EXPECT_DEATH(ProxyResolver_GetProxy("http://a.example/", out, sizeof out, 0, &pending),
               "Proxy resolver not initialized");
  EXPECT_DEATH(ProxyResolver_Restart(), "Proxy resolver not initialized");
}

TEST(ProxyResolver, AnswerUrls) {
  auto record = [](uint16_t type, const std::string &data) {
    DnsRecord r = {};
    r.type = type;
    r.dataLength = uint16_t(data.size());
    memcpy(r.data, data.data(), data.size());
    return r;
  };
  auto txt = [](const std::string &text) { return std::string(1, char(text.size())) + text; };
  struct Case {
    DnsRecord record;
    const char *url;
  } cases[] = {
      {record(kDnsTypeA, std::string("\x7f\0\0\x01", 4)), "http://wpad.x.example/wpad.dat"},
      {record(kDnsTypeCNAME, "proxy.x.example"), "http://wpad.x.example/wpad.dat"},
      {record(kDnsTypeTXT, txt("service: wpad:!!http://h/p.pac")), "http://h/p.pac"},
      {record(kDnsTypeTXT, txt("SERVICE: WPAD:http://h/p.pac")), "http://h/p.pac"},
      {record(kDnsTypeTXT, txt("service: wpad:!!http://h/") + txt("{MACAddress}.pac")),
       "http://h/%7BMACAddress%7D.pac"},
      {record(kDnsTypeTXT, txt("wpad:http://h/p.pac service:")), ""},
      {record(kDnsTypeTXT, txt("service: wpad:!!!")), ""},
      {record(kDnsTypeTXT, std::string("\x30short")), ""},  // a string longer than its record
      {record(kDnsTypeMX, std::string("\0\x0a", 2) + "mx.x.example"), ""},
  };
  for (const Case &c : cases) {
    char out[kWebGetUrlBytes] = "junk";
    EXPECT_EQ(ProxyResolver_AnswerUrl(&c.record, "wpad.x.example", out, sizeof out), c.url[0] != '\0');
    EXPECT_STREQ(out, c.url) << c.record.type;
  }
  char small[9];
  EXPECT_EQ(ProxyResolver_EncodeBraces("{ab}", small, 8), 0);
  EXPECT_STREQ(small, "");
  EXPECT_EQ(ProxyResolver_EncodeBraces("{ab}", small, 9), 1);
  EXPECT_STREQ(small, "%7Bab%7D");
}

// Detection never asks "wpad." before a public suffix or a one-label name.
TEST(ProxyResolver, WpadNamesStopAtThePublicSuffix) {
  struct Case {
    const char *name;
    int query;
  } cases[] = {{"pc.example.co.uk", 1}, {"example.co.uk", 1}, {"co.uk", 0}, {"uk", 0},
               {"example.com", 1},      {"com", 0},           {"corp.local", 1},
               {"a.corp.example", 1},   {"github.io", 0},     {"x.github.io", 1}};
  for (const Case &c : cases) EXPECT_EQ(ProxyResolver_CanQueryWpad(c.name), c.query) << c.name;
}

// The settings' lists with the system bypass list, and the command line's.
TEST_F(ProxyResolverTest, ListsFromSettingsAndCommandLine) {
  Set("http_proxy", "http://h.example:8080/");
  Set("https_proxy", "s.example:443");
  Set("no_proxy", "<local>,*.corp.example,<-loopback>");
  Start("prog");
  struct Case {
    const char *url;
    int allowLoopback;
    const char *list;
    int result;
  } cases[] = {
      {"http://a.b/", 1, "h.example:8080", 1},
      {"https://a.b/x", 1, "s.example:443", 1},
      {"http://intranet/", 1, "", 1},
      {"http://host.corp.example:81/", 1, "", 1},
      {"http://localhost/", 0, "", 0},
      {"http://LOCALHOST:8/", 0, "", 0},
      {"http://127.0.0.1/", 1, "h.example:8080", 1},
      {"http://localhost:8/", 1, "h.example:8080", 1},  // "<-loopback>" wins over "<local>"
  };
  for (const Case &c : cases) {
    int result = -1;
    EXPECT_EQ(Resolve(c.url, c.allowLoopback, &result), c.list) << c.url;
    EXPECT_EQ(result, c.result) << c.url;
  }
  ProxyResolver_Shutdown();
  CmdLine_Free();
  Start("prog --proxy=a:1,b:2");
  EXPECT_EQ(Resolve("http://a.b/"), "a:1;b:2");
  EXPECT_EQ(Resolve("http://intranet/"), "");
  ProxyResolver_Shutdown();
  CmdLine_Free();
  // A list longer than the connection's field keeps only whole entries.
  std::string many, whole;
  for (int i = 10; i < 70; i++) {
    std::string entry = "host" + std::to_string(i) + ".example:8080";
    many += (many.empty() ? "" : ",") + entry;
    if (whole.size() + entry.size() + 1 < size_t(kProxyResolverListBytes))
      whole += (whole.empty() ? "" : ";") + entry;
  }
  Start("prog --proxy=" + many);
  EXPECT_EQ(Resolve("http://a.b/"), whole);
  WebGetProxyGetHook getProxy = nullptr;
  WebGetProxyRestartHook restart = nullptr;
  WebGetConnection_GetProxyHooks(&getProxy, &restart);
  EXPECT_EQ(getProxy, &ProxyResolver_GetProxy);
  EXPECT_EQ(restart, &ProxyResolver_Restart);
  ProxyResolver_Shutdown();
  WebGetConnection_GetProxyHooks(&getProxy, &restart);
  EXPECT_EQ(getProxy, nullptr);
  EXPECT_EQ(restart, nullptr);
}

// Whether curl goes direct to url under no_proxy: with a proxy that refuses
// on 127.0.0.1:1 and every name resolved to 127.0.0.3, the first address
// curl tries tells. -1 when curl is missing.
int CurlBypasses(const std::string &noProxy, const std::string &url, const std::string &host,
                 int port) {
  if (access("/usr/bin/curl", X_OK) != 0) return -1;
  uint32_t address = 0;
  int unusedPort = 0;
  std::string resolve = Str_ParseIPv4(host.c_str(), &address, &unusedPort)
                            ? ""
                            : " --resolve '" + host + ":" + std::to_string(port) + ":127.0.0.3'";
  std::string command = "no_proxy='" + noProxy + "' http_proxy=http://127.0.0.1:1 "
                        "/usr/bin/curl -sv --connect-timeout 2 --max-time 3" + resolve + " '" +
                        url + "' 2>&1";
  int status = -1;
  std::string out = Test_RunCommand(command, &status);
  size_t trying = out.find("Trying ");
  if (trying == std::string::npos) return -1;
  return out.compare(trying, 20, "Trying 127.0.0.1:1..") != 0;
}

// no_proxy as curl reads it (curl itself the oracle where it reads the
// entry alike; curl 7.88 knows neither ports nor "*." patterns, which GLib's
// ignore-hosts has and which are read the same way).
TEST_F(ProxyResolverTest, NoProxyEntriesMatchAsCurlReadsThem) {
  Set("http_proxy", "http://h.example:8080/");
  Start("prog");
  struct Row {
    const char *noProxy, *host;
    int port, bypass, curl;
  } rows[] = {
      {".vm", "vm", 18481, 1, 1},        {".vm", "a.vm", 18481, 1, 1},
      {"vm", "a.vm", 18481, 1, 1},       {"vm", "b.a.vm", 18481, 1, 1},
      {"vm", "xvm", 18481, 0, 1},        {"VM", "vm", 18481, 1, 1},
      {"other, vm", "vm", 18481, 1, 1},  {"other", "vm", 18481, 0, 1},
      {"*", "any.example", 18481, 1, 1}, {"127.0.0.0/8", "127.0.0.5", 18481, 1, 1},
      {"127.0.0.0/24", "127.0.1.5", 18481, 0, 1}, {"127.0.0.5", "127.0.0.5", 18481, 1, 1},
      {"vm:18481", "vm", 18481, 1, 0},   {"vm:18481", "vm", 80, 0, 0},
      {"vm:18481", "a.vm", 18481, 1, 0}, {"*.vm", "vm", 18481, 1, 0},
      {"127.0.0.5:80", "127.0.0.5", 18481, 0, 0},
  };
  for (const Row &row : rows) {
    Set("no_proxy", row.noProxy);
    std::string url = "http://" + std::string(row.host) +
                      (row.port == 80 ? "" : ":" + std::to_string(row.port)) + "/";
    EXPECT_EQ(Resolve(url), row.bypass ? "" : "h.example:8080") << row.noProxy << " " << url;
    int curl = row.curl ? CurlBypasses(row.noProxy, url, row.host, row.port) : -1;
    if (curl >= 0) {
      EXPECT_EQ(curl, row.bypass) << "curl: " << row.noProxy << " " << url;
    }
  }
}

// `proxy-wpad` naming a script nginx serves from a host off the content
// whitelist (the user's setting, not a publisher's); a script that cannot
// be had or run says so in one line, and the system proxy answers.
TEST_F(ProxyResolverTest, CommandLineScriptFromNginx) {
  if (access("/usr/sbin/nginx", X_OK) != 0) GTEST_SKIP() << "nginx is not installed";
  FsFaultTempDir dir;
  std::ofstream(dir / "cmd.pac") << pacAnswering("PROXY cmd.example:1; DIRECT");
  // Scripts that fail for one host alone: the others still go by their answers.
  std::ofstream(dir / "broken.pac") << "function FindProxyForURL(url, host) { return host == "
                                       "'b.example' ? nope() : 'PROXY cmd.example:1'; }\n";
  std::ofstream(dir / "notalist.pac")
      << "function FindProxyForURL(url, host) { return host == 'b.example' ? "
         "'http://p.example:3128/\\n' : 'DIRECT'; }\n";
  // A script that answers, slowly: one line, its answers unchanged.
  std::ofstream(dir / "slow.pac")
      << "function FindProxyForURL(url, host) { var end = Date.now() + 300; "
         "while (Date.now() < end) {} return 'PROXY s.example:1'; }\n";
  int port = Test_FreeLoopbackPort();
  std::string p = dir.path();
  std::ofstream(dir / "nginx.conf")
      << (geteuid() == 0 ? "user root;\n" : "") << "daemon off; worker_processes 1; pid " << p
      << "/pid; error_log " << p << "/error.log;\nevents {}\nhttp { access_log " << p
      << "/access.log; client_body_temp_path " << p << "; server { listen 127.0.0.2:" << port
      << "; root " << p << "; } }\n";
  PeerProcess nginx({"/usr/sbin/nginx", "-c", dir / "nginx.conf", "-p", p});
  std::string base = "http://127.0.0.2:" + std::to_string(port);
  std::string dead = "http://127.0.0.1:" + std::to_string(Test_FreeLoopbackPort());
  // nginx writes its pid file once it listens.
  ASSERT_TRUE(Test_WaitUntil([&] { return Peer_FileExists(p + "/pid"); }, kBoundMs));
  ASSERT_FALSE(WebGet_IsHostWhitelisted("127.0.0.2"));
  Set("http_proxy", "sys.example:3");
  ProxyResolver_SetWarningHook(testWarning);
  takeWarnings();
  const std::string fallback = "; going on without it";
  struct Case {
    std::string url, list, warning, listB = "";  // "": list
  } cases[] = {
      {base + "/cmd.pac", "PROXY cmd.example:1; DIRECT", ""},
      {base + "/missing.pac?token=secret", "sys.example:3",
       "warning: proxy script " + base + "/missing.pac (--proxy-wpad) cannot be fetched: server "
       "answered 404 object not found" + fallback},
      {"http://user:pw@" + dead.substr(7) + "/p.pac", "sys.example:3",
       "warning: proxy script " + dead + "/p.pac (--proxy-wpad) cannot be fetched: connection "
       "refused" + fallback},
      // A password with an '@' of its own is not shown in part.
      {"ftp://u:p@w@127.0.0.2/p.pac", "sys.example:3",
       "warning: proxy script ftp://127.0.0.2/p.pac (--proxy-wpad) cannot be fetched: only http "
       "and https scripts are fetched" + fallback},
      {base + "/broken.pac", "PROXY cmd.example:1",
       "warning: proxy script " + base + "/broken.pac fails for b.example (--debug tells why); "
       "such requests use the system proxy settings", "sys.example:3"},
      {base + "/notalist.pac", "DIRECT",
       "warning: proxy script " + base + "/notalist.pac fails for b.example: it answers "
       "\"http://p.example:3128/?\", which is not a proxy list (\"PROXY host:port; DIRECT\"); "
       "such requests use the system proxy settings",
       "sys.example:3"},
      {base + "/slow.pac", "PROXY s.example:1",
       "warning: proxy script " + base + "/slow.pac is slow: its answers have taken more than 1 s "
       "in all; every request waits for it"},
  };
  ProxyResolver_SetSlowScriptSecondsForTest(1);
  for (const Case &c : cases) {
    Start("prog --proxy-wpad=" + c.url);
    EXPECT_EQ(Resolve("http://a.example/"), c.list) << c.url;
    for (int i = 0; i < 2; i++)
      EXPECT_EQ(Resolve("http://b.example/"), c.listB.empty() ? c.list : c.listB) << c.url;
    EXPECT_EQ(Resolve("http://a.example/"), c.list) << c.url;
    std::vector<std::string> lines = takeWarnings();
    EXPECT_EQ(lines, c.warning.empty() ? std::vector<std::string>{}
                                       : std::vector<std::string>{c.warning})
        << c.url;
    ProxyResolver_Shutdown();
    CmdLine_Free();
  }
  ProxyResolver_SetSlowScriptSecondsForTest(0);
  // Desktop settings that exist but cannot be read: one line a run.
  gSettings.problem = "the desktop's proxy settings cannot be read";
  Start("prog");
  EXPECT_EQ(Resolve("http://a.example/"), "sys.example:3");
  EXPECT_EQ(takeWarnings(), std::vector<std::string>{"warning: " + gSettings.problem +
                                                     "; going on without them"});
  ProxyResolver_SetWarningHook(nullptr);
  std::string log = readFile(p + "/access.log");
  EXPECT_NE(log.find("GET /cmd.pac HTTP/1.1\" 200"), std::string::npos) << log;
  EXPECT_NE(log.find("GET /missing.pac?token=secret HTTP/1.1\" 404"), std::string::npos) << log;
}

// While the script is on its way GetProxy says pending; a shutdown during
// a fetch that never ends stops it.
TEST_F(ProxyResolverTest, PendingWhileDetectingAndShutdownStopsAFetch) {
  std::filesystem::remove(peer_->dir / "release");
  peer_->Serve("hold.pac", pacAnswering("PROXY held.example:5"));
  Start("prog --proxy-wpad=" + peer_->Url("hold"));
  char out[kProxyResolverListBytes];
  int pending = 0;
  EXPECT_EQ(ProxyResolver_GetProxy("http://a.example/", out, sizeof out, 1, &pending), 1);
  EXPECT_EQ(pending, 1);
  std::ofstream(peer_->dir / "release") << "";
  EXPECT_EQ(Resolve("http://a.example/"), "PROXY held.example:5");
  ProxyResolver_Shutdown();
  CmdLine_Free();
  std::filesystem::remove(peer_->dir / "requests");
  Start("prog --proxy-wpad=" + peer_->Url("drip"));
  ASSERT_TRUE(Test_WaitUntil([&] { return readFile(peer_->dir / "requests") == "/drip\n"; }, kBoundMs));
  EXPECT_EQ(ProxyResolver_Shutdown(), 1);
}

// A system script URL that fails falls through to auto-detection: DHCP
// (none here), then DNS, whose TXT answer names the script.
TEST_F(ProxyResolverTest, FailingSystemScriptFallsToDnsDiscovery) {
  peer_->Serve("p.pac", pacAnswering("PROXY good.example:1"));
  peer_->Dns("good");
  gSettings.autoConfigUrl = peer_->Url("missing.pac");
  gSettings.autoDetect = 1;
  Start("prog", "pc.example.co.uk");
  EXPECT_EQ(Resolve("http://a.example/"), "PROXY good.example:1");
  EXPECT_EQ(peer_->Queries(), "wpad.pc.example.co.uk 255 255\n");
}

// A DHCP URL is fetched with its braces encoded: no macro is expanded into it.
TEST_F(ProxyResolverTest, DhcpUrlKeepsItsBraces) {
  peer_->Serve("{MACAddress}.pac", pacAnswering("PROXY braces.example:1"));
  gSettings.autoDetect = 1;
  gSettings.dhcpUrl = peer_->Url("{MACAddress}.pac");
  Start("prog", "pc");
  EXPECT_EQ(Resolve("http://a.example/"), "PROXY braces.example:1");
}

// Replies that are not the answer to the query are dropped, whatever they
// carry; the answer behind them counts. A reply with RCODE 3 ends the query
// without an answer, and the walk goes on up to the registrable domain.
TEST_F(ProxyResolverTest, HostileDnsRepliesAreIgnored) {
  peer_->Serve("p.pac", pacAnswering("PROXY good.example:1"));
  peer_->Serve("evil.pac", pacAnswering("PROXY evil.example:666"));
  Set("http_proxy", "sys.example:3");
  gSettings.autoDetect = 1;
  struct Case {
    const char *kinds, *list;
  } cases[] = {
      {"wrongid,good", "PROXY good.example:1"}, {"qr0,good", "PROXY good.example:1"},
      {"otherq,good", "PROXY good.example:1"},  {"trailing,good", "PROXY good.example:1"},
      {"loop,good", "PROXY good.example:1"},    {"rcode3", "sys.example:3"},
      {"txt:none.pac", "sys.example:3"},
  };
  for (const Case &c : cases) {
    peer_->Dns(c.kinds);
    Start("prog", "pc.example.co.uk");
    EXPECT_EQ(Resolve("http://a.example/"), c.list) << c.kinds;
    if (strcmp(c.list, "sys.example:3") == 0) {
      EXPECT_EQ(peer_->Queries(), "wpad.pc.example.co.uk 255 255\nwpad.example.co.uk 255 255\n")
          << c.kinds;
    }
    ProxyResolver_Shutdown();
    CmdLine_Free();
  }
  // A one-label machine name asks nothing.
  peer_->Dns("good");
  Start("prog", "pc");
  EXPECT_EQ(Resolve("http://a.example/"), "sys.example:3");
  EXPECT_EQ(peer_->Queries(), "");
}

// A script that never returns is cut after 5 s and the request goes by the
// system proxy; the script is dropped for the run, with one line: later
// calls do not run it, until a restart fetches it again. The engine stops it
// in its budget, even inside a built-in, so shutdown does not wait for it.
TEST_F(ProxyResolverTest, LoopingScriptIsCutAndDroppedForTheRun) {
  peer_->Serve("loop.pac", "function FindProxyForURL(url, host) { for (;;) { try { "
                           "/^(a+)+$/.test('aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaab'); } "
                           "catch (e) {} } }\n");
  peer_->Dns("txt:loop.pac");
  Set("http_proxy", "sys.example:3");
  gSettings.autoDetect = 1;
  ProxyResolver_SetWarningHook(testWarning);
  takeWarnings();
  Start("prog", "pc.example.org");
  // The engine's own budget a little longer, so that it is the caller's wait that ends first.
  AutoProxy_SetLimitsForTest(5500, 0);
  TestLogCapture capture;
  EXPECT_EQ(Resolve("http://a.example/"), "sys.example:3");
  EXPECT_EQ(Resolve("http://b.example/"), "sys.example:3");
  AutoProxy_SetLimitsForTest(0, 0);
  peer_->Serve("loop.pac", pacAnswering("PROXY two.example:2"));
  EXPECT_EQ(ProxyResolver_Restart(), 0);
  EXPECT_EQ(Resolve("http://a.example/"), "PROXY two.example:2");
  ProxyResolver_Shutdown();
  std::string log = capture.Take();
  EXPECT_EQ(WebPeer_CountText(log, "Proxy script did not answer within 5000 ms"), 1) << log;
  EXPECT_EQ(WebPeer_CountText(log, "still running at shutdown"), 0) << log;
  EXPECT_EQ(takeWarnings(), std::vector<std::string>{
                                "warning: proxy script " + peer_->Url("loop.pac") +
                                " cannot be run: it ran out of time; using the system proxy "
                                "settings for the rest of the run"});
  ProxyResolver_SetWarningHook(nullptr);
}

// The list a script gives for a URL is pacparser's for the same script.
TEST_F(ProxyResolverTest, ScriptAnswersMatchPacparser) {
  std::ifstream cases(Test_VectorPath("proxyresolver_pac.txt"));
  ASSERT_TRUE(cases.good());
  int running = -1;
  for (std::string line; std::getline(cases, line);) {
    std::istringstream fields(line);
    int number = 0;
    std::string url, expected;
    fields >> number >> url;
    std::getline(fields >> std::ws, expected);
    if (number != running) {
      if (running >= 0) {
        ProxyResolver_Shutdown();
        CmdLine_Free();
      }
      running = number;
      std::string name = "oracle" + std::to_string(number) + ".pac";
      peer_->Serve(name, readFile(Test_VectorPath("proxyresolver_pac" + std::to_string(number) + ".js")));
      Start("prog --proxy-wpad=" + peer_->Url(name));
    }
    EXPECT_EQ(Resolve(url), expected) << number << " " << url;
  }
}

class ProxyResolverThreadedTest : public ProxyResolverTest {};

// GetProxy on several threads while detection runs again and again: every
// answer is "pending" or the script's list.
TEST_F(ProxyResolverThreadedTest, GetProxyDuringRestarts) {
  // Near the size limit, so that reading the script takes a while.
  peer_->Serve("threads.pac", "/*" + std::string(900000, '*') + "*/\n" +
                                  pacAnswering("PROXY t.example:1"));
  // Settings from the environment: the desktop's are read through GIO, whose
  // own locking ThreadSanitizer cannot see.
  Set("http_proxy", "sys.example:3");
  Start("prog --proxy-wpad=" + peer_->Url("threads.pac"));
  std::atomic<int> wrong{0}, answered{0};
  std::atomic<bool> done{false};
  std::vector<std::thread> callers;
  for (int t = 0; t < 3; t++)
    callers.emplace_back([&] {
      while (!done.load()) {
        char out[kProxyResolverListBytes];
        int pending = 0;
        ProxyResolver_GetProxy("http://a.example/", out, sizeof out, 1, &pending);
        if (pending) {
          std::this_thread::yield();
          continue;
        }
        answered++;
        if (strcmp(out, "PROXY t.example:1") != 0) wrong++;
      }
    });
  for (int round = 0; round < 16; round++) {
    EXPECT_EQ(Resolve("http://b.example/"), "PROXY t.example:1");
    ProxyResolver_Restart();
  }
  Resolve("http://b.example/");
  // The last run has finished: the callers answer once they are scheduled.
  EXPECT_TRUE(Test_WaitUntil([&] { return answered.load() > 0; }, kBoundMs));
  done.store(true);
  for (std::thread &caller : callers) caller.join();
  EXPECT_EQ(wrong.load(), 0);
}

// Each kind of list carries a request end to end: the pool's connection asks
// the resolver through its hook and the request shows in the proxy's log (or,
// bypassed, only in the origin's). The origin listens on 127.0.0.2, which is
// no loopback name to the resolver.
TEST_F(ProxyResolverTest, ListsCarryRequestsThroughSquidAndTinyproxy) {
  if (!SquidPeer::Available() || !NginxPeer::Available() || access("/usr/bin/tinyproxy", X_OK) != 0)
    GTEST_SKIP() << "squid, tinyproxy or nginx is not installed";
  SquidPeer squid;
  WebPeer tiny;
  std::string t = tiny.dir.path();
  std::ofstream(tiny.dir / "tinyproxy.conf")
      << (geteuid() == 0 ? "User nobody\nGroup nogroup\n" : "") << "Port " << tiny.port
      << "\nListen 127.0.0.1\nTimeout 30\nMaxClients 4\nAllow 127.0.0.1\nLogLevel Info\nLogFile \""
      << t << "/tinyproxy.log\"\n";
  PeerProcess tinyproxy({"/usr/bin/tinyproxy", "-d", "-c", tiny.dir / "tinyproxy.conf"});
  std::string originPort = std::to_string(Test_FreeLoopbackPort());
  NginxPeer origin("listen 127.0.0.2:" + originPort + ";");
  ASSERT_TRUE(squid.Ready() && tiny.Ready() && origin.Ready());
  std::string base = "http://127.0.0.2:" + originPort;
  // squid logs URLs without their query: one file per case.
  for (const char *name : {"a.txt", "b.txt", "c.txt", "d.txt", "e.txt"})
    std::ofstream(origin.dir / name) << "origin";
  WebGet_AddWhitelistHost("127.0.0.2");
  peer_->Serve("tiny.pac", pacAnswering("PROXY " + tiny.Authority() + "; DIRECT"));
  std::string dead = "127.0.0.1:" + std::to_string(Test_FreeLoopbackPort());
  // Through a fresh pool each time, so no connection keeps a proxy's socket.
  auto fetch = [&](const std::string &path) {
    WebGetPool *pool = NetTest_StartPool(nullptr);
    WebGetRequest *r = nullptr;
    WebGetRequest_Create(&r);
    WebGetRequest_SetUrl(r, (base + path).c_str(), 0);
    WebGetRequest_SetTimeout(r, 10);
    EXPECT_EQ(WebGetPool_AddRequest(r), 1);
    EXPECT_TRUE(NetTest_PumpUntil([&] { return WebGetRequest_IsComplete(r) != 0; }, kBoundMs));
    EXPECT_TRUE(WebGetRequest_IsSuccess(r)) << path;
    Class_ReleaseObject(&r);
    WebGetPool_Release(&pool);
  };
  struct Case {
    std::string cmdline, httpProxy, noProxy, path;
    WebPeer *proxy;  // NULL: direct
  } cases[] = {
      {"prog --proxy=" + squid.Authority() + "," + tiny.Authority(), "", "", "/a.txt", &squid},
      {"prog --proxy=" + dead + "," + tiny.Authority(), "", "", "/b.txt", &tiny},
      {"prog --proxy-wpad=" + peer_->Url("tiny.pac"), "", "", "/c.txt", &tiny},
      {"prog", squid.Authority(), "", "/d.txt", &squid},
      {"prog", squid.Authority(), "127.0.0.2", "/e.txt", nullptr},
  };
  for (const Case &c : cases) {
    Set("http_proxy", c.httpProxy.empty() ? nullptr : c.httpProxy.c_str());
    Set("no_proxy", c.noProxy.empty() ? nullptr : c.noProxy.c_str());
    Start(c.cmdline);
    Resolve(base + "/");
    fetch(c.path);
    // The logs are written as each answer ends.
    auto logged = [&](WebPeer *peer, const std::string &text) {
      std::string log = peer == &tiny ? "tinyproxy.log" : "access.log";
      return WebPeer_Count(peer->dir / log, text);
    };
    EXPECT_TRUE(Test_WaitUntil([&] { return logged(&origin, c.path) == 1; }, kBoundMs)) << c.path;
    for (WebPeer *proxy : {static_cast<WebPeer *>(&squid), &tiny}) {
      if (proxy == c.proxy) {
        EXPECT_TRUE(Test_WaitUntil([&] { return logged(proxy, base + c.path) == 1; }, kBoundMs))
            << c.cmdline << " " << c.path;
      } else {
        EXPECT_EQ(logged(proxy, base + c.path), 0) << c.cmdline << " " << c.path;
      }
    }
    ProxyResolver_Shutdown();
    CmdLine_Free();
  }
}
