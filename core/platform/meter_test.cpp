#include "core/platform/meter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <thread>
#include <vector>

#include "core/platform/meterrw.h"
#include "core/platform/platform.h"

namespace {

constexpr int64_t kKiB = 1024;
constexpr int64_t kMiB = 1024 * kKiB;
constexpr int64_t kGiB = 1024 * kMiB;

class MeterThreaded : public testing::Test {
 protected:
  void SetUp() override { Meter_Init(); }
  void TearDown() override { Meter_Shutdown(); }
};
class MeterThreadedDeathTest : public MeterThreaded {};

// A meter that is deleted at the end of the scope (unless a test did).
struct MeterHolder {
  Meter *meter = nullptr;
  explicit MeterHolder(Meter *parent = nullptr, int64_t limit = kMeterUnlimited) {
    Meter_Create(&meter);
    if (parent != nullptr) Meter_SetParent(meter, parent);
    if (limit != kMeterUnlimited) Meter_SetLimit(meter, limit);
  }
  ~MeterHolder() {
    if (meter != nullptr) Meter_Delete(&meter);
  }
  MeterHolder(const MeterHolder &) = delete;
  MeterHolder &operator=(const MeterHolder &) = delete;
  operator Meter *() const { return meter; }
};

// What a request grants (0 when it fails).
int64_t request(Meter *meter, int64_t bytes) {
  int64_t granted = bytes;
  int ok = Meter_RequestQuota(meter, &granted);
  EXPECT_EQ(ok, granted > 0 ? 1 : 0);
  return ok ? granted : 0;
}

// Takes everything the meter's chain allows now, in steps of at most step.
int64_t drain(Meter *meter, int64_t step) {
  int64_t moved = 0;
  for (int64_t granted; (granted = request(meter, step)) > 0; moved += granted)
    Meter_AddBytes(meter, granted);
  return moved;
}

uint64_t bytesOf(Meter *meter) {
  uint64_t bytes = 0;
  Meter_GetBytes(meter, &bytes);
  return bytes;
}

int64_t limitOf(Meter *meter) {
  int64_t limit = 0;
  Meter_GetLimit(meter, &limit);
  return limit;
}

double rateOf(Meter *meter) {
  double rate = 0;
  Meter_GetRate(meter, &rate);
  return rate;
}

}  // namespace

TEST(MeterThreadedUninitDeathTest, CallsBeforeInitStop) {
  Meter *meter = nullptr;
  EXPECT_DEATH(Meter_GetRoot(), "ABORT - Pointer is NULL\n");
  EXPECT_DEATH(Meter_Create(&meter), "ABORT - Pointer is NULL\n");
  EXPECT_DEATH(Meter_Update(), "ABORT - Pointer is NULL\n");
  EXPECT_EQ(Meter_Shutdown(), 1);
}

TEST_F(MeterThreadedDeathTest, ProgrammingErrorsStop) {
  MeterRW *pair = nullptr;
  MeterRW_Create(&pair);
  Meter *notAMeter = reinterpret_cast<Meter *>(pair);
  MeterRW *notAPair = reinterpret_cast<MeterRW *>(Meter_GetRoot());
  EXPECT_DEATH(Meter_Init(), "Assertion failed \\(gMeter == NULL\\)\nMeter already initialized");
  EXPECT_DEATH(Meter_AddBytes(nullptr, 1), "ABORT - Pointer is NULL\n");
  EXPECT_DEATH(Meter_RequestQuota(Meter_GetRoot(), nullptr), "ABORT - Pointer is NULL\n");
  EXPECT_DEATH(
      Meter_AddBytes(notAMeter, 1),
      "Class mismatch pointer \\(0x[0-9A-Fa-f]+: expected 0x03daa48f but was 0x1fc9f960\\)");
  EXPECT_DEATH(Meter_SetParent(Meter_GetRoot(), notAMeter), "expected 0x03daa48f");
  EXPECT_DEATH(
      MeterRW_AddReadBytes(notAPair, 1),
      "Class mismatch pointer \\(0x[0-9A-Fa-f]+: expected 0x1fc9f960 but was 0x03daa48f\\)");
  MeterRW_Delete(&pair);
}

