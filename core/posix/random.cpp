// Random bytes from getrandom(2); see core/platform/platform.h.
#include <sys/random.h>

#include <cerrno>

#include "core/runtime/core.h"
#include "core/platform/platform.h"

int Platform_RandomBytes(void *buffer, size_t size) {
  CHECK_POINTER(buffer);
  auto *out = static_cast<unsigned char *>(buffer);
  size_t filled = 0;
  // Large requests come back in parts; a signal interrupts with EINTR. Keys and
  // ids must never be built from a partly filled buffer.
  while (filled < size) {
    ssize_t got = getrandom(out + filled, size - filled, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      Core_Abort(KSRC, "Unable to read random bytes (errno %d)\n", errno);
    }
    filled += size_t(got);
  }
  return 1;
}
