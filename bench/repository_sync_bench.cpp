// A whole version synchronised into an empty directory by repo_driver (the
// repository in a process of its own) against curl fetching the same bytes
// from the same nginx in the same run, for both remote kinds: the installed
// files ("http") and plain pieces ("httpPiece", one request per piece).
//
// tests/synctree.py writes the version (by default 1,000 files, 1 GiB in
// all, log-uniform sizes from 1 KiB to 64 MiB, 1 MiB pieces); nginx serves it
// on 127.0.0.1 with sendfile on and no access log. curl runs with
// --parallel --parallel-max 6, the pool's connections per host. Each side
// runs as a child process twice, each time into a fresh directory; the
// second run is the one counted (the server's files are in the page cache
// for both). Printed per kind: wall seconds, ours/curl wall ratio (goal at
// most 1.2) and each child's peak RSS from wait4 (goal for ours at most 64
// MiB). Then a verifying Synchronize of the finished tree (the local
// metafile removed, so every piece is read back and checked) beside
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

#include "tests/nginx_peer.h"

namespace {

struct ChildRun {
  bool ok = false;
  double seconds = 0;
  double peakMiB = 0;
};

// Runs argv as a child with its output discarded; wall time and peak RSS.
ChildRun runChild(const std::vector<std::string> &argv) {
  ChildRun out;
  // The earlier runs' written pages go to disk first, so that no run is
  // throttled by the write-back of another's.
  sync();
  auto start = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    std::vector<char *> args;
    for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    dup2(null, 2);
    execv(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  out.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  out.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  out.peakMiB = double(usage.ru_maxrss) / 1024.0;  // kilobytes on Linux
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
  std::string remote;
};

// curl's config: every listed path into dir.
std::string curlConfig(const std::string &base, const std::vector<std::string> &names,
                       const std::string &dir) {
  std::string config = dir + ".curl";
  std::ofstream out(config);
  for (const std::string &n : names)
    out << "url = \"" << base << "/" << n << "\"\noutput = \"" << dir << "/" << n << "\"\n";
  return config;
}

std::string runFile(const std::string &base, const std::string &remote, const std::string &dir) {
  std::string path = dir + ".json";
  std::ofstream(path) << "{\"repository\":{\"repository\":\"bench\",\"remoteId\":\"v1\","
                      << "\"catalog\":\"" << base << "/catalog.json\",\"metafile\":\"" << dir
                      << "/state/meta.json\",\"local\":{\"type\":\"file\",\"path\":\"" << dir
                      << "/install\"},\"remote\":" << remote << "}}";
  return path;
}

ChildRun curlTwice(const std::string &scratch, const std::string &base,
                   const std::vector<std::string> &names) {
  ChildRun counted;
  for (int round = 0; round < 2; round++) {
    std::string dir = scratch + "/curl" + std::to_string(round);
    std::filesystem::remove_all(dir);
    std::string config = curlConfig(base, names, dir);
    counted = runChild({"/usr/bin/curl", "-s", "-f", "--create-dirs", "--parallel",
                        "--parallel-max", "6", "-K", config});
    std::filesystem::remove_all(dir);
  }
  return counted;
}

// The second of two runs into fresh directories; the last directory stays
// for the verification when keep is set.
ChildRun driverTwice(const std::string &scratch, const std::string &base,
                     const std::string &remote, int kind, bool keep, std::string *kept) {
  ChildRun counted;
  for (int round = 0; round < 2; round++) {
    std::string dir = scratch + "/ours" + std::to_string(kind) + std::to_string(round);
    std::filesystem::remove_all(dir);
    counted = runChild({KEELSON_REPO_DRIVER, runFile(base, remote, dir)});
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
  NginxPortsPeer nginx(1, "sendfile on;", false);
  if (!nginx.Started()) {
    fprintf(stderr, "nginx did not start\n");
    return 1;
  }
  std::string root = nginx.Root() + "/tree";
  std::string base = nginx.Url(0, "/tree");
  std::string scratch = nginx.Root() + "/../runs";
  std::filesystem::create_directories(scratch);
  std::string generate = "/usr/bin/python3 " KEELSON_TESTS_DIR "/synctree.py " + root +
                         " --url-base " + base + " --files " + files + " --total " + total +
                         " --piece-size " + pieceSize;
  if (system(generate.c_str()) != 0) {
    fprintf(stderr, "synctree.py failed\n");
    return 1;
  }
  const Kind kinds[] = {
      {"http files", "files.txt", "{\"type\":\"http\",\"url\":\"" + base + "/files/\"}"},
      {"http pieces", "pieces.txt",
       "{\"type\":\"httpPiece\",\"url\":\"" + base + "/pieces/\",\"flags\":0}"},
  };
  printf("%-12s %10s %10s %7s %10s %10s  goal\n", "remote", "curl s", "ours s", "ratio",
         "curl MiB", "ours MiB");
  std::string verifyDir;
  for (int k = 0; k < 2; k++) {
    const Kind &kind = kinds[k];
    std::vector<std::string> names = listed(root + "/" + kind.list);
    ChildRun peer = curlTwice(scratch, base, names);
    bool keep = verifyDir.empty();
    ChildRun ours = driverTwice(scratch, base, kind.remote, k, keep, &verifyDir);
    double ratio = ours.seconds / peer.seconds;
    bool met = ours.ok && peer.ok && ratio <= 1.2 && ours.peakMiB <= 64.0;
    printf("%-12s %10.2f %10.2f %7.2f %10.1f %10.1f  %s%s%s\n", kind.label, peer.seconds,
           ours.seconds, ratio, peer.peakMiB, ours.peakMiB, met ? "met" : "missed",
           peer.ok ? "" : " (curl failed)", ours.ok ? "" : " (repo_driver failed)");
    fflush(stdout);
  }
  // The finished tree verified: every piece read back against the metafile,
  // beside sha1sum -c of the same files.
  std::string check = "/usr/bin/python3 " KEELSON_TESTS_DIR "/check_tree.py " + root +
                      "/expected.json " + verifyDir + "/install >/dev/null";
  bool whole = system(check.c_str()) == 0;
  std::filesystem::remove(verifyDir + "/state/meta.json");
  ChildRun verify = runChild({KEELSON_REPO_DRIVER, verifyDir + ".json"});
  ChildRun sha1sum = runChild({"/bin/sh", "-c",
                               "cd " + verifyDir + "/install && exec /usr/bin/sha1sum -c "
                               "--quiet " + root + "/sha1sums.txt"});
  printf("verify: tree %s; Synchronize %.2f s (%.1f MiB)%s, sha1sum -c %.2f s%s\n",
         whole ? "whole" : "DIFFERS", verify.seconds, verify.peakMiB,
         verify.ok ? "" : " FAILED", sha1sum.seconds, sha1sum.ok ? "" : " FAILED");
  std::filesystem::remove_all(scratch);
  return 0;
}
