// The HTTP client's response stores; see core/net/webgetcache.h.
#include "core/net/webgetcache.h"

#include <atomic>
#include <cstdarg>
#include <cstring>
#include <mutex>
#include <new>

#include "core/net/url.h"
#include "core/net/webget.h"
#include "core/platform/platform.h"
#include "core/runtime/class.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/memstream.h"
#include "core/runtime/str.h"
#include "core/security/hash.h"

struct WebGetCacheItem {
  ObjectHeader header;
  ClassLog log;  // "WebGetCacheItem"
  uint32_t key;
  char *url;  // Mem_Alloc'd, urlBytes
  int32_t urlBytes;
  std::atomic<int32_t> state;
  // Written by the filler, read by purges under the store's lock.
  std::atomic<int64_t> maxAge;
  std::atomic<double> commitTime;
  std::atomic<double> lastModified;
  MemoryStream *body;
  int64_t bodyLength;
  std::atomic<int32_t> complete;
  std::atomic<int32_t> valid;
  int32_t revalidate;
  WebGetCacheItem *next;
  WebGetCacheItem *prev;
};

struct WebGetCacheStore {
  ObjectHeader header;
  ClassLog log;  // "WebGetCacheStore"
  char name[kWebGetCacheNameBytes];
  int64_t minAge;
  double nextPurge;
  std::mutex lock;
  WebGetCacheItem *head;
  WebGetCacheItem *tail;
  int32_t count;
  WebGetCacheStore *next;
  WebGetCacheStore *prev;
};

namespace {

#define STORE_CHECK(s) CLASS_CHECK((s), kWebGetCacheStoreTag)
#define ITEM_CHECK(i) CLASS_CHECK((i), kWebGetCacheItemTag)

// The global store list (main thread).
WebGetCacheStore *gStoreHead;
WebGetCacheStore *gStoreTail;

void cacheLog(ClassLog *log, const char *format, ...) {
  if (!Class_LogEnabled(log, LOG_DEBUG)) return;
  va_list args;
  va_start(args, format);
  Class_LogPrint(log, 0, format, args);
  va_end(args);
}

void itemDestroy(void **object) {
  auto *item = static_cast<WebGetCacheItem *>(*object);
  *object = nullptr;
  if (item->body) MemoryStream_Release(&item->body);
  if (item->url) MEM_FREE(item->url, item->urlBytes);
  item->header.classTag = 0;
  item->~WebGetCacheItem();
  MEM_FREE(item, sizeof(WebGetCacheItem));
}

void unlinkItem(WebGetCacheStore *s, WebGetCacheItem *item) {
  if (item->prev) item->prev->next = item->next;
  else s->head = item->next;
  if (item->next) item->next->prev = item->prev;
  else s->tail = item->prev;
  item->next = item->prev = nullptr;
  s->count--;
}

void storeDestroy(void **object) {
  auto *s = static_cast<WebGetCacheStore *>(*object);
  *object = nullptr;
  while (s->head) {
    WebGetCacheItem *item = s->head;
    unlinkItem(s, item);
    WebGetCacheItem_Release(&item);
  }
  s->header.classTag = 0;
  s->~WebGetCacheStore();
  MEM_FREE(s, sizeof(WebGetCacheStore));
}

// The length of "scheme://host" of url (0 without "://").
size_t authorityLength(const char *url) {
  const char *sep = strstr(url, "://");
  if (sep == nullptr) return 0;
  return size_t(sep + 3 - url) + strcspn(sep + 3, "/?#");
}

bool sameUrl(const char *a, const char *b) {
  size_t n = authorityLength(a);
  if (n != authorityLength(b)) return false;
  if (n > 0 && !Str_EqualNoCaseN(a, b, int(n))) return false;
  return strcmp(a + n, b + n) == 0;
}

void abandon(WebGetCacheItem *item) {
  item->valid.store(0);
  item->state.store(2);
  cacheLog(&item->log, "Invalid");
}

}  // namespace

// ---- Stores --------------------------------------------------------------------------

int WebGetCache_FindStore(const char *name, WebGetCacheStore **store) {
  CHECK_POINTER(name);
  CHECK_POINTER(store);
  *store = nullptr;
  for (WebGetCacheStore *s = gStoreHead; s; s = s->next)
    if (Str_CompareNoCase(s->name, name) == 0) {
      *store = static_cast<WebGetCacheStore *>(Class_Retain(s));
      return 1;
    }
  return 0;
}

