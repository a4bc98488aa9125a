// Signal on one futex word; see core/runtime/signal.h.
//
// The word holds the state in bit 0 and the number of sleeping waiters above
// it. A set is one atomic OR; it touches the signal's memory no more after
// that, so a waiter that sees the set may release the signal at once. The
// wake that follows names only the word's address: waking an address whose
// memory has been freed (or reused) is at worst a spurious wake-up, which
// every futex waiter tolerates.
//
// A thread that is set again soon after each wait (a loop answering another
// thread, the main loop pumping with short timed waits) first watches the
// word for a moment before it sleeps. On a virtual machine whose idle CPUs
// halt, waking a sleeper on an idle CPU costs the hypervisor's wake-up of
// that CPU, some 25 us each way; a set that comes while the waiter still
// watches needs no wake-up at all. Whether a thread watches is decided by
// its last wait: ended by a set within kSignalWatchAfterNs of its start,
// made from another CPU than the one the waiter then ran on. A setter on the
// waiter's own CPU means the scheduler keeps the pair on one CPU (it does
// when the others are busy): there a watch would only hold the CPU the
// setter needs, so the pair would take turns at spinning out the watch. A
// thread whose waits time out, or are set only now and then, never watches,
// so an idle loop burns no time.
#include "core/runtime/signal.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif
#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <ctime>

#include "core/posix/futex.h"
#include "core/runtime/core.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"

struct Signal {
  std::atomic<uint32_t> word;  // bit 0: set; bits 1..: sleeping waiters
  std::atomic<uint32_t> autoReset;
  std::atomic<int32_t> setterCpu;  // the CPU of the last set; a hint, written before the set
};

namespace {

constexpr uint32_t kSignalSet = 1;
constexpr uint32_t kSignalWaiter = 2;
constexpr int64_t kNsPerSecond = 1000000000;
constexpr int64_t kNsPerMs = 1000000;
constexpr int64_t kSignalWatchNs = 20000;        // how long a wait watches before it sleeps
constexpr int64_t kSignalWatchAfterNs = 200000;  // a set this soon after a wait: watch next time
// A watch looks at the word after this many pause instructions. A look is a
// load of a line that only a set writes; a pause is tens of cycles (more on
// some processors), so 8 of them see a set within a fraction of a
// microsecond, where 64 made the watch itself most of a handover's time.
constexpr int kSignalWatchPauses = 8;

// The calling thread's last wait ended by a set soon after it began.
thread_local bool tSignalWatch = false;

inline void signalPause() {
#if defined(__x86_64__) || defined(__i386__)
  _mm_pause();
#else
  asm volatile("" ::: "memory");
#endif
}

int64_t signalNowNs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t(now.tv_sec) * kNsPerSecond + now.tv_nsec;
}

// Takes the set when it is there: an auto-reset signal consumes it (and,
// with leaving, the caller's waiter count in the same step). 1 when taken.
int signalTake(Signal *signal, bool leaving) {
  const uint32_t waiter = leaving ? kSignalWaiter : 0;
  uint32_t value = signal->word.load(std::memory_order_acquire);
  for (;;) {
    if ((value & kSignalSet) == 0) return 0;
    uint32_t next = value - waiter;
    if (signal->autoReset.load(std::memory_order_relaxed)) next &= ~kSignalSet;
    if (next == value) return 1;
    if (signal->word.compare_exchange_weak(value, next, std::memory_order_acq_rel,
                                           std::memory_order_acquire))
      return 1;
  }
}

int signalSleep(Signal *signal, int32_t timeoutMs, int64_t startNs);

// 1 when the set just taken was made on another CPU than the caller runs on
// (or either is unknown). Read after the take, whose acquire orders it after
// the setter's write.
bool signalSetElsewhere(Signal *signal) {
  const int32_t setter = signal->setterCpu.load(std::memory_order_relaxed);
  return setter < 0 || setter != sched_getcpu();
}

