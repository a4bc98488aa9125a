// EventQueue: small fixed-size events carried from any thread to the one
// thread that owns the queue, which runs them when it flushes it. Every thread
// started by the thread module owns one; the main thread owns the
// process-wide main queue. Events carry a fire time on the tick clock, so the
// same queue runs work on another thread now and runs it there later.
//
// Invariants: (1) the list holds the events in posting order; an event is
// pending while it is listed and not started. (2) an event is started once,
// by a flush on the owner, and stays listed until the outermost flush ends or
// the queue is destroyed; only those two take events out of the list, so a
// flush may walk a stretch of it without the lock while nested flushes run.
// (3) of every event exactly one of these happens, once: its handler and then
// its done handler run (due and not cancelled), or only its done handler runs
// (cancelled, or pending when the queue is destroyed). (4) every pending
// event with a callback payload has a live entry in the callback index (its
// table, or the log of entries on their way there); an entry is live while
// its event is listed under the same post, not started and not cancelled.
// (5) the running count is above 0 while a flush walks a stretch (it may
// start or run a handler); only the owner runs handlers, and none starts for
// an event marked cancelled before it.
//
// Threads: any thread may post and cancel; only the owner flushes. A
// callback posted by another thread than the owner goes into the intake, a
// ring of slots that posters take and fill without the lock; whoever next
// takes the lock to read or change the list lists what the intake holds
// first, in posting order (coalescing it then), so the intake's callbacks
// count as pending everywhere the list is read. A poster that finds every
// slot taken waits for the owner to list them, or lists them itself. The
// queue's lock (recursive) guards the list links, the pool, the free list,
// the index, the intake's read end and the counts; handlers run without it,
// done handlers and coalescing functions with it held, so a done handler may
// post to its own queue but must not wait for another thread that posts to
// it. The started and cancelled marks and the running and cancel-waiter
// counts are atomic: a flush starts handlers without the lock, while a
// foreign cancel marks events and then waits for the running count to reach
// 0 (while a cancel waits, a flush steps out of the count and through the
// lock before each handler, so the cancel is not kept waiting by a stream of
// handlers). Lock order: the queue's lock before the thread module's lock.
#pragma once

#include <atomic>
#include <cstdint>

#include "core/runtime/class.h"
#include "core/runtime/critsection.h"
#include "core/runtime/pool.h"

constexpr uint32_t kEventQueueTag = 0xc97be418;
constexpr uint32_t kEventQueueEventTag = 0x18c354db;
constexpr uint32_t kEventQueueCallbackTag = 0x74495cc2;
// The most payload an event carries; users size their records to it.
constexpr uint32_t kEventQueueMaxPayloadBytes = 64;
// Records are taken from the queue's pool this many at a time.
constexpr int32_t kEventQueuePoolGrowth = 5;

// handler(event id, payload): runs on the owner in a flush; the payload is the
// event's copy. Done handlers have the same form.
typedef void (*EventQueueHandler)(uintptr_t eventId, void *payload);
// Answers exactly 1 when a pending event (its id and payload) makes the new
// one unnecessary.
typedef int (*EventQueueCoalesce)(uintptr_t newId, const void *newPayload, uintptr_t pendingId,
                                  const void *pendingPayload);
// The function of a posted callback, called with its context.
typedef void (*EventQueueCallback)(void *context);

struct EventQueueEventStruct {
  uint32_t tag;                 // kEventQueueEventTag
  uint32_t cancelled;           // atomic; set under the lock
  EventQueueEventStruct *next;  // guarded by the queue's lock
  EventQueueEventStruct *prev;
  EventQueueHandler handler;
  EventQueueHandler done;  // may be NULL
  uintptr_t id;            // the poster's value: a callback's context
  uint32_t started;        // atomic; set by the owner's flush
  uint32_t payloadSize;
  double fireTime;         // tick seconds
  const char *sourcePath;  // the poster, for diagnostics
  int32_t sourceLine;
  uint16_t dueAtPost;                  // a callback: due in every walk that starts after its post
  uint16_t indexed;                    // a callback's payload: counted and in the callback index
  uint64_t sequence;                   // the post's number in its queue
  EventQueueEventStruct *startedNext;  // the owner's chain of started events
  // The payload follows, up to kEventQueueMaxPayloadBytes.
};

// A whole record: the header and the largest payload.
constexpr uint32_t kEventQueueMaxEventSize =
    uint32_t(sizeof(EventQueueEventStruct)) + kEventQueueMaxPayloadBytes;

