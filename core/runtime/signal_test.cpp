#include "core/runtime/signal.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "core/runtime/core.h"

namespace {

// Long enough never to expire on a loaded machine; every wait is still bounded.
constexpr int32_t kBoundMs = 10000;

struct SignalHolder {
  Signal *signal = nullptr;
  SignalHolder() { EXPECT_EQ(Signal_Create(&signal), 1); }
  ~SignalHolder() {
    if (signal != nullptr) Signal_Release(&signal);
  }
};

// One wait's outcome: the result and the signalled flag.
int waitSignalled(Signal *signal, int32_t timeoutMs) {
  int signalled = -1;
  EXPECT_EQ(Signal_Wait(signal, &signalled, timeoutMs, KSRC), 1);
  return signalled;
}

}  // namespace

TEST(SignalDeathTest, NullSignalStops) {
  Signal *none = nullptr;
  int signalled = 0;
  EXPECT_DEATH(Signal_Release(nullptr), "ABORT - Pointer is NULL\n");
  EXPECT_DEATH(Signal_Release(&none), "ABORT - Pointer is NULL\n");
  EXPECT_DEATH(Signal_Create(nullptr), "ABORT - Pointer is NULL\n");
  EXPECT_DEATH(Signal_SetAutoReset(nullptr), "ABORT - Pointer is NULL\n");
  EXPECT_DEATH(Signal_Set(nullptr, 1, "caller.cpp", 12), "Pointer is NULL\n \\(caller.cpp/12\\)");
  EXPECT_DEATH(Signal_Wait(nullptr, &signalled, 0, "caller.cpp", 34),
               "Pointer is NULL\n \\(caller.cpp/34\\)");
}

// Each row runs a script on a fresh signal: 'S' sets with the state in arg,
// 'A' makes it auto-reset, 'W' waits arg ms and expects `expect` as signalled.
TEST(Signal, StateScripts) {
  struct Step {
    char op;
    int arg;
    int expect;
  };
  struct Row {
    const char *name;
    std::vector<Step> steps;
  };
  const Row rows[] = {
      {"a new signal is reset", {{'W', 0, 0}}},
      {"manual reset stays set until reset",
       {{'S', 1, 0}, {'W', 0, 1}, {'W', 0, 1}, {'W', -1, 1}, {'W', 50, 1}, {'S', 0, 0}, {'W', 0, 0}}},
      {"any state other than 1 resets", {{'S', 1, 0}, {'S', 2, 0}, {'W', 0, 0}}},
      {"a negative state resets", {{'S', 1, 0}, {'S', -1, 0}, {'W', 0, 0}}},
      {"auto-reset: only the first wait sees a set",
       {{'A', 0, 0}, {'S', 1, 0}, {'W', 0, 1}, {'W', 0, 0}}},
      {"auto-reset: two sets before a wait count once",
       {{'A', 0, 0}, {'S', 1, 0}, {'S', 1, 0}, {'W', 0, 1}, {'W', 0, 0}}},
      {"a set made before the switch is kept",
       {{'S', 1, 0}, {'A', 0, 0}, {'W', 0, 1}, {'W', 0, 0}}},
      {"a second switch changes nothing",
       {{'A', 0, 0}, {'A', 0, 0}, {'S', 1, 0}, {'W', -1, 1}, {'W', 0, 0}}},
      {"auto-reset: a reset takes a pending set back",
       {{'A', 0, 0}, {'S', 1, 0}, {'S', 0, 0}, {'W', 0, 0}}},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    SignalHolder h;
    for (size_t i = 0; i < row.steps.size(); i++) {
      SCOPED_TRACE(testing::Message() << "step " << i);
      const Step &step = row.steps[i];
      switch (step.op) {
        case 'S': EXPECT_EQ(Signal_Set(h.signal, step.arg, KSRC), 1); break;
        case 'A': EXPECT_EQ(Signal_SetAutoReset(h.signal), 1); break;
        default: EXPECT_EQ(waitSignalled(h.signal, step.arg), step.expect); break;
      }
    }
  }
}

TEST(Signal, TimedWaitReturnsUnsignalledAfterItsTimeOut) {
  constexpr int32_t kTimeoutMs = 60;
  SignalHolder h;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(waitSignalled(h.signal, kTimeoutMs), 0);
  // Not a speed check: a wait that ends before its time-out is a wrong result.
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(kTimeoutMs));
}

TEST(SignalThreaded, SetFromAnotherThreadWakesWaiter) {
  SignalHolder h;
  std::thread setter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    Signal_Set(h.signal, 1, KSRC);
  });
  EXPECT_EQ(waitSignalled(h.signal, kBoundMs), 1);
  setter.join();
}

