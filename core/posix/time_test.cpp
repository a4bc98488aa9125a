#include <gtest/gtest.h>

#include <ctime>

#include "core/platform/platform.h"

TEST(PlatformClock, TickSecondsNeverGoBack) {
  double previous = Platform_GetTickSeconds();
  EXPECT_GT(previous, 0.0);
  for (int n = 0; n < 100000; n++) {
    double now = Platform_GetTickSeconds();
    ASSERT_GE(now, previous);
    previous = now;
  }
}

TEST(PlatformClock, WallSecondsKeepTheFraction) {
  // time() reads the coarse clock, which may lag the precise one by a tick:
  // bracket the reading with the precise clock itself.
  auto precise = [] {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
  };
  bool sawFraction = false;
  for (int attempt = 0; attempt < 10; attempt++) {
    double before = precise();
    double wall = Platform_GetWallSeconds();
    double after = precise();
    EXPECT_GE(wall, before - 1e-6);
    EXPECT_LE(wall, after + 1e-6);
    sawFraction = sawFraction || wall != double(int64_t(wall));
  }
  EXPECT_TRUE(sawFraction);
}
