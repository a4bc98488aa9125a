// `keelson sync` against curl fetching the same bytes from the same nginx
// (127.0.0.1, one worker, sendfile on, no access log) in the same run, in
// three cases:
//
//   small   20,000 small files (256 B to 16 KiB, about 4 KiB each): the cost
//           per file, one directory deep (--small-depth N: N deep). Goals,
//           against curl + sha1sum -c: wall <= 1.0x, CPU <= 1.5x, at most
//           40 system calls per file at any depth.
//   bulk    1,000 files, 1 GiB (log-uniform sizes from 1 KiB to 64 MiB).
//           Goals, against curl alone: CPU <= 1.3x, peak RSS <= 32 MiB.
//   update  v1 installed, then v2 by VCDIFF deltas (tests/e2e/make_tree.py,
//           512 MiB: 200 files, a third of them changed in three places each),
//           against curl fetching the changed files whole. Goals: local reads
//           at most the installed size plus the changed pieces' bytes (each
//           delta source byte read once), peak RSS <= 64 MiB.
//
// small and bulk run for both remote kinds, the installed files ("http") and
// plain pieces ("httpPiece", one request per piece), each over HTTP and over
// HTTPS (TLS 1.2, ECDHE, AES-128-GCM on both sides; curl checks the server
// against the benchmark's certificate with --cacert). tests/synctree.py
// writes those versions and tests/e2e/bench_setup.py signs them, so the
// command runs with security on. curl runs with --parallel --parallel-max 6,
// the pool's connections per host; what keelson checks (every piece's
// digest) a curl user checks with sha1sum -c, run 8-way at once on the
// fetched tree: each case prints a row against curl alone and one against
// curl followed by that check. The update runs over HTTPS only, from the
// nginx configuration make_tree.py writes beside its tree.
//
// Each side runs as a child process into a fresh directory: once uncounted
// (the server's files come into the page cache), then --runs times
// interleaved, each run printing its own row and ratios (ours / peer, so
// below 1 is better), then min/median/max of the ratios. Per child: wall
// seconds, CPU seconds (user + system) and peak RSS from wait4, context
// switches per file, and bytes read and written through system calls
// (rchar and wchar of /proc/self/io, which add each reaped child's; sockets
// read with read() count too). With --strace PATH, the uncounted run of each
// side runs under `strace -f -c` and the rows give system calls per file
// (the benchmark's script passes it; /proc/<pid>/io counts only read and
// write calls).
//
// A whole-process measure, so it runs by hand (bench/repository_sync_bench.sh)
// rather than under the benchmark library:
//   repository_sync_bench [--case small|bulk|update|all] [--runs N]
//       [--scheme http|https|both] [--kind files|pieces|both]
//       [--small-files N] [--small-depth N] [--files N] [--total BYTES]
//       [--piece-size BYTES]
//       [--update-mib M] [--strace PATH] [--keelson PATH] [--old PATH]
//
// --keelson PATH runs that build of the command instead of the tree's. With
// --old PATH (another build of the command, an earlier commit's), the
// small and bulk cases run it too, in the same rounds right after this
// build, into a directory of its own: each round prints both builds' CPU
// seconds per file, and the traced run both builds' system calls per file.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/loopback_port.h"
#include "tests/nginx_peer.h"
#include "tests/peer_process.h"

namespace {

struct ChildRun {
  bool ok = false;
  double seconds = 0;
  double peakMiB = 0;
  double cpuSeconds = 0;  // user + system
  long long switches = 0;  // voluntary and involuntary context switches
  long long readBytes = 0;  // rchar: what read calls returned
  long long writtenBytes = 0;  // wchar
  long long calls = -1;  // system calls under strace; -1 when not traced

