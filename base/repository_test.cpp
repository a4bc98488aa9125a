#include "base/repository.h"

#include "base/enginelog.h"
#include "tests/netfixture.h"
#include "tests/storage_test_util.h"

namespace {

class RepositoryTest : public NetTest, public StorageLogLines {
 protected:
  void SetUp() override {
    NetTest::SetUp();
    Repository_Create(&repository);
    EngineLog_SetSink(&repository->log, static_cast<StorageLogLines *>(this), Hook);
  }
  void TearDown() override {
    if (repository != nullptr) Repository_Destroy(&repository);
    NetTest::TearDown();
  }
  // A piece-cache remote at path.
  static void SetRemote(Dictionary *d, const char *path) {
    Dictionary_SetStringByKey(d, "type", "filePiece");
    Dictionary_SetStringByKey(d, "pieceFormat", "%s");
    Dictionary_SetBooleanByKey(d, "systemBuffer", 1);
    if (path != nullptr) Dictionary_SetStringByKey(d, "path", path);
  }
  static Dictionary *Append(Dictionary *list) {
    Dictionary *item = nullptr;
    int32_t count = 0;
    Dictionary_GetCount(list, &count);
    Dictionary_SetDictionaryByIndex(list, count, nullptr, &item);
    return item;
  }
  std::vector<std::string> Locations() {
    std::vector<std::string> out;
    char text[kStorageLocationBytes];
    for (RepositoryRemote *e = repository->firstRemote; e != nullptr; e = e->next) {
      Storage_GetLocation(e->storage, text);
      out.push_back(text);
    }
    return out;
  }

