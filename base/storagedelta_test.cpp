// The delta source: VCDIFF pieces of h2 over the HTTP piece driver, their
// sources read from a local file-piece store of h1 through the offset cache.
#include "base/storagedelta.h"

#include <vector>

#include "base/piecelist.h"
#include "base/storagechain.h"
#include "tests/storage_http_fixture.h"

namespace {

class StorageDeltaTest : public StorageHttpFixture {
 protected:
  void SetUp() override {
    StorageHttpFixture::SetUp();
    if (IsSkipped()) return;
    StorageDelta_Create(&delta);
    StorageDelta_SetLogHook(delta, static_cast<StorageLogLines *>(this), Hook);
    local = NewStorage();
    StorageDelta_SetStorage(delta, local);
    old = MetaFile_TestLoadVectors("contenttree/http/meta/h1.json");
    meta = MetaFile_TestLoadVectors("contenttree/http/meta/h2.json");
    StorageRequest *source = nullptr;
    StorageRequest_Create(&request);
    StorageRequest_Create(&source);
    StorageRequest_SetMetaFile(source, old.get());
    StorageRequest_SetSourceRequest(request, source);
  }
  void TearDown() override {
    if (request != nullptr) Class_ReleaseObject(&request);
    if (delta != nullptr) Class_ReleaseObject(&delta);  // its local storage reference
    StorageHttpFixture::TearDown();
  }
  static void Source(Storage *, void *context, StorageStep *step) {
    StorageDelta_Read(static_cast<StorageDelta *>(context),
                      static_cast<StorageRequest *>(step->argument), step);
  }
  // The local store (cache or cachebad) and the remote deltas (a store
  // under /http/).
  void Stores(const std::string &cache, const std::string &remote) {
    ASSERT_EQ(Configure(local, "{\"type\":\"filePiece\",\"flags\":1,\"path\":\"" +
                                   Test_VectorPath("contenttree/http/" + cache) + "\"}"),
              1);
    ASSERT_EQ(Configure(storage, "{\"type\":\"httpPiece\",\"flags\":\"vcdiff\",\"baseUrl\":\"" +
                                     Url("/http/" + remote + "/") + "\",\"source\":\"h1\"}"),
              1);
    Storage_SetDeltaSource(storage, delta, Source);
  }
  StorageOutcome ReadPiece(int32_t index) {
    Prepare(request, meta.get(), index);
    return Read(storage, request);
  }
  int64_t Status(const char *path) {
    Dictionary *status = nullptr;
    Dictionary_Create(&status);
    StorageDelta_GetStatus(delta, status);
    int64_t value = -1;
    Dictionary_GetInt64ByPath(status, path, &value);
    Dictionary_Release(&status);
    return value;
  }

