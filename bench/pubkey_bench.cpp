// Benchmarks of the public-key operations that TLS handshakes and signature
// checks wait for, with libcrypto as the peer in the same binary:
//   BM_RsaVerify_Ours/2048, /4096       Rsa_Verify, e = 65537, SHA-256 DigestInfo
//   BM_RsaVerify_Libcrypto/2048, /4096  EVP_PKEY_verify on the same key and signature
//   BM_RsaSign_Ours/2048                Rsa_Sign: CRT, blinded, constant time, and
//                                       the s^e check
//   BM_RsaSign_Libcrypto/2048           EVP_PKEY_sign on the same key
//   BM_EcdsaVerify_Ours/256, /384, /521       Ecdsa_Verify of the peer's signature
//   BM_EcdsaVerify_Libcrypto/256, /384, /521  EVP_PKEY_verify of the same
//   BM_EcdsaSign_Ours/256                     Ecdsa_Sign: constant-time nonce product
//   BM_EcdsaSign_Libcrypto/256                EVP_PKEY_sign on the same key
//   BM_Ecdh_Ours/256, /384                    Ecdhe_ComputeSecret: key generation
//                                             and the shared secret
//   BM_Ecdh_Libcrypto/256, /384               EVP_PKEY_keygen plus EVP_PKEY_derive (the
//                                             key-generation context made once)
// At the end the speed ratios ours/peer (peer time / our time) are printed;
// the goals are 0.5x or better for RSA-2048 verification and 0.3x or better
// for P-256 verification.
#include <benchmark/benchmark.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/obj_mac.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "bench/bench_ratio.h"
#include "core/security/ecdhe.h"
#include "core/security/ecdsa.h"
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
    EVP_PKEY_CTX *sign = context(true);
    EVP_PKEY_sign(sign, signature.data(), &size, digest.data(), digest.size());
    EVP_PKEY_CTX_free(sign);
  }
  ~RsaBenchKey() {
    EVP_PKEY_free(peer);
    Rsa_Release(&ours);
  }
  RsaBenchKey(const RsaBenchKey &) = delete;
  RsaBenchKey &operator=(const RsaBenchKey &) = delete;

  // A PKCS#1 v1.5 SHA-256 context for EVP_PKEY_sign or EVP_PKEY_verify.
  EVP_PKEY_CTX *context(bool sign) const {
    EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new(peer, nullptr);
    if (sign)
      EVP_PKEY_sign_init(ctx);
    else
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
  EVP_PKEY_CTX *ctx = key.context(false);
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
  EVP_PKEY_CTX *ctx = key.context(true);
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

int ecNid(int bits) {
  return bits == 256 ? NID_X9_62_prime256v1 : bits == 384 ? NID_secp384r1 : NID_secp521r1;
}

const char *ecOid(int bits) {
  return bits == 256 ? "1.2.840.10045.3.1.7" : bits == 384 ? "1.3.132.0.34" : "1.3.132.0.35";
}

EVP_PKEY *ecGenerate(int bits) {
  EVP_PKEY *key = nullptr;
  EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new_id(EVP_PKEY_EC, nullptr);
  EVP_PKEY_keygen_init(ctx);
  EVP_PKEY_CTX_set_ec_paramgen_curve_nid(ctx, ecNid(bits));
  EVP_PKEY_keygen(ctx, &key);
  EVP_PKEY_CTX_free(ctx);
  return key;
}

std::vector<uint8_t> ecPoint(EVP_PKEY *key) {
  unsigned char *point = nullptr;
  size_t length = EVP_PKEY_get1_encoded_public_key(key, &point);
  std::vector<uint8_t> out(point, point + length);
  OPENSSL_free(point);
  return out;
}

// One key pair in both libraries, and the peer's signature of a fixed digest.
struct EcBenchKey {
  EVP_PKEY *peer = nullptr;
  Ecdsa *ours = nullptr;
  std::vector<uint8_t> digest, signature;

  explicit EcBenchKey(int bits) : digest(bits == 256 ? 32 : bits == 384 ? 48 : 64, 0xA5) {
    peer = ecGenerate(bits);
    unsigned char *der = nullptr;
    int length = i2d_PrivateKey(peer, &der);  // ECPrivateKey
    Ecdsa_Create(&ours);
    Ecdsa_SetParameters(ours, ecOid(bits));
    std::vector<uint8_t> point = ecPoint(peer);
    Ecdsa_ImportPublic(ours, point.data(), int(point.size()));
    Ecdsa_ImportPrivate(ours, der, length);
    OPENSSL_free(der);
    signature.resize(160);
    size_t size = signature.size();
    EVP_PKEY_CTX *sign = EVP_PKEY_CTX_new(peer, nullptr);
    EVP_PKEY_sign_init(sign);
    EVP_PKEY_sign(sign, signature.data(), &size, digest.data(), digest.size());
    signature.resize(size);
    EVP_PKEY_CTX_free(sign);
  }
  ~EcBenchKey() {
    EVP_PKEY_free(peer);
    Ecdsa_Release(&ours);
  }
  EcBenchKey(const EcBenchKey &) = delete;
  EcBenchKey &operator=(const EcBenchKey &) = delete;
};

EcBenchKey &ecKey(int bits) {
  static EcBenchKey k256(256), k384(384), k521(521);
  return bits == 256 ? k256 : bits == 384 ? k384 : k521;
}

void BM_EcdsaVerify_Ours(benchmark::State &state) {
  EcBenchKey &key = ecKey(int(state.range(0)));
  // The key holds only the private half after ImportPrivate: verify with a
  // public-only copy.
  Ecdsa *pub = nullptr;
  Ecdsa_Create(&pub);
  Ecdsa_SetParameters(pub, ecOid(int(state.range(0))));
  std::vector<uint8_t> point = ecPoint(key.peer);
  Ecdsa_ImportPublic(pub, point.data(), int(point.size()));
  for (auto _ : state) {
    int ok = Ecdsa_Verify(pub, key.digest.data(), int(key.digest.size()), key.signature.data(),
                          int(key.signature.size()), 0);
    if (!ok) state.SkipWithError("Ecdsa_Verify refused the peer's signature");
    benchmark::DoNotOptimize(ok);
  }
  Ecdsa_Release(&pub);
}

void BM_EcdsaVerify_Libcrypto(benchmark::State &state) {
  EcBenchKey &key = ecKey(int(state.range(0)));
  EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new(key.peer, nullptr);
  EVP_PKEY_verify_init(ctx);
  for (auto _ : state) {
    int ok = EVP_PKEY_verify(ctx, key.signature.data(), key.signature.size(), key.digest.data(),
                             key.digest.size());
    benchmark::DoNotOptimize(ok);
  }
  EVP_PKEY_CTX_free(ctx);
}

void BM_EcdsaSign_Ours(benchmark::State &state) {
  EcBenchKey &key = ecKey(int(state.range(0)));
  uint8_t out[160];
  for (auto _ : state) {
    int32_t written = 0;
    int ok = Ecdsa_Sign(key.ours, key.digest.data(), int(key.digest.size()), out, sizeof out,
                        &written);
    if (!ok) state.SkipWithError("Ecdsa_Sign failed");
    benchmark::DoNotOptimize(out);
  }
}

void BM_EcdsaSign_Libcrypto(benchmark::State &state) {
  EcBenchKey &key = ecKey(int(state.range(0)));
  EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new(key.peer, nullptr);
  EVP_PKEY_sign_init(ctx);
  uint8_t out[160];
  for (auto _ : state) {
    size_t size = sizeof out;
    EVP_PKEY_sign(ctx, out, &size, key.digest.data(), key.digest.size());
    benchmark::DoNotOptimize(out);
  }
  EVP_PKEY_CTX_free(ctx);
}

BENCHMARK(BM_EcdsaVerify_Ours)->ArgName("bits")->Arg(256)->Arg(384)->Arg(521)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_EcdsaVerify_Libcrypto)->ArgName("bits")->Arg(256)->Arg(384)->Arg(521)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_EcdsaSign_Ours)->ArgName("bits")->Arg(256)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_EcdsaSign_Libcrypto)->ArgName("bits")->Arg(256)->Unit(benchmark::kMicrosecond);

