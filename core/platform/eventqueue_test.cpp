#include "core/platform/eventqueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "core/runtime/class.h"
#include "core/platform/thread.h"
#include "tests/wake_hook.h"

namespace {

constexpr int32_t kBoundMs = 10000;

constexpr char kTooBig[] =
    "Assertion failed \\(sizeof\\(EventQueueEventStruct\\) \\+ InternalEventSize <= "
    "EVENTQUEUE_MAXEVENTSIZE\\)\nEvent exceed max size";
constexpr char kForeignFlush[] =
    "Assertion failed \\(Thread_GetCurrentId\\(\\) == EventQueue->ThreadId\\)\nUnable to flush "
    "event queue on invalid thread";

// What ran, per event id (ids 0 to kMaxIds - 1): handlers and done handlers.
constexpr int kMaxIds = 16;
std::atomic<int> gRuns[kMaxIds];
std::atomic<int> gDones[kMaxIds];

void resetCounts() {
  for (int i = 0; i < kMaxIds; i++) gRuns[i] = gDones[i] = 0;
}

void countRun(uintptr_t id, void *) { gRuns[id]++; }
void countDone(uintptr_t id, void *) { gDones[id]++; }

// Posts id to the queue, due now, counting its handler and done handler.
int postCounted(EventQueue *queue, uintptr_t id, EventQueueCoalesce coalesce = nullptr) {
  return EventQueue_Post(queue, id, nullptr, 0, countRun, countDone, coalesce, KSRC,
                         Platform_GetTickSeconds());
}

int sameId(uintptr_t newId, const void *, uintptr_t pendingId, const void *) {
  return newId == pendingId ? 1 : 0;
}

void *contextOf(uintptr_t value) { return reinterpret_cast<void *>(value); }

// Callback runs by context, for the coalescing rows.
std::vector<uintptr_t> gCallbackLog;
void logCallbackA(void *context) { gCallbackLog.push_back(reinterpret_cast<uintptr_t>(context)); }
void logCallbackB(void *context) {
  gCallbackLog.push_back(reinterpret_cast<uintptr_t>(context) | 0x8000000000000000ULL);
}

// A queue owned by the test's thread, released at the end of the scope.
struct OwnQueue {
  EventQueue *queue = nullptr;
  OwnQueue() { EventQueue_Create(&queue); }
  ~OwnQueue() {
    if (queue != nullptr) Class_ReleaseObject(&queue);
  }
};

class EventQueueThreaded : public ThreadTest {};
class EventQueueThreadedDeathTest : public ThreadTest {};

struct Gate {
  std::atomic<int> open{0};
};

// A worker that flushes until asked to stop.
int flushUntilStopped(void *) {
  while (!Thread_Sleep(0)) {
    Thread_Yield();
    Thread_FlushEvents();
  }
  return 0;
}

}  // namespace

TEST(EventQueueThreadedNoMainDeathTest, NullQueueWithoutMainQueueStops) {
  ASSERT_EQ(EventQueue_GetMain(), nullptr);
  EXPECT_DEATH(postCounted(nullptr, 0), "ABORT - Pointer is NULL\n");
  EXPECT_DEATH(EventQueue_Flush(nullptr), "ABORT - Pointer is NULL\n");
  EXPECT_DEATH(EventQueue_Cancel(nullptr, 0), "ABORT - Pointer is NULL\n");
}

TEST_F(EventQueueThreadedDeathTest, ProgrammingErrorsStop) {
  struct {
    ObjectHeader header;
  } foreign{};
  foreign.header.classTag = 0x0badf00d;
  auto *notAQueue = reinterpret_cast<EventQueue *>(&foreign);
  uint8_t payload[kEventQueueMaxPayloadBytes + 1] = {};
  EXPECT_DEATH(
      EventQueue_Post(nullptr, 1, payload, sizeof payload, countRun, nullptr, nullptr, KSRC, 0),
      kTooBig);
  EXPECT_DEATH(
      EventQueue_Post(nullptr, 1, nullptr, 0xffffffffu, countRun, nullptr, nullptr, KSRC, 0),
      kTooBig);
  EXPECT_DEATH(
      postCounted(notAQueue, 0),
      "Class mismatch pointer \\(0x[0-9A-Fa-f]+: expected 0xc97be418 but was 0x0badf00d\\)");
  EXPECT_DEATH(EventQueue_Flush(notAQueue), "Class mismatch pointer");
  EXPECT_DEATH(EventQueue_Post(nullptr, 1, nullptr, 0, nullptr, nullptr, nullptr, KSRC, 0),
               "ABORT - Pointer is NULL\n");
  EXPECT_DEATH(EventQueue_PostCallback(nullptr, nullptr, nullptr), "ABORT - Pointer is NULL\n");
}

