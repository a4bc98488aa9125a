#include "base/storagecopy.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>

#include "tests/dictionary_test_util.h"
#include "tests/storage_copy_util.h"

namespace {

// The owner's answer to a failure: (source, index, count, type, code) ->
// response and retry time.
using TestPolicy = std::function<int32_t(int32_t source, int32_t index, int32_t count, int32_t type,
                                         int32_t code, double *retryTime)>;

// Missing pieces (404 in the exists and pending stages) go on to the next
// stage; everything else is retried at once.
int32_t DefaultPolicy(int32_t, int32_t, int32_t, int32_t type, int32_t code, double *) {
  return type == 1 && code == kStorageResultMissing ? kStorageResponseContinue
                                                     : kStorageResponseRetry;
}

class StorageCopyTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    Make();
  }
  void TearDown() override {
    Drop();
    EngineTest::TearDown();
  }
  void Make() {
    local = std::make_unique<TestStorage>();
    pending = std::make_unique<TestStorage>();
    source = std::make_unique<TestStorage>();
    owner = std::make_unique<TestOwner>(4);
    StorageCopy_Create(&copy);
    owner->Bind(copy);
    StorageCopy_SetLocalStorage(copy, local->storage);
    StorageCopy_SetPendingStorage(copy, pending->storage);
    StorageCopy_SetSourceCallback(copy, this, Source);
    StorageCopy_SetErrorCallback(copy, this, Error);
    StorageCopy_SetRequestCount(copy, 4);
    policy = DefaultPolicy;
    errors = 0;
    // The target storages start empty: every verify finds nothing.
    for (TestStorage *s : {local.get(), pending.get()}) {
      s->script.fail[kScriptedRead] = 100;
      s->script.codes = {kStorageResultMissing};
    }
  }
  void Drop() {
    StorageCopy_Stop(copy);
    EXPECT_TRUE(Drive([] {}, [&] { return owner->Out() == 0 && Idle(); }));
    EXPECT_EQ(owner->doubleRelease, 0);
    StorageCopy_Destroy(&copy);
    owner.reset();
    local.reset();
    pending.reset();
    source.reset();
  }
  // A fresh copy, storages and owner for the next row of a table.
  void Fresh() {
    Drop();
    Make();
  }
  static int Source(StorageCopy *, void *context, StorageRequest *request, Storage **storage) {
    auto *t = static_cast<StorageCopyTest *>(context);
    *storage = t->source->storage;
    if (request != nullptr && request->digestFailedAt != nullptr)
      t->avoided.push_back(request->digestFailedAt);
    return 1;
  }
  std::vector<const Storage *> avoided;  // the storages the sources were asked to avoid
  static int32_t Error(StorageCopy *, void *context, StorageRequest *, int32_t source,
                       int32_t index, int32_t count, int32_t type, int32_t code, int32_t,
                       double *retryTime) {
    auto *t = static_cast<StorageCopyTest *>(context);
    t->errors++;
    return t->policy(source, index, count, type, code, retryTime);
  }
  bool Idle() {
    for (TestStorage *s : {local.get(), pending.get(), source.get()})
      if (Storage_GetPendingRequests(s->storage) != 0) return false;
    return true;
  }
  // Loads the layout and serves its bytes from every storage.
  void Use(const TestLayout &layout) {
    content.Load(layout);
    for (TestStorage *s : {local.get(), pending.get(), source.get()}) s->script.content = &content;
    StorageCopy_SetMetaFile(copy, content.meta.get());
  }
  void Begin() {
    StorageCopy_Configure(copy);
    StorageCopy_Start(copy);
  }
  bool RunToEnd() {
    Begin();
    return Drive([&] { StorageCopy_Pump(copy); }, [&] { return StorageCopy_IsFinished(copy); });
  }
  // The source serves every piece but fails the first read of piece with
  // code; the local storage holds nothing and records the names it
  // completes; every other failure is answered by a requeue 100 s on.
  void FailOnceAndRecordCompletions(int32_t piece, int32_t code) {
    source->script.override = [this, piece, code](int32_t slot, StorageStep *step) {
      auto *m = static_cast<StorageMember *>(step->value);
      if (slot == kScriptedRead && m->pieceIndex == piece && failedReads.fetch_add(1) == 0)
        return ScriptedAction{code, 0, 0, 0};
      if (slot == kScriptedRead) content.Fill(static_cast<StorageRequest *>(step->argument), m);
      return ScriptedAction{0, 0, 0, 0};
    };
    local->script.override = [this](int32_t slot, StorageStep *step) {
      if (slot == kScriptedRead) return ScriptedAction{kStorageResultMissing, 0, 0, 0};
      if (slot == kScriptedCompleteFile) {
        std::lock_guard<std::mutex> g(completedLock);
        completed.push_back(static_cast<FileEntry *>(step->value)->name);
      }
      return ScriptedAction{0, 0, 0, 0};
    };
    policy = [this](int32_t, int32_t, int32_t, int32_t, int32_t code, double *retry) {
      if (code == kStorageResultMissing) return kStorageResponseContinue;
      answered++;
      *retry = Platform_GetTickSeconds() + 100;
      return kStorageResponseRequeue;
    };
  }
  std::atomic<int32_t> failedReads{0};
  int32_t answered = 0;
  std::mutex completedLock;
  std::vector<std::string> completed;
  // A script that reads only the pieces of has (404 for the others).
  static std::function<ScriptedAction(int32_t, StorageStep *)> Holding(const TestContent &c,
                                                                      std::set<int32_t> has) {
    return [&c, has](int32_t slot, StorageStep *step) {
      if (slot != kScriptedRead) return ScriptedAction{0, 0, 0, 0};
      auto *m = static_cast<StorageMember *>(step->value);
      if (!has.count(m->pieceIndex)) return ScriptedAction{kStorageResultMissing, 0, 0, 0};
      c.Fill(static_cast<StorageRequest *>(step->argument), m);
      return ScriptedAction{0, 0, 0, 0};
    };
  }
  int32_t Status32(const char *key) {
    Dictionary *d = nullptr;
    Dictionary_Create(&d);
    StorageCopy_GetStatus(copy, d);
    int32_t v = -1;
    Dictionary_GetInt32ByKey(d, key, &v);
    Dictionary_Release(&d);
    return v;
  }

  TestContent content;
  std::unique_ptr<TestStorage> local, pending, source;
  std::unique_ptr<TestOwner> owner;
  StorageCopy *copy = nullptr;
  TestPolicy policy = DefaultPolicy;
  int32_t errors = 0;
};

