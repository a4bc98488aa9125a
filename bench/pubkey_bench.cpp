// Benchmarks of the public-key operations that TLS handshakes and signature
// checks wait for, with libcrypto as the peer in the same binary:
//   BM_RsaVerify_Ours/2048, /4096       Rsa_Verify, e = 65537, SHA-256 DigestInfo
//   BM_RsaVerify_Libcrypto/2048, /4096  EVP_PKEY_verify on the same key and signature
//   BM_RsaSign_Ours/2048                Rsa_Sign: CRT, blinded, constant time, and
//                                       the s^e check
//   BM_RsaSign_Libcrypto/2048           EVP_PKEY_sign on the same key
// At the end the speed ratios ours/peer (peer time / our time) are printed;
// the goal for RSA-2048 verification is 0.5x or better.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "bench/bench_ratio.h"
#include "core/security/rsa.h"

namespace {

// One key pair in both libraries, and a signature of a fixed SHA-256 digest.
struct RsaBenchKey {
  EVP_PKEY *peer = nullptr;
  RsaKey *ours = nullptr;
  std::vector<uint8_t> digest = std::vector<uint8_t>(32, 0xA5), signature;

  explicit RsaBenchKey(int bits) {
    EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new_id(EVP_PKEY_RSA, nullptr);
    EVP_PKEY_keygen_init(ctx);
    EVP_PKEY_CTX_set_rsa_keygen_bits(ctx, bits);
    EVP_PKEY_keygen(ctx, &peer);
    EVP_PKEY_CTX_free(ctx);
    unsigned char *der = nullptr;
    int length = i2d_PrivateKey(peer, &der);  // PKCS#1 RSAPrivateKey
    Rsa_Create(&ours);
    Rsa_ImportPrivate(ours, der, length);
    OPENSSL_free(der);
    signature.resize(size_t(bits / 8));
    size_t size = signature.size();
    EVP_PKEY_CTX *sign = signContext();
    EVP_PKEY_sign(sign, signature.data(), &size, digest.data(), digest.size());
    EVP_PKEY_CTX_free(sign);
  }
  ~RsaBenchKey() {
    EVP_PKEY_free(peer);
    Rsa_Release(&ours);
  }
  RsaBenchKey(const RsaBenchKey &) = delete;
  RsaBenchKey &operator=(const RsaBenchKey &) = delete;

  EVP_PKEY_CTX *signContext() const {
    EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new(peer, nullptr);
    EVP_PKEY_sign_init(ctx);
    EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING);
    EVP_PKEY_CTX_set_signature_md(ctx, EVP_sha256());
    return ctx;
  }
  EVP_PKEY_CTX *verifyContext() const {
    EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new(peer, nullptr);
    EVP_PKEY_verify_init(ctx);
    EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING);
    EVP_PKEY_CTX_set_signature_md(ctx, EVP_sha256());
    return ctx;
  }
  // The SHA-256 DigestInfo and the digest, what Rsa_Sign takes.
  std::vector<uint8_t> digestInfo() const {
    std::vector<uint8_t> info = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                 0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
    info.insert(info.end(), digest.begin(), digest.end());
    return info;
  }
};

RsaBenchKey &rsaKey(int bits) {
  static RsaBenchKey k2048(2048), k4096(4096);
  return bits == 2048 ? k2048 : k4096;
}

void BM_RsaVerify_Ours(benchmark::State &state) {
  RsaBenchKey &key = rsaKey(int(state.range(0)));
  for (auto _ : state) {
    int ok = Rsa_Verify(key.ours, key.digest.data(), 32, key.signature.data(),
                        int32_t(key.signature.size()), 2);
    if (!ok) state.SkipWithError("Rsa_Verify refused the peer's signature");
    benchmark::DoNotOptimize(ok);
  }
}

void BM_RsaVerify_Libcrypto(benchmark::State &state) {
  RsaBenchKey &key = rsaKey(int(state.range(0)));
  EVP_PKEY_CTX *ctx = key.verifyContext();
  for (auto _ : state) {
    int ok = EVP_PKEY_verify(ctx, key.signature.data(), key.signature.size(), key.digest.data(),
                             key.digest.size());
    benchmark::DoNotOptimize(ok);
  }
  EVP_PKEY_CTX_free(ctx);
}

void BM_RsaSign_Ours(benchmark::State &state) {
  RsaBenchKey &key = rsaKey(int(state.range(0)));
  std::vector<uint8_t> info = key.digestInfo(), out(key.signature.size() + 1);
  for (auto _ : state) {
    int32_t written = 0;
    int ok = Rsa_Sign(key.ours, info.data(), int32_t(info.size()), out.data(), int32_t(out.size()),
                      &written);
    // PKCS#1 v1.5 signatures are deterministic: ours must equal the peer's.
    if (!ok || !std::equal(key.signature.begin(), key.signature.end(), out.begin()))
      state.SkipWithError("Rsa_Sign disagrees with the peer");
  }
}

void BM_RsaSign_Libcrypto(benchmark::State &state) {
  RsaBenchKey &key = rsaKey(int(state.range(0)));
  EVP_PKEY_CTX *ctx = key.signContext();
  std::vector<uint8_t> out(key.signature.size());
  for (auto _ : state) {
    size_t size = out.size();
    EVP_PKEY_sign(ctx, out.data(), &size, key.digest.data(), key.digest.size());
    benchmark::DoNotOptimize(out.data());
  }
  EVP_PKEY_CTX_free(ctx);
}

BENCHMARK(BM_RsaVerify_Ours)->ArgName("bits")->Arg(2048)->Arg(4096)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RsaVerify_Libcrypto)->ArgName("bits")->Arg(2048)->Arg(4096)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RsaSign_Ours)->ArgName("bits")->Arg(2048)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RsaSign_Libcrypto)->ArgName("bits")->Arg(2048)->Unit(benchmark::kMicrosecond);

// ECDSA benchmarks (P-256 verify against EVP_PKEY_verify, P-384/P-521
// verify, P-256 sign) go here.

// ECDH benchmarks (P-256 and P-384: key generation plus secret) go here.

void printRatio(const BenchRatioReporter &results, const char *what, const std::string &ours,
                const std::string &peer, const char *goal) {
  const auto *o = results.Find(ours), *p = results.Find(peer);
  if (o == nullptr || p == nullptr) return;
  printf("  %-22s %9.1f us vs %9.1f us  ratio %.2fx%s\n", what, o->realTime, p->realTime,
         p->realTime / o->realTime, goal);
}

void printPubkeyRatios(const BenchRatioReporter &results) {
  printf("\nours/peer (speed: peer time per operation / ours)\n");
  printRatio(results, "RSA-2048 verify", "BM_RsaVerify_Ours/bits:2048",
             "BM_RsaVerify_Libcrypto/bits:2048", "  (goal 0.5x)");
  printRatio(results, "RSA-4096 verify", "BM_RsaVerify_Ours/bits:4096",
             "BM_RsaVerify_Libcrypto/bits:4096", "");
  printRatio(results, "RSA-2048 CRT sign", "BM_RsaSign_Ours/bits:2048",
             "BM_RsaSign_Libcrypto/bits:2048", "");
  // ECDSA and ECDH ratio lines go here.
}

}  // namespace

int main(int argc, char **argv) { return Bench_Main(argc, argv, printPubkeyRatios); }
