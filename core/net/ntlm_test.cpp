#include "core/net/ntlm.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/net/webgetauth.h"
#include "core/runtime/base64.h"
#include "tests/netfixture.h"
#include "tests/test_util.h"

namespace {

std::string Utf8(const std::string &hex) {
  std::vector<uint8_t> bytes = Test_HexToBytes(hex);
  return std::string(bytes.begin(), bytes.end());
}

void Put16(std::vector<uint8_t> &m, size_t at, uint32_t v) {
  m[at] = uint8_t(v);
  m[at + 1] = uint8_t(v >> 8);
}

void Put32(std::vector<uint8_t> &m, size_t at, uint32_t v) {
  Put16(m, at, v);
  Put16(m, at + 2, v >> 16);
}

// A challenge message: the 32-byte form, or with context and target
// information (and version) when targetInfo is given.
std::vector<uint8_t> Type2(uint32_t flags, const std::vector<uint8_t> &server,
                           const std::vector<uint8_t> *targetInfo = nullptr) {
  std::vector<uint8_t> m(targetInfo != nullptr ? 56 : 32, 0);
  memcpy(m.data(), "NTLMSSP", 8);
  Put32(m, 8, 2);
  Put32(m, 16, uint32_t(m.size()));  // empty target name
  Put32(m, 20, flags);
  memcpy(m.data() + 24, server.data(), 8);
  if (targetInfo != nullptr) {
    Put16(m, 40, uint32_t(targetInfo->size()));
    Put16(m, 42, uint32_t(targetInfo->size()));
    Put32(m, 44, uint32_t(m.size()));
    m.insert(m.end(), targetInfo->begin(), targetInfo->end());
  }
  return m;
}

struct State {
  NtlmState *state = nullptr;
  State() { NtlmState_Create(&state); }
  ~State() { NtlmState_Release(&state); }
};

TEST(Ntlm, ResponsesAgreeWithNtlmAuth) {
  int rows = 0;
  for (const auto &[line, f] : Test_ReadRows("ntlm.txt")) {
    if (f[0] != "resp") continue;
    SCOPED_TRACE("ntlm.txt line " + std::to_string(line));
    rows++;
    uint8_t lm[kNtlmResponseBytes], nt[kNtlmResponseBytes];
    ASSERT_EQ(Ntlm_ComputeResponses(Utf8(f[1]).c_str(), Test_HexToBytes(f[2]).data(),
                                    Test_HexToBytes(f[3]).data(), lm, nt),
              1);
    EXPECT_EQ(Test_BytesToHex(lm, sizeof lm), f[4]);
    EXPECT_EQ(Test_BytesToHex(nt, sizeof nt), f[5]);
  }
  EXPECT_EQ(rows, 16);
}

TEST(Ntlm, PasswordsThatCannotBeHashedWhole) {
  uint8_t challenge[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  uint8_t lm[kNtlmResponseBytes], nt[kNtlmResponseBytes];
  struct Row {
    std::string password;
    int result;
  } rows[] = {
      {std::string(120, 'x'), 1},
      {std::string(121, 'x'), 0},
      {std::string(59, 'x') + "\xF0\x9F\x98\x80", 1},  // 61 units
      {"ab\xC3", 0},      // cut sequence
      {"\x80z", 0},       // stray continuation byte
      {"\xC0\xAF", 0},    // overlong '/'
      {"\xED\xA0\x80", 0},  // encoded surrogate
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.password);
    EXPECT_EQ(Ntlm_ComputeResponses(row.password.c_str(), challenge, challenge, lm, nt),
              row.result);
  }
}

TEST(Ntlm, NegotiateMessagesMatchTheTable) {
  int rows = 0;
  for (const auto &[line, f] : Test_ReadRows("ntlm.txt")) {
    if (f[0] != "type1") continue;
    SCOPED_TRACE("ntlm.txt line " + std::to_string(line));
    rows++;
    uint8_t out[256];
    int32_t length = 0;
    ASSERT_EQ(Ntlm_BuildNegotiate(f[1].c_str(), f[2].c_str(), out, sizeof out, &length), 1);
    EXPECT_EQ(Test_BytesToHex(out, size_t(length)), f[3]);
  }
  EXPECT_EQ(rows, 4);
}

TEST(Ntlm, AuthenticateMessagesMatchTheTable) {
  int rows = 0;
  for (const auto &[line, f] : Test_ReadRows("ntlm.txt")) {
    if (f[0] != "type3") continue;
    SCOPED_TRACE("ntlm.txt line " + std::to_string(line));
    rows++;
    State s;
    std::vector<uint8_t> m = Type2(uint32_t(std::stoul(f[1], nullptr, 16)), Test_HexToBytes(f[4]));
    ASSERT_EQ(Ntlm_ReadChallenge(s.state, m.data(), int32_t(m.size())), 1);
    uint8_t out[1024];
    int32_t length = 0;
    ASSERT_EQ(Ntlm_BuildAuthenticate(s.state, Utf8(f[2]).c_str(), Utf8(f[3]).c_str(),
                                     Test_HexToBytes(f[5]).data(), out, sizeof out, &length),
              1);
    EXPECT_EQ(Test_BytesToHex(out, size_t(length)), f[6]);
  }
  EXPECT_EQ(rows, 8);
}

TEST(Ntlm, ChallengeChecks) {
  std::vector<uint8_t> server(8, 0x11);
  std::vector<uint8_t> good = Type2(0x00000201, server);
  struct Row {
    const char *what;
    std::vector<uint8_t> message;
    int result;
  } rows[] = {
      {"plain", good, 1},
      {"31 bytes", std::vector<uint8_t>(good.begin(), good.end() - 1), 0},
      {"no required flag", Type2(0x40000010, server), 0},
      {"type 3", good, 0},
      {"signature", good, 0},
      {"target name at the end", good, 0},
      {"target name past the end", good, 0},
      {"empty target name at the end", good, 1},
  };
  rows[3].message[8] = 3;
  rows[4].message[0] = 'n';
  Put16(rows[5].message, 12, 1);  // offset 32 = the length
  Put16(rows[6].message, 12, 2);
  Put32(rows[6].message, 16, 31);
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    State s;
    EXPECT_EQ(Ntlm_ReadChallenge(s.state, row.message.data(), int32_t(row.message.size())),
              row.result);
  }
}

