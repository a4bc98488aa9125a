// The key index of a large container: an open-addressed table from each
// distinct key to the first item that carries it and the number of items
// that do; see dictionary.h (invariant 6) and dictionary_internal.h.
//
// The index is built on the first keyed lookup in a container of more than
// kDictionaryIndexMinItems items and from then on follows every change of a
// key (add, rename, removal), so reading a document of many sections or
// merging many keys costs a constant per key instead of a walk of the
// container. Duplicates keep their order rule: the slot always names the
// earliest item of its key, which is what a walk from the front would find.
#include <cassert>
#include <cstring>

#include "core/formats/dictionary.h"
#include "core/formats/dictionary_internal.h"
#include "core/runtime/memory.h"

// 16 bytes: a probe of a large table is a cache miss, so slots are kept
// small and the hash spares most key comparisons.
struct DictionaryKeySlot {
  DictionaryItem *first;  // NULL: an empty or a deleted slot
  uint32_t hash;
  int32_t count;  // items that carry the key; -1 marks a deleted slot
};
static_assert(sizeof(DictionaryKeySlot) == 16);

struct DictionaryKeyIndex {
  DictionaryKeySlot *slots;
  int32_t capacity;       // a power of two
  int32_t keys;           // live slots
  int32_t deleted;        // slots marked deleted; they count toward the load
  uint8_t caseSensitive;  // the rule the hashes were made with
};

