// A peer process started by a test (argv[0] a full path; its standard output
// and error go to /dev/null) in a process group of its own, and ended with
// SIGTERM when the object goes, unless it was waited for. A peer that has not
// ended kSigtermGraceMs after the SIGTERM (a busy machine, a signal that came
// while it was still starting) is killed with its whole group, so no test
// hangs on a peer's shutdown.
//
// Threads: the test's thread only.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

class PeerProcess {
 public:
  explicit PeerProcess(const std::vector<std::string> &argv) {
    pid_ = fork();
    if (pid_ == 0) {
      setpgid(0, 0);
      std::vector<char *> args;
      for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
      args.push_back(nullptr);
      int null = open("/dev/null", O_WRONLY);
      dup2(null, 1);
      dup2(null, 2);
      execv(args[0], args.data());
      _exit(127);
    }
  }
  ~PeerProcess() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    for (int waited = 0; waited < kSigtermGraceMs; waited += 10) {
      if (waitpid(pid_, nullptr, WNOHANG) == pid_) return;
      usleep(10 * 1000);
    }
    kill(-pid_, SIGKILL);  // the group is still ours: its leader is not reaped
    waitpid(pid_, nullptr, 0);
  }
  // Waits for the peer to end by itself; its wait status, and its resource
  // use in *usage (wait4) when given.
  int Wait(rusage *usage = nullptr) {
    int status = 0;
    wait4(pid_, &status, 0, usage);
    pid_ = -1;
    return status;
  }
  // The peer's process id, also its process group's (-1 once waited for).
  pid_t Pid() const { return pid_; }
  // Whether the peer has ended (reaped then).
  bool Ended() {
    int status = 0;
    if (pid_ > 0 && waitpid(pid_, &status, WNOHANG) == pid_) pid_ = -1;
    return pid_ <= 0;
  }
  PeerProcess(const PeerProcess &) = delete;
  PeerProcess &operator=(const PeerProcess &) = delete;

 private:
  static constexpr int kSigtermGraceMs = 30000;
  pid_t pid_ = -1;
};
