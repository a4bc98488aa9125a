// Wall clock, tick clock and local calendar fields; see core/platform/platform.h.
#include <time.h>

#include <atomic>
#include <cstring>

#include "core/platform/platform.h"

double Platform_GetWallSeconds(void) {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

namespace {
std::atomic<PlatformTickSource> gTickSource{nullptr};
}  // namespace

void Platform_SetTickSourceForTest(PlatformTickSource source) { gTickSource.store(source); }

double Platform_GetTickSeconds(void) {
  if (PlatformTickSource source = gTickSource.load(std::memory_order_relaxed)) return source();
  // CLOCK_BOOTTIME keeps counting while the machine sleeps, so a time-out
  // that spans a suspend still fires on wake-up.
  struct timespec now;
  clock_gettime(CLOCK_BOOTTIME, &now);
  int64_t ticks = int64_t(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
  return double(ticks) / 1000.0;
}

int Platform_GetLocalFields(int64_t seconds, struct tm *fields) {
  time_t whole = time_t(seconds);
  if (localtime_r(&whole, fields) == nullptr) {
    memset(fields, 0, sizeof *fields);
    return 0;
  }
  return 1;
}
