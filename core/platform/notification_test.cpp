#include "core/platform/notification.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "core/platform/eventqueue.h"
#include "core/platform/interopcallback.h"
#include "core/formats/json.h"
#include "core/platform/platform.h"
#include "core/platform/thread.h"
#include "tests/interop_test_util.h"
#include "tests/log_capture.h"
#include "tests/wake_hook.h"

namespace {

// Only a failing wait reaches it: 80,000 blocking fires under the thread
// sanitizer on a crowded two-core machine take well over 20 s.
constexpr int32_t kBoundMs = 90000;

// The thread module, the main queue, the seam and the center, as the host
// starts them.
class NotificationTest : public ThreadTest {
 protected:
  void SetUp() override {
    ThreadTest::SetUp();
    InteropCallback_Init();
    NotificationCenter_Init();
  }
  void TearDown() override {
    NotificationCenter_Shutdown();
    InteropCallback_Shutdown();
    ThreadTest::TearDown();
  }
};
class NotificationThreaded : public NotificationTest {};
class NotificationDeathTest : public NotificationTest {};

// One pass of the host's main loop.
void pump() {
  EventQueue_Flush(EventQueue_GetMain());
  NotificationCenter_ProcessPendingFires();
}

// Pumps until done() holds or kBoundMs have passed; the last answer.
bool pumpUntil(const std::function<bool()> &done) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBoundMs);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return done();
    Thread_Yield();
    pump();
  }
  return true;
}

// What an observer saw: one line per call.
struct Calls {
  std::vector<std::string> lines;
  std::function<void(const char *, const char *, const char *)> then;
};

int record(void *context, const char *sender, const char *notification, const char *instance,
           Dictionary *info) {
  auto *calls = static_cast<Calls *>(context);
  calls->lines.push_back(std::string(sender) + "." + notification + "." + instance + " " +
                         InteropTest_JsonText(info));
  if (calls->then) calls->then(sender, notification, instance);
  return 1;
}

int addObserver(const char *sender, const char *notification, void *context,
                NotificationObserver callback) {
  return NotificationCenter_AddInstanceObserver(sender, notification, nullptr, context, callback);
}

// Drains the seam's queue into JSON texts.
std::vector<std::string> takeQueued() {
  std::vector<std::string> texts;
  InteropTest_TakeQueued(&texts);
  return texts;
}

}  // namespace

TEST(NotificationUninitDeathTest, CallsWithoutCenterStop) {
  EXPECT_DEATH(NotificationCenter_AddInstanceObserver("a", "b", nullptr, nullptr, record),
               "Pointer is NULL\n");
  EXPECT_DEATH(NotificationCenter_FireAfterDelay("a", "b", nullptr, 0, nullptr),
               "Pointer is NULL\n");
}

TEST_F(NotificationDeathTest, ProgrammingErrorsStop) {
  Calls calls;
  NotificationCenter_AddInstanceObserver("Task", "Start", "abc", &calls, record);
  EXPECT_DEATH(NotificationCenter_AssertInstance(&calls),
               "Assertion failed \\(RefCount == 0\\)\nNotificationCenter - Instance still has 1 "
               "references - Task.Start.abc");
  const char *kNotMain =
      "Assertion failed \\(Thread_GetMainId\\(\\) == Thread_GetCurrentId\\(\\)\\)\nFunction not "
      "on main thread";
  EXPECT_DEATH(std::thread([] { NotificationCenter_ProcessPendingFires(); }).join(), kNotMain);
  EXPECT_DEATH(std::thread([] { NotificationCenter_PendingFiresCallback(nullptr); }).join(),
               kNotMain);
  EXPECT_DEATH(NotificationCenter_RegisterInteropInstance(nullptr, &calls, record),
               "Pointer is NULL\n");
  EXPECT_DEATH(NotificationCenter_RemoveInteropObserver("a", "b", nullptr, nullptr),
               "Pointer is NULL\n");
  NotificationCenter_RemoveInstanceObserver("Task", "Start", "abc", &calls, record);
}

