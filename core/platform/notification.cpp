// NotificationCenter: see notification.h.
#include "core/platform/notification.h"

#include <atomic>
#include <cstring>

#include "core/platform/eventqueue.h"
#include "core/platform/interopcallback.h"
#include "core/formats/json.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/platform/platform.h"
#include "core/runtime/print.h"
#include "core/runtime/str.h"
#include "core/platform/thread.h"

namespace {

constexpr const char *kGlobal = "Global";

std::atomic<NotificationCenter *> gCenter{nullptr};
// The closing state outlives the center's record: a thread other than the
// main one that arrives during or after shutdown reads these, never the
// record. gUsers counts such threads inside the center; shutdown waits for it
// to reach 0 once gClosing is set, and nobody enters while it is set.
std::atomic<int32_t> gClosing{0};
std::atomic<int32_t> gUsers{0};
std::atomic<uint32_t> gOwnerThreadId{0};

// A thread's stay inside the center. center is NULL when there is none or it
// is closing (closing then 1).
struct NotificationUse {
  NotificationCenter *center = nullptr;
  int closing = 0;
  bool inside = true;
  NotificationUse() {
    gUsers.fetch_add(1);
    closing = gClosing.load();
    if (!closing) center = gCenter.load();
  }
  void leave() {
    if (inside) gUsers.fetch_sub(1);
    inside = false;
  }
  ~NotificationUse() { leave(); }
};

// The calling thread's id, asked of the system once per thread: every fire
// needs it.
uint32_t notificationThreadId() {
  thread_local uint32_t id = 0;
  if (id == 0) id = Thread_GetCurrentId();
  return id;
}

bool notificationOnOwner() {
  uint32_t owner = gOwnerThreadId.load();
  return owner != 0 && owner == notificationThreadId();
}

// Asks the owner, the main thread, for a pump. The main thread has no thread
// record, so its queue is the main queue, reached without a search of the
// thread list.
void notificationPostPump(NotificationCenter *c) {
  EventQueue_PostCallback(nullptr, c, NotificationCenter_PendingFiresCallback);
}

NotificationCenter *notificationCheck(NotificationCenter *center, const char *sourcePath,
                                      int line) {
  Class_Check(center, kNotificationCenterTag, sourcePath, line);
  return center;
}

template <typename T>
void notificationCheckRecord(const T *record, uint32_t tag) {
  if (record == nullptr) Core_Abort(KSRC, "Pointer is NULL\n");
  if (record->tag != tag)
    Core_Abort(KSRC, "Class mismatch pointer (0x%p: expected 0x%08x but was 0x%08x)\n", record,
               tag, record->tag);
}

const char *notificationName(const char *name) {
  return name == nullptr || name[0] == 0 ? kGlobal : name;
}

// The names as every record stores them: cut to 39 characters; NULL empty.
void notificationCopyName(char (&field)[kNotificationNameBytes], const char *name) {
  Str_Copy(field, name == nullptr ? "" : name, kNotificationNameBytes);
}

// "%s.%s.%s" without the print engine: keys are made on every fire.
void notificationMakeKey(char (&key)[kNotificationKeyBytes], const char *sender,
                         const char *notification, const char *instance) {
  int at = 0;
  const char *parts[3] = {notificationName(sender), notificationName(notification),
                          notificationName(instance)};
  for (int p = 0; p < 3; p++) {
    if (p > 0 && at < kNotificationKeyBytes - 1) key[at++] = '.';
    for (const char *s = parts[p]; *s != 0 && at < kNotificationKeyBytes - 1; s++) key[at++] = *s;
  }
  key[at] = 0;
}

// Three names cut as the records keep them, so that a fire delivers the same
// from the main thread as through a pending record.
struct NotificationNames {
  char sender[kNotificationNameBytes];
  char notification[kNotificationNameBytes];
  char instance[kNotificationNameBytes];
  NotificationNames(const char *s, const char *n, const char *i) {
    notificationCopyName(sender, s);
    notificationCopyName(notification, n);
    notificationCopyName(instance, i);
  }
};

template <typename T>
void notificationAppend(NotificationChain<T> *chain, T *record) {
  record->next = nullptr;
  record->prev = chain->tail;
  if (chain->tail != nullptr)
    chain->tail->next = record;
  else
    chain->head = record;
  chain->tail = record;
  chain->count++;
}

template <typename T>
void notificationUnlink(NotificationChain<T> *chain, T *record) {
  if (record->prev != nullptr)
    record->prev->next = record->next;
  else
    chain->head = record->next;
  if (record->next != nullptr)
    record->next->prev = record->prev;
  else
    chain->tail = record->prev;
  record->next = record->prev = nullptr;
  chain->count--;
}

template <typename T>
T *notificationAlloc(Pool *pool) {
  return static_cast<T *>(POOL_ALLOC(pool, int32_t(sizeof(T))));
}

template <typename T>
void notificationFree(Pool *pool, T *record) {
  void *member = record;
  POOL_FREE(pool, &member, int32_t(sizeof(T)));
}

Pool *notificationCreatePool(int32_t memberSize) {
  Pool *pool = nullptr;
  Pool_Create(&pool, KSRC);
  Pool_SetMemberSize(pool, memberSize);
  Pool_SetMemberChunkSize(pool, kNotificationPoolGrowth);
  return pool;
}

HashTable *notificationCreateTable(int32_t keyBytes) {
  HashTable *table = nullptr;
  HashTable_Create(&table);
  HashTable_SetKeySize(table, keyBytes);
  HashTable_SetHashCallback(table, HashTable_HashStringNoCase);
  HashTable_SetCompareCallback(table, HashTable_CompareStringNoCase);
  return table;
}

// Lock held.
NotificationObserverList *notificationFindList(NotificationCenter *c, const char *sender,
                                               const char *notification, const char *instance) {
  char key[kNotificationKeyBytes];
  notificationMakeKey(key, sender, notification, instance);
  void *value = nullptr;
  if (!HashTable_Get(c->lists, key, &value)) return nullptr;
  auto *list = static_cast<NotificationObserverList *>(value);
  notificationCheckRecord(list, kNotificationListTag);
  return list;
}

// Lock held. names are already cut.
NotificationObserverList *notificationFindOrCreateList(NotificationCenter *c,
                                                       const NotificationNames &names) {
  NotificationObserverList *list =
      notificationFindList(c, names.sender, names.notification, names.instance);
  if (list != nullptr) return list;
  list = notificationAlloc<NotificationObserverList>(c->listPool);
  list->tag = kNotificationListTag;
  Str_Set(list->sender, names.sender);
  Str_Set(list->notification, names.notification);
  Str_Set(list->instance, names.instance);
  list->observers.tag = kNotificationObserverTag;
  char key[kNotificationKeyBytes];
  notificationMakeKey(key, names.sender, names.notification, names.instance);
  HashTableEntry *entry = nullptr;
  HashTable_Set(c->lists, key, list, &entry);  // the key always fits
  if (Str_CompareNoCase(notificationName(list->sender), kGlobal) == 0 &&
      Str_CompareNoCase(notificationName(list->notification), kGlobal) == 0 &&
      Str_CompareNoCase(notificationName(list->instance), kGlobal) == 0)
    c->globalList = list;
  if (Str_Compare(list->sender, "NotificationCenter") == 0 &&
      Str_Compare(list->notification, "Process") == 0) {
    auto *node = notificationAlloc<NotificationProcessNode>(c->processPool);
    node->tag = kNotificationProcessNodeTag;
    node->list = list;
    notificationAppend(&c->processes, node);
  }
  return list;
}

// Lock held; only while no delivery runs, so no walk holds a record freed
// here.
void notificationApplyRemovals(NotificationCenter *c) {
  while (NotificationPendingRemoval *removal = c->removals.head) {
    notificationCheckRecord(removal, kNotificationPendingRemovalTag);
    notificationUnlink(&c->removals, removal);
    NotificationObserverList *list = removal->list;
    notificationCheckRecord(list, kNotificationListTag);
    NotificationObserverRecord *observer = removal->observer;
    notificationCheckRecord(observer, kNotificationObserverTag);
    notificationUnlink(&list->observers, observer);
    notificationFree(c->observerPool, observer);
    if (list->observers.count == 0) {
      for (NotificationProcessNode *node = c->processes.head; node != nullptr; node = node->next) {
        if (node->list != list) continue;
        notificationUnlink(&c->processes, node);
        notificationFree(c->processPool, node);
        break;
      }
      if (!HashTable_Remove(c->lists, removal->key))
        Log_Print(LOG_ERROR, KSRC, 0, "Failed to find notification key (%s)\n", removal->key);
      if (c->globalList == list) c->globalList = nullptr;
      notificationFree(c->listPool, list);
    }
    notificationFree(c->removalPool, removal);
  }
}

// Lock held, delivery depth above 0. Observers are called without the lock;
// none is freed meanwhile, so the next one read before a call stays valid.
void notificationCallList(NotificationCenter *c, NotificationObserverList *list,
                          const char *sender, const char *notification, const char *instance,
                          Dictionary *info) {
  NotificationObserverRecord *observer = list->observers.head;
  while (observer != nullptr) {
    notificationCheckRecord(observer, kNotificationObserverTag);
    NotificationObserverRecord *next = observer->next;
    if (observer->callback != nullptr && observer->removed == 0) {
      void *context = observer->context;
      NotificationObserver callback = observer->callback;
      CriticalSection_Leave(c->lock);
      callback(context, sender, notification, instance, info);
      CriticalSection_Enter(c->lock);
    }
    observer = next;
  }
}

// Lock held, main thread. The names are cut already.
void notificationDeliver(NotificationCenter *c, const char *sender, const char *notification,
                         const char *instance, Dictionary *info) {
  sender = notificationName(sender);
  notification = notificationName(notification);
  instance = notificationName(instance);
  if (c->logFlag)
    Log_Print(LOG_DEBUG, KSRC, 0, "NotificationCenter - Fire event - %s.%s - %s\n", sender,
              notification, instance);
  c->deliveryDepth++;
  // Observers of everything get the fired names as arguments: the list's
  // own fields stay as stored, so a nested fire cannot change what the rest
  // of this walk passes.
  NotificationObserverList *global = c->globalList;
  if (global != nullptr) notificationCallList(c, global, sender, notification, instance, info);
  // Each list at most once, also when the fired names are wildcards.
  NotificationObserverList *senderWide = notificationFindList(c, sender, notification, kGlobal);
  if (senderWide != nullptr && senderWide != global)
    notificationCallList(c, senderWide, notificationName(senderWide->sender),
                         notificationName(senderWide->notification), instance, info);
  if (Str_CompareNoCase(instance, kGlobal) != 0) {
    NotificationObserverList *own = notificationFindList(c, sender, notification, instance);
    if (own != nullptr && own != global && own != senderWide)
      notificationCallList(c, own, notificationName(own->sender),
                           notificationName(own->notification), instance, info);
  }
  c->deliveryDepth--;
}

// Any thread inside the center. Copies names and info, appends the record
// and, without delay, asks the main thread for a pump.
void notificationQueueFire(NotificationCenter *c, const char *sender, const char *notification,
                           const char *instance, uint32_t delayMs, Dictionary *info,
                           Signal *signal) {
  Dictionary *copy = nullptr;
  if (info != nullptr) {
    Dictionary_Create(&copy);
    Dictionary_Merge(copy, info, 0);
  }
  CriticalSection_Enter(c->lock);
  auto *fire = notificationAlloc<NotificationPendingFire>(c->firePool);
  fire->tag = kNotificationPendingFireTag;
  notificationCopyName(fire->sender, sender);
  notificationCopyName(fire->notification, notification);
  notificationCopyName(fire->instance, instance == nullptr ? kGlobal : instance);
  fire->enqueueTime = Platform_GetTickSeconds();
  fire->delay = delayMs / 1000.0;
  fire->info = copy;
  fire->signal = signal;
  notificationAppend(&c->fires, fire);
  CriticalSection_Leave(c->lock);
  if (delayMs == 0)
    notificationPostPump(c);
}

// Lock held. Gives back a pending record; its signal has been dealt with.
void notificationFreeFire(NotificationCenter *c, NotificationPendingFire *fire) {
  if (fire->info != nullptr) Dictionary_Release(&fire->info);
  notificationFree(c->firePool, fire);
}

// The info of a JSON text: the parsed tree and what to fire (its top-level
// object, else the tree). 1, or 0 when the text is not JSON.
int notificationParse(const char *format, va_list *args, Dictionary **parsed,
                      Dictionary **info) {
  Dictionary_Create(parsed);
  Json *json = nullptr;
  Json_Create(&json);
  Json_SetDictionary(json, *parsed);
  int result = args != nullptr
                   ? Json_ParseFormattedV(json, format, *args)
                   : Json_ParseMemory(json, format, int32_t(strlen(format)));
  Json_Release(&json);
  if (result) Dictionary_Unwrap(*parsed, info);
  return result ? 1 : 0;
}

int notificationFireParsed(const char *sender, const char *notification, const char *instance,
                           int delayed, uint32_t delayMs, const char *format, va_list *args) {
  if (format == nullptr)
    return delayed ? NotificationCenter_FireAfterDelay(sender, notification, instance, delayMs,
                                                       nullptr)
                   : NotificationCenter_Fire(sender, notification, instance, nullptr);
  Dictionary *parsed = nullptr;
  Dictionary *info = nullptr;
  int result = notificationParse(format, args, &parsed, &info);
  if (result) {
    if (delayed)
      NotificationCenter_FireAfterDelay(sender, notification, instance, delayMs, info);
    else
      NotificationCenter_Fire(sender, notification, instance, info);
  }
  Dictionary_Release(&parsed);
  return result;
}

// The center for an operation of any thread; NULL only while closing, for a
// thread other than the main one. Stops the program otherwise.
NotificationCenter *notificationEnter(NotificationUse *use, const char *sourcePath, int line) {
  if (use->center == nullptr && use->closing && !notificationOnOwner()) return nullptr;
  return notificationCheck(use->center, sourcePath, line);
}

}  // namespace

