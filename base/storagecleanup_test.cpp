#include "base/storagecleanup.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "base/storagefilepiece.h"
#include "tests/dictionary_test_util.h"
#include "tests/storage_copy_util.h"

namespace fs = std::filesystem;

namespace {

class StorageCleanupTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    StorageCleanup_Create(&cleanup);
    StorageCleanup_SetErrorCallback(cleanup, this, Error);
  }
  void TearDown() override {
    StorageCleanup_Stop(cleanup);
    EXPECT_TRUE(Drive([] {}, [&] { return storage == nullptr || Storage_GetPendingRequests(storage->storage) == 0; }));
    StorageCleanup_Destroy(&cleanup);
    storage.reset();
    EngineTest::TearDown();
  }
  static int32_t Error(StorageCleanup *, void *context, int32_t count, int32_t index, int32_t code,
                       int32_t, double *retryTime) {
    auto *t = static_cast<StorageCleanupTest *>(context);
    t->errors++;
    return t->policy ? t->policy(count, index, code, retryTime) : kStorageResponseRetry;
  }
  void Use(bool pieceDriver) {
    storage = std::make_unique<TestStorage>(pieceDriver);
    StorageCleanup_SetStorage(cleanup, storage->storage);
  }
  bool Run() {
    StorageCleanup_Start(cleanup);
    return Drive([&] { StorageCleanup_Pump(cleanup); },
                 [&] { return StorageCleanup_IsFinished(cleanup) == 1; });
  }
  std::string Status() {
    Dictionary *d = nullptr;
    Dictionary_Create(&d);
    StorageCleanup_GetStatus(cleanup, d);
    int32_t total = 0, complete = 0, erased = 0;
    double progress = -1;
    Dictionary_GetFloat64ByKey(d, "progress", &progress);
    Dictionary_GetInt32ByKey(d, "itemsTotal", &total);
    Dictionary_GetInt32ByKey(d, "itemsComplete", &complete);
    Dictionary_GetInt32ByKey(d, "filesErased", &erased);
    Dictionary_Release(&d);
    char text[128];
    snprintf(text, sizeof text, "%g %d/%d erased %d", progress, complete, total, erased);
    return text;
  }

  StorageCleanup *cleanup = nullptr;
  std::unique_ptr<TestStorage> storage;
  std::function<int32_t(int32_t count, int32_t index, int32_t code, double *retry)> policy;
  int32_t errors = 0;
};

TestLayout Files(std::vector<std::string> names, const std::string &id) {
  TestLayout l;
  l.id = id;
  for (const std::string &n : names) l.files.push_back({n, 10, 0, 1});
  return l;
}

// File mode: the files the keep metafile lacks are erased; a kept one
// counts complete but not erased; with nothing kept every file goes.
TEST_F(StorageCleanupTest, FileMode) {
  struct Row {
    std::vector<std::string> walked, keep;
    bool keepNothing;
    std::string status;
    std::set<std::string> erased;
  } rows[] = {
      {{"a", "b/c", "d"}, {"b/c", "x"}, false, "1 3/3 erased 2", {"a", "d"}},
      {{"a", "b/c", "d"}, {}, true, "1 3/3 erased 3", {"a", "b/c", "d"}},
      {{}, {"a"}, false, "0 0/0 erased 0", {}},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.status);
    Use(false);
    std::mutex lock;
    std::set<std::string> erased;
    storage->script.override = [&](int32_t slot, StorageStep *step) {
      EXPECT_EQ(slot, kScriptedEraseFile);
      std::lock_guard<std::mutex> g(lock);
      erased.insert(static_cast<FileEntry *>(step->value)->name);
      return ScriptedAction{0, 0, 1, 0};
    };
    TestContent walked, keep;
    walked.Load(Files(row.walked, "w"));
    keep.Load(Files(row.keep, "k"));
    StorageCleanup_SetMetaFile(cleanup, walked.meta.get());
    if (row.keepNothing)
      StorageCleanup_KeepNothing(cleanup);
    else
      StorageCleanup_SetKeepMetaFile(cleanup, keep.meta.get());
    ASSERT_TRUE(Run());
    EXPECT_EQ(Status(), row.status);
    EXPECT_EQ(erased, row.erased);
    EXPECT_FALSE(StorageCleanup_IsRunning(cleanup));
    // A second run on the same object counts from the start again.
    ASSERT_TRUE(Run());
    EXPECT_EQ(Status(), row.status);
  }
}

