#include "base/repository.h"

#include <unistd.h>

#include <vector>

#include "base/enginelog.h"
#include "core/platform/asyncfile.h"
#include "core/platform/notification.h"
#include "core/platform/platform.h"
#include "tests/netfixture.h"
#include "tests/storage_test_util.h"

namespace {

class RepositoryTest : public NetTest, public StorageLogLines {
 protected:
  void SetUp() override {
    NetTest::SetUp();
    AsyncFile_Init();
    Repository_Create(&repository);
    EngineLog_SetSink(&repository->log, static_cast<StorageLogLines *>(this), Hook);
  }
  void TearDown() override {
    if (repository != nullptr) Repository_Destroy(&repository);
    NetTest_PumpUntil([] { return IOWorker_GetBusyCount() == 0; });
    EventQueue_Flush(EventQueue_GetMain());
    AsyncFile_Shutdown();
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
    EXPECT_EQ(Repository_SelectRemote(nullptr, repository, nullptr, &chosen), 1);
    EXPECT_EQ(chosen, e[c.chosen]->storage);
  }
  // A piece whose bytes from a remote failed their digest goes to another
  // while there is one enabled, the least loaded though it is.
  StorageRequest *failed = nullptr;
  StorageRequest_Create(&failed);
  Storage *chosen = nullptr;
  for (int only : {0, 1}) {
    for (int i = 0; i < 3; i++) {
      e[i]->enabled = i == 2 || !only;
      e[i]->storage->pendingRequests.store(i == 2 ? 0 : 1);
    }
    failed->digestFailedAt = e[2]->storage;
    Repository_SelectRemote(nullptr, repository, failed, &chosen);
    EXPECT_EQ(chosen, e[only ? 2 : 0]->storage);
  }
  Class_ReleaseObject(&failed);
  for (RepositoryRemote *r : e) r->storage->pendingRequests.store(0);
  for (RepositoryRemote *r : e) r->enabled = 0;
  Storage *none = nullptr;
  EXPECT_DEATH(Repository_SelectRemote(nullptr, repository, nullptr, &none),
               "Unable to find storage member");
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


double FrozenNow() { return 1000.0; }

// One failure of every source, type and code class, with its answer, retry
// delay and whether it is recorded. count is the earlier attempts.
TEST_F(RepositoryTest, HandleErrorDecisions) {
  Platform_SetTickSourceForTest(FrozenNow);
  struct Case {
    int32_t source, count, type, code, codeEx;
    int32_t decision;
    double delay;
  };
  const Case cases[] = {
      {6, 0, 1, 973, 0, 3, 30},     {1, 5, 1, 972, 0, 3, 30},    {5, 0, 1, 989, 9, 3, 30},
      {3, 0, 1, 964, 32, 4, 5},     {6, 3, 3, 964, 112, 4, 5},   {8, 0, 4, 964, 39, 4, 5},
      {2, 0, 1, 964, 33, 4, 5},     {3, 0, 4, 964, 5, 4, 5},     {3, 4, 1, 404, 0, 5, 0},
      {3, 0, 3, 976, 0, 5, 0},      {4, 0, 1, 404, 0, 3, 15},    {4, 1, 1, 976, 0, 3, 30},
      {5, 2, 1, 960, 0, 3, 60},     {5, 0, 1, 964, 2, 5, 0},     {5, 0, 1, 964, 3, 5, 0},
      {5, 0, 1, 979, 0, 5, 0},      {5, 0, 1, 962, 0, 5, 0},     {5, 0, 3, 964, 2, 4, 5},
      {5, 0, 4, 964, 13, 4, 5},     {8, 7, 1, 979, 0, 5, 0},     {8, 0, 3, 964, 13, 4, 5},
      {6, 2, 1, 404, 0, 4, 60},     {6, 0, 1, 962, 0, 4, 15},    {6, 8, 1, 979, 0, 4, 3840},
      {6, 20, 1, 979, 0, 4, 3840},  {7, 0, 4, 964, 13, 4, 5},    {7, 1, 1, 988, 0, 3, 30},
      {1, 0, 1, 404, 0, 3, 15},     {2, 3, 1, 976, 0, 3, 120},   {9, 0, 5, 986, 0, 3, 15},
      {42, 0, 1, 500, 0, 3, 15},    {6, 0, 1, 979, 0, 4, 0},
  };
  int32_t recorded = 0;
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << c.source << "/" << c.type << "/" << c.code << "/"
                                    << c.codeEx << " count " << c.count);
    lines.clear();
    double retryAt = -1;
    EXPECT_EQ(Repository_HandleError(repository, c.source, 7, c.count, c.type, c.code, c.codeEx,
                                     &retryAt),
              c.decision);
    EXPECT_DOUBLE_EQ(retryAt, 1000.0 + c.delay);
    char line[256];
    snprintf(line, sizeof line,
             "%s: Source(%d) Index(7) Count(%d) Type (%d) Code(%d) CodeEx(%d) Response(%d) "
             "Retry(%.2f)",
             c.decision == 5 ? "Ignore Error" : "Error", c.source, c.count + 1, c.type, c.code,
             c.codeEx, c.decision, c.delay);
    EXPECT_TRUE(Logged(line)) << line;
    if (c.decision != 5) recorded++;
    EXPECT_EQ(repository->errorCount, recorded);
    if (c.decision != 5) {
      int32_t source = 0, index = 0, type = 0, code = 0, codeEx = 0;
      Repository_GetLastError(repository, &source, &index, &type, &code, &codeEx);
      EXPECT_EQ(std::vector<int32_t>({source, index, type, code, codeEx}),
                std::vector<int32_t>({c.source, 7, c.type, c.code, c.codeEx}));
    }
  }
  Platform_SetTickSourceForTest(nullptr);
}

