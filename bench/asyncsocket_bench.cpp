// AsyncSocket against socat and a blocking loop, measured in the same run.
// What each side does:
//
//   Receive/AsyncSocket  our connect, then the read loop in 32 KiB rounds to an
//                        owner that discards the bytes
//   Receive/Socat        socat -u TCP:127.0.0.1:<port> OPEN:/dev/null
//   Connect/AsyncSocket  connect, Connect callback, close; one at a time
//   Connect/Blocking     socket(), blocking connect(), close(); one at a time
//
// In both receive runs a sender thread of this process listens on a free
// port of 127.0.0.1 and sendfile()s a file of $KEELSON_BENCH_BYTES (default
// 1 GiB) from /dev/shm to the one connection it accepts, then closes it. Timed
// from the connect to the receiver's end (our Close callback on the read of
// 0 bytes; socat's exit). CPU seconds are the receiver's: ours is this
// process's getrusage less the sender thread's own (RUSAGE_THREAD); socat's
// comes through RUSAGE_CHILDREN. Goal, printed at the end: at least 0.9 of
// socat's throughput. The connect rates are reported.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "bench/bench_ratio.h"
#include "tests/loopback_port.h"
#include "core/net/asyncsocket.h"
#include "core/platform/ioworker.h"
#include "core/platform/meter.h"
#include "core/platform/thread.h"
#include "core/runtime/class.h"

