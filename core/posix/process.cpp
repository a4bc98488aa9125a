// Process and thread identity and plain sleeping; see core/platform.h.
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include "core/platform.h"

uint32_t Platform_GetProcessId(void) { return uint32_t(getpid()); }

uint32_t Platform_GetThreadId(void) { return uint32_t(syscall(SYS_gettid)); }

void Platform_SleepMs(uint32_t milliseconds) {
  timespec left{time_t(milliseconds / 1000), long(milliseconds % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}
