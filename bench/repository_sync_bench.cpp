// A whole version synchronised into an empty directory by `keelson sync`
// against curl fetching the same bytes from the same nginx in the same run,
// for both remote kinds: the installed files ("http") and plain pieces
// ("httpPiece", one request per piece), each over HTTP and over HTTPS
// (TLS 1.2, ECDHE, AES-128-GCM on both sides).
//
// tests/synctree.py writes the version (by default 1,000 files, 1 GiB in
// all, log-uniform sizes from 1 KiB to 64 MiB, 1 MiB pieces);
// tests/e2e/bench_setup.py signs its catalog and metafile and pins the
// server's certificate, so the command runs with security on. nginx serves
// it on 127.0.0.1 with sendfile on and no access log. curl runs with
// --parallel --parallel-max 6, the pool's connections per host. Each side
// runs as a child process twice, each time into a fresh directory; the
// second run is the one counted (the server's files are in the page cache
// for both). Printed per kind and scheme: wall seconds, ours/curl wall
// ratio (goal at most 1.2), each child's peak RSS from wait4 (goal for
// ours at most 64 MiB) and its CPU seconds. Then a verifying run of the finished tree (the
// local metafile removed, so every piece is read back and checked) beside
// `sha1sum -c` of the same files, with no goal.
//
// A whole-process measure taken once per side, so it runs by hand rather
// than under the benchmark library:
//   repository_sync_bench [--files N] [--total BYTES] [--piece-size BYTES]
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
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
};

// Runs argv as a child with its output discarded; wall time and peak RSS.
ChildRun runChild(const std::vector<std::string> &argv) {
  ChildRun out;
  // The earlier runs' written pages go to disk first, so that no run is
  // throttled by the write-back of another's.
  sync();
  auto start = std::chrono::steady_clock::now();
  rusage usage{};
  int status = PeerProcess(argv).Wait(&usage);
  out.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  out.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  out.peakMiB = double(usage.ru_maxrss) / 1024.0;  // kilobytes on Linux
  out.cpuSeconds = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                   double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  return out;
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

struct Kind {
  const char *label;
  const char *list;  // synctree.py's list of what curl fetches
  const char *remote;  // the remote storage below the base URL
};

constexpr const char *kTlsCipher = "ECDHE-ECDSA-AES128-GCM-SHA256";

// curl's config: every listed path into dir.
std::string curlConfig(const std::string &base, const std::vector<std::string> &names,
                       const std::string &dir) {
  std::string config = dir + ".curl";
  std::ofstream out(config);
  for (const std::string &n : names)
    out << "url = \"" << base << "/" << n << "\"\noutput = \"" << dir << "/" << n << "\"\n";
  return config;
}

// The repository file of one run: the signed catalog of the scheme, the
// remote below base, the installation in dir.
std::string runFile(const std::string &base, const std::string &scheme, const Kind &kind,
                    const std::string &dir) {
  std::string path = dir + ".json";
  std::ofstream(path) << "{\"repository\":\"bench\",\"remoteId\":\"v1\",\"certStore\":"
                      << "\"content\",\"catalog\":\"" << base << "/signed/catalog-" << scheme
                      << ".json\",\"metafile\":\"" << dir
                      << "/state/meta.json\",\"local\":{\"type\":\"file\",\"path\":\"" << dir
                      << "/install\"},\"remote\":" << kind.remote << base << "/"
                      << (std::string(kind.list) == "files.txt" ? "files/" : "pieces/") << "\"}}";
  return path;
}

ChildRun curlTwice(const std::string &scratch, const std::string &base, bool tls,
                   const std::vector<std::string> &names) {
  ChildRun counted;
  for (int round = 0; round < 2; round++) {
    std::string dir = scratch + "/curl" + std::to_string(round);
    std::filesystem::remove_all(dir);
    std::string config = curlConfig(base, names, dir);
    std::vector<std::string> argv = {"/usr/bin/curl", "-s", "-f", "--create-dirs", "--parallel",
                                     "--parallel-max", "6", "-K", config};
    if (tls) {
      for (const char *a : {"-k", "--tlsv1.2", "--tls-max", "1.2", "--ciphers", kTlsCipher})
        argv.push_back(a);
    }
    counted = runChild(argv);
    std::filesystem::remove_all(dir);
  }
  return counted;
}

std::vector<std::string> keelsonArgs(const std::string &app, const std::string &repo) {
  return {KEELSON_PROGRAM, "sync", "--app=" + app, repo};
}

// The second of two runs into fresh directories; the last directory stays
// for the verification when keep is set.
ChildRun keelsonTwice(const std::string &scratch, const std::string &app, const std::string &base,
                      const std::string &scheme, const Kind &kind, int row, bool keep,
                      std::string *kept) {
  ChildRun counted;
  for (int round = 0; round < 2; round++) {
    std::string dir = scratch + "/ours" + std::to_string(row) + std::to_string(round);
    std::filesystem::remove_all(dir);
    counted = runChild(keelsonArgs(app, runFile(base, scheme, kind, dir)));
    if (keep && round == 1) {
      *kept = dir;
    } else {
      std::filesystem::remove_all(dir);
    }
  }
  return counted;
}

}  // namespace