int NotificationCenter_Init(void) {
  if (gCenter.load() != nullptr) return 1;
  auto *c = static_cast<NotificationCenter *>(MEM_ALLOC(sizeof(NotificationCenter), 2));
  c->header.classTag = kNotificationCenterTag;
  c->header.refCount.store(1);
  Class_GenerateInstanceId(c);
  CriticalSection_Create(&c->lock);
  c->ownerThreadId = Thread_GetCurrentId();
  int level = 0;
  c->logFlag = Log_GetVerboseLevel("NotificationCenter", &level) && level >= 1 ? 1 : 0;
  c->lists = notificationCreateTable(kNotificationKeyBytes);
  c->interopInstances = notificationCreateTable(kNotificationNameBytes);
  c->listPool = notificationCreatePool(int32_t(sizeof(NotificationObserverList)));
  c->observerPool = notificationCreatePool(int32_t(sizeof(NotificationObserverRecord)));
  c->firePool = notificationCreatePool(int32_t(sizeof(NotificationPendingFire)));
  c->removalPool = notificationCreatePool(int32_t(sizeof(NotificationPendingRemoval)));
  c->processPool = notificationCreatePool(int32_t(sizeof(NotificationProcessNode)));
  c->fires.tag = kNotificationPendingFireTag;
  c->removals.tag = kNotificationPendingRemovalTag;
  c->processes.tag = kNotificationProcessNodeTag;
  Dictionary_Create(&c->retainCounts);
  gOwnerThreadId.store(c->ownerThreadId);
  gClosing.store(0);
  gCenter.store(c);
  return 1;
}

