// The synchronous File against the raw system calls it wraps, in the same
// run, and the cost of share modes and of the path normaliser:
//
//   BM_Write/File/<block>    File_Write of 1 GiB in blocks of 4 KiB or 64 KiB
//   BM_Write/Raw/<block>     write(2) in the same blocks (the peer)
//   BM_Write/Dd/<block>      dd if=/dev/zero bs=<block> (reported)
//   BM_Read/File/<block>     File_Read of the same 1 GiB in the same blocks
//   BM_Read/Raw/<block>      read(2) (the peer)
//   BM_Read/Dd/<block>       dd of=/dev/null bs=<block> (reported)
//   BM_OpenClose/Plain        open(2) + close(2) of a small file (the peer)
//   BM_OpenClose/Shared       Platform_OpenFile reading, sharing all, + Platform_CloseFile
//   BM_OpenClose/DenyAll      the same reading and writing, sharing nothing
//   BM_OpenClose/WriteOnly    writing only: the locks sit on a companion descriptor
//   BM_OpenClose/File         File_Open (0x21) + File_Close: resolve, normalise, stat, open
//   BM_Normalize              Path_Normalize (flag 1) of 1M realistic paths
//
// The 1 GiB file lives in $KEELSON_BENCH_DIR (default /dev/shm, so the runs
// measure the calls and copies, not a disk); writes overwrite it in place.
// Goals, printed at the end: File reaches at least 0.95 of the raw loop's
// speed; share modes add under 2 us to an open and close; the normaliser's
// time per path is reported.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/bench_ratio.h"
#include "core/platform/file.h"
#include "core/platform/path.h"
#include "core/platform/platform.h"