int main(int argc, char **argv) {
  std::string files = "1000", total = std::to_string(1LL << 30), pieceSize = "1048576";
  for (int i = 1; i + 1 < argc; i += 2) {
    if (strcmp(argv[i], "--files") == 0) files = argv[i + 1];
    if (strcmp(argv[i], "--total") == 0) total = argv[i + 1];
    if (strcmp(argv[i], "--piece-size") == 0) pieceSize = argv[i + 1];
  }
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
  std::string root = nginx.Root() + "/tree";
  std::string base = nginx.Url(0, "/tree");
  std::string tlsBase = "https://127.0.0.1:" + std::to_string(tlsPort) + "/tree";
  std::string scratch = nginx.Root() + "/../runs";
  std::filesystem::create_directories(scratch);
  std::string generate = "/usr/bin/python3 " KEELSON_TESTS_DIR "/synctree.py " + root +
                         " --url-base " + base + " --files " + files + " --total " + total +
                         " --piece-size " + pieceSize;
  std::string sign = setup + " sign " + root + " " + base + " " + tlsBase + " " + tlsDir;
  if (system(generate.c_str()) != 0 || system(sign.c_str()) != 0) {
    fprintf(stderr, "synctree.py or bench_setup.py failed\n");
    return 1;
  }
  std::string app = root + "/app.json";
  const Kind kinds[] = {
      {"files", "files.txt", "{\"type\":\"http\",\"url\":\""},
      {"pieces", "pieces.txt", "{\"type\":\"httpPiece\",\"flags\":0,\"url\":\""},
  };
  printf("%-14s %10s %10s %7s %10s %10s %9s %9s  goal\n", "remote", "curl s", "ours s",
         "ratio", "curl MiB", "ours MiB", "curl cpu", "ours cpu");
  std::string verifyDir, verifyRepo;
  int row = 0;
  for (bool tls : {false, true}) {
    for (const Kind &kind : kinds) {
      std::string scheme = tls ? "https" : "http";
      const std::string &at = tls ? tlsBase : base;
      std::vector<std::string> names = listed(root + "/" + kind.list);
      ChildRun peer = curlTwice(scratch, at, tls, names);
      bool keep = verifyDir.empty();
      ChildRun ours = keelsonTwice(scratch, app, at, scheme, kind, row++, keep, &verifyDir);
      if (keep) verifyRepo = verifyDir + ".json";
      double ratio = ours.seconds / peer.seconds;
      bool met = ours.ok && peer.ok && ratio <= 1.2 && ours.peakMiB <= 64.0;
      printf("%-5s %-8s %10.2f %10.2f %7.2f %10.1f %10.1f %9.2f %9.2f  %s%s%s\n",
             scheme.c_str(), kind.label, peer.seconds, ours.seconds, ratio, peer.peakMiB,
             ours.peakMiB, peer.cpuSeconds, ours.cpuSeconds, met ? "met" : "missed",
             peer.ok ? "" : " (curl failed)", ours.ok ? "" : " (keelson failed)");
      fflush(stdout);
    }
  }
  // The finished tree verified: every piece read back against the metafile,
  // beside sha1sum -c of the same files.
  std::string check = "/usr/bin/python3 " KEELSON_TESTS_DIR "/check_tree.py " + root +
                      "/expected.json " + verifyDir + "/install >/dev/null";
  bool whole = system(check.c_str()) == 0;
  std::filesystem::remove(verifyDir + "/state/meta.json");
  ChildRun verify = runChild(keelsonArgs(app, verifyRepo));
  ChildRun sha1sum = runChild({"/bin/sh", "-c",
                               "cd " + verifyDir + "/install && exec /usr/bin/sha1sum -c "
                               "--quiet " + root + "/sha1sums.txt"});
  printf("verify: tree %s; keelson sync %.2f s (%.1f MiB)%s, sha1sum -c %.2f s%s\n",
         whole ? "whole" : "DIFFERS", verify.seconds, verify.peakMiB,
         verify.ok ? "" : " FAILED", sha1sum.seconds, sha1sum.ok ? "" : " FAILED");
  std::filesystem::remove_all(scratch);
  std::filesystem::remove_all(tlsDir);
  return 0;
}
