// Callback cells: a {context, function} pair that one thread installs,
// replaces or clears while other threads read it, without ever tearing the
// pair apart. A locked cell adds a lock that setters and readers can share;
// a CallbackRef also holds a reference on the owner whose lifetime scopes the
// callback.
//
// Invariants: (1) the two words of a cell are written and read only as one
// 16-byte unit, so a reader gets a whole pair: never the context of one
// registration with the function of another. (2) a context with bit 0 set
// (kCallbackCountedContext) is a class object on which the cell holds exactly
// one reference; the reference is dropped once, by the Callback_Clear that
// takes the pair out of the cell. (3) a CallbackRef holds at most one owner,
// with one reference on it.
//
// Threads: any thread may set, read and clear a cell. The context Callback_Get
// returns is borrowed: when another thread may clear the cell meanwhile, the
// owner serialises with a locked cell (readers enter its lock too). A locked
// cell's lock is made by the first Callback_SetLocked and deleted by the one
// with a NULL function, which the owner calls when no other thread uses the
// cell any more.
#pragma once

#include <atomic>
#include <cstdint>

#include "core/runtime/critsection.h"

// The stored function; callers cast it to and from its real type.
typedef void (*CallbackFunction)(void);

// Bit 0 of a context marks a counted context: the other bits are a class
// object on which the cell holds one reference.
constexpr uintptr_t kCallbackCountedContext = 0x1;

// Zero-filled, a cell is empty. 16-byte aligned so that the pair can be
// swapped with one compare-exchange; touch it only through the Callback_*
// functions.
struct alignas(16) CallbackCell {
  unsigned __int128 pair;  // context in the low 64 bits, function in the high 64
};

struct CallbackCellLocked {
  CallbackCell cell;
  std::atomic<CriticalSection *> lock;  // NULL until the first Callback_SetLocked
};

struct CallbackRef {
  CallbackCell cell;
  std::atomic<void *> instance;  // the held owner (one reference) or NULL
};

// Stores the pair as one unit, replacing whatever the cell held (a counted
// context that was in it keeps its reference: clear the cell first). Returns
// 1. Stops the program with "Assertion failed (((intptr)CallbackPointers &
// (sizeof(void *) - 1)) == 0)\nUnaligned value" when the cell is not 16-byte
// aligned; the other functions here stop with the same text.
int Callback_Set(CallbackCell *cell, void *context, CallbackFunction function);

// Reads the pair as one unit into the out-pointers (either may be NULL); the
// context comes without bit 0. Returns 1 when a function is set, else 0.
// The cell is not const: reading 16 bytes atomically may write them back.
int Callback_Get(CallbackCell *cell, void **context, CallbackFunction *function);

// Takes the pair out of the cell, leaving it empty, and drops the cell's
// reference when the context was counted. Returns 1.
int Callback_Clear(CallbackCell *cell);

// A non-NULL function is stored with Callback_Set under the cell's lock,
// which the first call creates. A NULL function clears the cell under the
// lock and then deletes the lock. Returns 1.
int Callback_SetLocked(CallbackCellLocked *cell, void *context, CallbackFunction function);

// With a function, and with both instance and context given, retains the
// instance (a class object) and holds it; then stores the pair. A NULL
// function calls CallbackRef_Clear. Returns 1. Stops the program with
// "Assertion failed (PrevUserScopeHandle == NULL)\nCallbackRef already
// registered" when an instance is already held.
int CallbackRef_Set(CallbackRef *ref, void *instance, void *context, CallbackFunction function);

// Clears the cell, then releases the held instance, if any. Returns 1.
int CallbackRef_Clear(CallbackRef *ref);
