// The tree operations against their peers on one tree, in the same run: many
// small files of 4 KiB in directories of 100, plus a few large files. After
// the runs a table gives the peer's time divided by ours (above 1: we are
// faster) beside the goal of 0.8.
//
//   Walk/ours     DirectoryList_Walk of the tree, every entry reported
//   Walk/find     find <tree> -printf '' (reads names and types only)
//   Walk/findstat find <tree> -printf '%s' (stats every entry, as the walk
//                 does to fill its entries' sizes and times); for context
//   Copy/ours     Directory_Copy of the tree to a new place
//   Copy/cp       cp -a of the tree to a new place
//   Delete/ours   Directory_Delete of a copy (made untimed with cp -a)
//   Delete/rm     rm -rf of such a copy
//
// Size, by environment variable: KEELSON_DIROPS_FILES small files (default
// 20000; the full size is 100000), KEELSON_DIROPS_LARGE_MB megabytes of large
// files in files of up to 256 MiB (default 128; the full size is 1024), and
// KEELSON_DIROPS_DIR the directory that holds the tree (default /tmp), and
// KEELSON_DIROPS_ITERATIONS the runs of each benchmark (default 3). Copies
// are removed and the disk synced untimed between runs, and one copy and
// deletion run untimed first, so no run pays for another's writeback.
#include <benchmark/benchmark.h>

#include "bench/bench_ratio.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "core/platform/directory.h"
#include "core/platform/platform.h"

