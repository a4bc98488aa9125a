// Dictionary records, pools, keys, items, values, change callbacks, settings
// and the operation table; see dictionary.h. Paths live in
// dictionary_path.cpp, key/value text and the visitors in dictionary_text.cpp.
#include "core/formats/dictionary.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <new>

#include "core/formats/dictionary_internal.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/pool.h"
#include "core/runtime/print.h"
#include "core/runtime/str.h"

namespace {

// textOrigin bits: the text came from the tree's string pool, not from
// tracked memory. Kept per text because the flag may change while texts live.
constexpr uint8_t kDictionaryKeyFromPool = 0x1;
constexpr uint8_t kDictionaryValueFromPool = 0x2;

// String-pool blocks: the first holds a small tree's texts; each further
// one doubles, up to the largest, so that a large document takes few blocks
// and a small tree does not hold a large one.
constexpr int64_t kDictionaryTextBlockFirstBytes = 2048;
constexpr int64_t kDictionaryTextBlockMaxBytes = 65536;
// A text of more than this gets a block of its own, so that it does not cut
// short the block the next texts are carved from.
constexpr int64_t kDictionaryTextOwnBlockBytes = kDictionaryTextBlockMaxBytes / 4;
// A large tree takes its records and texts in larger pieces, up to a
// sixteenth of what it holds already (so that the room not yet used stays
// small beside it) and at most this: pieces of several megabytes are backed
// by large pages (Mem_AdviseBulk), which spares most page faults.
constexpr int64_t kDictionaryBulkShare = 16;
constexpr int64_t kDictionaryBulkMaxBytes = int64_t(8) << 20;
// Blocks held by a tree whose pooled texts have all been freed go back once
// they hold more than this (an emptied string pool gives its chunks back).
constexpr int64_t kDictionaryTextResetBytes = 10240;
// Float text: the longest shortest-round-trip double is 24 characters.
constexpr int kDictionaryFloatTextBytes = 32;

// A name that log lines carry; interned on the root so that child containers
// can hold a plain pointer to it.
struct DictionaryLogName {
  DictionaryLogName *next;
  int64_t bytes;  // of the whole block
  char *Text() { return reinterpret_cast<char *>(this + 1); }
};

// The root record: a container plus what the whole tree shares.
// Records not yet handed out, carved from one pool piece of pool-growth
// records (see dictionaryRecordNew).
struct DictionarySlab {
  char *next;
  char *end;
  int64_t carved;  // records handed out of slabs so far
};

// A block of pooled texts; the texts follow the header.
struct DictionaryTextBlock {
  DictionaryTextBlock *next;
  int64_t bytes;  // of the whole block
};

// The tree's pooled texts: carved one after another from the newest block
// and given back all at once (a text given back alone only counts down).
struct DictionaryTexts {
  bool on;                     // made (the root's string-pool flag was set)
  DictionaryTextBlock *blocks;  // newest first, except blocks of one large text
  char *next;                  // room left in the newest block
  char *end;
  int64_t live;       // texts handed out and not given back
  int64_t held;       // bytes of all blocks
  int64_t nextBytes;  // size of the next ordinary block
};

struct DictionaryRoot {
  Dictionary base;  // first, so a root's Dictionary pointer is its DictionaryRoot
  Pool *containerPool;  // records of child containers (see dictionaryRecordNew)
  Pool *itemPool;       // records of items
  Dictionary *freeContainers;  // given-back records (see dictionaryRecordLink)
  DictionaryItem *freeItems;
  DictionarySlab containerSlab;
  DictionarySlab itemSlab;
  DictionaryTexts texts;
  DictionaryLogName *logNames;
  // Texts of the tree from tracked memory, and side records of its child
  // containers: what a release has to give back one by one. Without either,
  // and without observers, a release or clear of the root gives back whole
  // blocks and never visits the items. Side records may be made from another
  // thread (an observer set there), hence the atomic count.
  int64_t trackedTexts;
  std::atomic<int64_t> childSides;
  // Set once a callback or hook cell of any container has been set; until
  // then no change needs the walk up to the root to look for callbacks (a
  // side record made only for a log name or a key index does not count).
  std::atomic<bool> observed;
};

DictionaryRoot *dictionaryRootOf(const Dictionary *d) {
  return reinterpret_cast<DictionaryRoot *>(d->root);
}

// ---- Pools and texts -------------------------------------------------------

// Item and container records are carved from string-mode pools: a
// fixed-mode pool keeps a 32-byte descriptor beside every member, which would
// add two thirds to an item. Each pool piece is a slab of pool-growth records
// handed out one after another, so a record costs its own size and nothing
// more. Records that are given back wait on the root's free lists for reuse;
// the chunks go back when the root is cleared or released, as a fixed pool's
// would.
// A piece of a string-mode pool is followed by kRecordSlackBytes of slack;
// asking for the slab plus the rest of a word keeps every record 8-byte
// aligned.
constexpr int32_t kRecordSlackBytes = 4;
constexpr int32_t kRecordAskBytes = 8 - kRecordSlackBytes;
static_assert(sizeof(DictionaryItem) % 8 == 0 && sizeof(Dictionary) % 8 == 0);

int32_t dictionarySlabRecords(int32_t growth) { return growth < 1 ? 1 : growth; }

Pool *dictionaryRecordPool(int32_t recordBytes, int32_t growth) {
  Pool *pool = nullptr;
  Pool_Create(&pool, KSRC);
  int64_t slab = int64_t(dictionarySlabRecords(growth)) * recordBytes;
  int64_t chunk = slab + kRecordAskBytes + kRecordSlackBytes + 8;  // one slab a chunk
  if (chunk > INT32_MAX / 2) chunk = INT32_MAX / 2;
  Pool_SetMemberSize(pool, int32_t(chunk));
  Pool_SetMemberChunkSize(pool, 1);
  Pool_SetStringMode(pool);
  return pool;
}

// A given-back record is linked through its second word, so that its class
// tag (the first word of an item, bytes 36-39 of a container) stays 0 and a
// stale pointer to it is stopped as a class mismatch.
void **dictionaryRecordLink(void *record) {
  return reinterpret_cast<void **>(static_cast<char *>(record) + 8);
}

void dictionaryRecordFree(void **freeList, void *record) {
  *dictionaryRecordLink(record) = *freeList;
  *freeList = record;
}

// A new slab for the next records: pool-growth records, or more once the
// tree is large (see kDictionaryBulkShare).
void dictionarySlabRefill(Pool *pool, DictionarySlab *slab, int32_t recordBytes, int32_t growth) {
  int64_t records = dictionarySlabRecords(growth);
  const int64_t bulk = slab->carved / kDictionaryBulkShare;
  if (bulk > records) records = bulk;
  if (records * recordBytes > kDictionaryBulkMaxBytes && records > growth)
    records = kDictionaryBulkMaxBytes / recordBytes > growth ? kDictionaryBulkMaxBytes / recordBytes
                                                             : growth;
  int64_t bytes = records * recordBytes;
  if (bytes > INT32_MAX / 2 - kRecordAskBytes) bytes = recordBytes;
  slab->next = static_cast<char *>(POOL_ALLOC(pool, int32_t(bytes) + kRecordAskBytes));
  slab->end = slab->next + bytes;
  Mem_AdviseBulk(slab->next, bytes);
}

// A record of Record's size, uncleared: a given-back one, else the next of
// the slab. Inline: a large document takes millions.
template <typename Record>
inline Record *dictionaryRecordTake(Pool *pool, Record **freeList, DictionarySlab *slab,
                                    int32_t growth) {
  constexpr int32_t kBytes = int32_t(sizeof(Record));
  if (Record *record = *freeList) {
    *freeList = static_cast<Record *>(*dictionaryRecordLink(record));
    return record;
  }
  if (slab->end - slab->next < kBytes) [[unlikely]]
    dictionarySlabRefill(pool, slab, kBytes, growth);
  auto *record = reinterpret_cast<Record *>(slab->next);
  
  slab->next += kBytes;
  slab->carved++;
  return record;
}

// The same, cleared.
template <typename Record>
inline Record *dictionaryRecordNew(Pool *pool, Record **freeList, DictionarySlab *slab,
                                   int32_t growth) {
  Record *record = dictionaryRecordTake(pool, freeList, slab, growth);
  memset(static_cast<void *>(record), 0, sizeof(Record));
  return record;
}

// Chunks go back at once; the free lists pointed into them.
void dictionaryResetRecords(DictionaryRoot *root) {
  if (root->containerPool != nullptr) Pool_Reset(root->containerPool);
  if (root->itemPool != nullptr) Pool_Reset(root->itemPool);
  root->freeContainers = nullptr;
  root->freeItems = nullptr;
  root->containerSlab = DictionarySlab{nullptr, nullptr, 0};
  root->itemSlab = DictionarySlab{nullptr, nullptr, 0};
}

void dictionaryMakePools(DictionaryRoot *root) {
  int32_t growth = root->base.poolGrowth;
  if (root->containerPool == nullptr)
    root->containerPool = dictionaryRecordPool(int32_t(sizeof(Dictionary)), growth);
  if (root->itemPool == nullptr)
    root->itemPool = dictionaryRecordPool(int32_t(sizeof(DictionaryItem)), growth);
  if (!root->texts.on && root->base.stringPool) {
    root->texts.on = true;
    root->texts.nextBytes = kDictionaryTextBlockFirstBytes;
  }
}

// Makes what the root's settings ask for and is not there yet; called before
// every new record, so the usual case is three tests inline.
inline void dictionaryEnsurePools(Dictionary *d) {
  DictionaryRoot *root = dictionaryRootOf(d);
  if (root->containerPool == nullptr || root->itemPool == nullptr ||
      (!root->texts.on && root->base.stringPool))
    dictionaryMakePools(root);
}

// Gives back every text block.
void dictionaryTextsReset(DictionaryTexts *texts) {
  while (DictionaryTextBlock *block = texts->blocks) {
    texts->blocks = block->next;
    MEM_FREE(block, block->bytes);
  }
  texts->next = texts->end = nullptr;
  texts->live = 0;
  texts->held = 0;
  texts->nextBytes = kDictionaryTextBlockFirstBytes;
}

// Room for bytes more in a new block: an ordinary one becomes the block
// texts are carved from, one for a single large text goes behind it.
char *dictionaryTextsGrow(DictionaryTexts *texts, int64_t bytes) {
  const bool own = bytes > kDictionaryTextOwnBlockBytes;
  int64_t data = texts->nextBytes;
  if (texts->held / kDictionaryBulkShare > data) data = texts->held / kDictionaryBulkShare;
  if (data > kDictionaryBulkMaxBytes) data = kDictionaryBulkMaxBytes;
  if (own || bytes > data) data = bytes;
  const int64_t total = int64_t(sizeof(DictionaryTextBlock)) + data;
  auto *block = static_cast<DictionaryTextBlock *>(MEM_ALLOC(total, 0));
  block->bytes = total;
  texts->held += total;
  char *start = reinterpret_cast<char *>(block + 1);
  if (own && texts->blocks != nullptr) {
    block->next = texts->blocks->next;
    texts->blocks->next = block;
    return start;
  }
  block->next = texts->blocks;
  texts->blocks = block;
  if (!own && texts->nextBytes < kDictionaryTextBlockMaxBytes) texts->nextBytes *= 2;
  texts->next = start + bytes;
  texts->end = start + data;
  Mem_AdviseBulk(start, data);
  return start;
}

inline char *dictionaryTextsAlloc(DictionaryTexts *texts, int64_t bytes) {
  texts->live++;
  if (texts->end - texts->next >= bytes) {
    char *start = texts->next;
    
    texts->next += bytes;
    return start;
  }
  return dictionaryTextsGrow(texts, bytes);
}

// Copies length bytes (Bytes <= length <= 2 * Bytes) as Bytes from the start
// and Bytes from the end.
template <int Bytes>
inline void dictionaryCopyEnds(char *to, const char *from, int32_t length) {
  char head[Bytes], tail[Bytes];
  memcpy(head, from, Bytes);
  memcpy(tail, from + length - Bytes, Bytes);
  memcpy(to, head, Bytes);
  memcpy(to + length - Bytes, tail, Bytes);
}

// A terminated copy of length bytes (zeros for a NULL text).
char *dictionaryTextNew(Dictionary *d, const char *text, int32_t length, bool *fromPool) {
  DictionaryRoot *root = dictionaryRootOf(d);
  char *copy;
  if (d->stringPool && root->texts.on) {
    copy = dictionaryTextsAlloc(&root->texts, int64_t(length) + 1);
    *fromPool = true;
  } else {
    copy = static_cast<char *>(MEM_ALLOC(int64_t(length) + 1, 0));
    root->trackedTexts++;
    *fromPool = false;
  }
  if (text == nullptr) {
    memset(copy, 0, size_t(length));
  } else if (length >= 8 && length <= 16) {
    // Most keys and numbers: words from both ends, overlapping, no call.
    dictionaryCopyEnds<8>(copy, text, length);
  } else if (length > 16 && length <= 32) {
    dictionaryCopyEnds<16>(copy, text, length);
  } else {
    memcpy(copy, text, size_t(length));
  }
  copy[length] = '\0';
  return copy;
}

void dictionaryTextFree(Dictionary *d, char *text, int32_t length, bool fromPool) {
  if (text == nullptr) return;
  DictionaryRoot *root = dictionaryRootOf(d);
  if (fromPool) {
    DictionaryTexts *texts = &root->texts;
    if (--texts->live <= 0 && texts->held > kDictionaryTextResetBytes) dictionaryTextsReset(texts);
  } else {
    MEM_FREE(text, int64_t(length) + 1);
    root->trackedTexts--;
  }
}

// ---- Change callbacks --------------------------------------------------------

enum class DictionaryEvent { ItemRemoved, ItemAdded, ValueChanged };

CallbackCell *dictionaryEventCell(DictionarySide *side, DictionaryEvent event) {
  switch (event) {
    case DictionaryEvent::ItemRemoved: return &side->itemRemoved;
    case DictionaryEvent::ItemAdded: return &side->itemAdded;
    case DictionaryEvent::ValueChanged: return &side->valueChanged;
  }
  return nullptr;
}

bool dictionaryHasCallback(Dictionary *d, DictionaryEvent event) {
  DictionarySide *side = d->side.load(std::memory_order_acquire);
  return side != nullptr && Callback_Get(dictionaryEventCell(side, event), nullptr, nullptr);
}

// Calls the event's callback of d and then of each ancestor, each with the
// path of item as seen from it. The path is only made for a callback that is
// set.
void dictionaryFire(Dictionary *d, DictionaryItem *item, DictionaryEvent event,
                    const char *oldText, int32_t oldLength) {
  if (!dictionaryRootOf(d)->observed.load(std::memory_order_acquire)) return;
  char path[kDictionaryCallbackPathBytes];
  DictionaryItem *down = item;
  for (Dictionary *c = d; c != nullptr; down = c->parentItem, c = c->parent) {
    DictionarySide *side = c->side.load(std::memory_order_acquire);
    if (side == nullptr) continue;
    void *context = nullptr;
    CallbackFunction function = nullptr;
    if (!Callback_Get(dictionaryEventCell(side, event), &context, &function)) continue;
    if (!Dictionary_GetItemPath(d, item, c, path, sizeof path)) path[0] = '\0';
    switch (event) {
      case DictionaryEvent::ItemRemoved:
        reinterpret_cast<DictionaryItemRemovedCallback>(function)(c, item, context, path);
        break;
      case DictionaryEvent::ItemAdded:
        reinterpret_cast<DictionaryItemAddedCallback>(function)(c, down, context, path, oldText);
        break;
      case DictionaryEvent::ValueChanged:
        reinterpret_cast<DictionaryValueChangedCallback>(function)(c, item, context, path,
                                                                   oldText, oldLength);
        break;
    }
  }
}

bool dictionaryIsList(const Dictionary *d) {
  return d->parentItem != nullptr && dictionaryType(d->parentItem) == kDictionaryTypeList;
}

// List elements from `from` on changed their index: announce each as added,
// when the tree's root observes additions.
void dictionaryAnnounceFollowers(Dictionary *d, DictionaryItem *from) {
  if (from == nullptr || !dictionaryIsList(d)) return;
  if (!dictionaryHasCallback(d->root, DictionaryEvent::ItemAdded)) return;
  for (DictionaryItem *item = from; item != nullptr; item = item->next)
    dictionaryFire(d, item, DictionaryEvent::ItemAdded, nullptr, 0);
}

// ---- Containers and items ----------------------------------------------------

void dictionaryReleaseSide(Dictionary *d) {
  DictionarySide *side = d->side.exchange(nullptr, std::memory_order_acq_rel);
  if (side == nullptr) return;
  if (d->root != d) dictionaryRootOf(d)->childSides.fetch_sub(1, std::memory_order_relaxed);
  Callback_Clear(&side->itemRemoved);
  Callback_Clear(&side->itemAdded);
  Callback_Clear(&side->valueChanged);
  Callback_Clear(&side->logHook);
  dictionaryIndexRelease(&side->keyIndex);
  side->~DictionarySide();
  MEM_FREE(side, sizeof(DictionarySide));
}

DictionarySide *dictionaryGetSide(Dictionary *d) {
  DictionarySide *side = d->side.load(std::memory_order_acquire);
  if (side != nullptr) return side;
  auto *made = new (MEM_ALLOC(sizeof(DictionarySide), MEM_ZEROED)) DictionarySide();
  // Another thread may install an observer at the same moment: the first
  // record wins and the other is given back.
  if (d->side.compare_exchange_strong(side, made, std::memory_order_acq_rel)) {
    if (d->root != d) dictionaryRootOf(d)->childSides.fetch_add(1, std::memory_order_relaxed);
    return made;
  }
  made->~DictionarySide();
  MEM_FREE(made, sizeof(DictionarySide));
  return side;
}

const char *dictionaryLogName(const Dictionary *d) {
  DictionarySide *side = d->side.load(std::memory_order_acquire);
  return side != nullptr ? side->logName : nullptr;
}

Dictionary *dictionaryNewChild(Dictionary *d, DictionaryItem *item) {
  dictionaryEnsurePools(d);
  DictionaryRoot *root = dictionaryRootOf(d);
  Dictionary *member = dictionaryRecordNew(root->containerPool, &root->freeContainers,
                                           &root->containerSlab, root->base.poolGrowth);
  auto *child = new (member) Dictionary();
  memcpy(child->header.instanceId, d->header.instanceId, sizeof child->header.instanceId);
  child->header.classTag = kDictionaryTag;
  child->table = &kDictionaryInterface;
  child->caseSensitive = d->caseSensitive;
  child->hashPrefix = d->hashPrefix;
  child->allowDuplicates = d->allowDuplicates;
  child->stringPool = d->stringPool;
  child->poolGrowth = d->poolGrowth;
  child->root = d->root;
  child->parent = d;
  child->parentItem = item;
  child->items.classTag = kDictionaryItemTag;
  // Only a named tree pays for a side record per container.
  if (const char *name = dictionaryLogName(d)) dictionaryGetSide(child)->logName = name;
  return child;
}

// Gives an emptied child container back to the pool.
void dictionaryFreeChild(Dictionary *d, Dictionary *child) {
  dictionaryReleaseSide(child);
  child->header.classTag = 0;
  child->~Dictionary();
  dictionaryRecordFree(reinterpret_cast<void **>(&dictionaryRootOf(d)->freeContainers), child);
}

void dictionaryLink(Dictionary *d, DictionaryItem *after, DictionaryItem *item) {
  item->prev = after;
  item->next = after != nullptr ? after->next : d->items.first;
  if (item->prev != nullptr)
    item->prev->next = item;
  else
    d->items.first = item;
  if (item->next != nullptr)
    item->next->prev = item;
  else
    d->items.last = item;
  d->items.count++;
}

void dictionaryUnlink(Dictionary *d, DictionaryItem *item) {
  if (item->prev != nullptr)
    item->prev->next = item->next;
  else
    d->items.first = item->next;
  if (item->next != nullptr)
    item->next->prev = item->prev;
  else
    d->items.last = item->prev;
  d->items.count--;
  item->next = item->prev = nullptr;
}

void dictionaryFreeValue(Dictionary *d, DictionaryItem *item) {
  if (dictionaryIsContainerType(dictionaryType(item))) return;
  dictionaryTextFree(d, item->value, item->valueLength,
                     (item->textOrigin & kDictionaryValueFromPool) != 0);
  item->value = nullptr;
  item->valueLength = 0;
  item->textOrigin &= uint8_t(~kDictionaryValueFromPool);
}

// Removes one item whose child container, if any, is already empty.
void dictionaryRemoveOne(Dictionary *d, DictionaryItem *item) {
  dictionaryFire(d, item, DictionaryEvent::ItemRemoved, nullptr, 0);
  DictionaryItem *follower = item->next;
  if (item->key != nullptr) dictionaryIndexKeyDropping(d, item);
  dictionaryTextFree(d, item->key, item->keyLength,
                     (item->textOrigin & kDictionaryKeyFromPool) != 0);
  item->key = nullptr;
  if (Dictionary *child = dictionaryChild(item)) {
    item->child = nullptr;
    dictionaryFreeChild(d, child);
  } else {
    dictionaryFreeValue(d, item);
  }
  dictionaryUnlink(d, item);
  item->classTag = 0;
  dictionaryRecordFree(reinterpret_cast<void **>(&dictionaryRootOf(d)->freeItems), item);
  dictionaryAnnounceFollowers(d, follower);
}

// From (c, item) down to the last item of the deepest non-empty child.
void dictionaryDescendLast(Dictionary **c, DictionaryItem **item) {
  for (Dictionary *child = dictionaryChild(*item); child != nullptr && child->items.count > 0;
       child = dictionaryChild(*item)) {
    *c = child;
    *item = child->items.last;
  }
}

// Removes item and everything below it, each container's items last to first
// and every item after its descendants. Iterative: a deep tree must not
// exhaust the stack.
void dictionaryRemoveTree(Dictionary *d, DictionaryItem *item) {
  Dictionary *c = d;
  DictionaryItem *current = item;
  dictionaryDescendLast(&c, &current);
  for (;;) {
    Dictionary *owner = c;
    bool last = current == item;
    dictionaryRemoveOne(owner, current);
    if (last) return;
    if (owner->items.count > 0) {
      current = owner->items.last;
      dictionaryDescendLast(&c, &current);
    } else {
      current = owner->parentItem;
      c = owner->parent;
    }
  }
}

void dictionaryClearItems(Dictionary *d) {
  while (d->items.last != nullptr) dictionaryRemoveTree(d, d->items.last);
}

// Gives back what the items below the root hold apart from the tree's
// blocks, without unlinking anything: texts from tracked memory and the side
// records of child containers. Iterative: a deep tree must not exhaust the
// stack.
void dictionarySweep(DictionaryRoot *root) {
  Dictionary *d = &root->base;
  Dictionary *c = d;
  DictionaryItem *item = d->items.first;
  for (;;) {
    if (item == nullptr) {
      if (c == d) return;
      DictionaryItem *owner = c->parentItem;
      Dictionary *parent = c->parent;
      dictionaryReleaseSide(c);
      c = parent;
      item = owner->next;
      continue;
    }
    if (item->key != nullptr && (item->textOrigin & kDictionaryKeyFromPool) == 0)
      dictionaryTextFree(c, item->key, item->keyLength, false);
    if (Dictionary *child = dictionaryChild(item)) {
      c = child;
      item = child->items.first;
      continue;
    }
    if (item->value != nullptr && (item->textOrigin & kDictionaryValueFromPool) == 0)
      dictionaryTextFree(c, item->value, item->valueLength, false);
    item = item->next;
  }
}

// Empties the root. A tree nobody observes needs no item taken out one by
// one (no callback can see it): what lies outside the blocks is swept up,
// when there is any, and the blocks go back whole. Otherwise every item is
// removed, last first, with its callbacks.
void dictionaryEmptyRoot(DictionaryRoot *root) {
  Dictionary *d = &root->base;
  if (root->observed.load(std::memory_order_acquire)) {
    dictionaryClearItems(d);
  } else {
    if (root->trackedTexts != 0 || root->childSides.load(std::memory_order_relaxed) != 0)
      dictionarySweep(root);
    if (DictionarySide *side = d->side.load(std::memory_order_acquire))
      dictionaryIndexRelease(&side->keyIndex);
    d->items.first = d->items.last = nullptr;
    d->items.count = 0;
  }
  dictionaryTextsReset(&root->texts);
  dictionaryResetRecords(root);
}

void dictionaryDestroy(void **object) {
  auto *d = static_cast<Dictionary *>(*object);
  DictionaryRoot *root = dictionaryRootOf(d);
  dictionaryEmptyRoot(root);
  if (root->containerPool != nullptr) Pool_Release(&root->containerPool);
  if (root->itemPool != nullptr) Pool_Release(&root->itemPool);
  dictionaryReleaseSide(d);
  while (DictionaryLogName *name = root->logNames) {
    root->logNames = name->next;
    MEM_FREE(name, name->bytes);
  }
  d->header.classTag = 0;
  root->~DictionaryRoot();
  MEM_FREE(root, sizeof(DictionaryRoot));
}

bool dictionaryAsciiEqualNoCase(const char *a, const char *b, int32_t length) {
  for (int32_t i = 0; i < length; i++) {
    unsigned char x = static_cast<unsigned char>(a[i]);
    unsigned char y = static_cast<unsigned char>(b[i]);
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x + 32);
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y + 32);
    if (x != y) return false;
  }
  return true;
}

