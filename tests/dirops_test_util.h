// Helpers shared by the tests of the whole-file and tree operations: small
// files, shell peers (sha256sum, stat, find, diff) and log counting.
#pragma once

#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "tests/fsfault.h"

inline void Dirops_WriteFile(const std::string &path, const std::string &data) {
  std::ofstream(path, std::ios::binary) << data;
}

inline std::string Dirops_ReadFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

inline int Dirops_CountOf(const std::string &text, const std::string &needle) {
  int count = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
    count++;
  return count;
}

// A death-test regular expression that matches text literally.
inline std::string Dirops_Literal(const std::string &text) {
  std::string out;
  for (char c : text) {
    if (strchr("\\.[](){}*+?|^$", c)) out += '\\';
    out += c;
  }
  return out;
}

// Single quotes for the shell.
inline std::string Dirops_Quote(const std::string &text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'')
      out += "'\\''";
    else
      out += c;
  }
  return out + "'";
}

// sha256sum's digest of a file ("" when it cannot be read).
inline std::string Dirops_Sha256(const std::string &path) {
  std::string line = FsFault_Command("sha256sum " + Dirops_Quote(path) + " 2>/dev/null");
  return line.substr(0, line.find(' '));
}

// The mode bits of the path itself (lstat), or -1.
inline int Dirops_Mode(const std::string &path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 ? int(st.st_mode & 07777) : -1;
}

// A directory (created when missing) that user 65534 owns, for a child that
// drops to that user to work in. false when it cannot be given away.
inline bool Dirops_MakeNobodysDirectory(const std::string &path) {
  constexpr uid_t kNobody = 65534;
  mkdir(path.c_str(), 0755);
  return lchown(path.c_str(), kNobody, kNobody) == 0;
}

inline bool Dirops_Exists(const std::string &path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

// A second local user racing the code under test: a forked child that
// becomes user 65534 and runs step until Dirops_StopRacer kills it. Returns
// the child's pid once it has run step once, or -1 (nothing left running)
// when the child could not drop to 65534 or start.
inline pid_t Dirops_StartNobodyRacer(const std::function<void()> &step) {
  constexpr uid_t kNobody = 65534;
  int ready[2];
  if (pipe(ready) != 0) return -1;
  fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    close(ready[0]);
    if (setgroups(0, nullptr) != 0 || setresgid(kNobody, kNobody, kNobody) != 0 ||
        setresuid(kNobody, kNobody, kNobody) != 0)
      _exit(1);
    step();
    if (write(ready[1], "r", 1) != 1) _exit(1);
    close(ready[1]);
    for (;;) step();
  }
  close(ready[1]);
  char byte = 0;
  bool started = pid > 0 && read(ready[0], &byte, 1) == 1;
  close(ready[0]);
  if (pid > 0 && !started) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  return started ? pid : -1;
}

inline void Dirops_StopRacer(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGKILL);
  while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
}