// Two files over four pieces of 64 bytes, the second ending in a pad.
TestLayout SmallLayout() {
  TestLayout l;
  l.files = {{"a/one", 100, 0, 1}, {"b/two", 120, 30, 2}};
  return l;
}

// Collects the copy's log lines.
void CollectLine(void *context, const char *format, ...) {
  char line[2048];
  va_list args;
  va_start(args, format);
  Str_VPrintf(line, sizeof line, format, args);
  va_end(args);
  static_cast<std::vector<std::string> *>(context)->push_back(line);
}

bool HasLine(const std::vector<std::string> &lines, const std::string &text) {
  return std::any_of(lines.begin(), lines.end(),
                     [&](const std::string &l) { return l.find(text) != std::string::npos; });
}

TEST_F(StorageCopyTest, StagesByFlags) {
  struct Row {
    uint32_t flags;
    bool localHas, pendingHas;
    int32_t skipped, written;
    bool transferred, localWrites, pendingWrites;
    int32_t localCompletes, pendingCompletes;
    int32_t staged;  // pieces noted as in the pending storage
  } rows[] = {
      // Already correct locally: skipped, never transferred nor written.
      {13, true, false, 4, 0, false, false, false, 2, 0, 0},
      {13, false, false, 0, 4, true, true, false, 2, 0, 0},
      // Verified in the pending storage without toPending: written locally.
      {15, false, true, 0, 4, false, true, false, 2, 0, 0},
      // With toPending: a piece in the pending storage is skipped, and the
      // writes and completions go to the pending storage; either way the
      // piece is noted as staged.
      {31, false, true, 4, 0, false, false, false, 0, 2, 4},
      {31, false, false, 0, 4, true, false, true, 0, 2, 4},
      {31, true, false, 4, 0, false, false, false, 0, 2, 0},
  };
  BitField *staged = nullptr;
  BitField_Create(&staged);
  for (const Row &row : rows) {
    SCOPED_TRACE(row.flags * 100 + row.localHas * 10 + row.pendingHas);
    Fresh();
    Use(SmallLayout());
    std::set<int32_t> all = {0, 1, 2, 3}, none;
    local->script.override = Holding(content, row.localHas ? all : none);
    pending->script.override = Holding(content, row.pendingHas ? all : none);
    std::vector<std::string> lines;
    StorageCopy_SetLogParent(copy, &lines, CollectLine);
    StorageCopy_SetFlags(copy, row.flags);
    BitField_Resize(staged, 4);
    BitField_ClearAll(staged);
    StorageCopy_SetStaged(copy, staged);
    ASSERT_TRUE(RunToEnd());
    int32_t stagedCount = 0;
    BitField_GetSetCount(staged, &stagedCount);
    EXPECT_EQ(stagedCount, row.staged);
    EXPECT_EQ(Status32("piecesSkipped"), row.skipped);
    EXPECT_EQ(Status32("piecesWritten"), row.written);
    EXPECT_EQ(source->Calls(kScriptedRead) > 0, row.transferred);
    EXPECT_EQ(local->Calls(kScriptedWrite) > 0, row.localWrites);
    EXPECT_EQ(pending->Calls(kScriptedWrite) > 0, row.pendingWrites);
    EXPECT_EQ(local->Calls(kScriptedCompleteFile), row.localCompletes);
    EXPECT_EQ(pending->Calls(kScriptedCompleteFile), row.pendingCompletes);
    EXPECT_EQ(copy->durations.count, row.written);  // skipped pieces are not timed
    EXPECT_EQ(HasLine(lines, "Piece Skipped (Exists) (0)"), row.localHas);
    EXPECT_EQ(HasLine(lines, "Piece Pending (0)"), row.flags == 15);
    EXPECT_EQ(owner->Out(), 0);
  }
  BitField_Release(&staged);
}

// A transfer of piece 1 fails once with 964; the owner's answer decides
// whether the piece's error count grows.
TEST_F(StorageCopyTest, ErrorCountByResponse) {
  struct Row {
    int32_t response;
    int32_t count;
    int32_t sourceFailures;
  } rows[] = {{3, 1, 1}, {4, 1, 1}, {5, 0, 1}};
  for (const Row &row : rows) {
    SCOPED_TRACE(row.response);
    Fresh();
    Use(SmallLayout());
    std::atomic<int32_t> failed{0};
    source->script.override = [&](int32_t slot, StorageStep *step) {
      auto *m = static_cast<StorageMember *>(step->value);
      if (slot == kScriptedRead && m->pieceIndex == 1 && failed.fetch_add(1) == 0)
        return ScriptedAction{kStorageResultFile, 5, 0, 0};
      if (slot == kScriptedRead) content.Fill(static_cast<StorageRequest *>(step->argument), m);
      return ScriptedAction{0, 0, 0, 0};
    };
    int32_t seenSource = -1, seenType = -1, seenCode = -1;
    policy = [&](int32_t src, int32_t index, int32_t, int32_t type, int32_t code, double *) {
      if (code == kStorageResultMissing) return kStorageResponseContinue;
      EXPECT_EQ(index, 1);
      seenSource = src, seenType = type, seenCode = code;
      return row.response;
    };
    ASSERT_TRUE(RunToEnd());
    EXPECT_EQ(PieceQueue_GetErrorCount(copy->queue, 1), row.count);
    EXPECT_EQ(seenSource, 0);  // a positive transfer code
    EXPECT_EQ(seenType, 1);
    EXPECT_EQ(seenCode, kStorageResultFile);
    EXPECT_EQ(Status32("piecesWritten"), 4);
  }
}

