#include "core/security/ec.h"

#include <gtest/gtest.h>

#include <cstring>

#include "tests/ec_test_util.h"

namespace {

bool SamePoint(const EcPoint *a, const EcPoint *b) {
  if (a->Infinity || b->Infinity) return a->Infinity == b->Infinity;
  return BigInt_Equals(&a->X, &b->X) && BigInt_Equals(&a->Y, &b->Y);
}

TEST(EcPoint, EncodingsDecodeOrAreRefusedAsPythonAndOpensslSay) {
  for (auto &row : EcTest_Rows("point")) {
    SCOPED_TRACE(row[1] + " " + row[2]);
    EcTestGroup group(row[1]);
    std::vector<uint8_t> bytes = Test_HexToBytes(row[2]);
    EcTestPoint point;
    int ok = EcPoint_Decode(&point, group.g, bytes.data(), int(bytes.size()));
    EXPECT_EQ(ok, std::stoi(row[3]));
    if (ok) {
      EXPECT_EQ(EcTest_Hex(&point.p.X), EcTest_Norm(row[4]));
      EXPECT_EQ(EcTest_Hex(&point.p.Y), EcTest_Norm(row[5]));
    } else {
      EXPECT_EQ(point.p.Infinity, 1);
    }
  }
}

TEST(EcPoint, PrivateKeysOfTheVectorsGiveTheirPublicPoints) {
  for (auto &row : EcTest_Rows("keypair")) {
    SCOPED_TRACE(row[1] + " d=" + row[2]);
    EcTestGroup group(row[1]);
    EcTestNum d(row[2]);
    EcTestPoint q;
    ASSERT_EQ(EcPoint_Multiply(group.g, &q, EcGroup_GetGenerator(group.g), &d), 1);
    EXPECT_EQ(EcTest_Hex(&q.p.X), EcTest_Norm(row[3]));
    EXPECT_EQ(EcTest_Hex(&q.p.Y), EcTest_Norm(row[4]));
  }
}

// The group law on every curve, and the two multiplication paths against
// each other: u1·G + u2·Q by the public wNAF path equals the sum of two
// constant-time products.
TEST(EcPoint, GroupLawAndBothMultiplicationPathsAgreeOnEveryCurve) {
  for (const std::string &oid : EcTest_Oids()) {
    SCOPED_TRACE(oid);
    EcTestGroup group(oid);
    const EcPoint *g = EcGroup_GetGenerator(group.g);
    const BigInt *n = EcGroup_GetOrder(group.g);
    EXPECT_EQ(EcPoint_Validate(group.g, g), 1);
    EcTestNum two("2"), zero("0"), nm1, minus1("-1"), k1, k2, sum, u1, u2, x;
    BigInt_Copy(&nm1, n);
    EcTestPoint a, b, c, d;
    // 2G = G + G; nG = infinity; (n-1)G = -G = (-1)G; G + (-G) = infinity; 0G.
    EcPoint_Multiply(group.g, &a, g, &two);
    EcPoint_Add(group.g, &b, g, g);
    EXPECT_TRUE(SamePoint(&a, &b));
    EcPoint_Multiply(group.g, &a, g, &nm1);
    EXPECT_EQ(a.p.Infinity, 1);
    BigInt_Add(&nm1, n, &minus1);
    EcPoint_Multiply(group.g, &a, g, &nm1);
    EcPoint_Multiply(group.g, &b, g, &minus1);
    EXPECT_TRUE(SamePoint(&a, &b));
    EXPECT_TRUE(BigInt_Equals(&a.p.X, &g->X));
    EXPECT_EQ(EcPoint_Validate(group.g, &a), 1);
    EcPoint_Add(group.g, &c, &a, g);
    EXPECT_EQ(c.p.Infinity, 1);
    EcPoint_Multiply(group.g, &c, g, &zero);
    EXPECT_EQ(c.p.Infinity, 1);
    for (int round = 0; round < 4; round++) {
      BigInt_Random(&k1, n);
      BigInt_Random(&k2, n);
      BigInt_Random(&u1, n);
      BigInt_Random(&u2, n);
      // k1·G + k2·G = (k1 + k2)·G, the sum past n included.
      EcPoint_Multiply(group.g, &a, g, &k1);
      EcPoint_Multiply(group.g, &b, g, &k2);
      EcPoint_Add(group.g, &c, &a, &b);
      BigInt_Add(&sum, &k1, &k2);
      EcPoint_Multiply(group.g, &d, g, &sum);
      EXPECT_TRUE(SamePoint(&c, &d));
      EXPECT_EQ(EcPoint_Validate(group.g, &c), 1);
      // u1·G + u2·Q with Q = a.
      ASSERT_EQ(Ec_MultiplyPublicSum(group.g, &u1, &u2, &a, &x), 1);
      EcPoint_Multiply(group.g, &b, g, &u1);
      EcPoint_Multiply(group.g, &c, &a, &u2);
      EcPoint_Add(group.g, &d, &b, &c);
      EXPECT_TRUE(BigInt_Equals(&x, &d.p.X));
    }
    // u1·G + u2·Q at infinity: Q = G, u2 = n - u1.
    BigInt_Sub(&u2, n, &u1);
    EXPECT_EQ(Ec_MultiplyPublicSum(group.g, &u1, &u2, g, &x), 0);
    // A point off the curve.
    EcTestPoint off;
    EcPoint_Copy(&off, g);
    BigInt_Add(&off.p.Y, &off.p.Y, &two);
    EXPECT_EQ(EcPoint_Validate(group.g, &off), 0);
  }
}

TEST(EcGroup, SelectsByExactOidOnly) {
  EcGroup *group = nullptr;
  EcGroup_Create(&group);
  EXPECT_EQ(EcGroup_GetFieldBytes(group), 0);
  EXPECT_EQ(EcGroup_Select(group, "1.2.840.10045.3.1.7"), 1);
  EXPECT_EQ(EcGroup_GetFieldBytes(group), 32);
  EXPECT_EQ(EcTest_Hex(&group->N),
            "FFFFFFFF00000000FFFFFFFFFFFFFFFFBCE6FAADA7179E84F3B9CAC2FC632551");
  const struct {
    const char *oid;
    int field, order;
  } sizes[] = {{"1.3.132.0.32", 28, 29}, {"1.3.132.0.35", 66, 66}, {"1.3.132.0.31", 24, 24}};
  for (auto &s : sizes) {
    EXPECT_EQ(EcGroup_Select(group, s.oid), 1);
    EXPECT_EQ(EcGroup_GetFieldBytes(group), s.field);
    EXPECT_EQ(EcGroup_GetOrderBytes(group), s.order);
  }
  for (const char *bad : {"1.2.840.10045.3.1.7 ", "1.3.132.0.3", "", "1.2.840.10045.3.1.7.1.2.3.4"}) {
    EXPECT_EQ(EcGroup_Select(group, bad), 0) << bad;
    EXPECT_EQ(group->Curve, nullptr);
    EXPECT_EQ(BigInt_Sign(&group->N), 0);
  }
  EXPECT_EQ(strlen(group->Oid), 23u);  // the long OID text is cut
  EcTestPoint p;
  uint8_t bytes[65] = {4};
  EXPECT_EQ(EcPoint_Decode(&p, group, bytes, 65), 0);
  EcGroup_Release(&group);
  EXPECT_EQ(group, nullptr);
}

TEST(EcGroupDeathTest, PointersAndTagsAreChecked) {
  EXPECT_DEATH(EcGroup_Select(nullptr, "1.3.132.0.34"), "Pointer is NULL\n");
  BigInt wrong;
  BigInt_InitInPlace(&wrong);
  EXPECT_DEATH(EcGroup_Clear(reinterpret_cast<EcGroup *>(&wrong)), "Class mismatch pointer");
  BigInt_FreeLimbs(&wrong);
}

}  // namespace

