#include <gtest/gtest.h>

#include <vector>

#include "core/platform/platform.h"

// getrandom hands out at most 32 MiB per call and less when interrupted, so a
// large request must come back filled in parts, never short.
TEST(PlatformRandom, FillsLargeBuffersCompletely) {
  constexpr size_t kBytes = 48u << 20;
  std::vector<unsigned char> buffer(kBytes, 0);
  ASSERT_EQ(Platform_RandomBytes(buffer.data(), buffer.size()), 1);
  // A zero run of 4 KiB anywhere has probability 2^-32768: it means a part
  // was never written.
  for (size_t block = 0; block < kBytes; block += 4096) {
    bool allZero = true;
    for (size_t i = block; i < block + 4096 && allZero; i++) allZero = buffer[i] == 0;
    ASSERT_FALSE(allZero) << "block at " << block;
  }
  EXPECT_EQ(Platform_RandomBytes(buffer.data(), 0), 1);
}

TEST(PlatformRandomDeathTest, NullBufferStops) {
  EXPECT_DEATH(Platform_RandomBytes(nullptr, 4), "Pointer is NULL\n");
}