  // Two children one after the other (curl, then sha1sum): times and bytes
  // add up, the peak is the larger.
  ChildRun Then(const ChildRun &next) const {
    ChildRun sum = *this;
    sum.ok = ok && next.ok;
    sum.seconds += next.seconds;
    sum.cpuSeconds += next.cpuSeconds;
    sum.peakMiB = std::max(peakMiB, next.peakMiB);
    sum.switches += next.switches;
    sum.readBytes += next.readBytes;
    sum.writtenBytes += next.writtenBytes;
    sum.calls = calls < 0 || next.calls < 0 ? -1 : calls + next.calls;
    return sum;
  }
};

// This process's rchar and wchar; a reaped child's counts join them.
void selfIo(long long *read, long long *written) {
  std::ifstream in("/proc/self/io");
  std::string key;
  long long value = 0;
  while (in >> key >> value) {
    if (key == "rchar:") *read = value;
    if (key == "wchar:") *written = value;
  }
}

// Runs argv as a child with its output discarded.
ChildRun runChild(const std::vector<std::string> &argv) {
  ChildRun out;
  // The earlier runs' written pages go to disk first, so that no run is
  // throttled by the write-back of another's.
  sync();
  long long read0 = 0, written0 = 0, read1 = 0, written1 = 0;
  selfIo(&read0, &written0);
  auto start = std::chrono::steady_clock::now();
  rusage usage{};
  int status = PeerProcess(argv).Wait(&usage);
  out.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  selfIo(&read1, &written1);
  out.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  out.peakMiB = double(usage.ru_maxrss) / 1024.0;  // kilobytes on Linux
  out.cpuSeconds = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                   double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  out.switches = usage.ru_nvcsw + usage.ru_nivcsw;
  out.readBytes = read1 - read0;
  out.writtenBytes = written1 - written0;
  return out;
}

// Runs argv under `strace -f -c` (uncounted: tracing slows it several
// times); its system calls, with their children's, or -1.
long long tracedCalls(const std::string &strace, const std::string &scratch,
                      const std::vector<std::string> &argv) {
  std::string report = scratch + "/strace.txt";
  std::vector<std::string> traced = {strace, "-f", "-c", "-o", report};
  traced.insert(traced.end(), argv.begin(), argv.end());
  ChildRun run = runChild(traced);
  // "100.00  seconds  usecs/call  calls  [errors]  total"
  long long calls = -1;
  std::ifstream in(report);
  std::string line;
  while (run.ok && std::getline(in, line)) {
    std::istringstream fields(line);
    std::vector<std::string> words;
    std::string word;
    while (fields >> word) words.push_back(word);
    if (words.size() >= 5 && words.back() == "total") calls = atoll(words[3].c_str());
  }
  std::filesystem::remove(report);
  return calls;
}

// "<path below the root> <bytes>" lines of synctree.py.
std::vector<std::string> listed(const std::string &path) {
  std::vector<std::string> names;
  std::ifstream in(path);
  std::string name;
  long long bytes = 0;
  while (in >> name >> bytes) names.push_back(name);
  return names;
}

std::vector<std::string> lines(const std::string &path) {
  std::vector<std::string> out;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line))
    if (!line.empty()) out.push_back(line);
  return out;
}

constexpr const char *kTlsCipher = "ECDHE-ECDSA-AES128-GCM-SHA256";

// curl's argv: every name below base into dir, over TLS checked against
// cacert when it is not empty.
std::vector<std::string> curlArgs(const std::string &base, const std::vector<std::string> &names,
                                  const std::string &dir, const std::string &cacert) {
  std::string config = dir + ".curl";
  std::ofstream out(config);
  for (const std::string &n : names)
    out << "url = \"" << base << "/" << n << "\"\noutput = \"" << dir << "/" << n << "\"\n";
  std::vector<std::string> argv = {"/usr/bin/curl", "-s", "-f", "--create-dirs", "--parallel",
                                   "--parallel-max", "6", "-K", config};
  if (!cacert.empty()) {
    for (const char *a : {"--tlsv1.2", "--tls-max", "1.2", "--ciphers", kTlsCipher})
      argv.push_back(a);
    argv.push_back("--cacert");
    argv.push_back(cacert);
  }
  return argv;
}

// sha1sum -c of the "<sha1>  <name>" lines, split 8 ways and run at once in
// dir; it fails when any part does.
std::vector<std::string> sha1sumArgs(const std::string &dir, const std::vector<std::string> &sums) {
  constexpr int kWays = 8;
  std::string script = "cd '" + dir + "' || exit 1\n";
  std::string waits;
  for (int w = 0; w < kWays; w++) {
    std::string part = dir + ".sum" + std::to_string(w);
    std::ofstream out(part);
    for (size_t i = size_t(w); i < sums.size(); i += kWays) out << sums[i] << "\n";
    script += "/usr/bin/sha1sum -c --quiet '" + part + "' & p" + std::to_string(w) + "=$!\n";
    waits += " $p" + std::to_string(w);
  }
  script += "s=0; for p in" + waits + "; do wait $p || s=1; done; exit $s\n";
  return {"/bin/sh", "-c", script};
}