namespace {

constexpr double kReceiveGoal = 0.9;
constexpr int kConnects = 2000;
constexpr int kIterations = 2;

int64_t gBytes = int64_t(1) << 30;
std::string gFile;
double gCpuSeconds[2];  // receiver CPU of the last run: ours, socat

double cpuSeconds(int who) {
  rusage usage{};
  getrusage(who, &usage);
  return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

int listenFree(int *port) { return Test_LoopbackListener(port, 1024); }

// The sender: accepts one connection and sendfile()s the whole file to it.
// Its own CPU seconds land in *cpu.
void sendOne(int listener, double *cpu) {
  int c = accept(listener, nullptr, nullptr);
  int file = open(gFile.c_str(), O_RDONLY | O_CLOEXEC);
  off_t offset = 0;
  while (offset < gBytes) {
    ssize_t n = sendfile(c, file, &offset, size_t(gBytes - offset));
    if (n <= 0) break;
  }
  close(file);
  close(c);
  *cpu = cpuSeconds(RUSAGE_THREAD);
}

struct Receiver {
  std::atomic<int64_t> bytes{0};
  std::atomic<int> done{0};
  static int32_t size(AsyncSocket *, void *) { return kAsyncSocketRoundBytes; }
  static void read(AsyncSocket *, void *context, const uint8_t *, int32_t count) {
    static_cast<Receiver *>(context)->bytes.fetch_add(count, std::memory_order_relaxed);
  }
  static void closed(AsyncSocket *, void *context) { static_cast<Receiver *>(context)->done = 1; }
  static void connected(AsyncSocket *s, void *, int success) {
    if (success) AsyncSocket_StartRead(s);
  }
};

void BM_ReceiveAsyncSocket(benchmark::State &state) {
  for (auto _ : state) {
    int port = 0;
    int listener = listenFree(&port);
    double senderCpu = 0;
    Receiver receiver;
    AsyncSocket *s = nullptr;
    AsyncSocket_Create(&s);
    AsyncSocket_SetReadSizeCallback(s, &receiver, Receiver::size);
    AsyncSocket_SetReadCallback(s, &receiver, Receiver::read);
    AsyncSocket_SetCloseCallback(s, &receiver, Receiver::closed);
    AsyncSocket_SetConnectCallback(s, &receiver, Receiver::connected);
    AsyncSocket_Open(s);
    double cpu0 = cpuSeconds(RUSAGE_SELF);
    int64_t start = Bench_NowNs();
    std::thread sender(sendOne, listener, &senderCpu);
    AsyncSocket_Connect(s, htonl(INADDR_LOOPBACK), port);
    while (!receiver.done.load()) Platform_SleepMs(1);
    int64_t end = Bench_NowNs();
    sender.join();
    gCpuSeconds[0] = cpuSeconds(RUSAGE_SELF) - cpu0 - senderCpu;
    state.SetIterationTime(double(end - start) / 1e9);
    if (receiver.bytes.load() != gBytes) state.SkipWithError("short transfer");
    while (AsyncSocket_GetInFlightCount() > 0) Platform_SleepMs(1);
    Class_ReleaseObject(&s);
    close(listener);
  }
  state.SetBytesProcessed(state.iterations() * gBytes);
  state.counters["cpu_s"] = gCpuSeconds[0];
}

void BM_ReceiveSocat(benchmark::State &state) {
  for (auto _ : state) {
    int port = 0;
    int listener = listenFree(&port);
    double senderCpu = 0;
    double cpu0 = cpuSeconds(RUSAGE_CHILDREN);
    int64_t start = Bench_NowNs();
    std::thread sender(sendOne, listener, &senderCpu);
    pid_t pid = fork();
    if (pid == 0) {
      std::string from = "TCP:127.0.0.1:" + std::to_string(port);
      execl("/usr/bin/socat", "socat", "-u", from.c_str(), "OPEN:/dev/null", (char *)nullptr);
      _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    int64_t end = Bench_NowNs();
    sender.join();
    gCpuSeconds[1] = cpuSeconds(RUSAGE_CHILDREN) - cpu0;
    state.SetIterationTime(double(end - start) / 1e9);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) state.SkipWithError("socat failed");
    close(listener);
  }
  state.SetBytesProcessed(state.iterations() * gBytes);
  state.counters["cpu_s"] = gCpuSeconds[1];
}

// The accepting side of the connect runs: takes and closes every connection.
struct Acceptor {
  int listener;
  int port = 0;
  std::thread thread;
  Acceptor() {
    listener = listenFree(&port);
    thread = std::thread([this] {
      for (;;) {
        int c = accept(listener, nullptr, nullptr);
        if (c < 0) return;
        close(c);
      }
    });
  }
  ~Acceptor() {
    shutdown(listener, SHUT_RDWR);
    thread.join();
    close(listener);
  }
};

void BM_ConnectAsyncSocket(benchmark::State &state) {
  Acceptor acceptor;
  std::atomic<int> connects{0};
  for (auto _ : state) {
    for (int i = 0; i < kConnects; i++) {
      AsyncSocket *s = nullptr;
      AsyncSocket_Create(&s);
      AsyncSocket_SetConnectCallback(s, &connects, [](AsyncSocket *, void *context, int) {
        static_cast<std::atomic<int> *>(context)->fetch_add(1);
      });
      AsyncSocket_Open(s);
      int before = connects.load();
      AsyncSocket_Connect(s, htonl(INADDR_LOOPBACK), acceptor.port);
      while (connects.load() == before) std::this_thread::yield();
      AsyncSocket_Close(s);
      Class_ReleaseObject(&s);
    }
  }
  state.SetItemsProcessed(state.iterations() * kConnects);
}

void BM_ConnectBlocking(benchmark::State &state) {
  Acceptor acceptor;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(uint16_t(acceptor.port));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  for (auto _ : state) {
    for (int i = 0; i < kConnects; i++) {
      int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to);
      close(fd);
    }
  }
  state.SetItemsProcessed(state.iterations() * kConnects);
}

bool makeFile() {
  gFile = "/dev/shm/keelson_asyncsocket_bench." + std::to_string(getpid());
  int fd = open(gFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  std::string block(size_t(1) << 20, '\0');
  for (size_t i = 0; i < block.size(); i++) block[i] = char(i * 2654435761u >> 24);
  for (int64_t done = 0; done < gBytes; done += int64_t(block.size()))
    if (write(fd, block.data(), block.size()) != ssize_t(block.size())) return false;
  close(fd);
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  // Whole MiB, at least one.
  if (const char *bytes = getenv("KEELSON_BENCH_BYTES"))
    gBytes = std::max<int64_t>(int64_t(1) << 20, int64_t(atoll(bytes)) >> 20 << 20);
  if (!makeFile()) {
    fprintf(stderr, "cannot write %s\n", gFile.c_str());
    return 1;
  }
  Thread_Init();
  Meter_Init();
  IOWorker_Init();
  AsyncSocket_Init();
  bool haveSocat = access("/usr/bin/socat", X_OK) == 0;
  benchmark::RegisterBenchmark("Receive/AsyncSocket", BM_ReceiveAsyncSocket)
      ->UseManualTime()
      ->Iterations(kIterations)
      ->Unit(benchmark::kMillisecond);
  if (haveSocat)
    benchmark::RegisterBenchmark("Receive/Socat", BM_ReceiveSocat)
        ->UseManualTime()
        ->Iterations(kIterations)
        ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("Connect/AsyncSocket", BM_ConnectAsyncSocket)
      ->Iterations(kIterations)
      ->UseRealTime()
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("Connect/Blocking", BM_ConnectBlocking)
      ->Iterations(kIterations)
      ->UseRealTime()
      ->Unit(benchmark::kMillisecond);
  int result = Bench_Main(argc, argv, [&](const BenchRatioReporter &results) {
    printf("\nAsyncSocket against its peers (%lld MiB by sendfile over loopback)\n",
           static_cast<long long>(gBytes >> 20));
    const auto *ours = results.Find("Receive/AsyncSocket");
    const auto *socat = results.Find("Receive/Socat");
    if (ours)
      printf("  receive: AsyncSocket %7.1f MB/s, %.2f CPU s\n", ours->bytesPerSecond / 1e6,
             gCpuSeconds[0]);
    if (!haveSocat) printf("  socat is not installed: its run was skipped\n");
    if (ours && socat) {
      double ratio = results.SpeedRatio("Receive/AsyncSocket", "Receive/Socat");
      printf("  receive: socat       %7.1f MB/s, %.2f CPU s; ratio %.2f (goal %.1f: %s)\n",
             socat->bytesPerSecond / 1e6, gCpuSeconds[1], ratio, kReceiveGoal,
             ratio >= kReceiveGoal ? "met" : "MISSED");
    }
    const auto *a = results.Find("Connect/AsyncSocket");
    const auto *b = results.Find("Connect/Blocking");
    if (a && b)
      printf("  connects: AsyncSocket %.0f/s, blocking loop %.0f/s (ratio %.2f)\n",
             kConnects / (a->realTime / 1e3), kConnects / (b->realTime / 1e3),
             results.SpeedRatio("Connect/AsyncSocket", "Connect/Blocking"));
  });
  AsyncSocket_Shutdown();
  IOWorker_Shutdown();
  Meter_Shutdown();
  unlink(gFile.c_str());
  return result;
}
