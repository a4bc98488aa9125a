// Benchmarks of the tracked allocator, with glibc malloc/free as the peer in
// the same binary. Every benchmark makes alloc/free pairs of 16 to 256 bytes
// (a fixed pseudo-random cycle of sizes, the same for all):
//   BM_Malloc          glibc malloc/free, the peer
//   BM_MemAlloc        Mem_Alloc/Mem_Free with tracking off (guards, counts)
//   BM_MemAllocTracked Mem_Alloc/Mem_Free with tracking on (list under a lock)
// each on 1 and 2 threads. At the end the speed ratio ours/peer (peer time
// per pair / our time per pair) is printed per row; the goal with tracking
// off on one thread is 0.35x or better (the four atomic adds of the live
// count and bytes are the floor).
#include <benchmark/benchmark.h>

#include "bench/bench_ratio.h"

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "core/runtime/memory.h"

namespace {

constexpr int kSizeCount = 1024;  // a power of two: the index wraps with a mask

struct SizeCycle {
  int64_t sizes[kSizeCount];
  SizeCycle() {
    uint32_t state = 12345;
    for (int64_t &size : sizes) {
      state = state * 1664525u + 1013904223u;
      size = 16 + int64_t(state >> 16) % 241;
    }
  }
};
const SizeCycle kSizes;

void BM_Malloc(benchmark::State &state) {
  int i = state.thread_index() * 97;
  for (auto _ : state) {
    int64_t size = kSizes.sizes[i++ & (kSizeCount - 1)];
    void *p = malloc(size_t(size));
    benchmark::DoNotOptimize(p);
    free(p);
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_MemAlloc(benchmark::State &state) {
  int i = state.thread_index() * 97;
  for (auto _ : state) {
    int64_t size = kSizes.sizes[i++ & (kSizeCount - 1)];
    void *p = Mem_Alloc(size, 1, KSRC);
    benchmark::DoNotOptimize(p);
    Mem_Free(p, size, KSRC);
  }
  state.SetItemsProcessed(state.iterations());
}

void startUntracked(const benchmark::State &) { Mem_Init(0); }
void startTracked(const benchmark::State &) { Mem_Init(1); }
void stop(const benchmark::State &) { Mem_Shutdown(); }

BENCHMARK(BM_Malloc)->UseRealTime()->Threads(1)->Threads(2);
BENCHMARK(BM_MemAlloc)->UseRealTime()->Threads(1)->Threads(2)->Setup(startUntracked)->Teardown(stop);
BENCHMARK(BM_MemAlloc)
    ->Name("BM_MemAllocTracked")
    ->UseRealTime()
    ->Threads(1)
    ->Threads(2)
    ->Setup(startTracked)
    ->Teardown(stop);

// The console output, then one line per configuration with ours/peer.
void printMemoryRatios(const BenchRatioReporter &results) {
  printf("\nours/peer (speed: glibc ns per pair / ours)\n");
  for (const char *threads : {"1", "2"}) {
    const std::string suffix = "/real_time/threads:" + std::string(threads);
    auto *peer = results.Find("BM_Malloc" + suffix);
    if (peer == nullptr) continue;
    for (const char *ours : {"BM_MemAlloc", "BM_MemAllocTracked"}) {
      auto *it = results.Find(ours + suffix);
      if (it == nullptr) continue;
      printf("  %-20s %s thread(s): %7.2f ns vs %7.2f ns  ratio %.2fx\n", ours, threads,
             it->realTime, peer->realTime, peer->realTime / it->realTime);
    }
  }
}

}  // namespace

int main(int argc, char **argv) { return Bench_Main(argc, argv, printMemoryRatios); }
