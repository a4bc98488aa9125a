#include "core/runtime/pool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/runtime/memory.h"
#include "tests/log_capture.h"

namespace {

int CountOf(const std::string &text, const std::string &what) {
  int count = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) count++;
  return count;
}

Pool *MakeFixedPool(int32_t memberSize, int32_t step) {
  Pool *pool = nullptr;
  Pool_Create(&pool, KSRC);
  Pool_SetMemberSize(pool, memberSize);
  Pool_SetMemberChunkSize(pool, step);
  return pool;
}

Pool *MakeStringPool(int32_t chunkBytes) {
  Pool *pool = nullptr;
  Pool_Create(&pool, KSRC);
  Pool_SetMemberSize(pool, chunkBytes);
  Pool_SetMemberChunkSize(pool, 1);
  Pool_SetStringMode(pool);
  return pool;
}

int64_t FixedChunkBytes(int64_t step, int64_t slot) {
  return step * int64_t(sizeof(PoolMemberDescriptor)) + int64_t(sizeof(PoolChunk)) + step * slot;
}

}  // namespace

TEST(PoolDeathTest, DoubleFreeAndForeignPointerStop) {
  Pool *pool = MakeFixedPool(24, 4);
  void *member = POOL_ALLOC(pool, 24);
  void *again = member;
  POOL_FREE(pool, &member, 24);
  EXPECT_DEATH(POOL_FREE(pool, &again, 24), "Unable to find member to free \\[0x.+\\] \\[0x.+\\]");
  uint64_t outside[4] = {};
  void *foreign = outside;
  EXPECT_DEATH(POOL_FREE(pool, &foreign, 24), "Unable to find member to free");
  Pool_Release(&pool);
}

TEST(PoolDeathTest, WrongMemberSizeStops) {
  Pool *pool = MakeFixedPool(12, 10);
  EXPECT_DEATH(Pool_Alloc(pool, 13, "caller.cpp", 77),
               "Invalid pool member size \\(13 != 12\\) from \\(caller.cpp/77\\)");
  void *member = POOL_ALLOC(pool, 12);
  EXPECT_DEATH(Pool_Free(pool, &member, 16, "caller.cpp", 78),
               "Invalid pool member size \\(16 != 12\\) from \\(caller.cpp/78\\)");
  POOL_FREE(pool, &member, 12);
  Pool_Release(&pool);

  Pool *unsized = nullptr;
  Pool_Create(&unsized, KSRC);
  EXPECT_DEATH(Pool_Alloc(unsized, 0, "caller.cpp", 79),
               "Invalid pool member size \\(0 != 0\\) from \\(caller.cpp/79\\)");
  Pool_Release(&unsized);
}

TEST(PoolDeathTest, StringModeNeedsGrowthStepOne) {
  Pool *pool = MakeFixedPool(64, 10);
  EXPECT_DEATH(Pool_SetStringMode(pool),
               "Member chunk size must be 1 to use String Mode \\(10 != 1\\)");
  Pool_Release(&pool);
}

TEST(PoolDeathTest, NullAndForeignHandlesStop) {
  Pool *none = nullptr;
  EXPECT_DEATH(Pool_Release(nullptr), "Pointer is NULL\n");
  EXPECT_DEATH(Pool_Release(&none), "Pointer is NULL\n");
  EXPECT_DEATH(Pool_Create(nullptr, KSRC), "Pointer is NULL\n");
  ObjectHeader other{};
  other.classTag = 0x12345678;
  EXPECT_DEATH(Pool_Alloc(reinterpret_cast<Pool *>(&other), 8, KSRC),
               "Class mismatch pointer \\(0x.+: expected 0x90654776 but was 0x12345678\\)");
  Pool *pool = MakeFixedPool(8, 1);
  EXPECT_DEATH(Pool_Free(pool, nullptr, 8, KSRC), "Pointer is NULL\n");
  Pool_Release(&pool);
}

