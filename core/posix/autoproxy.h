// AutoProxy: the proxy auto-configuration script engine behind
// Platform_ProxyGetForURLWithScript (core/platform/platform.h). Each
// evaluation gets a fresh engine heap holding the name-service callbacks,
// the standard PAC helpers (compiled once, loaded as bytecode) and the
// script; then FindProxyForURL(url, host) runs.
//
// Invariants: (1) an evaluation ends within its time budget and never holds
// more than its heap cap; past either it answers 0. (2) the time helpers
// read the clock set here (the wall clock unless a test sets another).
//
// Threads: evaluations may run on any threads at once; set the clock and the
// limits only while none runs (tests).
#pragma once

#include <cstddef>

// Seconds since 1970 for the time helpers; NULL restores the wall clock.
void AutoProxy_SetClockForTest(double (*now)(void));
// The time budget and heap cap of each evaluation; 0 restores the defaults
// (5 seconds, 64 MiB).
void AutoProxy_SetLimitsForTest(int budgetMs, size_t heapBytes);