namespace {

constexpr int64_t kFileBytes = int64_t(1) << 30;
constexpr int kPathCount = 1000000;
constexpr double kStreamGoal = 0.95;
constexpr double kShareGoalMicroseconds = 2.0;

std::string gDirectory;
std::string gBigPath;    // 1 GiB
std::string gSmallPath;  // a few bytes, for open and close
std::vector<char> gBlock(64 << 10, 'k');

void benchFail(benchmark::State &state, const char *what) {
  state.SkipWithError(what);
}

// ---- Sequential write and read ------------------------------------------------

void BM_WriteFile(benchmark::State &state) {
  int32_t block = int32_t(state.range(0));
  for (auto _ : state) {
    File *file = nullptr;
    File_Create(&file);
    if (!File_Open(file, gBigPath.c_str(), 0x2)) return benchFail(state, "File_Open");
    int32_t count = 0;
    for (int64_t done = 0; done < kFileBytes; done += block)
      if (!File_Write(file, gBlock.data(), block, &count)) return benchFail(state, "File_Write");
    File_Close(file);
    File_Release(&file);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * kFileBytes);
}

void BM_WriteRaw(benchmark::State &state) {
  size_t block = size_t(state.range(0));
  for (auto _ : state) {
    int fd = open(gBigPath.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return benchFail(state, "open");
    for (int64_t done = 0; done < kFileBytes; done += int64_t(block))
      if (write(fd, gBlock.data(), block) != ssize_t(block)) return benchFail(state, "write");
    close(fd);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * kFileBytes);
}

void BM_ReadFile(benchmark::State &state) {
  int32_t block = int32_t(state.range(0));
  std::vector<char> buffer(static_cast<size_t>(block));
  for (auto _ : state) {
    File *file = nullptr;
    File_Create(&file);
    if (!File_Open(file, gBigPath.c_str(), 0x21)) return benchFail(state, "File_Open");
    int32_t count = 0;
    int64_t total = 0;
    while (File_Read(file, buffer.data(), block, &count)) total += count;
    if (total != kFileBytes) return benchFail(state, "short read");
    File_Close(file);
    File_Release(&file);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * kFileBytes);
}

void BM_ReadRaw(benchmark::State &state) {
  size_t block = size_t(state.range(0));
  std::vector<char> buffer(block);
  for (auto _ : state) {
    int fd = open(gBigPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return benchFail(state, "open");
    int64_t total = 0;
    for (ssize_t n; (n = read(fd, buffer.data(), block)) > 0;) total += n;
    if (total != kFileBytes) return benchFail(state, "short read");
    close(fd);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * kFileBytes);
}

// dd at the same block size, timed here around system(3).
void runDd(benchmark::State &state, bool writing) {
  int64_t block = state.range(0);
  std::string command =
      writing ? "dd if=/dev/zero of='" + gBigPath + "' conv=notrunc bs=" + std::to_string(block) +
                    " count=" + std::to_string(kFileBytes / block) + " status=none"
              : "dd if='" + gBigPath + "' of=/dev/null bs=" + std::to_string(block) +
                    " status=none";
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    if (system(command.c_str()) != 0) return benchFail(state, "dd");
    state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
                               .count());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * kFileBytes);
}
void BM_WriteDd(benchmark::State &state) { runDd(state, true); }
void BM_ReadDd(benchmark::State &state) { runDd(state, false); }

// ---- Open and close ---------------------------------------------------------------

void BM_OpenClosePlain(benchmark::State &state) {
  for (auto _ : state) {
    int fd = open(gSmallPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return benchFail(state, "open");
    close(fd);
  }
}

// A descriptor's locks go when the last reference to its open file
// description does. Anything that holds one for a moment (a reader of
// /proc/<pid>/fd, say) delays that past close(2), and an open that denies
// everything right behind it then meets the leftover lock: it is tried again
// (the File's own open waits a second for that).
void openClosePlatform(benchmark::State &state, int flags, int share) {
  for (auto _ : state) {
    int fd = Platform_OpenFile(gSmallPath.c_str(), flags, share);
    for (int retry = 0; fd < 0 && retry < 1000 && Platform_GetLastError() == 32; retry++)
      fd = Platform_OpenFile(gSmallPath.c_str(), flags, share);
    if (fd < 0) return benchFail(state, "Platform_OpenFile");
    Platform_CloseFile(fd);
  }
}
void BM_OpenCloseShared(benchmark::State &state) {
  openClosePlatform(state, O_RDONLY, kPlatformShareRead | kPlatformShareWrite);
}
void BM_OpenCloseDenyAll(benchmark::State &state) { openClosePlatform(state, O_RDWR, 0); }
void BM_OpenCloseWriteOnly(benchmark::State &state) { openClosePlatform(state, O_WRONLY, 0); }

void BM_OpenCloseFile(benchmark::State &state) {
  File *file = nullptr;
  File_Create(&file);
  for (auto _ : state) {
    if (!File_Open(file, gSmallPath.c_str(), 0x21)) return benchFail(state, "File_Open");
    File_Close(file);
  }
  File_Release(&file);
}

// ---- The normaliser ---------------------------------------------------------------

// Paths as configurations and downloads write them: absolute and relative,
// both separators, doubled separators, "." and ".." here and there.
std::vector<std::string> makePaths() {
  const char *roots[] = {"/home/player/.local/share/keelson/", "/opt/keelson/",
                         "C:\\Program Files\\Keelson\\", "~/Downloads/", "content/", "/var/lib/"};
  const char *parts[] = {"games",  "data",   "pieces", "..",    ".",      "cache",
                         "logs",   "build",  "v1.2.3", "assets", "x64",   "",
                         "shaders", "locale", "en-US", "tmp"};
  const char *names[] = {"app.log", "000123.bin", "catalog.json", "settings.ini", "Game.exe"};
  std::vector<std::string> paths;
  paths.reserve(kPathCount);
  uint32_t state = 88172645u;
  auto next = [&state](uint32_t range) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state % range;
  };
  for (int i = 0; i < kPathCount; i++) {
    std::string path = roots[next(6)];
    char separator = next(4) == 0 ? '\\' : '/';
    for (uint32_t n = 2 + next(6); n > 0; n--) {
      path += parts[next(16)];
      path += separator;
    }
    path += names[next(5)];
    paths.push_back(path);
  }
  return paths;
}

void BM_Normalize(benchmark::State &state) {
  static const std::vector<std::string> paths = makePaths();
  char buffer[kPathMax];
  for (auto _ : state) {
    for (const std::string &path : paths) {
      memcpy(buffer, path.c_str(), path.size() + 1);
      Path_Normalize(buffer, sizeof buffer, kPathRemoveTrailing);
      benchmark::DoNotOptimize(buffer[0]);
    }
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * kPathCount);
}

// One registration per block size, so that each is found by its name.
#define FILE_BENCH_STREAM(function, name, block, ...) \
  BENCHMARK(function)->Name(name "/" #block)->Arg(block)->Unit(benchmark::kMillisecond)__VA_ARGS__
FILE_BENCH_STREAM(BM_WriteFile, "BM_Write/File", 4096, ->MinTime(2.0));
FILE_BENCH_STREAM(BM_WriteFile, "BM_Write/File", 65536, ->MinTime(2.0));
FILE_BENCH_STREAM(BM_WriteRaw, "BM_Write/Raw", 4096, ->MinTime(2.0));
FILE_BENCH_STREAM(BM_WriteRaw, "BM_Write/Raw", 65536, ->MinTime(2.0));
FILE_BENCH_STREAM(BM_WriteDd, "BM_Write/Dd", 4096, ->UseManualTime()->Iterations(3));
FILE_BENCH_STREAM(BM_WriteDd, "BM_Write/Dd", 65536, ->UseManualTime()->Iterations(3));
FILE_BENCH_STREAM(BM_ReadFile, "BM_Read/File", 4096, ->MinTime(2.0));
FILE_BENCH_STREAM(BM_ReadFile, "BM_Read/File", 65536, ->MinTime(2.0));
FILE_BENCH_STREAM(BM_ReadRaw, "BM_Read/Raw", 4096, ->MinTime(2.0));
FILE_BENCH_STREAM(BM_ReadRaw, "BM_Read/Raw", 65536, ->MinTime(2.0));
FILE_BENCH_STREAM(BM_ReadDd, "BM_Read/Dd", 4096, ->UseManualTime()->Iterations(3));
FILE_BENCH_STREAM(BM_ReadDd, "BM_Read/Dd", 65536, ->UseManualTime()->Iterations(3));
BENCHMARK(BM_OpenClosePlain)->Name("BM_OpenClose/Plain")->MinTime(1.0);
BENCHMARK(BM_OpenCloseShared)->Name("BM_OpenClose/Shared")->MinTime(1.0);
BENCHMARK(BM_OpenCloseDenyAll)->Name("BM_OpenClose/DenyAll")->MinTime(1.0);
BENCHMARK(BM_OpenCloseWriteOnly)->Name("BM_OpenClose/WriteOnly")->MinTime(1.0);
BENCHMARK(BM_OpenCloseFile)->Name("BM_OpenClose/File")->MinTime(1.0);
BENCHMARK(BM_Normalize)->Unit(benchmark::kMillisecond)->MinTime(2.0);

// ---- Set-up and the table -------------------------------------------------------------

bool writeWhole(const std::string &path, int64_t bytes) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  for (int64_t done = 0; done < bytes; done += int64_t(gBlock.size())) {
    size_t n = size_t(std::min<int64_t>(bytes - done, int64_t(gBlock.size())));
    if (write(fd, gBlock.data(), n) != ssize_t(n)) {
      close(fd);
      return false;
    }
  }
  return close(fd) == 0;
}

void printStream(const BenchRatioReporter &results, const char *what, int block) {
  std::string suffix = "/" + std::to_string(block);
  const auto *ours = results.Find(std::string("BM_") + what + "/File" + suffix);
  const auto *raw = results.Find(std::string("BM_") + what + "/Raw" + suffix);
  const auto *dd = results.Find(std::string("BM_") + what + "/Dd" + suffix);
  if (ours == nullptr || raw == nullptr) return;
  double ratio = raw->realTime / ours->realTime;
  printf("  %-5s %2d KiB  File %6.2f GB/s  raw %6.2f GB/s  ratio %.3f (goal >= %.2f) %s",
         what, block >> 10, ours->bytesPerSecond / 1e9, raw->bytesPerSecond / 1e9, ratio,
         kStreamGoal, ratio >= kStreamGoal ? "met" : "MISSED");
  if (dd) printf("  dd %6.2f GB/s", dd->bytesPerSecond / 1e9);
  printf("\n");
}

void printFileRatios(const BenchRatioReporter &results) {
  printf("\nFile against the raw calls (1 GiB in %s)\n", gDirectory.c_str());
  for (const char *what : {"Write", "Read"})
    for (int block : {4096, 65536}) printStream(results, what, block);
  const auto *plain = results.Find("BM_OpenClose/Plain");
  if (plain) {
    printf("\nopen + close: plain %.2f us\n", plain->realTime / 1e3);
    for (const char *name : {"Shared", "DenyAll", "WriteOnly", "File"}) {
      const auto *run = results.Find(std::string("BM_OpenClose/") + name);
      if (run == nullptr) continue;
      double extra = (run->realTime - plain->realTime) / 1e3;
      printf("  %-9s %6.2f us  extra %5.2f us", name, run->realTime / 1e3, extra);
      if (strcmp(name, "File") != 0)
        printf("  (goal < %.1f us) %s", kShareGoalMicroseconds,
               extra < kShareGoalMicroseconds ? "met" : "MISSED");
      printf("\n");
    }
  }
  if (const auto *normalize = results.Find("BM_Normalize"))
    printf("\nPath_Normalize: %.1f ns per path (%d realistic paths)\n",
           normalize->realTime * 1e6 / kPathCount, kPathCount);
}

}  // namespace

int main(int argc, char **argv) {
  const char *directory = getenv("KEELSON_BENCH_DIR");
  gDirectory = directory && directory[0] ? directory : "/dev/shm";
  std::string stem = gDirectory + "/keelson-file-bench-" + std::to_string(getpid());
  gBigPath = stem + ".dat";
  gSmallPath = stem + ".small";
  if (!writeWhole(gBigPath, kFileBytes) || !writeWhole(gSmallPath, 16)) {
    perror(gBigPath.c_str());
    return 1;
  }
  int result = Bench_Main(argc, argv, printFileRatios);
  remove(gBigPath.c_str());
  remove(gSmallPath.c_str());
  return result;
}
