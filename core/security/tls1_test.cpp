// The TLS client: suite names and settings, the global and the default
// certificate store, the PRF and key log, and the record layer against
// Python's records (tests/gen_tls_prf.py, tests/gen_tls_records.py).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <set>
#include <thread>

#include "core/runtime/dupstream.h"
#include "core/runtime/memstream.h"
#include "core/security/auth.h"
#include "core/security/certstorei.h"
#include "core/security/certstorekey.h"
#include "core/security/tls1.h"
#include "core/security/tls1_internal.h"
#include "core/security/tls1_test_util.h"
#include "tests/test_util.h"

namespace {

struct SettingsGuard {
  SettingsGuard() { Tls_ResetSettingsForTest(); }
  ~SettingsGuard() { Tls_ResetSettingsForTest(); }
};

int enabledCount() {
  int n = 0;
  for (int i = 0; i < kTlsSuiteCount; i++) n += Tls_SuiteEnabled(i);
  return n;
}

CertStore *gSourceStore = nullptr;
CertStore *sourceAnswer() { return gSourceStore ? CertStore_Retain(gSourceStore) : nullptr; }

}  // namespace

TEST(TlsSettings, NamesVersionsAndLists) {
  Test_LogRecord log;
  SettingsGuard guard;
  struct {
    const char *name;
    uint16_t id;
  } names[] = {{"ECDHE-RSA-AES256-SHA", 0xC014}, {"ecdhe-rsa-aes128-sha", 0xC013},
               {"Aes256-Sha256", 0x003D},        {"rc4-md5", 0x0004},
               {"rsa-aes128-gcm-sha256", 0x009C}, {"aes128", 0},
               {"", 0}};
  for (auto &n : names) EXPECT_EQ(Tls_CipherSuiteFromName(n.name), n.id) << n.name;
  EXPECT_EQ(Tls_IsEcdheSuite(0xC02F), 1);
  EXPECT_EQ(Tls_IsEcdheSuite(0x009C), 0);

  struct {
    const char *text;
    int32_t version;
  } versions[] = {{"1.0", 0x31}, {"1.1", 0x32}, {"1.2", 0x33}, {"1.3", 0}, {"1.2 ", 0}, {nullptr, 0}};
  for (auto &v : versions) EXPECT_EQ(Tls_VersionFromText(v.text), v.version);

  // An unknown name is skipped, the others enabled; unknown bounds keep.
  Tls_ApplySettings(" rc4-sha , bogus,aes128-sha,", "1.1", "1.3");
  EXPECT_EQ(enabledCount(), 2);
  EXPECT_NE(Tls_FindEnabledSuite(0x0005), nullptr);
  EXPECT_NE(Tls_FindEnabledSuite(0x002F), nullptr);
  EXPECT_EQ(Tls_FindEnabledSuite(0x0004), nullptr);
  EXPECT_EQ(Tls_GetVersionMin(), 0x32);
  EXPECT_EQ(Tls_GetVersionMax(), 0x33);
  // Nothing clears a flag; NULL gives the default eighteen.
  Tls_ApplySettings(nullptr, nullptr, "1.1");
  EXPECT_EQ(enabledCount(), 19);
  EXPECT_EQ(Tls_GetVersionMin(), 0x32);
  EXPECT_EQ(Tls_GetVersionMax(), 0x32);
}

TEST(TlsGlobal, InitOnceAndKeyLogPath) {
  EXPECT_EQ(Tls_GetGlobal(), nullptr);
  Tls_SetKeyLogPath("/tmp/before-init.log");  // before the global exists
  EXPECT_EQ(Tls_GlobalInit(), 1);
  EXPECT_EQ(Tls_GlobalInit(), 0);
  ASSERT_NE(Tls_GetGlobal(), nullptr);
  EXPECT_EQ(Tls_GetGlobal()->tag, kTlsGlobalTag);
  char path[kTlsKeyLogPathBytes];
  EXPECT_EQ(Tls_GetKeyLogPath(path, sizeof(path)), 1);
  EXPECT_STREQ(path, "/tmp/before-init.log");
  std::string longPath(400, 'a');
  Tls_SetKeyLogPath(longPath.c_str());
  Tls_GetKeyLogPath(path, sizeof(path));
  EXPECT_EQ(strlen(path), size_t(kTlsKeyLogPathBytes - 1));
  Tls_SetKeyLogPath(nullptr);
  EXPECT_EQ(Tls_GetKeyLogPath(path, sizeof(path)), 0);
  EXPECT_EQ(Tls_Shutdown(), 1);
  EXPECT_EQ(Tls_Shutdown(), 1);
  EXPECT_EQ(Tls_GetGlobal(), nullptr);
}

