// The application object's configuration and lifetime.
#include "workflow/workflowapp.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>

#include "core/formats/dictionary.h"
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
#include "skin/pagechannel.h"
#include "core/bridge/interop.h"
#include "core/platform/interopcallback.h"
#include "core/platform/notification.h"
#include "tests/analytics_endpoint.h"
#include "tests/fsfault.h"
#include "tests/netfixture.h"
#include "tests/nginx_peer.h"
#include "tests/test_util.h"

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

// nginx answers with the user agent it received; the whitelist admits only
// what the configuration names.
TEST_F(WorkflowAppTest, UserAgentAndWhitelistReachThePeer) {
  if (!NginxPortsPeer::Available()) GTEST_SKIP() << "no nginx";
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

  AsyncHttp *get = nullptr;
  AsyncHttp_Create(&get);
  AsyncHttp_SetFormat(get, 0);
  AsyncHttp_KeepBody(get);
  ASSERT_EQ(AsyncHttp_Get(get, nginx.Url(0, "/ua").c_str(), 0), 1);
  EXPECT_TRUE(NetTest_PumpUntil([&] {
    WorkflowApp_Pump(app_);
    return !AsyncHttp_IsRunning(get);
  }));
  const uint8_t *body = nullptr;
  int64_t length = 0;
  AsyncHttp_GetBody(get, &body, &length);
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(body), size_t(length)),
            "KeelsonApp/7.1 test-run");
  AsyncHttp_Release(&get);
  EventQueue_Flush(EventQueue_GetMain());  // the posted releases of finished transfers
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

// The release turns answering challenges off and sends the cache tally.
TEST_F(WorkflowAppReleaseTest, ReleaseReportsTheCacheTally) {
  Dictionary *file = NetTest_Dictionary(R"({"analytics":{"key":"k-1","endPoint":")" +
                                        endpoint_->Url("/xc") + R"("}})");
  WorkflowApp *app = nullptr;
  ASSERT_EQ(WorkflowApp_Create(&app, file), 1);
  Dictionary_Release(&file);
  WebGet_CountCacheResult("cdn.test", "edge", "HIT");
  WebGet_CountCacheResult("cdn.test", "edge", "HIT");
  EXPECT_EQ(WebGet_IsAuthenticationEnabled(), 1);
  WorkflowApp_Release(&app);
  EXPECT_EQ(WebGet_IsAuthenticationEnabled(), 0);
  std::vector<std::string> seen;
  for (const AnalyticsPost &post : AnalyticsEndpoint_Posts(*endpoint_, "/xc"))
    for (Dictionary *e : post.Events())
      if (AnalyticsEndpoint_Text(e, "event") == "WebGetXCache")
        seen.push_back(AnalyticsEndpoint_Text(e, "host") + " " + AnalyticsEndpoint_Text(e, "verb"));
  EXPECT_EQ(seen, std::vector<std::string>{"cdn.test HIT"});
}

}  // namespace
