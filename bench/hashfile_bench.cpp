// HashFile's SHA-256 of a 1 GiB file, polled to the end, against
// `openssl dgst -sha256` of the same file in the same run (coreutils'
// sha256sum does not use the processor's SHA extensions; libcrypto does):
//
//   BM_HashFile        HashFile_Start, HashFile_Poll until it completes
//   BM_OpensslDgst     openssl dgst -sha256 <file> (the peer, a child process)
//
// The file lives in $KEELSON_BENCH_DIR (default /dev/shm, so the runs
// measure the reads and the hash, not a disk). Goal, printed at the end:
// HashFile reaches at least 0.9 of the peer's speed.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/bench_ratio.h"
#include "core/security/hashfile.h"

namespace {

constexpr int64_t kFileBytes = int64_t(1) << 30;
constexpr double kGoal = 0.9;

std::string gPath;

void BM_HashFile(benchmark::State &state) {
  HashFile *h = nullptr;
  HashFile_Create(&h);
  HashFile_SetPath(h, gPath.c_str());
  for (auto _ : state) {
    HashFile_SetHashInterface(h, &kHashSha256);
    if (!HashFile_Start(h)) state.SkipWithError("start failed");
    while (HashFile_IsRunning(h)) HashFile_Poll(h);
    char hex[65];
    HashFile_GetDigestText(h, hex, sizeof hex);
    benchmark::DoNotOptimize(hex);
  }
  HashFile_Release(&h);
  state.SetBytesProcessed(int64_t(state.iterations()) * kFileBytes);
}
BENCHMARK(BM_HashFile)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);

void BM_OpensslDgst(benchmark::State &state) {
  std::string command = "openssl dgst -sha256 '" + gPath + "' > /dev/null";
  for (auto _ : state)
    if (system(command.c_str()) != 0) state.SkipWithError("openssl dgst failed");
  state.SetBytesProcessed(int64_t(state.iterations()) * kFileBytes);
}
BENCHMARK(BM_OpensslDgst)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);

void printRatios(const BenchRatioReporter &reporter) {
  double ratio = reporter.SpeedRatio("BM_HashFile", "BM_OpensslDgst");
  if (ratio == 0) return;
  printf("\nHashFile SHA-256 against openssl dgst -sha256 (1 GiB): ratio %.3f (goal >= %.2f) %s\n", ratio,
         kGoal, ratio >= kGoal ? "met" : "MISSED");
}

bool writeFile(const std::string &path) {
  FILE *f = fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  std::vector<unsigned char> block(1 << 20);
  unsigned state = 12345;
  for (auto &b : block) b = (unsigned char)((state = state * 1103515245u + 12345u) >> 24);
  bool ok = true;
  for (int64_t done = 0; done < kFileBytes && ok; done += int64_t(block.size())) {
    block[0]++;
    ok = fwrite(block.data(), 1, block.size(), f) == block.size();
  }
  return fclose(f) == 0 && ok;
}

}  // namespace

int main(int argc, char **argv) {
  const char *directory = getenv("KEELSON_BENCH_DIR");
  std::string dir = directory && directory[0] ? directory : "/dev/shm";
  gPath = dir + "/keelson-hashfile-bench-" + std::to_string(getpid()) + ".dat";
  if (!writeFile(gPath)) {
    perror(gPath.c_str());
    return 1;
  }
  int result = Bench_Main(argc, argv, printRatios);
  remove(gPath.c_str());
  return result;
}
