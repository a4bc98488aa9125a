// CoreInterop: the core module of the script bridge, the first module the
// program registers. Its resolver serves the core script classes by name
// (compared byte for byte) from one constant table; a class whose dispatcher
// is not built yet answers 0, so the bridge logs the create as unhandled.
// Served now: "QVN.NotificationCenter", whose object is the page's
// InteropNotificationCenter (interopcallback.h) for the user context and the
// delivery function; "QVN.Process" and "QVN.Pipe", a new Process or Pipe
// whose own id is the instance id (released with Class_Release, advanced by
// Process_Process or Pipe_Poll); "QVN.Registry", "QVN.FileSystem" and
// "QVN.Platform", with no object.
//
// Invariants: (1) on 0 all four out-words are zero and the id buffer is
// untouched. (2) on 1 the out-words hand over one reference on the object,
// given back by the release word.
//
// Threads: the resolver runs where Interop_CreateInstance runs; the
// QVN.NotificationCenter object and its dispatcher are main-thread only, as
// the notification center's script observers are.
#pragma once

#include <cstdint>

#include "core/bridge/interop.h"

struct Dictionary;

// The core module's class resolver (InteropCreateInstanceFunction).
int CoreInterop_GetInstance(const char *className, char *id, int32_t idSize, void *userContext,
                            InteropDeliveryFunction delivery, InteropInvokeFunction *invoke,
                            InteropReleaseFunction *release, InteropProcessFunction *process,
                            void **object);
// Registers the core module with the bridge under the program's path (its
// load, unload and option entries have nothing to do). Returns the record,
// or NULL.
InteropLibrary *CoreInterop_AddLibrary(void);

// The dispatcher of QVN.NotificationCenter (object: the page's
// InteropNotificationCenter; messages name the class "NotificationCenter").
int NotificationCenterInterop_Invoke(void *object, Dictionary *request, Dictionary *result);

// The dispatcher of QVN.FileSystem (no object; messages name the class
// "Path").
int FileSystemInterop_Invoke(void *object, Dictionary *request, Dictionary *result);
// The dispatchers of QVN.Process (object: a Process; "Process"), QVN.Pipe
// (object: a Pipe; "Pipe") and QVN.Registry (no object; "Registry").
int ProcessInterop_Invoke(void *object, Dictionary *request, Dictionary *result);
int PipeInterop_Invoke(void *object, Dictionary *request, Dictionary *result);
int RegistryInterop_Invoke(void *object, Dictionary *request, Dictionary *result);