// Failed erases: the owner's answer 3 or 4 erases again (at once, or at the
// retry time), 5 counts the item as erased. The per-item count grows
// unless the answer is 5.
TEST_F(StorageCleanupTest, FailedErases) {
  TestClock clock;
  struct Row {
    bool pieces;
    int32_t response;
    double delay;
    int32_t calls;  // erase calls for the failing item
    int32_t secondCount;
  } rows[] = {
      {false, 3, 0, 2, 1}, {false, 4, 0, 2, 1}, {false, 5, 0, 1, -1},
      {true, 3, 0, 2, 1},  {true, 4, 50, 2, 1}, {true, 5, 50, 1, -1},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(std::to_string(row.pieces) + " " + std::to_string(row.response));
    Use(row.pieces);
    TestContent walked;
    TestLayout l = Files({"a", "b", "c"}, "w");
    l.pieceSize = 10;
    walked.Load(l);
    StorageCleanup_SetMetaFile(cleanup, walked.meta.get());
    StorageCleanup_KeepNothing(cleanup);
    std::atomic<int32_t> calls{0};
    storage->script.override = [&](int32_t slot, StorageStep *step) {
      bool first = row.pieces ? reinterpret_cast<intptr_t>(step->value) == 1
                              : std::string(static_cast<FileEntry *>(step->value)->name) == "b";
      EXPECT_EQ(slot, row.pieces ? kScriptedErasePiece : kScriptedEraseFile);
      if (!first) return ScriptedAction{0, 0, 0, 0};
      return ScriptedAction{calls.fetch_add(1) == 0 ? kStorageResultFile : 0, 13, 1, 0};
    };
    std::vector<int32_t> counts;
    policy = [&](int32_t count, int32_t index, int32_t code, double *retry) {
      EXPECT_EQ(index, 1);
      EXPECT_EQ(code, kStorageResultFile);
      counts.push_back(count);
      *retry = Platform_GetTickSeconds() + row.delay;
      return row.response;
    };
    StorageCleanup_Start(cleanup);
    ASSERT_TRUE(Drive([&] { StorageCleanup_Pump(cleanup); }, [&] { return errors == 1; }));
    if (row.delay > 0 && row.response != 5) {
      for (int i = 0; i < 20; i++) StorageCleanup_Pump(cleanup), EventQueue_Flush(EventQueue_GetMain());
      EXPECT_EQ(calls.load(), 1);
      EXPECT_FALSE(StorageCleanup_IsFinished(cleanup));
      clock.Advance(row.delay + 1);
    }
    ASSERT_TRUE(Drive([&] { StorageCleanup_Pump(cleanup); },
                      [&] { return StorageCleanup_IsFinished(cleanup) == 1; }));
    EXPECT_EQ(calls.load(), row.calls);
    EXPECT_EQ(Status(), "1 3/3 erased 3");
    EXPECT_EQ(cleanup->errorCounts[1], row.secondCount < 0 ? 0 : row.secondCount);
    errors = 0;
  }
}

// A stop drops the items waiting for a delayed response: nothing is erased
// after it, and the clean-up neither runs nor finishes.
TEST_F(StorageCleanupTest, StopDropsDelayedRetries) {
  TestClock clock;
  Use(false);
  TestContent walked;
  walked.Load(Files({"a", "b"}, "w"));
  StorageCleanup_SetMetaFile(cleanup, walked.meta.get());
  StorageCleanup_KeepNothing(cleanup);
  storage->script.override = [&](int32_t, StorageStep *) {
    return ScriptedAction{kStorageResultFile, 2, 0, 0};
  };
  policy = [&](int32_t, int32_t, int32_t, double *retry) {
    *retry = Platform_GetTickSeconds() + 100;
    return kStorageResponseRetry;
  };
  StorageCleanup_Start(cleanup);
  ASSERT_TRUE(Drive([&] { StorageCleanup_Pump(cleanup); }, [&] { return errors == 2; }));
  StorageCleanup_Stop(cleanup);
  clock.Advance(200);
  for (int i = 0; i < 20; i++) StorageCleanup_Pump(cleanup), EventQueue_Flush(EventQueue_GetMain());
  EXPECT_EQ(storage->Calls(kScriptedEraseFile), 2);
  EXPECT_EQ(cleanup->inFlight, 0);
  EXPECT_FALSE(StorageCleanup_IsRunning(cleanup));
  EXPECT_FALSE(StorageCleanup_IsFinished(cleanup));
}

class StorageCleanupDeathTest : public StorageCleanupTest {};

TEST_F(StorageCleanupDeathTest, MisuseStops) {
  Use(false);
  TestContent walked;
  walked.Load(Files({"a"}, "w"));
  StorageCleanup_SetMetaFile(cleanup, walked.meta.get());
  storage->script.override = [](int32_t, StorageStep *) {
    return ScriptedAction{kStorageResultFile, 1, 0, 0};
  };
  policy = [](int32_t, int32_t, int32_t, double *) { return 2; };
  StorageCleanup_Start(cleanup);
  EXPECT_DEATH(StorageCleanup_Start(cleanup), "Cleanup already running");
  EXPECT_DEATH(Drive([&] { StorageCleanup_Pump(cleanup); }, [] { return false; }),
               "Unhandled StorageCleanup error response \\(2\\)");
}

// Piece mode on a file-piece cache on disk holding two versions of the
// generated content tree: walking the older and keeping the newer erases
// exactly the older's pieces that the newer lacks (the same digest twice
// in the older is erased once and found missing once); a second run with
// nothing kept empties the newer's directory, which collapses. Nothing
// else is touched.
class StorageCleanupThreaded : public EngineTest {};

