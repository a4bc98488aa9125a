// The content server's documents over the network: nginx on 127.0.0.1
// serves a tree from tests/gen_contenttree.py; the alias leads to the
// catalog (the catalog specific to the local version answering 404 first),
// the catalog to the metafile. Also a local metafile through its file URL,
// signed documents (ES256 and RS256) against their public keys, and the size
// limit.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "base/alias.h"
#include "base/catalog.h"
#include "base/metafile.h"
#include "core/formats/dictionary.h"
#include "core/net/webget.h"
#include "core/net/webgetpool.h"
#include "core/platform/asyncfile.h"
#include "core/platform/eventqueue.h"
#include "core/platform/ioworker.h"
#include "core/platform/path.h"
#include "core/security/certstorekey.h"
#include "tests/netfixture.h"
#include "tests/contenttree_server.h"

namespace {

constexpr int kBoundMs = 20000;

std::string readFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

struct Outcome {
  uint32_t code = 0, codeEx = 0;
};

class MetaFileNetThreaded : public NetTest {
 protected:
  static void SetUpTestSuite() { server_ = new ContentTreeServer(false); }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  void SetUp() override {
    if (!server_->Ready())
      GTEST_SKIP() << "nginx or the content tree is not available";
    NetTest::SetUp();
    NetTest_StartLoopbackServices();
    MetaFile_Create(&m_);
  }
  void TearDown() override {
    if (m_ == nullptr) return;
    MetaFile_Destroy(&m_);
    NetTest_StopLoopbackServices();
    NetTest::TearDown();
  }

  static std::string Url(const std::string &path) { return server_->Url(path); }
  static std::string Tree(const std::string &path) { return server_->Tree(path); }

  Outcome LoadMeta(const std::string &url, int32_t signedFlag = 0) {
    EXPECT_EQ(MetaFile_Load(m_, url.c_str(), signedFlag), 1) << url;
    EXPECT_TRUE(NetTest_PumpUntil([&] { return MetaFile_IsLoaded(m_) != 0; }, kBoundMs)) << url;
    Outcome o;
    MetaFile_GetError(m_, &o.code, &o.codeEx);
    return o;
  }

