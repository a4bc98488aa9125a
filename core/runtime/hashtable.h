// HashTable: a chained hash table of 512 buckets that maps a fixed-size key
// area to a pointer value; copying, hashing and comparing keys go through
// three replaceable callbacks, so one table serves string keys, keys without
// regard to case, integer and binary keys, and keys that point to text.
//
// Invariants: (1) every entry is a member of the table's pool, carries
// kHashTableEntryTag, lies in the chain of bucket (hash % 512) and holds the
// hash of the key it was stored under. (2) the entry count equals the number
// of entries in all chains. (3) a key is stored only when the key-copy
// callback took it whole: a key that does not fit is refused, never cut, so
// every stored key is found again by the key it was set with. (4) a value is
// never NULL, so a lookup's NULL means "not found".
//
// Threads: one thread at a time; the owner serialises (the class system takes
// its lock around each call). Only the entry count is changed and read
// atomically, so HashTable_GetCount may run beside the owner.
#pragma once

#include <atomic>
#include <cstdint>

#include "core/runtime/class.h"
#include "core/runtime/pool.h"

constexpr uint32_t kHashTableTag = 0x3cf21d39;
constexpr uint32_t kHashTableEntryTag = 0x1e7d9d7a;
constexpr int32_t kHashTableBuckets = 512;  // fixed: the table never grows
// Room for a string key of 319 characters and its terminator.
constexpr int32_t kHashTableDefaultKeySize = 320;

struct HashTable;

// The head of every entry; the key area (key size bytes) follows it directly,
// at an 8-byte aligned offset, so a key area may hold a pointer.
struct HashTableEntry {
  uint32_t tag;
  uint32_t hash;
  void *value;
  HashTableEntry *prev;  // in the bucket's chain
  HashTableEntry *next;
  int32_t bucket;
};

// Copies key into the key area (keySize bytes); 1 when it was taken whole,
// 0 when it does not fit (the key is then not stored).
typedef int (*HashTableKeyCopyFunction)(void *context, HashTable *table, void *keyArea,
                                        int32_t keySize, const void *key);
typedef uint32_t (*HashTableHashFunction)(void *context, HashTable *table, const void *key);
// 1 when the stored key area matches the looked-up key.
typedef int (*HashTableCompareFunction)(void *context, HashTable *table, const void *keyArea,
                                        const void *key);

// A callback and the context it is called with.
template <typename Function>
struct HashTableCallback {
  void *context;
  Function function;
};

struct HashTable {
  ObjectHeader header;
  Pool *pool;                // the entries; member size = entry size
  HashTableEntry **buckets;  // kHashTableBuckets chain heads
  int32_t bucketCount;
  int32_t keySize;
  int32_t entrySize;  // sizeof(HashTableEntry) + keySize
  std::atomic<int32_t> count;
  HashTableCallback<HashTableKeyCopyFunction> keyCopy;
  HashTableCallback<HashTableHashFunction> hash;
  HashTableCallback<HashTableCompareFunction> compare;
};

// The key area of an entry.
inline void *HashTable_EntryKey(HashTableEntry *entry) { return entry + 1; }

// Creates an empty table with string keys of up to 319 characters (key size
// 320) and the string callbacks. Returns 1; stops the program on a NULL
// out-pointer.
int HashTable_Create(HashTable **table);

// Drops the caller's reference; the last one empties the table and frees it
// with its pool. Clears *table and returns 1. Stops the program on a NULL
// handle or table.
int HashTable_Release(HashTable **table);

// Sets the key area size (bytes, at least 1). A new size empties the table
// first.
void HashTable_SetKeySize(HashTable *table, int32_t bytes);

// Replace one callback; its context becomes NULL.
void HashTable_SetKeyCopyCallback(HashTable *table, HashTableKeyCopyFunction function);
void HashTable_SetHashCallback(HashTable *table, HashTableHashFunction function);
void HashTable_SetCompareCallback(HashTable *table, HashTableCompareFunction function);

// 1 with *entry set when the key is stored; 0 with *entry NULL otherwise.
int HashTable_Find(HashTable *table, const void *key, HashTableEntry **entry);

// 1 with *value set when the key is stored; 0 with *value NULL otherwise.
int HashTable_Get(HashTable *table, const void *key, void **value);

// Stores value under key, replacing the value of a stored key, and returns 1
// with the entry in *entry. Returns 0 with *entry NULL, after logging one
// line, when the key-copy callback refuses the key (a string longer than the
// key area allows). Stops the program on a NULL value or entry out-pointer.
int HashTable_Set(HashTable *table, const void *key, void *value, HashTableEntry **entry);

// 1 when an entry was removed, 0 when the key was not stored.
int HashTable_Remove(HashTable *table, const void *key);

// Removes the entry, clears *entry and returns 1. Stops the program when
// *entry is not a live entry ("Class mismatch pointer": a removed entry loses
// its tag).
int HashTable_RemoveEntry(HashTable *table, HashTableEntry **entry);

// Removes every entry.
void HashTable_Clear(HashTable *table);

// Iteration in bucket order, newest first within a bucket. 1 with *entry (or
// *next) set while entries remain, 0 with it NULL at the end. Removing the
// current entry invalidates it: take the next one first.
int HashTable_First(HashTable *table, HashTableEntry **entry);
int HashTable_Next(HashTable *table, HashTableEntry *entry, HashTableEntry **next);

// The entry's key area and value; either out-pointer may be NULL. Returns 1.
int HashTable_GetEntry(HashTable *table, HashTableEntry *entry, void **keyArea, void **value);

// The number of entries (atomic read). Returns 1.
int HashTable_GetCount(HashTable *table, int32_t *count);

// Built-in callbacks; the first three are the defaults.
//
// String keys: the key is NUL-terminated text, stored in the key area.
int HashTable_CopyStringKey(void *context, HashTable *table, void *keyArea, int32_t keySize,
                            const void *key);
// FNV-1a over the text's bytes, then a final mix that spreads the low bits
// the bucket index uses.
uint32_t HashTable_HashString(void *context, HashTable *table, const void *key);
int HashTable_CompareString(void *context, HashTable *table, const void *keyArea, const void *key);
// The same without regard to ASCII case.
uint32_t HashTable_HashStringNoCase(void *context, HashTable *table, const void *key);
int HashTable_CompareStringNoCase(void *context, HashTable *table, const void *keyArea,
                                  const void *key);

// Stores the key argument's own bytes (the pointer-sized value itself, at
// most keySize bytes of it): an integer, or the address of an object.
int HashTable_CopyKeyBytes(void *context, HashTable *table, void *keyArea, int32_t keySize,
                           const void *key);

// Keys that point to text: the key area holds a pointer stored by
// HashTable_CopyKeyBytes, lookups pass text. The text must outlive the entry.
uint32_t HashTable_HashStringPtr(void *context, HashTable *table, const void *key);
int HashTable_CompareStringPtr(void *context, HashTable *table, const void *keyArea,
                               const void *key);
int HashTable_CompareStringPtrNoCase(void *context, HashTable *table, const void *keyArea,
                                     const void *key);

// Integer keys: the key argument's value, of which 32 bits count.
uint32_t HashTable_HashInteger(void *context, HashTable *table, const void *key);
int HashTable_CompareInteger(void *context, HashTable *table, const void *keyArea, const void *key);
