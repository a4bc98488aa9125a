#include "core/platform/thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>
#include <vector>

#include "core/runtime/class.h"
#include "core/platform/eventqueue.h"
#include "tests/test_util.h"
#include "tests/wake_hook.h"

namespace {

// Long enough never to expire on a loaded machine; every wait is still bounded.
constexpr int32_t kBoundMs = 10000;

int returnAtOnce(void *) { return 7; }

// The threads of this process once the runtime's own have started (a
// sanitizer starts a helper thread with the first thread it sees).
int baselineTasks() {
  Thread *warmUp = nullptr;
  EXPECT_EQ(Thread_Start(&warmUp, nullptr, returnAtOnce), 1);
  EXPECT_EQ(Thread_Join(kBoundMs, &warmUp), 1);
  return Test_CountThreads();
}

int countAndReturn(void *userData) {
  static_cast<std::atomic<int> *>(userData)->fetch_add(1);
  return 0;
}

// Runs until asked to stop.
int waitForStop(void *) {
  while (!Thread_Sleep(kBoundMs)) {
  }
  return 0;
}

// A thread that never flushes on its own and returns once released.
struct Gate {
  std::atomic<int> open{0};
};

int waitAtGate(void *userData) {
  auto *gate = static_cast<Gate *>(userData);
  Test_WaitUntil([&] { return gate->open.load() == 1; });
  return 0;
}

class ThreadThreaded : public ThreadTest {};
class ThreadThreadedDeathTest : public ThreadTest {};

}  // namespace

TEST(ThreadThreadedUninitDeathTest, CallsBeforeInitStop) {
  Thread *thread = nullptr;
  EXPECT_DEATH(Thread_Start(&thread, nullptr, returnAtOnce), "ABORT - Pointer is NULL\n");
  EXPECT_DEATH(Thread_Wake(1, 0), "ABORT - Pointer is NULL\n");
  EXPECT_DEATH(Thread_SetWakeHook(nullptr), "ABORT - Pointer is NULL\n");
  EXPECT_EQ(Thread_GetMainId(), 0u);
  EXPECT_EQ(Thread_Shutdown(), 1);
}

TEST_F(ThreadThreadedDeathTest, ProgrammingErrorsStop) {
  Thread *thread = nullptr;
  struct {
    uint32_t tag = 0x12345678;
  } foreign;
  Thread *foreignThread = reinterpret_cast<Thread *>(&foreign);
  EXPECT_DEATH(Thread_Init(), "Assertion failed \\(gThread == NULL\\)\nThread already initialized");
  EXPECT_DEATH(Thread_Start(nullptr, nullptr, returnAtOnce), "ABORT - Pointer is NULL\n");
  EXPECT_DEATH(Thread_Start(&thread, nullptr, nullptr), "ABORT - Pointer is NULL\n");
  EXPECT_DEATH(Thread_Release(nullptr), "ABORT - Pointer is NULL\n");
  EXPECT_DEATH(Thread_Release(&thread), "ABORT - Pointer is NULL\n");
  EXPECT_DEATH(Thread_Join(0, &thread), "ABORT - Pointer is NULL\n");
  EXPECT_DEATH(
      Thread_Release(&foreignThread),
      "Class mismatch pointer \\(0x[0-9A-Fa-f]+: expected 0x25b3fa47 but was 0x12345678\\)");
  // The main thread has no record, hence no queue of its own to flush.
  EXPECT_DEATH(Thread_FlushEvents(), "ABORT - Pointer is NULL\n");
}

TEST_F(ThreadThreaded, WakeOfAnIdWithoutRecordWakesTheMainThread) {
  constexpr uint32_t kNoSuchThread = 0x7ffffff0;
  EXPECT_EQ(Thread_Yield(), 0);
  uint64_t before = TestWake_Count();
  EXPECT_EQ(Thread_Wake(kNoSuchThread, 42), 1);
  EXPECT_EQ(TestWake_Count(), before + 1);
  EXPECT_EQ(TestWake_LastThreadId(), kNoSuchThread);
  EXPECT_EQ(TestWake_LastArgument(), 42u);
  // The main wake signal is auto-reset: one yield sees the wake.
  EXPECT_EQ(Thread_Yield(), 1);
  EXPECT_EQ(Thread_Yield(), 0);
}

