// Analytics; see analytics.h.
#include "core/net/analytics.h"

#include <cstring>

#include "core/formats/dictionary.h"
#include "core/formats/json.h"
#include "core/net/webget.h"
#include "core/net/webgetconnection.h"
#include "core/net/webgetrequest.h"
#include "core/platform/eventqueue.h"
#include "core/platform/notification.h"
#include "core/platform/platform.h"
#include "core/platform/thread.h"
#include "core/runtime/class.h"
#include "core/runtime/core.h"
#include "core/runtime/expand.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/pool.h"
#include "core/runtime/str.h"

namespace {

// The SHA-1 of the primary adapter's MAC address and the serial of the disk
// that holds the system directory: the same in every process of a machine.
constexpr char kAnalyticsMachineIdMacro[] =
    "{SHA1:{Lower:{MACAddress}{DiskSerial:{SystemDirectory}}}}";

struct AnalyticsEvent {
  Dictionary *event;
  int32_t sent;  // 1 while the event is part of the batch in flight
  AnalyticsEvent *next;
  AnalyticsEvent *prev;
};

struct Analytics {
  ObjectHeader header;  // kAnalyticsTag
  int32_t enabled;
  char endPoint[kAnalyticsEndPointBytes];
  char key[kAnalyticsTextBytes];
  int32_t maxEvents;
  int32_t maxSendEvents;
  int32_t sendInterval;  // seconds
  char machineId[kAnalyticsTextBytes];
  char sessionId[kAnalyticsTextBytes];

  Pool *eventPool;
  AnalyticsEvent *head;  // the oldest event
  AnalyticsEvent *tail;
  int32_t count;

  Dictionary *properties;
  Dictionary *batch;
  Json *writer;  // bound to batch
  char *body;    // the last batch as JSON; the request borrows it
  int32_t bodySize;

  WebGetConnection *connection;
  WebGetRequest *request;
  int32_t requestStarted;  // queued and its outcome not yet taken

