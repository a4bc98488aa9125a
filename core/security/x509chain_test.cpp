#include "core/security/x509chain.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/runtime/base64.h"
#include "core/security/auth.h"
#include "core/security/certstorethumbprint.h"
#include "tests/test_util.h"

namespace {

constexpr double kPkitsTime = 1735689600;  // 2025-01-01 00:00:00 UTC

// A thumbprint store pinning the SHA-256 thumbprints of the given DERs.
CertStore *pinStore(const std::vector<std::vector<uint8_t>> &ders) {
  CertStore *store = nullptr;
  CertStoreThumbprint_Create(&store);
  Dictionary *root = nullptr;
  Dictionary *list = nullptr;
  Dictionary_Create(&root);
  Dictionary_AddList(root, "pins", &list, nullptr);
  for (const auto &der : ders) {
    uint8_t digest[32];
    Hash_ComputeDigest(&kHashSha256, der.data(), int64_t(der.size()), digest, sizeof digest);
    char text[64];
    int64_t written = 0;
    Base64_Encode(digest, sizeof digest, text, sizeof text - 1, &written);
    text[written] = '\0';
    Dictionary_AddString(list, nullptr, text, nullptr);
  }
  EXPECT_EQ(CertStoreThumbprint_AddList(store, list), 1);
  Dictionary_Release(&root);
  return store;
}

}  // namespace

// PKITS 4.1-4.3, 4.6 and 4.7: the end entity, every CA certificate of the
// suite as the chain, the trust anchor pinned, at 2025-01-01, any purpose.
TEST(X509ChainPkits, VerdictsMatchTheSuite) {
  Test_LogRecord log;
  AuthSwitchGuardForTest on(1);
  X509Chain *chain = nullptr;
  X509Chain_Create(&chain);
  X509 *cert = nullptr;
  X509_Create(&cert);
  std::vector<uint8_t> anchor;
  int tests = 0;
  CertStore *store = nullptr;
  for (const auto &[line, f] : Test_ReadRows("x509_pkits.txt")) {
    if (f[0] == "ca") {
      auto der = Test_HexToBytes(f[2]);
      if (f[1] == "TrustAnchorRootCertificate.crt") anchor = der;
      if (X509_LoadDer(cert, der.data(), int32_t(der.size()))) X509Chain_Add(chain, cert);
      continue;
    }
    if (store == nullptr) {
      ASSERT_FALSE(anchor.empty());
      store = pinStore({anchor});
    }
    const std::string &name = f[1];
    const std::string &expect = f[2];
    if (expect.rfind("skip:", 0) == 0) continue;
    auto der = Test_HexToBytes(f[3]);
    int loaded = X509_LoadDer(cert, der.data(), int32_t(der.size()));
    if (expect == "load-fails") {
      EXPECT_EQ(loaded, 0) << name;
      continue;
    }
    ASSERT_EQ(loaded, 1) << name;
    tests++;
    EXPECT_EQ(X509Chain_VerifyPolicy(chain, cert, store, X509Purpose::Any, kPkitsTime),
              expect == "valid" ? 1 : 0)
        << name;
  }
  EXPECT_EQ(tests, 42);
  CertStore_Release(&store);
  X509_Release(&cert);
  X509Chain_Release(&chain);
}
