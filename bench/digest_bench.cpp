// Digest benchmarks: ours beside OpenSSL's libcrypto in the same run.
//
//   Digest/<alg>/ours/<bytes>           Hash_ComputeDigest on the kernels this CPU offers
//   Digest/<alg>/ours-portable/<bytes>  the same with every CPU feature switched off
//   Digest/<alg>/peer/<bytes>           libcrypto: the EVP_MD fetched once (EVP_MD_fetch) and
//                                       one EVP_MD_CTX reused, Init/Update/Final timed (zlib's
//                                       crc32 for CRC, which ours wraps)
//     for MD5, SHA1, SHA256, SHA512 and CRC on 16 KiB and 1 MiB buffers: MB/s.
//   OneShot64/<alg>/{ours,peer}         a whole one-shot digest of 64 bytes (context set-up,
//                                       instance id included; the peer's algorithm lookup is
//                                       not, as a caller hashing many small items keeps it).
//   Pbkdf2Sha1/{ours,peer}              PBKDF2-HMAC-SHA1, 10,000 iterations, 20 bytes, against
//                                       PKCS5_PBKDF2_HMAC.
// After the runs a table gives ours/peer for each pair (throughput ratio: above 1 is faster).
#include <benchmark/benchmark.h>

#include "bench/bench_ratio.h"
#include <fmt/core.h>
#include <openssl/evp.h>
#include <zlib.h>

#include <map>
#include <string>
#include <vector>

#include "core/runtime/cpufeatures.h"
#include "core/security/hash.h"
#include "core/security/hash_algorithms.h"
#include "core/security/hmac.h"

namespace {

constexpr int kPbkdf2Iterations = 10000;

struct Algorithm {
  const char *name;
  const HashInterface *ours;
  const char *peer;  // libcrypto's name; NULL: zlib's crc32
};

const Algorithm kAlgorithms[] = {
    {"MD5", &kHashMd5, "MD5"},          {"SHA1", &kHashSha1, "SHA1"},
    {"SHA256", &kHashSha256, "SHA256"}, {"SHA512", &kHashSha512, "SHA512"},
    {"CRC", &kHashCrc, nullptr},
};

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
    Hash_SelectKernels();
  }
  ~FeatureScope() {
    CpuFeatures_SetOverride(kCpuFeatureAll);
    Hash_SelectKernels();
  }
};

void benchOurs(benchmark::State &state, const Algorithm *a, uint32_t features) {
  FeatureScope scope(features);
  std::vector<uint8_t> &input = benchInput(size_t(state.range(0)));
  uint8_t digest[kHashMaxDigestBytes];
  for (auto _ : state) {
    Hash_ComputeDigest(a->ours, input.data(), int64_t(input.size()), digest, sizeof digest);
    benchmark::DoNotOptimize(digest);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0));
  state.SetLabel(fmt::format("{} kernel", Hash_KernelName(a->name)));
}

void benchPeer(benchmark::State &state, const Algorithm *a) {
  std::vector<uint8_t> &input = benchInput(size_t(state.range(0)));
  uint8_t digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (a->peer == nullptr) {
    for (auto _ : state) {
      uLong crc = crc32(0, input.data(), uInt(input.size()));
      benchmark::DoNotOptimize(crc);
    }
  } else {
    // Fetched once: EVP_Digest with EVP_sha256() looks the algorithm up in
    // the provider tables on every call, which would time OpenSSL's lookup
    // rather than its hash.
    EVP_MD *md = EVP_MD_fetch(nullptr, a->peer, nullptr);
    EVP_MD_CTX *ctx = EVP_MD_CTX_new();
    if (md == nullptr || ctx == nullptr) state.SkipWithError("EVP_MD_fetch");
    for (auto _ : state) {
      EVP_DigestInit_ex2(ctx, md, nullptr);
      EVP_DigestUpdate(ctx, input.data(), input.size());
      EVP_DigestFinal_ex(ctx, digest, &length);
      benchmark::DoNotOptimize(digest);
    }
    EVP_MD_CTX_free(ctx);
    EVP_MD_free(md);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0));
}

