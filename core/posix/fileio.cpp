// Descriptor operations of the synchronous File on Linux system calls; see
// core/platform/platform.h.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "core/platform/platform.h"
#include "core/posix/errors.h"
#include "core/posix/sharemode.h"

static_assert(kPlatformOpenReadOnly == O_RDONLY && kPlatformOpenWriteOnly == O_WRONLY &&
              kPlatformOpenReadWrite == O_RDWR && kPlatformOpenCreate == O_CREAT);

int Platform_ReadFile(int fd, void *buffer, size_t size, size_t *count) {
  CHECK_POINTER(buffer);
  CHECK_POINTER(count);
  *count = 0;
  if (size > SSIZE_MAX) size = SSIZE_MAX;
  ssize_t n;
  do n = read(fd, buffer, size);
  while (n < 0 && errno == EINTR);
  if (n < 0) return POSIX_FAIL("read", nullptr);
  *count = size_t(n);
  return 1;
}

int Platform_ReadFileAt(int fd, int64_t offset, void *buffer, size_t size, size_t *count) {
  CHECK_POINTER(buffer);
  CHECK_POINTER(count);
  *count = 0;
  if (size > SSIZE_MAX) size = SSIZE_MAX;
  ssize_t n;
  do n = pread(fd, buffer, size, off_t(offset));
  while (n < 0 && errno == EINTR);
  if (n < 0) return POSIX_FAIL("pread", nullptr);
  *count = size_t(n);
  return 1;
}

int Platform_WriteFile(int fd, const void *data, size_t size, size_t *count) {
  CHECK_POINTER(data);
  CHECK_POINTER(count);
  *count = 0;
  const char *p = static_cast<const char *>(data);
  while (*count < size) {
    size_t left = size - *count;
    ssize_t n = write(fd, p + *count, left > SSIZE_MAX ? SSIZE_MAX : left);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return POSIX_FAIL("write", nullptr);
    // A write that takes nothing and names no error will not take more.
    if (n == 0) return POSIX_FAIL_CODE(kPlatformErrorDiskFull, 0, "write", nullptr);
    *count += size_t(n);
  }
  return 1;
}

int Platform_SeekFile(int fd, int64_t offset, int origin, int64_t *position) {
  if (position) *position = 0;
  int whence = origin == 0 ? SEEK_SET : origin == 1 ? SEEK_CUR : origin == 2 ? SEEK_END : -1;
  if (whence < 0) return POSIX_FAIL_CODE(kPlatformErrorInvalidParameter, EINVAL, "lseek", nullptr);
  off_t at = lseek(fd, off_t(offset), whence);
  if (at < 0) return POSIX_FAIL("lseek", nullptr);
  if (position) *position = int64_t(at);
  return 1;
}

int Platform_TruncateFile(int fd, int64_t length) {
  int rc;
  do rc = ftruncate(fd, off_t(length));
  while (rc != 0 && errno == EINTR);
  return rc == 0 ? 1 : POSIX_FAIL("ftruncate", nullptr);
}

int Platform_SyncFile(int fd) {
  int rc;
  do rc = fsync(fd);
  while (rc != 0 && errno == EINTR);
  return rc == 0 ? 1 : POSIX_FAIL("fsync", nullptr);
}

int Platform_GetFileInfo(int fd, int64_t *size, double *modifiedSeconds) {
  if (size) *size = 0;
  if (modifiedSeconds) *modifiedSeconds = 0;
  struct stat st;
  if (fstat(fd, &st) != 0) return POSIX_FAIL("fstat", nullptr);
  if (size) *size = int64_t(st.st_size);
  if (modifiedSeconds)
    *modifiedSeconds = double(st.st_mtim.tv_sec) + double(st.st_mtim.tv_nsec) / 1e9;
  return 1;
}

int Platform_CloseFile(int fd) {
  ShareMode_Release(fd);
  // Linux frees the descriptor before it reports an error, and EINTR too:
  // closing again could close a descriptor another thread has opened since.
  if (close(fd) == 0 || errno == EINTR) return 1;
  return POSIX_FAIL("close", nullptr);
}
