// HTTP download through a WebGetConnection against curl, from the same nginx
// in the same run: a large file over loopback into the discard sink (plain,
// and TLS 1.2 with ECDHE-RSA-AES128-GCM-SHA256), and HTTPS requests per second
// on fresh connections (a full handshake and a small GET each) against curl
// without session reuse and `openssl s_time -new`. Wall time and the CPU time
// of each side (ours: this process; the peers: their own rusage) are printed
// as ratios.
//
// Environment: HTTP_BENCH_BYTES (the large file, default 1 GiB),
// HTTP_BENCH_REQUESTS (fresh HTTPS requests, default 200).
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "bench/bench_net.h"
#include "bench/bench_ratio.h"
#include "core/net/asyncsocket.h"
#include "core/net/challenge.h"
#include "core/net/socket.h"
#include "core/net/webget.h"
#include "core/net/webgetconnection.h"
#include "core/net/webgetrequest.h"
#include "core/platform/asyncfile.h"
#include "core/platform/eventqueue.h"
#include "core/platform/ioworker.h"
#include "core/platform/meter.h"
#include "core/platform/notification.h"
#include "core/platform/thread.h"
#include "core/runtime/class.h"
#include "core/security/certstorei.h"
#include "core/security/certstoreplatform.h"
#include "core/security/tls1.h"
#include "core/security/x509anchors.h"
#include "tests/loopback_port.h"

