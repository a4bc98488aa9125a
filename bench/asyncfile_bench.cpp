// AsyncFile against fio and dd, measured in the same run on the same
// directories. What each side does:
//
//   Seq/<mode>/<op>/<dir>/AsyncFile  1 MiB requests over the whole file, 16 in flight
//   Seq/<mode>/<op>/<dir>/Fio16      fio --bs=1m, 16 in flight: --ioengine=io_uring
//                                    --iodepth=16 (Buffered), --ioengine=libaio
//                                    --iodepth=16 (Direct)
//   Seq/<mode>/<op>/<dir>/Fio1       fio --ioengine=psync --bs=1m, 1 in flight
//   Seq/<mode>/<op>/<dir>/Dd         dd bs=1M, 1 in flight
//   Rand/Direct/<dir>/AsyncFile      64 KiB reads at random aligned offsets, 16 in flight
//   Rand/Direct/<dir>/FioPsync       fio --rw=randread --bs=64k --numjobs=16 (16 in flight)
//   Rand/Direct/<dir>/FioUring       fio --ioengine=io_uring --iodepth=16 (16 in flight)
//
// <mode> is Buffered (flags 0x2 / 0x1) or Direct (0x100: O_DIRECT | O_DSYNC;
// fio --direct=1 --sync=dsync, dd oflag=direct,dsync / iflag=direct).
// Cache state: the file is written just before the runs, so buffered reads
// come from a warm page cache on every side (fio runs with --invalidate=0;
// its default empties the cache before each job, which would make its reads
// come from disk); direct I/O bypasses the cache on every side. fio reads
// into an anonymous mapping (--mem=mmap), as ours and dd read into plain
// memory. An engine fio cannot run here is said so and its rows skipped.
// The file size is $KEELSON_BENCH_BYTES (default 256 MiB; the goal figures
// are for 1 GiB: KEELSON_BENCH_BYTES=1073741824). Timed: ours from the first
// request to the last completion; fio by its own JSON report (its start-up
// and file layout left out); dd around the command. The directories are
// $KEELSON_BENCH_DIRS (colon-separated; default the current directory, the
// build directory's file system when run from there, and /dev/shm). A peer
// that is not installed is skipped and said so. Goal, printed at the end: at
// least 0.9 of the 16-in-flight fio peer for sequential 1 MiB blocks in both
// modes; the 1-in-flight peers and the random figures are reported.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "bench/bench_ratio.h"
#include "core/platform/asyncfile.h"
#include "core/platform/ioworker.h"
#include "core/platform/meter.h"
#include "core/platform/thread.h"

namespace {

constexpr uint32_t kSeqBlock = 1 << 20;
constexpr uint32_t kRandBlock = 64 << 10;
constexpr int kInFlight = 16;
constexpr double kSeqGoal = 0.9;
constexpr int kIterations = 2;

int64_t gBytes = int64_t(256) << 20;
std::vector<std::string> gDirectories;
bool gHaveFio = false;
bool gHaveUring = false;
bool gHaveLibaio = false;
char *gBuffers = nullptr;  // kInFlight aligned blocks of kSeqBlock

// Keeps kInFlight requests going until count requests are done.
struct Driver {
  AsyncFile *file = nullptr;
  bool writing = false;
  bool random = false;
  uint32_t block = 0;
  int64_t count = 0;
  std::atomic<int64_t> next{0};
  std::atomic<int64_t> done{0};
  std::atomic<int> failed{0};
  uint64_t seed = 88172645463325252ull;
  std::mutex lock;
  std::condition_variable finished;

  int64_t offsetOf(int64_t index) {
    if (!random) return index * block;
    // A fixed sequence per index (splitmix), so that runs are comparable.
    uint64_t z = seed + uint64_t(index) * 0x9e3779b97f4a7c15ull;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    z ^= z >> 31;
    return int64_t(z % uint64_t(gBytes / block)) * block;
  }

  void issue(int slot) {
    int64_t index = next.fetch_add(1);
    if (index >= count) return;
    char *buffer = gBuffers + size_t(slot) * kSeqBlock;
    slots[slot].driver = this;
    slots[slot].slot = slot;
    if (writing)
      AsyncFile_Write(file, offsetOf(index), buffer, block, completed, &slots[slot]);
    else
      AsyncFile_Read(file, offsetOf(index), buffer, block, completed, &slots[slot]);
  }

  struct Slot {
    Driver *driver;
    int slot;
  } slots[kInFlight];