// The largest payload travels whole, as the event's own copy.
TEST_F(EventQueueThreaded, PayloadOf64BytesArrivesWhole) {
  static uint8_t seen[kEventQueueMaxPayloadBytes];
  uint8_t payload[kEventQueueMaxPayloadBytes];
  for (size_t i = 0; i < sizeof payload; i++) payload[i] = uint8_t(i * 7 + 1);
  memset(seen, 0, sizeof seen);
  EXPECT_EQ(EventQueue_Post(
                nullptr, 1, payload, sizeof payload,
                [](uintptr_t, void *p) { memcpy(seen, p, sizeof seen); }, nullptr, nullptr, KSRC,
                Platform_GetTickSeconds()),
            1);
  memset(payload, 0, sizeof payload);
  EXPECT_EQ(EventQueue_Flush(nullptr), 1);
  for (size_t i = 0; i < sizeof seen; i++) EXPECT_EQ(seen[i], uint8_t(i * 7 + 1)) << i;
}

TEST_F(EventQueueThreaded, CallbacksCoalesceBySameContextAndFunction) {
  constexpr uintptr_t kB = 0x8000000000000000ULL;  // marks a run of logCallbackB
  struct Post {
    uintptr_t context;
    EventQueueCallback function;
  };
  struct Row {
    const char *name;
    std::vector<Post> posts;
    std::vector<uintptr_t> runs;
  };
  const Row rows[] = {
      {"the same callback twice runs once", {{1, logCallbackA}, {1, logCallbackA}}, {1}},
      {"other contexts all run", {{1, logCallbackA}, {2, logCallbackA}}, {1, 2}},
      {"same context, other function", {{1, logCallbackA}, {1, logCallbackB}}, {1, 1 | kB}},
      // An id cut to 32 bits would merge these two and lose one.
      {"contexts differing only above bit 31",
       {{0x100000001, logCallbackA}, {0x200000001, logCallbackA}},
       {0x100000001, 0x200000001}},
      {"posting order kept, duplicates dropped",
       {{3, logCallbackA}, {1, logCallbackA}, {3, logCallbackA}, {2, logCallbackA}},
       {3, 1, 2}},
  };
  // Another thread's callbacks wait in the intake until the flush lists them.
  for (const bool foreign : {false, true}) {
    for (const Row &row : rows) {
      SCOPED_TRACE(std::string(row.name) + (foreign ? ", posted by another thread" : ""));
      gCallbackLog.clear();
      auto postRow = [&row] {
        for (const Post &post : row.posts)
          EXPECT_EQ(EventQueue_PostCallback(nullptr, contextOf(post.context), post.function), 1);
      };
      if (foreign)
        std::thread(postRow).join();
      else
        postRow();
      EXPECT_EQ(EventQueue_Flush(nullptr), 1);
      EXPECT_EQ(gCallbackLog, row.runs);
      // Once run, the same callback queues again.
      gCallbackLog.clear();
      EventQueue_PostCallback(nullptr, contextOf(row.posts[0].context), row.posts[0].function);
      EventQueue_Flush(nullptr);
      EXPECT_EQ(gCallbackLog.size(), 1u);
    }
  }
}

// Runs per context, for the index rows: contexts 1 to kIndexPairs.
constexpr int kIndexPairs = 20000;
std::vector<int> gContextRuns;
void countContext(void *context) { gContextRuns[reinterpret_cast<uintptr_t>(context)]++; }
void countContextEvent(uintptr_t id, void *) { gContextRuns[id]++; }