namespace {

// Live and deleted slots together stay at or below half the table, so a
// probe always meets an empty slot soon.
constexpr int32_t kIndexMinSlots = 64;

// FNV-1a over the bytes (ASCII letters folded for a container that ignores
// case), then a final mix so that the low bits the table uses depend on every
// byte.
uint32_t indexHash(bool caseSensitive, const char *key, int32_t length) {
  uint64_t h = 0xcbf29ce484222325ull;
  for (int32_t i = 0; i < length; i++) {
    auto c = uint8_t(key[i]);
    if (!caseSensitive && c >= 'A' && c <= 'Z') c = uint8_t(c + 32);
    h = (h ^ c) * 0x100000001b3ull;
  }
  h ^= h >> 33;
  h *= 0xff51afd7ed558ccdull;
  h ^= h >> 33;
  return uint32_t(h);
}

DictionaryKeyIndex *indexOf(const Dictionary *d) {
  DictionarySide *side = d->side.load(std::memory_order_acquire);
  return side != nullptr ? side->keyIndex : nullptr;
}

void indexDrop(Dictionary *d) {
  DictionarySide *side = d->side.load(std::memory_order_acquire);
  if (side != nullptr) dictionaryIndexRelease(&side->keyIndex);
}

DictionaryKeySlot *indexNewSlots(int32_t capacity) {
  return static_cast<DictionaryKeySlot *>(
      MEM_ALLOC(int64_t(capacity) * int64_t(sizeof(DictionaryKeySlot)), MEM_ZEROED));
}

// The live slot of the key, or NULL; *vacant (when asked for) receives the
// slot where the key would go.
DictionaryKeySlot *indexProbe(const Dictionary *d, DictionaryKeyIndex *x, uint32_t hash,
                              const char *key, int32_t length, DictionaryKeySlot **vacant) {
  uint32_t mask = uint32_t(x->capacity) - 1;
  DictionaryKeySlot *reusable = nullptr;
  for (uint32_t i = hash & mask;; i = (i + 1) & mask) {
    DictionaryKeySlot *s = &x->slots[i];
    if (s->first == nullptr) {
      if (s->count == 0) {
        if (vacant != nullptr) *vacant = reusable != nullptr ? reusable : s;
        return nullptr;
      }
      if (reusable == nullptr) reusable = s;
    } else if (s->hash == hash && dictionaryKeyEquals(d, s->first, key, length)) {
      return s;
    }
  }
}

// Places a slot of a key known to be absent; the table has room.
void indexPlace(DictionaryKeyIndex *x, const DictionaryKeySlot &slot) {
  uint32_t mask = uint32_t(x->capacity) - 1;
  uint32_t i = slot.hash & mask;
  while (x->slots[i].first != nullptr) i = (i + 1) & mask;
  x->slots[i] = slot;
}

int32_t indexCapacityFor(int64_t keys) {
  int64_t capacity = kIndexMinSlots;
  while (capacity < keys * 2 + 2) capacity *= 2;
  return int32_t(capacity);
}

// A table sized for the live keys, without deleted slots.
void indexRehash(DictionaryKeyIndex *x, int32_t capacity) {
  DictionaryKeySlot *old = x->slots;
  int32_t oldCapacity = x->capacity;
  x->slots = indexNewSlots(capacity);
  x->capacity = capacity;
  x->deleted = 0;
  for (int32_t i = 0; i < oldCapacity; i++)
    if (old[i].first != nullptr) indexPlace(x, old[i]);
  MEM_FREE(old, int64_t(oldCapacity) * int64_t(sizeof(DictionaryKeySlot)));
}

// Counts item under its key; a key not seen yet gets a slot naming item.
// Returns the slot.
DictionaryKeySlot *indexCount(const Dictionary *d, DictionaryKeyIndex *x, DictionaryItem *item) {
  uint32_t hash = indexHash(x->caseSensitive, item->key, item->keyLength);
  DictionaryKeySlot *vacant = nullptr;
  DictionaryKeySlot *s = indexProbe(d, x, hash, item->key, item->keyLength, &vacant);
  if (s != nullptr) {
    s->count++;
    return s;
  }
  if (int64_t(x->keys + x->deleted + 1) * 2 > x->capacity) {
    indexRehash(x, indexCapacityFor(int64_t(x->keys) + 1));
    indexPlace(x, DictionaryKeySlot{item, hash, 1});
  } else {
    if (vacant->count < 0) x->deleted--;
    *vacant = DictionaryKeySlot{item, hash, 1};
  }
  x->keys++;
  return nullptr;
}

DictionaryKeyIndex *indexBuild(Dictionary *d) {
  auto *x = static_cast<DictionaryKeyIndex *>(MEM_ALLOC(sizeof(DictionaryKeyIndex), MEM_ZEROED));
  x->capacity = indexCapacityFor(d->items.count);
  x->slots = indexNewSlots(x->capacity);
  x->caseSensitive = d->caseSensitive;
  // In order, so the first item of every key is the one its slot keeps.
  for (DictionaryItem *item = d->items.first; item != nullptr; item = item->next)
    if (item->key != nullptr) indexCount(d, x, item);
  dictionarySide(d)->keyIndex = x;
  return x;
}

// The container's index, built when it is large enough to pay; NULL when a
// walk is the way. An index made under the other case rule is rebuilt.
DictionaryKeyIndex *indexFor(Dictionary *d) {
  DictionaryKeyIndex *x = indexOf(d);
  if (x != nullptr && x->caseSensitive != d->caseSensitive) {
    indexDrop(d);
    x = nullptr;
  }
  if (x == nullptr && d->items.count > kDictionaryIndexMinItems) x = indexBuild(d);
  return x;
}

// An index that a change must keep; one made under the other case rule is
// dropped instead (the next lookup builds it again).
DictionaryKeyIndex *indexToKeep(Dictionary *d) {
  DictionaryKeyIndex *x = indexOf(d);
  if (x != nullptr && x->caseSensitive != d->caseSensitive) {
    indexDrop(d);
    return nullptr;
  }
  return x;
}

// a comes before b in their container (a != b): a walk out from a in both
// directions, so the cost is the distance between the two.
bool indexComesBefore(const DictionaryItem *a, const DictionaryItem *b) {
  const DictionaryItem *ahead = a->next;
  const DictionaryItem *behind = a->prev;
  for (;;) {
    if (ahead == b) return true;
    if (behind == b) return false;
    assert(ahead != nullptr || behind != nullptr);
    if (ahead == nullptr && behind == nullptr) return false;
    if (ahead != nullptr) ahead = ahead->next;
    if (behind != nullptr) behind = behind->prev;
  }
}

DictionaryItem *indexWalkFrom(Dictionary *d, DictionaryItem *from, const char *key,
                              int32_t length) {
  for (DictionaryItem *item = from; item != nullptr; item = item->next)
    if (dictionaryKeyEquals(d, item, key, length)) return item;
  return nullptr;
}

}  // namespace

