// WebGetCache: named in-memory response stores. A request that names a store
// is looked up there by its connection and, when missing, recorded there
// while it is received, so that documents fetched again within a short time
// (alias and workflow documents) are not downloaded each time.
//
// Items: a key (the CRC-32 of the URL with letters folded, its bytes
// reversed) and the URL itself; a hit needs both (scheme and host compared
// without case, the rest exactly). States settled between the cache and the
// connection:
//   valid: the stored answer had status 200 and no "no-store"; only valid
//     items are found and kept by a purge;
//   marked for revalidation: valid, but the answer said "no-cache" and
//     carried Last-Modified; it answers only after a 304 (a "no-cache" answer
//     without Last-Modified is not valid);
//   state 1: being revalidated (the request carries If-Modified-Since);
//   state 2: abandoned, never used again.
// Only GET requests look up or fill items.
//
// Invariants: (1) the store's list holds one reference on each item, every
// user another; a purge never frees an item a connection holds. (2) an item
// dropped before it was complete is invalid and in state 2, and the next
// purge removes it. (3) an item body never passes kWebGetCacheBodyMaxBytes:
// past it the item is abandoned.
//
// Threads: stores and the global list on the main thread; each store's lock
// guards its item list, so lookups and drops may come from any thread. Item
// fields are written by the one connection that fills the item.
#pragma once

#include <cstdint>

struct MemoryStream;
struct WebGetCacheStore;
struct WebGetCacheItem;

constexpr uint32_t kWebGetCacheStoreTag = 0x7e6b0f50;
constexpr uint32_t kWebGetCacheItemTag = 0x7e6b0f51;
constexpr int kWebGetCacheNameBytes = 120;
constexpr double kWebGetCachePurgeSeconds = 30.0;
constexpr int64_t kWebGetCacheBodyMaxBytes = int64_t(1) << 30;

// ---- Stores --------------------------------------------------------------------------

// The store of that name (any case) with one more reference; created (name
// cut to 120 bytes) and appended to the global list when missing.
int WebGetCache_OpenStore(const char *name, WebGetCacheStore **store);
// The store with one more reference; 0 with *store NULL when none exists.
int WebGetCache_FindStore(const char *name, WebGetCacheStore **store);
void WebGetCacheStore_Release(WebGetCacheStore **store);
int WebGetCacheStore_SetMinAge(WebGetCacheStore *store, int64_t seconds);
// At most every 30 s: removes every item that is not valid, or whose commit
// time + max(max-age, minimum age) has passed. 1 when it ran.
int WebGetCacheStore_Purge(WebGetCacheStore *store);
int32_t WebGetCacheStore_GetItemCount(WebGetCacheStore *store);
// Purges every store of the global list.
int WebGetCache_PurgeAll(void);
// Takes every store off the global list and releases it.
int WebGetCache_ReleaseAll(void);

// The lookup of a request (method: WebGetMethod). 0 for any method but GET
// (*item NULL). A valid item with the same key and URL that is complete comes
// back with a reference; one still being filled sets *wait (no item: try
// again later); a valid item in state 2 counts as none. Without a hit a new
// item is appended and returned (the caller fills it). Returns 1 with *item.
int WebGetCacheStore_Lookup(WebGetCacheStore *store, const char *url, int32_t method,
                            WebGetCacheItem **item, int *wait);
// The key of a URL: CRC-32 with letters folded, its four bytes reversed.
uint32_t WebGetCache_Key(const char *url);

// ---- Items ------------------------------------------------------------------------------

int WebGetCacheItem_Create(WebGetCacheItem **item);
void WebGetCacheItem_Release(WebGetCacheItem **item);
// A connection lets go of the item it filled or read: one still incomplete
// is marked invalid and abandoned (state 2). Clears *item.
void WebGetCacheItem_Drop(WebGetCacheItem **item);
// Records the answer's facts: valid for status 200 unless "no-store"
// (directive 2); "no-cache" (1) with Last-Modified marks it for
// revalidation, without it leaves it invalid.
int WebGetCacheItem_StoreResponse(WebGetCacheItem *item, int32_t status, int32_t directive,
                                  int hasLastModified, int64_t maxAge);
// Appends to the body (made on the first write). 0, with the item abandoned,
// when the body would pass kWebGetCacheBodyMaxBytes.
int WebGetCacheItem_AppendBody(WebGetCacheItem *item, const void *data, int64_t length,
                               int64_t *written);
int WebGetCacheItem_GetBody(WebGetCacheItem *item, MemoryStream **stream);
// Commit time = now; the item is complete.
int WebGetCacheItem_Commit(WebGetCacheItem *item);
int WebGetCacheItem_MarkInvalid(WebGetCacheItem *item);
int WebGetCacheItem_SetState(WebGetCacheItem *item, int32_t state);
int WebGetCacheItem_IsUsable(WebGetCacheItem *item);  // state is not 2
int WebGetCacheItem_IsStateOne(WebGetCacheItem *item);
int WebGetCacheItem_IsComplete(WebGetCacheItem *item);
int WebGetCacheItem_IsValid(WebGetCacheItem *item);
int WebGetCacheItem_IsMarkedForRevalidation(WebGetCacheItem *item);
// The stored answer's Last-Modified time (seconds since 1970; 0 when it had
// none): a revalidation sends it back as If-Modified-Since.
int WebGetCacheItem_SetLastModified(WebGetCacheItem *item, double seconds);
double WebGetCacheItem_GetLastModified(WebGetCacheItem *item);
