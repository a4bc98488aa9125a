#include "core/net/webgetauth.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "core/formats/dictionary.h"
#include "core/net/challenge.h"
#include "core/net/webget.h"
#include "core/platform/notification.h"
#include "tests/netfixture.h"
#include "tests/test_util.h"

namespace {

class WebGetAuthTest : public NetTest {
 protected:
  void SetUp() override {
    NetTest::SetUp();
    ui = std::make_unique<TestPrompter>();
    WebGetAuth_Create(&auth);
    WebGetAuth_SetHost(auth, "h.example:80");
    WebGetAuth_SetMethod(auth, kWebGetMethodGet);
    WebGetAuth_SetUri(auth, "/");
  }
  void TearDown() override {
    WebGetAuth_Release(&auth);
    ui.reset();
    NetTest::TearDown();
  }
  // Parses one challenge header block; the result, with the code in *code.
  int Parse(const std::string &lines, int32_t *code = nullptr) {
    std::string block = "HTTP/1.1 401 Unauthorized\r\n" + lines + "\r\n";
    int32_t c = 0, ex = 0;
    int result = WebGetAuth_ParseChallenge(auth, block.c_str(), &c, &ex);
    if (code != nullptr) *code = c;
    return result;
  }
  std::string Value() {
    char out[kWebGetAuthValueBytes];
    return WebGetAuth_GetValue(auth, out, sizeof out) ? out : "";
  }
  int32_t Counter() {
    int32_t value = -1;
    WebGetAuth_GetCounter(auth, &value);
    return value;
  }
  std::unique_ptr<TestPrompter> ui;
  WebGetAuth *auth = nullptr;
};

std::string Field(const std::string &value, const std::string &name) {
  size_t at = value.find(" " + name + "=");
  if (at == std::string::npos) return "";
  at += name.size() + 2;
  size_t end = value.find(value[at] == '"' ? "\"," : ",", at + 1);
  if (value[at] == '"') return value.substr(at + 1, (end == std::string::npos ? value.size() - 1 : end) - at - 1);
  return value.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

int32_t MethodOf(const std::string &name) {
  if (name == "POST") return kWebGetMethodPost;
  if (name == "PUT") return kWebGetMethodPut;
  return kWebGetMethodGet;
}

TEST_F(WebGetAuthTest, DigestAgreesWithStdlibAndFormulas) {
  int rows = 0;
  for (const auto &[line, f] : Test_ReadRows("httpauth.txt")) {
    if (f[0] != "digest") continue;
    SCOPED_TRACE("httpauth.txt line " + std::to_string(line) + ": " + f[1]);
    rows++;
    WebGetAuth_SetHost(auth, ("digest" + std::to_string(line)).c_str());
    // Typed with a domain, so that a '/' or '\' in the name stays in it.
    WebGetAuth_SetCredentials(auth, ("D\\" + f[2]).c_str(), f[3].c_str());
    WebGetAuth_SetMethod(auth, MethodOf(f[4]));
    WebGetAuth_SetUri(auth, f[5].c_str());
    std::vector<uint8_t> body = Test_HexToBytes(f[6]);
    WebGetAuth_SetBody(auth, body.data(), int64_t(body.size()));
    WebGetAuth_SetClientNonce(auth, f[7].c_str());
    ASSERT_EQ(Parse("WWW-Authenticate: Digest " + f[1] + "\r\n"), 1);
    bool qop = f[1].find("qop=") != std::string::npos;
    for (int nc = 1; nc <= 3; nc++) {
      std::string value = Value();
      EXPECT_EQ(Field(value, "response"), f[7 + nc]) << value;
      EXPECT_EQ(Field(value, "nc"), qop ? "0000000" + std::to_string(nc) : "");
      EXPECT_EQ(value.find("cnonce=") != std::string::npos, qop);
    }
    EXPECT_NE(Value().find("username=" + f[11] + ", realm=" + f[12] + ","), std::string::npos);
  }
  EXPECT_EQ(rows, 19);
}

TEST_F(WebGetAuthTest, DigestCountsPerNonceAndStaleKeepsCredentials) {
  WebGetAuth_SetCredentials(auth, "Mufasa", "Circle Of Life");
  const std::string first = "realm=\"r\", nonce=\"n1\", qop=\"auth\"";
  ASSERT_EQ(Parse("WWW-Authenticate: Digest " + first + "\r\n"), 1);
  std::string cnonce = Field(Value(), "cnonce");
  for (int i = 0; i < 2; i++) EXPECT_EQ(Field(Value(), "cnonce"), cnonce);
  EXPECT_EQ(cnonce.size(), 16u);
  EXPECT_EQ(Counter(), 3);
  // The server aged the nonce: no prompt, the count starts again.
  ASSERT_EQ(Parse("WWW-Authenticate: Digest realm=\"r\", nonce=\"n2\", qop=\"auth\", stale=true\r\n"), 1);
  EXPECT_EQ(Counter(), 0);
  std::string value = Value();
  EXPECT_EQ(Field(value, "nc"), "00000001");
  EXPECT_EQ(Field(value, "nonce"), "n2");
  EXPECT_NE(Field(value, "cnonce"), cnonce);  // a fresh one per challenge
  EXPECT_EQ(Counter(), 1);
  // A refused answer without stale asks again.
  EXPECT_EQ(Parse("WWW-Authenticate: Digest realm=\"r\", nonce=\"n3\"\r\n"), 0);
  EXPECT_EQ(Counter(), 1);
  NetTest_PumpUntil([] { return Challenge_GetPendingCount() == 1; });
  EXPECT_EQ(ui->Prompts().size(), 1u);
}

TEST_F(WebGetAuthTest, DigestRfc2617Example) {
  WebGetAuth_SetCredentials(auth, "Mufasa", "Circle Of Life");
  WebGetAuth_SetUri(auth, "/dir/index.html");
  WebGetAuth_SetClientNonce(auth, "0a4f113b");
  ASSERT_EQ(Parse("WWW-Authenticate: Digest realm=\"testrealm@host.com\", qop=\"auth,auth-int\", "
                  "nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\", "
                  "opaque=\"5ccc069c403ebaf9f0171e9517f40e41\"\r\n"),
            1);
  EXPECT_EQ(Value(),
            "Digest username=\"Mufasa\", realm=\"testrealm@host.com\", "
            "nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\", uri=\"/dir/index.html\", "
            "qop=\"auth\", nc=00000001, cnonce=\"0a4f113b\", "
            "response=\"6629fae49393a05397450978507c4ef1\", "
            "opaque=\"5ccc069c403ebaf9f0171e9517f40e41\"");
}

TEST_F(WebGetAuthTest, BasicAgreesWithStdlib) {
  int rows = 0;
  for (const auto &[line, f] : Test_ReadRows("httpauth.txt")) {
    if (f[0] != "basic") continue;
    SCOPED_TRACE("httpauth.txt line " + std::to_string(line));
    rows++;
    std::vector<uint8_t> user = Test_HexToBytes(f[1]), password = Test_HexToBytes(f[2]);
    WebGetAuth_SetCredentials(auth, ("D/" + std::string(user.begin(), user.end())).c_str(),
                              std::string(password.begin(), password.end()).c_str());
    ASSERT_EQ(Parse("WWW-Authenticate: Basic realm=\"r\"\r\n"), 1);
    EXPECT_EQ(Value(), f[3]);
  }
  EXPECT_EQ(rows, 12);
}

TEST_F(WebGetAuthTest, SchemeChoiceAndFailures) {
  struct Row {
    const char *lines;
    const char *typed;
    int result;
    int32_t code;
    uint32_t scheme;
    const char *valueStart;
  } rows[] = {
      {"WWW-Authenticate: basic realm=\"r\"\r\n", "DOM\\u", 1, 0, kWebGetAuthBasic,
       "Basic dTpw"},  // "u:p": the domain is not sent
      {"WWW-Authenticate: Basic realm=\"r\"\r\n", "u", 1, 0, kWebGetAuthBasic, "Basic dTpw"},
      {"WWW-Authenticate: Negotiate\r\nWWW-Authenticate: NTLM\r\n", "u", 1, 0,
       kWebGetAuthNegotiate, "Negotiate TlRMTVNTUAAB"},
      {"WWW-Authenticate: NTLM\r\n", "d/u", 1, 0, kWebGetAuthNtlm, "NTLM TlRMTVNTUAAB"},
      {"Proxy-Authenticate: Basic realm=\"r\"\r\n", "u", 0, 981, 0, ""},
      {"WWW-Authenticate: Bearer realm=\"r\"\r\n", "u", 0, 982, 0, ""},
      {"WWW-Authenticate: Digest realm=\"r\", nonce=\"n\", algorithm=SHA-256\r\n", "u", 0, 982,
       kWebGetAuthDigest, ""},
      {"WWW-Authenticate: NTLM AAAA\r\n", "u", 0, 982, kWebGetAuthNtlm, ""},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.lines);
    WebGetAuth_SetHost(auth, row.lines);
    WebGetAuth_SetCredentials(auth, row.typed, "p");
    int32_t code = -1;
    EXPECT_EQ(Parse(row.lines, &code), row.result);
    EXPECT_EQ(code, row.code);
    if (row.scheme != 0) {
      EXPECT_EQ(WebGetAuth_GetFlags(auth), row.scheme);
    }
    EXPECT_EQ(Value().substr(0, strlen(row.valueStart)), row.valueStart);
  }
}

TEST_F(WebGetAuthTest, HostChangeClearsAnswersButNotItsCase) {
  WebGetAuth_SetCredentials(auth, "u", "p");
  ASSERT_EQ(Parse("WWW-Authenticate: Basic realm=\"r\"\r\n"), 1);
  WebGetAuth_SetHost(auth, "H.EXAMPLE:80");
  EXPECT_EQ(Value(), "Basic dTpw");
  WebGetAuth_SetHost(auth, "other.example:80");
  EXPECT_EQ(Value(), "");
  EXPECT_EQ(Counter(), 0);
  // No credentials now: the next challenge asks the broker.
  EXPECT_EQ(Parse("WWW-Authenticate: Basic realm=\"r\"\r\n"), 0);
}

// The road of a prompt: request, the user's answer, the second parse; a
// refused answer prompts again with the attempt counted.
TEST_F(WebGetAuthTest, CredentialsComeThroughTheBroker) {
  struct Seen {
    std::vector<std::string> answers;
    static int On(void *context, const char *, const char *, const char *, Dictionary *info) {
      static_cast<Seen *>(context)->answers.push_back(NetTest_Json(info));
      return 1;
    }
  } seen;
  const char *id = reinterpret_cast<const char *>(auth);
  NotificationCenter_AddInstanceObserver("Challenge", "Response", id, &seen, Seen::On);
  ui->Script(R"({"username":"dom\\alice","password":"pw"})");
  int32_t code = -1;
  EXPECT_EQ(Parse("WWW-Authenticate: Basic realm=\"r\"\r\n", &code), 0);
  EXPECT_EQ(code, 0);
  ASSERT_TRUE(NetTest_PumpUntil([&] { return seen.answers.size() == 1; }));
  EXPECT_NE(ui->Prompts()[0].request.find("\"filter\":\"webgetserver\""), std::string::npos);
  WebGetAuth_SetCredentials(auth, "dom\\alice", "pw");
  EXPECT_EQ(Parse("WWW-Authenticate: Basic realm=\"r\"\r\n"), 1);
  EXPECT_EQ(Value(), "Basic YWxpY2U6cHc=");
  EXPECT_EQ(Counter(), 1);
  WebGetAuth_ReportFailure(auth);
  EXPECT_EQ(Counter(), 0);
  ui->Script(R"({"username":"alice","password":"pw2"})");
  EXPECT_EQ(Parse("WWW-Authenticate: Basic realm=\"r\"\r\n"), 0);
  ASSERT_TRUE(NetTest_PumpUntil([&] { return seen.answers.size() == 2; }));
  EXPECT_NE(ui->Prompts()[1].request.find("\"attempt\":1"), std::string::npos);
  NotificationCenter_RemoveInstanceObserver("Challenge", "Response", id, &seen, Seen::On);
}

TEST_F(WebGetAuthTest, DestroyedRecordLeavesNoRequest) {
  EXPECT_EQ(Parse("WWW-Authenticate: Basic realm=\"r\"\r\n"), 0);
  ASSERT_TRUE(NetTest_PumpUntil([] { return Challenge_GetPendingCount() == 1; }));
  WebGetAuth_Release(&auth);
  EXPECT_EQ(Challenge_GetPendingCount(), 0);
  WebGetAuth_Create(&auth);
}

}  // namespace
