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

namespace {
double gFakeTick = 0;
double fakeTick() { return gFakeTick; }
double steppingTick() { return gFakeTick += 0.5; }
}  // namespace

TEST(PlatformClock, TestTickSourceHoldsJumpsAndSteps) {
  double real = Platform_GetTickSeconds();
  gFakeTick = 100;
  Platform_SetTickSourceForTest(fakeTick);
  EXPECT_EQ(Platform_GetTickSeconds(), 100.0);
  EXPECT_EQ(Platform_GetTickSeconds(), 100.0);
  gFakeTick = 5000;
  EXPECT_EQ(Platform_GetTickSeconds(), 5000.0);
  Platform_SetTickSourceForTest(steppingTick);
  EXPECT_EQ(Platform_GetTickSeconds(), 5000.5);
  EXPECT_EQ(Platform_GetTickSeconds(), 5001.0);
  Platform_SetTickSourceForTest(nullptr);
  EXPECT_GE(Platform_GetTickSeconds(), real);
  EXPECT_LT(Platform_GetTickSeconds(), real + 3600);
}
