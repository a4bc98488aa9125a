// Interop callbacks: see interopcallback.h.
#include "core/platform/interopcallback.h"

#include "core/platform/notification.h"
#include "core/runtime/base64.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/str.h"
#include "core/platform/thread.h"

namespace {

struct InteropState {
  InteropCallback *callbackHead;  // in the order of the adds
  InteropCallback *callbackTail;
  Pool *callbackPool;
  InteropQueuedArgument *queueHead;
  InteropQueuedArgument *queueTail;
  Pool *queuePool;
  InteropNotificationCenter *centerHead;
  InteropNotificationCenter *centerTail;
  int32_t centerCount;
};

InteropState *gInterop = nullptr;

InteropState *interopState(const char *sourcePath, int line) {
  Core_CheckPointer(gInterop, sourcePath, line);
  return gInterop;
}

void interopCheckEntry(const InteropCallback *entry, const char *sourcePath, int line) {
  Core_CheckPointer(entry, sourcePath, line);
  if (entry->tag != kInteropCallbackTag)
    Core_Abort(sourcePath, line, "Class mismatch pointer (0x%p: expected 0x%08x but was 0x%08x)\n",
               entry, kInteropCallbackTag, entry->tag);
}

Pool *interopCreatePool(int32_t memberSize) {
  Pool *pool = nullptr;
  Pool_Create(&pool, KSRC);
  Pool_SetMemberSize(pool, memberSize);
  Pool_SetMemberChunkSize(pool, kInteropPoolGrowth);
  return pool;
}

void interopFreeCenter(InteropState *state, InteropNotificationCenter *object) {
  if (object->prev != nullptr)
    object->prev->next = object->next;
  else
    state->centerHead = object->next;
  if (object->next != nullptr)
    object->next->prev = object->prev;
  else
    state->centerTail = object->prev;
  state->centerCount--;
  object->header.classTag = 0;
  MEM_FREE(object, sizeof(InteropNotificationCenter));
}

}  // namespace

int InteropCallback_Init(void) {
  if (gInterop != nullptr) return 1;
  auto *state = static_cast<InteropState *>(MEM_ALLOC(sizeof(InteropState), 2));
  state->callbackPool = interopCreatePool(int32_t(sizeof(InteropCallback)));
  state->queuePool = interopCreatePool(int32_t(sizeof(InteropQueuedArgument)));
  gInterop = state;
  return 1;
}

int InteropCallback_Shutdown(void) {
  InteropState *state = gInterop;
  if (state == nullptr) return 1;
  while (state->centerHead != nullptr) interopFreeCenter(state, state->centerHead);
  while (InteropCallback *entry = state->callbackHead) {
    if (entry->useCount > 0)
      Log_Print(LOG_DEBUG, KSRC, 0, "Interop - Callback not removed - Id %s\n", entry->name);
    state->callbackHead = entry->next;
    entry->tag = 0;
    void *member = entry;
    POOL_FREE(state->callbackPool, &member, int32_t(sizeof(InteropCallback)));
  }
  while (InteropQueuedArgument *queued = state->queueHead) {
    state->queueHead = queued->next;
    Class_Release(&queued->object);
    void *member = queued;
    POOL_FREE(state->queuePool, &member, int32_t(sizeof(InteropQueuedArgument)));
  }
  Pool_Release(&state->callbackPool);
  Pool_Release(&state->queuePool);
  gInterop = nullptr;
  MEM_FREE(state, sizeof(InteropState));
  return 1;
}

int Interop_AddCallback(const char *name, void *context, InteropCallbackFunction function,
                        InteropCallback **entry) {
  InteropState *state = interopState(KSRC);
  CHECK_POINTER(entry);
  auto *added = static_cast<InteropCallback *>(
      POOL_ALLOC(state->callbackPool, int32_t(sizeof(InteropCallback))));
  added->tag = kInteropCallbackTag;
  if (name == nullptr || name[0] == 0)
    Str_CreateGuid(added->name, kInteropCallbackNameBytes);
  else
    Str_Copy(added->name, name, kInteropCallbackNameBytes);
  added->context = context;
  added->function = function;
  added->useCount = 1;
  added->prev = state->callbackTail;
  if (state->callbackTail != nullptr)
    state->callbackTail->next = added;
  else
    state->callbackHead = added;
  state->callbackTail = added;
  *entry = added;
  return 1;
}

int Interop_FindCallback(const char *name, InteropCallback **entry) {
  InteropState *state = interopState(KSRC);
  CHECK_POINTER(entry);
  CHECK_POINTER(name);
  *entry = nullptr;
  for (InteropCallback *e = state->callbackHead; e != nullptr; e = e->next) {
    if (Str_CompareNoCase(e->name, name) != 0) continue;
    *entry = e;
    return 1;
  }
  return 0;
}

