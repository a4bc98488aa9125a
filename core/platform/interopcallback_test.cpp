#include "core/platform/interopcallback.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "core/formats/dictionary.h"
#include "core/platform/eventqueue.h"
#include "core/platform/thread.h"
#include "tests/log_capture.h"
#include "tests/wake_hook.h"

namespace {

class InteropTest : public ThreadTest {
 protected:
  void SetUp() override {
    ThreadTest::SetUp();
    InteropCallback_Init();
  }
  void TearDown() override {
    InteropCallback_Shutdown();
    ThreadTest::TearDown();
  }
};
class InteropDeathTest : public InteropTest {};

struct Seen {
  std::vector<std::pair<void *, void *>> calls;
};

void remember(void *context, void *argument) {
  static_cast<Seen *>(context)->calls.emplace_back(context, argument);
}

void deliverNothing(void *, void *, const char *, int32_t) {}
void deliverOther(void *, void *, const char *, int32_t) {}

}  // namespace

TEST(InteropUninitDeathTest, CallsWithoutStateStop) {
  InteropCallback *entry = nullptr;
  EXPECT_DEATH(Interop_AddCallback("x", nullptr, nullptr, &entry), "Pointer is NULL\n");
  EXPECT_DEATH(Interop_FindCallback("x", &entry), "Pointer is NULL\n");
  EXPECT_EQ(InteropCallback_Shutdown(), 1);
}

TEST_F(InteropDeathTest, ProgrammingErrorsStop) {
  const char *kNotMain =
      "Assertion failed \\(Thread_GetMainId\\(\\) == Thread_GetCurrentId\\(\\)\\)\nFunction not "
      "on main thread";
  Dictionary *d = nullptr;
  Dictionary_Create(&d);
  EXPECT_DEATH(std::thread([d] { Interop_QueueCallbackArgument(nullptr, d); }).join(), kNotMain);
  EXPECT_DEATH(std::thread([] {
                 InteropNotificationCenter *o = nullptr;
                 InteropNotificationCenter_Get(&o, nullptr, deliverNothing);
               }).join(),
               kNotMain);
  EXPECT_DEATH(std::thread([] {
                 void *object = nullptr;
                 Interop_TakeCallbackArgument(&object);
               }).join(),
               kNotMain);
  EXPECT_DEATH(Interop_AddCallback("x", nullptr, nullptr, nullptr), "Pointer is NULL\n");
  EXPECT_DEATH(Interop_ReleaseCallback(nullptr), "Pointer is NULL\n");
  auto *foreign = reinterpret_cast<InteropNotificationCenter *>(d);
  EXPECT_DEATH(InteropNotificationCenter_Release(&foreign),
               "Class mismatch pointer \\(0x[0-9A-Fa-f]+: expected 0x3e0b9d54");
  EXPECT_DEATH(Interop_InvokeCallback(nullptr, nullptr), "Pointer is NULL\n");
  EXPECT_DEATH(Interop_GetCallbackName(reinterpret_cast<InteropCallback *>(d)),
               "Class mismatch pointer");
  Dictionary_Release(&d);
}

TEST_F(InteropTest, NamesOfNewEntries) {
  struct Row {
    const char *name;
    const char *want;  // NULL: a fresh GUID text
  };
  const std::string kLong(50, 'n');
  const Row rows[] = {
      {"cb", "cb"}, {nullptr, nullptr}, {"", nullptr}, {kLong.c_str(), nullptr}};
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name ? row.name : "(null)");
    InteropCallback *entry = nullptr;
    ASSERT_EQ(Interop_AddCallback(row.name, nullptr, nullptr, &entry), 1);
    std::string name = Interop_GetCallbackName(entry);
    if (row.want != nullptr) {
      EXPECT_EQ(name, row.want);
    } else if (row.name != nullptr && row.name[0] != 0) {
      EXPECT_EQ(name, std::string(39, 'n'));
    } else {
      EXPECT_EQ(name.size(), 32u);
      EXPECT_EQ(name.find_first_not_of("0123456789abcdef"), std::string::npos);
    }
    EXPECT_EQ(entry->useCount, 1);
    Interop_ReleaseCallback(&entry);
    EXPECT_EQ(entry, nullptr);
  }
}

TEST_F(InteropTest, FindInvokeAndRelease) {
  Seen first, second;
  InteropCallback *a = nullptr, *b = nullptr, *found = nullptr;
  Interop_AddCallback("Same", &first, remember, &a);
  Interop_AddCallback("same", &second, remember, &b);
  ASSERT_EQ(Interop_FindCallback("SAME", &found), 1);
  EXPECT_EQ(found, a);
  int argument = 0;
  Interop_InvokeCallback(found, &argument);
  ASSERT_EQ(first.calls.size(), 1u);
  EXPECT_EQ(first.calls[0].second, &argument);
  EXPECT_TRUE(second.calls.empty());
  // A released entry stays findable; a second release changes nothing.
  InteropCallback *held = a;
  Interop_ReleaseCallback(&a);
  EXPECT_EQ(held->useCount, 0);
  EXPECT_EQ(Interop_FindCallback("same", &found), 1);
  EXPECT_EQ(found, held);
  Interop_ReleaseCallback(&held);
  EXPECT_EQ(found->useCount, 0);
  EXPECT_EQ(Interop_FindCallback("other", &found), 0);
  EXPECT_EQ(found, nullptr);
  // An entry without a function is invoked without effect.
  InteropCallback *none = nullptr;
  Interop_AddCallback("none", &first, nullptr, &none);
  Interop_InvokeCallback(none, &argument);
  EXPECT_EQ(first.calls.size(), 1u);
  Interop_ReleaseCallback(&none);
  Interop_ReleaseCallback(&b);
}

