// nginx as the HTTP peer of the pool tests and benchmark: one process on
// 127.0.0.1 with one server block per port, all serving the same directory,
// each with the same extra directives (locations), and an access log whose
// lines are "$server_port $connection $request_uri $status $body_bytes_sent
// c$request_completion" (nginx's connection serial number tells which
// requests shared a connection).
//
// Threads: the test's thread.
#pragma once

#include <signal.h>
#include <stdlib.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/loopback_port.h"
#include "tests/peer_process.h"

class NginxPortsPeer {
 public:
  static bool Available() { return access("/usr/sbin/nginx", X_OK) == 0; }

  // Where the served trees are written: memory-backed /dev/shm when it has
  // room (generated trees are thousands of small files, and creating files on
  // a loaded disk cost the suites several seconds per test), else /tmp.
  static std::string ScratchBase() {
    struct statvfs fs {};
    if (statvfs("/dev/shm", &fs) == 0 && access("/dev/shm", W_OK) == 0 &&
        uint64_t(fs.f_bavail) * fs.f_frsize >= (uint64_t(2) << 30))
      return "/dev/shm";
    return "/tmp";
  }

  // Starts nginx with `ports` server blocks; serverExtra goes into each of
  // them. Started() tells whether it listens (bounded wait of 20 s).
  NginxPortsPeer(int ports, const std::string &serverExtra, bool accessLog = true) {
    std::string pattern = ScratchBase() + "/nginx_peer.XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) return;
    dir_ = pattern;
    std::filesystem::create_directory(Root());
    std::ofstream conf(dir_ + "/nginx.conf");
    conf << (geteuid() == 0 ? "user root;\n" : "") << "daemon off; worker_processes 1; pid "
         << dir_ << "/pid; error_log " << dir_ << "/error.log;\nevents { worker_connections 1024; }\n"
         << "http { client_body_temp_path " << dir_ << "; keepalive_requests 100000;\n";
    if (accessLog)
      conf << " log_format pool '$server_port $connection $request_uri $status "
              "$body_bytes_sent c$request_completion';\n access_log "
           << dir_ << "/access.log pool;\n";
    else
      conf << " access_log off;\n";
    // The ports are held until nginx listens on them: no two are equal, and
    // no other test's draw takes one meanwhile.
    std::vector<int> held;
    for (int i = 0; i < ports; i++) {
      int port = 0;
      held.push_back(Test_HoldLoopbackPort(&port));
      ports_.push_back(port);
      conf << " server { listen 127.0.0.1:" << port << "; root " << Root() << "; "
           << serverExtra << " }\n";
    }
    conf << "}\n";
    conf.close();
    process_ = std::make_unique<PeerProcess>(std::vector<std::string>{
        "/usr/sbin/nginx", "-c", dir_ + "/nginx.conf", "-p", dir_});
    // nginx writes its pid file once every listening socket is open.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
      std::ifstream pid(dir_ + "/pid");
      int value = 0;
      if (pid >> value && value > 0) {
        started_ = true;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    for (int fd : held)
      if (fd >= 0) close(fd);
  }
  ~NginxPortsPeer() {
    process_.reset();
    if (!dir_.empty()) std::filesystem::remove_all(dir_);
  }
  NginxPortsPeer(const NginxPortsPeer &) = delete;
  NginxPortsPeer &operator=(const NginxPortsPeer &) = delete;

  bool Started() const { return started_; }
  int Port(int i) const { return ports_[size_t(i)]; }
  int Ports() const { return int(ports_.size()); }
  std::string Url(int i, const std::string &path) const {
    return "http://127.0.0.1:" + std::to_string(Port(i)) + path;
  }
  // The directory every server block serves.
  std::string Root() const { return dir_ + "/www"; }
  void WriteFile(const std::string &name, const std::string &bytes) const {
    std::filesystem::create_directories(std::filesystem::path(Root() + "/" + name).parent_path());
    std::ofstream(Root() + "/" + name, std::ios::binary) << bytes;
  }

  struct LogLine {
    int port;
    long connection;
    std::string uri;
    int status;
    long long bytes;  // of the body sent
    bool complete;    // the whole answer left (not cut by a closed connection)
  };
  // The access log's lines so far (nginx writes each when its answer ends).
  std::vector<LogLine> AccessLog() const {
    std::vector<LogLine> lines;
    std::ifstream in(dir_ + "/access.log");
    LogLine line{};
    std::string completion;
    while (in >> line.port >> line.connection >> line.uri >> line.status >> line.bytes >>
           completion) {
      line.complete = completion == "cOK";
      lines.push_back(line);
    }
    return lines;
  }
  // The access log once it holds at least `count` lines, or as it is after
  // 5 s: nginx writes a line after the answer has left, so a client may
  // have read the answer before its line is there.
  std::vector<LogLine> AccessLog(size_t count) const {
    std::vector<LogLine> lines = AccessLog();
    for (int i = 0; i < 500 && lines.size() < count; i++) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      lines = AccessLog();
    }
    return lines;
  }

 private:
  std::string dir_;
  std::vector<int> ports_;
  std::unique_ptr<PeerProcess> process_;
  bool started_ = false;
};