void Collect(void *context, const char *line) {
  static_cast<std::vector<std::string> *>(context)->push_back(line);
}

TEST(Ntlm, DumpReadsTargetInformationInsideTheMessage) {
  // Server name "SRV", a timestamp, the end entry.
  std::vector<uint8_t> info = {1, 0, 6, 0, 'S', 0, 'R', 0, 'V', 0,
                               7, 0, 8, 0, 1, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  std::vector<uint8_t> server = Test_HexToBytes("0123456789abcdef");
  struct Row {
    const char *what;
    std::vector<uint8_t> info;
    std::vector<std::string> tail;
  } rows[] = {
      {"whole", info, {"   Server name    : [SRV]\n", "   Timestamp      : 513\n"}},
      {"entry longer than the list",
       {1, 0, 0x40, 0, 'S', 0},
       {"   Target info malformed\n"}},
      {"no end entry", {1, 0, 2, 0, 'S', 0}, {"   Server name    : [S]\n", "   Target info malformed\n"}},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    State s;
    std::vector<uint8_t> m = Type2(0x00808205, server, &row.info);
    ASSERT_EQ(Ntlm_ReadChallenge(s.state, m.data(), int32_t(m.size())), 1);
    std::vector<std::string> lines;
    Ntlm_DumpChallenge(s.state, &lines, Collect);
    ASSERT_GE(lines.size(), 9u + row.tail.size());
    EXPECT_EQ(lines[0], "NTLM Message\n");
    EXPECT_EQ(lines[1], "Protocol: NTLMSSP\n");
    EXPECT_EQ(lines[2], "Type: Challenge (2)\n");
    EXPECT_EQ(lines[3], "Version: 3\n");
    EXPECT_EQ(lines[4], "Target Name: 0 56, []\n");
    EXPECT_EQ(lines[5], "Flags: Unicode, RequestTarget, NTLM, AlwaysSign, TargetInfo (0x00808205)\n");
    EXPECT_EQ(lines[6], "Challenge: 0123456789abcdef\n");
    EXPECT_EQ(lines[7], "Context: 0000000000000000\n");
    EXPECT_EQ(lines[8], "Target Info Block:\n");
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 9, lines.end()), row.tail);
  }
  // Regression: an empty target name may name any offset; the dump never
  // points past the message for it.
  State s;
  std::vector<uint8_t> m = Type2(0x00000201, server);
  Put32(m, 16, 1080);
  ASSERT_EQ(Ntlm_ReadChallenge(s.state, m.data(), int32_t(m.size())), 1);
  std::vector<std::string> lines;
  Ntlm_DumpChallenge(s.state, &lines, Collect);
  ASSERT_EQ(lines.size(), 7u);
  EXPECT_EQ(lines[4], "Target Name: 0 1080, []\n");
}

class NtlmAuthTest : public NetTest {};

