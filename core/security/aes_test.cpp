// AES: CAVP ECB and CBC files, FIPS 197 appendix C, openssl on 1 MiB
// buffers, CBC in pieces, the partial last block, refused keys and lengths,
// on every kernel path.
#include "core/security/aes.h"

#include <gtest/gtest.h>

#include <random>
#include <thread>

#include "core/security/cipher_test_util.h"
#include "tests/log_capture.h"

namespace {

// A keyed context for one test; released at the end of the scope.
struct AesKeyed {
  AesContext *aes = nullptr;
  explicit AesKeyed(const CipherBytes &key) {
    AES_Create(&aes);
    EXPECT_EQ(AES_SetKey(aes, key.data(), int32_t(key.size())), 1);
  }
  ~AesKeyed() { AES_Release(&aes); }
};

CipherBytes aesCbc(AesContext *aes, CipherBytes iv, const CipherBytes &in, bool encrypt,
                   CipherBytes *ivAfter = nullptr) {
  CipherBytes out(in.size(), 0xee);
  auto call = encrypt ? AES_EncryptCBC : AES_DecryptCBC;
  EXPECT_EQ(call(aes, iv.data(), int32_t(iv.size()), in.data(), out.data(), int64_t(in.size())), 1);
  if (ivAfter) *ivAfter = iv;
  return out;
}

CipherBytes aesEcb(AesContext *aes, const CipherBytes &in, bool encrypt) {
  CipherBytes out(in.size(), 0xee);
  auto call = encrypt ? AES_EncryptECB : AES_DecryptECB;
  EXPECT_EQ(call(aes, in.data(), out.data(), int64_t(in.size())), 1);
  return out;
}

// Runs CBC over the buffer in random whole-block pieces with one IV buffer.
CipherBytes aesCbcPieces(AesContext *aes, CipherBytes iv, const CipherBytes &in, bool encrypt,
                         std::mt19937 &rng) {
  CipherBytes out(in.size());
  size_t blocks = in.size() / 16, done = 0;
  auto call = encrypt ? AES_EncryptCBC : AES_DecryptCBC;
  while (done < blocks) {
    size_t n = std::uniform_int_distribution<size_t>(0, std::min<size_t>(blocks - done, 70))(rng);
    EXPECT_EQ(
        call(aes, iv.data(), 16, in.data() + 16 * done, out.data() + 16 * done, int64_t(16 * n)),
        1);
    done += n;
  }
  return out;
}

class AesPaths : public CipherPathTest {};

TEST_P(AesPaths, CavpEcbAndCbcBothDirectionsAndInPlace) {
  auto rows = HashTest_ReadLines("aes_kat.txt");
  ASSERT_GT(rows.size(), 4000u);
  for (size_t i = 0; i < rows.size(); i++) {
    const auto &row = rows[i];
    SCOPED_TRACE("row " + std::to_string(i) + ": " + row[0] + " key " + row[1]);
    CipherBytes key = CipherTest_Bytes(row[1]), iv = CipherTest_Bytes(row[2]);
    CipherBytes plain = CipherTest_Bytes(row[3]), cipher = CipherTest_Bytes(row[4]);
    AesKeyed k(key);
    if (row[0] == "ECB") {
      EXPECT_EQ(aesEcb(k.aes, plain, true), cipher);
      EXPECT_EQ(aesEcb(k.aes, cipher, false), plain);
      CipherBytes buffer = plain;
      ASSERT_EQ(AES_EncryptECB(k.aes, buffer.data(), buffer.data(), int64_t(buffer.size())), 1);
      EXPECT_EQ(buffer, cipher);
      ASSERT_EQ(AES_DecryptECB(k.aes, buffer.data(), buffer.data(), int64_t(buffer.size())), 1);
      EXPECT_EQ(buffer, plain);
      continue;
    }
    CipherBytes lastBlock(cipher.end() - 16, cipher.end()), ivAfter;
    EXPECT_EQ(aesCbc(k.aes, iv, plain, true, &ivAfter), cipher);
    EXPECT_EQ(ivAfter, lastBlock);
    EXPECT_EQ(aesCbc(k.aes, iv, cipher, false, &ivAfter), plain);
    EXPECT_EQ(ivAfter, lastBlock);
    CipherBytes buffer = cipher, chain = iv;
    ASSERT_EQ(AES_DecryptCBC(k.aes, chain.data(), 16, buffer.data(), buffer.data(),
                             int64_t(buffer.size())),
              1);
    EXPECT_EQ(buffer, plain);
    chain = iv;
    ASSERT_EQ(AES_EncryptCBC(k.aes, chain.data(), 16, buffer.data(), buffer.data(),
                             int64_t(buffer.size())),
              1);
    EXPECT_EQ(buffer, cipher);
  }
}

TEST_P(AesPaths, Fips197AppendixC) {
  struct Row {
    const char *key, *cipher;
  };
  const Row rows[] = {
      {"000102030405060708090a0b0c0d0e0f", "69c4e0d86a7b0430d8cdb78070b4c55a"},
      {"000102030405060708090a0b0c0d0e0f1011121314151617", "dda97ca4864cdfe06eaf70a0ec0d7191"},
      {"000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f",
       "8ea2b7ca516745bfeafc49904b496089"},
  };
  CipherBytes plain = CipherTest_Bytes("00112233445566778899aabbccddeeff");
  for (const Row &row : rows) {
    SCOPED_TRACE(row.key);
    AesKeyed k(CipherTest_Bytes(row.key));
    EXPECT_EQ(CipherTest_Hex(aesEcb(k.aes, plain, true)), row.cipher);
    EXPECT_EQ(aesEcb(k.aes, CipherTest_Bytes(row.cipher), false), plain);
    EXPECT_EQ(k.aes->Rounds, int32_t(strlen(row.key) / 8 + 6));
  }
}

// The storage layer deciphers long pieces in calls of any whole-block size
// with one IV buffer; every split gives the one-call result.
TEST_P(AesPaths, CbcInRandomWholeBlockPiecesMatchesOneCall) {
  std::mt19937 rng(7);
  for (const auto &row : HashTest_ReadLines("aes_kat.txt")) {
    if (row[0] != "CBC" || row[3].size() <= 32) continue;  // the multi-block MMT entries
    SCOPED_TRACE("key " + row[1]);
    AesKeyed k(CipherTest_Bytes(row[1]));
    CipherBytes iv = CipherTest_Bytes(row[2]);
    CipherBytes plain = CipherTest_Bytes(row[3]), cipher = CipherTest_Bytes(row[4]);
    EXPECT_EQ(aesCbcPieces(k.aes, iv, plain, true, rng), cipher);
    EXPECT_EQ(aesCbcPieces(k.aes, iv, cipher, false, rng), plain);
  }
  // 64 bytes in one call equal two calls of 32 bytes.
  AesKeyed k(CipherBytes(32, 0x42));
  CipherBytes iv(16, 0x24), data(64);
  for (size_t i = 0; i < data.size(); i++) data[i] = uint8_t(i * 7);
  CipherBytes whole = aesCbc(k.aes, iv, data, false), halves(64);
  CipherBytes chain = iv;
  AES_DecryptCBC(k.aes, chain.data(), 16, data.data(), halves.data(), 32);
  AES_DecryptCBC(k.aes, chain.data(), 16, data.data() + 32, halves.data() + 32, 32);
  EXPECT_EQ(halves, whole);
}

TEST_P(AesPaths, OpensslAes256CbcOnOneMebibyte) {
  auto rows = HashTest_ReadLines("aes_openssl.txt");
  ASSERT_EQ(rows.size(), 2u);
  std::mt19937 rng(11);
  for (const auto &row : rows) {
    SCOPED_TRACE("openssl computed the " + row[0] + " side");
    AesKeyed k(CipherTest_Bytes(row[1]));
    CipherBytes iv = CipherTest_Bytes(row[2]);
    CipherBytes plain = CipherTest_Bytes(row[3]), cipher = CipherTest_Bytes(row[4]);
    ASSERT_EQ(plain.size(), size_t(1) << 20);
    EXPECT_TRUE(aesCbc(k.aes, iv, plain, true) == cipher);
    EXPECT_TRUE(aesCbc(k.aes, iv, cipher, false) == plain);
    EXPECT_TRUE(aesCbcPieces(k.aes, iv, cipher, false, rng) == plain);
    CipherBytes buffer = cipher, chain = iv;
    AES_DecryptCBC(k.aes, chain.data(), 16, buffer.data(), buffer.data(), int64_t(buffer.size()));
    EXPECT_TRUE(buffer == plain);
  }
}

// A last partial ciphertext block deciphers as if zero-filled; only the
// caller's bytes are written and the zero-filled block chains on.
TEST_P(AesPaths, PartialLastBlockDecryptsZeroFilled) {
  for (const auto &row : HashTest_ReadLines("aes_cbc_partial.txt")) {
    CipherBytes cipher = CipherTest_Bytes(row[2]);
    SCOPED_TRACE("length " + std::to_string(cipher.size()));
    AesKeyed k(CipherTest_Bytes(row[0]));
    CipherBytes iv = CipherTest_Bytes(row[1]);
    CipherBytes out(cipher.size() + 16, 0xee);  // guard bytes after the caller's length
    ASSERT_EQ(
        AES_DecryptCBC(k.aes, iv.data(), 16, cipher.data(), out.data(), int64_t(cipher.size())), 1);
    EXPECT_EQ(CipherTest_Hex(CipherBytes(out.begin(), out.begin() + int64_t(cipher.size()))),
              row[3]);
    EXPECT_EQ(CipherBytes(out.begin() + int64_t(cipher.size()), out.end()), CipherBytes(16, 0xee));
    EXPECT_EQ(CipherTest_Hex(iv), row[4]);
    // In place.
    CipherBytes buffer = cipher;
    iv = CipherTest_Bytes(row[1]);
    AES_DecryptCBC(k.aes, iv.data(), 16, buffer.data(), buffer.data(), int64_t(buffer.size()));
    EXPECT_EQ(CipherTest_Hex(buffer), row[3]);
  }
}

// A key that is not 16, 24 or 32 bytes is refused and leaves the context
// unkeyed: no cipher call on it writes anything.
TEST_P(AesPaths, OtherKeyLengthsAreRefusedAndLeaveTheContextUnkeyed) {
  CipherBytes key(64, 0x5a), iv(16, 1), block(32, 2);
  AesContext *aes = nullptr;
  AES_Create(&aes);
  for (int32_t length : {0, -1, 1, 8, 15, 17, 20, 23, 25, 31, 33, 64}) {
    SCOPED_TRACE(length);
    TestLogCapture log;
    ASSERT_EQ(AES_SetKey(aes, key.data(), 16), 1);
    EXPECT_EQ(AES_SetKey(aes, key.data(), length), 0);
    EXPECT_EQ(aes->Rounds, 0);
    CipherBytes out(32, 0xee), chain = iv;
    EXPECT_EQ(AES_EncryptECB(aes, block.data(), out.data(), 32), 0);
    EXPECT_EQ(AES_DecryptECB(aes, block.data(), out.data(), 32), 0);
    EXPECT_EQ(AES_EncryptCBC(aes, chain.data(), 16, block.data(), out.data(), 32), 0);
    EXPECT_EQ(AES_DecryptCBC(aes, chain.data(), 16, block.data(), out.data(), 32), 0);
    EXPECT_EQ(out, CipherBytes(32, 0xee));
    EXPECT_EQ(chain, iv);
    EXPECT_NE(log.Take().find("Invalid AES key length (" + std::to_string(length) + ")"),
              std::string::npos);
  }
  AES_Release(&aes);
  EXPECT_EQ(aes, nullptr);
}

TEST_P(AesPaths, LengthsThatAreNotWholeBlocks) {
  AesKeyed k(CipherBytes(16, 3));
  CipherBytes in(48, 4), iv(16, 5);
  struct Row {
    int64_t length;
    int ecb, cbcEncrypt;  // results; CBC decryption takes any length
  };
  const Row rows[] = {{0, 1, 1},  {-16, 1, 1}, {1, 0, 0},  {15, 0, 0},
                      {16, 1, 1}, {17, 0, 0},  {47, 0, 0}, {48, 1, 1}};
  for (const Row &row : rows) {
    SCOPED_TRACE(row.length);
    TestLogCapture log;
    CipherBytes out(48, 0xee), chain = iv;
    EXPECT_EQ(AES_EncryptECB(k.aes, in.data(), out.data(), row.length), row.ecb);
    EXPECT_EQ(AES_DecryptECB(k.aes, in.data(), out.data(), row.length), row.ecb);
    EXPECT_EQ(AES_EncryptCBC(k.aes, chain.data(), 16, in.data(), out.data(), row.length),
              row.cbcEncrypt);
    std::string text = log.Take();
    bool refused = row.ecb == 0;
    EXPECT_EQ(text.find("Length must be a multiple of AES_BLOCKSIZE") != std::string::npos,
              refused);
    if (refused || row.length <= 0) {
      EXPECT_EQ(out, CipherBytes(48, 0xee));
      EXPECT_EQ(chain, iv);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Kernels, AesPaths, testing::ValuesIn(kCipherKernelPaths),
                         CipherTest_PathName);

TEST(Aes, KernelFollowsTheFeatureOverride) {
  {
    CipherKernelScope portable(0);
    EXPECT_STREQ(AES_KernelName(), "portable");
  }
  uint32_t needs = kCpuFeatureAes | kCpuFeatureSsse3 | kCpuFeatureSse41;
  EXPECT_STREQ(AES_KernelName(), (CpuFeatures_Detected() & needs) == needs ? "aes-ni" : "portable");
}

// Many threads key and use fresh contexts on the portable path at once: the
// shared tables are built exactly once and only read afterwards.
TEST(AesThreaded, PortableTablesOnFirstUseFromManyThreads) {
  CipherKernelScope portable(0);
  CipherBytes key = CipherTest_Bytes("000102030405060708090a0b0c0d0e0f");
  CipherBytes plain = CipherTest_Bytes("00112233445566778899aabbccddeeff");
  std::vector<std::thread> threads;
  std::vector<std::string> results(8);
  for (size_t t = 0; t < results.size(); t++)
    threads.emplace_back([&, t] {
      AesContext *aes = nullptr;
      AES_Create(&aes);
      AES_SetKey(aes, key.data(), 16);
      uint8_t out[16];
      AES_EncryptECB(aes, plain.data(), out, 16);
      results[t] = HashTest_ToHex(out, 16);
      AES_Release(&aes);
    });
  for (std::thread &t : threads) t.join();
  for (const std::string &r : results) EXPECT_EQ(r, "69c4e0d86a7b0430d8cdb78070b4c55a");
}

TEST(AesDeathTest, ShortIvAndBadContextsStop) {
  AesContext *aes = nullptr;
  AES_Create(&aes);
  AES_SetKey(aes, CipherBytes(16, 1).data(), 16);
  uint8_t iv[16] = {}, data[16] = {};
  EXPECT_DEATH(AES_EncryptCBC(aes, iv, 15, data, data, 16),
               "Assertion failed \\(IVLength >= AES_BLOCKSIZE\\)\nInitialization vector too small "
               "for AES \\(16:15\\)");
  EXPECT_DEATH(AES_DecryptCBC(aes, iv, 0, data, data, 16),
               "Initialization vector too small for AES \\(16:0\\)");
  EXPECT_DEATH(AES_DecryptCBC(aes, nullptr, 16, data, data, 16), "Pointer is NULL\n");
  EXPECT_DEATH(AES_EncryptECB(nullptr, data, data, 16), "Pointer is NULL\n");
  EXPECT_DEATH(AES_EncryptECB(aes, nullptr, data, 16), "Pointer is NULL\n");
  EXPECT_DEATH(AES_Create(nullptr), "Pointer is NULL\n");
  uint32_t notAContext[32] = {};
  notAContext[9] = 0x12345678;  // where the class tag sits
  EXPECT_DEATH(AES_SetKey(reinterpret_cast<AesContext *>(notAContext), data, 16),
               "Class mismatch pointer \\(.*: expected 0x505c4ff2 but was 0x12345678\\)");
  AES_Release(&aes);
}

}  // namespace
