// The registry of named stores.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/security/auth.h"
#include "core/security/certstorekey.h"
#include "core/security/certstorethumbprint.h"
#include "core/security/x509.h"
#include "core/security/x509anchors.h"
#include "tests/pin_store_util.h"
#include "tests/test_util.h"

namespace {

typedef std::vector<uint8_t> Bytes;

// The registry for one test.
struct Registry {
  Registry() { EXPECT_EQ(Auth_Init(), 1); }
  ~Registry() { Auth_Shutdown(); }
};

int trusts(CertStore *store, const Bytes &der) {
  return Auth_VerifyCertificateDer(store, der.data(), int32_t(der.size()));
}

}  // namespace

TEST(AuthRegistry, FixedNamesMissingNamesAndKeyStores) {
  Test_LogRecord log;
  AuthSwitchGuardForTest on(1);
  Registry registry;
  EXPECT_EQ(Auth_Init(), 0);  // once

  CertStore *key = nullptr;
  CertStoreKey_Create(&key);
  for (const char *name : {"app", "platform", "null"}) {
    EXPECT_EQ(Auth_AddCertStore(name, 1, key), 0) << name;
    CertStore *found = Auth_GetCertStore(name);
    EXPECT_NE(found, key) << name;
    CertStore_Release(&found);
  }
  // A key store is found by name; a replaceable one is replaced.
  EXPECT_EQ(Auth_AddKeyStore("datastore", 1, key), 1);
  CertStore *found = Auth_GetCertStore("datastore");
  EXPECT_EQ(found, key);
  CertStore_Release(&found);
  CertStore *other = nullptr;
  CertStoreKey_Create(&other);
  EXPECT_EQ(Auth_AddKeyStore("datastore", 0, other), 1);
  EXPECT_EQ(Auth_AddKeyStore("datastore", 1, key), 0);
  found = Auth_GetCertStore("datastore");
  EXPECT_EQ(found, other);
  CertStore_Release(&found);
  // Auth_FindStore: the key table first only when asked; nothing for a
  // missing name. "app" in the key table stays beside the fixed list.
  EXPECT_EQ(Auth_AddKeyStore("app", 1, key), 1);
  found = Auth_FindStore("app", 1);
  EXPECT_EQ(found, key);
  CertStore_Release(&found);
  found = Auth_FindStore("app", 0);
  EXPECT_NE(found, key);
  EXPECT_NE(found, nullptr);
  CertStore_Release(&found);
  EXPECT_EQ(Auth_FindStore("missing", 1), nullptr);
  CertStore_Release(&other);
  CertStore_Release(&key);

  // A missing name gives a store that trusts nothing and finds no key.
  const Bytes leaf = [] {
    for (const auto &[line, f] : Test_ReadRows("pki_cases.txt"))
      if (f[0] == "leaf") return Test_HexToBytes(f[1]);
    return Bytes();
  }();
  CertStore *missing = Auth_GetCertStore("missing");
  ASSERT_NE(missing, nullptr);
  EXPECT_EQ(trusts(missing, leaf), 0);
  CryptAsymmetric *none = nullptr;
  int rejected = 1;
  EXPECT_EQ(CertStore_FindKey(missing, nullptr, &none, &rejected), 0);
  EXPECT_EQ(rejected, 0);
  CertStore_Release(&missing);
}

// Auth_VerifyCertificateDer walks from the one certificate: as openssl
// verify does with no untrusted list, a leaf is trusted when it is pinned
// or an anchor issued it, not when only its root is known.
TEST(AuthRegistry, VerifyCertificateDerWalksFromOneCertificate) {
  Test_LogRecord log;
  AuthSwitchGuardForTest on(1);
  Bytes leaf, inter, root;
  for (const auto &[line, f] : Test_ReadRows("pki_cases.txt")) {
    if (f[0] == "case" && !leaf.empty()) break;
    if (f[0] == "leaf") leaf = Test_HexToBytes(f[1]);
    if (f[0] == "untrusted") inter = Test_HexToBytes(f[1]);
    if (f[0] == "root") root = Test_HexToBytes(f[1]);
  }
  struct Row {
    std::vector<Bytes> pins;
    int leafTrusted, interTrusted;
  };
  CertStore *pinned = nullptr;
  const Row rows[] = {{{leaf}, 1, 0}, {{root}, 0, 0}, {{inter}, 0, 1}, {{}, 0, 0}};
  for (const Row &row : rows) {
    CertStore *store = Test_PinStore(row.pins);
    EXPECT_EQ(trusts(store, leaf), row.leafTrusted);
    EXPECT_EQ(trusts(store, inter), row.interTrusted);
    if (row.leafTrusted) pinned = CertStore_Retain(store);
    CertStore_Release(&store);
  }
  Bytes garbage(leaf.begin(), leaf.begin() + 40);
  Registry registry;
  X509Anchors_ResetForTest(Test_VectorPath("pki_bundle.pem").c_str());
  CertStore *app = Auth_GetCertStore("app");
  EXPECT_EQ(trusts(app, garbage), 0);
  EXPECT_EQ(trusts(app, inter), 1);
  EXPECT_EQ(trusts(app, leaf), 0);
  // A pin the application adds serves every check made with "app".
  EXPECT_EQ(Auth_AddAppStore(pinned), 1);
  EXPECT_EQ(trusts(app, leaf), 1);
  CertStore_Release(&pinned);
  CertStore_Release(&app);
  X509Anchors_ResetForTest(nullptr);
}
