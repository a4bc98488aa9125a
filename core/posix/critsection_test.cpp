// Tests of the recursive lock record: recursion, exclusion between threads,
// and Delete's refusal of anything that is not a live lock.
#include "core/runtime/critsection.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "core/runtime/memory.h"

namespace {

// Polls for up to 10 s; every wait in a test is bounded.
bool waitFor(const std::atomic<bool> &flag) {
  for (int i = 0; i < 10000 && !flag.load(); i++)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return flag.load();
}

TEST(CriticalSection, RecursiveEnterExcludesOtherThreadsUntilLastLeave) {
  Mem_Init(1);
  CriticalSection *lock = nullptr;
  ASSERT_EQ(CriticalSection_Create(&lock), 1);
  ASSERT_NE(lock, nullptr);
  int64_t count = 0;
  Mem_GetUsage(&count, nullptr);
  EXPECT_EQ(count, 1);  // the record is tracked memory

  CriticalSection_Enter(lock);
  CriticalSection_Enter(lock);  // same thread again: no deadlock
  std::atomic<bool> entered{false};
  std::thread other([&] {
    CriticalSection_Enter(lock);
    entered = true;
    CriticalSection_Leave(lock);
  });
  CriticalSection_Leave(lock);
  // Still held once; the other thread must not get in.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(entered.load());
  CriticalSection_Leave(lock);
  EXPECT_TRUE(waitFor(entered));
  other.join();

  EXPECT_EQ(CriticalSection_Delete(&lock), 1);
  EXPECT_EQ(lock, nullptr);
  Mem_GetUsage(&count, nullptr);
  EXPECT_EQ(count, 0);
  Mem_Shutdown();
}

TEST(CriticalSection, DeleteRefusesWhatIsNotALiveLock) {
  EXPECT_EQ(CriticalSection_Create(nullptr), 0);
  EXPECT_EQ(CriticalSection_Delete(nullptr), 0);
  CriticalSection *none = nullptr;
  EXPECT_EQ(CriticalSection_Delete(&none), 0);

  // A record with another tag is left alone, handle and bytes.
  CriticalSection *lock = nullptr;
  ASSERT_EQ(CriticalSection_Create(&lock), 1);
  CriticalSection *const original = lock;
  uint32_t tag;
  memcpy(&tag, lock, 4);
  EXPECT_EQ(tag, kCriticalSectionTag);
  const uint32_t other = 0x19ee5213;
  memcpy(lock, &other, 4);
  EXPECT_EQ(CriticalSection_Delete(&lock), 0);
  EXPECT_EQ(lock, original);
  memcpy(&tag, lock, 4);
  EXPECT_EQ(tag, other);
  memcpy(lock, &kCriticalSectionTag, 4);
  CriticalSection_Enter(lock);  // still a working lock
  CriticalSection_Leave(lock);
  EXPECT_EQ(CriticalSection_Delete(&lock), 1);
  EXPECT_EQ(lock, nullptr);
}

// Threads that take the lock in turn, some holding it long enough that the
// others go to sleep, and some entering twice: every increment of the plain
// counter is seen, and no thread is left asleep.
TEST(CriticalSectionThreaded, ExcludesAndWakesUnderContention) {
  constexpr int kThreads = 8;
  constexpr int kRounds = 20000;
  CriticalSection *lock = nullptr;
  ASSERT_EQ(CriticalSection_Create(&lock), 1);
  int64_t counter = 0;  // guarded by the lock only
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; t++)
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRounds; i++) {
        CriticalSection_Enter(lock);
        if ((i + t) % 3 == 0) CriticalSection_Enter(lock);
        counter++;
        // Now and then a long hold, so that waiters pass the spinning and sleep.
        if (i % 4000 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if ((i + t) % 3 == 0) CriticalSection_Leave(lock);
        CriticalSection_Leave(lock);
      }
    });
  for (auto &thread : threads) thread.join();
  EXPECT_EQ(counter, int64_t(kThreads) * kRounds);
  EXPECT_EQ(CriticalSection_Delete(&lock), 1);
}

}  // namespace