int NotificationCenter_Shutdown(void) {
  NotificationCenter *c = gCenter.load();
  if (c == nullptr) return 1;
  notificationCheck(c, KSRC);
  // From here on no other thread enters; wait for those inside to leave (a
  // stay inside is short: no thread waits for anything while inside).
  gClosing.store(1);
  while (gUsers.load() != 0) Platform_SleepMs(1);
  CriticalSection_Enter(c->lock);
  notificationApplyRemovals(c);
  if (EventQueue_GetMain() != nullptr)
    EventQueue_CancelForThread(c->ownerThreadId, reinterpret_cast<uintptr_t>(c));
  // A thread blocked in a fire gets its signal, or it would never return and
  // its join would hang the host's stop.
  while (NotificationPendingFire *fire = c->fires.head) {
    notificationCheckRecord(fire, kNotificationPendingFireTag);
    notificationUnlink(&c->fires, fire);
    if (c->logFlag)
      Log_Print(LOG_DEBUG, KSRC, 0, "NotificationCenter - Skipping pending fire - %s.%s - %s\n",
                notificationName(fire->sender), notificationName(fire->notification),
                notificationName(fire->instance));
    if (fire->signal != nullptr) Signal_Set(fire->signal, 1, KSRC);
    notificationFreeFire(c, fire);
  }
  while (NotificationProcessNode *node = c->processes.head) {
    notificationUnlink(&c->processes, node);
    notificationFree(c->processPool, node);
  }
  HashTableEntry *entry = nullptr;
  for (int more = HashTable_First(c->lists, &entry); more;
       more = HashTable_Next(c->lists, entry, &entry)) {
    void *value = nullptr;
    HashTable_GetEntry(c->lists, entry, nullptr, &value);
    auto *list = static_cast<NotificationObserverList *>(value);
    while (NotificationObserverRecord *observer = list->observers.head) {
      Log_Print(LOG_DEBUG, KSRC, 0, "NotificationCenter - Callback not removed %s.%s - %s\n",
                notificationName(list->sender), notificationName(list->notification),
                notificationName(list->instance));
      notificationUnlink(&list->observers, observer);
      notificationFree(c->observerPool, observer);
    }
    notificationFree(c->listPool, list);
  }
  HashTable_Release(&c->lists);
  HashTable_Release(&c->interopInstances);
  Pool_Release(&c->listPool);
  Pool_Release(&c->observerPool);
  Pool_Release(&c->firePool);
  Pool_Release(&c->removalPool);
  Pool_Release(&c->processPool);
  CriticalSection_Leave(c->lock);
  CriticalSection_Delete(&c->lock);
  Dictionary_Release(&c->retainCounts);
  gCenter.store(nullptr);
  c->header.classTag = 0;
  MEM_FREE(c, sizeof(NotificationCenter));
  return 1;
}

