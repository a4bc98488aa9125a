// One request run to its end on a connection, for the HTTP client tests:
// queued (directly, or with the request's settings applied as the pool
// applies them), the main loop pumped until it is done (bounded), and its
// result code, status and memory output read back.
//
// Threads: the test's (main) thread.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "core/net/webget.h"
#include "core/net/webgetconnection.h"
#include "core/net/webgetrequest.h"
#include "core/platform/asyncfile.h"
#include "tests/netfixture.h"

struct WebGetOutcome {
  int32_t code = -1, codeEx = -1, status = 0;
  std::string body;
};

// A test with the network services, asynchronous files, 127.0.0.1 allowed,
// and one connection (time-out 5 s) of its own.
class WebGetConnectionFixture : public NetTest {
 protected:
  void SetUp() override {
    NetTest::SetUp();
    AsyncFile_Init();
    WebGet_AddWhitelistHost("127.0.0.1");
    WebGetConnection_Create(&connection_);
    WebGetConnection_SetTimeout(connection_, 5);
  }
  void TearDown() override {
    WebGetConnection_Release(&connection_);
    AsyncFile_Shutdown();
    NetTest::TearDown();
  }
  WebGetConnection *connection_ = nullptr;
};

// apply: through WebGetRequest_ApplyToConnection (the request's proxy,
// time-out and switches go onto the connection); else the plain queue.
inline WebGetOutcome Test_RunWebGet(WebGetConnection *connection, WebGetRequest *r, bool apply,
                                    int boundMs = 20000) {
  if (apply) WebGetRequest_ApplyToConnection(connection, r);
  else WebGetConnection_QueueRequest(connection, r);
  EXPECT_TRUE(NetTest_PumpUntil([&] { return WebGetRequest_IsComplete(r) != 0; }, boundMs));
  WebGetOutcome out;
  WebGetRequest_GetError(r, &out.code, &out.codeEx);
  out.status = WebGetRequest_GetStatusCode(r);
  const uint8_t *data = nullptr;
  int64_t length = 0;
  WebGetRequest_GetMemoryOutput(r, &data, &length);
  out.body.assign(reinterpret_cast<const char *>(data), size_t(length));
  return out;
}
