// Interop: the script bridge's instance table. A page never holds a pointer:
// it holds an instance id, and every object that a page created sits here
// under its id with the module functions that invoke, drive and release it.
// Creation asks each registered module (interoplibrary.h) in turn; a method
// call travels as JSON and reaches the module's invoke function with the
// CRC-32 of the method name under "#methodHash"; the instance pass of the
// pump drives instances with work of their own and removes those that no
// reference holds any more. Interop_Init starts the whole interop state (this
// table, the module list and the callback seam of interopcallback.h).
//
// Invariants: (1) an instance is in the table under exactly one id from its
// creation until the first instance pass that finds its count at 0, or a
// forced removal; it is removed once and its release function called once.
// (2) count = page references + finds not yet given back + the pump's one
// reference around a process call; page references never go below 0, so a
// page that releases too often is refused and cannot take a reference that a
// find still holds. (3) an instance keeps the class name it was created
// under; a known id asked for under another class name is refused. (4) the
// saved position of the pass is an entry of the table or none. (5) pumps
// never nest: a pump called from inside one (by a process, release or
// delivery function) only wakes the bridge for a later one.
//
// Threads: create, find, release and invoke on any thread; the lock guards
// the module list, the table, the instance pool and the saved position, and
// every insertion, removal and walk of the table holds it. No module function
// (create, invoke, process, release) runs under the lock, so modules may call
// back into the bridge. Interop_Init, Interop_Shutdown, the pump, the
// instance pass, the counts and Interop_RemoveAllInstances are main-thread
// only ("Function not on main thread" stops the program elsewhere);
// RemoveAllInstances and Shutdown run when no other thread holds a found
// instance.
#pragma once

#include <atomic>
#include <cstdint>

#include "core/platform/interopcallback.h"
#include "core/runtime/hashtable.h"

struct Dictionary;
struct MemoryStream;
struct InteropLibrary;

constexpr uint32_t kInteropInstanceTag = 0x6a1c0e57;
// An id buffer handed to Interop_CreateInstance holds at least this many
// bytes: a module writes ids of at most 36 bytes, a fresh one takes 33.
constexpr int32_t kInteropInstanceIdBytes = 36;
// A method name keeps 119 bytes; a longer one is cut before it is hashed.
constexpr int32_t kInteropMethodNameBytes = 120;
// Class names are compared as stored: at most 127 bytes.
constexpr int32_t kInteropClassNameBytes = 128;
// With the debug flag, a counted instance idle this long logs one line.
constexpr double kInteropActiveLogSeconds = 15.0;

// invoke(object, request, result): nonzero for success.
typedef int (*InteropInvokeFunction)(void *object, Dictionary *request, Dictionary *result);
// release(&object): drops the instance's object and clears the pointer, as
// Class_Release does.
typedef int32_t (*InteropReleaseFunction)(void **object);
// process(object): the instance's own work, once per instance pass.
typedef int (*InteropProcessFunction)(void *object);
// A module's class resolver (its Interop_CreateInstance): class name, id
// buffer (in: an id or empty; out: the object's own id when it keeps one, at
// most 36 bytes), its size, the user context, the host's delivery function,
// then the four out-words. Returns 1 when it serves the class name and has
// filled the out-words, which hand over one reference on the object; leaves
// them zero otherwise.
typedef int (*InteropCreateInstanceFunction)(const char *className, char *id, int32_t idSize,
                                             void *userContext, InteropDeliveryFunction delivery,
                                             InteropInvokeFunction *invoke,
                                             InteropReleaseFunction *release,
                                             InteropProcessFunction *process, void **object);

// One script-visible instance (a member of the instance pool).
struct InteropInstance {
  uint32_t tag;                   // kInteropInstanceTag
  std::atomic<int32_t> refCount;  // see invariant (2)
  int32_t pageReferences;         // guarded by the lock
  double lastActivity;            // tick seconds; guarded by the lock
  void *object;                   // the module's object ("user context"); may be NULL
  void *requestContext;           // whoever asked; only counted
  InteropReleaseFunction release;  // each may be NULL
  InteropInvokeFunction invoke;
  InteropProcessFunction process;
  InteropLibrary *library;         // borrowed: the module that made it
  HashTableEntry *entry;           // its table entry; the key text is the id
  char className[kInteropClassNameBytes];
};