TEST(TlsGlobal, DefaultStoreFollowsTheSource) {
  Test_LogRecord log;
  ASSERT_EQ(Auth_Init(), 1);
  CertStore *app = Auth_GetCertStore("app");
  CertStore *key = nullptr;
  CertStoreKey_Create(&key);

  CertStore *store = Tls_DefaultCertStore();
  EXPECT_EQ(store, app);
  CertStore_Release(&store);
  Tls_SetCertStoreSource(sourceAnswer);
  store = Tls_DefaultCertStore();  // the source has none: "app"
  EXPECT_EQ(store, app);
  CertStore_Release(&store);
  gSourceStore = key;
  store = Tls_DefaultCertStore();
  EXPECT_EQ(store, key);
  CertStore_Release(&store);
  Tls_SetCertStoreSource(nullptr);
  store = Tls_DefaultCertStore();
  EXPECT_EQ(store, app);
  CertStore_Release(&store);

  gSourceStore = nullptr;
  CertStore_Release(&key);
  CertStore_Release(&app);
  Auth_Shutdown();
}

namespace {

const HashInterface *hashNamed(const std::string &name) {
  return name == "SHA384" ? &kHashSha384 : &kHashSha256;
}

struct RecordKeys {
  std::vector<uint8_t> master, clientRandom, serverRandom;
};

RecordKeys recordKeys(const std::vector<std::pair<int, std::vector<std::string>>> &rows) {
  const auto &f = rows.at(0).second;
  EXPECT_EQ(f[0], "keys");
  return {Test_HexToBytes(f[1]), Test_HexToBytes(f[2]), Test_HexToBytes(f[3])};
}

std::vector<uint8_t> bytesOf(const std::string &hex) {
  return hex == "-" ? std::vector<uint8_t>() : Test_HexToBytes(hex);
}

uint16_t suiteOf(const std::string &hex) { return uint16_t(std::stoi(hex, nullptr, 16)); }
int32_t versionOf(const std::string &hex) { return std::stoi(hex, nullptr, 16); }

}  // namespace

TEST(TlsPrf, MatchesPythonAndOpenssl) {
  int rows = 0;
  for (auto &[line, f] : Test_ReadRows("tls_prf.txt")) {
    std::vector<uint8_t> secret = bytesOf(f[4]), seed = bytesOf(f[5]), expected = bytesOf(f[6]);
    std::vector<uint8_t> out(expected.size());
    ASSERT_EQ(Tls_PrfCompute(versionOf(f[1]), hashNamed(f[2]), secret.data(), int32_t(secret.size()),
                             f[3].c_str(), seed.data(), int32_t(seed.size()), out.data(),
                             int32_t(out.size())),
              1)
        << line;
    EXPECT_EQ(out, expected) << "line " << line << " " << f[0];
    rows++;
  }
  EXPECT_GT(rows, 800);
}

// Python's records, opened by ours: all at once, and the first three fed a
// byte at a time (nothing comes out before a record is whole).
TEST(TlsRecords, OpenPythonRecords) {
  auto rows = Test_ReadRows("tls_records.txt");
  RecordKeys keys = recordKeys(rows);
  std::map<std::pair<uint16_t, int32_t>, std::vector<std::pair<std::string, std::vector<uint8_t>>>>
      cases;
  for (auto &[line, f] : rows)
    if (f[0] == "open") {
      std::vector<uint8_t> plain = bytesOf(f[4]);
      cases[{suiteOf(f[1]), versionOf(f[2])}].push_back(
          {std::string(plain.begin(), plain.end()), bytesOf(f[5])});
    }
  EXPECT_EQ(cases.size(), size_t(14 * 3 + 6));
  for (auto &[key, records] : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << key.first << " v" << key.second);
    TLS1 *s = TlsTest_KeyedSession(key.first, key.second, keys.master, keys.clientRandom,
                                   keys.serverRandom);
    for (size_t r = 0; r < 3; r++) {
      const std::vector<uint8_t> &record = records[r].second;
      for (size_t i = 0; i < record.size(); i++) {
        EXPECT_EQ(TlsTest_Feed(s, {record[i]}), 0);
        if (i + 1 < record.size()) {
          ASSERT_EQ(TlsTest_TakeInbound(s), "") << i;
        }
      }
      EXPECT_EQ(TlsTest_TakeInbound(s), records[r].first) << r;
    }
    std::vector<uint8_t> rest;
    std::string expected;
    for (size_t r = 3; r < records.size(); r++) {
      rest.insert(rest.end(), records[r].second.begin(), records[r].second.end());
      expected += records[r].first;
    }
    EXPECT_EQ(TlsTest_Feed(s, rest), 0);
    EXPECT_EQ(TlsTest_TakeInbound(s), expected);
    Tls_Delete(&s);
  }
}