// Thousands of pending callbacks take the callback index through its growth
// and rebuilds. An event posted with a callback's payload through
// EventQueue_Post, while the same pair is pending, must neither replace the
// index entry of another pair (whose next post would then run twice) nor
// keep the pair from coalescing.
TEST_F(EventQueueThreaded, ManyPendingCallbacksCoalesceThroughIndexGrowth) {
  OwnQueue own;
  gContextRuns.assign(kIndexPairs + 1, 0);
  EventQueueCallbackPayload payload;
  memset(&payload, 0, sizeof payload);
  payload.tag = kEventQueueCallbackTag;
  payload.function = countContext;
  for (uintptr_t i = 1; i <= kIndexPairs; i++) {
    EventQueue_PostCallback(own.queue, contextOf(i), countContext);
    ASSERT_EQ(EventQueue_Post(own.queue, i, &payload, sizeof payload, countContextEvent, nullptr,
                              nullptr, KSRC, Platform_GetTickSeconds()),
              1);
  }
  for (uintptr_t i = 1; i <= kIndexPairs; i++)
    EventQueue_PostCallback(own.queue, contextOf(i), countContext);
  EXPECT_EQ(EventQueue_Flush(own.queue), 1);
  int wrong = 0;
  for (uintptr_t i = 1; i <= kIndexPairs; i++) wrong += gContextRuns[i] != 2;
  EXPECT_EQ(wrong, 0) << "contexts that did not run exactly twice";
  // Run ones do not hold back new posts of their pairs.
  for (uintptr_t i = 1; i <= kIndexPairs; i++)
    EventQueue_PostCallback(own.queue, contextOf(i), countContext);
  EXPECT_EQ(EventQueue_Flush(own.queue), 1);
  wrong = 0;
  for (uintptr_t i = 1; i <= kIndexPairs; i++) wrong += gContextRuns[i] != 3;
  EXPECT_EQ(wrong, 0) << "contexts that did not run exactly three times";
}

TEST_F(EventQueueThreaded, PostReportsACoalescedEventWithZero) {
  resetCounts();
  EXPECT_EQ(postCounted(nullptr, 1, sameId), 1);
  EXPECT_EQ(postCounted(nullptr, 1, sameId), 0);
  EXPECT_EQ(postCounted(nullptr, 2, sameId), 1);
  EXPECT_EQ(EventQueue_Flush(nullptr), 1);
  EXPECT_EQ(gRuns[1], 1);
  EXPECT_EQ(gDones[1], 1);  // the dropped event was never queued
  EXPECT_EQ(gRuns[2], 1);
}

// A cancelled event will not run, so a new post equal to it must not be
// dropped for it.
TEST_F(EventQueueThreaded, PostEqualToACancelledPendingEventRuns) {
  resetCounts();
  EXPECT_EQ(postCounted(nullptr, 1, sameId), 1);
  EXPECT_EQ(EventQueue_Cancel(nullptr, 1), 1);
  EXPECT_EQ(postCounted(nullptr, 1, sameId), 1);
  gCallbackLog.clear();
  EventQueue_PostCallback(nullptr, contextOf(5), logCallbackA);
  EventQueue_Cancel(nullptr, 5);
  EventQueue_PostCallback(nullptr, contextOf(5), logCallbackA);
  EXPECT_EQ(EventQueue_Flush(nullptr), 1);
  EXPECT_EQ(gRuns[1], 1);
  EXPECT_EQ(gDones[1], 2);  // the cancelled one's and the new one's
  EXPECT_EQ(gCallbackLog, std::vector<uintptr_t>{5});
}

TEST_F(EventQueueThreaded, CancelledEventRunsOnlyItsDoneHandler) {
  resetCounts();
  postCounted(nullptr, 1);
  postCounted(nullptr, 2);
  postCounted(nullptr, 1);
  EXPECT_EQ(EventQueue_Cancel(nullptr, 1), 1);
  EXPECT_EQ(EventQueue_Flush(nullptr), 1);
  EXPECT_EQ(gRuns[1], 0);
  EXPECT_EQ(gDones[1], 2);
  EXPECT_EQ(gRuns[2], 1);
  EXPECT_EQ(gDones[2], 1);
}

