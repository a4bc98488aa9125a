// Interop modules: see interoplibrary.h.
#include "core/bridge/interoplibrary.h"

#include "core/bridge/interop_internal.h"
#include "core/formats/dictionary.h"
#include "core/net/webget.h"
#include "core/platform/notification.h"
#include "core/platform/registry.h"
#include "core/platform/thread.h"
#include "core/runtime/class.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/str.h"
#include "core/security/auth.h"
#include "core/security/certstorei.h"

// A host function's address as a module receives it. The lambda keeps the
// table a constant expression, which a cast of the address itself would not.
#define INTEROP_HOST(name, function) \
  { name, [] { return reinterpret_cast<void *>(&function); } }

constexpr InteropHostFunction kInteropHostFunctions[kInteropHostFunctionCount] = {
    INTEROP_HOST("Debug_Print", Debug_Print),
    INTEROP_HOST("Debug_Flags", Debug_Flags),
    INTEROP_HOST("Class_ConvertFromInstanceId", Class_ConvertFromInstanceId),
    INTEROP_HOST("Class_ConvertToInstanceId", Class_ConvertToInstanceId),
    INTEROP_HOST("Class_TrackInstance", Class_TrackInstance),
    INTEROP_HOST("Class_UntrackInstance", Class_UntrackInstance),
    INTEROP_HOST("Authenticate_Enabled", Authenticate_Enabled),
    INTEROP_HOST("Registry_Authorize", Registry_Authorize),
    INTEROP_HOST("WebGet_Authorize", WebGet_Authorize),
    INTEROP_HOST("Dictionary_Create", Dictionary_Create),
    // A plug-in deletes and releases a host Dictionary alike: one reference.
    INTEROP_HOST("Dictionary_Delete", Class_Release),
    INTEROP_HOST("Dictionary_Release", Class_Release),
    INTEROP_HOST("NotificationCenter_AddInstanceObserver", NotificationCenter_AddInstanceObserver),
    INTEROP_HOST("NotificationCenter_RemoveInstanceObserver",
                 NotificationCenter_RemoveInstanceObserver),
    INTEROP_HOST("NotificationCenter_AssertInstance", NotificationCenter_AssertInstance),
    INTEROP_HOST("NotificationCenter_Fire", NotificationCenter_Fire),
    INTEROP_HOST("NotificationCenter_FireAfterDelay", NotificationCenter_FireAfterDelay),
    INTEROP_HOST("NotificationCenter_FireWithJSON", NotificationCenter_FireWithJSON),
    INTEROP_HOST("NotificationCenter_FireWithJSONV", NotificationCenter_FireWithJSONV),
    INTEROP_HOST("NotificationCenter_FireAfterDelayWithJSON",
                 NotificationCenter_FireAfterDelayWithJSON),
    INTEROP_HOST("NotificationCenter_FireAfterDelayWithJSONV",
                 NotificationCenter_FireAfterDelayWithJSONV),
    INTEROP_HOST("Interop_GenerateInstanceId", Interop_GenerateInstanceId),
};

#undef INTEROP_HOST