// Ours, opened by Python: chained IVs and the 1/n-1 split under TLS 1.0,
// explicit IVs, GCM nonces, empty and full records.
TEST(TlsRecords, PythonOpensOurs) {
  auto rows = Test_ReadRows("tls_records.txt");
  RecordKeys keys = recordKeys(rows);
  std::set<std::pair<uint16_t, int32_t>> cases;
  for (auto &[line, f] : rows)
    if (f[0] == "open") cases.insert({suiteOf(f[1]), versionOf(f[2])});
  std::string lines;
  std::string data(20000, 0);
  for (size_t i = 0; i < data.size(); i++) data[i] = char(i * 7 + i / 251);
  for (auto [suite, version] : cases) {
    TLS1 *s = TlsTest_KeyedSession(suite, version, keys.master, keys.clientRandom,
                                   keys.serverRandom);
    char prefix[32];
    snprintf(prefix, sizeof prefix, "%04x\t%x\t", suite, version);
    ASSERT_EQ(Tls_WriteRecord(s, 23, "", 0), 1);  // an empty record
    lines += std::string(prefix) + "-\t" + TlsTest_Hex(TlsTest_TakeOutbound(s)) + "\n";
    for (size_t length : {1, 17, 256, 16384, 20000}) {
      int32_t written = 0;
      ASSERT_EQ(Tls_Write(s, data.data(), int32_t(length), &written), 1);
      ASSERT_EQ(written, int32_t(length));
      std::vector<uint8_t> out = TlsTest_TakeOutbound(s);
      lines += std::string(prefix) + Test_BytesToHex(data.data(), length) + "\t" +
               TlsTest_Hex(out) + "\n";
    }
    Tls_Delete(&s);
  }
  std::string path = Test_VectorPath("tls_records_check.txt");
  std::ofstream(path, std::ios::binary) << lines;
  std::string script = Test_ReadVectors("tls_records_script.txt");
  while (!script.empty() && script.back() == '\n') script.pop_back();
  std::string command = "/usr/bin/python3 " + script + " --check " + path;
  EXPECT_EQ(std::system(command.c_str()), 0) << command;
}

// A record with bad padding, a bad MAC or both fails the same way.
TEST(TlsRecords, BadPaddingAndBadMacFailAlike) {
  auto rows = Test_ReadRows("tls_records.txt");
  RecordKeys keys = recordKeys(rows);
  int refused = 0;
  for (auto &[line, f] : rows) {
    if (f[0] != "refuse") continue;
    TLS1 *s = TlsTest_KeyedSession(suiteOf(f[1]), versionOf(f[2]), keys.master, keys.clientRandom,
                                   keys.serverRandom);
    EXPECT_EQ(TlsTest_Feed(s, bytesOf(f[4])), kTlsAlertBadRecordMac) << "line " << line << " " << f[3];
    EXPECT_EQ(TlsTest_TakeInbound(s), "");
    Tls_Delete(&s);
    refused++;
  }
  EXPECT_EQ(refused, 12 * 3 * 3 + 6 + 2 * 3);
}

