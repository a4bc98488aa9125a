// GETs of 1 KiB through the WebGetPool against curl over the same URL list,
// from the same nginx in the same run: one host with six connections
// (`curl --parallel --parallel-max 6`), then thirty hosts of which the pool
// pumps five at a time, six connections each (curl with `--parallel-max 30`,
// the most connections the pool opens at once). The owner keeps a window of
// requests in flight and adds the next one as each finishes, as the storage
// drivers do. Requests per second and the ratios are printed.
//
// Environment: POOL_BENCH_REQUESTS (per run, default 10,000).
#include <signal.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "bench/bench_net.h"
#include "bench/bench_pool.h"
#include "bench/bench_ratio.h"
#include "core/formats/dictionary.h"
#include "core/net/webget.h"
#include "core/net/webgetpool.h"
#include "core/net/webgetrequest.h"
#include "core/platform/eventqueue.h"
#include "core/platform/thread.h"
#include "core/runtime/class.h"
#include "tests/nginx_peer.h"

namespace {

constexpr int kHosts = 30;
// In flight per host: six running and the rest pending.
constexpr int kWindowPerHost = 20;

NginxPortsPeer *gNginx = nullptr;
int gRequests = 0;
std::string gScratch;

int run(const std::string &command) {
  int status = system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The URL list: request i goes to host i % hosts.
std::vector<std::string> urls(int hosts) {
  std::vector<std::string> list;
  for (int i = 0; i < gRequests; i++)
    list.push_back(gNginx->Url(i % hosts, "/small.bin?i=" + std::to_string(i)));
  return list;
}

void ours(benchmark::State &state, int hosts, int window, int maxHosts) {
  std::vector<std::string> list = urls(hosts);
  for (auto _ : state) {
    WebGetPool *pool = nullptr;
    WebGetPool_Init(&pool);
    Dictionary *limits = nullptr;
    Dictionary_Create(&limits);
    Dictionary_SetInt32ByKey(limits, "maxHosts", maxHosts);
    WebGetPool_Configure(pool, limits);
    Dictionary_Release(&limits);
    int failed = BenchPool_Run(list, window);
    WebGetPool_Release(&pool);
    if (failed != 0) state.SkipWithError("requests failed");
  }
}

void curl(benchmark::State &state, int hosts, int parallel) {
  std::string config = gScratch + "/curl" + std::to_string(hosts) + ".txt";
  std::ofstream out(config);
  for (const std::string &url : urls(hosts)) out << "url = " << url << "\noutput = /dev/null\n";
  out.close();
  for (auto _ : state)
    if (run("curl -s --no-progress-meter --parallel --parallel-max " + std::to_string(parallel) + " -K " + config) != 0)
      state.SkipWithError("curl failed");
}

void BM_Pool_OneHost(benchmark::State &s) { ours(s, 1, 64, 5); }
void BM_Curl_OneHost(benchmark::State &s) { curl(s, 1, 6); }
void BM_Pool_ThirtyHosts(benchmark::State &s) { ours(s, kHosts, kHosts * kWindowPerHost, 5); }
void BM_Curl_ThirtyHosts(benchmark::State &s) { curl(s, kHosts, 30); }

}  // namespace

BENCHMARK(BM_Pool_OneHost)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Curl_OneHost)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Pool_ThirtyHosts)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Curl_ThirtyHosts)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

int main(int argc, char **argv) {
  signal(SIGPIPE, SIG_IGN);
  const char *requests = getenv("POOL_BENCH_REQUESTS");
  gRequests = requests && atoi(requests) > 0 ? atoi(requests) : 10000;
  gNginx = new NginxPortsPeer(kHosts, "", false);
  if (!gNginx->Started()) fprintf(stderr, "nginx did not start\n");
  gNginx->WriteFile("small.bin", std::string(1024, 's'));
  gScratch = gNginx->Root();

  BenchNet_Start();
  WebGet_AddWhitelistHost("127.0.0.1");

  int result = Bench_Main(argc, argv, [](const BenchRatioReporter &r) {
    auto perSecond = [&](const char *name) {
      const BenchRatioReporter::Result *x = r.Find(name);
      return x != nullptr && x->realTime > 0 ? gRequests / (x->realTime / 1000.0) : 0.0;
    };
    printf("\n%d GETs of 1 KiB from nginx, requests/s (pool / curl):\n", gRequests);
    printf("  one host, 6 connections:     %8.0f / %8.0f  %.2fx (goal >= 0.5x)\n",
           perSecond("BM_Pool_OneHost"), perSecond("BM_Curl_OneHost"),
           r.SpeedRatio("BM_Pool_OneHost", "BM_Curl_OneHost"));
    printf("  30 hosts, 5 active x 6:      %8.0f / %8.0f  %.2fx (curl: 30 in parallel)\n",
           perSecond("BM_Pool_ThirtyHosts"), perSecond("BM_Curl_ThirtyHosts"),
           r.SpeedRatio("BM_Pool_ThirtyHosts", "BM_Curl_ThirtyHosts"));
  });

  BenchNet_Stop();
  delete gNginx;
  return result;
}
