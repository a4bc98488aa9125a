// Interop instances and method calls: see interop.h.
#include "core/bridge/interop.h"

#include <zlib.h>

#include <atomic>
#include <cstring>

#include "core/bridge/interop_internal.h"
#include "core/bridge/interoplibrary.h"
#include "core/formats/dictionary.h"
#include "core/formats/json.h"
#include "core/platform/eventqueue.h"
#include "core/platform/platform.h"
#include "core/platform/thread.h"
#include "core/runtime/cmdline.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/memstream.h"
#include "core/runtime/str.h"

namespace {

// The verbosity for "Interop" at which the detailed lines are written.
constexpr int kInteropDebugVerbosity = 6;

InteropState *gInterop = nullptr;

// Counts every instance taken out of a table, across states (a state made
// after another may lie at the same address): a thread's last look-up stays
// good while the count is unchanged. Changed and read under the interop
// lock, or while no other thread can call.
std::atomic<uint64_t> gInteropRemovals{0};

// The instance this thread last found by id, reused while no instance has
// been removed since: a page calls one instance many times in a row, and
// hashing its 36-byte id cost more than the rest of the look-up.
struct InteropLastFound {
  uint64_t removals = 0;
  InteropInstance *instance = nullptr;
  char id[kInteropInstanceIdBytes + 1] = {};
};
thread_local InteropLastFound tLastFound;

void interopCheckInstance(const InteropInstance *instance, const char *sourcePath, int line) {
  Core_CheckPointer(instance, sourcePath, line);
  if (instance->tag != kInteropInstanceTag)
    Core_Abort(sourcePath, line, "Class mismatch pointer (0x%p: expected 0x%08x but was 0x%08x)\n",
               instance, kInteropInstanceTag, instance->tag);
}

const char *interopId(const InteropInstance *instance) {
  return static_cast<const char *>(HashTable_EntryKey(instance->entry));
}

// The instance under id, or NULL. Lock held.
InteropInstance *interopLookUp(InteropState *state, const char *id) {
  void *value = nullptr;
  HashTable_Get(state->instances, id, &value);
  return static_cast<InteropInstance *>(value);
}

// The same, through this thread's last find. Lock held.
InteropInstance *interopLookUpLast(InteropState *state, const char *id) {
  InteropLastFound &last = tLastFound;
  uint64_t removals = gInteropRemovals.load(std::memory_order_relaxed);
  if (last.instance != nullptr && last.removals == removals && strcmp(last.id, id) == 0)
    return last.instance;
  InteropInstance *instance = interopLookUp(state, id);
  size_t length = strnlen(id, sizeof last.id);
  if (instance != nullptr && length < sizeof last.id) {
    memcpy(last.id, id, length + 1);
    last.instance = instance;
    last.removals = removals;
  }
  return instance;
}

// 1 when the instance was created under className; logs the refusal
// otherwise (an id must not reach an object of another class).
int interopSameClass(const InteropInstance *instance, const char *className) {
  if (strncmp(instance->className, className, kInteropClassNameBytes - 1) == 0) return 1;
  Log_Print(LOG_WARNING, KSRC, 0, "Instance class doesn't match (%s is %s, not %s)\n",
            interopId(instance), instance->className, className);
  return 0;
}

// What a module's create handed back.
struct InteropCreated {
  InteropLibrary *library;
  InteropInvokeFunction invoke;
  InteropReleaseFunction release;
  InteropProcessFunction process;
  void *object;
};

// Drops the reference that a module's create handed over with object.
void interopDropCreated(InteropCreated *created) {
  if (created->object != nullptr && created->release != nullptr) created->release(&created->object);
  created->object = nullptr;
}

// Asks the modules in order until one serves className; the lock is left
// around each call, and the module's creating count keeps its record listed
// meanwhile. 1 with *created filled: the serving module's count stays raised
// until interopCreated gives it back, so that the library pass cannot unload
// it before the new instance is in the table.
int interopAskModules(InteropState *state, const char *className, char *id, int32_t idSize,
                      void *userContext, InteropCreated *created) {
  InteropLock lock(state);
  for (InteropLibrary *library = state->libraryHead; library != nullptr; library = library->next) {
    if (library->unloadThread != nullptr) {
      Log_Print(LOG_DEBUG, KSRC, 0, "Trying to create an instance while shutting down (%s:%s)\n",
                className, id);
      continue;
    }
    *created = InteropCreated{library, nullptr, nullptr, nullptr, nullptr};
    library->creating++;
    lock.Leave();
    int answer = library->createInstance(className, id, idSize, userContext, state->delivery,
                                         &created->invoke, &created->release, &created->process,
                                         &created->object);
    lock.Enter();
    id[idSize - 1] = '\0';  // a module's id never runs past the buffer
    if (answer == 1) return 1;
    library->creating--;
  }
  return 0;
}

// Gives back the creating count that interopAskModules left raised. Lock held.
void interopCreated(InteropCreated *created) { created->library->creating--; }

// Logs each way in which a module's answer differs from the live instance
// that its id names. Lock held.
void interopCompareCreated(const InteropInstance *live, const InteropCreated *created,
                           void *requestContext) {
  const char *id = interopId(live);
  if (live->library != created->library)
    Log_Print(LOG_DEBUG, KSRC, 0, "Library member doesn't match last instance (%s)\n", id);
  if (live->object != created->object)
    Log_Print(LOG_DEBUG, KSRC, 0, "User context pointer doesn't match last instance (%s)\n", id);
  if (live->requestContext != requestContext)
    Log_Print(LOG_DEBUG, KSRC, 0, "Request context pointer doesn't match last instance (%s)\n",
              id);
  if (live->invoke != created->invoke)
    Log_Print(LOG_DEBUG, KSRC, 0, "Invoke pointer doesn't match last instance (%s)\n", id);
  if (live->release != created->release)
    Log_Print(LOG_DEBUG, KSRC, 0, "Release pointer doesn't match last instance (%s)\n", id);
  if (live->process != created->process)
    Log_Print(LOG_DEBUG, KSRC, 0, "Process pointer doesn't match last instance (%s)\n", id);
}

// Adds one page reference to the live instance under id. Lock held.
void interopAddPageReference(InteropInstance *instance) {
  instance->pageReferences++;
  instance->refCount.fetch_add(1);
}

// Enters a new instance under id. 0 when the table refuses the id. Lock held.
int interopEnter(InteropState *state, const char *className, const char *id,
                 void *requestContext, const InteropCreated *created) {
  auto *instance = static_cast<InteropInstance *>(
      POOL_ALLOC(state->instancePool, int32_t(sizeof(InteropInstance))));
  instance->tag = kInteropInstanceTag;
  instance->refCount.store(1);
  instance->pageReferences = 1;
  instance->lastActivity = Platform_GetTickSeconds();
  instance->object = created->object;
  instance->requestContext = requestContext;
  instance->release = created->release;
  instance->invoke = created->invoke;
  instance->process = created->process;
  instance->library = created->library;
  Str_Copy(instance->className, className, kInteropClassNameBytes);
  if (HashTable_Set(state->instances, id, instance, &instance->entry)) return 1;
  instance->tag = 0;
  void *member = instance;
  POOL_FREE(state->instancePool, &member, int32_t(sizeof(InteropInstance)));
  return 0;
}

// Takes the instance out of the table (lock held, which the caller keeps),
// then runs its release function outside the lock and frees the record.
void interopRemove(InteropState *state, InteropLock *lock, InteropInstance *instance) {
  if (state->passPosition == instance->entry) state->passPosition = nullptr;
  HashTable_RemoveEntry(state->instances, &instance->entry);
  gInteropRemovals.fetch_add(1, std::memory_order_relaxed);
  lock->Leave();
  if (instance->release != nullptr) instance->release(&instance->object);
  lock->Enter();
  instance->tag = 0;
  void *member = instance;
  POOL_FREE(state->instancePool, &member, int32_t(sizeof(InteropInstance)));
}

// Counts the instances for which match() holds, with the debug line for
// those idle a long time.
template <typename Match>
int32_t interopCount(Match match) {
  Thread_AssertMain(KSRC);
  InteropState *state = Interop_GetState(KSRC);
  InteropLock lock(state);
  double now = Platform_GetTickSeconds();
  int32_t count = 0;
  HashTableEntry *entry = nullptr;
  for (HashTable_First(state->instances, &entry); entry != nullptr;
       HashTable_Next(state->instances, entry, &entry)) {
    auto *instance = static_cast<InteropInstance *>(entry->value);
    if (!match(instance)) continue;
    count++;
    if (state->debug && now - instance->lastActivity >= kInteropActiveLogSeconds) {
      Log_Print(LOG_DEBUG, KSRC, 0, "Interop instance (%s) active\n", interopId(instance));
      instance->lastActivity = now;
    }
  }
  return count;
}


// The reader and the two trees of a thread's calls, kept between calls:
// making them for each call cost more than the JSON work itself. A call
// made from inside a call on the same thread makes its own.
struct InteropInvokeObjects {
  Json *json = nullptr;
  Dictionary *request = nullptr;
  Dictionary *result = nullptr;
  bool busy = false;
  void Release() {
    if (json != nullptr) Json_Release(&json);
    if (request != nullptr) Dictionary_Release(&request);
    if (result != nullptr) Dictionary_Release(&result);
  }
  ~InteropInvokeObjects() { Release(); }
};
thread_local InteropInvokeObjects tInvokeObjects;
constexpr int32_t kInteropKeptBindingBytes = 4096;

}  // namespace