// A retry time in the past applies the answer at once; one in the future
// holds that piece back while the others go on.
TEST_F(StorageCopyTest, RetryTimes) {
  TestClock clock;
  for (double delay : {-5.0, 1000.0}) {
    SCOPED_TRACE(delay);
    Fresh();
    avoided.clear();
    Use(SmallLayout());
    std::atomic<int32_t> failed{0};
    source->script.override = [&](int32_t slot, StorageStep *step) {
      auto *m = static_cast<StorageMember *>(step->value);
      if (slot == kScriptedRead && m->pieceIndex == 0 && failed.fetch_add(1) == 0)
        return ScriptedAction{kStorageResultDigest, 0, 0, 0};
      if (slot == kScriptedRead) content.Fill(static_cast<StorageRequest *>(step->argument), m);
      return ScriptedAction{0, 0, 0, 0};
    };
    int32_t answered = 0;
    policy = [&](int32_t, int32_t, int32_t, int32_t, int32_t code, double *retry) {
      if (code == kStorageResultMissing) return kStorageResponseContinue;
      answered++;
      *retry = Platform_GetTickSeconds() + delay;
      return kStorageResponseRetry;
    };
    Begin();
    auto othersDone = [&] {  // and piece 0's failure answered
      const BitField *done = PieceQueue_GetDone(copy->queue);
      return BitField_IsRangeSet(done, 1, 3) == 1 && answered > 0;
    };
    ASSERT_TRUE(Drive([&] { StorageCopy_Pump(copy); }, othersDone));
    if (delay > 0) {
      for (int i = 0; i < 50; i++) StorageCopy_Pump(copy), EventQueue_Flush(EventQueue_GetMain());
      EXPECT_TRUE(BitField_IsClear(PieceQueue_GetDone(copy->queue), 0));
      EXPECT_FALSE(StorageCopy_IsFinished(copy));
      clock.Advance(delay + 1);
    }
    ASSERT_TRUE(Drive([&] { StorageCopy_Pump(copy); }, [&] { return StorageCopy_IsFinished(copy); }));
    EXPECT_EQ(failed.load() >= 2, true);
    // Asked for again at once, the piece names the storage whose bytes
    // failed, for the owner to pick another.
    if (delay < 0) {
      EXPECT_EQ(avoided, std::vector<const Storage *>{source->storage});
    }
  }
}

// Files complete in list order: the second file's piece is done first, but
// it is queued only after the first file; an empty file at the end waits
// for the last piece.
TEST_F(StorageCopyTest, FilesInListOrder) {
  TestClock clock;
  TestLayout l;
  l.files = {{"first", 128, 0, 1}, {"second", 64, 0, 2}, {"empty", 0, 0, 3}};
  Use(l);
  FailOnceAndRecordCompletions(1, kStorageResultInflate);
  Begin();
  auto othersDone = [&] {  // and piece 1's failure answered
    const BitField *done = PieceQueue_GetDone(copy->queue);
    return BitField_IsSet(done, 0) && BitField_IsSet(done, 2) && answered > 0;
  };
  ASSERT_TRUE(Drive([&] { StorageCopy_Pump(copy); }, othersDone));
  for (int i = 0; i < 20; i++) StorageCopy_Pump(copy), EventQueue_Flush(EventQueue_GetMain());
  EXPECT_EQ(local->Calls(kScriptedCompleteFile), 0);
  EXPECT_EQ(Status32("filesPending"), 0);
  StorageCopy_SetFileCompleteLimit(copy, 1);  // one at a time: the calls come in queue order
  clock.Advance(101);
  ASSERT_TRUE(Drive([&] { StorageCopy_Pump(copy); }, [&] { return StorageCopy_IsFinished(copy); }));
  EXPECT_EQ(completed, (std::vector<std::string>{"first", "second", "empty"}));
  EXPECT_EQ(Status32("filesComplete"), 3);
}

// A file the installed version (the mask metafile) lists is completed only
// once every piece of the run is in: while the last piece fails, a new file
// completes, the two replacements wait (and count in the progress).
TEST_F(StorageCopyTest, ReplacementsWaitForEveryPiece) {
  TestClock clock;
  TestLayout l;
  l.files = {{"kept", 128, 0, 1}, {"added", 64, 0, 2}, {"last", 64, 0, 3}};
  Use(l);
  TestContent installed;
  installed.Load(TestLayout{64, {{"kept", 64, 0, 7}, {"last", 64, 0, 8}}});
  StorageCopy_SetMaskMetaFile(copy, installed.meta.get());
  FailOnceAndRecordCompletions(3, kStorageResultDigest);
  Begin();
  // "added" completed and piece 3's failure answered: its retry is due
  // 100 s from the clock it was answered at, which must be before the advance.
  ASSERT_TRUE(Drive([&] { StorageCopy_Pump(copy); },
                    [&] { return local->Calls(kScriptedCompleteFile) == 1 && answered > 0; }));
  for (int i = 0; i < 20; i++) StorageCopy_Pump(copy), EventQueue_Flush(EventQueue_GetMain());
  EXPECT_EQ(completed, (std::vector<std::string>{"added"}));
  EXPECT_EQ(Status32("filesPending"), 1);  // "kept"; "last" is not queued yet
  EXPECT_DOUBLE_EQ(StorageCopy_GetProgress(copy), 0.8 * 2 / 3 + 0.2 * 3 / 4);
  clock.Advance(101);
  ASSERT_TRUE(Drive([&] { StorageCopy_Pump(copy); }, [&] { return StorageCopy_IsFinished(copy); }));
  // The two replacements are let go together and may complete in either order.
  ASSERT_EQ(completed.size(), 3u);
  std::sort(completed.begin() + 1, completed.end());
  EXPECT_EQ(completed, (std::vector<std::string>{"added", "kept", "last"}));
}