TEST_F(MeterThreaded, LimitsAreNormalised) {
  struct Row {
    int64_t set;
    int64_t stored;
  };
  const Row rows[] = {
      {500, 1024},  {0, 1024}, {1023, 1024}, {1024, 1024},
      {4000, 4000}, {-5, -1},  {-1, -1},     {3 * kGiB, 3 * kGiB},
  };
  MeterHolder meter;
  for (const Row &row : rows) {
    SCOPED_TRACE(testing::Message() << "limit " << row.set);
    Meter_SetLimit(meter, row.set);
    EXPECT_EQ(limitOf(meter), row.stored);
  }
}

TEST_F(MeterThreaded, EffectiveLimitIsTheTightestOnTheWayUp) {
  struct Row {
    const char *name;
    int64_t parent, child;
    int64_t effective;
  };
  const Row rows[] = {
      {"child tighter", 10000, 4000, 4000},
      {"parent tighter", 4000, 10000, 4000},
      {"only the parent", 10000, -1, 10000},
      {"only the child", -1, 4000, 4000},
      {"none", -1, -1, -1},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    MeterHolder parent(Meter_GetRoot(), row.parent);
    MeterHolder child(parent, row.child);
    EXPECT_EQ(limitOf(child), row.effective);
  }
}

// Parent 10000 B/s, child 4000 B/s: the child's request is held to its own
// limit; after a refill a sibling without a limit gets what the parent has
// left.
TEST_F(MeterThreaded, ParentAndChildLimitsClampRequests) {
  MeterHolder parent(Meter_GetRoot(), 10000);
  MeterHolder child(parent, 4000);
  MeterHolder sibling(parent.meter);
  EXPECT_EQ(request(child, 8000), 4000);
  Meter_AddBytes(child, 4000);
  Meter_Update();  // the first update after start refills at once
  // Parent: 6000 + one second's worth, capped at 10500. Child: capped at 4200.
  EXPECT_EQ(request(child, 8000), 4000);
  Meter_AddBytes(child, 4000);
  EXPECT_EQ(request(sibling, 8000), 6500);
  EXPECT_EQ(request(sibling, 8000), 0);
}

// Two seconds without a refill: a 4000 B/s bucket holds 4200, not 8000.
TEST_F(MeterThreaded, BucketIsCappedAtOnePointZeroFiveSeconds) {
  MeterHolder meter(nullptr, 4000);
  EXPECT_EQ(drain(meter, 1000), 4000);
  // Start-up dates the last refill one second back; one more makes two.
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  Meter_Update();
  EXPECT_EQ(drain(meter, 1000), 4200);
}

TEST_F(MeterThreaded, BytesCountOnEveryAncestor) {
  MeterHolder parent(Meter_GetRoot());
  MeterHolder child(parent.meter);
  MeterHolder grandchild(child.meter);
  MeterHolder cousin(parent.meter);
  Meter_AddBytes(grandchild, 1234);
  Meter_AddBytes(cousin, 10);
  Meter_AddBytes(grandchild, 0);
  Meter_AddBytes(grandchild, -7);
  EXPECT_EQ(bytesOf(grandchild), 1234u);
  EXPECT_EQ(bytesOf(child), 1234u);
  EXPECT_EQ(bytesOf(parent), 1244u);
  EXPECT_EQ(bytesOf(Meter_GetRoot()), 1244u);
  EXPECT_EQ(bytesOf(cousin), 10u);
}

TEST_F(MeterThreaded, DeleteLeavesChildrenAliveWithoutParent) {
  Meter *parent = nullptr;
  Meter_Create(&parent);
  Meter_SetParent(parent, Meter_GetRoot());
  Meter_SetLimit(parent, 2048);
  MeterHolder first(parent), second(parent);
  EXPECT_EQ(parent->children.count, 2);
  EXPECT_EQ(Meter_Delete(&parent), 1);
  EXPECT_EQ(parent, nullptr);
  for (Meter *child : {first.meter, second.meter}) {
    EXPECT_EQ(child->parent, nullptr);
    EXPECT_EQ(limitOf(child), kMeterUnlimited);
    Meter_AddBytes(child, 100);
    EXPECT_EQ(bytesOf(child), 100u);
  }
  EXPECT_EQ(bytesOf(Meter_GetRoot()), 0u);
  EXPECT_EQ(Meter_GetRoot()->children.count, 0);
}

