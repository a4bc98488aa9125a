// The nine digest algorithms: published vectors fed whole, byte by byte and in
// random chunks on every kernel path, the CAVP Monte chains, a differential
// run against Python's hashlib, zlib and pycryptodome, and the 600 MiB
// bit-count carry of MD4 and MD5.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "core/security/hash_algorithms.h"
#include "core/security/hash_test_util.h"

namespace {

// A context in test memory, as the one-shot helpers place theirs.
class StackContext {
 public:
  explicit StackContext(const HashInterface *h) : h_(h) {
    EXPECT_LE(h->ContextSize(), int32_t(sizeof storage_));
    h_->InitInPlace(storage_);
  }
  ~StackContext() { h_->UninitInPlace(storage_); }
  void *get() { return storage_; }
  std::string hex() {
    uint8_t digest[kHashMaxDigestBytes];
    EXPECT_EQ(h_->Generate(storage_), 1);
    EXPECT_EQ(h_->GetDigest(storage_, digest, sizeof digest), 1);
    return HashTest_ToHex(digest, size_t(h_->DigestSize));
  }

 private:
  const HashInterface *h_;
  alignas(16) uint8_t storage_[512];
};

std::string digestWhole(const HashInterface *h, const std::string &msg) {
  uint8_t digest[kHashMaxDigestBytes];
  EXPECT_EQ(Hash_ComputeDigest(h, msg.data(), int64_t(msg.size()), digest, sizeof digest), 1);
  return HashTest_ToHex(digest, size_t(h->DigestSize));
}

std::string digestBytewise(const HashInterface *h, const std::string &msg) {
  StackContext c(h);
  for (char byte : msg) h->Update(c.get(), &byte, 1);
  return c.hex();
}

// Chunks of 0 to 3 blocks and a bit, so heads, whole blocks and tails all mix.
std::string digestChunks(const HashInterface *h, const std::string &msg, std::mt19937 &rng) {
  StackContext c(h);
  std::uniform_int_distribution<size_t> chunk(0, 3 * size_t(h->BlockSize) + 7);
  for (size_t at = 0; at < msg.size();) {
    size_t n = std::min(chunk(rng), msg.size() - at);
    EXPECT_EQ(h->Update(c.get(), msg.data() + at, int64_t(n)), 1);
    at += n;
  }
  return c.hex();
}

// ---- published vectors on every kernel path ----------------------------------

class HashAlgorithmPaths : public HashPathTest {};

TEST_P(HashAlgorithmPaths, PublishedVectorsWholeBytewiseAndChunked) {
  uint32_t seed = 1319;
  std::mt19937 rng(seed);
  int rows = 0;
  for (const auto &row : HashTest_ReadLines("digest_kat.txt")) {
    ASSERT_EQ(row.size(), 3u);
    const HashInterface *h = HashTest_Record(row[0]);
    std::string msg = HashTest_FromHex(row[1]);
    SCOPED_TRACE(row[0] + " length " + std::to_string(msg.size()) + " seed " + std::to_string(seed));
    EXPECT_EQ(digestWhole(h, msg), row[2]);
    EXPECT_EQ(digestBytewise(h, msg), row[2]);
    EXPECT_EQ(digestChunks(h, msg, rng), row[2]);
    rows++;
  }
  EXPECT_GT(rows, 900);  // CAVP short and long messages of five algorithms, the RFC suites
}

// The CAVP Monte chain: each digest hashes the three before it, 1000 times
// per checkpoint, 100 checkpoints.
TEST_P(HashAlgorithmPaths, CavpMonteChains) {
  auto lines = HashTest_ReadLines("digest_monte.txt");
  ASSERT_EQ(lines.size(), 5u);
  for (const auto &row : lines) {
    ASSERT_EQ(row.size(), 102u);
    const HashInterface *h = HashTest_Record(row[0]);
    SCOPED_TRACE(row[0]);
    const size_t n = size_t(h->DigestSize);
    std::string seed = HashTest_FromHex(row[1]);
    for (int j = 0; j < 100; j++) {
      std::string md[3] = {seed, seed, seed};
      for (int i = 3; i < 1003; i++) {
        std::string m = md[0] + md[1] + md[2];
        uint8_t digest[kHashMaxDigestBytes];
        ASSERT_EQ(Hash_ComputeDigest(h, m.data(), int64_t(m.size()), digest, sizeof digest), 1);
        md[0] = md[1];
        md[1] = md[2];
        md[2].assign(reinterpret_cast<char *>(digest), n);
      }
      seed = md[2];
      ASSERT_EQ(HashTest_ToHex(seed.data(), n), row[2 + j]) << "checkpoint " << j;
    }
  }
}

// Random messages against the Python oracles; a copy of the state taken in
// the middle must finish with the same digest as the original.
TEST_P(HashAlgorithmPaths, DifferentialWithCopyStateMidway) {
  static const char *const kAlgorithms[] = {"MD2",    "MD4",    "MD5",    "SHA1", "SHA224",
                                            "SHA256", "SHA384", "SHA512", "CRC"};
  uint32_t seed = 2024;
  std::mt19937 rng(seed);
  for (const auto &row : HashTest_ReadLines("digest_random.txt")) {
    ASSERT_EQ(row.size(), 12u);
    std::string msg = HashTest_FromHex(row[1]);
    for (int a = 0; a < 9; a++) {
      const HashInterface *h = HashTest_Record(kAlgorithms[a]);
      SCOPED_TRACE(std::string(kAlgorithms[a]) + " case " + row[0] + " seed " + std::to_string(seed));
      size_t middle = msg.empty() ? 0 : rng() % (msg.size() + 1);
      StackContext original(h), copy(h);
      std::string head = msg.substr(0, middle), tail = msg.substr(middle);
      std::uniform_int_distribution<size_t> chunk(1, 200);
      for (size_t at = 0; at < head.size();) {
        size_t n = std::min(chunk(rng), head.size() - at);
        h->Update(original.get(), head.data() + at, int64_t(n));
        at += n;
      }
      ASSERT_EQ(h->CopyState(original.get(), copy.get()), 1);
      h->Update(original.get(), tail.data(), int64_t(tail.size()));
      for (size_t at = 0; at < tail.size();) {
        size_t n = std::min(chunk(rng), tail.size() - at);
        h->Update(copy.get(), tail.data() + at, int64_t(n));
        at += n;
      }
      EXPECT_EQ(original.hex(), row[2 + a]);
      EXPECT_EQ(copy.hex(), row[2 + a]);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Kernels, HashAlgorithmPaths, testing::ValuesIn(kHashKernelPaths),
                         HashTest_PathName);

// ---- the bit-count carry past 512 MiB ---------------------------------------------

// Chunk k of the 600 MiB stream, built as tests/gen_digest.py builds it.
void bigChunk(std::vector<uint8_t> &chunk, uint32_t k) {
  for (size_t i = 0; i < chunk.size(); i++) chunk[i] = uint8_t((i * 31) ^ (i >> 9) ^ (i >> 17));
  memcpy(chunk.data(), &k, 4);
}

TEST(HashAlgorithms, Md5AndMd4Over600MiBInOneMiBUpdates) {
  constexpr uint32_t kChunks = 600;
  std::vector<uint8_t> chunk(1 << 20);
  StackContext md5(&kHashMd5), md4(&kHashMd4);
  for (uint32_t k = 0; k < kChunks; k++) {
    bigChunk(chunk, k);
    ASSERT_EQ(kHashMd5.Update(md5.get(), chunk.data(), int64_t(chunk.size())), 1);
    ASSERT_EQ(kHashMd4.Update(md4.get(), chunk.data(), int64_t(chunk.size())), 1);
  }
  auto lines = HashTest_ReadLines("digest_big.txt");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0][0], "MD5");
  EXPECT_EQ(md5.hex(), lines[0][1]) << "md5sum of the same 600 MiB";
  EXPECT_EQ(lines[1][0], "MD4");
  EXPECT_EQ(md4.hex(), lines[1][1]) << "openssl dgst -md4 of the same 600 MiB";
}

// ---- record contract ------------------------------------------------------------------

const HashInterface *const kAllRecords[] = {&kHashCrc,    &kHashMd2,    &kHashMd4,
                                            &kHashMd5,    &kHashSha1,   &kHashSha224,
                                            &kHashSha256, &kHashSha384, &kHashSha512};

TEST(HashAlgorithms, RecordsCreateResetAndDigestSizes) {
  struct Row {
    const HashInterface *h;
    int32_t block, digest;
  };
  const Row rows[] = {{&kHashCrc, 4, 4},     {&kHashMd2, 16, 16},    {&kHashMd4, 64, 16},
                      {&kHashMd5, 64, 16},   {&kHashSha1, 64, 20},   {&kHashSha224, 64, 28},
                      {&kHashSha256, 64, 32}, {&kHashSha384, 128, 48}, {&kHashSha512, 128, 64}};
  for (const Row &row : rows) {
    SCOPED_TRACE(row.h->Name);
    EXPECT_EQ(row.h->BlockSize, row.block);
    EXPECT_EQ(row.h->DigestSize, row.digest);
    void *context = nullptr;
    ASSERT_EQ(row.h->Create(&context), 1);
    EXPECT_EQ(row.h->IsDigestReady(context), 0);
    row.h->Update(context, "xyz", 3);
    row.h->Generate(context);
    EXPECT_NE(row.h->IsDigestReady(context), 0);
    uint8_t first[kHashMaxDigestBytes], again[kHashMaxDigestBytes];
    ASSERT_EQ(row.h->GetDigest(context, first, row.digest), 1);
    // Reset forgets "xyz": the same input gives the same digest again.
    row.h->Reset(context);
    EXPECT_EQ(row.h->IsDigestReady(context), 0);
    row.h->Update(context, "xyz", 3);
    row.h->Generate(context);
    ASSERT_EQ(row.h->GetDigest(context, again, row.digest), 1);
    EXPECT_EQ(memcmp(first, again, size_t(row.digest)), 0);
    // A destination one byte short gets nothing.
    uint8_t small[kHashMaxDigestBytes];
    memset(small, 0xAA, sizeof small);
    EXPECT_EQ(row.h->GetDigest(context, small, row.digest - 1), 0);
    EXPECT_EQ(small[0], 0xAA);
    EXPECT_EQ(row.h->Update(context, "x", -1), 0);
    ASSERT_EQ(row.h->Release(&context), 1);
    EXPECT_EQ(context, nullptr);
  }
}

TEST(HashAlgorithms, Sha512Into32BytesFailsSha384Into48Succeeds) {
  uint8_t out[64];
  EXPECT_EQ(Hash_ComputeDigest(&kHashSha512, "abc", 3, out, 32), 0);
  EXPECT_EQ(Hash_ComputeDigest(&kHashSha384, "abc", 3, out, 48), 1);
  EXPECT_EQ(HashTest_ToHex(out, 48),
            "cb00753f45a35e8bb5a03d699ac65007272c32ab0eded1631a8b605a43ff5bed"
            "8086072ba1e7cc2358baeca134c825a7");
}

TEST(HashAlgorithms, Sha224CopyStateThenBothGenerate) {
  StackContext a(&kHashSha224), b(&kHashSha256);  // b starts as SHA-256: CopyState makes it SHA-224
  kHashSha224.Update(a.get(), "ab", 2);
  ASSERT_EQ(kHashSha224.CopyState(a.get(), b.get()), 1);
  kHashSha224.Update(a.get(), "c", 1);
  kHashSha224.Update(b.get(), "c", 1);
  EXPECT_EQ(a.hex(), "23097d223405d8228642a477bda255b32aadbce4bda0b3f7e36c9da7");
  uint8_t digest[32];
  kHashSha224.Generate(b.get());
  ASSERT_EQ(kHashSha224.GetDigest(b.get(), digest, 28), 1);
  EXPECT_EQ(HashTest_ToHex(digest, 28), "23097d223405d8228642a477bda255b32aadbce4bda0b3f7e36c9da7");
}

TEST(HashAlgorithms, GroupedHexFromTheRecord) {
  StackContext c(&kHashMd5);
  kHashMd5.Update(c.get(), "abc", 3);
  kHashMd5.Generate(c.get());
  char text[41];
  ASSERT_EQ(kHashMd5.GetDigestHex(c.get(), 1, text, sizeof text), 1);
  EXPECT_STREQ(text, "90015098 3cd24fb0 d6963f7d 28e17f72 ");
  EXPECT_EQ(kHashMd5.GetDigestHex(c.get(), 1, text, 36), 0);  // needs 32 + 4 + 1
}

// ---- fatal paths --------------------------------------------------------------------

TEST(HashAlgorithmsDeathTest, DigestReadBeforeGenerateStops) {
  for (const HashInterface *h : kAllRecords) {
    // SHA-224 and SHA-384 share the context, and so the message, of their
    // 256- and 512-bit siblings.
    std::string name = h->Name;
    if (name == "SHA224") name = "SHA256";
    if (name == "SHA384") name = "SHA512";
    SCOPED_TRACE(h->Name);
    std::string message = "Assertion failed \\(" + name + "->DigestReady\\)\n" + name +
                          " must be generated first!";
    StackContext c(h);
    uint8_t out[64];
    char text[256];
    EXPECT_DEATH(h->GetDigest(c.get(), out, sizeof out), message);
    EXPECT_DEATH(h->GetDigestHex(c.get(), 0, text, sizeof text), message);
  }
}

TEST(HashAlgorithmsDeathTest, ForeignContextAndNullDataStop) {
  StackContext md5(&kHashMd5);
  EXPECT_DEATH(kHashSha1.Update(md5.get(), "a", 1),
               "Class mismatch pointer \\(.*: expected 0x333ceb0c but was 0x92a4c5a7\\)");
  EXPECT_DEATH(kHashMd5.Update(md5.get(), nullptr, 1), "Pointer is NULL");
  EXPECT_DEATH(kHashMd5.Reset(nullptr), "Pointer is NULL");
}

}  // namespace