void removeRun(const std::string &dir) {
  std::filesystem::remove_all(dir);
  for (const char *suffix : {".curl", ".json"}) std::filesystem::remove(dir + suffix);
  for (int w = 0; w < 8; w++) std::filesystem::remove(dir + ".sum" + std::to_string(w));
}

// A goal of a row; a bound of 0 is not part of it.
struct Goal {
  double wall = 0;  // ours / peer
  double cpu = 0;
  double peakMiB = 0;  // ours
  double callsPerFile = 0;  // ours, when traced
  double readBytes = 0;  // ours
};

std::string goalText(const Goal &goal) {
  char text[200] = "";
  int at = 0;
  if (goal.wall > 0) at += snprintf(text + at, sizeof text - at, " wall<=%.1fx", goal.wall);
  if (goal.cpu > 0) at += snprintf(text + at, sizeof text - at, " cpu<=%.1fx", goal.cpu);
  if (goal.peakMiB > 0) at += snprintf(text + at, sizeof text - at, " rss<=%.0fMiB", goal.peakMiB);
  if (goal.callsPerFile > 0)
    at += snprintf(text + at, sizeof text - at, " calls<=%.0f/file", goal.callsPerFile);
  if (goal.readBytes > 0)
    at += snprintf(text + at, sizeof text - at, " read<=%.0fMB", goal.readBytes / 1e6);
  return at == 0 ? "no goal" : std::string(text + 1);
}

// "met", "missed" or "no goal"; calls count only when traced.
std::string verdict(const Goal &goal, const ChildRun &peer, const ChildRun &ours, int files) {
  std::string text = goalText(goal);
  if (text == "no goal") return text;
  bool met = peer.ok && ours.ok;
  if (goal.wall > 0 && ours.seconds > goal.wall * peer.seconds) met = false;
  if (goal.cpu > 0 && ours.cpuSeconds > goal.cpu * peer.cpuSeconds) met = false;
  if (goal.peakMiB > 0 && ours.peakMiB > goal.peakMiB) met = false;
  if (goal.callsPerFile > 0 && ours.calls >= 0 && double(ours.calls) > goal.callsPerFile * files)
    met = false;
  if (goal.readBytes > 0 && double(ours.readBytes) > goal.readBytes) met = false;
  return text + ": " + (met ? "met" : "missed") + (peer.ok ? "" : " (peer failed)") +
         (ours.ok ? "" : " (keelson failed)") +
         (goal.callsPerFile > 0 && ours.calls < 0 ? " (calls not traced)" : "");
}

void printHeader() {
  printf("%-32s %3s %8s %8s %6s %8s %8s %6s %8s %8s %9s %9s %7s %7s  goal\n", "case / peer", "run",
         "peer s", "ours s", "wall", "peer cpu", "ours cpu", "cpu", "peer MiB", "ours MiB",
         "peer rd MB", "ours rd MB", "calls/f", "csw/f");
}

// calls and switches per file are ours; calls shows "-" when not traced.
void printRow(const std::string &label, int run, const ChildRun &peer, const ChildRun &ours,
              int files, const Goal &goal) {
  char calls[32] = "-";
  if (ours.calls >= 0) snprintf(calls, sizeof calls, "%.1f", double(ours.calls) / files);
  printf("%-32s %3d %8.2f %8.2f %5.2fx %8.2f %8.2f %5.2fx %8.1f %8.1f %9.1f %9.1f %7s %7.2f  %s\n",
         label.c_str(), run, peer.seconds, ours.seconds, ours.seconds / peer.seconds,
         peer.cpuSeconds, ours.cpuSeconds, ours.cpuSeconds / peer.cpuSeconds, peer.peakMiB,
         ours.peakMiB, double(peer.readBytes) / 1e6, double(ours.readBytes) / 1e6, calls,
         double(ours.switches) / files, verdict(goal, peer, ours, files).c_str());
  fflush(stdout);
}