  double nextBatchTime;   // tick seconds
  double retryNotBefore;  // tick seconds
  int32_t failures;
  int32_t lastStatus;  // of the last request whose outcome was taken
  int32_t overflowLogged;
  int32_t inactiveLogged;
  int32_t verbose;
};

Analytics *GlobalAnalytics = nullptr;
double ShutdownSeconds = kAnalyticsShutdownSeconds;  // tests shorten it

Analytics *analyticsGet(void) {
  CLASS_CHECK(GlobalAnalytics, kAnalyticsTag);
  return GlobalAnalytics;
}

int analyticsActive(const Analytics *a) {
  return a->enabled && a->key[0] != '\0' && a->endPoint[0] != '\0';
}

void analyticsUnlink(Analytics *a, AnalyticsEvent *e) {
  if (e->prev != nullptr) e->prev->next = e->next;
  else a->head = e->next;
  if (e->next != nullptr) e->next->prev = e->prev;
  else a->tail = e->prev;
  e->next = e->prev = nullptr;
  a->count--;
}

void analyticsFree(Analytics *a, AnalyticsEvent *e) {
  analyticsUnlink(a, e);
  Dictionary_Release(&e->event);
  void *member = e;
  POOL_FREE(a->eventPool, &member, int32_t(sizeof(AnalyticsEvent)));
}

void analyticsAppend(Analytics *a, AnalyticsEvent *e) {
  e->prev = a->tail;
  e->next = nullptr;
  if (a->tail != nullptr) a->tail->next = e;
  else a->head = e;
  a->tail = e;
  a->count++;
}

void analyticsEmptyQueue(Analytics *a) {
  while (a->head != nullptr) analyticsFree(a, a->head);
}

// The inactive state drops events silently once the user has been told why.
void analyticsNoteDropped(Analytics *a) {
  if (!a->enabled || a->inactiveLogged) return;
  a->inactiveLogged = 1;
  Log_Print(LOG_INFO, KSRC, 0,
            "Analytics has no endpoint or key configured - events are dropped\n");
}

// Moves "arguments"."analytics" of the event into its own "analytics"
// object and expands that object's texts.
void analyticsLiftArguments(Dictionary *event) {
  Dictionary *arguments = nullptr;
  Dictionary *given = nullptr;
  if (!Dictionary_GetDictionaryByKey(event, "arguments", &arguments)) return;
  if (!Dictionary_GetDictionaryByKey(arguments, "analytics", &given)) return;
  Dictionary *own = nullptr;
  Dictionary_SetDictionaryByKey(event, "analytics", nullptr, &own);
  Dictionary_Merge(own, given, kDictionaryMergeOverwrite);
  Dictionary_ExpandStrings(own, nullptr, nullptr);
  Dictionary_RemoveKey(arguments, "analytics");
}

// The event as it goes out: a copy whose "analytics" object has the
// properties added (its own values kept), its texts expanded again.
void analyticsAppendSendCopy(Analytics *a, Dictionary *list, Dictionary *event) {
  Dictionary *copy = nullptr;
  Dictionary_AddDictionary(list, nullptr, &copy, nullptr);
  Dictionary_Merge(copy, event, kDictionaryMergeOverwrite);
  Dictionary *own = nullptr;
  if (!Dictionary_GetDictionaryByKey(copy, "analytics", &own))
    Dictionary_SetDictionaryByKey(copy, "analytics", nullptr, &own);
  Dictionary_Merge(own, a->properties, 0);
  Dictionary_ExpandStrings(own, nullptr, nullptr);
}

// Takes the outcome of the request that has ended. 1 when the batch was
// delivered, 0 when it failed (its events stay queued for the retry).
int analyticsTakeOutcome(Analytics *a) {
  a->requestStarted = 0;
  a->lastStatus = WebGetRequest_GetStatusCode(a->request);
  if (WebGetRequest_IsSuccess(a->request)) {
    a->failures = 0;
    a->overflowLogged = 0;
    for (AnalyticsEvent *e = a->head; e != nullptr;) {
      AnalyticsEvent *next = e->next;
      if (e->sent) analyticsFree(a, e);
      e = next;
    }
    return 1;
  }
  for (AnalyticsEvent *e = a->head; e != nullptr; e = e->next) e->sent = 0;
  a->retryNotBefore = Platform_GetTickSeconds() + Analytics_RetryDelay(a->failures);
  a->failures++;
  WebGetRequest_Reset(a->request);
  return 0;
}

// Marks the next events and writes them as the body of a new batch.
void analyticsBuildBatch(Analytics *a) {
  Dictionary_Clear(a->batch);
  Dictionary *list = nullptr;
  Dictionary_AddList(a->batch, nullptr, &list, nullptr);
  int32_t taken = 0;
  for (AnalyticsEvent *e = a->head; e != nullptr && taken < a->maxSendEvents; e = e->next) {
    if (e->sent) continue;
    analyticsAppendSendCopy(a, list, e->event);
    e->sent = 1;
    taken++;
  }
  if (a->body != nullptr) Mem_Free(a->body, a->bodySize + 1, KSRC);
  int32_t length = 0;
  Json_GetWriteLength(a->writer, &length);
  a->bodySize = length;
  a->body = static_cast<char *>(Mem_Alloc(length + 1, 0, KSRC));
  Json_WriteMemory(a->writer, a->body, length + 1, &length);
  if (a->verbose) Dictionary_Dump(a->batch, 0);
}

void analyticsQueueRequest(Analytics *a) {
  WebGetRequest *r = a->request;
  WebGetRequest_Reset(r);
  WebGetRequest_ClearHeaders(r);
  char *block = nullptr;
  int size = 0;
  WebGetRequest_GetRequestHeaders(r, &block, &size);
  WebGet_SetHeader(block, size, "Content-Type", "application/json", 1);
  WebGet_SetHeader(block, size, "X-Api-Key", a->key, 1);
  WebGetRequest_SetMethod(r, kWebGetMethodPost);
  WebGetRequest_SetUrl(r, a->endPoint, 0);
  WebGetRequest_SetPostData(r, a->body, a->bodySize);
  WebGetConnection_QueueRequest(a->connection, r);
  a->requestStarted = 1;
}

int analyticsInFlight(Analytics *a) {
  return (a->requestStarted && WebGetRequest_GetPhase(a->request) != kWebGetPhaseDone) ||
         WebGetConnection_IsBusy(a->connection);
}

// Runs the connection on the calling thread until the request ends or the
// deadline (tick seconds) passes. 0 at the deadline.
int analyticsRunUntil(Analytics *a, double deadline) {
  bool main = Thread_GetCurrentId() == Thread_GetMainId();
  while (WebGetRequest_GetPhase(a->request) != kWebGetPhaseDone) {
    if (Platform_GetTickSeconds() >= deadline) return 0;
    WebGetConnection_Poll(a->connection);
    if (main) {
      // The connection posts its polls and socket results to the main queue.
      EventQueue_Flush(EventQueue_GetMain());
      NotificationCenter_ProcessPendingFires();
    }
    Thread_Yield();
  }
  return 1;
}

int32_t analyticsClampCount(int32_t value) { return value < 1 ? 1 : value; }

// One level of the cache statistics: each Dictionary item's key and child.
template <typename Visit>
void analyticsForEachChild(Dictionary *d, Visit visit) {
  DictionaryItem *item = nullptr;
  for (Dictionary_GetFirstItem(d, &item); item != nullptr; Dictionary_GetNextItem(d, item, &item)) {
    const char *key = nullptr;
    if (!Dictionary_GetItemKey(d, item, &key) || key == nullptr) continue;
    visit(key, item);
  }
}

}  // namespace