InteropState *Interop_GetState(const char *sourcePath, int line) {
  Core_CheckPointer(gInterop, sourcePath, line);
  return gInterop;
}

int Interop_Init(void) {
  if (gInterop != nullptr) return 1;
  auto *state = static_cast<InteropState *>(MEM_ALLOC(sizeof(InteropState), MEM_ZEROED));
  CriticalSection_Create(&state->lock);
  HashTable_Create(&state->instances);
  Pool_Create(&state->instancePool, KSRC);
  Pool_SetMemberSize(state->instancePool, int32_t(sizeof(InteropInstance)));
  Pool_SetMemberChunkSize(state->instancePool, kInteropPoolGrowth);
  int level = 0;
  state->debug = (Log_GetVerboseLevel("Interop", &level) && level >= kInteropDebugVerbosity) ||
                 CmdLine_HasOption(nullptr, "debuginterop");
  gInterop = state;
  return InteropCallback_Init(Interop_OnWake, state);
}

int Interop_Shutdown(void) {
  InteropState *state = gInterop;
  if (state == nullptr) return 1;
  Thread_AssertMain(KSRC);
  // Release functions may belong to a plug-in: they run before any module
  // is unloaded, and nothing a page made is left behind.
  Interop_RemoveAllInstances();
  // The main thread's kept objects would otherwise outlive the leak report,
  // which runs before thread-local destructors at exit.
  if (!tInvokeObjects.busy) tInvokeObjects.Release();
  if (EventQueue *main = EventQueue_GetMain()) EventQueue_Cancel(main, uintptr_t(state));
  Interop_ShutdownLibraries();
  InteropCallback_Shutdown();
  Interop_SetOptions(nullptr);
  HashTable_Release(&state->instances);
  Pool_Release(&state->instancePool);
  CriticalSection_Delete(&state->lock);
  gInterop = nullptr;
  MEM_FREE(state, sizeof(InteropState));
  return 1;
}

