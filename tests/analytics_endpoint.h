// The records of tests/analytics_endpoint.py: one JSON line per POST in
// <dir>/posts, as Python's json read the body ("path", "contentType",
// "apiKey", "keys" of each event in order, "events").
//
// Threads: the test's thread.
#pragma once

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "core/formats/dictionary.h"
#include "core/net/analytics.h"
#include "core/net/webget.h"
#include "core/platform/asyncfile.h"
#include "tests/fault_server.h"
#include "tests/netfixture.h"

using AnalyticsDictionaryPtr = std::shared_ptr<Dictionary>;

inline AnalyticsDictionaryPtr AnalyticsEndpoint_Own(Dictionary *d) {
  return AnalyticsDictionaryPtr(d, [](Dictionary *p) { Dictionary_Release(&p); });
}

// A member's text, or "<missing>".
inline std::string AnalyticsEndpoint_Text(Dictionary *d, const char *key) {
  const char *value = nullptr;
  int32_t length = 0;
  if (!Dictionary_GetTextByKey(d, key, &value, &length)) return "<missing>";
  return std::string(value, size_t(length));
}

// A member object or list as compact JSON text, or "<missing>".
inline std::string AnalyticsEndpoint_Member(Dictionary *d, const char *key) {
  Dictionary *child = nullptr;
  if (Dictionary_GetDictionaryByKey(d, key, &child)) return NetTest_Json(child);
  if (!Dictionary_GetListByKey(d, key, &child)) return "<missing>";
  Dictionary *wrapped = nullptr, *list = nullptr;
  Dictionary_Create(&wrapped);
  Dictionary_AddList(wrapped, nullptr, &list, nullptr);
  Dictionary_Merge(list, child, kDictionaryMergeOverwrite);
  std::string json = NetTest_Json(wrapped);
  Dictionary_Release(&wrapped);
  return json;
}

// One POST as the endpoint recorded it.
struct AnalyticsPost {
  AnalyticsDictionaryPtr record;
  std::string ContentType() const { return AnalyticsEndpoint_Text(record.get(), "contentType"); }
  std::string ApiKey() const { return AnalyticsEndpoint_Text(record.get(), "apiKey"); }
  std::string Keys() const { return AnalyticsEndpoint_Member(record.get(), "keys"); }
  std::vector<Dictionary *> Events() const {
    std::vector<Dictionary *> out;
    Dictionary *list = nullptr;
    if (!Dictionary_GetListByKey(record.get(), "events", &list)) return out;
    Dictionary *e = nullptr;
    for (int32_t i = 0; Dictionary_GetDictionaryByIndex(list, i, &e); i++) out.push_back(e);
    return out;
  }
};

// The POSTs to path so far.
inline std::vector<AnalyticsPost> AnalyticsEndpoint_Posts(const FaultServer &endpoint,
                                                          const std::string &path) {
  std::vector<AnalyticsPost> out;
  std::ifstream in(endpoint.dir / "posts");
  for (std::string line; std::getline(in, line);) {
    // A line without its newline is a record the endpoint is still writing
    // (a later POST, in more than one write): not read yet.
    if (in.eof()) break;
    AnalyticsDictionaryPtr record = AnalyticsEndpoint_Own(NetTest_Dictionary(line));
    if (AnalyticsEndpoint_Text(record.get(), "path") == path) out.push_back({record});
  }
  return out;
}

// The network fixture with the endpoint (one per suite) and analytics
// started for each test.
class AnalyticsEndpointTest : public NetTest {
 protected:
  static void SetUpTestSuite() { endpoint_ = new FaultServer("analytics_endpoint.py"); }
  static void TearDownTestSuite() {
    delete endpoint_;
    endpoint_ = nullptr;
  }
  void SetUp() override {
    NetTest::SetUp();
    AsyncFile_Init();
    WebGet_AddWhitelistHost("127.0.0.1");
    ASSERT_GT(endpoint_->port, 0);
    Analytics_Init();
  }
  void TearDown() override {
    Analytics_Shutdown();
    AsyncFile_Shutdown();
    NetTest::TearDown();
  }
  static inline FaultServer *endpoint_ = nullptr;
};