  static inline ContentTreeServer *server_ = nullptr;
  MetaFile *m_ = nullptr;
};


TEST_F(MetaFileNetThreaded, AliasThenCatalogThenMetaFile) {
  Alias *alias = nullptr;
  Alias_Create(&alias);
  Alias_SetKey(alias, "game");
  ASSERT_EQ(Alias_Load(alias, Url("alias.json").c_str(), 0), 1);
  ASSERT_TRUE(NetTest_PumpUntil([&] { return Alias_IsComplete(alias) != 0; }, kBoundMs));
  ASSERT_EQ(Alias_Succeeded(alias), 1);
  char remote[kCatalogIdBytes];
  ASSERT_TRUE(Alias_GetRemoteId(alias, remote));
  EXPECT_STREQ(remote, "4");
  Alias_Destroy(&alias);

  // Updating from version 1: no catalog specific to it, so the generic one.
  Catalog *catalog = nullptr;
  Catalog_Create(&catalog);
  std::string base = Url("catalog");
  char url[kCatalogUrlBytes];
  for (uint32_t wantCode : {404u, 0u}) {
    int32_t specific = Catalog_GetSpecificFirst(catalog);
    ASSERT_TRUE(Catalog_BuildUrl(base.c_str(), remote, "1", &specific, url, sizeof url));
    EXPECT_EQ(specific, wantCode == 404 ? 1 : 0);
    ASSERT_EQ(Catalog_Load(catalog, url, 0), 1);
    ASSERT_TRUE(NetTest_PumpUntil([&] { return Catalog_IsComplete(catalog) != 0; }, kBoundMs));
    uint32_t code = 1, codeEx = 1;
    Catalog_GetError(catalog, &code, &codeEx);
    EXPECT_EQ(code, wantCode) << url;
    if (code == 404) Catalog_SetSpecificFirst(catalog, 0);
  }
  char id[kCatalogIdBytes];
  ASSERT_TRUE(Catalog_GetId(catalog, id));
  EXPECT_STREQ(id, "4");
  Dictionary *entry = nullptr, *config = nullptr;
  ASSERT_TRUE(Catalog_GetEntry(catalog, &entry));
  char metafileUrl[kCatalogUrlBytes];
  ASSERT_TRUE(Dictionary_GetStringByKey(entry, "metafile", metafileUrl, sizeof metafileUrl));
  ASSERT_TRUE(Catalog_GetConfig(catalog, &config));
  int32_t requests = 0;
  EXPECT_TRUE(Dictionary_GetInt32ByKey(config, "requests", &requests));
  EXPECT_EQ(requests, 4);
  Catalog_Destroy(&catalog);

  Outcome o = LoadMeta(metafileUrl);
  ASSERT_EQ(o.code, 0u);
  ASSERT_EQ(MetaFile_Succeeded(m_), 1);
  ASSERT_TRUE(MetaFile_GetId(m_, id, sizeof id));
  EXPECT_STREQ(id, "4");
  EXPECT_GT(FileIndex_GetCount(MetaFile_GetFileIndex(m_)), 0);
  Dictionary *stats = nullptr;
  Dictionary_Create(&stats);
  MetaFile_GetStats(m_, stats);
  int64_t total = -1;
  int32_t errorCode = -1;
  EXPECT_TRUE(Dictionary_GetInt64ByKey(stats, "totalLength", &total));
  EXPECT_TRUE(Dictionary_GetInt32ByKey(stats, "errorCode", &errorCode));
  EXPECT_GT(total, 0);
  EXPECT_EQ(errorCode, 0);
  Dictionary_Release(&stats);
}

TEST_F(MetaFileNetThreaded, LocalSignedFaultyAndOversizedDocuments) {
  // A local metafile through its file URL.
  char fileUrl[4096];
  ASSERT_TRUE(Path_ToUrl(Tree("meta/2.json").c_str(), fileUrl, sizeof fileUrl));
  Outcome o = LoadMeta(fileUrl);
  EXPECT_EQ(o.code, 0u) << fileUrl;
  EXPECT_GT(FileIndex_GetCount(MetaFile_GetFileIndex(m_)), 0);

  // Signed documents, each against its own public key.
  for (const char *alg : {"es256", "rs256"}) {
    SCOPED_TRACE(alg);
    std::string key = readFile(Tree(std::string("signed/") + alg + "/public.der"));
    CertStore *store = nullptr;
    CertStoreKey_Create(&store);
    ASSERT_TRUE(
        CertStoreKey_SetKey(store, CertStoreKeyKind::PublicKey, key.data(), int32_t(key.size())));
    MetaFile_SetCertStore(m_, store);
    CertStore_Release(&store);
    std::string signedPath = std::string("signed/") + alg + "/meta/2.json";
    o = LoadMeta(Url(signedPath), 1);
    EXPECT_EQ(o.code, 0u);
    char id[kCatalogIdBytes];
    EXPECT_TRUE(MetaFile_GetId(m_, id, sizeof id));
    EXPECT_GT(MetaFile_GetPieceLengthCount(m_), 0);
    // One signature byte changed, and an unsigned document, are refused.
    std::string token = readFile(Tree(signedPath));
    char &c = token[token.size() - 5];
    c = c == 'A' ? 'B' : 'A';
    server_->Nginx().WriteFile(std::string("contenttree/flipped-") + alg + ".json", token);
    o = LoadMeta(Url(std::string("flipped-") + alg + ".json"), 1);
    EXPECT_EQ(o.code, uint32_t(kWebGetErrorJson));
    EXPECT_EQ(o.codeEx, uint32_t(kJsonErrorAuthenticate));
    EXPECT_EQ(FileIndex_GetCount(MetaFile_GetFileIndex(m_)), 0);
    o = LoadMeta(Url("meta/2.json"), 1);
    EXPECT_EQ(o.code, uint32_t(kWebGetErrorJson));
  }
  MetaFile_SetCertStore(m_, nullptr);

  // A refused document and one over the size limit.
  o = LoadMeta(Url("faults/name_dotdot.json"));
  EXPECT_EQ(o.code, uint32_t(kWebGetErrorInvalidContent));
  EXPECT_EQ(o.codeEx, 0u);
  MetaFile_SetMaxSize(m_, 64);
  o = LoadMeta(Url("meta/4.json"));
  EXPECT_EQ(o.code, uint32_t(kWebGetErrorSizeLimit));
}

}  // namespace
