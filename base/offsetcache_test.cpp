#include "base/offsetcache.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <list>
#include <map>
#include <random>
#include <thread>
#include <vector>

#include "base/blockpool.h"
#include "core/runtime/memory.h"
#include "tests/test_util.h"

namespace {

constexpr int32_t kBlock = kBlockPoolBlockSize;

struct CacheGuard {
  OffsetCache *c = nullptr;
  CacheGuard() { OffsetCache_Create(&c); }
  ~CacheGuard() { Class_ReleaseObject(&c); }
};

// Bytes that name their offset, so a copy of the wrong range shows.
std::vector<uint8_t> BytesOf(int64_t offset, int32_t length) {
  std::vector<uint8_t> data(static_cast<size_t>(length));
  uint64_t x = uint64_t(offset) * 0x9E3779B97F4A7C15ull + 1;
  for (auto &b : data) {
    x ^= x >> 29;
    x *= 0xBF58476D1CE4E5B9ull;
    b = uint8_t(x >> 56);
  }
  return data;
}

std::vector<int64_t> OrderOf(const OffsetCache *c) {
  std::vector<int64_t> order;
  for (auto *e = c->first; e; e = e->next) order.push_back(e->offset);
  return order;
}

TEST(OffsetCache, EdgeCases) {
  CacheGuard cache;
  OffsetCache *c = cache.c;
  auto data = BytesOf(0, 4 * kBlock);
  const uint8_t *p = nullptr;
  int32_t length = 0;
  // Off: no answer, no miss, nothing stored.
  EXPECT_EQ(OffsetCache_Get(c, &p, 0, &length), 0);
  EXPECT_EQ(OffsetCache_Put(c, data.data(), 0, 10), 0);
  EXPECT_EQ(c->misses, 0);

  // Eight blocks: three ranges of three blocks evict the oldest first.
  OffsetCache_SetSize(c, 8 * kBlock);
  EXPECT_EQ(OffsetCache_Put(c, data.data(), 100, 3 * kBlock), 1);
  EXPECT_EQ(OffsetCache_Put(c, data.data(), 200, 3 * kBlock), 1);
  EXPECT_EQ(OffsetCache_Put(c, data.data(), 300, 3 * kBlock), 1);
  EXPECT_EQ(OrderOf(c), (std::vector<int64_t>{200, 300}));
  EXPECT_EQ(OffsetCache_Get(c, &p, 100, &length), 0);
  EXPECT_EQ(c->misses, 1);

  // A byte takes a whole block, 4,097 bytes two.
  OffsetCache_Clear(c);
  int32_t blocks = 0;
  OffsetCache_Put(c, data.data(), 1, 1);
  BlockPool_GetUsedBlocks(c->blockPool, &blocks);
  EXPECT_EQ(blocks, 1);
  OffsetCache_Put(c, data.data(), 2, kBlock + 1);
  BlockPool_GetUsedBlocks(c->blockPool, &blocks);
  EXPECT_EQ(blocks, 3);
  EXPECT_EQ(c->used, kBlock + 2);

  // Offsets 4 GiB apart are two entries.
  OffsetCache_Clear(c);
  auto low = BytesOf(5, 64), high = BytesOf(5 + (int64_t(1) << 32), 64);
  OffsetCache_Put(c, low.data(), 5, 64);
  OffsetCache_Put(c, high.data(), 5 + (int64_t(1) << 32), 64);
  EXPECT_EQ(c->count, 2);
  std::vector<uint8_t> out(64);
  ASSERT_EQ(OffsetCache_Copy(c, 5 + (int64_t(1) << 32), out.data(), 64, &length), 1);
  EXPECT_EQ(out, high);
  // A range longer than the caller's room is not copied.
  EXPECT_EQ(OffsetCache_Copy(c, 5, out.data(), 63, &length), 0);

  // Status, then Reset zeroes the counters.
  Dictionary *status = nullptr;
  Dictionary_Create(&status);
  OffsetCache_GetStatus(c, status);
  int64_t value = 0;
  Dictionary_GetInt64ByKey(status, "readBytes", &value);
  EXPECT_EQ(value, 64);
  Dictionary_GetInt64ByKey(status, "size", &value);
  EXPECT_EQ(value, 8 * kBlock);
  OffsetCache_Reset(c);
  EXPECT_EQ(c->hits + c->misses + c->count + c->used, 0);
  EXPECT_EQ(c->readBytes, 0);
  Class_ReleaseObject(&status);
}

TEST(BlockPool, SizeChangesOnlyWhenEmpty) {
  BlockPool *pool = nullptr;
  BLOCKPOOL_CREATE(&pool);
  ASSERT_EQ(BlockPool_SetSize(pool, 3 * kBlock), 1);
  void *a = nullptr, *b = nullptr;
  ASSERT_EQ(BlockPool_Alloc(pool, 2 * kBlock, &a), 1);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(a) % kBlock, 0u);
  EXPECT_EQ(BlockPool_Alloc(pool, 2 * kBlock, &b), 0);
  EXPECT_EQ(b, nullptr);
  EXPECT_EQ(BlockPool_SetSize(pool, 8 * kBlock), 0);
  EXPECT_EQ(pool->size, 3 * kBlock);
  BlockPool_Free(pool, 2 * kBlock, &a);
  EXPECT_EQ(a, nullptr);
  EXPECT_EQ(BlockPool_SetSize(pool, 8 * kBlock), 1);
  ASSERT_EQ(BlockPool_Alloc(pool, 8 * kBlock, &a), 1);
  memset(a, 0xA5, 8 * kBlock);  // the whole run lies inside the area
  BlockPool_Free(pool, 8 * kBlock, &a);
  Class_ReleaseObject(&pool);
}

