// A peer command run while the test's thread pumps: the local web server is
// pumped on the thread that started it, so a client must run elsewhere. The
// command runs on a thread of its own under `timeout 20`, and the pump runs
// here until it has finished (bounded by boundMs).
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <thread>

#include "tests/test_util.h"

// The command's standard output; *status (when not NULL) its exit status.
inline std::string Test_RunPeerWhilePumping(const std::string &command,
                                            const std::function<void()> &pumpOnce,
                                            int *status = nullptr, int boundMs = 30000) {
  std::atomic<bool> finished{false};
  std::string out;
  int code = -1;
  std::thread peer([&] {
    out = Test_RunCommand("timeout 20 " + command, &code);
    finished = true;
  });
  Test_WaitUntil([&] {
    pumpOnce();
    return finished.load();
  }, boundMs, 0);
  peer.join();
  if (status != nullptr) *status = code;
  return out;
}