// Min, median and max of each row's ratios over the runs.
void printSpread(const std::string &label, std::vector<double> wall, std::vector<double> cpu) {
  if (wall.size() < 2) return;
  std::sort(wall.begin(), wall.end());
  std::sort(cpu.begin(), cpu.end());
  size_t mid = wall.size() / 2;
  printf("%-32s     wall %.2f/%.2f/%.2fx  cpu %.2f/%.2f/%.2fx (min/median/max)\n", label.c_str(),
         wall.front(), wall[mid], wall.back(), cpu.front(), cpu[mid], cpu.back());
}

struct Options {
  std::string which = "all";
  int runs = 3;
  bool http = true, https = true, files = true, pieces = true;
  int smallFiles = 20000;
  int smallDepth = 1;  // directories above each small file
  std::string bulkFiles = "1000", bulkTotal = std::to_string(1LL << 30), pieceSize = "1048576";
  std::string updateMib = "512";
  std::string strace;
  std::string old;  // another build of the command, run in the same rounds
};

struct Kind {
  const char *label;
  const char *list;  // synctree.py's list of what curl fetches
  const char *remote;  // the remote storage below the base URL
  const char *below;  // its directory below the tree
};

const Kind kKinds[] = {
    {"files", "files.txt", "{\"type\":\"http\",\"url\":\"", "files/"},
    {"pieces", "pieces.txt", "{\"type\":\"httpPiece\",\"flags\":0,\"url\":\"", "pieces/"},
};

// A synctree.py version served by the benchmark's nginx over both schemes.
struct SyncTree {
  std::string label;
  std::string root;  // below nginx's root
  std::string base, tlsBase;  // URLs of root
  std::string cacert;
  int files = 0;
  Goal curlGoal, checkedGoal;  // against curl alone, and curl + sha1sum -c
};

// The repository file of one run: the signed catalog of the scheme, the
// remote below base, the installation in dir.
std::string runFile(const std::string &base, const std::string &scheme, const Kind &kind,
                    const std::string &dir) {
  std::string path = dir + ".json";
  std::ofstream(path) << "{\"repository\":\"bench\",\"remoteId\":\"v1\",\"certStore\":"
                      << "\"content\",\"catalog\":\"" << base << "/signed/catalog-" << scheme
                      << ".json\",\"metafile\":\"" << dir
                      << "/state/meta.json\",\"local\":{\"type\":\"file\",\"path\":\"" << dir
                      << "/install\"},\"remote\":" << kind.remote << base << "/" << kind.below
                      << "\"}}";
  return path;
}

std::string gKeelson = KEELSON_PROGRAM;  // --keelson

std::vector<std::string> keelsonArgs(const std::string &app, const std::string &repo,
                                     const std::string &program = gKeelson) {
  return {program, "sync", "--app=" + app, repo};
}

// What sha1sum -c checks in curl's copy of the kind: the files, or the
// pieces (each named by its digest).
std::vector<std::string> sumsOf(const SyncTree &tree, const Kind &kind) {
  std::vector<std::string> sums;
  if (std::string(kind.label) == "files") {
    for (const std::string &line : lines(tree.root + "/sha1sums.txt")) {
      size_t gap = line.find("  ");
      sums.push_back(line.substr(0, gap + 2) + kind.below + line.substr(gap + 2));
    }
  } else {
    for (const std::string &name : listed(tree.root + "/" + kind.list))
      sums.push_back(name.substr(strlen(kind.below), 40) + "  " + name);
  }
  return sums;
}