void dictionaryIndexRelease(DictionaryKeyIndex **index) {
  DictionaryKeyIndex *x = *index;
  if (x == nullptr) return;
  *index = nullptr;
  MEM_FREE(x->slots, int64_t(x->capacity) * int64_t(sizeof(DictionaryKeySlot)));
  MEM_FREE(x, sizeof(DictionaryKeyIndex));
}

void dictionaryIndexKeySet(Dictionary *d, DictionaryItem *item) {
  DictionaryKeyIndex *x = indexToKeep(d);
  if (x == nullptr) return;
  DictionaryKeySlot *s = indexCount(d, x, item);
  // A duplicate placed before the item its slot names is now the first.
  if (s != nullptr && item->next != nullptr && indexComesBefore(item, s->first)) s->first = item;
}

void dictionaryIndexKeyDropping(Dictionary *d, DictionaryItem *item) {
  DictionaryKeyIndex *x = indexToKeep(d);
  if (x == nullptr) return;
  if (d->items.count <= kDictionaryIndexMinItems) {
    indexDrop(d);
    return;
  }
  uint32_t hash = indexHash(x->caseSensitive, item->key, item->keyLength);
  DictionaryKeySlot *s = indexProbe(d, x, hash, item->key, item->keyLength, nullptr);
  assert(s != nullptr);
  if (s == nullptr) return;
  if (--s->count == 0) {
    *s = DictionaryKeySlot{nullptr, 0, -1};
    x->keys--;
    x->deleted++;
  } else if (s->first == item) {
    s->first = indexWalkFrom(d, item->next, item->key, item->keyLength);
    assert(s->first != nullptr);
  }
}

DictionaryItem *dictionaryFirstWithKey(Dictionary *d, const char *key, int32_t length) {
  DictionaryKeyIndex *x = indexFor(d);
  if (x == nullptr) return indexWalkFrom(d, d->items.first, key, length);
  DictionaryKeySlot *s =
      indexProbe(d, x, indexHash(x->caseSensitive, key, length), key, length, nullptr);
  return s != nullptr ? s->first : nullptr;
}

DictionaryItem *dictionaryNextWithKey(Dictionary *d, DictionaryItem *previous, const char *key,
                                      int32_t length) {
  if (DictionaryKeyIndex *x = indexToKeep(d)) {
    DictionaryKeySlot *s =
        indexProbe(d, x, indexHash(x->caseSensitive, key, length), key, length, nullptr);
    if (s == nullptr || s->count == 1) return nullptr;
  }
  return indexWalkFrom(d, previous->next, key, length);
}

DictionaryItem *dictionaryFindKeyFrom(Dictionary *d, DictionaryItem *start, const char *key,
                                      int32_t length) {
  if (start == nullptr || start == d->items.first) return dictionaryFirstWithKey(d, key, length);
  DictionaryKeyIndex *x = indexFor(d);
  if (x == nullptr) return indexWalkFrom(d, start, key, length);
  DictionaryKeySlot *s =
      indexProbe(d, x, indexHash(x->caseSensitive, key, length), key, length, nullptr);
  if (s == nullptr) return nullptr;
  if (s->first == start) return start;
  // A key carried once is either at start's side or behind it.
  if (s->count == 1) return indexComesBefore(start, s->first) ? s->first : nullptr;
  return indexWalkFrom(d, start, key, length);
}