namespace {

// The curve data and the generator tables are built on first use by
// whichever thread comes first; every thread must then see them whole.
TEST(EcThreaded, FirstUseFromManyThreadsBuildsEachCurveOnce) {
  std::vector<std::vector<std::string>> rows;
  for (auto &row : EcTest_Rows("keypair"))
    if (rows.empty() || rows.back()[1] != row[1]) rows.push_back(row);
  ASSERT_GE(rows.size(), 6u);
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; t++)
    threads.emplace_back([&rows, &failures] {
      for (auto &row : rows) {
        EcGroup *group = nullptr;
        EcGroup_Create(&group);
        EcGroup_Select(group, row[1].c_str());
        BigInt d, one, x;
        BigInt_InitInPlace(&d);
        BigInt_InitInPlace(&one);
        BigInt_InitInPlace(&x);
        BigInt_FromHex(&d, row[2].c_str());
        BigInt_SetWord(&one, 1);
        EcPoint q;
        EcPoint_Init(&q);
        BigInt_FromHex(&q.X, row[3].c_str());
        BigInt_FromHex(&q.Y, row[4].c_str());
        q.Infinity = 0;
        // 1·G + 1·Q on the public path, against the constant-time product.
        EcPoint sum, product;
        EcPoint_Init(&sum);
        EcPoint_Init(&product);
        BigInt_Add(&d, &d, &one);
        EcPoint_Multiply(group, &product, EcGroup_GetGenerator(group), &d);
        if (!Ec_MultiplyPublicSum(group, &one, &one, &q, &x) || !BigInt_Equals(&x, &product.X))
          failures++;
        EcPoint_Free(&sum);
        EcPoint_Free(&product);
        EcPoint_Free(&q);
        BigInt_FreeLimbs(&d);
        BigInt_FreeLimbs(&one);
        BigInt_FreeLimbs(&x);
        EcGroup_Release(&group);
      }
    });
  for (auto &thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
}

}  // namespace
