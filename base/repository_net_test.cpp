// Refresh against a content server: nginx serves a generated tree; the
// repository follows the alias to the catalog (the one for updating from
// the local version first) and compares the local metafile's id with the
// remote id.
#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "core/security/certstorekey.h"
#include "core/formats/json.h"
#include "tests/peer_process.h"
#include "tests/repository_harness.h"
#include "tests/tls_setup.h"
#include "tests/web_peers.h"

namespace {

using RepositoryNetThreaded = RepositoryNetFixture;

std::string ReadTree(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST_F(RepositoryNetThreaded, RefreshEndings) {
  struct Case {
    const char *name;
    const char *localMeta;  // NULL: none configured
    const char *remoteId;   // configured "remoteId" with the catalog not required
    uint32_t ending;        // 0x1, 0x2 or 0
    std::vector<std::string> fetched;  // paths below /contenttree, in order
    std::vector<int> statuses;
  };
  const Case cases[] = {
      {"no local metafile", nullptr, nullptr, 0x1, {"alias.json", "catalog/4/catalog.json"},
       {200, 200}},
      {"update from 3", "meta/3.json", nullptr, 0x2,
       {"alias.json", "catalog/4/3/catalog.json"}, {200, 200}},
      {"no catalog for 1", "meta/1.json", nullptr, 0x2,
       {"alias.json", "catalog/4/1/catalog.json", "catalog/4/catalog.json"}, {200, 404, 200}},
      {"up to date", "meta/4.json", nullptr, 0, {"alias.json", "catalog/4/catalog.json"},
       {200, 200}},
      {"configured remote id", "meta/3.json", "4", 0x2, {}, {}},
      {"local metafile missing", "meta/none.json", nullptr, 0x1,
       {"alias.json", "catalog/4/catalog.json"}, {200, 200}},
      // Saved by an earlier build that let a bad "mode" through: it counts
      // as absent (a full check), not as version 4 installed.
      {"local metafile refused", "meta/4-refused.json", nullptr, 0x1,
       {"alias.json", "catalog/4/catalog.json"}, {200, 200}},
  };
  {
    std::string text = ReadTree(Tree("meta/4.json"));
    size_t at = text.find("\"files\":[{");
    ASSERT_NE(at, std::string::npos);
    text.insert(at + 10, "\"mode\":\"0x1ed\",");
    std::ofstream(Tree("meta/4-refused.json"), std::ios::binary) << text;
  }
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    std::string json = "{\"repository\":\"game\",\"alias\":\"" + Url("alias.json") +
                       "\",\"catalog\":\"" + Url("catalog") + "\"";
    if (c.localMeta != nullptr) json += ",\"metafile\":\"" + Tree(c.localMeta) + "\"";
    if (c.remoteId != nullptr) json += ",\"remoteId\":\"" + std::string(c.remoteId) + "\"";
    json += "}";
    Make(json);
    if (c.remoteId != nullptr) repository->catalogRequired = 0;
    size_t before = Nginx()->AccessLog().size();
    uint32_t state = Refresh();
    EXPECT_EQ(state & (kRepositoryStateNotInstalled | kRepositoryStateOutOfDate), c.ending);
    EXPECT_EQ(state & (kRepositoryStateLocalMetaFile | kRepositoryStateRemoteId),
              kRepositoryStateLocalMetaFile | kRepositoryStateRemoteId);
    EXPECT_EQ(repository->errorCount, 0);
    char remote[kRepositoryIdBytes];
    EXPECT_EQ(Repository_GetRemoteId(repository, remote), 1);
    EXPECT_STREQ(remote, "4");
    auto log = Nginx()->AccessLog(before + c.fetched.size());
    std::vector<std::string> fetched;
    std::vector<int> statuses;
    for (size_t i = before; i < log.size(); i++) {
      fetched.push_back(log[i].uri.substr(std::string("/contenttree/").size()));
      statuses.push_back(log[i].status);
    }
    EXPECT_EQ(fetched, c.fetched);
    EXPECT_EQ(statuses, c.statuses);
  }
}

// Refresh cleared while the alias loads: the alias finishes, no catalog
// is fetched.
TEST_F(RepositoryNetThreaded, ClearedRefreshFetchesNoCatalog) {
  Make("{\"repository\":\"game\",\"alias\":\"" + Url("alias.json") + "\",\"catalog\":\"" +
       Url("catalog") + "\"}");
  size_t before = Nginx()->AccessLog().size();
  Repository_SetActive(repository, 1);
  Repository_SetRefresh(repository, 1);
  ASSERT_TRUE(Pump([&] { return Alias_IsRunning(repository->alias) != 0; }));
  Repository_SetRefresh(repository, 0);
  ASSERT_TRUE(Pump([&] { return !(repository->stateFlags & kRepositoryStateAlive); }));
  // The alias's line, then time for a catalog request to show.
  auto log = Nginx()->AccessLog(before + 1);
  for (int i = 0; i < 20; i++) Pump([] { return true; });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  log = Nginx()->AccessLog();
  ASSERT_EQ(log.size(), before + 1);
  EXPECT_EQ(log.back().uri, "/contenttree/alias.json");
  EXPECT_FALSE(Catalog_IsRunning(repository->catalog));
}

// With authentication enforced the alias and catalog must carry a valid
// signature of the configured key; a changed signature byte is an error of
// the alias.
TEST_F(RepositoryNetThreaded, SignedDocuments) {
  AuthSwitchGuardForTest enforced(1);
  for (const char *alg : {"es256", "rs256"}) {
    SCOPED_TRACE(alg);
    std::string dir = std::string("signed/") + alg + "/";
    std::string key = ReadTree(Tree(dir + "public.der"));
    std::string token = ReadTree(Tree(dir + "alias.json"));
    char &flip = token[token.size() - 5];
    flip = flip == 'A' ? 'B' : 'A';
    Nginx()->WriteFile("contenttree/" + dir + "flipped.json", token);
    for (const char *alias : {"alias.json", "flipped.json"}) {
      SCOPED_TRACE(alias);
      bool good = std::string(alias) == "alias.json";
      Make("{\"repository\":\"game\",\"alias\":\"" + Url(dir + alias) + "\",\"catalog\":\"" +
           Url(dir + "catalog/4/catalog.json") + "\"}");
      CertStore *store = nullptr;
      CertStoreKey_Create(&store);
      ASSERT_TRUE(CertStoreKey_SetKey(store, CertStoreKeyKind::PublicKey, key.data(),
                                      int32_t(key.size())));
      Repository_SetCertStore(repository, store);
      CertStore_Release(&store);
      if (good) {
        uint32_t state = Refresh();
        EXPECT_EQ(repository->errorCount, 0);
        EXPECT_EQ(state & kRepositoryStateNotInstalled, kRepositoryStateNotInstalled);
        char remote[kRepositoryIdBytes];
        Repository_GetRemoteId(repository, remote);
        EXPECT_STREQ(remote, "4");  // the alias's, which the catalog must name
      } else {
        Repository_SetActive(repository, 1);
        Repository_SetRefresh(repository, 1);
        ASSERT_TRUE(Pump([&] { return repository->errorCount > 0; }));
        EXPECT_EQ(repository->lastErrorSource, kRepositorySourceAlias);
        EXPECT_EQ(repository->lastErrorCode, int32_t(kWebGetErrorJson));
        EXPECT_EQ(repository->lastErrorCodeEx, int32_t(kJsonErrorAuthenticate));
      }
    }
  }
}

// Pausing during Refresh sets the paused bit and switches the storages
// inactive; resuming switches them active and Refresh ends as before.
TEST_F(RepositoryNetThreaded, PauseDuringRefresh) {
  Make("{\"repository\":\"game\",\"alias\":\"" + Url("alias.json") + "\",\"catalog\":\"" +
       Url("catalog") + "\"}");
  Repository_SetActive(repository, 1);
  Repository_SetRefresh(repository, 1);
  ASSERT_TRUE(Pump([&] { return Alias_IsRunning(repository->alias) != 0; }));
  Storage_SetDriver(repository->local, &kScriptedDriver);
  Repository_SetActive(repository, 0);
  Repository_Process(repository);
  uint32_t paused = kRepositoryStateRefresh | kRepositoryStatePaused;
  EXPECT_EQ(Repository_GetStateFlags(repository) & paused, paused);
  EXPECT_EQ(ScriptedDriver_GetCalls(repository->local, 7), 1);
  uint32_t state = Refresh();
  EXPECT_FALSE(state & kRepositoryStatePaused);
  EXPECT_EQ(ScriptedDriver_GetCalls(repository->local, 7), 2);
  EXPECT_EQ(state & kRepositoryStateNotInstalled, kRepositoryStateNotInstalled);
}

// Ids are compared without regard to case: a local metafile whose id
// differs from the remote id only in case is up to date.
TEST_F(RepositoryNetThreaded, IdsDifferingOnlyInCase) {
  std::string meta = ReadTree(Tree("meta/4.json"));
  ASSERT_EQ(meta.rfind("{\"id\":\"4\",", 0), 0u);
  struct Case {
    const char *localId;
    uint32_t ending;
  } cases[] = {{"Build4a", 0}, {"bUILD4A", 0}, {"Build4b", kRepositoryStateOutOfDate}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.localId);
    std::string name = std::string("meta/case-") + c.localId + ".json";
    Nginx()->WriteFile("contenttree/" + name,
                       "{\"id\":\"" + std::string(c.localId) + "\"" + meta.substr(9));
    Make("{\"repository\":\"game\",\"remoteId\":\"BUILD4A\",\"metafile\":\"" + Tree(name) +
         "\"}");
    repository->catalogRequired = 0;
    uint32_t state = Refresh();
    EXPECT_EQ(repository->errorCount, 0);
    EXPECT_EQ(state & (kRepositoryStateNotInstalled | kRepositoryStateOutOfDate), c.ending);
  }
}