// One scheme and kind of a tree: the uncounted run of each side (traced
// when asked), then the counted runs. The last counted installation stays
// in *kept when it is empty.
void runSyncCase(const Options &opt, const SyncTree &tree, bool tls, const Kind &kind,
                 const std::string &scratch, std::string *kept) {
  std::string scheme = tls ? "https" : "http";
  const std::string &base = tls ? tree.tlsBase : tree.base;
  std::string cacert = tls ? tree.cacert : "";
  std::string app = tree.root + "/app.json";
  std::vector<std::string> names = listed(tree.root + "/" + kind.list);
  std::vector<std::string> sums = sumsOf(tree, kind);
  std::string label = tree.label + " " + scheme + " " + kind.label;
  std::string peerDir = scratch + "/curl", oursDir = scratch + "/ours-" + scheme + kind.label;
  auto curl = [&] { return curlArgs(base, names, peerDir, cacert); };
  auto ours = [&] { return keelsonArgs(app, runFile(base, scheme, kind, oursDir)); };
  std::string oldDir = oursDir + "-old";
  auto old = [&] { return keelsonArgs(app, runFile(base, scheme, kind, oldDir), opt.old); };

  long long curlCalls = -1, sumCalls = -1, oursCalls = -1, oldCalls = -1;
  if (!opt.old.empty()) {
    if (opt.strace.empty())
      runChild(old());
    else
      oldCalls = tracedCalls(opt.strace, scratch, old());
    removeRun(oldDir);
  }
  std::vector<double> oldCpu, newCpu;
  if (opt.strace.empty()) {
    runChild(curl());
    removeRun(peerDir);
    runChild(ours());
    removeRun(oursDir);
  } else {
    curlCalls = tracedCalls(opt.strace, scratch, curl());
    sumCalls = tracedCalls(opt.strace, scratch, sha1sumArgs(peerDir, sums));
    removeRun(peerDir);
    oursCalls = tracedCalls(opt.strace, scratch, ours());
    removeRun(oursDir);
  }
  std::vector<double> wall[2], cpu[2];
  for (int run = 1; run <= opt.runs; run++) {
    ChildRun fetched = runChild(curl());
    fetched.calls = curlCalls;
    ChildRun checked = runChild(sha1sumArgs(peerDir, sums));
    checked.calls = sumCalls;
    removeRun(peerDir);
    ChildRun mine = runChild(ours());
    mine.calls = oursCalls;
    if (kept->empty() && run == opt.runs) {
      *kept = oursDir;
    } else {
      removeRun(oursDir);
    }
    if (!opt.old.empty()) {
      ChildRun prior = runChild(old());
      removeRun(oldDir);
      double f = tree.files;
      newCpu.push_back(mine.cpuSeconds / f * 1e6);
      oldCpu.push_back(prior.cpuSeconds / f * 1e6);
      printf("%-32s run %d  CPU per file: this build %.1f us, --old %.1f us (%.3fx)%s\n",
             label.c_str(), run, newCpu.back(), oldCpu.back(), newCpu.back() / oldCpu.back(),
             prior.ok ? "" : " (--old FAILED)");
    }
    ChildRun both = fetched.Then(checked);
    printRow(label + " curl", run, fetched, mine, tree.files, tree.curlGoal);
    printRow(label + " +sha1sum -c", run, both, mine, tree.files, tree.checkedGoal);
    if (!fetched.ok || !checked.ok) printf("  (curl %s, sha1sum -c %s)\n",
                                           fetched.ok ? "ok" : "FAILED",
                                           checked.ok ? "ok" : "FAILED");
    wall[0].push_back(mine.seconds / fetched.seconds);
    cpu[0].push_back(mine.cpuSeconds / fetched.cpuSeconds);
    wall[1].push_back(mine.seconds / both.seconds);
    cpu[1].push_back(mine.cpuSeconds / both.cpuSeconds);
  }
  printSpread(label + " curl", wall[0], cpu[0]);
  printSpread(label + " +sha1sum -c", wall[1], cpu[1]);
  if (!opt.strace.empty()) {
    int f = tree.files;
    printf("%-32s     system calls per file: curl %.1f, sha1sum -c %.1f, keelson %.1f\n",
           label.c_str(), double(curlCalls) / f, double(sumCalls) / f, double(oursCalls) / f);
    if (!opt.old.empty())
      printf("%-32s     system calls per file: --old %.1f\n", label.c_str(),
             double(oldCalls) / f);
  }
  if (!newCpu.empty()) {
    std::sort(newCpu.begin(), newCpu.end());
    std::sort(oldCpu.begin(), oldCpu.end());
    size_t m = newCpu.size() / 2;
    printf("%-32s     CPU per file, median of %zu: this build %.1f us, --old %.1f us\n",
           label.c_str(), newCpu.size(), newCpu[m], oldCpu[m]);
  }
}

