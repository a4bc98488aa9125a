// Futex: the kernel's wait and wake on one 32-bit word of this process, for
// the locks, signals and the I/O pool's hand-offs that sleep on their own
// word.
//
// Threads: any thread; neither allocates nor logs.
#pragma once

#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>

// Sleeps while the word still holds expected, until deadline, an absolute
// time on the monotonic clock (NULL: no limit). 0 on a wake-up (real or
// spurious) or a changed word, else errno (ETIMEDOUT once the deadline
// passed).
inline int Futex_Wait(std::atomic<uint32_t> *word, uint32_t expected, const timespec *deadline) {
  // FUTEX_WAIT_BITSET takes an absolute time, so a wait resumed after a
  // spurious wake-up does not stretch its time-out.
  long rc = syscall(SYS_futex, reinterpret_cast<uint32_t *>(word),
                    FUTEX_WAIT_BITSET | FUTEX_PRIVATE_FLAG, expected, deadline, nullptr,
                    FUTEX_BITSET_MATCH_ANY);
  if (rc == 0) return 0;
  return errno == EAGAIN || errno == EINTR ? 0 : errno;
}

// Wakes up to count sleepers on the word. A wake of a word no longer waited
// on is at worst a spurious wake-up elsewhere, which every waiter tolerates.
inline void Futex_Wake(std::atomic<uint32_t> *word, int count) {
  syscall(SYS_futex, reinterpret_cast<uint32_t *>(word), FUTEX_WAKE | FUTEX_PRIVATE_FLAG, count,
          nullptr, nullptr, 0);
}