void Interop_OnWake(void *state) {
  Thread_AssertMain(KSRC);
  (void)state;
  Interop_Pump();
}

int Interop_Pump(void) {
  Thread_AssertMain(KSRC);
  InteropState *state = Interop_GetState(KSRC);
  if (state->pumping) {
    // The running pump's delivery text is in use; the next pump goes on.
    Interop_Wake();
    return 1;
  }
  state->pumping = 1;
  Interop_ProcessInstances();
  Interop_ProcessLibraries();
  Interop_DeliverCallbacks();
  state->pumping = 0;
  return 1;
}

void Interop_SetDeliveryFunction(InteropDeliveryFunction delivery) {
  Interop_GetState(KSRC)->delivery = delivery;
}

int Interop_CreateInstance(const char *className, char *id, int32_t idSize, void *requestContext,
                           void *userContext) {
  InteropState *state = Interop_GetState(KSRC);
  CHECK_POINTER(className);
  CHECK_POINTER(id);
  if (idSize < kInteropInstanceIdBytes)
    Core_Abort(KSRC, "Assertion failed (IdSize >= %d)\nInstance id buffer too small\n",
               kInteropInstanceIdBytes);
  if (Str_CompareNoCase(id, "undefined") == 0) id[0] = '\0';
  if (id[0] != '\0') {
    // A known id is how a page takes a further reference.
    InteropLock lock(state);
    if (InteropInstance *live = interopLookUp(state, id)) {
      if (!interopSameClass(live, className)) return 0;
      interopAddPageReference(live);
      return 1;
    }
  }
  InteropCreated created{};
  if (!interopAskModules(state, className, id, idSize, userContext, &created)) {
    Log_Print(LOG_DEBUG, KSRC, 0, "Unhandled create instance (%s:%s)\n", className, id);
    return 0;
  }
  if (id[0] == '\0') Interop_GenerateInstanceId(id, idSize);
  int result = 1;
  {
    InteropLock lock(state);
    if (InteropInstance *live = interopLookUp(state, id)) {
      // The module resolved to an object that already has its instance: the
      // instance keeps what it has, and the reference the module handed over
      // with its answer goes back.
      result = interopSameClass(live, className);
      if (result) {
        interopAddPageReference(live);
        interopCompareCreated(live, &created, requestContext);
      }
    } else if (interopEnter(state, className, id, requestContext, &created)) {
      created.object = nullptr;  // the instance owns it now
    } else {
      result = 0;
    }
    interopCreated(&created);
  }
  interopDropCreated(&created);
  if (result && gInterop->debug)
    Log_Print(LOG_DEBUG, KSRC, 0, "Interop create instance (%s:%s)\n", id, className);
  return result;
}

