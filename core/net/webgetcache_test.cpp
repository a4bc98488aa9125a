// The response stores: lookups, item states, purges on the test clock and
// concurrent lookups and drops.
#include "core/net/webgetcache.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "core/net/webget.h"
#include "core/platform/platform.h"
#include "core/runtime/memstream.h"
#include "core/security/hash.h"

namespace {

std::atomic<double> gNow{1000};
double testNow() { return gNow.load(); }

struct TestClock {
  TestClock() {
    gNow = 1000;
    Platform_SetTickSourceForTest(testNow);
  }
  ~TestClock() { Platform_SetTickSourceForTest(nullptr); }
};

struct StoreScope {
  WebGetCacheStore *store = nullptr;
  explicit StoreScope(const char *name) { WebGetCache_OpenStore(name, &store); }
  ~StoreScope() {
    WebGetCacheStore_Release(&store);
    WebGetCache_ReleaseAll();
  }
};

// Looks url up and, on a miss, fills the new item with a complete answer.
WebGetCacheItem *fill(WebGetCacheStore *store, const char *url, int32_t status = 200,
                      int32_t directive = 0, int64_t maxAge = 0) {
  WebGetCacheItem *item = nullptr;
  int wait = 0;
  EXPECT_EQ(WebGetCacheStore_Lookup(store, url, kWebGetMethodGet, &item, &wait), 1);
  EXPECT_FALSE(WebGetCacheItem_IsComplete(item));
  WebGetCacheItem_StoreResponse(item, status, directive, 0, maxAge);
  int64_t written = 0;
  WebGetCacheItem_AppendBody(item, url, int64_t(strlen(url)), &written);
  WebGetCacheItem_Commit(item);
  return item;
}

}  // namespace

TEST(WebGetCache, StoresByNameAndKeys) {
  StoreScope alias("alias");
  WebGetCacheStore *again = nullptr;
  EXPECT_EQ(WebGetCache_OpenStore("Alias", &again), 1);
  EXPECT_EQ(again, alias.store);
  WebGetCacheStore_Release(&again);
  EXPECT_EQ(WebGetCache_FindStore("workflow", &again), 0);
  // The key: zlib's CRC-32 of the upper-cased URL, byte order reversed.
  const char *url = "http://Example.com/a";
  uint8_t b[4];
  Crc_Compute("HTTP://EXAMPLE.COM/A", 20, 1, b);
  EXPECT_EQ(WebGetCache_Key(url), uint32_t(b[0]) | b[1] << 8 | b[2] << 16 | uint32_t(b[3]) << 24);
  EXPECT_EQ(WebGetCache_Key("http://example.com/A"), WebGetCache_Key(url));
}

// Hits need the same key and URL: scheme and host in any case, the rest exact.
TEST(WebGetCache, LookupTable) {
  StoreScope s("t");
  WebGetCacheItem *first = fill(s.store, "http://example.com/Doc");
  WebGetCacheItem_Drop(&first);
  struct Row {
    const char *url;
    int32_t method;
    bool hit;
  } rows[] = {
      {"http://example.com/Doc", kWebGetMethodGet, true},
      {"HTTP://EXAMPLE.com/Doc", kWebGetMethodGet, true},
      {"http://example.com/doc", kWebGetMethodGet, false},  // same key, two items
      {"http://example.com/Doc", kWebGetMethodPost, false},
  };
  for (const Row &row : rows) {
    WebGetCacheItem *item = nullptr;
    int wait = 0;
    int found = WebGetCacheStore_Lookup(s.store, row.url, row.method, &item, &wait);
    EXPECT_EQ(found, row.method == kWebGetMethodGet ? 1 : 0) << row.url;
    EXPECT_EQ(wait, 0);
    if (item) {
      EXPECT_EQ(WebGetCacheItem_IsComplete(item) == 1, row.hit) << row.url;
    }
    if (item && !row.hit) WebGetCacheItem_Drop(&item);
    WebGetCacheItem_Release(&item);
  }
  EXPECT_EQ(WebGetCache_Key("http://example.com/doc"), WebGetCache_Key("http://example.com/Doc"));
}

// Which answers make a valid item, and which are marked for revalidation.
TEST(WebGetCache, ItemStatesTable) {
  struct Row {
    int32_t status, directive;
    int lastModified;
    int valid, revalidate;
  } rows[] = {
      {200, 0, 0, 1, 0}, {200, 2, 1, 0, 0}, {200, 1, 1, 1, 1}, {200, 1, 0, 0, 0}, {404, 0, 0, 0, 0},
  };
  for (const Row &row : rows) {
    WebGetCacheItem *item = nullptr;
    WebGetCacheItem_Create(&item);
    WebGetCacheItem_SetState(item, 0);
    // A fresh item of a lookup starts valid; the answer settles it.
    WebGetCacheItem_StoreResponse(item, row.status, row.directive, row.lastModified, 0);
    EXPECT_EQ(WebGetCacheItem_IsMarkedForRevalidation(item), row.revalidate);
    EXPECT_EQ(WebGetCacheItem_IsUsable(item), row.valid || row.revalidate ? 1 : 0);
    WebGetCacheItem_Release(&item);
  }
}