// A looked-up key of length bytes: the '#' skipped as stored keys drop it.
int32_t dictionaryLookupKeyN(const Dictionary *d, const char **key, int32_t length) {
  if (d->hashPrefix && length > 0 && (*key)[0] == '#') {
    (*key)++;
    length--;
  }
  return length < 0 ? 0 : length;
}

// The position a key "[n]" of length bytes names: n from its decimal digits,
// -1 for any other key or a negative n.
int64_t dictionaryKeyPosition(const char *key, int32_t length) {
  if (length < 3 || key[0] != '[' || key[length - 1] != ']') return -1;
  const char *p = key + 1;
  const char *end = key + length - 1;
  if (*p == '-') return -1;
  if (*p == '+') p++;
  if (p == end || *p < '0' || *p > '9') return -1;
  int64_t n = 0;
  for (; p < end && *p >= '0' && *p <= '9'; p++) {
    n = n * 10 + (*p - '0');
    if (n > INT32_MAX) return INT32_MAX;  // past any container
  }
  return n;
}

// Stores a key of length bytes (see Dictionary_SetItemKey).
void dictionaryStoreKey(Dictionary *d, DictionaryItem *item, const char *key, int32_t length) {
  if (item->key != nullptr) dictionaryIndexKeyDropping(d, item);
  if (key == nullptr) {
    dictionaryTextFree(d, item->key, item->keyLength,
                       (item->textOrigin & kDictionaryKeyFromPool) != 0);
    item->key = nullptr;
    item->keyLength = 0;
    item->textOrigin &= uint8_t(~kDictionaryKeyFromPool);
    return;
  }
  if (length < 0) length = 0;
  bool hidden = false;
  if (d->hashPrefix && length > 0 && key[0] == '#') {
    key++;
    length--;
    hidden = true;
  }
  bool fromPool = false;
  char *stored = dictionaryTextNew(d, key, length, &fromPool);
  char *oldKey = item->key;
  int32_t oldLength = item->keyLength;
  bool oldFromPool = (item->textOrigin & kDictionaryKeyFromPool) != 0;
  item->key = stored;
  item->keyLength = length;
  item->textOrigin = uint8_t((item->textOrigin & ~kDictionaryKeyFromPool) |
                             (fromPool ? kDictionaryKeyFromPool : 0));
  item->type = uint8_t(hidden ? item->type | kDictionaryHiddenBit
                              : item->type & ~kDictionaryHiddenBit);
  dictionaryIndexKeySet(d, item);
  dictionaryFire(d, item, DictionaryEvent::ItemAdded, oldKey, 0);
  dictionaryTextFree(d, oldKey, oldLength, oldFromPool);
}

