// Full handshakes against real servers (openssl s_server, gnutls-serv) on
// 127.0.0.1: suites and versions, the server's identity, messages across
// records, renegotiation and the key log.
#include <gtest/gtest.h>

#include <cstdarg>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "core/runtime/log.h"
#include "core/security/auth.h"
#include "core/security/certstorei.h"
#include "core/security/certstoreplatform.h"
#include "core/security/x509anchors.h"
#include "core/security/tls1.h"
#include "core/security/tls1_internal.h"
#include "core/security/tls1_test_util.h"
#include "tests/pin_store_util.h"
#include "tests/test_util.h"

namespace {

// Default suites, the security switch on and the test root as the only
// trust anchor, for one test.
struct SettingsGuard {
  AuthSwitchGuardForTest on{1};
  SettingsGuard() {
    Tls_ResetSettingsForTest();
    Tls_ApplySettings(nullptr, nullptr, nullptr);
    X509Anchors_ResetForTest(Test_VectorPath("tls_pki_root.pem").c_str());
  }
  ~SettingsGuard() {
    Tls_ResetSettingsForTest();
    X509Anchors_ResetForTest(nullptr);
  }
};

void collectLine(void *context, const char *format, ...) {
  char line[2048];
  va_list args;
  va_start(args, format);
  vsnprintf(line, sizeof line, format, args);
  va_end(args);
  *static_cast<std::string *>(context) += line;
}

// A session whose store pins the test root (or is store), its error lines
// into log.
TLS1 *newSession(std::string *log, CertStore *store = nullptr) {
  TLS1 *s = nullptr;
  Tls_Create(&s);
  if (store != nullptr) {
    Tls_SetCertStore(s, store);
  } else {
    CertStorePlatform_Create(&store);
    Tls_SetCertStore(s, store);
    CertStore_Release(&store);
  }
  s->Log.forced = 1;
  s->Log.level.store(LOG_WARNING);
  Tls_SetLogCallback(s, log, collectLine);
  return s;
}

struct Outcome {
  bool done = false;
  int32_t error = 0;
  TlsFailure failure{};
  std::string log;
  std::string reply;
};

// Starts a server with argv (port appended as told), runs one session to
// host and, with request, sends it and gathers the reply up to its end.
Outcome handshake(std::vector<std::string> argv, const std::string &host, const std::string &request,
              const std::string &replyEnd, CertStore *store = nullptr) {
  Outcome run;
  const int port = TlsTest_FreePort();
  for (auto &a : argv)
    if (a == "PORT") a = std::to_string(port);
  TlsTest_Peer peer(argv);
  const int fd = TlsTest_Connect(port);
  if (fd < 0) return run;
  TLS1 *s = newSession(&run.log, store);
  Tls_StartHandshake(s, host.c_str(), nullptr);
  run.done = TlsTest_Pump(s, fd, [&] { return Tls_IsHandshakeDone(s) != 0; });
  if (run.done && !request.empty()) {
    int32_t written = 0;
    Tls_Write(s, request.data(), int32_t(request.size()), &written);
    TlsTest_Pump(s, fd, [&] {
      run.reply += TlsTest_TakeInbound(s);
      return run.reply.find(replyEnd) != std::string::npos;
    });
  }
  Tls_GetError(s, &run.error);
  Tls_GetFailure(s, &run.failure);
  Tls_Delete(&s);
  close(fd);
  return run;
}

std::vector<std::string> sServer(const std::string &leaf, std::vector<std::string> extra) {
  std::vector<std::string> argv = {"openssl", "s_server", "-quiet", "-accept", "PORT",
                                   "-cert", Test_VectorPath("tls_pki_" + leaf + "_chain.pem"),
                                   "-cert_chain", Test_VectorPath("tls_pki_" + leaf + "_chain.pem"),
                                   "-key", Test_VectorPath("tls_pki_" + leaf + "_key.pem")};
  argv.insert(argv.end(), extra.begin(), extra.end());
  return argv;
}

// The leaf's certificate, the first block of its chain file.
std::vector<uint8_t> leafDer(const std::string &leaf = "rsa2048") {
  const std::string text = Test_ReadVectors("tls_pki_" + leaf + "_chain.pem");
  std::vector<uint8_t> der;
  X509Pem_ReadCertificates(
      text.data(), text.size(),
      [](void *context, const uint8_t *bytes, int32_t length) {
        static_cast<std::vector<uint8_t> *>(context)->assign(bytes, bytes + length);
        return 0;
      },
      &der);
  return der;
}

const char kGet[] = "GET / HTTP/1.0\r\n\r\n";

}  // namespace

