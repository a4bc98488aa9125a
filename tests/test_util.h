// Helpers shared by the unit tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "core/log.h"

// Path of a vector file written by one of the tests/gen_*.py oracles. The
// generators run as ctest fixtures before the unit tests; run them by hand
// (python3 tests/gen_x.py build/default/vectors) to run a test binary alone.
inline std::string Test_VectorPath(const std::string &name) {
  const char *dir = getenv("KEELSON_VECTORS");
  return std::string(dir ? dir : "build/default/vectors") + "/" + name;
}

// The whole vector file; fails the test when it is missing.
inline std::string Test_ReadVectors(const std::string &name) {
  std::ifstream in(Test_VectorPath(name), std::ios::binary);
  EXPECT_TRUE(in.good()) << "missing vector file " << Test_VectorPath(name);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// A log record for one scope, for tests that read log lines without the whole
// core start-up: lines are written only while the test's flags ask for them.
// Nothing happens when a log exists already.
struct Test_LogRecord {
  bool owned = false;
  Test_LogRecord() {
    if (Log_Lock()) {  // a log exists already
      Log_Unlock();
      return;
    }
    Log_Init("keelson_tests", nullptr, LOG_DEBUG);
    owned = true;
  }
  ~Test_LogRecord() {
    if (!owned) return;
    Log_Shutdown();
    Log_Close();
  }
};
