// Event queues; see eventqueue.h.
#include "core/platform/eventqueue.h"

#include <cmath>
#include <cstring>
#include <new>
#include <thread>

#include "core/runtime/core.h"
#include "core/runtime/memory.h"
#include "core/platform/platform.h"
#include "core/platform/thread.h"

namespace {

// The main queue's budget: the single-precision constant 0.1, widened
// (0.10000000149011612 s).
constexpr double kEventQueueMainBudgetSeconds = double(0.1f);
// A foreign cancel polls the running count this often.
constexpr uint32_t kEventQueueCancelPollMs = 1;
// The callback index has at least this many slots (16 KiB), so that a queue
// with few callbacks pending rebuilds it only every few hundred posts; a trim
// leaves tables of up to kEventQueueIndexTrimFloor slots (128 KiB) alone.
constexpr int32_t kEventQueueIndexMinSlots = 1024;
constexpr int32_t kEventQueueIndexTrimFloor = 8192;
constexpr uint64_t kEventQueueIndexTrimPosts = 4;
// In front of the table, a filter answers most lookups of pairs that have no
// entry without a visit to the table; the entries of such posts wait in a log
// of kEventQueueIndexLogSize before they go into the table. The filter has
// four bits per table slot, at least 2^17 (16 KiB) and at most 2^24 (2 MiB):
// up to half the slots hold an entry before a rebuild clears it, so at least
// 8 bits per entry keep "maybe" to about one lookup in ten. A fixed filter
// would say "maybe" for a third of the posts once a consumer fell some
// 50,000 callbacks behind, and each of those visits a table far larger than
// the caches.
constexpr uint32_t kEventQueueFilterMinBitsLog2 = 17;
constexpr uint32_t kEventQueueFilterMaxBitsLog2 = 24;
constexpr uint32_t kEventQueueFilterBitsPerSlotLog2 = 2;
constexpr int32_t kEventQueueIndexLogSize = 256;
// The slot of an entry that goes into the log.
constexpr uint32_t kEventQueueLogSlot = 0xffffffffu;
// A lister waiting for a claimed slot to be filled looks this many times
// before it gives its processor away between looks.
constexpr int32_t kEventQueueIntakeSpins = 256;
// A post that finds the intake full gives its processor away this many times
// waiting for the owner before it lists the intake itself. It yields rather
// than sleeps: the shortest sleep lasts as long as the thread's timer slack
// (50 us on Linux), in which the owner empties the intake and falls idle.
constexpr int32_t kEventQueueIntakeOwnerWaits = 32;

static_assert(sizeof(EventQueueEventStruct) % 8 == 0, "the payload must stay 8-byte aligned");
static_assert(kEventQueueMaxEventSize % 8 == 0, "records fill whole pool slots");

std::atomic<EventQueue *> gEventQueueMain{nullptr};

inline uint8_t *eventQueuePayload(EventQueueEventStruct *event) {
  return reinterpret_cast<uint8_t *>(event + 1);
}

inline const EventQueueCallbackPayload *eventQueueCallbackOf(EventQueueEventStruct *event) {
  return reinterpret_cast<const EventQueueCallbackPayload *>(eventQueuePayload(event));
}

// 1 when the payload is a posted callback's: the events that callback
// coalescing can match, and so the ones the index holds.
inline int eventQueueIsCallback(EventQueueEventStruct *event) {
  return event->payloadSize >= sizeof(EventQueueCallbackPayload) &&
         eventQueueCallbackOf(event)->tag == kEventQueueCallbackTag;
}

EventQueue *eventQueueResolve(EventQueue *queue, const char *sourcePath, int line) {
  if (queue == nullptr) queue = gEventQueueMain.load(std::memory_order_acquire);
  Class_Check(queue, kEventQueueTag, sourcePath, line);
  return queue;
}

void eventQueueListCheck(EventQueueList *list) {
  if (list->tag != kEventQueueEventTag)
    Core_Abort(KSRC, "Class mismatch pointer (0x%p: expected 0x%08x but was 0x%08x)\n", list,
               kEventQueueEventTag, list->tag);
}

// ---- Marks and counts shared with other threads -------------------------------------

inline uint32_t eventQueueCancelled(EventQueueEventStruct *event) {
  return __atomic_load_n(&event->cancelled, __ATOMIC_SEQ_CST);
}

inline uint32_t eventQueueStarted(EventQueueEventStruct *event) {
  return __atomic_load_n(&event->started, __ATOMIC_SEQ_CST);
}

inline int32_t eventQueueLoad(int32_t *value) { return __atomic_load_n(value, __ATOMIC_SEQ_CST); }

// ---- Callback index ---------------------------------------------------------------
//
// Callback coalescing compares a new callback with every pending one. With
// thousands pending, a walk per post would make posting cost grow with the
// backlog; the index finds the same matches by (context, function) in an
// open-addressed table that only posters touch. An entry whose event has
// started, was cancelled or left the list (its record reused or idle) is no
// match; such entries are dropped whenever the table is rebuilt, which
// happens when it is half full.

inline uint32_t eventQueueIndexHash(uintptr_t id, EventQueueCallback function) {
  uint64_t h = uint64_t(id) * 0x9e3779b97f4a7c15ULL;
  h ^= uint64_t(reinterpret_cast<uintptr_t>(function)) * 0xc2b2ae3d27d4eb4fULL;
  h ^= h >> 29;
  return uint32_t(h);
}

// 1 while the entry's event is the same post and pending: not started and not
// cancelled.
inline int eventQueueIndexLive(const EventQueueIndexEntry *entry) {
  EventQueueEventStruct *event = entry->event;
  return event->tag == kEventQueueEventTag && uint32_t(event->sequence) == entry->sequence &&
         !eventQueueCancelled(event) && !eventQueueStarted(event);
}

// Puts the entry in the first free slot of its probe run (table not full).
void eventQueueIndexPlace(EventQueueIndexEntry *table, int32_t capacity,
                          const EventQueueIndexEntry &entry) {
  uint32_t slot = entry.hash & uint32_t(capacity - 1);
  while (table[slot].event != nullptr) slot = (slot + 1) & uint32_t(capacity - 1);
  table[slot] = entry;
}

// The first listed event with a callback payload, from event on (NULL: none).
EventQueueEventStruct *eventQueueNextIndexed(EventQueueEventStruct *event) {
  while (event != nullptr && !event->indexed) event = event->next;
  return event;
}

// The filter's bit for a hash (shift: 32 - the filter's bits, log 2): other
// bits of it than the table slot's.
inline uint32_t eventQueueFilterBit(uint32_t hash, uint32_t shift) {
  return (hash * 0x9e3779b1u) >> shift;
}

inline int64_t eventQueueFilterBytes(uint32_t shift) { return (int64_t(1) << (32 - shift)) / 8; }

inline void eventQueueFilterSet(EventQueue *queue, uint32_t hash) {
  const uint32_t bit = eventQueueFilterBit(hash, queue->indexFilterShift);
  queue->indexFilter[bit / 64] |= uint64_t(1) << (bit % 64);
}

inline int eventQueueFilterHas(EventQueue *queue, uint32_t hash) {
  const uint32_t bit = eventQueueFilterBit(hash, queue->indexFilterShift);
  return (queue->indexFilter[bit / 64] >> (bit % 64)) & 1;
}

// An empty filter sized for a table of capacity slots (its memory reused when
// the size stays).
void eventQueueFilterReset(EventQueue *queue, int32_t capacity) {
  uint32_t bitsLog2 = kEventQueueFilterMinBitsLog2;
  while (bitsLog2 < kEventQueueFilterMaxBitsLog2 &&
         (int64_t(1) << bitsLog2) < (int64_t(capacity) << kEventQueueFilterBitsPerSlotLog2))
    bitsLog2++;
  const uint32_t shift = 32 - bitsLog2;
  const int64_t bytes = eventQueueFilterBytes(shift);
  if (queue->indexFilter != nullptr && queue->indexFilterShift == shift) {
    memset(queue->indexFilter, 0, size_t(bytes));
    return;
  }
  if (queue->indexFilter != nullptr)
    MEM_FREE(queue->indexFilter, eventQueueFilterBytes(queue->indexFilterShift));
  queue->indexFilter = static_cast<uint64_t *>(MEM_ALLOC(bytes, MEM_ZEROED));
  queue->indexFilterShift = shift;
  queue->filterHint.store(queue->indexFilter, std::memory_order_relaxed);
  queue->filterShiftHint.store(shift, std::memory_order_relaxed);
}

// The list is in posting order, so every entry posted before the first
// listed callback is stale, which its sequence number shows without its
// record being read. Sequence numbers compare modulo 2^32: far fewer posts
// than that are ever pending, and an entry misjudged as later than the first
// listed callback is only kept.
inline uint32_t eventQueueIndexFloor(EventQueue *queue) {
  return uint32_t(queue->firstIndexed != nullptr ? queue->firstIndexed->sequence - 1
                                                 : queue->sequence);
}

inline int eventQueueIndexAfter(const EventQueueIndexEntry &entry, uint32_t floor) {
  return int32_t(entry.sequence - floor) > 0;
}

// Drops the logged entries posted before the first listed callback; returns
// how many are left.
int32_t eventQueueIndexKeepLogged(EventQueue *queue) {
  const uint32_t floor = eventQueueIndexFloor(queue);
  int32_t kept = 0;
  EventQueueIndexEntry *log = queue->indexLog;
  for (int32_t i = 0; i < queue->indexLogCount; i++)
    if (eventQueueIndexAfter(log[i], floor)) log[kept++] = log[i];
  queue->indexLogCount = kept;
  return kept;
}

// Keeps the live entries, those of the table and those logged, in a table of
// at least four slots per entry, and sets the filter for them alone. Entries
// before the first listed callback go without their records being read; only
// when a long-pending callback holds that bound back do the records of the
// rest get read. The old table's memory is kept for the next rebuild of the
// same size.
void eventQueueIndexRebuild(EventQueue *queue) {
  if (queue->indexLog == nullptr)
    queue->indexLog = static_cast<EventQueueIndexEntry *>(MEM_ALLOC(
        int64_t(kEventQueueIndexLogSize) * int64_t(sizeof(EventQueueIndexEntry)), MEM_ZEROED));
  EventQueueIndexEntry *old = queue->index;
  const int32_t oldCapacity = queue->indexCapacity;
  const uint32_t floor = eventQueueIndexFloor(queue);
  int32_t live = 0;
  for (int32_t i = 0; i < oldCapacity; i++)
    if (old[i].event != nullptr && eventQueueIndexAfter(old[i], floor)) old[live++] = old[i];
  if (live > 2 * queue->callbackCount + kEventQueueIndexMinSlots / 2) {
    int32_t kept = 0;
    for (int32_t i = 0; i < live; i++)
      if (eventQueueIndexLive(&old[i])) old[kept++] = old[i];
    live = kept;
  }
  const int32_t logged = eventQueueIndexKeepLogged(queue);
  queue->indexLogCount = 0;
  int32_t capacity = kEventQueueIndexMinSlots;
  while (capacity < (live + logged) * 4) capacity *= 2;
  const int64_t bytes = int64_t(capacity) * int64_t(sizeof(EventQueueIndexEntry));
  EventQueueIndexEntry *table = queue->indexSpare;
  if (table != nullptr && queue->indexSpareCapacity == capacity) {
    memset(table, 0, size_t(bytes));
  } else {
    if (table != nullptr)
      MEM_FREE(table, int64_t(queue->indexSpareCapacity) * int64_t(sizeof(EventQueueIndexEntry)));
    table = static_cast<EventQueueIndexEntry *>(MEM_ALLOC(bytes, MEM_ZEROED));
  }
  eventQueueFilterReset(queue, capacity);
  for (int32_t i = 0; i < live; i++) {
    eventQueueIndexPlace(table, capacity, old[i]);
    eventQueueFilterSet(queue, old[i].hash);
  }
  for (int32_t i = 0; i < logged; i++) {
    eventQueueIndexPlace(table, capacity, queue->indexLog[i]);
    eventQueueFilterSet(queue, queue->indexLog[i].hash);
  }
  queue->index = table;
  queue->indexCapacity = capacity;
  queue->indexHint.store(table, std::memory_order_relaxed);
  queue->indexMaskHint.store(uint32_t(capacity - 1), std::memory_order_relaxed);
  queue->indexUsed = live + logged;
  queue->indexRebuiltAt = queue->sequence;
  // A table of another size is not needed again soon: a trim gives it back.
  if (old != nullptr && oldCapacity != capacity) {
    MEM_FREE(old, int64_t(oldCapacity) * int64_t(sizeof(EventQueueIndexEntry)));
    old = nullptr;
  }
  queue->indexSpare = old;
  queue->indexSpareCapacity = old != nullptr ? oldCapacity : 0;
}

// Moves the logged entries into the table, but for those already stale: the
// owner that lists a batch of callbacks and runs them before the log fills
// leaves the table alone. The slots are asked of the cache all at once
// before any is written, so that the waits overlap.
void eventQueueIndexDrainLog(EventQueue *queue) {
  const int32_t count = eventQueueIndexKeepLogged(queue);
  if (count == 0) return;
  if (2 * (queue->indexUsed + count) > queue->indexCapacity) {
    eventQueueIndexRebuild(queue);
    return;
  }
  const uint32_t mask = uint32_t(queue->indexCapacity - 1);
  for (int32_t i = 0; i < count; i++)
    __builtin_prefetch(&queue->index[queue->indexLog[i].hash & mask]);
  for (int32_t i = 0; i < count; i++)
    eventQueueIndexPlace(queue->index, queue->indexCapacity, queue->indexLog[i]);
  queue->indexUsed += count;
  queue->indexLogCount = 0;
}

// 1 when the entry is the pending callback of that context and function.
inline int eventQueueIndexMatch(const EventQueueIndexEntry &entry, uintptr_t id,
                                EventQueueCallback function) {
  EventQueueEventStruct *event = entry.event;
  return event->tag == kEventQueueEventTag && uint32_t(event->sequence) == entry.sequence &&
         event->id == id && eventQueueCallbackOf(event)->function == function &&
         !eventQueueCancelled(event) && !eventQueueStarted(event);
}

// The pending callback of that context and function (hash: their hash), or
// NULL. *slot is where a new entry for the pair goes: the first of its stale
// entries, else the free slot that ends the probe run, or kEventQueueLogSlot
// when the filter shows that no entry has the hash: then the entry is logged,
// and the table is only written when the log is full. A "maybe" of the
// filter looks through the log (a few kilobytes read in order) rather than
// drain it into the table, where its entries would stay after their
// callbacks ran until the next rebuild.
EventQueueEventStruct *eventQueueIndexFind(EventQueue *queue, uintptr_t id,
                                           EventQueueCallback function, uint32_t hash,
                                           uint32_t *slot) {
  if (queue->index == nullptr) eventQueueIndexRebuild(queue);
  if (!eventQueueFilterHas(queue, hash)) {
    *slot = kEventQueueLogSlot;
    return nullptr;
  }
  for (int32_t i = 0; i < queue->indexLogCount; i++) {
    const EventQueueIndexEntry &entry = queue->indexLog[i];
    if (entry.hash == hash && eventQueueIndexMatch(entry, id, function)) return entry.event;
  }
  if (2 * (queue->indexUsed + 1) > queue->indexCapacity) eventQueueIndexRebuild(queue);
  const uint32_t mask = uint32_t(queue->indexCapacity - 1);
  int64_t reuse = -1;
  for (uint32_t at = hash & mask;; at = (at + 1) & mask) {
    EventQueueIndexEntry *entry = &queue->index[at];
    if (entry->event == nullptr) {
      *slot = reuse >= 0 ? uint32_t(reuse) : at;
      return nullptr;
    }
    if (entry->hash != hash) continue;
    EventQueueEventStruct *event = entry->event;
    const int samePost =
        event->tag == kEventQueueEventTag && uint32_t(event->sequence) == entry->sequence;
    // Another pair with the same hash: its entry stays.
    if (samePost && (event->id != id || eventQueueCallbackOf(event)->function != function))
      continue;
    if (samePost && !eventQueueCancelled(event) && !eventQueueStarted(event)) return event;
    if (reuse < 0) reuse = at;
  }
}

void eventQueueIndexInsert(EventQueue *queue, uint32_t slot, uint32_t hash,
                           EventQueueEventStruct *event) {
  const EventQueueIndexEntry entry = {hash, uint32_t(event->sequence), event};
  eventQueueFilterSet(queue, hash);
  if (slot == kEventQueueLogSlot) {
    if (queue->indexLogCount == kEventQueueIndexLogSize) eventQueueIndexDrainLog(queue);
    queue->indexLog[queue->indexLogCount++] = entry;
    return;
  }
  if (queue->index[slot].event == nullptr) queue->indexUsed++;
  queue->index[slot] = entry;
}

// Asks the cache for the filter word of a pair and for its first table slot
// before the lock is taken: with many callbacks pending the filter says
// "maybe" for most pairs, and the slot is then the post's one cache miss.
inline void eventQueueIndexPrefetch(EventQueue *queue, uint32_t hash) {
  uint64_t *filter = queue->filterHint.load(std::memory_order_relaxed);
  if (filter != nullptr)
    __builtin_prefetch(
        &filter[eventQueueFilterBit(hash, queue->filterShiftHint.load(std::memory_order_relaxed)) /
                64]);
  EventQueueIndexEntry *index = queue->indexHint.load(std::memory_order_relaxed);
  if (index != nullptr)
    __builtin_prefetch(&index[hash & queue->indexMaskHint.load(std::memory_order_relaxed)]);
}

// A table grown by a burst would spread the few entries left over memory the
// caches no longer hold. Called as the outermost flush ends; the floor keeps
// ordinary queues from rebuilding at every flush. A queue in steady heavy use
// drains between flushes too, but grows its table again at once: only a table
// that has gone kEventQueueIndexTrimPosts times its size in posts without
// growing is shrunk, so that a busy queue does not shrink and regrow it all
// the time.
void eventQueueIndexTrim(EventQueue *queue) {
  if (queue->indexCapacity > kEventQueueIndexTrimFloor &&
      queue->callbackCount * 16 < queue->indexCapacity &&
      queue->sequence - queue->indexRebuiltAt >
          uint64_t(queue->indexCapacity) * kEventQueueIndexTrimPosts)
    eventQueueIndexRebuild(queue);
}

// ---- Records and the list (under the queue's lock) ------------------------------------

void eventQueueAppend(EventQueue *queue, EventQueueEventStruct *event) {
  EventQueueList *list = &queue->list;
  eventQueueListCheck(list);
  event->next = nullptr;
  event->prev = list->tail;
  if (list->tail != nullptr)
    list->tail->next = event;
  else
    list->head = event;
  list->tail = event;
  list->count++;
}

// Puts a record that is not listed on the free list.
void eventQueueFreeRecord(EventQueue *queue, EventQueueEventStruct *event) {
  event->next = queue->freeEvents;
  queue->freeEvents = event;
  queue->freeHint.store(event, std::memory_order_relaxed);
}

// A record out of the list waits on the queue's free list for the next post.
// The pool finds a member to free by walking the members in use, which grows
// with the backlog; recycling here keeps both ends of the queue
// constant-time. The records go back to the pool with the queue.
void eventQueueUnlink(EventQueue *queue, EventQueueEventStruct *event) {
  EventQueueList *list = &queue->list;
  eventQueueListCheck(list);
  if (event->indexed) {
    queue->callbackCount--;
    if (event == queue->firstIndexed) queue->firstIndexed = eventQueueNextIndexed(event->next);
  }
  if (event->prev != nullptr)
    event->prev->next = event->next;
  else
    list->head = event->next;
  if (event->next != nullptr)
    event->next->prev = event->prev;
  else
    list->tail = event->prev;
  list->count--;
  event->tag = 0;
  eventQueueFreeRecord(queue, event);
}

// Takes the run from..to (count events, callbacks of them with a callback
// payload) out of the list at once and puts it, still linked by next, on the
// free list. The records keep their tag and their started mark, so the
// callback index sees them as gone without their being touched again.
void eventQueueUnlinkRun(EventQueue *queue, EventQueueEventStruct *from, EventQueueEventStruct *to,
                         int32_t count, int32_t callbacks) {
  EventQueueList *list = &queue->list;
  eventQueueListCheck(list);
  if (from->prev != nullptr)
    from->prev->next = to->next;
  else
    list->head = to->next;
  if (to->next != nullptr)
    to->next->prev = from->prev;
  else
    list->tail = from->prev;
  EventQueueEventStruct *firstIndexed = queue->firstIndexed;
  if (firstIndexed != nullptr && firstIndexed->sequence >= from->sequence &&
      firstIndexed->sequence <= to->sequence)
    queue->firstIndexed = eventQueueNextIndexed(to->next);
  list->count -= count;
  queue->callbackCount -= callbacks;
  to->next = queue->freeEvents;
  queue->freeEvents = from;
  queue->freeHint.store(from, std::memory_order_relaxed);
}

// Asks for the lines of a record a post writes (the header and a callback's
// payload), to own them.
inline void eventQueuePrefetchForWrite(const EventQueueEventStruct *event) {
  const char *bytes = reinterpret_cast<const char *>(event);
  __builtin_prefetch(bytes, 1);
  __builtin_prefetch(bytes + sizeof(EventQueueEventStruct) + sizeof(EventQueueCallbackPayload) - 1,
                     1);
}

// A record for a post; the caller sets every header field.
EventQueueEventStruct *eventQueueNewEvent(EventQueue *queue) {
  EventQueueEventStruct *event = queue->freeEvents;
  if (event == nullptr)
    return static_cast<EventQueueEventStruct *>(POOL_ALLOC(queue->pool, kEventQueueMaxEventSize));
  EventQueueEventStruct *next = event->next;
  queue->freeEvents = next;
  queue->freeHint.store(next, std::memory_order_relaxed);
  // The next post writes that record, which the owner wrote last: asking for
  // it now gives the transfer a whole post to arrive, where the hint alone
  // leaves it the moment before the lock.
  if (next != nullptr) eventQueuePrefetchForWrite(next);
  return event;
}

// Takes the started events out of the list, except keep (the walk's place).
void eventQueueUnlinkStarted(EventQueue *queue, EventQueueEventStruct *keep) {
  EventQueueEventStruct *event = queue->startedHead;
  queue->startedHead = queue->startedTail = nullptr;
  queue->startedCount = 0;
  while (event != nullptr) {
    EventQueueEventStruct *next = event->startedNext;
    event->startedNext = nullptr;
    if (event == keep) {
      queue->startedHead = queue->startedTail = event;
      queue->startedCount = 1;
    } else {
      eventQueueUnlink(queue, event);
    }
    event = next;
  }
}

// When a walk started: the tick and the last post before it.
struct EventQueueWalk {
  double start;
  uint64_t sequence;
};

// A callback is due from its post on; its post's place in the sequence says
// that exactly, without reading the clock for every post.
inline int eventQueueDue(const EventQueueEventStruct *event, const EventQueueWalk &walk) {
  return event->dueAtPost ? event->sequence <= walk.sequence : event->fireTime <= walk.start;
}

// ---- Running events (owner, without the lock) ---------------------------------------

// How many records the walk asks the caches for ahead of the one it visits.
constexpr int32_t kEventQueuePrefetchAhead = 6;

// The lines of a record that a visit reads: the header and a callback's
// payload.
inline void eventQueuePrefetch(const EventQueueEventStruct *event) {
  const char *bytes = reinterpret_cast<const char *>(event);
  __builtin_prefetch(bytes);
  __builtin_prefetch(bytes + 64);
  __builtin_prefetch(bytes + sizeof(EventQueueEventStruct) + sizeof(EventQueueCallbackPayload) - 1);
}
//
// A walk counts as running from the start to the end of each stretch. Before
// each handler it reads the cancelled mark, after its own count went up; a
// cancel marks before it reads the count. So either the walk sees the mark
// or the cancel sees it running and waits.

// A cancel is waiting for the count to reach 0. When this walk is the only
// one counted, it stands aside until every waiting cancel has seen the count
// at 0 and returned: a cancel polls, and a walk that only stepped through
// the lock would be counted again before the poll came round, so a steady
// stream of handlers could hold the cancel off for good. A nested walk counts
// on top of a running handler, which the cancel must wait for anyway.
void eventQueueYieldToCancel(EventQueue *queue) {
  if (eventQueueLoad(&queue->cancelWaiters) == 0) return;
  if (Platform_AtomicDecrement(&queue->running) == 0) {
    while (eventQueueLoad(&queue->cancelWaiters) > 0) Platform_SleepMs(0);
  }
  Platform_AtomicIncrement(&queue->running);
}

// Visits one event of the walk: a due or cancelled event that has not started
// runs its handler (unless cancelled) and then its done handler, under the
// lock. Returns 1 when it ran.
int eventQueueVisit(EventQueue *queue, EventQueueEventStruct *event, const EventQueueWalk &walk) {
  if (event->started) return 0;  // a nested flush ran it
  if (!eventQueueCancelled(event) && !eventQueueDue(event, walk)) return 0;
  // Posters read the mark to skip it: it must be visible before the handler
  // can see anything, hence the full barrier.
  __atomic_store_n(&event->started, 1, __ATOMIC_SEQ_CST);
  if (queue->startedTail != nullptr)
    queue->startedTail->startedNext = event;
  else
    queue->startedHead = event;
  queue->startedTail = event;
  queue->startedCount++;
  eventQueueYieldToCancel(queue);
  if (!eventQueueCancelled(event)) event->handler(event->id, eventQueuePayload(event));
  if (event->done != nullptr) {
    CriticalSection_Enter(queue->lock);
    event->done(event->id, eventQueuePayload(event));
    CriticalSection_Leave(queue->lock);
  }
  return 1;
}

// 1 when a pending event makes the new one unnecessary. Cancelled events
// never count: they will not run, so dropping a post for them would lose it;
// nor do started ones, which run before the new post could.
int eventQueueCoalesced(EventQueue *queue, uintptr_t id, const void *payload,
                        EventQueueCoalesce coalesce) {
  for (EventQueueEventStruct *event = queue->list.head; event != nullptr; event = event->next) {
    if (eventQueueCancelled(event) || eventQueueStarted(event)) continue;
    if (coalesce(id, payload, event->id, eventQueuePayload(event)) == 1) return 1;
  }
  return 0;
}

// Lists a new event, under the lock: the post's work once the intake is
// listed. Callback coalescing (byCallback, hash: the pair's) asks the index
// instead of walking the list. Returns 1 when listed, 0 when coalesced away.
int eventQueueList(EventQueue *queue, uintptr_t id, const void *payload, uint32_t size,
                   EventQueueHandler handler, EventQueueHandler done, EventQueueCoalesce coalesce,
                   int byCallback, uint32_t hash, const char *sourcePath, int sourceLine,
                   double fireTime) {
  // Taken first, so that the wait for its link overlaps the index lookup.
  EventQueueEventStruct *event = eventQueueNewEvent(queue);
  int coalesced = 0;
  uint32_t slot = 0;
  if (byCallback) {
    auto *callback = static_cast<const EventQueueCallbackPayload *>(payload);
    coalesced = eventQueueIndexFind(queue, id, callback->function, hash, &slot) != nullptr;
  } else if (coalesce != nullptr) {
    coalesced = eventQueueCoalesced(queue, id, payload, coalesce);
  }
  if (coalesced) {
    eventQueueFreeRecord(queue, event);
    return 0;
  }
  event->tag = kEventQueueEventTag;
  event->cancelled = 0;
  event->handler = handler;
  event->done = done;
  event->id = id;
  event->started = 0;
  event->payloadSize = size;
  event->fireTime = fireTime;
  event->sourcePath = sourcePath;
  event->sourceLine = sourceLine;
  event->dueAtPost = byCallback ? 1 : 0;
  event->indexed = 0;
  event->sequence = ++queue->sequence;
  event->startedNext = nullptr;
  if (!byCallback) queue->timedSequence = event->sequence;
  if (payload != nullptr && size >= 1) memcpy(eventQueuePayload(event), payload, size);
  eventQueueAppend(queue, event);
  if (eventQueueIsCallback(event)) {
    // Any event with a callback's payload is one that callback coalescing
    // matches, however it was posted.
    event->indexed = 1;
    if (queue->firstIndexed == nullptr) queue->firstIndexed = event;
    // Posted otherwise, it was not looked up: its entry goes into the log,
    // which is right whether or not the pair has a pending event already.
    if (!byCallback) {
      if (queue->index == nullptr) eventQueueIndexRebuild(queue);
      hash = eventQueueIndexHash(id, eventQueueCallbackOf(event)->function);
      slot = kEventQueueLogSlot;
    }
    eventQueueIndexInsert(queue, slot, hash, event);
    queue->callbackCount++;
  }
  return 1;
}

// The payload of a posted callback.
EventQueueCallbackPayload eventQueueCallbackPayload(EventQueueCallback function) {
  EventQueueCallbackPayload callback;
  memset(&callback, 0, sizeof callback);
  callback.tag = kEventQueueCallbackTag;
  callback.function = function;
  return callback;
}

void eventQueueCallbackTrampoline(uintptr_t id, void *payload) {
  auto *callback = static_cast<EventQueueCallbackPayload *>(payload);
  if (callback->tag != kEventQueueCallbackTag)
    Core_Abort(KSRC, "Class mismatch pointer (0x%p: expected 0x%08x but was 0x%08x)\n", payload,
               kEventQueueCallbackTag, callback->tag);
  callback->function(reinterpret_cast<void *>(id));
}

// Lists a callback that waited in the intake, as its post would have.
void eventQueueListCallback(EventQueue *queue, uintptr_t context, EventQueueCallback function) {
  const EventQueueCallbackPayload callback = eventQueueCallbackPayload(function);
  eventQueueList(queue, context, &callback, sizeof callback, eventQueueCallbackTrampoline, nullptr,
                 nullptr, 1, eventQueueIndexHash(context, function), KSRC, 0);
}

// ---- The intake ---------------------------------------------------------------------
//
// Posters on other threads than the owner would otherwise queue one at a
// time behind the lock, each moving the list's tail, the index and the
// record it fills from core to core while the others wait. Through the
// intake a post claims a slot with one atomic step and fills it; the owner,
// which takes the lock to flush anyway, lists the slots in a batch, on its
// own core, in the order they were claimed.

// The intake's slots, made by the first poster that needs them.
EventQueueIntakeSlot *eventQueueIntakeSlots(EventQueue *queue) {
  EventQueueIntakeSlot *slots = queue->intake.load(std::memory_order_acquire);
  if (slots != nullptr) return slots;
  const int64_t bytes = int64_t(kEventQueueIntakeSlots * sizeof(EventQueueIntakeSlot));
  auto *made = static_cast<EventQueueIntakeSlot *>(MEM_ALLOC(bytes, MEM_ZEROED));
  for (uint64_t i = 0; i < kEventQueueIntakeSlots; i++)
    new (&made[i]) EventQueueIntakeSlot{{i}, 0, nullptr, 0};
  if (queue->intake.compare_exchange_strong(slots, made, std::memory_order_acq_rel)) return made;
  MEM_FREE(made, bytes);  // another poster's came first
  return slots;
}

// Lists the intake's callbacks before position end, under the lock. A post
// fills its slot a moment after it takes its position, so a wait for one is
// short unless the poster was preempted there.
void eventQueueIntakeListBefore(EventQueue *queue, EventQueueIntakeSlot *slots, uint64_t end) {
  for (; int64_t(end - queue->intakeHead) > 0; queue->intakeHead++) {
    const uint64_t at = queue->intakeHead;
    EventQueueIntakeSlot *slot = &slots[at & (kEventQueueIntakeSlots - 1)];
    for (int32_t looks = 1; slot->turn.load(std::memory_order_acquire) != at + 1; looks++)
      if (looks % kEventQueueIntakeSpins == 0) std::this_thread::yield();
    const uintptr_t context = slot->context;
    const EventQueueCallback function = slot->function;
    slot->turn.store(at + kEventQueueIntakeSlots, std::memory_order_release);
    eventQueueListCallback(queue, context, function);
  }
}

// Lists every callback put in the intake before this point, under the lock.
void eventQueueIntakeList(EventQueue *queue) {
  EventQueueIntakeSlot *slots = queue->intake.load(std::memory_order_acquire);
  if (slots != nullptr)
    eventQueueIntakeListBefore(queue, slots, queue->intakeTail.load(std::memory_order_seq_cst));
}

// Claims the wake-up of the owner for a post due now: 1 unless a post has
// done so since the owner's last flush began, for the flush that wake-up
// brings begins after this post and runs it too. The flush clears the mark
// before it lists the intake; a post takes its intake position (or lists
// under the lock) before it reads the mark. So either the flush finds the
// event or the post finds the mark cleared.
int eventQueueClaimWake(EventQueue *queue) {
  return queue->wakePending.load(std::memory_order_seq_cst) == 0 &&
         queue->wakePending.exchange(1, std::memory_order_seq_cst) == 0;
}

// Puts the callback in the intake and wakes the owner if the post must. Its
// position is taken with one atomic step that never fails, so posters on
// several threads do not retry against each other. When every slot holds a
// callback not yet listed, the post waits for the owner to list them; if the
// owner is busy elsewhere (it may be waiting for this very thread), the post
// lists them itself, as far as its own slot. It cannot wait for the lock
// instead: whoever holds it may be listing and waiting for this post's slot
// to be filled.
//
// Filling the slot is the post's last touch of the queue: from then on the
// owner may run the callback, and whoever the callback answers may release
// the queue. The wake is claimed before, and sent after, by thread id.
void eventQueueIntakePut(EventQueue *queue, uintptr_t context, EventQueueCallback function) {
  EventQueueIntakeSlot *slots = eventQueueIntakeSlots(queue);
  // Sequentially consistent, against the flush that clears the wake mark and
  // then reads where the posters are: see eventQueueClaimWake.
  const uint64_t at = queue->intakeTail.fetch_add(1, std::memory_order_seq_cst);
  EventQueueIntakeSlot *slot = &slots[at & (kEventQueueIntakeSlots - 1)];
  for (int32_t waits = 1; slot->turn.load(std::memory_order_acquire) != at; waits++) {
    if (waits % kEventQueueIntakeOwnerWaits == 0 && CriticalSection_TryEnter(queue->lock)) {
      eventQueueIntakeListBefore(queue, slots, at - kEventQueueIntakeSlots + 1);
      CriticalSection_Leave(queue->lock);
      continue;
    }
    std::this_thread::yield();
  }
  const int wake = eventQueueClaimWake(queue);
  const uint32_t owner = queue->ownerThreadId.load(std::memory_order_relaxed);
  slot->context = context;
  slot->function = function;
  slot->turn.store(at + 1, std::memory_order_release);
  if (wake) Thread_Wake(owner, 1);
}

// Queues the event. See EventQueue_Post.
int eventQueuePost(EventQueue *queue, uintptr_t id, const void *payload, uint32_t size,
                   EventQueueHandler handler, EventQueueHandler done, EventQueueCoalesce coalesce,
                   int byCallback, const char *sourcePath, int sourceLine, double fireTime) {
  // A callback is due now: dueAtPost stands for its fire time.
  if (uint64_t(sizeof(EventQueueEventStruct)) + size > kEventQueueMaxEventSize)
    Core_Abort(KSRC,
               "Assertion failed (sizeof(EventQueueEventStruct) + InternalEventSize <= "
               "EVENTQUEUE_MAXEVENTSIZE)\nEvent exceed max size");
  CHECK_POINTER(reinterpret_cast<void *>(handler));
  auto *callback = static_cast<const EventQueueCallbackPayload *>(payload);
  // The owner's own posts are listed at once, so that a handler's post
  // coalesces with what is pending as it is made.
  if (byCallback && Thread_GetCurrentId() != queue->ownerThreadId.load(std::memory_order_relaxed)) {
    eventQueueIntakePut(queue, id, callback->function);
    return 1;
  }
  // The record this post will probably take: its link is read and its header
  // written under the lock.
  if (EventQueueEventStruct *hint = queue->freeHint.load(std::memory_order_relaxed))
    eventQueuePrefetchForWrite(hint);
  uint32_t hash = 0;
  if (byCallback) {
    hash = eventQueueIndexHash(id, callback->function);
    eventQueueIndexPrefetch(queue, hash);
  }
  CriticalSection_Enter(queue->lock);
  eventQueueIntakeList(queue);  // posted before this one
  const int listed = eventQueueList(queue, id, payload, size, handler, done, coalesce, byCallback,
                                    hash, sourcePath, sourceLine, fireTime);
  // As in the intake, the wake is claimed while the queue is sure to be
  // there: once the lock is left, the owner may handle the event and the
  // queue may go.
  const int wake = listed && queue->wakePending.load(std::memory_order_relaxed) == 0 &&
                   (byCallback || fireTime <= Platform_GetTickSeconds()) &&
                   eventQueueClaimWake(queue);
  const uint32_t owner = queue->ownerThreadId.load(std::memory_order_relaxed);
  CriticalSection_Leave(queue->lock);
  if (wake) Thread_Wake(owner, 1);
  return listed;
}

// Called when the last reference goes: pending events get their done handler
// only.
void eventQueueDestroy(void **object) {
  auto *queue = static_cast<EventQueue *>(*object);
  EventQueue *expected = queue;
  gEventQueueMain.compare_exchange_strong(expected, nullptr);
  CriticalSection_Enter(queue->lock);
  eventQueueIntakeList(queue);
  while (EventQueueEventStruct *event = queue->list.head) {
    EventQueueHandler done = event->done;
    uintptr_t id = event->id;
    uint8_t payload[kEventQueueMaxPayloadBytes];
    memcpy(payload, eventQueuePayload(event), sizeof payload);
    eventQueueUnlink(queue, event);
    if (done != nullptr) done(id, payload);
  }
  CriticalSection_Leave(queue->lock);
  CriticalSection_Delete(&queue->lock);
  Pool_Reset(queue->pool);
  Pool_Release(&queue->pool);
  if (queue->index != nullptr)
    MEM_FREE(queue->index, int64_t(queue->indexCapacity) * int64_t(sizeof(EventQueueIndexEntry)));
  if (queue->indexFilter != nullptr) {
    MEM_FREE(queue->indexFilter, eventQueueFilterBytes(queue->indexFilterShift));
    MEM_FREE(queue->indexLog,
             int64_t(kEventQueueIndexLogSize) * int64_t(sizeof(EventQueueIndexEntry)));
  }
  if (queue->indexSpare != nullptr)
    MEM_FREE(queue->indexSpare,
             int64_t(queue->indexSpareCapacity) * int64_t(sizeof(EventQueueIndexEntry)));
  if (EventQueueIntakeSlot *slots = queue->intake.load())
    MEM_FREE(slots, int64_t(kEventQueueIntakeSlots * sizeof(EventQueueIntakeSlot)));
  queue->header.classTag = 0;
  queue->~EventQueue();
  MEM_FREE(queue, sizeof(EventQueue));
}

}  // namespace