TEST_F(RepositoryTest, CopyErrorPolicy) {
  Platform_SetTickSourceForTest(FrozenNow);
  Repository_SetRequestCount(repository, 4);
  StorageRequest *a = nullptr;
  Repository_AcquireRequest(nullptr, repository, &a);
  StorageRequest_SetAllowDelta(a, 0);
  double retryAt = 0;
  // Too many requests for the server: one slot fewer, the piece goes back.
  EXPECT_EQ(Repository_ApplyErrorPolicy(repository->copy, repository, a, 0, 3, 0, 1, 961, 0,
                                        &retryAt),
            3);
  EXPECT_TRUE(Logged("Reducing request count (3)"));
  int32_t enabled = 0;
  Repository_CountEnabledRequests(repository, &enabled);
  EXPECT_EQ(enabled, 3);
  EXPECT_FALSE(repository->firstSlot->enabled);
  // A delta that failed to inflate: fetched whole, at once.
  StorageRequest_SetAllowDelta(a, 1);
  lines.clear();
  EXPECT_EQ(Repository_ApplyErrorPolicy(repository->copy, repository, a, 3, 9, 2, 1, 960, 0,
                                        &retryAt),
            3);
  EXPECT_TRUE(Logged("Disabling vcdiff (9)"));
  EXPECT_DOUBLE_EQ(retryAt, 1000.0);
  EXPECT_EQ(repository->deltaFailures, 1);
  EXPECT_EQ(StorageRequest_GetAllowDelta(a), 0);
  // Disk full keeps the delta.
  StorageRequest_SetAllowDelta(a, 1);
  EXPECT_EQ(Repository_ApplyErrorPolicy(repository->copy, repository, a, 1, 9, 0, 3, 964, 112,
                                        &retryAt),
            4);
  EXPECT_EQ(StorageRequest_GetAllowDelta(a), 1);
  // Forgiven local errors are taken back from the storage.
  repository->local->errorCount.store(2);
  repository->pending->errorCount.store(2);
  EXPECT_EQ(Repository_ApplyErrorPolicy(repository->copy, repository, a, 1, 9, 0, 1, 964, 2,
                                        &retryAt),
            5);
  EXPECT_EQ(Repository_ApplyErrorPolicy(repository->copy, repository, a, 2, 9, 0, 1, 979, 0,
                                        &retryAt),
            5);
  EXPECT_EQ(Storage_GetErrorCount(repository->local), 1);
  EXPECT_EQ(Storage_GetErrorCount(repository->pending), 1);
  EXPECT_DEATH(Repository_ApplyErrorPolicy(repository->copy, repository, a, 4, 9, 0, 1, 964, 2,
                                           &retryAt),
               "Invalid error source \\(4\\)");
  Repository_ReleaseRequest(nullptr, repository, &a);
  Platform_SetTickSourceForTest(nullptr);
}

