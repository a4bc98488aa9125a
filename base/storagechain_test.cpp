#include "base/storagechain.h"

#include <mutex>
#include <random>

#include "tests/storage_test_util.h"

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kChains = 500;
#else
constexpr int kChains = 2000;
#endif
constexpr int kMaxSteps = 6;

// One chain of test steps: each step completes at once or from a worker
// after a delay, and the step failAt (-1: none) fails with 900 + id % 50.
struct Chain {
  int32_t id = 0;
  int32_t steps = 0;
  int32_t failAt = -1;
  int32_t later[kMaxSteps] = {};
  int32_t delay[kMaxSteps] = {};
  std::atomic<int32_t> runs[kMaxSteps] = {};
  StorageOutcome outcome;
};

int TestStep(Storage *, StorageStep *step) {
  auto *c = static_cast<Chain *>(step->argument);
  auto index = int32_t(reinterpret_cast<intptr_t>(step->value));
  c->runs[index].fetch_add(1);
  int32_t result = index == c->failAt ? 900 + c->id % 50 : 0;
  int32_t resultEx = index == c->failAt ? c->id : 0;
  if (c->later[index])
    ScriptedDriver_CompleteLater(step, result, resultEx, c->delay[index]);
  else
    Storage_CompleteStep(step, result, resultEx);
  return 1;
}

StorageStep *BuildChain(Storage *storage, Chain *c) {
  StorageStep *chain = Storage_AppendStartStep(storage);
  for (intptr_t i = 0; i < c->steps; i++)
    chain = Storage_AppendStep(storage, 0, chain, c, reinterpret_cast<void *>(i), nullptr,
                               TestStep);
  return Storage_AppendFinalStep(storage, chain, c, &c->outcome, StorageOutcome::Complete);
}

using StorageChainThreaded = StorageFixture;

TEST_F(StorageChainThreaded, EveryStepCompletesOnceAndTheFirstFailureArrives) {
  std::mt19937 random(46);
  std::vector<Chain> chains(kChains);
  int32_t failed = 0;
  for (int i = 0; i < kChains; i++) {
    Chain &c = chains[size_t(i)];
    c.id = i;
    c.steps = 1 + int32_t(random() % kMaxSteps);
    c.failAt = random() % 3 == 0 ? int32_t(random() % uint32_t(c.steps)) : -1;
    failed += c.failAt >= 0;
    for (int s = 0; s < c.steps; s++) {
      c.later[s] = random() % 2;
      c.delay[s] = int32_t(random() % 40);
    }
  }
  int32_t delivered = 0;
  for (Chain &c : chains) Storage_RunChain(storage, BuildChain(storage, &c));
  ASSERT_TRUE(PumpUntil([&] {
    delivered = 0;
    for (Chain &c : chains) delivered += c.outcome.calls;
    return delivered == kChains;
  }));
  for (Chain &c : chains) {
    SCOPED_TRACE(c.id);
    EXPECT_EQ(c.outcome.calls, 1);
    for (int s = 0; s < c.steps; s++)
      EXPECT_EQ(c.runs[s].load(), c.failAt < 0 || s <= c.failAt ? 1 : 0) << "step " << s;
    EXPECT_EQ(c.outcome.result, c.failAt < 0 ? 0 : 900 + c.id % 50);
    EXPECT_EQ(c.outcome.resultEx, c.failAt < 0 ? 0 : c.id);
  }
  EXPECT_EQ(Storage_GetErrorCount(storage), failed);
  EXPECT_EQ(Storage_GetPendingRequests(storage), 0);
  EXPECT_TRUE(Balanced());
}

// The first step of each chain parks until the storage has stopped; the
// step after it then finds the storage stopping.
struct Parking {
  std::mutex lock;
  std::vector<StorageStep *> steps;
};

TEST_F(StorageChainThreaded, StopCancelsChainsInFlight) {
  constexpr int kInFlight = 500;
  static Parking parking;
  parking.steps.clear();
  std::vector<StorageOutcome> outcomes(kInFlight);
  for (StorageOutcome &o : outcomes) {
    StorageStep *chain = Storage_AppendStartStep(storage);
    chain = Storage_AppendStep(storage, 0, chain, nullptr, nullptr, nullptr,
                               [](Storage *, StorageStep *step) {
                                 std::lock_guard<std::mutex> hold(parking.lock);
                                 parking.steps.push_back(step);
                                 return 1;
                               });
    chain = Storage_AppendStep(storage, 0, chain, nullptr, nullptr, nullptr, TestStep);
    chain = Storage_AppendFinalStep(storage, chain, nullptr, &o, StorageOutcome::Complete);
    Storage_RunChain(storage, chain);
  }
  Storage_Stop(storage);
  ASSERT_TRUE(PumpUntil([&] {
    std::vector<StorageStep *> parked;
    {
      std::lock_guard<std::mutex> hold(parking.lock);
      parked.swap(parking.steps);
    }
    for (StorageStep *step : parked) ScriptedDriver_CompleteLater(step, 0, 0, 0);
    int delivered = 0;
    for (StorageOutcome &o : outcomes) delivered += o.calls;
    return delivered == kInFlight;
  }));
  for (StorageOutcome &o : outcomes) {
    EXPECT_EQ(o.calls, 1);
    EXPECT_EQ(o.result, kStorageResultCancelled);
    EXPECT_EQ(o.resultEx, kStorageCancelStopped);
  }
  EXPECT_EQ(Storage_GetErrorCount(storage), kInFlight);
  EXPECT_EQ(Storage_GetPendingRequests(storage), 0);
  EXPECT_TRUE(Balanced());
}

}  // namespace
