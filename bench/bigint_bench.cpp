// Benchmarks of modular exponentiation with an odd 2048-bit modulus (the
// work of an RSA-2048 private operation and of a signature check), with
// libcrypto as the peer in the same binary:
//   BM_ModExp_Ours/full       BigInt_ModExp, a full 2048-bit exponent
//   BM_ModExp_Ours/65537      BigInt_ModExp, exponent 65537
//   BM_ModExp_Libcrypto/...   BN_mod_exp, the same operands (it builds its
//                             Montgomery constants on every call)
//   BM_ModExpMont_Libcrypto/... BN_mod_exp_mont with a BN_MONT_CTX made once,
//                             as our context is: the fair peer
// Our context is built outside the timed loop, so the figure is the ratio
// against BN_mod_exp_mont; the BN_mod_exp row is printed for reference only.
// At the end the speed ratio ours/peer (peer time / our time) is printed per
// exponent; the goal for the full exponent is 0.3x or better.
#include <benchmark/benchmark.h>

#include "bench/bench_ratio.h"
#include <openssl/bn.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "core/security/bigint.h"

namespace {

constexpr int kModulusBytes = 256;

// Fixed operands from a small linear congruential generator, so every run
// measures the same numbers.
struct Operands {
  std::vector<uint8_t> modulus, base, full;
  Operands() : modulus(kModulusBytes), base(kModulusBytes), full(kModulusBytes) {
    uint32_t state = 0x2048;
    for (std::vector<uint8_t> *v : {&modulus, &base, &full})
      for (uint8_t &b : *v) {
        state = state * 1664525u + 1013904223u;
        b = uint8_t(state >> 24);
      }
    modulus[0] |= 0x80;  // full 2048 bits
    modulus[kModulusBytes - 1] |= 1;  // odd
    base[0] &= 0x7F;  // below the modulus
    full[0] |= 0x80;
  }
};
const Operands kOperands;
const uint8_t kE65537[] = {0x01, 0x00, 0x01};

const std::vector<uint8_t> &exponentBytes(int which, int *count) {
  static const std::vector<uint8_t> small(kE65537, kE65537 + 3);
  *count = which == 0 ? kModulusBytes : 3;
  return which == 0 ? kOperands.full : small;
}

void BM_ModExp_Ours(benchmark::State &state) {
  BigInt m, b, e, r;
  for (BigInt *n : {&m, &b, &e, &r}) BigInt_InitInPlace(n);
  int count = 0;
  const std::vector<uint8_t> &exponent = exponentBytes(int(state.range(0)), &count);
  BigInt_FromBytes(&m, kOperands.modulus.data(), kModulusBytes);
  BigInt_FromBytes(&b, kOperands.base.data(), kModulusBytes);
  BigInt_FromBytes(&e, exponent.data(), count);
  BigIntModContext *ctx = nullptr;
  BigInt_ModContextInit(&ctx, &m);
  for (auto _ : state) {
    BigInt_ModExp(&r, &b, &e, ctx);
    benchmark::DoNotOptimize(r.Limbs);
  }
  BigInt_ModContextRelease(&ctx);
  for (BigInt *n : {&m, &b, &e, &r}) BigInt_FreeLimbs(n);
  state.SetItemsProcessed(state.iterations());
}

void libcryptoRun(benchmark::State &state, bool montOnce) {
  BN_CTX *bnCtx = BN_CTX_new();
  int count = 0;
  const std::vector<uint8_t> &exponent = exponentBytes(int(state.range(0)), &count);
  BIGNUM *m = BN_bin2bn(kOperands.modulus.data(), kModulusBytes, nullptr);
  BIGNUM *b = BN_bin2bn(kOperands.base.data(), kModulusBytes, nullptr);
  BIGNUM *e = BN_bin2bn(exponent.data(), count, nullptr);
  BIGNUM *r = BN_new();
  BN_MONT_CTX *mont = BN_MONT_CTX_new();
  BN_MONT_CTX_set(mont, m, bnCtx);
  for (auto _ : state) {
    if (montOnce)
      BN_mod_exp_mont(r, b, e, m, bnCtx, mont);
    else
      BN_mod_exp(r, b, e, m, bnCtx);
    benchmark::DoNotOptimize(r);
  }
  BN_MONT_CTX_free(mont);
  for (BIGNUM *n : {m, b, e, r}) BN_free(n);
  BN_CTX_free(bnCtx);
  state.SetItemsProcessed(state.iterations());
}

void BM_ModExp_Libcrypto(benchmark::State &state) { libcryptoRun(state, false); }
void BM_ModExpMont_Libcrypto(benchmark::State &state) { libcryptoRun(state, true); }

// Results must agree before any time means anything.
bool sameResults() {
  bool same = true;
  for (int which = 0; which < 2; which++) {
    BigInt m, b, e, r;
    for (BigInt *n : {&m, &b, &e, &r}) BigInt_InitInPlace(n);
    int count = 0;
    const std::vector<uint8_t> &exponent = exponentBytes(which, &count);
    BigInt_FromBytes(&m, kOperands.modulus.data(), kModulusBytes);
    BigInt_FromBytes(&b, kOperands.base.data(), kModulusBytes);
    BigInt_FromBytes(&e, exponent.data(), count);
    BigIntModContext *ctx = nullptr;
    BigInt_ModContextInit(&ctx, &m);
    BigInt_ModExp(&r, &b, &e, ctx);
    std::vector<uint8_t> ours(kModulusBytes), theirs(kModulusBytes);
    BigInt_ToBytesPadded(&r, ours.data(), kModulusBytes);
    BN_CTX *bnCtx = BN_CTX_new();
    BIGNUM *bm = BN_bin2bn(kOperands.modulus.data(), kModulusBytes, nullptr);
    BIGNUM *bb = BN_bin2bn(kOperands.base.data(), kModulusBytes, nullptr);
    BIGNUM *be = BN_bin2bn(exponent.data(), count, nullptr);
    BIGNUM *br = BN_new();
    BN_mod_exp(br, bb, be, bm, bnCtx);
    BN_bn2binpad(br, theirs.data(), kModulusBytes);
    same = same && ours == theirs;
    for (BIGNUM *n : {bm, bb, be, br}) BN_free(n);
    BN_CTX_free(bnCtx);
    BigInt_ModContextRelease(&ctx);
    for (BigInt *n : {&m, &b, &e, &r}) BigInt_FreeLimbs(n);
  }
  return same;
}

BENCHMARK(BM_ModExp_Ours)->ArgName("full65537")->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ModExp_Libcrypto)->ArgName("full65537")->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ModExpMont_Libcrypto)->ArgName("full65537")->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

