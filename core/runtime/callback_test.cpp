#include "core/runtime/callback.h"

#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "core/runtime/class.h"

namespace {

// A class object that counts how often it was destroyed.
struct Counted {
  ObjectHeader header;
  std::atomic<int> destroyed;
};

void countedDestroy(void **object) { static_cast<Counted *>(*object)->destroyed++; }

void countedInit(Counted *object, int32_t references) {
  object->header.classTag = 0x5eed0001;
  object->header.refCount = references;
  object->header.destroy = countedDestroy;
  object->destroyed = 0;
}

void *countedContext(Counted *object) {
  return reinterpret_cast<void *>(reinterpret_cast<uintptr_t>(object) | kCallbackCountedContext);
}

// Distinct recognisable words; never called or dereferenced.
void *fakeContext(int i) { return reinterpret_cast<void *>(uintptr_t(0x100000 + i * 16)); }
CallbackFunction fakeFunction(int i) {
  return reinterpret_cast<CallbackFunction>(uintptr_t(0x900000 + i * 16));
}

// The exact message as a POSIX regular expression.
std::string quoteRegex(const char *text) {
  std::string out;
  for (const char *p = text; *p != '\0'; p++) {
    if (strchr("\\^$.|?*+()[]{}", *p) != nullptr) out += '\\';
    out += *p;
  }
  return out;
}

constexpr char kUnaligned[] =
    "Assertion failed (((intptr)CallbackPointers & (sizeof(void *) - 1)) == 0)\nUnaligned value";
constexpr char kAlreadyRegistered[] =
    "Assertion failed (PrevUserScopeHandle == NULL)\nCallbackRef already registered";

}  // namespace

TEST(CallbackDeathTest, UnalignedCellStops) {
  alignas(16) unsigned char storage[48] = {};
  // Pointer-aligned but not pair-aligned: the compare-exchange needs 16 bytes.
  for (size_t offset : {size_t(1), size_t(4), size_t(8)}) {
    SCOPED_TRACE(offset);
    auto *cell = reinterpret_cast<CallbackCell *>(storage + offset);
    EXPECT_DEATH(Callback_Set(cell, fakeContext(1), fakeFunction(1)), quoteRegex(kUnaligned));
    EXPECT_DEATH(Callback_Get(cell, nullptr, nullptr), quoteRegex(kUnaligned));
    EXPECT_DEATH(Callback_Clear(cell), quoteRegex(kUnaligned));
  }
}

TEST(CallbackDeathTest, SecondCallbackRefSetStops) {
  Counted owner;
  countedInit(&owner, 1);
  CallbackRef ref{};
  CallbackRef_Set(&ref, &owner, fakeContext(1), fakeFunction(1));
  EXPECT_DEATH(CallbackRef_Set(&ref, &owner, fakeContext(2), fakeFunction(2)),
               quoteRegex(kAlreadyRegistered));
  CallbackRef_Clear(&ref);
}

TEST(Callback, GetReturnsWhatWasSet) {
  struct Row {
    const char *name;
    void *context;
    CallbackFunction function;
    int result;
    void *expectContext;
  };
  const Row rows[] = {
      {"an empty cell has no callback", nullptr, nullptr, 0, nullptr},
      {"a plain pair", fakeContext(1), fakeFunction(1), 1, fakeContext(1)},
      {"a counted context comes without bit 0",
       reinterpret_cast<void *>(uintptr_t(fakeContext(2)) | kCallbackCountedContext),
       fakeFunction(2), 1, fakeContext(2)},
      {"a context without a function is no callback", fakeContext(3), nullptr, 0, fakeContext(3)},
      {"a function without a context is a callback", nullptr, fakeFunction(4), 1, nullptr},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    CallbackCell cell{};
    if (row.context != nullptr || row.function != nullptr)
      Callback_Set(&cell, row.context, row.function);
    void *context = fakeContext(99);
    CallbackFunction function = fakeFunction(99);
    EXPECT_EQ(Callback_Get(&cell, &context, &function), row.result);
    EXPECT_EQ(context, row.expectContext);
    EXPECT_EQ(function, row.function);
    EXPECT_EQ(Callback_Get(&cell, nullptr, nullptr), row.result);
  }
}

