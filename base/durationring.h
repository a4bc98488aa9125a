// DurationRing: the durations of the latest finished items of a long job
// (pieces of a storage copy, items of a clean-up) and the average and
// remaining-time estimates made from them.
//
// The average is 0 (not known) below 20 recorded durations, the plain mean
// of the recorded slots from 20 to 69, and from 70 on the mean of the latest
// 100 (or fewer) after dropping the 25 shortest and the 25 longest, so one
// stalled item does not swing the estimate.
//
// Invariants: (1) 0 <= next < kDurationRingSlots. (2) the first
// min(count, kDurationRingSlots) slots hold recorded durations.
//
// Threads: a plain value; its owner's thread only.
#pragma once

#include <cstdint>

constexpr int32_t kDurationRingSlots = 100;
constexpr int32_t kDurationRingKnown = 20;    // fewer samples: no estimate
constexpr int32_t kDurationRingTrimFrom = 70;  // from here on the extremes are dropped
constexpr int32_t kDurationRingTrim = 25;     // dropped at each end

struct DurationRing {
  double slots[kDurationRingSlots];
  int32_t next;   // the slot the next duration goes to
  int32_t count;  // durations recorded; grows past kDurationRingSlots
};

// Empties the ring. Returns 1.
int DurationRing_Reset(DurationRing *ring);
// Records one duration in seconds. Returns 1.
int DurationRing_Add(DurationRing *ring, double seconds);
// The average duration as described above; 0 when not yet known.
double DurationRing_GetAverage(const DurationRing *ring);
// left x average / parallel (parallel below 1 counts as 1); -1 while the
// average is not known.
double DurationRing_GetRemaining(const DurationRing *ring, int64_t left, int32_t parallel);
