// Reading what tests/launch_peer recorded, small bounded waits and an
// environment scope for the process tests.
//
// Threads: the test's thread only.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/test_util.h"

// Sets (value NULL: removes) an environment variable for the scope.
class PeerEnvScope {
 public:
  PeerEnvScope(const char *name, const char *value) : name_(name) {
    const char *old = getenv(name);
    had_ = old != nullptr;
    if (had_) old_ = old;
    if (value) setenv(name, value, 1);
    else unsetenv(name);
  }
  ~PeerEnvScope() {
    if (had_) setenv(name_.c_str(), old_.c_str(), 1);
    else unsetenv(name_.c_str());
  }

 private:
  std::string name_, old_;
  bool had_ = false;
};

struct PeerRecord {
  bool found = false;
  std::string uid, gid, groups, cwd, fds;
  std::vector<std::string> argv;
  std::map<std::string, std::string> env;  // name -> value
};

inline std::string Peer_Unhex(const std::string &hex) {
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    out += char(std::stoi(hex.substr(i, 2), nullptr, 16));
  return out;
}

// Polls until done() holds or boundMs have passed; the last answer.
inline bool Peer_WaitUntil(const std::function<bool()> &done, int boundMs = 20000) {
  return Test_WaitUntil(done, boundMs, 5);
}

inline bool Peer_FileExists(const std::string &path) {
  struct stat status;
  return stat(path.c_str(), &status) == 0;
}

inline std::string Peer_ReadFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

inline void Peer_WriteFile(const std::string &path, const std::string &text, mode_t mode) {
  std::ofstream(path, std::ios::binary) << text;
  chmod(path.c_str(), mode);
}

// Waits (bounded) for the record file and parses it.
inline PeerRecord Peer_Read(const std::string &path, int boundMs = 20000) {
  PeerRecord record;
  if (!Peer_WaitUntil([&] { return Peer_FileExists(path); }, boundMs)) return record;
  record.found = true;
  std::istringstream lines(Peer_ReadFile(path));
  std::string line;
  while (std::getline(lines, line)) {
    size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string key = line.substr(0, eq), value = line.substr(eq + 1);
    if (key == "uid") record.uid = value;
    else if (key == "gid") record.gid = value;
    else if (key == "groups") record.groups = value;
    else if (key == "cwd") record.cwd = value;
    else if (key == "fds") record.fds = value;
    else if (key == "arg") record.argv.push_back(Peer_Unhex(value));
    else if (key == "env") {
      std::string entry = Peer_Unhex(value);
      size_t at = entry.find('=');
      record.env[entry.substr(0, at)] = at == std::string::npos ? "" : entry.substr(at + 1);
    }
  }
  return record;
}