// The payload of a posted callback.
struct EventQueueCallbackPayload {
  uint32_t tag;  // kEventQueueCallbackTag
  EventQueueCallback function;
};

// An entry of the callback index: the hash of the pair a callback was posted
// with and its event, valid while the event is listed under the same post
// (the low 32 bits of its sequence number). The pair itself is read from the
// event when the hashes agree; a small entry keeps more of the table cached.
struct EventQueueIndexEntry {
  uint32_t hash;
  uint32_t sequence;
  EventQueueEventStruct *event;  // NULL: a free slot
};

// The intake's slots (32 KiB), a power of two: enough for what posters on
// several threads queue while the owner wakes up or runs a flush.
constexpr uint64_t kEventQueueIntakeSlots = 1024;

// A slot of the intake. Its turn says whose it is: at position p of the ring
// (slot p modulo its size) a turn of p lets a poster claim it, p + 1 says
// the poster has filled it, and the lister hands it to the next round's
// position p + slots once it has read it.
struct EventQueueIntakeSlot {
  std::atomic<uint64_t> turn;
  uintptr_t context;
  EventQueueCallback function;
  uint64_t unused;  // slots of 32 bytes, two to a line
};

struct EventQueueList {
  uint32_t tag;  // kEventQueueEventTag
  EventQueueEventStruct *head;
  EventQueueEventStruct *tail;
  int32_t count;
};

struct EventQueue {
  ObjectHeader header;                  // kEventQueueTag
  std::atomic<uint32_t> ownerThreadId;  // the only thread that may flush
  double budget;                        // seconds a flush may take; 0: no limit
  Pool *pool;                           // of kEventQueueMaxEventSize records
  // Read without the lock only to fetch what a poster will need into the
  // cache while it waits for the lock: the callback index's filter word and
  // the table slot its pair hashes to (the filter and its shift, the table
  // and its slots - 1: each pair may disagree for a moment, and a prefetch
  // never faults). Written only when the table is rebuilt.
  std::atomic<uint64_t *> filterHint;
  std::atomic<uint32_t> filterShiftHint;
  std::atomic<EventQueueIndexEntry *> indexHint;
  std::atomic<uint32_t> indexMaskHint;
  // The intake's slots, made at the first foreign callback (NULL before).
  std::atomic<EventQueueIntakeSlot *> intake;
  // Recursive: done handlers run under it and may post to their own queue.
  CriticalSection *lock;
  // Lines of their own for what is only read (above), for the intake's claim
  // counter and the wake mark (changed by posters without the lock), for what
  // posters change under the lock and for what a flush changes with every
  // event: the record need not be aligned to a line, so 64 bytes between the
  // groups keep every pair of them apart. A poster's write to a line the
  // owner reads for every event would move that line between their cores at
  // every post.
  uint8_t separationIntake[64];
  std::atomic<uint64_t> intakeTail;  // the next position a poster claims
  uint8_t separationWake[64];
  // 1 once a post woke the owner since its last flush began.
  std::atomic<int32_t> wakePending;
  uint8_t separationPosted[64];
  // The record the next post will take, read without the lock to fetch it.
  std::atomic<EventQueueEventStruct *> freeHint;
  EventQueueEventStruct *freeEvents;  // records to reuse, linked by next
  EventQueueList list;
  EventQueueIndexEntry *index;     // callback index: (context, function)
  int32_t indexCapacity;           // slots, a power of two; 0 before the first post
  int32_t indexUsed;               // slots holding an entry, live or stale
  uint64_t *indexFilter;           // a bit per hash of the entries, table and log
  uint32_t indexFilterShift;       // 32 - the filter's bits, log 2
  EventQueueIndexEntry *indexLog;  // entries on their way into the table
  int32_t indexLogCount;
  int32_t callbackCount;                // listed events with a callback payload
  EventQueueEventStruct *firstIndexed;  // the first of them in the list, or NULL
  EventQueueIndexEntry *indexSpare;     // the table before the last rebuild, for the next
  int32_t indexSpareCapacity;
  uint64_t indexRebuiltAt;  // the last post before the last rebuild
  uint64_t sequence;        // of the last post
  uint64_t intakeHead;      // the next position to list
  uint64_t timedSequence;   // the last post with a fire time (not a callback)
  uint64_t cancels;         // events marked cancelled
  uint8_t separation[64];
  int32_t flushDepth;                  // owner only: flushes running (nested ones count)
  EventQueueEventStruct *startedHead;  // owner only: started, still listed
  EventQueueEventStruct *startedTail;
  int32_t startedCount;   // owner only: events on that chain
  // Owner only: the timed events leading the list that the last outermost
  // walk found not yet due (the last of them, or NULL), the earliest fire
  // time among them and the cancel count when that walk began; a nested
  // flush since the outermost one began.
  EventQueueEventStruct *waitingLast;
  double waitingUntil;
  uint64_t waitingCancels;
  int32_t nestedFlush;
  int32_t running;        // walks running handlers; platform atomics only
  int32_t cancelWaiters;  // foreign cancels waiting for running to be 0; atomic
};

