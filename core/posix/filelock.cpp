// A lock file beside the data it guards, held with flock(2); see
// core/platform/platform.h (Platform_LockFile).
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/platform/platform.h"
#include "core/posix/desktopuser.h"
#include "core/posix/errors.h"
#include "core/posix/nolinks.h"
#include "core/runtime/core.h"
#include "core/runtime/log.h"

namespace {

// The id the holder wrote: digits and a newline; 0 while it has written none.
int32_t fileLockHolder(int fd) {
  char text[24] = {};
  ssize_t n;
  do n = pread(fd, text, sizeof text - 1, 0);
  while (n < 0 && errno == EINTR);
  if (n <= 0) return 0;
  text[n] = '\0';
  char *end = nullptr;
  long pid = strtol(text, &end, 10);
  return end != text && pid > 0 && pid <= INT32_MAX ? int32_t(pid) : 0;
}

// Our id in place of whatever the last holder left: only once the lock is
// ours, so another's file is never cut while it holds it.
void fileLockWritePid(int fd) {
  char text[24];
  int length = snprintf(text, sizeof text, "%d\n", int(getpid()));
  if (ftruncate(fd, 0) != 0 || pwrite(fd, text, size_t(length), 0) != length)
    POSIX_FAIL("write", "lock file");
}

// A file at the lock's name that is not the effective user's alone (a link,
// a FIFO, another user's file, one group or others may write) is removed,
// when lstat still finds the entry that was judged, so that the next open
// makes it anew. 1 when removed; 0 with the last error set.
int fileLockRemovePlant(const char *path, const struct stat *judged, const char *what) {
  struct stat now = {};
  if (lstat(path, &now) != 0) return POSIX_FAIL("lstat", path);
  if (judged != nullptr && (now.st_dev != judged->st_dev || now.st_ino != judged->st_ino))
    return POSIX_FAIL_CODE(kPlatformErrorAccessDenied, EPERM, "lock owner", path);
  if (judged == nullptr && !S_ISLNK(now.st_mode))
    return POSIX_FAIL_CODE(kPlatformErrorAccessDenied, EPERM, "lock owner", path);
  if (unlink(path) != 0) {
    Log_Print(LOG_ERROR, KSRC, 0, "Lock file %s is %s and cannot be removed: %s\n", path, what,
              strerror(errno));
    return POSIX_FAIL_CODE(kPlatformErrorAccessDenied, EPERM, "lock owner", path);
  }
  Log_Print(LOG_WARNING, KSRC, 0, "Lock file %s was %s (user %u, mode %o): made anew\n", path,
            what, uint32_t(now.st_uid), unsigned(now.st_mode & 07777));
  return 1;
}

// The directory of the effective user's installation locks,
// <home>/.local/state/keelson/locks with the home the password database
// names: no variable of the environment or login session moves it, so a
// run from cron and one from a terminal meet there, and no other user can
// make any part of it first. Made 0700 when missing; the descriptor, or -1
// with the failure recorded (and an ERROR line for a directory not the
// user's alone).
int fileLockInstallationDirectory() {
  uint32_t uid = uint32_t(geteuid());
  DesktopUserAccount account;
  if (!DesktopUser_ReadAccount(uid, &account) || account.home[0] != '/') {
    Log_Print(LOG_ERROR, KSRC, 0, "No place for installation locks: uid %u has no home\n", uid);
    return POSIX_FAIL_CODE(kPlatformErrorPathNotFound, ENOENT, "lock home", nullptr) - 1;
  }
  int home = FsDirectory_OpenNoLinks(account.home, 0, 0);
  if (home < 0) return -1;
  struct stat status = {};
  bool trusted = fstat(home, &status) == 0 && (status.st_uid == uid || status.st_uid == 0) &&
                 (status.st_mode & 022) == 0;
  close(home);
  if (!trusted) {
    Log_Print(LOG_ERROR, KSRC, 0, "Home %s (uid %u, mode %04o) may be changed by another user: "
              "no installation lock is kept there\n", account.home, uint32_t(status.st_uid),
              unsigned(status.st_mode & 07777));
    return POSIX_FAIL_CODE(kPlatformErrorAccessDenied, EPERM, "lock home", account.home) - 1;
  }
  char path[kPathMax + 32];
  snprintf(path, sizeof path, "%s/.local/state/keelson/locks", account.home);
  int directory = FsDirectory_OpenNoLinks(path, 4, 0700);
  if (directory < 0) return -1;
  if (fstat(directory, &status) != 0 || status.st_uid != uid) {
    Log_Print(LOG_ERROR, KSRC, 0, "Lock directory %s belongs to uid %u, not %u: refused\n", path,
              uint32_t(status.st_uid), uid);
    close(directory);
    return POSIX_FAIL_CODE(kPlatformErrorAccessDenied, EPERM, "lock owner", path) - 1;
  }
  if ((status.st_mode & 077) != 0 && fchmod(directory, 0700) != 0) {
    int ok = POSIX_FAIL("fchmod", path);
    close(directory);
    return ok - 1;
  }
  return directory;
}

}  // namespace