  static void completed(void *context, int64_t, void *, uint32_t bytes, uint32_t error) {
    auto *s = static_cast<Slot *>(context);
    Driver *d = s->driver;
    if (error != 0 || bytes != d->block) d->failed.store(1);
    int64_t n = d->done.fetch_add(1) + 1;
    if (n >= d->count) {
      std::lock_guard<std::mutex> guard(d->lock);
      d->finished.notify_all();
      return;
    }
    d->issue(s->slot);
  }

  // Runs the whole batch; the pump grows the pool as the host's does.
  bool run() {
    for (int i = 0; i < kInFlight; i++) issue(i);
    std::unique_lock<std::mutex> guard(lock);
    while (done.load() < count) {
      finished.wait_for(guard, std::chrono::milliseconds(5));
      IOWorker_Grow();
    }
    return failed.load() == 0;
  }
};

std::string filePath(const std::string &directory) {
  return directory + "/keelson-asyncfile-bench-" + std::to_string(getpid()) + ".dat";
}

double seconds(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void runOurs(benchmark::State &state, const std::string &directory, bool writing, bool direct,
             bool random) {
  std::string path = filePath(directory);
  uint32_t block = random ? kRandBlock : kSeqBlock;
  int64_t count = gBytes / block;
  for (auto _ : state) {
    AsyncFile *file = nullptr;
    AsyncFile_Create(&file);
    // Writing overwrites in place (3 keeps the file), as the peers do.
    uint32_t flags = (writing ? 0x3 : 0x1) | 0x60 | (direct ? kAsyncFileUnbuffered : 0);
    if (!AsyncFile_Open(file, path.c_str(), flags)) {
      AsyncFile_Release(&file);
      return state.SkipWithError("AsyncFile_Open");
    }
    auto *driver = new Driver();
    driver->file = file;
    driver->writing = writing;
    driver->random = random;
    driver->block = block;
    driver->count = count;
    auto start = std::chrono::steady_clock::now();
    bool ok = driver->run();
    state.SetIterationTime(seconds(start));
    delete driver;
    AsyncFile_Close(file);
    AsyncFile_Release(&file);
    if (!ok) return state.SkipWithError("a request failed");
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * count * block);
}

void runCommand(benchmark::State &state, const std::string &command, int64_t bytes) {
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    if (system(command.c_str()) != 0) return state.SkipWithError(command.c_str());
    state.SetIterationTime(seconds(start));
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * bytes);
}

// fio measured by itself: its JSON report's bandwidth (read, write and trim
// summed: one of them is the job's), so that its start-up and file layout do
// not count against it.
void runFio(benchmark::State &state, const std::string &command, int64_t bytes) {
  for (auto _ : state) {
    FILE *pipe = popen((command + " --output-format=json 2>/dev/null").c_str(), "r");
    if (pipe == nullptr) return state.SkipWithError("popen");
    std::string report;
    char chunk[4096];
    for (size_t n; (n = fread(chunk, 1, sizeof chunk, pipe)) > 0;) report.append(chunk, n);
    if (pclose(pipe) != 0) return state.SkipWithError(command.c_str());
    double bandwidth = 0;
    size_t at = 0;
    for (int field = 0; field < 3; field++) {
      at = report.find("\"bw_bytes\"", at);
      if (at == std::string::npos) break;
      at = report.find(':', at) + 1;
      bandwidth += strtod(report.c_str() + at, nullptr);
    }
    if (bandwidth <= 0) return state.SkipWithError("no bandwidth in fio's report");
    state.SetIterationTime(double(bytes) / bandwidth);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * bytes);
}

// fio's buffers come from an anonymous mapping: its default (malloc) copied
// from the page cache at a quarter of dd's speed on the test machine, which
// would measure fio's buffer rather than the engine.
constexpr const char *kFioMem = " --mem=mmap";

// depth 1: psync, one request at a time; else io_uring (buffered) or libaio
// (direct) with that many requests in flight.
std::string fioSeq(const std::string &path, bool writing, bool direct, int depth) {
  std::string engine = depth == 1 ? " --ioengine=psync"
                       : direct   ? " --ioengine=libaio --iodepth=" + std::to_string(depth)
                                  : " --ioengine=io_uring --iodepth=" + std::to_string(depth);
  return "fio --name=seq --filename='" + path + "' --size=" + std::to_string(gBytes) + kFioMem +
         " --bs=1m --rw=" + (writing ? "write" : "read") + engine +
         (direct ? " --direct=1" : " --invalidate=0") + (direct && writing ? " --sync=dsync" : "");
}

std::string ddSeq(const std::string &path, bool writing, bool direct) {
  std::string count = std::to_string(gBytes >> 20);
  if (writing)
    return "dd if=/dev/zero of='" + path + "' bs=1M count=" + count + " conv=notrunc" +
           (direct ? " oflag=direct,dsync" : "") + " status=none";
  return "dd if='" + path + "' of=/dev/null bs=1M count=" + count +
         (direct ? " iflag=direct" : "") + " status=none";
}

std::string fioRandom(const std::string &path, bool uring) {
  std::string common = "fio --name=rand --filename='" + path + "' --size=" +
                       std::to_string(gBytes) + kFioMem + " --rw=randread --bs=64k --direct=1" +
                       " --group_reporting";
  if (uring)
    return common + " --ioengine=io_uring --iodepth=16 --io_size=" + std::to_string(gBytes);
  return common + " --ioengine=psync --numjobs=16 --io_size=" +
         std::to_string(gBytes / kInFlight);
}

std::string tagOf(const std::string &directory) {
  return directory == "/dev/shm" ? "shm" : directory == "." ? "build" : directory;
}

void registerAll() {
  for (const std::string &directory : gDirectories) {
    std::string tag = tagOf(directory);
    std::string path = filePath(directory);
    for (bool direct : {false, true}) {
      for (bool writing : {true, false}) {
        std::string name = std::string("Seq/") + (direct ? "Direct" : "Buffered") + "/" +
                           (writing ? "Write" : "Read") + "/" + tag;
        benchmark::RegisterBenchmark((name + "/AsyncFile").c_str(),
                                     [=](benchmark::State &state) {
                                       runOurs(state, directory, writing, direct, false);
                                     })
            ->UseManualTime()
            ->Iterations(kIterations)
            ->Unit(benchmark::kMillisecond);
        for (int depth : {kInFlight, 1}) {
          if (!gHaveFio || (depth > 1 && !(direct ? gHaveLibaio : gHaveUring))) continue;
          benchmark::RegisterBenchmark((name + "/Fio" + std::to_string(depth)).c_str(),
                                       [=](benchmark::State &state) {
                                         runFio(state, fioSeq(path, writing, direct, depth),
                                                gBytes);
                                       })
              ->UseManualTime()
              ->Iterations(kIterations)
              ->Unit(benchmark::kMillisecond);
        }
        benchmark::RegisterBenchmark((name + "/Dd").c_str(),
                                     [=](benchmark::State &state) {
                                       runCommand(state, ddSeq(path, writing, direct), gBytes);
                                     })
            ->UseManualTime()
            ->Iterations(kIterations)
            ->Unit(benchmark::kMillisecond);
      }
    }
    std::string name = "Rand/Direct/" + tag;
    benchmark::RegisterBenchmark((name + "/AsyncFile").c_str(),
                                 [=](benchmark::State &state) {
                                   runOurs(state, directory, false, true, true);
                                 })
        ->UseManualTime()
        ->Iterations(kIterations)
        ->Unit(benchmark::kMillisecond);
    if (gHaveFio) {
      benchmark::RegisterBenchmark((name + "/FioPsync").c_str(),
                                   [=](benchmark::State &state) {
                                     runFio(state, fioRandom(path, false), gBytes);
                                   })
          ->UseManualTime()
          ->Iterations(kIterations)
          ->Unit(benchmark::kMillisecond);
      if (gHaveUring)
        benchmark::RegisterBenchmark((name + "/FioUring").c_str(),
                                     [=](benchmark::State &state) {
                                       runFio(state, fioRandom(path, true), gBytes);
                                     })
            ->UseManualTime()
            ->Iterations(kIterations)
            ->Unit(benchmark::kMillisecond);
    }
  }
}

void printRatios(const BenchRatioReporter &results) {
  printf("\nAsyncFile against its peers (%lld MiB; ours keeps %d requests in flight; buffered "
         "runs read a warm page cache on every side, fio with --invalidate=0; direct runs "
         "bypass it)\n",
         static_cast<long long>(gBytes >> 20), kInFlight);
  printf("  Fio16: io_uring (buffered) or libaio (direct), iodepth %d; Fio1: psync and Dd: "
         "1 in flight; fio with%s. Timed: ours from the first request to the last "
         "completion, fio by its own report, dd around the command. ratio = ours / peer "
         "throughput; the goal is against Fio16.\n",
         kInFlight, kFioMem);
  if (!gHaveFio) printf("  fio is not installed: its runs were skipped\n");
  for (const std::string &directory : gDirectories) {
    std::string tag = tagOf(directory);
    for (const char *mode : {"Buffered", "Direct"}) {
      for (const char *op : {"Write", "Read"}) {
        std::string name = std::string("Seq/") + mode + "/" + op + "/" + tag;
        const auto *ours = results.Find(name + "/AsyncFile");
        if (ours == nullptr) continue;
        printf("  %-6s %-8s %-5s AsyncFile %6.2f GB/s", tag.c_str(), mode, op,
               ours->bytesPerSecond / 1e9);
        for (const char *peer : {"Fio16", "Fio1", "Dd"}) {
          const auto *run = results.Find(name + "/" + peer);
          if (run == nullptr) continue;
          double ratio = results.SpeedRatio(name + "/AsyncFile", name + "/" + peer);
          printf("  %s %6.2f GB/s ratio %.2f", peer, run->bytesPerSecond / 1e9, ratio);
          if (peer[3] == '1' && peer[4] == '6') printf(" %s", ratio >= kSeqGoal ? "met" : "MISSED");
        }
        printf("\n");
      }
    }
    std::string name = "Rand/Direct/" + tag;
    if (const auto *ours = results.Find(name + "/AsyncFile")) {
      printf("  %-6s random 64 KiB direct reads, 16 in flight on every side: AsyncFile %6.2f GB/s",
             tag.c_str(), ours->bytesPerSecond / 1e9);
      for (const char *peer : {"FioPsync", "FioUring"}) {
        const auto *run = results.Find(name + "/" + peer);
        if (run == nullptr) continue;
        printf("  %s %6.2f GB/s (ratio %.2f)", peer, run->bytesPerSecond / 1e9,
               results.SpeedRatio(name + "/AsyncFile", name + "/" + peer));
      }
      printf("\n");
    }
  }
  printf("  goal: sequential 1 MiB at least %.1f of Fio16 in both modes\n", kSeqGoal);
}

bool prepare(const std::string &path) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  std::vector<char> block(kSeqBlock, 'k');
  for (int64_t at = 0; at < gBytes; at += kSeqBlock)
    if (write(fd, block.data(), kSeqBlock) != ssize_t(kSeqBlock)) {
      close(fd);
      return false;
    }
  return close(fd) == 0;
}