// A handler that flushes its own queue, as a blocking request does on the
// main thread: the nested flush runs the outer walk's successor, which the
// outer walk must then neither run again nor release again.
TEST_F(EventQueueThreaded, NestedFlushRunsEveryEventOnce) {
  constexpr int kEvents = 6;
  constexpr uintptr_t kLate = 7;  // posted by a handler just before it flushes
  static unsigned flushMask, postMask;
  struct Row {
    const char *name;
    unsigned flushMask;
    unsigned postMask;
  };
  const Row rows[] = {
      {"first handler flushes", 0x01, 0},
      {"every handler flushes", 0x3f, 0},
      {"last handler flushes", 0x20, 0},
      {"two handlers flush", 0x12, 0},
      {"a handler posts, then flushes", 0x04, 0x04},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    resetCounts();
    flushMask = row.flushMask;
    postMask = row.postMask;
    for (uintptr_t id = 0; id < kEvents; id++) {
      EventQueue_Post(
          nullptr, id, nullptr, 0,
          [](uintptr_t id, void *) {
            gRuns[id]++;
            if (postMask & (1u << id)) postCounted(nullptr, kLate);
            if (flushMask & (1u << id)) EventQueue_Flush(nullptr);
          },
          countDone, nullptr, KSRC, Platform_GetTickSeconds());
    }
    EXPECT_EQ(EventQueue_Flush(nullptr), 1);
    for (int id = 0; id < kEvents; id++) {
      EXPECT_EQ(gRuns[id], 1) << id;
      EXPECT_EQ(gDones[id], 1) << id;
    }
    EXPECT_EQ(gRuns[kLate], row.postMask ? 1 : 0);
    EXPECT_EQ(EventQueue_GetMain()->list.count, 0);
  }
}

TEST_F(EventQueueThreaded, DoneHandlerPostingToItsOwnQueueDoesNotDeadlock) {
  resetCounts();
  EventQueue_Post(
      nullptr, 1, nullptr, 0, countRun,
      [](uintptr_t id, void *) {
        gDones[id]++;
        postCounted(nullptr, 2);  // takes the queue's lock again, on the same thread
      },
      nullptr, KSRC, Platform_GetTickSeconds());
  EXPECT_EQ(EventQueue_Flush(nullptr), 1);
  if (gRuns[2] == 0) {
    EXPECT_EQ(EventQueue_Flush(nullptr), 1);
  }
  EXPECT_EQ(gRuns[1], 1);
  EXPECT_EQ(gDones[1], 1);
  EXPECT_EQ(gRuns[2], 1);
}

TEST_F(EventQueueThreaded, DestroyRunsEachPendingDoneHandlerOnceAndNoHandler) {
  resetCounts();
  OwnQueue own;
  postCounted(own.queue, 1);
  EventQueue_Post(own.queue, 2, nullptr, 0, countRun, countDone, nullptr, KSRC,
                  Platform_GetTickSeconds() + 3600);
  postCounted(own.queue, 3);
  EventQueue_Cancel(own.queue, 3);
  EventQueue_Post(own.queue, 4, nullptr, 0, countRun, nullptr, nullptr, KSRC, 0);
  Class_ReleaseObject(&own.queue);
  for (int id = 1; id <= 4; id++) {
    EXPECT_EQ(gRuns[id], 0) << id;
    EXPECT_EQ(gDones[id], id == 4 ? 0 : 1) << id;
  }
}