void Interop_InvokeCallback(InteropCallback *entry, void *argument) {
  interopCheckEntry(entry, KSRC);
  if (entry->function != nullptr) entry->function(entry->context, argument);
}

int Interop_ReleaseCallback(InteropCallback **entry) {
  CHECK_POINTER(entry);
  interopCheckEntry(*entry, KSRC);
  InteropCallback *e = *entry;
  *entry = nullptr;
  if (e->useCount <= 0) {
    Log_Print(LOG_WARNING, KSRC, 0, "Interop - Callback released too often - Id %s\n", e->name);
    return 1;
  }
  e->useCount--;
  return 1;
}

const char *Interop_GetCallbackName(InteropCallback *entry) {
  interopCheckEntry(entry, KSRC);
  return entry->name;
}

void Interop_QueueCallbackArgument(void *context, void *object) {
  (void)context;
  Thread_AssertMain(KSRC);
  InteropState *state = interopState(KSRC);
  CHECK_POINTER(object);
  auto *queued = static_cast<InteropQueuedArgument *>(
      POOL_ALLOC(state->queuePool, int32_t(sizeof(InteropQueuedArgument))));
  queued->tag = kInteropQueuedArgumentTag;
  queued->object = Class_Retain(object);
  if (state->queueTail != nullptr)
    state->queueTail->next = queued;
  else
    state->queueHead = queued;
  state->queueTail = queued;
}

int Interop_TakeCallbackArgument(void **object) {
  Thread_AssertMain(KSRC);
  InteropState *state = interopState(KSRC);
  CHECK_POINTER(object);
  *object = nullptr;
  InteropQueuedArgument *queued = state->queueHead;
  if (queued == nullptr) return 0;
  state->queueHead = queued->next;
  if (state->queueHead == nullptr) state->queueTail = nullptr;
  *object = queued->object;
  void *member = queued;
  POOL_FREE(state->queuePool, &member, int32_t(sizeof(InteropQueuedArgument)));
  return 1;
}

int InteropNotificationCenter_Get(InteropNotificationCenter **object, void *requestContext,
                                  InteropDeliveryFunction delivery) {
  Thread_AssertMain(KSRC);
  InteropState *state = interopState(KSRC);
  CHECK_POINTER(object);
  for (InteropNotificationCenter *o = state->centerHead; o != nullptr; o = o->next) {
    if (o->requestContext != requestContext || o->delivery != delivery) continue;
    // A page's second instance shares the object; it lives until both let go.
    o->users++;
    *object = o;
    return 1;
  }
  auto *created = static_cast<InteropNotificationCenter *>(
      MEM_ALLOC(sizeof(InteropNotificationCenter), 2));
  created->header.classTag = kInteropNotificationCenterTag;
  created->header.refCount.store(1);
  Class_GenerateInstanceId(created);
  created->requestContext = requestContext;
  created->delivery = delivery;
  created->users = 1;
  created->prev = state->centerTail;
  if (state->centerTail != nullptr)
    state->centerTail->next = created;
  else
    state->centerHead = created;
  state->centerTail = created;
  state->centerCount++;
  *object = created;
  return 1;
}

int InteropNotificationCenter_Release(InteropNotificationCenter **object) {
  Thread_AssertMain(KSRC);
  InteropState *state = interopState(KSRC);
  CHECK_POINTER(object);
  InteropNotificationCenter *o = *object;
  CLASS_CHECK(o, kInteropNotificationCenterTag);
  *object = nullptr;
  if (--o->users == 0) interopFreeCenter(state, o);
  return 1;
}

int32_t InteropNotificationCenter_GetCount(void) {
  Thread_AssertMain(KSRC);
  return gInterop == nullptr ? 0 : gInterop->centerCount;
}

int PipeInterop_FireRead(const char *instanceId, const void *data, int32_t size) {
  CHECK_POINTER(instanceId);
  if (size > 0) CHECK_POINTER(data);
  int64_t textBytes = 0;
  if (!Base64_EncodedSize(size, &textBytes)) return 0;
  auto *text = static_cast<char *>(MEM_ALLOC(textBytes, 0));
  int64_t written = 0;
  int result = 0;
  if (Base64_Encode(size > 0 ? data : "", size, text, textBytes, &written))
    result = NotificationCenter_FireWithJSON("Pipe", "Read", instanceId, "{\"buffer\":\"%s\"}",
                                             text);
  MEM_FREE(text, textBytes);
  return result;
}
