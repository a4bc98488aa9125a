// Callback cells; see callback.h.
#include "core/runtime/callback.h"

#include "core/runtime/class.h"
#include "core/runtime/core.h"

namespace {

static_assert(sizeof(CallbackCell) == 16 && sizeof(void *) == 8,
              "a cell packs two 64-bit words into one 16-byte unit");

typedef unsigned __int128 CallbackPair;

// 16-byte atomics go through libatomic (cmpxchg16b on x86-64): GCC does not
// inline them, as a plain 16-byte load is not atomic on every processor.
CallbackPair callbackPack(void *context, CallbackFunction function) {
  return CallbackPair(reinterpret_cast<uintptr_t>(function)) << 64 |
         CallbackPair(reinterpret_cast<uintptr_t>(context));
}

uintptr_t callbackContextWord(CallbackPair pair) { return uintptr_t(pair); }

CallbackFunction callbackFunctionOf(CallbackPair pair) {
  return reinterpret_cast<CallbackFunction>(uintptr_t(pair >> 64));
}

// The compare-exchange faults on a misaligned address, so the check comes
// before any access. The text is the one callers and tools already match.
void callbackCheckAligned(const CallbackCell *cell) {
  if ((reinterpret_cast<uintptr_t>(cell) & (alignof(CallbackCell) - 1)) != 0)
    Core_Abort(KSRC,
               "Assertion failed (((intptr)CallbackPointers & (sizeof(void *) - 1)) == 0)\n"
               "Unaligned value");
}

// Drops the reference a taken-out pair held on its counted context.
void callbackReleaseContext(CallbackPair pair) {
  uintptr_t word = callbackContextWord(pair);
  void *object = reinterpret_cast<void *>(word & ~kCallbackCountedContext);
  if ((word & kCallbackCountedContext) != 0 && object != nullptr) Class_Release(&object);
}

// The cell's lock, created by the first caller; a second thread racing for it
// deletes its own and takes the winner's.
CriticalSection *callbackLockOf(CallbackCellLocked *cell) {
  CriticalSection *lock = cell->lock.load(std::memory_order_acquire);
  if (lock != nullptr) return lock;
  CriticalSection *created = nullptr;
  CriticalSection_Create(&created);
  if (cell->lock.compare_exchange_strong(lock, created, std::memory_order_acq_rel)) return created;
  CriticalSection_Delete(&created);
  return lock;
}

}  // namespace

int Callback_Set(CallbackCell *cell, void *context, CallbackFunction function) {
  callbackCheckAligned(cell);
  CallbackPair pair = callbackPack(context, function);
  // Release: a reader that sees the pair also sees what the context points to.
  __atomic_store(&cell->pair, &pair, __ATOMIC_RELEASE);
  return 1;
}

int Callback_Get(CallbackCell *cell, void **context, CallbackFunction *function) {
  callbackCheckAligned(cell);
  CallbackPair pair;
  __atomic_load(&cell->pair, &pair, __ATOMIC_ACQUIRE);
  if (context != nullptr)
    *context = reinterpret_cast<void *>(callbackContextWord(pair) & ~kCallbackCountedContext);
  if (function != nullptr) *function = callbackFunctionOf(pair);
  return callbackFunctionOf(pair) != nullptr;
}

int Callback_Clear(CallbackCell *cell) {
  callbackCheckAligned(cell);
  // One exchange takes the pair out: readers see the whole pair or an empty
  // cell, and of two clearing threads only one gets the counted context.
  CallbackPair empty = 0;
  CallbackPair taken;
  __atomic_exchange(&cell->pair, &empty, &taken, __ATOMIC_ACQ_REL);
  callbackReleaseContext(taken);
  return 1;
}

int Callback_SetLocked(CallbackCellLocked *cell, void *context, CallbackFunction function) {
  if (function != nullptr) {
    CriticalSection *lock = callbackLockOf(cell);
    CriticalSection_Enter(lock);
    Callback_Set(&cell->cell, context, function);
    CriticalSection_Leave(lock);
    return 1;
  }
  CriticalSection *lock = cell->lock.load(std::memory_order_acquire);
  if (lock == nullptr) return Callback_Clear(&cell->cell);
  CriticalSection_Enter(lock);
  Callback_Clear(&cell->cell);
  cell->lock.store(nullptr, std::memory_order_release);
  CriticalSection_Leave(lock);
  CriticalSection_Delete(&lock);
  return 1;
}

int CallbackRef_Set(CallbackRef *ref, void *instance, void *context, CallbackFunction function) {
  if (function == nullptr) return CallbackRef_Clear(ref);
  if (instance != nullptr && context != nullptr) {
    // Retain before publishing, so a concurrent clear never releases a
    // reference that was not yet taken.
    Class_Retain(instance);
    void *previous = nullptr;
    if (!ref->instance.compare_exchange_strong(previous, instance, std::memory_order_acq_rel))
      Core_Abort(KSRC,
                 "Assertion failed (PrevUserScopeHandle == NULL)\nCallbackRef already registered");
  }
  return Callback_Set(&ref->cell, context, function);
}

int CallbackRef_Clear(CallbackRef *ref) {
  Callback_Clear(&ref->cell);
  void *held = ref->instance.exchange(nullptr, std::memory_order_acq_rel);
  if (held != nullptr) Class_Release(&held);
  return 1;
}
