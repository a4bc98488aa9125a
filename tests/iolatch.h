// A latch for I/O worker tests: requests whose routines stay inside, each
// occupying a pool thread, until the test opens the latch.
#pragma once

#include <atomic>

#include "core/platform/ioworker.h"
#include "tests/test_util.h"

struct Latch {
  std::atomic<int> open{0};
  std::atomic<int> inside{0};
};

struct LatchRequest {
  IOWorkerRequest io{};
  Latch *latch = nullptr;
  static int hold(void *, IOWorkerRequest *request) {
    Latch *latch = reinterpret_cast<LatchRequest *>(request)->latch;
    latch->inside.fetch_add(1);
    Test_WaitUntil([&] { return latch->open.load() == 1; }, 60000);
    latch->inside.fetch_sub(1);
    return 1;
  }
};
