// FsFault: real kernel failures for file-system tests. The body of a test
// runs in a forked child, which may give itself a private mount namespace
// with its own tmpfs (sized, so it fills up, or remounted read-only; also the
// second file system that cross-device moves need) and may drop to the
// unprivileged user 65534, so a test running as root still meets EACCES.
// Nothing the child does reaches the test process or the machine: its mounts
// vanish with its namespace.
//
// The child records failures and skips through FsFaultChild; FSFAULT_RUN
// turns them into gtest failures in the parent, or skips the test with the
// reason when the system refuses a helper (no CAP_SYS_ADMIN, not root).
//
// Threads: the test's thread only; fork from a test that runs no threads.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <sstream>
#include <string>
#include <vector>

// What a child reported.
struct FsFaultReport {
  std::vector<std::string> failures;
  bool skipped = false;
  std::string skipReason;
};

// The child's side: checks and helpers. A helper that the system refuses
// marks the run skipped and returns false; the body should then return.
class FsFaultChild {
 public:
  explicit FsFaultChild(int reportFd) : reportFd_(reportFd) {}

  void Fail(const char *file, int line, const std::string &message);
  void Skip(const std::string &reason);
  bool skipped() const { return skipped_; }
  // A nested child's report as this child's own: its failures, and its skip
  // (checks that did not run are not passed).
  void Forward(const FsFaultReport &report);

  template <typename A, typename B>
  void ExpectEq(const char *file, int line, const char *aText, const char *bText, const A &a,
                const B &b) {
    if (a == b) return;
    std::ostringstream text;
    text << "expected " << aText << " == " << bText << "\n  actual: " << testing::PrintToString(a)
         << " vs " << testing::PrintToString(b);
    Fail(file, line, text.str());
  }

  // Mounts a tmpfs at directory (created when missing) inside the child's
  // private mount namespace (entered on first use). options as for mount(8):
  // "size=1M".
  bool MountTmpfs(const std::string &directory, const std::string &options);
  // Makes a mounted tmpfs read-only (after the test has put files in it).
  bool RemountReadOnly(const std::string &directory);
  // Gives the child its own network namespace (only a loopback interface,
  // down) and mounts a fresh sysfs over /sys, so /sys/class/net shows it.
  bool EnterNetworkNamespace();
  // Becomes user and group 65534 with no supplementary groups.
  bool DropPrivileges();

 private:
  bool EnterMountNamespace();

  int reportFd_;
  bool skipped_ = false;
  bool inNamespace_ = false;
};

// Runs body in a forked child and collects its report; a child that dies,
// exits with a status other than 0 or outlives timeoutSeconds (it is then
// killed) adds a failure.
FsFaultReport FsFault_Run(const std::function<void(FsFaultChild &)> &body,
                          int timeoutSeconds = 120);

// The standard output of a shell command, trailing newlines removed.
std::string FsFault_Command(const std::string &command);

// A fresh directory under /tmp (mode 0755, so a dropped child can look in),
// removed with everything in it when the object goes.
class FsFaultTempDir {
 public:
  FsFaultTempDir();
  ~FsFaultTempDir();
  FsFaultTempDir(const FsFaultTempDir &) = delete;
  FsFaultTempDir &operator=(const FsFaultTempDir &) = delete;
  const std::string &path() const { return path_; }
  std::string operator/(const std::string &name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

#define FSF_EXPECT(child, condition) \
  ((condition) ? (void)0 : (child).Fail(__FILE__, __LINE__, "expected: " #condition))
#define FSF_EXPECT_EQ(child, a, b) (child).ExpectEq(__FILE__, __LINE__, #a, #b, (a), (b))

// Runs a body (a lambda taking FsFaultChild &) in a child and reports in the
// test that calls it.
#define FSFAULT_RUN(...)                                                                     \
  do {                                                                                       \
    FsFaultReport fsfReport_ = FsFault_Run(__VA_ARGS__);                                     \
    for (const std::string &fsfFailure_ : fsfReport_.failures) ADD_FAILURE() << fsfFailure_; \
    if (fsfReport_.skipped) GTEST_SKIP() << fsfReport_.skipReason;                           \
  } while (0)
