#include "core/security/bigint.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/test_util.h"

namespace {

// An in-place value freed at scope exit.
struct Num {
  BigInt v;
  Num() { BigInt_InitInPlace(&v); }
  explicit Num(const std::string &hex) : Num() { set(hex); }
  ~Num() { BigInt_FreeLimbs(&v); }
  Num(const Num &) = delete;
  Num &operator=(const Num &) = delete;
  void set(const std::string &hex) {
    bool zero = hex.find_first_not_of("-0") == std::string::npos;
    EXPECT_EQ(BigInt_FromHex(&v, hex.c_str()), 1) << hex;
    if (zero) {
      EXPECT_EQ(v.Length, 0);
    }
  }
  BigInt *operator&() { return &v; }
};

// Signed upper-case hex as the oracle writes it ("0" for zero).
std::string hexOf(const BigInt *n) {
  char out[kBigIntHexBytes];
  if (BigInt_GetByteLength(n) > kBigIntHexMaxBytes) {
    // Larger than ToHex takes: build it from the bytes.
    std::vector<uint8_t> bytes(size_t(BigInt_GetByteLength(n)));
    int written = 0;
    EXPECT_EQ(BigInt_ToBytes(n, bytes.data(), int(bytes.size()), &written), 1);
    std::string s;
    static const char kDigits[] = "0123456789ABCDEF";
    for (uint8_t b : bytes) {
      s += kDigits[b >> 4];
      s += kDigits[b & 15];
    }
    size_t first = s.find_first_not_of('0');
    return (BigInt_Sign(n) < 0 ? "-" : "") + s.substr(first);
  }
  EXPECT_EQ(BigInt_ToHex(n, out), 1);
  std::string s = out;
  size_t first = s.find_first_not_of('0');
  if (first == std::string::npos) return "0";
  return (BigInt_Sign(n) < 0 ? "-" : "") + s.substr(first);
}

// Runs a binary operation twice: into a fresh result, and into the first
// operand itself.
template <typename Op>
void checkBoth(const std::string &a, const std::string &expected, Op op) {
  Num r, in(a);
  op(&r, &in);
  EXPECT_EQ(hexOf(&r), expected) << "fresh result";
  op(&in, &in);
  EXPECT_EQ(hexOf(&in), expected) << "result in the operand";
}

}  // namespace

