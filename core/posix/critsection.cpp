// CriticalSection on one atomic word; see core/runtime/critsection.h.
//
// The sections it guards are short, so a thread that finds the lock held
// spins a little before it sleeps: a sleeper costs the thread that releases
// the lock a system call to wake it, which on a busy lock costs more than
// the sections themselves. The spinning thread looks less and less often as
// the wait goes on, which lets the holder take the lock again for its next
// section while its lines are still in its cache, rather than hand the lock
// and the lines it guards to another core at every section. One word says
// who holds the lock, so a thread learns whether it holds it already from
// the word it tries to take anyway; the holder counts its entries.
#include "core/runtime/critsection.h"

#if defined(__x86_64__) || defined(__i386__)
#include <x86intrin.h>
#endif


#include <atomic>

#include "core/posix/futex.h"
#include "core/runtime/core.h"
#include "core/runtime/memory.h"

struct CriticalSection {
  uint32_t tag;
  // The word waiting threads read while they spin sits on a line of its own:
  // nothing else in the record is written while the lock is busy, and the
  // padding keeps other allocations off that line.
  uint8_t front[60];
  // 0 free; else the holder's thread mark shifted left by 1, with bit 0 set
  // when a thread may be asleep waiting for it.
  std::atomic<uint32_t> state;
  int32_t depth;  // the holder's entries; written by the holder only
  uint8_t back[56];
};

namespace {

// How often a thread that finds the lock held looks again before it sleeps,
// and the most steps between two looks (2^kLockBackoffLog2): the waits
// double from one step up.
constexpr int32_t kLockSpins = 12;
constexpr int32_t kLockBackoffLog2 = 8;
constexpr uint64_t kLockStepCycles = 100;

// The calling thread's mark in the lock word: a number of its own, from 1.
thread_local uint32_t tLockMark;
std::atomic<uint32_t> gLockMarks{0};

inline uint32_t lockMark() {
  uint32_t mark = tLockMark;
  if (mark == 0) {
    // 31 bits: numbers repeat only after two billion threads.
    do {
      mark = (gLockMarks.fetch_add(1, std::memory_order_relaxed) + 1) & 0x7fffffffu;
    } while (mark == 0);
    tLockMark = mark;
  }
  return mark;
}

// One step of the back-off: about kLockStepCycles of the time-stamp counter.
// The wait is timed on the counter rather than made of PAUSE instructions: a
// virtual CPU that runs a long PAUSE loop is taken off its core by the
// hypervisor (pause-loop exiting), and the tens of microseconds that costs
// fall on the very lock handover the spinning was meant to speed up.
inline void lockStep() {
#if defined(__x86_64__) || defined(__i386__)
  const uint64_t end = __rdtsc() + kLockStepCycles;
  while (__rdtsc() < end) asm volatile("" ::: "memory");
#else
  for (int i = 0; i < 32; i++) asm volatile("" ::: "memory");
#endif
}

// The sleep and the wake-up of a waiter go straight to the futex on the lock
// word. std::atomic's wait would first give the processor away a few times
// (sched_yield) and count its waiters in a table shared by every atomic in
// the process, so a release would wake sleepers on unrelated words; the
// spinning above has already done what those yields would.
void lockSleep(CriticalSection *lock, uint32_t state) { Futex_Wait(&lock->state, state, nullptr); }

void lockWakeOne(CriticalSection *lock) { Futex_Wake(&lock->state, 1); }

// Takes the lock for a thread that does not hold it and found it held.
void lockAcquireContended(CriticalSection *lock, uint32_t mine) {
  uint32_t state = 0;
  for (int32_t spin = 0; spin < kLockSpins; spin++) {
    for (int32_t i = 0; i < (1 << (spin < kLockBackoffLog2 ? spin : kLockBackoffLog2)); i++)
      lockStep();
    state = lock->state.load(std::memory_order_relaxed);
    if (state == 0 && lock->state.compare_exchange_strong(state, mine, std::memory_order_acquire,
                                                          std::memory_order_relaxed))
      return;
  }
  // From here on the lock is marked as waited for, so that its release wakes
  // a sleeper; one that takes it keeps the mark, as others may still sleep.
  for (;;) {
    state = lock->state.load(std::memory_order_relaxed);
    if (state == 0) {
      if (lock->state.compare_exchange_strong(state, mine | 1, std::memory_order_acquire,
                                              std::memory_order_relaxed))
        return;
      continue;
    }
    if ((state & 1) == 0 &&
        !lock->state.compare_exchange_strong(state, state | 1, std::memory_order_relaxed))
      continue;
    lockSleep(lock, state | 1);
  }
}

}  // namespace

int CriticalSection_Create(CriticalSection **lock) {
  if (lock == nullptr) return 0;
  auto *cs = new (Mem_Alloc(sizeof(CriticalSection), MEM_ZEROED, KSRC)) CriticalSection{};
  cs->tag = kCriticalSectionTag;
  *lock = cs;
  return 1;
}

int CriticalSection_Delete(CriticalSection **lock) {
  if (lock == nullptr || *lock == nullptr || (*lock)->tag != kCriticalSectionTag) return 0;
  CriticalSection *cs = *lock;
  *lock = nullptr;
  cs->tag = 0;
  cs->~CriticalSection();
  Mem_Free(cs, sizeof(CriticalSection), KSRC);
  return 1;
}

void CriticalSection_Enter(CriticalSection *lock) {
  const uint32_t mine = lockMark() << 1;
  // Only the holder stores its own mark, so seeing it means holding the lock:
  // entering again costs a plain load, no atomic read-modify-write.
  uint32_t state = lock->state.load(std::memory_order_relaxed);
  if ((state & ~1u) == mine) {
    lock->depth++;
    return;
  }
  if (state != 0 || !lock->state.compare_exchange_strong(state, mine, std::memory_order_acquire,
                                                         std::memory_order_relaxed))
    lockAcquireContended(lock, mine);
  lock->depth = 1;
}

int CriticalSection_TryEnter(CriticalSection *lock) {
  const uint32_t mine = lockMark() << 1;
  uint32_t state = lock->state.load(std::memory_order_relaxed);
  if ((state & ~1u) == mine) {
    lock->depth++;
    return 1;
  }
  if (state != 0 || !lock->state.compare_exchange_strong(state, mine, std::memory_order_acquire,
                                                         std::memory_order_relaxed))
    return 0;
  lock->depth = 1;
  return 1;
}

void CriticalSection_Leave(CriticalSection *lock) {
  if (--lock->depth > 0) return;
  if (lock->state.exchange(0, std::memory_order_release) & 1) lockWakeOne(lock);
}