TEST_F(NotificationTest, RoutingByKindWithWildcardsAndCaseInsensitiveKeys) {
  Calls global, senderWide, instance, other;
  NotificationCenter_AddInstanceObserver(nullptr, nullptr, nullptr, &global, record);
  addObserver("task", "start", &senderWide, record);
  NotificationCenter_AddInstanceObserver("Task", "Start", "abc", &instance, record);
  NotificationCenter_AddInstanceObserver("Task", "Start", "other", &other, record);
  struct Row {
    const char *sender, *notification, *instance;
    std::vector<std::string> wantGlobal, wantSenderWide, wantInstance;
  };
  const Row rows[] = {
      {"Task", "Start", "abc", {"Task.Start.abc null"}, {"task.start.abc null"},
       {"Task.Start.abc null"}},
      {"TASK", "START", nullptr, {"TASK.START.Global null"}, {"task.start.Global null"}, {}},
      {"Task", "Start", "Global", {"Task.Start.Global null"}, {"task.start.Global null"}, {}},
      {"Pipe", "Read", "abc", {"Pipe.Read.abc null"}, {}, {}},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(std::string(row.sender) + "." + row.notification);
    global.lines.clear();
    senderWide.lines.clear();
    instance.lines.clear();
    EXPECT_EQ(NotificationCenter_Fire(row.sender, row.notification, row.instance, nullptr), 1);
    EXPECT_EQ(global.lines, row.wantGlobal);
    EXPECT_EQ(senderWide.lines, row.wantSenderWide);
    EXPECT_EQ(instance.lines, row.wantInstance);
  }
  EXPECT_TRUE(other.lines.empty());
  NotificationCenter_RemoveInstanceObserver(nullptr, nullptr, nullptr, &global, record);
  NotificationCenter_RemoveObserver("TASK", "START", &senderWide, record);
  NotificationCenter_RemoveInstanceObserver("Task", "Start", "abc", &instance, record);
  NotificationCenter_RemoveInstanceObserver("Task", "Start", "other", &other, record);
  // Removed before the next pump: neither called nor counted as references.
  instance.lines.clear();
  NotificationCenter_Fire("Task", "Start", "abc", nullptr);
  EXPECT_TRUE(instance.lines.empty());
  EXPECT_EQ(NotificationCenter_AssertInstance(&instance), 1);
  EXPECT_EQ(NotificationCenter_AssertInstance(&global), 1);
  pump();
}

// Observers of everything, whatever the spelling of their names, through a
// removal that drops their list and a new list made after it.
TEST_F(NotificationTest, ObserversOfEverythingAcrossRemovalAndReAdding) {
  const char *spellings[][3] = {{nullptr, nullptr, nullptr},
                                {"", "", ""},
                                {"global", "GLOBAL", "Global"},
                                {"Global", nullptr, ""}};
  for (const auto &names : spellings) {
    SCOPED_TRACE(names[0] == nullptr ? "(null)" : names[0]);
    Calls calls;
    NotificationCenter_AddInstanceObserver(names[0], names[1], names[2], &calls, record);
    NotificationCenter_Fire("Job", "Done", nullptr, nullptr);
    NotificationCenter_RemoveInstanceObserver(names[0], names[1], names[2], &calls, record);
    pump();  // the list goes with its last observer
    NotificationCenter_Fire("Job", "Done", "x", nullptr);
    EXPECT_EQ(calls.lines, std::vector<std::string>{"Job.Done.Global null"});
  }
}

