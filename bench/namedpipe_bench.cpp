// NamedPipe throughput, client end to server end in 64 KiB writes, against a
// raw Unix socketpair moving the same bytes in the same run:
//
//   BM_NamedPipe    NamedPipe_Write on a blocking client end, NamedPipe_Read
//                   on the blocking server end in a second thread
//   BM_Socketpair   send and recv on the two ends of socketpair(2) (the peer)
//
// Each iteration moves kTransferBytes. Goal, printed at the end: the pipe
// reaches at least 0.9 of the socketpair's speed.
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_ratio.h"
#include "core/platform/namedpipe.h"

namespace {

constexpr int32_t kChunkBytes = 64 << 10;
constexpr int64_t kTransferBytes = int64_t(64) << 20;
constexpr double kGoal = 0.9;

// Moves kTransferBytes: write in this thread, read in another; false when
// either side failed.
bool transfer(const std::function<int32_t(const char *, int32_t)> &write,
              const std::function<int32_t(char *, int32_t)> &read) {
  bool readOk = true;
  std::thread reader([&] {
    std::vector<char> buffer(kChunkBytes);
    for (int64_t got = 0; got < kTransferBytes;) {
      int32_t n = read(buffer.data(), kChunkBytes);
      if (n <= 0) {
        readOk = false;
        return;
      }
      got += n;
    }
  });
  std::vector<char> chunk(kChunkBytes, 'p');
  bool writeOk = true;
  for (int64_t sent = 0; sent < kTransferBytes && writeOk;) {
    int32_t n = write(chunk.data(), kChunkBytes);
    writeOk = n > 0;
    sent += n;
  }
  reader.join();
  return readOk && writeOk;
}

void BM_NamedPipe(benchmark::State &state) {
  std::string name = "\\\\.\\pipe\\keelson-bench-" + std::to_string(getpid());
  NamedPipe *server = nullptr;
  NamedPipe *client = nullptr;
  if (!NamedPipe_Create(&server, name.c_str(), 0, kNamedPipeBlocking) ||
      !NamedPipe_Create(&client, name.c_str(), 0, kNamedPipeConnect | kNamedPipeBlocking)) {
    state.SkipWithError("pipe not created");
    return;
  }
  auto write = [&](const char *data, int32_t size) {
    int32_t count = 0;
    return NamedPipe_Write(client, data, size, &count) ? count : -1;
  };
  auto read = [&](char *buffer, int32_t size) {
    int32_t count = 0;
    return NamedPipe_Read(server, buffer, size, &count) ? count : -1;
  };
  for (auto _ : state)
    if (!transfer(write, read)) state.SkipWithError("transfer failed");
  state.SetBytesProcessed(int64_t(state.iterations()) * kTransferBytes);
  NamedPipe_Release(&client);
  NamedPipe_Release(&server);
}
BENCHMARK(BM_NamedPipe)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);

void BM_Socketpair(benchmark::State &state) {
  int ends[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
    state.SkipWithError("socketpair failed");
    return;
  }
  auto write = [&](const char *data, int32_t size) {
    return int32_t(send(ends[0], data, size_t(size), MSG_NOSIGNAL));
  };
  auto read = [&](char *buffer, int32_t size) {
    return int32_t(recv(ends[1], buffer, size_t(size), 0));
  };
  for (auto _ : state)
    if (!transfer(write, read)) state.SkipWithError("transfer failed");
  state.SetBytesProcessed(int64_t(state.iterations()) * kTransferBytes);
  close(ends[0]);
  close(ends[1]);
}
BENCHMARK(BM_Socketpair)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);

void printRatios(const BenchRatioReporter &reporter) {
  const BenchRatioReporter::Result *pipe = reporter.Find("BM_NamedPipe");
  const BenchRatioReporter::Result *pair = reporter.Find("BM_Socketpair");
  if (pipe == nullptr || pair == nullptr || pair->bytesPerSecond == 0) return;
  double ratio = pipe->bytesPerSecond / pair->bytesPerSecond;
  printf("\nNamedPipe against socketpair (64 KiB writes): %.0f MB/s vs %.0f MB/s, ratio %.3f "
         "(goal >= %.2f) %s\n",
         pipe->bytesPerSecond / 1e6, pair->bytesPerSecond / 1e6, ratio, kGoal,
         ratio >= kGoal ? "met" : "MISSED");
}

}  // namespace

int main(int argc, char **argv) { return Bench_Main(argc, argv, printRatios); }