int Analytics_Init(void) {
  if (GlobalAnalytics != nullptr) Core_Abort(KSRC, "Analytics exists already\n");
  auto *a = static_cast<Analytics *>(Mem_Alloc(sizeof(Analytics), 0, KSRC));
  memset(static_cast<void *>(a), 0, sizeof *a);
  a->header.classTag = kAnalyticsTag;
  a->header.refCount.store(1);
  a->enabled = 1;
  a->maxEvents = kAnalyticsDefaultMaxEvents;
  a->maxSendEvents = kAnalyticsDefaultMaxSendEvents;
  a->sendInterval = kAnalyticsDefaultSendIntervalSeconds;
  Pool_Create(&a->eventPool, KSRC);
  Pool_SetMemberSize(a->eventPool, int32_t(sizeof(AnalyticsEvent)));
  Pool_SetMemberChunkSize(a->eventPool, kAnalyticsPoolGrowth);
  Dictionary_Create(&a->properties);
  Dictionary_Create(&a->batch);
  Json_Create(&a->writer);
  Json_SetDictionary(a->writer, a->batch);

  Str_Copy(a->machineId, kAnalyticsMachineIdMacro, sizeof a->machineId);
  Str_Expand(a->machineId, sizeof a->machineId, nullptr, nullptr);
  Str_CreateGuid(a->sessionId, sizeof a->sessionId);
  Log_Print(LOG_DEBUG, KSRC, 0, "Machine Id: %s\n", a->machineId);
  Log_Print(LOG_DEBUG, KSRC, 0, "Session Id: %s\n", a->sessionId);

  WebGetConnection_Create(&a->connection);
  WebGetConnection_SetKeepAlive(a->connection, 0);
  WebGetConnection_SetReportErrors(a->connection, 0);
  WebGetRequest_Create(&a->request);
  WebGetRequest_SetReportError(a->request, 0);
  WebGetRequest_SetDiscardOutput(a->request);

  int level = 0;
  a->verbose = Log_GetVerboseLevel("Analytics", &level) && level >= 1;
  a->nextBatchTime = Platform_GetTickSeconds() + a->sendInterval;
  GlobalAnalytics = a;
  return 1;
}

int Analytics_Shutdown(void) {
  Analytics *a = GlobalAnalytics;
  if (a == nullptr) return 1;
  CLASS_CHECK(a, kAnalyticsTag);
  double deadline = Platform_GetTickSeconds() + ShutdownSeconds;
  while (Analytics_Send(1)) {
    if (!analyticsRunUntil(a, deadline)) break;
    if (!Analytics_HasWork()) break;
  }
  if (a->count > 0) {
    // A request cut at the deadline has not had its outcome taken.
    int32_t status = a->requestStarted ? WebGetRequest_GetStatusCode(a->request) : a->lastStatus;
    Log_Print(LOG_DEBUG, KSRC, 0, "Failed to send %d analytics events (%d)\n", a->count, status);
  }
  analyticsEmptyQueue(a);
  WebGetConnection_Cancel(a->connection);
  GlobalAnalytics = nullptr;
  Class_ReleaseObject(&a->request);
  WebGetConnection_Release(&a->connection);
  if (a->body != nullptr) Mem_Free(a->body, a->bodySize + 1, KSRC);
  Json_Release(&a->writer);
  Dictionary_Release(&a->batch);
  Dictionary_Release(&a->properties);
  Pool_Release(&a->eventPool);
  a->header.classTag = 0;
  Mem_Free(a, sizeof *a, KSRC);
  return 1;
}

