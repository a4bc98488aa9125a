// Benchmarks of the buffered stream's read path, the one the text parsers
// take for every character, with stdio as the peer in the same binary. Each
// iteration reads a whole 64 MB file under /tmp (written once and read once
// before the runs, so the page cache is warm):
//   BM_ByteStreamRead   Stream_Read of 1 byte through a 4096-byte BufferedStream
//   BM_ByteFread        fread(&c, 1, 1, f) on a stdio file (the peer)
//   BM_ByteGetcUnlocked getc_unlocked(f), stdio's macro path (the floor)
//   BM_BlockStreamRead  Stream_Read of 4096 bytes through the same stream
//   BM_BlockFread       fread of 4096 bytes (the peer)
// The inner stream of the buffered stream is an unbuffered stdio file, so
// both sides make one read(2) of 4096 bytes per buffer. At the end the speed
// ratios are printed: goals are 1.5x fread for single bytes and 0.9x fread
// for blocks of 4096; the getc_unlocked ratio is recorded for reference.
#include <benchmark/benchmark.h>

#include "bench/bench_ratio.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>
#include <string>

#include "core/runtime/bufstream.h"
#include "core/runtime/stream.h"

namespace {

constexpr int64_t kFileBytes = 64ll << 20;
constexpr int32_t kBufferBytes = 4096;

std::string gPath;
uint64_t gExpectedSum = 0;

// A Stream record on an unbuffered stdio file: the inner stream.
int stdioRead(void *context, void *buffer, int32_t length, int32_t *read) {
  size_t got = fread(buffer, 1, size_t(length), static_cast<FILE *>(context));
  *read = int32_t(got);
  return got > 0 ? 1 : 0;
}

int stdioTell(void *context, uint64_t *position) {
  long at = ftell(static_cast<FILE *>(context));
  if (at < 0) return 0;
  *position = uint64_t(at);
  return 1;
}

FILE *openFile(bool unbuffered) {
  FILE *file = fopen(gPath.c_str(), "rb");
  if (file == nullptr) {
    perror(gPath.c_str());
    exit(1);
  }
  if (unbuffered) setvbuf(file, nullptr, _IONBF, 0);
  return file;
}

// One buffered stream over a fresh unbuffered file, released at the end of
// the scope.
struct Buffered {
  FILE *file = openFile(true);
  Stream inner = {file,    nullptr,   nullptr, nullptr, stdioRead, nullptr, nullptr,
                  nullptr, stdioTell, nullptr, nullptr, nullptr,   0};
  BufferedStream *buffered = nullptr;
  Stream *stream = nullptr;
  Buffered() {
    BufferedStream_Create(&buffered);
    BufferedStream_SetStream(buffered, &inner);
    BufferedStream_SetReadBufferSize(buffered, kBufferBytes);
    BufferedStream_GetStream(buffered, &stream);
  }
  ~Buffered() {
    BufferedStream_Release(&buffered);
    fclose(file);
  }
};

void checkSum(benchmark::State &state, uint64_t sum) {
  if (sum != gExpectedSum) state.SkipWithError("the bytes read differ from the file");
}

void BM_ByteStreamRead(benchmark::State &state) {
  for (auto _ : state) {
    Buffered b;
    uint64_t sum = 0;
    unsigned char c;
    int32_t got = 0;
    while (Stream_Read(b.stream, &c, 1, &got)) sum += c;
    checkSum(state, sum);
  }
  state.SetBytesProcessed(state.iterations() * kFileBytes);
}

void BM_ByteFread(benchmark::State &state) {
  for (auto _ : state) {
    FILE *file = openFile(false);
    uint64_t sum = 0;
    unsigned char c;
    while (fread(&c, 1, 1, file) == 1) sum += c;
    fclose(file);
    checkSum(state, sum);
  }
  state.SetBytesProcessed(state.iterations() * kFileBytes);
}

void BM_ByteGetcUnlocked(benchmark::State &state) {
  for (auto _ : state) {
    FILE *file = openFile(false);
    uint64_t sum = 0;
    int c;
    while ((c = getc_unlocked(file)) != EOF) sum += unsigned(c);
    fclose(file);
    checkSum(state, sum);
  }
  state.SetBytesProcessed(state.iterations() * kFileBytes);
}

uint64_t sumBlock(const unsigned char *block, size_t n) {
  uint64_t sum = 0;
  for (size_t i = 0; i < n; i++) sum += block[i];
  return sum;
}

void BM_BlockStreamRead(benchmark::State &state) {
  static unsigned char block[kBufferBytes];
  for (auto _ : state) {
    Buffered b;
    uint64_t sum = 0;
    int32_t got = 0;
    while (Stream_Read(b.stream, block, kBufferBytes, &got)) sum += sumBlock(block, size_t(got));
    checkSum(state, sum);
  }
  state.SetBytesProcessed(state.iterations() * kFileBytes);
}

void BM_BlockFread(benchmark::State &state) {
  static unsigned char block[kBufferBytes];
  for (auto _ : state) {
    FILE *file = openFile(false);
    uint64_t sum = 0;
    size_t got;
    while ((got = fread(block, 1, kBufferBytes, file)) > 0) sum += sumBlock(block, got);
    fclose(file);
    checkSum(state, sum);
  }
  state.SetBytesProcessed(state.iterations() * kFileBytes);
}

BENCHMARK(BM_ByteStreamRead)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_ByteFread)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_ByteGetcUnlocked)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_BlockStreamRead)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_BlockFread)->Unit(benchmark::kMillisecond)->MinTime(2.0);