namespace {

// The store that a plug-in library must be trusted by.
constexpr char kInteropLibraryStore[] = "app";

std::atomic<int32_t> gUnloadJoinMs{kInteropUnloadJoinMs};
// Records whose unload thread outlived the shutdown join, linked by next:
// the thread may still read its record, and the process is ending.
InteropLibrary *gAbandoned = nullptr;

// 1 when every entry point is there; each missing one logs its line, in the
// order a plug-in's exports are looked up.
int interopHasEntryPoints(InteropLoadFunction load, InteropUnloadFunction unload,
                          InteropCreateInstanceFunction createInstance,
                          InteropSetOverrideFunction setOverride,
                          InteropSetOptionFunction setOption) {
  const struct {
    bool present;
    const char *name;
  } entries[] = {{createInstance != nullptr, "Interop_CreateInstance"},
                 {setOverride != nullptr, "Interop_SetOverride"},
                 {setOption != nullptr, "Interop_SetOption"},
                 {load != nullptr, "Interop_Load"},
                 {unload != nullptr, "Interop_Unload"}};
  int all = 1;
  for (const auto &entry : entries) {
    if (entry.present) continue;
    Log_Print(LOG_ERROR, KSRC, 0, "Failed to load interop: %s not found.\n", entry.name);
    all = 0;
  }
  return all;
}

// Hands every leaf below container to the module's SetOption: its path as
// seen from root, its text ("null", "true"/"false", "" for an empty String).
// Containers are walked, not handed over; a leaf whose path does not fit, or
// a non-String leaf without text, is skipped.
void interopSendOptions(InteropLibrary *library, Dictionary *root, Dictionary *container) {
  DictionaryItem *item = nullptr;
  for (Dictionary_GetFirstItem(container, &item); item != nullptr;
       Dictionary_GetNextItem(container, item, &item)) {
    Dictionary *child = nullptr;
    if (Dictionary_GetItemContainer(container, item, &child)) {
      interopSendOptions(library, root, child);
      continue;
    }
    char path[kDictionaryPathBytes];
    const char *text = nullptr;
    int32_t length = 0;
    if (!Dictionary_GetItemPath(container, item, root, path, int32_t(sizeof path))) continue;
    if (!Dictionary_GetItemText(container, item, &text, &length)) continue;
    // Null and Boolean leaves always have text; a number may have none.
    if (length == 0 && !Dictionary_IsItemType(container, item, kDictionaryTypeString)) continue;
    library->setOption(path, text);
  }
}

}  // namespace

InteropLibrary *Interop_AddLibrary(const char *name, PlatformModule *module,
                                   InteropLoadFunction load, InteropUnloadFunction unload,
                                   InteropCreateInstanceFunction createInstance,
                                   InteropSetOverrideFunction setOverride,
                                   InteropSetOptionFunction setOption) {
  InteropState *state = Interop_GetState(KSRC);
  CHECK_POINTER(name);
  if (!interopHasEntryPoints(load, unload, createInstance, setOverride, setOption)) return nullptr;
  auto *library = static_cast<InteropLibrary *>(MEM_ALLOC(sizeof(InteropLibrary), MEM_ZEROED));
  library->tag = kInteropLibraryTag;
  Str_Copy(library->name, name, kInteropLibraryNameBytes);
  library->module = module;
  library->file = kLibraryFileNone;
  library->refCount.store(1);
  library->load = load;
  library->unload = unload;
  library->createInstance = createInstance;
  library->setOverride = setOverride;
  library->setOption = setOption;
  for (const InteropHostFunction &host : kInteropHostFunctions)
    setOverride(host.name, host.address());
  load();
  // The options are read under the lock (another thread may replace them)
  // and handed over outside it.
  Dictionary *options = nullptr;
  {
    InteropLock lock(state);
    options = static_cast<Dictionary *>(Class_Retain(state->options));
  }
  if (options != nullptr) {
    Dictionary *top = nullptr;
    Dictionary_Unwrap(options, &top);
    interopSendOptions(library, top, top);
    Dictionary_Release(&options);
  }
  InteropLock lock(state);
  library->prev = state->libraryTail;
  if (state->libraryTail != nullptr)
    state->libraryTail->next = library;
  else
    state->libraryHead = library;
  state->libraryTail = library;
  state->libraryCount++;
  return library;
}

int Interop_BroadcastOption(const char *name, const char *value) {
  InteropState *state = Interop_GetState(KSRC);
  CHECK_POINTER(name);
  CHECK_POINTER(value);
  InteropLock lock(state);
  for (InteropLibrary *library = state->libraryHead; library != nullptr; library = library->next)
    library->setOption(name, value);
  return 1;
}

int Interop_SetOptions(Dictionary *options) {
  InteropState *state = Interop_GetState(KSRC);
  if (options != nullptr) CLASS_CHECK(options, kDictionaryTag);
  Dictionary *previous = nullptr;
  {
    InteropLock lock(state);
    previous = state->options;
    state->options = static_cast<Dictionary *>(Class_Retain(options));
  }
  if (previous != nullptr) Dictionary_Release(&previous);
  return 1;
}

