// Cipher benchmarks: ours beside OpenSSL's libcrypto in the same run, on
// 16 KiB (a TLS record) and 1 MiB (a storage piece) buffers.
//
//   Cbc256Decrypt/{ours,ours-portable,peer}/<bytes>  AES_DecryptCBC with a 32-byte key and a
//                                                    fresh IV per run; peer: EVP_aes_256_cbc
//                                                    without padding.
//   Gcm256Encrypt/{ours,ours-portable,peer}/<bytes>  AES-256-GCM as TLS uses it: 13 bytes of
//   Gcm256Decrypt/{ours,ours-portable,peer}/<bytes>  AAD, a 12-byte IV, the data and a 16-byte
//                                                    tag (compared with Crypt_ConstantTimeEqual
//                                                    when deciphering); ours through the
//                                                    CryptSymmetric record; peer: EVP_aes_256_gcm.
// "ours" runs on the kernels this CPU offers (the label names them),
// "ours-aesni" on AES-NI and PCLMULQDQ without the 256-bit VAES kernel, and
// "ours-portable" with every CPU feature switched off. After the runs a table
// gives ours/peer throughput for each pair (above 1 is faster).
#include <benchmark/benchmark.h>
#include <fmt/core.h>
#include <openssl/evp.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "bench/bench_ratio.h"
#include "core/security/aes.h"
#include "core/security/aesgcm.h"
#include "core/runtime/cpufeatures.h"
#include "core/security/cryptsymmetric.h"

namespace {

const uint8_t kKey[32] = {0x60, 0x3d, 0xeb, 0x10, 0x15, 0xca, 0x71, 0xbe, 0x2b, 0x73, 0xae,
                          0xf0, 0x85, 0x7d, 0x77, 0x81, 0x1f, 0x35, 0x2c, 0x07, 0x3b, 0x61,
                          0x08, 0xd7, 0x2d, 0x98, 0x10, 0xa3, 0x09, 0x14, 0xdf, 0xf4};
const uint8_t kIv[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
const uint8_t kAad[13] = {0, 0, 0, 0, 0, 0, 0, 1, 0x17, 3, 3, 0x40, 0};
constexpr uint32_t kAesNiFeatures =
    kCpuFeatureAes | kCpuFeaturePclmul | kCpuFeatureSsse3 | kCpuFeatureSse41;

std::vector<uint8_t> &benchInput(size_t size) {
  static std::map<size_t, std::vector<uint8_t>> inputs;
  std::vector<uint8_t> &input = inputs[size];
  if (input.size() != size) {
    input.resize(size);
    for (size_t i = 0; i < size; i++) input[i] = uint8_t(i * 131 + (i >> 7));
  }
  return input;
}

// Switches the CPU features for one benchmark and back afterwards.
struct FeatureScope {
  explicit FeatureScope(uint32_t features) {
    CpuFeatures_SetOverride(features);
    AES_SelectKernels();
    AesGcm_SelectKernels();
  }
  ~FeatureScope() {
    CpuFeatures_SetOverride(kCpuFeatureAll);
    AES_SelectKernels();
    AesGcm_SelectKernels();
  }
};

void finish(benchmark::State &state) {
  state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0));
}

void benchCbcOurs(benchmark::State &state, uint32_t features) {
  FeatureScope scope(features);
  std::vector<uint8_t> &input = benchInput(size_t(state.range(0)));
  std::vector<uint8_t> out(input.size());
  AesContext *aes = nullptr;
  AES_Create(&aes);
  AES_SetKey(aes, kKey, 32);
  for (auto _ : state) {
    uint8_t iv[16];
    memcpy(iv, kIv, 16);
    AES_DecryptCBC(aes, iv, 16, input.data(), out.data(), int64_t(input.size()));
    benchmark::DoNotOptimize(out.data());
  }
  finish(state);
  state.SetLabel(AES_KernelName());
  AES_Release(&aes);
}

void benchCbcPeer(benchmark::State &state) {
  std::vector<uint8_t> &input = benchInput(size_t(state.range(0)));
  std::vector<uint8_t> out(input.size());
  EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
  EVP_DecryptInit_ex(ctx, EVP_aes_256_cbc(), nullptr, kKey, kIv);
  EVP_CIPHER_CTX_set_padding(ctx, 0);
  for (auto _ : state) {
    int length = 0;
    EVP_DecryptInit_ex(ctx, nullptr, nullptr, nullptr, kIv);
    EVP_DecryptUpdate(ctx, out.data(), &length, input.data(), int(input.size()));
    benchmark::DoNotOptimize(out.data());
  }
  finish(state);
  EVP_CIPHER_CTX_free(ctx);
}

