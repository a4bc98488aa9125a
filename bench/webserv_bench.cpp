// Web server throughput: `keelson serve --www` as shipped, one process,
// against nginx with one worker process and sendfile on, serving the same
// 1 KiB and 1 MiB files, loaded in the same run by wrk. Each benchmark runs its
// load once; its time per iteration is the time per request, so the printed
// ratios are requests/s of ours over nginx's. Beside requests/s it reports
// requests per CPU-second of the server's processes (utime + stime from
// /proc, nginx's master and worker together) and the CPU serve burns while
// nothing asks it anything.
//
// The keep-alive rows send `Connection: Keep-Alive` (serve keeps a connection
// only when the request asks for it); the row without any Connection header
// is printed for information. bench/webserv_bench.sh builds and runs it.
//
// Environment: WEBSERV_BENCH_SECONDS (wrk's duration, default 20),
// WEBSERV_BENCH_IDLE_SECONDS (the idle measure, default 5),
// WEBSERV_BENCH_SERVER_CPUS and WEBSERV_BENCH_CLIENT_CPUS (taskset CPU lists
// the servers and wrk are pinned to, e.g. "4,5" and "6,7"; unset, none).
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "bench/bench_ratio.h"
#include "tests/loopback_port.h"

namespace {

constexpr double kGoal1KiB = 0.8, kGoal1MiB = 0.9, kIdleGoalPercent = 0.1;

std::string gScratch, gRoot;
int gOurPort = 0, gNginxPort = 0;
pid_t gServePid = 0, gNginxPid = 0;
double gIdlePercent = -1;

struct Load {
  double requestsPerSecond = 0;
  double requestsPerCpuSecond = 0;
};
std::map<std::string, Load> gLoads;

int envInt(const char *name, int fallback) {
  const char *text = getenv(name);
  return text != nullptr && atoi(text) > 0 ? atoi(text) : fallback;
}

// "taskset -c LIST " when the variable names a CPU list, else "".
std::string pinPrefix(const char *variable) {
  const char *cpus = getenv(variable);
  if (cpus == nullptr || cpus[0] == '\0') return "";
  return std::string("taskset -c ") + cpus + " ";
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

// utime + stime of one process, in seconds.
double cpuSeconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), {});
  size_t close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  double ticks = 0;
  for (int i = 3; fields >> field; i++)
    if (i == 14 || i == 15) ticks += atof(field.c_str());
  return ticks / double(sysconf(_SC_CLK_TCK));
}

// The server's processes: serve alone, or nginx's master and its children.
double serverCpuSeconds(bool ours) {
  if (ours) return cpuSeconds(gServePid);
  double total = cpuSeconds(gNginxPid);
  std::istringstream children(run("pgrep -P " + std::to_string(gNginxPid)));
  for (pid_t child; children >> child;) total += cpuSeconds(child);
  return total;
}

// A number that follows `mark` in wrk's output.
double after(const std::string &out, const char *mark) {
  size_t at = out.find(mark);
  return at == std::string::npos ? 0 : atof(out.c_str() + at + strlen(mark));
}

void loadRun(benchmark::State &state, const char *name, bool ours, const char *file,
             bool keepAlive) {
  int port = ours ? gOurPort : gNginxPort;
  std::string url = "http://127.0.0.1:" + std::to_string(port) + "/" + file;
  std::string command = pinPrefix("WEBSERV_BENCH_CLIENT_CPUS") + "wrk -t2 -c50 -d" + std::to_string(envInt("WEBSERV_BENCH_SECONDS", 20)) +
                        "s " + (keepAlive ? "-H 'Connection: Keep-Alive' " : "") + url + " 2>&1";
  for (auto _ : state) {
    double cpuBefore = serverCpuSeconds(ours);
    std::string out = run(command);
    double cpu = serverCpuSeconds(ours) - cpuBefore;
    double rate = after(out, "Requests/sec:");
    // "  123456 requests in 20.00s, ..."
    size_t at = out.find(" requests in ");
    double requests = 0;
    if (at != std::string::npos) {
      size_t start = out.rfind('\n', at);
      requests = atof(out.c_str() + (start == std::string::npos ? 0 : start + 1));
    }
    if (rate <= 0 || out.find("Non-2xx") != std::string::npos) {
      state.SkipWithError(("no rate, or errors, from: " + out).c_str());
      return;
    }
    state.SetIterationTime(1.0 / rate);
    state.counters["requests_per_second"] = rate;
    state.counters["requests_per_cpu_second"] = cpu > 0 ? requests / cpu : 0;
    gLoads[name] = {rate, cpu > 0 ? requests / cpu : 0};
  }
}