// At most the limit of completions are in flight; below 1, every ready file
// at once.
TEST_F(StorageCopyTest, FileCompleteLimit) {
  for (int32_t limit : {0, 3}) {
    SCOPED_TRACE(limit);
    Fresh();
    TestLayout l;
    l.pieceSize = 256;  // one piece: every file is ready at once
    for (int i = 0; i < 12; i++) l.files.push_back({"f" + std::to_string(i), 16, 0, uint32_t(i)});
    Use(l);
    StorageCopy_SetFileCompleteLimit(copy, limit);
    local->script.override = [&](int32_t slot, StorageStep *) {
      if (slot == kScriptedRead) return ScriptedAction{kStorageResultMissing, 0, 0, 0};
      return ScriptedAction{0, 0, slot == kScriptedCompleteFile, 20000};
    };
    int32_t most = 0;
    Begin();
    ASSERT_TRUE(Drive(
        [&] {
          StorageCopy_Pump(copy);
          most = std::max(most, copy->filesInFlight);
        },
        [&] { return StorageCopy_IsFinished(copy); }));
    EXPECT_EQ(most, limit < 1 ? 12 : limit);
  }
}

// Stopping a copy: requests in a storage operation come back when their
// results arrive, requests waiting for a delayed response at once; nothing
// is counted afterwards, no stage runs, and the copy reports neither running
// nor finished until it is configured and started again.
TEST_F(StorageCopyTest, StopHandsEveryRequestBack) {
  TestClock clock;
  TestLayout l;
  l.files = {{"big", 64 * 12, 0, 7}, {"tail", 10, 0, 8}};
  Use(l);
  // Pieces 0 and 1 fail and wait 100 s; the others take 30 ms to read.
  source->script.override = [&](int32_t slot, StorageStep *step) {
    auto *m = static_cast<StorageMember *>(step->value);
    if (slot != kScriptedRead) return ScriptedAction{0, 0, 0, 0};
    if (m->pieceIndex < 2 && clock.Offset().load() == 0)
      return ScriptedAction{kStorageResultDigest, 0, 0, 0};
    content.Fill(static_cast<StorageRequest *>(step->argument), m);
    return ScriptedAction{0, 0, 1, 30000};
  };
  local->script.override = [&](int32_t slot, StorageStep *) {
    if (slot == kScriptedRead) return ScriptedAction{kStorageResultMissing, 0, 0, 0};
    return ScriptedAction{0, 0, 0, 0};
  };
  policy = [&](int32_t, int32_t, int32_t, int32_t, int32_t code, double *retry) {
    if (code == kStorageResultMissing) return kStorageResponseContinue;
    *retry = Platform_GetTickSeconds() + 100;
    return kStorageResponseRetry;
  };
  Begin();
  // The failed pieces wait for their retry without a request: theirs went
  // to the next pieces.
  int32_t waiting = 0, busy = 0;
  auto count = [&] {
    waiting = busy = 0;
    for (StorageCopyTicket *t = copy->firstTicket; t != nullptr; t = t->next)
      (t->waiting ? waiting : busy)++;
    return copy->heldPieces.size() == 2 && busy > 0;
  };
  ASSERT_TRUE(Drive([&] { StorageCopy_Pump(copy); }, count));
  EXPECT_EQ(waiting, 0);
  int32_t written = Status32("piecesWritten"), writes = local->Calls(kScriptedWrite);
  StorageCopy_Stop(copy);
  EXPECT_EQ(owner->Out(), busy);
  EXPECT_FALSE(StorageCopy_IsRunning(copy));
  EXPECT_FALSE(StorageCopy_IsFinished(copy));
  clock.Advance(200);  // the cancelled responses would be due now
  ASSERT_TRUE(Drive([&] { StorageCopy_Pump(copy); }, [&] { return owner->Out() == 0 && Idle(); }));
  EXPECT_EQ(Status32("piecesWritten"), written);
  EXPECT_EQ(local->Calls(kScriptedWrite), writes);
  EXPECT_EQ(owner->doubleRelease, 0);
  EXPECT_FALSE(StorageCopy_IsFinished(copy));
  // Configured again, the same copy runs to the end.
  ASSERT_TRUE(RunToEnd());
  EXPECT_EQ(Status32("piecesWritten"), 13);
  EXPECT_EQ(Status32("filesComplete"), 2);
}

// A stop while file completions are in the storage: the waiting items are
// freed at once, the ones in flight when their results arrive (a freed item
// read by a late result shows under the address sanitizer).
TEST_F(StorageCopyTest, StopWithFileCompletionsInFlight) {
  TestLayout l;
  l.pieceSize = 1024;
  for (int i = 0; i < 8; i++) l.files.push_back({"f" + std::to_string(i), 8, 0, uint32_t(i)});
  Use(l);
  StorageCopy_SetFileCompleteLimit(copy, 3);
  local->script.override = [&](int32_t slot, StorageStep *) {
    if (slot == kScriptedRead) return ScriptedAction{kStorageResultMissing, 0, 0, 0};
    return ScriptedAction{0, 0, slot == kScriptedCompleteFile, 30000};
  };
  Begin();
  ASSERT_TRUE(Drive([&] { StorageCopy_Pump(copy); }, [&] { return copy->filesInFlight == 3; }));
  EXPECT_EQ(Status32("filesPending"), 8);
  StorageCopy_Stop(copy);
  EXPECT_EQ(Status32("filesPending"), 0);
  ASSERT_TRUE(Drive([] {}, [&] { return Idle(); }));
  EXPECT_EQ(Status32("filesComplete"), 0);
  EXPECT_EQ(copy->items->inUse, 0);
}

