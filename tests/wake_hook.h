// The tests' main-thread wake hook and the fixture of the thread and event
// queue tests. The host's hook makes its main loop flush the main queue; the
// tests' hook writes to an eventfd instead, so a test can count the wake-ups
// and see the id and argument of the last one.
//
// Threads: the hook runs on whichever thread wakes the main thread; the
// readers run on the test's thread.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>

// Creates the eventfd and installs the hook (Thread_Init must have run).
void TestWake_Install(void);
// Removes the hook and closes the eventfd.
void TestWake_Remove(void);
// Hook calls since TestWake_Install.
uint64_t TestWake_Count(void);
// The id and argument of the last call.
uint32_t TestWake_LastThreadId(void);
uintptr_t TestWake_LastArgument(void);

// Starts the thread module and the main queue for each test, as the host
// does at start, with the tests' wake hook; takes them down again after it.
class ThreadTest : public testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
};
