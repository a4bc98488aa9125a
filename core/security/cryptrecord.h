// CryptRecord: what the constant algorithm records of the crypto front ends
// (CryptSymmetric, CryptAsymmetric) share: the check of a record slot and the
// adapters that turn a module's typed functions into slots taking the
// context word.
//
// Invariants: an adapter casts the context word back only to the type its
// module created it as.
//
// Threads: no state.
#pragma once

#include "core/runtime/core.h"

// A record slot is a function pointer, which CHECK_POINTER cannot take: an
// empty slot stops the program with "Pointer is NULL".
template <class F>
inline void Crypt_CheckSlot(F slot, const char *sourcePath, int line) {
  if (slot == nullptr) Core_Abort(sourcePath, line, "Pointer is NULL\n");
}
#define CRYPT_CHECK_SLOT(slot) Crypt_CheckSlot((slot), KSRC)

// Create and Release slots from X_Create(X **) and X_Release(X **).
template <class Context, int (*CreateFn)(Context **)>
int CryptRecord_Create(void **context) {
  CHECK_POINTER(context);
  Context *c = nullptr;
  CreateFn(&c);
  *context = c;
  return 1;
}

template <class Context, int (*ReleaseFn)(Context **)>
int CryptRecord_Release(void **context) {
  CHECK_POINTER(context);
  auto *c = static_cast<Context *>(*context);
  *context = nullptr;
  return ReleaseFn(&c);
}

// CryptRecord_Slot<Fn>::Call forwards (void *context, args...) to
// Fn(Context *, args...).
template <auto Fn>
struct CryptRecord_Slot;
template <class Context, class... Args, int (*Fn)(Context *, Args...)>
struct CryptRecord_Slot<Fn> {
  static int Call(void *context, Args... args) {
    return Fn(static_cast<Context *>(context), args...);
  }
};