// The owner may stop the copy from its error callback, for a piece or a
// file completion: the request in hand and every other one still go back
// exactly once, and the item in hand is freed once.
TEST_F(StorageCopyTest, StopInsideErrorCallback) {
  for (bool onFile : {false, true}) {
    SCOPED_TRACE(onFile);
    Fresh();
    Use(SmallLayout());
    local->script.override = [&](int32_t slot, StorageStep *) {
      if (slot == kScriptedRead) return ScriptedAction{kStorageResultMissing, 0, 0, 0};
      return ScriptedAction{slot == kScriptedCompleteFile ? kStorageResultFile : 0, 0, 0, 0};
    };
    source->script.override = [&](int32_t slot, StorageStep *step) {
      auto *m = static_cast<StorageMember *>(step->value);
      if (slot == kScriptedRead && !onFile && m->pieceIndex == 2)
        return ScriptedAction{kStorageResultDigest, 0, 1, 1000};
      if (slot == kScriptedRead) content.Fill(static_cast<StorageRequest *>(step->argument), m);
      return ScriptedAction{0, 0, 1, 1000};
    };
    policy = [&](int32_t, int32_t, int32_t, int32_t, int32_t code, double *) {
      if (code == kStorageResultMissing) return kStorageResponseContinue;
      StorageCopy_Stop(copy);
      return kStorageResponseRetry;
    };
    Begin();
    ASSERT_TRUE(Drive([&] { StorageCopy_Pump(copy); }, [&] { return copy->stopped == 1; }));
    ASSERT_TRUE(Drive([] {}, [&] { return owner->Out() == 0 && Idle(); }));
    EXPECT_EQ(owner->doubleRelease, 0);
    EXPECT_EQ(copy->firstTicket, nullptr);
    EXPECT_EQ(copy->items->inUse, 0);
    EXPECT_FALSE(StorageCopy_IsFinished(copy));
  }
}

TEST_F(StorageCopyTest, StatusWithoutMetaFile) {
  Dictionary *d = nullptr;
  Dictionary_Create(&d);
  StorageCopy_GetStatus(copy, d);
  EXPECT_EQ(DictionaryKeys(d),
            "flags,filesTotal,filesComplete,filesPending,filesPendingInFlight,progress,"
            "piecesTotal,piecesSkipped,piecesWritten,piecesMasked,piecesComplete,pieceLength,"
            "pieceCompleteLastTime,pieceAverageTime,remainingTime,fileCompleteLastTime,"
            "bytesMasked,bytesSkipped,bytesWritten,bytesComplete,bytesRemaining");
  int32_t v = -1;
  for (const char *key : {"filesTotal", "piecesTotal", "piecesComplete", "pieceLength"}) {
    Dictionary_GetInt32ByKey(d, key, &v);
    EXPECT_EQ(v, 0) << key;
  }
  double average = -1, remaining = 0;
  Dictionary_GetFloat64ByKey(d, "pieceAverageTime", &average);
  Dictionary_GetFloat64ByKey(d, "remainingTime", &remaining);
  EXPECT_EQ(average, 0);
  EXPECT_EQ(remaining, -1);
  Dictionary_Release(&d);
}

// The masked-bytes scan: 0 while it runs (1000 pieces a pump), then the
// whole sum, and bytesTotal follows it.
TEST_F(StorageCopyTest, MaskedBytesScan) {
  TestLayout l;
  l.pieceSize = 16;
  l.files = {{"a", 16 * 2500 - 5, 0, 1}};
  Use(l);
  BitField *mask = nullptr;
  BitField_Create(&mask);
  BitField_Resize(mask, 2500);
  // Every piece counts its full length, the last one too (only pads would
  // shorten it).
  int64_t sum = 0;
  for (int32_t i = 0; i < 2500; i += 7) BitField_Set(mask, i), sum += 16;
  StorageCopy_SetMask(copy, mask);
  StorageCopy_SetAcquireRequestCallback(copy, nullptr, nullptr);  // no piece goes out
  Begin();
  int64_t total = 0, masked = -1;
  for (int pump = 1; pump <= 3; pump++) {
    StorageCopy_Pump(copy);
    StorageCopy_GetBytesMasked(copy, &masked);
    StorageCopy_GetBytesTotal(copy, &total);
    EXPECT_EQ(masked, pump < 3 ? 0 : sum) << pump;
    EXPECT_EQ(total, 16 * 2500 - masked) << pump;
  }
  EXPECT_EQ(Status32("piecesMasked"), 358);
  StorageCopy_Stop(copy);
  StorageCopy_SetMask(copy, nullptr);
  BitField_Release(&mask);
}

// Every piece masked: the queue reports completion at its first pump and
// hands nothing out; progress is 1 once the files are complete.
TEST_F(StorageCopyTest, EveryPieceMasked) {
  Use(SmallLayout());
  BitField *mask = nullptr;
  BitField_Create(&mask);
  BitField_Resize(mask, 4);
  BitField_SetAll(mask);
  StorageCopy_SetMask(copy, mask);
  ASSERT_TRUE(RunToEnd());
  EXPECT_EQ(owner->acquired, 0);
  EXPECT_EQ(StorageCopy_GetProgress(copy), 1.0);
  int64_t remaining = -1;
  StorageCopy_GetBytesRemaining(copy, &remaining);
  EXPECT_EQ(remaining, 0);
  StorageCopy_Stop(copy);
  StorageCopy_SetMask(copy, nullptr);
  BitField_Release(&mask);
}