namespace {

// A keyed session on keys made of the byte fill.
TLS1 *fixedSession(uint16_t suite, int32_t version, uint8_t fill) {
  return TlsTest_KeyedSession(suite, version, std::vector<uint8_t>(48, fill),
                              std::vector<uint8_t>(32, uint8_t(fill + 1)),
                              std::vector<uint8_t>(32, uint8_t(fill + 2)));
}

std::vector<uint8_t> record(uint8_t type, std::vector<uint8_t> body, int version = 3) {
  std::vector<uint8_t> r = {type, 3, uint8_t(version), uint8_t(body.size() >> 8), uint8_t(body.size())};
  r.insert(r.end(), body.begin(), body.end());
  return r;
}

}  // namespace

// What the record layer refuses, and the first error kept.
TEST(TlsRecords, Refusals) {
  enum Session { kPlain, kGcm, kCbc, kAwaitingCcs, kNotDone };
  struct {
    const char *what;
    Session session;
    std::vector<uint8_t> bytes;
    int32_t alert;
  } cases[] = {
      {"length 0", kPlain, {23, 3, 3, 0, 0}, kTlsAlertHandshakeFailure},
      {"length 17404", kPlain, {23, 3, 3, 0x43, 0xfc}, kTlsAlertHandshakeFailure},
      {"SSLv2 hello", kPlain, {0x80, 0x2e, 0x01, 0x03, 0x01}, kTlsAlertHandshakeFailure},
      {"type 24", kPlain, record(24, {1, 2, 3}), kTlsAlertUnexpectedMessage},
      {"plain application data", kPlain, record(23, {'G', 'E', 'T'}), kTlsAlertUnexpectedMessage},
      {"empty ServerHello", kPlain, record(22, {2, 0, 0, 0}), kTlsAlertDecodeError},
      {"ChangeCipherSpec before our Finished", kPlain, record(20, {1}), kTlsAlertUnexpectedMessage},
      {"ChangeCipherSpec of 2 bytes", kAwaitingCcs, record(20, {1, 1}), kTlsAlertUnexpectedMessage},
      {"ChangeCipherSpec of 0x02", kAwaitingCcs, record(20, {2}), kTlsAlertUnexpectedMessage},
      {"GCM body shorter than nonce and tag", kGcm, record(23, std::vector<uint8_t>(23, 0)), kTlsAlertDecodeError},
      {"CBC body not whole blocks", kCbc, record(23, std::vector<uint8_t>(40, 0)), kTlsAlertDecodeError},
      {"fatal alert", kPlain, record(21, {2, 42}), 42},
      {"alert of one byte", kPlain, record(21, {2}), kTlsAlertDecodeError},
      {"fatal close_notify", kPlain, record(21, {2, 0}), kTlsAlertUnexpectedMessage},
  };
  for (auto &c : cases) {
    SCOPED_TRACE(c.what);
    TLS1 *s = nullptr;
    if (c.session == kPlain || c.session == kAwaitingCcs) {
      Tls_Create(&s);
      s->HandshakeState = c.session == kAwaitingCcs ? kTlsStateFinished : 2;
      s->CipherInfo = Tls_FindSuite(0x002F);
    } else {
      s = fixedSession(c.session == kGcm ? 0xC02F : 0x002F, kTlsVersion12, 7);
    }
    EXPECT_EQ(TlsTest_Feed(s, c.bytes), c.alert);
    // The first error stays; later input is not looked at.
    EXPECT_EQ(TlsTest_Feed(s, record(24, {0})), c.alert);
    EXPECT_EQ(TlsTest_TakeInbound(s), "");
    Tls_Delete(&s);
  }
}