TEST_F(InteropTest, QueueHoldsOneReferencePerArgument) {
  Dictionary *one = nullptr, *two = nullptr;
  Dictionary_Create(&one);
  Dictionary_Create(&two);
  Interop_QueueCallbackArgument(nullptr, one);
  Interop_QueueCallbackArgument(nullptr, two);
  Interop_QueueCallbackArgument(nullptr, one);
  EXPECT_EQ(one->header.refCount.load(), 3);
  void *taken = nullptr;
  ASSERT_EQ(Interop_TakeCallbackArgument(&taken), 1);
  EXPECT_EQ(taken, one);
  Class_Release(&taken);
  ASSERT_EQ(Interop_TakeCallbackArgument(&taken), 1);
  EXPECT_EQ(taken, two);
  Class_Release(&taken);
  EXPECT_EQ(two->header.refCount.load(), 1);
  // What is still queued at shutdown is given back there.
  InteropCallback_Shutdown();
  EXPECT_EQ(one->header.refCount.load(), 1);
  InteropCallback_Init();
  EXPECT_EQ(Interop_TakeCallbackArgument(&taken), 0);
  EXPECT_EQ(taken, nullptr);
  Dictionary_Release(&one);
  Dictionary_Release(&two);
}

TEST_F(InteropTest, ShutdownReportsEntriesStillInUse) {
  InteropCallback *kept = nullptr, *released = nullptr;
  Interop_AddCallback("kept", nullptr, nullptr, &kept);
  Interop_AddCallback("released", nullptr, nullptr, &released);
  Interop_ReleaseCallback(&released);
  TestLogCapture log;
  InteropCallback_Shutdown();
  std::string text = log.Take();
  EXPECT_NE(text.find("Interop - Callback not removed - Id kept\n"), std::string::npos);
  EXPECT_EQ(text.find("Id released"), std::string::npos);
  InteropCallback_Init();
}

TEST_F(InteropTest, ClosedSeamTouchesNoEntryUntilOpenedAgain) {
  // Observers of the notification center outlive the seam's shutdown and
  // still call in with the entries it freed.
  Seen seen;
  InteropCallback *stale = nullptr, *held = nullptr;
  Interop_AddCallback("stale", &seen, remember, &stale);
  InteropNotificationCenter *object = nullptr;
  InteropNotificationCenter_Get(&object, &seen, deliverNothing);
  Dictionary *d = nullptr;
  Dictionary_Create(&d);
  InteropCallback_Shutdown();
  struct Step {
    const char *what;
    std::function<bool()> holds;
  };
  const Step steps[] = {
      {"find answers 0", [&] { return Interop_FindCallback("stale", &held) == 0 && !held; }},
      {"the name is empty", [&] { return std::string(Interop_GetCallbackName(stale)).empty(); }},
      {"invoke calls nothing",
       [&] { Interop_InvokeCallback(stale, d); return seen.calls.empty(); }},
      {"queueing takes no reference",
       [&] { Interop_QueueCallbackArgument(nullptr, d); return d->header.refCount == 1; }},
      {"release clears only the pointer",
       [&] { InteropCallback *p = stale; return Interop_ReleaseCallback(&p) == 1 && !p; }},
      {"no page objects", [&] { return InteropNotificationCenter_GetCount() == 0; }},
      {"no wake", [&] { Interop_Wake(); return EventQueue_GetMain()->list.count == 0; }},
  };
  for (const Step &step : steps) EXPECT_TRUE(step.holds()) << step.what;
  InteropCallback_Init();
  Interop_AddCallback("fresh", &seen, remember, &held);
  InteropCallback *found = nullptr;
  EXPECT_EQ(Interop_FindCallback("FRESH", &found), 1);
  EXPECT_EQ(found, held);
  Interop_ReleaseCallback(&held);
  Dictionary_Release(&d);
}

TEST_F(InteropTest, PageObjectsAreSharedPerContextAndDelivery) {
  int page = 0, otherPage = 0;
  InteropNotificationCenter *a = nullptr, *b = nullptr, *c = nullptr, *d = nullptr;
  InteropNotificationCenter_Get(&a, &page, deliverNothing);
  InteropNotificationCenter_Get(&b, &page, deliverNothing);
  InteropNotificationCenter_Get(&c, &otherPage, deliverNothing);
  InteropNotificationCenter_Get(&d, &page, deliverOther);
  EXPECT_EQ(a, b);
  EXPECT_NE(a, c);
  EXPECT_NE(a, d);
  EXPECT_EQ(InteropNotificationCenter_GetCount(), 3);
  EXPECT_EQ(strlen(a->header.instanceId), 32u);
  // The page's first instance goes; the object stays for the second.
  InteropNotificationCenter_Release(&a);
  EXPECT_EQ(a, nullptr);
  EXPECT_EQ(InteropNotificationCenter_GetCount(), 3);
  EXPECT_EQ(b->requestContext, &page);
  InteropNotificationCenter_Release(&b);
  EXPECT_EQ(InteropNotificationCenter_GetCount(), 2);
  InteropNotificationCenter_Release(&c);
  // d is freed by the shutdown.
}