namespace {

constexpr double kGoal = 0.8;
constexpr int kFilesPerDirectory = 100;
constexpr int kDirectoriesPerLevel = 100;
constexpr size_t kSmallFileBytes = 4096;
constexpr int64_t kLargeFileMaxBytes = int64_t(256) << 20;
constexpr int kDefaultIterations = 3;
int gIterations = kDefaultIterations;

int64_t envNumber(const char *name, int64_t fallback) {
  const char *value = getenv(name);
  return value && value[0] ? std::strtoll(value, nullptr, 10) : fallback;
}

struct Tree {
  std::string base;  // holds the tree and the copies
  std::string root;
  int64_t files = 0;
  int64_t bytes = 0;
  bool ready = false;
};

Tree gTree;

std::string shellQuoted(const std::string &path) { return "'" + path + "'"; }

void writeBytes(const std::string &path, int64_t size, uint64_t seed) {
  std::ofstream out(path, std::ios::binary);
  std::vector<uint64_t> block(1 << 17);  // 1 MiB of incompressible words
  uint64_t x = seed | 1;
  for (int64_t written = 0; written < size;) {
    for (uint64_t &word : block) {
      x ^= x << 13;
      x ^= x >> 7;
      x ^= x << 17;
      word = x;
    }
    int64_t n = std::min<int64_t>(size - written, int64_t(block.size() * sizeof(uint64_t)));
    out.write(reinterpret_cast<const char *>(block.data()), std::streamsize(n));
    written += n;
  }
}

// Builds the tree once: d<i>/d<j>/f<k>, 100 files a directory.
const Tree &tree() {
  if (gTree.ready) return gTree;
  const char *dir = getenv("KEELSON_DIROPS_DIR");
  gTree.base = std::string(dir && dir[0] ? dir : "/tmp") + "/keelson-dirops-bench";
  gTree.root = gTree.base + "/tree";
  std::filesystem::remove_all(gTree.base);
  int64_t files = envNumber("KEELSON_DIROPS_FILES", 20000);
  int64_t largeBytes = envNumber("KEELSON_DIROPS_LARGE_MB", 128) << 20;
  std::string block(kSmallFileBytes, 'x');
  for (int64_t i = 0; i < files; i++) {
    int64_t directory = i / kFilesPerDirectory;
    std::string path = gTree.root + "/d" + std::to_string(directory / kDirectoriesPerLevel) +
                       "/d" + std::to_string(directory % kDirectoriesPerLevel);
    if (i % kFilesPerDirectory == 0) std::filesystem::create_directories(path);
    block[0] = char('a' + i % 26);
    std::ofstream(path + "/f" + std::to_string(i), std::ios::binary) << block;
  }
  std::filesystem::create_directories(gTree.root + "/large");
  for (int64_t at = 0, k = 0; at < largeBytes; at += kLargeFileMaxBytes, k++)
    writeBytes(gTree.root + "/large/l" + std::to_string(k),
               std::min(kLargeFileMaxBytes, largeBytes - at), uint64_t(k) * 0x9e3779b97f4a7c15ull);
  gTree.files = files;
  gTree.bytes = files * int64_t(kSmallFileBytes) + largeBytes;
  // One copy and deletion untimed before anything is timed: the fresh tree's
  // writeback and the first reuse of freed blocks would otherwise fall on
  // whichever benchmark runs first (ours, by the order below).
  std::string warmUp = "sync && cp -a " + shellQuoted(gTree.root) + " " +
                       shellQuoted(gTree.base + "/warm") + " && sync && rm -rf " +
                       shellQuoted(gTree.base + "/warm") + " && sync";
  if (system(warmUp.c_str()) != 0) fprintf(stderr, "warm-up failed\n");
  gTree.ready = true;
  return gTree;
}

// Untimed: removes a copy and lets the disk settle.
void settle(const std::string &path) {
  std::string command = "rm -rf " + shellQuoted(path) + " && sync";
  if (system(command.c_str()) != 0) fprintf(stderr, "cleanup of %s failed\n", path.c_str());
}

int countEntry(void *userData, DirectoryList *, int, const char *) {
  ++*static_cast<int64_t *>(userData);
  return kDirectoryListContinue;
}

template <bool ours, bool withStat = false>
void BM_Walk(benchmark::State &state) {
  const Tree &t = tree();
  std::string command = "find " + shellQuoted(t.root) + (withStat ? " -printf '%s'" : " -printf ''") +
                        " >/dev/null";
  for (auto _ : state) {
    bool ok;
    if (ours) {
      DirectoryList list;
      DirectoryList_Init(&list);
      int64_t entries = 0;
      DirectoryList_SetCallback(&list, countEntry, &entries);
      ok = DirectoryList_Walk(&list, t.root.c_str(), nullptr) == 1 && entries >= t.files;
    } else {
      ok = system(command.c_str()) == 0;
    }
    if (!ok) {
      state.SkipWithError("walk failed");
      break;
    }
  }
}

template <bool ours>
void BM_Copy(benchmark::State &state) {
  const Tree &t = tree();
  std::string destination = t.base + "/copy";
  std::string command = "cp -a " + shellQuoted(t.root) + " " + shellQuoted(destination);
  for (auto _ : state) {
    bool ok = ours ? Directory_Copy(t.root.c_str(), destination.c_str(), 0) == 1
                   : system(command.c_str()) == 0;
    state.PauseTiming();
    settle(destination);
    state.ResumeTiming();
    if (!ok) {
      state.SkipWithError("copy failed");
      break;
    }
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * t.bytes);
}

template <bool ours>
void BM_Delete(benchmark::State &state) {
  const Tree &t = tree();
  std::string victim = t.base + "/victim";
  std::string make = "cp -a " + shellQuoted(t.root) + " " + shellQuoted(victim) + " && sync";
  std::string command = "rm -rf " + shellQuoted(victim);
  for (auto _ : state) {
    state.PauseTiming();
    bool ok = system(make.c_str()) == 0;
    state.ResumeTiming();
    int error = 0;
    ok = ok && (ours ? Directory_Delete(victim.c_str(), 1, &error) == 1
                     : system(command.c_str()) == 0);
    state.PauseTiming();
    settle(victim);
    state.ResumeTiming();
    if (!ok) {
      state.SkipWithError("delete failed");
      break;
    }
  }
}

// Ours first, then the peer, so both meet the same state of the machine.
void registerBenchmarks() {
  struct Pair {
    const char *name;
    void (*ours)(benchmark::State &);
    void (*peer)(benchmark::State &);
    const char *peerName;
  } pairs[] = {
      {"Walk", BM_Walk<true>, BM_Walk<false>, "find"},
      {"Copy", BM_Copy<true>, BM_Copy<false>, "cp"},
      {"Delete", BM_Delete<true>, BM_Delete<false>, "rm"},
  };
  benchmark::RegisterBenchmark("Walk/findstat", BM_Walk<false, true>)
      ->Iterations(gIterations)
      ->UseRealTime()
      ->Unit(benchmark::kMillisecond);
  for (const Pair &pair : pairs) {
    std::string prefix = pair.name;
    for (auto *b : {benchmark::RegisterBenchmark((prefix + "/ours").c_str(), pair.ours),
                    benchmark::RegisterBenchmark((prefix + "/" + pair.peerName).c_str(), pair.peer)})
      b->Iterations(gIterations)->UseRealTime()->Unit(benchmark::kMillisecond);
  }
}

void printRatios(const BenchRatioReporter &results) {
  printf("\n%lld files of 4 KiB, %.0f MiB in all, under %s\n", (long long)gTree.files,
         double(gTree.bytes) / (1 << 20), gTree.root.c_str());
  printf("speed ratio = peer time / our time (goal >= %.2f)\n", kGoal);
  const char *rows[][2] = {
      {"Walk", "find"}, {"Walk", "findstat"}, {"Copy", "cp"}, {"Delete", "rm"}};
  std::string suffix = "/iterations:" + std::to_string(gIterations) + "/real_time";
  for (const auto &row : rows) {
    std::string prefix = row[0];
    auto *ours = results.Find(prefix + "/ours" + suffix);
    auto *peer = results.Find(prefix + "/" + row[1] + suffix);
    if (ours == nullptr || peer == nullptr) {
      printf("  %-7s skipped\n", row[0]);
      continue;
    }
    double ratio = peer->realTime / ours->realTime;
    printf("  %-7s ours %9.1f ms, %-8s %9.1f ms, ratio %.2f %s\n", row[0], ours->realTime, row[1],
           peer->realTime, ratio, ratio >= kGoal ? "[met]" : "[below goal]");
  }
}

}  // namespace

int main(int argc, char **argv) {
  gIterations = int(std::max<int64_t>(1, envNumber("KEELSON_DIROPS_ITERATIONS", kDefaultIterations)));
  registerBenchmarks();
  int result = Bench_Main(argc, argv, printRatios);
  if (gTree.ready) std::filesystem::remove_all(gTree.base);
  return result;
}
