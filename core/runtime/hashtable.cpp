// Chained hash table; see hashtable.h.
#include "core/runtime/hashtable.h"

#include <cstring>
#include <new>

#include "core/runtime/log.h"
#include "core/runtime/memory.h"

namespace {

constexpr uint32_t kHashTableFnvBasis = 0x811c9dc5;
constexpr uint32_t kHashTableFnvPrime = 16777619;
constexpr int32_t kHashTableEntriesPerChunk = 10;
// Far above any real key; keeps the entry size well inside 32 bits.
constexpr int32_t kHashTableMaxKeySize = 1 << 20;

static_assert(sizeof(HashTableEntry) % 8 == 0, "key areas must be 8-byte aligned");

inline uint8_t hashTableLower(uint8_t c) { return (c >= 'A' && c <= 'Z') ? uint8_t(c + 32) : c; }

// FNV-1a spreads poorly into the low bits that pick the bucket; the mix
// folds the high bits down.
inline uint32_t hashTableMix(uint32_t h) {
  h *= 8193;
  h ^= h >> 7;
  h *= 9;
  h ^= h >> 17;
  h *= 33;
  return h;
}

// FNV-1a of length bytes. Each byte waits for the previous product, so the
// count is taken first (strlen is vectorised): the loop then runs a known
// number of steps, four at a time, instead of testing every byte.
inline uint32_t hashTableFnvBytes(const uint8_t *p, size_t length) {
  uint32_t h = kHashTableFnvBasis;
  size_t i = 0;
  for (; i + 4 <= length; i += 4) {
    h = (h ^ p[i]) * kHashTableFnvPrime;
    h = (h ^ p[i + 1]) * kHashTableFnvPrime;
    h = (h ^ p[i + 2]) * kHashTableFnvPrime;
    h = (h ^ p[i + 3]) * kHashTableFnvPrime;
  }
  for (; i < length; i++) h = (h ^ p[i]) * kHashTableFnvPrime;
  return h;
}

inline uint32_t hashTableFnv(const char *text) {
  return hashTableFnvBytes(reinterpret_cast<const uint8_t *>(text), strlen(text));
}

inline uint32_t hashTableFnvNoCase(const char *text) {
  uint32_t h = kHashTableFnvBasis;
  for (const auto *p = reinterpret_cast<const uint8_t *>(text); *p != 0; p++) {
    h ^= hashTableLower(*p);
    h *= kHashTableFnvPrime;
  }
  return h;
}

int hashTableEqualNoCase(const char *a, const char *b) {
  const auto *x = reinterpret_cast<const uint8_t *>(a);
  const auto *y = reinterpret_cast<const uint8_t *>(b);
  while (*x != 0 && hashTableLower(*x) == hashTableLower(*y)) x++, y++;
  return hashTableLower(*x) == hashTableLower(*y);
}

// The text a pointer-to-text key area points to.
inline const char *hashTableStoredText(const void *keyArea) {
  const char *text;
  memcpy(&text, keyArea, sizeof text);
  return text;
}

inline uint32_t hashTableIntegerOf(const void *key) {
  return uint32_t(reinterpret_cast<uintptr_t>(key));
}

void hashTableCheckEntry(const HashTableEntry *entry, const char *sourcePath, int line) {
  if (entry == nullptr) Core_Abort(sourcePath, line, "Pointer is NULL\n");
  if (entry->tag != kHashTableEntryTag)
    Core_Abort(sourcePath, line, "Class mismatch pointer (0x%p: expected 0x%08x but was 0x%08x)\n",
               entry, kHashTableEntryTag, entry->tag);
}

inline uint32_t hashTableBucketOf(uint32_t hash) { return hash % uint32_t(kHashTableBuckets); }

// A key as the table looks it up: its hash and, for the default string
// callbacks, its length.
struct HashTableProbe {
  uint32_t hash;
  bool plainString;  // default hash and compare: compare length + 1 bytes
  size_t length;
};

// The default string callbacks are used directly, not through their cells:
// the hash is most of a lookup's cost, and knowing the key's length turns the
// compare into one memcmp.
inline HashTableProbe hashTableProbe(HashTable *table, const void *key) {
  if (table->hash.function == HashTable_HashString &&
      table->compare.function == HashTable_CompareString) {
    CHECK_POINTER(key);
    size_t length = strlen(static_cast<const char *>(key));
    uint32_t hash = hashTableMix(hashTableFnvBytes(static_cast<const uint8_t *>(key), length));
    return {hash, true, length};
  }
  return {table->hash.function(table->hash.context, table, key), false, 0};
}

HashTableEntry *hashTableLookup(HashTable *table, const void *key, const HashTableProbe &probe) {
  HashTableEntry *entry = table->buckets[hashTableBucketOf(probe.hash)];
  if (probe.plainString) {
    // Stored keys are shorter than the key area, so a key that fills it
    // cannot match, and the compare stays inside the key area.
    if (probe.length >= size_t(table->keySize)) return nullptr;
    for (; entry != nullptr; entry = entry->next)
      if (entry->hash == probe.hash &&
          memcmp(HashTable_EntryKey(entry), key, probe.length + 1) == 0)
        return entry;
    return nullptr;
  }
  HashTableCompareFunction compare = table->compare.function;
  void *context = table->compare.context;
  for (; entry != nullptr; entry = entry->next)
    if (entry->hash == probe.hash && compare(context, table, HashTable_EntryKey(entry), key))
      return entry;
  return nullptr;
}

HashTableEntry *hashTableFirstFrom(HashTable *table, int32_t bucket) {
  for (; bucket < table->bucketCount; bucket++)
    if (table->buckets[bucket] != nullptr) return table->buckets[bucket];
  return nullptr;
}

void hashTableEmpty(HashTable *table) {
  // Entries lose their tag, so a handle kept across the clear is caught
  // instead of unlinking a reused member.
  for (int32_t bucket = 0; bucket < table->bucketCount; bucket++) {
    for (HashTableEntry *entry = table->buckets[bucket]; entry != nullptr; entry = entry->next)
      entry->tag = 0;
    table->buckets[bucket] = nullptr;
  }
  Pool_Reset(table->pool);
  table->count.store(0);
}

void hashTableDestroy(void **object) {
  auto *table = static_cast<HashTable *>(*object);
  hashTableEmpty(table);
  Mem_Free(table->buckets, int64_t(table->bucketCount) * int64_t(sizeof(HashTableEntry *)), KSRC);
  Pool_Release(&table->pool);
  table->header.classTag = 0;
  table->~HashTable();
  Mem_Free(table, sizeof(HashTable), KSRC);
}

}  // namespace