// Links a new item after `after` (NULL: at the front) and gives it the key of
// length bytes (key NULL: keyless). Without duplicates an existing key's item
// is answered instead.
DictionaryItem *dictionaryInsertN(Dictionary *d, DictionaryItem *after, const char *key,
                                  int32_t length) {
  if (key != nullptr && !d->allowDuplicates) {
    if (DictionaryItem *existing = dictionaryFindStoredKeyN(d, key, length)) return existing;
  }
  dictionaryEnsurePools(d);
  DictionaryRoot *root = dictionaryRootOf(d);
  DictionaryItem *item =
      dictionaryRecordNew(root->itemPool, &root->freeItems, &root->itemSlab, root->base.poolGrowth);
  item->classTag = kDictionaryItemTag;
  dictionaryLink(d, after, item);
  if (key != nullptr) dictionaryStoreKey(d, item, key, length);
  dictionaryAnnounceFollowers(d, item->next);
  return item;
}

DictionaryItem *dictionaryInsert(Dictionary *d, DictionaryItem *after, const char *key) {
  return dictionaryInsertN(d, after, key, key != nullptr ? int32_t(strnlen(key, INT32_MAX)) : 0);
}

void dictionarySetType(Dictionary *d, DictionaryItem *item, int32_t type) {
  if (dictionaryType(item) == type) return;
  if (Dictionary *child = dictionaryChild(item)) {
    dictionaryClearItems(child);
    item->child = nullptr;
    dictionaryFreeChild(d, child);
  } else {
    dictionaryFreeValue(d, item);
  }
  item->type = uint8_t((item->type & (kDictionaryHiddenBit | kDictionaryBooleanBit)) | type);
  if (dictionaryIsContainerType(type)) item->child = dictionaryNewChild(d, item);
}

void dictionarySetBoolean(Dictionary *d, DictionaryItem *item, int32_t value) {
  bool bit = value == 1;
  if (((item->type & kDictionaryBooleanBit) != 0) == bit) return;
  const char *oldText = nullptr;
  int32_t oldLength = 0;
  dictionaryItemText(item, &oldText, &oldLength);
  item->type = uint8_t(bit ? item->type | kDictionaryBooleanBit
                           : item->type & ~kDictionaryBooleanBit);
  dictionaryFire(d, item, DictionaryEvent::ValueChanged, oldText, oldLength);
}

void dictionarySetText(Dictionary *d, DictionaryItem *item, const char *text, int32_t length) {
  int32_t type = dictionaryType(item);
  // A container item's value is its child; it has no text to replace.
  if (dictionaryIsContainerType(type)) return;
  if (length > 0 && item->value != nullptr && item->valueLength == length && text != nullptr &&
      memcmp(item->value, text, size_t(length)) == 0)
    return;
  char *oldText = item->value;
  int32_t oldLength = item->valueLength;
  bool oldFromPool = (item->textOrigin & kDictionaryValueFromPool) != 0;
  item->value = nullptr;
  item->valueLength = 0;
  item->textOrigin &= uint8_t(~kDictionaryValueFromPool);
  if (type == kDictionaryTypeBoolean) {
    dictionarySetBoolean(d, item,
                         text != nullptr && length > 0 && (text[0] == 't' || text[0] == 'T'));
  } else if (type != kDictionaryTypeNull && length > 0) {
    bool fromPool = false;
    item->value = dictionaryTextNew(d, text, length, &fromPool);
    item->valueLength = length;
    if (fromPool) item->textOrigin |= kDictionaryValueFromPool;
    if (type == kDictionaryTypeInt64 || type == kDictionaryTypeFloat64 ||
        type == kDictionaryTypeString)
      dictionaryFire(d, item, DictionaryEvent::ValueChanged, oldText, oldLength);
  }
  dictionaryTextFree(d, oldText, oldLength, oldFromPool);
}

int dictionaryFormatInt64(int64_t value, char *buffer, int size) {
  auto result = std::to_chars(buffer, buffer + size, value);
  return int(result.ptr - buffer);
}

// Shortest text that reads back as the same double; the print engine's words
// for the values that are not finite.
int dictionaryFormatFloat64(double value, char *buffer, int size) {
  const char *word = nullptr;
  if (std::isnan(value))
    word = "NaN";
  else if (std::isinf(value))
    word = value > 0 ? "Inf" : "-Inf";
  if (word != nullptr) return Str_Copy(buffer, word, size);
  auto result = std::to_chars(buffer, buffer + size, value);
  return int(result.ptr - buffer);
}