void benchPbkdf2Ours(benchmark::State &state) {
  uint8_t key[20];
  for (auto _ : state) {
    Hmac_Pbkdf2Sha1("password", 8, "NaCl-salt", 9, kPbkdf2Iterations, key, sizeof key);
    benchmark::DoNotOptimize(key);
  }
}

void benchPbkdf2Peer(benchmark::State &state) {
  uint8_t key[20];
  for (auto _ : state) {
    PKCS5_PBKDF2_HMAC("password", 8, reinterpret_cast<const unsigned char *>("NaCl-salt"), 9,
                      kPbkdf2Iterations, EVP_sha1(), sizeof key, key);
    benchmark::DoNotOptimize(key);
  }
}

// Keeps every finished run so that the ratios can be printed at the end.
// ours/peer as a throughput ratio: bytes per second where there are any,
// else the inverse of the time per run.
void printDigestRatios(const BenchRatioReporter &results,
                       const std::vector<std::pair<std::string, std::string>> &pairs) {
  fmt::print("\nBoth sides hash the same warm buffer, a whole digest per iteration. Peer: "
             "libcrypto with the EVP_MD\nfetched once and one EVP_MD_CTX reused "
             "(Init/Update/Final timed); zlib's crc32 for CRC.\n");
  fmt::print("\n{:<44} {:>12} {:>12} {:>8}\n", "ours / peer", "ours", "peer", "ratio");
  for (const auto &[ours, peer] : pairs) {
    auto *o = results.Find(ours), *p = results.Find(peer);
    if (o == nullptr || p == nullptr) continue;
    if (o->bytesPerSecond > 0) {
      fmt::print("{:<44} {:>9.0f} MB/s {:>7.0f} MB/s {:>7.2f}x\n", ours, o->bytesPerSecond / 1e6,
                 p->bytesPerSecond / 1e6, o->bytesPerSecond / p->bytesPerSecond);
    } else {
      fmt::print("{:<44} {:>9.1f} {:>12.1f} {:>7.2f}x  (time per run, same unit)\n", ours,
                 o->realTime, p->realTime, p->realTime / o->realTime);
    }
  }
}

}  // namespace

int main(int argc, char **argv) {
  std::vector<std::pair<std::string, std::string>> pairs;
  for (const Algorithm &a : kAlgorithms) {
    for (int64_t size : {int64_t(16) << 10, int64_t(1) << 20}) {
      std::string base = fmt::format("Digest/{}/", a.name), suffix = fmt::format("/{}", size);
      benchmark::RegisterBenchmark((base + "ours").c_str(), benchOurs, &a, kCpuFeatureAll)->Arg(size);
      benchmark::RegisterBenchmark((base + "ours-portable").c_str(), benchOurs, &a, 0u)->Arg(size);
      benchmark::RegisterBenchmark((base + "peer").c_str(), benchPeer, &a)->Arg(size);
      pairs.push_back({base + "ours" + suffix, base + "peer" + suffix});
      pairs.push_back({base + "ours-portable" + suffix, base + "peer" + suffix});
    }
  }
  for (const Algorithm &a : kAlgorithms) {
    if (a.peer == nullptr) continue;
    std::string base = fmt::format("OneShot64/{}/", a.name);
    benchmark::RegisterBenchmark((base + "ours").c_str(), benchOurs, &a, kCpuFeatureAll)->Arg(64);
    benchmark::RegisterBenchmark((base + "peer").c_str(), benchPeer, &a)->Arg(64);
    pairs.push_back({base + "ours/64", base + "peer/64"});
  }
  benchmark::RegisterBenchmark("Pbkdf2Sha1/ours", benchPbkdf2Ours)->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("Pbkdf2Sha1/peer", benchPbkdf2Peer)->Unit(benchmark::kMillisecond);
  pairs.push_back({"Pbkdf2Sha1/ours", "Pbkdf2Sha1/peer"});

  return Bench_Main(argc, argv,
                    [&pairs](const BenchRatioReporter &results) { printDigestRatios(results, pairs); });
}
