// Private files with open(2) and checks on the open descriptor; see
// core/platform/privatefile.h.
#include "core/platform/privatefile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/platform/platform.h"
#include "core/platform/trustedpath.h"
#include "core/posix/errors.h"
#include "core/posix/nolinks.h"
#include "core/runtime/core.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"

namespace {

// Whether the open file is one nobody but its owner may touch, owned by the
// effective user (or, with rootOwns, by root); 0 with a WARNING line naming
// the fault otherwise.
int privateFileCheck(int fd, const char *path, bool rootOwns, struct stat *st) {
  if (fstat(fd, st) != 0) return POSIX_FAIL("fstat", path);
  const char *fault = !S_ISREG(st->st_mode)                             ? "not a regular file"
                      : st->st_uid != geteuid() && !(rootOwns && st->st_uid == 0)
                          ? "owned by another user"
                      : (st->st_mode & 077) != 0 ? "open to group or others"
                                                  : nullptr;
  if (fault == nullptr) return 1;
  Log_Print(LOG_WARNING, KSRC, 0, "Private file %s is %s (uid %u, mode %03o): refused\n", path,
            fault, unsigned(st->st_uid), unsigned(st->st_mode & 0777));
  return POSIX_FAIL_CODE(kPlatformErrorAccessDenied, EACCES, "private file", path);
}

// open(2) without following a link at path's end (wholePath: anywhere on
// it); -1 with the failure recorded (a link is 5).
int privateFileOpen(const char *path, int flags, mode_t mode, bool wholePath) {
  int fd;
  do fd = wholePath ? FsPath_OpenNoLinks(path, flags | O_NONBLOCK, mode)
                    : open(path, flags | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, mode);
  while (fd < 0 && errno == EINTR);
  if (fd >= 0) return fd;
  if (errno == ELOOP) POSIX_FAIL_CODE(kPlatformErrorAccessDenied, ELOOP, "open", path);
  else POSIX_FAIL("open", path);
  return -1;
}

}  // namespace

int PrivateFile_AppendLine(const char *path, const char *text, int32_t length) {
  CHECK_POINTER(path);
  CHECK_POINTER(text);
  if (length < 0) return 0;
  // Created where the caller named, never in a directory a planted link
  // names.
  int fd = privateFileOpen(path, O_WRONLY | O_APPEND | O_CREAT, 0600, true);
  if (fd < 0) return 0;
  struct stat st;
  if (!privateFileCheck(fd, path, false, &st)) {
    close(fd);
    return 0;
  }
  ssize_t written;
  do written = write(fd, text, size_t(length));
  while (written < 0 && errno == EINTR);
  close(fd);
  return written == ssize_t(length) ? 1 : 0;
}

int PrivateFile_OpenAppend(const char *path, int replace, int *fd) {
  CHECK_POINTER(path);
  CHECK_POINTER(fd);
  *fd = -1;
  for (int attempt = 0; attempt < 2; attempt++) {
    // The directory is the local metafile's, judged with it: only the last
    // component is never followed.
    int opened = privateFileOpen(path, O_WRONLY | O_APPEND | O_CREAT, 0600, false);
    struct stat st;
    if (opened >= 0 && privateFileCheck(opened, path, false, &st)) {
      *fd = opened;
      return 1;
    }
    int error = Platform_GetLastError(), err = Platform_GetLastErrno();
    if (opened >= 0) close(opened);
    // A link at the name (ELOOP) or a file that fails the check goes.
    bool refused = error == kPlatformErrorAccessDenied && (err == EACCES || err == ELOOP);
    if (!replace || attempt > 0 || !refused || !PrivateFile_Remove(path)) {
      Platform_SetLastError(error);
      return 0;
    }
  }
  return 0;
}

int PrivateFile_Write(int fd, const char *path, const char *text, int32_t length) {
  CHECK_POINTER(text);
  ssize_t written;
  do written = write(fd, text, size_t(length));
  while (written < 0 && errno == EINTR);
  if (written < 0) return POSIX_FAIL("write", path);
  if (written != ssize_t(length))
    return POSIX_FAIL_CODE(kPlatformErrorIo, EIO, "write", path);
  return 1;
}

int PrivateFile_Sync(int fd, const char *path) {
  return fdatasync(fd) == 0 ? 1 : POSIX_FAIL("fdatasync", path);
}

void PrivateFile_Close(int *fd) {
  CHECK_POINTER(fd);
  if (*fd >= 0) close(*fd);
  *fd = -1;
}

int PrivateFile_Remove(const char *path) {
  CHECK_POINTER(path);
  if (unlink(path) == 0 || errno == ENOENT) return 1;
  return POSIX_FAIL("unlink", path);
}

int PrivateFile_Read(const char *path, int32_t maxBytes, char **text, int32_t *length) {
  CHECK_POINTER(path);
  CHECK_POINTER(text);
  CHECK_POINTER(length);
  *text = nullptr;
  *length = 0;
  // Walked from "/": another user's link or directory on the way could
  // otherwise hand over a file of that user's choosing.
  TrustedPathRefusal refusal;
  int fd = TrustedPath_Open(path, kTrustedPathOpenNoLastLink, &refusal);
  if (fd < 0 && refusal.entry[0] != '\0')
    Log_Print(LOG_WARNING, KSRC, 0, "Private file %s: %s: %s: refused\n", path, refusal.entry,
              refusal.rule);
  if (fd < 0) return 0;
  struct stat st;
  int ok = privateFileCheck(fd, path, true, &st);
  if (ok && st.st_size > maxBytes)
    ok = POSIX_FAIL_CODE(kPlatformErrorBadFormat, EFBIG, "size", path);
  if (ok) ok = PrivateFile_ReadOpen(fd, path, st.st_size, text, length);
  close(fd);
  return ok;
}

int PrivateFile_ReadOpen(int fd, const char *path, int64_t size, char **text, int32_t *length) {
  CHECK_POINTER(text);
  CHECK_POINTER(length);
  *text = nullptr;
  *length = 0;
  // The block holds one byte more than the status said, so a file that grew
  // meanwhile is seen as too long instead of being cut.
  auto capacity = size_t(size) + 1;
  auto *block = static_cast<char *>(MEM_ALLOC(capacity + 1, MEM_ZEROED));
  size_t got = 0;
  int ok = 1;
  while (ok && got < capacity) {
    ssize_t n = read(fd, block + got, capacity - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ok = POSIX_FAIL("read", path);
    else if (n == 0) break;  // shrank meanwhile: what is there
    else got += size_t(n);
  }
  if (ok && got == capacity) ok = POSIX_FAIL_CODE(kPlatformErrorBadFormat, EFBIG, "size", path);
  if (ok) {
    *text = static_cast<char *>(MEM_ALLOC(got + 1, MEM_ZEROED));
    memcpy(*text, block, got);
    *length = int32_t(got);
  }
  explicit_bzero(block, capacity);
  MEM_FREE(block, capacity + 1);
  return ok;
}