void dictionarySetInt64Text(Dictionary *d, DictionaryItem *item, int64_t value) {
  if (dictionaryType(item) == kDictionaryTypeNull) return;
  char text[24];
  dictionarySetText(d, item, text, dictionaryFormatInt64(value, text, sizeof text));
}

void dictionarySetFloat64Text(Dictionary *d, DictionaryItem *item, double value) {
  if (dictionaryType(item) == kDictionaryTypeNull) return;
  char text[kDictionaryFloatTextBytes];
  dictionarySetText(d, item, text, dictionaryFormatFloat64(value, text, sizeof text));
}

void dictionarySetStringText(Dictionary *d, DictionaryItem *item, const char *text) {
  if (dictionaryType(item) == kDictionaryTypeNull) return;
  size_t length = text != nullptr ? strlen(text) : 0;
  dictionarySetText(d, item, text, length > INT32_MAX - 1 ? INT32_MAX - 1 : int32_t(length));
}

void dictionarySetStringFormat(Dictionary *d, DictionaryItem *item, const char *format,
                               va_list args) {
  CHECK_POINTER(format);
  if (dictionaryType(item) == kDictionaryTypeNull) return;
  va_list measure;
  va_copy(measure, args);
  int64_t length = Str_FormattedLength(format, measure);
  va_end(measure);
  if (length > INT32_MAX - 2) length = INT32_MAX - 2;
  char small[256];
  char *text = length < int64_t(sizeof small)
                   ? small
                   : static_cast<char *>(MEM_ALLOC(length + 1, 0));
  Str_VPrintf(text, int(length + 1), format, args);
  dictionarySetText(d, item, text, int32_t(length));
  if (text != small) MEM_FREE(text, length + 1);
}

// ---- Readers -----------------------------------------------------------------

bool dictionaryIsNumberType(int32_t type) {
  return type == kDictionaryTypeInt64 || type == kDictionaryTypeFloat64;
}

const char *dictionaryStoredText(const DictionaryItem *item) {
  return item->value != nullptr ? item->value : "";
}

// Integer text (no '.', 'e' or 'E', or "0x" form) reads exactly; other text
// as a double cut toward zero and saturated.
int64_t dictionaryTextToInt64(const char *text) {
  if (strcmp(text, "NaN") == 0) return 0;
  if (strcmp(text, "Inf") == 0) return INT64_MAX;
  if (strcmp(text, "-Inf") == 0) return INT64_MIN;
  const char *p = text;
  if (*p == '+' || *p == '-') p++;
  bool hex = p[0] == '0' && (p[1] == 'x' || p[1] == 'X');
  if (hex || strpbrk(text, ".eE") == nullptr) return Str_ToInt64(text);
  double value = Str_ToFloat64(text);
  if (std::isnan(value)) return 0;
  if (value >= 9223372036854775808.0) return INT64_MAX;
  if (value <= -9223372036854775808.0) return INT64_MIN;
  return int64_t(value);  // the conversion cuts toward zero
}

double dictionaryTextToFloat64(const char *text) {
  if (strcmp(text, "NaN") == 0) return std::numeric_limits<double>::quiet_NaN();
  if (strcmp(text, "Inf") == 0) return std::numeric_limits<double>::infinity();
  if (strcmp(text, "-Inf") == 0) return -std::numeric_limits<double>::infinity();
  return Str_ToFloat64(text);
}

}  // namespace

// ---- Internals shared with the other dictionary files ----------------------

bool dictionaryTextEquals(const Dictionary *d, const char *a, const char *b, int32_t length) {
  if (d->caseSensitive) return memcmp(a, b, size_t(length)) == 0;
  return dictionaryAsciiEqualNoCase(a, b, length);
}

namespace {
thread_local int64_t dictionaryKeyComparisonCount = 0;
}  // namespace

int64_t dictionaryKeyComparisons() { return dictionaryKeyComparisonCount; }

DictionarySide *dictionarySide(Dictionary *d) { return dictionaryGetSide(d); }

bool dictionaryKeyEquals(const Dictionary *d, const DictionaryItem *item, const char *text,
                         int32_t length) {
  dictionaryKeyComparisonCount++;
  return item->key != nullptr && item->keyLength == length &&
         dictionaryTextEquals(d, item->key, text, length);
}

bool dictionaryItemText(const DictionaryItem *item, const char **text, int32_t *length) {
  switch (dictionaryType(item)) {
    case kDictionaryTypeNull:
      *text = "null";
      *length = 4;
      return true;
    case kDictionaryTypeBoolean:
      if (item->type & kDictionaryBooleanBit) {
        *text = "true";
        *length = 4;
      } else {
        *text = "false";
        *length = 5;
      }
      return true;
    case kDictionaryTypeInt64:
    case kDictionaryTypeFloat64:
    case kDictionaryTypeString:
      *text = dictionaryStoredText(item);
      *length = item->valueLength;
      return true;
    default:
      *text = nullptr;
      *length = 0;
      return false;
  }
}

DictionaryItem *dictionaryFindKeyN(Dictionary *d, const char *key, int32_t length,
                                   DictionaryItem *start) {
  length = dictionaryLookupKeyN(d, &key, length);
  int64_t position = dictionaryKeyPosition(key, length);
  if (position < 0) return dictionaryFindKeyFrom(d, start, key, length);
  // "[n]": a literal match before position n wins, so walk at most n items.
  int64_t index = 0;
  for (DictionaryItem *item = start != nullptr ? start : d->items.first; item != nullptr;
       item = item->next, index++) {
    if (dictionaryKeyEquals(d, item, key, length) || index == position) return item;
  }
  return nullptr;
}

DictionaryItem *dictionaryFindKey(Dictionary *d, const char *key, DictionaryItem *start) {
  return dictionaryFindKeyN(d, key, int32_t(strnlen(key, INT32_MAX)), start);
}

DictionaryItem *dictionaryFindStoredKeyN(Dictionary *d, const char *key, int32_t length) {
  length = dictionaryLookupKeyN(d, &key, length);
  return dictionaryFirstWithKey(d, key, length);
}

DictionaryItem *dictionaryFindStoredKey(Dictionary *d, const char *key) {
  return dictionaryFindStoredKeyN(d, key, int32_t(strnlen(key, INT32_MAX)));
}

DictionaryItem *dictionaryAddKeyN(Dictionary *d, const char *key, int32_t length) {
  return dictionaryInsertN(d, d->items.last, key, length);
}

void dictionarySetItemTextN(Dictionary *d, DictionaryItem *item, int32_t type, const char *text,
                            int32_t length) {
  dictionarySetType(d, item, type);
  dictionarySetText(d, item, text, length);
}

DictionaryItem *dictionaryAddKey(Dictionary *d, const char *key) {
  return dictionaryInsert(d, d->items.last, key);
}

DictionaryItem *dictionaryAppendValue(Dictionary *d, const char *key, int32_t keyLength,
                                      int32_t type, const char *text, int32_t length) {
  DictionaryRoot *root = dictionaryRootOf(d);
  if ((key != nullptr && !d->allowDuplicates) || root->observed.load(std::memory_order_acquire)) {
    // An existing key's item, or callbacks to call in order: the general way.
    DictionaryItem *item = dictionaryInsertN(d, d->items.last, key, keyLength);
    dictionarySetItemTextN(d, item, type, text, length);
    return item;
  }
  // A new last item that nobody watches: what those steps do to it, in one.
  dictionaryEnsurePools(d);
  DictionaryItem *item =
      dictionaryRecordTake(root->itemPool, &root->freeItems, &root->itemSlab, root->base.poolGrowth);
  DictionaryItem *last = d->items.last;
  *item = DictionaryItem{};
  item->classTag = kDictionaryItemTag;
  item->prev = last;
  if (last != nullptr)
    last->next = item;
  else
    d->items.first = item;
  d->items.last = item;
  d->items.count++;
  if (key != nullptr) {
    // What dictionaryStoreKey does to a keyless item when no callback listens.
    if (d->hashPrefix && keyLength > 0 && key[0] == '#') {
      key++;
      keyLength--;
      item->type = kDictionaryHiddenBit;
    }
    if (keyLength < 0) keyLength = 0;
    bool fromPool = false;
    item->key = dictionaryTextNew(d, key, keyLength, &fromPool);
    item->keyLength = keyLength;
    if (fromPool) item->textOrigin = kDictionaryKeyFromPool;
    if (d->side.load(std::memory_order_acquire) != nullptr) dictionaryIndexKeySet(d, item);
  }
  item->type = uint8_t(item->type | type);
  if (dictionaryIsContainerType(type)) {
    item->child = dictionaryNewChild(d, item);
  } else if (type == kDictionaryTypeBoolean) {
    if (text != nullptr && length > 0 && (text[0] == 't' || text[0] == 'T'))
      item->type |= kDictionaryBooleanBit;
  } else if (type != kDictionaryTypeNull && length > 0) {
    bool fromPool = false;
    item->value = dictionaryTextNew(d, text, length, &fromPool);
    item->valueLength = length;
    if (fromPool) item->textOrigin |= kDictionaryValueFromPool;
  }
  return item;
}

DictionaryItem *dictionaryItemAt(Dictionary *d, int64_t index) {
  DictionaryItem *item;
  if (index >= 0) {
    for (item = d->items.first; item != nullptr && index > 0; index--) item = item->next;
  } else {
    for (item = d->items.last; item != nullptr && index < -1; index++) item = item->prev;
  }
  return item;
}

// ---- Life ------------------------------------------------------------------

int32_t Dictionary_Create(Dictionary **dictionary) noexcept {
  CHECK_POINTER(dictionary);
  auto *root = new (MEM_ALLOC(sizeof(DictionaryRoot), MEM_ZEROED)) DictionaryRoot();
  Dictionary *d = &root->base;
  d->header.classTag = kDictionaryTag;
  d->header.refCount.store(1, std::memory_order_relaxed);
  d->header.destroy = dictionaryDestroy;
  d->table = &kDictionaryInterface;
  d->caseSensitive = 1;
  d->hashPrefix = 1;
  d->allowDuplicates = 1;
  d->stringPool = 0;
  d->poolGrowth = kDictionaryDefaultPoolGrowth;
  d->root = d;
  d->items.classTag = kDictionaryItemTag;
  *dictionary = d;
  return 1;
}

int32_t Dictionary_AddRef(Dictionary *dictionary) noexcept {
  DICTIONARY_CHECK(dictionary);
  Class_Retain(dictionary);
  return 1;
}

int32_t Dictionary_Release(Dictionary **dictionary) noexcept {
  CHECK_POINTER(dictionary);
  DICTIONARY_CHECK(*dictionary);
  return Class_ReleaseObject(dictionary);
}

// ---- Adding ----------------------------------------------------------------

