// PKCS#12 containers from openssl pkcs12 -export -legacy: MAC hashes,
// key kinds, passwords of every length and script, a CA beside the leaf;
// and the refusals.
#include "core/security/pkcs12.h"

#include <gtest/gtest.h>

#include "core/security/auth.h"
#include "tests/test_util.h"

TEST(Pkcs12, LoadsOpensslContainers) {
  AuthSwitchGuardForTest on(1);
  Test_LogRecord log;
  const auto rows = Test_ReadRows("pkcs12_cases.txt");
  ASSERT_GE(rows.size(), 9u);
  for (const auto &[line, f] : rows) {
    SCOPED_TRACE(f[0]);
    ASSERT_EQ(f.size(), 4u);
    const std::vector<uint8_t> passwordBytes = f[1] == "-" ? std::vector<uint8_t>{} : Test_HexToBytes(f[1]);
    const std::string password(passwordBytes.begin(), passwordBytes.end());
    const std::vector<uint8_t> der = Test_HexToBytes(f[2]);
    PKCS12 *p = nullptr;
    PKCS12_Create(&p);
    const int loaded = PKCS12_LoadDer(p, der.data(), int32_t(der.size()), password.c_str());
    X509 *leaf = nullptr;
    if (f[3] == "-") {
      EXPECT_EQ(loaded, 0);
      EXPECT_EQ(p->Chain->count, 0);
      EXPECT_EQ(PKCS12_GetCertificate(p, &leaf), 0);
    } else {
      ASSERT_EQ(loaded, 1);
      ASSERT_EQ(PKCS12_GetCertificate(p, &leaf), 1);
      const uint8_t *bytes = nullptr;
      int32_t length = 0;
      X509_GetDer(leaf, &bytes, &length);
      EXPECT_EQ(Test_BytesToHex(bytes, size_t(length)), f[3]);
      // The key is the leaf's: what it signs, the leaf's key verifies.
      uint8_t digest[32] = {1, 2, 3};
      uint8_t signature[kCryptAsymmetricEncryptCapacity];
      int32_t written = 0;
      ASSERT_EQ(CryptAsymmetric_Sign(p->Key, digest, 32, signature, sizeof signature, &written), 1);
      EXPECT_EQ(X509_VerifyRaw(leaf, digest, 32, signature, written, kX509VerifyBareDigest), 1);
      digest[0] ^= 1;
      EXPECT_EQ(X509_VerifyRaw(leaf, digest, 32, signature, written, kX509VerifyBareDigest), 0);
    }
    PKCS12_Release(&p);
  }
}

// Passwords enter the derivation as UTF-16 with a terminator; text that is
// not UTF-8 is refused.
TEST(Pkcs12, PasswordsAsBmp) {
  std::vector<uint8_t> bmp;
  ASSERT_EQ(PKCS12_PasswordToBmp("\xc3\xa4\xf0\x9f\x98\x80", &bmp), 1);
  EXPECT_EQ(Test_BytesToHex(bmp.data(), bmp.size()), "00e4d83dde000000");
  EXPECT_EQ(PKCS12_PasswordToBmp("\xc3", &bmp), 0);
  ASSERT_EQ(PKCS12_PasswordToBmp("", &bmp), 1);
  EXPECT_EQ(bmp.size(), 2u);
}
