// The application object's configuration and lifetime.
#include "workflow/workflowapp.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>

#include "core/bridge/coreinterop.h"
#include "core/formats/dictionary.h"
#include "core/formats/json.h"
#include "core/net/asynchttp.h"
#include "core/net/webget.h"
#include "core/platform/eventqueue.h"
#include "core/platform/platform.h"
#include "core/net/webgetrequest.h"
#include "core/net/challenge.h"
#include "core/platform/asyncfile.h"
#include "core/net/webgetcache.h"
#include "core/security/auth.h"
#include "core/security/certstorei.h"
#include "core/security/jws.h"
#include "skin/pagechannel.h"
#include "core/bridge/interop.h"
#include "core/platform/interopcallback.h"
#include "core/platform/notification.h"
#include "tests/analytics_endpoint.h"
#include "tests/fsfault.h"
#include "tests/netfixture.h"
#include "tests/nginx_peer.h"
#include "tests/test_util.h"
#include "tests/web_peers.h"

namespace {

class WorkflowAppTest : public NetTest {
 protected:
  void SetUp() override {
    NetTest::SetUp();
    Challenge_Shutdown();  // the application object owns the broker
    AsyncFile_Init();
    Auth_Init();
  }
  void TearDown() override {
    if (app_ != nullptr) WorkflowApp_Release(&app_);
    Auth_Shutdown();
    AsyncFile_Shutdown();
    NetTest::TearDown();
  }
  Dictionary *Create(Dictionary *config) {
    EXPECT_EQ(WorkflowApp_Create(&app_, config), 1);
    return app_ != nullptr ? WorkflowApp_GetConfig(app_) : nullptr;
  }
  WorkflowApp *app_ = nullptr;
};

bool HasStore(const char *name) {
  WebGetCacheStore *store = nullptr;
  if (!WebGetCache_FindStore(name, &store)) return false;
  WebGetCacheStore_Release(&store);
  return true;
}

struct Fetched {
  uint32_t code = 0;
  std::string body;
};

// One GET through the pool, pumped by the application object while it
// exists (and by the fixture's pump).
Fetched Fetch(const std::string &url) {
  Fetched out;
  AsyncHttp *get = nullptr;
  AsyncHttp_Create(&get);
  AsyncHttp_SetFormat(get, 0);
  AsyncHttp_KeepBody(get);
  EXPECT_EQ(AsyncHttp_Get(get, url.c_str(), 0), 1);
  EXPECT_TRUE(NetTest_PumpUntil([&] {
    if (WorkflowApp *app = WorkflowApp_Get()) WorkflowApp_Pump(app);
    return !AsyncHttp_IsRunning(get);
  })) << url;
  uint32_t codeEx = 0;
  AsyncHttp_GetError(get, &out.code, &codeEx);
  const uint8_t *body = nullptr;
  int64_t length = 0;
  if (AsyncHttp_GetBody(get, &body, &length) && body != nullptr)
    out.body.assign(reinterpret_cast<const char *>(body), size_t(length));
  AsyncHttp_Release(&get);
  EventQueue_Flush(EventQueue_GetMain());  // the posted releases of finished transfers
  return out;
}

TEST_F(WorkflowAppTest, DefaultsReadByPathWithTheirTypes) {
  Dictionary *config = Create(nullptr);
  ASSERT_NE(config, nullptr);
  struct Row {
    const char *path;
    int64_t number;
  } const numbers[] = {
      {"alias.limitSize", 0x2000000},  {"catalog.limitSize", 0x2000000},
      {"metafile.limitSize", 0x2000000}, {"alias.webGetCacheMinAge", 60},
      {"workflow.webGetCacheMinAge", 60}, {"webGetPool.maxHosts", 5},
      {"webGetPool.maxHostConnections", 6}, {"storage.requests", 8},
      {"storage.fileCompletes", 10},
  };
  for (const Row &row : numbers) {
    int64_t value = -1;
    EXPECT_EQ(Dictionary_GetInt64ByPath(config, row.path, &value), 1) << row.path;
    EXPECT_EQ(value, row.number) << row.path;
  }
  int32_t flag = 0;
  EXPECT_EQ(Dictionary_GetBooleanByPath(config, "storage.systemBuffer", &flag), 1);
  EXPECT_EQ(flag, 1);
  char text[128];
  EXPECT_GT(Dictionary_GetStringByPath(config, "storage.partialExtension", text, sizeof text), 0);
  EXPECT_STREQ(text, ".varnopartial");
  for (const char *unset : {"alias.url", "catalog.url", "analytics.key", "webGet.userAgent"})
    EXPECT_EQ(Dictionary_HasPath(config, unset), 0) << unset;
  EXPECT_TRUE(HasStore("alias"));
  EXPECT_TRUE(HasStore("workflow"));
  WorkflowApp *second = nullptr;
  EXPECT_EQ(WorkflowApp_Create(&second, nullptr), 0);  // one application object
  EXPECT_EQ(second, nullptr);
}

// Application files override keys; pool limits of 0 or below keep their
// defaults; a minimum age of 0 leaves the response store out.
TEST_F(WorkflowAppTest, ApplicationFilesOverrideKeys) {
  FsFaultTempDir dir;
  struct Row {
    const char *name;
    const char *text;
    int64_t maxHosts, maxHostConnections, requests;
    bool aliasStore;
  } const rows[] = {
      {"app.yaml",
       "webGetPool:\n  maxHosts: 0\n  maxHostConnections: 2\nstorage:\n  requests: 3\n"
       "alias:\n  webGetCacheMinAge: 0\n",
       5, 2, 3, false},
      {"app.yml", "webGetPool:\n  maxHosts: -3\n", 5, 6, 8, true},
      {"app.json", R"({"webGetPool":{"maxHosts":9,"maxHostConnections":-1},)"
                   R"("storage":{"requests":4},"alias":{"webGetCacheMinAge":0}})",
       9, 6, 4, false},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    std::string path = dir.path() + "/" + row.name;
    std::ofstream(path) << row.text;
    Dictionary *file = nullptr;
    ASSERT_EQ(WorkflowApp_ReadConfigFile(path.c_str(), &file), 1);
    Dictionary *config = Create(file);
    Dictionary_Release(&file);
    ASSERT_NE(config, nullptr);
    int64_t hosts = 0, connections = 0, requests = 0;
    Dictionary_GetInt64ByPath(config, "webGetPool.maxHosts", &hosts);
    Dictionary_GetInt64ByPath(config, "webGetPool.maxHostConnections", &connections);
    Dictionary_GetInt64ByPath(config, "storage.requests", &requests);
    EXPECT_EQ(hosts, row.maxHosts);
    EXPECT_EQ(connections, row.maxHostConnections);
    EXPECT_EQ(requests, row.requests);
    EXPECT_EQ(HasStore("alias"), row.aliasStore);
    EXPECT_TRUE(HasStore("workflow"));
    WorkflowApp_Release(&app_);
    EXPECT_FALSE(HasStore("workflow"));
  }
  Dictionary *none = nullptr;
  EXPECT_EQ(WorkflowApp_ReadConfigFile((dir.path() + "/missing.json").c_str(), &none), 0);
  EXPECT_EQ(none, nullptr);
}

// Stores named by the configuration: keys and pins made by OpenSSL load, and
// a store that does not load makes the creation fail.
TEST_F(WorkflowAppTest, ConfiguredStoresLoadOrCreationFails) {
  int status = 0;
  std::string key = Test_RunCommand(
      "openssl ecparam -genkey -name prime256v1 2>/dev/null | openssl ec -pubout -outform DER "
      "2>/dev/null | base64 -w0",
      &status);
  ASSERT_EQ(status, 0);
  std::string pin = Test_RunCommand(
      "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout "
      "/dev/null -subj /CN=pin.test -days 1 -outform DER 2>/dev/null | openssl dgst -sha256 "
      "-binary | base64 -w0",
      &status);
  ASSERT_EQ(status, 0);
  struct Row {
    std::string json;
    int created;
  } const rows[] = {
      {R"({"keyStores":{"signer":")" + key + R"("},"thumbprintStores":{"pins":[")" + pin +
           R"("]},"webGet":{"certStore":"pins"}})",
       1},
      {R"({"keyStores":{"signer":"bm90IGEga2V5"}})", 0},
      {R"({"thumbprintStores":{"pins":["AAAA"]}})", 0},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.json);
    Dictionary *file = NetTest_Dictionary(row.json);
    EXPECT_EQ(WorkflowApp_Create(&app_, file), row.created);
    Dictionary_Release(&file);
    if (app_ == nullptr) continue;
    CertStore *pins = Auth_GetCertStore("pins");
    CertStore *used = WebGet_GetCertStore();
    EXPECT_EQ(used, pins);
    CertStore_Release(&used);
    CertStore_Release(&pins);
    WorkflowApp_Release(&app_);
  }
}