TEST(BigIntOracle, MatchesPythonInt) {
  std::string text = Test_ReadVectors("bigint.txt");
  ASSERT_FALSE(text.empty());
  std::string seed = text.substr(0, text.find('\n'));
  size_t start = 0;
  int line = 0, rows = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    std::string row = text.substr(start, end - start);
    start = end == std::string::npos ? text.size() : end + 1;
    line++;
    if (row.empty() || row[0] == '#') continue;
    SCOPED_TRACE("bigint.txt line " + std::to_string(line) + " (" + seed + "): " + row.substr(0, 120));
    auto f = Test_SplitTabs(row);
    const std::string &op = f[0];
    rows++;
    if (op == "add" || op == "sub") {
      Num b(f[2]);
      auto fn = op == "add" ? BigInt_Add : BigInt_Sub;
      checkBoth(f[1], f[3], [&](BigInt *r, BigInt *a) { EXPECT_EQ(fn(r, a, &b), 1); });
      // The second operand as the result, and both operands the same value.
      Num a(f[1]), r;
      EXPECT_EQ(fn(&b, &a, &b), 1);
      EXPECT_EQ(hexOf(&b), f[3]);
      EXPECT_EQ(fn(&r, &a, &a), 1);
      Num twice;
      if (op == "add") {
        EXPECT_EQ(BigInt_ShiftLeft(&twice, &a, 1), 1);
      }
      EXPECT_EQ(BigInt_Equals(&r, &twice), 1) << "a op a";
    } else if (op == "cmp") {
      Num a(f[1]), b(f[2]);
      EXPECT_EQ(BigInt_Compare(&a, &b), std::stoi(f[3]));
      EXPECT_EQ(BigInt_Equals(&a, &b), f[3] == "0");
    } else if (op == "shl" || op == "shr") {
      int k = std::stoi(f[2]);
      auto fn = op == "shl" ? BigInt_ShiftLeft : BigInt_ShiftRight;
      checkBoth(f[1], f[3], [&](BigInt *r, BigInt *a) { EXPECT_EQ(fn(r, a, k), 1); });
    } else if (op == "mod") {
      Num m(f[2]);
      checkBoth(f[1], f[3], [&](BigInt *r, BigInt *a) { EXPECT_EQ(BigInt_Mod(r, a, &m), 1); });
    } else if (op == "mulmod") {
      Num b(f[2]), m(f[3]);
      checkBoth(f[1], f[4], [&](BigInt *r, BigInt *a) { EXPECT_EQ(BigInt_MulMod(r, a, &b, &m), 1); });
    } else if (op == "sqrmod") {
      Num m(f[2]);
      checkBoth(f[1], f[3], [&](BigInt *r, BigInt *a) { EXPECT_EQ(BigInt_SquareMod(r, a, &m), 1); });
    } else if (op == "modexp") {
      Num e(f[2]), m(f[3]);
      BigIntModContext *ctx = nullptr;
      ASSERT_EQ(BigInt_ModContextInit(&ctx, &m), 1);
      EXPECT_EQ(BigInt_ModContextGetByteLength(ctx), BigInt_GetByteLength(&m));
      checkBoth(f[1], f[4], [&](BigInt *r, BigInt *b) { EXPECT_EQ(BigInt_ModExp(r, b, &e, ctx), 1); });
      BigInt_ModContextRelease(&ctx);
      EXPECT_EQ(ctx, nullptr);
    } else if (op == "inv") {
      Num m(f[2]);
      bool none = f[3] == "none";
      checkBoth(f[1], none ? "0" : f[3],
                [&](BigInt *r, BigInt *a) { EXPECT_EQ(BigInt_InverseMod(r, a, &m), none ? 0 : 1); });
    } else if (op == "bytes") {
      Num x(f[1]), fromBytes;
      std::vector<uint8_t> raw;
      for (size_t k = 0; k + 1 < f[2].size(); k += 2)
        raw.push_back(uint8_t(std::stoi(f[2].substr(k, 2), nullptr, 16)));
      EXPECT_EQ(BigInt_FromBytes(&fromBytes, raw.data(), int(raw.size())), 1);
      EXPECT_EQ(BigInt_Equals(&fromBytes, &x), 1);
      EXPECT_EQ(BigInt_GetBitLength(&x), std::stoi(f[3]));
      EXPECT_EQ(BigInt_GetByteLength(&x), int(raw.size()));
      std::vector<uint8_t> out(raw.size() + 1);
      int written = -1;
      EXPECT_EQ(BigInt_ToBytes(&x, out.data(), int(out.size()), &written), 1);
      EXPECT_EQ(Test_BytesToHex(out.data(), written), f[2]);
      if (!raw.empty()) {
        EXPECT_EQ(BigInt_ToBytes(&x, out.data(), int(raw.size()) - 1, &written), 0);
        EXPECT_EQ(written, 0);
      }
    } else if (op == "padded") {
      Num x(f[1]);
      int size = std::stoi(f[2]);
      std::vector<uint8_t> out(size_t(size) + 1, 0xEE);
      int ok = BigInt_ToBytesPadded(&x, out.data(), size);
      EXPECT_EQ(ok, f[3] != "none");
      if (ok) {
        EXPECT_EQ(Test_BytesToHex(out.data(), size), f[3]);
      }
      EXPECT_EQ(out[size_t(size)], 0xEE) << "wrote past size";
    } else if (op == "hex") {
      Num x(f[1]);
      char out[kBigIntHexBytes];
      EXPECT_EQ(BigInt_ToHex(&x, out), f[2] != "none");
      EXPECT_EQ(std::string(out), f[2] == "00" || f[2] == "none" ? "" : f[2]);
    } else {
      ADD_FAILURE() << "unknown row";
    }
  }
  EXPECT_GT(rows, 3000);
}