int NotificationCenter_AddInstanceObserver(const char *sender, const char *notification,
                                           const char *instance, void *context,
                                           NotificationObserver callback) {
  NotificationUse use;
  NotificationCenter *c = notificationEnter(&use, KSRC);
  if (c == nullptr) {
    Log_Print(LOG_WARNING, KSRC, 0,
              "NotificationCenter - Add observer while closing - %s.%s - %s [0x%p]\n",
              notificationName(sender), notificationName(notification),
              notificationName(instance), context);
    return 0;
  }
  NotificationNames names(sender, notification, instance);
  CriticalSection_Enter(c->lock);
  NotificationObserverList *list = notificationFindOrCreateList(c, names);
  if (c->logFlag)
    Log_Print(LOG_DEBUG, KSRC, 0, "NotificationCenter - Add observer - %s.%s - %s [0x%p]\n",
              notificationName(names.sender), notificationName(names.notification),
              notificationName(names.instance), context);
  auto *observer = notificationAlloc<NotificationObserverRecord>(c->observerPool);
  observer->tag = kNotificationObserverTag;
  observer->context = context;
  observer->callback = callback;
  notificationAppend(&list->observers, observer);
  CriticalSection_Leave(c->lock);
  return 1;
}

namespace {

// Lock held: marks the observer removed and queues its removal.
void notificationQueueRemoval(NotificationCenter *c, NotificationObserverList *list,
                              NotificationObserverRecord *observer) {
  observer->removed = 1;
  auto *removal = notificationAlloc<NotificationPendingRemoval>(c->removalPool);
  removal->tag = kNotificationPendingRemovalTag;
  notificationMakeKey(removal->key, list->sender, list->notification, list->instance);
  removal->list = list;
  removal->observer = observer;
  if (c->logFlag)
    Log_Print(LOG_DEBUG, KSRC, 0, "NotificationCenter - Remove observer - %s.%s - %s [0x%p]\n",
              notificationName(list->sender), notificationName(list->notification),
              notificationName(list->instance), observer->context);
  notificationAppend(&c->removals, removal);
}

}  // namespace

