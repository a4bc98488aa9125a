// BaseInterop: the script bridge's hold on the storage engine's objects.
// Pages hold references on a script-visible object through
// "NotificationCenter"."Interop".<instance id> notifications; the handler
// here turns them into references on the object itself.
//
// Invariants: only an explicit Boolean "addRef" changes the object's
// reference count: true adds one, false drops one.
//
// Threads: the main thread (the notification center delivers there).
#pragma once

struct Dictionary;

// The observer of an interop instance (context: the class object). Returns 1.
int Interop_HandleAddRef(void *object, const char *sender, const char *notification,
                         const char *instance, Dictionary *info);
