// The network fixture; see netfixture.h.
#include "tests/netfixture.h"

#include <chrono>

#include "core/formats/dictionary.h"
#include "core/formats/json.h"
#include "core/bridge/interop.h"
#include "core/net/asyncsocket.h"
#include "core/net/challenge.h"
#include "core/net/socket.h"
#include "core/net/webget.h"
#include "core/net/webgetpool.h"
#include "core/platform/asyncfile.h"
#include "core/platform/eventqueue.h"
#include "core/platform/interopcallback.h"
#include "core/platform/ioworker.h"
#include "core/platform/meter.h"
#include "core/platform/notification.h"
#include "core/platform/thread.h"
#include "core/runtime/class.h"
#include "tests/interop_test_util.h"

void NetTest::SetUp() {
  Class_Init();  // the instance table: records the broker answers are tracked
  ThreadTest::SetUp();
  NetTest_InitModules();
}

void NetTest::TearDown() {
  NetTest_ShutdownModules();
  ThreadTest::TearDown();
  Class_Shutdown();
}

void NetTest_InitModules(void) {
  Meter_Init();
  NotificationCenter_Init();
  Socket_Init();
  WebGet_Init();
  Interop_Init();
  IOWorker_Init();
  AsyncSocket_Init();
  // Until the application object exists, the fixture owns the broker.
  Challenge_Init();
}

void NetTest_ShutdownModules(void) {
  WebGetPool *pool = WebGetPool_Get();
  if (pool != nullptr) WebGetPool_Release(&pool);
  Challenge_Shutdown();
  AsyncSocket_Shutdown();
  IOWorker_Shutdown();
  Interop_Shutdown();
  WebGet_Shutdown();
  NotificationCenter_Shutdown();
  Meter_Shutdown();
}

void NetTest_Pump(void) {
  EventQueue_Flush(EventQueue_GetMain());
  if (WebGetPool_Get() != nullptr) WebGetPool_Step();
  NotificationCenter_ProcessPendingFires();
  IOWorker_Grow();
}

bool NetTest_PumpUntil(const std::function<bool()> &done, int boundMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(boundMs);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return done();
    Thread_Yield();
    NetTest_Pump();
  }
  return true;
}

WebGetPool *NetTest_StartPool(Dictionary *config) {
  WebGetPool *pool = nullptr;
  EXPECT_EQ(WebGetPool_Init(&pool), 1);
  Dictionary *section = nullptr;
  if (config != nullptr && Dictionary_GetDictionaryByKey(config, "webGetPool", &section))
    WebGetPool_Configure(pool, section);
  return pool;
}

void NetTest_StartLoopbackServices(void) {
  AsyncFile_Init();
  WebGet_AddWhitelistHost("127.0.0.1");
  NetTest_StartPool();
}

void NetTest_StopLoopbackServices(void) {
  WebGetPool *pool = WebGetPool_Get();
  if (pool != nullptr) WebGetPool_Release(&pool);
  NetTest_PumpUntil([] { return IOWorker_GetBusyCount() == 0; });
  EventQueue_Flush(EventQueue_GetMain());
  AsyncFile_Shutdown();
}

Dictionary *NetTest_Dictionary(const std::string &json) {
  Dictionary *parsed = nullptr;
  Dictionary_Create(&parsed);
  Json *parser = nullptr;
  Json_Create(&parser);
  Json_SetDictionary(parser, parsed);
  EXPECT_EQ(Json_ParseMemory(parser, json.c_str(), int32_t(json.size())), 1) << json;
  Json_Release(&parser);
  Dictionary *members = nullptr;
  Dictionary_Unwrap(parsed, &members);
  Dictionary *out = nullptr;
  Dictionary_Create(&out);
  Dictionary_Merge(out, members, kDictionaryMergeOverwrite);
  Dictionary_Release(&parsed);
  return out;
}

std::string NetTest_Json(Dictionary *d) { return InteropTest_JsonText(d); }

TestPrompter::TestPrompter() {
  NotificationCenter_AddInstanceObserver("Challenge", "PromptRequest", "Global", this, OnPrompt);
}

TestPrompter::~TestPrompter() {
  NotificationCenter_RemoveInstanceObserver("Challenge", "PromptRequest", "Global", this,
                                            OnPrompt);
  if (last_ != nullptr) Dictionary_Release(&last_);
}

void TestPrompter::Script(const std::string &answer) { script_.push_back(answer); }

void TestPrompter::Answer(const std::string &answer) {
  ASSERT_FALSE(prompts_.empty()) << "no prompt to answer";
  Fire(prompts_.back().requester, last_, answer);
}

void TestPrompter::Fire(const std::string &requester, Dictionary *request,
                        const std::string &answer) {
  Dictionary *info = nullptr;
  Dictionary_Create(&info);
  Dictionary_Merge(info, request, kDictionaryMergeOverwrite);
  Dictionary *given = NetTest_Dictionary(answer);
  Dictionary_Merge(info, given, kDictionaryMergeOverwrite);
  Dictionary_Release(&given);
  NotificationCenter_FireAfterDelay("Challenge", "PromptResponse", requester.c_str(), 0, info);
  Dictionary_Release(&info);
}

int TestPrompter::OnPrompt(void *context, const char *, const char *, const char *instance,
                           Dictionary *info) {
  auto *self = static_cast<TestPrompter *>(context);
  self->prompts_.push_back({instance != nullptr ? instance : "", NetTest_Json(info)});
  if (self->last_ != nullptr) Dictionary_Release(&self->last_);
  Dictionary_Create(&self->last_);
  if (info != nullptr) Dictionary_Merge(self->last_, info, kDictionaryMergeOverwrite);
  if (!self->script_.empty()) {
    std::string answer = self->script_.front();
    self->script_.pop_front();
    self->Fire(instance != nullptr ? instance : "", self->last_, answer);
  }
  return 1;
}