TEST_F(NotificationTest, RemovalsDuringAWalk) {
  Calls first, second, third;
  // The first removes itself, the second removes the third.
  first.then = [&](const char *, const char *, const char *) {
    NotificationCenter_RemoveObserver("A", "B", &first, record);
  };
  second.then = [&](const char *, const char *, const char *) {
    NotificationCenter_RemoveObserver("A", "B", &third, record);
  };
  for (Calls *c : {&first, &second, &third}) addObserver("A", "B", c, record);
  NotificationCenter_Fire("A", "B", nullptr, nullptr);
  NotificationCenter_Fire("A", "B", nullptr, nullptr);
  pump();
  NotificationCenter_Fire("A", "B", nullptr, nullptr);
  EXPECT_EQ(first.lines.size(), 1u);
  EXPECT_EQ(second.lines.size(), 3u);
  EXPECT_EQ(third.lines.size(), 0u);
  // The same pair twice: two observers; one remove leaves one.
  Calls twice;
  addObserver("C", "D", &twice, record);
  addObserver("C", "D", &twice, record);
  NotificationCenter_Fire("C", "D", nullptr, nullptr);
  NotificationCenter_RemoveObserver("C", "D", &twice, record);
  NotificationCenter_Fire("C", "D", nullptr, nullptr);
  EXPECT_EQ(twice.lines.size(), 3u);
  NotificationCenter_RemoveObserver("C", "D", &twice, record);
  NotificationCenter_RemoveObserver("A", "B", &second, record);
}

TEST_F(NotificationTest, JsonInfo) {
  Calls calls;
  addObserver("J", "N", &calls, record);
  struct Row {
    const char *format;
    int result;
    const char *want;  // NULL: no call
  };
  const Row rows[] = {
      {"{\"a\":1,\"b\":\"x\"}", 1, "J.N.Global {\"a\":1,\"b\":\"x\"}"},
      {"[1,2]", 1, "J.N.Global [1,2]"},
      {"{\"a\":", 0, nullptr},
      {"{bad}", 0, nullptr},
      {nullptr, 1, "J.N.Global null"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.format ? row.format : "(null)");
    calls.lines.clear();
    EXPECT_EQ(NotificationCenter_FireWithJSONText("J", "N", nullptr, row.format), row.result);
    if (row.want == nullptr) {
      EXPECT_TRUE(calls.lines.empty());
    } else {
      ASSERT_EQ(calls.lines.size(), 1u);
      // A top-level array is not unwrapped: the parsed tree holds it.
      if (strcmp(row.format ? row.format : "", "[1,2]") != 0) {
        EXPECT_EQ(calls.lines[0], row.want);
      }
    }
  }
  calls.lines.clear();
  EXPECT_EQ(NotificationCenter_FireWithJSON("J", "N", nullptr, "{\"n\":%d,\"s\":\"%js\"}", 7,
                                            "q\"x"),
            1);
  EXPECT_EQ(calls.lines, std::vector<std::string>{"J.N.Global {\"n\":7,\"s\":\"q\\\"x\"}"});
  EXPECT_EQ(NotificationCenter_FireAfterDelayWithJSON("J", "N", nullptr, 0, "{\"n\":%d", 1), 0);
  calls.lines.clear();
  EXPECT_EQ(NotificationCenter_FireAfterDelayWithJSON("J", "N", "i", 0, "{\"n\":%d}", 2), 1);
  EXPECT_TRUE(calls.lines.empty());
  pump();
  EXPECT_EQ(calls.lines, std::vector<std::string>{"J.N.i {\"n\":2}"});
  NotificationCenter_RemoveObserver("J", "N", &calls, record);
}

TEST_F(NotificationTest, DelayedFireWaitsForAPumpAfterItsDelay) {
  Calls calls;
  addObserver("D", "Later", &calls, record);
  // On the center's own clock, which counts whole milliseconds.
  double start = Platform_GetTickSeconds();
  NotificationCenter_FireAfterDelay("D", "Later", nullptr, 200, nullptr);
  pump();
  EXPECT_TRUE(calls.lines.empty());
  ASSERT_TRUE(pumpUntil([&] { return !calls.lines.empty(); }));
  EXPECT_GE(Platform_GetTickSeconds() - start, 0.2 - 1e-9);
  EXPECT_EQ(calls.lines.size(), 1u);
  NotificationCenter_RemoveObserver("D", "Later", &calls, record);
}