// Every suite of the default list by its OpenSSL name, the key sizes and the
// older versions; a page fetched through the session after each handshake.
TEST(TlsHandshake, InteropWithOpenSsl) {
  SettingsGuard guard;
  const std::string low = ":@SECLEVEL=0";
  struct {
    const char *leaf;
    const char *version;
    std::string cipher;
  } cases[] = {
      {"p256", "-tls1_2", "ECDHE-ECDSA-AES256-GCM-SHA384"},
      {"rsa2048", "-tls1_2", "ECDHE-RSA-AES256-GCM-SHA384"},
      {"p256", "-tls1_2", "ECDHE-ECDSA-AES128-GCM-SHA256"},
      {"rsa2048", "-tls1_2", "ECDHE-RSA-AES128-GCM-SHA256"},
      {"rsa2048", "-tls1_2", "AES256-GCM-SHA384"},
      {"rsa2048", "-tls1_2", "AES128-GCM-SHA256"},
      {"p384", "-tls1_2", "ECDHE-ECDSA-AES256-SHA384"},
      {"rsa2048", "-tls1_2", "ECDHE-RSA-AES256-SHA384"},
      {"p256", "-tls1_2", "ECDHE-ECDSA-AES256-SHA"},
      {"rsa2048", "-tls1_2", "ECDHE-RSA-AES256-SHA"},
      {"p256", "-tls1_2", "ECDHE-ECDSA-AES128-SHA256"},
      {"rsa2048", "-tls1_2", "ECDHE-RSA-AES128-SHA256"},
      {"p384", "-tls1_2", "ECDHE-ECDSA-AES128-SHA"},
      {"rsa2048", "-tls1_2", "ECDHE-RSA-AES128-SHA"},
      {"rsa2048", "-tls1_2", "AES256-SHA256"},
      {"rsa2048", "-tls1_2", "AES256-SHA"},
      {"rsa2048", "-tls1_2", "AES128-SHA256"},
      {"rsa4096", "-tls1_2", "AES128-SHA"},
      {"rsa4096", "-tls1_1", "ECDHE-RSA-AES128-SHA" + low},
      {"rsa2048", "-tls1_1", "AES256-SHA" + low},
      {"p256", "-tls1_1", "ECDHE-ECDSA-AES256-SHA" + low},
      {"p384", "-tls1", "ECDHE-ECDSA-AES128-SHA" + low},
      {"rsa2048", "-tls1", "ECDHE-RSA-AES256-SHA" + low},
      {"rsa2048", "-tls1", "AES128-SHA" + low},
  };
  for (auto &c : cases) {
    SCOPED_TRACE(std::string(c.leaf) + " " + c.version + " " + c.cipher);
    Outcome run = handshake(sServer(c.leaf, {"-www", c.version, "-cipher", c.cipher}), "localhost",
                        kGet, "</HTML>");
    EXPECT_TRUE(run.done) << run.error << " " << run.log;
    EXPECT_EQ(run.error, 0);
    EXPECT_NE(run.reply.find("HTTP/1.0 200 ok"), std::string::npos) << run.reply.substr(0, 80);
  }
}

// The server's identity: the chain for serverAuth at the current time and the
// name the session was started with. Each refusal is alert 42 with its line;
// with the security switch off every one passes.
TEST(TlsHandshake, ServerIdentity) {
  SettingsGuard guard;
  const char *kName = "Failed to verify certificate name";
  const char *kChain = "Failed to verify certificate chain";
  struct {
    const char *leaf;
    const char *host;
    const char *refusal;  // NULL: accepted
  } cases[] = {
      {"rsa2048", "localhost", nullptr},
      {"rsa2048", "LOCALHOST.", nullptr},
      {"rsa2048", "127.0.0.1", nullptr},
      {"rsa2048", "other.test", kName},
      {"rsa2048", "", kName},
      {"wildcard", "a.keelson.test", nullptr},
      {"wildcard", "a.b.keelson.test", kName},
      {"wildcard", "keelson.test", kName},
      {"iponly", "127.0.0.1", nullptr},
      {"iponly", "localhost", kName},
      {"cnonly", "localhost", nullptr},
      {"expired", "localhost", kChain},
      {"early", "localhost", kChain},
      {"noca", "localhost", kChain},
      {"client", "localhost", kChain},
  };
  for (int enabled : {1, 0}) {
    AuthSwitchGuardForTest aside(enabled);
    for (auto &c : cases) {
      SCOPED_TRACE(std::string(c.leaf) + " " + c.host + (enabled ? "" : " (switch off)"));
      Outcome run = handshake(sServer(c.leaf, {"-www", "-tls1_2"}), c.host, "", "");
      if (c.refusal && enabled) {
        EXPECT_FALSE(run.done);
        EXPECT_EQ(run.error, kTlsAlertBadCertificate);
        EXPECT_NE(run.log.find(c.refusal), std::string::npos) << run.log;
        if (c.refusal == kName) {
          EXPECT_NE(run.log.find(std::string("(") + c.host + ")"), std::string::npos) << run.log;
        }
      } else {
        EXPECT_TRUE(run.done) << run.error << " " << run.log;
      }
    }
  }
}

