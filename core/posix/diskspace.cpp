// Free space of the file system holding a path, asked of that path alone;
// see core/platform/platform.h.
#include <sys/statvfs.h>

#include <cerrno>
#include <cstdint>

#include "core/runtime/core.h"
#include "core/platform/platform.h"
#include "core/posix/errors.h"

int Platform_GetVolumeFreeBytes(const char *path, int64_t *freeBytes) {
  CHECK_POINTER(path);
  CHECK_POINTER(freeBytes);
  *freeBytes = 0;
  struct statvfs info;
  int result;
  do {
    result = statvfs(path, &info);
  } while (result != 0 && errno == EINTR);
  if (result != 0) return POSIX_FAIL("statvfs", path);
  uint64_t blocks = info.f_bavail;
  uint64_t blockSize = info.f_frsize ? info.f_frsize : info.f_bsize;
  if (blockSize != 0 && blocks > uint64_t(INT64_MAX) / blockSize)
    *freeBytes = INT64_MAX;
  else
    *freeBytes = int64_t(blocks * blockSize);
  return 1;
}
