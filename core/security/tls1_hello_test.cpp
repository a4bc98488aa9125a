// The ClientHello: its shape over the settings, and real servers (openssl
// s_server, gnutls-serv) answering it with a ServerHello.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "core/security/tls1.h"
#include "core/security/tls1_internal.h"
#include "core/security/tls1_test_util.h"
#include "tests/test_util.h"

namespace {

struct SettingsGuard {
  SettingsGuard() { Tls_ResetSettingsForTest(); }
  ~SettingsGuard() { Tls_ResetSettingsForTest(); }
};

struct Hello {
  std::vector<uint8_t> record;
  int version = 0;
  std::vector<uint16_t> suites;
  std::vector<uint16_t> extensions;
  std::string serverName;
};

uint32_t be16(const uint8_t *p) { return uint32_t(p[0]) << 8 | p[1]; }

Hello parseHello(const std::vector<uint8_t> &r) {
  Hello h;
  h.record = r;
  if (r.size() < 5 + 4 + 2 + 32 + 1) return h;
  const uint8_t *m = r.data() + 5;
  size_t at = 4;
  h.version = m[at + 1];
  at += 2 + 32;
  at += 1 + m[at];
  size_t suitesLength = be16(m + at);
  for (size_t i = 0; i < suitesLength; i += 2) h.suites.push_back(uint16_t(be16(m + at + 2 + i)));
  at += 2 + suitesLength;
  at += 1 + m[at];
  if (at + 5 >= r.size()) return h;
  size_t end = at + 2 + be16(m + at);
  at += 2;
  while (at + 4 <= end) {
    uint16_t type = uint16_t(be16(m + at));
    size_t length = be16(m + at + 2);
    h.extensions.push_back(type);
    if (type == 0) h.serverName.assign(reinterpret_cast<const char *>(m + at + 9), be16(m + at + 7));
    at += 4 + length;
  }
  return h;
}

// The ClientHello a fresh session queues for name; alert of the start.
Hello helloFor(const char *name, int32_t *alert) {
  TLS1 *s = nullptr;
  Tls_Create(&s);
  Tls_StartHandshake(s, name, alert);
  Hello h = parseHello(TlsTest_TakeOutbound(s));
  Tls_Delete(&s);
  return h;
}

}  // namespace

TEST(TlsClientHello, ShapeOverSettings) {
  SettingsGuard guard;
  const std::string longName = std::string(250, 'a') + ".test";  // 255 bytes
  struct {
    const char *list;
    const char *max;
    const char *name;
    std::vector<uint16_t> extensions;
    const char *sentName;
  } cases[] = {
      {nullptr, "1.2", "example.com", {13, 10, 11, 0, 21}, "example.com"},
      {nullptr, "1.2", "example.com.", {13, 10, 11, 0, 21}, "example.com"},
      {nullptr, "1.1", "host.test", {10, 11, 0, 21}, "host.test"},
      {nullptr, "1.0", nullptr, {10, 11, 21}, ""},
      {"rsa-aes128-sha,rsa-aes128-gcm-sha256", "1.2", "", {13, 21}, ""},
      {"rsa-aes128-sha", "1.0", "127.0.0.1", {21}, ""},
      {"rsa-aes128-sha", "1.2", "[::1]", {13, 21}, ""},
      {"rsa-aes128-sha", "1.2", "::1", {13, 21}, ""},
      {"rsa-aes128-sha", "1.2", "[2001", {13, 21}, ""},
      {"rsa-aes128-sha", "1.2", longName.c_str(), {13, 0, 21}, longName.c_str()},
      {"bogus", "1.2", "empty.test", {13, 0, 21}, "empty.test"},
  };
  for (auto &c : cases) {
    SCOPED_TRACE(testing::Message() << (c.list ? c.list : "default") << " " << c.max << " "
                                    << (c.name ? c.name : "(none)"));
    Tls_ResetSettingsForTest();
    Tls_ApplySettings(c.list, nullptr, c.max);
    int32_t alert = -1;
    Hello h = helloFor(c.name, &alert);
    EXPECT_EQ(alert, 0);
    ASSERT_EQ(h.record.size(), size_t(5 + 512));
    EXPECT_EQ(TlsTest_Hex({h.record.begin(), h.record.begin() + 9}), "1603010200010001fc");
    EXPECT_EQ(h.version, Tls_GetVersionMax() & 0xf);
    ASSERT_FALSE(h.suites.empty());
    EXPECT_EQ(h.suites.back(), 0x00FF);  // the renegotiation SCSV ends the list
    std::vector<uint16_t> expected;
    for (int i = 0; i < kTlsSuiteCount; i++)
      if (Tls_SuiteEnabled(i) && (Tls_GetVersionMax() == kTlsVersion12 || !Tls_IsGcmSuite(&kTlsSuites[i])))
        expected.push_back(kTlsSuites[i].Id);
    expected.push_back(0x00FF);
    EXPECT_EQ(h.suites, expected);
    EXPECT_EQ(h.extensions, c.extensions);
    EXPECT_EQ(h.serverName, c.sentName);
  }
  // A name beyond 255 bytes fails the start.
  Tls_ApplySettings(nullptr, nullptr, nullptr);
  int32_t alert = 0;
  Hello h = helloFor((longName + "x").c_str(), &alert);
  EXPECT_EQ(alert, kTlsAlertHandshakeFailure);
  EXPECT_TRUE(h.record.empty());
}

