// InteropLibrary: the modules that the script bridge asks, in registration
// order, for the classes that pages create. A module is a record of five
// entry points (create, set override, set option, load, unload): the
// built-in modules register their own functions, plug-in libraries export
// them by name. At registration a module receives the 22 host functions
// through its SetOverride, then Load, then every leaf of the options
// Dictionary through its SetOption.
//
// Invariants: (1) a listed record has all five entry points. (2) the list
// keeps registration order; a record is appended only after its Load and
// options, so creation never asks a module that is not ready. (3) the state
// holds one reference on the options Dictionary, or none.
//
// Threads: registration, broadcast, options and shutdown run on the thread
// that starts the program (the main thread); the list and the options are
// guarded by the interop lock, which creation on other threads also takes.
#pragma once

#include <atomic>
#include <cstdint>

#include "core/bridge/interop.h"
#include "core/platform/platform.h"

struct Dictionary;
struct Thread;

constexpr uint32_t kInteropLibraryTag = 0x2b8e61f4;
// A module's name (a plug-in's path, the program's path for built-in
// modules): 319 characters and the terminator.
constexpr int32_t kInteropLibraryNameBytes = 320;
// The host functions every module receives, in the order handed over.
constexpr int32_t kInteropHostFunctionCount = 22;

typedef int (*InteropLoadFunction)(void);
typedef int (*InteropUnloadFunction)(void);
typedef int (*InteropSetOverrideFunction)(const char *name, void *function);
typedef int (*InteropSetOptionFunction)(const char *name, const char *value);

struct InteropLibrary {
  uint32_t tag;  // kInteropLibraryTag
  char name[kInteropLibraryNameBytes];
  PlatformModule *module;  // NULL for a built-in module
  std::atomic<int32_t> refCount;
  std::atomic<int32_t> unloadRequests;
  Thread *unloadThread;  // NULL until its unload begins
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
// At shutdown: takes each record off the head of the list under the lock,
// calls its Unload outside it, frees a module handle still held and the
// record. Returns 1.
int Interop_ShutdownLibraries(void);
