/* InteropPlugin: the script bridge as a plug-in library sees it. A plug-in
 * is a shared object (x86_64 ELF) that exports five functions with C
 * linkage; the bridge loads it by absolute path, hands it the 22 host
 * functions through Interop_SetOverride (in the order of the typedefs
 * below), calls Interop_Load, hands it every option through
 * Interop_SetOption, then asks its Interop_CreateInstance for the classes
 * that pages create. Interop_Unload runs once before the library is freed,
 * on a thread of its own while the program runs and on the main thread at
 * shutdown. The host's Dictionaries are opaque: a plug-in reads only the
 * object header prefix of core/formats/dictionary_interface.h and calls
 * through the table it reaches from it.
 *
 * Invariants: (1) the exports and the typedefs never change once shipped;
 * (2) the host exports no symbols: a plug-in reaches the host only through
 * the functions handed to it, so it must not refer to host symbols by name
 * (the load fails); (3) the object header prefix has the LP64 offsets
 * asserted below.
 *
 * Threads: overrides, Load and options arrive on the thread that registers
 * (the main thread); create, invoke and release may come from any thread
 * that the host calls them on; Unload as said above.
 *
 * Compiles as C11 (also with -pedantic) and as C++. Host code defines
 * INTEROP_PLUGIN_TYPES_ONLY before including it: the host's own
 * Interop_CreateInstance has another signature. */
#ifndef KEELSON_CORE_BRIDGE_INTEROP_PLUGIN_H
#define KEELSON_CORE_BRIDGE_INTEROP_PLUGIN_H

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "core/formats/dictionary_interface.h"

