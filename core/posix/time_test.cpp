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
  for (int attempt = 0; attempt < 10; attempt++) {
    time_t before = time(nullptr);
    double wall = Platform_GetWallSeconds();
    time_t after = time(nullptr);
    if (before != after) continue;
    EXPECT_GE(wall, double(before));
    EXPECT_LT(wall, double(before) + 1.0);
    return;
  }
  FAIL() << "the clock never stayed within one second";
}