// The weights: file weight first, piece weight second. With every piece
// done and no file complete, progress is the piece share.
TEST_F(StorageCopyTest, ProgressWeights) {
  Use(SmallLayout());
  local->script.override = [&](int32_t slot, StorageStep *) {
    if (slot == kScriptedRead) return ScriptedAction{kStorageResultMissing, 0, 0, 0};
    return ScriptedAction{slot == kScriptedCompleteFile ? kStorageResultFile : 0, 0, 0, 0};
  };
  policy = [&](int32_t, int32_t, int32_t, int32_t, int32_t code, double *retry) {
    if (code == kStorageResultMissing) return kStorageResponseContinue;
    *retry = Platform_GetTickSeconds() + 1000;
    return kStorageResponseRetry;
  };
  Begin();
  ASSERT_TRUE(Drive([&] { StorageCopy_Pump(copy); }, [&] { return copy->piecesFinished == 1; }));
  EXPECT_DOUBLE_EQ(StorageCopy_GetProgress(copy), 0.2);
  StorageCopy_SetFileWeight(copy, 0.4);
  StorageCopy_SetPieceWeight(copy, 0.6);
  EXPECT_DOUBLE_EQ(StorageCopy_GetProgress(copy), 0.6);
  int64_t remaining = -1, complete = 0, total = 0;
  StorageCopy_GetBytesRemaining(copy, &remaining);
  StorageCopy_GetBytesComplete(copy, &complete);
  StorageCopy_GetBytesTotal(copy, &total);
  EXPECT_EQ(remaining, 0);
  EXPECT_EQ(complete, total);
  EXPECT_EQ(total, 4 * 64);  // the sum of the piece lengths
}

// Before 20 written pieces the average is unknown and the remaining time -1.
TEST_F(StorageCopyTest, EstimatesNeedTwentyPieces) {
  TestLayout l;
  l.pieceSize = 8;
  l.files = {{"a", 8 * 19, 0, 1}};
  Use(l);
  ASSERT_TRUE(RunToEnd());
  double average = -1, remaining = 0;
  EXPECT_EQ(StorageCopy_GetPieceAverageTime(copy, &average), 0);
  EXPECT_EQ(StorageCopy_GetRemainingTime(copy, &remaining), 0);
  EXPECT_EQ(average, 0);
  EXPECT_EQ(remaining, -1);
  EXPECT_EQ(copy->durations.count, 19);
}

class StorageCopyDeathTest : public StorageCopyTest {};

TEST_F(StorageCopyDeathTest, MisuseStops) {
  Use(SmallLayout());
  Begin();
  EXPECT_DEATH(StorageCopy_Configure(copy), "Unable to configure active storage copy");
  EXPECT_DEATH(StorageCopy_Start(copy), "Unable to start active storage copy");
  EXPECT_DEATH(StorageCopy_Reset(copy), "Unable to reset active storage copy");
  EXPECT_DEATH(PieceQueue_AddError(copy->queue, 4), "Index out of range");
  policy = [](int32_t, int32_t, int32_t, int32_t, int32_t, double *) { return 7; };
  EXPECT_DEATH(Drive([&] { StorageCopy_Pump(copy); }, [] { return false; }),
               "Unhandled StorageCopy error response \\(7\\)");
}

// ---- Mask test ------------------------------------------------------------------------------

// The mask piece a linear scan chooses for target piece index: the first in
// index order with the same algorithm, an equal digest and the same file
// ranges; -1 when none.
int32_t LinearMaskPiece(MetaFile *target, MetaFile *mask, int32_t index, StorageRequest *want,
                        StorageRequest *scratch) {
  PieceList *t = MetaFile_GetPieceList(target), *m = MetaFile_GetPieceList(mask);
  if (strcasecmp(PieceList_GetAlgorithm(t), PieceList_GetAlgorithm(m)) != 0) return -1;
  uint8_t a[64], b[64];
  PieceList_GetDigest(t, index, a, sizeof a);
  for (int32_t i = 0; i < PieceList_GetPieceTotal(m); i++) {
    PieceList_GetDigest(m, i, b, sizeof b);
    if (PieceList_GetDigestLength(m) != PieceList_GetDigestLength(t) ||
        memcmp(a, b, size_t(PieceList_GetDigestLength(t))) != 0)
      continue;
    StorageRequest_Reset(scratch);
    StorageRequest_SetMetaFile(scratch, mask);
    StorageRequest_AddPiece(scratch, i);
    if (StorageRequest_SameMembers(scratch, want)) return i;
  }
  return -1;
}

// Runs the copy's mask test on every target piece; the chosen mask piece
// (-1: not masked) per piece.
std::vector<int32_t> MaskChoices(StorageCopy *copy, MetaFile *target, MetaFile *mask,
                                 std::vector<int32_t> *linear) {
  StorageCopy_SetMetaFile(copy, target);
  StorageCopy_SetMaskMetaFile(copy, mask);
  StorageCopy_Configure(copy);
  StorageRequest *r = nullptr, *scratch = nullptr;
  StorageRequest_Create(&r);
  StorageRequest_Create(&scratch);
  std::vector<int32_t> chosen;
  int32_t n = PieceList_GetPieceTotal(MetaFile_GetPieceList(target));
  for (int32_t i = 0; i < n; i++) {
    StorageRequest_Reset(r);
    StorageRequest_SetMetaFile(r, target);
    StorageRequest_AddPiece(r, i);
    chosen.push_back(StorageCopy_IsMasked(copy, r, i)
                         ? StorageRequest_GetFirstMember(copy->maskRequest)->pieceIndex
                         : -1);
    if (linear != nullptr) linear->push_back(LinearMaskPiece(target, mask, i, r, scratch));
  }
  Class_ReleaseObject(&r);
  Class_ReleaseObject(&scratch);
  return chosen;
}

TEST_F(StorageCopyTest, MaskPairs) {
  struct Row {
    const char *what;
    TestLayout mask;
    std::vector<int32_t> chosen;
  };
  TestLayout target;
  target.pieceSize = 32;
  target.files = {{"d1/a", 64, 0, 1}, {"d1/b", 32, 0, 2}};
  TestLayout same = target;
  TestLayout moved = target;  // the same bytes under another directory
  moved.files = {{"d2/a", 64, 0, 1}, {"d1/b", 32, 0, 2}};
  TestLayout shifted = target;  // b's bytes start in another piece of a
  shifted.files = {{"d1/b", 32, 0, 2}, {"d1/a", 64, 0, 1}};
  TestLayout other = target;
  other.algorithm = "MD5";
  Row rows[] = {
      {"same layout", same, {0, 1, 2}},
      {"file moved", moved, {-1, -1, 2}},
      {"files reordered", shifted, {1, 2, 0}},
      {"another algorithm", other, {-1, -1, -1}},
  };
  TestContent t;
  t.Load(target);
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    TestContent m;
    m.Load(row.mask);
    EXPECT_EQ(MaskChoices(copy, t.meta.get(), m.meta.get(), nullptr), row.chosen);
  }
}

