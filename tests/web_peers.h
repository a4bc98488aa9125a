// nginx and squid as peers of the HTTP client tests: each in a temporary
// directory of its own on a free port of 127.0.0.1, its log there, started
// by the constructor and ended (SIGTERM, waited for) by Stop or the
// destructor. Ready() waits, bounded, until it listens on its port.
//
// Threads: the test's thread only.
#pragma once

#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/fsfault.h"
#include "tests/loopback_port.h"
#include "tests/peer_process.h"
#include "tests/test_util.h"

// True when some socket listens on the TCP port (IPv4 or IPv6), read from
// /proc: connecting to a port nobody holds yet can meet a connection to
// itself.
inline bool WebPeer_Listening(int port) {
  char hex[8];
  snprintf(hex, sizeof hex, ":%04X ", port);
  for (const char *table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    std::ifstream in(table);
    for (std::string line; std::getline(in, line);) {
      std::istringstream fields(line);
      std::string slot, local, remote, state;
      fields >> slot >> local >> remote >> state;
      if (state == "0A" && (local + " ").find(hex) != std::string::npos) return true;
    }
  }
  return false;
}

// True when process pid or one it started holds a socket listening on the
// TCP port: another program may listen on a port drawn for a peer, and
// would take its connections.
inline bool WebPeer_Listens(pid_t pid, int port) {
  char hex[8];
  snprintf(hex, sizeof hex, ":%04X ", port);
  std::set<std::string> sockets;
  for (const char *table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    std::ifstream in(table);
    for (std::string line; std::getline(in, line);) {
      std::istringstream fields(line);
      std::string slot, local, remote, state, skip, inode;
      fields >> slot >> local >> remote >> state >> skip >> skip >> skip >> skip >> skip >> inode;
      if (state == "0A" && (local + " ").find(hex) != std::string::npos)
        sockets.insert("socket:[" + inode + "]");
    }
  }
  std::vector<long> family{long(pid)};
  std::error_code error;
  for (size_t i = 0; i < family.size() && !sockets.empty(); i++) {
    const std::string proc = "/proc/" + std::to_string(family[i]);
    for (const auto &fd : std::filesystem::directory_iterator(proc + "/fd", error))
      if (sockets.count(std::filesystem::read_symlink(fd.path(), error).string())) return true;
    // stdio: a process gone meanwhile fails the read, which a stream throws on.
    for (const auto &task : std::filesystem::directory_iterator(proc + "/task", error)) {
      if (FILE *children = fopen((task.path() / "children").c_str(), "r")) {
        for (long child = 0; fscanf(children, "%ld", &child) == 1;) family.push_back(child);
        fclose(children);
      }
    }
  }
  return false;
}

// How many times text occurs in all.
// A self-signed certificate for 127.0.0.1 made in dir (cert.pem, key.pem)
// for openssl s_server; its SHA-256 pin (base64), "" when openssl failed.
inline std::string WebPeer_MakePinnedCertificate(const std::string &dir) {
  int status = 0;
  std::string pin = Test_RunCommand(
      "cd " + dir +
          " && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes "
          "-keyout key.pem -out cert.pem -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 "
          "-days 1 2>/dev/null && openssl x509 -in cert.pem -outform DER | openssl dgst -sha256 "
          "-binary | base64 -w0",
      &status);
  return status == 0 ? pin : "";
}

inline int WebPeer_CountText(const std::string &all, const std::string &text) {
  int found = 0;
  for (size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + 1)) found++;
  return found;
}

// How many times text occurs in the file at path.
inline int WebPeer_Count(const std::string &path, const std::string &text) {
  std::ifstream in(path);
  return WebPeer_CountText(
      std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()), text);
}