namespace {

void dictionaryHandItem(DictionaryItem **out, DictionaryItem *item) {
  if (out != nullptr) *out = item;
}

// Adds (or, without duplicates, finds) the key and gives it the type.
DictionaryItem *dictionaryAddTyped(Dictionary *d, const char *key, int32_t type) {
  DICTIONARY_CHECK(d);
  DictionaryItem *item = dictionaryAddKey(d, key);
  dictionarySetType(d, item, type);
  return item;
}

}  // namespace

int32_t Dictionary_AddKey(Dictionary *d, const char *key, DictionaryItem **item) noexcept {
  DICTIONARY_CHECK(d);
  dictionaryHandItem(item, dictionaryAddKey(d, key));
  return 1;
}

int32_t Dictionary_AddItem(Dictionary *d, const char *key, DictionaryItem **item) noexcept {
  return Dictionary_AddKey(d, key, item);
}

int32_t Dictionary_InsertItem(Dictionary *d, DictionaryItem *after, const char *key,
                              DictionaryItem **item) noexcept {
  DICTIONARY_CHECK(d);
  if (after != nullptr) DICTIONARY_CHECK_ITEM(after);
  dictionaryHandItem(item, dictionaryInsert(d, after, key));
  return 1;
}

int32_t Dictionary_AddNull(Dictionary *d, const char *key, DictionaryItem **item) noexcept {
  dictionaryHandItem(item, dictionaryAddTyped(d, key, kDictionaryTypeNull));
  return 1;
}

int32_t Dictionary_AddString(Dictionary *d, const char *key, const char *text,
                             DictionaryItem **item) noexcept {
  DICTIONARY_CHECK(d);
  CHECK_POINTER(text);
  DictionaryItem *added = dictionaryAddTyped(d, key, kDictionaryTypeString);
  dictionarySetStringText(d, added, text);
  dictionaryHandItem(item, added);
  return 1;
}

int32_t Dictionary_AddInt32(Dictionary *d, const char *key, int32_t value,
                            DictionaryItem **item) noexcept {
  return Dictionary_AddInt64(d, key, value, item);
}

int32_t Dictionary_AddInt64(Dictionary *d, const char *key, int64_t value,
                            DictionaryItem **item) noexcept {
  DictionaryItem *added = dictionaryAddTyped(d, key, kDictionaryTypeInt64);
  dictionarySetInt64Text(d, added, value);
  dictionaryHandItem(item, added);
  return 1;
}

int32_t Dictionary_AddFloat64(Dictionary *d, const char *key, double value,
                              DictionaryItem **item) noexcept {
  DictionaryItem *added = dictionaryAddTyped(d, key, kDictionaryTypeFloat64);
  dictionarySetFloat64Text(d, added, value);
  dictionaryHandItem(item, added);
  return 1;
}

int32_t Dictionary_AddBoolean(Dictionary *d, const char *key, int32_t value,
                              DictionaryItem **item) noexcept {
  DictionaryItem *added = dictionaryAddTyped(d, key, kDictionaryTypeBoolean);
  dictionarySetBoolean(d, added, value);
  dictionaryHandItem(item, added);
  return 1;
}

int32_t Dictionary_AddList(Dictionary *d, const char *key, Dictionary **child,
                           DictionaryItem **item) noexcept {
  DictionaryItem *added = dictionaryAddTyped(d, key, kDictionaryTypeList);
  if (child != nullptr) *child = added->child;
  dictionaryHandItem(item, added);
  return 1;
}

int32_t Dictionary_AddDictionary(Dictionary *d, const char *key, Dictionary **child,
                                 DictionaryItem **item) noexcept {
  DictionaryItem *added = dictionaryAddTyped(d, key, kDictionaryTypeDictionary);
  if (child != nullptr) *child = added->child;
  dictionaryHandItem(item, added);
  return 1;
}

int32_t Dictionary_AddKeyOrdered(Dictionary *d, const char *key, DictionaryItem **item,
                                 void *context, DictionaryOrderTest before) noexcept {
  DICTIONARY_CHECK(d);
  DICTIONARY_CHECK_FUNCTION(before);
  DictionaryItem *at = d->items.first;
  while (at != nullptr && !before(d, at, key, context)) at = at->next;
  DictionaryItem *after = at != nullptr ? at->prev : d->items.last;
  dictionaryHandItem(item, dictionaryInsert(d, after, key));
  return 1;
}

int32_t Dictionary_AddKeysAsStrings(Dictionary *d, Dictionary *target) noexcept {
  DICTIONARY_CHECK(d);
  DICTIONARY_CHECK(target);
  for (DictionaryItem *item = d->items.first; item != nullptr; item = item->next) {
    if (item->key == nullptr) continue;
    DictionaryItem *added = dictionaryAddTyped(target, nullptr, kDictionaryTypeString);
    dictionarySetText(target, added, item->key, item->keyLength);
  }
  return 1;
}

// ---- Finding and testing ---------------------------------------------------

int32_t Dictionary_FindKey(Dictionary *d, const char *key, DictionaryItem *start,
                           DictionaryItem **item) noexcept {
  DICTIONARY_CHECK(d);
  CHECK_POINTER(key);
  CHECK_POINTER(item);
  if (start != nullptr) DICTIONARY_CHECK_ITEM(start);
  *item = dictionaryFindKey(d, key, start);
  return *item != nullptr;
}

int32_t Dictionary_FindValue(Dictionary *d, const char *text, int32_t length,
                             DictionaryItem *start, DictionaryItem **item) noexcept {
  DICTIONARY_CHECK(d);
  CHECK_POINTER(text);
  CHECK_POINTER(item);
  if (start != nullptr) DICTIONARY_CHECK_ITEM(start);
  *item = nullptr;
  for (DictionaryItem *at = start != nullptr ? start : d->items.first; at != nullptr;
       at = at->next) {
    const char *value = nullptr;
    int32_t valueLength = 0;
    if (dictionaryItemText(at, &value, &valueLength) && valueLength == length &&
        memcmp(value, text, size_t(length)) == 0) {
      *item = at;
      return 1;
    }
  }
  return 0;
}

int32_t Dictionary_HasKey(Dictionary *d, const char *key) noexcept {
  DICTIONARY_CHECK(d);
  CHECK_POINTER(key);
  return dictionaryFindKey(d, key, nullptr) != nullptr;
}

int32_t Dictionary_HasValue(Dictionary *d, const char *text) noexcept {
  CHECK_POINTER(text);
  DictionaryItem *item = nullptr;
  return Dictionary_FindValue(d, text, int32_t(strnlen(text, INT32_MAX)), nullptr, &item);
}

int32_t Dictionary_FindOrAddKey(Dictionary *d, const char *key, DictionaryItem **item) noexcept {
  DICTIONARY_CHECK(d);
  CHECK_POINTER(key);
  DictionaryItem *found = dictionaryFindKey(d, key, nullptr);
  dictionaryHandItem(item, found != nullptr ? found : dictionaryAddKey(d, key));
  return 1;
}

// ---- By index --------------------------------------------------------------

int32_t Dictionary_GetItemByIndex(Dictionary *d, int32_t index, DictionaryItem *start,
                                  DictionaryItem **item) noexcept {
  DICTIONARY_CHECK(d);
  CHECK_POINTER(item);
  *item = nullptr;
  if (start == nullptr) {
    *item = dictionaryItemAt(d, index);
    return *item != nullptr;
  }
  DICTIONARY_CHECK_ITEM(start);
  DictionaryItem *at = start;
  if (index >= 0) {
    for (; at != nullptr && index > 0; index--) at = at->next;
  } else {
    for (at = start->prev; at != nullptr && index < -1; index++) at = at->prev;
  }
  *item = at;
  return at != nullptr;
}

int32_t Dictionary_GetOrAddIndex(Dictionary *d, int32_t index, DictionaryItem **item) noexcept {
  DICTIONARY_CHECK(d);
  if (index >= 0)
    while (d->items.count <= index) dictionaryAddKey(d, nullptr);
  DictionaryItem *found = dictionaryItemAt(d, index);
  if (item != nullptr) *item = found;
  return found != nullptr;
}

namespace {

int32_t dictionarySetContainerByIndex(Dictionary *d, int32_t index, int32_t type,
                                      DictionaryItem **item, Dictionary **child) {
  if (item != nullptr) *item = nullptr;
  if (child != nullptr) *child = nullptr;
  DictionaryItem *found = nullptr;
  if (!Dictionary_GetOrAddIndex(d, index, &found)) return 0;
  dictionarySetType(d, found, type);
  dictionaryHandItem(item, found);
  if (child != nullptr) *child = found->child;
  return 1;
}

int32_t dictionaryGetChild(DictionaryItem *item, int32_t type, Dictionary **child) {
  if (item == nullptr || dictionaryType(item) != type) return 0;
  *child = item->child;
  return 1;
}

}  // namespace

int32_t Dictionary_SetListByIndex(Dictionary *d, int32_t index, DictionaryItem **item,
                                  Dictionary **child) noexcept {
  return dictionarySetContainerByIndex(d, index, kDictionaryTypeList, item, child);
}

int32_t Dictionary_SetDictionaryByIndex(Dictionary *d, int32_t index, DictionaryItem **item,
                                        Dictionary **child) noexcept {
  return dictionarySetContainerByIndex(d, index, kDictionaryTypeDictionary, item, child);
}

int32_t Dictionary_GetListByIndex(Dictionary *d, int32_t index, Dictionary **child) noexcept {
  DICTIONARY_CHECK(d);
  CHECK_POINTER(child);
  *child = nullptr;
  return dictionaryGetChild(dictionaryItemAt(d, index), kDictionaryTypeList, child);
}

int32_t Dictionary_GetDictionaryByIndex(Dictionary *d, int32_t index,
                                        Dictionary **child) noexcept {
  DICTIONARY_CHECK(d);
  CHECK_POINTER(child);
  *child = nullptr;
  return dictionaryGetChild(dictionaryItemAt(d, index), kDictionaryTypeDictionary, child);
}

// ---- Set by key ------------------------------------------------------------

namespace {

// Finds or appends the key and gives its item the type.
DictionaryItem *dictionarySetKeyType(Dictionary *d, const char *key, int32_t type) {
  DICTIONARY_CHECK(d);
  CHECK_POINTER(key);
  DictionaryItem *item = dictionaryFindKey(d, key, nullptr);
  if (item == nullptr) item = dictionaryAddKey(d, key);
  dictionarySetType(d, item, type);
  return item;
}

}  // namespace

int32_t Dictionary_SetStringByKey(Dictionary *d, const char *key, const char *text) noexcept {
  DictionaryItem *item = dictionarySetKeyType(d, key, kDictionaryTypeString);
  dictionarySetStringText(d, item, text);
  return 1;
}

int32_t Dictionary_SetStringFormatByKey(Dictionary *d, const char *key, const char *format,
                                        ...) noexcept {
  va_list args;
  va_start(args, format);
  int32_t result = Dictionary_SetStringFormatVByKey(d, key, format, args);
  va_end(args);
  return result;
}