// With authentication enforced, documents fetched over https need no
// signature unless the owner supplied a store to verify them with: the
// alias and catalog come unsigned from openssl s_server, and with a store
// the unsigned alias is refused.
TEST_F(RepositoryNetThreaded, HttpsDocumentsNeedNoSignature) {
  TlsSetup tls;
  int port = Test_FreeLoopbackPort();
  PeerProcess server(tls.Server(port, "", "rsa2048", Tree("")));
  ASSERT_TRUE(Test_WaitUntil([&] { return WebPeer_Listening(port); }, 20000));
  std::string base = "https://localhost:" + std::to_string(port) + "/";
  for (bool verify : {false, true}) {
    SCOPED_TRACE(verify ? "store supplied" : "no store");
    Make("{\"repository\":\"game\",\"alias\":\"" + base + "alias.json\",\"catalog\":\"" +
         base + "catalog\"}");
    if (verify) {
      CertStore *store = nullptr;
      CertStoreKey_Create(&store);
      Repository_SetCertStore(repository, store);
      CertStore_Release(&store);
      Repository_SetActive(repository, 1);
      Repository_SetRefresh(repository, 1);
      ASSERT_TRUE(Pump([&] { return repository->errorCount > 0; }));
      EXPECT_EQ(repository->lastErrorSource, kRepositorySourceAlias);
      EXPECT_EQ(repository->lastErrorCode, int32_t(kWebGetErrorJson));
      EXPECT_EQ(repository->lastErrorCodeEx, int32_t(kJsonErrorDecodeSignature));
    } else {
      uint32_t state = Refresh();
      EXPECT_EQ(repository->errorCount, 0) << repository->lastErrorSource << " "
                                           << repository->lastErrorCode;
      EXPECT_EQ(state & kRepositoryStateNotInstalled, kRepositoryStateNotInstalled);
      char remote[kRepositoryIdBytes];
      Repository_GetRemoteId(repository, remote);
      EXPECT_STREQ(remote, "4");
    }
  }
}

}  // namespace