int EventQueue_Create(EventQueue **queue) {
  CHECK_POINTER(queue);
  auto *created = new (MEM_ALLOC(sizeof(EventQueue), MEM_ZEROED)) EventQueue();
  created->header.classTag = kEventQueueTag;
  created->header.refCount.store(1, std::memory_order_relaxed);
  created->header.destroy = eventQueueDestroy;
  CriticalSection_Create(&created->lock);
  Pool_Create(&created->pool, KSRC);
  Pool_SetMemberSize(created->pool, kEventQueueMaxEventSize);
  Pool_SetMemberChunkSize(created->pool, kEventQueuePoolGrowth);
  created->list.tag = kEventQueueEventTag;
  created->ownerThreadId.store(Thread_GetCurrentId());
  *queue = created;
  return 1;
}

int EventQueue_InitMain(void) {
  if (gEventQueueMain.load() != nullptr) return 1;
  EventQueue *queue = nullptr;
  EventQueue_Create(&queue);
  queue->budget = kEventQueueMainBudgetSeconds;
  gEventQueueMain.store(queue, std::memory_order_release);
  return 1;
}

EventQueue *EventQueue_GetMain(void) { return gEventQueueMain.load(std::memory_order_acquire); }

void EventQueue_SetOwner(EventQueue *queue, uint32_t threadId) {
  CLASS_CHECK(queue, kEventQueueTag);
  queue->ownerThreadId.store(threadId);
}