TEST_F(ThreadThreaded, MainThreadCannotBeAskedToStop) {
  struct Row {
    const char *name;
    uint32_t threadId;
  };
  const Row rows[] = {
      {"main thread", Thread_GetMainId()},
      {"id without record", 0x7ffffff1},
  };
  EXPECT_EQ(Thread_GetMainId(), Thread_GetCurrentId());
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(Thread_RequestStop(row.threadId), 0);
    EXPECT_EQ(Thread_Sleep(0), 0);  // the main stop signal stays reset
  }
  Thread *found = nullptr;
  EXPECT_EQ(Thread_Find(Thread_GetMainId(), &found), 0);
  EXPECT_EQ(found, nullptr);
  EXPECT_EQ(Thread_GetEventQueue(Thread_GetMainId()), nullptr);
}

TEST_F(ThreadThreaded, JoinTimesOutThenJoinsWithoutLimit) {
  Thread *thread = nullptr;
  ASSERT_EQ(Thread_Start(&thread, nullptr, waitForStop), 1);
  uint32_t id = thread->threadId;
  EXPECT_EQ(Thread_Join(20, &thread), 0);
  ASSERT_NE(thread, nullptr);  // still the caller's
  EXPECT_EQ(thread->tag, kThreadTag);
  EXPECT_EQ(Thread_RequestStop(id), 1);
  EXPECT_EQ(Thread_Join(-1, &thread), 1);
  EXPECT_EQ(thread, nullptr);
}

TEST_F(ThreadThreaded, FindHandsOutReferencesOfListedRecords) {
  Thread *thread = nullptr;
  ASSERT_EQ(Thread_Start(&thread, nullptr, waitForStop), 1);
  Thread *found = nullptr;
  ASSERT_EQ(Thread_Find(thread->threadId, &found), 1);
  EXPECT_EQ(found, thread);
  EXPECT_EQ(found->refCount, 3);  // starter, thread, finder
  Thread_Release(&found);
  EXPECT_EQ(found, nullptr);
  EventQueue *queue = Thread_GetEventQueue(thread->threadId);
  EXPECT_EQ(queue, thread->queue);
  EXPECT_EQ(queue->header.refCount.load(), 2);
  Class_ReleaseObject(&queue);
  Thread_RequestStop(thread->threadId);
  ASSERT_EQ(Thread_Join(kBoundMs, &thread), 1);
}

// A callback posted after the thread's function has returned goes to the
// main queue and runs there.
TEST_F(ThreadThreaded, CallbackToAFinishedThreadLandsInTheMainQueue) {
  Thread *thread = nullptr;
  ASSERT_EQ(Thread_Start(&thread, nullptr, returnAtOnce), 1);
  uint32_t id = thread->threadId;
  ASSERT_EQ(Thread_Join(kBoundMs, &thread), 1);
  static std::atomic<uint32_t> ranOn;
  ranOn = 0;
  uint64_t wakes = TestWake_Count();
  EventQueue_PostCallbackToThread(id, nullptr, [](void *) { ranOn = Thread_GetCurrentId(); });
  EXPECT_EQ(TestWake_Count(), wakes + 1);
  EXPECT_EQ(TestWake_LastThreadId(), Thread_GetMainId());
  EXPECT_EQ(EventQueue_Flush(nullptr), 1);
  EXPECT_EQ(ranOn.load(), Thread_GetMainId());
}

// Events due before the function returns all run before the exit signal is
// set; one due later gets only its done handler, when the record goes.
TEST_F(ThreadThreaded, DueEventsRunBeforeTheExitSignal) {
  constexpr int kEvents = 100;
  static Thread *current;
  static std::atomic<int> ran, ranAfterExit, lateHandler, lateDone;
  ran = ranAfterExit = lateHandler = lateDone = 0;
  Gate gate;
  Thread *thread = nullptr;
  ASSERT_EQ(Thread_Start(&thread, &gate, waitAtGate), 1);
  current = thread;
  EventQueue *queue = Thread_GetEventQueue(thread->threadId);
  ASSERT_NE(queue, nullptr);
  for (int i = 0; i < kEvents; i++) {
    EventQueue_PostCallback(queue, reinterpret_cast<void *>(uintptr_t(i + 1)), [](void *) {
      int exited = 0;
      Signal_Wait(current->exit, &exited, 0, KSRC);
      ranAfterExit += exited;
      ran++;
    });
  }
  EventQueue_Post(
      queue, 1, nullptr, 0, [](uintptr_t, void *) { lateHandler++; },
      [](uintptr_t, void *) { lateDone++; }, nullptr, KSRC, Platform_GetTickSeconds() + 3600);
  Class_ReleaseObject(&queue);
  gate.open = 1;
  ASSERT_EQ(Thread_Join(kBoundMs, &thread), 1);
  EXPECT_EQ(ran.load(), kEvents);
  EXPECT_EQ(ranAfterExit.load(), 0);
  EXPECT_EQ(lateHandler.load(), 0);
  EXPECT_EQ(lateDone.load(), 1);
}