// The finished tree checked whole, then verified again by keelson (the local
// metafile removed, so every piece is read back and checked) beside
// sha1sum -c of the same files, with no goal.
void verifyKept(const SyncTree &tree, const std::string &kept) {
  std::string check = "/usr/bin/python3 " KEELSON_TESTS_DIR "/check_tree.py " + tree.root +
                      "/expected.json " + kept + "/install >/dev/null";
  bool whole = system(check.c_str()) == 0;
  std::filesystem::remove(kept + "/state/meta.json");
  ChildRun verify = runChild(keelsonArgs(tree.root + "/app.json", kept + ".json"));
  ChildRun sha1sum = runChild(sha1sumArgs(kept + "/install", lines(tree.root + "/sha1sums.txt")));
  printf("%s verify: tree %s; keelson sync %.2f s (%.1f MiB)%s, sha1sum -c (8-way) %.2f s%s\n",
         tree.label.c_str(), whole ? "whole" : "DIFFERS", verify.seconds, verify.peakMiB,
         verify.ok ? "" : " FAILED", sha1sum.seconds, sha1sum.ok ? "" : " FAILED");
  removeRun(kept);
}

long long jsonNumber(const std::string &text, const std::string &key) {
  size_t at = text.find("\"" + key + "\":");
  return at == std::string::npos ? -1 : atoll(text.c_str() + at + key.size() + 3);
}