TEST_F(NotificationTest, ProcessObserversArePolledNewestListFirst) {
  std::vector<std::string> order;
  Calls a, b;
  a.then = [&](const char *, const char *, const char *i) { order.push_back(i); };
  b.then = a.then;
  NotificationCenter_AddProcessObserver("first", &a, record);
  NotificationCenter_AddProcessObserver("second", &b, record);
  pump();
  EXPECT_EQ(order, (std::vector<std::string>{"second", "first"}));
  EXPECT_EQ(a.lines[0], "NotificationCenter.Process.first null");
  NotificationCenter_RemoveProcessObserver("first", &a, record);
  NotificationCenter_RemoveProcessObserver("second", &b, record);
  pump();
  order.clear();
  pump();
  EXPECT_TRUE(order.empty());
}

// A nested fire from an observer of each list kind: the rest of the outer
// walk still passes the outer names and info.
TEST_F(NotificationTest, NestedFiresKeepTheOuterNames) {
  const char *kinds[][3] = {{nullptr, nullptr, nullptr}, {"Outer", "Fire", nullptr},
                            {"Outer", "Fire", "x"}};
  for (auto &kind : kinds) {
    SCOPED_TRACE(kind[0] ? (kind[2] ? "instance" : "sender-wide") : "global");
    Calls nester, globalAfter, senderAfter;
    bool nested = false;
    nester.then = [&](const char *, const char *, const char *) {
      if (nested) return;
      nested = true;
      NotificationCenter_FireWithJSON("Inner", "Other", "y", "{\"inner\":1}");
    };
    NotificationCenter_AddInstanceObserver(kind[0], kind[1], kind[2], &nester, record);
    NotificationCenter_AddInstanceObserver(nullptr, nullptr, nullptr, &globalAfter, record);
    addObserver("Outer", "Fire", &senderAfter, record);
    NotificationCenter_FireWithJSON("Outer", "Fire", "x", "{\"outer\":1}");
    EXPECT_EQ(globalAfter.lines.front(), kind[0] == nullptr ? "Inner.Other.y {\"inner\":1}"
                                                            : "Outer.Fire.x {\"outer\":1}");
    EXPECT_EQ(globalAfter.lines.back(), kind[0] == nullptr ? "Outer.Fire.x {\"outer\":1}"
                                                           : "Inner.Other.y {\"inner\":1}");
    EXPECT_EQ(globalAfter.lines.size(), 2u);
    EXPECT_EQ(senderAfter.lines, std::vector<std::string>{"Outer.Fire.x {\"outer\":1}"});
    NotificationCenter_RemoveInstanceObserver(kind[0], kind[1], kind[2], &nester, record);
    NotificationCenter_RemoveInstanceObserver(nullptr, nullptr, nullptr, &globalAfter, record);
    NotificationCenter_RemoveObserver("Outer", "Fire", &senderAfter, record);
    pump();
  }
}

TEST_F(NotificationTest, RetainAndReleaseOfInteropInstances) {
  Calls owner;
  NotificationCenter_RegisterInteropInstance("inst", &owner, record);
  struct Step {
    int retain;  // 1 retain, 0 release, 2 release all
    std::vector<std::string> fired;
  };
  const std::string kTrue = "NotificationCenter.Interop.inst {\"addRef\":true}";
  const std::string kFalse = "NotificationCenter.Interop.inst {\"addRef\":false}";
  const Step steps[] = {
      {0, {}},  // no retain yet: nothing, and the next retain still fires
      {1, {kTrue}}, {1, {}}, {0, {}}, {0, {kFalse}}, {0, {}}, {1, {kTrue}}, {0, {kFalse}},
      // A page gone with references held: one release takes them all.
      {1, {kTrue}}, {1, {}}, {1, {}}, {2, {kFalse}}, {2, {}}, {1, {kTrue}}, {0, {kFalse}},
  };
  int index = 0;
  for (const Step &step : steps) {
    SCOPED_TRACE(index++);
    owner.lines.clear();
    int result = step.retain == 1   ? NotificationCenter_RetainInteropInstance("inst")
                 : step.retain == 2 ? NotificationCenter_ReleaseAllInteropReferences("inst")
                                    : NotificationCenter_ReleaseInteropInstance("inst");
    EXPECT_EQ(result, 1);
    EXPECT_EQ(owner.lines, step.fired);
  }
  NotificationCenter_UnregisterInteropInstance("inst", &owner, record);
}