TEST_F(ThreadThreaded, ThousandShortThreadsStartAndJoin) {
  constexpr int kThreads = 1000;
  constexpr int kBatch = 50;  // started together, then joined
  std::atomic<int> ran{0};
  int before = baselineTasks();
  for (int started = 0; started < kThreads; started += kBatch) {
    Thread *threads[kBatch] = {};
    for (Thread *&thread : threads) ASSERT_EQ(Thread_Start(&thread, &ran, countAndReturn), 1);
    for (Thread *&thread : threads) {
      ASSERT_EQ(Thread_Join(kBoundMs, &thread), 1);
      EXPECT_EQ(thread, nullptr);
    }
  }
  EXPECT_EQ(ran.load(), kThreads);
  // A machine busy with other tests' processes may take a while to let a
  // thousand ended threads' entries go.
  EXPECT_TRUE(Test_WaitUntil([&] { return Test_CountThreads() == before; }, 60000));
}

// Without a join, releasing the starter's reference still leaves no thread
// behind, whether the thread had finished or was still running.
TEST_F(ThreadThreaded, ReleaseWithoutJoinLeavesNoThreadBehind) {
  int before = baselineTasks();
  {
    SCOPED_TRACE("finished thread");
    Thread *thread = nullptr;
    ASSERT_EQ(Thread_Start(&thread, nullptr, returnAtOnce), 1);
    int exited = 0;
    Signal_Wait(thread->exit, &exited, kBoundMs, KSRC);
    ASSERT_EQ(exited, 1);
    EXPECT_EQ(Thread_Release(&thread), 1);
    EXPECT_EQ(thread, nullptr);
    EXPECT_TRUE(Test_WaitUntil([&] { return Test_CountThreads() == before; }));
  }
  {
    SCOPED_TRACE("running thread");
    Thread *thread = nullptr;
    ASSERT_EQ(Thread_Start(&thread, nullptr, waitForStop), 1);
    uint32_t id = thread->threadId;
    EXPECT_EQ(Thread_Release(&thread), 1);
    EXPECT_EQ(thread, nullptr);
    EXPECT_EQ(Test_CountThreads(), before + 1);
    EXPECT_EQ(Thread_RequestStop(id), 1);
    EXPECT_TRUE(Test_WaitUntil([&] { return Test_CountThreads() == before; }));
    // Unlisted as its function returned: the id finds nothing any more.
    Thread *found = nullptr;
    EXPECT_EQ(Thread_Find(id, &found), 0);
  }
}

TEST_F(ThreadThreaded, WorkerRunsCallbacksPostedToItsId) {
  static std::atomic<uint32_t> ranOn;
  static std::atomic<int> runs;
  ranOn = 0;
  runs = 0;
  Thread *thread = nullptr;
  ASSERT_EQ(Thread_Start(&thread, nullptr,
                         [](void *) {
                           while (!Thread_Sleep(0)) {
                             Thread_Yield();
                             Thread_FlushEvents();
                           }
                           return 0;
                         }),
            1);
  uint32_t id = thread->threadId;
  const double started = Platform_GetTickSeconds();
  uint64_t wakes = TestWake_Count();
  EventQueue_PostCallbackToThread(id, nullptr, [](void *) {
    ranOn = Thread_GetCurrentId();
    runs++;
  });
  EXPECT_TRUE(Test_WaitUntil([] { return runs.load() == 1; }));
  EXPECT_EQ(ranOn.load(), id);
  EXPECT_GE(thread->lastFlushTime.load(), started);
  EXPECT_EQ(TestWake_Count(), wakes);  // the main thread was not woken
  Thread_RequestStop(id);
  ASSERT_EQ(Thread_Join(kBoundMs, &thread), 1);
}
