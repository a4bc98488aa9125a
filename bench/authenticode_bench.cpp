// The Authenticode image digest against sha256sum on the same file, in the
// same run:
//
//   BM_HashImage/ours       PEFile_HashImage (SHA-256) of a 512 MiB PE32+
//                           image through File: headers, one section, tail
//   BM_HashImage/sha256sum  coreutils' sha256sum of the same file, timed
//                           around system(3) (the peer)
//
// The image lives in $KEELSON_BENCH_DIR (default /dev/shm, so the runs
// measure reading and hashing, not a disk). Goal, printed at the end: ours
// reaches at least 0.9 of sha256sum's speed.
#include <benchmark/benchmark.h>
#include <fmt/core.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "bench/bench_ratio.h"
#include "core/platform/file.h"
#include "core/security/hash.h"
#include "core/security/pefile.h"

namespace {

constexpr int64_t kImageBytes = int64_t(512) << 20;
constexpr uint32_t kHeaderBytes = 0x200;  // FileAlignment and SizeOfHeaders
std::string gImagePath;

void store16(std::vector<uint8_t> &b, size_t at, uint16_t v) { memcpy(&b[at], &v, sizeof v); }
void store32(std::vector<uint8_t> &b, size_t at, uint32_t v) { memcpy(&b[at], &v, sizeof v); }

// An unsigned PE32+ image: headers, then one section to the end.
bool writeImage(const std::string &path) {
  std::vector<uint8_t> header(kHeaderBytes, 0);
  const size_t nt = 64, optional = nt + 24, section = optional + 240;
  header[0] = 'M';
  header[1] = 'Z';
  store32(header, 60, uint32_t(nt));
  memcpy(&header[nt], "PE\0\0", 4);
  store16(header, nt + 4, 0x8664);
  store16(header, nt + 6, 1);
  store16(header, nt + 20, 240);
  store16(header, optional, 0x20B);
  store32(header, optional + 36, kHeaderBytes);
  store32(header, optional + 60, kHeaderBytes);
  store32(header, optional + 108, 16);
  memcpy(&header[section], ".text", 5);
  store32(header, section + 16, uint32_t(kImageBytes - kHeaderBytes));
  store32(header, section + 20, kHeaderBytes);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char *>(header.data()), std::streamsize(header.size()));
  std::vector<char> block(1 << 20);
  for (size_t i = 0; i < block.size(); i++) block[i] = char(i * 131 + (i >> 9));
  for (int64_t left = kImageBytes - kHeaderBytes; left > 0; left -= int64_t(block.size()))
    out.write(block.data(), std::streamsize(std::min<int64_t>(left, int64_t(block.size()))));
  return out.good();
}

void BM_HashImageOurs(benchmark::State &state) {
  for (auto _ : state) {
    File *file = nullptr;
    Stream *stream = nullptr;
    File_Create(&file);
    HashHandle *hash = nullptr;
    Hash_Create(&hash);
    Hash_SetInterface(hash, &kHashSha256);
    bool ok = File_Open(file, gImagePath.c_str(), kFileModeRead | kFileModeShareRead) &&
              File_GetStream(file, &stream) && PEFile_HashImage(stream, hash) &&
              Hash_Generate(hash);
    Hash_Delete(&hash);
    File_Close(file);
    File_Release(&file);
    if (!ok) return state.SkipWithError("PEFile_HashImage failed");
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * kImageBytes);
}

void BM_HashImageSha256sum(benchmark::State &state) {
  std::string command = "sha256sum '" + gImagePath + "' > /dev/null";
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    if (system(command.c_str()) != 0) return state.SkipWithError("sha256sum failed");
    state.SetIterationTime(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * kImageBytes);
}

BENCHMARK(BM_HashImageOurs)->Name("BM_HashImage/ours")->Unit(benchmark::kMillisecond)
    ->MinTime(2)->UseRealTime();
BENCHMARK(BM_HashImageSha256sum)->Name("BM_HashImage/sha256sum")->Unit(benchmark::kMillisecond)
    ->MinTime(2)->UseManualTime();

void printRatios(const BenchRatioReporter &reporter) {
  double ratio = reporter.SpeedRatio("BM_HashImage/ours", "BM_HashImage/sha256sum");
  fmt::print("\nPEFile_HashImage / sha256sum (512 MiB, SHA-256): {:.2f}x (goal >= 0.90)\n", ratio);
}

}  // namespace

int main(int argc, char **argv) {
  const char *dir = getenv("KEELSON_BENCH_DIR");
  gImagePath = std::string(dir != nullptr ? dir : "/dev/shm") + "/keelson_authenticode_bench.exe";
  if (!writeImage(gImagePath)) {
    fprintf(stderr, "cannot write %s\n", gImagePath.c_str());
    return 1;
  }
  int result = Bench_Main(argc, argv, printRatios);
  std::remove(gImagePath.c_str());
  return result;
}