// Whether fio runs a short job with that engine here: an engine may be built
// in and still be refused by the kernel (io_uring can be switched off).
bool fioEngineWorks(const std::string &engine) {
  std::string command = "fio --name=probe --filename='" + filePath(gDirectories.front()) +
                        "' --size=1m --bs=4k --rw=read --iodepth=4" + engine +
                        " >/dev/null 2>&1";
  if (system(command.c_str()) == 0) return true;
  printf("fio cannot run%s here: its 16-in-flight rows are skipped\n", engine.c_str());
  return false;
}

}  // namespace

int main(int argc, char **argv) {
  if (const char *bytes = getenv("KEELSON_BENCH_BYTES"); bytes && bytes[0]) {
    int64_t value = strtoll(bytes, nullptr, 10);
    if (value >= int64_t(kSeqBlock)) gBytes = value / kSeqBlock * kSeqBlock;
  }
  const char *dirs = getenv("KEELSON_BENCH_DIRS");
  std::string directories = dirs && dirs[0] ? dirs : ".:/dev/shm";
  for (size_t start = 0; start <= directories.size();) {
    size_t colon = directories.find(':', start);
    if (colon == std::string::npos) colon = directories.size();
    if (colon > start) gDirectories.push_back(directories.substr(start, colon - start));
    start = colon + 1;
  }
  for (const std::string &directory : gDirectories)
    if (!prepare(filePath(directory))) {
      perror(filePath(directory).c_str());
      return 1;
    }
  gHaveFio = system("fio --version >/dev/null 2>&1") == 0;
  if (!gHaveFio) printf("fio is not installed: the fio peers are skipped\n");
  gHaveUring = gHaveFio && fioEngineWorks(" --ioengine=io_uring --invalidate=0");
  gHaveLibaio = gHaveFio && fioEngineWorks(" --ioengine=libaio --direct=1");
  if (posix_memalign(reinterpret_cast<void **>(&gBuffers), 4096, size_t(kInFlight) * kSeqBlock))
    return 1;
  memset(gBuffers, 'a', size_t(kInFlight) * kSeqBlock);

  Thread_Init();
  Meter_Init();
  IOWorker_Init();
  AsyncFile_Init();
  registerAll();
  int result = Bench_Main(argc, argv, printRatios);
  AsyncFile_Shutdown();
  IOWorker_Shutdown();
  Meter_Shutdown();
  Thread_Shutdown();
  for (const std::string &directory : gDirectories) remove(filePath(directory).c_str());
  free(gBuffers);
  return result;
}
