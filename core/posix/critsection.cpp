// CriticalSection on a recursive pthread mutex; see core/critsection.h.
#include "core/critsection.h"

#include <pthread.h>

#include "core/core.h"
#include "core/memory.h"

struct CriticalSection {
  uint32_t tag;
  pthread_mutex_t mutex;
};

int CriticalSection_Create(CriticalSection **lock) {
  if (lock == nullptr) return 0;
  auto *cs = static_cast<CriticalSection *>(Mem_Alloc(sizeof(CriticalSection), MEM_ZEROED, KSRC));
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  int rc = pthread_mutex_init(&cs->mutex, &attr);
  pthread_mutexattr_destroy(&attr);
  if (rc != 0) Core_Abort(KSRC, "Unable to create critical section (%d)\n", rc);
  cs->tag = kCriticalSectionTag;
  *lock = cs;
  return 1;
}

int CriticalSection_Delete(CriticalSection **lock) {
  if (lock == nullptr || *lock == nullptr || (*lock)->tag != kCriticalSectionTag) return 0;
  CriticalSection *cs = *lock;
  *lock = nullptr;
  pthread_mutex_destroy(&cs->mutex);
  cs->tag = 0;
  Mem_Free(cs, sizeof(CriticalSection), KSRC);
  return 1;
}

void CriticalSection_Enter(CriticalSection *lock) { pthread_mutex_lock(&lock->mutex); }

void CriticalSection_Leave(CriticalSection *lock) { pthread_mutex_unlock(&lock->mutex); }