// A JWS that python3-jwt signed verifies through both forms of "keyStores"
// (a Base64 public key and a key set written by python3-jwcrypto); one signed
// by another key fails through both.
TEST_F(WorkflowAppTest, KeyStoresVerifyASignedDocument) {
  int status = 0;
  std::string oracle =
      Test_RunCommand("/usr/bin/python3 " KEELSON_TESTS_DIR "/jws_keystores.py", &status);
  ASSERT_EQ(status, 0) << oracle;
  Dictionary *file = NetTest_Dictionary(oracle);
  ASSERT_NE(Create(file), nullptr);
  for (const char *store : {"spki", "keySet"}) {
    Dictionary *tokens = nullptr;
    std::string path = std::string("tokens.") + store;
    ASSERT_EQ(Dictionary_GetContainerByPath(file, path.c_str(), &tokens), 1);
    for (int32_t signer : {0, 1}) {
      SCOPED_TRACE(std::string(store) + (signer == 0 ? " key" : " stranger"));
      DictionaryItem *item = nullptr;
      const char *text = nullptr;
      ASSERT_EQ(Dictionary_GetItemByIndex(tokens, signer, nullptr, &item), 1);
      ASSERT_EQ(Dictionary_GetItemStringPointer(tokens, item, &text), 1);
      CertStore *keys = Auth_GetCertStore(store);
      Dictionary *payload = nullptr;
      Dictionary_Create(&payload);
      Json *json = nullptr;
      Json_Create(&json);
      Json_SetDictionary(json, payload);
      int verified = Jws_Decode(json, nullptr, keys, text, int32_t(strlen(text)), 1);
      EXPECT_EQ(verified, signer == 0 ? 1 : 0);
      if (verified == 1) {
        EXPECT_EQ(NetTest_Json(payload), R"({"iss":"keelson","document":"signed"})");
      }
      Json_Release(&json);
      Dictionary_Release(&payload);
      CertStore_Release(&keys);
    }
  }
  Dictionary_Release(&file);
}