// An event due in 2 s wakes nobody, stays through earlier flushes and runs at
// the first flush that starts at or after its time.
TEST_F(EventQueueThreaded, FutureEventDoesNotWakeAndRunsOnceDue) {
  static double ranAt;
  ranAt = 0;
  uint64_t wakes = TestWake_Count();
  const double fireTime = Platform_GetTickSeconds() + 2.0;
  EXPECT_EQ(
      EventQueue_Post(
          nullptr, 1, nullptr, 0, [](uintptr_t, void *) { ranAt = Platform_GetTickSeconds(); },
          nullptr, nullptr, KSRC, fireTime),
      1);
  EXPECT_EQ(TestWake_Count(), wakes);
  const double deadline = fireTime + kBoundMs / 1000.0;
  while (ranAt == 0 && Platform_GetTickSeconds() < deadline) {
    double before = Platform_GetTickSeconds();
    EXPECT_EQ(EventQueue_Flush(nullptr), 1);
    if (ranAt == 0) {
      EXPECT_LT(before, fireTime) << "a due event stayed queued";
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_GE(ranAt, fireTime);
  EXPECT_EQ(TestWake_Count(), wakes);
}

// Fire times follow the test clock: an event due in an hour runs once the
// clock is jumped past it, with no real waiting.
TEST_F(EventQueueThreaded, FireTimesFollowTheTestClock) {
  static double fake;
  fake = 1000;
  resetCounts();
  OwnQueue own;
  Platform_SetTickSourceForTest([] { return fake; });
  EventQueue_Post(own.queue, 1, nullptr, 0, countRun, countDone, nullptr, KSRC, 1000 + 3600);
  EXPECT_EQ(EventQueue_Flush(own.queue), 1);
  EXPECT_EQ(gRuns[1], 0);
  fake = 1000 + 3600;
  EXPECT_EQ(EventQueue_Flush(own.queue), 1);
  Platform_SetTickSourceForTest(nullptr);
  EXPECT_EQ(gRuns[1], 1);
}

// Timers not yet due that lead the list are passed over by later flushes
// until one of them can be due or one is cancelled; what follows them is
// still walked.
TEST_F(EventQueueThreaded, WaitingTimersAtTheHeadRunOnceDue) {
  static double fake;
  static EventQueue *queue;
  Platform_SetTickSourceForTest([] { return fake; });
  auto at = [](uintptr_t id, double seconds) {
    EventQueue_Post(queue, id, nullptr, 0, countRun, countDone, nullptr, KSRC, 1000 + seconds);
  };
  auto flush = [] { EXPECT_EQ(EventQueue_Flush(queue), 1); };
  struct Row {
    const char *name;
    std::function<void()> steps;
    std::vector<int> runs;  // of ids 1, 2, 3
    std::vector<int> dones;
  };
  const Row rows[] = {
      {"runs once due",
       [&] {
         at(1, 10);
         flush();
         flush();
         fake = 1010;
         flush();
         flush();
       },
       {1, 0, 0},
       {1, 0, 0}},
      {"a cancel reaches one",
       [&] {
         at(1, 10);
         flush();
         flush();
         EventQueue_Cancel(queue, 1);
         flush();
       },
       {0, 0, 0},
       {1, 0, 0}},
      {"the earliest of them counts",
       [&] {
         at(1, 10);
         at(2, 5);
         flush();
         fake = 1006;
         flush();
       },
       {0, 1, 0},
       {0, 1, 0}},
      {"a timer behind them runs when due",
       [&] {
         at(1, 10);
         flush();
         at(2, 1);
         fake = 1002;
         flush();
       },
       {0, 1, 0},
       {0, 1, 0}},
      // The clock going back must not bring back an event that has left.
      {"a nested flush runs one and the clock goes back",
       [&] {
         at(1, 10);
         flush();
         EventQueue_Post(
             queue, 3, nullptr, 0,
             [](uintptr_t id, void *) {
               gRuns[id]++;
               fake = 1010;
               EventQueue_Flush(queue);
               fake = 1000;
             },
             nullptr, nullptr, KSRC, 1000);
         flush();
         at(2, 0);
         flush();
       },
       {1, 1, 1},
       {1, 1, 0}},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    resetCounts();
    fake = 1000;
    OwnQueue own;
    queue = own.queue;
    row.steps();
    for (int id = 1; id <= 3; id++) {
      EXPECT_EQ(gRuns[id], row.runs[id - 1]) << id;
      EXPECT_EQ(gDones[id], row.dones[id - 1]) << id;
    }
  }
  Platform_SetTickSourceForTest(nullptr);
}

// The main queue's budget: handlers that together take over 0.1 s end the
// flush early with events left, and the owner is woken to come back.
TEST_F(EventQueueThreaded, MainQueueFlushStopsAtItsBudget) {
  constexpr int kEvents = 3;
  resetCounts();
  for (int i = 0; i < kEvents; i++)
    EventQueue_Post(
        nullptr, 1, nullptr, 0,
        [](uintptr_t id, void *) {
          std::this_thread::sleep_for(std::chrono::milliseconds(60));
          gRuns[id]++;
        },
        nullptr, nullptr, KSRC, Platform_GetTickSeconds());
  uint64_t wakes = TestWake_Count();
  EXPECT_EQ(EventQueue_Flush(nullptr), 0);
  EXPECT_LT(gRuns[1], kEvents);
  EXPECT_EQ(EventQueue_GetMain()->list.count, kEvents - gRuns[1]);
  EXPECT_EQ(TestWake_Count(), wakes + 1);
  EXPECT_EQ(TestWake_LastThreadId(), Thread_GetMainId());
  EXPECT_EQ(TestWake_LastArgument(), 0u);
  for (int flushes = 0; flushes < kEvents && gRuns[1] < kEvents; flushes++)
    EventQueue_Flush(nullptr);
  EXPECT_EQ(gRuns[1], kEvents);
}

TEST_F(EventQueueThreaded, EmptyQueueFlushesFromAnyThread) {
  int result = -1;
  std::thread foreign([&] { result = EventQueue_Flush(nullptr); });
  foreign.join();
  EXPECT_EQ(result, 1);
}

TEST_F(EventQueueThreadedDeathTest, NonEmptyQueueFlushedFromAnotherThreadStops) {
  EXPECT_DEATH(
      {
        postCounted(nullptr, 1);
        std::thread foreign([] { EventQueue_Flush(nullptr); });
        foreign.join();
      },
      kForeignFlush);
}

// Eight producers post to one worker's queue while it flushes; half post
// plain events, half callbacks. Every event runs once, in each producer's
// order.
TEST_F(EventQueueThreaded, EightProducersEachRunOnceInOrder) {
  constexpr int kProducers = 8;
  constexpr uint32_t kPosts = 100000;
  constexpr int32_t kDrainBoundMs = 240000;  // sanitizers are slow here
  static uint32_t received[kProducers];      // touched by the worker only
  static uint32_t outOfOrder[kProducers];
  static std::atomic<uint64_t> total;
  for (int p = 0; p < kProducers; p++) received[p] = outOfOrder[p] = 0;
  total = 0;
  struct Item {
    uint32_t producer;
    uint32_t sequence;
  };
  auto record = [](uint32_t producer, uint32_t sequence) {
    if (sequence != received[producer]) outOfOrder[producer]++;
    received[producer] = sequence + 1;
    total++;
  };
  static void (*recordItem)(uint32_t, uint32_t);
  recordItem = record;

  Thread *worker = nullptr;
  ASSERT_EQ(Thread_Start(&worker, nullptr, flushUntilStopped), 1);
  const uint32_t workerId = worker->threadId;
  EventQueue *queue = Thread_GetEventQueue(workerId);
  std::vector<std::thread> producers;
  for (uint32_t p = 0; p < kProducers; p++) {
    producers.emplace_back([=] {
      for (uint32_t i = 0; i < kPosts; i++) {
        if (p % 2 == 0) {
          Item item{p, i};
          EventQueue_Post(
              queue, p, &item, sizeof item,
              [](uintptr_t, void *payload) {
                auto *it = static_cast<Item *>(payload);
                recordItem(it->producer, it->sequence);
              },
              nullptr, nullptr, KSRC, Platform_GetTickSeconds());
        } else {
          uintptr_t context = (uintptr_t(p) << 32) | i;
          EventQueue_PostCallbackToThread(workerId, contextOf(context), [](void *c) {
            uintptr_t value = reinterpret_cast<uintptr_t>(c);
            recordItem(uint32_t(value >> 32), uint32_t(value));
          });
        }
      }
    });
  }
  for (auto &producer : producers) producer.join();
  const uint64_t expected = uint64_t(kProducers) * kPosts;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kDrainBoundMs);
  while (total.load() < expected && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  Thread_RequestStop(workerId);
  ASSERT_EQ(Thread_Join(kBoundMs, &worker), 1);
  Class_ReleaseObject(&queue);
  EXPECT_EQ(total.load(), expected);
  for (int p = 0; p < kProducers; p++) {
    SCOPED_TRACE(p);
    EXPECT_EQ(received[p], kPosts);
    EXPECT_EQ(outOfOrder[p], 0u);
  }
}

// A thread that posts more callbacks than the intake holds while the owner
// does not flush lists the intake itself: the owner may be waiting for that
// very thread, as the main thread is here. A cancel reaches callbacks still
// waiting to be listed, and the rest run once, in posting order.
TEST_F(EventQueueThreaded, ForeignPostsBeyondTheIntakeNeedNoFlush) {
  constexpr uintptr_t kPosts = 3 * kEventQueueIntakeSlots + 5;
  constexpr uintptr_t kCancelled = kPosts - 2;
  gCallbackLog.clear();
  std::atomic<int> posted{0};
  std::thread poster([&posted] {
    for (uintptr_t i = 1; i <= kPosts; i++)
      EventQueue_PostCallback(nullptr, contextOf(i), logCallbackA);
    EventQueue_Cancel(nullptr, kCancelled);
    posted = 1;
  });
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBoundMs);
  while (posted.load() == 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  if (posted.load() == 0) {
    poster.detach();
    FAIL() << "the poster waits for the owner";
  }
  poster.join();
  EXPECT_EQ(EventQueue_Flush(nullptr), 1);
  std::vector<uintptr_t> expected;
  for (uintptr_t i = 1; i <= kPosts; i++)
    if (i != kCancelled) expected.push_back(i);
  EXPECT_EQ(gCallbackLog, expected);
}

// A cancel from another thread returns only once the running handler has
// ended, so its caller may free what the handler uses.
TEST_F(EventQueueThreaded, ForeignCancelWaitsForTheRunningHandler) {
  static std::atomic<int> inHandler, handlerEnded;
  inHandler = handlerEnded = 0;
  Thread *worker = nullptr;
  ASSERT_EQ(Thread_Start(&worker, nullptr, flushUntilStopped), 1);
  EventQueue *queue = Thread_GetEventQueue(worker->threadId);
  EventQueue_Post(
      queue, 1, nullptr, 0,
      [](uintptr_t, void *) {
        inHandler = 1;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        handlerEnded = 1;
        inHandler = 0;
      },
      nullptr, nullptr, KSRC, Platform_GetTickSeconds());
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBoundMs);
  while (inHandler.load() == 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::yield();
  ASSERT_EQ(inHandler.load(), 1);
  EXPECT_EQ(EventQueue_Cancel(queue, 2), 1);
  EXPECT_EQ(handlerEnded.load(), 1);
  EXPECT_EQ(inHandler.load(), 0);
  Class_ReleaseObject(&queue);
  Thread_RequestStop(worker->threadId);
  ASSERT_EQ(Thread_Join(kBoundMs, &worker), 1);
}

TEST_F(EventQueueThreaded, CancelForThreadReachesTheWorkersQueue) {
  resetCounts();
  Gate gate;
  Thread *worker = nullptr;
  ASSERT_EQ(
      Thread_Start(&worker, &gate,
                   [](void *g) {
                     auto *gate = static_cast<Gate *>(g);
                     auto deadline =
                         std::chrono::steady_clock::now() + std::chrono::milliseconds(kBoundMs);
                     while (gate->open.load() == 0 && std::chrono::steady_clock::now() < deadline)
                       Thread_Yield();
                     return 0;
                   }),
      1);
  EventQueue *queue = Thread_GetEventQueue(worker->threadId);
  postCounted(queue, 1);
  postCounted(queue, 2);
  Class_ReleaseObject(&queue);
  EXPECT_EQ(EventQueue_CancelForThread(worker->threadId, 1), 1);
  gate.open = 1;
  ASSERT_EQ(Thread_Join(kBoundMs, &worker), 1);
  EXPECT_EQ(gRuns[1], 0);
  EXPECT_EQ(gDones[1], 1);
  EXPECT_EQ(gRuns[2], 1);
}

// While the owner has not flushed since a post woke it, further posts need
// not wake it again: that flush runs them all.
TEST_F(EventQueueThreaded, OnePostWakesTheOwnerPerFlush) {
  resetCounts();
  uint64_t wakes = TestWake_Count();
  for (uintptr_t id = 1; id <= 3; id++) postCounted(nullptr, id);
  EXPECT_EQ(TestWake_Count(), wakes + 1);
  EXPECT_EQ(EventQueue_Flush(nullptr), 1);
  EXPECT_EQ(gRuns[1] + gRuns[2] + gRuns[3], 3);
  postCounted(nullptr, 4);
  EXPECT_EQ(TestWake_Count(), wakes + 2);
}

// A cancel from another thread gets through while one flush runs a long
// stream of handlers: it returns before the stream has ended, and the event
// it cancelled further down the stream does not run. Handlers take their time
// only until the cancel has returned, so a cancel that waited for the whole
// stream would return after a couple of seconds, with every handler run.
std::atomic<int> gStreamRuns;
std::atomic<int> gStreamLastRan;
std::atomic<int> gStreamCancelReturned;

// The first kStreamSlowHandlers handlers each wait (yielding the processor)
// until the cancel has returned, at most 20 ms: a cancel that gets through
// between handlers returns within the first of them, whatever the machine's
// load, while one starved by the stream returns only after all of it.
constexpr int kStreamSlowHandlers = 500;

void streamHandler(uintptr_t id, void *) {
  if (gStreamRuns.load() < kStreamSlowHandlers) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(20);
    while (gStreamCancelReturned.load() == 0 && std::chrono::steady_clock::now() < until)
      std::this_thread::yield();
  }
  gStreamLastRan = int(id);
  gStreamRuns++;
}

TEST_F(EventQueueThreaded, ForeignCancelIsNotStarvedByAStreamOfHandlers) {
  constexpr int kEvents = 100000;
  constexpr uintptr_t kCancelled = kEvents - 1;
  gStreamRuns = 0;
  gStreamLastRan = -1;
  gStreamCancelReturned = 0;
  Gate gate;
  Thread *worker = nullptr;
  ASSERT_EQ(
      Thread_Start(&worker, &gate,
                   [](void *g) {
                     auto *gate = static_cast<Gate *>(g);
                     auto deadline =
                         std::chrono::steady_clock::now() + std::chrono::milliseconds(kBoundMs);
                     while (gate->open.load() == 0 && std::chrono::steady_clock::now() < deadline)
                       Thread_Yield();
                     Thread_FlushEvents();  // one flush runs the whole stream
                     return 0;
                   }),
      1);
  EventQueue *queue = Thread_GetEventQueue(worker->threadId);
  for (uintptr_t id = 0; id < kEvents; id++)
    EventQueue_Post(queue, id, nullptr, 0, streamHandler, nullptr, nullptr, KSRC, 0);
  gate.open = 1;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBoundMs);
  while (gStreamRuns.load() < 10 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::yield();
  EXPECT_EQ(EventQueue_Cancel(queue, kCancelled), 1);
  int runsAtReturn = gStreamRuns.load();
  gStreamCancelReturned = 1;
  EXPECT_LT(runsAtReturn, kStreamSlowHandlers) << "the cancel waited for the stream";
  ASSERT_EQ(Thread_Join(kBoundMs, &worker), 1);
  EXPECT_EQ(gStreamRuns.load(), kEvents - 1);
  EXPECT_EQ(gStreamLastRan.load(), int(kCancelled - 1));
  Class_ReleaseObject(&queue);
}