  StorageDelta *delta = nullptr;
  Storage *local = nullptr;
  StorageRequest *request = nullptr;
  TestMetaPtr old, meta;
};

// Decoded pieces equal the generator's; with the cache, neighbouring deltas
// read their shared local pieces once, and no source run outlives its delta.
TEST_F(StorageDeltaTest, DeltasDecodeAndNeighboursHitTheCache) {
  Stores("cache", "remote");
  constexpr int32_t kPieces = 24;
  int64_t readBytes[2] = {};
  for (int64_t size : {int64_t(0), kStorageDeltaDefaultCacheBytes}) {
    SCOPED_TRACE(size);
    Dictionary *config = NetTest_Dictionary("{\"deltaCacheSize\":" + std::to_string(size) + "}");
    ASSERT_EQ(StorageDelta_Configure(delta, app, config), 1);
    Dictionary_Release(&config);
    StorageDelta_Reset(delta);
    for (int32_t i = 0; i < kPieces; i++) {
      StorageOutcome o = ReadPiece(i);
      ASSERT_EQ(o.result, 0) << i << " " << o.resultEx;
      char name[64];
      snprintf(name, sizeof name, "flat/h2/%08x.varnopiece", unsigned(i));
      ASSERT_EQ(Bytes(request), Tree(name)) << i;
      // The source run is given back once the delta is applied.
      EXPECT_EQ(StorageRequest_GetHeldBytes(StorageRequest_GetSourceRequest(request)), 0) << i;
    }
    readBytes[size != 0] = Status("readBytes");
    EXPECT_EQ(Status("cache.hits") > 0, size != 0);
  }
  EXPECT_GT(readBytes[0], 0);
  EXPECT_LT(readBytes[1], readBytes[0]);
  Dictionary *none = NetTest_Dictionary("{}");
  EXPECT_EQ(StorageDelta_Configure(delta, nullptr, none), 0);
  EXPECT_TRUE(Logged("Configuration dictionary missing deltaCacheSize"));
  Dictionary_Release(&none);
}

// Deltas whose source runs overlap, their source reads asked for all at
// once, read each local piece no more often than the same deltas one after
// the other: a read waits for an overlapping one in flight and then finds
// the cache filled.
TEST_F(StorageDeltaTest, OverlappingSourcesAskedAtOnceReadOnce) {
  Stores("cache", "remote");
  constexpr int32_t kPieces = 24;
  ASSERT_EQ(StorageDelta_Configure(delta, app, nullptr), 1);
  for (int32_t i = 0; i < kPieces; i++) ASSERT_EQ(ReadPiece(i).result, 0) << i;
  int64_t oneByOne = Status("readBytes");
  StorageDelta_Reset(delta);
  // The delta-source steps are held until every piece has asked.
  struct Held {
    StorageDelta *delta;
    std::vector<StorageStep *> steps;
  } held{delta, {}};
  Storage_SetDeltaSource(storage, &held, [](Storage *, void *context, StorageStep *step) {
    auto *h = static_cast<Held *>(context);
    h->steps.push_back(step);
    if (h->steps.size() < size_t(kPieces)) return;
    for (StorageStep *s : h->steps)
      StorageDelta_Read(h->delta, static_cast<StorageRequest *>(s->argument), s);
  });
  std::vector<StorageRequest *> requests(kPieces, nullptr);
  std::vector<StorageOutcome> outcomes(kPieces);
  for (int32_t i = 0; i < kPieces; i++) {
    StorageRequest *source = nullptr;
    StorageRequest_Create(&requests[size_t(i)]);
    StorageRequest_Create(&source);
    StorageRequest_SetMetaFile(source, old.get());
    StorageRequest_SetSourceRequest(requests[size_t(i)], source);
    Prepare(requests[size_t(i)], meta.get(), i);
    Storage_Read(storage, requests[size_t(i)], nullptr, &outcomes[size_t(i)],
                 StorageOutcome::Complete);
  }
  EXPECT_TRUE(NetTest_PumpUntil([&] {
    for (const StorageOutcome &o : outcomes)
      if (o.calls != 1) return false;
    return true;
  }));
  for (int32_t i = 0; i < kPieces; i++) {
    char name[64];
    snprintf(name, sizeof name, "flat/h2/%08x.varnopiece", unsigned(i));
    EXPECT_EQ(outcomes[size_t(i)].result, 0) << i;
    EXPECT_EQ(Bytes(requests[size_t(i)]), Tree(name)) << i;
    Class_ReleaseObject(&requests[size_t(i)]);
  }
  EXPECT_EQ(Status("readBytes"), oneByOne);
}

// A delta of no source reads nothing; a source run past the local pieces is
// refused with -988 before any request is built; a damaged local piece
// reaches the delta's completion as the local read's 979.
TEST_F(StorageDeltaTest, SourceRunsOutsideOrDamaged) {
  struct Row {
    const char *cache;
    const char *remote;
    int32_t result;
  } rows[] = {{"cache", "zerosource", 0}, {"cache", "badsource", -kStorageResultDelta},
              {"cachebad", "remote", kStorageResultDigest}};
  for (const Row &row : rows) {
    SCOPED_TRACE(row.remote);
    Stores(row.cache, row.remote);
    StorageDelta_Reset(delta);
    StorageOutcome o = ReadPiece(0);
    EXPECT_EQ(o.result, row.result);
    if (row.result == 0) {
      EXPECT_EQ(Bytes(request), Tree("flat/h2/00000000.varnopiece"));
      EXPECT_EQ(Status("readBytes"), 0);
    }
  }
  EXPECT_TRUE(Logged("Delta source outside the local pieces"));
}

}  // namespace