TEST(OffsetCacheDeathTest, MisuseStops) {
  CacheGuard cache;
  OffsetCache_SetSize(cache.c, kBlock);
  uint8_t byte = 0;
  EXPECT_DEATH(OffsetCache_Put(cache.c, &byte, 0, 0), "OffsetCache length must be greater than 0");
  BlockPool *pool = nullptr;
  BLOCKPOOL_CREATE(&pool);
  BlockPool_SetSize(pool, 4 * kBlock);
  void *a = nullptr;
  BlockPool_Alloc(pool, 1, &a);
  void *next = static_cast<uint8_t *>(a) + kBlock;
  EXPECT_DEATH(BlockPool_Free(pool, 1, &next), "Attempt to free unallocated memory");
  EXPECT_DEATH(BlockPool_Free(pool, 2 * kBlock, &a), "Attempt to free unallocated memory");
  BlockPool_Free(pool, 1, &a);
  Class_ReleaseObject(&pool);
}

// The cache against a model of its own rules: least recently used first,
// first-fit runs of whole blocks, evicting from the front until a run fits.
struct CacheModel {
  struct Entry {
    int64_t offset;
    int32_t length, first, blocks;
  };
  std::list<Entry> order;
  std::vector<bool> blocks;
  int32_t hits = 0, misses = 0, used = 0;

  int32_t FindRun(int32_t count) const {
    for (int32_t start = 0; start + count <= int32_t(blocks.size()); start++) {
      int32_t n = 0;
      while (n < count && !blocks[start + n]) n++;
      if (n == count) return start;
      start += n;
    }
    return -1;
  }
  void Evict() {
    Entry e = order.front();
    order.pop_front();
    std::fill_n(blocks.begin() + e.first, e.blocks, false);
    used -= e.length;
  }
  bool Get(int64_t offset) {
    if (blocks.empty()) return false;
    auto it = std::find_if(order.begin(), order.end(), [&](auto &e) { return e.offset == offset; });
    if (it == order.end()) return misses++, false;
    order.splice(order.end(), order, it);
    return hits++, true;
  }
  bool Put(int64_t offset, int32_t length) {
    if (blocks.empty()) return false;
    auto it = std::find_if(order.begin(), order.end(), [&](auto &e) { return e.offset == offset; });
    if (it != order.end()) return order.splice(order.end(), order, it), true;
    int32_t count = (length + kBlock - 1) / kBlock, first;
    while ((first = FindRun(count)) < 0) {
      if (order.empty()) return false;
      Evict();
    }
    std::fill_n(blocks.begin() + first, count, true);
    order.push_back({offset, length, first, count});
    used += length;
    return true;
  }
};