int EventQueue_Post(EventQueue *queue, uintptr_t eventId, const void *payload, uint32_t size,
                    EventQueueHandler handler, EventQueueHandler done, EventQueueCoalesce coalesce,
                    const char *sourcePath, int sourceLine, double fireTime) {
  queue = eventQueueResolve(queue, KSRC);
  return eventQueuePost(queue, eventId, payload, size, handler, done, coalesce, 0, sourcePath,
                        sourceLine, fireTime);
}

int EventQueue_PostCallback(EventQueue *queue, void *context, EventQueueCallback function) {
  queue = eventQueueResolve(queue, KSRC);
  CHECK_POINTER(reinterpret_cast<void *>(function));
  const EventQueueCallbackPayload callback = eventQueueCallbackPayload(function);
  eventQueuePost(queue, reinterpret_cast<uintptr_t>(context), &callback, sizeof callback,
                 eventQueueCallbackTrampoline, nullptr, nullptr, 1, KSRC, 0);
  return 1;
}

int EventQueue_PostCallbackToThread(uint32_t threadId, void *context, EventQueueCallback function) {
  EventQueue *queue = Thread_GetEventQueue(threadId);
  EventQueue_PostCallback(queue, context, function);
  if (queue != nullptr) Class_ReleaseObject(&queue);
  return 1;
}

