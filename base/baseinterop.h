// BaseInterop: the script bridge's hold on the storage engine's objects.
// Pages hold references on a script-visible object through
// "NotificationCenter"."Interop".<instance id> notifications; the handler
// here turns them into references on the object itself. Pages reach a
// running repository as "QVN.Repository": the module's class resolver finds
// it by its instance id (scripts never create one) and its dispatcher lets
// a page pause and resume it.
//
// Invariants: (1) only an explicit Boolean "addRef" changes the object's
// reference count: true adds one, false drops one. (2) a resolution that
// succeeds hands the bridge exactly one new reference on a Repository;
// one that fails takes none and leaves every out-word zero.
//
// Threads: the main thread (the notification center delivers there, and
// the bridge resolves and dispatches there).
#pragma once

#include <cstdint>

#include "core/bridge/interop.h"

struct Dictionary;

// The observer of an interop instance (context: the class object). Returns 1.
int Interop_HandleAddRef(void *object, const char *sender, const char *notification,
                         const char *instance, Dictionary *info);

// The repository module's class resolver (an InteropCreateInstanceFunction).
// Clears the four out-words. Serves only "QVN.Repository" (byte for byte;
// anything else: 0). The id buffer must name a live Repository: then invoke
// is RepositoryInterop_Invoke, release Class_Release, process none, object
// the repository with one more reference, and the result 1. An id of no
// object or of another class logs "Instance %s is not a type of %s"
// (DEBUG) and gives 0. NULL pointers stop the program.
int RepositoryInterop_GetInstance(const char *className, char *id, int32_t idSize,
                                  void *userContext, InteropDeliveryFunction delivery,
                                  InteropInvokeFunction *invoke, InteropReleaseFunction *release,
                                  InteropProcessFunction *process, void **object);

// The dispatcher of "QVN.Repository" (messages name the class
// "Repository"): "setActive" with the Boolean "active" pauses (false) or
// resumes (true) the repository and answers "returnValue" true; a missing
// or mistyped "active" answers false and gives 0. An unknown method gives 0
// with nothing written.
int RepositoryInterop_Invoke(void *repository, Dictionary *request, Dictionary *result);
