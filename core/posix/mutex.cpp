// Named locks over flock(2); see core/platform/mutex.h.
#include "core/platform/mutex.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "core/runtime/core.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/platform/platform.h"
#include "core/posix/desktopuser.h"
#include "core/posix/errors.h"
#include "core/posix/runpath.h"
#include "core/runtime/str.h"

namespace {

constexpr const char *kLocalPrefix = "Local\\";
constexpr const char *kLockSuffix = ".lock";

}  // namespace

struct Mutex {
  uint32_t tag;  // kMutexTag
  int fd;        // the lock file, open for the object's life
  int held;      // 1 while this object holds the lock
};

namespace {

void mutexCheck(const Mutex *mutex, const char *sourcePath, int line) {
  if (mutex == nullptr) Core_Abort(sourcePath, line, "Pointer is NULL\n");
  if (mutex->tag != kMutexTag)
    Core_Abort(sourcePath, line, "Class mismatch pointer (0x%p: expected 0x%08x but was 0x%08x)\n",
               mutex, kMutexTag, mutex->tag);
}

// One try; 1 taken, 0 held by another, -1 failed.
int mutexTry(Mutex *mutex, int operation) {
  int rc;
  do rc = flock(mutex->fd, operation);
  while (rc != 0 && errno == EINTR && (operation & LOCK_NB) == 0);
  if (rc == 0) return 1;
  if (errno == EWOULDBLOCK || errno == EINTR) return 0;
  POSIX_FAIL("flock", nullptr);
  return -1;
}

}  // namespace

int Mutex_Create(Mutex **mutex, const char *name) {
  CHECK_POINTER(mutex);
  CHECK_POINTER(name);
  *mutex = nullptr;
  const char *bare = Str_StartsWith(name, kLocalPrefix) ? name + 6 : name;
  char path[kPathMax];
  uint32_t uid = 0;
  int fd = -1;
  if (RunPath_Get(bare, kLockSuffix, path, sizeof path, &uid)) {
    // The file belongs to the user whose run directory holds it.
    FsIdentityScope identity(uid);
    do fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) POSIX_FAIL("open", path);
    // A lock file someone else put there would let its owner hold the lock.
    struct stat status = {};
    if (fd >= 0 && (fstat(fd, &status) != 0 || status.st_uid != uid)) {
      Log_Print(LOG_ERROR, KSRC, 0, "Lock file %s belongs to uid %u, not %u: refused\n", path,
                uint32_t(status.st_uid), uid);
      POSIX_FAIL_CODE(kPlatformErrorAccessDenied, EPERM, "Mutex owner", path);
      close(fd);
      fd = -1;
    }
  }
  if (fd < 0) {
    Log_Print(LOG_ERROR, KSRC, 0, "Unable to create mutex (%s) [LE: %d]\n", name,
              Platform_GetLastError());
    return 0;
  }
  auto *record = static_cast<Mutex *>(MEM_ALLOC(sizeof(Mutex), MEM_ZEROED));
  record->tag = kMutexTag;
  record->fd = fd;
  *mutex = record;
  return 1;
}

int Mutex_Delete(Mutex **mutex) {
  CHECK_POINTER(mutex);
  Mutex *record = *mutex;
  if (record == nullptr) return 0;
  mutexCheck(record, KSRC);
  *mutex = nullptr;
  // Closing the only descriptor of the open file drops its lock.
  close(record->fd);
  record->tag = 0;
  MEM_FREE(record, sizeof(Mutex));
  return 1;
}

int Mutex_Wait(Mutex *mutex, int32_t timeoutMs) {
  mutexCheck(mutex, KSRC);
  if (mutex->held) return 1;
  int got;
  if (timeoutMs < 0) {
    got = mutexTry(mutex, LOCK_EX);
  } else {
    double deadline = Platform_GetTickSeconds() + timeoutMs / 1000.0;
    while ((got = mutexTry(mutex, LOCK_EX | LOCK_NB)) == 0) {
      double left = deadline - Platform_GetTickSeconds();
      if (left <= 0) break;
      int32_t pause = left * 1000.0 < kMutexPollMs ? int32_t(left * 1000.0) + 1 : kMutexPollMs;
      Platform_SleepMs(uint32_t(pause));
    }
    if (got == 0) POSIX_FAIL_CODE(kPlatformErrorTimeout, EWOULDBLOCK, "flock", nullptr);
  }
  mutex->held = got == 1;
  return mutex->held;
}

int Mutex_Release(Mutex *mutex) {
  mutexCheck(mutex, KSRC);
  if (!mutex->held) return 0;
  mutex->held = 0;
  if (flock(mutex->fd, LOCK_UN) != 0) return POSIX_FAIL("flock", nullptr);
  return 1;
}