// A ChangeCipherSpec in its place turns read protection on once; application
// data waits for the handshake to finish.
TEST(TlsRecords, ChangeCipherSpecAndApplicationDataRules) {
  TLS1 *s = fixedSession(0xC02F, kTlsVersion12, 9);
  // Back to "our Finished sent": read keys not active in this handshake.
  s->Flags &= ~kTlsFlagReadProtected;
  s->ReadKeysActivated = 0;
  s->HandshakeState = kTlsStateFinished;
  s->HandshakeDone.store(0);
  EXPECT_EQ(TlsTest_Feed(s, record(20, {1})), 0);
  EXPECT_TRUE(s->Flags & kTlsFlagReadProtected);
  EXPECT_EQ(s->ReadKeysActivated, 1);
  // A second one in the same handshake is refused, protected or not.
  s->Flags &= ~kTlsFlagReadProtected;
  EXPECT_EQ(TlsTest_Feed(s, record(20, {1})), kTlsAlertUnexpectedMessage);

  // Protected application data before the handshake is done: refused.
  TLS1 *w = TlsTest_LoopbackSession(0xC02F, kTlsVersion12);
  int32_t written = 0;
  ASSERT_EQ(Tls_Write(w, "hello", 5, &written), 1);
  std::vector<uint8_t> out = TlsTest_TakeOutbound(w);
  w->HandshakeDone.store(0);
  EXPECT_EQ(TlsTest_Feed(w, out), kTlsAlertUnexpectedMessage);
  // Nor does ours leave before it: nothing is accepted, nothing queued.
  EXPECT_EQ(Tls_Write(w, "hello", 5, &written), 0);
  EXPECT_EQ(written, 0);
  EXPECT_TRUE(TlsTest_TakeOutbound(w).empty());
  Tls_Delete(&w);
  Tls_Delete(&s);
}

TEST(TlsRecords, AlertsFromThePeer) {
  TLS1 *s = nullptr;
  Tls_Create(&s);
  s->HandshakeState = 2;
  // close_notify is answered once.
  EXPECT_EQ(TlsTest_Feed(s, record(21, {1, 0})), 0);
  EXPECT_EQ(TlsTest_TakeOutbound(s), record(21, {1, 0}, 3));
  EXPECT_TRUE(s->Flags & kTlsFlagCloseNotify);
  EXPECT_EQ(TlsTest_Feed(s, record(21, {1, 0})), 0);
  EXPECT_TRUE(TlsTest_TakeOutbound(s).empty());
  // A fatal alert leaves its code.
  EXPECT_EQ(TlsTest_Feed(s, record(21, {2, 40})), 40);
  Tls_ClearError(s);
  int32_t code = -1;
  Tls_GetError(s, &code);
  EXPECT_EQ(code, 0);
  Tls_Delete(&s);
}

// Plaintext is taken from the connection's stream only into a record that
// was queued; a full outbound side leaves it where it was.
TEST(TlsRecords, EncryptFromStreamLosesNothing) {
  TLS1 *s = fixedSession(0x009C, kTlsVersion12, 5);
  DupStream *plain = nullptr;
  DupStream_Create(&plain);
  std::string data(40000, 'x');
  ASSERT_EQ(DupStream_WriteOutbound(plain, data.data(), int32_t(data.size())), 1);
  // Fill the transport's outbound side to just under one record's room.
  DupStream *t = Tls_GetTransportStream(s);
  std::vector<uint8_t> filler(size_t(kMemoryStreamMaximumBytes - kTlsRecordRoomBytes + 1));
  ASSERT_EQ(DupStream_WriteOutbound(t, filler.data(), int32_t(filler.size())), 1);
  EXPECT_EQ(Tls_EncryptFromStream(s, plain), 0);
  int32_t left = 0;
  DupStream_GetOutboundLength(plain, &left);
  EXPECT_EQ(left, 40000);
  TlsTest_TakeOutbound(s);
  EXPECT_EQ(Tls_EncryptFromStream(s, plain), 1);
  DupStream_GetOutboundLength(plain, &left);
  EXPECT_EQ(left, 40000 - kTlsMaxPlaintextBytes);
  DupStream_Release(&plain);
  Tls_Delete(&s);
}

// Application data waits in the record buffer while the reader's side is
// full, and comes through once there is room.
TEST(TlsRecords, FullInboundSideWaits) {
  TLS1 *s = TlsTest_LoopbackSession(0xC02F, kTlsVersion12);
  DupStream *t = Tls_GetTransportStream(s);
  std::vector<uint8_t> filler(size_t(kMemoryStreamMaximumBytes - 100));
  ASSERT_EQ(DupStream_WriteInbound(t, filler.data(), int32_t(filler.size())), 1);
  std::string data(500, 'd');
  int32_t written = 0;
  ASSERT_EQ(Tls_Write(s, data.data(), int32_t(data.size()), &written), 1);
  EXPECT_EQ(TlsTest_Feed(s, TlsTest_TakeOutbound(s)), 0);
  // The reader's side deciphers the waiting record only once it made room.
  Tls_ProcessWaitingInput(s);
  EXPECT_EQ(TlsTest_TakeInbound(s).size(), filler.size());
  Tls_ProcessWaitingInput(s);
  EXPECT_EQ(TlsTest_TakeInbound(s), data);
  EXPECT_EQ(s->InputWaits.load(), 0);
  Tls_Delete(&s);
}

