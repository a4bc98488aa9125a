#include "base/durationring.h"

#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

#include "tests/test_util.h"

namespace {

// Average and remaining time against Python's statistics.mean over the
// latest durations (gen_durations.py), the ring wrapped and not.
TEST(DurationRing, MatchesStatisticsMean) {
  auto rows = Test_ReadRows("durations.txt");
  ASSERT_GT(rows.size(), 40u);
  for (const auto &[line, f] : rows) {
    SCOPED_TRACE("durations.txt:" + std::to_string(line));
    ASSERT_EQ(f.size(), 6u);
    DurationRing ring;
    DurationRing_Reset(&ring);
    if (f[1] != "-") {
      std::stringstream values(f[1]);
      for (std::string v; std::getline(values, v, ',');) DurationRing_Add(&ring, std::stod(v));
    }
    double average = std::stod(f[2]), remaining = std::stod(f[5]);
    EXPECT_NEAR(DurationRing_GetAverage(&ring), average, 1e-12 * std::max(1.0, average));
    EXPECT_NEAR(DurationRing_GetRemaining(&ring, std::stoll(f[3]), std::stoi(f[4])), remaining,
                1e-9 * std::max(1.0, std::fabs(remaining)));
  }
}

// Past 100 durations one stalled item among equal ones leaves the average.
TEST(DurationRing, OneExtremeDoesNotMove) {
  DurationRing ring;
  DurationRing_Reset(&ring);
  for (int i = 0; i < 150; i++) DurationRing_Add(&ring, i == 120 ? 1e9 : 0.5);
  EXPECT_EQ(DurationRing_GetAverage(&ring), 0.5);
  EXPECT_EQ(ring.next, 50);
}

}  // namespace
