// The platform's certificate verdict over a trust-anchor bundle from
// tests/gen_pki.py: one step from an anchor, time ignored, signatures
// checked; the walk above it belongs to the certificate chain.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/platform/platform.h"
#include "core/security/auth.h"
#include "core/security/certstoreplatform.h"
#include "core/security/x509anchors.h"
#include "core/security/x509chain.h"
#include "tests/log_capture.h"
#include "tests/pki_test_util.h"
#include "tests/test_util.h"

namespace {

typedef std::vector<uint8_t> Bytes;

// The good case's PKI and the expired leaf of its root.
struct PlatformPki : Test_Pki {
  Bytes expired;
  PlatformPki() {
    for (const auto &[line, f] : Test_ReadRows("pki_platform.txt"))
      if (f[0] == "expired") expired = Test_HexToBytes(f[1]);
  }
};

class PlatformTrust : public testing::Test {
 protected:
  void SetUp() override { X509Anchors_ResetForTest(Test_VectorPath("pki_bundle.pem").c_str()); }
  void TearDown() override { X509Anchors_ResetForTest(nullptr); }
};

}  // namespace

TEST_F(PlatformTrust, VerdictsOfTheBundle) {
  Test_LogRecord log;
  PlatformPki pki;
  ASSERT_FALSE(pki.expired.empty());
  Bytes forged = pki.inter;
  forged.back() ^= 1;  // the last byte of the signature
  struct Row {
    const char *what;
    const Bytes &der;
    int trusted;
  };
  const Row rows[] = {
      {"issued by the root", pki.inter, 1},
      {"the root itself", pki.root, 1},
      {"issued by the intermediate", pki.leaf, 0},
      {"expired, issued by the root", pki.expired, 1},
      {"forged signature", forged, 0},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    int revoked = 1;
    EXPECT_EQ(Platform_VerifyCertificateChain(row.der.data(), int32_t(row.der.size()), &revoked),
              row.trusted);
    EXPECT_EQ(revoked, 0);
  }

  TestLogCapture capture;
  int revoked = 1;
  EXPECT_EQ(Platform_VerifyCertificateChain("junk", 4, &revoked), 0);
  EXPECT_EQ(revoked, 0);
  EXPECT_NE(capture.Take().find("Unable to create certificate context (0x80092002)\n"),
            std::string::npos);
}

// The leaf one step below the anchors is trusted once the chain walks from
// it through the intermediate to the platform store.
TEST_F(PlatformTrust, ChainWalksUpToTheVerdict) {
  Test_LogRecord log;
  AuthSwitchGuardForTest on(1);
  PlatformPki pki;
  X509 *leaf = nullptr;
  X509 *inter = nullptr;
  X509_Create(&leaf);
  X509_Create(&inter);
  ASSERT_EQ(X509_LoadDer(leaf, pki.leaf.data(), int32_t(pki.leaf.size())), 1);
  ASSERT_EQ(X509_LoadDer(inter, pki.inter.data(), int32_t(pki.inter.size())), 1);
  CertStore *platform = nullptr;
  CertStorePlatform_Create(&platform);
  X509Chain *chain = nullptr;
  X509Chain_Create(&chain);
  EXPECT_EQ(X509Chain_Verify(chain, leaf, platform), 0);
  X509Chain_Add(chain, inter);
  EXPECT_EQ(X509Chain_Verify(chain, leaf, platform), 1);
  X509Chain_Release(&chain);
  CertStore_Release(&platform);
  X509_Release(&inter);
  X509_Release(&leaf);
}
