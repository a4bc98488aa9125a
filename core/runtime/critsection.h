// CriticalSection: a heap-allocated recursive lock. Owners hold a pointer to
// it (NULL when there is none) and enter and leave it around shared state.
//
// Invariants: (1) a record carries its tag until it is deleted. (2) the same
// thread may enter again; it must leave as often as it entered.
//
// Threads: any thread. A thread that finds the lock held spins briefly, then
// sleeps until it is released.
#pragma once

#include <cstdint>

struct CriticalSection;  // defined by the platform layer

constexpr uint32_t kCriticalSectionTag = 0xff945dbc;

// Creates a lock into *lock. Returns 0 only for a NULL out-pointer.
int CriticalSection_Create(CriticalSection **lock);
// Deletes and frees the lock and clears *lock. Returns 0 (and leaves it alone)
// when the handle or the record is NULL or the record carries another tag.
int CriticalSection_Delete(CriticalSection **lock);
void CriticalSection_Enter(CriticalSection *lock);
// Enters the lock when that needs no wait: returns 1 when the calling thread
// now holds it (leave it as after Enter), 0 when another thread holds it.
int CriticalSection_TryEnter(CriticalSection *lock);
void CriticalSection_Leave(CriticalSection *lock);