int EventQueue_Cancel(EventQueue *queue, uintptr_t eventId) {
  queue = eventQueueResolve(queue, KSRC);
  const int foreign = Thread_GetCurrentId() != queue->ownerThreadId.load();
  CriticalSection_Enter(queue->lock);
  eventQueueIntakeList(queue);
  for (EventQueueEventStruct *event = queue->list.head; event != nullptr; event = event->next) {
    if (event->id != eventId || eventQueueCancelled(event)) continue;
    __atomic_store_n(&event->cancelled, 1, __ATOMIC_SEQ_CST);
    queue->cancels++;
  }
  // The owner may cancel from inside a handler; any other thread waits until
  // no handler runs, so that none runs once it returns.
  if (foreign) {
    Platform_AtomicIncrement(&queue->cancelWaiters);
    while (eventQueueLoad(&queue->running) > 0) {
      CriticalSection_Leave(queue->lock);
      Platform_SleepMs(kEventQueueCancelPollMs);
      CriticalSection_Enter(queue->lock);
    }
    Platform_AtomicDecrement(&queue->cancelWaiters);
  }
  CriticalSection_Leave(queue->lock);
  return 1;
}

int EventQueue_CancelForThread(uint32_t threadId, uintptr_t eventId) {
  EventQueue *queue = Thread_GetEventQueue(threadId);
  EventQueue_Cancel(queue, eventId);
  if (queue != nullptr) Class_ReleaseObject(&queue);
  return 1;
}