// Writes the file once (a fixed pseudo-random byte sequence) and reads it
// once, so that every run finds it in the page cache.
void makeFile(void) {
  gPath = "/tmp/keelson-bufstream-bench-" + std::to_string(unsigned(rand())) + ".dat";
  FILE *file = fopen(gPath.c_str(), "wb");
  if (file == nullptr) {
    perror(gPath.c_str());
    exit(1);
  }
  static unsigned char chunk[1 << 16];
  uint32_t state = 2463534242u;
  for (int64_t done = 0; done < kFileBytes; done += int64_t(sizeof chunk)) {
    for (unsigned char &c : chunk) {
      state ^= state << 13;
      state ^= state >> 17;
      state ^= state << 5;
      c = (unsigned char)state;
      gExpectedSum += c;
    }
    fwrite(chunk, 1, sizeof chunk, file);
  }
  fclose(file);
  file = openFile(false);
  while (fread(chunk, 1, sizeof chunk, file) > 0) {
  }
  fclose(file);
}

void printRatio(const BenchRatioReporter &results, const char *what, const char *ours,
                const char *peer, double goal) {
  auto *o = results.Find(ours), *p = results.Find(peer);
  if (o == nullptr || p == nullptr) return;
  printf("  %-42s %8.2f ms vs %8.2f ms  ratio %.2fx", what, o->realTime, p->realTime,
         p->realTime / o->realTime);
  if (goal > 0) printf("  (goal %.1fx)", goal);
  printf("\n");
}

void printBufferedStreamRatios(const BenchRatioReporter &results) {
  printf("\nours/peer (speed: peer time / our time, 64 MB file)\n");
  printRatio(results, "1-byte Stream_Read vs fread(&c, 1, 1, f)", "BM_ByteStreamRead",
             "BM_ByteFread", 1.5);
  printRatio(results, "1-byte Stream_Read vs getc_unlocked", "BM_ByteStreamRead",
             "BM_ByteGetcUnlocked", 0);
  printRatio(results, "4096-byte Stream_Read vs fread of 4096", "BM_BlockStreamRead",
             "BM_BlockFread", 0.9);
}

}  // namespace

int main(int argc, char **argv) {
  srand(unsigned(time(nullptr)));
  makeFile();
  int result = Bench_Main(argc, argv, printBufferedStreamRatios);
  remove(gPath.c_str());
  return result;
}
