// ApiHook: swaps a loaded module's import of the system's file-open function
// for a function of the caller's, and back. On Linux the import is the
// module's GOT slot of libc's `open` or `open64` (the way a library opens
// files), reached through its relocations, lazy PLT slots and -fno-plt GOT
// entries alike.
//
// Invariants: (1) a slot changes by one aligned 64-bit atomic exchange, never
// half written. (2) a slot's page protection is what it was before the call
// (read-only under full RELRO). (3) on 0 nothing was changed.
//
// Threads: any thread, but the caller makes the swap while the module is not
// opening files (after loading it, before its first use; after it stopped).
#pragma once

#include "core/platform/platform.h"

// Swaps module's file-open import slots (module NULL: the program itself).
// Each slot receives *previous when that is non-NULL on entry, else hook;
// *previous receives the function the slots called before (a lazy slot that
// was never called yet answers the function it would bind to). So a first
// call with *previous NULL installs hook and hands back the system's
// function; a later call with that function in *previous puts it back.
// reserved is not used. Returns 1 when at least one slot was swapped; 0,
// changing nothing, when module is not a loaded module or imports no `open`
// or `open64`. Stops with "Pointer is NULL\n" on a NULL hook or previous.
int ApiHook_SwapCreateFileW(PlatformModule *module, void *reserved, void *hook, void **previous);