int Platform_LockFile(const char *path, int *fd, int32_t *holderPid) {
  CHECK_POINTER(path);
  CHECK_POINTER(fd);
  CHECK_POINTER(holderPid);
  *fd = -1;
  *holderPid = 0;
  int lock = -1;
  struct stat status = {};
  // One plant is removed; what stands at the name after that is refused.
  for (int removed = 0;; removed++) {
    // No link is followed and a FIFO planted at the name cannot hold the open.
    do lock = open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    while (lock < 0 && errno == EINTR);
    if (lock < 0 && errno == ELOOP && removed == 0) {
      if (!fileLockRemovePlant(path, nullptr, "a link")) return 0;
      continue;
    }
    if (lock < 0) return POSIX_FAIL("open", path);
    if (fstat(lock, &status) != 0) {
      int ok = POSIX_FAIL("fstat", path);
      close(lock);
      return ok;
    }
    // Another user's file would let its owner hold the lock, or read or
    // change our id; so would one of ours that others may write.
    bool ours = S_ISREG(status.st_mode) && status.st_uid == geteuid();
    if (ours && (status.st_mode & 022) == 0) break;
    close(lock);
    const char *what = !S_ISREG(status.st_mode)   ? "not a regular file"
                       : status.st_uid != geteuid() ? "another user's"
                                                    : "writable by others";
    if (removed == 0 && fileLockRemovePlant(path, &status, what)) continue;
    if (removed != 0)
      POSIX_FAIL_CODE(kPlatformErrorAccessDenied, EPERM, "lock owner", path);
    Log_Print(LOG_ERROR, KSRC, 0, "Lock file %s is %s: refused\n", path, what);
    return 0;
  }
  // A file with another hard link is someone else's file too: taking it
  // would write our id over whatever the link's maker chose.
  if (status.st_nlink != 1) {
    Log_Print(LOG_ERROR, KSRC, 0, "Lock file %s has %u hard links: refused\n", path,
              uint32_t(status.st_nlink));
    close(lock);
    return POSIX_FAIL_CODE(kPlatformErrorAccessDenied, EMLINK, "lock links", path);
  }
  int rc;
  do rc = flock(lock, LOCK_EX | LOCK_NB);
  while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    int err = errno;
    if (err == EWOULDBLOCK) *holderPid = fileLockHolder(lock);
    close(lock);
    if (err == EWOULDBLOCK)
      return POSIX_FAIL_CODE(kPlatformErrorLockViolation, err, "flock", path);
    errno = err;
    return POSIX_FAIL("flock", path);
  }
  fileLockWritePid(lock);
  *fd = lock;
  return 1;
}

int Platform_UnlockFile(int fd) {
  if (fd < 0) return 0;
  // The id goes with the hold: a file left with it would name a process
  // long gone (or, later, another one) as the holder.
  if (ftruncate(fd, 0) != 0) POSIX_FAIL("ftruncate", "lock file");
  // Closing the only descriptor of the open file drops its lock; the file
  // stays, so a process that opened it meanwhile never locks a lost inode.
  if (close(fd) != 0 && errno != EINTR) return POSIX_FAIL("close", "lock file");
  return 1;
}

int Platform_LockInstallation(int directoryFd, int *fd, int32_t *holderPid, int *holderGone) {
  CHECK_POINTER(fd);
  CHECK_POINTER(holderPid);
  CHECK_POINTER(holderGone);
  *fd = -1;
  *holderPid = 0;
  *holderGone = 0;
  struct stat installation = {};
  if (fstat(directoryFd, &installation) != 0) return POSIX_FAIL("fstat", "installation directory");
  int directory = fileLockInstallationDirectory();
  if (directory < 0) return 0;
  char name[64];
  snprintf(name, sizeof name, "%llx-%llx.lock", static_cast<unsigned long long>(installation.st_dev),
           static_cast<unsigned long long>(installation.st_ino));
  int lock;
  do lock = openat(directory, name, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
  while (lock < 0 && errno == EINTR);
  int err = errno;
  close(directory);
  if (lock < 0) {
    errno = err;
    return POSIX_FAIL("open", name);
  }
  // Only we write the directory: anything else at the name is our own
  // leftover, which a lock must still not be taken on.
  struct stat status = {};
  if (fstat(lock, &status) != 0 || !S_ISREG(status.st_mode) || status.st_uid != geteuid() ||
      status.st_nlink != 1) {
    close(lock);
    Log_Print(LOG_ERROR, KSRC, 0, "Installation lock %s is not a file of ours alone: refused\n",
              name);
    return POSIX_FAIL_CODE(kPlatformErrorAccessDenied, EPERM, "lock owner", name);
  }
  int rc;
  do rc = flock(lock, LOCK_EX | LOCK_NB);
  while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    err = errno;
    if (err == EWOULDBLOCK) {
      *holderPid = fileLockHolder(lock);
      *holderGone = *holderPid > 0 && kill(*holderPid, 0) != 0 && errno == ESRCH ? 1 : 0;
    }
    close(lock);
    if (err == EWOULDBLOCK)
      return POSIX_FAIL_CODE(kPlatformErrorLockViolation, err, "flock", name);
    errno = err;
    return POSIX_FAIL("flock", name);
  }
  fileLockWritePid(lock);
  *fd = lock;
  return 1;
}