int EventQueue_Flush(EventQueue *queue) {
  queue = eventQueueResolve(queue, KSRC);
  CriticalSection_Enter(queue->lock);
  // A post that finds a wake pending from here on was made before the
  // intake is listed, so its event is due in this flush (see
  // eventQueueClaimWake). The walk starts once the intake is listed.
  queue->wakePending.store(0, std::memory_order_seq_cst);
  eventQueueIntakeList(queue);
  const EventQueueWalk walk = {Platform_GetTickSeconds(), queue->sequence};
  if (queue->list.count == 0) {
    CriticalSection_Leave(queue->lock);
    return 1;
  }
  const uint32_t owner = queue->ownerThreadId.load();
  if (Thread_GetCurrentId() != owner)
    Core_Abort(KSRC,
               "Assertion failed (Thread_GetCurrentId() == EventQueue->ThreadId)\nUnable to flush "
               "event queue on invalid thread");
  const int outermost = queue->flushDepth == 0;
  // The walk takes the stretch of the list from first to last under the lock
  // and visits it without: events leave the list only at the end of the
  // outermost flush, so a nested flush cannot pull one out from under it.
  EventQueueEventStruct *first = queue->list.head;
  EventQueueEventStruct *last = queue->list.tail;
  // The timed events that led the list at the last walk, not due then, are
  // passed over while none of them can be due and none was cancelled since.
  // A queue holding many timers for later would otherwise visit all of them
  // at every flush. The walk notes them again as it goes: waitingLast, the
  // last of them, and waitingUntil, the earliest fire time among them.
  EventQueueEventStruct *waitingLast = nullptr;
  double waitingUntil = HUGE_VAL;
  int leading = outermost;  // the walk is still among them
  const uint64_t cancels = queue->cancels;
  if (outermost && queue->waitingLast != nullptr && walk.start < queue->waitingUntil &&
      cancels == queue->waitingCancels) {
    waitingLast = queue->waitingLast;
    waitingUntil = queue->waitingUntil;
    first = waitingLast->next;
    if (first == nullptr) {
      CriticalSection_Leave(queue->lock);
      return 1;
    }
  }
  queue->waitingLast = nullptr;
  queue->flushDepth++;
  if (!outermost) queue->nestedFlush = 1;
  const double budget = queue->budget;
  EventQueueEventStruct *kept = nullptr;  // the last stretch's place, still listed
  int outOfTime = 0;
  int left = 0;  // events the walk did not reach
  for (;;) {
    CriticalSection_Leave(queue->lock);
    Platform_AtomicIncrement(&queue->running);
    // The records were written by posters on other cores: fetching a few
    // ahead hides most of the wait for them behind the handlers.
    EventQueueEventStruct *ahead = first;
    eventQueuePrefetch(ahead);
    int32_t aheadSteps = 0;
    // The run of events this walk handled, one after another, up to its place.
    EventQueueEventStruct *runFirst = nullptr;
    int32_t runCount = 0;
    int32_t runCallbacks = 0;
    EventQueueEventStruct *event = first;
    for (;; event = event->next) {
      while (aheadSteps < kEventQueuePrefetchAhead && ahead != last) {
        ahead = ahead->next;
        eventQueuePrefetch(ahead);
        aheadSteps++;
      }
      aheadSteps--;
      if (leading) {
        if (!event->dueAtPost && !event->started && !eventQueueCancelled(event) &&
            event->fireTime > walk.start) {
          waitingLast = event;
          if (event->fireTime < waitingUntil) waitingUntil = event->fireTime;
        } else {
          leading = 0;
        }
      }
      const int indexed = event->indexed;
      if (eventQueueVisit(queue, event, walk)) {
        if (runFirst == nullptr) runFirst = event;
        runCount++;
        runCallbacks += indexed;
        if (budget > 0 && Platform_GetTickSeconds() - walk.start >= budget)
          outOfTime = 1;
      } else {
        runFirst = nullptr;
        runCount = runCallbacks = 0;
      }
      if (outOfTime || event == last) break;
    }
    Platform_AtomicDecrement(&queue->running);
    CriticalSection_Enter(queue->lock);
    if (queue->flushDepth == 1) {
      if (runFirst != nullptr && queue->startedCount == runCount + (kept != nullptr ? 1 : 0)) {
        // The usual case: what this stretch started is one run ending at the
        // walk's place, and nothing else has started (no nested flush ran
        // events). The run leaves the list in one step; the events after it
        // have not started, so the walk goes on from the next one.
        EventQueueEventStruct *next = event->next;
        if (kept != nullptr) eventQueueUnlink(queue, kept);
        eventQueueUnlinkRun(queue, runFirst, event, runCount, runCallbacks);
        queue->startedHead = queue->startedTail = nullptr;
        queue->startedCount = 0;
        kept = nullptr;
        first = next;
      } else {
        // Nested flushes may have run events past this stretch: they leave
        // the list first (the walk's place stays), so the next stretch starts
        // at an event that is still listed.
        eventQueueUnlinkStarted(queue, event);
        kept = queue->startedHead;
        first = event->next;
      }
    } else {
      first = event->next;
    }
    if (outOfTime) {
      left = first != nullptr;
      break;
    }
    if (first == nullptr) break;
    // Events posted meanwhile, by handlers or other threads, join the walk
    // when one of them may be due at its start. Callbacks posted since are
    // not: they wait for the next flush, which their posts woke the owner for.
    if (queue->timedSequence <= walk.sequence) break;
    last = queue->list.tail;
  }
  if (--queue->flushDepth == 0) {
    eventQueueUnlinkStarted(queue, nullptr);
    eventQueueIndexTrim(queue);
    // A nested flush may have run one of the events this walk noted as
    // waiting (it began later), and that one has left the list.
    if (!queue->nestedFlush) {
      queue->waitingLast = waitingLast;
      queue->waitingUntil = waitingUntil;
      queue->waitingCancels = cancels;
    }
    queue->nestedFlush = 0;
  }
  CriticalSection_Leave(queue->lock);
  if (outOfTime) Thread_Wake(owner, 0);  // come back soon rather than starve other work
  return left ? 0 : 1;
}
