#include "core/bridge/coreinterop.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/bridge/apigen.h"
#include "core/formats/dictionary.h"
#include "core/platform/eventqueue.h"
#include "core/platform/notification.h"
#include "core/platform/platform.h"
#include "tests/core_class_page.h"
#include "tests/interop_test_util.h"
#include "tests/log_capture.h"
#include "tests/page_recorder.h"
#include "tests/test_params.h"
#include "tests/wake_hook.h"

namespace {

double gTick = 100.0;
double fakeTick() { return gTick; }

int recordInfo(void *context, const char *, const char *, const char *, Dictionary *info) {
  static_cast<std::vector<std::string> *>(context)->push_back(InteropTest_JsonText(info));
  return 1;
}

// A page with its QVN.NotificationCenter instance, made through the core
// module as the host does.
class NotificationCenterInteropTest : public CoreClassPageTest {
 protected:
  void SetUp() override {
    ThreadTest::SetUp();
    OpenPage();
    id_ = center_;
  }
  void TearDown() override {
    Platform_SetTickSourceForTest(nullptr);
    CoreClassPageTest::TearDown();
  }
  std::pair<int, std::string> Call(const std::string &binding) {
    return TestParams_Call(id_, binding);
  }
  // Runs the main loop's passes and answers the records delivered since the
  // last call.
  std::vector<std::string> Delivered() {
    NotificationCenter_ProcessPendingFires();
    EventQueue_Flush(EventQueue_GetMain());
    Interop_DeliverCallbacks();
    std::vector<std::string> all = PageRecorder_Records(page_);
    std::vector<std::string> fresh(all.begin() + long(seen_), all.end());
    seen_ = all.size();
    return fresh;
  }
  // The dispatcher reached by a stored hash alone (no name gives it).
  int CallByHash(uint32_t hash, const char *instanceId) {
    Dictionary *request = nullptr, *result = nullptr;
    Dictionary_Create(&request);
    Dictionary_Create(&result);
    Dictionary_SetStringByKey(request, "method", "listed");
    Dictionary_SetInt32ByKey(request, "#methodHash", int32_t(hash));
    Dictionary_SetStringByKey(request, "instanceId", instanceId);
    int answer = NotificationCenterInterop_Invoke(nullptr, request, result);
    int32_t value = 0;
    EXPECT_EQ(Dictionary_GetBooleanByKey(result, "returnValue", &value), 1);
    Dictionary_Release(&request);
    Dictionary_Release(&result);
    return answer && value;
  }
};

}  // namespace

TEST_F(NotificationCenterInteropTest, FrameEdgeCases) {
  struct Case {
    const char *binding;
    int result;
    const char *output;
    const char *log;
  } cases[] = {
      {R"({"method":"fireAfterDelay","type":"T","notification":"N","sender":"Global",)"
       R"("delay":"5","info":"{}"})",
       0, R"({"returnValue":false})",
       "Incorrect parameter type (NotificationCenter.fireAfterDelay::delay)"},
      {R"({"method":"fire","type":"T","notification":"N","sender":"Global"})", 0,
       R"({"returnValue":false})", "Parameter missing (NotificationCenter.fire::info)"},
      {R"({"method":"fire","type":"T","notification":"N","sender":"Global","info":"x"})", 1,
       R"({"returnValue":false})", nullptr},
      {R"({"method":5})", 0, "", "Method type is not a string (NotificationCenter)"},
      {R"({"method":"Fire","type":"T","notification":"N","sender":"Global","info":"{}"})", 0, "",
       nullptr},
      {R"({"method":"addObserver","type":"T","notification":"N","callbackId":"cb"})", 1,
       R"({"returnValue":true})", nullptr},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.binding);
    TestLogCapture log;
    auto [result, output] = Call(c.binding);
    std::string lines = log.Take();
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(output, c.output);
    if (c.log != nullptr) {
      EXPECT_NE(lines.find(c.log), std::string::npos) << lines;
    }
  }
  // None of the fires above reached the observer: "x" is not JSON.
  EXPECT_TRUE(Delivered().empty());
}

