// Web server throughput: the static owner pumped on one thread (this
// program's main thread) against nginx with one worker process, serving the
// same 1 KiB and 1 MiB files, loaded in the same run by wrk with keep-alive
// (and by ab without it). Each benchmark runs its load once; its time per
// iteration is the time per request, so the printed ratios are requests/s
// of ours over nginx's. bench/webserv_bench.sh builds and runs it.
//
// Environment: WEBSERV_BENCH_SECONDS (wrk's duration, default 20),
// WEBSERV_BENCH_AB_REQUESTS (ab's request count, default 100000).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "bench/bench_ratio.h"
#include "core/net/asyncsocket.h"
#include "core/net/webserv.h"
#include "core/platform/eventqueue.h"
#include "core/platform/ioworker.h"
#include "core/platform/meter.h"
#include "core/platform/platform.h"
#include "core/platform/thread.h"
#include "core/runtime/class.h"
#include "core/runtime/mime.h"
#include "tests/loopback_port.h"
#include "tests/static_owner.h"

namespace {

std::string gRoot;
std::string gScratch;
WebServer *gServer = nullptr;
StaticOwner gOwner;
int gOurPort = 0;
int gNginxPort = 0;
pid_t gNginxPid = 0;

int envInt(const char *name, int fallback) {
  const char *text = getenv(name);
  return text != nullptr && atoi(text) > 0 ? atoi(text) : fallback;
}

std::string run(const std::string &command) {
  FILE *pipe = popen(command.c_str(), "r");
  std::string out;
  if (pipe == nullptr) return out;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
  pclose(pipe);
  return out;
}

// Runs a load command on another thread while this thread pumps our server.
std::string loadPumped(const std::string &command) {
  std::atomic<bool> done{false};
  std::string out;
  std::thread load([&] {
    out = run(command);
    done = true;
  });
  // Socket events post work items; the full server step (listen, time-outs)
  // runs every few milliseconds, as an owner's frame would.
  double lastPoll = 0;
  while (!done.load()) {
    double now = Platform_GetTickSeconds();
    if (now - lastPoll >= 0.005) {
      WebServer_Poll(gServer);
      lastPoll = now;
    }
    EventQueue_Flush(EventQueue_GetMain());
    Thread_Yield();
  }
  load.join();
  return out;
}

// "Requests/sec:" of wrk or "Requests per second:" of ab.
double requestsPerSecond(const std::string &out) {
  for (const char *mark : {"Requests/sec:", "Requests per second:"}) {
    size_t at = out.find(mark);
    if (at != std::string::npos) return atof(out.c_str() + at + strlen(mark));
  }
  return 0;
}

void loadRun(benchmark::State &state, bool ours, const char *file, bool keepAlive) {
  int port = ours ? gOurPort : gNginxPort;
  std::string url = "http://127.0.0.1:" + std::to_string(port) + "/" + file;
  std::string command =
      keepAlive ? "wrk -t2 -c50 -d" + std::to_string(envInt("WEBSERV_BENCH_SECONDS", 20)) +
                      "s -H 'Connection: Keep-Alive' " + url + " 2>&1"
                : "ab -q -c" + std::to_string(envInt("WEBSERV_BENCH_AB_CONCURRENCY", 50)) + " -n" + std::to_string(envInt("WEBSERV_BENCH_AB_REQUESTS", 100000)) +
                      " " + url + " 2>&1";
  for (auto _ : state) {
    std::string out = ours ? loadPumped(command) : run(command);
    double rate = requestsPerSecond(out);
    if (rate <= 0) {
      state.SkipWithError(("no rate from: " + out).c_str());
      return;
    }
    state.SetIterationTime(1.0 / rate);
    state.counters["requests_per_second"] = rate;
  }
}

void BM_Ours_1KiB(benchmark::State &s) { loadRun(s, true, "1k.bin", true); }
void BM_Nginx_1KiB(benchmark::State &s) { loadRun(s, false, "1k.bin", true); }
void BM_Ours_1MiB(benchmark::State &s) { loadRun(s, true, "1m.bin", true); }
void BM_Nginx_1MiB(benchmark::State &s) { loadRun(s, false, "1m.bin", true); }
void BM_Ours_1KiB_Close(benchmark::State &s) { loadRun(s, true, "1k.bin", false); }
void BM_Nginx_1KiB_Close(benchmark::State &s) { loadRun(s, false, "1k.bin", false); }
BENCHMARK(BM_Ours_1KiB)->Iterations(1)->UseManualTime();
BENCHMARK(BM_Nginx_1KiB)->Iterations(1)->UseManualTime();
BENCHMARK(BM_Ours_1MiB)->Iterations(1)->UseManualTime();
BENCHMARK(BM_Nginx_1MiB)->Iterations(1)->UseManualTime();
BENCHMARK(BM_Ours_1KiB_Close)->Iterations(1)->UseManualTime();
BENCHMARK(BM_Nginx_1KiB_Close)->Iterations(1)->UseManualTime();

void writeFile(const std::string &path, size_t size) {
  std::string data(size, 'x');
  std::ofstream(path, std::ios::binary) << data;
}

bool startNginx() {
  gNginxPort = Test_FreeLoopbackPort();
  std::string conf = gScratch + "/nginx.conf";
  std::ofstream(conf) << (geteuid() == 0 ? "user root;\n" : "") << "worker_processes 1;\npid "
                      << gScratch << "/nginx.pid;\nerror_log " << gScratch
                      << "/error.log;\nevents { worker_connections 1024; }\nhttp {\n"
                      << " access_log off;\n keepalive_requests 1000000;\n"
                      << " client_body_temp_path " << gScratch << ";\n proxy_temp_path "
                      << gScratch << ";\n fastcgi_temp_path " << gScratch
                      << ";\n uwsgi_temp_path " << gScratch << ";\n scgi_temp_path " << gScratch
                      << ";\n server { listen 127.0.0.1:" << gNginxPort << ";\n  root " << gRoot
                      << "; }\n}\n";
  run("/usr/sbin/nginx -c " + conf + " -p " + gScratch + " 2>&1");
  for (int i = 0; i < 200; i++) {
    std::ifstream pid(gScratch + "/nginx.pid");
    if (pid >> gNginxPid) return true;
    usleep(10000);
  }
  return false;
}

}  // namespace