// The status as Python's json reads it: "key:type" per top-level member, in
// order (int, float, str, bool, list, dict).
std::vector<std::string> PythonKeys(const std::string &json) {
  std::string path = "/tmp/keelson_repository_status_" + std::to_string(getpid()) + ".json";
  FILE *f = fopen(path.c_str(), "w");
  if (f == nullptr) return {};
  fputs(json.c_str(), f);
  fclose(f);
  std::string command =
      "/usr/bin/python3 -c 'import json,sys\n"
      "d=json.load(open(sys.argv[1]),object_pairs_hook=list)\n"
      "for k,v in d: print(k+\":\"+(\"dict\" if isinstance(v,list) and all(isinstance(x,tuple) "
      "for x in v) and v else type(v).__name__))' " +
      path;
  std::vector<std::string> out;
  FILE *p = popen(command.c_str(), "r");
  if (p == nullptr) return out;
  char line[256];
  while (fgets(line, sizeof line, p) != nullptr) {
    std::string text(line);
    while (!text.empty() && text.back() == '\n') text.pop_back();
    out.push_back(text);
  }
  pclose(p);
  unlink(path.c_str());
  return out;
}

TEST_F(RepositoryTest, StatusKeysInOrder) {
  const char *const kKeys[] = {
      "name:str", "actionFlags:int", "stateFlags:int", "localId:str", "remoteId:str",
      "deltaFailures:int", "pendingRequests:int", "localMetaFileLoadTime:num",
      "remoteMetaFileLoadTime:num", "aliasLoadTime:num", "catalogLoadTime:num",
      "localCleanTime:num", "pendingCleanTime:num", "refreshTime:num", "syncTime:num",
      "eraseTime:num", "stallTime:num", "aliveTime:num", "pauseTime:num", "phases:list",
      "errorCount:int", "lastErrorSource:int", "lastErrorIndex:int", "lastErrorType:int",
      "lastErrorCode:int", "lastErrorCodeEx:int", "localReadBytes:int", "localWriteBytes:int",
      "localReadSpeed:num", "localWriteSpeed:num", "localMaxReadSpeed:num",
      "localMaxWriteSpeed:num", "remoteReadBytes:int", "remoteWriteBytes:int",
      "remoteReadSpeed:num", "remoteWriteSpeed:num", "remoteMaxReadSpeed:num",
      "remoteMaxWriteSpeed:num", "documentReadBytes:int", "piecesTotal:int", "piecesSkipped:int", "piecesWritten:int",
      "piecesMasked:int", "piecesComplete:int", "pieceAverageTime:num", "localMetaFile:dict",
      "remoteMetaFile:dict", "alias:dict", "catalog:dict", "delta:dict", "copy:dict",
      "apply:dict", "cleanup:dict", "cleanupLocal:dict", "cleanupPending:dict", "local:dict",
      "remote:list", "pending:dict", "requests:list"};
  Repository_SetRequestCount(repository, 2);
  double retryAt = 0;
  for (int pass = 0; pass < 2; pass++) {
    SCOPED_TRACE(pass == 0 ? "fresh" : "after errors");
    Dictionary *status = nullptr;
    Dictionary_Create(&status);
    Repository_GetStatus(repository, status);
    std::vector<std::string> keys = PythonKeys(NetTest_Json(status));
    Dictionary_Release(&status);
    ASSERT_EQ(keys.size(), std::size(kKeys));
    for (size_t i = 0; i < keys.size(); i++) {
      std::string want = kKeys[i];
      if (want.ends_with(":num")) {
        std::string stem = want.substr(0, want.size() - 3);
        EXPECT_TRUE(keys[i] == stem + "float" || keys[i] == stem + "int") << keys[i];
      } else {
        EXPECT_EQ(keys[i], want);
      }
    }
    Repository_HandleError(repository, 6, 3, 0, 1, 404, 0, &retryAt);
  }
}