int32_t Dictionary_SetStringFormatVByKey(Dictionary *d, const char *key, const char *format,
                                         va_list args) noexcept {
  CHECK_POINTER(format);
  DictionaryItem *item = dictionarySetKeyType(d, key, kDictionaryTypeString);
  dictionarySetStringFormat(d, item, format, args);
  return 1;
}

int32_t Dictionary_SetInt32ByKey(Dictionary *d, const char *key, int32_t value) noexcept {
  return Dictionary_SetInt64ByKey(d, key, value);
}

int32_t Dictionary_SetInt64ByKey(Dictionary *d, const char *key, int64_t value) noexcept {
  dictionarySetInt64Text(d, dictionarySetKeyType(d, key, kDictionaryTypeInt64), value);
  return 1;
}

int32_t Dictionary_SetFloat64ByKey(Dictionary *d, const char *key, double value) noexcept {
  dictionarySetFloat64Text(d, dictionarySetKeyType(d, key, kDictionaryTypeFloat64), value);
  return 1;
}

int32_t Dictionary_SetBooleanByKey(Dictionary *d, const char *key, int32_t value) noexcept {
  dictionarySetBoolean(d, dictionarySetKeyType(d, key, kDictionaryTypeBoolean), value);
  return 1;
}

int32_t Dictionary_SetListByKey(Dictionary *d, const char *key, DictionaryItem **item,
                                Dictionary **child) noexcept {
  DictionaryItem *found = dictionarySetKeyType(d, key, kDictionaryTypeList);
  dictionaryHandItem(item, found);
  if (child != nullptr) *child = found->child;
  return 1;
}

int32_t Dictionary_SetDictionaryByKey(Dictionary *d, const char *key, DictionaryItem **item,
                                      Dictionary **child) noexcept {
  DictionaryItem *found = dictionarySetKeyType(d, key, kDictionaryTypeDictionary);
  dictionaryHandItem(item, found);
  if (child != nullptr) *child = found->child;
  return 1;
}

// ---- Item readers ----------------------------------------------------------
// Each clears its out-value, then answers whether the item gives one.

int32_t dictionaryReadString(const DictionaryItem *item, char *buffer, int32_t size) {
  if (size < 1) return 0;
  buffer[0] = '\0';
  if (item == nullptr || dictionaryType(item) != kDictionaryTypeString) return 0;
  int32_t length = item->valueLength < size - 1 ? item->valueLength : size - 1;
  memcpy(buffer, dictionaryStoredText(item), size_t(length));
  buffer[length] = '\0';
  return 1;
}

int32_t dictionaryReadStringPointer(const DictionaryItem *item, const char **text) {
  *text = nullptr;
  if (item == nullptr || dictionaryType(item) != kDictionaryTypeString) return 0;
  *text = dictionaryStoredText(item);
  return 1;
}

int32_t dictionaryReadText(const DictionaryItem *item, const char **text, int32_t *length) {
  *text = nullptr;
  *length = 0;
  return item != nullptr && dictionaryItemText(item, text, length);
}

int32_t dictionaryReadInt64(const DictionaryItem *item, int64_t *value) {
  *value = 0;
  if (item == nullptr || !dictionaryIsNumberType(dictionaryType(item))) return 0;
  *value = dictionaryTextToInt64(dictionaryStoredText(item));
  return 1;
}

int32_t dictionaryReadInt32(const DictionaryItem *item, int32_t *value) {
  int64_t wide = 0;
  int32_t found = dictionaryReadInt64(item, &wide);
  *value = int32_t(uint32_t(uint64_t(wide)));  // the low 32 bits
  return found;
}

int32_t dictionaryReadFloat64(const DictionaryItem *item, double *value) {
  *value = 0.0;
  if (item == nullptr || !dictionaryIsNumberType(dictionaryType(item))) return 0;
  *value = dictionaryTextToFloat64(dictionaryStoredText(item));
  return 1;
}

int32_t dictionaryReadBoolean(const DictionaryItem *item, int32_t *value) {
  *value = 0;
  if (item == nullptr || dictionaryType(item) != kDictionaryTypeBoolean) return 0;
  *value = (item->type & kDictionaryBooleanBit) != 0;
  return 1;
}

// ---- Get by key ------------------------------------------------------------

namespace {

DictionaryItem *dictionaryKeyItem(Dictionary *d, const char *key, const void *out) {
  DICTIONARY_CHECK(d);
  CHECK_POINTER(key);
  CHECK_POINTER(out);
  return dictionaryFindKey(d, key, nullptr);
}

}  // namespace

int32_t Dictionary_GetTypeByKey(Dictionary *d, const char *key, DictionaryType *type) noexcept {
  DictionaryItem *item = dictionaryKeyItem(d, key, type);
  *type = item != nullptr ? dictionaryType(item) : kDictionaryTypeUnknown;
  return item != nullptr;
}

int32_t Dictionary_GetStringByKey(Dictionary *d, const char *key, char *buffer,
                                  int32_t size) noexcept {
  return dictionaryReadString(dictionaryKeyItem(d, key, buffer), buffer, size);
}

int32_t Dictionary_GetStringPointerByKey(Dictionary *d, const char *key,
                                         const char **text) noexcept {
  return dictionaryReadStringPointer(dictionaryKeyItem(d, key, text), text);
}

int32_t Dictionary_GetTextByKey(Dictionary *d, const char *key, const char **text,
                                int32_t *length) noexcept {
  CHECK_POINTER(length);
  return dictionaryReadText(dictionaryKeyItem(d, key, text), text, length);
}

int32_t Dictionary_GetInt32ByKey(Dictionary *d, const char *key, int32_t *value) noexcept {
  return dictionaryReadInt32(dictionaryKeyItem(d, key, value), value);
}

int32_t Dictionary_GetInt64ByKey(Dictionary *d, const char *key, int64_t *value) noexcept {
  return dictionaryReadInt64(dictionaryKeyItem(d, key, value), value);
}

int32_t Dictionary_GetFloat64ByKey(Dictionary *d, const char *key, double *value) noexcept {
  return dictionaryReadFloat64(dictionaryKeyItem(d, key, value), value);
}

int32_t Dictionary_GetBooleanByKey(Dictionary *d, const char *key, int32_t *value) noexcept {
  return dictionaryReadBoolean(dictionaryKeyItem(d, key, value), value);
}

int32_t Dictionary_GetListByKey(Dictionary *d, const char *key, Dictionary **child) noexcept {
  DictionaryItem *item = dictionaryKeyItem(d, key, child);
  *child = nullptr;
  return dictionaryGetChild(item, kDictionaryTypeList, child);
}

int32_t Dictionary_GetDictionaryByKey(Dictionary *d, const char *key,
                                      Dictionary **child) noexcept {
  DictionaryItem *item = dictionaryKeyItem(d, key, child);
  *child = nullptr;
  return dictionaryGetChild(item, kDictionaryTypeDictionary, child);
}

// ---- Removing --------------------------------------------------------------

int32_t Dictionary_RemoveItem(Dictionary *d, DictionaryItem **item) noexcept {
  DICTIONARY_CHECK(d);
  CHECK_POINTER(item);
  DICTIONARY_CHECK_ITEM(*item);
  DictionaryItem *removed = *item;
  *item = nullptr;
  dictionaryRemoveTree(d, removed);
  return 1;
}

int32_t Dictionary_RemoveKey(Dictionary *d, const char *key) noexcept {
  DICTIONARY_CHECK(d);
  CHECK_POINTER(key);
  DictionaryItem *item = dictionaryFindKey(d, key, nullptr);
  if (item == nullptr) return 0;
  dictionaryRemoveTree(d, item);
  return 1;
}

int32_t Dictionary_RemoveValue(Dictionary *d, const char *text) noexcept {
  CHECK_POINTER(text);
  DictionaryItem *item = nullptr;
  if (!Dictionary_FindValue(d, text, int32_t(strnlen(text, INT32_MAX)), nullptr, &item))
    return 0;
  dictionaryRemoveTree(d, item);
  return 1;
}

int32_t Dictionary_Clear(Dictionary *d) noexcept {
  DICTIONARY_CHECK(d);
  // Nothing of a root's tree is left: whole blocks go back at once.
  if (d->root == d)
    dictionaryEmptyRoot(dictionaryRootOf(d));
  else
    dictionaryClearItems(d);
  return 1;
}

// ---- Item access -----------------------------------------------------------

#define DICTIONARY_CHECK_PAIR(d, item) \
  do {                                 \
    DICTIONARY_CHECK(d);               \
    DICTIONARY_CHECK_ITEM(item);       \
  } while (0)

int32_t Dictionary_GetItemType(Dictionary *d, DictionaryItem *item,
                               DictionaryType *type) noexcept {
  DICTIONARY_CHECK_PAIR(d, item);
  CHECK_POINTER(type);
  *type = dictionaryType(item);
  return 1;
}

int32_t Dictionary_IsItemType(Dictionary *d, DictionaryItem *item, DictionaryType type) noexcept {
  DICTIONARY_CHECK_PAIR(d, item);
  return dictionaryType(item) == type;
}

int32_t Dictionary_IsItemNull(Dictionary *d, DictionaryItem *item) noexcept {
  return Dictionary_IsItemType(d, item, kDictionaryTypeNull);
}

int32_t Dictionary_IsItemContainer(Dictionary *d, DictionaryItem *item) noexcept {
  DICTIONARY_CHECK_PAIR(d, item);
  return dictionaryIsContainerType(dictionaryType(item));
}

int32_t Dictionary_SetItemType(Dictionary *d, DictionaryItem *item, DictionaryType type) noexcept {
  DICTIONARY_CHECK_PAIR(d, item);
  if (type < kDictionaryTypeUnknown || type > kDictionaryTypeDictionary) return 0;
  dictionarySetType(d, item, type);
  return 1;
}

int32_t Dictionary_GetItemKey(Dictionary *d, DictionaryItem *item, const char **key) noexcept {
  DICTIONARY_CHECK_PAIR(d, item);
  CHECK_POINTER(key);
  *key = item->key;
  return item->key != nullptr;
}

int32_t Dictionary_CopyItemKey(Dictionary *d, DictionaryItem *item, char *buffer,
                               int32_t size) noexcept {
  DICTIONARY_CHECK_PAIR(d, item);
  CHECK_POINTER(buffer);
  if (size < 1) return 0;
  buffer[0] = '\0';
  if (item->key == nullptr) return 0;
  Str_Copy(buffer, item->key, size);
  return 1;
}

int32_t Dictionary_SetItemKey(Dictionary *d, DictionaryItem *item, const char *key) noexcept {
  DICTIONARY_CHECK_PAIR(d, item);
  dictionaryStoreKey(d, item, key, key != nullptr ? int32_t(strnlen(key, INT32_MAX)) : 0);
  return 1;
}

int32_t Dictionary_SetItemKeyN(Dictionary *d, DictionaryItem *item, const char *key,
                               int32_t length) noexcept {
  DICTIONARY_CHECK_PAIR(d, item);
  dictionaryStoreKey(d, item, key, length);
  return 1;
}

