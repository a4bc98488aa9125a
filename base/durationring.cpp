// Duration ring and its estimates; see durationring.h.
#include "base/durationring.h"

#include <algorithm>

#include "core/runtime/core.h"

int DurationRing_Reset(DurationRing *ring) {
  CHECK_POINTER(ring);
  *ring = DurationRing{};
  return 1;
}

int DurationRing_Add(DurationRing *ring, double seconds) {
  CHECK_POINTER(ring);
  ring->slots[ring->next] = seconds;
  ring->next = (ring->next + 1) % kDurationRingSlots;
  ring->count++;
  return 1;
}

double DurationRing_GetAverage(const DurationRing *ring) {
  CHECK_POINTER(ring);
  int32_t n = ring->count;
  if (n < kDurationRingKnown) return 0;
  double sum = 0;
  if (n < kDurationRingTrimFrom) {
    for (int32_t i = 0; i < n; i++) sum += ring->slots[i];
    return sum / n;
  }
  int32_t m = std::min(n, kDurationRingSlots);
  double sorted[kDurationRingSlots];
  std::copy(ring->slots, ring->slots + m, sorted);
  std::sort(sorted, sorted + m);
  for (int32_t i = kDurationRingTrim; i <= m - kDurationRingTrim - 1; i++) sum += sorted[i];
  return sum / (m - 2 * kDurationRingTrim);
}

double DurationRing_GetRemaining(const DurationRing *ring, int64_t left, int32_t parallel) {
  double average = DurationRing_GetAverage(ring);
  if (ring->count < kDurationRingKnown) return -1;
  return double(left) * average / (parallel < 1 ? 1 : parallel);
}
