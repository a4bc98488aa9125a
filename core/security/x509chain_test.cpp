#include "core/security/x509chain.h"

#include <gtest/gtest.h>

#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "core/runtime/base64.h"
#include "core/security/auth.h"
#include "core/security/certstorethumbprint.h"
#include "tests/pin_store_util.h"
#include "tests/test_util.h"

namespace {

constexpr double kPkitsTime = 1735689600;  // 2025-01-01 00:00:00 UTC

CertStore *pinStore(const std::vector<std::vector<uint8_t>> &ders) { return Test_PinStore(ders); }

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

namespace {

struct PkiCase {
  std::string name, purpose, openssl, certtool;
  std::vector<uint8_t> leaf;
  std::vector<std::vector<uint8_t>> untrusted, roots;
};

std::vector<PkiCase> readPki() {
  std::vector<PkiCase> cases;
  for (const auto &[line, f] : Test_ReadRows("pki_cases.txt")) {
    if (f[0] == "case")
      cases.push_back({f[1], f[2], f[3], f[4], {}, {}, {}});
    else if (f[0] == "leaf")
      cases.back().leaf = Test_HexToBytes(f[1]);
    else if (f[0] == "untrusted")
      cases.back().untrusted.push_back(Test_HexToBytes(f[1]));
    else
      cases.back().roots.push_back(Test_HexToBytes(f[1]));
  }
  return cases;
}

}  // namespace

// Generated PKIs against openssl verify and certtool --verify, at the time of
// the run, the roots pinned. Where the verifiers' answer differs from ours,
// the table names the rule we follow.
TEST(X509ChainPki, VerdictsMatchOpensslAndCerttool) {
  const std::map<std::string, std::pair<int, const char *>> kOurs = {
      {"cross-signed-intermediate",
       {1, "every issuer whose key verifies is tried, depth first"}},
      {"forty-of-one-subject", {1, "forty look-alike issuers fit the 64 signature checks"}},
      {"md5-intermediate", {0, "MD2, MD4 and MD5 signatures never vouch for a certificate"}},
  };
  Test_LogRecord log;
  AuthSwitchGuardForTest on(1);
  const double now = double(time(nullptr));
  int cases = 0;
  for (const PkiCase &c : readPki()) {
    X509Chain *chain = nullptr;
    X509 *cert = nullptr;
    X509Chain_Create(&chain);
    X509_Create(&cert);
    for (const auto *list : {&c.untrusted, &c.roots})
      for (const auto &der : *list) {
        ASSERT_EQ(X509_LoadDer(cert, der.data(), int32_t(der.size())), 1) << c.name;
        X509Chain_Add(chain, cert);
      }
    ASSERT_EQ(X509_LoadDer(cert, c.leaf.data(), int32_t(c.leaf.size())), 1) << c.name;
    CertStore *store = pinStore(c.roots);
    X509Purpose purpose = c.purpose == "serverAuth"    ? X509Purpose::ServerAuth
                          : c.purpose == "codeSigning" ? X509Purpose::CodeSigning
                                                       : X509Purpose::Any;
    int ours = X509Chain_VerifyPolicy(chain, cert, store, purpose, now);
    auto rule = kOurs.find(c.name);
    if (rule != kOurs.end()) {
      EXPECT_EQ(ours, rule->second.first) << c.name << ": " << rule->second.second;
    } else {
      EXPECT_EQ(std::to_string(ours), c.certtool) << c.name << " (certtool)";
      if (c.openssl != "-") {
        EXPECT_EQ(std::to_string(ours), c.openssl) << c.name << " (openssl)";
      }
    }
    cases++;
    CertStore_Release(&store);
    X509_Release(&cert);
    X509Chain_Release(&chain);
  }
  EXPECT_GE(cases, 19);
}

// The walk's own edges: a pinned leaf alone, a missing issuer, a rejecting
// store, and the switch off.
TEST(X509ChainPki, WalkEdges) {
  Test_LogRecord log;
  auto cases = readPki();
  ASSERT_FALSE(cases.empty());
  const PkiCase &good = cases[0];
  X509Chain *chain = nullptr;
  X509 *leaf = nullptr;
  X509Chain_Create(&chain);
  X509_Create(&leaf);
  ASSERT_EQ(X509_LoadDer(leaf, good.leaf.data(), int32_t(good.leaf.size())), 1);
  CertStore *pinLeaf = pinStore({good.leaf});
  CertStore *pinRoot = pinStore(good.roots);
  {
    AuthSwitchGuardForTest on(1);
    EXPECT_EQ(X509Chain_Verify(chain, leaf, pinLeaf), 1);  // trusted with nothing else
    EXPECT_EQ(X509Chain_Verify(chain, leaf, pinRoot), 0);  // issuer missing
  }
  {
    AuthSwitchGuardForTest off(0);
    EXPECT_EQ(X509Chain_Verify(chain, leaf, pinRoot), 1);
  }
  CertStore_Release(&pinLeaf);
  CertStore_Release(&pinRoot);
  X509_Release(&leaf);
  X509Chain_Release(&chain);
}