// Reset and a new handshake leave no key material behind.
TEST(TlsRecords, SecretsWiped) {
  TLS1 *s = fixedSession(0x002F, kTlsVersion11, 1);
  ASSERT_NE(s->Handshake->KeyBlock, nullptr);
  const std::vector<uint8_t> zeros(kTlsSecretBytes, 0);
  Tls_Reset(s);
  EXPECT_EQ(s->Handshake->KeyBlock, nullptr);
  EXPECT_EQ(memcmp(s->Handshake->MasterSecret, zeros.data(), kTlsMasterSecretBytes), 0);
  EXPECT_EQ(memcmp(s->WriteMacKey, zeros.data(), kTlsSecretBytes), 0);
  EXPECT_EQ(memcmp(s->ReadMacKey, zeros.data(), kTlsSecretBytes), 0);
  EXPECT_EQ(s->Flags & (kTlsFlagReadProtected | kTlsFlagWriteProtected), 0u);
  EXPECT_EQ(Tls_IsHandshakeStarted(s), 0);
  Tls_Delete(&s);
  EXPECT_EQ(s, nullptr);
}

TEST(TlsKeyLog, LineModeAndSwitch) {
  const std::string path = testing::TempDir() + "tls_keylog_" + std::to_string(getpid());
  unlink(path.c_str());
  TLS1 *s = nullptr;
  Tls_Create(&s);
  for (int i = 0; i < 32; i++) s->Handshake->ClientRandom[i] = uint8_t(i);
  std::vector<uint8_t> premaster(48, 0x11);
  s->NegotiatedVersion = kTlsVersion12;
  Tls_SetKeyLogPath(path.c_str());
  {
    AuthSwitchGuardForTest on(1);  // security on: no line
    ASSERT_EQ(Tls_DeriveMasterSecret(s, premaster.data(), 48), 1);
    EXPECT_NE(access(path.c_str(), F_OK), 0);
  }
  {
    AuthSwitchGuardForTest off(0);
    ASSERT_EQ(Tls_DeriveMasterSecret(s, premaster.data(), 48), 1);
  }
  Tls_SetKeyLogPath(nullptr);
  uint8_t master[48];
  Tls_PrfCompute(kTlsVersion12, &kHashSha256, premaster.data(), 48, "master secret",
                 std::vector<uint8_t>(64, 0).data(), 0, master, 0);  // warm
  std::vector<uint8_t> seed(s->Handshake->ClientRandom, s->Handshake->ClientRandom + 64);
  Tls_PrfCompute(kTlsVersion12, &kHashSha256, premaster.data(), 48, "master secret", seed.data(), 64,
                 master, 48);
  std::string expected = "CLIENT_RANDOM " + Test_BytesToHex(s->Handshake->ClientRandom, 32) + " " +
                         Test_BytesToHex(master, 48) + "\n";
  std::ifstream in(path);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text, expected);
  struct stat st = {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  unlink(path.c_str());
  Tls_Delete(&s);
}

// The key log is appended only to a file of the user's own that nobody else
// may read or write: a link, a file open to others and another user's file
// are left as they were.
TEST(TlsKeyLog, RefusesLinksAndFilesOthersReach) {
  const std::string dir = testing::TempDir() + "tls_keylog_refused_" + std::to_string(getpid());
  ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
  const std::string target = dir + "/target";
  const bool root = geteuid() == 0;
  struct Row {
    const char *name;
    mode_t mode;   // 0: a link to target
    uid_t owner;   // 0: the test's own
  } const rows[] = {{"link", 0, 0}, {"shared", 0644, 0}, {"writable", 0602, 0}, {"foreign", 0600, 65534}};
  AuthSwitchGuardForTest off(0);
  TLS1 *s = nullptr;
  Tls_Create(&s);
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    if (row.owner != 0 && !root) continue;  // only root gives a file away
    std::ofstream(target) << "before\n";
    chmod(target.c_str(), 0600);
    std::string path = dir + "/" + row.name;
    if (row.mode == 0) {
      ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0);
    } else {
      std::ofstream(path) << "before\n";
      ASSERT_EQ(chmod(path.c_str(), row.mode), 0);
      if (row.owner != 0) {
        ASSERT_EQ(chown(path.c_str(), row.owner, row.owner), 0);
      }
    }
    Tls_SetKeyLogPath(path.c_str());
    EXPECT_EQ(Tls_WriteKeyLog(s), 0);
    Tls_SetKeyLogPath(nullptr);
    std::ifstream in(row.mode == 0 ? target : path);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text, "before\n");
    unlink(path.c_str());
  }
  Tls_Delete(&s);
  unlink(target.c_str());
  rmdir(dir.c_str());
}

