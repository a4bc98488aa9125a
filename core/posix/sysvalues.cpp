// The program's own path, its rights and volume free space; see
// core/platform.h.
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdint>

#include "core/core.h"
#include "core/platform.h"

int Platform_GetModuleFileName(void *module, char *out, int size) {
  CHECK_POINTER(out);
  if (size < 1) return 0;
  out[0] = '\0';
  if (module != nullptr) return 0;
  ssize_t length = readlink("/proc/self/exe", out, size_t(size));
  // A link that fills the whole buffer may have been cut.
  if (length < 0 || length >= size) {
    out[0] = '\0';
    return 0;
  }
  out[length] = '\0';
  return 1;
}

int Platform_IsElevated(int *elevated) {
  CHECK_POINTER(elevated);
  *elevated = geteuid() == 0;
  return 1;
}

int Platform_GetVolumeFreeBytes(const char *path, int64_t *freeBytes) {
  CHECK_POINTER(path);
  CHECK_POINTER(freeBytes);
  *freeBytes = 0;
  struct statvfs info;
  if (statvfs(path, &info) != 0) return 0;
  uint64_t blocks = info.f_bavail;
  uint64_t blockSize = info.f_frsize;
  if (blockSize != 0 && blocks > uint64_t(INT64_MAX) / blockSize)
    *freeBytes = INT64_MAX;
  else
    *freeBytes = int64_t(blocks * blockSize);
  return 1;
}