TEST_F(NtlmAuthTest, HandshakeThroughTheRecord) {
  struct Row {
    const char *typed;
    uint32_t flags;  // of the negotiate message
    const char *domainField;
    int64_t length;
  } rows[] = {{"user", 0x00088205, "000000002000", 32},
              {"DOMN\\user", 0x00089205, "040004002000", 36}};
  for (const Row &row : rows) {
    SCOPED_TRACE(row.typed);
    WebGetAuth *auth = nullptr;
    WebGetAuth_Create(&auth);
    WebGetAuth_SetHost(auth, "h:80");
    WebGetAuth_SetCredentials(auth, row.typed, "Password");
    int32_t code = -1, ex = 0;
    ASSERT_EQ(WebGetAuth_ParseChallenge(auth, "WWW-Authenticate: NTLM\r\n\r\n", &code, &ex), 1);
    char value[kWebGetAuthValueBytes];
    ASSERT_EQ(WebGetAuth_GetValue(auth, value, sizeof value), 1);
    ASSERT_EQ(strncmp(value, "NTLM ", 5), 0);
    uint8_t message[64];
    int64_t length = 0;
    ASSERT_EQ(Base64_Decode(value + 5, message, sizeof message, &length), 1);
    EXPECT_EQ(length, row.length);
    EXPECT_EQ(Test_BytesToHex(message + 12, 4), Test_BytesToHex(&row.flags, 4));
    EXPECT_EQ(Test_BytesToHex(message + 16, 6), row.domainField);
    // The server's challenge; the authenticate message goes out once.
    std::vector<uint8_t> t2 = Type2(0x00088205, Test_HexToBytes("0123456789abcdef"));
    char encoded[128];
    int64_t n = 0;
    Base64_Encode(t2.data(), int64_t(t2.size()), encoded, sizeof encoded, &n);
    encoded[n] = '\0';
    uint8_t client[8];
    memset(client, 0xaa, sizeof client);
    WebGetAuth_SetClientChallenge(auth, client);
    WebGetAuth_SetLogFlag(auth, 1);
    std::string header = std::string("WWW-Authenticate: NTLM ") + encoded + "\r\n\r\n";
    ASSERT_EQ(WebGetAuth_ParseChallenge(auth, header.c_str(), &code, &ex), 1);
    ASSERT_EQ(WebGetAuth_GetValue(auth, value, sizeof value), 1);
    uint8_t t3[256];
    ASSERT_EQ(Base64_Decode(value + 5, t3, sizeof t3, &length), 1);
    EXPECT_EQ(Test_BytesToHex(t3 + 88, 24), "7537f803ae367128ca458204bde7caf81e97ed2683267232");
    EXPECT_EQ(length, 64 + 48 + 8);  // "user" in UTF-16LE
    int32_t counter = 0;
    WebGetAuth_GetCounter(auth, &counter);
    EXPECT_EQ(counter, 1);
    EXPECT_EQ(WebGetAuth_GetValue(auth, value, sizeof value), 0);
    WebGetAuth_Release(&auth);
  }
}

TEST_F(NtlmAuthTest, LongUserNameIsSentWhole) {
  WebGetAuth *auth = nullptr;
  WebGetAuth_Create(&auth);
  std::string user(400, 'u');
  WebGetAuth_SetCredentials(auth, user.c_str(), "pw");
  int32_t code = -1, ex = 0;
  ASSERT_EQ(WebGetAuth_ParseChallenge(auth, "WWW-Authenticate: NTLM\r\n\r\n", &code, &ex), 1);
  std::vector<uint8_t> t2 = Type2(0x00088205, std::vector<uint8_t>(8, 7));
  char encoded[128];
  int64_t n = 0;
  Base64_Encode(t2.data(), int64_t(t2.size()), encoded, sizeof encoded, &n);
  encoded[n] = '\0';
  std::string header = std::string("WWW-Authenticate: NTLM ") + encoded + "\r\n\r\n";
  ASSERT_EQ(WebGetAuth_ParseChallenge(auth, header.c_str(), &code, &ex), 1);
  char value[kWebGetAuthValueBytes];
  ASSERT_EQ(WebGetAuth_GetValue(auth, value, sizeof value), 1);
  std::vector<uint8_t> t3(2048);
  int64_t length = 0;
  ASSERT_EQ(Base64_Decode(value + 5, t3.data(), int64_t(t3.size()), &length), 1);
  EXPECT_EQ(length, 112 + 800);
  EXPECT_EQ(t3[36] | t3[37] << 8, 800);
  // A buffer too small for the message is refused, not cut.
  State s;
  ASSERT_EQ(Ntlm_ReadChallenge(s.state, t2.data(), int32_t(t2.size())), 1);
  int32_t built = 0;
  EXPECT_EQ(Ntlm_BuildAuthenticate(s.state, user.c_str(), "pw", t2.data(), t3.data(), 911, &built), 0);
  WebGetAuth_Release(&auth);
}

}  // namespace