// Random pairs with few distinct piece contents: the indexed search chooses
// the mask piece a linear scan chooses.
TEST_F(StorageCopyTest, MaskIndexMatchesLinearScan) {
  std::mt19937 rng(0x6a5c);
  for (int run = 0; run < 20; run++) {
    SCOPED_TRACE(run);
    auto make = [&](const std::string &id) {
      TestLayout l;
      l.id = id;
      l.pieceSize = 16;
      l.padList = rng() % 2;
      l.hashPadding = rng() % 2;
      int files = 1 + int(rng() % 12);
      for (int f = 0; f < files; f++)
        // Names are unique in a metafile; the few contents repeat.
        l.files.push_back({"n" + std::to_string(rng() % 4) + "." + std::to_string(f),
                           16 * int64_t(rng() % 4),
                           int64_t(rng() % (l.padList ? 3 : 2)) * 16, uint32_t(rng() % 3)});
      l.files.push_back({"end", 16, 0, 9});
      return l;
    };
    TestContent t, m;
    t.Load(make("t"));
    m.Load(make("m"));
    ASSERT_FALSE(HasFatalFailure());
    std::vector<int32_t> linear;
    std::vector<int32_t> chosen = MaskChoices(copy, t.meta.get(), m.meta.get(), &linear);
    EXPECT_EQ(chosen, linear);
  }
}

// ---- Property test --------------------------------------------------------------------------

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kPropertyRuns = 60;
constexpr int32_t kPropertyPieces = 4000;  // over all runs
#else
constexpr int kPropertyRuns = 300;
constexpr int32_t kPropertyPieces = 20000;
#endif

// A layout of about pieces pieces of size S: files of random sizes, empty
// files first, in the middle or last, per-file pads that stay inside their
// piece or a pad list.
TestLayout RandomLayout(std::mt19937 &rng, int32_t pieces) {
  TestLayout l;
  l.pieceSize = int64_t(8) << (rng() % 3);
  l.padList = rng() % 2;
  l.hashPadding = rng() % 4 != 0;
  int64_t left = int64_t(pieces) * l.pieceSize - int64_t(rng() % uint32_t(l.pieceSize));
  int files = 1 + int(rng() % 20);
  int64_t at = 0;
  for (int f = 0; f < files && left > 0; f++) {
    TestFileShape shape;
    shape.name = "d" + std::to_string(f % 3) + "/f" + std::to_string(f);
    shape.seed = uint32_t(rng());
    shape.size = f == files - 1 ? left : std::min<int64_t>(left, rng() % uint32_t(2 * left / files + 2));
    if (shape.size > 0) {
      int64_t end = at + shape.size, room = l.pieceSize - end % l.pieceSize;
      shape.pad = rng() % 3 == 0 ? int64_t(rng() % uint32_t(l.padList ? 2 * l.pieceSize : room + 1)) : 0;
      shape.pad = std::min(shape.pad, left - shape.size);
    }
    left -= shape.size + shape.pad;
    at += shape.size + shape.pad;
    l.files.push_back(shape);
    if (rng() % 6 == 0) l.files.push_back({"empty" + std::to_string(f), 0, 0, 0});
  }
  if (rng() % 4 == 0) l.files.insert(l.files.begin(), {"first", 0, 0, 0});
  if (rng() % 4 == 0) l.files.push_back({"last", 0, 0, 0});
  return l;
}

struct PropertyState {
  std::vector<int32_t> completions;  // per piece, this run
  int32_t twice = 0;
  static void PieceDone(PieceQueue *q, void *context, StorageRequest *r) {
    auto *s = static_cast<PropertyState *>(context);
    int32_t index = StorageRequest_GetPieceIndex(r);
    if (BitField_IsSet(PieceQueue_GetDone(q), index) && ++s->completions[size_t(index)] > 1)
      s->twice++;
  }
};

// The file scheduler's list: in file-list order, before the current file,
// every file's pieces done, in-flight count right and within the limit.
void CheckFileList(StorageCopy *c, const std::map<const FileEntry *, int32_t> &order) {
  int32_t previous = -1, inFlight = 0;
  int32_t current = c->currentFile ? order.at(c->currentFile) : INT32_MAX;
  PieceList *list = MetaFile_GetPieceList(c->metafile);
  for (FileCompletion *item = c->firstItem; item != nullptr; item = item->next) {
    int32_t at = order.at(item->entry);
    ASSERT_LT(previous, at);
    ASSERT_LT(at, current);
    previous = at;
    inFlight += item->inFlight;
    int64_t s = PieceList_GetPieceSize(list), end = item->entry->offset + item->entry->size +
                                                     item->entry->pad - 1;
    if (item->entry->size > 0) {
      ASSERT_TRUE(BitField_IsRangeSet(PieceQueue_GetDone(c->queue), int32_t(item->entry->offset / s),
                                      int32_t(end / s - item->entry->offset / s + 1)));
    }
  }
  ASSERT_EQ(inFlight, c->filesInFlight);
  if (c->fileCompleteLimit >= 1) {
    ASSERT_LE(c->filesInFlight, c->fileCompleteLimit);
  }
}

