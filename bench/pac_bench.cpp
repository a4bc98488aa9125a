// Proxy auto-configuration: evaluations per second of a 20 KB script, each in
// a fresh engine heap as the resolver runs them, beside pacparser's
// find_proxy (python3-pacparser, timed in a child Python on the same script)
// in the same run. Goal: under 1 ms per evaluation.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "bench/bench_ratio.h"
#include "core/platform/platform.h"

namespace {

constexpr int kPeerEvaluations = 200;

std::string makeScript() {
  std::string body = "function FindProxyForURL(url, host) {\n";
  for (int i = 0; body.size() < 20000; i++) {
    body += "  if (shExpMatch(host, \"*.site" + std::to_string(i) +
            ".example\") || dnsDomainIs(host, \".d" + std::to_string(i) +
            ".example\")) return \"PROXY p" + std::to_string(i) + ":8080\";\n";
  }
  body +=
      "  if (isInNet(host, \"10.0.0.0\", \"255.0.0.0\")) return \"DIRECT\";\n"
      "  return \"PROXY last:3128; DIRECT\";\n}\n";
  return body;
}

const std::string &script() {
  static const std::string text = makeScript();
  return text;
}

void BM_Evaluate_Ours(benchmark::State &state) {
  char out[256];
  const char *url = "http://10.1.2.3/path";
  for (auto _ : state) {
    ProxyScriptRequest request = {
        script().c_str(), int32_t(script().size()), url, out, sizeof out, 0, 0};
    Platform_ProxyGetForURLWithScript(&request);
    if (request.result != 1) state.SkipWithError("evaluation failed");
    benchmark::DoNotOptimize(out);
  }
}

// Seconds per find_proxy call, measured by pacparser in a child Python;
// 0 when it cannot run.
double peerSecondsPerEvaluation() {
  static double seconds = -1;
  if (seconds >= 0) return seconds;
  seconds = 0;
  std::string path = "/tmp/keelson_pac_bench_" + std::to_string(getpid()) + ".js";
  std::ofstream(path) << script();
  std::string command =
      "/usr/bin/python3 -W ignore -c \"import pacparser,time\n"
      "pacparser.init(); pacparser.parse_pac_file('" +
      path +
      "')\n"
      "t=time.perf_counter()\n"
      "for i in range(" +
      std::to_string(kPeerEvaluations) +
      "):\n"
      "  pacparser.find_proxy('http://10.1.2.3/path','10.1.2.3')\n"
      "print((time.perf_counter()-t)/" +
      std::to_string(kPeerEvaluations) + ")\" 2>/dev/null";
  if (FILE *pipe = popen(command.c_str(), "r")) {
    if (fscanf(pipe, "%lf", &seconds) != 1) seconds = 0;
    pclose(pipe);
  }
  remove(path.c_str());
  return seconds;
}

// pacparser parses once and keeps its engine; each call here is one
// find_proxy on the kept engine.
void BM_Evaluate_Pacparser(benchmark::State &state) {
  double seconds = peerSecondsPerEvaluation();
  if (seconds <= 0) {
    state.SkipWithError("python3-pacparser did not run");
    return;
  }
  for (auto _ : state) state.SetIterationTime(seconds);
}

BENCHMARK(BM_Evaluate_Ours)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Evaluate_Pacparser)->UseManualTime()->Iterations(10)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char **argv) {
  printf("script: %zu bytes\n", script().size());
  return Bench_Main(argc, argv, [](const BenchRatioReporter &r) {
    const BenchRatioReporter::Result *ours = r.Find("BM_Evaluate_Ours");
    if (ours == nullptr) return;
    printf("\nours: %.1f us per evaluation (%.0f per second; goal under 1000 us)\n", ours->realTime,
           1e6 / ours->realTime);
    if (r.Find("BM_Evaluate_Pacparser"))
      printf("pacparser find_proxy (engine kept): %.1f us; speed ours/peer %.2f\n",
             r.Find("BM_Evaluate_Pacparser")->realTime,
             r.SpeedRatio("BM_Evaluate_Ours", "BM_Evaluate_Pacparser"));
  });
}