int Interop_FindInstance(const char *id, InteropInstance **instance) {
  InteropState *state = Interop_GetState(KSRC);
  CHECK_POINTER(id);
  CHECK_POINTER(instance);
  InteropLock lock(state);
  *instance = interopLookUpLast(state, id);
  if (*instance == nullptr) return 0;
  (*instance)->refCount.fetch_add(1);
  return 1;
}

int Interop_ReleaseInstanceRef(InteropInstance **instance) {
  CHECK_POINTER(instance);
  interopCheckInstance(*instance, KSRC);
  InteropInstance *found = *instance;
  *instance = nullptr;
  // The record stays until a pass sees the count at 0 under the lock, and
  // only the lock's holders raise it: no other step is needed here.
  found->refCount.fetch_sub(1);
  return 1;
}

int Interop_ReleaseInstance(const char *id) {
  InteropState *state = Interop_GetState(KSRC);
  CHECK_POINTER(id);
  {
    InteropLock lock(state);
    InteropInstance *instance = interopLookUp(state, id);
    if (instance != nullptr && instance->pageReferences > 0) {
      instance->pageReferences--;
      instance->refCount.fetch_sub(1);
      return 1;
    }
  }
  Log_Print(LOG_DEBUG, KSRC, 0, "Unable to release instance. (%s not found)\n", id);
  return 0;
}

int Interop_InvokeMethod(const char *id, Dictionary *request, Dictionary *result) {
  Interop_GetState(KSRC);
  CHECK_POINTER(id);
  Dictionary_Clear(result);
  char method[kInteropMethodNameBytes];
  Dictionary_GetStringByKey(request, "method", method, int32_t(sizeof method));
  InteropInstance *instance = nullptr;
  if (!Interop_FindInstance(id, &instance)) {
    Log_Print(LOG_DEBUG, KSRC, 0, "Unable to dispatch invoke. (%s not found) (%s)\n", id, method);
    return 0;
  }
  if (instance->invoke == nullptr) {
    Log_Print(LOG_DEBUG, KSRC, 0, "%s does not contain invoke callback. (%s)\n", id, method);
    Interop_ReleaseInstanceRef(&instance);
    return 0;
  }
  uLong hash = crc32(0, reinterpret_cast<const Bytef *>(method), uInt(strlen(method)));
  Dictionary_SetInt32ByKey(request, "#methodHash", int32_t(uint32_t(hash)));
  int answer = instance->invoke(instance->object, request, result);
  Interop_ReleaseInstanceRef(&instance);
  return answer != 0 ? 1 : 0;
}