// Why a handshake failed, as the session keeps it beside its alert: each
// class of refusal against a real server, with the words a user reads and
// whether another try could help (none of these: the same server refuses
// again). A pin is the trust: a pinned leaf passes whatever its dates.
TEST(TlsHandshake, FailuresSayWhy) {
  SettingsGuard guard;
  struct {
    const char *what;
    const char *leaf;
    const char *host;
    std::vector<std::string> options;  // the server's version and suites; {}: TLS 1.2
    const char *versionMin;            // ours; NULL: the default
    bool pin;                          // a store pinning the leaf instead of the root
    TlsCause cause;
    int received;
    const char *words;
  } rows[] = {
      {"self-signed", "selfsigned", "localhost", {}, nullptr, false, TlsCause::SelfSigned, 0,
       "the server's certificate is not trusted: it is self-signed"},
      {"unknown issuer", "stranger", "localhost", {}, nullptr, false, TlsCause::UnknownIssuer, 0,
       "the server's certificate is not trusted: its issuer is unknown"},
      {"expired", "expired", "localhost", {}, nullptr, false, TlsCause::Expired, 0,
       "the server's certificate has expired"},
      {"intermediate not yet valid", "early", "localhost", {}, nullptr, false,
       TlsCause::NotYetValid, 0, "the server's certificate is not valid yet"},
      {"intermediate without cA", "noca", "localhost", {}, nullptr, false, TlsCause::Invalid, 0,
       "the server's certificate does not verify"},
      {"wrong name", "rsa2048", "other.test", {}, nullptr, false, TlsCause::NameMismatch, 0,
       "the server's certificate is issued for another name than the host"},
      {"no shared cipher", "rsa2048", "localhost",
       {"-tls1_2", "-cipher", "ECDHE-RSA-CHACHA20-POLY1305"}, nullptr, false, TlsCause::Alert, 1,
       "the server refused the handshake: handshake failure (no common protocol version or "
       "cipher suite)"},
      {"no common version", "rsa2048", "localhost", {"-tls1_1", "-cipher", "DEFAULT:@SECLEVEL=0"},
       "1.2", false, TlsCause::Version, 0,
       "the server refused the handshake: no common protocol version"},
      {"pinned self-signed", "selfsigned", "localhost", {}, nullptr, true, TlsCause::None, 0, ""},
      {"pinned expired", "expired", "localhost", {}, nullptr, true, TlsCause::None, 0, ""},
  };
  for (auto &row : rows) {
    SCOPED_TRACE(row.what);
    Tls_ResetSettingsForTest();
    Tls_ApplySettings(nullptr, row.versionMin, nullptr);
    std::vector<std::string> options = {"-www"};
    if (row.options.empty()) options.push_back("-tls1_2");
    options.insert(options.end(), row.options.begin(), row.options.end());
    CertStore *store = row.pin ? Test_PinStore({leafDer(row.leaf)}) : nullptr;
    Outcome run = handshake(sServer(row.leaf, options), row.host, "", "", store);
    if (store != nullptr) CertStore_Release(&store);
    if (row.cause == TlsCause::None) {
      EXPECT_TRUE(run.done) << run.error << " " << run.log;
      continue;
    }
    EXPECT_FALSE(run.done);
    EXPECT_EQ(run.failure.alert, run.error);
    EXPECT_EQ(int(run.failure.cause), int(row.cause)) << run.log;
    EXPECT_EQ(run.failure.received, row.received);
    EXPECT_EQ(Tls_IsLastingFailure(&run.failure), 1);
    char words[256];
    Tls_DescribeFailure(&run.failure, words, int32_t(sizeof words));
    EXPECT_STREQ(words, row.words);
  }
}

