// Shared by the benchmarks: a console reporter that also keeps each run's
// time and throughput, so that a benchmark can print ours/peer ratios of
// runs measured in the same process, and the main that drives it.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

// The steady clock in nanoseconds, for benchmarks that time single events.
inline int64_t Bench_NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// The median and 99th percentile of a sample of nanosecond times, in
// microseconds. Sorts the sample.
struct BenchPercentiles {
  double p50Us;
  double p99Us;
};

inline BenchPercentiles Bench_Percentiles(std::vector<int64_t> &ns) {
  std::sort(ns.begin(), ns.end());
  return {double(ns[ns.size() / 2]) / 1000.0, double(ns[ns.size() * 99 / 100]) / 1000.0};
}

class BenchRatioReporter : public benchmark::ConsoleReporter {
 public:
  struct Result {
    double realTime;        // per iteration, in the benchmark's time unit
    double bytesPerSecond;  // 0 when the benchmark reports no bytes
  };

  void ReportRuns(const std::vector<Run> &runs) override {
    for (const Run &run : runs) {
      if (run.run_type != Run::RT_Iteration || run.error_occurred) continue;
      double bytesPerSecond = 0;
      auto it = run.counters.find("bytes_per_second");
      if (it != run.counters.end()) bytesPerSecond = it->second.value;
      Result result{run.GetAdjustedRealTime(), bytesPerSecond};
      results_[run.benchmark_name()] = result;
      // Also under the bare function name ("BM_Read" for "BM_Read/min_time:2"),
      // for benchmarks that run once; with several arguments the last wins.
      results_[run.run_name.function_name] = result;
    }
    ConsoleReporter::ReportRuns(runs);
  }

  // The run of that name, or NULL when it did not run (filtered out).
  const Result *Find(const std::string &name) const {
    auto it = results_.find(name);
    return it == results_.end() ? nullptr : &it->second;
  }

  // Speed of ours relative to the peer (peer time / our time: above 1 we are
  // faster); 0 when either did not run.
  double SpeedRatio(const std::string &ours, const std::string &peer) const {
    const Result *o = Find(ours), *p = Find(peer);
    return o && p && o->realTime > 0 ? p->realTime / o->realTime : 0;
  }

 private:
  std::map<std::string, Result> results_;
};

// Runs the benchmarks selected on the command line, then hands the results
// to printRatios.
inline int Bench_Main(int argc, char **argv,
                      const std::function<void(const BenchRatioReporter &)> &printRatios) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  BenchRatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  printRatios(reporter);
  // Ratios move with what else the machine runs: say how busy it was.
  if (FILE *load = fopen("/proc/loadavg", "r")) {
    double one = 0, five = 0;
    if (fscanf(load, "%lf %lf", &one, &five) == 2)
      printf("load average while measured: %.2f (1 min), %.2f (5 min)\n", one, five);
    fclose(load);
  }
  benchmark::Shutdown();
  return 0;
}