int32_t Dictionary_GetItemIndex(Dictionary *d, DictionaryItem *item, int32_t *index) noexcept {
  DICTIONARY_CHECK_PAIR(d, item);
  CHECK_POINTER(index);
  int32_t before = 0;
  for (DictionaryItem *at = item->prev; at != nullptr; at = at->prev) before++;
  *index = before;
  return 1;
}

int32_t Dictionary_GetItemContainer(Dictionary *d, DictionaryItem *item,
                                    Dictionary **child) noexcept {
  DICTIONARY_CHECK_PAIR(d, item);
  CHECK_POINTER(child);
  *child = dictionaryChild(item);
  return *child != nullptr;
}

int32_t Dictionary_SetItemHidden(Dictionary *d, DictionaryItem *item, int32_t hidden) noexcept {
  DICTIONARY_CHECK_PAIR(d, item);
  item->type = uint8_t(hidden ? item->type | kDictionaryHiddenBit
                              : item->type & ~kDictionaryHiddenBit);
  return 1;
}

int32_t Dictionary_IsItemHidden(Dictionary *d, DictionaryItem *item) noexcept {
  DICTIONARY_CHECK_PAIR(d, item);
  return (item->type & kDictionaryHiddenBit) != 0;
}

// ---- Item values -----------------------------------------------------------

int32_t Dictionary_SetItemText(Dictionary *d, DictionaryItem *item, const char *text,
                               int32_t length) noexcept {
  DICTIONARY_CHECK_PAIR(d, item);
  dictionarySetText(d, item, text, length);
  return 1;
}

int32_t Dictionary_GetItemText(Dictionary *d, DictionaryItem *item, const char **text,
                               int32_t *length) noexcept {
  DICTIONARY_CHECK_PAIR(d, item);
  CHECK_POINTER(text);
  CHECK_POINTER(length);
  return dictionaryReadText(item, text, length);
}

int32_t Dictionary_SetItemString(Dictionary *d, DictionaryItem *item, const char *text) noexcept {
  DICTIONARY_CHECK_PAIR(d, item);
  dictionarySetStringText(d, item, text);
  return 1;
}

int32_t Dictionary_SetItemStringFormat(Dictionary *d, DictionaryItem *item, const char *format,
                                       ...) noexcept {
  va_list args;
  va_start(args, format);
  int32_t result = Dictionary_SetItemStringFormatV(d, item, format, args);
  va_end(args);
  return result;
}

int32_t Dictionary_SetItemStringFormatV(Dictionary *d, DictionaryItem *item, const char *format,
                                        va_list args) noexcept {
  DICTIONARY_CHECK_PAIR(d, item);
  dictionarySetStringFormat(d, item, format, args);
  return 1;
}

int32_t Dictionary_SetItemInt32(Dictionary *d, DictionaryItem *item, int32_t value) noexcept {
  return Dictionary_SetItemInt64(d, item, value);
}

int32_t Dictionary_SetItemInt64(Dictionary *d, DictionaryItem *item, int64_t value) noexcept {
  DICTIONARY_CHECK_PAIR(d, item);
  dictionarySetInt64Text(d, item, value);
  return 1;
}

int32_t Dictionary_SetItemFloat64(Dictionary *d, DictionaryItem *item, double value) noexcept {
  DICTIONARY_CHECK_PAIR(d, item);
  dictionarySetFloat64Text(d, item, value);
  return 1;
}

int32_t Dictionary_SetItemBoolean(Dictionary *d, DictionaryItem *item, int32_t value) noexcept {
  DICTIONARY_CHECK_PAIR(d, item);
  dictionarySetBoolean(d, item, value);
  return 1;
}

int32_t Dictionary_GetItemString(Dictionary *d, DictionaryItem *item, char *buffer,
                                 int32_t size) noexcept {
  DICTIONARY_CHECK_PAIR(d, item);
  CHECK_POINTER(buffer);
  return dictionaryReadString(item, buffer, size);
}

int32_t Dictionary_GetItemStringPointer(Dictionary *d, DictionaryItem *item,
                                        const char **text) noexcept {
  DICTIONARY_CHECK_PAIR(d, item);
  CHECK_POINTER(text);
  return dictionaryReadStringPointer(item, text);
}

int32_t Dictionary_GetItemInt32(Dictionary *d, DictionaryItem *item, int32_t *value) noexcept {
  DICTIONARY_CHECK_PAIR(d, item);
  CHECK_POINTER(value);
  return dictionaryReadInt32(item, value);
}

int32_t Dictionary_GetItemInt64(Dictionary *d, DictionaryItem *item, int64_t *value) noexcept {
  DICTIONARY_CHECK_PAIR(d, item);
  CHECK_POINTER(value);
  return dictionaryReadInt64(item, value);
}

int32_t Dictionary_GetItemFloat64(Dictionary *d, DictionaryItem *item, double *value) noexcept {
  DICTIONARY_CHECK_PAIR(d, item);
  CHECK_POINTER(value);
  return dictionaryReadFloat64(item, value);
}

int32_t Dictionary_GetItemBoolean(Dictionary *d, DictionaryItem *item, int32_t *value) noexcept {
  DICTIONARY_CHECK_PAIR(d, item);
  CHECK_POINTER(value);
  return dictionaryReadBoolean(item, value);
}

// ---- Walking ---------------------------------------------------------------

namespace {

int32_t dictionaryHandWalk(DictionaryItem **out, DictionaryItem *item) {
  CHECK_POINTER(out);
  *out = item;
  return item != nullptr;
}

}  // namespace

int32_t Dictionary_GetFirstItem(Dictionary *d, DictionaryItem **item) noexcept {
  DICTIONARY_CHECK(d);
  return dictionaryHandWalk(item, d->items.first);
}

int32_t Dictionary_GetLastItem(Dictionary *d, DictionaryItem **item) noexcept {
  DICTIONARY_CHECK(d);
  return dictionaryHandWalk(item, d->items.last);
}

int32_t Dictionary_GetNextItem(Dictionary *d, DictionaryItem *item,
                               DictionaryItem **next) noexcept {
  DICTIONARY_CHECK_PAIR(d, item);
  return dictionaryHandWalk(next, item->next);
}

int32_t Dictionary_GetPrevItem(Dictionary *d, DictionaryItem *item,
                               DictionaryItem **prev) noexcept {
  DICTIONARY_CHECK_PAIR(d, item);
  return dictionaryHandWalk(prev, item->prev);
}

int32_t Dictionary_GetCount(Dictionary *d, int32_t *count) noexcept {
  DICTIONARY_CHECK(d);
  CHECK_POINTER(count);
  *count = d->items.count;
  return 1;
}

int32_t Dictionary_GetParent(Dictionary *d, Dictionary **parent,
                             DictionaryItem **parentItem) noexcept {
  DICTIONARY_CHECK(d);
  CHECK_POINTER(parent);
  CHECK_POINTER(parentItem);
  *parent = d->parent;
  *parentItem = d->parentItem;
  return d->parent != nullptr && d->parentItem != nullptr;
}

// ---- Settings --------------------------------------------------------------

#define DICTIONARY_FLAG_ACCESSORS(Name, field)                           \
  int32_t Dictionary_Set##Name(Dictionary *d, int32_t value) noexcept {  \
    DICTIONARY_CHECK(d);                                                 \
    d->field = value != 0;                                               \
    return 1;                                                            \
  }                                                                      \
  int32_t Dictionary_Get##Name(Dictionary *d) noexcept {                 \
    DICTIONARY_CHECK(d);                                                 \
    return d->field;                                                     \
  }

DICTIONARY_FLAG_ACCESSORS(CaseSensitive, caseSensitive)
DICTIONARY_FLAG_ACCESSORS(HashPrefix, hashPrefix)
DICTIONARY_FLAG_ACCESSORS(AllowDuplicates, allowDuplicates)
DICTIONARY_FLAG_ACCESSORS(StringPool, stringPool)

int32_t Dictionary_SetPoolGrowth(Dictionary *d, int32_t membersPerChunk) noexcept {
  DICTIONARY_CHECK(d);
  d->poolGrowth = membersPerChunk;
  return 1;
}

// ---- Callbacks and log -----------------------------------------------------

namespace {

int32_t dictionarySetCell(Dictionary *d, CallbackCell DictionarySide::*cell, void *context,
                          CallbackFunction function) {
  DICTIONARY_CHECK(d);
  // Before the cell is set, so that the first change after it already looks
  // for callbacks.
  dictionaryRootOf(d)->observed.store(true, std::memory_order_release);
  DictionarySide *side = dictionaryGetSide(d);
  // Clear first: a counted context of the old pair drops its reference.
  Callback_Clear(&(side->*cell));
  if (function != nullptr) Callback_Set(&(side->*cell), context, function);
  return 1;
}

int32_t dictionaryGetCell(Dictionary *d, CallbackCell DictionarySide::*cell, void **context,
                          CallbackFunction *function) {
  DICTIONARY_CHECK(d);
  CHECK_POINTER(context);
  CHECK_POINTER(function);
  *context = nullptr;
  *function = nullptr;
  DictionarySide *side = d->side.load(std::memory_order_acquire);
  if (side == nullptr) return 0;
  return Callback_Get(&(side->*cell), context, function);
}

void dictionaryDefaultLogHook(void *, const char *format, ...) {
  va_list args;
  va_start(args, format);
  Log_PrintV(LOG_DEBUG, KSRC, 0, format, 1, args);
  va_end(args);
}

int32_t dictionaryLogV(Dictionary *d, int32_t indent, const char *format, va_list args) {
  DICTIONARY_CHECK(d);
  CHECK_POINTER(format);
  void *context = nullptr;
  DictionaryLogHook hook = nullptr;
  Dictionary_GetLogHook(d, &context, &hook);
  ClassLog log{};
  log.object = d;
  log.className = "Dictionary";
  log.logName = dictionaryLogName(d);
  log.sinkContext = context;
  log.sink = hook;
  return Class_LogPrint(&log, indent, format, args);
}

}  // namespace

int32_t Dictionary_SetItemAddedCallback(Dictionary *d, void *context,
                                        DictionaryItemAddedCallback function) noexcept {
  return dictionarySetCell(d, &DictionarySide::itemAdded, context,
                           reinterpret_cast<CallbackFunction>(function));
}

int32_t Dictionary_GetItemAddedCallback(Dictionary *d, void **context,
                                        DictionaryItemAddedCallback *function) noexcept {
  CHECK_POINTER(function);
  CallbackFunction stored = nullptr;
  int32_t found = dictionaryGetCell(d, &DictionarySide::itemAdded, context, &stored);
  *function = reinterpret_cast<DictionaryItemAddedCallback>(stored);
  return found;
}

int32_t Dictionary_SetItemRemovedCallback(Dictionary *d, void *context,
                                          DictionaryItemRemovedCallback function) noexcept {
  return dictionarySetCell(d, &DictionarySide::itemRemoved, context,
                           reinterpret_cast<CallbackFunction>(function));
}