// The cases of a reference list that pin one behaviour each.
TEST(BigInt, ReferenceEdgeCases) {
  Num n;
  const uint8_t one[] = {0, 0, 1};
  ASSERT_EQ(BigInt_FromBytes(&n, one, 3), 1);
  EXPECT_EQ(n.v.Length, 1);
  EXPECT_EQ(n.v.Limbs[0], 1u);
  uint8_t out[4] = {0xEE, 0xEE, 0xEE, 0xEE};
  int written = 0;
  EXPECT_EQ(BigInt_ToBytes(&n, out, 4, &written), 1);
  EXPECT_EQ(written, 1);
  EXPECT_EQ(out[0], 1);
  EXPECT_EQ(BigInt_ToBytesPadded(&n, out, 4), 1);
  EXPECT_EQ(Test_BytesToHex(out, size_t(4)), "00000001");
  EXPECT_EQ(BigInt_ToBytes(&n, out, 0, &written), 0);
  Num zero;
  EXPECT_EQ(BigInt_ToBytes(&zero, nullptr, 0, &written), 1);
  EXPECT_EQ(written, 0);

  Num minus("-ff");
  EXPECT_EQ(BigInt_Sign(&minus), -1);
  EXPECT_EQ(hexOf(&minus), "-FF");
  char hex[kBigIntHexBytes];
  Num ff("FF");
  ASSERT_EQ(BigInt_ToHex(&ff, hex), 1);
  EXPECT_STREQ(hex, "FF");
  ASSERT_EQ(BigInt_ToHex(&zero, hex), 1);
  EXPECT_STREQ(hex, "");

  Num base("123456789"), e("0"), m("D"), r;
  BigIntModContext *ctx = nullptr;
  ASSERT_EQ(BigInt_ModContextInit(&ctx, &m), 1);
  EXPECT_EQ(BigInt_ModExp(&r, &base, &e, ctx), 1);
  EXPECT_EQ(hexOf(&r), "1");
  BigInt_ModContextRelease(&ctx);

  Num three("3"), seven("7");
  EXPECT_EQ(BigInt_InverseMod(&r, &three, &seven), 1);
  EXPECT_EQ(hexOf(&r), "5");

  Num big("100000000"), small("1");
  EXPECT_GT(BigInt_Compare(&big, &small), 0);
  EXPECT_LT(BigInt_Compare(&small, &big), 0);
}

// Values from hostile input (a zero modulus, s = 0 in a signature, a
// negative INTEGER) must answer, never stop the program.
TEST(BigInt, BadOperandsAnswerZero) {
  Num a("1234"), b("-77"), zero, negative("-D"), even("10"), one("1"), r("99");
  EXPECT_EQ(BigInt_Mod(&r, &a, &zero), 0);
  EXPECT_EQ(BigInt_Sign(&r), 0);
  EXPECT_EQ(BigInt_Mod(&r, &a, &negative), 0);
  EXPECT_EQ(BigInt_MulMod(&r, &a, &b, &zero), 0);
  EXPECT_EQ(BigInt_SquareMod(&r, &a, &zero), 0);
  r.set("99");
  EXPECT_EQ(BigInt_InverseMod(&r, &zero, &negative), 0);
  EXPECT_EQ(BigInt_Sign(&r), 0);
  Num thirteen("D");
  EXPECT_EQ(BigInt_InverseMod(&r, &zero, &thirteen), 0) << "no inverse of 0";
  EXPECT_EQ(BigInt_InverseMod(&r, &thirteen, &thirteen), 0) << "no inverse of m";
  EXPECT_EQ(BigInt_InverseMod(&r, &a, &even), 0) << "even modulus";
  EXPECT_EQ(BigInt_InverseMod(&r, &a, &one), 0) << "modulus 1";

  BigIntModContext *ctx = reinterpret_cast<BigIntModContext *>(&a);
  for (BigInt *m : {&zero, &one, &even, &negative}) {
    EXPECT_EQ(BigInt_ModContextInit(&ctx, m), 0);
    EXPECT_EQ(ctx, nullptr);
  }
  ASSERT_EQ(BigInt_ModContextInit(&ctx, &thirteen), 1);
  r.set("99");
  EXPECT_EQ(BigInt_ModExp(&r, &a, &b, ctx), 0) << "negative exponent";
  EXPECT_EQ(BigInt_Sign(&r), 0);
  BigInt_ModContextRelease(&ctx);

  for (BigInt *limit : {&zero, &one, &negative}) {
    r.set("99");
    EXPECT_EQ(BigInt_Random(&r, limit), 0);
    EXPECT_EQ(BigInt_Sign(&r), 0);
  }
}

