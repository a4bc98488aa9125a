// OffsetCache: recently read byte ranges of the installation's content,
// keyed by their content offset, so that neighbouring deltas that refer to
// the same local pieces read them once. Bytes live in a BlockPool; when it
// is full the least recently used ranges go first.
//
// Invariants: (1) every entry is in the use list (least recently used
// first) and in the offset index, under one offset each. (2) used is the sum
// of the entries' lengths; each entry holds ceil(length / 4096) blocks of the
// pool. (3) size 0 means off: no entries, no blocks, and Get counts no miss.
//
// Threads: any thread. Every operation holds the cache's lock; the pool, the
// index and the entry records are touched only under it. OffsetCache_Get
// hands out a pointer that a later Put on another thread may reuse: threads
// that share a cache read through OffsetCache_Copy.
#pragma once

#include <cstdint>

#include "base/blockpool.h"
#include "core/formats/dictionary.h"
#include "core/runtime/class.h"
#include "core/runtime/critsection.h"
#include "core/runtime/hashtable.h"
#include "core/runtime/pool.h"

constexpr uint32_t kOffsetCacheTag = 0x61c3f0b5;

struct OffsetCacheEntry {
  int64_t offset;  // the key
  int32_t length;
  uint8_t *bytes;  // in the block pool
  HashTableEntry *indexEntry;
  OffsetCacheEntry *prev;
  OffsetCacheEntry *next;
};

struct OffsetCache {
  ObjectHeader header;  // kOffsetCacheTag
  CriticalSection *lock;
  OffsetCacheEntry *first;  // least recently used
  OffsetCacheEntry *last;   // most recently used
  int32_t count;
  BlockPool *blockPool;
  Pool *entries;     // OffsetCacheEntry records, ten a chunk
  HashTable *index;  // offset -> entry
  int32_t size;      // capacity in bytes; 0: off
  int32_t used;
  int32_t hits;
  int32_t misses;
  int64_t readBytes;  // served from the cache
  ClassLog log;       // "OffsetCache"
};

// An empty cache of size 0 (off). Returns 1.
int OffsetCache_Create(OffsetCache **cache);

// A hit: 1 with the range's bytes and length; the entry becomes the most
// recently used, hits and readBytes grow. A miss: 0 (misses + 1). Off: 0.
// The pointer stays valid only while no other thread stores: see the
// threading rule above.
int OffsetCache_Get(OffsetCache *cache, const uint8_t **pointer, int64_t offset, int32_t *length);
// As OffsetCache_Get, but copies the range into destination while the lock
// is held. A range longer than capacity is not copied: 0, counted as a miss.
int OffsetCache_Copy(OffsetCache *cache, int64_t offset, void *destination, int32_t capacity,
                     int32_t *length);
// Stores a copy of length bytes (at least 1, else the program stops) under
// offset, evicting the least recently used ranges for room. An existing
// entry of that offset only becomes the most recently used. 1 when the range
// is held afterwards; 0 when the cache is off or cannot make room.
int OffsetCache_Put(OffsetCache *cache, const void *data, int64_t offset, int32_t length);
// Empties the cache and sets its capacity (0: off). Returns 1.
int OffsetCache_SetSize(OffsetCache *cache, int32_t bytes);
// Evicts every entry. Returns 1.
int OffsetCache_Clear(OffsetCache *cache);
// Evicts every entry and zeroes hits, misses and readBytes. Returns 1.
int OffsetCache_Reset(OffsetCache *cache);
// "size", "hits", "misses", "used" and "readBytes" into status. Returns 1.
int OffsetCache_GetStatus(OffsetCache *cache, Dictionary *status);