// openssl s_server with a certificate made here is reached only when
// "thumbprintStores" pins it and "webGet.certStore" names that store.
TEST_F(WorkflowAppTest, PinnedServerReachedThroughTheNamedStore) {
  AuthSwitchGuardForTest on(1);
  FsFaultTempDir dir;
  int status = 0;
  std::string pin = WebPeer_MakePinnedCertificate(dir.path());
  ASSERT_NE(pin, "");
  std::string other = Test_RunCommand("openssl rand 32 | base64 -w0", &status);
  std::ofstream(dir.path() + "/hello.txt") << "pinned";
  int port = Test_FreeLoopbackPort();
  PeerProcess server({"/bin/sh", "-c",
                      "cd " + dir.path() + " && exec openssl s_server -quiet -WWW -accept " +
                          std::to_string(port) + " -cert cert.pem -key key.pem"});
  ASSERT_TRUE(Test_WaitUntil([&] { return WebPeer_Listening(port); }, 20000));
  struct Row {
    std::string pinned;
    const char *certStore;  // NULL: the default store
    uint32_t code;
  } const rows[] = {
      {pin, "pins", 0},
      {pin, nullptr, kWebGetErrorTls1},
      {other, "pins", kWebGetErrorTls1},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.pinned + " " + (row.certStore ? row.certStore : "(default)"));
    std::string json = R"({"webGet":{"whitelist":["127.0.0.1"])";
    if (row.certStore != nullptr) json += R"(,"certStore":")" + std::string(row.certStore) + "\"";
    json += R"(},"thumbprintStores":{"pins":[")" + row.pinned + R"("]}})";
    Dictionary *file = NetTest_Dictionary(json);
    Create(file);
    Dictionary_Release(&file);
    ASSERT_NE(app_, nullptr);
    Fetched got = Fetch("https://127.0.0.1:" + std::to_string(port) + "/hello.txt");
    EXPECT_EQ(got.code, row.code);
    if (row.code == 0) {
      EXPECT_EQ(got.body, "pinned");
    }
    WorkflowApp_Release(&app_);
    CertStore *app = Auth_GetCertStore("app");  // the store WebGet starts with
    WebGet_SetCertStore(app);
    CertStore_Release(&app);
  }
}

