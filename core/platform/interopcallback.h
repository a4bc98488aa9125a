// Interop callbacks: the seam between the program's notifications and the
// page scripts, kept to what the notification center and the directory-size
// service need until the script bridge takes it over. It holds the named
// callback entries through which a script observer hands records to pages,
// the queue of callback arguments that waits for the bridge's pump and
// delivery, and the list of QVN.NotificationCenter objects (one per page
// that created one), whose number the center reads. Queuing wakes the
// bridge (the wake target that Interop_Init hands down; without one nothing
// is posted), whose pump runs the callback pass: it frees released entries
// and hands everything queued, as one JSON array, to every object's delivery
// function. The seam is open from InteropCallback_Init to
// InteropCallback_Shutdown; once closed, the entry functions do nothing, so
// that observers still registered with the notification center (stopped
// later) never reach a freed entry.
//
// Invariants: (1) an entry is listed, in the order of its adds, from
// Interop_AddCallback until the first callback pass after its use count
// reached 0, or InteropCallback_Shutdown; until then it stays findable by its
// name. (2) an entry's name is at most 39 characters
// and never empty. (3) the queue holds exactly one reference on each object
// in it. (4) a QVN.NotificationCenter object exists once per (request
// context, delivery function) and lives while at least one Get has not been
// matched by a Release; the callback pass holds the object one more user
// while its delivery function runs. (5) at most one wake is pending on the
// main queue; the delivery text lives in one stream, so a pass never nests.
//
// Threads: main thread only. Interop_QueueCallbackArgument, the
// QVN.NotificationCenter functions, Interop_DeliverCallbacks and
// Interop_TakeCallbackArgument stop the
// program with "Assertion failed (Thread_GetMainId() ==
// Thread_GetCurrentId())\nFunction not on main thread" elsewhere; the entry
// functions take no lock and are called by the notification center on the
// main thread.
#pragma once

#include <cstdint>

#include "core/platform/eventqueue.h"
#include "core/runtime/class.h"
#include "core/runtime/pool.h"

constexpr uint32_t kInteropCallbackTag = 0x76d1abff;
constexpr uint32_t kInteropQueuedArgumentTag = 0x51a7e0c3;
constexpr uint32_t kInteropNotificationCenterTag = 0x3e0b9d54;
// A name field: 39 characters and the terminator.
constexpr int kInteropCallbackNameBytes = 40;
// Entries and queued arguments are taken from their pools this many at a time.
constexpr int32_t kInteropPoolGrowth = 5;
// Each pass of the pump stops once this long has gone by (single precision,
// 0.10000000149011612 s), so that much work cannot stall the main thread.
constexpr double kInteropPassSeconds = double(0.1f);

// function(context, argument): an entry's function. The argument is borrowed.
typedef void (*InteropCallbackFunction)(void *context, void *argument);
// The host's delivery to a page: (request context, the object, text, 0).
typedef void (*InteropDeliveryFunction)(void *requestContext, void *object, const char *text,
                                        int32_t flags);

struct InteropCallback {
  uint32_t tag;  // kInteropCallbackTag
  char name[kInteropCallbackNameBytes];
  void *context;
  InteropCallbackFunction function;
  int32_t useCount;
  InteropCallback *next;
  InteropCallback *prev;
};

struct InteropQueuedArgument {
  uint32_t tag;  // kInteropQueuedArgumentTag
  void *object;  // one reference
  InteropQueuedArgument *next;
};

struct InteropNotificationCenter {
  ObjectHeader header;  // kInteropNotificationCenterTag; a fresh id
  void *requestContext;
  InteropDeliveryFunction delivery;
  int32_t users;  // Gets not yet matched by a Release
  InteropNotificationCenter *next;
  InteropNotificationCenter *prev;
};

// Creates the state once (a second call changes nothing) and opens the
// seam. wake(wakeContext) is what Interop_Wake posts on the main queue (the
// bridge's Interop_OnWake); NULL: nothing is posted. Returns 1.
int InteropCallback_Init(EventQueueCallback wake = nullptr, void *wakeContext = nullptr);
// Closes the seam first, then frees the QVN.NotificationCenter objects, logs
// "Interop - Callback not removed - Id %s\n" for each entry still in use,
// frees the entries, gives back the reference of every queued argument and
// frees the state. Returns 1 (also without state).
int InteropCallback_Shutdown(void);

// The functions below stop the program with "Pointer is NULL\n" before
// InteropCallback_Init, on NULL out-pointers and on NULL entries. On a closed
// seam (after InteropCallback_Shutdown, until the next Init) they touch no
// entry: Find answers 0, GetCallbackName "", and Invoke, Release (which
// still clears *entry), QueueCallbackArgument and Wake do nothing;
// Interop_AddCallback still stops the program.

// Appends a new entry {name (a fresh GUID text when NULL or empty; cut to 39
// characters), context, function, use count 1} and returns 1 with *entry.
int Interop_AddCallback(const char *name, void *context, InteropCallbackFunction function,
                        InteropCallback **entry);
// The first entry whose name equals name without regard to case: 1 with
// *entry, else 0 with *entry NULL. The use count does not change.
int Interop_FindCallback(const char *name, InteropCallback **entry);
// Calls the entry's function with (context, argument) when it has one.
void Interop_InvokeCallback(InteropCallback *entry, void *argument);
// Drops one use of the entry and clears *entry; the entry stays listed until
// the next callback pass. A use count already at 0 changes nothing (logged).
// Returns 1.
int Interop_ReleaseCallback(InteropCallback **entry);
// The entry's name.
const char *Interop_GetCallbackName(InteropCallback *entry);

// The standard entry function: takes one reference on object (a class
// object, in practice a Dictionary), appends it to the queue and wakes the
// bridge. The context is not used.
void Interop_QueueCallbackArgument(void *context, void *object);
// The oldest queued object, with the queue's reference handed to the caller:
// 1 with *object, 0 with *object NULL when the queue is empty.
int Interop_TakeCallbackArgument(void **object);
// Posts the wake target on the main queue; a pending one absorbs the post,
// so at most one is pending. Nothing without a target. Main thread.
void Interop_Wake(void);
// The callback pass: frees the entries whose use count is 0, then writes the
// queued objects as "[{members},...]" (each one's reference given back) and
// hands that text to the delivery function of every QVN.NotificationCenter
// object listed at the start of the delivery, in list order, with (request
// context, object, text, 0); the text is valid only during the call. Without
// objects the records are dropped all the same. Stops once
// kInteropPassSeconds have gone by since its start (the rest stays for the
// next pass, and Interop_Wake is called). A call from inside a delivery only
// wakes. Returns 1.
int Interop_DeliverCallbacks(void);

// The object of that request context and delivery function: an existing one,
// or a new one appended to the list. Returns 1 with *object.
int InteropNotificationCenter_Get(InteropNotificationCenter **object, void *requestContext,
                                  InteropDeliveryFunction delivery);
// Matches one Get: the last one unlinks and frees the object. Clears *object
// and returns 1.
int InteropNotificationCenter_Release(InteropNotificationCenter **object);
// The number of listed objects (0 without state). Main thread.
int32_t InteropNotificationCenter_GetCount(void);

// The pipe's read notification: the size bytes of data as standard Base64 in
// a new text, fired as ("Pipe", "Read", instanceId) with the info
// {"buffer": that text}, then freed. Returns the fire's result; 0, firing
// nothing, when the text cannot be made. Main thread, as every fire that is
// delivered at once. Stops the program on a NULL id, or NULL data with a
// size above 0.
int PipeInterop_FireRead(const char *instanceId, const void *data, int32_t size);