int NotificationCenter_RemoveInstanceObserver(const char *sender, const char *notification,
                                              const char *instance, void *context,
                                              NotificationObserver callback) {
  NotificationUse use;
  NotificationCenter *c = notificationEnter(&use, KSRC);
  if (c == nullptr) return 1;  // closing: everything goes anyway
  NotificationNames names(sender, notification, instance);
  CriticalSection_Enter(c->lock);
  if (NotificationObserverList *list =
          notificationFindList(c, names.sender, names.notification, names.instance)) {
    for (NotificationObserverRecord *o = list->observers.head; o != nullptr; o = o->next) {
      if (o->callback != callback || o->context != context || o->removed != 0) continue;
      notificationQueueRemoval(c, list, o);
      break;
    }
  }
  CriticalSection_Leave(c->lock);
  return 1;
}

int NotificationCenter_RemoveObserver(const char *sender, const char *notification, void *context,
                                      NotificationObserver callback) {
  return NotificationCenter_RemoveInstanceObserver(sender, notification, kGlobal, context,
                                                   callback);
}

int NotificationCenter_AddProcessObserver(const char *instance, void *context,
                                          NotificationObserver callback) {
  return NotificationCenter_AddInstanceObserver("NotificationCenter", "Process", instance, context,
                                                callback);
}

int NotificationCenter_RemoveProcessObserver(const char *instance, void *context,
                                             NotificationObserver callback) {
  return NotificationCenter_RemoveInstanceObserver("NotificationCenter", "Process", instance,
                                                   context, callback);
}

int NotificationCenter_RegisterInteropInstance(const char *instanceId, void *context,
                                               NotificationObserver callback) {
  NotificationCenter *c = notificationCheck(gCenter.load(), KSRC);
  CHECK_POINTER(instanceId);
  char id[kNotificationNameBytes];
  notificationCopyName(id, instanceId);
  CriticalSection_Enter(c->lock);
  HashTableEntry *entry = nullptr;
  HashTable_Set(c->interopInstances, id, reinterpret_cast<void *>(uintptr_t(1)), &entry);
  CriticalSection_Leave(c->lock);
  return NotificationCenter_AddInstanceObserver("NotificationCenter", "Interop", id, context,
                                                callback);
}

