// A peer process started by a test (argv[0] a full path; its standard output
// and error go to /dev/null) and ended with SIGTERM when the object goes.
//
// Threads: the test's thread only.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

class PeerProcess {
 public:
  explicit PeerProcess(const std::vector<std::string> &argv) {
    pid_ = fork();
    if (pid_ == 0) {
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
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
  PeerProcess(const PeerProcess &) = delete;
  PeerProcess &operator=(const PeerProcess &) = delete;

 private:
  pid_t pid_ = -1;
};
