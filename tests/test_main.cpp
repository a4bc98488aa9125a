// Shared test main: fatal paths write their abort text to stderr so that death
// tests can match the exact message.
#include <gtest/gtest.h>

#include <cstdio>

#include "core/runtime/core.h"

namespace {

void testAbortHook(const char *, int, const char *text) {
  fputs(text, stderr);
  fflush(stderr);
}

}  // namespace

int main(int argc, char **argv) {
  testing::InitGoogleTest(&argc, argv);
  // Threaded tests share the process; fork-and-exec keeps death tests safe.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  Core_SetAbortHook(testAbortHook);
  return RUN_ALL_TESTS();
}