int NotificationCenter_UnregisterInteropInstance(const char *instanceId, void *context,
                                                 NotificationObserver callback) {
  NotificationCenter *c = notificationCheck(gCenter.load(), KSRC);
  CHECK_POINTER(instanceId);
  char id[kNotificationNameBytes];
  notificationCopyName(id, instanceId);
  CriticalSection_Enter(c->lock);
  HashTable_Remove(c->interopInstances, id);
  CriticalSection_Leave(c->lock);
  return NotificationCenter_RemoveInstanceObserver("NotificationCenter", "Interop", id, context,
                                                   callback);
}

int NotificationCenter_AssertInstance(void *instance) {
  NotificationUse use;
  NotificationCenter *c = notificationEnter(&use, KSRC);
  if (c == nullptr) return 1;
  int32_t count = 0;
  char key[kNotificationKeyBytes] = "";
  CriticalSection_Enter(c->lock);
  HashTableEntry *entry = nullptr;
  for (int more = HashTable_First(c->lists, &entry); more;
       more = HashTable_Next(c->lists, entry, &entry)) {
    void *value = nullptr;
    HashTable_GetEntry(c->lists, entry, nullptr, &value);
    auto *list = static_cast<NotificationObserverList *>(value);
    for (NotificationObserverRecord *o = list->observers.head; o != nullptr; o = o->next) {
      if (o->removed != 0 || o->context != instance) continue;
      Log_Print(LOG_DEBUG, KSRC, 0,
                "NotificationCenter - Observer still references instance - %s.%s - %s [0x%p]\n",
                notificationName(list->sender), notificationName(list->notification),
                notificationName(list->instance), instance);
      if (count++ == 0) notificationMakeKey(key, list->sender, list->notification, list->instance);
    }
  }
  CriticalSection_Leave(c->lock);
  if (count != 0)
    Core_Abort(KSRC,
               "Assertion failed (RefCount == 0)\nNotificationCenter - Instance still has %d "
               "references - %s [0x%p]\n",
               count, key, instance);
  return 1;
}

int NotificationCenter_Fire(const char *sender, const char *notification, const char *instance,
                            Dictionary *info) {
  if (notificationOnOwner()) {
    NotificationCenter *c = notificationCheck(gCenter.load(), KSRC);
    NotificationNames names(sender, notification, instance);
    CriticalSection_Enter(c->lock);
    notificationDeliver(c, names.sender, names.notification, names.instance, info);
    CriticalSection_Leave(c->lock);
    return 1;
  }
  NotificationUse use;
  NotificationCenter *c = notificationEnter(&use, KSRC);
  if (c == nullptr) return 1;  // closing: nobody would deliver it
  Signal *signal = nullptr;
  if (!Signal_Create(&signal)) return 0;
  notificationQueueFire(c, sender, notification, instance, 0, info, signal);
  // Leave before waiting: shutdown waits for the threads inside, and it sets
  // this signal itself when it drops the record.
  use.leave();
  Signal_Wait(signal, nullptr, -1, KSRC);
  Signal_Release(&signal);
  return 1;
}

int NotificationCenter_FireWithJSON(const char *sender, const char *notification,
                                    const char *instance, const char *format, ...) {
  va_list args;
  va_start(args, format);
  int result = notificationFireParsed(sender, notification, instance, 0, 0, format, &args);
  va_end(args);
  return result;
}

int NotificationCenter_FireWithJSONV(const char *sender, const char *notification,
                                     const char *instance, const char *format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  int result = notificationFireParsed(sender, notification, instance, 0, 0, format, &copy);
  va_end(copy);
  return result;
}

int NotificationCenter_FireWithJSONText(const char *sender, const char *notification,
                                        const char *instance, const char *text) {
  return notificationFireParsed(sender, notification, instance, 0, 0, text, nullptr);
}

int NotificationCenter_FireAfterDelay(const char *sender, const char *notification,
                                      const char *instance, uint32_t delayMs, Dictionary *info) {
  NotificationUse use;
  NotificationCenter *c = notificationEnter(&use, KSRC);
  if (c == nullptr) return 1;
  notificationQueueFire(c, sender, notification, instance, delayMs, info, nullptr);
  return 1;
}

int NotificationCenter_FireAfterDelayWithJSON(const char *sender, const char *notification,
                                              const char *instance, uint32_t delayMs,
                                              const char *format, ...) {
  va_list args;
  va_start(args, format);
  int result = notificationFireParsed(sender, notification, instance, 1, delayMs, format, &args);
  va_end(args);
  return result;
}

