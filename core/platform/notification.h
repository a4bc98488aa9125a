// NotificationCenter: the program's one publish/subscribe bus. A notification
// is a triple of names (sender class, notification, instance id or "Global")
// with an optional Dictionary of details, the info. Observers subscribe to a
// triple in which any part may be the wildcard "Global" (NULL means "Global"
// throughout). Every delivery runs on the main thread: a fire there is
// delivered at once, a fire from another thread is handed to the main thread
// and its caller waits until it has been delivered, and delayed fires are
// delivered by the main loop's pumps (NotificationCenter_ProcessPendingFires).
// The center also polls "NotificationCenter"."Process" observers on every
// pump and turns notifications into records for page scripts (script
// observers, through the interop seam of core/platform/interopcallback.h). The
// exported names are the plug-in interface.
//
// Invariants: (1) an observer list exists for every key that has at least one
// linked observer; its key is "%s.%s.%s" of the names as the list stores them
// (39 characters at most each, "Global" for an absent part), compared without
// regard to case. (2) an observer marked removed is never called again; it
// stays linked, with its list, until the queued removals are applied, and
// they are applied only while no delivery runs at any nesting level, so a
// walk never meets a freed record. (3) a pending fire is unlinked before it
// is delivered: it is delivered at most once and its waiting signal is set
// exactly once, after delivery or, at shutdown, without it. (4) a retain
// count, when stored, is at least 1. (5) once shutdown has begun, no thread
// other than the main one touches the center again; the closing state lives
// outside the center's record.
//
// Threads: any thread may add and remove observers and fire; delivery,
// NotificationCenter_ProcessPendingFires, the retain functions, script
// observers, NotificationCenter_Init and NotificationCenter_Shutdown run on
// the main thread (the one that called NotificationCenter_Init, which must be
// the thread module's main thread). One re-entrant lock guards every table,
// list and pool; it is released around every observer call, so observers may
// add, remove, fire and pump freely. A cross-thread fire blocks its caller
// until delivery: the main thread must never wait for such a caller without
// pumping.
#pragma once

#include <cstdarg>
#include <cstdint>

#include "core/runtime/class.h"
#include "core/runtime/critsection.h"
#include "core/formats/dictionary.h"
#include "core/runtime/hashtable.h"
#include "core/runtime/pool.h"
#include "core/runtime/signal.h"

constexpr uint32_t kNotificationCenterTag = 0xe53a5cac;
constexpr uint32_t kNotificationListTag = 0x5d0c40d9;
constexpr uint32_t kNotificationObserverTag = 0x14d48ff8;
constexpr uint32_t kNotificationPendingFireTag = 0xc38e5dff;
constexpr uint32_t kNotificationPendingRemovalTag = 0xf0d8c612;
constexpr uint32_t kNotificationProcessNodeTag = 0xd99dc716;
// A name field: 39 characters and the terminator.
constexpr int kNotificationNameBytes = 40;
// A key: three names, two full stops and the terminator fit with room.
constexpr int kNotificationKeyBytes = 122;
// Records are taken from the center's pools this many at a time.
constexpr int32_t kNotificationPoolGrowth = 10;
// The longest a pump delivers before it leaves the rest to the next one, so
// that the main loop stays responsive.
constexpr double kNotificationPumpBudgetSeconds = 0.1;

// callback(context, sender, notification, instance, info): sender and
// notification are the observed list's names (the fired ones for observers of
// "Global"."Global"."Global"), instance the fired one; info may be NULL and
// is borrowed for the call. The result is not used.
typedef int (*NotificationObserver)(void *context, const char *sender, const char *notification,
                                    const char *instance, Dictionary *info);

template <typename T>
struct NotificationChain {
  uint32_t tag;
  T *head;
  T *tail;
  int32_t count;
};

struct NotificationObserverRecord {
  uint32_t tag;      // kNotificationObserverTag
  uint32_t removed;  // 1 once a removal is queued; guarded by the lock
  void *context;
  NotificationObserver callback;
  NotificationObserverRecord *next;
  NotificationObserverRecord *prev;
};

struct NotificationObserverList {
  uint32_t tag;  // kNotificationListTag
  char sender[kNotificationNameBytes];  // empty for an absent part
  char notification[kNotificationNameBytes];
  char instance[kNotificationNameBytes];
  NotificationChain<NotificationObserverRecord> observers;  // tag kNotificationObserverTag
};