#ifdef __cplusplus
#define INTEROP_PLUGIN_STATIC_ASSERT static_assert
extern "C" {
#else
#define INTEROP_PLUGIN_STATIC_ASSERT _Static_assert
#endif

/* The object header prefix of every host object, on LP64. */
INTEROP_PLUGIN_STATIC_ASSERT(offsetof(DictionaryObjectHeader, instanceId) == 0, "id at 0");
INTEROP_PLUGIN_STATIC_ASSERT(offsetof(DictionaryObjectHeader, classTag) == 36, "tag at 36");
INTEROP_PLUGIN_STATIC_ASSERT(offsetof(DictionaryObjectHeader, referenceCount) == 40,
                             "count at 40");
INTEROP_PLUGIN_STATIC_ASSERT(offsetof(DictionaryObjectHeader, destroy) == 48, "destroy at 48");
INTEROP_PLUGIN_STATIC_ASSERT(offsetof(DictionaryObjectHeader, table) == 56, "table at 56");
/* Host functions arrive as data pointers (Interop_SetOverride). */
INTEROP_PLUGIN_STATIC_ASSERT(sizeof(void *) == sizeof(void (*)(void)), "code pointers fit");

/* ---- An instance's functions, as Interop_CreateInstance hands them over ---- */

/* invoke(object, request, result): nonzero for success; the answer goes under
 * "returnValue" of result. */
typedef int (*InteropPluginInvokeFunction)(void *object, Dictionary *request, Dictionary *result);
/* release(&object): drops the object and clears the pointer. */
typedef int32_t (*InteropPluginReleaseFunction)(void **object);
/* process(object): the instance's own work, once per pump. */
typedef int (*InteropPluginProcessFunction)(void *object);
/* The host's delivery of notification batches to a page: (request context,
 * the page's notification object, JSON text, 0). */
typedef void (*InteropPluginDeliveryFunction)(void *requestContext, void *object,
                                              const char *text, int32_t flags);

/* ---- The five exports ---- */

/* (class name, id buffer (in: an id or empty; out: the object's own id, at
 * most 36 bytes, when it keeps one), its size, user context, delivery, then
 * the four out-words). 1 when the library serves the class name and has
 * filled the out-words (handing over one reference on the object); any other
 * answer leaves them zero. */
typedef int (*InteropPluginCreateInstanceFunction)(
    const char *className, char *id, int32_t idSize, void *userContext,
    InteropPluginDeliveryFunction delivery, InteropPluginInvokeFunction *invoke,
    InteropPluginReleaseFunction *release, InteropPluginProcessFunction *process, void **object);
/* (name, function): one host function; take it with INTEROP_PLUGIN_TAKE. */
typedef int (*InteropPluginSetOverrideFunction)(const char *name, void *function);
/* (name, value): one option; name is the item's path in the options
 * ("a.b[0]"), value its text ("null", "true", "false", "" or the text). */
typedef int (*InteropPluginSetOptionFunction)(const char *name, const char *value);
typedef int (*InteropPluginLoadFunction)(void);
typedef int (*InteropPluginUnloadFunction)(void);

/* ---- The 22 host functions, in the order SetOverride receives them ---- */

/* 1 "Debug_Print": writes text to the log when the core debug flags say so. */
typedef void (*InteropHostDebugPrint)(const char *text);
/* 2 "Debug_Flags". */
typedef uint32_t (*InteropHostDebugFlags)(void);
/* 3 "Class_ConvertFromInstanceId": the tracked object of an id, or NULL. */
typedef void *(*InteropHostClassConvertFromInstanceId)(const char *idText);
/* 4 "Class_ConvertToInstanceId": the id text of an object. */
typedef const char *(*InteropHostClassConvertToInstanceId)(void *object);
/* 5 "Class_TrackInstance": (object, object). */
typedef int (*InteropHostClassTrackInstance)(void *object, void *value);
/* 6 "Class_UntrackInstance". */
typedef int (*InteropHostClassUntrackInstance)(void *object);
/* 7 "Authenticate_Enabled": 1 while security checks are enforced. */
typedef int (*InteropHostAuthenticateEnabled)(void);
/* 8 "Registry_Authorize": (access 0 read / 1 write, registry class, path). */
typedef int (*InteropHostRegistryAuthorize)(int access, int registryClass, const char *path);
/* 9 "WebGet_Authorize": the host white-list check of a URL. */
typedef int (*InteropHostWebGetAuthorize)(const char *url);
/* 10 "Dictionary_Create". */
typedef int32_t (*InteropHostDictionaryCreate)(Dictionary **dictionary);
/* 11 "Dictionary_Delete" and 12 "Dictionary_Release": both drop one
 * reference and clear the pointer; pass (void **)&dictionary. */
typedef int32_t (*InteropHostDictionaryDelete)(void **dictionary);
typedef int32_t (*InteropHostDictionaryRelease)(void **dictionary);
/* An observer: (context, sender, notification, instance, info). */
typedef int (*InteropHostNotificationObserver)(void *context, const char *sender,
                                               const char *notification, const char *instance,
                                               Dictionary *info);
/* 13 "NotificationCenter_AddInstanceObserver" and 14
 * "NotificationCenter_RemoveInstanceObserver": (sender, notification,
 * instance, context, observer); "Global" is the wildcard of each part. */
typedef int (*InteropHostNotificationCenterAddInstanceObserver)(
    const char *sender, const char *notification, const char *instance, void *context,
    InteropHostNotificationObserver observer);
typedef int (*InteropHostNotificationCenterRemoveInstanceObserver)(
    const char *sender, const char *notification, const char *instance, void *context,
    InteropHostNotificationObserver observer);
/* 15 "NotificationCenter_AssertInstance". */
typedef int (*InteropHostNotificationCenterAssertInstance)(void *instance);
/* 16 "NotificationCenter_Fire" and 17 "NotificationCenter_FireAfterDelay". */
typedef int (*InteropHostNotificationCenterFire)(const char *sender, const char *notification,
                                                 const char *instance, Dictionary *info);
typedef int (*InteropHostNotificationCenterFireAfterDelay)(const char *sender,
                                                           const char *notification,
                                                           const char *instance,
                                                           uint32_t delayMs, Dictionary *info);
/* 18 to 21: the same with a printf-style JSON format and its arguments. */
typedef int (*InteropHostNotificationCenterFireWithJSON)(const char *sender,
                                                         const char *notification,
                                                         const char *instance,
                                                         const char *format, ...);
typedef int (*InteropHostNotificationCenterFireWithJSONV)(const char *sender,
                                                          const char *notification,
                                                          const char *instance,
                                                          const char *format, va_list args);
typedef int (*InteropHostNotificationCenterFireAfterDelayWithJSON)(
    const char *sender, const char *notification, const char *instance, uint32_t delayMs,
    const char *format, ...);
typedef int (*InteropHostNotificationCenterFireAfterDelayWithJSONV)(
    const char *sender, const char *notification, const char *instance, uint32_t delayMs,
    const char *format, va_list args);
/* 22 "Interop_GenerateInstanceId": (buffer, size of at least 33). */
typedef int (*InteropHostInteropGenerateInstanceId)(char *buffer, int32_t size);

/* Stores the address that SetOverride received into a typed function
 * pointer. ISO C has no conversion between data and code pointers; the bytes
 * are the same on this platform. */
#define INTEROP_PLUGIN_TAKE(pointer, address) \
  memcpy(&(pointer), &(address), sizeof(pointer))

#ifndef INTEROP_PLUGIN_TYPES_ONLY

/* Marks the five exports visible in a library built with
 * -fvisibility=hidden. */
#define INTEROP_PLUGIN_EXPORT __attribute__((visibility("default")))

INTEROP_PLUGIN_EXPORT int Interop_CreateInstance(const char *className, char *id, int32_t idSize,
                                                 void *userContext,
                                                 InteropPluginDeliveryFunction delivery,
                                                 InteropPluginInvokeFunction *invoke,
                                                 InteropPluginReleaseFunction *release,
                                                 InteropPluginProcessFunction *process,
                                                 void **object);
INTEROP_PLUGIN_EXPORT int Interop_SetOverride(const char *name, void *function);
INTEROP_PLUGIN_EXPORT int Interop_SetOption(const char *name, const char *value);
INTEROP_PLUGIN_EXPORT int Interop_Load(void);
INTEROP_PLUGIN_EXPORT int Interop_Unload(void);

#endif /* INTEROP_PLUGIN_TYPES_ONLY */

#ifdef __cplusplus
}
#endif

#endif /* KEELSON_CORE_BRIDGE_INTEROP_PLUGIN_H */