int NotificationCenter_FireAfterDelayWithJSONV(const char *sender, const char *notification,
                                               const char *instance, uint32_t delayMs,
                                               const char *format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  int result = notificationFireParsed(sender, notification, instance, 1, delayMs, format, &copy);
  va_end(copy);
  return result;
}

int NotificationCenter_FireAfterDelayWithJSONText(const char *sender, const char *notification,
                                                  const char *instance, uint32_t delayMs,
                                                  const char *text) {
  return notificationFireParsed(sender, notification, instance, 1, delayMs, text, nullptr);
}

int NotificationCenter_ProcessPendingFires(void) {
  Thread_AssertMain(KSRC);
  NotificationCenter *c = notificationCheck(gCenter.load(), KSRC);
  double start = Platform_GetTickSeconds();
  CriticalSection_Enter(c->lock);
  // The due records leave the pending list before any is delivered: an
  // observer that pumps then neither delivers them again nor frees them
  // under this walk.
  NotificationChain<NotificationPendingFire> due{kNotificationPendingFireTag, nullptr, nullptr, 0};
  for (NotificationPendingFire *fire = c->fires.head, *next; fire != nullptr; fire = next) {
    notificationCheckRecord(fire, kNotificationPendingFireTag);
    next = fire->next;
    if (start - fire->enqueueTime < fire->delay) continue;
    notificationUnlink(&c->fires, fire);
    notificationAppend(&due, fire);
  }
  while (NotificationPendingFire *fire = due.head) {
    notificationUnlink(&due, fire);
    notificationDeliver(c, fire->sender, fire->notification, fire->instance, fire->info);
    Signal *signal = fire->signal;
    notificationFreeFire(c, fire);
    if (signal != nullptr) {
      // Outside the lock: the woken worker's next fire would only wait for it.
      CriticalSection_Leave(c->lock);
      Signal_Set(signal, 1, KSRC);
      CriticalSection_Enter(c->lock);
    }
    if (due.head != nullptr && Platform_GetTickSeconds() - start >= kNotificationPumpBudgetSeconds) {
      // The rest goes back to the front, in order, for the next pump.
      while (NotificationPendingFire *last = due.tail) {
        notificationUnlink(&due, last);
        last->next = c->fires.head;
        last->prev = nullptr;
        if (c->fires.head != nullptr)
          c->fires.head->prev = last;
        else
          c->fires.tail = last;
        c->fires.head = last;
        c->fires.count++;
      }
      notificationPostPump(c);
    }
  }
  if (c->deliveryDepth == 0) notificationApplyRemovals(c);
  c->deliveryDepth++;
  for (NotificationProcessNode *node = c->processes.tail, *prev; node != nullptr; node = prev) {
    notificationCheckRecord(node, kNotificationProcessNodeTag);
    prev = node->prev;
    NotificationObserverList *list = node->list;
    notificationCallList(c, list, notificationName(list->sender),
                         notificationName(list->notification), notificationName(list->instance),
                         nullptr);
  }
  c->deliveryDepth--;
  CriticalSection_Leave(c->lock);
  return 1;
}

void NotificationCenter_PendingFiresCallback(void *context) {
  Thread_AssertMain(KSRC);
  (void)context;
  NotificationCenter_ProcessPendingFires();
}

int NotificationCenter_AddInteropObserver(const char *sender, const char *notification,
                                          const char *instance, const char *callbackName) {
  NotificationCenter *c = notificationCheck(gCenter.load(), KSRC);
  InteropCallback *entry = nullptr;
  Interop_AddCallback(callbackName, c, Interop_QueueCallbackArgument, &entry);
  return NotificationCenter_AddInstanceObserver(sender, notification, instance, entry,
                                                NotificationCenter_InteropObserver);
}

int NotificationCenter_RemoveInteropObserver(const char *sender, const char *notification,
                                             const char *instance, const char *callbackName) {
  NotificationCenter *c = notificationCheck(gCenter.load(), KSRC);
  CHECK_POINTER(callbackName);
  NotificationNames names(sender, notification, instance);
  InteropCallback *entry = nullptr;
  CriticalSection_Enter(c->lock);
  // Names repeat across keys and released entries stay listed, so the entry
  // is the one this key's own live observer holds, not the first of that
  // name anywhere.
  if (NotificationObserverList *list =
          notificationFindList(c, names.sender, names.notification, names.instance)) {
    for (NotificationObserverRecord *o = list->observers.head; o != nullptr; o = o->next) {
      if (o->removed != 0 || o->callback != NotificationCenter_InteropObserver) continue;
      auto *candidate = static_cast<InteropCallback *>(o->context);
      if (Str_CompareNoCase(Interop_GetCallbackName(candidate), callbackName) != 0) continue;
      notificationQueueRemoval(c, list, o);
      entry = candidate;
      break;
    }
  }
  CriticalSection_Leave(c->lock);
  if (entry == nullptr) return 0;
  Interop_ReleaseCallback(&entry);
  return 1;
}

