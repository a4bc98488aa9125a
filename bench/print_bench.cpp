// Print engine against glibc snprintf and {fmt} (fmt::format_to_n), same
// arguments, same output size, in the same run. Each group has an "ours", a
// "snprintf" and an "fmt" entry; after the runs a table gives each peer's
// time divided by ours (above 1: we are faster) beside the goal.
//
//   LogLine   a typical log line: hex id, numbers, a host name, a percent
//   Int       "%d" over a spread of values
//   IntMix    "%5d|%-8x|%llu"
//   String    "%s=%s" and "%-20s|%10s"
//   Fixed3    "%.3f"
//   General   "%g" (ours: 12 significant digits; glibc given "%.12g" for the
//             same output)
//   Exponent  "%e" (ours: 12 decimals; glibc given "%.12e")
#include <benchmark/benchmark.h>

#include "bench/bench_ratio.h"
#include <fmt/format.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "core/runtime/print.h"

namespace {

constexpr int kValues = 64;
constexpr int kBufferBytes = 256;

struct Inputs {
  int ints[kValues];
  unsigned long long longs[kValues];
  double doubles[kValues];
  Inputs() {
    unsigned x = 12345;
    for (int i = 0; i < kValues; i++) {
      x = x * 1103515245u + 12345u;
      ints[i] = int(x >> 8) % (i % 3 == 0 ? 100 : i % 3 == 1 ? 100000 : 1000000000);
      if (i % 4 == 0) ints[i] = -ints[i];
      longs[i] = (static_cast<unsigned long long>(x) << 20) ^ i;
      static const double scales[] = {1e-3, 1.0, 1e3, 1e6};
      doubles[i] = double(x % 1000000) / 997.0 * scales[i % 4];
    }
  }
};
const Inputs kInputs;
const char *const kHosts[] = {"cdn1.example.net", "edge-eu.example.org", "localhost",
                              "mirror.example.com"};

enum class Peer { Ours, Snprintf, Fmt };

template <Peer peer>
void BM_LogLine(benchmark::State &state) {
  char buffer[kBufferBytes];
  int i = 0;
  for (auto _ : state) {
    int n = i++ & (kValues - 1);
    int a = kInputs.ints[n], b = kInputs.ints[(n + 1) & (kValues - 1)];
    const char *host = kHosts[n & 3];
    if constexpr (peer == Peer::Ours)
      Str_Printf(buffer, sizeof buffer,
                 "INFO - Download.%08X - received %d of %d bytes from %s in %d ms (%d%%)\n",
                 unsigned(n * 7919), a, b, host, n, n & 127);
    else if constexpr (peer == Peer::Snprintf)
      snprintf(buffer, sizeof buffer,
               "INFO - Download.%08X - received %d of %d bytes from %s in %d ms (%d%%)\n",
               unsigned(n * 7919), a, b, host, n, n & 127);
    else
      *fmt::format_to_n(buffer, sizeof buffer - 1,
                        "INFO - Download.{:08X} - received {} of {} bytes from {} in {} ms ({}%)\n",
                        unsigned(n * 7919), a, b, host, n, n & 127)
           .out = '\0';
    benchmark::DoNotOptimize(buffer);
  }
}

template <Peer peer>
void BM_Int(benchmark::State &state) {
  char buffer[kBufferBytes];
  int i = 0;
  for (auto _ : state) {
    int v = kInputs.ints[i++ & (kValues - 1)];
    if constexpr (peer == Peer::Ours)
      Str_Printf(buffer, sizeof buffer, "%d", v);
    else if constexpr (peer == Peer::Snprintf)
      snprintf(buffer, sizeof buffer, "%d", v);
    else
      *fmt::format_to_n(buffer, sizeof buffer - 1, "{}", v).out = '\0';
    benchmark::DoNotOptimize(buffer);
  }
}

template <Peer peer>
void BM_IntMix(benchmark::State &state) {
  char buffer[kBufferBytes];
  int i = 0;
  for (auto _ : state) {
    int n = i++ & (kValues - 1);
    int a = kInputs.ints[n];
    unsigned b = unsigned(kInputs.ints[(n + 5) & (kValues - 1)]);
    unsigned long long c = kInputs.longs[n];
    if constexpr (peer == Peer::Ours)
      Str_Printf(buffer, sizeof buffer, "%5d|%-8x|%llu", a, b, c);
    else if constexpr (peer == Peer::Snprintf)
      snprintf(buffer, sizeof buffer, "%5d|%-8x|%llu", a, b, c);
    else
      *fmt::format_to_n(buffer, sizeof buffer - 1, "{:5}|{:<8x}|{}", a, b, c).out = '\0';
    benchmark::DoNotOptimize(buffer);
  }
}

template <Peer peer>
void BM_String(benchmark::State &state) {
  char buffer[kBufferBytes];
  int i = 0;
  for (auto _ : state) {
    const char *key = kHosts[i & 3];
    const char *value = kHosts[(i + 1) & 3];
    i++;
    if constexpr (peer == Peer::Ours) {
      int n = Str_Printf(buffer, sizeof buffer, "%s=%s", key, value);
      Str_Printf(buffer + n, int(sizeof buffer) - n, "%-20s|%10s", value, key);
    } else if constexpr (peer == Peer::Snprintf) {
      int n = snprintf(buffer, sizeof buffer, "%s=%s", key, value);
      snprintf(buffer + n, sizeof buffer - size_t(n), "%-20s|%10s", value, key);
    } else {
      char *end = fmt::format_to_n(buffer, sizeof buffer - 1, "{}={}", key, value).out;
      *fmt::format_to_n(end, size_t(buffer + sizeof buffer - 1 - end), "{:<20}|{:>10}", value, key)
           .out = '\0';
    }
    benchmark::DoNotOptimize(buffer);
  }
}

// One float conversion; format strings per peer.
template <Peer peer>
void floatBench(benchmark::State &state, const char *ours, const char *libc, const char *fmtText) {
  char buffer[kBufferBytes];
  int i = 0;
  for (auto _ : state) {
    double v = kInputs.doubles[i++ & (kValues - 1)];
    if constexpr (peer == Peer::Ours)
      Str_Printf(buffer, sizeof buffer, ours, v);
    else if constexpr (peer == Peer::Snprintf)
      snprintf(buffer, sizeof buffer, libc, v);
    else
      *fmt::format_to_n(buffer, sizeof buffer - 1, fmt::runtime(fmtText), v).out = '\0';
    benchmark::DoNotOptimize(buffer);
  }
}

template <Peer peer>
void BM_Fixed3(benchmark::State &state) {
  floatBench<peer>(state, "%.3f", "%.3f", "{:.3f}");
}
template <Peer peer>
void BM_General(benchmark::State &state) {
  floatBench<peer>(state, "%g", "%.12g", "{:.12g}");
}
template <Peer peer>
void BM_Exponent(benchmark::State &state) {
  floatBench<peer>(state, "%e", "%.12e", "{:.12e}");
}

#define PRINT_BENCH_GROUP(name)                                        \
  BENCHMARK_TEMPLATE(BM_##name, Peer::Ours)->Name(#name "/ours");      \
  BENCHMARK_TEMPLATE(BM_##name, Peer::Snprintf)->Name(#name "/snprintf"); \
  BENCHMARK_TEMPLATE(BM_##name, Peer::Fmt)->Name(#name "/fmt")

PRINT_BENCH_GROUP(LogLine);
PRINT_BENCH_GROUP(Int);
PRINT_BENCH_GROUP(IntMix);
PRINT_BENCH_GROUP(String);
PRINT_BENCH_GROUP(Fixed3);
PRINT_BENCH_GROUP(General);
PRINT_BENCH_GROUP(Exponent);

// Console output as usual, plus the times kept for the ratio table.
void printPrintRatios(const BenchRatioReporter &results) {
  struct Goal {
    const char *group;
    double snprintf;
    double fmt;  // 0: none
  };
  const Goal goals[] = {{"LogLine", 0.8, 0.35}, {"Int", 0.8, 0.35},    {"IntMix", 0.8, 0.35},
                        {"String", 0.8, 0.35},  {"Fixed3", 1.0, 0},    {"General", 1.0, 0},
                        {"Exponent", 1.0, 0}};
  printf("\nspeed ratio = peer time / our time (goal in brackets)\n");
  printf("%-10s %22s %22s\n", "group", "vs snprintf", "vs {fmt}");
  for (const Goal &goal : goals) {
    std::string g = goal.group;
    if (results.Find(g + "/ours") == nullptr) continue;
    auto ratio = [&](const char *peer) { return results.SpeedRatio(g + "/ours", g + "/" + peer); };
    char fmtGoal[16] = "-";
    if (goal.fmt > 0) snprintf(fmtGoal, sizeof fmtGoal, ">=%.2f", goal.fmt);
    printf("%-10s %12.2fx [>=%.2f] %12.2fx [%s]\n", goal.group, ratio("snprintf"), goal.snprintf,
           ratio("fmt"), fmtGoal);
  }
}

}  // namespace

int main(int argc, char **argv) { return Bench_Main(argc, argv, printPrintRatios); }