struct NotificationPendingFire {
  uint32_t tag;  // kNotificationPendingFireTag
  char sender[kNotificationNameBytes];
  char notification[kNotificationNameBytes];
  char instance[kNotificationNameBytes];
  double enqueueTime;  // tick seconds
  double delay;        // seconds
  Dictionary *info;    // the record's own copy, or NULL
  Signal *signal;      // set once after delivery; NULL for a delayed fire
  NotificationPendingFire *next;
  NotificationPendingFire *prev;
};

struct NotificationPendingRemoval {
  uint32_t tag;  // kNotificationPendingRemovalTag
  char key[kNotificationKeyBytes];
  NotificationObserverList *list;
  NotificationObserverRecord *observer;
  NotificationPendingRemoval *next;
  NotificationPendingRemoval *prev;
};

struct NotificationProcessNode {
  uint32_t tag;  // kNotificationProcessNodeTag
  NotificationObserverList *list;
  NotificationProcessNode *next;
  NotificationProcessNode *prev;
};

struct NotificationCenter {
  ObjectHeader header;  // kNotificationCenterTag
  CriticalSection *lock;
  uint32_t ownerThreadId;  // the main thread
  int32_t logFlag;         // the verbose list names "NotificationCenter" at level 1 or more
  HashTable *lists;        // key -> NotificationObserverList
  // The list of "Global.Global.Global" (observers of every fire) while it
  // exists: each fire looks for it, most find none.
  NotificationObserverList *globalList;
  HashTable *interopInstances;  // ids of script-addressable objects (value 1)
  Pool *listPool;
  Pool *observerPool;
  Pool *firePool;
  Pool *removalPool;
  Pool *processPool;
  NotificationChain<NotificationPendingFire> fires;
  NotificationChain<NotificationPendingRemoval> removals;
  NotificationChain<NotificationProcessNode> processes;
  Dictionary *retainCounts;  // Int32 per interop instance id
  int32_t deliveryDepth;     // deliveries running on the main thread, nested ones counted
};

// Creates the center on the calling (main) thread; later calls change nothing.
// Returns 1.
int NotificationCenter_Init(void);
// On the main thread: applies the queued removals, cancels the posted pump,
// sets the waiting signal of every pending fire without delivering it
// ("Skipping pending fire" when logging), logs "Callback not removed" for each
// observer left and frees the center. From its start on, a fire from another
// thread returns 1 at once. Returns 1 (also when there is no center).
int NotificationCenter_Shutdown(void);

// Every function below first checks the center: "Pointer is NULL\n" before
// NotificationCenter_Init and after NotificationCenter_Shutdown (except the
// fires from other threads, see NotificationCenter_Shutdown), the class
// mismatch message on a damaged record.

// Appends an observer {context, callback} to the key's list. Adding the same
// pair twice gives two observers, each called. Returns 1; 0 (logged) on a
// thread other than the main one once shutdown has begun. A remove there and
// then returns 1 and changes nothing.
int NotificationCenter_AddInstanceObserver(const char *sender, const char *notification,
                                           const char *instance, void *context,
                                           NotificationObserver callback);
// Marks the first not-yet-removed observer of the key with that pair removed
// and queues its removal. Returns 1, also when nothing matched.
int NotificationCenter_RemoveInstanceObserver(const char *sender, const char *notification,
                                              const char *instance, void *context,
                                              NotificationObserver callback);
// NotificationCenter_RemoveInstanceObserver with instance "Global".
int NotificationCenter_RemoveObserver(const char *sender, const char *notification, void *context,
                                      NotificationObserver callback);
// Observers of "NotificationCenter"."Process".instance, called with no info on
// every NotificationCenter_ProcessPendingFires. Return 1.
int NotificationCenter_AddProcessObserver(const char *instance, void *context,
                                          NotificationObserver callback);
int NotificationCenter_RemoveProcessObserver(const char *instance, void *context,
                                             NotificationObserver callback);
// Records the id as script-addressable and observes
// "NotificationCenter"."Interop".id, which carries {"addRef":true} and
// {"addRef":false}; the unregister undoes both. Return 1.
int NotificationCenter_RegisterInteropInstance(const char *instanceId, void *context,
                                               NotificationObserver callback);