std::string fileText(const std::string &path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void replaceAll(std::string *text, const std::string &from, const std::string &to) {
  for (size_t at = text->find(from); at != std::string::npos; at = text->find(from, at + to.size()))
    text->replace(at, from.size(), to);
}

// v1 installed once; each run copies it and updates the copy to v2.
int runUpdate(const Options &opt, const std::string &scratch) {
  std::string root = scratch + "/update";
  int port = 0;
  close(Test_LoopbackListener(&port));
  std::string generate = "/usr/bin/python3 " KEELSON_TESTS_DIR "/e2e/make_tree.py " + root +
                         " --port " + std::to_string(port) + " --mib " + opt.updateMib +
                         " --whole-changed >/dev/null";
  if (system(generate.c_str()) != 0) {
    fprintf(stderr, "make_tree.py failed\n");
    return 1;
  }
  PeerProcess nginx({"/usr/sbin/nginx", "-p", root, "-c", root + "/nginx.conf"});
  // nginx writes its pid file once it listens.
  for (int i = 0; i < 2000 && !std::filesystem::exists(root + "/nginx.pid"); i++)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  std::string sizes = fileText(root + "/update.json");
  long long installed = jsonNumber(sizes, "installed");
  long long changedPieceBytes = jsonNumber(sizes, "changedPieceBytes");
  long long changedFiles = jsonNumber(sizes, "changedFiles");
  printf("update: %.1f MB installed, %lld changed files (%.1f MB), %lld changed pieces "
         "(%.1f MB), %.2f MB of deltas\n",
         double(installed) / 1e6, changedFiles, double(jsonNumber(sizes, "changedFileBytes")) / 1e6,
         jsonNumber(sizes, "changedPieces"), double(changedPieceBytes) / 1e6,
         double(jsonNumber(sizes, "deltaBytes")) / 1e6);
  // The command's data and settings stay below the tree.
  std::vector<std::string> keelson = {"/usr/bin/env", "XDG_DATA_HOME=" + root + "/data",
                                      "XDG_CONFIG_HOME=" + root + "/config", gKeelson,
                                      "sync", "--app=" + root + "/app.json",
                                      "--credentials=" + root + "/credentials.json"};
  std::string client = root + "/client";
  std::vector<std::string> install = keelson;
  install.push_back(root + "/repo.json");
  if (!runChild(install).ok) {
    fprintf(stderr, "installing v1 failed\n");
    return 1;
  }
  std::filesystem::copy_file(root + "/www/aliases/v2.json", root + "/www/alias.json",
                             std::filesystem::copy_options::overwrite_existing);
  std::string repoText = fileText(root + "/repo.json");
  std::vector<std::string> changed;
  for (const std::string &line : lines(root + "/changed-files.txt"))
    changed.push_back(line.substr(0, line.find(' ')));
  std::string peerDir = scratch + "/curl";
  auto curl = [&] {
    return curlArgs("https://127.0.0.1:" + std::to_string(port) + "/files/v2", changed, peerDir,
                    root + "/tls/server.crt");
  };
  // A copy of the v1 installation and its repository file.
  auto copyV1 = [&](const std::string &dir) {
    std::filesystem::remove_all(dir);
    std::filesystem::copy(client, dir, std::filesystem::copy_options::recursive);
    std::string text = repoText;
    replaceAll(&text, client, dir);
    std::ofstream(dir + ".json") << text;
    std::vector<std::string> argv = keelson;
    argv.push_back(dir + ".json");
    return argv;
  };
  std::string oursDir = scratch + "/ours";
  Goal goal;
  goal.readBytes = double(installed + changedPieceBytes);
  goal.peakMiB = 64;
  printHeader();
  std::vector<double> wall, cpu;
  // The uncounted run, traced when asked.
  long long curlCalls = -1, oursCalls = -1;
  if (opt.strace.empty()) {
    runChild(curl());
    runChild(copyV1(oursDir));
  } else {
    curlCalls = tracedCalls(opt.strace, scratch, curl());
    oursCalls = tracedCalls(opt.strace, scratch, copyV1(oursDir));
  }
  removeRun(peerDir);
  removeRun(oursDir);
  std::string label = "update https v1->v2";
  for (int run = 1; run <= opt.runs; run++) {
    ChildRun fetched = runChild(curl());
    fetched.calls = curlCalls;
    removeRun(peerDir);
    ChildRun mine = runChild(copyV1(oursDir));
    mine.calls = oursCalls;
    std::string check = "cd '" + oursDir + "/game' && /usr/bin/sha1sum -c --quiet '" + root +
                        "/expected/v2.sha1' >/dev/null 2>&1";
    bool whole = system(check.c_str()) == 0;
    removeRun(oursDir);
    printRow(label, run, fetched, mine, int(changedFiles), goal);
    printf("%-32s     written MB: curl %.1f, keelson %.1f; v2 tree %s\n", "",
           double(fetched.writtenBytes) / 1e6, double(mine.writtenBytes) / 1e6,
           whole ? "whole" : "DIFFERS");
    wall.push_back(mine.seconds / fetched.seconds);
    cpu.push_back(mine.cpuSeconds / fetched.cpuSeconds);
  }
  if (!opt.strace.empty())
    printf("%-32s     system calls per changed file: curl %.1f, keelson %.1f\n", label.c_str(),
           double(curlCalls) / double(changedFiles), double(oursCalls) / double(changedFiles));
  printSpread(label, wall, cpu);
  return 0;
}

bool parse(int argc, char **argv, Options *opt) {
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string key = argv[i], value = argv[i + 1];
    if (key == "--case") {
      opt->which = value;
    } else if (key == "--runs") {
      opt->runs = std::max(1, atoi(value.c_str()));
    } else if (key == "--scheme") {
      opt->http = value != "https";
      opt->https = value != "http";
    } else if (key == "--kind") {
      opt->files = value != "pieces";
      opt->pieces = value != "files";
    } else if (key == "--small-files") {
      opt->smallFiles = std::max(1, atoi(value.c_str()));
    } else if (key == "--small-depth") {
      opt->smallDepth = std::max(1, atoi(value.c_str()));
    } else if (key == "--files") {
      opt->bulkFiles = value;
    } else if (key == "--total") {
      opt->bulkTotal = value;
    } else if (key == "--piece-size") {
      opt->pieceSize = value;
    } else if (key == "--update-mib") {
      opt->updateMib = value;
    } else if (key == "--strace") {
      opt->strace = value;
    } else if (key == "--old") {
      opt->old = value;
    } else if (key == "--keelson") {
      gKeelson = value;
    } else {
      return false;
    }
  }
  return argc % 2 == 1;
}

}  // namespace

