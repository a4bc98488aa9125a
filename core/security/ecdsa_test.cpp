#include "core/security/ecdsa.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>

#include "core/platform/platform.h"
#include "core/security/asn.h"
#include "core/security/auth.h"
#include "core/security/cryptasymmetric.h"
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

namespace {

std::vector<std::string> Lines(const std::string &text) {
  std::vector<std::string> lines;
  size_t start = 0, end;
  while ((end = text.find('\n', start)) != std::string::npos) {
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

// P-256 and P-384 signing and the ECDHE exchange under memcheck, with the
// private keys, nonces and exchange keys marked undefined: any branch or
// table index that depends on them is an error, and valgrind then exits
// with 99.
TEST(EcdsaConstantTime, SigningAndExchangeTouchNoSecretUnderMemcheck) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "valgrind cannot run sanitizer builds";
#endif
  if (access("/usr/bin/valgrind", X_OK) != 0) GTEST_SKIP() << "valgrind is not installed";
  for (const char *oid : {"1.2.840.10045.3.1.7", "1.3.132.0.34"}) {
    SCOPED_TRACE(oid);
    std::vector<std::string> pair;
    for (auto &row : EcTest_Rows("keypair"))
      if (row[1] == oid) pair = row;
    ASSERT_FALSE(pair.empty());
    const std::string digest(96, 'a');
    int status = 0;
    std::string output = Test_RunCommand(std::string("/usr/bin/valgrind -q --error-exitcode=99 ") +
                                             KEELSON_CT_PEER + " ecdsa-sign " + oid + " " +
                                             pair[5] + " " + digest + " 2>&1",
                                         &status);
    EXPECT_EQ(status, 0) << output;
    std::vector<std::string> lines = Lines(output);
    ASSERT_EQ(lines.size(), 2u) << output;
    Key key;
    Ecdsa_SetParameters(key.k, oid);
    ASSERT_EQ(key.SetPublic(pair[3], pair[4]), 1);
    for (const std::string &line : lines)
      EXPECT_EQ(key.Verify(Test_HexToBytes(digest), Test_HexToBytes(line)), 1) << line;
    EXPECT_NE(lines[0], lines[1]) << "a fresh nonce per signature";
    output = Test_RunCommand(std::string("/usr/bin/valgrind -q --error-exitcode=99 ") +
                                 KEELSON_CT_PEER + " ecdhe " + oid + " 2>&1",
                             &status);
    EXPECT_EQ(status, 0) << output;
    lines = Lines(output);
    ASSERT_EQ(lines.size(), 2u) << output;
    // With the generator as the peer the secret is the own point's x.
    EXPECT_EQ(lines[0].substr(2, lines[1].size()), lines[1]);
  }
}

}  // namespace

namespace {

// Keys of certificates: a SubjectPublicKeyInfo binds the "ECDSA" record,
// selects its curve and imports the point; the front end then verifies.
TEST(CryptAsymmetricEcdsa, ImportsSubjectPublicKeyInfoOnEveryCurveAndVerifies) {
  auto rows = EcTest_Rows("spki");
  ASSERT_EQ(rows.size(), 8u);
  for (auto &row : rows) {
    SCOPED_TRACE(row[1]);
    std::vector<uint8_t> spki = Test_HexToBytes(row[2]);
    const std::vector<uint8_t> digest = Test_HexToBytes(row[3]);
    std::vector<uint8_t> signature = Test_HexToBytes(row[4]);
    // As issued; a point moved off the curve; an unknown curve OID.
    for (int change = 0; change < 3; change++) {
      SCOPED_TRACE(change);
      std::vector<uint8_t> der = spki;
      if (change == 1) der.back() ^= 1;
      if (change == 2) {  // the last byte of the curve OID, after id-ecPublicKey's
        const uint8_t ecPublicKey[] = {0x2a, 0x86, 0x48, 0xce, 0x3d, 0x02, 0x01};
        auto at = std::search(der.begin(), der.end(), std::begin(ecPublicKey), std::end(ecPublicKey));
        ASSERT_NE(at, der.end());
        size_t curve = size_t(at - der.begin()) + sizeof ecPublicKey;  // 06 len ...
        der[curve + 1 + der[curve + 1]] ^= 0x7f;
      }
      Asn1Node *document = nullptr;
      Asn1_Create(&document);
      ASSERT_EQ(Asn1_ParseBuffer(document, der.data(), int64_t(der.size())), 1);
      CryptAsymmetric *key = nullptr;
      CryptAsymmetric_Create(&key);
      EXPECT_EQ(CryptAsymmetric_ImportSubjectPublicKeyInfo(key, Asn1_GetChild(document, 0)),
                change == 0 ? 1 : 0);
      EXPECT_STREQ(key->Interface->Name, "ECDSA");
      if (change == 0) {
        EXPECT_EQ(CryptAsymmetric_HasPrivateKey(key), 0);
        EXPECT_EQ(CryptAsymmetric_Verify(key, digest.data(), int32_t(digest.size()),
                                         signature.data(), int32_t(signature.size()), 2),
                  1);
        signature[signature.size() / 2] ^= 0x10;
        EXPECT_EQ(CryptAsymmetric_Verify(key, digest.data(), int32_t(digest.size()),
                                         signature.data(), int32_t(signature.size()), 2),
                  0);
        signature[signature.size() / 2] ^= 0x10;
        // ECDSA verification does not obey the security switch.
        AuthSwitchGuardForTest off(0);
        EXPECT_EQ(CryptAsymmetric_Verify(key, digest.data(), 3, signature.data(), 3, 2), 0);
      }
      CryptAsymmetric_Release(&key);
      Asn1_Release(&document);
    }
  }
}

}  // namespace
