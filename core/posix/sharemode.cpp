// Share modes on open-file-description locks; see sharemode.h.
#include "core/posix/sharemode.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include "core/runtime/log.h"
#include "core/platform/platform.h"
#include "core/posix/errors.h"

namespace {

// Bits of a four-byte mask, one per sentinel byte.
constexpr unsigned kShareByteReadAccess = 0x1;
constexpr unsigned kShareByteWriteAccess = 0x2;
constexpr unsigned kShareByteDenyRead = 0x4;
constexpr unsigned kShareByteDenyWrite = 0x8;
constexpr int kShareByteCount = 4;

// Companions are found by their write-only descriptor's number. Descriptors
// beyond the table open without share modes (invariant 3); the default
// descriptor limit is 1024.
constexpr int kShareModeTableSize = 65536;

// A write-only descriptor's companion and the file both stand for, so that
// a companion number taken over by another file is never closed.
struct ShareModeCompanion {
  int plusOne;  // the companion descriptor + 1; 0: none
  uint64_t device;
  uint64_t inode;
};

std::mutex gShareTableLock;
ShareModeCompanion gCompanions[kShareModeTableSize];  // guarded by gShareTableLock

// Runs one lock command over each run of adjacent bytes of mask. For
// F_OFD_GETLK, *conflict tells whether a lock of another description was
// found. 1, or 0 with errno set.
int shareModeLockRuns(int fd, int command, short type, unsigned mask, bool *conflict) {
  for (int first = 0; first < kShareByteCount;) {
    if (!(mask & (1u << first))) {
      first++;
      continue;
    }
    int end = first;
    while (end < kShareByteCount && (mask & (1u << end))) end++;
    struct flock lock;
    memset(&lock, 0, sizeof lock);
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = off_t(kShareModeLockBase + first);
    lock.l_len = end - first;
    int rc;
    do rc = fcntl(fd, command, &lock);
    while (rc != 0 && errno == EINTR);
    if (rc != 0) return 0;
    if (command == F_OFD_GETLK && lock.l_type != F_UNLCK) *conflict = true;
    first = end;
  }
  return 1;
}

bool shareModeIsFile(int fd, uint64_t device, uint64_t inode) {
  struct stat st;
  return fstat(fd, &st) == 0 && uint64_t(st.st_dev) == device && uint64_t(st.st_ino) == inode;
}

void shareModeNotEnforced(const char *path, int err) {
  Log_Print(LOG_WARNING, KSRC, 0, "Share modes not enforced on [%s] (errno %d)\n", path, err);
}

// A read-only descriptor of the file behind the write-only fd, or -1.
int shareModeOpenCompanion(int fd, const char *path, uint64_t device, uint64_t inode) {
  if (fd >= kShareModeTableSize) {
    shareModeNotEnforced(path, EMFILE);
    return -1;
  }
  int companion;
  do companion = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  while (companion < 0 && errno == EINTR);
  if (companion < 0) {
    shareModeNotEnforced(path, errno);
    return -1;
  }
  // The name may have been given to another file since fd was opened.
  if (!shareModeIsFile(companion, device, inode)) {
    close(companion);
    shareModeNotEnforced(path, ESTALE);
    return -1;
  }
  return companion;
}

}  // namespace

int ShareMode_Acquire(int fd, const char *path, int openFlags, int shareFlags, uint64_t device,
                      uint64_t inode) {
  int access = openFlags & O_ACCMODE;
  bool reads = access == O_RDONLY || access == O_RDWR;
  bool writes = access == O_WRONLY || access == O_RDWR;
  bool denyRead = !(shareFlags & kPlatformShareRead);
  bool denyWrite = !(shareFlags & kPlatformShareWrite);
  unsigned held = (reads ? kShareByteReadAccess : 0) | (writes ? kShareByteWriteAccess : 0) |
                  (denyRead ? kShareByteDenyRead : 0) | (denyWrite ? kShareByteDenyWrite : 0);
  // My access meets their denial, my denial their access.
  unsigned opposite = (reads ? kShareByteDenyRead : 0) | (writes ? kShareByteDenyWrite : 0) |
                      (denyRead ? kShareByteReadAccess : 0) |
                      (denyWrite ? kShareByteWriteAccess : 0);

  int lockFd = fd;
  if (!reads) {
    lockFd = shareModeOpenCompanion(fd, path, device, inode);
    if (lockFd < 0) return 1;
  }
  bool conflict = false;
  if (!shareModeLockRuns(lockFd, F_OFD_SETLK, F_RDLCK, held, &conflict) ||
      !shareModeLockRuns(lockFd, F_OFD_GETLK, F_WRLCK, opposite, &conflict)) {
    int err = errno;
    // A write lock on a sentinel byte is none of ours: treat it as a holder.
    if (err == EAGAIN || err == EACCES) {
      conflict = true;
    } else {
      // No lock support here: drop what was taken and go on without.
      shareModeLockRuns(lockFd, F_OFD_SETLK, F_UNLCK, held, &conflict);
      if (lockFd != fd) close(lockFd);
      shareModeNotEnforced(path, err);
      return 1;
    }
  }
  if (conflict) {
    shareModeLockRuns(lockFd, F_OFD_SETLK, F_UNLCK, held, &conflict);
    if (lockFd != fd) close(lockFd);
    return POSIX_FAIL_CODE(kPlatformErrorSharingViolation, 0, "share mode", path);
  }
  if (fd < kShareModeTableSize) {
    std::lock_guard<std::mutex> guard(gShareTableLock);
    // An entry left by a descriptor that was closed without
    // Platform_CloseFile is dropped, not closed: its number may be in other
    // use by now.
    gCompanions[fd] = {lockFd != fd ? lockFd + 1 : 0, device, inode};
  }
  return 1;
}

void ShareMode_Release(int fd) {
  if (fd < 0 || fd >= kShareModeTableSize) return;
  ShareModeCompanion entry;
  {
    std::lock_guard<std::mutex> guard(gShareTableLock);
    entry = gCompanions[fd];
    gCompanions[fd].plusOne = 0;
  }
  int companion = entry.plusOne - 1;
  if (companion >= 0 && shareModeIsFile(companion, entry.device, entry.inode)) close(companion);
}
