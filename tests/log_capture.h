// Captures the log lines a test provokes: turns console output on for the
// test's scope and collects what goes to stderr.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "core/runtime/core.h"
#include "tests/test_util.h"

class TestLogCapture {
 public:
  TestLogCapture() {
    Core_SetFlags(kCoreFlagWindow);
    testing::internal::CaptureStderr();
  }
  ~TestLogCapture() {
    if (!taken_) testing::internal::GetCapturedStderr();
    Core_SetFlags(saved_);
  }
  TestLogCapture(const TestLogCapture &) = delete;
  TestLogCapture &operator=(const TestLogCapture &) = delete;

  // Everything written since the capture began; ends the capture.
  std::string Take() {
    taken_ = true;
    return testing::internal::GetCapturedStderr();
  }

 private:
  Test_LogRecord log_;  // lines need a log record to be written at all
  uint32_t saved_ = Debug_Flags();
  bool taken_ = false;
};
