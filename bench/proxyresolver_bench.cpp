// GETs of 1 KiB through the WebGetPool from nginx on 127.0.0.2 (a host the
// resolver does not take for loopback, so every request asks it), three ways
// in the same run: without a resolver, with a resolver and no script (the
// system settings are read per request), and with a PAC script fetched by
// `proxy-wpad` and evaluated for every request (its answer is DIRECT, so the
// transfers are the same). Requests per second and the ratios to the run
// without a resolver are printed; there is no goal.
//
// Environment: PROXY_BENCH_REQUESTS (per run, default 3,000).
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_net.h"
#include "bench/bench_pool.h"
#include "bench/bench_ratio.h"
#include "core/net/proxyresolver.h"
#include "core/net/webgetpool.h"
#include "core/net/webgetrequest.h"
#include "core/runtime/cmdline.h"
#include "tests/loopback_port.h"
#include "tests/peer_process.h"
#include "tests/test_util.h"

namespace {

constexpr int kWindow = 64;
constexpr const char *kScript =
    "function FindProxyForURL(url, host) {\n"
    "  if (isPlainHostName(host) || dnsDomainIs(host, \".corp.example\")) return \"PROXY p:1\";\n"
    "  if (shExpMatch(url, \"*/never/*\") || isInNet(host, \"10.0.0.0\", \"255.0.0.0\"))\n"
    "    return \"PROXY q:2\";\n"
    "  return \"DIRECT\";\n"
    "}\n";

int gRequests = 0;
std::string gBase;

// Runs gRequests GETs through a fresh pool, kWindow in flight; the number
// that failed.
int throughPool() {
  std::vector<std::string> list;
  for (int i = 0; i < gRequests; i++) list.push_back(gBase + "/small.bin?i=" + std::to_string(i));
  WebGetPool *pool = nullptr;
  WebGetPool_Init(&pool);
  int failed = BenchPool_Run(list, kWindow);
  WebGetPool_Release(&pool);
  return failed;
}

// cmdline empty: no resolver.
void run(benchmark::State &state, const char *cmdline) {
  for (auto _ : state) {
    if (cmdline != nullptr) {
      CmdLine_Init(cmdline);
      ProxyResolver_Init();
      char out[kProxyResolverListBytes];
      int pending = 1;
      Test_WaitUntil([&] {
        ProxyResolver_GetProxy((gBase + "/").c_str(), out, sizeof out, 0, &pending);
        return pending == 0;
      }, 20000);
    }
    int failed = throughPool();
    if (cmdline != nullptr) {
      ProxyResolver_Shutdown();
      CmdLine_Free();
    }
    if (failed != 0) state.SkipWithError("requests failed");
  }
}

std::string gPacCmdline;

void BM_Pool_NoResolver(benchmark::State &s) { run(s, nullptr); }
void BM_Pool_ResolverNoScript(benchmark::State &s) { run(s, "bench"); }
void BM_Pool_ResolverPac(benchmark::State &s) { run(s, gPacCmdline.c_str()); }

}  // namespace

BENCHMARK(BM_Pool_NoResolver)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Pool_ResolverNoScript)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Pool_ResolverPac)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

int main(int argc, char **argv) {
  signal(SIGPIPE, SIG_IGN);
  const char *requests = getenv("PROXY_BENCH_REQUESTS");
  gRequests = requests && atoi(requests) > 0 ? atoi(requests) : 3000;
  char scratch[] = "/tmp/proxyresolver_bench.XXXXXX";
  if (mkdtemp(scratch) == nullptr) return 1;
  std::filesystem::path dir = scratch;
  std::string p = scratch;
  int port = Test_FreeLoopbackPort();
  std::ofstream(dir / "small.bin") << std::string(1024, 's');
  std::ofstream(dir / "bench.pac") << kScript;
  std::ofstream(dir / "nginx.conf")
      << (geteuid() == 0 ? "user root;\n" : "") << "daemon off; worker_processes 1; pid " << p
      << "/pid; error_log " << p << "/error.log;\nevents {}\nhttp { access_log off; "
      << "keepalive_requests 100000; client_body_temp_path " << p << "; server { listen 127.0.0.2:"
      << port << "; root " << p << "; } }\n";
  auto nginx = std::make_unique<PeerProcess>(
      std::vector<std::string>{"/usr/sbin/nginx", "-c", p + "/nginx.conf", "-p", p});
  if (!Test_WaitUntil([&] { return access((p + "/pid").c_str(), F_OK) == 0; }, 20000))
    fprintf(stderr, "nginx did not start\n");
  gBase = "http://127.0.0.2:" + std::to_string(port);
  gPacCmdline = "bench --proxy-wpad=" + gBase + "/bench.pac";

  BenchNet_Start();
  WebGet_AddWhitelistHost("127.0.0.2");
  int result = Bench_Main(argc, argv, [](const BenchRatioReporter &r) {
    auto perSecond = [&](const char *name) {
      const BenchRatioReporter::Result *x = r.Find(name);
      return x != nullptr && x->realTime > 0 ? gRequests / (x->realTime / 1000.0) : 0.0;
    };
    printf("\n%d GETs of 1 KiB through the pool, requests/s (ratio to no resolver):\n", gRequests);
    printf("  no resolver:              %8.0f\n", perSecond("BM_Pool_NoResolver"));
    printf("  resolver, no script:      %8.0f  %.2fx\n", perSecond("BM_Pool_ResolverNoScript"),
           r.SpeedRatio("BM_Pool_ResolverNoScript", "BM_Pool_NoResolver"));
    printf("  resolver, PAC per request: %7.0f  %.2fx\n", perSecond("BM_Pool_ResolverPac"),
           r.SpeedRatio("BM_Pool_ResolverPac", "BM_Pool_NoResolver"));
  });
  BenchNet_Stop();
  nginx.reset();
  std::filesystem::remove_all(dir);
  return result;
}
