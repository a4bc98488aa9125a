// The TLS client: suite names and settings, the global and the default
// certificate store.
#include <gtest/gtest.h>

#include "core/security/auth.h"
#include "core/security/certstorei.h"
#include "core/security/certstorekey.h"
#include "core/security/tls1.h"
#include "core/security/tls1_internal.h"
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
