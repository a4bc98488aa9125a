// Fault environments for file-system tests; see tests/fsfault.h.
#include "tests/fsfault.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>

namespace {

constexpr uid_t kNobody = 65534;

// Report records on the pipe: a type byte ('F' failure, 'S' skip), a 32-bit
// length and the text.
void fsfaultSend(int fd, char type, const std::string &text) {
  uint32_t length = uint32_t(text.size());
  std::string record(1, type);
  record.append(reinterpret_cast<const char *>(&length), sizeof length);
  record += text;
  const char *p = record.data();
  size_t left = record.size();
  while (left > 0) {
    ssize_t n = write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    p += n;
    left -= size_t(n);
  }
}

void fsfaultParse(const std::string &data, FsFaultReport *report) {
  size_t at = 0;
  while (at + 5 <= data.size()) {
    char type = data[at];
    uint32_t length;
    memcpy(&length, data.data() + at + 1, sizeof length);
    if (at + 5 + length > data.size()) break;
    std::string text = data.substr(at + 5, length);
    at += 5 + length;
    if (type == 'S') {
      report->skipped = true;
      report->skipReason = text;
    } else {
      report->failures.push_back(text);
    }
  }
  if (at != data.size()) report->failures.push_back("fsfault: truncated report from the child");
}

std::string fsfaultErrno(const char *what) { return std::string(what) + ": " + strerror(errno); }

}  // namespace

void FsFaultChild::Fail(const char *file, int line, const std::string &message) {
  fsfaultSend(reportFd_, 'F', std::string(file) + ":" + std::to_string(line) + ": " + message);
}

void FsFaultChild::Skip(const std::string &reason) {
  skipped_ = true;
  fsfaultSend(reportFd_, 'S', reason);
}

void FsFaultChild::Forward(const FsFaultReport &report) {
  for (const std::string &failure : report.failures) fsfaultSend(reportFd_, 'F', failure);
  if (report.skipped) Skip(report.skipReason);
}

bool FsFaultChild::EnterMountNamespace() {
  if (inNamespace_) return true;
  if (unshare(CLONE_NEWNS) != 0) {
    Skip(fsfaultErrno("unshare(CLONE_NEWNS) refused"));
    return false;
  }
  // Without this, mounts below a shared mount would propagate back out.
  if (mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    Skip(fsfaultErrno("making / private in the new mount namespace refused"));
    return false;
  }
  inNamespace_ = true;
  return true;
}

bool FsFaultChild::MountTmpfs(const std::string &directory, const std::string &options) {
  if (!EnterMountNamespace()) return false;
  std::error_code ignored;
  std::filesystem::create_directories(directory, ignored);
  if (mount("tmpfs", directory.c_str(), "tmpfs", 0, options.c_str()) != 0) {
    Skip(fsfaultErrno(("mount tmpfs at " + directory + " refused").c_str()));
    return false;
  }
  return true;
}

bool FsFaultChild::EnterNetworkNamespace() {
  if (unshare(CLONE_NEWNET) != 0) {
    Skip(fsfaultErrno("unshare(CLONE_NEWNET) refused"));
    return false;
  }
  if (!EnterMountNamespace()) return false;
  if (mount("sysfs", "/sys", "sysfs", 0, nullptr) != 0) {
    Skip(fsfaultErrno("mounting sysfs in the new network namespace refused"));
    return false;
  }
  return true;
}

bool FsFaultChild::RemountReadOnly(const std::string &directory) {
  if (mount(nullptr, directory.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) != 0) {
    Skip(fsfaultErrno(("remounting " + directory + " read-only refused").c_str()));
    return false;
  }
  return true;
}

bool FsFaultChild::DropPrivileges() {
  if (geteuid() != 0) {
    Skip("dropping to user 65534 needs root");
    return false;
  }
  if (setgroups(0, nullptr) != 0 || setresgid(kNobody, kNobody, kNobody) != 0 ||
      setresuid(kNobody, kNobody, kNobody) != 0) {
    Skip(fsfaultErrno("dropping to user 65534 refused"));
    return false;
  }
  return true;
}

FsFaultReport FsFault_Run(const std::function<void(FsFaultChild &)> &body, int timeoutSeconds) {
  FsFaultReport report;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    report.failures.push_back(fsfaultErrno("fsfault: pipe"));
    return report;
  }
  fflush(nullptr);  // nothing buffered is written twice
  pid_t child = fork();
  if (child < 0) {
    report.failures.push_back(fsfaultErrno("fsfault: fork"));
    close(fds[0]);
    close(fds[1]);
    return report;
  }
  if (child == 0) {
    close(fds[0]);
    FsFaultChild self(fds[1]);
    body(self);
    fflush(nullptr);
    _exit(0);  // no gtest teardown, no atexit work of the parent's state
  }
  close(fds[1]);
  std::string data;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
  bool timedOut = false;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      timedOut = true;
      break;
    }
    struct pollfd p = {fds[0], POLLIN, 0};
    int ready = poll(&p, 1, int(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) continue;
    char buffer[4096];
    ssize_t n = read(fds[0], buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // the child (and anything it started) closed the pipe
    data.append(buffer, size_t(n));
  }
  close(fds[0]);
  if (timedOut) kill(child, SIGKILL);
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  fsfaultParse(data, &report);
  if (timedOut)
    report.failures.push_back("fsfault: the child ran longer than " +
                              std::to_string(timeoutSeconds) + " s and was killed");
  else if (WIFSIGNALED(status))
    report.failures.push_back("fsfault: the child died with signal " +
                              std::to_string(WTERMSIG(status)));
  else if (WEXITSTATUS(status) != 0)
    report.failures.push_back("fsfault: the child exited with " +
                              std::to_string(WEXITSTATUS(status)));
  return report;
}

std::string FsFault_Command(const std::string &command) {
  std::string output;
  fflush(nullptr);
  FILE *pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return output;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
  pclose(pipe);
  while (!output.empty() && output.back() == '\n') output.pop_back();
  return output;
}

FsFaultTempDir::FsFaultTempDir() {
  char pattern[] = "/tmp/keelson-test-XXXXXX";
  if (mkdtemp(pattern) == nullptr) {
    ADD_FAILURE() << fsfaultErrno("mkdtemp");
    return;
  }
  chmod(pattern, 0755);
  path_ = pattern;
}

FsFaultTempDir::~FsFaultTempDir() {
  if (path_.empty()) return;
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}