int main(int argc, char **argv) {
  Options opt;
  if (!parse(argc, argv, &opt)) {
    fprintf(stderr, "usage: see the top of bench/repository_sync_bench.cpp\n");
    return 2;
  }
  bool all = opt.which == "all";
  // The HTTPS side listens on a second port of the same server block.
  char tlsPattern[] = "/tmp/sync_bench_tls.XXXXXX";
  if (mkdtemp(tlsPattern) == nullptr) return 1;
  std::string tlsDir = tlsPattern;
  std::string setup = "/usr/bin/python3 " KEELSON_TESTS_DIR "/e2e/bench_setup.py";
  if (system((setup + " cert " + tlsDir).c_str()) != 0) {
    fprintf(stderr, "bench_setup.py cert failed\n");
    return 1;
  }
  int tlsPort = 0;
  close(Test_LoopbackListener(&tlsPort));
  NginxPortsPeer nginx(1,
                       "sendfile on; listen 127.0.0.1:" + std::to_string(tlsPort) +
                           " ssl; ssl_certificate " + tlsDir + "/server.crt; ssl_certificate_key " +
                           tlsDir + "/server.key; ssl_protocols TLSv1.2; ssl_ciphers " + kTlsCipher +
                           ";",
                       false);
  if (!nginx.Started()) {
    fprintf(stderr, "nginx did not start\n");
    return 1;
  }
  // make_tree.py writes the paths it is given made absolute and normal.
  std::string scratch = std::filesystem::path(nginx.Root() + "/../runs").lexically_normal();
  std::filesystem::create_directories(scratch);
  std::vector<SyncTree> trees;
  auto addTree = [&](const std::string &label, const std::string &sizes, int files) {
    SyncTree tree;
    tree.label = label;
    tree.root = nginx.Root() + "/" + label;
    tree.base = nginx.Url(0, "/" + label);
    tree.tlsBase = "https://127.0.0.1:" + std::to_string(tlsPort) + "/" + label;
    tree.cacert = tlsDir + "/server.crt";
    tree.files = files;
    std::string generate = "/usr/bin/python3 " KEELSON_TESTS_DIR "/synctree.py " + tree.root +
                           " --url-base " + tree.base + " --piece-size " + opt.pieceSize + sizes;
    std::string sign =
        setup + " sign " + tree.root + " " + tree.base + " " + tree.tlsBase + " " + tlsDir;
    if (system(generate.c_str()) != 0 || system(sign.c_str()) != 0) return false;
    trees.push_back(tree);
    return true;
  };
  bool made = true;
  if (all || opt.which == "small") {
    // About 4 KiB a file.
    int files = opt.smallFiles;
    made = made && addTree("small",
                           " --files " + std::to_string(files) + " --total " +
                               std::to_string(4096LL * files) + " --min 256 --max 16384" +
                               " --depth " + std::to_string(opt.smallDepth),
                           files);
    trees.back().checkedGoal = {1.0, 1.5, 0, 40, 0};
  }
  if (made && (all || opt.which == "bulk")) {
    made = addTree("bulk", " --files " + opt.bulkFiles + " --total " + opt.bulkTotal,
                   atoi(opt.bulkFiles.c_str()));
    trees.back().curlGoal = {0, 1.3, 32, 0, 0};
  }
  if (!made) {
    fprintf(stderr, "synctree.py or bench_setup.py failed\n");
    return 1;
  }
  if (!trees.empty()) printHeader();
  for (const SyncTree &tree : trees) {
    std::string kept;
    for (bool tls : {false, true}) {
      if (!(tls ? opt.https : opt.http)) continue;
      for (const Kind &kind : kKinds) {
        if (!(std::string(kind.label) == "files" ? opt.files : opt.pieces)) continue;
        runSyncCase(opt, tree, tls, kind, scratch, &kept);
      }
    }
    if (!kept.empty()) verifyKept(tree, kept);
    std::filesystem::remove_all(tree.root);
  }
  int status = 0;
  if (all || opt.which == "update") status = runUpdate(opt, scratch);
  if (FILE *load = fopen("/proc/loadavg", "r")) {
    double one = 0, five = 0;
    if (fscanf(load, "%lf %lf", &one, &five) == 2)
      printf("load average while measured: %.2f (1 min), %.2f (5 min)\n", one, five);
    fclose(load);
  }
  std::filesystem::remove_all(scratch);
  std::filesystem::remove_all(tlsDir);
  return status;
}