int32_t Dictionary_GetItemRemovedCallback(Dictionary *d, void **context,
                                          DictionaryItemRemovedCallback *function) noexcept {
  CHECK_POINTER(function);
  CallbackFunction stored = nullptr;
  int32_t found = dictionaryGetCell(d, &DictionarySide::itemRemoved, context, &stored);
  *function = reinterpret_cast<DictionaryItemRemovedCallback>(stored);
  return found;
}

int32_t Dictionary_SetValueChangedCallback(Dictionary *d, void *context,
                                           DictionaryValueChangedCallback function) noexcept {
  return dictionarySetCell(d, &DictionarySide::valueChanged, context,
                           reinterpret_cast<CallbackFunction>(function));
}

int32_t Dictionary_GetValueChangedCallback(Dictionary *d, void **context,
                                           DictionaryValueChangedCallback *function) noexcept {
  CHECK_POINTER(function);
  CallbackFunction stored = nullptr;
  int32_t found = dictionaryGetCell(d, &DictionarySide::valueChanged, context, &stored);
  *function = reinterpret_cast<DictionaryValueChangedCallback>(stored);
  return found;
}

int32_t Dictionary_SetLogHook(Dictionary *d, void *context, DictionaryLogHook hook) noexcept {
  return dictionarySetCell(d, &DictionarySide::logHook, context,
                           reinterpret_cast<CallbackFunction>(hook));
}

int32_t Dictionary_GetLogHook(Dictionary *d, void **context, DictionaryLogHook *hook) noexcept {
  CHECK_POINTER(hook);
  CallbackFunction stored = nullptr;
  if (dictionaryGetCell(d, &DictionarySide::logHook, context, &stored)) {
    *hook = reinterpret_cast<DictionaryLogHook>(stored);
  } else {
    *context = nullptr;
    *hook = dictionaryDefaultLogHook;
  }
  return 1;
}

int32_t Dictionary_Log(Dictionary *d, const char *format, ...) noexcept {
  va_list args;
  va_start(args, format);
  int32_t result = dictionaryLogV(d, 0, format, args);
  va_end(args);
  return result;
}

int32_t Dictionary_LogIndent(Dictionary *d, int32_t indent, const char *format, ...) noexcept {
  va_list args;
  va_start(args, format);
  int32_t result = dictionaryLogV(d, indent, format, args);
  va_end(args);
  return result;
}

int32_t Dictionary_SetLogName(Dictionary *d, const char *name) noexcept {
  DICTIONARY_CHECK(d);
  if (name == nullptr) {
    if (DictionarySide *side = d->side.load(std::memory_order_acquire)) side->logName = nullptr;
    return 1;
  }
  DictionaryRoot *root = dictionaryRootOf(d);
  for (DictionaryLogName *known = root->logNames; known != nullptr; known = known->next) {
    if (strcmp(known->Text(), name) == 0) {
      dictionaryGetSide(d)->logName = known->Text();
      return 1;
    }
  }
  size_t length = strlen(name);
  int64_t bytes = int64_t(sizeof(DictionaryLogName) + length + 1);
  auto *made = static_cast<DictionaryLogName *>(MEM_ALLOC(bytes, 0));
  made->bytes = bytes;
  memcpy(made->Text(), name, length + 1);
  made->next = root->logNames;
  root->logNames = made;
  dictionaryGetSide(d)->logName = made->Text();
  return 1;
}

// ---- The operation table -----------------------------------------------------

// The record layout plug-ins read must be the header prefix they declare.
static_assert(offsetof(Dictionary, header) == 0);
static_assert(offsetof(ObjectHeader, classTag) == offsetof(DictionaryObjectHeader, classTag));
static_assert(offsetof(ObjectHeader, refCount) ==
              offsetof(DictionaryObjectHeader, referenceCount));
static_assert(offsetof(ObjectHeader, destroy) == offsetof(DictionaryObjectHeader, destroy));
static_assert(offsetof(Dictionary, table) == offsetof(DictionaryObjectHeader, table));
static_assert(sizeof(std::atomic<int32_t>) == sizeof(int32_t));
static_assert(sizeof(DictionaryItem) == 48, "items stay lean: a parsed tree holds millions");
static_assert(sizeof(Dictionary) == 128, "containers stay lean");

const DictionaryInterface kDictionaryInterface = {
    Dictionary_GetParent,                  // 0
    Dictionary_AddKey,                     // 1
    Dictionary_AddNull,                    // 2
    Dictionary_AddString,                  // 3
    Dictionary_AddInt32,                   // 4
    Dictionary_AddInt64,                   // 5
    Dictionary_AddFloat64,                 // 6
    Dictionary_AddBoolean,                 // 7
    Dictionary_AddList,                    // 8
    Dictionary_AddDictionary,              // 9
    Dictionary_AddItem,                    // 10
    Dictionary_InsertItem,                 // 11
    Dictionary_RemoveItem,                 // 12
    Dictionary_ParseKeyValueText,          // 13
    Dictionary_FormatKeyValueText,         // 14
    Dictionary_HasKey,                     // 15
    Dictionary_GetOrAddIndex,              // 16
    Dictionary_SetListByIndex,             // 17
    Dictionary_SetDictionaryByIndex,       // 18
    Dictionary_FindOrAddKey,               // 19
    Dictionary_SetListByKey,               // 20
    Dictionary_SetDictionaryByKey,         // 21
    Dictionary_GetTypeByKey,               // 22
    Dictionary_SetStringByKey,             // 23
    Dictionary_GetStringByKey,             // 24
    Dictionary_SetStringFormatVByKey,      // 25
    Dictionary_GetStringPointerByKey,      // 26
    Dictionary_GetTextByKey,               // 27
    Dictionary_SetInt32ByKey,              // 28
    Dictionary_GetInt32ByKey,              // 29
    Dictionary_SetInt64ByKey,              // 30
    Dictionary_GetInt64ByKey,              // 31
    Dictionary_SetFloat64ByKey,            // 32
    Dictionary_GetFloat64ByKey,            // 33
    Dictionary_SetBooleanByKey,            // 34
    Dictionary_GetBooleanByKey,            // 35
    Dictionary_GetListByIndex,             // 36
    Dictionary_GetDictionaryByIndex,       // 37
    Dictionary_GetListByKey,               // 38
    Dictionary_GetDictionaryByKey,         // 39
    Dictionary_RemoveKey,                  // 40
    Dictionary_GetItemPath,                // 41
    Dictionary_IsItemContainer,            // 42
    Dictionary_IsItemNull,                 // 43
    Dictionary_GetItemIndex,               // 44
    Dictionary_SetItemType,                // 45
    Dictionary_GetItemType,                // 46
    Dictionary_IsItemType,                 // 47
    Dictionary_SetItemKey,                 // 48
    Dictionary_SetItemKeyN,                // 49
    Dictionary_CopyItemKey,                // 50
    Dictionary_GetItemKey,                 // 51
    Dictionary_SetItemString,              // 52
    Dictionary_SetItemStringFormatV,       // 53
    Dictionary_GetItemString,              // 54
    Dictionary_GetItemStringPointer,       // 55
    Dictionary_SetItemText,                // 56
    Dictionary_GetItemText,                // 57
    Dictionary_SetItemFloat64,             // 58
    Dictionary_GetItemFloat64,             // 59
    Dictionary_SetItemInt32,               // 60
    Dictionary_GetItemInt32,               // 61
    Dictionary_SetItemInt64,               // 62
    Dictionary_GetItemInt64,               // 63
    Dictionary_SetItemBoolean,             // 64
    Dictionary_GetItemBoolean,             // 65
    // The shared do-nothing entry of operation tables; it reads no argument,
    // so calling it through a prototype without parameters is sound.
    reinterpret_cast<int32_t (*)(void)>(Callback_ReturnTrue),  // 66
    Dictionary_GetItemContainer,           // 67
    Dictionary_ResolvePath,                // 68
    Dictionary_FindKey,                    // 69
    Dictionary_FindValue,                  // 70
    Dictionary_GetItemByIndex,             // 71
    Dictionary_GetNextItem,                // 72
    Dictionary_GetPrevItem,                // 73
    Dictionary_GetFirstItem,               // 74
    Dictionary_GetLastItem,                // 75
    Dictionary_GetCount,                   // 76
    Dictionary_Log,                        // 77
    Dictionary_LogIndent,                  // 78
    Dictionary_SetLogHook,                 // 79
    Dictionary_GetLogHook,                 // 80
    Dictionary_Sync,                       // 81
    Dictionary_SyncItems,                  // 82
    Dictionary_SyncRemove,                 // 83
    Dictionary_Merge,                      // 84
    Dictionary_MergeFrom,                  // 85
    Dictionary_Unwrap,                     // 86
    Dictionary_Clear,                      // 87
    Dictionary_Print,                      // 88
    Dictionary_SetCaseSensitive,           // 89
    Dictionary_GetCaseSensitive,           // 90
    Dictionary_SetAllowDuplicates,         // 91
    Dictionary_GetAllowDuplicates,         // 92
    Dictionary_SetStringPool,              // 93
    Dictionary_GetStringPool,              // 94
    Dictionary_SetPoolGrowth,              // 95
    Dictionary_SetItemRemovedCallback,     // 96
    Dictionary_GetItemRemovedCallback,     // 97
    Dictionary_SetItemAddedCallback,       // 98
    Dictionary_GetItemAddedCallback,       // 99
    Dictionary_SetValueChangedCallback,    // 100
    Dictionary_GetValueChangedCallback,    // 101
    Dictionary_MergeItem,                  // 102
    Dictionary_SetStringFormatByKey,       // 103
    Dictionary_SetItemStringFormat,        // 104
    Dictionary_SetStringByPath,            // 105
    Dictionary_GetStringByPath,            // 106
    Dictionary_GetTextByPath,              // 107
    Dictionary_SetInt32ByPath,             // 108
    Dictionary_GetInt32ByPath,             // 109
    Dictionary_SetInt64ByPath,             // 110
    Dictionary_GetInt64ByPath,             // 111
    Dictionary_SetFloat64ByPath,           // 112
    Dictionary_GetFloat64ByPath,           // 113
    Dictionary_SetBooleanByPath,           // 114
    Dictionary_GetBooleanByPath,           // 115
    Dictionary_UnwrapContainer,            // 116
    Dictionary_SetItemHidden,              // 117
    Dictionary_IsItemHidden,               // 118
    Dictionary_SetHashPrefix,              // 119
    Dictionary_GetHashPrefix,              // 120
    Dictionary_AddRef,                     // 121
    Dictionary_Release,                    // 122
    Dictionary_CreatePath,                 // 123
    Dictionary_HasPath,                    // 124
    Dictionary_GetStringPointerByPath,     // 125
    Dictionary_HasValue,                   // 126
    Dictionary_RemoveValue,                // 127
    Dictionary_GetContainerByPath,         // 128
};