namespace {

// Frees what a record still holds and the record. The record is unlinked.
void interopFreeLibrary(InteropLibrary **library) {
  InteropLibrary *record = *library;
  *library = nullptr;
  Platform_FreeLibrary(&record->module);
  LibraryFile_Close(&record->file);
  record->tag = 0;
  MEM_FREE(record, sizeof(InteropLibrary));
}

// Takes the record out of the list. Lock held.
void interopUnlink(InteropState *state, InteropLibrary *library) {
  if (library->prev != nullptr)
    library->prev->next = library->next;
  else
    state->libraryHead = library->next;
  if (library->next != nullptr)
    library->next->prev = library->prev;
  else
    state->libraryTail = library->prev;
  library->next = library->prev = nullptr;
  state->libraryCount--;
}

// The listed record of the same file, or NULL. Lock held.
InteropLibrary *interopFindLoaded(InteropState *state, const LibraryFile *file) {
  for (InteropLibrary *library = state->libraryHead; library != nullptr; library = library->next)
    if (LibraryFile_IsSame(&library->file, file)) return library;
  return nullptr;
}

// 1 when the file at loadPath may be mapped: trusted by the store, or
// security is off.
int interopAuthenticate(const char *loadPath) {
  CertStore *store = Auth_GetCertStore(kInteropLibraryStore);
  int trusted = Auth_AuthenticateFile(store, loadPath);
  CertStore_Release(&store);
  return trusted;
}

template <typename F>
F interopExport(PlatformModule *module, const char *name) {
  return reinterpret_cast<F>(Platform_GetLibraryFunction(module, name));
}

// Registers a loaded module under path; NULL when an export is missing.
InteropLibrary *interopRegister(const char *path, PlatformModule *module) {
  return Interop_AddLibrary(
      path, module, interopExport<InteropLoadFunction>(module, "Interop_Load"),
      interopExport<InteropUnloadFunction>(module, "Interop_Unload"),
      interopExport<InteropCreateInstanceFunction>(module, "Interop_CreateInstance"),
      interopExport<InteropSetOverrideFunction>(module, "Interop_SetOverride"),
      interopExport<InteropSetOptionFunction>(module, "Interop_SetOption"));
}

// Starts the record's unload thread; on failure the request stays for the
// next pass. Lock held, so creation sees the thread before it could ask.
void interopStartUnload(InteropLibrary *library) {
  library->unloadState.store(InteropUnloadState::kRunning);
  if (Thread_Start(&library->unloadThread, library, Interop_UnloadThread)) return;
  Log_Print(LOG_WARNING, KSRC, 0, "Unable to start interop unload thread (%s)\n", library->name);
  library->refCount.fetch_add(1);
  library->unloadRequests.fetch_add(1);
}

// Waits, outside the lock, until no creation is inside the record's create.
void interopWaitForCreations(InteropLock *lock, InteropLibrary *library) {
  while (library->creating > 0) {
    lock->Leave();
    Platform_SleepMs(1);
    lock->Enter();
  }
}

// Shutdown's end of an unload thread. 1 when the record may be freed; 0 when
// the thread was abandoned with it.
int interopJoinAtShutdown(InteropLibrary *library) {
  if (Thread_Join(gUnloadJoinMs.load(), &library->unloadThread)) return 1;
  Log_Print(LOG_ERROR, KSRC, 0, "Timeout waiting on interop shutdown thread\n");
  auto running = InteropUnloadState::kRunning;
  if (library->unloadState.compare_exchange_strong(running, InteropUnloadState::kAbandoned)) {
    // Its Unload is still running in the library's code: nothing of it may
    // go. The thread's record is let go and ends with the thread.
    Thread_Release(&library->unloadThread);
    library->next = gAbandoned;
    gAbandoned = library;
    return 0;
  }
  // Unload returned just now: the thread only frees the module and ends.
  Thread_Join(-1, &library->unloadThread);
  return 1;
}

}  // namespace

