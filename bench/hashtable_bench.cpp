// HashTable against std::unordered_map<std::string, void *>, with the same
// string keys (16 to 40 bytes of letters and digits), at 1k, 10k and 100k keys.
//
//   BM_Lookup_Ours / BM_Lookup_Peer: one lookup of a present key, keys taken
//     in a shuffled order.
//   BM_Churn_Ours / BM_Churn_Peer: one insert of an absent key and one removal
//     of a present one, so the table keeps its size.
//
// After the runs, the speed of ours relative to the peer (peer time / our
// time; above 1 is faster) is printed for each pair.
#include <benchmark/benchmark.h>

#include "bench/bench_ratio.h"
#include <fmt/core.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/runtime/hashtable.h"

namespace {

// 2 x n distinct keys: the first n are stored, the rest are for churn.
const std::vector<std::string> &Keys(size_t n) {
  static std::map<size_t, std::vector<std::string>> cache;
  std::vector<std::string> &keys = cache[n];
  if (keys.empty()) {
    std::mt19937 rng{uint32_t(n)};
    const std::string alphabet = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::unordered_map<std::string, int> seen;
    while (keys.size() < 2 * n) {
      size_t length = std::uniform_int_distribution<size_t>(16, 40)(rng);
      std::string key;
      for (size_t i = 0; i < length; i++)
        key.push_back(alphabet[std::uniform_int_distribution<size_t>(0, alphabet.size() - 1)(rng)]);
      if (seen.emplace(key, 0).second) keys.push_back(key);
    }
  }
  return keys;
}

std::vector<size_t> ShuffledOrder(size_t n) {
  std::vector<size_t> order(n);
  for (size_t i = 0; i < n; i++) order[i] = i;
  std::shuffle(order.begin(), order.end(), std::mt19937(7));
  return order;
}

void *ValueOf(size_t i) { return reinterpret_cast<void *>(uintptr_t(i * 8 + 8)); }

// Both containers hold the first n keys of Keys(n).
HashTable *FilledTable(const std::vector<std::string> &keys, size_t n) {
  HashTable *table = nullptr;
  HashTable_Create(&table);
  HashTableEntry *entry = nullptr;
  for (size_t i = 0; i < n; i++) HashTable_Set(table, keys[i].c_str(), ValueOf(i), &entry);
  return table;
}

std::unordered_map<std::string, void *> FilledMap(const std::vector<std::string> &keys, size_t n) {
  std::unordered_map<std::string, void *> map;
  for (size_t i = 0; i < n; i++) map.emplace(keys[i], ValueOf(i));
  return map;
}

void BM_Lookup_Ours(benchmark::State &state) {
  size_t n = size_t(state.range(0));
  const std::vector<std::string> &keys = Keys(n);
  HashTable *table = FilledTable(keys, n);
  std::vector<size_t> order = ShuffledOrder(n);
  size_t at = 0;
  for (auto _ : state) {
    void *value = nullptr;
    HashTable_Get(table, keys[order[at]].c_str(), &value);
    benchmark::DoNotOptimize(value);
    if (++at == n) at = 0;
  }
  state.SetItemsProcessed(int64_t(state.iterations()));
  HashTable_Release(&table);
}

void BM_Lookup_Peer(benchmark::State &state) {
  size_t n = size_t(state.range(0));
  const std::vector<std::string> &keys = Keys(n);
  std::unordered_map<std::string, void *> map = FilledMap(keys, n);
  std::vector<size_t> order = ShuffledOrder(n);
  size_t at = 0;
  for (auto _ : state) {
    auto it = map.find(keys[order[at]]);
    benchmark::DoNotOptimize(it->second);
    if (++at == n) at = 0;
  }
  state.SetItemsProcessed(int64_t(state.iterations()));
}

// The stored keys are a window of n in a ring of 2n: each step inserts the
// key after the window and removes the first one in it.
void BM_Churn_Ours(benchmark::State &state) {
  size_t n = size_t(state.range(0));
  const std::vector<std::string> &keys = Keys(n);
  HashTable *table = FilledTable(keys, n);
  HashTableEntry *entry = nullptr;
  size_t first = 0;
  for (auto _ : state) {
    size_t in = (first + n) % (2 * n);
    HashTable_Set(table, keys[in].c_str(), ValueOf(in), &entry);
    HashTable_Remove(table, keys[first].c_str());
    if (++first == 2 * n) first = 0;
  }
  state.SetItemsProcessed(int64_t(state.iterations()));
  HashTable_Release(&table);
}

void BM_Churn_Peer(benchmark::State &state) {
  size_t n = size_t(state.range(0));
  const std::vector<std::string> &keys = Keys(n);
  std::unordered_map<std::string, void *> map = FilledMap(keys, n);
  size_t first = 0;
  for (auto _ : state) {
    size_t in = (first + n) % (2 * n);
    map.emplace(keys[in], ValueOf(in));
    map.erase(keys[first]);
    if (++first == 2 * n) first = 0;
  }
  state.SetItemsProcessed(int64_t(state.iterations()));
}

BENCHMARK(BM_Lookup_Ours)->Arg(1000)->Arg(10000)->Arg(100000);
BENCHMARK(BM_Lookup_Peer)->Arg(1000)->Arg(10000)->Arg(100000);
BENCHMARK(BM_Churn_Ours)->Arg(1000)->Arg(10000)->Arg(100000);
BENCHMARK(BM_Churn_Peer)->Arg(1000)->Arg(10000)->Arg(100000);

// Keeps the time per iteration of every run so the ratios can follow.
void printHashTableRatios(const BenchRatioReporter &results) {
  fmt::print("\nours/peer speed (peer time / our time; goal at 1k: lookup >= 0.8, churn >= 0.5)\n");
  for (const char *kind : {"Lookup", "Churn"}) {
    for (int n : {1000, 10000, 100000}) {
      auto *ours = results.Find(fmt::format("BM_{}_Ours/{}", kind, n));
      auto *peer = results.Find(fmt::format("BM_{}_Peer/{}", kind, n));
      if (ours == nullptr || peer == nullptr) continue;
      fmt::print("  {:<6} {:>6} keys: ours {:8.1f} ns, peer {:8.1f} ns, ratio {:.2f}\n", kind, n,
                 ours->realTime, peer->realTime, peer->realTime / ours->realTime);
    }
  }
}

}  // namespace

int main(int argc, char **argv) { return Bench_Main(argc, argv, printHashTableRatios); }