TEST_F(StorageCopyTest, PropertyRandomRuns) {
  TestClock clock;
  std::mt19937 rng(0x4b49);
  int32_t budget = kPropertyPieces;
  for (int run = 0; run < kPropertyRuns; run++) {
    uint32_t seed = uint32_t(rng());
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 r(seed);
    // The first run is the largest (10,000 pieces outside the sanitizers);
    // the others spread what is left of the budget, most of them small.
    int32_t most = std::max(1, std::min(10000, budget / std::max(1, kPropertyRuns - run) * 4));
    int32_t pieces = run == 0 ? std::min(10000, kPropertyPieces / 2)
                              : 1 + int32_t(std::exp(std::uniform_real_distribution<double>(
                                        0, std::log(most))(r)));
    budget -= pieces;
    TestLayout layout = RandomLayout(r, pieces);
    Use(layout);
    pieces = content.pieces;
    uint32_t flags = std::vector<uint32_t>{13, 15, 31}[r() % 3] | (r() % 3 == 0 ? 32 : 0) |
                     (r() % 2 ? 64 : 0);
    StorageCopy_SetFlags(copy, flags);
    TestContent maskContent;
    if (flags & kStorageCopyMask) {
      TestLayout m = layout;
      for (TestFileShape &f : m.files)
        if (r() % 2) f.seed++;
      maskContent.Load(m);
      StorageCopy_SetMaskMetaFile(copy, maskContent.meta.get());
    }
    BitField *mask = nullptr;
    if (r() % 4 == 0) {
      BitField_Create(&mask);
      BitField_Resize(mask, pieces);
      for (int32_t i = 0; i < pieces; i++)
        if (r() % 3 == 0) BitField_Set(mask, i);
      StorageCopy_SetMask(copy, mask);
    }
    int32_t limit = std::vector<int32_t>{-1, 0, 1, 3, 10}[r() % 5];
    StorageCopy_SetFileCompleteLimit(copy, limit);
    owner = std::make_unique<TestOwner>(1 + int32_t(r() % 8));
    owner->Bind(copy);
    local->script.codes = pending->script.codes = {404, 404, 979, 964};
    local->script.fail[kScriptedRead] = pending->script.fail[kScriptedRead] = 70;
    source->script.fail[kScriptedRead] = int32_t(r() % 20);
    for (TestStorage *s : {local.get(), pending.get()}) {
      s->script.fail[kScriptedWrite] = int32_t(r() % 15);
      s->script.fail[kScriptedCompleteFile] = int32_t(r() % 25);
    }
    for (TestStorage *s : {local.get(), pending.get(), source.get()}) {
      s->script.later = r() % 2;
      s->script.rng.seed(r());
    }
    std::mt19937 answers(r());
    policy = [&](int32_t, int32_t index, int32_t, int32_t type, int32_t, double *retry) {
      uint32_t pick = answers();
      double now = Platform_GetTickSeconds();
      *retry = std::vector<double>{0, now - 1, now + 0.05 * (1 + pick % 4)}[(pick >> 4) % 3];
      if (index < 0) return pick % 2 ? kStorageResponseContinue : kStorageResponseRetry;
      if (type == 3) return pick % 2 ? kStorageResponseRequeue : kStorageResponseRetry;
      return int32_t(3 + (pick >> 8) % 3);
    };
    PropertyState state;
    PieceQueue_SetPieceDoneCallback(copy->queue, &state, PropertyState::PieceDone);
    std::map<const FileEntry *, int32_t> order;
    {
      int32_t at = 0;
      FileEntry *e = nullptr;
      for (FileList_GetFirst(MetaFile_GetFileList(content.meta.get()), &e); e; e = e->next)
        order[e] = at++;
    }
    auto step = [&] {
      StorageCopy_Pump(copy);
      CheckFileList(copy, order);
      clock.Advance(0.05);
    };
    int stopAt = r() % 3 == 0 ? 1 + int(r() % uint32_t(2 * pieces + 10)) : -1;
    for (int attempt = 0; attempt < 2; attempt++) {
      state.completions.assign(size_t(pieces), 0);
      Begin();
      if (attempt == 0 && stopAt > 0) {
        int steps = 0;
        ASSERT_TRUE(Drive(step, [&] { return ++steps > stopAt || StorageCopy_IsFinished(copy); }));
        if (StorageCopy_IsFinished(copy)) break;
        StorageCopy_Stop(copy);
        int32_t written = copy->piecesWritten, skipped = copy->piecesSkipped,
                files = copy->filesComplete, acquired = owner->acquired;
        ASSERT_TRUE(Drive([&] { StorageCopy_Pump(copy); clock.Advance(0.01); },
                          [&] { return owner->Out() == 0 && Idle(); }));
        EXPECT_EQ(copy->piecesWritten, written);
        EXPECT_EQ(copy->piecesSkipped, skipped);
        EXPECT_EQ(copy->filesComplete, files);
        EXPECT_EQ(owner->acquired, acquired);
        EXPECT_FALSE(StorageCopy_IsFinished(copy));
        continue;
      }
      ASSERT_TRUE(Drive(step, [&] { return StorageCopy_IsFinished(copy) && copy->maskScan < 0; }));
      break;
    }
    EXPECT_EQ(state.twice, 0);
    const BitField *done = PieceQueue_GetDone(copy->queue);
    EXPECT_EQ(done->setCount, pieces);
    int32_t masked = 0;
    StorageCopy_GetPiecesMasked(copy, &masked);
    EXPECT_EQ(copy->piecesWritten + copy->piecesSkipped + masked, pieces);
    int64_t total = -1, complete = -2, remaining = -1;
    StorageCopy_GetBytesTotal(copy, &total);
    StorageCopy_GetBytesComplete(copy, &complete);
    StorageCopy_GetBytesRemaining(copy, &remaining);
    EXPECT_EQ(complete, total);
    EXPECT_EQ(remaining, 0);
    EXPECT_EQ(copy->filesComplete, int32_t(layout.files.size()));
    EXPECT_EQ(owner->doubleRelease, 0);
    Drop();
    Make();
    if (mask != nullptr) BitField_Release(&mask);
    if (HasFailure()) return;
  }
}

}  // namespace
