// The shared fixture of the network tests: the services a connection needs,
// started and stopped in the host's order (the instance table, threads and the main queue with
// the tests' wake hook, meters, the notification center, sockets, WebGet,
// interop, the I/O worker, asynchronous sockets, then the challenge broker),
// a pump that does what one pass of the host's main loop does, and a fake
// user interface that answers the broker's prompts from a script.
//
// Threads: everything here on the test's (main) thread.
#pragma once

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "tests/wake_hook.h"

struct Dictionary;
struct WebGetPool;

class NetTest : public ThreadTest {
 protected:
  void SetUp() override;
  void TearDown() override;
};

// The modules NetTest starts above the thread module and main queue, for a
// forked child that runs a network test of its own (FSFAULT_RUN).
void NetTest_InitModules(void);
void NetTest_ShutdownModules(void);

// One pass of the main loop: the main queue, the connection pool's step
// (while NetTest_StartPool's pool exists), the notification pump and the I/O
// worker's growth check.
void NetTest_Pump(void);
// Creates the process-wide connection pool as the application does, with the
// limits of config's section "webGetPool" ("maxHosts", "maxHostConnections";
// NULL or a missing section keeps the defaults). The fixture's TearDown
// releases it; a fixture that shuts services down before NetTest::TearDown
// (AsyncFile) releases it first, as the requests it holds may be the last.
WebGetPool *NetTest_StartPool(Dictionary *config = nullptr);
// What the storage and repository suites run on besides the fixture's
// services: asynchronous files, 127.0.0.1 on the whitelist and the pool.
// The stop releases the pool, waits for the I/O worker's last routines (a
// finished transfer drops its file there) and flushes the main queue before
// asynchronous files shut down; call it before NetTest::TearDown.
void NetTest_StartLoopbackServices(void);
void NetTest_StopLoopbackServices(void);
// Pumps until done() holds or boundMs have passed; the last answer.
bool NetTest_PumpUntil(const std::function<bool()> &done, int boundMs = 20000);
// A new Dictionary from the members of a JSON object text; the caller
// releases it. Fails the test on a text that does not parse.
Dictionary *NetTest_Dictionary(const std::string &json);
// A tree as compact JSON text ("null" for none).
std::string NetTest_Json(Dictionary *d);

// The user interface's side of the challenge broker. Every
// "Challenge"/"PromptRequest" is recorded; when a scripted answer is queued,
// it is merged over the request and fired back as "Challenge"/"PromptResponse"
// through the notification queue, as a page answers; otherwise the prompt
// stays open until Answer.
class TestPrompter {
 public:
  TestPrompter();
  ~TestPrompter();
  TestPrompter(const TestPrompter &) = delete;
  TestPrompter &operator=(const TestPrompter &) = delete;

  // Queues the answer to the next prompt: a JSON object text whose members
  // overwrite the request's ({"username":"u","password":"p"},
  // {"cancel":true}).
  void Script(const std::string &answer);
  // Answers the last prompt now with the members given.
  void Answer(const std::string &answer);
  // Prompts seen, each as JSON text with its requester.
  struct Prompt {
    std::string requester;
    std::string request;
  };
  const std::vector<Prompt> &Prompts() const { return prompts_; }

 private:
  static int OnPrompt(void *context, const char *sender, const char *notification,
                      const char *instance, Dictionary *info);
  void Fire(const std::string &requester, Dictionary *request, const std::string &answer);
  std::deque<std::string> script_;
  std::vector<Prompt> prompts_;
  Dictionary *last_ = nullptr;  // a copy of the last prompt's request
};