TEST_F(StorageCleanupThreaded, PieceModeOnDisk) {
  fs::path root = fs::temp_directory_path() / ("keelson-cleanup-" + std::to_string(getpid()));
  fs::remove_all(root);
  fs::create_directories(root / "store" / "other");
  for (const char *v : {"d3", "d4"}) {
    fs::path from = Test_VectorPath(std::string("contenttree/pieces/cache/") + v + "/flags0/" + v);
    ASSERT_TRUE(fs::is_directory(from)) << from;
    fs::copy(from, root / "store" / v, fs::copy_options::recursive);
  }
  { std::ofstream(root / "store" / "other" / "keep.txt") << "x"; }
  TestMetaPtr older = MetaFile_TestLoadVectors("contenttree/pieces/meta/d3.json");
  TestMetaPtr newer = MetaFile_TestLoadVectors("contenttree/pieces/meta/d4.json");
  auto names = [](const fs::path &dir) {
    std::set<std::string> out;
    if (fs::exists(dir))
      for (const auto &e : fs::directory_iterator(dir)) out.insert(e.path().filename().string());
    return out;
  };
  auto digests = [](MetaFile *m) {
    std::set<std::string> out;
    PieceList *list = MetaFile_GetPieceList(m);
    for (int32_t i = 0; i < PieceList_GetPieceTotal(list); i++) {
      char hex[160];
      PieceList_GetDigestHex(list, i, hex, sizeof hex);
      out.insert(std::string(hex) + ".varnopiece");
    }
    return out;
  };
  std::set<std::string> olderNames = names(root / "store" / "d3"),
                        newerNames = names(root / "store" / "d4"), keep = digests(newer.get());
  ASSERT_EQ(olderNames, digests(older.get()));
  std::set<std::string> expected;
  for (const std::string &n : olderNames)
    if (keep.count(n)) expected.insert(n);
  ASSERT_FALSE(expected.empty());
  ASSERT_LT(expected.size(), olderNames.size());

  Storage *storage = nullptr;
  Storage_Create(&storage);
  Storage_SetQueue(storage, EventQueue_GetMain());
  Dictionary *config = nullptr;
  Dictionary_Create(&config);
  Dictionary_SetStringByKey(config, "type", "filePiece");
  Dictionary_SetStringByKey(config, "path", (root / "store").c_str());
  Dictionary_SetStringByKey(config, "pieceFormat", "{targetInfoHash}/{targetDigest}.varnopiece");
  Dictionary_SetBooleanByKey(config, "systemBuffer", 1);
  ASSERT_EQ(Storage_Configure(storage, nullptr, config), 1);
  Dictionary_Release(&config);

  StorageCleanup *cleanup = nullptr;
  StorageCleanup_Create(&cleanup);
  StorageCleanup_SetStorage(cleanup, storage);
  StorageCleanup_SetLimit(cleanup, 3);
  StorageCleanup_SetMetaFile(cleanup, older.get());
  StorageCleanup_SetKeepMetaFile(cleanup, newer.get());
  auto run = [&] {
    StorageCleanup_Start(cleanup);
    return Drive([&] { StorageCleanup_Pump(cleanup); },
                     [&] { return StorageCleanup_IsFinished(cleanup) == 1; });
  };
  ASSERT_TRUE(run());
  int32_t total = PieceList_GetPieceTotal(MetaFile_GetPieceList(older.get())), kept = 0;
  for (int32_t i = 0; i < total; i++) {
    char hex[160];
    PieceList_GetDigestHex(MetaFile_GetPieceList(older.get()), i, hex, sizeof hex);
    kept += int32_t(keep.count(std::string(hex) + ".varnopiece"));
  }
  EXPECT_EQ(names(root / "store" / "d3"), expected);
  EXPECT_EQ(names(root / "store" / "d4"), newerNames);
  EXPECT_EQ(StorageCleanup_GetItemsComplete(cleanup), total);
  EXPECT_EQ(StorageCleanup_GetFilesErased(cleanup), total - kept);

  StorageCleanup_SetMetaFile(cleanup, newer.get());
  StorageCleanup_KeepNothing(cleanup);
  ASSERT_TRUE(run());
  EXPECT_FALSE(fs::exists(root / "store" / "d4"));
  EXPECT_EQ(names(root / "store" / "d3"), expected);
  EXPECT_EQ(names(root / "store" / "other"), std::set<std::string>{"keep.txt"});
  EXPECT_EQ(StorageCleanup_GetItemsComplete(cleanup),
            PieceList_GetPieceTotal(MetaFile_GetPieceList(newer.get())));

  StorageCleanup_Destroy(&cleanup);
  EXPECT_TRUE(Drive([] {}, [&] { return Storage_GetPendingRequests(storage) == 0; }));
  Class_ReleaseObject(&storage);
  fs::remove_all(root);
}

}  // namespace