TEST_F(MeterThreaded, SetParentRefusesLoops) {
  MeterHolder parent(Meter_GetRoot());
  MeterHolder child(parent.meter);
  MeterHolder grandchild(child.meter);
  EXPECT_EQ(Meter_SetParent(parent, grandchild), 0);
  EXPECT_EQ(Meter_SetParent(child, child), 0);
  EXPECT_EQ(parent.meter->parent, Meter_GetRoot());
  EXPECT_EQ(child.meter->parent, parent.meter);
  EXPECT_EQ(Meter_SetParent(grandchild, parent), 1);
  EXPECT_EQ(child.meter->children.count, 0);
  EXPECT_EQ(parent.meter->children.count, 2);
  EXPECT_EQ(Meter_SetParent(grandchild, nullptr), 1);
  EXPECT_EQ(grandchild.meter->parent, nullptr);
}

// Every AddBytes settles the reservation: only what was not used goes back,
// so AddBytes(0) after a transfer that used its quota gives nothing back.
TEST_F(MeterThreaded, AddBytesRefundsOnlyTheUnusedReservation) {
  constexpr int64_t kLimit = 4096;
  constexpr int64_t kParentLimit = kMiB;
  struct Row {
    const char *name;
    std::vector<int64_t> adds;  // after one request of kLimit
    int64_t counted;
  };
  const Row rows[] = {
      {"all used, then 0", {kLimit, 0}, kLimit},
      {"all used, 0 twice", {kLimit, 0, 0}, kLimit},
      {"part used", {1000}, 1000},
      {"part used, then 0", {1000, 0}, 1000},
      {"nothing moved", {0}, 0},
      {"more than reserved", {5000, 0}, 5000},
      {"a negative count moves nothing", {-1}, 0},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    MeterHolder parent(Meter_GetRoot(), kParentLimit);
    MeterHolder meter(parent, kLimit);
    MeterHolder sibling(parent.meter);
    ASSERT_EQ(request(meter, kLimit), kLimit);
    for (int64_t bytes : row.adds) Meter_AddBytes(meter, bytes);
    int64_t unused = row.counted < kLimit ? kLimit - row.counted : 0;
    EXPECT_EQ(drain(meter, kLimit), unused);
    // The parent lost what was reserved from it and got back what was not used.
    EXPECT_EQ(drain(sibling, kParentLimit), kParentLimit - kLimit);
    EXPECT_EQ(bytesOf(parent), uint64_t(row.counted + kParentLimit - kLimit + unused));
  }
}

// An int32 count since the last update would turn negative past 2 GiB.
TEST_F(MeterThreaded, ThreeGiBBetweenUpdatesGivesAPositiveRate) {
  MeterHolder meter(Meter_GetRoot());
  Meter_AddBytes(meter, 3 * kGiB);
  MeterHolder other(Meter_GetRoot());
  for (int i = 0; i < 3; i++) Meter_AddBytes(other, kGiB);
  Meter_Update();
  for (Meter *m : {meter.meter, other.meter}) {
    EXPECT_EQ(bytesOf(m), uint64_t(3 * kGiB));
    EXPECT_GT(rateOf(m), 0.0);
    EXPECT_LE(rateOf(m), double(3 * kGiB));  // at least a second has passed
    double peak = 0;
    Meter_GetPeakRate(m, &peak);
    EXPECT_EQ(peak, rateOf(m));
  }
  EXPECT_EQ(bytesOf(Meter_GetRoot()), uint64_t(6 * kGiB));
  EXPECT_GT(rateOf(Meter_GetRoot()), 0.0);
}