// Page references reach the repository; a malformed notification changes
// nothing, and destroy leaves no observer behind.
TEST_F(RepositoryTest, InteropReferences) {
  const char *id = repository->header.instanceId;
  struct Case {
    const char *info;
    int32_t refs;
  };
  const Case cases[] = {
      {R"({"addRef":true})", 2}, {R"({"addRef":true})", 3}, {R"({"addRef":false})", 2},
      {R"({})", 2},              {R"({"addRef":"false"})", 2}, {R"({"addRef":0})", 2},
      {R"({"addRef":null})", 2}, {R"({"addRef":false})", 1},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.info);
    NotificationCenter_FireWithJSONText("NotificationCenter", "Interop", id, c.info);
    NotificationCenter_ProcessPendingFires();
    EXPECT_EQ(repository->header.refCount.load(), c.refs);
  }
  NotificationCenter_RetainInteropInstance(id);
  NotificationCenter_ProcessPendingFires();
  EXPECT_EQ(repository->header.refCount.load(), 2);
  NotificationCenter_ReleaseInteropInstance(id);
  NotificationCenter_ProcessPendingFires();
  EXPECT_EQ(repository->header.refCount.load(), 1);
  // With remotes, slots and a held request in place.
  Dictionary *entry = nullptr;
  Dictionary_Create(&entry);
  SetRemote(entry, "/tmp/ra");
  Repository_AddRemote(repository, nullptr, entry, nullptr);
  Dictionary_Release(&entry);
  Repository_SetRequestCount(repository, 2);
  void *gone = repository;
  Repository_Destroy(&repository);
  EXPECT_EQ(repository, nullptr);
  NotificationCenter_ProcessPendingFires();
  EXPECT_EQ(NotificationCenter_AssertInstance(gone), 1);
}

double gClock = 1000.0;
double MovableNow() { return gClock; }

// Refresh requested while paused: it begins paused and only the pause timer
// runs; resumed, the storages are switched active and the phase runs; a
// Refresh without documents or metafiles ends with the configuration error,
// and an active repository with a configuration error is stalled.
TEST_F(RepositoryTest, PhaseTimersPauseAndStall) {
  gClock = Platform_GetTickSeconds() + 60.0;  // past every retry time the set-up wrote
  Platform_SetTickSourceForTest(MovableNow);
  Dictionary *config = nullptr;
  Dictionary_Create(&config);
  Dictionary_SetStringByKey(config, "repository", "game");
  EXPECT_EQ(Repository_SetConfiguration(repository, config), 1);
  Dictionary_Release(&config);
  Repository_ResetErrors(repository);
  Repository_SetRefresh(repository, 1);
  Repository_Process(repository);
  uint32_t paused = kRepositoryStateRefresh | kRepositoryStatePaused | kRepositoryStateAlive;
  EXPECT_EQ(Repository_GetStateFlags(repository) & paused, paused);
  Storage_SetDriver(repository->local, &kScriptedDriver);
  gClock += 5.0;
  double seconds = -1;
  Repository_GetStateTime(repository, kRepositoryStatePaused, &seconds);
  EXPECT_DOUBLE_EQ(seconds, 0.0);  // read while inactive; the running stretch counts once active
  Repository_GetStateTime(repository, kRepositoryStateRefresh, &seconds);
  EXPECT_DOUBLE_EQ(seconds, 0.0);
  Repository_SetActive(repository, 1);
  Repository_Process(repository);  // resumes; the alias and catalog are not configured
  EXPECT_EQ(ScriptedDriver_GetCalls(repository->local, 7), 1);
  Repository_GetStateTime(repository, kRepositoryStatePaused, &seconds);
  EXPECT_DOUBLE_EQ(seconds, 5.0);
  for (int pass = 0; pass < 2; pass++) Repository_Process(repository);  // catalog, end
  EXPECT_TRUE(Logged("Remote metafile not loaded"));
  EXPECT_FALSE(Repository_GetActionFlags(repository) & kRepositoryActionRefresh);
  int32_t source = 0, code = 0;
  Repository_GetLastError(repository, &source, nullptr, nullptr, &code, nullptr);
  EXPECT_EQ(source, 9);
  EXPECT_EQ(code, 986);
  gClock += 2.0;
  Repository_Process(repository);
  EXPECT_FALSE(Repository_GetStateFlags(repository) & kRepositoryStateRefresh);
  EXPECT_TRUE(Repository_GetStateFlags(repository) & kRepositoryStateStalled);
  EXPECT_TRUE(Logged("Refresh stopped (game) (2.00s)"));
  Repository_GetStateTime(repository, kRepositoryStateRefresh, &seconds);
  EXPECT_DOUBLE_EQ(seconds, 2.0);
  gClock += 3.0;
  Repository_GetStateTime(repository, kRepositoryStateStalled, &seconds);
  EXPECT_DOUBLE_EQ(seconds, 3.0);
  EXPECT_DEATH(Repository_GetStateTime(repository, 3, &seconds), "Index exceeds state range");
  Repository_SetActive(repository, 0);
  Repository_Process(repository);
  EXPECT_FALSE(Repository_GetStateFlags(repository) & kRepositoryStateStalled);
  Platform_SetTickSourceForTest(nullptr);
}