namespace {

std::string gScratch;
int gPlainPort = 0, gTlsPort = 0;
pid_t gNginx = 0;
long long gBytes = 0;
int gRequests = 0;
// CPU seconds of the last run of each benchmark.
std::map<std::string, double> gCpu;

double cpuSeconds(int who) {
  rusage usage{};
  getrusage(who, &usage);
  return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

int run(const std::string &command) {
  int status = system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool startNginx() {
  gPlainPort = Test_FreeLoopbackPort();
  gTlsPort = Test_FreeLoopbackPort();
  std::string s = gScratch;
  if (run("openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=localhost -addext "
          "subjectAltName=DNS:localhost,IP:127.0.0.1 -keyout " + s + "/key.pem -out " + s +
          "/cert.pem 2>/dev/null") != 0)
    return false;
  std::ofstream(s + "/nginx.conf")
      << (geteuid() == 0 ? "user root;\n" : "") << "worker_processes 1; pid " << s
      << "/nginx.pid; error_log " << s << "/error.log;\nevents {}\nhttp { access_log off; "
      << "sendfile on; client_body_temp_path " << s << ";\n server { listen 127.0.0.1:"
      << gPlainPort << "; root " << s << "/www; }\n server { listen 127.0.0.1:" << gTlsPort
      << " ssl; root " << s << "/www; ssl_certificate " << s << "/cert.pem; "
      << "ssl_certificate_key " << s << "/key.pem; ssl_protocols TLSv1.2; "
      << "ssl_ciphers ECDHE-RSA-AES128-GCM-SHA256; ssl_session_cache off; "
      << "ssl_session_tickets off; }\n}\n";
  if (run("/usr/sbin/nginx -c " + s + "/nginx.conf -p " + s + " 2>/dev/null") != 0) return false;
  for (int i = 0; i < 500; i++) {
    std::ifstream pid(s + "/nginx.pid");
    if (pid >> gNginx) return true;
    usleep(10000);
  }
  return false;
}

// One GET through a connection into the discard sink; 1 on success.
int fetch(WebGetConnection *c, const std::string &url) {
  WebGetRequest *r = nullptr;
  WebGetRequest_Create(&r);
  WebGetRequest_SetUrl(r, url.c_str(), 0);
  WebGetRequest_SetDiscardOutput(r);
  WebGetRequest_SetAcceptCompression(r, 0);
  WebGetConnection_QueueRequest(c, r);
  WebGetConnection_RunUntilComplete(c, r);
  int ok = WebGetRequest_IsSuccess(r);
  if (!ok) {
    int32_t code = 0, codeEx = 0;
    WebGetRequest_GetError(r, &code, &codeEx);
    fprintf(stderr, "%s: %d (%d), status %d\n", url.c_str(), code, codeEx,
            WebGetRequest_GetStatusCode(r));
  }
  Class_ReleaseObject(&r);
  return ok;
}

void ours(benchmark::State &state, const char *name, const std::string &url, int count,
          int keepAlive) {
  for (auto _ : state) {
    double cpu = cpuSeconds(RUSAGE_SELF);
    WebGetConnection *c = nullptr;
    WebGetConnection_Create(&c);
    WebGetConnection_SetKeepAlive(c, keepAlive);
    WebGetConnection_SetTimeout(c, 60);
    for (int i = 0; i < count; i++)
      if (!fetch(c, url)) state.SkipWithError("download failed");
    WebGetConnection_Release(&c);
    gCpu[name] = cpuSeconds(RUSAGE_SELF) - cpu;
  }
}

void peer(benchmark::State &state, const char *name, const std::string &command) {
  for (auto _ : state) {
    double cpu = cpuSeconds(RUSAGE_CHILDREN);
    if (run(command) != 0) state.SkipWithError("peer failed");
    gCpu[name] = cpuSeconds(RUSAGE_CHILDREN) - cpu;
  }
}

std::string plainUrl() { return "http://127.0.0.1:" + std::to_string(gPlainPort) + "/big.bin"; }
std::string tlsUrl(const char *file) {
  return "https://localhost:" + std::to_string(gTlsPort) + "/" + file;
}
const std::string kCurlTls = " -sk --tlsv1.2 --tls-max 1.2 --ciphers ECDHE-RSA-AES128-GCM-SHA256";

void BM_Ours_Plain(benchmark::State &s) { ours(s, "BM_Ours_Plain", plainUrl(), 1, 1); }
void BM_Curl_Plain(benchmark::State &s) { peer(s, "BM_Curl_Plain", "curl -s -o /dev/null " + plainUrl()); }
void BM_Ours_Tls(benchmark::State &s) { ours(s, "BM_Ours_Tls", tlsUrl("big.bin"), 1, 1); }
void BM_Curl_Tls(benchmark::State &s) {
  peer(s, "BM_Curl_Tls", "curl" + kCurlTls + " -o /dev/null " + tlsUrl("big.bin"));
}
void BM_Ours_Fresh(benchmark::State &s) { ours(s, "BM_Ours_Fresh", tlsUrl("small.bin"), gRequests, 0); }
void BM_Curl_Fresh(benchmark::State &s) {
  std::string list;
  for (int i = 0; i < gRequests; i++) list += " -o /dev/null " + tlsUrl("small.bin");
  peer(s, "BM_Curl_Fresh", "curl" + kCurlTls + " --no-sessionid -H 'Connection: close'" + list);
}
void BM_STime_Fresh(benchmark::State &s) {
  // s_time runs for whole seconds: its rate is read from its own report.
  peer(s, "BM_STime_Fresh", "openssl s_time -new -connect 127.0.0.1:" + std::to_string(gTlsPort) +
              " -www /small.bin -time 3 -cipher ECDHE-RSA-AES128-GCM-SHA256 > " + gScratch +
              "/stime.txt 2>&1");
}

}  // namespace

BENCHMARK(BM_Ours_Plain)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Curl_Plain)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Ours_Tls)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Curl_Tls)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Ours_Fresh)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Curl_Fresh)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_STime_Fresh)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