int NotificationCenter_InteropObserver(void *entry, const char *sender, const char *notification,
                                       const char *instance, Dictionary *info) {
  NotificationCenter *c = notificationCheck(gCenter.load(), KSRC);
  auto *callback = static_cast<InteropCallback *>(entry);
  if (Str_CompareNoCase(sender, "NotificationCenter") == 0 &&
      Str_CompareNoCase(notification, "Interop") == 0)
    return 1;
  Dictionary *record = nullptr;
  Dictionary_Create(&record);
  Dictionary_AddString(record, "type", sender, nullptr);
  Dictionary_AddString(record, "notification", notification, nullptr);
  Dictionary_AddString(record, "sender", instance, nullptr);
  Dictionary_AddString(record, "callbackId", Interop_GetCallbackName(callback), nullptr);
  CriticalSection_Enter(c->lock);
  void *registered = nullptr;
  HashTable_Get(c->interopInstances, instance, &registered);
  CriticalSection_Leave(c->lock);
  if (registered != nullptr) {
    Dictionary_AddBoolean(record, "retained", 1, nullptr);
    for (int32_t n = InteropNotificationCenter_GetCount(); n > 0; n--)
      NotificationCenter_RetainInteropInstance(instance);
  }
  Dictionary *details = nullptr;
  Dictionary_AddDictionary(record, "info", &details, nullptr);
  if (info != nullptr) Dictionary_Merge(details, info, 0);
  Interop_InvokeCallback(callback, record);
  Dictionary_Release(&record);
  if (c->logFlag)
    Log_Print(LOG_DEBUG, KSRC, 0,
              "NotificationCenter - Trigger interop observer - %s.%s - %s - %s [0x%p]\n", sender,
              notification, instance, Interop_GetCallbackName(callback), entry);
  return 1;
}

int NotificationCenter_RetainInteropInstance(const char *instanceId) {
  NotificationCenter *c = notificationCheck(gCenter.load(), KSRC);
  CHECK_POINTER(instanceId);
  int32_t count = 0;
  // The count is stored before the fire, and the lock is not held across it:
  // an observer of the fire may retain or release again.
  CriticalSection_Enter(c->lock);
  if (!Dictionary_GetInt32ByKey(c->retainCounts, instanceId, &count)) count = 0;
  Dictionary_SetInt32ByKey(c->retainCounts, instanceId, count + 1);
  CriticalSection_Leave(c->lock);
  if (count == 0)
    NotificationCenter_FireWithJSON("NotificationCenter", "Interop", instanceId,
                                    "{\"addRef\":true}");
  return 1;
}

int NotificationCenter_ReleaseAllInteropReferences(const char *instanceId) {
  NotificationCenter *c = notificationCheck(gCenter.load(), KSRC);
  CHECK_POINTER(instanceId);
  int32_t count = 0;
  CriticalSection_Enter(c->lock);
  if (Dictionary_GetInt32ByKey(c->retainCounts, instanceId, &count))
    Dictionary_RemoveKey(c->retainCounts, instanceId);
  CriticalSection_Leave(c->lock);
  if (count > 0)
    NotificationCenter_FireWithJSON("NotificationCenter", "Interop", instanceId,
                                    "{\"addRef\":false}");
  return 1;
}

int NotificationCenter_ReleaseInteropInstance(const char *instanceId) {
  NotificationCenter *c = notificationCheck(gCenter.load(), KSRC);
  CHECK_POINTER(instanceId);
  int32_t count = 0;
  CriticalSection_Enter(c->lock);
  if (!Dictionary_GetInt32ByKey(c->retainCounts, instanceId, &count) || count <= 0) {
    CriticalSection_Leave(c->lock);
    // A count below 0 would swallow the next retain's {"addRef":true}.
    Log_Print(LOG_WARNING, KSRC, 0,
              "NotificationCenter - Release without retain - %s\n", instanceId);
    return 1;
  }
  if (count == 1)
    Dictionary_RemoveKey(c->retainCounts, instanceId);
  else
    Dictionary_SetInt32ByKey(c->retainCounts, instanceId, count - 1);
  CriticalSection_Leave(c->lock);
  if (count == 1)
    NotificationCenter_FireWithJSON("NotificationCenter", "Interop", instanceId,
                                    "{\"addRef\":false}");
  return 1;
}