  Repository *repository = nullptr;
};

// {"type":"MUX","storages":[...]}: each item a piece-cache remote at a
// path, "" one that fails to configure, "+a,b" a nested mux of a and b.
TEST_F(RepositoryTest, RemoteListsAndMux) {
  struct Case {
    const char *name;
    std::vector<const char *> items;
    int result;
    std::vector<std::string> locations;
    bool duplicateLine;
  };
  const Case cases[] = {
      {"flat", {"/tmp/ra", "/tmp/rb"}, 1, {"/tmp/ra/", "/tmp/rb/"}, false},
      {"nested", {"/tmp/ra", "+/tmp/rb,/tmp/rc"}, 1, {"/tmp/ra/", "/tmp/rb/", "/tmp/rc/"}, false},
      {"duplicate in another case", {"/tmp/ra", "/TMP/RA", "/tmp/rb"}, 1,
       {"/tmp/ra/", "/tmp/rb/"}, true},
      {"second fails", {"/tmp/ra", "", "/tmp/rc"}, 0, {"/tmp/ra/"}, false},
      {"nested fails", {"+/tmp/ra,", "/tmp/rc"}, 0, {"/tmp/ra/"}, false},
      {"empty mux", {}, 1, {}, false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Repository_ClearRemotes(repository);
    lines.clear();
    Dictionary *entry = nullptr;
    Dictionary_Create(&entry);
    Dictionary_SetStringByKey(entry, "type", "MUX");
    Dictionary *list = nullptr;
    if (!c.items.empty()) Dictionary_SetListByKey(entry, "storages", nullptr, &list);
    for (const char *item : c.items) {
      std::vector<std::string> paths;
      Dictionary *target = list;
      if (item[0] == '+') {
        Dictionary *mux = Append(list);
        Dictionary_SetStringByKey(mux, "type", "mux");
        Dictionary_SetListByKey(mux, "storages", nullptr, &target);
        std::string rest = item + 1;
        size_t at = 0;
        for (;;) {
          size_t comma = rest.find(',', at);
          paths.push_back(rest.substr(at, comma == std::string::npos ? comma : comma - at));
          if (comma == std::string::npos) break;
          at = comma + 1;
        }
      } else {
        paths.push_back(item);
      }
      for (const std::string &p : paths) {
        SetRemote(Append(target), p.empty() ? nullptr : p.c_str());
      }
    }
    int32_t usesDelta = 0;
    EXPECT_EQ(Repository_AddRemote(repository, nullptr, entry, &usesDelta), c.result);
    EXPECT_EQ(Locations(), c.locations);
    EXPECT_EQ(Logged("ignored: storage connection already exists"), c.duplicateLine);
    EXPECT_EQ(usesDelta, 0);
    Dictionary_Release(&entry);
  }
}

TEST_F(RepositoryTest, SelectsTheLeastLoadedRemote) {
  for (const char *path : {"/tmp/ra", "/tmp/rb", "/tmp/rc"}) {
    Dictionary *entry = nullptr;
    Dictionary_Create(&entry);
    SetRemote(entry, path);
    ASSERT_EQ(Repository_AddRemote(repository, nullptr, entry, nullptr), 1);
    Dictionary_Release(&entry);
  }
  RepositoryRemote *e[3] = {repository->firstRemote, repository->firstRemote->next,
                            repository->lastRemote};
  struct Case {
    int32_t pending[3];
    int32_t errors[3];
    int32_t enabled[3];
    int chosen;
  };
  const Case cases[] = {
      {{2, 1, 3}, {0, 0, 0}, {1, 1, 1}, 1},
      {{1, 1, 1}, {2, 1, 1}, {1, 1, 1}, 1},  // tie on load: fewer errors, first of equals
      {{0, 0, 0}, {0, 0, 0}, {1, 1, 1}, 0},
      {{0, 5, 5}, {0, 3, 2}, {0, 1, 1}, 2},  // disabled never chosen
  };
  for (const Case &c : cases) {
    for (int i = 0; i < 3; i++) {
      e[i]->storage->pendingRequests.store(c.pending[i]);
      e[i]->storage->errorCount.store(c.errors[i]);
      e[i]->enabled = c.enabled[i];
    }
    Storage *chosen = nullptr;
    EXPECT_EQ(Repository_SelectRemote(nullptr, repository, &chosen), 1);
    EXPECT_EQ(chosen, e[c.chosen]->storage);
  }
  for (RepositoryRemote *r : e) r->storage->pendingRequests.store(0);
  for (RepositoryRemote *r : e) r->enabled = 0;
  Storage *none = nullptr;
  EXPECT_DEATH(Repository_SelectRemote(nullptr, repository, &none), "Unable to find storage member");
}

TEST_F(RepositoryTest, RequestSlots) {
  Repository_SetRequestCount(repository, 3);
  EXPECT_EQ(repository->copy->requestCount, 3);
  EXPECT_EQ(repository->apply->requestCount, 3);
  RepositorySlot *last = repository->lastSlot;
  StorageRequest *a = nullptr, *b = nullptr, *c = nullptr, *d = nullptr;
  EXPECT_EQ(Repository_AcquireRequest(nullptr, repository, &a), 1);
  EXPECT_EQ(Repository_AcquireRequest(nullptr, repository, &b), 1);
  EXPECT_NE(StorageRequest_GetSourceRequest(a), nullptr);
  EXPECT_NE(StorageRequest_GetSourceRequest(a), StorageRequest_GetSourceRequest(b));
  repository->lastSlot->enabled = 0;
  int32_t enabled = 0;
  Repository_CountEnabledRequests(repository, &enabled);
  EXPECT_EQ(enabled, 2);
  EXPECT_EQ(Repository_AcquireRequest(nullptr, repository, &c), 0);  // the third is disabled
  Repository_ReleaseRequest(nullptr, repository, &a);
  EXPECT_EQ(a, nullptr);
  EXPECT_EQ(Repository_AcquireRequest(nullptr, repository, &d), 1);
  RepositorySlot *slot = nullptr;
  EXPECT_EQ(Repository_FindRequestSlot(repository, d, &slot), 1);
  EXPECT_EQ(slot, repository->firstSlot);
  // A resize while a request is out would free a buffer a chain still holds.
  EXPECT_DEATH(Repository_SetRequestCount(repository, 1),
               "Unable to resize storage requests in use");
  StorageRequest *stranger = nullptr;
  StorageRequest_Create(&stranger);
  EXPECT_DEATH(Repository_ReleaseRequest(nullptr, repository, &stranger),
               "Unable to release storage request");
  Class_ReleaseObject(&stranger);
  Repository_ReleaseRequest(nullptr, repository, &b);
  Repository_ReleaseRequest(nullptr, repository, &d);
  Repository_SetRequestCount(repository, 1);  // two go from the head
  EXPECT_EQ(repository->slotCount, 1);
  EXPECT_EQ(repository->firstSlot, last);
  EXPECT_TRUE(last->enabled && !last->inUse);
  EXPECT_EQ(repository->copy->requestCount, 1);
}

}  // namespace