// A limited meter whose parent was deleted stays parentless and is still
// refilled, like any meter created without a parent.
TEST_F(MeterThreaded, OrphanKeepsBeingRefilled) {
  constexpr int64_t kLimit = 2048;
  Meter *parent = nullptr;
  Meter_Create(&parent);
  Meter_SetParent(parent, Meter_GetRoot());
  MeterHolder orphan(parent, kLimit);
  MeterHolder loner(nullptr, kLimit);
  Meter_Delete(&parent);
  ASSERT_EQ(orphan.meter->parent, nullptr);
  for (int round = 0; round < 2; round++) {
    SCOPED_TRACE(testing::Message() << "round " << round);
    for (Meter *m : {orphan.meter, loner.meter}) {
      EXPECT_GE(drain(m, kLimit), kLimit);
      EXPECT_EQ(request(m, 1), 0);
    }
    if (round == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    Meter_Update();
  }
}

TEST_F(MeterThreaded, ResetClearsTheSubtree) {
  struct Row {
    const char *name;
    int (*reset)(Meter *);
    int64_t limitAfter;
  };
  const Row rows[] = {
      {"Meter_Reset", Meter_Reset, kMeterUnlimited},
      {"Meter_ResetCounters", Meter_ResetCounters, 4096},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    MeterHolder parent(Meter_GetRoot(), 4096);
    MeterHolder child(parent, 4096);
    Meter_AddBytes(child, 1000);
    row.reset(parent);
    for (Meter *m : {parent.meter, child.meter}) {
      EXPECT_EQ(bytesOf(m), 0u);
      EXPECT_EQ(rateOf(m), 0.0);
      EXPECT_EQ(m->limit, row.limitAfter);
    }
    EXPECT_EQ(bytesOf(Meter_GetRoot()), 1000u);  // above the reset meter
    Meter_Reset(Meter_GetRoot());
  }
}

TEST_F(MeterThreaded, PairsCountAndLimitEachDirectionApart) {
  MeterRW *parent = nullptr, *pair = nullptr;
  MeterRW_Create(&parent);
  MeterRW_Create(&pair);
  MeterRW_SetReadParent(parent, Meter_GetRoot());
  MeterRW_SetParent(pair, parent);
  MeterRW_SetLimits(parent, 2048, -1);
  MeterRW_AddReadBytes(pair, 300);
  MeterRW_AddWriteBytes(pair, 20);
  uint64_t read = 0, write = 0;
  MeterRW_GetBytes(parent, &read, &write);
  EXPECT_EQ(read, 300u);
  EXPECT_EQ(write, 20u);
  EXPECT_EQ(bytesOf(Meter_GetRoot()), 300u);  // only the read side hangs below it
  int64_t readLimit = 0, writeLimit = 0;
  MeterRW_GetLimits(pair, &readLimit, &writeLimit);
  EXPECT_EQ(readLimit, 2048);
  EXPECT_EQ(writeLimit, kMeterUnlimited);
  int64_t bytes = 10000;
  EXPECT_EQ(MeterRW_RequestRead(pair, &bytes), 1);
  EXPECT_EQ(bytes, 2048);
  bytes = 10000;
  EXPECT_EQ(MeterRW_RequestWrite(pair, &bytes), 1);
  EXPECT_EQ(bytes, 10000);
  MeterRW_ResetCounters(pair);
  MeterRW_GetBytes(pair, &read, nullptr);
  EXPECT_EQ(read, 0u);
  MeterRW_Delete(&pair);
  EXPECT_EQ(pair, nullptr);
  EXPECT_EQ(parent->read->children.count, 0);
  EXPECT_EQ(parent->write->children.count, 0);
  MeterRW_Delete(&parent);
  EXPECT_EQ(Meter_GetRoot()->children.count, 0);
}

// A thread moves data through a meter limited to 1 MiB/s for 5 s while the
// pump runs every 100 ms. Past the start-up (the limit's own second's worth,
// then a first refill over more than a second), the meter's rates and the
// bytes moved from one refill to another land within 5 % of the limit.
TEST_F(MeterThreaded, LimitHoldsTheRateOverFiveSeconds) {
  constexpr int64_t kLimit = kMiB;
  constexpr int64_t kChunk = 16 * kKiB;
  constexpr double kTolerance = 0.05;
  constexpr double kSeconds = 5.25;  // pumps up to the refill after 5 s
  MeterHolder meter(Meter_GetRoot(), kLimit);
  std::atomic<bool> stop{false};
  std::thread mover([&] {
    while (!stop.load()) {
      int64_t granted = kChunk;
      if (Meter_RequestQuota(meter, &granted))
        Meter_AddBytes(meter, granted);
      else
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  struct Pump {
    double tick;
    uint64_t countedBefore;  // moved before this pump
    double rate;             // after it
  };
  std::vector<Pump> pumps;
  const double start = Platform_GetTickSeconds();
  auto next = std::chrono::steady_clock::now();
  while (Platform_GetTickSeconds() - start < kSeconds) {
    next += std::chrono::milliseconds(100);
    std::this_thread::sleep_until(next);
    uint64_t before = bytesOf(meter);
    double tick = Platform_GetTickSeconds();
    Meter_Update();
    pumps.push_back({tick - start, before, rateOf(meter)});
  }
  stop = true;
  mover.join();
  // A refill shows as a jump of about a second's worth right after its pump.
  std::vector<size_t> refills;
  for (size_t i = 0; i + 1 < pumps.size(); i++)
    if (pumps[i + 1].countedBefore - pumps[i].countedBefore > uint64_t(kLimit / 2))
      refills.push_back(i);
  ASSERT_GE(refills.size(), 5u);
  // From the third refill on, each refill adds the time since the one before
  // times the limit, capped at 1.05 s worth: as long as the pump keeps its
  // pace, the bytes moved and the measured rates stay within 5 % of the
  // limit. A pump that ran late on a busy machine loses what the cap cuts
  // off; then the bytes must still match the bucket's rule.
  const double cap = std::floor(float(kLimit) * 1.05f);
  double expected = 0;
  double rateSum = 0;
  bool onTime = true;
  for (size_t i = 2; i < refills.size(); i++) {
    double period = pumps[refills[i]].tick - pumps[refills[i - 1]].tick;
    onTime = onTime && period <= 1.05;
    rateSum += pumps[refills[i]].rate;
    if (i + 1 < refills.size()) expected += std::min(std::floor(double(kLimit) * period), cap);
  }
  const Pump &first = pumps[refills[2]], &last = pumps[refills.back()];
  const double counted = double(last.countedBefore - first.countedBefore);
  if (onTime) {
    EXPECT_NEAR(counted / (last.tick - first.tick), double(kLimit), kTolerance * kLimit);
    EXPECT_NEAR(rateSum / double(refills.size() - 2), double(kLimit), kTolerance * kLimit);
  } else {
    SCOPED_TRACE("the pump ran late");
    EXPECT_NEAR(counted, expected, 0.02 * expected);
  }
}

// Eight threads take quota below one limited parent without refills: the
// parent's second's worth is handed out exactly once, byte for byte.
TEST_F(MeterThreaded, ConcurrentRequestsShareOneAllowanceExactly) {
  constexpr int kThreads = 8;
  constexpr int64_t kParentLimit = kMiB;
  MeterHolder parent(Meter_GetRoot(), kParentLimit);
  std::vector<MeterHolder *> children;
  for (int i = 0; i < kThreads; i++) children.push_back(new MeterHolder(parent.meter));
  std::vector<std::thread> threads;
  std::atomic<int64_t> moved{0};
  for (int i = 0; i < kThreads; i++)
    threads.emplace_back([&, i] {
      for (int64_t granted; (granted = request(*children[i], 1000)) > 0;) {
        Meter_AddBytes(*children[i], granted);
        moved += granted;
      }
    });
  for (auto &t : threads) t.join();
  EXPECT_EQ(moved.load(), kParentLimit);
  EXPECT_EQ(bytesOf(parent), uint64_t(kParentLimit));
  for (MeterHolder *child : children) delete child;
}