// A new queue: owner the calling thread, no budget. Released with
// Class_Release (see EventQueue_Flush for what happens to pending events).
// Returns 1. Stops the program on a NULL out-pointer.
int EventQueue_Create(EventQueue **queue);

// Creates the main queue once (later calls change nothing), owned by the
// calling thread, with the budget 0.1 s (the single-precision 0.1, widened).
// The host calls it at start on the main thread and releases the queue with
// Class_Release at shutdown, after the thread module has shut down. Returns 1.
int EventQueue_InitMain(void);
// The main queue (borrowed), or NULL before EventQueue_InitMain and after its
// release.
EventQueue *EventQueue_GetMain(void);

// Makes threadId the queue's owner; the thread module gives a new thread's
// queue to that thread.
void EventQueue_SetOwner(EventQueue *queue, uint32_t threadId);

// Queues an event on the queue (NULL: the main queue): size bytes of payload
// copied (when payload is given and size is at least 1), handler and done
// handler, the poster's position, and the fire time (tick seconds). With a
// coalescing function, it is asked about each pending event that is not
// cancelled first; an answer of 1 drops the new event. An event due now wakes
// the owner (Thread_Wake with argument 1) unless a post has done so since the
// owner's last flush began: that flush-to-be runs this event as well. A later
// one wakes nobody and runs at the owner's first flush after its time.
// Returns 1 when queued, 0 when coalesced away. Stops the program with
// "Pointer is NULL\n" when queue is NULL and there is no main queue or
// handler is NULL, on a foreign object, and with "Assertion failed
// (sizeof(EventQueueEventStruct) + InternalEventSize <=
// EVENTQUEUE_MAXEVENTSIZE)\nEvent exceed max size" when size exceeds 64.
int EventQueue_Post(EventQueue *queue, uintptr_t eventId, const void *payload, uint32_t size,
                    EventQueueHandler handler, EventQueueHandler done, EventQueueCoalesce coalesce,
                    const char *sourcePath, int sourceLine, double fireTime);

// Queues function(context), due now, with the context as the event id: it
// runs in the owner's first flush that begins after this post. A pending
// callback of the same context and function that is neither cancelled nor
// started makes it unnecessary; posted by another thread than the owner, it
// is matched when the intake is listed. Returns 1 (also when it was
// coalesced away).
int EventQueue_PostCallback(EventQueue *queue, void *context, EventQueueCallback function);
// The same on the queue of the thread with that id, or the main queue when no
// thread record has it (the main thread has none). Returns 1.
int EventQueue_PostCallbackToThread(uint32_t threadId, void *context, EventQueueCallback function);

// Marks every pending event with that id cancelled: it leaves the queue at
// the next flush and only its done handler runs. Called from a thread other
// than the owner, it first waits, polling every millisecond, until no
// handler of the queue runs, so that on return none is running. Returns 1.
int EventQueue_Cancel(EventQueue *queue, uintptr_t eventId);
// The same on the queue that EventQueue_PostCallbackToThread would choose.
int EventQueue_CancelForThread(uint32_t threadId, uintptr_t eventId);

// Runs, in posting order, every cancelled event and every event due at the
// start of the flush, including those posted meanwhile (by handlers or other
// threads) when their fire time was not later than that start. A handler may
// flush the same queue again: the nested flush runs what the outer one has
// not reached, and the outer one skips what it ran. With a budget, a flush
// that has taken that long wakes the owner (argument 0) and returns 0 when
// events are left unvisited. Returns 1 otherwise, and at once on an empty
// queue from any thread. Stops the program with "Assertion failed
// (Thread_GetCurrentId() == EventQueue->ThreadId)\nUnable to flush event
// queue on invalid thread" when a thread other than the owner flushes a
// non-empty queue.
//
// When the last reference to a queue is dropped, each event still pending
// gets its done handler (not its handler), on the releasing thread.
int EventQueue_Flush(EventQueue *queue);