int Analytics_Configure(Dictionary *config) {
  Analytics *a = analyticsGet();
  CHECK_POINTER(config);
  int32_t flag = 0;
  if (Dictionary_GetBooleanByPath(config, "analytics.enabled", &flag)) Analytics_SetEnabled(flag);
  // Texts longer than their fields are cut, as every fixed field is.
  const char *text = nullptr;
  if (Dictionary_GetStringPointerByPath(config, "analytics.endPoint", &text))
    Str_Copy(a->endPoint, text, sizeof a->endPoint);
  if (Dictionary_GetStringPointerByPath(config, "analytics.key", &text))
    Str_Copy(a->key, text, sizeof a->key);
  int32_t value = 0;
  if (Dictionary_GetInt32ByPath(config, "analytics.maxEvents", &value))
    a->maxEvents = analyticsClampCount(value);
  if (Dictionary_GetInt32ByPath(config, "analytics.maxSendEvents", &value))
    a->maxSendEvents = analyticsClampCount(value);
  if (Dictionary_GetInt32ByPath(config, "analytics.sendInterval", &value)) {
    a->sendInterval = value;
    a->nextBatchTime = Platform_GetTickSeconds() + value;
  }
  return 1;
}

int Analytics_TrackEvent(const char *name, Dictionary *arguments) {
  Analytics *a = analyticsGet();
  if (name == nullptr) return 0;
  if (!analyticsActive(a)) {
    analyticsNoteDropped(a);
    return 0;
  }
  auto *e = static_cast<AnalyticsEvent *>(
      POOL_ALLOC(a->eventPool, int32_t(sizeof(AnalyticsEvent))));
  Dictionary_Create(&e->event);
  Dictionary_AddString(e->event, "event", name, nullptr);
  Dictionary_AddString(e->event, "machine", a->machineId, nullptr);
  Dictionary_AddString(e->event, "session", a->sessionId, nullptr);
  if (arguments != nullptr) Dictionary_Merge(e->event, arguments, kDictionaryMergeOverwrite);
  analyticsLiftArguments(e->event);

  if (a->count >= a->maxEvents && !a->overflowLogged) {
    a->overflowLogged = 1;
    Log_Print(LOG_WARNING, KSRC, 0, "Analytics event count exceeds max size (%d)\n",
              a->maxEvents);
  }
  while (a->count >= a->maxEvents && a->head != nullptr) analyticsFree(a, a->head);
  analyticsAppend(a, e);
  return 1;
}

int Analytics_TrackEvents(Dictionary *list) {
  analyticsGet();
  CHECK_POINTER(list);
  DictionaryItem *item = nullptr;
  for (Dictionary_GetFirstItem(list, &item); item != nullptr;
       Dictionary_GetNextItem(list, item, &item)) {
    if (!Dictionary_IsItemType(list, item, kDictionaryTypeDictionary)) continue;
    Dictionary *element = nullptr;
    Dictionary_GetItemContainer(list, item, &element);
    const char *text = nullptr;
    if (!Dictionary_GetStringPointerByKey(element, "event", &text)) continue;
    char name[kAnalyticsTextBytes];
    Str_Copy(name, text, sizeof name);
    Dictionary_RemoveKey(element, "event");
    Analytics_TrackEvent(name, element);
  }
  return 1;
}

int Analytics_AppendEvents(Dictionary *list) {
  Analytics *a = analyticsGet();
  CHECK_POINTER(list);
  for (AnalyticsEvent *e = a->head; e != nullptr; e = e->next)
    analyticsAppendSendCopy(a, list, e->event);
  return 1;
}