int WebGetCache_OpenStore(const char *name, WebGetCacheStore **store) {
  CHECK_POINTER(name);
  CHECK_POINTER(store);
  if (WebGetCache_FindStore(name, store)) return 1;
  auto *s = new (MEM_ALLOC(sizeof(WebGetCacheStore), MEM_ZEROED)) WebGetCacheStore();
  s->header.classTag = kWebGetCacheStoreTag;
  s->header.refCount.store(2);  // the list's and the caller's
  s->header.destroy = storeDestroy;
  Class_GenerateInstanceId(s);
  s->log.object = s;
  s->log.className = "WebGetCacheStore";
  Str_Copy(s->name, name, int(sizeof s->name));
  s->prev = gStoreTail;
  if (gStoreTail) gStoreTail->next = s;
  else gStoreHead = s;
  gStoreTail = s;
  *store = s;
  return 1;
}

void WebGetCacheStore_Release(WebGetCacheStore **store) {
  CHECK_POINTER(store);
  if (*store == nullptr) return;
  STORE_CHECK(*store);
  void *object = *store;
  *store = nullptr;
  Class_Release(&object);
}

int WebGetCacheStore_SetMinAge(WebGetCacheStore *store, int64_t seconds) {
  STORE_CHECK(store);
  store->minAge = seconds;
  return 1;
}

int32_t WebGetCacheStore_GetItemCount(WebGetCacheStore *store) {
  STORE_CHECK(store);
  std::lock_guard<std::mutex> guard(store->lock);
  return store->count;
}

int WebGetCacheStore_Purge(WebGetCacheStore *store) {
  STORE_CHECK(store);
  double now = Platform_GetTickSeconds();
  WebGetCacheItem *expired = nullptr;
  {
    std::lock_guard<std::mutex> guard(store->lock);
    if (store->head == nullptr || now < store->nextPurge) return 0;
    store->nextPurge = now + kWebGetCachePurgeSeconds;
    for (WebGetCacheItem *item = store->head, *next; item; item = next) {
      next = item->next;
      if (item->valid.load() && item->state.load() != 2) {
        const double committed = item->commitTime.load();
        if (committed <= 0) continue;
        const int64_t maxAge = item->maxAge.load();
        int64_t age = maxAge > store->minAge ? maxAge : store->minAge;
        if (now <= committed + double(age)) continue;
      }
      unlinkItem(store, item);
      item->next = expired;
      expired = item;
    }
  }
  while (expired) {
    WebGetCacheItem *item = expired;
    expired = item->next;
    cacheLog(&item->log, "Expired");
    WebGetCacheItem_Release(&item);
  }
  return 1;
}

int WebGetCache_PurgeAll(void) {
  for (WebGetCacheStore *s = gStoreHead; s; s = s->next) WebGetCacheStore_Purge(s);
  return 1;
}

int WebGetCache_ReleaseAll(void) {
  while (gStoreHead) {
    WebGetCacheStore *s = gStoreHead;
    gStoreHead = s->next;
    s->next = s->prev = nullptr;
    WebGetCacheStore_Release(&s);
  }
  gStoreTail = nullptr;
  return 1;
}

uint32_t WebGetCache_Key(const char *url) {
  CHECK_POINTER(url);
  uint8_t b[4] = {0, 0, 0, 0};
  Crc_Compute(url, int64_t(strlen(url)), 0, b);
  return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
}

int WebGetCacheStore_Lookup(WebGetCacheStore *store, const char *url, int32_t method,
                            WebGetCacheItem **item, int *wait) {
  STORE_CHECK(store);
  CHECK_POINTER(url);
  CHECK_POINTER(item);
  CHECK_POINTER(wait);
  *item = nullptr;
  *wait = 0;
  if (method != kWebGetMethodGet) return 0;
  uint32_t key = WebGetCache_Key(url);
  std::lock_guard<std::mutex> guard(store->lock);
  for (WebGetCacheItem *i = store->head; i; i = i->next) {
    if (i->key != key || !i->valid.load() || i->state.load() == 2 || !sameUrl(i->url, url))
      continue;
    if (!i->complete.load()) {
      *wait = 1;
      return 1;
    }
    *item = static_cast<WebGetCacheItem *>(Class_Retain(i));
    return 1;
  }
  WebGetCacheItem *fresh = nullptr;
  WebGetCacheItem_Create(&fresh);
  fresh->key = key;
  fresh->urlBytes = int32_t(strlen(url) + 1);
  fresh->url = static_cast<char *>(MEM_ALLOC(fresh->urlBytes, 0));
  memcpy(fresh->url, url, size_t(fresh->urlBytes));
  // Valid from the start while it is filled, so that other lookups wait for it.
  fresh->valid.store(1);
  cacheLog(&fresh->log, "Url - %s", UrlLoggable(url).text);
  fresh->prev = store->tail;
  if (store->tail) store->tail->next = fresh;
  else store->head = fresh;
  store->tail = fresh;
  store->count++;
  *item = static_cast<WebGetCacheItem *>(Class_Retain(fresh));
  return 1;
}