TEST(OffsetCache, RandomOperationsMatchAnLruModel) {
  std::mt19937 rng(0x0FF5E7C4);
  std::vector<uint8_t> out(1 << 20);
  for (int round = 0; round < 40; round++) {
    CacheGuard cache;
    CacheModel model;
    int32_t size = round == 0 ? 0 : int32_t(rng() % (8 << 20));
    OffsetCache_SetSize(cache.c, size);
    model.blocks.assign(size_t((size + kBlock - 1) / kBlock), false);
    std::vector<int64_t> offsets(24);
    for (auto &o : offsets) o = int64_t(rng()) << (rng() % 12);
    for (int step = 0; step < 300; step++) {
      int64_t offset = offsets[rng() % offsets.size()];
      // Lengths spread over 1 B to 1 MiB, each offset's length fixed.
      int32_t length = 1 + int32_t((uint64_t(offset) * 2654435761u) % (1u << (1 + offset % 20)));
      if (rng() % 2) {
        int32_t got = 0;
        int hit = OffsetCache_Copy(cache.c, offset, out.data(), int32_t(out.size()), &got);
        ASSERT_EQ(hit, int(model.Get(offset))) << "step " << step;
        if (hit) {
          ASSERT_EQ(got, length);
          ASSERT_TRUE(std::equal(out.begin(), out.begin() + got, BytesOf(offset, length).begin()));
        }
      } else {
        auto data = BytesOf(offset, length);
        ASSERT_EQ(OffsetCache_Put(cache.c, data.data(), offset, length),
                  int(model.Put(offset, length)));
      }
      std::vector<int64_t> expected;
      for (auto &e : model.order) expected.push_back(e.offset);
      ASSERT_EQ(OrderOf(cache.c), expected) << "step " << step;
      ASSERT_EQ(cache.c->used, model.used);
      ASSERT_EQ(cache.c->hits, model.hits);
      ASSERT_EQ(cache.c->misses, model.misses);
    }
  }
}

TEST(OffsetCacheThreaded, CopiesNeverSeeForeignBytes) {
  CacheGuard cache;
  OffsetCache_SetSize(cache.c, 64 * kBlock);  // room for a few of the ranges only
  constexpr int kThreads = 8, kOpsPerThread = 100000 / kThreads;
  std::atomic<int> bad{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; t++) {
    threads.emplace_back([&, t] {
      std::mt19937 rng(t);
      std::vector<uint8_t> out(8 * kBlock);
      for (int i = 0; i < kOpsPerThread; i++) {
        int64_t offset = int64_t(rng() % 64) * 1000;
        int32_t length = 1 + int32_t(offset % (8 * kBlock - 1));
        int32_t got = 0;
        if (OffsetCache_Copy(cache.c, offset, out.data(), int32_t(out.size()), &got)) {
          auto want = BytesOf(offset, length);
          if (got != length || !std::equal(want.begin(), want.end(), out.begin())) bad++;
        } else {
          auto data = BytesOf(offset, length);
          OffsetCache_Put(cache.c, data.data(), offset, length);
        }
      }
    });
  }
  for (auto &t : threads) t.join();
  EXPECT_EQ(bad.load(), 0);
  EXPECT_GT(cache.c->hits, 0);
}

}  // namespace
