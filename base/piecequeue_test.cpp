#include "base/piecequeue.h"

#include <gtest/gtest.h>

#include <random>

#include "tests/storage_copy_util.h"

namespace {

struct QueueOwner {
  std::vector<StorageRequest *> free;
  std::vector<StorageRequest *> ready;
  int32_t finished = 0;
  int32_t acquired = 0;
  static int Acquire(PieceQueue *, void *c, StorageRequest **r) {
    auto *o = static_cast<QueueOwner *>(c);
    o->acquired++;
    if (o->free.empty()) return 0;
    *r = o->free.back();
    o->free.pop_back();
    return 1;
  }
  static void Release(PieceQueue *, void *c, StorageRequest **r) {
    static_cast<QueueOwner *>(c)->free.push_back(*r);
    *r = nullptr;
  }
  static void Ready(PieceQueue *, void *c, StorageRequest *r) {
    static_cast<QueueOwner *>(c)->ready.push_back(r);
  }
  static void Finished(PieceQueue *, void *c) { static_cast<QueueOwner *>(c)->finished++; }
};

class PieceQueueTest : public testing::Test {
 protected:
  void SetUp() override {
    TestLayout l;
    l.pieceSize = 8;
    l.files = {{"a", 8 * 300 - 3, 0, 1}};
    content.Load(l);
    PieceQueue_Create(&queue);
    PieceQueue_SetMetaFile(queue, content.meta.get());
    PieceQueue_SetAcquireRequestCallback(queue, &owner, QueueOwner::Acquire);
    PieceQueue_SetReleaseRequestCallback(queue, &owner, QueueOwner::Release);
    PieceQueue_SetRequestReadyCallback(queue, &owner, QueueOwner::Ready);
    PieceQueue_SetFinishedCallback(queue, &owner, QueueOwner::Finished);
    for (int i = 0; i < 8; i++) {
      StorageRequest *r = nullptr;
      StorageRequest_Create(&r);
      owner.free.push_back(r);
      all.push_back(r);
    }
  }
  void TearDown() override {
    PieceQueue_Release(&queue);
    for (StorageRequest *&r : all) Class_ReleaseObject(&r);
  }
  StorageRequest *TakeReady() {
    StorageRequest *r = owner.ready.front();
    owner.ready.erase(owner.ready.begin());
    return r;
  }
  TestContent content;
  PieceQueue *queue = nullptr;
  QueueOwner owner;
  std::vector<StorageRequest *> all;
};

// A piece given back after a failed delta is handed out again without
// delta; the other pieces keep their permission.
TEST_F(PieceQueueTest, RequeueWithoutDelta) {
  PieceQueue_Reset(queue, nullptr, 1);
  PieceQueue_Pump(queue);
  StorageRequest *r = TakeReady();
  ASSERT_EQ(StorageRequest_GetPieceIndex(r), 0);
  EXPECT_EQ(StorageRequest_GetAllowDelta(r), 1);
  StorageRequest_SetAllowDelta(r, 0);
  PieceQueue_Requeue(queue, r);
  PieceQueue_Pump(queue);
  PieceQueue_Pump(queue);
  StorageRequest *again = TakeReady(), *next = TakeReady();
  EXPECT_EQ(StorageRequest_GetPieceIndex(again), 0);
  EXPECT_EQ(StorageRequest_GetAllowDelta(again), 0);
  EXPECT_EQ(StorageRequest_GetPieceIndex(next), 1);
  EXPECT_EQ(StorageRequest_GetAllowDelta(next), 1);
}

// With every piece out, a pump borrows no request (its release would wake
// the owner for nothing); a requeued piece is handed out again.
TEST_F(PieceQueueTest, NothingLeftToHandOutBorrowsNothing) {
  BitField *mask = nullptr;
  BitField_Create(&mask);
  BitField_Resize(mask, 300);
  for (int i = 2; i < 300; i++) BitField_Set(mask, i);
  PieceQueue_Reset(queue, mask, 0);
  PieceQueue_Pump(queue);
  PieceQueue_Pump(queue);
  ASSERT_EQ(owner.ready.size(), 2u);
  int32_t before = owner.acquired;
  PieceQueue_Pump(queue);
  EXPECT_EQ(owner.acquired, before);
  PieceQueue_Requeue(queue, TakeReady());
  PieceQueue_Pump(queue);
  EXPECT_EQ(owner.ready.size(), 2u);
  BitField_Release(&mask);
}

// Random hand-outs, completions and requeues against the rule: the smallest
// piece neither done nor in flight goes out; completion is reported once.
TEST_F(PieceQueueTest, HandOutOrderMatchesModel) {
  std::mt19937 rng(0x9e0e);
  for (int round = 0; round < 20; round++) {
    BitField *mask = nullptr;
    BitField_Create(&mask);
    BitField_Resize(mask, 300);
    std::vector<bool> done(300), out(300);
    for (int i = 0; i < 300; i++)
      if (rng() % 4 == 0) BitField_Set(mask, i), done[size_t(i)] = true;
    owner.finished = 0;
    PieceQueue_Reset(queue, mask, 0);
    std::vector<StorageRequest *> inFlight;
    for (int step = 0; step < 5000 && owner.finished == 0; step++) {
      if (rng() % 3 != 0 || inFlight.empty()) {
        size_t expect = 0;
        while (expect < 300 && (done[expect] || out[expect])) expect++;
        PieceQueue_Pump(queue);
        if (owner.ready.empty()) {
          ASSERT_TRUE(expect == 300 || owner.free.empty());
          continue;
        }
        StorageRequest *r = TakeReady();
        ASSERT_EQ(size_t(StorageRequest_GetPieceIndex(r)), expect);
        out[expect] = true;
        inFlight.push_back(r);
      } else {
        size_t k = rng() % inFlight.size();
        StorageRequest *r = inFlight[k];
        inFlight.erase(inFlight.begin() + long(k));
        auto index = size_t(StorageRequest_GetPieceIndex(r));
        out[index] = false;
        if (rng() % 3 == 0) {
          PieceQueue_Requeue(queue, r);
        } else {
          PieceQueue_Complete(queue, r);
          done[index] = true;
        }
      }
    }
    PieceQueue_Pump(queue);
    ASSERT_EQ(owner.finished, 1);
    int32_t count = -1;
    PieceQueue_GetCompleteCount(queue, mask, &count);
    int32_t masked = 0;
    BitField_GetSetCount(mask, &masked);
    EXPECT_EQ(count, 300 - masked);
    BitField_Release(&mask);
  }
}

}  // namespace