int Interop_Invoke(const char *id, const char *binding, MemoryStream *output) {
  Interop_GetState(KSRC);
  CHECK_POINTER(id);
  CHECK_POINTER(binding);
  MemoryStream_Empty(output);
  InteropInvokeObjects fresh;
  InteropInvokeObjects *objects = tInvokeObjects.busy ? &fresh : &tInvokeObjects;
  if (objects->json == nullptr) {
    Json_Create(&objects->json);
    Dictionary_Create(&objects->request);
    Dictionary_Create(&objects->result);
    // Texts from the trees' own pools: emptying a tree returns them at once.
    Dictionary_SetStringPool(objects->request, 1);
    Dictionary_SetStringPool(objects->result, 1);
  }
  objects->busy = true;
  Dictionary *requestRoot = objects->request, *resultRoot = objects->result;
  Dictionary *request = nullptr, *result = nullptr;
  Json *json = objects->json;
  Json_SetDictionary(json, requestRoot);  // the parse empties the request
  int answer = 0;
  int32_t length = int32_t(strnlen(binding, size_t(INT32_MAX)));
  if (!Json_ParseMemory(json, binding, length) ||
      !Dictionary_GetDictionaryByIndex(requestRoot, 0, &request)) {
    Log_Print(LOG_DEBUG, KSRC, 0, "Invoker unable to parse method string as json (%s)\n", binding);
  } else {
    // The answer object is kept from call to call: the dispatch empties it
    // item by item, so its records and texts are reused where emptying the
    // root would give every block back and take new ones.
    if (!Dictionary_GetDictionaryByIndex(resultRoot, 0, &result))
      Dictionary_AddDictionary(resultRoot, nullptr, &result, nullptr);
    answer = Interop_InvokeMethod(id, request, result);
    int32_t filled = 0;
    Dictionary_GetCount(result, &filled);
    // A method that fails still answers the page (its "returnValue").
    if (answer || filled > 0) {
      Stream *stream = nullptr;
      MemoryStream_GetStream(output, &stream);
      Json_SetDictionary(json, resultRoot);
      int written = Json_WriteStream(json, stream);
      answer = answer && written;
    }
  }
  // Trees of a large call (binding or answer) are not kept until the next one.
  if (length > kInteropKeptBindingBytes) Dictionary_Clear(requestRoot);
  if (length > kInteropKeptBindingBytes ||
      MemoryStream_GetLength(output) > kInteropKeptBindingBytes)
    Dictionary_Clear(resultRoot);
  objects->busy = false;
  return answer;
}

int Interop_ProcessInstances(void) {
  Thread_AssertMain(KSRC);
  InteropState *state = Interop_GetState(KSRC);
  double start = Platform_GetTickSeconds();
  InteropLock lock(state);
  HashTableEntry *entry = state->passPosition;
  if (entry == nullptr) HashTable_First(state->instances, &entry);
  while (entry != nullptr) {
    // Only this thread removes entries, so the next one outlives the call.
    HashTableEntry *next = nullptr;
    HashTable_Next(state->instances, entry, &next);
    state->passPosition = next;
    auto *instance = static_cast<InteropInstance *>(entry->value);
    instance->refCount.fetch_add(1);
    if (instance->process != nullptr) {
      lock.Leave();
      instance->process(instance->object);
      lock.Enter();
    }
    // Finds raise the count only under the lock: at 0 here nobody holds it.
    if (instance->refCount.fetch_sub(1) == 1) {
      if (state->debug)
        Log_Print(LOG_DEBUG, KSRC, 0, "Interop remove instance (%s)\n", interopId(instance));
      interopRemove(state, &lock, instance);
    }
    entry = state->passPosition;
    if (Platform_GetTickSeconds() - start >= kInteropPassSeconds) break;
  }
  return 1;
}

int32_t Interop_CountLibraryInstances(InteropLibrary *library) {
  return interopCount([library](const InteropInstance *i) { return i->library == library; });
}

int32_t Interop_CountContextInstances(void *requestContext) {
  return interopCount(
      [requestContext](const InteropInstance *i) { return i->requestContext == requestContext; });
}

int Interop_RemoveAllInstances(void) {
  Thread_AssertMain(KSRC);
  InteropState *state = Interop_GetState(KSRC);
  InteropLock lock(state);
  state->passPosition = nullptr;
  HashTableEntry *entry = nullptr;
  while (HashTable_First(state->instances, &entry)) {
    auto *instance = static_cast<InteropInstance *>(entry->value);
    Log_Print(LOG_DEBUG, KSRC, 0, "%s forcibly removed\n", interopId(instance));
    interopRemove(state, &lock, instance);
  }
  return 1;
}

void Interop_ClearResolved(const char *className, const char *id, InteropInvokeFunction *invoke,
                           InteropReleaseFunction *release, InteropProcessFunction *process,
                           void **object) {
  CHECK_POINTER(className);
  CHECK_POINTER(id);
  CHECK_POINTER(invoke);
  CHECK_POINTER(release);
  CHECK_POINTER(process);
  CHECK_POINTER(object);
  *invoke = nullptr;
  *release = nullptr;
  *process = nullptr;
  *object = nullptr;
}

int Interop_GenerateInstanceId(char *buffer, int32_t size) {
  CHECK_POINTER(buffer);
  return Str_CreateGuid(buffer, size);
}