TEST(BigInt, CompareOrdersSignedValues) {
  struct Row {
    const char *a, *b;
    int expected;
  } rows[] = {
      {"-5", "3", -1}, {"3", "-5", 1}, {"-5", "-3", -1}, {"-3", "-5", 1},
      {"-100000000", "-1", -1}, {"0", "-1", 1}, {"-0", "0", 0}, {"-7", "-7", 0},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(std::string(row.a) + " vs " + row.b);
    Num a(row.a), b(row.b);
    EXPECT_EQ(BigInt_Compare(&a, &b), row.expected);
  }
}

TEST(BigInt, HexTextEdges) {
  struct Row {
    const char *text;
    int result;
    const char *value;
  } rows[] = {
      {"", 0, "0"},          {"-", 0, "0"},         {"xyz", 0, "0"},     {"12g4", 1, "12"},
      {"-0", 1, "0"},        {"0000000000001", 1, "1"}, {"abcDEF", 1, "ABCDEF"},
      {"123456789", 1, "123456789"}, {"-fFfFfFfF0", 1, "-FFFFFFFF0"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.text);
    Num n("77");
    EXPECT_EQ(BigInt_FromHex(&n, row.text), row.result);
    EXPECT_EQ(hexOf(&n), row.value);
  }
  // ToHex takes at most 480 bytes.
  Num n;
  std::vector<uint8_t> bytes(kBigIntHexMaxBytes + 1, 0xA5);
  char out[kBigIntHexBytes];
  ASSERT_EQ(BigInt_FromBytes(&n, bytes.data(), kBigIntHexMaxBytes), 1);
  EXPECT_EQ(BigInt_ToHex(&n, out), 1);
  EXPECT_EQ(strlen(out), size_t(2 * kBigIntHexMaxBytes));
  ASSERT_EQ(BigInt_FromBytes(&n, bytes.data(), kBigIntHexMaxBytes + 1), 1);
  memcpy(out, "junk", 5);
  EXPECT_EQ(BigInt_ToHex(&n, out), 0);
  EXPECT_STREQ(out, "");
}

TEST(BigInt, ShiftCountsOutOfRange) {
  Num a("-1F"), r("5");
  EXPECT_EQ(BigInt_ShiftLeft(&r, &a, -1), 0);
  EXPECT_EQ(BigInt_Sign(&r), 0);
  EXPECT_EQ(BigInt_ShiftRight(&r, &a, -1), 0);
  EXPECT_EQ(BigInt_ShiftLeft(&r, &a, kBigIntMaxBits), 0) << "result too large";
  EXPECT_EQ(BigInt_ShiftRight(&r, &a, 5), 1);
  EXPECT_EQ(BigInt_Sign(&r), 0) << "-31 >> 5 is zero, never negative zero";
  Num zero;
  EXPECT_EQ(BigInt_ShiftLeft(&r, &zero, kBigIntMaxBits), 1);
  EXPECT_EQ(BigInt_ShiftRight(&r, &a, 1 << 30), 1);
  EXPECT_EQ(BigInt_Sign(&r), 0);
}