// ---- Items ------------------------------------------------------------------------------

int WebGetCacheItem_Create(WebGetCacheItem **item) {
  CHECK_POINTER(item);
  auto *i = new (MEM_ALLOC(sizeof(WebGetCacheItem), MEM_ZEROED)) WebGetCacheItem();
  i->header.classTag = kWebGetCacheItemTag;
  i->header.refCount.store(1);
  i->header.destroy = itemDestroy;
  Class_GenerateInstanceId(i);
  i->log.object = i;
  i->log.className = "WebGetCacheItem";
  *item = i;
  return 1;
}

void WebGetCacheItem_Release(WebGetCacheItem **item) {
  CHECK_POINTER(item);
  if (*item == nullptr) return;
  ITEM_CHECK(*item);
  void *object = *item;
  *item = nullptr;
  Class_Release(&object);
}

void WebGetCacheItem_Drop(WebGetCacheItem **item) {
  CHECK_POINTER(item);
  if (*item == nullptr) return;
  ITEM_CHECK(*item);
  if (!(*item)->complete.load()) abandon(*item);
  WebGetCacheItem_Release(item);
}

int WebGetCacheItem_StoreResponse(WebGetCacheItem *item, int32_t status, int32_t directive,
                                  int hasLastModified, int64_t maxAge) {
  ITEM_CHECK(item);
  item->maxAge.store(maxAge);
  bool valid = status == 200 && directive != 2 && (directive != 1 || hasLastModified);
  item->revalidate = valid && directive == 1 ? 1 : 0;
  if (valid) item->valid.store(1);
  else abandon(item);
  return 1;
}

int WebGetCacheItem_AppendBody(WebGetCacheItem *item, const void *data, int64_t length,
                               int64_t *written) {
  ITEM_CHECK(item);
  CHECK_POINTER(written);
  if (length <= 0) return 1;
  if (item->state.load() == 2) return 0;
  if (length > kWebGetCacheBodyMaxBytes - item->bodyLength) {
    cacheLog(&item->log, "Body too large for the cache");
    abandon(item);
    return 0;
  }
  if (item->body == nullptr) {
    MemoryStream_Create(&item->body);
    MemoryStream_EnableGrowth(item->body);
  }
  int32_t done = 0;
  if (!MemoryStream_WriteAppend(item->body, data, int32_t(length), &done) || done != length) {
    abandon(item);
    return 0;
  }
  item->bodyLength += length;
  *written += length;
  return 1;
}

int WebGetCacheItem_GetBody(WebGetCacheItem *item, MemoryStream **stream) {
  ITEM_CHECK(item);
  CHECK_POINTER(stream);
  *stream = item->body;
  return item->body ? 1 : 0;
}

int WebGetCacheItem_Commit(WebGetCacheItem *item) {
  ITEM_CHECK(item);
  item->commitTime.store(Platform_GetTickSeconds());
  item->complete.store(1);
  cacheLog(&item->log, "Committed");
  return 1;
}

int WebGetCacheItem_MarkInvalid(WebGetCacheItem *item) {
  ITEM_CHECK(item);
  item->valid.store(0);
  cacheLog(&item->log, "Invalid");
  return 1;
}

int WebGetCacheItem_SetState(WebGetCacheItem *item, int32_t state) {
  ITEM_CHECK(item);
  item->state.store(state);
  return 1;
}

int WebGetCacheItem_IsUsable(WebGetCacheItem *item) {
  ITEM_CHECK(item);
  return item->state.load() != 2 ? 1 : 0;
}

int WebGetCacheItem_IsStateOne(WebGetCacheItem *item) {
  ITEM_CHECK(item);
  return item->state.load() == 1 ? 1 : 0;
}

int WebGetCacheItem_IsComplete(WebGetCacheItem *item) {
  ITEM_CHECK(item);
  return item->complete.load();
}

int WebGetCacheItem_IsValid(WebGetCacheItem *item) {
  ITEM_CHECK(item);
  return item->valid.load();
}

int WebGetCacheItem_IsMarkedForRevalidation(WebGetCacheItem *item) {
  ITEM_CHECK(item);
  return item->valid.load() && item->revalidate ? 1 : 0;
}

int WebGetCacheItem_SetLastModified(WebGetCacheItem *item, double seconds) {
  ITEM_CHECK(item);
  item->lastModified.store(seconds);
  return 1;
}

double WebGetCacheItem_GetLastModified(WebGetCacheItem *item) {
  ITEM_CHECK(item);
  return item->lastModified.load();
}
