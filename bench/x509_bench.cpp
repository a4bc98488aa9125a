// Benchmarks of certificate trust, with libcrypto as the peer in the same
// binary:
//   BM_BundleLoad_Ours       the system trust anchors read and indexed
//                            (X509Anchors; goal under 50 ms)
//   BM_BundleLoad_Libcrypto  X509_STORE_load_file on the same bundle
//   BM_Walk_Ours             X509Chain_VerifyPolicy of a leaf, its
//                            intermediate and a pinned root (serverAuth, now)
//   BM_Walk_Libcrypto        X509_verify_cert of the same chain (sslserver)
// The PKI is tests/gen_pki.py's "good" case, read from $KEELSON_VECTORS
// (default build/default/vectors). At the end the ratios ours/peer are
// printed, and the walks per second.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include "bench/bench_ratio.h"
#include "bench/x509_bench_peer.h"
#include "core/runtime/base64.h"
#include "core/security/auth.h"
#include "core/security/certstorethumbprint.h"
#include "core/security/x509anchors.h"
#include "core/security/x509chain.h"
#include "tests/pin_store_util.h"

namespace {

typedef std::vector<uint8_t> Bytes;

Bytes fromHex(const std::string &hex) {
  Bytes out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    out.push_back(uint8_t(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

// The first case of pki_cases.txt: leaf, intermediate, root.
struct GoodPki {
  Bytes leaf, inter, root;
  GoodPki() {
    const char *dir = getenv("KEELSON_VECTORS");
    std::ifstream in(std::string(dir ? dir : "build/default/vectors") + "/pki_cases.txt");
    std::string line;
    int cases = 0;
    while (std::getline(in, line)) {
      size_t tab = line.find('\t');
      std::string kind = line.substr(0, tab), rest = line.substr(tab + 1);
      if (kind == "case" && ++cases > 1) break;
      if (kind == "leaf") leaf = fromHex(rest);
      if (kind == "untrusted") inter = fromHex(rest);
      if (kind == "root") root = fromHex(rest);
    }
  }
};

const GoodPki &pki() {
  static GoodPki instance;
  return instance;
}

void BM_BundleLoad_Ours(benchmark::State &state) {
  for (auto _ : state) {
    X509Anchors_ResetForTest(nullptr);
    benchmark::DoNotOptimize(X509Anchors_GetCount());
  }
  state.counters["anchors"] = X509Anchors_GetCount();
}

void BM_BundleLoad_Libcrypto(benchmark::State &state) {
  for (auto _ : state) X509BenchPeer_LoadBundle(kX509AnchorsBundlePath);
}

void BM_Walk_Ours(benchmark::State &state) {
  const GoodPki &p = pki();
  if (p.leaf.empty()) {
    state.SkipWithError("pki_cases.txt not found (set KEELSON_VECTORS)");
    return;
  }
  X509 *cert = nullptr;
  X509Chain *chain = nullptr;
  X509_Create(&cert);
  X509Chain_Create(&chain);
  for (const Bytes *der : {&p.inter, &p.root}) {
    X509_LoadDer(cert, der->data(), int32_t(der->size()));
    X509Chain_Add(chain, cert);
  }
  X509_LoadDer(cert, p.leaf.data(), int32_t(p.leaf.size()));
  CertStore *store = Test_PinStore({p.root});
  double now = double(time(nullptr));
  for (auto _ : state)
    if (!X509Chain_VerifyPolicy(chain, cert, store, X509Purpose::ServerAuth, now))
      state.SkipWithError("walk refused the chain");
  CertStore_Release(&store);
  X509Chain_Release(&chain);
  X509_Release(&cert);
}

void BM_Walk_Libcrypto(benchmark::State &state) {
  const GoodPki &p = pki();
  if (p.leaf.empty()) {
    state.SkipWithError("pki_cases.txt not found (set KEELSON_VECTORS)");
    return;
  }
  X509BenchPeerChain *chain = X509BenchPeer_CreateChain(p.leaf, p.inter, p.root);
  for (auto _ : state)
    if (!X509BenchPeer_Verify(chain)) state.SkipWithError("libcrypto refused the chain");
  X509BenchPeer_ReleaseChain(chain);
}

BENCHMARK(BM_BundleLoad_Ours)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BundleLoad_Libcrypto)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Walk_Ours)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Walk_Libcrypto)->Unit(benchmark::kMicrosecond);

void printX509Ratios(const BenchRatioReporter &results) {
  printf("\nours/peer (speed: peer time / ours)\n");
  const auto *load = results.Find("BM_BundleLoad_Ours");
  if (load != nullptr)
    printf("  bundle load   %8.2f ms (goal under 50 ms)  ratio %.2fx\n", load->realTime,
           results.SpeedRatio("BM_BundleLoad_Ours", "BM_BundleLoad_Libcrypto"));
  const auto *walk = results.Find("BM_Walk_Ours");
  const auto *peer = results.Find("BM_Walk_Libcrypto");
  if (walk != nullptr && peer != nullptr && walk->realTime > 0)
    printf("  chain walk    %8.0f walks/s vs %8.0f walks/s  ratio %.2fx\n", 1e6 / walk->realTime,
           1e6 / peer->realTime, peer->realTime / walk->realTime);
}

}  // namespace

int main(int argc, char **argv) { return Bench_Main(argc, argv, printX509Ratios); }