// An observer that pumps while its own cross-thread and delayed fires are
// being delivered: each is delivered once and the worker returns once.
TEST_F(NotificationTest, ObserverThatPumpsDeliversEachPendingFireOnce) {
  Calls calls;
  calls.then = [&](const char *, const char *, const char *) {
    NotificationCenter_ProcessPendingFires();
  };
  addObserver("P", "Pump", &calls, record);
  std::atomic<int> returned{0};
  NotificationCenter_FireAfterDelay("P", "Pump", "delayed1", 0, nullptr);
  std::thread worker([&] {
    NotificationCenter_Fire("P", "Pump", "cross", nullptr);
    returned++;
  });
  NotificationCenter_FireAfterDelay("P", "Pump", "delayed2", 0, nullptr);
  ASSERT_TRUE(pumpUntil([&] { return returned.load() == 1 && calls.lines.size() >= 3; }));
  worker.join();
  for (int i = 0; i < 5; i++) pump();
  std::vector<std::string> sorted = calls.lines;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(sorted, (std::vector<std::string>{"P.Pump.cross null", "P.Pump.delayed1 null",
                                              "P.Pump.delayed2 null"}));
  NotificationCenter_RemoveObserver("P", "Pump", &calls, record);
}

// An observer removes the observers after it and pumps: the outer walk goes
// on over records that must not have been freed.
TEST_F(NotificationTest, ObserverThatRemovesAndPumpsFreesNothingTheWalkHolds) {
  Calls first, second, third;
  first.then = [&](const char *, const char *, const char *) {
    NotificationCenter_RemoveObserver("R", "P", &second, record);
    NotificationCenter_RemoveObserver("R", "P", &third, record);
    NotificationCenter_RemoveObserver("R", "P", &first, record);
    NotificationCenter_ProcessPendingFires();
    pump();
  };
  for (Calls *c : {&first, &second, &third}) addObserver("R", "P", c, record);
  NotificationCenter_Fire("R", "P", nullptr, nullptr);
  EXPECT_EQ(first.lines.size(), 1u);
  EXPECT_TRUE(second.lines.empty());
  EXPECT_TRUE(third.lines.empty());
  pump();
  EXPECT_EQ(NotificationCenter_AssertInstance(&first), 1);
}

TEST_F(NotificationTest, ShutdownLogsWhatIsLeft) {
  Calls calls;
  NotificationCenter_AddInstanceObserver("Left", "Over", "i", &calls, record);
  NotificationCenter_FireAfterDelay("Left", "Over", "i", 100000, nullptr);
  TestLogCapture log;
  NotificationCenter_Shutdown();
  EXPECT_NE(log.Take().find("NotificationCenter - Callback not removed Left.Over - i"),
            std::string::npos);
  EXPECT_TRUE(calls.lines.empty());
  NotificationCenter_Init();
}