// The slots share one budget of bytes: large pieces run fewer at once, a
// piece past the budget runs alone, and idle slots give their buffers back
// when the budget needs the room.
TEST_F(RepositoryTest, RequestSlotsShareOneBudget) {
  Repository_SetRequestCount(repository, 3);
  PieceList *pieces = MetaFile_GetPieceList(repository->remoteMetaFile);
  const int64_t mib = 1 << 20;
  // Fills the request's buffer for a piece of size bytes (the span a piece
  // of that size gives).
  auto fill = [](StorageRequest *request, int64_t size) {
    request->span = size;
    StorageRequest_AllocBuffer(request);
  };
  struct Row {
    int64_t pieceSize;
    int32_t atOnce;
  } rows[] = {{1 * mib, 3}, {60 * mib, 2}, {100 * mib, 1}, {300 * mib, 1}};
  for (const Row &row : rows) {
    SCOPED_TRACE(row.pieceSize);
    pieces->pieceSize = row.pieceSize;
    Repository_SetRequestCount(repository, 3);
    EXPECT_EQ(repository->copy->requestCount, row.atOnce);  // its remaining time counts on it
    std::vector<StorageRequest *> out;
    StorageRequest *next = nullptr;
    while (Repository_AcquireRequest(nullptr, repository, &next)) out.push_back(next);
    EXPECT_EQ(int32_t(out.size()), row.atOnce);
    for (StorageRequest *request : out) Repository_ReleaseRequest(nullptr, repository, &request);
  }
  // Two 60 MiB pieces leave their buffers in the first two slots; a 100 MiB
  // piece takes the first slot and the second gives its buffer back.
  pieces->pieceSize = 60 * mib;
  StorageRequest *a = nullptr, *b = nullptr;
  ASSERT_EQ(Repository_AcquireRequest(nullptr, repository, &a), 1);
  ASSERT_EQ(Repository_AcquireRequest(nullptr, repository, &b), 1);
  fill(a, 60 * mib);
  fill(b, 60 * mib);
  StorageRequest *second = b;
  Repository_ReleaseRequest(nullptr, repository, &a);
  Repository_ReleaseRequest(nullptr, repository, &b);
  EXPECT_GT(StorageRequest_GetHeldBytes(second), 60 * mib);
  pieces->pieceSize = 100 * mib;
  ASSERT_EQ(Repository_AcquireRequest(nullptr, repository, &a), 1);
  EXPECT_EQ(a, repository->firstSlot->request);
  EXPECT_GT(StorageRequest_GetHeldBytes(a), 60 * mib);  // kept, to be reused
  EXPECT_EQ(StorageRequest_GetHeldBytes(second), 0);
  Repository_ReleaseRequest(nullptr, repository, &a);
}

}  // namespace