// One pump delivers a fire queued without delay to the page that observes it.
TEST_F(WorkflowAppTest, OnePumpCarriesAFireToThePage) {
  Interop_SetDeliveryFunction(SkinWindow_DeliverInteropCallbacks);
  PageChannel *page = nullptr;
  PageChannel_Create(&page);
  InteropNotificationCenter *object = nullptr;
  InteropNotificationCenter_Get(&object, page, SkinWindow_DeliverInteropCallbacks);
  NotificationCenter_AddInteropObserver("Task", "Status", nullptr, "cb");
  Create(nullptr);
  NotificationCenter_FireAfterDelayWithJSONText("Task", "Status", nullptr, 0, R"({"step":7})");
  WorkflowApp_Pump(app_);
  ASSERT_EQ(PageChannel_GetCount(page), 1);
  std::string batch = PageChannel_Peek(page, nullptr);
  EXPECT_NE(batch.find(R"("step":7)"), std::string::npos) << batch;
  EXPECT_NE(batch.find(R"("callbackId":"cb")"), std::string::npos) << batch;
  NotificationCenter_RemoveInteropObserver("Task", "Status", nullptr, "cb");
  InteropNotificationCenter_Release(&object);
  PageChannel_Release(&page);
}

double gNow = 1000;
double TestNow() { return gNow; }

// One pump purges a stored response past its minimum age.
TEST_F(WorkflowAppTest, OnePumpPurgesAnExpiredResponse) {
  gNow = 1000;
  Platform_SetTickSourceForTest(TestNow);
  Create(nullptr);
  WebGetCacheStore *store = nullptr;
  ASSERT_EQ(WebGetCache_FindStore("alias", &store), 1);
  const char *url = "http://alias.keelson.test/a.json";
  WebGetCacheItem *item = nullptr;
  int wait = 0;
  ASSERT_EQ(WebGetCacheStore_Lookup(store, url, kWebGetMethodGet, &item, &wait), 1);
  WebGetCacheItem_StoreResponse(item, 200, 0, 0, 0);
  int64_t written = 0;
  WebGetCacheItem_AppendBody(item, url, int64_t(strlen(url)), &written);
  WebGetCacheItem_Commit(item);
  WebGetCacheItem_Release(&item);
  // The minimum age is 60 s; a purge runs at most every 30 s.
  for (double now : {1059.0, 1090.0}) {
    gNow = now;
    WorkflowApp_Pump(app_);
    EXPECT_EQ(WebGetCacheStore_GetItemCount(store), now < 1060 ? 1 : 0) << now;
  }
  WebGetCacheStore_Release(&store);
  Platform_SetTickSourceForTest(nullptr);
}

