#include "core/security/ecdsa.h"

#include <gtest/gtest.h>

#include "core/platform/platform.h"
#include "tests/ec_test_util.h"

namespace {

struct Key {
  Ecdsa *k = nullptr;
  Key() { Ecdsa_Create(&k); }
  ~Key() { Ecdsa_Release(&k); }
  Key(const Key &) = delete;
  Key &operator=(const Key &) = delete;
  int SetPublic(const std::string &qx, const std::string &qy) {
    EcTestNum x(qx), y(qy);
    return Ecdsa_SetPublic(k, &x, &y);
  }
  int Verify(const std::vector<uint8_t> &digest, const std::vector<uint8_t> &signature) {
    return Ecdsa_Verify(k, digest.data(), int(digest.size()), signature.data(),
                        int(signature.size()), 2);
  }
  std::vector<uint8_t> Sign(const std::vector<uint8_t> &digest) {
    uint8_t out[160];
    int32_t written = -1;
    EXPECT_EQ(Ecdsa_Sign(k, digest.data(), int(digest.size()), out, sizeof out, &written), 1);
    return std::vector<uint8_t>(out, out + written);
  }
};

std::vector<uint8_t> RandomBytes(size_t count) {
  std::vector<uint8_t> bytes(count);
  Platform_RandomBytes(bytes.data(), count);
  return bytes;
}

// FIPS 186-3 SigVer (P-192 to P-521, SHA-1 to SHA-512), secp256k1 SigGen,
// Python's and openssl's signatures, and the encodings that must be refused:
// (r + n, s), r = 0, s = n, non-minimal INTEGERs, a third element, BER.
TEST(EcdsaVectors, VerifyAsThePublishedResultsSay) {
  auto rows = EcTest_Rows("sigver");
  ASSERT_GT(rows.size(), 1500u);
  int passes = 0;
  for (auto &row : rows) {
    SCOPED_TRACE(row[7] + " " + row[5]);
    Key key;
    ASSERT_EQ(Ecdsa_SetParameters(key.k, row[1].c_str()), 1);
    bool expected = row[6] == "P";
    if (!key.SetPublic(row[3], row[4])) {
      // FIPS "Q changed" cases may leave the curve.
      EXPECT_FALSE(expected);
      continue;
    }
    std::vector<uint8_t> signature = row[5] == "-" ? std::vector<uint8_t>() : Test_HexToBytes(row[5]);
    EXPECT_EQ(key.Verify(Test_HexToBytes(row[2]), signature), expected ? 1 : 0);
    passes += expected;
  }
  EXPECT_GT(passes, 1200);
}

// Keys imported from ECPrivateKey DER sign what the key verifies; the signatures
// of the Python and openssl keys go back to those peers.
TEST(EcdsaOracle, PeersAcceptOurSignatures) {
  std::string claims;
  int k256 = 0;
  for (auto &row : EcTest_Rows("keypair")) {
    if (row[1] == "1.3.132.0.10" && ++k256 > 16) continue;  // SigGen keys: a sample
    SCOPED_TRACE(row[1] + " d=" + row[2]);
    Key key;
    ASSERT_EQ(Ecdsa_SetParameters(key.k, row[1].c_str()), 1);
    std::vector<uint8_t> der = Test_HexToBytes(row[5]);
    ASSERT_EQ(Ecdsa_ImportPrivate(key.k, der.data(), int(der.size())), 1);
    EXPECT_EQ(Ecdsa_HasPrivateKey(key.k), 1);
    static const size_t kLengths[] = {20, 32, 48, 64};
    std::vector<uint8_t> digest = RandomBytes(kLengths[claims.size() % 4]);
    std::vector<uint8_t> signature = key.Sign(digest);
    ASSERT_EQ(key.SetPublic(row[3], row[4]), 1);
    EXPECT_EQ(Ecdsa_HasPrivateKey(key.k), 0);
    EXPECT_EQ(key.Verify(digest, signature), 1);
    digest[0] ^= 1;
    EXPECT_EQ(key.Verify(digest, signature), 0);
    digest[0] ^= 1;
    if (row[1] != "1.3.132.0.31" && row[1] != "1.3.132.0.32")
      claims += "sig\t" + row[1] + "\t" + row[3] + "\t" + row[4] + "\t" +
                Test_BytesToHex(digest.data(), digest.size()) + "\t" +
                Test_BytesToHex(signature.data(), signature.size()) + "\n";
  }
  for (auto &row : EcTest_Rows("ossl")) {
    SCOPED_TRACE(row[2]);
    Key key;
    Ecdsa_SetParameters(key.k, row[1].c_str());
    std::vector<uint8_t> der = Test_HexToBytes(row[5]);
    ASSERT_EQ(Ecdsa_ImportPrivate(key.k, der.data(), int(der.size())), 1);
    std::vector<uint8_t> signature = key.Sign(Test_HexToBytes(row[4]));
    claims += "osig\t" + row[1] + "\t" + row[2] + "\t" + row[3] + "\t" +
              Test_BytesToHex(signature.data(), signature.size()) + "\n";
  }
  EXPECT_TRUE(EcTest_PeersAccept(claims, "ec_claims_ecdsa.txt"));
}

TEST(Ecdsa, PrivateKeysOutsideOneToNMinusOneAndBadDerAreRefused) {
  const std::string n = "FFFFFFFF00000000FFFFFFFFFFFFFFFFBCE6FAADA7179E84F3B9CAC2FC632551";
  const std::string nm1 = "FFFFFFFF00000000FFFFFFFFFFFFFFFFBCE6FAADA7179E84F3B9CAC2FC632550";
  const struct {
    std::string der;
    int ok;
  } cases[] = {
      {"30250201010420" + std::string(63, '0') + "1", 1},
      {"3025020101042000" + std::string(62, '0'), 0},        // d = 0
      {"30250201010420" + n, 0},                               // d = n
      {"30250201010420" + nm1, 1},                             // d = n - 1
      {"30260201010421" + ("01" + n), 0},                      // d > n
      {"30250201000420" + nm1, 0},                             // version 0
      {"30250201010220" + nm1, 0},                             // INTEGER, not OCTET STRING
      {"30250201010420" + nm1 + "00", 0},                      // trailing byte
      {"3003020101", 0},                                       // no d
  };
  for (auto &c : cases) {
    SCOPED_TRACE(c.der);
    Key key;
    std::vector<uint8_t> der = Test_HexToBytes(c.der);
    EXPECT_EQ(Ecdsa_ImportPrivate(key.k, der.data(), int(der.size())), 0);  // no curve yet
    Ecdsa_SetParameters(key.k, "1.2.840.10045.3.1.7");
    EXPECT_EQ(Ecdsa_ImportPrivate(key.k, der.data(), int(der.size())), c.ok);
    EXPECT_EQ(Ecdsa_HasPrivateKey(key.k), c.ok);
  }
  Key key;
  Ecdsa_SetParameters(key.k, "1.2.840.10045.3.1.7");
  uint8_t out[80];
  int32_t written = 7;
  EXPECT_EQ(Ecdsa_Encrypt(key.k, out, 4, out, sizeof out, &written), 0);
  EXPECT_EQ(written, 0);
  EXPECT_EQ(Ecdsa_Sign(key.k, out, 32, out, sizeof out, &written), 0);  // no private key
  // SetPublic checks as the decoder does: x = p is refused.
  EXPECT_EQ(key.SetPublic("FFFFFFFF00000001000000000000000000000000FFFFFFFFFFFFFFFFFFFFFFFF", "1"), 0);
  EXPECT_EQ(key.k->PublicKey.Infinity, 1);
}

TEST(Ecdsa, P521SignaturesUseTheLongLengthForm) {
  Key key;
  Ecdsa_SetParameters(key.k, "1.3.132.0.35");
  std::vector<uint8_t> der = Test_HexToBytes("30470201010442" + std::string(130, '0') + "05");
  ASSERT_EQ(Ecdsa_ImportPrivate(key.k, der.data(), int(der.size())), 1);
  for (int i = 0; i < 4; i++) {
    std::vector<uint8_t> signature = key.Sign(RandomBytes(64));
    ASSERT_GE(signature.size(), 3u);
    EXPECT_EQ(signature[0], 0x30);
    EXPECT_EQ(signature[1], 0x81);
    EXPECT_EQ(signature[2] + 3u, signature.size());
  }
}

TEST(EcdsaDeathTest, SignatureBufferMustHoldTheLargestEncoding) {
  Key key;
  Ecdsa_SetParameters(key.k, "1.2.840.10045.3.1.7");
  std::vector<uint8_t> der = Test_HexToBytes("30250201010420" + std::string(62, '0') + "07");
  ASSERT_EQ(Ecdsa_ImportPrivate(key.k, der.data(), int(der.size())), 1);
  uint8_t digest[32] = {1}, out[80];
  int32_t written = 0;
  // 2·32 + 6 = 70 bytes at most, plus 2.
  EXPECT_DEATH(Ecdsa_Sign(key.k, digest, 32, out, 71, &written),
               "Assertion failed \\(MaxSignatureSize >= Length \\+ 2\\)\nSignature buffer is too "
               "small");
  EXPECT_EQ(Ecdsa_Sign(key.k, digest, 32, out, 72, &written), 1);
  EXPECT_DEATH(Ecdsa_Verify(nullptr, digest, 32, out, written, 2), "Pointer is NULL\n");
}

}  // namespace