void BM_Ours_1KiB(benchmark::State &s) { loadRun(s, "BM_Ours_1KiB", true, "1k.bin", true); }
void BM_Nginx_1KiB(benchmark::State &s) { loadRun(s, "BM_Nginx_1KiB", false, "1k.bin", true); }
void BM_Ours_1MiB(benchmark::State &s) { loadRun(s, "BM_Ours_1MiB", true, "1m.bin", true); }
void BM_Nginx_1MiB(benchmark::State &s) { loadRun(s, "BM_Nginx_1MiB", false, "1m.bin", true); }
void BM_Ours_1KiB_NoHeader(benchmark::State &s) { loadRun(s, "BM_Ours_1KiB_NoHeader", true, "1k.bin", false); }
void BM_Nginx_1KiB_NoHeader(benchmark::State &s) { loadRun(s, "BM_Nginx_1KiB_NoHeader", false, "1k.bin", false); }
BENCHMARK(BM_Ours_1KiB)->Iterations(1)->UseManualTime();
BENCHMARK(BM_Nginx_1KiB)->Iterations(1)->UseManualTime();
BENCHMARK(BM_Ours_1MiB)->Iterations(1)->UseManualTime();
BENCHMARK(BM_Nginx_1MiB)->Iterations(1)->UseManualTime();
BENCHMARK(BM_Ours_1KiB_NoHeader)->Iterations(1)->UseManualTime();
BENCHMARK(BM_Nginx_1KiB_NoHeader)->Iterations(1)->UseManualTime();

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
                      << " access_log off;\n sendfile on;\n keepalive_requests 1000000;\n"
                      << " client_body_temp_path " << gScratch << ";\n proxy_temp_path "
                      << gScratch << ";\n fastcgi_temp_path " << gScratch
                      << ";\n uwsgi_temp_path " << gScratch << ";\n scgi_temp_path " << gScratch
                      << ";\n server { listen 127.0.0.1:" << gNginxPort << ";\n  root " << gRoot
                      << "; }\n}\n";
  run(pinPrefix("WEBSERV_BENCH_SERVER_CPUS") + "/usr/sbin/nginx -c " + conf + " -p " + gScratch + " 2>&1");
  for (int i = 0; i < 200; i++) {
    std::ifstream pid(gScratch + "/nginx.pid");
    if (pid >> gNginxPid) return true;
    usleep(10000);
  }
  return false;
}

// `keelson serve` on a paused repository (nothing is fetched), until it
// prints its JSON line.
bool startServe() {
  // serve will not start without a key to verify signed documents against;
  // nothing is verified here, any P-256 public key will do.
  std::string key = run("openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 "
                        "2>/dev/null | openssl pkey -pubout -outform DER | base64 -w0");
  std::string app = gScratch + "/app.json";
  std::ofstream(app) << "{\"keyStores\": {\"content\": \"" << key << "\"}}\n";
  std::string repo = gScratch + "/repo.json";
  std::ofstream(repo) << "{\"repository\": \"bench\", \"certStore\": \"content\", \"catalog\": "
                         "\"http://127.0.0.1:9/catalog.json\", \"local\": {\"type\": \"file\", "
                         "\"path\": \""
                      << gScratch << "/install\"}, \"metafile\": \"" << gScratch
                      << "/install.json\"}\n";
  gOurPort = Test_FreeLoopbackPort();
  int out[2];
  if (pipe(out) != 0) return false;
  gServePid = fork();
  if (gServePid == 0) {
    dup2(out[1], 1);
    close(out[0]);
    close(out[1]);
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 2);
    std::string port = "--port=" + std::to_string(gOurPort), www = "--www=" + gRoot;
    std::string appOption = "--app=" + app;
    const char *cpus = getenv("WEBSERV_BENCH_SERVER_CPUS");
    if (cpus != nullptr && cpus[0] != '\0')
      execlp("taskset", "taskset", "-c", cpus, KEELSON_PROGRAM, "serve", appOption.c_str(),
             port.c_str(), www.c_str(), repo.c_str(), (char *)nullptr);
    else
      execl(KEELSON_PROGRAM, KEELSON_PROGRAM, "serve", appOption.c_str(), port.c_str(),
            www.c_str(), repo.c_str(), (char *)nullptr);
    _exit(127);
  }
  close(out[1]);
  std::string line;
  char c;
  while (read(out[0], &c, 1) == 1 && c != '\n') line += c;
  close(out[0]);  // serve prints nothing more on stdout
  if (line.find("\"url\"") == std::string::npos) {
    fprintf(stderr, "keelson serve did not start: %s\n", line.c_str());
    return false;
  }
  return true;
}