namespace {

// A fresh directory under /tmp for one test's files.
std::string tempDir() {
  char pattern[] = "/tmp/keelson_tls_XXXXXX";
  const char *dir = mkdtemp(pattern);
  return dir ? dir : "/tmp";
}

std::string readText(const std::string &path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

}  // namespace

// Messages across records (a 512-byte fragment limit, a 20 KiB chain), the
// TLS 1.0 CBC server with and without its empty fragments, the Python server
// without RFC 5746 that sends a HelloRequest (its page says 200 only when
// the warning no_renegotiation came first), and gnutls-serv with the AES and
// RC4 suites.
TEST(TlsHandshake, TransportsAndPeers) {
  SettingsGuard guard;
  const std::string low = "DEFAULT:@SECLEVEL=0";
  std::string script = Test_ReadVectors("tls_records_script.txt");
  while (!script.empty() && script.back() == '\n') script.pop_back();
  struct {
    const char *what;
    const char *list;  // our suites; NULL: the default list
    std::vector<std::string> argv;
    const char *request;
    const char *replyEnd;
  } cases[] = {
      {"fragments of 512", nullptr, sServer("rsa2048", {"-www", "-max_send_frag", "512"}), kGet, "</HTML>"},
      {"20 KiB chain", nullptr, sServer("big", {"-www", "-tls1_2"}), kGet, "</HTML>"},
      {"TLS 1.0 CBC", nullptr, sServer("rsa2048", {"-www", "-tls1", "-cipher", low}), kGet, "</HTML>"},
      {"TLS 1.0 CBC -bugs", nullptr, sServer("rsa2048", {"-www", "-tls1", "-bugs", "-cipher", low}), kGet, "</HTML>"},
      {"Python server, HelloRequest without RFC 5746", nullptr,
       {"/usr/bin/python3", script, "--serve", "PORT", Test_VectorPath("tls_pki_rsa2048_chain.pem"),
        Test_VectorPath("tls_pki_rsa2048_key.pem")}, kGet, "</HTML>"},
  };
  for (auto &c : cases) {
    SCOPED_TRACE(c.what);
    Outcome run = handshake(c.argv, "localhost", c.request, c.replyEnd);
    EXPECT_TRUE(run.done) << run.error << " " << run.log;
    EXPECT_NE(run.reply.find("HTTP/1.0 200 ok"), std::string::npos) << run.reply.substr(0, 80);
  }
  const std::string cert = Test_VectorPath("tls_pki_rsa2048_chain.pem");
  const std::string key = Test_VectorPath("tls_pki_rsa2048_key.pem");
  struct {
    const char *list;
    const char *priority;
  } gnutls[] = {
      {"rsa-aes128-gcm-sha256", "NORMAL"},
      {"ecdhe-rsa-aes256-gcm-sha384", "NORMAL"},
      {"ecdhe-rsa-aes128-sha", "NORMAL:-VERS-ALL:+VERS-TLS1.1"},
      {"rc4-sha", "NORMAL:+ARCFOUR-128:+MD5:+RSA:+VERS-TLS1.0"},
      {"rc4-md5", "NORMAL:+ARCFOUR-128:+MD5:+RSA:+VERS-TLS1.0"},
  };
  for (auto &g : gnutls) {
    SCOPED_TRACE(std::string("gnutls-serv ") + g.list);
    Tls_ResetSettingsForTest();
    Tls_ApplySettings(g.list, nullptr, nullptr);
    Outcome run = handshake({"gnutls-serv", "--port", "PORT", "--x509certfile", cert,
                             "--x509keyfile", key, "--disable-client-cert", "--echo", "--priority", g.priority},
                            "localhost", "echo me\n", "echo me");
    EXPECT_TRUE(run.done) << run.error << " " << run.log;
    EXPECT_EQ(run.reply, "echo me\n");
  }
}

// With the security switch off, the key-log line is the server's own.
TEST(TlsHandshake, KeyLogMatchesServer) {
  SettingsGuard guard;
  AuthSwitchGuardForTest off(0);
  const std::string dir = tempDir();
  Tls_SetKeyLogPath((dir + "/ours").c_str());
  Outcome run = handshake(sServer("p256", {"-www", "-tls1_2", "-keylogfile", dir + "/theirs"}),
                          "localhost", kGet, "</HTML>");
  Tls_SetKeyLogPath(nullptr);
  EXPECT_TRUE(run.done);
  const std::string ours = readText(dir + "/ours");
  EXPECT_EQ(ours.rfind("CLIENT_RANDOM ", 0), 0u) << ours;
  std::string theirs;
  Test_WaitUntil([&] { return (theirs = readText(dir + "/theirs")).find(ours) != std::string::npos; }, 20000, 20);
  EXPECT_NE(theirs.find(ours), std::string::npos) << ours << "\n" << theirs;
  std::remove((dir + "/ours").c_str());
  std::remove((dir + "/theirs").c_str());
  rmdir(dir.c_str());
}

// The server renegotiates in the middle of a transfer (`r`; `R` asks for a
// client certificate, which the server then checks): data written on both
// sides before, during and after arrives whole.
TEST(TlsHandshake, RenegotiationMidTransfer) {
  SettingsGuard guard;
  struct {
    const char *command;
    const char *p12;  // our client certificate, NULL: none
  } cases[] = {{"r\n", nullptr}, {"R\n", "pkcs12_rsa_sha1.p12"}};
  const std::string dir = tempDir();
  const std::string output = dir + "/server.out";
  for (auto &c : cases) {
    SCOPED_TRACE(c.command);
    const int port = TlsTest_FreePort();
    std::vector<std::string> argv = sServer("rsa2048", {"-tls1_2", "-CAfile", Test_VectorPath("pkcs12_ca.pem")});
    argv[4] = std::to_string(port);
    argv.erase(argv.begin() + 2);  // not -quiet: the console takes commands
    TlsTest_Peer peer(argv, output);
    const int fd = TlsTest_Connect(port);
    ASSERT_GE(fd, 0);
    std::string log, received;
    TLS1 *s = newSession(&log);
    if (c.p12) {
      const std::string p12 = readText(Test_VectorPath(c.p12));
      ASSERT_EQ(Tls_SetClientCertificate(s, p12.data(), int32_t(p12.size()), "secret"), 1) << log;
    }
    Tls_StartHandshake(s, "localhost", nullptr);
    ASSERT_TRUE(TlsTest_Pump(s, fd, [&] { return Tls_IsHandshakeDone(s) != 0; })) << log;
    EXPECT_FALSE(s->Flags & kTlsFlagCertificateRequested);
    auto write = [&](const std::string &text) {
      int32_t written = 0;
      Tls_Write(s, text.data(), int32_t(text.size()), &written);
      EXPECT_EQ(written, int32_t(text.size()));
    };
    auto awaitText = [&](const std::string &text) {
      return TlsTest_Pump(s, fd, [&] {
        received += TlsTest_TakeInbound(s);
        return received.find(text) != std::string::npos;
      });
    };
    write("ping-before\n");
    peer.Send("pong-before\n");
    EXPECT_TRUE(awaitText("pong-before"));
    uint8_t firstVerify[kTlsVerifyBytes];
    memcpy(firstVerify, s->ClientVerify, sizeof firstVerify);
    peer.Send(c.command);
    write("ping-during\n");
    EXPECT_TRUE(TlsTest_Pump(s, fd, [&] {
      received += TlsTest_TakeInbound(s);
      return memcmp(firstVerify, s->ClientVerify, sizeof firstVerify) != 0 && !s->Renegotiating &&
             s->HandshakeState == kTlsStateEstablished;
    })) << log;
    EXPECT_EQ(!!(s->Flags & kTlsFlagCertificateRequested), c.p12 != nullptr);
    write("ping-after\n");
    peer.Send("pong-after\n");
    EXPECT_TRUE(awaitText("pong-after")) << log;
    EXPECT_EQ(received, "pong-before\npong-after\n");
    int32_t error = 0;
    Tls_GetError(s, &error);
    EXPECT_EQ(error, 0);
    EXPECT_TRUE(Test_WaitUntil([&] { return readText(output).find("ping-after") != std::string::npos; }, 20000, 20));
    const std::string served = readText(output);
    for (const char *line : {"ping-before\n", "ping-during\n", "ping-after\n"})
      EXPECT_NE(served.find(line), std::string::npos) << line;
    Tls_Delete(&s);
    close(fd);
  }
  std::remove(output.c_str());
  rmdir(dir.c_str());
}

namespace {

std::vector<uint8_t> u24(size_t n) { return {uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)}; }

std::vector<uint8_t> message(uint8_t type, const std::vector<uint8_t> &body) {
  std::vector<uint8_t> m = {type};
  for (uint8_t b : u24(body.size())) m.push_back(b);
  m.insert(m.end(), body.begin(), body.end());
  return m;
}

std::vector<uint8_t> plainRecord(uint8_t type, const std::vector<uint8_t> &body) {
  std::vector<uint8_t> r = {type, 3, 3, uint8_t(body.size() >> 8), uint8_t(body.size())};
  r.insert(r.end(), body.begin(), body.end());
  return r;
}

std::vector<uint8_t> serverHello(uint8_t minor, uint16_t suite, size_t idLength = 0,
                                 uint8_t compression = 0, std::vector<uint8_t> extensions = {}) {
  std::vector<uint8_t> b = {3, minor};
  b.insert(b.end(), 32, 0x42);
  b.push_back(uint8_t(idLength));
  b.insert(b.end(), idLength, 7);
  b.push_back(uint8_t(suite >> 8));
  b.push_back(uint8_t(suite));
  b.push_back(compression);
  if (!extensions.empty()) {
    b.push_back(uint8_t(extensions.size() >> 8));
    b.push_back(uint8_t(extensions.size()));
    b.insert(b.end(), extensions.begin(), extensions.end());
  }
  return message(2, b);
}

std::vector<uint8_t> certificate(const std::vector<uint8_t> &der, size_t entryExtra = 0) {
  std::vector<uint8_t> entry = u24(der.size() + entryExtra);
  entry.insert(entry.end(), der.begin(), der.end());
  std::vector<uint8_t> body = u24(entry.size());
  body.insert(body.end(), entry.begin(), entry.end());
  return message(11, body);
}

std::vector<uint8_t> join(std::initializer_list<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> all;
  for (auto &p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

// The renegotiation_info extension carrying verify (empty: none).
std::vector<uint8_t> renegotiationInfo(const std::vector<uint8_t> &verify) {
  std::vector<uint8_t> e = {0xff, 0x01, 0, uint8_t(verify.size() + 1), uint8_t(verify.size())};
  e.insert(e.end(), verify.begin(), verify.end());
  return e;
}

// An established session (verify data 0x11.. and 0x22.., server leaf
// rsa2048, RFC 5746 proven) that has answered a HelloRequest with its new
// ClientHello: the server's flight of the renegotiation comes next.
TLS1 *renegotiatingSession(CertStore *store) {
  TLS1 *s = TlsTest_LoopbackSession(0x002F, kTlsVersion12);
  Tls_SetCertStore(s, store);
  s->SecureRenegotiation = 1;
  memset(s->ClientVerify, 0x11, kTlsVerifyBytes);
  memset(s->ServerVerify, 0x22, kTlsVerifyBytes);
  const std::vector<uint8_t> der = leafDer();
  X509_LoadDer(s->Handshake->ServerCertificate, der.data(), int32_t(der.size()));
  const uint8_t helloRequest[4] = {0, 0, 0, 0};
  Tls_WriteRecord(s, 22, helloRequest, 4);
  TlsTest_Feed(s, TlsTest_TakeOutbound(s));
  TlsTest_TakeOutbound(s);  // the ClientHello
  s->ReadSequence++;
  return s;
}

}  // namespace

// Server flights out of order or with parameters we never offered: each
// ends the handshake with its alert. Rows marked renegotiation arrive under
// the current keys after a HelloRequest; the second table's flights come
// from the Python server.
TEST(TlsHandshake, ScriptedFlights) {
  SettingsGuard guard;
  AuthSwitchGuardForTest off(0);  // the certificate here names no host
  const std::vector<uint8_t> cert = certificate(leafDer());
  const std::vector<uint8_t> done = message(14, {});
  const std::vector<uint8_t> curve25 = message(12, {3, 0, 25, 1, 4, 4, 1, 0, 0});
  std::vector<uint8_t> point(65, 4);
  auto keyExchange = [&](uint8_t hash, uint8_t signature) {
    std::vector<uint8_t> b = {3, 0, 23, 65};
    b.insert(b.end(), point.begin(), point.end());
    b.insert(b.end(), {hash, signature, 0, 0});
    return message(12, b);
  };
  const std::vector<uint8_t> ecdsaPair = keyExchange(4, 3), sha224Pair = keyExchange(3, 1);
  std::vector<uint8_t> bigHeader = {11, 0x02, 0x00, 0x01};
  std::vector<uint8_t> bothVerify(kTlsVerifyBytes, 0x11), swapped(kTlsVerifyBytes, 0x22);
  bothVerify.insert(bothVerify.end(), kTlsVerifyBytes, 0x22);
  swapped.insert(swapped.end(), kTlsVerifyBytes, 0x11);
  const std::vector<uint8_t> renewed = serverHello(3, 0x002F, 0, 0, renegotiationInfo(bothVerify));
  struct {
    const char *what;
    std::vector<std::vector<uint8_t>> records;
    int32_t alert;
    bool renegotiation = false;
  } cases[] = {
      {"33-byte session id", {plainRecord(22, serverHello(3, 0x002F, 33))}, kTlsAlertIllegalParameter},
      {"compression 1", {plainRecord(22, serverHello(3, 0x002F, 0, 1))}, kTlsAlertIllegalParameter},
      {"GCM suite in a 1.1 ServerHello", {plainRecord(22, serverHello(2, 0x009C))}, kTlsAlertIllegalParameter},
      {"SHA-256 suite in a 1.0 ServerHello", {plainRecord(22, serverHello(1, 0x003C))}, kTlsAlertIllegalParameter},
      {"suite not enabled", {plainRecord(22, serverHello(3, 0x0005))}, kTlsAlertIllegalParameter},
      {"{3,4} read as TLS 1.2", {plainRecord(22, serverHello(4, 0x002F))}, 0},
      {"SSL 3.0", {plainRecord(22, serverHello(0, 0x002F))}, kTlsAlertInvalidVersion},
      {"renegotiation info not empty", {plainRecord(22, serverHello(3, 0x002F, 0, 0, {0xff, 0x01, 0, 2, 1, 0}))}, kTlsAlertHandshakeFailure},
      {"extensions past their length", {plainRecord(22, serverHello(3, 0x002F, 0, 0, {0, 23, 0, 9}))}, kTlsAlertDecodeError},
      {"ServerKeyExchange for an RSA suite", {plainRecord(22, join({serverHello(3, 0x002F), cert, curve25}))}, kTlsAlertHandshakeFailure},
      {"no ServerKeyExchange for ECDHE", {plainRecord(22, join({serverHello(3, 0xC02F), cert, done}))}, kTlsAlertHandshakeFailure},
      {"ECDSA pair for an RSA key", {plainRecord(22, join({serverHello(3, 0xC02F), cert, ecdsaPair}))}, kTlsAlertIllegalParameter},
      {"pair not offered", {plainRecord(22, join({serverHello(3, 0xC02F), cert, sha224Pair}))}, kTlsAlertIllegalParameter},
      {"curve not offered", {plainRecord(22, join({serverHello(3, 0xC02F), cert, curve25}))}, kTlsAlertIllegalParameter},
      {"early ChangeCipherSpec", {plainRecord(22, serverHello(3, 0x002F)), plainRecord(20, {1})}, kTlsAlertUnexpectedMessage},
      {"plaintext Finished", {plainRecord(22, join({serverHello(3, 0x002F), cert, done})), plainRecord(22, message(20, std::vector<uint8_t>(12, 0)))}, kTlsAlertUnexpectedMessage},
      {"certificate entry beyond its list", {plainRecord(22, join({serverHello(3, 0x002F), certificate(leafDer(), 1)}))}, kTlsAlertDecodeError},
      {"ChangeCipherSpec inside a split message", {plainRecord(22, join({serverHello(3, 0x002F), cert, done})), plainRecord(22, {20, 0, 0}), plainRecord(20, {1})}, kTlsAlertUnexpectedMessage},
      {"message over 128 KiB", {plainRecord(22, bigHeader)}, kTlsAlertHandshakeFailure},
      {"ServerHelloDone with a body", {plainRecord(22, join({serverHello(3, 0x002F), cert, message(14, {0})}))}, kTlsAlertDecodeError},
      {"renegotiation, same server", {plainRecord(22, join({renewed, cert}))}, 0, true},
      {"renegotiation, another server certificate", {plainRecord(22, join({renewed, certificate(leafDer("cnonly"))}))}, kTlsAlertBadCertificate, true},
      {"renegotiation, verify data swapped", {plainRecord(22, serverHello(3, 0x002F, 0, 0, renegotiationInfo(swapped)))}, kTlsAlertHandshakeFailure, true},
      {"renegotiation, empty renegotiation info", {plainRecord(22, serverHello(3, 0x002F, 0, 0, renegotiationInfo({})))}, kTlsAlertHandshakeFailure, true},
      {"renegotiation, no renegotiation info", {plainRecord(22, serverHello(3, 0x002F))}, kTlsAlertHandshakeFailure, true},
  };
  CertStore *store = nullptr;
  CertStorePlatform_Create(&store);
  for (auto &c : cases) {
    SCOPED_TRACE(c.what);
    std::string log;
    TLS1 *s = nullptr;
    if (c.renegotiation) {
      s = renegotiatingSession(store);
      ASSERT_TRUE(s->Renegotiating);
    } else {
      s = newSession(&log);
      ASSERT_EQ(Tls_StartHandshake(s, "localhost", nullptr), 1);
      TlsTest_TakeOutbound(s);
    }
    int32_t alert = 0;
    for (auto &r : c.records) {
      if (!c.renegotiation) {
        alert = TlsTest_Feed(s, r);
        continue;
      }
      Tls_WriteRecord(s, r[0], r.data() + 5, int32_t(r.size() - 5));
      alert = TlsTest_Feed(s, TlsTest_TakeOutbound(s));
    }
    EXPECT_EQ(alert, c.alert) << log;
    Tls_Delete(&s);
  }
  CertStore_Release(&store);
  // A few of the same faults built by the Python server, over a socket.
  std::string script = Test_ReadVectors("tls_records_script.txt");
  while (!script.empty() && script.back() == '\n') script.pop_back();
  struct {
    const char *flight;
    int32_t alert;
  } fromPython[] = {
      {"ske-for-rsa", kTlsAlertHandshakeFailure},
      {"no-ske-for-ecdhe", kTlsAlertHandshakeFailure},
      {"early-ccs", kTlsAlertUnexpectedMessage},
      {"plaintext-finished", kTlsAlertUnexpectedMessage},
      {"compression-1", kTlsAlertIllegalParameter},
      {"gcm-in-1.1", kTlsAlertIllegalParameter},
      {"curve-not-offered", kTlsAlertIllegalParameter},
      {"entry-beyond-list", kTlsAlertDecodeError},
      {"33-byte-id", kTlsAlertIllegalParameter},
  };
  for (auto &p : fromPython) {
    SCOPED_TRACE(p.flight);
    Outcome run = handshake({"/usr/bin/python3", script, "--flight", "PORT", p.flight,
                             Test_VectorPath("tls_pki_rsa2048_chain.pem")},
                            "localhost", "", "");
    EXPECT_FALSE(run.done);
    EXPECT_EQ(run.error, p.alert) << run.log;
  }
}

// A message split over records, and a session whose server sent no
// renegotiation_info: its HelloRequest gets the warning no_renegotiation and
// the session goes on.
TEST(TlsHandshake, HelloRequestWithoutSecureRenegotiation) {
  SettingsGuard guard;
  TLS1 *s = TlsTest_LoopbackSession(0x002F, kTlsVersion12);
  ASSERT_EQ(Tls_WriteRecord(s, 22, std::vector<uint8_t>{0, 0}.data(), 2), 1);
  ASSERT_EQ(Tls_WriteRecord(s, 22, std::vector<uint8_t>{0, 0}.data(), 2), 1);
  EXPECT_EQ(TlsTest_Feed(s, TlsTest_TakeOutbound(s)), 0);
  EXPECT_EQ(s->HandshakeState, kTlsStateEstablished);
  // The warning went out, and data still flows.
  std::vector<uint8_t> warning = TlsTest_TakeOutbound(s);
  ASSERT_GT(warning.size(), 5u);
  EXPECT_EQ(warning[0], 21);
  s->ReadSequence++;  // the loopback reader skips it
  int32_t written = 0;
  ASSERT_EQ(Tls_Write(s, "still here", 10, &written), 1);
  EXPECT_EQ(TlsTest_Feed(s, TlsTest_TakeOutbound(s)), 0);
  EXPECT_EQ(TlsTest_TakeInbound(s), "still here");
  Tls_Delete(&s);
}

namespace {

void onRequest(TLS1 *, void *context) { ++*static_cast<int *>(context); }

}  // namespace

// A server that asks for a client certificate: without one the owner's
// callback runs and the session fails with 40; with an RSA or an EC PKCS#12
// file (TLS 1.2, and 1.0 for the older signatures) the server verifies it.
TEST(TlsHandshake, ClientCertificates) {
  SettingsGuard guard;
  const std::string low = "DEFAULT:@SECLEVEL=0";
  struct {
    const char *file;
    const char *password;
    const char *version;
    const char *types;
  } cases[] = {
      {"pkcs12_rsa_sha1.p12", "secret", "-tls1_2", "rsa,ecdsa"},
      {"pkcs12_ec_sha256_31.p12", "ppppppppppppppppppppppppppppppp", "-tls1_2", "rsa,ecdsa"},
      {"pkcs12_rsa_sha1.p12", "secret", "-tls1", "rsa,ecdsa"},
      {"pkcs12_ec_sha256_31.p12", "ppppppppppppppppppppppppppppppp", "-tls1_1", "rsa,ecdsa"},
  };
  for (auto &c : cases) {
    SCOPED_TRACE(std::string(c.file) + " " + c.version);
    const int port = TlsTest_FreePort();
    std::vector<std::string> argv =
        sServer("rsa2048", {"-www", c.version, "-cipher", low, "-Verify", "1", "-CAfile",
                            Test_VectorPath("pkcs12_ca.pem")});
    argv[4] = std::to_string(port);
    TlsTest_Peer peer(argv);
    std::string log;
    TLS1 *s = newSession(&log);
    int requests = 0;
    Tls_SetCertificateRequestCallback(s, &requests, onRequest);
    int fd = TlsTest_Connect(port);
    ASSERT_GE(fd, 0);
    Tls_StartHandshake(s, "localhost", nullptr);
    EXPECT_FALSE(TlsTest_Pump(s, fd, [&] { return Tls_IsHandshakeDone(s) != 0; }));
    close(fd);
    int32_t error = 0;
    Tls_GetError(s, &error);
    EXPECT_EQ(error, kTlsAlertHandshakeFailure);
    EXPECT_EQ(requests, 1);
    char types[80];
    Tls_GetRequestedCertificateTypes(s, types);
    EXPECT_STREQ(types, c.types);
    const std::string p12 = readText(Test_VectorPath(c.file));
    ASSERT_EQ(Tls_SetClientCertificate(s, p12.data(), int32_t(p12.size()), c.password), 1) << log;
    fd = TlsTest_Connect(port);
    ASSERT_GE(fd, 0);
    Tls_StartHandshake(s, "localhost", nullptr);
    EXPECT_TRUE(TlsTest_Pump(s, fd, [&] { return Tls_IsHandshakeDone(s) != 0; })) << log;
    int32_t written = 0;
    Tls_Write(s, kGet, int32_t(strlen(kGet)), &written);
    std::string reply;
    TlsTest_Pump(s, fd, [&] {
      reply += TlsTest_TakeInbound(s);
      return reply.find("</HTML>") != std::string::npos;
    });
    EXPECT_NE(reply.find("HTTP/1.0 200 ok"), std::string::npos) << log;
    close(fd);
    Tls_Delete(&s);
  }
  // A wrong password keeps no certificate.
  std::string log;
  TLS1 *s = newSession(&log);
  const std::string p12 = readText(Test_VectorPath("pkcs12_rsa_sha1.p12"));
  EXPECT_EQ(Tls_SetClientCertificate(s, p12.data(), int32_t(p12.size()), "Secret"), 0);
  EXPECT_EQ(s->Handshake->Pkcs12, nullptr);
  EXPECT_EQ(s->Handshake->CertVerifyHash, nullptr);
  Tls_Delete(&s);
}

// Declining: a request is answered with no certificate, the callback not
// called. A server that requires one refuses the handshake (its alert); one
// that only asks goes on.
TEST(TlsHandshake, DeclinedClientCertificate) {
  SettingsGuard guard;
  struct {
    const char *verify;  // -Verify requires a certificate, -verify asks for one
    bool done;
  } cases[] = {{"-Verify", false}, {"-verify", true}};
  for (auto &c : cases) {
    SCOPED_TRACE(c.verify);
    const int port = TlsTest_FreePort();
    std::vector<std::string> argv =
        sServer("rsa2048", {"-www", "-tls1_2", c.verify, "1", "-CAfile",
                            Test_VectorPath("pkcs12_ca.pem")});
    argv[4] = std::to_string(port);
    TlsTest_Peer peer(argv);
    std::string log;
    TLS1 *s = newSession(&log);
    int requests = 0;
    Tls_SetCertificateRequestCallback(s, &requests, onRequest);
    Tls_SetDeclineCertificate(s, 1);
    int fd = TlsTest_Connect(port);
    ASSERT_GE(fd, 0);
    Tls_StartHandshake(s, "localhost", nullptr);
    EXPECT_EQ(TlsTest_Pump(s, fd, [&] { return Tls_IsHandshakeDone(s) != 0; }), c.done) << log;
    std::string reply;
    if (c.done) {
      int32_t written = 0;
      Tls_Write(s, kGet, int32_t(strlen(kGet)), &written);
      TlsTest_Pump(s, fd, [&] {
        reply += TlsTest_TakeInbound(s);
        return reply.find("</HTML>") != std::string::npos;
      });
      EXPECT_NE(reply.find("HTTP/1.0 200 ok"), std::string::npos) << log;
    } else {
      TlsFailure failure{};
      EXPECT_EQ(Tls_GetFailure(s, &failure), 1);
      EXPECT_EQ(failure.received, 1) << log;
    }
    EXPECT_EQ(Tls_IsCertificateDeclined(s), 1) << log;
    EXPECT_EQ(requests, 0);
    close(fd);
    Tls_Delete(&s);
  }
}

// The client's pair: the first requested one whose signature fits the key
// and whose hash we can sign with; else the certificate's own hash.
TEST(TlsHandshake, ClientSignatureSelection) {
  struct {
    const char *file;
    const char *password;
    std::vector<uint8_t> types;
    std::vector<uint16_t> pairs;
    int ok;
    uint16_t pair;
  } cases[] = {
      {"pkcs12_rsa_sha1.p12", "secret", {1}, {0x0201, 0x0301, 0x0403, 0x0501}, 1, 0x0501},
      {"pkcs12_rsa_sha1.p12", "secret", {1, 64}, {0x0603}, 1, 0x0401},
      {"pkcs12_rsa_sha1.p12", "secret", {64}, {0x0401}, 0, 0},
      {"pkcs12_ec_sha256_31.p12", "ppppppppppppppppppppppppppppppp", {64}, {0x0401, 0x0203}, 1, 0x0203},
      {"pkcs12_ec_sha256_31.p12", "ppppppppppppppppppppppppppppppp", {}, {}, 1, 0x0403},
  };
  for (auto &c : cases) {
    SCOPED_TRACE(testing::Message() << c.file << " " << c.pairs.size());
    TLS1 *s = nullptr;
    Tls_Create(&s);
    s->CertificateTypeCount = int32_t(c.types.size());
    for (size_t i = 0; i < c.types.size(); i++) s->CertificateTypes[i] = c.types[i];
    s->SignaturePairCount = int32_t(c.pairs.size());
    for (size_t i = 0; i < c.pairs.size(); i++) s->SignaturePairs[i] = c.pairs[i];
    const std::string p12 = readText(Test_VectorPath(c.file));
    EXPECT_EQ(Tls_SetClientCertificate(s, p12.data(), int32_t(p12.size()), c.password), c.ok);
    if (c.ok) {
      EXPECT_EQ(s->Handshake->SignaturePair, c.pair);
    }
    Tls_Delete(&s);
  }
}