InteropLibrary *Interop_LoadLibrary(const char *path) {
  InteropState *state = Interop_GetState(KSRC);
  CHECK_POINTER(path);
  Thread_AssertMain(KSRC);
  LibraryFile file = kLibraryFileNone;
  PlatformModule *module = nullptr;
  InteropLibrary *library = nullptr;
  if (LibraryFile_Open(path, &file) && interopAuthenticate(file.loadPath)) {
    // A registered file is found by its identity before the loader sees it:
    // the loader would hand back the same module, but would also keep this
    // descriptor's name for it, which a later file may be opened under. The
    // record holds one loader reference whatever its count says, and one
    // whose unload has begun gains nothing.
    InteropLibrary *loaded = nullptr;
    {
      InteropLock lock(state);
      loaded = interopFindLoaded(state, &file);
      if (loaded != nullptr && loaded->unloadThread == nullptr) {
        loaded->refCount.fetch_add(1);
        library = loaded;
      }
    }
    if (loaded != nullptr) {
      LibraryFile_Close(&file);
      if (library != nullptr) return library;
    } else {
      module = Platform_LoadLibrary(file.loadPath, 1);
      if (module != nullptr && LibraryFile_IsLoadedFrom(&file, module) &&
          (library = interopRegister(path, module)) != nullptr) {
        InteropLock lock(state);
        library->file = file;
        return library;
      }
    }
  }
  Log_Print(LOG_ERROR, KSRC, 0, "Failed to load interop (%s)\n", path);
  Platform_FreeLibrary(&module);
  LibraryFile_Close(&file);
  return nullptr;
}

int Interop_UnloadLibrary(const char *path) {
  InteropState *state = Interop_GetState(KSRC);
  CHECK_POINTER(path);
  {
    InteropLock lock(state);
    for (InteropLibrary *library = state->libraryHead; library != nullptr;
         library = library->next) {
      if (library->unloadThread != nullptr || Str_CompareNoCase(library->name, path) != 0)
        continue;
      library->unloadRequests.fetch_add(1);
      return 1;
    }
  }
  if (state->debug) Log_Print(LOG_DEBUG, KSRC, 0, "Unable to find library for removal (%s)\n", path);
  return 0;
}

int Interop_ProcessLibraries(void) {
  Thread_AssertMain(KSRC);
  InteropState *state = Interop_GetState(KSRC);
  InteropLock lock(state);
  InteropLibrary *next = nullptr;
  for (InteropLibrary *library = state->libraryHead; library != nullptr; library = next) {
    next = library->next;
    if (library->unloadThread != nullptr) {
      // Creation skips a record whose unload has begun, so none is inside
      // its create; the thread has freed the module once it has ended.
      if (!Thread_Join(0, &library->unloadThread)) continue;
      interopUnlink(state, library);
      interopFreeLibrary(&library);
    } else if (library->unloadRequests.load() > 0 && library->creating == 0 &&
               Interop_CountLibraryInstances(library) == 0) {
      library->unloadRequests.fetch_sub(1);
      if (library->refCount.fetch_sub(1) == 1) interopStartUnload(library);
    }
  }
  return 1;
}

int Interop_UnloadThread(void *library) {
  auto *record = static_cast<InteropLibrary *>(library);
  record->unload();
  auto running = InteropUnloadState::kRunning;
  if (!record->unloadState.compare_exchange_strong(running, InteropUnloadState::kReturned))
    return 0;  // abandoned at shutdown: the lock and the record's state may be gone
  PlatformModule *module = nullptr;
  {
    InteropLock lock(Interop_GetState(KSRC));
    module = record->module;
    record->module = nullptr;
  }
  Platform_FreeLibrary(&module);
  return 1;
}

int Interop_ShutdownLibraries(void) {
  Thread_AssertMain(KSRC);
  InteropState *state = Interop_GetState(KSRC);
  for (;;) {
    InteropLibrary *library = nullptr;
    {
      InteropLock lock(state);
      library = state->libraryHead;
      if (library == nullptr) return 1;
      interopWaitForCreations(&lock, library);
      interopUnlink(state, library);
    }
    if (library->unloadThread == nullptr)
      library->unload();
    else if (!interopJoinAtShutdown(library))
      continue;
    interopFreeLibrary(&library);
  }
}

void Interop_SetUnloadJoinMsForTest(int32_t milliseconds) { gUnloadJoinMs.store(milliseconds); }
