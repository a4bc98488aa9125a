// Interop modules: see interoplibrary.h.
#include "core/bridge/interoplibrary.h"

#include "core/bridge/interop_internal.h"
#include "core/formats/dictionary.h"
#include "core/net/webget.h"
#include "core/platform/notification.h"
#include "core/platform/registry.h"
#include "core/runtime/class.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/str.h"
#include "core/security/auth.h"

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

int Interop_ShutdownLibraries(void) {
  InteropState *state = Interop_GetState(KSRC);
  for (;;) {
    InteropLibrary *library = nullptr;
    {
      InteropLock lock(state);
      library = state->libraryHead;
      if (library == nullptr) return 1;
      state->libraryHead = library->next;
      if (state->libraryHead != nullptr)
        state->libraryHead->prev = nullptr;
      else
        state->libraryTail = nullptr;
      state->libraryCount--;
    }
    library->unload();
    Platform_FreeLibrary(&library->module);
    library->tag = 0;
    MEM_FREE(library, sizeof(InteropLibrary));
  }
}