TEST(SignalThreaded, ManualSetWakesEveryWaiter) {
  constexpr int kWaiters = 3;
  SignalHolder h;
  std::atomic<int> woken{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < kWaiters; i++)
    waiters.emplace_back([&] { woken += waitSignalled(h.signal, kBoundMs); });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  Signal_Set(h.signal, 1, KSRC);
  for (auto &t : waiters) t.join();
  EXPECT_EQ(woken.load(), kWaiters);
}

// Both waiters keep waiting in short slices until told to stop, so a second
// wake-up for the one set would be counted, and no wait outlives the test.
TEST(SignalThreaded, AutoResetSetWakesExactlyOneOfTwoWaiters) {
  SignalHolder h;
  Signal_SetAutoReset(h.signal);
  std::atomic<int> woken{0};
  std::atomic<bool> stop{false};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 2; i++)
    waiters.emplace_back([&] {
      while (!stop.load()) woken += waitSignalled(h.signal, 20);
    });
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  Signal_Set(h.signal, 1, KSRC);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBoundMs);
  while (woken.load() == 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  // Give a wrong second wake-up the time to happen before stopping.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  stop = true;
  for (auto &t : waiters) t.join();
  EXPECT_EQ(woken.load(), 1);
  EXPECT_EQ(waitSignalled(h.signal, 0), 0);
}

// Two threads hand a turn back and forth through two auto-reset signals; a
// lost or doubled wake-up stalls or desynchronises the exchange.
TEST(SignalThreaded, AutoResetPingPongLosesNoWakeUp) {
  constexpr int kRounds = 5000;
  SignalHolder ping, pong;
  Signal_SetAutoReset(ping.signal);
  Signal_SetAutoReset(pong.signal);
  int shared = 0;  // handed over by the signals: each side writes only on its turn
  std::thread other([&] {
    for (int i = 0; i < kRounds; i++) {
      if (waitSignalled(ping.signal, kBoundMs) != 1) return;
      shared++;
      Signal_Set(pong.signal, 1, KSRC);
    }
  });
  int completed = 0;
  for (int i = 0; i < kRounds; i++) {
    shared++;
    Signal_Set(ping.signal, 1, KSRC);
    if (waitSignalled(pong.signal, kBoundMs) != 1) break;
    completed++;
  }
  other.join();
  EXPECT_EQ(completed, kRounds);
  EXPECT_EQ(shared, 2 * kRounds);
  // Set soon after each wait, this thread now watches the word before it
  // sleeps: a wait that no set ends must still last its whole time-out.
  constexpr int32_t kTimeoutMs = 30;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(waitSignalled(pong.signal, kTimeoutMs), 0);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(kTimeoutMs));
}

// A waiter releases its signal the moment its wait returns, while the setter
// may still be inside Signal_Set: the set must not touch the signal after
// the waiter can see it (ASan reports the use after free otherwise).
TEST(SignalThreaded, WaiterMayReleaseTheSignalAsSoonAsItWakes) {
  constexpr int kRounds = 2000;
  for (int i = 0; i < kRounds; i++) {
    Signal *signal = nullptr;
    ASSERT_EQ(Signal_Create(&signal), 1);
    if (i % 2) Signal_SetAutoReset(signal);
    std::thread setter([signal] { Signal_Set(signal, 1, KSRC); });
    ASSERT_EQ(waitSignalled(signal, kBoundMs), 1);
    Signal_Release(&signal);
    setter.join();
  }
}

// Many sets and many auto-reset waiters: every pass is paid for by a set, and
// with as many sets as passes wanted (each after the previous pass) nobody
// is left waiting.
TEST(SignalThreaded, AutoResetPassesMatchSets) {
  constexpr int kWaiters = 4;
  constexpr int kPasses = 2000;
  SignalHolder h;
  Signal_SetAutoReset(h.signal);
  std::atomic<int> passes{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < kWaiters; i++)
    waiters.emplace_back([&] {
      while (passes.load() < kPasses) {
        if (waitSignalled(h.signal, 5) == 1) passes++;
      }
    });
  for (int i = 0; i < kPasses; i++) {
    int before = passes.load();
    Signal_Set(h.signal, 1, KSRC);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBoundMs);
    while (passes.load() == before && std::chrono::steady_clock::now() < deadline)
      std::this_thread::yield();
    ASSERT_EQ(passes.load(), before + 1) << "round " << i;
  }
  for (auto &t : waiters) t.join();
  EXPECT_EQ(passes.load(), kPasses);
  EXPECT_EQ(waitSignalled(h.signal, 0), 0);
}
