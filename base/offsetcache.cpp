// Offset caches; see offsetcache.h.
#include "base/offsetcache.h"

#include <cstring>
#include <new>

#include "core/runtime/log.h"
#include "core/runtime/memory.h"

namespace {

#define OFFSETCACHE_CHECK(c) CLASS_CHECK((c), kOffsetCacheTag)

constexpr int32_t kOffsetCacheEntryGrowth = 10;

// The index keys are the 8-byte offsets themselves, carried in the key
// pointer (HashTable_CopyKeyBytes stores its bytes).
const void *offsetCacheKey(int64_t offset) {
  static_assert(sizeof(void *) == sizeof(int64_t), "offsets travel in the key pointer");
  return reinterpret_cast<const void *>(static_cast<uintptr_t>(offset));
}

uint32_t offsetCacheHash(void *, HashTable *, const void *key) {
  uint64_t k = reinterpret_cast<uintptr_t>(key);
  k ^= k >> 33;
  k *= 0xff51afd7ed558ccdull;
  k ^= k >> 33;
  return uint32_t(k);
}

int offsetCacheCompare(void *, HashTable *, const void *keyArea, const void *key) {
  uint64_t stored;
  memcpy(&stored, keyArea, sizeof stored);
  return stored == reinterpret_cast<uintptr_t>(key);
}

class OffsetCacheLock {
 public:
  explicit OffsetCacheLock(OffsetCache *cache) : lock_(cache->lock) {
    CriticalSection_Enter(lock_);
  }
  ~OffsetCacheLock() { CriticalSection_Leave(lock_); }
  OffsetCacheLock(const OffsetCacheLock &) = delete;
  OffsetCacheLock &operator=(const OffsetCacheLock &) = delete;

 private:
  CriticalSection *lock_;
};

void offsetCacheLog(OffsetCache *c, const char *format, ...) {
  if (!Class_LogEnabled(&c->log, LOG_DEBUG) || !Log_IsEnabled()) return;
  va_list args;
  va_start(args, format);
  Class_LogPrint(&c->log, 0, format, args);
  va_end(args);
}

void offsetCacheUnlink(OffsetCache *c, OffsetCacheEntry *e) {
  (e->prev ? e->prev->next : c->first) = e->next;
  (e->next ? e->next->prev : c->last) = e->prev;
  e->prev = e->next = nullptr;
  c->count--;
}

void offsetCacheAppend(OffsetCache *c, OffsetCacheEntry *e) {
  e->prev = c->last;
  e->next = nullptr;
  (c->last ? c->last->next : c->first) = e;
  c->last = e;
  c->count++;
}

void offsetCacheTouch(OffsetCache *c, OffsetCacheEntry *e) {
  if (c->last == e) return;
  offsetCacheUnlink(c, e);
  offsetCacheAppend(c, e);
}

void offsetCacheEvict(OffsetCache *c, OffsetCacheEntry *e) {
  offsetCacheLog(c, "Evict (%I64d) (%d)\n", e->offset, e->length);
  void *bytes = e->bytes;
  BlockPool_Free(c->blockPool, e->length, &bytes);
  HashTable_RemoveEntry(c->index, &e->indexEntry);
  offsetCacheUnlink(c, e);
  c->used -= e->length;
  void *record = e;
  POOL_FREE(c->entries, &record, sizeof(OffsetCacheEntry));
}

void offsetCacheEvictAll(OffsetCache *c) {
  while (c->first != nullptr) offsetCacheEvict(c, c->first);
}

// A hit: the entry becomes the most recently used and is counted.
void offsetCacheCountHit(OffsetCache *c, OffsetCacheEntry *e) {
  offsetCacheTouch(c, e);
  c->hits++;
  c->readBytes += e->length;
}

// The entry of offset, counted as a hit, or NULL counted as a miss (not
// counted at all while the cache is off).
OffsetCacheEntry *offsetCacheLookUp(OffsetCache *c, int64_t offset) {
  if (c->size == 0) return nullptr;
  void *found = nullptr;
  if (!HashTable_Get(c->index, offsetCacheKey(offset), &found)) {
    c->misses++;
    return nullptr;
  }
  auto *e = static_cast<OffsetCacheEntry *>(found);
  offsetCacheCountHit(c, e);
  return e;
}

void offsetCacheDestroy(void **object) {
  auto *c = static_cast<OffsetCache *>(*object);
  offsetCacheEvictAll(c);
  HashTable_Release(&c->index);
  Pool_Release(&c->entries);
  Class_ReleaseObject(&c->blockPool);
  CriticalSection_Delete(&c->lock);
  c->header.classTag = 0;
  MEM_FREE(c, sizeof(OffsetCache));
}

}  // namespace