class WebPeer {
 public:
  static constexpr int kBoundMs = 20000;
  // The port stays held until the server listens (see Test_HoldLoopbackPort).
  WebPeer() : held(Test_HoldLoopbackPort(&port)) { chmod(dir.path().c_str(), 0777); }
  ~WebPeer() { Release(); }
  WebPeer(const WebPeer &) = delete;
  WebPeer &operator=(const WebPeer &) = delete;
  // Waits until the peer listens on its port: its own socket, where the
  // peer was started by Launch (a peer the test started itself: any). A
  // port another program took is drawn anew and the peer started again,
  // a few times.
  bool Ready() {
    if (process == nullptr) {
      bool listening = Test_WaitUntil([&] { return WebPeer_Listening(port); }, kBoundMs);
      if (listening) Release();
      return listening;
    }
    for (int tries = 4; tries > 0; tries--) {
      if (Test_WaitUntil(
              [&] { return process->Ended() || WebPeer_Listens(process->Pid(), port); },
              kBoundMs) &&
          !process->Ended()) {
        Release();
        return true;
      }
      if (!WebPeer_Listening(port) || !make_ || tries == 1) break;
      process.reset();
      Release();
      held = Test_HoldLoopbackPort(&port);
      process = std::make_unique<PeerProcess>(make_(port));
    }
    fprintf(stderr, "peer %s did not start on 127.0.0.1:%d%s\n", dir.path().c_str(), port,
            WebPeer_Listening(port) ? ": another program listens there" : "");
    return false;
  }
  void Stop() { process.reset(); }
  std::string Url(const std::string &path) const {
    return "http://127.0.0.1:" + std::to_string(port) + path;
  }
  std::string Authority() const { return "127.0.0.1:" + std::to_string(port); }

  FsFaultTempDir dir;
  int port = 0;

 protected:
  // Starts the peer: make(port) writes what names the port and gives the
  // command line; Ready() calls it again for another port.
  void Launch(std::function<std::vector<std::string>(int port)> make) {
    make_ = std::move(make);
    process = std::make_unique<PeerProcess>(make_(port));
  }
  std::unique_ptr<PeerProcess> process;

 private:
  void Release() {
    if (held >= 0) close(held);
    held = -1;
  }
  int held;
  std::function<std::vector<std::string>(int port)> make_;
};

// nginx serving dir (one worker, access log dir/access.log); locations are
// added to its server block as given, and listenOptions (such as "ssl") to
// its listen line.
class NginxPeer : public WebPeer {
 public:
  static bool Available() { return access("/usr/sbin/nginx", X_OK) == 0; }
  explicit NginxPeer(const std::string &locations = "", const std::string &listenOptions = "") {
    Launch([this, locations, listenOptions](int port) {
      std::string p = dir.path();
      std::ofstream(dir / "nginx.conf")
          << (geteuid() == 0 ? "user root;\n" : "") << "daemon off; worker_processes 1; pid " << p
          << "/pid; error_log " << p << "/error.log;\nevents {}\nhttp { access_log " << p
          << "/access.log; client_body_temp_path " << p << "; server { listen 127.0.0.1:"
          << port << " " << listenOptions << "; root " << p << "; " << locations << " } }\n";
      return std::vector<std::string>{"/usr/sbin/nginx", "-c", dir / "nginx.conf", "-p", p};
    });
  }
};

// squid as an open HTTP proxy that caches nothing, logging every request to
// dir/access.log.
class SquidPeer : public WebPeer {
 public:
  static bool Available() { return access("/usr/sbin/squid", X_OK) == 0; }
  SquidPeer() {
    Launch([this](int port) {
      std::string p = dir.path();
      std::ofstream(dir / "squid.conf")
          << "http_port 127.0.0.1:" << port << "\npid_filename " << p << "/squid.pid\n"
          << "cache_log " << p << "/cache.log\naccess_log stdio:" << p << "/access.log\n"
          << "buffered_logs off\ncache deny all\ncache_mem 1 MB\nshutdown_lifetime 0 seconds\n"
          << "pinger_enable off\ncoredump_dir " << p << "\nhttp_access allow all\n";
      return std::vector<std::string>{"/usr/sbin/squid", "-N", "-f", dir / "squid.conf"};
    });
  }
  // How many requests for url squid has logged.
  int Logged(const std::string &url) const { return WebPeer_Count(dir / "access.log", url); }
};
