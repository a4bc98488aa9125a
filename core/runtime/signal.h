// Signal: an event that threads wait on with a time-out. It starts reset and
// manual-reset (a set wakes every waiter and stays set until it is reset);
// Signal_SetAutoReset turns it for good into an auto-reset event, where each
// set lets exactly one wait through and the waiter that sees it resets it.
//
// Invariants: (1) the state is 0 or 1 and changes in one atomic step; a set
// touches the signal's memory no more once it is visible, so the waiter it
// wakes may release the signal at once. (2) an auto-reset signal never lets
// two waits through for one set. (3) a wait never ends before its time-out unless the signal was set;
// time-outs are measured on the monotonic clock, so changes of the wall
// clock neither shorten nor stretch them.
//
// Threads: any thread may set, reset and wait on a signal; Signal_Release
// only once no thread uses the signal any more.
#pragma once

#include <cstdint>

struct Signal;  // defined by the platform layer

// Creates a reset, manual-reset signal into *signal. Returns 1. Stops the
// program on a NULL out-pointer.
int Signal_Create(Signal **signal);

// Makes the signal auto-reset; returns 1. The state it has is kept, so a set
// made before the switch is not lost. Later calls change nothing. Stops the
// program on a NULL signal.
int Signal_SetAutoReset(Signal *signal);

// State 1 sets the signal, any other value resets it. Returns 1. Stops the
// program on a NULL signal, at the caller's position.
int Signal_Set(Signal *signal, int state, const char *sourcePath, int line);

// Waits until the signal is set or timeoutMs milliseconds have passed; 0 only
// tests it and a negative time-out waits without limit. On an auto-reset
// signal the wait that sees the set resets it. Returns 1 with *signalled 1
// when the signal was set, 1 with *signalled 0 on a time-out, 0 with
// *signalled 0 when the wait failed. signalled may be NULL. Stops the program
// with "Unable to get signal (%d 0x%.8X)\n" (the system error) when a wait
// without limit fails, and on a NULL signal, at the caller's position.
int Signal_Wait(Signal *signal, int *signalled, int32_t timeoutMs, const char *sourcePath,
                int line);

// Destroys and frees the signal and clears *signal; returns 1. Stops the
// program with "Pointer is NULL\n" on a NULL handle or record.
int Signal_Release(Signal **signal);
