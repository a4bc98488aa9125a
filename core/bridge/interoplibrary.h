// InteropLibrary: the modules that the script bridge asks, in registration
// order, for the classes that pages create. A module is a record of five
// entry points (create, set override, set option, load, unload): the
// built-in modules register their own functions, plug-in libraries export
// them by name. At registration a module receives the 22 host functions
// through its SetOverride, then Load, then every leaf of the options
// Dictionary through its SetOption.
//
// A plug-in library (interop_plugin.h) is loaded by absolute path, checked
// first when security is on, and registered once however often it is
// loaded: each further load adds a reference. Unload requests are carried
// out by the library pass of the pump once the library has no instance; when
// the last reference goes, Interop_UnloadThread calls its Unload and frees
// it on a thread of its own, and a later pass removes the record.
//
// Invariants: (1) a listed record has all five entry points. (2) the list
// keeps registration order; a record is appended only after its Load and
// options, so creation never asks a module that is not ready. (3) the state
// holds one reference on the options Dictionary, or none. (4) a plug-in's
// record holds exactly one loader reference on its module and its file open
// while it holds the module. (5) a record is unlinked and freed only while no
// creation is inside its create (creating 0) and its unload thread, if any,
// has ended; no record gains a reference once its unload thread exists. (6)
// a record whose unload thread outlived the shutdown join is abandoned: it
// leaves the list but is never freed, and neither is its module.
//
// Threads: registration, loading, the library pass, broadcast, options and
// shutdown run on the thread that starts the program (the main thread);
// unload requests may come from any thread. The list, the options, a
// record's module and creating count are guarded by the interop lock, which
// creation on other threads also takes; the unload thread takes it only to
// clear the module handle, and frees the module outside it.
#pragma once

#include <atomic>
#include <cstdint>

#include "core/bridge/interop.h"
#include "core/platform/libraryfile.h"
#include "core/platform/platform.h"

struct Dictionary;
struct Thread;

constexpr uint32_t kInteropLibraryTag = 0x2b8e61f4;
// A module's name (a plug-in's path, the program's path for built-in
// modules): 319 characters and the terminator.
constexpr int32_t kInteropLibraryNameBytes = 320;
// The host functions every module receives, in the order handed over.
constexpr int32_t kInteropHostFunctionCount = 22;
// How long shutdown waits for an unload thread that is still running.
constexpr int32_t kInteropUnloadJoinMs = 120000;

// Where an unload thread stands (InteropLibrary::unloadState).
enum class InteropUnloadState : int32_t {
  kRunning = 0,    // inside the library's Unload, or not started
  kReturned = 1,   // Unload returned: the thread frees the module and ends
  kAbandoned = 2,  // shutdown stopped waiting: the thread touches nothing more
};

typedef int (*InteropLoadFunction)(void);
typedef int (*InteropUnloadFunction)(void);
typedef int (*InteropSetOverrideFunction)(const char *name, void *function);
typedef int (*InteropSetOptionFunction)(const char *name, const char *value);

struct InteropLibrary {
  uint32_t tag;  // kInteropLibraryTag
  char name[kInteropLibraryNameBytes];  // a plug-in's path as given
  PlatformModule *module;  // NULL for a built-in module; guarded by the lock
  std::atomic<int32_t> refCount;
  std::atomic<int32_t> unloadRequests;
  Thread *unloadThread;  // NULL until its unload begins; main thread
  std::atomic<InteropUnloadState> unloadState;
  int32_t creating;  // creations inside its create; guarded by the lock
  LibraryFile file;  // a plug-in's file; kLibraryFileNone for a built-in module
  InteropCreateInstanceFunction createInstance;
  InteropSetOverrideFunction setOverride;
  InteropSetOptionFunction setOption;
  InteropLoadFunction load;
  InteropUnloadFunction unload;
  InteropLibrary *next;  // guarded by the interop lock
  InteropLibrary *prev;
};

// One host function as a module receives it.
struct InteropHostFunction {
  const char *name;
  void *(*address)(void);
};
// The 22 host functions in the order SetOverride receives them.
extern const InteropHostFunction kInteropHostFunctions[kInteropHostFunctionCount];

// Registers a module: tests the entry points (each missing one logs
// "Failed to load interop: <entry> not found.\n" at ERROR, and then nothing
// is made), makes the record (name cut to 319 characters), hands over the
// host functions, calls Load, hands over the options and appends the record
// under the lock. Returns the record, or NULL.
InteropLibrary *Interop_AddLibrary(const char *name, PlatformModule *module,
                                   InteropLoadFunction load, InteropUnloadFunction unload,
                                   InteropCreateInstanceFunction createInstance,
                                   InteropSetOverrideFunction setOverride,
                                   InteropSetOptionFunction setOption);
// Calls every module's SetOption with (name, value), in list order, under
// the lock. Returns 1.
int Interop_BroadcastOption(const char *name, const char *value);
// Makes options (a root, retained; NULL: none) the Dictionary whose leaves
// later registrations receive, releasing the one before. A parsed document
// (a root whose only item is a keyless object) is read through that object,
// so a leaf's name is its item path from the document's top level either
// way. Returns 1.
int Interop_SetOptions(Dictionary *options);
// Loads the plug-in library at path (absolute; a bare or relative name is
// refused without any search) and registers it, or adds a reference to its
// record when the file is registered already. With security on, the file
// must be trusted by the "app" store before it is mapped ("Library
// validation failed (%s)"); with it off, "Skipping library authentication
// (%s)" is logged. A file whose unload has begun loads again only once the
// library pass has removed its record. Returns the record, or NULL with the
// ERROR line "Failed to load interop (%s)\n" (path). Main thread only.
InteropLibrary *Interop_LoadLibrary(const char *path);
// Adds one unload request to the first registered library named path
// (compared without regard to case) whose unload has not begun. 0 when there
// is none (a debug-only line). Any thread.
int Interop_UnloadLibrary(const char *path);
// The library pass of the pump. A record whose unload thread has ended is
// removed (module freed if still held). A record with unload requests and
// no instance (and no creation inside its create) has one request carried
// out: one reference dropped, and at none left its unload thread started.
// Main thread only. Returns 1.
int Interop_ProcessLibraries(void);
// The unload thread's function (library: its record): calls Unload; then,
// unless shutdown has abandoned it meanwhile, clears the module handle under
// the lock and frees the module outside it. Returns 1 (0 when abandoned).
int Interop_UnloadThread(void *library);
// At shutdown: takes each record off the head of the list (once no creation
// is inside its create). Without unload thread its Unload is called here;
// an unload thread is joined for up to kInteropUnloadJoinMs, and one that
// does not end in time logs "Timeout waiting on interop shutdown thread\n"
// and is abandoned with its record and module. Otherwise the module still
// held, the file and the record are freed. Main thread only. Returns 1.
int Interop_ShutdownLibraries(void);
// Test-only: the shutdown join's limit (kInteropUnloadJoinMs restores it).
void Interop_SetUnloadJoinMsForTest(int32_t milliseconds);