TEST_F(NotificationCenterInteropTest, ObserverAddedTwiceDeliversTwiceUntilOneIsRemoved) {
  const std::string add = R"({"method":"addObserver","type":"T","notification":"N","callbackId":"cb"})";
  const std::string fire =
      R"({"method":"fire","type":"T","notification":"N","sender":"s","info":"{\"n\":1}"})";
  const std::string record =
      R"({"type":"T","notification":"N","sender":"s","callbackId":"cb","info":{"n":1}})";
  EXPECT_EQ(Call(add).first, 1);
  EXPECT_EQ(Call(add).first, 1);
  EXPECT_EQ(Call(fire).second, R"({"returnValue":true})");
  EXPECT_EQ(Delivered(), (std::vector<std::string>{record, record}));
  EXPECT_EQ(Call(R"({"method":"removeObserver","type":"T","notification":"N","callbackId":"CB"})")
                .second,
            R"({"returnValue":true})");
  Call(fire);
  EXPECT_EQ(Delivered(), (std::vector<std::string>{record}));
}

TEST_F(NotificationCenterInteropTest, InstanceObserverSeesOnlyItsSender) {
  Call(R"({"method":"addInstanceObserver","type":"T","notification":"N","sender":"s1",)"
       R"("callbackId":"one"})");
  for (const char *sender : {"s2", "s1", "Global"})
    Call(std::string(R"({"method":"fire","type":"T","notification":"N","sender":")") + sender +
         R"(","info":"{}"})");
  EXPECT_EQ(Delivered(),
            (std::vector<std::string>{
                R"({"type":"T","notification":"N","sender":"s1","callbackId":"one","info":{}})"}));
  EXPECT_EQ(Call(R"({"method":"removeInstanceObserver","type":"T","notification":"N",)"
                 R"("sender":"s1","callbackId":"one"})")
                .second,
            R"({"returnValue":true})");
  Call(R"({"method":"fire","type":"T","notification":"N","sender":"s1","info":"{}"})");
  EXPECT_TRUE(Delivered().empty());
}

TEST_F(NotificationCenterInteropTest, InstanceReferencesByLabelAndListedHash) {
  std::vector<std::string> owner;
  NotificationCenter_RegisterInteropInstance("inst", &owner, recordInfo);
  const std::string add = R"({"method":"addInstanceReference","instanceId":"inst"})";
  const std::string remove = R"({"method":"removeInstanceReference","instanceId":"inst"})";
  EXPECT_EQ(Call(add).second, R"({"returnValue":true})");
  EXPECT_EQ(CallByHash(0x9bef5c22, "inst"), 1);
  EXPECT_EQ(Call(remove).second, R"({"returnValue":true})");
  EXPECT_EQ(owner, (std::vector<std::string>{R"({"addRef":true})"}));

  // A page cannot forge the owner's notification, in any case of its names.
  for (const char *method : {"fire", "fireAfterDelay"}) {
    TestLogCapture log;
    EXPECT_EQ(Call(std::string(R"({"method":")") + method +
                   R"(","type":"notificationcenter","notification":"INTEROP","sender":"inst",)"
                   R"("delay":0,"info":"{\"addRef\":false}"})")
                  .second,
              R"({"returnValue":false})");
    EXPECT_NE(log.Take().find("Page may not fire"), std::string::npos);
  }
  Delivered();
  EXPECT_EQ(owner.size(), 1u);

  EXPECT_EQ(CallByHash(0x534c5815, "inst"), 1);
  EXPECT_EQ(owner, (std::vector<std::string>{R"({"addRef":true})", R"({"addRef":false})"}));
  Call(remove);  // no count left: nothing more is fired
  EXPECT_EQ(owner.size(), 2u);
  NotificationCenter_UnregisterInteropInstance("inst", &owner, recordInfo);
}

TEST_F(NotificationCenterInteropTest, DelayReadAsIntegerWaitsItsMilliseconds) {
  Platform_SetTickSourceForTest(fakeTick);
  gTick = 100.0;
  Call(R"({"method":"addObserver","type":"T","notification":"D","callbackId":"cb"})");
  EXPECT_EQ(Call(R"({"method":"fireAfterDelay","type":"T","notification":"D","sender":"Global",)"
                 R"("delay":1e3,"info":"{}"})")
                .second,
            R"({"returnValue":true})");
  gTick = 100.999;
  EXPECT_TRUE(Delivered().empty());
  gTick = 101.0;
  EXPECT_EQ(Delivered().size(), 1u);
}
