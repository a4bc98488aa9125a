#include "core/security/ecdhe.h"

#include <gtest/gtest.h>

#include "tests/ec_test_util.h"

namespace {

struct Exchange {
  Ecdhe *e = nullptr;
  explicit Exchange(const std::string &oid) {
    Ecdhe_Create(&e);
    EXPECT_EQ(EcGroup_Select(e->Group, oid.c_str()), 1);
  }
  ~Exchange() { Ecdhe_Release(&e); }
  Exchange(const Exchange &) = delete;
  Exchange &operator=(const Exchange &) = delete;
};

// Secrets equal Python's exchange (its six curves) and openssl pkeyutl
// -derive (secp224k1, secp192k1): field-sized, S.x unreduced.
TEST(EcdheOracle, SecretsEqualThePeersOwn) {
  std::string claims;
  for (auto &row : EcTest_Rows("ecdhpeer")) {
    SCOPED_TRACE(row[1]);
    if (row[1] == "1.3.132.0.31") continue;  // openssl's peer key is kept for secp224k1 only
    Exchange x(row[1]);
    const int f = EcGroup_GetFieldBytes(x.e->Group);
    std::string point = "04" + std::string(2 * f - row[3].size(), '0') + row[3] +
                        std::string(2 * f - row[4].size(), '0') + row[4];
    std::vector<uint8_t> bytes = Test_HexToBytes(point);
    ASSERT_EQ(EcPoint_Decode(&x.e->PeerPoint, x.e->Group, bytes.data(), int(bytes.size())), 1);
    uint8_t pub[kEcdhePublicMaxBytes], secret[kEcdheSecretMaxBytes];
    int publicLength = 0, secretLength = 0;
    ASSERT_EQ(Ecdhe_ComputeSecret(x.e, pub, &publicLength, secret, &secretLength), 1);
    EXPECT_EQ(publicLength, 1 + 2 * f);
    EXPECT_EQ(secretLength, f);
    claims += "ecdh\t" + row[1] + "\t" + row[2] + "\t" + Test_BytesToHex(pub, size_t(publicLength)) +
              "\t" + Test_BytesToHex(secret, size_t(secretLength)) + "\n";
  }
  EXPECT_TRUE(EcTest_PeersAccept(claims, "ec_claims_ecdhe.txt"));
}

TEST(Ecdhe, TwoSidesAgreeAndBadPeersAreRefused) {
  for (const std::string &oid : EcTest_Oids()) {
    SCOPED_TRACE(oid);
    Exchange a(oid), b(oid);
    uint8_t pubA[kEcdhePublicMaxBytes], pubB[kEcdhePublicMaxBytes];
    uint8_t secretA[kEcdheSecretMaxBytes], secretB[kEcdheSecretMaxBytes];
    int lengthA = 0, lengthB = 0, secretLengthA = 0, secretLengthB = 0;
    // No peer point yet: refused with lengths 0.
    EXPECT_EQ(Ecdhe_ComputeSecret(a.e, pubA, &lengthA, secretA, &secretLengthA), 0);
    EXPECT_EQ(lengthA, 0);
    EcPoint_Copy(&a.e->PeerPoint, EcGroup_GetGenerator(a.e->Group));
    ASSERT_EQ(Ecdhe_ComputeSecret(a.e, pubA, &lengthA, secretA, &secretLengthA), 1);
    // With G as the peer the secret is the own point's x.
    EXPECT_EQ(Test_BytesToHex(secretA, size_t(secretLengthA)),
              Test_BytesToHex(pubA + 1, size_t(secretLengthA)));
    ASSERT_EQ(EcPoint_Decode(&b.e->PeerPoint, b.e->Group, pubA, lengthA), 1);
    ASSERT_EQ(Ecdhe_ComputeSecret(b.e, pubB, &lengthB, secretB, &secretLengthB), 1);
    // b's secret is d_b · (a's point).
    EcTestPoint shared, expected;
    ASSERT_EQ(EcPoint_Decode(&shared, a.e->Group, pubA, lengthA), 1);
    ASSERT_EQ(EcPoint_Multiply(b.e->Group, &expected, &shared, &b.e->PrivateKey), 1);
    uint8_t x[kEcdheSecretMaxBytes];
    BigInt_ToBytesPadded(&expected.p.X, x, secretLengthB);
    EXPECT_EQ(Test_BytesToHex(x, size_t(secretLengthB)),
              Test_BytesToHex(secretB, size_t(secretLengthB)));
    // An off-curve peer point is refused.
    ASSERT_EQ(EcPoint_Decode(&a.e->PeerPoint, a.e->Group, pubB, lengthB), 1);
    BigInt_Add(&a.e->PeerPoint.Y, &a.e->PeerPoint.Y, &a.e->PeerPoint.X);
    EXPECT_EQ(Ecdhe_ComputeSecret(a.e, pubA, &lengthA, secretA, &secretLengthA), 0);
  }
}

}  // namespace