// Waits for the set; 0 when taken, ETIMEDOUT, or the error of a failed wait.
int signalWait(Signal *signal, int32_t timeoutMs) {
  if (signalTake(signal, false)) return 0;
  if (timeoutMs == 0) return ETIMEDOUT;
  const int64_t start = signalNowNs();
  if (tSignalWatch) {
    const int64_t until = start + kSignalWatchNs;
    do {
      for (int i = 0; i < kSignalWatchPauses; i++) signalPause();
      if (signalTake(signal, false)) {
        tSignalWatch = signalSetElsewhere(signal);
        return 0;
      }
    } while (signalNowNs() < until);
  }
  int rc = signalSleep(signal, timeoutMs, start);
  tSignalWatch =
      rc == 0 && signalNowNs() - start <= kSignalWatchAfterNs && signalSetElsewhere(signal);
  return rc;
}

// The sleeping part of signalWait; the time-out counts from startNs.
int signalSleep(Signal *signal, int32_t timeoutMs, int64_t startNs) {
  timespec deadline;
  const timespec *limit = nullptr;
  if (timeoutMs > 0) {
    const int64_t at = startNs + int64_t(timeoutMs) * kNsPerMs;
    deadline.tv_sec = time_t(at / kNsPerSecond);
    deadline.tv_nsec = long(at % kNsPerSecond);
    limit = &deadline;
  }
  uint32_t value = signal->word.fetch_add(kSignalWaiter, std::memory_order_acq_rel) + kSignalWaiter;
  // Loop over spurious wake-ups and over sets that another auto-reset waiter
  // took first. A set that races the time-out still counts.
  for (;;) {
    if (signalTake(signal, true)) return 0;
    value = signal->word.load(std::memory_order_acquire);
    if ((value & kSignalSet) != 0) continue;
    int rc = Futex_Wait(&signal->word, value, limit);
    if (rc != 0) {
      if (signalTake(signal, true)) return 0;
      signal->word.fetch_sub(kSignalWaiter, std::memory_order_acq_rel);
      return rc;
    }
  }
}

}  // namespace

int Signal_Create(Signal **signal) {
  CHECK_POINTER(signal);
  auto *created = static_cast<Signal *>(Mem_Alloc(sizeof(Signal), MEM_ZEROED, KSRC));
  new (created) Signal{};
  *signal = created;
  return 1;
}

int Signal_SetAutoReset(Signal *signal) {
  CHECK_POINTER(signal);
  signal->autoReset.store(1, std::memory_order_relaxed);
  return 1;
}

int Signal_Set(Signal *signal, int state, const char *sourcePath, int line) {
  Core_CheckPointer(signal, sourcePath, line);
  if (state != 1) {
    signal->word.fetch_and(~kSignalSet, std::memory_order_acq_rel);
    return 1;
  }
  // Read the kind before the set: once the set is visible a waiter may
  // release the signal.
  const bool autoReset = signal->autoReset.load(std::memory_order_relaxed) != 0;
  signal->setterCpu.store(sched_getcpu(), std::memory_order_relaxed);
  uint32_t before = signal->word.fetch_or(kSignalSet, std::memory_order_acq_rel);
  // An auto-reset set lets one waiter through; waking more would only send
  // the others back to sleep.
  if (before >= kSignalWaiter) Futex_Wake(&signal->word, autoReset ? 1 : INT_MAX);
  return 1;
}

int Signal_Wait(Signal *signal, int *signalled, int32_t timeoutMs, const char *sourcePath,
                int line) {
  Core_CheckPointer(signal, sourcePath, line);
  if (signalled != nullptr) *signalled = 0;
  int rc = signalWait(signal, timeoutMs);
  if (rc == 0) {
    if (signalled != nullptr) *signalled = 1;
    return 1;
  }
  if (timeoutMs < 0) Core_Abort(sourcePath, line, "Unable to get signal (%d 0x%.8X)\n", rc, rc);
  return rc == ETIMEDOUT ? 1 : 0;
}

int Signal_Release(Signal **signal) {
  if (signal == nullptr || *signal == nullptr) Core_Abort(KSRC, "Pointer is NULL\n");
  Signal *released = *signal;
  *signal = nullptr;
  released->~Signal();
  Mem_Free(released, sizeof(Signal), KSRC);
  return 1;
}
