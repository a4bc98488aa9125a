// HashHandle, record lookup, the one-shot helpers, Crc_Compute, hex text and
// the hash macros.
#include "core/security/hash.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/security/hash_test_util.h"

namespace {

std::string oneShotHex(const HashInterface *h, const std::string &text) {
  char out[2 * kHashMaxDigestBytes + 1];
  EXPECT_EQ(Hash_ComputeDigestHex(h, text.data(), int64_t(text.size()), out, sizeof out), 1);
  return out;
}

// ---- HashHandle -------------------------------------------------------------

TEST(Hash, PendingBytesAreFedWhenTheRecordIsBound) {
  HashHandle *hash = nullptr;
  ASSERT_EQ(Hash_Create(&hash), 1);
  std::string data(100, 'q');
  int64_t written = -1;
  ASSERT_EQ(Hash_Update(hash, data.data(), 40, &written), 1);
  EXPECT_EQ(written, 40);
  ASSERT_EQ(Hash_Update(hash, data.data() + 40, 60, nullptr), 1);
  EXPECT_EQ(hash->PendingLength, 100);
  ASSERT_EQ(Hash_SetInterface(hash, &kHashSha256), 1);
  EXPECT_EQ(hash->Pending, nullptr);
  ASSERT_EQ(Hash_Generate(hash), 1);
  char hex[65];
  ASSERT_EQ(Hash_GetDigestHex(hash, hex, sizeof hex), 1);
  EXPECT_EQ(std::string(hex), oneShotHex(&kHashSha256, data));
  Hash_Delete(&hash);
  EXPECT_EQ(hash, nullptr);
}

TEST(Hash, PendingHoldsAtMost4096Bytes) {
  HashHandle *hash = nullptr;
  Hash_Create(&hash);
  std::string data(4097, 'z');
  EXPECT_EQ(Hash_Update(hash, data.data(), 4097, nullptr), 0);
  ASSERT_EQ(Hash_Update(hash, data.data(), 4000, nullptr), 1);
  // Past the limit: refused, and what is held stays.
  EXPECT_EQ(Hash_Update(hash, data.data(), 97, nullptr), 0);
  EXPECT_EQ(hash->PendingLength, 4000);
  EXPECT_EQ(Hash_Update(hash, data.data(), 96, nullptr), 1);
  EXPECT_EQ(Hash_Update(hash, nullptr, 1, nullptr), 0);
  EXPECT_EQ(Hash_Update(hash, nullptr, 0, nullptr), 1);
  Hash_SetInterface(hash, &kHashMd5);
  Hash_Generate(hash);
  char hex[33];
  Hash_GetDigestHex(hash, hex, sizeof hex);
  EXPECT_EQ(std::string(hex), oneShotHex(&kHashMd5, data.substr(0, 4096)));
  Hash_Delete(&hash);
}

TEST(Hash, BindingTheSameRecordRestartsAnotherStartsFresh) {
  HashHandle *hash = nullptr;
  Hash_Create(&hash);
  Hash_SetInterface(hash, &kHashSha1);
  Hash_Update(hash, "garbage", 7, nullptr);
  ASSERT_EQ(Hash_SetInterface(hash, &kHashSha1), 1);
  Hash_Update(hash, "abc", 3, nullptr);
  Hash_Generate(hash);
  char hex[129];
  Hash_GetDigestHex(hash, hex, sizeof hex);
  EXPECT_STREQ(hex, "a9993e364706816aba3e25717850c26c9cd0d89d");

  ASSERT_EQ(Hash_SetInterface(hash, &kHashSha512), 1);
  EXPECT_EQ(Hash_GetDigestSize(hash), 64);
  Hash_Update(hash, "abc", 3, nullptr);
  Hash_Generate(hash);
  Hash_GetDigestHex(hash, hex, sizeof hex);
  EXPECT_EQ(std::string(hex), oneShotHex(&kHashSha512, "abc"));
  const HashInterface *bound = nullptr;
  Hash_GetInterface(hash, &bound);
  EXPECT_EQ(bound, &kHashSha512);
  Hash_Delete(&hash);
}

TEST(Hash, UnboundHandleAnswersZero) {
  HashHandle *hash = nullptr, *other = nullptr;
  Hash_Create(&hash);
  Hash_Create(&other);
  uint8_t out[64];
  char hex[129] = "untouched";
  EXPECT_EQ(Hash_Reset(hash), 0);
  EXPECT_EQ(Hash_Generate(hash), 0);
  EXPECT_EQ(Hash_GetDigest(hash, out, sizeof out), 0);
  EXPECT_EQ(Hash_GetDigestHex(hash, hex, sizeof hex), 0);
  EXPECT_EQ(Hash_GetDigestSize(hash), 0);
  EXPECT_EQ(Hash_CopyState(hash, other), 0);
  // Pending data makes Reset a success: it drops the bytes.
  Hash_Update(hash, "a", 1, nullptr);
  EXPECT_EQ(Hash_Reset(hash), 1);
  EXPECT_EQ(hash->Pending, nullptr);
  // Different records do not copy; the same record does.
  Hash_SetInterface(hash, &kHashMd5);
  Hash_SetInterface(other, &kHashMd4);
  EXPECT_EQ(Hash_CopyState(hash, other), 0);
  Hash_SetInterface(other, &kHashMd5);
  Hash_Update(hash, "abc", 3, nullptr);
  EXPECT_EQ(Hash_CopyState(hash, other), 1);
  Hash_Generate(other);
  Hash_GetDigestHex(other, hex, sizeof hex);
  EXPECT_STREQ(hex, "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(Hash_GetDigestHex(other, hex, 32), 0);
  EXPECT_STREQ(hex, "");
  Hash_Delete(&hash);
  Hash_Delete(&other);
}

// ---- lookup ------------------------------------------------------------------

TEST(Hash, LookupByNameIgnoresAsciiCase) {
  struct Row {
    const char *name;
    const HashInterface *expected;
  };
  const Row rows[] = {
      {"CRC", &kHashCrc},       {"md2", &kHashMd2},       {"Md4", &kHashMd4},
      {"MD5", &kHashMd5},       {"sha1", &kHashSha1},     {"SHA224", &kHashSha224},
      {"sha256", &kHashSha256}, {"Sha384", &kHashSha384}, {"SHA512", &kHashSha512},
      {"SHA-256", nullptr},     {"SHA2", nullptr},        {"", nullptr},
      {"SHA2567", nullptr},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    const HashInterface *h = &kHashMd5;
    EXPECT_EQ(Hash_GetInterfaceByName(row.name, &h), row.expected ? 1 : 0);
    EXPECT_EQ(h, row.expected);
  }
}

TEST(Hash, LookupByOidIsExact) {
  struct Row {
    const char *oid;
    const HashInterface *expected;
  };
  const Row rows[] = {
      {"1.3.6.1.4.1.11591.14.1", &kHashCrc}, {"1.2.840.113549.1.1.2", &kHashMd2},
      {"1.3.14.7.2.3.1", &kHashMd2},         {"1.2.840.113549.1.1.3", &kHashMd4},
      {"1.3.14.3.2.2", &kHashMd4},           {"1.3.14.3.2.4", &kHashMd4},
      {"1.2.840.113549.1.1.4", &kHashMd5},   {"1.3.14.3.2.3", &kHashMd5},
      {"1.2.840.113549.2.5", &kHashMd5},     {"1.2.840.113549.1.1.5", &kHashSha1},
      {"1.2.840.10040.4.3", &kHashSha1},     {"1.3.14.3.2.29", &kHashSha1},
      {"1.3.14.3.2.26", &kHashSha1},         {"1.2.840.10045.4.1", &kHashSha1},
      {"1.2.840.10045.4.3.1", &kHashSha224}, {"1.2.840.113549.1.1.11", &kHashSha256},
      {"2.16.840.1.101.3.4.2.1", &kHashSha256}, {"1.2.840.10045.4.3.2", &kHashSha256},
      {"1.2.840.113549.1.1.12", &kHashSha384}, {"2.16.840.1.101.3.4.2.2", &kHashSha384},
      {"1.2.840.10045.4.3.3", &kHashSha384},  {"1.2.840.113549.1.1.13", &kHashSha512},
      {"2.16.840.1.101.3.4.2.3", &kHashSha512}, {"1.2.840.10045.4.3.4", &kHashSha512},
      // SHA-224 is known only in its ECDSA form; prefixes and suffixes miss.
      {"2.16.840.1.101.3.4.2.4", nullptr},   {"1.3.14.3.2.2 ", nullptr},
      {"1.3.14.3.2", nullptr},               {"SHA1", nullptr},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.oid);
    const HashInterface *h = &kHashMd5;
    EXPECT_EQ(Hash_GetInterfaceByOid(row.oid, &h), row.expected ? 1 : 0);
    EXPECT_EQ(h, row.expected);
  }
}

// ---- hex text -------------------------------------------------------------------

TEST(Hash, BytesToHexSizesAndGrouping) {
  const uint8_t bytes[8] = {0, 1, 2, 3, 4, 5, 6, 7};
  struct Row {
    int32_t count;
    int grouped;
    int32_t size;
    int result;
    const char *text;
  };
  const Row rows[] = {
      {8, 1, 19, 1, "00010203 04050607 "},
      {8, 1, 18, 0, "untouched"},
      {8, 0, 17, 1, "0001020304050607"},
      {8, 0, 16, 0, "untouched"},
      {5, 1, 12, 1, "00010203 04"},
      {3, 1, 7, 1, "000102"},
      {0, 1, 1, 1, ""},
      {-4, 0, 5, 1, ""},
      {0, 0, 0, 0, "untouched"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(std::to_string(row.count) + "/" + std::to_string(row.grouped) + "/" +
                 std::to_string(row.size));
    char out[32] = "untouched";
    EXPECT_EQ(Hash_BytesToHex(bytes, row.count, row.grouped, out, row.size), row.result);
    EXPECT_STREQ(out, row.text);
  }
}

// ---- one-shot helpers --------------------------------------------------------------

TEST(Hash, ComputeDigestReportsTheFailingStep) {
  uint8_t out[32];
  EXPECT_EQ(Hash_ComputeDigest(&kHashSha256, "abc", 3, out, 31), 0);
  EXPECT_EQ(Hash_ComputeDigest(&kHashSha256, "abc", -1, out, 32), 0);
  char hex[64];
  EXPECT_EQ(Hash_ComputeDigestHex(&kHashSha256, "abc", 3, hex, sizeof hex), 0);  // needs 65
}

// UTF-16 text hashes as its UTF-8 form, pairs joined into 4-byte sequences.
TEST(Hash, ComputeDigestUtf16MatchesUtf8) {
  struct Row {
    const char16_t *text;
    int32_t count;
    const char *utf8;  // NULL: refused
  };
  const Row rows[] = {
      {u"abc", 3, "abc"},
      {u"", 0, ""},
      {u"gr\u00fc\u00dfe \u20ac", 7, "gr\xc3\xbc\xc3\x9f" "e \xe2\x82\xac"},
      {u"a\U0001F600b", 4, "a\xf0\x9f\x98\x80" "b"},
      {u"\U0010FFFF", 2, "\xf4\x8f\xbf\xbf"},
      {u"a\xd83d", 2, nullptr},     // high half at the end
      {u"\xde00x", 2, nullptr},     // low half first
      {u"\xd83d\xd83d", 2, nullptr},
      {u"a\U0001F600", 2, nullptr},  // count cuts the pair
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.utf8 ? row.utf8 : "(refused)");
    uint8_t out[kHashUtf16DigestBytes];
    int result = Hash_ComputeDigestUtf16(&kHashSha256, row.text, row.count, out);
    if (row.utf8 == nullptr) {
      EXPECT_EQ(result, 0);
      continue;
    }
    ASSERT_EQ(result, 1);
    EXPECT_EQ(HashTest_ToHex(out, 32), oneShotHex(&kHashSha256, row.utf8));
  }
  // A text longer than the staging buffer, with pairs across its seams.
  std::u16string longText;
  std::string longUtf8;
  for (int i = 0; i < 500; i++) {
    longText += u"x\U0001F600";
    longUtf8 += "x\xf0\x9f\x98\x80";
  }
  uint8_t out[kHashUtf16DigestBytes];
  ASSERT_EQ(Hash_ComputeDigestUtf16(&kHashSha1, longText.data(), int32_t(longText.size()), out), 1);
  EXPECT_EQ(HashTest_ToHex(out, 20), oneShotHex(&kHashSha1, longUtf8));
}

TEST(Hash, CrcComputeFoldsToUpperCase) {
  uint8_t lower[4], upper[4], exact[4];
  ASSERT_EQ(Crc_Compute("abc", 3, 0, lower), 1);
  ASSERT_EQ(Crc_Compute("ABC", 3, 0, upper), 1);
  ASSERT_EQ(Crc_Compute("abc", 3, 1, exact), 1);
  EXPECT_EQ(memcmp(lower, upper, 4), 0);
  EXPECT_EQ(HashTest_ToHex(exact, 4), "352441c2");
  uint8_t untouched[4] = {9, 9, 9, 9};
  EXPECT_EQ(Crc_Compute("", 0, 0, untouched), 0);
  EXPECT_EQ(untouched[0], 9);
  ASSERT_EQ(Crc_Compute("", 0, 1, exact), 1);
  EXPECT_EQ(HashTest_ToHex(exact, 4), "00000000");
  // Against zlib.crc32 of the message, and of its upper-cased bytes, over
  // lengths that cross the 1024-byte folding chunks.
  for (const auto &row : HashTest_ReadLines("digest_random.txt")) {
    std::string msg = HashTest_FromHex(row[1]);
    SCOPED_TRACE("case " + row[0]);
    uint8_t out[4];
    ASSERT_EQ(Crc_Compute(msg.data(), int64_t(msg.size()), 1, out), 1);
    EXPECT_EQ(HashTest_ToHex(out, 4), row[10]);
    if (msg.empty()) continue;
    ASSERT_EQ(Crc_Compute(msg.data(), int64_t(msg.size()), 0, out), 1);
    EXPECT_EQ(HashTest_ToHex(out, 4), row[11]);
  }
}

// ---- macros ---------------------------------------------------------------------

TEST(Hash, MacroHandler) {
  HashTest_RunMacroRows(Hash_MacroHandler, {
      {"SHA1", "abc", 1, "a9993e364706816aba3e25717850c26c9cd0d89d"},
      {"sha1", "abc", 1, "a9993e364706816aba3e25717850c26c9cd0d89d"},
      {"CRC", "abc", 1, "352441c2"},
      {"MD4", "abc", 1, "a448017aaf21d8525fc10ae87aa6729d"},
      {"MD5", "abc", 1, "900150983cd24fb0d6963f7d28e17f72"},
      {"SHA256", "abc", 1, oneShotHex(&kHashSha256, "abc")},
      {"Hash", "MD5,a,b", 1, oneShotHex(&kHashMd5, "a,b")},
      {"hash", "sha384,", 1, oneShotHex(&kHashSha384, "")},
      {"Hash", "MD2,abc", 1, "da853b0d3f88d99b30283a69e6ded6bb"},
      {"MD5", "", 1, ""},
      {"SHA1", nullptr, 1, ""},
      {"Hash", nullptr, 0, ""},
      {"Hash", "", 0, ""},
      {"Hash", "MD5", 1, ""},
      {"Hash", "SHA-1,abc", 1, ""},
      {"SHA512", "abc", 0, ""},  // only through "Hash"
      {"Hashes", "MD5,abc", 0, ""},
  });
}

// ---- fatal paths --------------------------------------------------------------------

int brokenReset(void *) { return 1; }

TEST(HashDeathTest, BadRecordsAndHandlesStop) {
  HashHandle *hash = nullptr;
  Hash_Create(&hash);
  HashInterface noDigest = kHashMd5;
  noDigest.DigestSize = 0;
  EXPECT_DEATH(Hash_SetInterface(hash, &noDigest),
               "Assertion failed \\(Interface->DigestSize != 0\\)\nHash_SetInterface: DigestSize "
               "must not be zero\n");
  HashInterface noGenerate = kHashMd5;
  noGenerate.Generate = nullptr;
  EXPECT_DEATH(Hash_SetInterface(hash, &noGenerate), "Pointer is NULL\n");
  EXPECT_DEATH(Hash_ComputeDigest(&noGenerate, "a", 1, nullptr, 0), "Pointer is NULL\n");
  HashInterface noName = kHashMd5;
  noName.Name = nullptr;
  noName.Reset = brokenReset;
  EXPECT_DEATH(Hash_SetInterface(hash, &noName), "Pointer is NULL\n");
  EXPECT_DEATH(Hash_Update(nullptr, "a", 1, nullptr), "Pointer is NULL\n");
  uint32_t notAHandle[32] = {};
  notAHandle[9] = 0x12345678;  // where the class tag sits
  EXPECT_DEATH(Hash_Generate(reinterpret_cast<HashHandle *>(notAHandle)),
               "Class mismatch pointer \\(.*: expected 0xb3855d8f but was 0x12345678\\)");
  Hash_SetInterface(hash, &kHashSha256);
  uint8_t out[32];
  EXPECT_DEATH(Hash_GetDigest(hash, out, sizeof out),
               "Assertion failed \\(SHA256->DigestReady\\)\nSHA256 must be generated first!");
  Hash_Delete(&hash);
}

}  // namespace