void BM_Ecdh_Ours(benchmark::State &state) {
  const int bits = int(state.range(0));
  std::vector<uint8_t> server = ecPoint(ecKey(bits).peer);
  Ecdhe *ecdhe = nullptr;
  Ecdhe_Create(&ecdhe);
  EcGroup_Select(ecdhe->Group, ecOid(bits));
  EcPoint_Decode(&ecdhe->PeerPoint, ecdhe->Group, server.data(), int(server.size()));
  uint8_t pub[kEcdhePublicMaxBytes], secret[kEcdheSecretMaxBytes];
  for (auto _ : state) {
    int publicLength = 0, secretLength = 0;
    int ok = Ecdhe_ComputeSecret(ecdhe, pub, &publicLength, secret, &secretLength);
    if (!ok) state.SkipWithError("Ecdhe_ComputeSecret failed");
    benchmark::DoNotOptimize(secret);
  }
  Ecdhe_Release(&ecdhe);
}

void BM_Ecdh_Libcrypto(benchmark::State &state) {
  const int bits = int(state.range(0));
  EVP_PKEY *server = ecKey(bits).peer;
  uint8_t secret[kEcdheSecretMaxBytes];
  // The key-generation context is made once, as a TLS client keeps its
  // parameters; each round generates a key, encodes its public half and
  // derives the secret, which is what Ecdhe_ComputeSecret does.
  EVP_PKEY_CTX *keygen = EVP_PKEY_CTX_new_id(EVP_PKEY_EC, nullptr);
  EVP_PKEY_keygen_init(keygen);
  EVP_PKEY_CTX_set_ec_paramgen_curve_nid(keygen, ecNid(bits));
  for (auto _ : state) {
    EVP_PKEY *own = nullptr;
    EVP_PKEY_keygen(keygen, &own);
    std::vector<uint8_t> pub = ecPoint(own);  // what goes on the wire
    EVP_PKEY_CTX *derive = EVP_PKEY_CTX_new(own, nullptr);
    EVP_PKEY_derive_init(derive);
    EVP_PKEY_derive_set_peer(derive, server);
    size_t size = sizeof secret;
    EVP_PKEY_derive(derive, secret, &size);
    EVP_PKEY_CTX_free(derive);
    EVP_PKEY_free(own);
    benchmark::DoNotOptimize(secret);
  }
  EVP_PKEY_CTX_free(keygen);
}