// Script observers through the seam.
TEST_F(NotificationTest, InteropObserversQueueRecordsForPages) {
  InteropNotificationCenter *pages[2] = {};
  int pageA = 0, pageB = 0;
  InteropNotificationCenter_Get(&pages[0], &pageA, nullptr);
  InteropNotificationCenter_Get(&pages[1], &pageB, nullptr);
  Calls owner;
  NotificationCenter_RegisterInteropInstance("reg", &owner, record);
  ASSERT_EQ(NotificationCenter_AddInteropObserver("Task", "Done", "reg", "cb"), 1);
  ASSERT_EQ(NotificationCenter_AddInteropObserver("NotificationCenter", "Interop", "reg", "ni"),
            1);
  NotificationCenter_FireWithJSON("Task", "Done", "reg", "{\"k\":1}");
  EXPECT_EQ(takeQueued(),
            std::vector<std::string>{
                "{\"type\":\"Task\",\"notification\":\"Done\",\"sender\":\"reg\",\"callbackId\":"
                "\"cb\",\"retained\":true,\"info\":{\"k\":1}}"});
  // Two page references (one per page object): addRef true once, false only
  // after the second release.
  EXPECT_EQ(owner.lines, std::vector<std::string>{
                             "NotificationCenter.Interop.reg {\"addRef\":true}"});
  NotificationCenter_ReleaseInteropInstance("reg");
  EXPECT_EQ(owner.lines.size(), 1u);
  NotificationCenter_ReleaseInteropInstance("reg");
  EXPECT_EQ(owner.lines.back(), "NotificationCenter.Interop.reg {\"addRef\":false}");
  EXPECT_TRUE(takeQueued().empty());  // "NotificationCenter"."Interop" is never queued
  EXPECT_EQ(NotificationCenter_RemoveInteropObserver("Task", "Done", "reg", "CB"), 1);
  EXPECT_EQ(NotificationCenter_RemoveInteropObserver("Task", "Done", "reg", "cb"), 0);
  EXPECT_EQ(NotificationCenter_RemoveInteropObserver("NotificationCenter", "Interop", "reg", "ni"),
            1);
  NotificationCenter_UnregisterInteropInstance("reg", &owner, record);
  InteropNotificationCenter_Release(&pages[0]);
  InteropNotificationCenter_Release(&pages[1]);
}

TEST_F(NotificationTest, InteropObserverCasesOfTheScriptClass) {
  // The same id twice: two entries, two deliveries; one remove leaves one.
  NotificationCenter_AddInteropObserver("S", "N", nullptr, "same");
  NotificationCenter_AddInteropObserver("S", "N", nullptr, "same");
  NotificationCenter_Fire("S", "N", nullptr, nullptr);
  EXPECT_EQ(takeQueued().size(), 2u);
  EXPECT_EQ(NotificationCenter_RemoveInteropObserver("S", "N", nullptr, "same"), 1);
  NotificationCenter_Fire("S", "N", nullptr, nullptr);
  std::vector<std::string> one = takeQueued();
  ASSERT_EQ(one.size(), 1u);
  EXPECT_NE(one[0].find("\"sender\":\"Global\",\"callbackId\":\"same\""), std::string::npos);
  EXPECT_EQ(NotificationCenter_RemoveInteropObserver("S", "N", nullptr, "same"), 1);
  NotificationCenter_Fire("S", "N", nullptr, nullptr);
  EXPECT_TRUE(takeQueued().empty());

  // The same name under two keys: removing it from B leaves A's observer and
  // entry alone.
  NotificationCenter_AddInteropObserver("KeyA", "N", nullptr, "cb");
  NotificationCenter_AddInteropObserver("KeyB", "N", nullptr, "cb");
  InteropCallback *entryA = nullptr;
  ASSERT_EQ(Interop_FindCallback("cb", &entryA), 1);
  EXPECT_EQ(NotificationCenter_RemoveInteropObserver("KeyB", "N", nullptr, "cb"), 1);
  EXPECT_EQ(NotificationCenter_RemoveInteropObserver("KeyB", "N", nullptr, "cb"), 0);
  pump();
  EXPECT_EQ(entryA->useCount, 1);
  NotificationCenter_Fire("KeyA", "N", nullptr, nullptr);
  NotificationCenter_Fire("KeyB", "N", nullptr, nullptr);
  std::vector<std::string> queued = takeQueued();
  ASSERT_EQ(queued.size(), 1u);
  EXPECT_NE(queued[0].find("\"type\":\"KeyA\""), std::string::npos);
  EXPECT_EQ(NotificationCenter_RemoveInteropObserver("KeyA", "N", nullptr, "cb"), 1);
  EXPECT_EQ(entryA->useCount, 0);
}