TEST(Callback, ClearDropsExactlyOneReferenceOfACountedContext) {
  Counted object;
  countedInit(&object, 2);  // the owner's reference and the cell's
  CallbackCell cell{};
  Callback_Set(&cell, countedContext(&object), fakeFunction(1));
  EXPECT_EQ(Callback_Clear(&cell), 1);
  EXPECT_EQ(object.header.refCount.load(), 1);
  EXPECT_EQ(Callback_Get(&cell, nullptr, nullptr), 0);
  // The pair is gone, so clearing again releases nothing.
  Callback_Clear(&cell);
  EXPECT_EQ(object.header.refCount.load(), 1);
  EXPECT_EQ(object.destroyed.load(), 0);

  // A cell holding the last reference destroys the object, once.
  Callback_Set(&cell, countedContext(&object), fakeFunction(1));
  Callback_Clear(&cell);
  EXPECT_EQ(object.destroyed.load(), 1);

  // A plain context is not the cell's to release.
  countedInit(&object, 1);
  Callback_Set(&cell, &object, fakeFunction(1));
  Callback_Clear(&cell);
  EXPECT_EQ(object.header.refCount.load(), 1);
}

TEST(Callback, SetLockedWithoutFunctionClearsAndDeletesTheLock) {
  Counted object;
  countedInit(&object, 2);
  CallbackCellLocked cell{};
  Callback_SetLocked(&cell, countedContext(&object), fakeFunction(1));
  ASSERT_NE(cell.lock.load(), nullptr);
  void *context = nullptr;
  EXPECT_EQ(Callback_Get(&cell.cell, &context, nullptr), 1);
  EXPECT_EQ(context, &object);

  Callback_SetLocked(&cell, nullptr, nullptr);
  EXPECT_EQ(cell.lock.load(), nullptr);
  EXPECT_EQ(Callback_Get(&cell.cell, nullptr, nullptr), 0);
  EXPECT_EQ(object.header.refCount.load(), 1);

  // A cell that never had a lock is cleared all the same.
  Callback_Set(&cell.cell, countedContext(&object), fakeFunction(2));
  Callback_SetLocked(&cell, nullptr, nullptr);
  EXPECT_EQ(cell.lock.load(), nullptr);
  EXPECT_EQ(object.destroyed.load(), 1);
}

TEST(Callback, CallbackRefHoldsTheOwnerUntilCleared) {
  Counted owner;
  countedInit(&owner, 1);
  CallbackRef ref{};
  EXPECT_EQ(CallbackRef_Set(&ref, &owner, fakeContext(1), fakeFunction(1)), 1);
  EXPECT_EQ(owner.header.refCount.load(), 2);
  EXPECT_EQ(ref.instance.load(), &owner);
  CallbackFunction function = nullptr;
  EXPECT_EQ(Callback_Get(&ref.cell, nullptr, &function), 1);
  EXPECT_EQ(function, fakeFunction(1));

  // A NULL function clears: the cell empties and the owner is let go.
  EXPECT_EQ(CallbackRef_Set(&ref, &owner, fakeContext(1), nullptr), 1);
  EXPECT_EQ(owner.header.refCount.load(), 1);
  EXPECT_EQ(ref.instance.load(), nullptr);
  EXPECT_EQ(Callback_Get(&ref.cell, nullptr, nullptr), 0);

  // Without a context there is nothing to scope: the owner is not held, and
  // registering again is allowed.
  for (int i = 0; i < 2; i++) {
    SCOPED_TRACE(i);
    EXPECT_EQ(CallbackRef_Set(&ref, &owner, nullptr, fakeFunction(2)), 1);
    EXPECT_EQ(owner.header.refCount.load(), 1);
    EXPECT_EQ(ref.instance.load(), nullptr);
  }
  EXPECT_EQ(CallbackRef_Clear(&ref), 1);
  EXPECT_EQ(owner.destroyed.load(), 0);
}

