#include "core/net/challenge.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "core/formats/dictionary.h"
#include "core/platform/notification.h"
#include "tests/log_capture.h"
#include "tests/netfixture.h"

namespace {

// Every "Challenge"/"Response": "<requester> <answer JSON>".
struct Responses {
  Responses() {
    NotificationCenter_AddInstanceObserver("Challenge", "Response", "Global", this, Record);
  }
  ~Responses() {
    NotificationCenter_RemoveInstanceObserver("Challenge", "Response", "Global", this, Record);
  }
  static int Record(void *context, const char *, const char *, const char *instance,
                    Dictionary *info) {
    static_cast<Responses *>(context)->lines.push_back(std::string(instance) + " " +
                                                      NetTest_Json(info));
    return 1;
  }
  std::vector<std::string> lines;
};

class ChallengeTest : public NetTest {
 protected:
  void Post(const std::string &json, const char *requester) {
    Dictionary *info = NetTest_Dictionary(json);
    Challenge_PostRequest(info, requester);
    Dictionary_Release(&info);
  }
  void Settle() {
    for (int i = 0; i < 4; i++) NetTest_Pump();
  }
  void SetUp() override {
    NetTest::SetUp();
    ui_ = std::make_unique<TestPrompter>();
    responses_ = std::make_unique<Responses>();
  }
  void TearDown() override {
    ui_.reset();
    responses_.reset();
    NetTest::TearDown();
  }
  std::unique_ptr<TestPrompter> ui_;
  std::unique_ptr<Responses> responses_;
};
class ChallengeDeathTest : public ChallengeTest {};

constexpr char kServer[] = R"({"filter":"webgetserver","type":0,"host":"h:80","realm":"r")";
constexpr char kProxy[] = R"({"filter":"WebGetProxy","type":1,"host":"h:80","realm":"r")";

TEST_F(ChallengeTest, TwoRequestsShareOnePromptAndItsAnswer) {
  Post(std::string(kServer) + "}", "a1");
  Post(std::string(kServer) + "}", "a2");
  Settle();
  ASSERT_EQ(ui_->Prompts().size(), 1u);
  EXPECT_EQ(ui_->Prompts()[0].requester, "a1");
  EXPECT_NE(ui_->Prompts()[0].request.find("\"attempt\":0"), std::string::npos);
  ui_->Answer(R"({"username":"u","password":"p"})");
  Settle();
  ASSERT_EQ(responses_->lines.size(), 2u);
  EXPECT_EQ(responses_->lines[0].substr(0, 3), "a1 ");
  EXPECT_EQ(responses_->lines[1].substr(0, 3), "a2 ");
  EXPECT_NE(responses_->lines[1].find("\"password\":\"p\""), std::string::npos);
  EXPECT_EQ(Challenge_GetPendingCount(), 0);
  // A later request for the same host and realm is answered from memory.
  Post(std::string(kServer) + "}", "a3");
  Settle();
  EXPECT_EQ(ui_->Prompts().size(), 1u);
  ASSERT_EQ(responses_->lines.size(), 3u);
  EXPECT_EQ(responses_->lines[2].substr(0, 3), "a3 ");
}

TEST_F(ChallengeTest, RememberedAnswerAlreadyTriedPromptsAgain) {
  ui_->Script(R"({"username":"u","password":"p"})");
  Post(std::string(kServer) + "}", "a1");
  Settle();
  ASSERT_EQ(responses_->lines.size(), 1u);
  Post(std::string(kServer) + R"(,"username":"u","password":"p"})", "a1");
  Settle();
  EXPECT_EQ(responses_->lines.size(), 1u);
  ASSERT_EQ(ui_->Prompts().size(), 2u);
  EXPECT_NE(ui_->Prompts()[1].request.find("\"attempt\":1"), std::string::npos);
}

TEST_F(ChallengeTest, MarkInvalidMakesTheNextRequestPrompt) {
  ui_->Script(R"({"username":"u","password":"p"})");
  Post(std::string(kServer) + "}", "a1");
  Settle();
  Dictionary *info = NetTest_Dictionary(std::string(kServer) + "}");
  EXPECT_EQ(Challenge_MarkInvalid(info), 1);
  Dictionary_Release(&info);
  info = NetTest_Dictionary(std::string(kProxy) + "}");
  EXPECT_EQ(Challenge_MarkInvalid(info), 0);
  Dictionary_Release(&info);
  ui_->Script(R"({"username":"u","password":"q"})");
  Post(std::string(kServer) + "}", "a2");
  Settle();
  ASSERT_EQ(ui_->Prompts().size(), 2u);
  EXPECT_NE(ui_->Prompts()[1].request.find("\"attempt\":1"), std::string::npos);
  ASSERT_EQ(responses_->lines.size(), 2u);
  EXPECT_NE(responses_->lines[1].find("\"password\":\"q\""), std::string::npos);
  EXPECT_EQ(responses_->lines[1].find("invalid"), std::string::npos);
}

TEST_F(ChallengeTest, CancelReachesEveryWaiterOnceAndIsForgotten) {
  Post(std::string(kServer) + "}", "a1");
  Post(std::string(kServer) + "}", "a2");
  Settle();
  ui_->Answer(R"({"cancel":true})");
  Settle();
  ASSERT_EQ(responses_->lines.size(), 2u);
  EXPECT_NE(responses_->lines[0].find("\"cancel\":true"), std::string::npos);
  // Not remembered: the next request prompts, as a first attempt.
  Post(std::string(kServer) + "}", "a3");
  Settle();
  EXPECT_EQ(responses_->lines.size(), 2u);
  ASSERT_EQ(ui_->Prompts().size(), 2u);
  EXPECT_NE(ui_->Prompts()[1].request.find("\"attempt\":0"), std::string::npos);
}

TEST_F(ChallengeTest, ServerAndProxyAreAnsweredSeparately) {
  ui_->Script(R"({"username":"s","password":"1"})");
  ui_->Script(R"({"username":"x","password":"2"})");
  Post(std::string(kServer) + "}", "a1");
  Post(std::string(kProxy) + "}", "a2");
  Settle();
  ASSERT_EQ(ui_->Prompts().size(), 2u);
  ASSERT_EQ(responses_->lines.size(), 2u);
  EXPECT_NE(responses_->lines[0].find("\"username\":\"s\""), std::string::npos);
  EXPECT_EQ(responses_->lines[1].substr(0, 3), "a2 ");
  EXPECT_NE(responses_->lines[1].find("\"username\":\"x\""), std::string::npos);
  Dictionary *out = nullptr;
  Dictionary_Create(&out);
  EXPECT_EQ(Challenge_GetLastProxyAnswer(out), 1);
  EXPECT_NE(NetTest_Json(out).find("\"username\":\"x\""), std::string::npos);
  Dictionary_Release(&out);
}

TEST_F(ChallengeTest, FitRuleByFilter) {
  struct Row {
    const char *remembered;
    const char *request;
    bool answered;
  } rows[] = {
      {R"({"filter":"StorageDecrypt","host":"cdn","password":"k"})",
       R"({"filter":"storagedecrypt","host":"cdn","realm":"other"})", true},
      {R"({"filter":"StorageDecrypt","host":"cdn","password":"k"})",
       R"({"filter":"StorageDecrypt","host":"CDN"})", false},
      {R"({"filter":"ClientCert","address":"h:443","certificatePath":"/c.p12"})",
       R"({"filter":"clientcert","address":"h:443","certificateTypes":["rsa"]})", true},
      {R"({"filter":"ClientCert","address":"h:443"})", R"({"filter":"ClientCert"})", false},
      {R"({"filter":"WebGetServer","type":0,"host":"h","realm":"r","password":"p"})",
       R"({"filter":"WebGetServer","type":0,"host":"h","realm":"R"})", false},
  };
  int requester = 0;
  for (const Row &row : rows) {
    SCOPED_TRACE(row.request);
    std::string first = "first" + std::to_string(requester);
    std::string second = "second" + std::to_string(requester++);
    ui_->Script(row.remembered);
    Post(row.remembered, first.c_str());
    Settle();
    size_t before = responses_->lines.size();
    Post(row.request, second.c_str());
    Settle();
    EXPECT_EQ(responses_->lines.size() > before, row.answered);
    // Close the prompt left open for the next row; a cancel that fits no
    // request leaves it pending until its requester withdraws.
    if (!row.answered) {
      ui_->Answer(R"({"cancel":true})");
      Settle();
      Challenge_Withdraw(second.c_str());
    }
    EXPECT_EQ(Challenge_GetPendingCount(), 0);
  }
}

TEST_F(ChallengeTest, WithdrawnRequesterGetsNothing) {
  Post(std::string(kServer) + "}", "gone");
  Settle();
  ASSERT_EQ(Challenge_GetPendingCount(), 1);
  Challenge_Withdraw("gone");
  EXPECT_EQ(Challenge_GetPendingCount(), 0);
  // Posted, then withdrawn before the pump delivered it.
  Post(std::string(kServer) + "}", "late");
  Challenge_Withdraw("late");
  Settle();
  EXPECT_EQ(Challenge_GetPendingCount(), 0);
  ui_->Answer(R"({"username":"u","password":"p"})");
  Settle();
  EXPECT_TRUE(responses_->lines.empty());
}

TEST_F(ChallengeTest, PageNotificationWithoutKnownFilterIsIgnored) {
  Post(std::string(kServer) + "}", "a1");
  Settle();
  TestLogCapture log;
  const char *infos[] = {R"({"host":"h:80","username":"u"})",
                         R"({"filter":"nosuch","host":"h:80"})"};
  for (const char *json : infos) {
    Dictionary *info = NetTest_Dictionary(json);
    NotificationCenter_Fire("Challenge", "PromptResponse", "a1", info);
    NotificationCenter_Fire("Challenge", "Request", "a9", info);
    Dictionary_Release(&info);
  }
  std::string lines = log.Take();
  EXPECT_NE(lines.find("Challenge PromptResponse without filter key - ignored"),
            std::string::npos);
  EXPECT_NE(lines.find("Challenge Request with unknown filter value (nosuch) - ignored"),
            std::string::npos);
  EXPECT_TRUE(responses_->lines.empty());
  EXPECT_EQ(Challenge_GetPendingCount(), 1);
  EXPECT_EQ(ui_->Prompts().size(), 1u);
}

TEST_F(ChallengeDeathTest, MarkInvalidNeedsAKnownFilter) {
  Dictionary *none = NetTest_Dictionary(R"({"host":"h"})");
  EXPECT_DEATH(Challenge_MarkInvalid(none), "Dictionary missing filter key");
  Dictionary *unknown = NetTest_Dictionary(R"({"filter":"x1"})");
  EXPECT_DEATH(Challenge_MarkInvalid(unknown), "Unknown filter value \\(x1\\)");
  Dictionary_Release(&none);
  Dictionary_Release(&unknown);
}

}  // namespace
