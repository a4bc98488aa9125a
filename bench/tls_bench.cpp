// Full TLS handshakes per second against openssl s_server, ours beside
// `openssl s_time -new` against the same server in the same run (RSA-2048
// with ECDHE-RSA-AES128-GCM-SHA256, P-256 with ECDHE-ECDSA-AES128-GCM-
// SHA256), with the client CPU per handshake; and bulk reading: a file from
// `openssl s_server -WWW` through our session beside `curl --tls-max 1.2`.
// Goals: handshakes at least 0.5x, bulk at least 0.9x. Certificates are
// self-signed and made with openssl in a temporary directory; the client
// trusts the one it is shown as its only anchor.
//
// KEELSON_TLS_BENCH_BYTES sets the bulk size (default 1 GiB).
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <fmt/core.h>

#include "bench/bench_ratio.h"
#include "core/security/auth.h"
#include "core/security/certstorei.h"
#include "core/security/certstoreplatform.h"
#include "core/security/tls1_test_util.h"
#include "core/security/x509anchors.h"

namespace {

struct KeyKind {
  const char *name;
  const char *newkey;  // openssl req -newkey
  const char *cipher;  // the server's only suite
};
constexpr KeyKind kKinds[] = {
    {"rsa2048", "rsa:2048", "ECDHE-RSA-AES128-GCM-SHA256"},
    {"p256", "ec -pkeyopt ec_paramgen_curve:P-256", "ECDHE-ECDSA-AES128-GCM-SHA256"},
};

std::string gDir;

std::string run(const std::string &command) {
  std::string out;
  FILE *pipe = popen(command.c_str(), "r");
  if (!pipe) return out;
  char buffer[4096];
  size_t n = 0;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
  pclose(pipe);
  return out;
}

void makeFiles() {
  char pattern[] = "/tmp/keelson_tls_bench_XXXXXX";
  gDir = mkdtemp(pattern);
  for (const KeyKind &k : kKinds)
    run(fmt::format("openssl req -x509 -newkey {} -nodes -subj /CN=localhost -addext "
                    "subjectAltName=DNS:localhost -days 2 -keyout {}/{}.key -out {}/{}.pem "
                    "2>/dev/null",
                    k.newkey, gDir, k.name, gDir, k.name));
}

double cpuSeconds(int who) {
  rusage u = {};
  getrusage(who, &u);
  return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

std::vector<std::string> server(const KeyKind &k, int port, std::vector<std::string> extra) {
  std::vector<std::string> argv = {"openssl", "s_server", "-quiet", "-accept", std::to_string(port),
                                   "-cert", gDir + "/" + k.name + ".pem",
                                   "-key", gDir + "/" + k.name + ".key", "-tls1_2"};
  argv.insert(argv.end(), extra.begin(), extra.end());
  return argv;
}

TLS1 *session(CertStore *store) {
  TLS1 *s = nullptr;
  Tls_Create(&s);
  Tls_SetCertStore(s, store);
  return s;
}

void benchOurs(benchmark::State &state, const KeyKind *k) {
  X509Anchors_ResetForTest((gDir + "/" + k->name + ".pem").c_str());
  CertStore *store = nullptr;
  CertStorePlatform_Create(&store);
  const int port = TlsTest_FreePort();
  TlsTest_Peer peer(server(*k, port, {"-www", "-cipher", k->cipher}));
  close(TlsTest_Connect(port));  // the server is up
  const double cpu = cpuSeconds(RUSAGE_SELF);
  int64_t failed = 0;
  for (auto _ : state) {
    const int fd = TlsTest_Connect(port);
    TLS1 *s = session(store);
    Tls_StartHandshake(s, "localhost", nullptr);
    if (!TlsTest_Pump(s, fd, [&] { return Tls_IsHandshakeDone(s) != 0; })) failed++;
    Tls_Delete(&s);
    close(fd);
  }
  state.counters["cpu_us"] = (cpuSeconds(RUSAGE_SELF) - cpu) * 1e6 / double(state.iterations());
  state.counters["failed"] = double(failed);
  CertStore_Release(&store);
}

// One run of s_time for a few seconds; the time per connection is the
// iteration time.
void benchSTime(benchmark::State &state, const KeyKind *k) {
  const int port = TlsTest_FreePort();
  TlsTest_Peer peer(server(*k, port, {"-www", "-cipher", k->cipher}));
  close(TlsTest_Connect(port));
  for (auto _ : state) {
    const double cpu = cpuSeconds(RUSAGE_CHILDREN);
    const auto started = std::chrono::steady_clock::now();
    const std::string out = run(fmt::format(
        "openssl s_time -connect 127.0.0.1:{} -new -time 3 -cipher {} 2>/dev/null", port, k->cipher));
    // s_time's own "connections in N s" is its user CPU time, not the
    // elapsed time our side is measured in: time the run here instead.
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const double childCpu = cpuSeconds(RUSAGE_CHILDREN) - cpu;
    long connections = 0;
    const size_t at = out.find(" connections in ");
    if (at != std::string::npos) {
      size_t start = out.rfind('\n', at);
      connections = atol(out.c_str() + (start == std::string::npos ? 0 : start + 1));
    }
    if (connections <= 0) {
      state.SkipWithError("s_time gave no connections");
      break;
    }
    state.SetIterationTime(seconds / double(connections));
    state.counters["cpu_us"] = childCpu * 1e6 / double(connections);
  }
}

int64_t bulkBytes() {
  const char *text = getenv("KEELSON_TLS_BENCH_BYTES");
  return text ? atoll(text) : int64_t(1) << 30;
}

void benchBulkOurs(benchmark::State &state) {
  const KeyKind &k = kKinds[0];
  X509Anchors_ResetForTest((gDir + "/" + k.name + ".pem").c_str());
  CertStore *store = nullptr;
  CertStorePlatform_Create(&store);
  const int port = TlsTest_FreePort();
  TlsTest_Peer peer(server(k, port, {"-WWW", "-cipher", k.cipher}));
  const int64_t size = bulkBytes();
  for (auto _ : state) {
    const int fd = TlsTest_Connect(port);
    TLS1 *s = session(store);
    Tls_StartHandshake(s, "localhost", nullptr);
    TlsTest_Pump(s, fd, [&] { return Tls_IsHandshakeDone(s) != 0; });
    const std::string request = "GET /bulk.bin HTTP/1.0\r\n\r\n";
    int32_t written = 0;
    Tls_Write(s, request.data(), int32_t(request.size()), &written);
    int64_t received = 0;
    DupStream *t = Tls_GetTransportStream(s);
    std::vector<char> buffer(1 << 16);
    TlsTest_Pump(
        s, fd,
        [&] {
          int32_t n = 0, read = 0;
          while (DupStream_GetInboundLength(t, &n) && n > 0) {
            DupStream_ReadInbound(t, buffer.data(), int32_t(buffer.size()), &read);
            received += read;
          }
          return received >= size;
        },
        600000);
    if (received < size) state.SkipWithError("short read");
    Tls_Delete(&s);
    close(fd);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * size);
  CertStore_Release(&store);
}

void benchBulkCurl(benchmark::State &state) {
  const KeyKind &k = kKinds[0];
  const int port = TlsTest_FreePort();
  TlsTest_Peer peer(server(k, port, {"-WWW", "-cipher", k.cipher}));
  close(TlsTest_Connect(port));
  const int64_t size = bulkBytes();
  for (auto _ : state) {
    run(fmt::format("curl -s --tls-max 1.2 --cacert {}/{}.pem -o /dev/null "
                    "https://localhost:{}/bulk.bin",
                    gDir, k.name, port));
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * size);
}

}  // namespace

int main(int argc, char **argv) {
  makeFiles();
  Tls_ApplySettings(nullptr, nullptr, nullptr);
  // s_server -WWW serves files from its working directory.
  if (chdir(gDir.c_str()) != 0) return 1;
  run(fmt::format("head -c {} /dev/zero > bulk.bin", bulkBytes()));
  for (const KeyKind &k : kKinds) {
    benchmark::RegisterBenchmark((std::string("Handshake/ours/") + k.name).c_str(), benchOurs, &k)
        ->Unit(benchmark::kMicrosecond)
        ->MinTime(3.0);
    benchmark::RegisterBenchmark((std::string("Handshake/s_time/") + k.name).c_str(), benchSTime, &k)
        ->Unit(benchmark::kMicrosecond)
        ->UseManualTime()
        ->Iterations(1);
  }
  benchmark::RegisterBenchmark("Bulk/ours", benchBulkOurs)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
  benchmark::RegisterBenchmark("Bulk/curl", benchBulkCurl)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
  const int status = Bench_Main(argc, argv, [](const BenchRatioReporter &results) {
    fmt::print("\n{:<10} {:>22} (goal >= 0.5x)\n", "key", "handshakes ours/s_time");
    for (const KeyKind &k : kKinds)
      fmt::print("{:<10} {:>21.2f}x\n", k.name,
                 results.SpeedRatio(std::string("Handshake/ours/") + k.name,
                                    std::string("Handshake/s_time/") + k.name));
    fmt::print("bulk ours/curl: {:.2f}x (goal >= 0.9x)\n", results.SpeedRatio("Bulk/ours", "Bulk/curl"));
  });
  run(fmt::format("rm -rf {}", gDir));
  return status;
}