// A chunk is one block: head, one descriptor per member, then the slots.
TEST(Pool, ChunkHoldsDescriptorsAndSlotsOfEightByteMultiples) {
  Pool *pool = MakeFixedPool(12, 10);
  std::vector<void *> members;
  for (int i = 0; i < 10; i++) members.push_back(POOL_ALLOC(pool, 12));
  EXPECT_EQ(pool->slotSize, 16);
  EXPECT_EQ(pool->bytesHeld, FixedChunkBytes(10, 16));
  for (int i = 1; i < 10; i++) {
    SCOPED_TRACE(i);
    EXPECT_EQ(static_cast<char *>(members[i]) - static_cast<char *>(members[i - 1]), 16);
  }
  // The last slot ends where the chunk ends.
  PoolChunk *chunk = pool->chunks;
  EXPECT_EQ(static_cast<uint8_t *>(members[9]) + 16,
            reinterpret_cast<uint8_t *>(chunk) + chunk->size);
  members.push_back(POOL_ALLOC(pool, 12));
  EXPECT_EQ(pool->bytesHeld, 2 * FixedChunkBytes(10, 16));
  for (void *&member : members) POOL_FREE(pool, &member, 12);
  Pool_Release(&pool);
}

TEST(Pool, MemberSizeChangeKeepsChunksOnlyForTheSameSlotSize) {
  struct Row {
    int32_t from, to;
    bool keeps;
  } rows[] = {{12, 16, true}, {16, 20, false}, {9, 16, true}, {8, 9, false}, {100, 100, true}};
  for (const Row &row : rows) {
    SCOPED_TRACE(testing::Message() << row.from << " -> " << row.to);
    Pool *pool = MakeFixedPool(row.from, 10);
    void *member = Pool_Alloc(pool, row.from, KSRC);
    POOL_FREE(pool, &member, row.from);
    int64_t held = pool->bytesHeld;
    Pool_SetMemberSize(pool, row.to);
    EXPECT_EQ(pool->bytesHeld, row.keeps ? held : 0);
    member = Pool_Alloc(pool, row.to, KSRC);
    EXPECT_EQ(pool->bytesHeld, FixedChunkBytes(10, (row.to + 7) / 8 * 8));
    Pool_Free(pool, &member, row.to, KSRC);
    Pool_Release(&pool);
  }
}

TEST(Pool, ReleaseReportsMembersStillOutWithCreatorPosition) {
  Pool *pool = nullptr;
  Pool_Create(&pool, "creator.cpp", 42);
  Pool_SetMemberSize(pool, 32);
  Pool_SetMemberChunkSize(pool, 4);
  POOL_ALLOC(pool, 32);
  POOL_ALLOC(pool, 32);
  TestLogCapture log;
  EXPECT_EQ(Pool_Release(&pool), 1);
  EXPECT_EQ(pool, nullptr);
  EXPECT_NE(log.Take().find("DEBUG - Not all pool memory was freed (2) for (creator.cpp/42)\n"),
            std::string::npos);
}

// Freeing NULL used to lower the in-use count, so the leak report at release
// under-counted. It must change nothing, in every mode.
TEST(Pool, FreeingNullChangesNothing) {
  struct Row {
    const char *name;
    bool stringMode, passThrough;
  } rows[] = {{"fixed", false, false}, {"string", true, false}, {"pass-through", false, true}};
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    Pool *pool = row.stringMode ? MakeStringPool(64) : MakeFixedPool(16, 2);
    pool->passThrough = row.passThrough;
    void *member = POOL_ALLOC(pool, 16);
    void *none = nullptr;
    EXPECT_EQ(POOL_FREE(pool, &none, 16), 0);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(pool->inUse, 1);
    TestLogCapture log;
    Pool_Release(&pool);
    std::string text = log.Take();
    EXPECT_NE(text.find("Not all pool memory was freed (1)"), std::string::npos) << text;
    if (row.passThrough) Mem_Free(member, 16, KSRC);
  }
}

TEST(Pool, ReportFlagLogsEveryAllocationAndFree) {
  Pool *pool = MakeFixedPool(12, 2);
  pool->report = 1;
  TestLogCapture log;
  void *member = Pool_Alloc(pool, 12, "a.cpp", 3);
  Pool_Free(pool, &member, 12, "b.cpp", 4);
  std::string text = log.Take();
  EXPECT_NE(text.find(" :         12 [a.cpp / 3]\n"), std::string::npos) << text;
  EXPECT_NE(text.find(" :         12 [b.cpp / 4]\n"), std::string::npos) << text;
  EXPECT_EQ(CountOf(text, "-- Pool Alloc 0x"), 1);
  EXPECT_EQ(CountOf(text, "-- Pool Free  0x"), 1);
  Pool_Release(&pool);
}