int main(int argc, char **argv) {
  signal(SIGPIPE, SIG_IGN);
  char pattern[] = "/tmp/webserv_bench.XXXXXX";
  if (mkdtemp(pattern) == nullptr) return 1;
  gScratch = pattern;
  gRoot = gScratch + "/www";
  mkdir(gRoot.c_str(), 0755);
  writeFile(gRoot + "/1k.bin", 1024);
  writeFile(gRoot + "/1m.bin", 1048576);
  if (!startNginx()) fprintf(stderr, "nginx did not start\n");

  Thread_Init();
  EventQueue_InitMain();
  Meter_Init();
  IOWorker_Init();
  AsyncSocket_Init();
  Mime_Init();
  gOwner.root = gRoot;
  WebServer_Create(&gServer);
  WebServer_ClearPorts(gServer);
  WebServer_EnableKeepAlive(gServer);
  StaticOwner_Attach(&gOwner, gServer);
  WebServer_Start(gServer);
  while (!WebServer_GetListenPort(gServer, &gOurPort)) WebServer_Poll(gServer);

  int result = Bench_Main(argc, argv, [](const BenchRatioReporter &r) {
    auto rate = [&](const char *name) {
      const BenchRatioReporter::Result *x = r.Find(name);
      return x != nullptr && x->realTime > 0 ? 1e9 / x->realTime : 0.0;  // time in ns
    };
    printf("\nrequests/s (ours / nginx, one worker each):\n");
    printf("  1 KiB keep-alive:     %9.0f / %9.0f  ratio %.2fx (goal 0.5x)\n",
           rate("BM_Ours_1KiB"), rate("BM_Nginx_1KiB"),
           r.SpeedRatio("BM_Ours_1KiB", "BM_Nginx_1KiB"));
    printf("  1 MiB keep-alive:     %9.0f / %9.0f  ratio %.2fx (%.0f / %.0f MiB/s)\n",
           rate("BM_Ours_1MiB"), rate("BM_Nginx_1MiB"),
           r.SpeedRatio("BM_Ours_1MiB", "BM_Nginx_1MiB"), rate("BM_Ours_1MiB"),
           rate("BM_Nginx_1MiB"));
    printf("  1 KiB without keep-alive (ab): %9.0f / %9.0f  ratio %.2fx\n",
           rate("BM_Ours_1KiB_Close"), rate("BM_Nginx_1KiB_Close"),
           r.SpeedRatio("BM_Ours_1KiB_Close", "BM_Nginx_1KiB_Close"));
  });

  WebServer_Release(&gServer);
  Mime_Shutdown();
  AsyncSocket_Shutdown();
  IOWorker_Shutdown();
  Meter_Shutdown();
  Thread_Shutdown();
  EventQueue *main = EventQueue_GetMain();
  if (main != nullptr) Class_ReleaseObject(&main);
  if (gNginxPid > 0) kill(gNginxPid, SIGQUIT);
  usleep(200000);
  std::filesystem::remove_all(gScratch);
  return result;
}
