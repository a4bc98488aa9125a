// Signal on a pthread mutex and a condition variable; see core/signal.h.
#include "core/signal.h"

#include <pthread.h>

#include <cerrno>
#include <ctime>

#include "core/core.h"
#include "core/log.h"
#include "core/memory.h"

struct Signal {
  uint32_t autoReset;  // guarded by mutex; 0 until Signal_SetAutoReset
  uint32_t state;      // guarded by mutex; 1 while set
  pthread_mutex_t mutex;
  pthread_cond_t cond;  // waits on CLOCK_MONOTONIC
};

namespace {

constexpr int64_t kNsPerSecond = 1000000000;
constexpr int64_t kNsPerMs = 1000000;

// The absolute CLOCK_MONOTONIC time timeoutMs from now.
timespec signalDeadline(int32_t timeoutMs) {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  int64_t ns = int64_t(now.tv_nsec) + int64_t(timeoutMs % 1000) * kNsPerMs;
  timespec deadline;
  deadline.tv_sec = now.tv_sec + timeoutMs / 1000 + ns / kNsPerSecond;
  deadline.tv_nsec = long(ns % kNsPerSecond);
  return deadline;
}

// Creates the mutex and the condition variable; returns 0 or the first error.
// Nothing stays allocated on failure.
int signalInitPrimitives(Signal *signal) {
  int rc = pthread_mutex_init(&signal->mutex, nullptr);
  if (rc != 0) return rc;
  pthread_condattr_t attr;
  rc = pthread_condattr_init(&attr);
  if (rc == 0) {
    rc = pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    if (rc == 0) rc = pthread_cond_init(&signal->cond, &attr);
    pthread_condattr_destroy(&attr);
  }
  if (rc != 0) pthread_mutex_destroy(&signal->mutex);
  return rc;
}

// Waits under the mutex until the state is set or the wait ends. Returns 0
// when it is set, ETIMEDOUT, or the error of a failed wait.
int signalWaitLocked(Signal *signal, int32_t timeoutMs) {
  if (timeoutMs < 0) {
    while (signal->state == 0) {
      int rc = pthread_cond_wait(&signal->cond, &signal->mutex);
      if (rc != 0) return rc;
    }
    return 0;
  }
  if (signal->state != 0 || timeoutMs == 0) return signal->state != 0 ? 0 : ETIMEDOUT;
  timespec deadline = signalDeadline(timeoutMs);
  // Loop over spurious wake-ups and over sets that another auto-reset waiter
  // took first. A set that races the time-out still counts.
  while (signal->state == 0) {
    int rc = pthread_cond_timedwait(&signal->cond, &signal->mutex, &deadline);
    if (rc == ETIMEDOUT) return signal->state != 0 ? 0 : ETIMEDOUT;
    if (rc != 0) return rc;
  }
  return 0;
}

}  // namespace

int Signal_Create(Signal **signal) {
  CHECK_POINTER(signal);
  *signal = nullptr;
  auto *created = static_cast<Signal *>(Mem_Alloc(sizeof(Signal), MEM_ZEROED, KSRC));
  int rc = signalInitPrimitives(created);
  if (rc != 0) {
    Log_Print(LOG_ERROR, KSRC, 0, "Unable to create signal event (%d:%.8X)\n", rc, rc);
    Mem_Free(created, sizeof(Signal), KSRC);
    return 0;
  }
  *signal = created;
  return 1;
}

int Signal_SetAutoReset(Signal *signal) {
  CHECK_POINTER(signal);
  int rc = pthread_mutex_lock(&signal->mutex);
  if (rc != 0) Core_Abort(KSRC, "Unable to change signal type (%d:%.8X)\n", rc, rc);
  signal->autoReset = 1;
  pthread_mutex_unlock(&signal->mutex);
  return 1;
}

int Signal_Set(Signal *signal, int state, const char *sourcePath, int line) {
  Core_CheckPointer(signal, sourcePath, line);
  const int set = state == 1;
  int rc = pthread_mutex_lock(&signal->mutex);
  if (rc == 0) {
    signal->state = set ? 1 : 0;
    // An auto-reset set lets one waiter through; waking more would only send
    // the others back to sleep.
    if (set) rc = signal->autoReset ? pthread_cond_signal(&signal->cond)
                                    : pthread_cond_broadcast(&signal->cond);
    pthread_mutex_unlock(&signal->mutex);
  }
  if (rc != 0) {
    Log_Print(LOG_ERROR, sourcePath, line, 0,
              set ? "Unable to set signal event (%d:%.8X)\n"
                  : "Unable to reset signal event (%d:%.8X)\n",
              rc, rc);
    return 0;
  }
  return 1;
}

int Signal_Wait(Signal *signal, int *signalled, int32_t timeoutMs, const char *sourcePath,
                int line) {
  Core_CheckPointer(signal, sourcePath, line);
  if (signalled != nullptr) *signalled = 0;
  int rc = pthread_mutex_lock(&signal->mutex);
  if (rc == 0) {
    rc = signalWaitLocked(signal, timeoutMs);
    if (rc == 0 && signal->autoReset) signal->state = 0;
    pthread_mutex_unlock(&signal->mutex);
  }
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
  pthread_cond_destroy(&released->cond);
  pthread_mutex_destroy(&released->mutex);
  Mem_Free(released, sizeof(Signal), KSRC);
  return 1;
}