int main(int argc, char **argv) {
  signal(SIGPIPE, SIG_IGN);
  const char *bytes = getenv("HTTP_BENCH_BYTES");
  gBytes = bytes && atoll(bytes) > 0 ? atoll(bytes) : (1LL << 30);
  const char *requests = getenv("HTTP_BENCH_REQUESTS");
  gRequests = requests && atoi(requests) > 0 ? atoi(requests) : 200;
  char pattern[] = "/tmp/http_download_bench.XXXXXX";
  if (mkdtemp(pattern) == nullptr) return 1;
  gScratch = pattern;
  std::filesystem::create_directory(gScratch + "/www");
  std::string big = gScratch + "/www/big.bin";
  std::ofstream(big).close();
  std::filesystem::resize_file(big, uintmax_t(gBytes));  // sparse: nginx sends zeros
  // Read once, so that the first download does not pay for filling the page
  // cache.
  run("cat " + big + " > /dev/null");
  std::ofstream(gScratch + "/www/small.bin") << std::string(1024, 's');
  if (!startNginx()) fprintf(stderr, "nginx did not start\n");

  BenchNet_Start();
  WebGet_AddWhitelistHost("127.0.0.1");
  WebGet_AddWhitelistHost("localhost");
  Tls_ApplySettings(nullptr, nullptr, nullptr);
  X509Anchors_ResetForTest((gScratch + "/cert.pem").c_str());
  CertStore *store = nullptr;
  CertStorePlatform_Create(&store);
  WebGet_SetCertStore(store);
  CertStore_Release(&store);

  int result = Bench_Main(argc, argv, [](const BenchRatioReporter &r) {
    auto cpuRatio = [](const char *ours, const char *peer) {
      double o = gCpu[ours], p = gCpu[peer];
      return p > 0 ? o / p : 0.0;
    };
    double mib = double(gBytes) / 1048576.0;
    auto rate = [&](const char *name) {
      const BenchRatioReporter::Result *x = r.Find(name);
      return x != nullptr && x->realTime > 0 ? mib / (x->realTime / 1000.0) : 0.0;
    };
    printf("\n%.0f MiB over loopback from nginx (ours / curl):\n", mib);
    printf("  plain:   %7.0f / %7.0f MiB/s  wall %.2fx (goal >= 1.0x)  CPU %.2fx (goal <= 1.2x; "
           "%.2f / %.2f s)\n",
           rate("BM_Ours_Plain"), rate("BM_Curl_Plain"),
           r.SpeedRatio("BM_Ours_Plain", "BM_Curl_Plain"),
           cpuRatio("BM_Ours_Plain", "BM_Curl_Plain"), gCpu["BM_Ours_Plain"],
           gCpu["BM_Curl_Plain"]);
    printf("  TLS 1.2: %7.0f / %7.0f MiB/s  wall %.2fx (goal >= 0.9x)  CPU %.2fx (%.2f / %.2f s)\n",
           rate("BM_Ours_Tls"), rate("BM_Curl_Tls"), r.SpeedRatio("BM_Ours_Tls", "BM_Curl_Tls"),
           cpuRatio("BM_Ours_Tls", "BM_Curl_Tls"), gCpu["BM_Ours_Tls"], gCpu["BM_Curl_Tls"]);
    auto perSecond = [&](const char *name) {
      const BenchRatioReporter::Result *x = r.Find(name);
      return x != nullptr && x->realTime > 0 ? gRequests / (x->realTime / 1000.0) : 0.0;
    };
    double stime = 0;
    std::ifstream report(gScratch + "/stime.txt");
    for (std::string line; std::getline(report, line);)
      if (line.find("connections/user sec") != std::string::npos ||
          line.find("connections in") != std::string::npos)
        if (sscanf(line.c_str(), "%*d connections in %*fs; %lf connections/user sec", &stime) == 1)
          break;
    printf("HTTPS requests/s on fresh connections (%d each): ours %.0f, curl %.0f (%.2fx, "
           "goal >= 0.5x), openssl s_time %.0f per user-second\n",
           gRequests, perSecond("BM_Ours_Fresh"), perSecond("BM_Curl_Fresh"),
           r.SpeedRatio("BM_Ours_Fresh", "BM_Curl_Fresh"), stime);
  });

  WebGet_SetCertStore(nullptr);
  X509Anchors_ResetForTest(nullptr);
  BenchNet_Stop();
  if (gNginx > 0) kill(gNginx, SIGQUIT);
  usleep(200000);
  std::filesystem::remove_all(gScratch);
  return result;
}
