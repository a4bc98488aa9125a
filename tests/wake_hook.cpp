// The tests' wake hook on an eventfd; see wake_hook.h.
#include "tests/wake_hook.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "core/runtime/class.h"
#include "core/platform/eventqueue.h"
#include "core/platform/thread.h"

namespace {

std::atomic<int> gWakeFd{-1};
std::atomic<uint64_t> gWakeCount{0};  // drained from the eventfd
std::atomic<uint32_t> gWakeLastId{0};
std::atomic<uintptr_t> gWakeLastArgument{0};

void testWakeHook(uint32_t threadId, uintptr_t argument) {
  gWakeLastId.store(threadId);
  gWakeLastArgument.store(argument);
  uint64_t one = 1;
  ssize_t n;
  do n = write(gWakeFd.load(), &one, sizeof one);
  while (n < 0 && errno == EINTR);
}

}  // namespace

void TestWake_Install(void) {
  gWakeFd.store(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  ASSERT_GE(gWakeFd.load(), 0) << "eventfd failed: errno " << errno;
  gWakeCount.store(0);
  gWakeLastId.store(0);
  gWakeLastArgument.store(0);
  Thread_SetWakeHook(testWakeHook);
}

void TestWake_Remove(void) {
  Thread_SetWakeHook(nullptr);
  int fd = gWakeFd.exchange(-1);
  if (fd >= 0) close(fd);
}

uint64_t TestWake_Count(void) {
  uint64_t value = 0;
  if (read(gWakeFd.load(), &value, sizeof value) == ssize_t(sizeof value)) gWakeCount += value;
  return gWakeCount.load();
}

uint32_t TestWake_LastThreadId(void) { return gWakeLastId.load(); }

uintptr_t TestWake_LastArgument(void) { return gWakeLastArgument.load(); }

void ThreadTest::SetUp() {
  Thread_Init();
  EventQueue_InitMain();
  TestWake_Install();
}

void ThreadTest::TearDown() {
  TestWake_Remove();
  Thread_Shutdown();
  EventQueue *main = EventQueue_GetMain();
  if (main != nullptr) Class_ReleaseObject(&main);
}