int Analytics_TrackXCacheStats(Dictionary *statistics) {
  analyticsGet();
  CHECK_POINTER(statistics);
  analyticsForEachChild(statistics, [&](const char *host, DictionaryItem *hostItem) {
    Dictionary *sources = nullptr;
    if (!Dictionary_GetItemContainer(statistics, hostItem, &sources)) return;
    analyticsForEachChild(sources, [&](const char *from, DictionaryItem *fromItem) {
      Dictionary *verbs = nullptr;
      if (!Dictionary_GetItemContainer(sources, fromItem, &verbs)) return;
      analyticsForEachChild(verbs, [&](const char *verb, DictionaryItem *verbItem) {
        int64_t value = 0;
        if (!Dictionary_GetItemInt64(verbs, verbItem, &value)) return;
        Dictionary *arguments = nullptr;
        Dictionary_Create(&arguments);
        Dictionary_AddString(arguments, "host", host, nullptr);
        Dictionary_AddString(arguments, "from", from, nullptr);
        Dictionary_AddString(arguments, "verb", verb, nullptr);
        Dictionary_AddInt64(arguments, "value", value, nullptr);
        Analytics_TrackEvent("WebGetXCache", arguments);
        Dictionary_Release(&arguments);
      });
    });
  });
  return 1;
}

int Analytics_SetEnabled(int enabled) {
  Analytics *a = analyticsGet();
  a->enabled = enabled ? 1 : 0;
  if (!a->enabled) analyticsEmptyQueue(a);
  return 1;
}

int Analytics_IsActive(void) { return analyticsActive(analyticsGet()); }

int Analytics_GetSessionId(char *buffer, int size) {
  Analytics *a = analyticsGet();
  CHECK_POINTER(buffer);
  Str_Copy(buffer, a->sessionId,
           size < kAnalyticsSessionIdMaxBytes ? size : kAnalyticsSessionIdMaxBytes);
  return 1;
}

int Analytics_GetProperties(Dictionary **properties) {
  Analytics *a = analyticsGet();
  CHECK_POINTER(properties);
  *properties = a->properties;
  return 1;
}

int Analytics_Pump(void) {
  Analytics *a = analyticsGet();
  double now = Platform_GetTickSeconds();
  if (now >= a->nextBatchTime || a->count >= a->maxSendEvents) {
    Analytics_Send(0);
    a->nextBatchTime = now + a->sendInterval;
  }
  WebGetConnection_Poll(a->connection);
  return 1;
}

int Analytics_Send(int final) {
  Analytics *a = analyticsGet();
  if (!analyticsActive(a) || a->head == nullptr) return 0;
  if (analyticsInFlight(a)) return 1;
  if (!final && Platform_GetTickSeconds() < a->retryNotBefore) return 1;
  if (a->requestStarted) {
    if (!analyticsTakeOutcome(a)) return 0;
    if (a->head == nullptr) return 0;
  }
  analyticsBuildBatch(a);
  analyticsQueueRequest(a);
  return 1;
}

int Analytics_HasWork(void) {
  Analytics *a = analyticsGet();
  return a->count > 0 || analyticsInFlight(a);
}

double Analytics_RetryDelay(int32_t failures) {
  Analytics *a = analyticsGet();
  if (failures <= 0) return 0;
  int32_t doublings = failures - 1 < kAnalyticsRetryMaxDoublings ? failures - 1
                                                                 : kAnalyticsRetryMaxDoublings;
  double delay = kAnalyticsRetryBaseSeconds * double(1 << doublings);
  if (a->sendInterval >= 1 && delay > a->sendInterval) delay = a->sendInterval;
  return delay;
}

int Analytics_GetStatusForTest(AnalyticsStatus *status) {
  Analytics *a = analyticsGet();
  CHECK_POINTER(status);
  status->queued = a->count;
  status->failures = a->failures;
  status->inFlight = analyticsInFlight(a);
  status->retryNotBefore = a->retryNotBefore;
  status->nextBatchTime = a->nextBatchTime;
  return 1;
}

void Analytics_SetShutdownSecondsForTest(double seconds) {
  ShutdownSeconds = seconds < 0 ? kAnalyticsShutdownSeconds : seconds;
}
