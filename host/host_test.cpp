// The host's start and stop order, and its quit flag under real signals.
#include "host/host.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "core/net/webget.h"
#include "core/platform/directorysize.h"
#include "core/platform/thread.h"
#include "core/runtime/core.h"
#include "host/quithook.h"
#include "tests/test_util.h"
#include "workflow/workflowapp.h"

namespace {

// The threads of this process but GLib's own, which the desktop settings
// library starts once and keeps for the process's life; with their names.
int OurThreads(std::string *names) {
  int count = 0;
  for (auto &entry : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream comm(entry.path() / "comm");
    std::string name;
    std::getline(comm, name);
    if (name == "gmain" || name == "gdbus" || name == "dconf worker") continue;
    count++;
    if (names != nullptr) *names += name + " ";
  }
  return count;
}

const char *const kArgv[] = {"keelson", "--memorytracking", "--window"};
constexpr int kArgc = 3;

TEST(HostTest, StartsAndStopsTwiceInOneProcess) {
  int before = OurThreads(nullptr);
  testing::internal::CaptureStderr();
  for (int round = 0; round < 2; round++) {
    ASSERT_EQ(Host_Start(kArgc, kArgv, nullptr), 1);
    ASSERT_NE(Host_GetApp(), nullptr);
    // A directory-size computation still running at the stop ends with it.
    EXPECT_EQ(Path_GetDirectorySizeAsync("/usr", "size"), 1);
    WorkflowApp_Pump(Host_GetApp());
    WorkflowApp_RequestQuit(Host_GetApp(), 3 + round);
    EXPECT_EQ(Host_Stop(), 3 + round);
    EXPECT_EQ(Host_GetApp(), nullptr);
  }
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(log.find("Not all memory was free'd"), std::string::npos) << log;
  std::string names;
  EXPECT_TRUE(Test_WaitUntil([&] { return OurThreads(nullptr) <= before; }))
      << OurThreads(&names) << " threads (" << names << "), " << before << " before";
}

// The whitelist is fixed once the host runs.
TEST(HostTest, WhitelistIsImmutableAfterStart) {
  EXPECT_DEATH(
      {
        const char *const argv[] = {"keelson"};
        Host_Start(1, argv, nullptr);
        WebGet_AddWhitelistHost("late.keelson.test");
      },
      "HostnameWhitelist is immutable");
}

// Runs child(ready, report) in a forked process and gives its exit status
// (-1 when it did not exit within the bound). The child writes one byte to
// ready once it waits for a signal, and may write an int to report.
int RunChild(void (*child)(int ready, int report), const std::function<void(pid_t, int)> &drive,
             int *reported) {
  int ready[2], report[2];
  if (pipe(ready) != 0 || pipe(report) != 0) return -1;
  fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    close(ready[0]);
    close(report[0]);
    child(ready[1], report[1]);
    _exit(0);
  }
  close(ready[1]);
  close(report[1]);
  char byte = 0;
  EXPECT_EQ(read(ready[0], &byte, 1), 1);
  drive(pid, ready[0]);
  int status = 0;
  bool done = Test_WaitUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 20000);
  if (!done) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
  if (read(report[0], reported, sizeof *reported) != ssize_t(sizeof *reported)) *reported = 0;
  close(ready[0]);
  close(report[0]);
  return done && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A headless main loop: pump and yield until a quit signal, bounded.
void PumpUntilQuit() {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!Host_IsQuitRequested() && std::chrono::steady_clock::now() < deadline) {
    WorkflowApp_Pump(Host_GetApp());
    Thread_Yield();
  }
}

void QuitLoopChild(int ready, int report) {
  const char *const argv[] = {"keelson"};
  if (Host_Start(1, argv, nullptr) != 1) _exit(2);
  (void)!write(ready, "r", 1);
  PumpUntilQuit();
  int sig = Host_GetQuitSignal();
  (void)!write(report, &sig, sizeof sig);
  _exit(Host_Stop());
}

TEST(HostTest, QuitSignalsEndTheMainLoop) {
  for (int sig : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(sig);
    int reported = 0;
    EXPECT_EQ(RunChild(QuitLoopChild, [sig](pid_t pid, int) { kill(pid, sig); }, &reported), 0);
    EXPECT_EQ(reported, sig);
  }
}

// A second quit signal while the host stops ends the process at once.
void HeldStopChild(int ready, int) {
  const char *const argv[] = {"keelson"};
  if (Host_Start(1, argv, nullptr) != 1) _exit(2);
  (void)!write(ready, "r", 1);
  PumpUntilQuit();
  Host_SetStopping(1);  // as Host_Stop's first step does; the stop is held here
  (void)!write(ready, "s", 1);
  sleep(20);
  _exit(1);
}

TEST(HostTest, SecondSignalDuringStopExits) {
  int reported = 0;
  int status = RunChild(
      HeldStopChild,
      [](pid_t pid, int ready) {
        kill(pid, SIGINT);
        char byte = 0;
        EXPECT_EQ(read(ready, &byte, 1), 1);  // the stop is held
        kill(pid, SIGINT);
      },
      &reported);
  EXPECT_EQ(status, 130);
}

}  // namespace