int HashTable_Create(HashTable **table) {
  CHECK_POINTER(table);
  auto *created = new (Mem_Alloc(sizeof(HashTable), MEM_ZEROED, KSRC)) HashTable();
  created->header.classTag = kHashTableTag;
  created->header.refCount.store(1, std::memory_order_relaxed);
  created->header.destroy = hashTableDestroy;
  created->buckets = static_cast<HashTableEntry **>(
      Mem_Alloc(kHashTableBuckets * int64_t(sizeof(HashTableEntry *)), MEM_ZEROED, KSRC));
  created->bucketCount = kHashTableBuckets;
  created->keySize = kHashTableDefaultKeySize;
  created->entrySize = int32_t(sizeof(HashTableEntry)) + kHashTableDefaultKeySize;
  created->keyCopy = {nullptr, HashTable_CopyStringKey};
  created->hash = {nullptr, HashTable_HashString};
  created->compare = {nullptr, HashTable_CompareString};
  Pool_Create(&created->pool, KSRC);
  Pool_SetMemberSize(created->pool, created->entrySize);
  Pool_SetMemberChunkSize(created->pool, kHashTableEntriesPerChunk);
  *table = created;
  return 1;
}

int HashTable_Release(HashTable **table) {
  CHECK_POINTER(table);
  CLASS_CHECK(*table, kHashTableTag);
  Class_ReleaseObject(table);
  return 1;
}