int NotificationCenter_UnregisterInteropInstance(const char *instanceId, void *context,
                                                 NotificationObserver callback);
// Returns 1 when no observer that is not removed has instance as its context.
// Otherwise logs each such observer and stops the program with "Assertion
// failed (RefCount == 0)\nNotificationCenter - Instance still has %d
// references - %s [0x%p]\n".
int NotificationCenter_AssertInstance(void *instance);

// Delivers now on the main thread; from another thread, queues a copy and
// waits without limit until the main thread has delivered it (the wait's
// failure stops the program with "Unable to get signal (%d 0x%.8X)\n").
// The caller keeps its info. Returns 1.
int NotificationCenter_Fire(const char *sender, const char *notification, const char *instance,
                            Dictionary *info);
// Fire with the info parsed from the printf-style JSON text (a top-level
// object is the info itself). A NULL format fires without info and returns 1;
// otherwise returns the parse's result and fires nothing when the text is not
// JSON.
int NotificationCenter_FireWithJSON(const char *sender, const char *notification,
                                    const char *instance, const char *format, ...);
int NotificationCenter_FireWithJSONV(const char *sender, const char *notification,
                                     const char *instance, const char *format, va_list args);
// The same with a plain JSON text (not formatted).
int NotificationCenter_FireWithJSONText(const char *sender, const char *notification,
                                        const char *instance, const char *text);
// Queues a copy of the fire, delivered by the first pump at least delayMs
// later, and returns 1 at once; a delay of 0 also posts a pump to the main
// thread. Any thread.
int NotificationCenter_FireAfterDelay(const char *sender, const char *notification,
                                      const char *instance, uint32_t delayMs, Dictionary *info);
int NotificationCenter_FireAfterDelayWithJSON(const char *sender, const char *notification,
                                              const char *instance, uint32_t delayMs,
                                              const char *format, ...);
int NotificationCenter_FireAfterDelayWithJSONV(const char *sender, const char *notification,
                                               const char *instance, uint32_t delayMs,
                                               const char *format, va_list args);
int NotificationCenter_FireAfterDelayWithJSONText(const char *sender, const char *notification,
                                                  const char *instance, uint32_t delayMs,
                                                  const char *text);

// Main thread: delivers the due pending fires (for at most about 0.1 s, then
// posts itself for the rest), applies the queued removals when no delivery
// runs, and polls the process observers, newest list first. Returns 1. Stops
// the program with "Assertion failed (Thread_GetMainId() ==
// Thread_GetCurrentId())\nFunction not on main thread" on another thread;
// NotificationCenter_PendingFiresCallback (the posted form) does the same.
int NotificationCenter_ProcessPendingFires(void);
void NotificationCenter_PendingFiresCallback(void *context);

// Script observers (main thread). Add registers a callback entry under the
// name (Interop_AddCallback with Interop_QueueCallbackArgument) and observes
// the key with it; returns the add's result. Remove finds, in that key's own
// list, the first live script observer whose entry has that name (without
// regard to case), removes it and drops one use of its entry; 0 when there is
// none.
int NotificationCenter_AddInteropObserver(const char *sender, const char *notification,
                                          const char *instance, const char *callbackName);
int NotificationCenter_RemoveInteropObserver(const char *sender, const char *notification,
                                             const char *instance, const char *callbackName);
// The script observers' callback: hands {"type", "notification", "sender",
// "callbackId", ["retained",] "info"} to the entry (its context); for a
// registered instance it takes one page reference per QVN.NotificationCenter
// object. "NotificationCenter"."Interop" is never passed on. Returns 1.
int NotificationCenter_InteropObserver(void *entry, const char *sender, const char *notification,
                                       const char *instance, Dictionary *info);
// Page references on an interop instance (main thread). The first retain
// fires "NotificationCenter"."Interop".id with {"addRef":true}; the release
// that brings the count to 0 fires {"addRef":false} and drops the count. A
// release without a count changes nothing (logged). Return 1.
int NotificationCenter_RetainInteropInstance(const char *instanceId);
int NotificationCenter_ReleaseInteropInstance(const char *instanceId);
// Drops every page reference on the instance at once, for pages that go
// away holding some: fires {"addRef":false} when there were any. Returns 1.
int NotificationCenter_ReleaseAllInteropReferences(const char *instanceId);