// Limbs grow in 64-limb steps plus a spare limb, keep the value, and never
// shrink while the value lives.
TEST(BigInt, CapacityGrowsInSteps) {
  struct Row {
    int bytes, capacity;
  } rows[] = {{1, 65}, {256, 65}, {260, 65}, {261, 129}, {512, 129}, {516, 129}, {517, 193}};
  Num n;
  std::vector<uint8_t> data(600, 0x81);
  for (const Row &row : rows) {
    SCOPED_TRACE(row.bytes);
    ASSERT_EQ(BigInt_FromBytes(&n, data.data(), row.bytes), 1);
    EXPECT_EQ(n.v.Capacity, row.capacity);
    EXPECT_EQ(n.v.Length, (row.bytes + 3) / 4);
  }
  BigInt_SetWord(&n, 7);
  EXPECT_EQ(n.v.Capacity, 193);
  EXPECT_EQ(n.v.Length, 1);
  BigInt_FreeLimbs(&n);
  EXPECT_EQ(n.v.Capacity, 0);
  EXPECT_EQ(n.v.Limbs, nullptr);
}

TEST(BigInt, RandomStaysInRange) {
  Num r, two("2"), three("3"), power("1" + std::string(64, '0')), odd("F000000000000000000000001");
  for (int i = 0; i < 20; i++) {
    ASSERT_EQ(BigInt_Random(&r, &two), 1);
    EXPECT_EQ(hexOf(&r), "1");
  }
  bool seen[3] = {false, false, false};
  for (int i = 0; i < 200; i++) {
    ASSERT_EQ(BigInt_Random(&r, &three), 1);
    std::string h = hexOf(&r);
    ASSERT_TRUE(h == "1" || h == "2") << h;
    seen[std::stoi(h)] = true;
  }
  EXPECT_TRUE(seen[1] && seen[2]);
  for (BigInt *limit : {&power, &odd}) {
    int topHalf = 0;
    for (int i = 0; i < 200; i++) {
      ASSERT_EQ(BigInt_Random(&r, limit), 1);
      ASSERT_EQ(BigInt_Sign(&r), 1);
      ASSERT_LT(BigInt_Compare(&r, limit), 0);
      topHalf += BigInt_GetBitLength(&r) >= BigInt_GetBitLength(limit) - 1;
    }
    // Uniform draws have the largest bit length below the limit's about
    // half (power of two) or nearly all (0xF...) of the time.
    EXPECT_GT(topHalf, 50);
  }
  // The limit as the result.
  Num limit("10001");
  ASSERT_EQ(BigInt_Random(&limit, &limit), 1);
  Num bound("10001");
  EXPECT_LT(BigInt_Compare(&limit, &bound), 0);
}

TEST(BigIntDeathTest, NullAndWrongTagStop) {
  Num a("1");
  BigInt bogus;
  memset(static_cast<void *>(&bogus), 0, sizeof bogus);
  bogus.header.classTag = 0x12345678;
  EXPECT_DEATH(BigInt_Add(&a, &a, nullptr), "Pointer is NULL\n");
  EXPECT_DEATH(BigInt_Compare(&a, &bogus),
               "Class mismatch pointer \\(0x[0-9A-Fa-fx]+: expected 0x1ca4d8e2 but was 0x12345678\\)");
  EXPECT_DEATH(BigInt_Create(nullptr), "Pointer is NULL\n");
  BigIntModContext *ctx = reinterpret_cast<BigIntModContext *>(&a);
  EXPECT_DEATH(BigInt_ModExp(&a, &a, &a, ctx),
               "Class mismatch pointer \\(0x[0-9A-Fa-fx]+: expected 0xd64069cf but was 0x1ca4d8e2\\)");
  EXPECT_DEATH(BigInt_ModContextInit(nullptr, &a), "Pointer is NULL\n");
}

TEST(BigInt, HeapValueReleaseClearsPointer) {
  BigInt *n = nullptr;
  ASSERT_EQ(BigInt_Create(&n), 1);
  ASSERT_NE(n, nullptr);
  EXPECT_EQ(BigInt_Sign(n), 0);
  EXPECT_EQ(strlen(n->header.instanceId), 32u);
  ASSERT_EQ(BigInt_FromHex(n, "123456789ABCDEF0123"), 1);
  EXPECT_EQ(BigInt_Release(&n), 1);
  EXPECT_EQ(n, nullptr);
}
