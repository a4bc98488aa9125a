// A Python server of tests/ (tests/faultserver.py unless named) started for
// a test on a port of its choice, which it writes to <dir>/port; ended with
// SIGTERM when the object goes. Port 0 when it did not come up within 20 s.
//
// Threads: the test's thread only.
#pragma once

#include <unistd.h>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "tests/fsfault.h"
#include "tests/peer_process.h"
#include "tests/test_util.h"

struct FaultServer {
  FsFaultTempDir dir;
  std::unique_ptr<PeerProcess> process;
  int port = 0;
  explicit FaultServer(const std::string &script = "faultserver.py",
                       std::vector<std::string> arguments = {}) {
    std::vector<std::string> argv{"/usr/bin/python3",
                                  std::string(KEELSON_TESTS_DIR) + "/" + script, dir.path()};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    process = std::make_unique<PeerProcess>(argv);
    std::string file = dir / "port";
    if (Test_WaitUntil([&] { return access(file.c_str(), F_OK) == 0; }, 20000))
      std::ifstream(file) >> port;
  }
  std::string Url(const std::string &path) const {
    return "http://127.0.0.1:" + std::to_string(port) + path;
  }
};