void HashTable_SetKeySize(HashTable *table, int32_t bytes) {
  CLASS_CHECK(table, kHashTableTag);
  if (bytes < 1 || bytes > kHashTableMaxKeySize)
    Core_Abort(KSRC, "Invalid hash table key size (%d)\n", bytes);
  if (bytes == table->keySize) return;
  hashTableEmpty(table);
  table->keySize = bytes;
  table->entrySize = int32_t(sizeof(HashTableEntry)) + bytes;
  Pool_SetMemberSize(table->pool, table->entrySize);
}

void HashTable_SetKeyCopyCallback(HashTable *table, HashTableKeyCopyFunction function) {
  CLASS_CHECK(table, kHashTableTag);
  table->keyCopy = {nullptr, function};
}

void HashTable_SetHashCallback(HashTable *table, HashTableHashFunction function) {
  CLASS_CHECK(table, kHashTableTag);
  table->hash = {nullptr, function};
}

void HashTable_SetCompareCallback(HashTable *table, HashTableCompareFunction function) {
  CLASS_CHECK(table, kHashTableTag);
  table->compare = {nullptr, function};
}

int HashTable_Find(HashTable *table, const void *key, HashTableEntry **entry) {
  CLASS_CHECK(table, kHashTableTag);
  CHECK_POINTER(entry);
  *entry = hashTableLookup(table, key, hashTableProbe(table, key));
  return *entry != nullptr;
}

int HashTable_Get(HashTable *table, const void *key, void **value) {
  CLASS_CHECK(table, kHashTableTag);
  CHECK_POINTER(value);
  HashTableEntry *entry = hashTableLookup(table, key, hashTableProbe(table, key));
  *value = entry ? entry->value : nullptr;
  return entry != nullptr;
}

int HashTable_Set(HashTable *table, const void *key, void *value, HashTableEntry **entry) {
  CLASS_CHECK(table, kHashTableTag);
  CHECK_POINTER(value);
  CHECK_POINTER(entry);
  HashTableProbe probe = hashTableProbe(table, key);
  HashTableEntry *found = hashTableLookup(table, key, probe);
  if (found != nullptr) {
    found->value = value;
    *entry = found;
    return 1;
  }
  auto *created = static_cast<HashTableEntry *>(Pool_Alloc(table->pool, table->entrySize, KSRC));
  if (!table->keyCopy.function(table->keyCopy.context, table, HashTable_EntryKey(created),
                               table->keySize, key)) {
    // Storing a cut key would hash one text and hold another: the entry
    // could never be found again and every retry would add one more.
    void *member = created;
    Pool_Free(table->pool, &member, table->entrySize, KSRC);
    Log_Print(LOG_ERROR, KSRC, 0, "Hash table key refused: it does not fit the %d-byte key area\n",
              table->keySize);
    *entry = nullptr;
    return 0;
  }
  uint32_t bucket = hashTableBucketOf(probe.hash);
  created->tag = kHashTableEntryTag;
  created->hash = probe.hash;
  created->value = value;
  created->bucket = int32_t(bucket);
  created->prev = nullptr;
  created->next = table->buckets[bucket];
  if (created->next != nullptr) created->next->prev = created;
  table->buckets[bucket] = created;
  table->count.fetch_add(1);
  *entry = created;
  return 1;
}

int HashTable_Remove(HashTable *table, const void *key) {
  CLASS_CHECK(table, kHashTableTag);
  HashTableEntry *entry = hashTableLookup(table, key, hashTableProbe(table, key));
  if (entry == nullptr) return 0;
  return HashTable_RemoveEntry(table, &entry);
}

int HashTable_RemoveEntry(HashTable *table, HashTableEntry **entry) {
  CLASS_CHECK(table, kHashTableTag);
  CHECK_POINTER(entry);
  HashTableEntry *removed = *entry;
  hashTableCheckEntry(removed, KSRC);
  if (removed->prev != nullptr)
    removed->prev->next = removed->next;
  else
    table->buckets[removed->bucket] = removed->next;
  if (removed->next != nullptr) removed->next->prev = removed->prev;
  removed->tag = 0;
  void *member = removed;
  Pool_Free(table->pool, &member, table->entrySize, KSRC);
  table->count.fetch_sub(1);
  *entry = nullptr;
  return 1;
}