// Concurrent sessions never interleave their lines.
TEST(TlsKeyLogThreaded, EightThreadsWholeLines) {
  const std::string path = testing::TempDir() + "tls_keylog_mt_" + std::to_string(getpid());
  unlink(path.c_str());
  AuthSwitchGuardForTest off(0);
  Tls_SetKeyLogPath(path.c_str());
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; t++)
    threads.emplace_back([t] {
      TLS1 *s = nullptr;
      Tls_Create(&s);
      memset(s->Handshake->ClientRandom, t, 32);
      memset(s->Handshake->MasterSecret, 0xa0 + t, 48);
      for (int i = 0; i < 1000; i++) Tls_WriteKeyLog(s);
      Tls_Delete(&s);
    });
  for (auto &thread : threads) thread.join();
  Tls_SetKeyLogPath(nullptr);
  std::ifstream in(path);
  std::map<std::string, int> counts;
  std::string line;
  int lines = 0;
  while (std::getline(in, line)) {
    lines++;
    ASSERT_EQ(line.size(), size_t(14 + 64 + 1 + 96)) << lines;
    counts[line]++;
  }
  EXPECT_EQ(lines, 8000);
  EXPECT_EQ(counts.size(), 8u);
  for (auto &[text, n] : counts) EXPECT_EQ(n, 1000) << text;
  unlink(path.c_str());
}

// One thread feeds and processes records while another encrypts, resets and
// asks for the buffer sizes.
TEST(TlsSessionThreaded, FeedAndEncryptWhileResetting) {
  TLS1 *s = fixedSession(0xC02F, kTlsVersion12, 8);
  DupStream *plain = nullptr;
  DupStream_Create(&plain);
  std::atomic<int> stop{0};
  std::thread feeder([&] {
    std::vector<uint8_t> bytes = record(23, std::vector<uint8_t>(64, 1));
    for (int i = 0; i < 2000 && !stop.load(); i++) {
      int32_t written = 0;
      Tls_WriteRecordInput(s, bytes.data(), int32_t(bytes.size()), &written);
      Tls_ProcessInput(s);
      Tls_ClearError(s);
    }
  });
  for (int i = 0; i < 500; i++) {
    DupStream_WriteOutbound(plain, "abcdef", 6);
    Tls_EncryptFromStream(s, plain);
    int32_t n = 0;
    Tls_GetOutboundLength(s, &n);
    Tls_GetReceiveSpace(s, &n);
    TlsTest_TakeOutbound(s);
    if (i == 250) Tls_Reset(s);
  }
  stop.store(1);
  feeder.join();
  DupStream_Release(&plain);
  Tls_Delete(&s);
}

// The CBC check under memcheck with every deciphered record marked
// undefined: a branch or an address that depends on it before the one
// result is an error, and valgrind then exits with 99.
TEST(TlsConstantTime, CbcCheckTouchesNoPlaintextUnderMemcheck) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "valgrind cannot run sanitizer builds";
#endif
  if (access("/usr/bin/valgrind", X_OK) != 0) GTEST_SKIP() << "valgrind is not installed";
  for (const char *args : {"002f 31", "c028 33"}) {
    int status = 0;
    std::string output = Test_RunCommand(
        std::string("/usr/bin/valgrind -q --error-exitcode=99 " KEELSON_CT_PEER " tls-cbc ") + args +
            " 2>&1",
        &status);
    EXPECT_EQ(status, 0) << args << "\n" << output;
    EXPECT_EQ(output, "opened 8 refused 8\n") << args;
  }
}