int OffsetCache_Create(OffsetCache **cache) {
  CHECK_POINTER(cache);
  auto *c = new (MEM_ALLOC(sizeof(OffsetCache), MEM_ZEROED)) OffsetCache();
  c->header.classTag = kOffsetCacheTag;
  c->header.refCount.store(1, std::memory_order_relaxed);
  c->header.destroy = offsetCacheDestroy;
  c->log.object = c;
  c->log.className = "OffsetCache";
  CriticalSection_Create(&c->lock);
  BLOCKPOOL_CREATE(&c->blockPool);
  Pool_Create(&c->entries, KSRC);
  Pool_SetMemberSize(c->entries, sizeof(OffsetCacheEntry));
  Pool_SetMemberChunkSize(c->entries, kOffsetCacheEntryGrowth);
  HashTable_Create(&c->index);
  HashTable_SetKeySize(c->index, sizeof(int64_t));
  HashTable_SetKeyCopyCallback(c->index, HashTable_CopyKeyBytes);
  HashTable_SetHashCallback(c->index, offsetCacheHash);
  HashTable_SetCompareCallback(c->index, offsetCacheCompare);
  *cache = c;
  return 1;
}

int OffsetCache_Get(OffsetCache *c, const uint8_t **pointer, int64_t offset, int32_t *length) {
  OFFSETCACHE_CHECK(c);
  CHECK_POINTER(pointer);
  CHECK_POINTER(length);
  OffsetCacheLock lock(c);
  *pointer = nullptr;
  *length = 0;
  OffsetCacheEntry *e = offsetCacheLookUp(c, offset);
  if (e == nullptr) return 0;
  *pointer = e->bytes;
  *length = e->length;
  return 1;
}

int OffsetCache_Copy(OffsetCache *c, int64_t offset, void *destination, int32_t capacity,
                     int32_t *length) {
  OFFSETCACHE_CHECK(c);
  CHECK_POINTER(destination);
  CHECK_POINTER(length);
  OffsetCacheLock lock(c);
  *length = 0;
  if (c->size == 0) return 0;
  void *found = nullptr;
  auto *e = HashTable_Get(c->index, offsetCacheKey(offset), &found)
                ? static_cast<OffsetCacheEntry *>(found)
                : nullptr;
  if (e == nullptr || e->length > capacity) {
    c->misses++;
    return 0;
  }
  offsetCacheCountHit(c, e);
  memcpy(destination, e->bytes, size_t(e->length));
  *length = e->length;
  return 1;
}

int OffsetCache_Put(OffsetCache *c, const void *data, int64_t offset, int32_t length) {
  OFFSETCACHE_CHECK(c);
  if (length <= 0)
    Core_Abort(KSRC, "Assertion failed (Length > 0)\nOffsetCache length must be greater than 0\n");
  CHECK_POINTER(data);
  OffsetCacheLock lock(c);
  if (c->size == 0) return 0;
  void *found = nullptr;
  if (HashTable_Get(c->index, offsetCacheKey(offset), &found)) {
    offsetCacheTouch(c, static_cast<OffsetCacheEntry *>(found));
    return 1;
  }
  void *bytes = nullptr;
  while (!BlockPool_Alloc(c->blockPool, length, &bytes)) {
    if (c->first == nullptr) {
      offsetCacheLog(c, "Unable to clear enough cache space (%d)\n", length);
      return 0;
    }
    offsetCacheEvict(c, c->first);
  }
  auto *e = static_cast<OffsetCacheEntry *>(POOL_ALLOC(c->entries, sizeof(OffsetCacheEntry)));
  e->offset = offset;
  e->length = length;
  e->bytes = static_cast<uint8_t *>(bytes);
  memcpy(e->bytes, data, size_t(length));
  HashTable_Set(c->index, offsetCacheKey(offset), e, &e->indexEntry);
  offsetCacheAppend(c, e);
  c->used += length;
  offsetCacheLog(c, "Alloc (%I64d) (%d)\n", offset, length);
  return 1;
}

int OffsetCache_SetSize(OffsetCache *c, int32_t bytes) {
  OFFSETCACHE_CHECK(c);
  OffsetCacheLock lock(c);
  offsetCacheEvictAll(c);
  if (bytes < 0) bytes = 0;
  BlockPool_SetSize(c->blockPool, bytes);
  c->size = bytes;
  return 1;
}

int OffsetCache_Clear(OffsetCache *c) {
  OFFSETCACHE_CHECK(c);
  OffsetCacheLock lock(c);
  offsetCacheEvictAll(c);
  return 1;
}

int OffsetCache_Reset(OffsetCache *c) {
  OFFSETCACHE_CHECK(c);
  OffsetCacheLock lock(c);
  offsetCacheEvictAll(c);
  c->hits = c->misses = 0;
  c->readBytes = 0;
  return 1;
}

int OffsetCache_GetStatus(OffsetCache *c, Dictionary *status) {
  OFFSETCACHE_CHECK(c);
  CHECK_POINTER(status);
  int32_t size, hits, misses, used;
  int64_t readBytes;
  {
    OffsetCacheLock lock(c);
    size = c->size, hits = c->hits, misses = c->misses, used = c->used;
    readBytes = c->readBytes;
  }
  Dictionary_SetInt32ByKey(status, "size", size);
  Dictionary_SetInt32ByKey(status, "hits", hits);
  Dictionary_SetInt32ByKey(status, "misses", misses);
  Dictionary_SetInt32ByKey(status, "used", used);
  Dictionary_SetInt64ByKey(status, "readBytes", readBytes);
  return 1;
}
