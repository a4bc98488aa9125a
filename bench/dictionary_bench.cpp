// Keyed work on large Dictionary containers, at 1k, 10k and 80k keys: the
// time per key must stay flat (within 2x from 1k to 80k), which a walk of
// the container per lookup made grow with the key count.
//
//   BM_IniRead_Ours / BM_IniRead_Peer: an INI text of n sections (one
//     "name=value" line each) read into a Dictionary; the peer cuts the same
//     lines into std::unordered_map sections.
//   BM_Merge_Ours / BM_Merge_Peer: a Dictionary of n keys merged with the
//     overwrite flag into one of n keys, half of them shared; the peer
//     insert_or_assigns the same keys into a std::unordered_map.
//
// After the runs, the time per key of each size is printed, with the ratio
// of 80k to 1k (flat is 1) and ours/peer (peer time / our time).
#include <benchmark/benchmark.h>
#include <fmt/core.h>

#include <string>
#include <string_view>
#include <unordered_map>

#include "bench/bench_ratio.h"
#include "core/formats/dictionary.h"
#include "core/formats/ini.h"
#include "core/runtime/memstream.h"

namespace {

constexpr int kSizes[] = {1000, 10000, 80000};

std::string keyOf(int i) { return "section-" + std::to_string(i * 7919 % 1000003); }

const std::string &iniText(int n) {
  static std::unordered_map<int, std::string> cache;
  std::string &text = cache[n];
  if (text.empty())
    for (int i = 0; i < n; i++) text += "[" + keyOf(i) + "]\r\nname=value " + keyOf(i) + "\r\n";
  return text;
}

void BM_IniRead_Ours(benchmark::State &state) {
  int n = int(state.range(0));
  std::string text = iniText(n);
  for (auto _ : state) {
    Dictionary *d = nullptr;
    Dictionary_Create(&d);
    MemoryStream *memory = nullptr;
    MemoryStream_Create(&memory);
    MemoryStream_Attach(memory, text.data(), int32_t(text.size()), int32_t(text.size()));
    Stream *stream = nullptr;
    MemoryStream_GetStream(memory, &stream);
    Ini *ini = nullptr;
    Ini_Create(&ini);
    Ini_SetDictionary(ini, d);
    if (!Ini_Parse(ini, stream)) state.SkipWithError("parse failed");
    Ini_SetDictionary(ini, nullptr);
    Ini_Release(&ini);
    MemoryStream_Release(&memory);
    Dictionary_Release(&d);
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * n);
}

using PeerSection = std::unordered_map<std::string, std::string>;

void BM_IniRead_Peer(benchmark::State &state) {
  int n = int(state.range(0));
  const std::string &text = iniText(n);
  for (auto _ : state) {
    std::unordered_map<std::string, PeerSection> sections;
    PeerSection *current = nullptr;
    std::string_view rest(text);
    while (!rest.empty()) {
      size_t end = rest.find_first_of("\r\n");
      std::string_view line = rest.substr(0, end);
      rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
      if (line.empty()) continue;
      if (line[0] == '[') {
        current = &sections[std::string(line.substr(1, line.find(']') - 1))];
      } else if (current != nullptr) {
        size_t equals = line.find('=');
        current->emplace(std::string(line.substr(0, equals)),
                         std::string(line.substr(equals + 1)));
      }
    }
    benchmark::DoNotOptimize(sections.size());
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * n);
}

Dictionary *filled(int from, int to) {
  Dictionary *d = nullptr;
  Dictionary_Create(&d);
  for (int i = from; i < to; i++) Dictionary_SetStringByKey(d, keyOf(i).c_str(), "value");
  return d;
}

void BM_Merge_Ours(benchmark::State &state) {
  int n = int(state.range(0));
  Dictionary *source = filled(n / 2, n + n / 2);
  for (auto _ : state) {
    state.PauseTiming();
    Dictionary *destination = filled(0, n);
    state.ResumeTiming();
    Dictionary_Merge(destination, source, kDictionaryMergeOverwrite);
    state.PauseTiming();
    Dictionary_Release(&destination);
    state.ResumeTiming();
  }
  Dictionary_Release(&source);
  state.SetItemsProcessed(int64_t(state.iterations()) * n);
}

void BM_Merge_Peer(benchmark::State &state) {
  int n = int(state.range(0));
  PeerSection source;
  for (int i = n / 2; i < n + n / 2; i++) source.emplace(keyOf(i), "value");
  for (auto _ : state) {
    state.PauseTiming();
    PeerSection destination;
    for (int i = 0; i < n; i++) destination.emplace(keyOf(i), "value");
    state.ResumeTiming();
    for (const auto &[key, value] : source) destination.insert_or_assign(key, value);
    benchmark::DoNotOptimize(destination.size());
    state.PauseTiming();
    destination = PeerSection();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * n);
}

BENCHMARK(BM_IniRead_Ours)->Arg(1000)->Arg(10000)->Arg(80000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_IniRead_Peer)->Arg(1000)->Arg(10000)->Arg(80000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Merge_Ours)->Arg(1000)->Arg(10000)->Arg(80000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Merge_Peer)->Arg(1000)->Arg(10000)->Arg(80000)->Unit(benchmark::kMillisecond);

void printDictionaryRatios(const BenchRatioReporter &results) {
  fmt::print("\ntime per key (goal: 80k within 2x of 1k), ours/peer = peer time / our time\n");
  for (const char *kind : {"IniRead", "Merge"}) {
    double first = 0;
    for (int n : kSizes) {
      auto *ours = results.Find(fmt::format("BM_{}_Ours/{}", kind, n));
      auto *peer = results.Find(fmt::format("BM_{}_Peer/{}", kind, n));
      if (ours == nullptr || peer == nullptr) continue;
      double oursNs = ours->realTime * 1e6 / n;  // the runs report milliseconds
      double peerNs = peer->realTime * 1e6 / n;
      if (first == 0) first = oursNs;
      fmt::print("  {:<7} {:>6} keys: ours {:8.1f} ns/key, peer {:8.1f} ns/key, ours/peer {:.2f}, "
                 "vs 1k {:.2f}\n",
                 kind, n, oursNs, peerNs, peerNs / oursNs, oursNs / first);
    }
  }
}

}  // namespace

int main(int argc, char **argv) { return Bench_Main(argc, argv, printDictionaryRatios); }