namespace {

struct Ordered {
  std::atomic<int64_t> delivered[8];
  std::atomic<int> outOfOrder{0};
};

int checkOrder(void *context, const char *, const char *, const char *instance, Dictionary *info) {
  auto *ordered = static_cast<Ordered *>(context);
  int32_t seq = 0;
  Dictionary_GetInt32ByKey(info, "seq", &seq);
  int t = instance[1] - '0';
  if (ordered->delivered[t].load() + 1 != seq) ordered->outOfOrder++;
  ordered->delivered[t].store(seq);
  return 1;
}

int ignoreFire(void *, const char *, const char *, const char *, Dictionary *) { return 1; }

}  // namespace

TEST_F(NotificationThreaded, WorkersFireWhileTheMainThreadPumps) {
  constexpr int kWorkers = 8;
  constexpr int kFires = 10000;
  Ordered ordered;
  for (auto &d : ordered.delivered) d.store(0);
  addObserver("Worker", "Tick", &ordered, checkOrder);
  std::atomic<int> done{0};
  std::atomic<int> early{0};
  std::vector<std::thread> workers;
  for (int t = 0; t < kWorkers; t++) {
    workers.emplace_back([&, t] {
      char instance[3] = {'w', char('0' + t), 0};
      Dictionary *info = nullptr;
      Dictionary_Create(&info);
      int observerKey = 0;
      for (int n = 1; n <= kFires; n++) {
        Dictionary_SetInt32ByKey(info, "seq", n);
        if (n % 16 == 0)
          NotificationCenter_AddInstanceObserver("Worker", "Tick", instance, &observerKey,
                                                 ignoreFire);
        NotificationCenter_Fire("Worker", "Tick", instance, info);
        // Returned only after delivery.
        if (ordered.delivered[t].load() != n) early++;
        if (n % 16 == 0)
          NotificationCenter_RemoveInstanceObserver("Worker", "Tick", instance, &observerKey,
                                                    ignoreFire);
      }
      Dictionary_Release(&info);
      done++;
    });
  }
  bool finished = pumpUntil([&] { return done.load() == kWorkers; });
  if (!finished) {
    // Let the workers go so that the joins end, then fail.
    NotificationCenter_Shutdown();
  }
  for (auto &w : workers) w.join();
  ASSERT_TRUE(finished);
  EXPECT_EQ(early.load(), 0);
  EXPECT_EQ(ordered.outOfOrder.load(), 0);
  for (auto &d : ordered.delivered) EXPECT_EQ(d.load(), kFires);
  NotificationCenter_RemoveObserver("Worker", "Tick", &ordered, checkOrder);
  pump();
}

TEST_F(NotificationThreaded, ShutdownReleasesBlockedWorkers) {
  Calls calls;
  addObserver("Blocked", "Fire", &calls, record);
  std::atomic<int> started{0}, returned{0};
  std::vector<std::thread> workers;
  for (int t = 0; t < 3; t++) {
    workers.emplace_back([&] {
      started++;
      EXPECT_EQ(NotificationCenter_Fire("Blocked", "Fire", nullptr, nullptr), 1);
      returned++;
    });
  }
  while (started.load() != 3) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  // The main thread does not pump: the workers stay blocked in their fires.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(returned.load(), 0);
  NotificationCenter_Shutdown();
  for (auto &w : workers) w.join();
  EXPECT_EQ(returned.load(), 3);
  EXPECT_TRUE(calls.lines.empty());
  // A fire that arrives once shutdown has begun returns at once.
  std::thread late([] {
    EXPECT_EQ(NotificationCenter_Fire("Blocked", "Fire", nullptr, nullptr), 1);
    EXPECT_EQ(NotificationCenter_FireAfterDelay("Blocked", "Fire", nullptr, 0, nullptr), 1);
  });
  late.join();
  NotificationCenter_Init();
}
