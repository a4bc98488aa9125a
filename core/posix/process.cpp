// Process and thread identity, privilege questions and plain sleeping; see
// core/platform/platform.h.
#include <fcntl.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "core/runtime/core.h"
#include "core/platform/platform.h"
#include "core/posix/errors.h"
#include "core/runtime/print.h"
#include "core/runtime/str.h"

namespace {

// /proc/<pid>/stat is one line; the command name in it is at most 16 bytes,
// so the fields up to the parent pid fit easily.
constexpr int kProcStatBytes = 512;

}  // namespace

uint32_t Platform_GetProcessId(void) { return uint32_t(getpid()); }

uint32_t Platform_GetEffectiveUserId(void) { return uint32_t(geteuid()); }

// Asked of the system once per thread: posting an event asks it every time.
// A child of this process starts a program at once (posix_spawn), so no copy
// of the cache outlives its thread.
uint32_t Platform_GetThreadId(void) {
  static thread_local uint32_t tThreadId = 0;
  if (tThreadId == 0) tThreadId = uint32_t(syscall(SYS_gettid));
  return tThreadId;
}

void Platform_SleepMs(uint32_t milliseconds) {
  timespec left{time_t(milliseconds / 1000), long(milliseconds % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

int Platform_IsElevated(int *elevated) {
  CHECK_POINTER(elevated);
  *elevated = geteuid() == 0;
  return 1;
}

int Platform_IsSystemAccount(int *isSystem) {
  CHECK_POINTER(isSystem);
  *isSystem = geteuid() == 0 && getenv("SUDO_UID") == nullptr && getenv("PKEXEC_UID") == nullptr;
  return 1;
}

uint32_t Platform_GetParentProcessId(uint32_t pid) {
  char path[64];
  Str_Printf(path, sizeof path, "/proc/%u/stat", pid);
  int fd;
  do fd = open(path, O_RDONLY | O_CLOEXEC);
  while (fd < 0 && errno == EINTR);
  if (fd < 0) return POSIX_FAIL("open", path);
  char text[kProcStatBytes];
  ssize_t n;
  do n = read(fd, text, sizeof text - 1);
  while (n < 0 && errno == EINTR);
  int err = errno;
  close(fd);
  if (n <= 0) return n < 0 ? POSIX_FAIL_CODE(PosixError_FromErrno(err), err, "read", path) : 0;
  text[n] = '\0';
  // "pid (comm) state ppid ...": the command name may hold blanks and
  // parentheses, so the fields start after the last ')'.
  const char *end = strrchr(text, ')');
  if (end == nullptr || end[1] != ' ' || end[2] == '\0' || end[3] != ' ') return 0;
  return uint32_t(Str_ToUInt64(end + 4));
}
