// The interop state that interop.cpp and interoplibrary.cpp share. Only the
// bridge's own files include this header.
#pragma once

#include <cstdint>

#include "core/bridge/interop.h"
#include "core/runtime/critsection.h"
#include "core/runtime/pool.h"

struct InteropState {
  CriticalSection *lock;
  int32_t debug;                     // "Interop" verbosity 6 or more, or --debuginterop
  InteropDeliveryFunction delivery;  // handed to every module's create
  Dictionary *options;               // one reference or NULL; guarded by lock
  InteropLibrary *libraryHead;       // in registration order; guarded by lock
  InteropLibrary *libraryTail;
  int32_t libraryCount;
  Pool *instancePool;          // guarded by lock
  HashTable *instances;        // id -> InteropInstance; guarded by lock
  HashTableEntry *passPosition;  // where the next pass starts; guarded by lock
  int32_t pumping;               // 1 while Interop_Pump runs; main thread only
};

// Holds the interop lock for a scope; Leave/Enter open a window in which a
// module function runs.
class InteropLock {
 public:
  explicit InteropLock(InteropState *state) : lock_(state->lock) { CriticalSection_Enter(lock_); }
  ~InteropLock() { CriticalSection_Leave(lock_); }
  InteropLock(const InteropLock &) = delete;
  InteropLock &operator=(const InteropLock &) = delete;
  void Leave() { CriticalSection_Leave(lock_); }
  void Enter() { CriticalSection_Enter(lock_); }

 private:
  CriticalSection *lock_;
};

// The state; stops the program with "Pointer is NULL\n" before Interop_Init.
InteropState *Interop_GetState(const char *sourcePath, int line);

