// AES-GCM: CAVP encryption and decryption files (IVs of 1, 12 and 128 bytes,
// tags of 4-16 bytes compared with the start of the whole tag, FAIL entries
// refused through the constant-time comparison), the differential against Python cryptography in whole-block
// pieces, and the message rules, on every kernel path.
#include "core/security/aesgcm.h"

#include <gtest/gtest.h>

#include <random>

#include "core/security/cipher_test_util.h"
#include "core/security/cryptsymmetric.h"
#include "tests/log_capture.h"

namespace {

struct GcmKeyed {
  AesGcmContext *gcm = nullptr;
  explicit GcmKeyed(const CipherBytes &key) {
    AesGcm_Create(&gcm);
    EXPECT_EQ(AesGcm_SetKey(gcm, key.data(), int32_t(key.size())), 1);
  }
  ~GcmKeyed() { AesGcm_Release(&gcm); }
};

struct GcmCase {
  CipherBytes key, iv, aad, plain, cipher, tag;
};

// One message: SetAAD, the IV call with the first piece, further pieces of
// whole blocks (the last may be partial), then the tag.
struct GcmResult {
  CipherBytes out, tag;
};

GcmResult gcmRun(AesGcmContext *gcm, const GcmCase &c, bool encrypt,
                 const std::vector<size_t> &pieces, bool inPlace) {
  const CipherBytes &in = encrypt ? c.plain : c.cipher;
  GcmResult r{inPlace ? in : CipherBytes(in.size(), 0xee), CipherBytes(kAesGcmTagBytes)};
  const uint8_t *src = inPlace ? r.out.data() : in.data();
  EXPECT_EQ(AesGcm_SetAAD(gcm, c.aad.data(), int32_t(c.aad.size())), 1);
  auto first = encrypt ? AesGcm_EncryptIV : AesGcm_DecryptIV;
  auto next = encrypt ? AesGcm_Encrypt : AesGcm_Decrypt;
  size_t done = 0;
  for (size_t i = 0; i < pieces.size(); i++) {
    int result = i == 0 ? first(gcm, c.iv.data(), int32_t(c.iv.size()), src, r.out.data(),
                                int64_t(pieces[0]))
                        : next(gcm, src + done, r.out.data() + done, int64_t(pieces[i]));
    EXPECT_EQ(result, 1) << "piece " << i;
    done += pieces[i];
  }
  EXPECT_EQ(done, in.size());
  EXPECT_EQ(AesGcm_GetAuthTag(gcm, r.tag.data(), kAesGcmTagBytes), 1);
  r.tag.resize(c.tag.size());  // shorter tags are the start of the whole one
  return r;
}

// Random whole-block pieces; the first may be empty (the IV call with no data).
std::vector<size_t> gcmPieces(size_t length, std::mt19937 &rng) {
  std::vector<size_t> pieces;
  size_t left = length;
  do {
    size_t blocks = std::uniform_int_distribution<size_t>(0, 80)(rng);
    size_t n = std::min(left, 16 * blocks);
    pieces.push_back(n);
    left -= n;
  } while (left > 0);
  return pieces;
}

class GcmPaths : public CipherPathTest {};

TEST_P(GcmPaths, CavpEncryptAndDecryptFilesFailEntriesRefused) {
  auto rows = HashTest_ReadLines("gcm_kat.txt");
  ASSERT_EQ(rows.size(), 47250u);
  size_t failures = 0;
  std::map<size_t, size_t> ivLengths, tagLengths;
  for (size_t i = 0; i < rows.size(); i++) {
    const auto &row = rows[i];
    SCOPED_TRACE("row " + std::to_string(i) + " key " + row[0] + " iv " + row[1]);
    GcmCase c{CipherTest_Bytes(row[0]), CipherTest_Bytes(row[1]), CipherTest_Bytes(row[3]),
              CipherTest_Bytes(row[2]), CipherTest_Bytes(row[4]), CipherTest_Bytes(row[5])};
    ivLengths[c.iv.size()]++;
    tagLengths[c.tag.size()]++;
    GcmKeyed k(c.key);
    GcmResult opened = gcmRun(k.gcm, c, false, {c.cipher.size()}, false);
    int accepted = Crypt_ConstantTimeEqual(opened.tag.data(), c.tag.data(), int64_t(c.tag.size()));
    if (row[6] == "fail") {
      EXPECT_EQ(accepted, 0);
      failures++;
      continue;
    }
    EXPECT_EQ(accepted, 1);
    EXPECT_EQ(opened.out, c.plain);
    GcmResult sealed = gcmRun(k.gcm, c, true, {c.plain.size()}, false);
    EXPECT_EQ(sealed.out, c.cipher);
    EXPECT_EQ(sealed.tag, c.tag);
  }
  EXPECT_GT(failures, 1000u);
  EXPECT_GT(ivLengths[1], 0u);
  EXPECT_GT(ivLengths[12], 0u);
  EXPECT_GT(ivLengths[128], 0u);
  EXPECT_GT(tagLengths[4], 0u);
  EXPECT_GT(tagLengths[16], 0u);
}

TEST_P(GcmPaths, MatchesPythonCryptographyInWholeBlockPieces) {
  std::mt19937 rng(20240611);
  SCOPED_TRACE("piece seed 20240611");
  auto rows = HashTest_ReadLines("gcm_random.txt");
  ASSERT_GT(rows.size(), 30u);
  for (size_t i = 0; i < rows.size(); i++) {
    const auto &row = rows[i];
    GcmCase c{CipherTest_Bytes(row[0]), CipherTest_Bytes(row[1]), CipherTest_Bytes(row[2]),
              CipherTest_Bytes(row[3]), CipherTest_Bytes(row[4]), CipherTest_Bytes(row[5])};
    SCOPED_TRACE("row " + std::to_string(i) + ": iv " + std::to_string(c.iv.size()) + ", aad " +
                 std::to_string(c.aad.size()) + ", data " + std::to_string(c.plain.size()));
    GcmKeyed k(c.key);
    bool inPlace = i % 2 == 1;
    GcmResult sealed = gcmRun(k.gcm, c, true, gcmPieces(c.plain.size(), rng), inPlace);
    EXPECT_TRUE(sealed.out == c.cipher);
    EXPECT_EQ(sealed.tag, c.tag);
    GcmResult opened = gcmRun(k.gcm, c, false, gcmPieces(c.cipher.size(), rng), !inPlace);
    EXPECT_TRUE(opened.out == c.plain);
    EXPECT_EQ(opened.tag, c.tag);
  }
}

// After a piece that is not whole blocks the message takes no more data: a
// further piece would start a fresh counter block and give wrong bytes.
TEST_P(GcmPaths, DataAfterAPartialPieceIsRefused) {
  GcmKeyed k(CipherBytes(16, 9));
  CipherBytes iv(12, 1), data(64, 2), out(64, 0xee);
  TestLogCapture log;
  ASSERT_EQ(AesGcm_EncryptIV(k.gcm, iv.data(), 12, data.data(), out.data(), 20), 1);
  CipherBytes before = out;
  EXPECT_EQ(AesGcm_Encrypt(k.gcm, data.data(), out.data() + 20, 16), 0);
  EXPECT_EQ(AesGcm_Decrypt(k.gcm, data.data(), out.data() + 20, 16), 0);
  EXPECT_EQ(AesGcm_Encrypt(k.gcm, data.data(), out.data() + 20, 0), 0);
  EXPECT_EQ(out, before);
  EXPECT_NE(log.Take().find("AES-GCM data after a partial block"), std::string::npos);
  // The tag is that of the 20 bytes, and the next message starts as usual.
  CipherBytes tag(16), expected(16), next(12, 2);
  ASSERT_EQ(AesGcm_GetAuthTag(k.gcm, tag.data(), 16), 1);
  GcmKeyed other(CipherBytes(16, 9));
  AesGcm_EncryptIV(other.gcm, iv.data(), 12, data.data(), out.data(), 20);
  AesGcm_GetAuthTag(other.gcm, expected.data(), 16);
  EXPECT_EQ(tag, expected);
  EXPECT_EQ(AesGcm_SetAAD(k.gcm, nullptr, 0), 1);
  EXPECT_EQ(AesGcm_EncryptIV(k.gcm, next.data(), 12, data.data(), out.data(), 32), 1);
  EXPECT_EQ(AesGcm_Encrypt(k.gcm, data.data(), out.data() + 32, 32), 1);
}

// What a context answers outside one well-formed message.
TEST_P(GcmPaths, CallsOutsideAMessage) {
  AesGcmContext *gcm = nullptr;
  AesGcm_Create(&gcm);
  CipherBytes key(32, 7), iv(12, 1), data(32, 2), out(32, 0xee), tag(16, 0xee);
  TestLogCapture log;
  // Unkeyed, and after a refused key.
  for (int32_t keyLength : {-1, 0, 15, 20, 33}) {
    SCOPED_TRACE(keyLength);
    if (keyLength != -1) {
      ASSERT_EQ(AesGcm_SetKey(gcm, key.data(), 32), 1);
      EXPECT_EQ(AesGcm_SetKey(gcm, key.data(), keyLength), 0);
    }
    EXPECT_EQ(gcm->State, kAesGcmUnkeyed);
    EXPECT_EQ(AesGcm_SetAAD(gcm, data.data(), 13), 0);
    EXPECT_EQ(AesGcm_EncryptIV(gcm, iv.data(), 12, data.data(), out.data(), 32), 0);
    EXPECT_EQ(AesGcm_DecryptIV(gcm, iv.data(), 12, data.data(), out.data(), 32), 0);
    EXPECT_EQ(AesGcm_Encrypt(gcm, data.data(), out.data(), 32), 0);
    EXPECT_EQ(AesGcm_GetAuthTag(gcm, tag.data(), 16), 0);
  }
  ASSERT_EQ(AesGcm_SetKey(gcm, key.data(), 32), 1);
  // No message yet; SetAAD alone is no message either.
  EXPECT_EQ(AesGcm_Encrypt(gcm, data.data(), out.data(), 32), 0);
  EXPECT_EQ(AesGcm_GetAuthTag(gcm, tag.data(), 16), 0);
  EXPECT_EQ(AesGcm_SetAAD(gcm, data.data(), -1), 0);
  EXPECT_EQ(AesGcm_SetAAD(gcm, data.data(), 13), 1);
  EXPECT_EQ(AesGcm_Decrypt(gcm, data.data(), out.data(), 32), 0);
  // SP 800-38D needs an IV of one byte at least.
  EXPECT_EQ(AesGcm_EncryptIV(gcm, iv.data(), 0, data.data(), out.data(), 32), 0);
  EXPECT_EQ(AesGcm_DecryptIV(gcm, iv.data(), -5, data.data(), out.data(), 32), 0);
  EXPECT_EQ(out, CipherBytes(32, 0xee));
  EXPECT_EQ(tag, CipherBytes(16, 0xee));
  std::string text = log.Take();
  EXPECT_NE(text.find("AES-GCM context has no key"), std::string::npos);
  EXPECT_NE(text.find("AES-GCM IV must not be empty"), std::string::npos);
  EXPECT_NE(text.find("AES-GCM data without a running message"), std::string::npos);
  AesGcm_Release(&gcm);
}

TEST_P(GcmPaths, TagLengthsRepeatsAndMissingAad) {
  GcmKeyed k(CipherBytes(16, 3));
  CipherBytes iv(12, 4), data(40, 5), out(40), full(16), aadFree(16);
  ASSERT_EQ(AesGcm_SetAAD(k.gcm, nullptr, 0), 1);
  ASSERT_EQ(AesGcm_EncryptIV(k.gcm, iv.data(), 12, data.data(), out.data(), 40), 1);
  ASSERT_EQ(AesGcm_GetAuthTag(k.gcm, full.data(), 16), 1);
  // The first tag closes the message; later calls give it again, cut or not.
  CipherBytes again(20, 0xee), cut(16, 0xee);
  EXPECT_EQ(AesGcm_GetAuthTag(k.gcm, again.data(), 20), 1);
  EXPECT_EQ(CipherBytes(again.begin(), again.begin() + 16), full);
  EXPECT_EQ(CipherBytes(again.begin() + 16, again.end()), CipherBytes(4, 0xee));
  EXPECT_EQ(AesGcm_GetAuthTag(k.gcm, cut.data(), 12), 1);
  EXPECT_EQ(CipherBytes(cut.begin(), cut.begin() + 12), CipherBytes(full.begin(), full.begin() + 12));
  EXPECT_EQ(cut[12], 0xee);
  EXPECT_EQ(AesGcm_Encrypt(k.gcm, data.data(), out.data(), 16), 0);
  // A message without SetAAD has empty additional data, whatever came before.
  GcmKeyed second(CipherBytes(16, 3)), third(CipherBytes(16, 3));
  ASSERT_EQ(AesGcm_SetAAD(second.gcm, data.data(), 13), 1);
  ASSERT_EQ(AesGcm_EncryptIV(second.gcm, iv.data(), 12, data.data(), out.data(), 40), 1);
  AesGcm_GetAuthTag(second.gcm, aadFree.data(), 16);
  ASSERT_NE(aadFree, full);
  ASSERT_EQ(AesGcm_EncryptIV(third.gcm, iv.data(), 12, data.data(), out.data(), 40), 1);
  AesGcm_GetAuthTag(third.gcm, aadFree.data(), 16);
  EXPECT_EQ(aadFree, full);
}

// What a caller gets wrong is refused and logged, with nothing written: a
// negative length, a tag shorter than 96 bits, and a second message under the
// IV and key of the one before, which would reuse the key stream.
TEST_P(GcmPaths, RefusesNegativeLengthsShortTagsAndRepeatedIvs) {
  CipherBytes key(16, 3), data(40, 5), out(40, 0xee), tag(16, 0xee);
  CipherBytes iv12(12, 4), iv7(7, 4), iv12b(12, 6);
  TestLogCapture log;
  {
    GcmKeyed k(key);
    EXPECT_EQ(AesGcm_EncryptIV(k.gcm, iv12.data(), 12, data.data(), out.data(), -1), 0);
    EXPECT_EQ(AesGcm_DecryptIV(k.gcm, iv12.data(), 12, data.data(), out.data(), -16), 0);
    ASSERT_EQ(AesGcm_EncryptIV(k.gcm, iv12.data(), 12, data.data(), out.data(), 0), 1);
    EXPECT_EQ(AesGcm_Encrypt(k.gcm, data.data(), out.data(), -1), 0);
    EXPECT_EQ(AesGcm_Decrypt(k.gcm, data.data(), out.data(), -1), 0);
    EXPECT_EQ(out, CipherBytes(40, 0xee));
    for (int32_t length : {-1, 0, 1, 4, 8, 11}) {
      SCOPED_TRACE(length);
      EXPECT_EQ(AesGcm_GetAuthTag(k.gcm, tag.data(), length), 0);
      EXPECT_EQ(tag, CipherBytes(16, 0xee));
    }
    EXPECT_EQ(AesGcm_GetAuthTag(k.gcm, tag.data(), 12), 1);
  }
  std::string text = log.Take();
  EXPECT_NE(text.find("AES-GCM negative length (-1)"), std::string::npos) << text;
  EXPECT_NE(text.find("AES-GCM tag shorter than 12 bytes (11)"), std::string::npos) << text;
  // Repeated IVs, of the 12-byte form and of the GHASH form.
  for (const CipherBytes *iv : {&iv12, &iv7}) {
    SCOPED_TRACE(iv->size());
    GcmKeyed k(key);
    int32_t n = int32_t(iv->size());
    TestLogCapture repeated;
    ASSERT_EQ(AesGcm_EncryptIV(k.gcm, iv->data(), n, data.data(), out.data(), 40), 1);
    CipherBytes first = out;
    out.assign(40, 0xee);
    EXPECT_EQ(AesGcm_EncryptIV(k.gcm, iv->data(), n, data.data(), out.data(), 40), 0);
    EXPECT_EQ(out, CipherBytes(40, 0xee));
    // Keying again with the same key does not clear it; deciphering may repeat.
    ASSERT_EQ(AesGcm_SetKey(k.gcm, key.data(), 16), 1);
    EXPECT_EQ(AesGcm_EncryptIV(k.gcm, iv->data(), n, data.data(), out.data(), 40), 0);
    EXPECT_EQ(AesGcm_DecryptIV(k.gcm, iv->data(), n, first.data(), out.data(), 40), 1);
    EXPECT_EQ(AesGcm_DecryptIV(k.gcm, iv->data(), n, first.data(), out.data(), 40), 1);
    EXPECT_EQ(out, data);
    EXPECT_NE(repeated.Take().find("AES-GCM IV repeated under the same key"), std::string::npos);
    // Another IV, or the same IV under another key, goes through.
    EXPECT_EQ(AesGcm_EncryptIV(k.gcm, iv12b.data(), 12, data.data(), out.data(), 40), 1);
    ASSERT_EQ(AesGcm_SetKey(k.gcm, CipherBytes(16, 8).data(), 16), 1);
    EXPECT_EQ(AesGcm_EncryptIV(k.gcm, iv12b.data(), 12, data.data(), out.data(), 40), 1);
  }
}

INSTANTIATE_TEST_SUITE_P(Kernels, GcmPaths, testing::ValuesIn(kCipherKernelPaths),
                         CipherTest_PathName);

TEST(AesGcm, KernelFollowsTheFeatureOverride) {
  {
    CipherKernelScope portable(0);
    EXPECT_STREQ(AesGcm_KernelName(), "portable");
  }
  uint32_t detected = CpuFeatures_Detected();
  uint32_t wide = kCipherAesNiFeatures | kCpuFeatureAvx2 | kCpuFeatureVaes | kCpuFeatureVpclmul;
  const char *expected = (detected & wide) == wide                                   ? "vaes"
                         : (detected & kCipherAesNiFeatures) == kCipherAesNiFeatures ? "pclmul"
                                                                                     : "portable";
  EXPECT_STREQ(AesGcm_KernelName(), expected);
}

TEST(AesGcmDeathTest, BadPointersStop) {
  AesGcmContext *gcm = nullptr;
  AesGcm_Create(&gcm);
  uint8_t key[16] = {}, data[16] = {};
  AesGcm_SetKey(gcm, key, 16);
  EXPECT_DEATH(AesGcm_SetAAD(gcm, nullptr, 13), "Pointer is NULL\n");
  EXPECT_DEATH(AesGcm_EncryptIV(gcm, nullptr, 12, data, data, 16), "Pointer is NULL\n");
  EXPECT_DEATH(AesGcm_GetAuthTag(nullptr, data, 16), "Pointer is NULL\n");
  uint32_t notAContext[32] = {};
  notAContext[9] = 0x505c4ff2;  // an AES context is not a GCM context
  EXPECT_DEATH(AesGcm_Encrypt(reinterpret_cast<AesGcmContext *>(notAContext), data, data, 16),
               "Class mismatch pointer \\(.*: expected 0x11ee79d4 but was 0x505c4ff2\\)");
  AesGcm_Release(&gcm);
}

}  // namespace