// Creates the interop state (lock, table, instance pool, debug flag, then
// the callback seam, whose wake posts Interop_OnWake with the state); a
// second call changes nothing. The main queue must exist. Returns 1.
int Interop_Init(void);
// In this order: removes every instance (release functions run while every
// module is still loaded), cancels a pending wake, shuts the modules down,
// shuts the callback seam down, frees the state. Returns 1 (also without
// state).
int Interop_Shutdown(void);
// The wake target on the main queue: runs Interop_Pump.
void Interop_OnWake(void *state);
// The interop pump: the instance pass, the library pass
// (Interop_ProcessLibraries), then the callback pass
// (Interop_DeliverCallbacks); the first and the last are bounded by
// kInteropPassSeconds. Called from inside a pass it only wakes the bridge.
// Returns 1.
int Interop_Pump(void);

// The functions below stop the program with "Pointer is NULL\n" before
// Interop_Init and on NULL arguments (a NULL binding or class name included).

// The function handed to modules as their fifth argument (the host's page
// delivery, InteropDeliveryFunction); NULL until set, and then modules make
// objects that receive nothing.
void Interop_SetDeliveryFunction(InteropDeliveryFunction delivery);

// Creates an instance of className, or takes one more page reference on the
// instance that id names. id (idSize bytes, at least kInteropInstanceIdBytes,
// else the program stops) holds an id to reuse or is empty ("undefined" in
// any case counts as empty); on success it holds the instance's id. A known
// id under another class name, no module serving the class, or an id the
// table refuses gives 0 (logged). A module that hands back the id of a live
// instance adds a reference to it, and the object it returned is released
// with its own release function. Returns 1 on success.
int Interop_CreateInstance(const char *className, char *id, int32_t idSize, void *requestContext,
                           void *userContext);
// 1 with *instance and one more reference on it when id is in the table
// (also while it waits for removal); 0 with *instance NULL otherwise.
int Interop_FindInstance(const char *id, InteropInstance **instance);
// Gives a find's reference back and clears *instance. Returns 1.
int Interop_ReleaseInstanceRef(InteropInstance **instance);
// Drops one page reference. 0 with "Unable to release instance. (%s not
// found)\n" when id is unknown or holds no page reference any more.
int Interop_ReleaseInstance(const char *id);
// Calls the instance's invoke function with request and result (cleared
// first) after storing the CRC-32 of request's "method" (cut to 119 bytes)
// under "#methodHash". 0 (logged) for an unknown id or an instance without
// invoke function; otherwise 1 when invoke answered nonzero.
int Interop_InvokeMethod(const char *id, Dictionary *request, Dictionary *result);
// The call on JSON: empties output, parses binding (a JSON object: "method"
// and the arguments), calls Interop_InvokeMethod and writes the result
// document into output. Returns 1 when the call and the writing succeeded.
// When invoke answers 0 but wrote into the result, the document is written
// all the same and the result is 0; a binding that is not a JSON object, an
// unknown id or an instance without invoke function leave output empty.
// Each thread keeps its reader and its two trees for its next call.
int Interop_Invoke(const char *id, const char *binding, MemoryStream *output);

// The instance pass of the pump: from the saved position, each instance
// gains a reference around its process call; one whose count is then 0 is
// removed (release function called, entry and record freed). Stops once
// kInteropPassSeconds have gone by (the next pass resumes there) or at the
// end of the table (the next pass starts from the first entry). Returns 1.
int Interop_ProcessInstances(void);
// The number of instances made by library / asked for by requestContext;
// with the debug flag, each counted instance idle for
// kInteropActiveLogSeconds logs "Interop instance (%s) active\n".
int32_t Interop_CountLibraryInstances(InteropLibrary *library);
int32_t Interop_CountContextInstances(void *requestContext);
// Removes every instance whatever its count ("%s forcibly removed\n" each)
// and clears the saved position. Returns 1.
int Interop_RemoveAllInstances(void);

// A module resolver's first step: stops the program with "Pointer is
// NULL\n" on any NULL argument, then clears the four out-words, so that a
// resolver that does not serve the class leaves them zero.
void Interop_ClearResolved(const char *className, const char *id, InteropInvokeFunction *invoke,
                           InteropReleaseFunction *release, InteropProcessFunction *process,
                           void **object);

// Writes a fresh id (32 lower-case hex digits from the system's random
// source). Returns 1; 0 with an empty buffer when size is below 33.
int Interop_GenerateInstanceId(char *buffer, int32_t size);