TEST(Pool, StringPoolGivesChunksBackOnceEmptyAboveTenKilobytes) {
  struct Row {
    int pieces;
    int32_t size;
    bool freed;
  } rows[] = {{2, 4000, false}, {3, 4000, true}, {1, 20000, true}, {10, 100, false}};
  for (const Row &row : rows) {
    SCOPED_TRACE(testing::Message() << row.pieces << " x " << row.size);
    Pool *pool = MakeStringPool(4096);
    std::vector<void *> pieces;
    for (int i = 0; i < row.pieces; i++) pieces.push_back(POOL_ALLOC(pool, row.size));
    int64_t held = pool->bytesHeld;
    EXPECT_EQ(held > kPoolStringResetBytes, row.freed);
    for (void *&piece : pieces) POOL_FREE(pool, &piece, row.size);
    EXPECT_EQ(pool->inUse, 0);
    EXPECT_EQ(pool->bytesHeld, row.freed ? 0 : held);
    Pool_Release(&pool);
  }
}

TEST(Pool, StringPiecesShareChunksAndLargeOnesGetTheirOwn) {
  Pool *pool = MakeStringPool(256);
  char *a = static_cast<char *>(POOL_ALLOC(pool, 10));
  char *b = static_cast<char *>(POOL_ALLOC(pool, 10));
  EXPECT_EQ(a[0], 0);
  EXPECT_EQ(b - a, 14);  // the size and four bytes of slack
  int64_t one = pool->bytesHeld;
  EXPECT_EQ(one, int64_t(sizeof(PoolChunk)) + 256);
  char *large = static_cast<char *>(POOL_ALLOC(pool, 1000));
  memset(large, 'x', 1000);
  EXPECT_EQ(pool->bytesHeld, one + int64_t(sizeof(PoolChunk)) + 1004);
  // The first chunk still has room; a small piece goes there.
  char *c = static_cast<char *>(POOL_ALLOC(pool, 10));
  EXPECT_EQ(c - b, 14);
  Pool_Reset(pool);
  EXPECT_EQ(pool->bytesHeld, 0);
  EXPECT_EQ(pool->inUse, 0);
  Pool_Release(&pool);
}

namespace {

// Stamps a member with a pattern of its own, so that a member handed out
// twice, or overlapping another, shows up as a changed pattern.
void Stamp(void *member, int32_t size, uint32_t id) {
  auto *bytes = static_cast<uint8_t *>(member);
  for (int32_t i = 0; i < size; i++) bytes[i] = uint8_t(id * 31 + uint32_t(i));
}

bool StampIntact(const void *member, int32_t size, uint32_t id) {
  const auto *bytes = static_cast<const uint8_t *>(member);
  for (int32_t i = 0; i < size; i++)
    if (bytes[i] != uint8_t(id * 31 + uint32_t(i))) return false;
  return true;
}

struct LiveMember {
  void *member;
  int32_t size;
  uint32_t id;
};

enum class PoolMode { kFixed, kString, kPassThrough };

// Random allocations, frees and resets against the set of live members.
void RunPoolModel(PoolMode mode, uint32_t seed, int rounds, int opsPerRound) {
  std::mt19937 rng(seed);
  auto pick = [&rng](int low, int high) {
    return std::uniform_int_distribution<int>(low, high)(rng);
  };
  uint32_t nextId = 1;
  for (int round = 0; round < rounds; round++) {
    int32_t step = pick(1, 10);
    int32_t memberSize = pick(1, 100);
    int32_t slot = (memberSize + 7) / 8 * 8;
    SCOPED_TRACE(testing::Message() << "seed " << seed << " round " << round << " step " << step
                                    << " member size " << memberSize);
    Pool *pool = nullptr;
    Pool_Create(&pool, KSRC);
    Pool_SetMemberChunkSize(pool, mode == PoolMode::kString ? 1 : step);
    Pool_SetMemberSize(pool, mode == PoolMode::kString ? memberSize * step * 8 : memberSize);
    if (mode == PoolMode::kString) Pool_SetStringMode(pool);
    pool->passThrough = mode == PoolMode::kPassThrough;

    std::vector<LiveMember> live;
    size_t mostLive = 0;  // since the chunks were last given back
    for (int op = 0; op < opsPerRound; op++) {
      int choice = pick(0, 999);
      if (choice < 2) {
        Pool_Reset(pool);
        if (mode == PoolMode::kPassThrough)
          for (LiveMember &m : live) Mem_Free(m.member, m.size, KSRC);
        live.clear();
        if (mode == PoolMode::kString) mostLive = 0;
      } else if (choice < 560 || live.empty()) {
        int32_t size =
            mode == PoolMode::kFixed ? memberSize : pick(mode == PoolMode::kString ? 0 : 1, 100);
        void *member = Pool_Alloc(pool, size, KSRC);
        ASSERT_NE(member, nullptr);
        if (mode == PoolMode::kFixed) {
          ASSERT_EQ(reinterpret_cast<uintptr_t>(member) % 8, 0u);
          for (int32_t i = 0; i < size; i++) ASSERT_EQ(static_cast<uint8_t *>(member)[i], 0);
        } else {
          ASSERT_EQ(static_cast<uint8_t *>(member)[0], 0);
        }
        Stamp(member, size, nextId);
        live.push_back({member, size, nextId++});
        mostLive = std::max(mostLive, live.size());
      } else {
        size_t at = size_t(pick(0, int(live.size()) - 1));
        LiveMember m = live[at];
        live[at] = live.back();
        live.pop_back();
        ASSERT_TRUE(StampIntact(m.member, m.size, m.id)) << "member " << m.id << " overwritten";
        int64_t held = pool->bytesHeld;
        void *handle = m.member;
        ASSERT_EQ(Pool_Free(pool, &handle, m.size, KSRC), 0);
        ASSERT_EQ(handle, nullptr);
        if (mode == PoolMode::kString) {
          bool reset = live.empty() && held > kPoolStringResetBytes;
          ASSERT_EQ(pool->bytesHeld, reset ? 0 : held);
          if (reset) mostLive = 0;
        }
      }
      ASSERT_EQ(pool->inUse, int32_t(live.size()));
      if (mode == PoolMode::kFixed) {
        // Free members are reused before a chunk is added.
        int64_t chunks = (int64_t(mostLive) + step - 1) / step;
        ASSERT_EQ(pool->bytesHeld, chunks * FixedChunkBytes(step, slot));
      } else if (mode == PoolMode::kPassThrough) {
        ASSERT_EQ(pool->bytesHeld, 0);
      }
    }
    for (LiveMember &m : live) {
      ASSERT_TRUE(StampIntact(m.member, m.size, m.id));
      void *handle = m.member;
      Pool_Free(pool, &handle, m.size, KSRC);
    }
    EXPECT_EQ(pool->inUse, 0);
    Pool_Release(&pool);
  }
}

}  // namespace