void HashTable_Clear(HashTable *table) {
  CLASS_CHECK(table, kHashTableTag);
  hashTableEmpty(table);
}

int HashTable_First(HashTable *table, HashTableEntry **entry) {
  CLASS_CHECK(table, kHashTableTag);
  CHECK_POINTER(entry);
  *entry = hashTableFirstFrom(table, 0);
  return *entry != nullptr;
}

int HashTable_Next(HashTable *table, HashTableEntry *entry, HashTableEntry **next) {
  CLASS_CHECK(table, kHashTableTag);
  CHECK_POINTER(next);
  hashTableCheckEntry(entry, KSRC);
  *next = entry->next ? entry->next : hashTableFirstFrom(table, entry->bucket + 1);
  return *next != nullptr;
}

int HashTable_GetEntry(HashTable *table, HashTableEntry *entry, void **keyArea, void **value) {
  CLASS_CHECK(table, kHashTableTag);
  hashTableCheckEntry(entry, KSRC);
  if (keyArea) *keyArea = HashTable_EntryKey(entry);
  if (value) *value = entry->value;
  return 1;
}

int HashTable_GetCount(HashTable *table, int32_t *count) {
  CLASS_CHECK(table, kHashTableTag);
  CHECK_POINTER(count);
  *count = table->count.load();
  return 1;
}

int HashTable_CopyStringKey(void *, HashTable *, void *keyArea, int32_t keySize, const void *key) {
  CHECK_POINTER(key);
  // Only the first keySize bytes are looked at: the terminator must be
  // among them.
  const void *end = memchr(key, 0, size_t(keySize));
  if (end == nullptr) return 0;
  memcpy(keyArea, key, size_t(static_cast<const char *>(end) - static_cast<const char *>(key)) + 1);
  return 1;
}

uint32_t HashTable_HashString(void *, HashTable *, const void *key) {
  CHECK_POINTER(key);
  return hashTableMix(hashTableFnv(static_cast<const char *>(key)));
}

int HashTable_CompareString(void *, HashTable *, const void *keyArea, const void *key) {
  return strcmp(static_cast<const char *>(keyArea), static_cast<const char *>(key)) == 0;
}

uint32_t HashTable_HashStringNoCase(void *, HashTable *, const void *key) {
  CHECK_POINTER(key);
  return hashTableMix(hashTableFnvNoCase(static_cast<const char *>(key)));
}

int HashTable_CompareStringNoCase(void *, HashTable *, const void *keyArea, const void *key) {
  return hashTableEqualNoCase(static_cast<const char *>(keyArea), static_cast<const char *>(key));
}

int HashTable_CopyKeyBytes(void *, HashTable *, void *keyArea, int32_t keySize, const void *key) {
  size_t bytes = size_t(keySize) < sizeof key ? size_t(keySize) : sizeof key;
  memcpy(keyArea, &key, bytes);
  return 1;
}

uint32_t HashTable_HashStringPtr(void *context, HashTable *table, const void *key) {
  return HashTable_HashString(context, table, key);
}

int HashTable_CompareStringPtr(void *, HashTable *, const void *keyArea, const void *key) {
  return strcmp(hashTableStoredText(keyArea), static_cast<const char *>(key)) == 0;
}

int HashTable_CompareStringPtrNoCase(void *, HashTable *, const void *keyArea, const void *key) {
  return hashTableEqualNoCase(hashTableStoredText(keyArea), static_cast<const char *>(key));
}

uint32_t HashTable_HashInteger(void *, HashTable *, const void *key) {
  uint32_t k = hashTableIntegerOf(key);
  k += ~(k << 15);
  k ^= k >> 10;
  k *= 9;
  k ^= k >> 6;
  k += ~(k << 11);
  k ^= k >> 16;
  return k;
}

int HashTable_CompareInteger(void *, HashTable *, const void *keyArea, const void *key) {
  uint32_t stored;
  memcpy(&stored, keyArea, sizeof stored);
  return stored == hashTableIntegerOf(key);
}