// Purges on the test clock: an item with max-age 0 lives the store's minimum
// age; two purges within 30 s are one; an abandoned item goes at the next.
TEST(WebGetCache, PurgesFollowTheTestClock) {
  TestClock clock;
  StoreScope s("alias");
  WebGetCacheStore_SetMinAge(s.store, 60);
  WebGetCacheItem *kept = fill(s.store, "http://a.test/kept");
  WebGetCacheItem *longer = fill(s.store, "http://a.test/longer", 200, 0, 200);
  WebGetCacheItem_Drop(&kept);
  WebGetCacheItem_Drop(&longer);
  WebGetCacheItem *failed = nullptr;
  int wait = 0;
  WebGetCacheStore_Lookup(s.store, "http://a.test/failed", kWebGetMethodGet, &failed, &wait);
  WebGetCacheItem_Drop(&failed);  // its transfer failed before it was complete
  EXPECT_EQ(WebGetCacheStore_GetItemCount(s.store), 3);
  EXPECT_EQ(WebGetCache_PurgeAll(), 1);
  EXPECT_EQ(WebGetCacheStore_GetItemCount(s.store), 2);
  gNow = gNow.load() + 59;
  EXPECT_EQ(WebGetCacheStore_Purge(s.store), 1);
  EXPECT_EQ(WebGetCacheStore_GetItemCount(s.store), 2);
  gNow = gNow.load() + 2;  // 61 s after the commit, but 2 s after the last purge
  EXPECT_EQ(WebGetCacheStore_Purge(s.store), 0);
  gNow = gNow.load() + 30;
  EXPECT_EQ(WebGetCacheStore_Purge(s.store), 1);
  EXPECT_EQ(WebGetCacheStore_GetItemCount(s.store), 1);
  gNow = gNow.load() + 200;
  WebGetCache_PurgeAll();
  EXPECT_EQ(WebGetCacheStore_GetItemCount(s.store), 0);
}

// Lookups of a URL whose filler fails: they wait while it fills, and once it
// is dropped the next lookup fills anew.
TEST(WebGetCache, WaitersFinishWhenTheFillerFails) {
  StoreScope s("t");
  WebGetCacheItem *filler = nullptr, *other = nullptr;
  int wait = 0;
  WebGetCacheStore_Lookup(s.store, "http://a.test/x", kWebGetMethodGet, &filler, &wait);
  for (int i = 0; i < 3; i++) {
    EXPECT_EQ(WebGetCacheStore_Lookup(s.store, "http://a.test/x", kWebGetMethodGet, &other, &wait), 1);
    EXPECT_EQ(other, nullptr);
    EXPECT_EQ(wait, 1);
  }
  WebGetCacheItem_Drop(&filler);
  EXPECT_EQ(WebGetCacheStore_Lookup(s.store, "http://a.test/x", kWebGetMethodGet, &other, &wait), 1);
  EXPECT_EQ(wait, 0);
  ASSERT_NE(other, nullptr);
  EXPECT_EQ(WebGetCacheItem_IsUsable(other), 1);
  WebGetCacheItem_Drop(&other);
}

// Eight threads look up, fill, read and drop items of a few URLs while the
// main thread purges.
TEST(WebGetCacheThreaded, LookupsAndDropsFromEightThreads) {
  TestClock clock;
  StoreScope s("t");
  std::atomic<int> hits{0}, running{8};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; t++)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 300; i++) {
        std::string url = "http://a.test/" + std::to_string((i + t) % 5);
        WebGetCacheItem *item = nullptr;
        int wait = 0;
        WebGetCacheStore_Lookup(s.store, url.c_str(), kWebGetMethodGet, &item, &wait);
        if (item == nullptr) continue;
        if (WebGetCacheItem_IsComplete(item)) {
          MemoryStream *body = nullptr;
          if (WebGetCacheItem_GetBody(item, &body)) hits++;
        } else if (i % 3 != 0) {
          WebGetCacheItem_StoreResponse(item, 200, 0, 0, 0);
          int64_t written = 0;
          WebGetCacheItem_AppendBody(item, url.data(), int64_t(url.size()), &written);
          WebGetCacheItem_Commit(item);
        }
        WebGetCacheItem_Drop(&item);
      }
      running--;
    });
  while (running.load() > 0) {
    gNow = gNow.load() + 31;
    WebGetCacheStore_Purge(s.store);
    std::this_thread::yield();
  }
  for (auto &t : threads) t.join();
  EXPECT_GT(hits.load(), 0);
}