TEST(Pool, FixedModeMatchesModel) { RunPoolModel(PoolMode::kFixed, 0xF1C5ED, 40, 5000); }
TEST(Pool, StringModeMatchesModel) { RunPoolModel(PoolMode::kString, 0x57121D, 40, 5000); }
TEST(Pool, PassThroughMatchesModel) { RunPoolModel(PoolMode::kPassThrough, 0x9A55, 10, 2000); }

TEST(Pool, ResetMakesEveryMemberFreeAndKeepsChunks) {
  Pool *pool = MakeFixedPool(40, 3);
  for (int i = 0; i < 7; i++) POOL_ALLOC(pool, 40);
  int64_t held = pool->bytesHeld;
  EXPECT_EQ(pool->peakInUse, 7);
  Pool_Reset(pool);
  EXPECT_EQ(pool->inUse, 0);
  EXPECT_EQ(pool->peakInUse, 0);
  for (int i = 0; i < 9; i++) POOL_ALLOC(pool, 40);  // three chunks of three
  EXPECT_EQ(pool->bytesHeld, held);
  Pool_FreeChunks(pool);
  EXPECT_EQ(pool->bytesHeld, 0);
  EXPECT_EQ(pool->inUse, 0);
  Pool_Release(&pool);
}

TEST(PoolThreaded, LockedPoolSharedByThreads) {
  Pool *pool = MakeFixedPool(24, 8);
  Pool_EnableLocking(pool);
  Pool_EnableLocking(pool);  // a second call keeps the one lock
  constexpr int kThreads = 4;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; t++) {
    threads.emplace_back([pool, t] {
      std::vector<void *> mine;
      for (int i = 0; i < 20000; i++) {
        if (mine.size() < 16 && (i % 3 != 2)) {
          void *member = POOL_ALLOC(pool, 24);
          Stamp(member, 24, uint32_t(t));
          mine.push_back(member);
        } else if (!mine.empty()) {
          void *member = mine.back();
          mine.pop_back();
          if (!StampIntact(member, 24, uint32_t(t))) ADD_FAILURE() << "member shared by threads";
          POOL_FREE(pool, &member, 24);
        }
      }
      for (void *member : mine) POOL_FREE(pool, &member, 24);
    });
  }
  for (std::thread &thread : threads) thread.join();
  EXPECT_EQ(pool->inUse, 0);
  EXPECT_LE(pool->peakInUse, kThreads * 16);
  Pool_Release(&pool);
}
