// A page with one core-class instance and its QVN.NotificationCenter, made
// through the core module as the host does, for the tests of the core
// classes that own an object: Call invokes the instance, Observe has the
// page observe the instance's notifications, Pump runs the main loop's
// passes and Records answers what the page received since the last call.
//
// Threads: main thread.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/bridge/coreinterop.h"
#include "core/platform/eventqueue.h"
#include "core/platform/notification.h"
#include "tests/page_recorder.h"
#include "tests/test_params.h"
#include "tests/wake_hook.h"

class CoreClassPageTest : public ThreadTest {
 protected:
  // The page with its QVN.NotificationCenter alone (center_).
  void OpenPage() {
    Interop_Init();
    NotificationCenter_Init();
    Interop_SetDeliveryFunction(PageRecorder_Deliver);
    ASSERT_NE(CoreInterop_AddLibrary(), nullptr);
    char buffer[kInteropInstanceIdBytes] = {};
    ASSERT_EQ(Interop_CreateInstance("QVN.NotificationCenter", buffer, sizeof buffer, &page_,
                                     &page_),
              1);
    center_ = buffer;
  }
  // The page and an instance of className (id_).
  void Open(const char *className) {
    OpenPage();
    char own[kInteropInstanceIdBytes] = {};
    ASSERT_EQ(Interop_CreateInstance(className, own, sizeof own, &page_, &page_), 1);
    id_ = own;
  }
  void TearDown() override {
    Interop_Shutdown();
    NotificationCenter_Shutdown();
    ThreadTest::TearDown();
  }
  // "<result> <output>".
  std::string Call(const std::string &method, const std::string &params = "") {
    auto [result, text] = TestParams_Call(
        id_, R"({"method":")" + method + "\"" + (params.empty() ? "" : "," + params) + "}");
    return std::to_string(result) + " " + text;
  }
  void Observe(const char *type, const char *notification) {
    auto [result, text] = TestParams_Call(
        center_, std::string(R"({"method":"addInstanceObserver","type":")") + type +
                     R"(","notification":")" + notification + R"(","sender":")" + id_ +
                     R"(","callbackId":"cb"})");
    ASSERT_EQ(result, 1);
  }
  void Pump() {
    NotificationCenter_ProcessPendingFires();
    EventQueue_Flush(EventQueue_GetMain());
    Interop_Pump();
  }
  std::vector<std::string> Records() {
    std::vector<std::string> all = PageRecorder_Records(page_);
    std::vector<std::string> fresh(all.begin() + long(seen_), all.end());
    seen_ = all.size();
    return fresh;
  }
  PageRecorder page_;
  std::string center_, id_;
  size_t seen_ = 0;
};