namespace {

// The first record's bytes from fd (bounded wait).
std::vector<uint8_t> readRecord(int fd) {
  std::vector<uint8_t> in;
  size_t want = 5;
  while (in.size() < want) {
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 10000) != 1) break;
    uint8_t buffer[4096];
    ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    in.insert(in.end(), buffer, buffer + n);
    if (in.size() >= 5) want = 5 + be16(in.data() + 3);
  }
  return in;
}

}  // namespace

// Real servers answer the ClientHello with a ServerHello naming one of the
// suites it offered.
TEST(TlsClientHello, ServersAnswerIt) {
  SettingsGuard guard;
  Tls_ApplySettings(nullptr, nullptr, nullptr);
  const std::string cert = Test_VectorPath("tls_server_cert.pem");
  const std::string key = Test_VectorPath("tls_server_key.pem");
  struct {
    const char *what;
    int version;  // the server's
    std::vector<std::string> args;
  } servers[] = {
      {"openssl -tls1", 0x31, {"-tls1", "-cipher", "DEFAULT:@SECLEVEL=0"}},
      {"openssl -tls1_1", 0x32, {"-tls1_1", "-cipher", "DEFAULT:@SECLEVEL=0"}},
      {"openssl -tls1_2", 0x33, {"-tls1_2"}},
      {"gnutls-serv", 0x33, {}},
  };
  for (auto &server : servers) {
    SCOPED_TRACE(server.what);
    const int port = TlsTest_FreePort();
    std::vector<std::string> argv;
    if (std::string(server.what).rfind("openssl", 0) == 0) {
      argv = {"openssl", "s_server", "-quiet", "-accept", std::to_string(port), "-cert", cert,
              "-key", key};
    } else {
      argv = {"gnutls-serv", "--port", std::to_string(port), "--x509certfile", cert,
              "--x509keyfile", key, "--priority", "NORMAL"};
    }
    argv.insert(argv.end(), server.args.begin(), server.args.end());
    TlsTest_Peer peer(argv);
    int fd = TlsTest_Connect(port);
    ASSERT_GE(fd, 0);
    TLS1 *s = nullptr;
    Tls_Create(&s);
    ASSERT_EQ(Tls_StartHandshake(s, "localhost", nullptr), 1);
    Hello ours = parseHello(TlsTest_TakeOutbound(s));
    Tls_Delete(&s);
    ASSERT_EQ(send(fd, ours.record.data(), ours.record.size(), MSG_NOSIGNAL), ssize_t(ours.record.size()));
    std::vector<uint8_t> answer = readRecord(fd);
    close(fd);
    ASSERT_GE(answer.size(), size_t(5 + 4 + 2 + 32 + 1 + 2)) << TlsTest_Hex(answer);
    EXPECT_EQ(answer[0], 22);
    const uint8_t *m = answer.data() + 5;
    EXPECT_EQ(m[0], 2);  // ServerHello
    EXPECT_EQ(0x30 | m[5], server.version);
    const uint16_t suite = uint16_t(be16(m + 4 + 2 + 32 + 1 + m[4 + 2 + 32]));
    const TlsSuite *row = Tls_FindEnabledSuite(suite);
    ASSERT_NE(row, nullptr) << std::hex << suite;
    if (server.version < kTlsVersion12) {
      EXPECT_FALSE(Tls_IsGcmSuite(row));
    }
  }
}
