// A test with the services a web server runs on (meters, I/O workers,
// asynchronous sockets, MIME types), a scratch directory with an empty "www"
// folder to serve, and one server made with no ports, which the test
// configures, starts with Listen and pumps from its own thread.
#pragma once

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>

#include "core/net/asyncsocket.h"
#include "core/net/webserv.h"
#include "core/platform/eventqueue.h"
#include "core/platform/ioworker.h"
#include "core/platform/meter.h"
#include "core/platform/thread.h"
#include "core/runtime/mime.h"
#include "tests/fd_stream.h"
#include "tests/pumped_peer.h"
#include "tests/test_util.h"
#include "tests/wake_hook.h"

class WebServerFixture : public ThreadTest {
 protected:
  static constexpr int kServerBoundMs = 30000;

  std::string scratch;
  std::string www;  // scratch + "/www"
  WebServer *server = nullptr;
  int32_t port = 0;

  void SetUp() override {
    ThreadTest::SetUp();
    Meter_Init();
    IOWorker_Init();
    AsyncSocket_Init();
    Mime_Init();
    scratch = Test_MakeTempDirectory();
    www = scratch + "/www";
    mkdir(www.c_str(), 0755);
    WebServer_Create(&server);
    WebServer_ClearPorts(server);
  }

  // Releases the server and waits until its sockets are gone; a derived
  // fixture calls it before it releases what the server used.
  void ReleaseServer() {
    WebServer_Release(&server);
    EXPECT_TRUE(
        Test_WaitUntil([] { return AsyncSocket_GetInFlightCount() == 0; }, kServerBoundMs));
  }

  void TearDown() override {
    ReleaseServer();
    Mime_Shutdown();
    AsyncSocket_Shutdown();
    IOWorker_Shutdown();
    Meter_Shutdown();
    std::error_code ignored;
    std::filesystem::remove_all(scratch, ignored);
    ThreadTest::TearDown();
  }

  // Starts the server and pumps until it listens; port is then its port.
  void Listen() {
    ASSERT_TRUE(Test_WaitUntil([&] { return WebServer_Start(server) == 1; }, kServerBoundMs));
    ASSERT_TRUE(Pump([&] { return WebServer_GetListenPort(server, &port) == 1; }));
  }

  // One pass of the program's loop.
  virtual void PumpOnce() {
    WebServer_Poll(server);
    EventQueue_Flush(EventQueue_GetMain());
    Thread_Yield();
  }

  bool Pump(const std::function<bool()> &done, int boundMs = kServerBoundMs) {
    return Test_WaitUntil([&] {
      PumpOnce();
      return done();
    }, boundMs, 0);
  }

  // A shell command run while the server is pumped; its standard output.
  std::string Peer(const std::string &command, int *status = nullptr) {
    return Test_RunPeerWhilePumping(command, [&] { PumpOnce(); }, status, kServerBoundMs);
  }
};