// Run time of all of a process's threads in seconds, to the nanosecond
// (/proc/<pid>/task/*/schedstat): the clock ticks of /proc/<pid>/stat are
// 10 ms, a tenth of the idle goal over 10 s.
double runSeconds(pid_t pid) {
  double total = 0;
  std::error_code error;
  std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  for (const auto &task : std::filesystem::directory_iterator(tasks, error)) {
    std::ifstream in(task.path() / "schedstat");
    double ns = 0;
    if (in >> ns) total += ns / 1e9;
  }
  return total;
}

// CPU serve spends while no one asks it anything, in percent of one core,
// after a second for its start to settle.
double idlePercent() {
  int seconds = envInt("WEBSERV_BENCH_IDLE_SECONDS", 5);
  sleep(1);
  double before = runSeconds(gServePid);
  sleep(unsigned(seconds));
  return (runSeconds(gServePid) - before) * 100.0 / seconds;
}

void printRow(const char *what, const char *ours, const char *nginx, double goal) {
  const Load &o = gLoads[ours], &n = gLoads[nginx];
  double ratio = n.requestsPerSecond > 0 ? o.requestsPerSecond / n.requestsPerSecond : 0;
  double cpuRatio = n.requestsPerCpuSecond > 0 ? o.requestsPerCpuSecond / n.requestsPerCpuSecond : 0;
  printf("  %-22s %9.0f / %9.0f req/s  ratio %.2fx", what, o.requestsPerSecond,
         n.requestsPerSecond, ratio);
  if (goal > 0) printf(" (goal %.1fx: %s)", goal, ratio >= goal ? "met" : "MISSED");
  printf("\n  %-22s %9.0f / %9.0f req per server CPU-s  ratio %.2fx\n", "", o.requestsPerCpuSecond,
         n.requestsPerCpuSecond, cpuRatio);
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
  int result = 1;
  if (!startNginx()) {
    fprintf(stderr, "nginx did not start\n");
  } else if (startServe()) {
    gIdlePercent = idlePercent();
    result = Bench_Main(argc, argv, [](const BenchRatioReporter &) {
      printf("\nours (keelson serve) / nginx, one process or worker each:\n");
      printRow("1 KiB, Keep-Alive", "BM_Ours_1KiB", "BM_Nginx_1KiB", kGoal1KiB);
      printRow("1 MiB, Keep-Alive", "BM_Ours_1MiB", "BM_Nginx_1MiB", kGoal1MiB);
      printRow("1 KiB, no header", "BM_Ours_1KiB_NoHeader", "BM_Nginx_1KiB_NoHeader", 0);
      printf("  serve idle: %.3f%% of a core (goal < %.1f%%: %s)\n", gIdlePercent,
             kIdleGoalPercent, gIdlePercent < kIdleGoalPercent ? "met" : "MISSED");
    });
  }
  if (gServePid > 0) {
    kill(gServePid, SIGTERM);
    waitpid(gServePid, nullptr, 0);
  }
  if (gNginxPid > 0) kill(gNginxPid, SIGQUIT);
  usleep(200000);
  std::filesystem::remove_all(gScratch);
  return result;
}