// Writers install pairs (context i, function i) and clear the cell now and
// then; every pair a reader gets must be whole, or the cell empty.
TEST(CallbackThreaded, ReadersNeverSeeTornPairs) {
  constexpr int kThreads = 4;
  constexpr int kReadsPerReader = 1000000 / kThreads;
  constexpr int kPairs = 64;
  CallbackCell cell{};
  std::atomic<int> readersLeft{kThreads};
  std::atomic<int64_t> torn{0}, seen{0};
  std::vector<std::thread> threads;
  for (int w = 0; w < kThreads; w++)
    threads.emplace_back([&, w] {
      for (int n = 0; readersLeft.load(std::memory_order_relaxed) > 0; n++) {
        int i = (n * kThreads + w) % kPairs;
        if (n % 16 == 15)
          Callback_Clear(&cell);
        else
          Callback_Set(&cell, fakeContext(i), fakeFunction(i));
      }
    });
  for (int r = 0; r < kThreads; r++)
    threads.emplace_back([&] {
      int64_t localTorn = 0, localSeen = 0;
      for (int n = 0; n < kReadsPerReader; n++) {
        void *context = nullptr;
        CallbackFunction function = nullptr;
        if (Callback_Get(&cell, &context, &function)) {
          localSeen++;
          uintptr_t i = (uintptr_t(context) - 0x100000) / 16;
          if (i >= kPairs || function != fakeFunction(int(i))) localTorn++;
        } else if (context != nullptr) {
          localTorn++;
        }
      }
      torn += localTorn;
      seen += localSeen;
      readersLeft--;
    });
  for (auto &t : threads) t.join();
  EXPECT_EQ(torn.load(), 0);
  EXPECT_GT(seen.load(), 0);
}

// Threads race to clear the same cell in each round; the counted context must
// lose exactly one reference per round, however many clears ran.
TEST(CallbackThreaded, RacingClearsDropOneReference) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 500;
  Counted object;
  countedInit(&object, 1);
  CallbackCell cell{};
  int wrongCounts = 0;
  std::barrier sync(kThreads + 1);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; t++)
    threads.emplace_back([&] {
      for (int round = 0; round < kRounds; round++) {
        sync.arrive_and_wait();  // the cell is set
        Callback_Clear(&cell);
        sync.arrive_and_wait();  // every clear is done
      }
    });
  for (int round = 0; round < kRounds; round++) {
    Class_Retain(&object);
    Callback_Set(&cell, countedContext(&object), fakeFunction(round));
    sync.arrive_and_wait();
    sync.arrive_and_wait();
    if (object.header.refCount.load() != 1) wrongCounts++;
  }
  for (auto &t : threads) t.join();
  EXPECT_EQ(wrongCounts, 0);
  EXPECT_EQ(object.destroyed.load(), 0);
}

// Setters race to create the lock on first use; readers share it. One lock
// must survive (a lost one leaks, which the asan preset reports), and the
// final clear must delete it.
TEST(CallbackThreaded, SetLockedSharesOneLock) {
  constexpr int kThreads = 4;
  constexpr int kSetsPerThread = 2000;
  CallbackCellLocked cell{};
  std::atomic<int64_t> torn{0};
  std::barrier start(2 * kThreads);
  std::vector<std::thread> threads;
  for (int w = 0; w < kThreads; w++)
    threads.emplace_back([&, w] {
      start.arrive_and_wait();
      for (int n = 0; n < kSetsPerThread; n++) {
        int i = (n * kThreads + w) % 64;
        Callback_SetLocked(&cell, fakeContext(i), fakeFunction(i));
      }
    });
  for (int r = 0; r < kThreads; r++)
    threads.emplace_back([&] {
      start.arrive_and_wait();
      for (int n = 0; n < kSetsPerThread; n++) {
        CriticalSection *lock = cell.lock.load();
        if (lock == nullptr) continue;
        CriticalSection_Enter(lock);
        void *context = nullptr;
        CallbackFunction function = nullptr;
        if (Callback_Get(&cell.cell, &context, &function) &&
            function != fakeFunction(int((uintptr_t(context) - 0x100000) / 16)))
          torn++;
        CriticalSection_Leave(lock);
      }
    });
  for (auto &t : threads) t.join();
  EXPECT_EQ(torn.load(), 0);
  EXPECT_NE(cell.lock.load(), nullptr);
  Callback_SetLocked(&cell, nullptr, nullptr);
  EXPECT_EQ(cell.lock.load(), nullptr);
}