BENCHMARK(BM_Ecdh_Ours)->ArgName("bits")->Arg(256)->Arg(384)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Ecdh_Libcrypto)->ArgName("bits")->Arg(256)->Arg(384)->Unit(benchmark::kMicrosecond);

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
  printRatio(results, "ECDSA P-256 verify", "BM_EcdsaVerify_Ours/bits:256",
             "BM_EcdsaVerify_Libcrypto/bits:256", "  (goal 0.3x)");
  printRatio(results, "ECDSA P-384 verify", "BM_EcdsaVerify_Ours/bits:384",
             "BM_EcdsaVerify_Libcrypto/bits:384", "");
  printRatio(results, "ECDSA P-521 verify", "BM_EcdsaVerify_Ours/bits:521",
             "BM_EcdsaVerify_Libcrypto/bits:521", "");
  printRatio(results, "ECDSA P-256 sign", "BM_EcdsaSign_Ours/bits:256",
             "BM_EcdsaSign_Libcrypto/bits:256", "");
  printRatio(results, "ECDH P-256", "BM_Ecdh_Ours/bits:256", "BM_Ecdh_Libcrypto/bits:256", "");
  printRatio(results, "ECDH P-384", "BM_Ecdh_Ours/bits:384", "BM_Ecdh_Libcrypto/bits:384", "");
}

}  // namespace

int main(int argc, char **argv) { return Bench_Main(argc, argv, printPubkeyRatios); }
