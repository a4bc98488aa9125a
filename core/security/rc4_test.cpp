// RC4: the RFC 6229 key streams, keys up to 255 bytes against pycryptodome,
// Python cryptography and openssl, and the key rules.
#include "core/security/rc4.h"

#include <gtest/gtest.h>

#include <random>

#include "core/security/cipher_test_util.h"
#include "tests/log_capture.h"

namespace {

struct Rc4Keyed {
  Rc4Context *rc4 = nullptr;
  explicit Rc4Keyed(const CipherBytes &key) {
    Rc4_Create(&rc4);
    EXPECT_EQ(Rc4_SetKey(rc4, key.data(), int32_t(key.size())), 1);
  }
  ~Rc4Keyed() { Rc4_Release(&rc4); }
};

TEST(Rc4, Rfc6229KeyStreams) {
  auto rows = HashTest_ReadLines("rc4_kat.txt");
  ASSERT_EQ(rows.size(), 252u);
  for (const auto &row : rows) {
    SCOPED_TRACE("key " + row[0] + " offset " + row[1]);
    Rc4Keyed k(CipherTest_Bytes(row[0]));
    size_t offset = std::stoul(row[1]);
    CipherBytes stream(offset + 16, 0);
    ASSERT_EQ(Rc4_Crypt(k.rc4, stream.data(), stream.data(), int64_t(stream.size())), 1);
    EXPECT_EQ(CipherTest_Hex(CipherBytes(stream.begin() + int64_t(offset), stream.end())), row[2]);
  }
}

// Whole, in random pieces, in place; then deciphering restores the text.
TEST(Rc4, MatchesPeersWholeInPiecesAndInPlace) {
  std::mt19937 rng(6229);
  SCOPED_TRACE("piece seed 6229");
  for (const auto &row : HashTest_ReadLines("rc4_random.txt")) {
    CipherBytes key = CipherTest_Bytes(row[1]);
    CipherBytes plain = CipherTest_Bytes(row[2]), cipher = CipherTest_Bytes(row[3]);
    SCOPED_TRACE(row[0] + ", key of " + std::to_string(key.size()) + " bytes");
    Rc4Keyed k(key);
    CipherBytes out(plain.size());
    ASSERT_EQ(Rc4_Crypt(k.rc4, plain.data(), out.data(), int64_t(plain.size())), 1);
    EXPECT_EQ(out, cipher);
    ASSERT_EQ(Rc4_SetKey(k.rc4, key.data(), int32_t(key.size())), 1);  // restarts the stream
    CipherBytes buffer = cipher;
    for (size_t done = 0; done < buffer.size();) {
      size_t n = std::min(buffer.size() - done, std::uniform_int_distribution<size_t>(0, 200)(rng));
      ASSERT_EQ(Rc4_Crypt(k.rc4, buffer.data() + done, buffer.data() + done, int64_t(n)), 1);
      done += n;
    }
    EXPECT_EQ(buffer, plain);
  }
}

TEST(Rc4, KeyRulesAndEmptyCalls) {
  Rc4Context *rc4 = nullptr;
  Rc4_Create(&rc4);
  for (int i = 0; i < 256; i++) ASSERT_EQ(rc4->State[i], i);  // identity until keyed
  CipherBytes key(255, 0x33), data(8, 0x44), out(8, 0xee);
  ASSERT_EQ(Rc4_SetKey(rc4, key.data(), 255), 1);
  EXPECT_EQ(rc4->KeyLength, 255);
  // Lengths of 0 or less neither write nor move the key stream.
  EXPECT_EQ(Rc4_Crypt(rc4, data.data(), out.data(), 0), 1);
  EXPECT_EQ(Rc4_Crypt(rc4, data.data(), out.data(), -3), 1);
  EXPECT_EQ(out, CipherBytes(8, 0xee));
  EXPECT_EQ(rc4->X, 0);
  for (int32_t length : {0, -1}) {
    SCOPED_TRACE(length);
    TestLogCapture log;
    EXPECT_EQ(Rc4_SetKey(rc4, key.data(), length), 0);
    EXPECT_NE(log.Take().find("RC4 key must not be empty"), std::string::npos);
    EXPECT_EQ(rc4->KeyLength, 0);
    for (int i = 0; i < 256; i++) ASSERT_EQ(rc4->State[i], i);
  }
  Rc4_Release(&rc4);
  EXPECT_EQ(rc4, nullptr);
}

TEST(Rc4DeathTest, LongKeysAndBadContextsStop) {
  Rc4Context *rc4 = nullptr;
  Rc4_Create(&rc4);
  CipherBytes key(1000, 1);
  EXPECT_DEATH(Rc4_SetKey(rc4, key.data(), 256), "Key length too long \\(256 > 256\\)\n");
  EXPECT_DEATH(Rc4_SetKey(rc4, key.data(), 1000), "Key length too long \\(1000 > 256\\)\n");
  EXPECT_DEATH(Rc4_SetKey(rc4, nullptr, 5), "Pointer is NULL\n");
  EXPECT_DEATH(Rc4_Crypt(nullptr, key.data(), key.data(), 5), "Pointer is NULL\n");
  uint32_t notAContext[32] = {};
  notAContext[9] = 0x12345678;  // where the class tag sits
  EXPECT_DEATH(Rc4_Crypt(reinterpret_cast<Rc4Context *>(notAContext), key.data(), key.data(), 1),
               "Class mismatch pointer \\(.*: expected 0x4d6f4aaa but was 0x12345678\\)");
  Rc4_Release(&rc4);
}

}  // namespace