// nginx answers with the user agent it received; with security on, the
// whitelist admits only what the configuration names.
TEST_F(WorkflowAppTest, UserAgentAndWhitelistReachThePeer) {
  if (!NginxPortsPeer::Available()) GTEST_SKIP() << "no nginx";
  AuthSwitchGuardForTest on(1);
  NginxPortsPeer nginx(1, "location /ua { default_type text/plain; return 200 $http_user_agent; }",
                       false);
  ASSERT_TRUE(nginx.Started());
  Dictionary *file = NetTest_Dictionary(
      R"({"webGet":{"userAgent":"KeelsonApp/7.1 test-run","whitelist":["127.0.0.1","*.keelson.test"]}})");
  Create(file);
  Dictionary_Release(&file);
  ASSERT_NE(app_, nullptr);
  struct Row {
    const char *host;
    int admitted;
  } const rows[] = {{"127.0.0.1", 1}, {"a.keelson.test", 1}, {"127.0.0.2", 0}};
  for (const Row &row : rows) EXPECT_EQ(WebGet_IsHostWhitelisted(row.host), row.admitted) << row.host;

  std::string path = ":" + std::to_string(nginx.Port(0)) + "/ua";
  Fetched admitted = Fetch("http://127.0.0.1" + path);
  EXPECT_EQ(admitted.code, 0u);
  EXPECT_EQ(admitted.body, "KeelsonApp/7.1 test-run");
  EXPECT_EQ(Fetch("http://127.0.0.2" + path).code, uint32_t(kWebGetErrorValidation));
}

// The endpoint of the analytics service, started once for the suite.
class WorkflowAppReleaseTest : public AnalyticsEndpointTest {
 protected:
  void SetUp() override {
    AnalyticsEndpointTest::SetUp();
    Analytics_Shutdown();  // the application object starts its own
    Challenge_Shutdown();
    Auth_Init();
  }
  void TearDown() override {
    Auth_Shutdown();
    AnalyticsEndpointTest::TearDown();
  }
};

// The release reports the tally of nginx's "X-Cache" answers to analytics
// and turns answering challenges off: a 401 that drew a prompt and a retry
// with credentials before is final after it.
TEST_F(WorkflowAppReleaseTest, ReleaseReportsTheCacheTallyAndStopsAnsweringChallenges) {
  if (!NginxPortsPeer::Available()) GTEST_SKIP() << "no nginx";
  NginxPortsPeer nginx(1,
                       "location /basic { auth_basic \"app realm\"; auth_basic_user_file "
                       "htpasswd; } location /cdn { add_header X-Cache \"HIT from edge-1\"; }");
  ASSERT_TRUE(nginx.Started());
  nginx.WriteFile("../htpasswd", "alice:{PLAIN}pw\n");
  nginx.WriteFile("basic/a.txt", "page basic");
  nginx.WriteFile("cdn/a.txt", "cached");
  Dictionary *file = NetTest_Dictionary(R"({"analytics":{"key":"k-1","endPoint":")" +
                                        endpoint_->Url("/xc") + R"("}})");
  WorkflowApp *app = nullptr;
  ASSERT_EQ(WorkflowApp_Create(&app, file), 1);
  Dictionary_Release(&file);
  TestPrompter ui;
  ui.Script(R"({"username":"alice","password":"pw"})");
  // nginx logs an answer once it has left, perhaps after the client read
  // it: wait for the lines expected so far.
  auto basicStatuses = [&](size_t lines) {
    std::vector<int> statuses;
    for (const NginxPortsPeer::LogLine &line : nginx.AccessLog(lines))
      if (line.uri == "/basic/a.txt") statuses.push_back(line.status);
    return statuses;
  };
  Fetched answered = Fetch(nginx.Url(0, "/basic/a.txt"));
  EXPECT_EQ(answered.code, 0u);
  EXPECT_EQ(answered.body, "page basic");
  // The challenge and the answer, with another challenge between them when
  // the answer goes out on a new connection before the prompt has returned.
  std::vector<int> statuses;
  for (size_t lines = 2; lines <= 3; lines++) {
    statuses = basicStatuses(lines);
    if (!statuses.empty() && statuses.back() == 200) break;
  }
  ASSERT_FALSE(statuses.empty());
  EXPECT_EQ(statuses.back(), 200);
  for (int i = 0; i < 2; i++) EXPECT_EQ(Fetch(nginx.Url(0, "/cdn/a.txt")).body, "cached");
  WorkflowApp_Release(&app);

  std::vector<std::string> seen;
  for (const AnalyticsPost &post : AnalyticsEndpoint_Posts(*endpoint_, "/xc"))
    for (Dictionary *e : post.Events()) {
      int64_t value = 0;
      Dictionary_GetInt64ByKey(e, "value", &value);
      seen.push_back(AnalyticsEndpoint_Text(e, "event") + " " + AnalyticsEndpoint_Text(e, "host") +
                     " " + AnalyticsEndpoint_Text(e, "from") + " " +
                     AnalyticsEndpoint_Text(e, "verb") + " " + std::to_string(value));
    }
  std::string host = "127.0.0.1:" + std::to_string(nginx.Port(0));  // the request's host
  EXPECT_EQ(seen, std::vector<std::string>{"WebGetXCache " + host + " edge-1 HIT 2"});

  // The same request with a broker and a pool again, the script ready.
  Challenge_Init();
  NetTest_StartPool();
  ui.Script(R"({"username":"alice","password":"pw"})");
  EXPECT_NE(Fetch(nginx.Url(0, "/basic/a.txt")).body, "page basic");
  EXPECT_EQ(ui.Prompts().size(), 1u);
  statuses.push_back(401);  // one more answer, the challenge, and nothing after it
  EXPECT_EQ(basicStatuses(statuses.size() + 2), statuses);  // two more for /cdn
}