// The console output, then one line per exponent with ours/peer.
void printBigIntRatios(const BenchRatioReporter &results) {
  printf("\nours/peer (speed: peer time per exponentiation / ours). Both sides reuse a\n"
         "Montgomery context built outside the timed loop: BN_mod_exp_mont with a\n"
         "prebuilt BN_MONT_CTX is the figure; BN_mod_exp (constants rebuilt per call)\n"
         "is shown for reference.\n");
  const char *names[2] = {"full 2048-bit exponent", "exponent 65537"};
  for (int which = 0; which < 2; which++) {
    const std::string suffix = "/full65537:" + std::to_string(which);
    auto *ours = results.Find("BM_ModExp_Ours" + suffix);
    if (ours == nullptr) continue;
    for (const char *peer : {"BM_ModExpMont_Libcrypto", "BM_ModExp_Libcrypto"}) {
      auto *it = results.Find(peer + suffix);
      if (it == nullptr) continue;
      bool figure = peer[9] == 'M';
      printf("  %-22s vs %-24s %9.1f us vs %9.1f us  ratio %.2fx%s\n", names[which], peer,
             ours->realTime, it->realTime, it->realTime / ours->realTime,
             figure ? "  (figure)" : "  (reference)");
    }
  }
}

}  // namespace

int main(int argc, char **argv) {
  if (!sameResults()) {
    fprintf(stderr, "BigInt_ModExp and BN_mod_exp disagree\n");
    return 1;
  }
  return Bench_Main(argc, argv, printBigIntRatios);
}
