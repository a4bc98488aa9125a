// Platform_CopyFile against cp(1) on the same 1 GiB file, in the same run,
// on an ext4 directory and on a tmpfs directory. Each iteration copies the
// whole file to a new name; the copy is removed (untimed) before the next, so
// no run pays for another's dirty pages. After the runs a table gives cp's
// time divided by ours (above 1: we are faster) beside the goal of 0.9.
//
//   Copy/ext4/ours    Platform_CopyFile in $KEELSON_BENCH_EXT4 (default /var/tmp)
//   Copy/ext4/cp      cp in the same directory
//   Copy/tmpfs/ours   Platform_CopyFile in $KEELSON_BENCH_TMPFS (default /dev/shm)
//   Copy/tmpfs/cp     cp in the same directory
// Each pair runs ours first, then cp, four iterations each.
//
// A directory whose file system is not the one named is skipped with a note.
// The 1 GiB sources are written once and removed at the end.
#include <benchmark/benchmark.h>

#include "bench/bench_ratio.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "core/platform/platform.h"

namespace {

constexpr int64_t kFileBytes = int64_t(1) << 30;
constexpr size_t kWriteBlockBytes = 8u << 20;
constexpr double kGoal = 0.9;
constexpr int kIterations = 4;

struct Place {
  const char *label;
  const char *variable;
  const char *fallback;
  const char *fsType;  // as df -T names it
};

constexpr Place kPlaces[] = {
    {"ext4", "KEELSON_BENCH_EXT4", "/var/tmp", "ext4"},
    {"tmpfs", "KEELSON_BENCH_TMPFS", "/dev/shm", "tmpfs"},
};

std::string shellOutput(const std::string &command) {
  std::string output;
  if (FILE *pipe = popen(command.c_str(), "r")) {
    char buffer[256];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
    pclose(pipe);
  }
  while (!output.empty() && (output.back() == '\n' || output.back() == ' ')) output.pop_back();
  return output;
}

std::string directoryOf(const Place &place) {
  const char *value = getenv(place.variable);
  return value && value[0] ? value : place.fallback;
}

// The source file of a place, written on first use; "" when the directory is
// not on the file system the benchmark names (gSkipReasons says why).
std::map<std::string, std::string> gSources;
std::map<std::string, std::string> gSkipReasons;

std::string sourceFor(const Place &place, std::string *why) {
  auto found = gSources.find(place.label);
  if (found != gSources.end()) {
    *why = gSkipReasons[place.label];
    return found->second;
  }
  std::string directory = directoryOf(place);
  std::string type = shellOutput("df --output=fstype '" + directory + "' 2>/dev/null | tail -1");
  std::string path;
  if (type != place.fsType) {
    *why = directory + " is " + (type.empty() ? "missing" : type) + ", not " + place.fsType +
           " (set " + place.variable + ")";
  } else {
    path = directory + "/keelson-copy-bench.src";
    std::ofstream out(path, std::ios::binary);
    std::vector<uint64_t> block(kWriteBlockBytes / sizeof(uint64_t));
    uint64_t x = 0x9e3779b97f4a7c15ull;  // xorshift: incompressible, cheap to make
    for (int64_t written = 0; written < kFileBytes; written += kWriteBlockBytes) {
      for (uint64_t &word : block) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        word = x;
      }
      out.write(reinterpret_cast<const char *>(block.data()), std::streamsize(kWriteBlockBytes));
    }
    out.close();
    if (!out.good()) {
      *why = "cannot write " + path;
      path.clear();
    }
    // Written back, and copied once untimed, before anything is timed: the
    // fresh source's writeback and the first allocation of a whole copy's
    // pages would otherwise fall on whichever copy runs first.
    std::string warmUp = "sync && cp '" + path + "' '" + path + ".copy' && rm '" + path + ".copy'";
    if (!path.empty() && system(warmUp.c_str()) != 0) {
      *why = "warm-up copy failed";
      path.clear();
    }
  }
  gSources[place.label] = path;
  gSkipReasons[place.label] = *why;
  return path;
}

template <bool ours>
void BM_Copy(benchmark::State &state, size_t placeIndex) {
  const Place &place = kPlaces[placeIndex];
  std::string why;
  std::string source = sourceFor(place, &why);
  if (source.empty()) {
    state.SkipWithError(why.c_str());
    return;
  }
  std::string destination = source + ".copy";
  std::string command = "cp '" + source + "' '" + destination + "'";
  for (auto _ : state) {
    bool ok = ours
                  ? Platform_CopyFile(source.c_str(), destination.c_str(), 0, nullptr, nullptr) == 1
                  : system(command.c_str()) == 0;
    state.PauseTiming();
    std::filesystem::remove(destination);
    state.ResumeTiming();
    if (!ok) {
      state.SkipWithError("copy failed");
      break;
    }
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * kFileBytes);
}

// Per place, ours and then cp, so both meet the same state of the machine.
void registerBenchmarks() {
  for (size_t i = 0; i < sizeof kPlaces / sizeof kPlaces[0]; i++) {
    std::string prefix = std::string("Copy/") + kPlaces[i].label;
    for (auto *b : {benchmark::RegisterBenchmark((prefix + "/ours").c_str(), BM_Copy<true>, i),
                    benchmark::RegisterBenchmark((prefix + "/cp").c_str(), BM_Copy<false>, i)})
      b->Iterations(kIterations)->UseRealTime()->Unit(benchmark::kMillisecond);
  }
}

// Console output as usual, plus the times kept for the ratio table.
void printCopyRatios(const BenchRatioReporter &results) {
  printf("\nspeed ratio = cp time / our time (goal >= %.2f)\n", kGoal);
  for (size_t i = 0; i < sizeof kPlaces / sizeof kPlaces[0]; i++) {
    std::string prefix = std::string("Copy/") + kPlaces[i].label;
    std::string suffix = "/iterations:" + std::to_string(kIterations) + "/real_time";
    auto *ours = results.Find(prefix + "/ours" + suffix);
    auto *peer = results.Find(prefix + "/cp" + suffix);
    if (ours == nullptr || peer == nullptr) {
      printf("  %-6s skipped\n", kPlaces[i].label);
      continue;
    }
    double ratio = peer->realTime / ours->realTime;
    printf("  %-6s ours %8.1f ms (%.2f GB/s), cp %8.1f ms, ratio %.2f %s\n", kPlaces[i].label,
           ours->realTime, double(kFileBytes) / ours->realTime / 1e6, peer->realTime, ratio,
           ratio >= kGoal ? "[met]" : "[below goal]");
  }
}

}  // namespace

int main(int argc, char **argv) {
  registerBenchmarks();
  int result = Bench_Main(argc, argv, printCopyRatios);
  for (const auto &source : gSources)
    if (!source.second.empty()) std::filesystem::remove(source.second);
  return result;
}