// One TLS record through the front end; the decrypting side checks a tag
// (which fails here: the input is not a real record, and the work is the same).
void benchGcmOurs(benchmark::State &state, uint32_t features, bool encrypt) {
  FeatureScope scope(features);
  std::vector<uint8_t> &input = benchInput(size_t(state.range(0)));
  std::vector<uint8_t> out(input.size());
  CryptSymmetric *crypt = nullptr;
  CryptSymmetric_Create(&crypt);
  CryptSymmetric_SetInterface(crypt, &kCryptSymmetricAesGcm);
  CryptSymmetric_SetKey(crypt, kKey, 32);
  uint8_t iv[12], tag[16] = {}, expected[16] = {};
  memcpy(iv, kIv, 12);
  int accepted = 0;
  uint32_t sequence = 0;
  for (auto _ : state) {
    // A new nonce per record, as TLS counts them: a repeated one is refused.
    sequence++;
    memcpy(iv + 8, &sequence, 4);
    CryptSymmetric_SetAAD(crypt, kAad);
    auto call = encrypt ? CryptSymmetric_EncryptIV : CryptSymmetric_DecryptIV;
    call(crypt, iv, 12, input.data(), out.data(), int64_t(input.size()));
    CryptSymmetric_GetAuthTag(crypt, tag, 16);
    if (!encrypt) accepted += Crypt_ConstantTimeEqual(tag, expected, 16);
    benchmark::DoNotOptimize(out.data());
    benchmark::DoNotOptimize(tag);
  }
  benchmark::DoNotOptimize(accepted);
  finish(state);
  state.SetLabel(AesGcm_KernelName());
  CryptSymmetric_Release(&crypt);
}

void benchGcmPeer(benchmark::State &state, bool encrypt) {
  std::vector<uint8_t> &input = benchInput(size_t(state.range(0)));
  std::vector<uint8_t> out(input.size());
  EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
  EVP_CipherInit_ex(ctx, EVP_aes_256_gcm(), nullptr, kKey, nullptr, encrypt ? 1 : 0);
  uint8_t tag[16] = {};
  for (auto _ : state) {
    int length = 0;
    EVP_CipherInit_ex(ctx, nullptr, nullptr, nullptr, kIv, -1);
    EVP_CipherUpdate(ctx, nullptr, &length, kAad, sizeof kAad);
    EVP_CipherUpdate(ctx, out.data(), &length, input.data(), int(input.size()));
    if (encrypt) {
      EVP_CipherFinal_ex(ctx, out.data() + length, &length);
      EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_GET_TAG, 16, tag);
    } else {
      EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_TAG, 16, tag);
      EVP_CipherFinal_ex(ctx, out.data() + length, &length);
    }
    benchmark::DoNotOptimize(out.data());
    benchmark::DoNotOptimize(tag);
  }
  finish(state);
  EVP_CIPHER_CTX_free(ctx);
}

void printCipherRatios(const BenchRatioReporter &results,
                       const std::vector<std::pair<std::string, std::string>> &pairs) {
  fmt::print("\n{:<40} {:>12} {:>12} {:>8}\n", "ours / peer", "ours", "peer", "ratio");
  for (const auto &[ours, peer] : pairs) {
    auto *o = results.Find(ours), *p = results.Find(peer);
    if (o == nullptr || p == nullptr || p->bytesPerSecond <= 0) continue;
    fmt::print("{:<40} {:>7.0f} MB/s {:>7.0f} MB/s {:>7.2f}x\n", ours, o->bytesPerSecond / 1e6,
               p->bytesPerSecond / 1e6, o->bytesPerSecond / p->bytesPerSecond);
  }
}

}  // namespace

int main(int argc, char **argv) {
  std::vector<std::pair<std::string, std::string>> pairs;
  for (int64_t size : {int64_t(16) << 10, int64_t(1) << 20}) {
    std::string suffix = fmt::format("/{}", size);
    benchmark::RegisterBenchmark("Cbc256Decrypt/ours", benchCbcOurs, kCpuFeatureAll)->Arg(size);
    benchmark::RegisterBenchmark("Cbc256Decrypt/ours-portable", benchCbcOurs, 0u)->Arg(size);
    benchmark::RegisterBenchmark("Cbc256Decrypt/peer", benchCbcPeer)->Arg(size);
    pairs.push_back({"Cbc256Decrypt/ours" + suffix, "Cbc256Decrypt/peer" + suffix});
    pairs.push_back({"Cbc256Decrypt/ours-portable" + suffix, "Cbc256Decrypt/peer" + suffix});
    for (bool encrypt : {true, false}) {
      std::string base = encrypt ? "Gcm256Encrypt/" : "Gcm256Decrypt/";
      benchmark::RegisterBenchmark((base + "ours").c_str(), benchGcmOurs, kCpuFeatureAll, encrypt)
          ->Arg(size);
      benchmark::RegisterBenchmark((base + "ours-aesni").c_str(), benchGcmOurs, kAesNiFeatures,
                                   encrypt)
          ->Arg(size);
      benchmark::RegisterBenchmark((base + "ours-portable").c_str(), benchGcmOurs, 0u, encrypt)
          ->Arg(size);
      benchmark::RegisterBenchmark((base + "peer").c_str(), benchGcmPeer, encrypt)->Arg(size);
      pairs.push_back({base + "ours" + suffix, base + "peer" + suffix});
      pairs.push_back({base + "ours-aesni" + suffix, base + "peer" + suffix});
      pairs.push_back({base + "ours-portable" + suffix, base + "peer" + suffix});
    }
  }
  return Bench_Main(argc, argv, [&pairs](const BenchRatioReporter &results) {
    printCipherRatios(results, pairs);
  });
}