// One pump starts the analytics batch that the endpoint then receives and
// removes an instance that its page released.
TEST_F(WorkflowAppReleaseTest, OnePumpSendsABatchAndRemovesAReleasedInstance) {
  Dictionary *file = NetTest_Dictionary(R"({"analytics":{"key":"k-1","maxSendEvents":1,)"
                                        R"("endPoint":")" + endpoint_->Url("/pump") + R"("}})");
  WorkflowApp *app = nullptr;
  ASSERT_EQ(WorkflowApp_Create(&app, file), 1);
  Dictionary_Release(&file);
  ASSERT_NE(CoreInterop_AddLibrary(), nullptr);
  PageChannel *page = nullptr;
  PageChannel_Create(&page);
  char id[kInteropInstanceIdBytes] = {};
  ASSERT_EQ(Interop_CreateInstance("QVN.Analytics", id, sizeof id, page, page), 1);
  EXPECT_EQ(Interop_ReleaseInstance(id), 1);
  EXPECT_EQ(Analytics_TrackEvent("PageClosed", nullptr), 1);
  AnalyticsStatus before{}, after{};
  Analytics_GetStatusForTest(&before);
  WorkflowApp_Pump(app);
  Analytics_GetStatusForTest(&after);
  EXPECT_EQ(before.inFlight, 0);
  EXPECT_EQ(after.inFlight, 1);
  InteropInstance *instance = nullptr;
  EXPECT_EQ(Interop_FindInstance(id, &instance), 0);
  EXPECT_EQ(Interop_CountContextInstances(page), 0);
  EXPECT_TRUE(NetTest_PumpUntil([&] {
    WorkflowApp_Pump(app);
    return !AnalyticsEndpoint_Posts(*endpoint_, "/pump").empty();
  }));
  std::vector<AnalyticsPost> posts = AnalyticsEndpoint_Posts(*endpoint_, "/pump");
  ASSERT_EQ(posts.size(), 1u);
  ASSERT_EQ(posts[0].Events().size(), 1u);
  EXPECT_EQ(AnalyticsEndpoint_Text(posts[0].Events()[0], "event"), "PageClosed");
  WorkflowApp_Release(&app);
  PageChannel_Release(&page);
}

}  // namespace
