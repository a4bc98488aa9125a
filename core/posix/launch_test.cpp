#include "core/platform/launch.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "core/posix/desktopuser.h"
#include "core/posix/hive.h"
#include "core/platform/registry.h"
#include "tests/fsfault.h"
#include "tests/log_capture.h"
#include "tests/peer_record.h"

namespace {

constexpr const char *kPeer = KEELSON_LAUNCH_PEER;
constexpr uint32_t kNobody = 65534;

// No desktop user can be found while it lives: no sudo or pkexec variables,
// no seat0 session.
class NoDesktopUser {
 public:
  NoDesktopUser() { DesktopUser_SetSystemdRunDirForTest(systemd_.path().c_str()); }
  ~NoDesktopUser() { DesktopUser_SetSystemdRunDirForTest(nullptr); }

 private:
  FsFaultTempDir systemd_;
  PeerEnvScope sudo_{"SUDO_UID", nullptr};
  PeerEnvScope pkexec_{"PKEXEC_UID", nullptr};
};

// Waits (bounded) for the end of the process; its code, or -1.
int32_t waitExit(ProcessHandle *process) {
  int32_t code = -1;
  Peer_WaitUntil([&] { return Platform_GetProcessExitCode(process, &code) == 1; });
  return code;
}

// The arguments text of a peer run: its record file, exit code 0, then rest.
std::string peerArguments(const std::string &record, const std::string &rest) {
  return "\"" + record + "\" 0 " + rest;
}

std::string procState(int32_t pid) {
  std::string stat = Peer_ReadFile("/proc/" + std::to_string(pid) + "/stat");
  size_t close = stat.rfind(')');
  return close == std::string::npos || close + 2 >= stat.size() ? "" : stat.substr(close + 2, 1);
}

// A shell script that records its user id, working directory and arguments
// (one a line) into out, then exits with code.
void writeRecorder(const std::string &path, const std::string &out, int code) {
  Peer_WriteFile(path,
                 "#!/bin/sh\n{ id -u; pwd; for a in \"$@\"; do printf '%s\\n' \"$a\"; done; } > '" +
                     out + ".part'\nmv '" + out + ".part' '" + out + "'\nexit " +
                     std::to_string(code) + "\n",
                 0755);
}

std::vector<std::string> lines(const std::string &text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) out.push_back(line);
  return out;
}

bool isRoot() { return geteuid() == 0; }

}  // namespace

TEST(Launch, ExitCodeIsKeptAndReadTwice) {
  ProcessHandle *process = nullptr;
  // A bare name is found in PATH and sees itself as it was given ($0).
  ASSERT_EQ(Platform_Execute("sh", "-c \"test \"\"$0\"\" = sh && exit 3\"", "",
                             kExecuteKeepIdentity, &process),
            1);
  EXPECT_GT(Platform_GetProcessId(process), 0u);
  EXPECT_EQ(waitExit(process), 3);
  int32_t again = 0;
  EXPECT_EQ(Platform_GetProcessExitCode(process, &again), 1);
  EXPECT_EQ(again, 3);
  EXPECT_EQ(Platform_IsProcessRunning(process), 0);
  Platform_CloseProcess(&process);
  EXPECT_EQ(process, nullptr);
}

TEST(Launch, MissingProgramFailsWithCodeAndLogLine) {
  TestLogCapture capture;
  const std::pair<const char *, uint32_t> rows[] = {
      {"/keelson-none/program", kExecuteKeepIdentity},
      {"keelson-no-such-program", kExecuteKeepIdentity},
  };
  for (const auto &[program, flags] : rows) {
    SCOPED_TRACE(program);
    ProcessHandle *process = reinterpret_cast<ProcessHandle *>(1);
    EXPECT_EQ(Platform_Execute(program, "", "", flags, &process), 0);
    EXPECT_EQ(process, nullptr);
    EXPECT_EQ(Platform_GetLastError(), 2);
  }
  std::string log = capture.Take();
  EXPECT_NE(log.find("Platform_ExecuteNormal failed to execute (/keelson-none/program) [LE: 2]"),
            std::string::npos)
      << log;
}

TEST(Launch, ArgumentsArriveAsIntended) {
  FsFaultTempDir dir;
  struct Row {
    const char *text;
    std::vector<std::string> expected;
  };
  const Row rows[] = {
      {"a \"b c\"  d", {"a", "b c", "d"}},
      {"\"say \"\"hi\"\"\" x\"\"y", {"say \"hi\"", "x\"y"}},
      {"--skin=\"/a b\" --mode=\"x \"\"q\"\"\"", {"--skin=/a b", "--mode=x \"q\""}},
      {"C:\\dir\\file \\\\server\\share \"tab\\\"", {"C:\\dir\\file", "\\\\server\\share", "tab\\"}},
      {"\"Grüße 世界\" ünï", {"Grüße 世界", "ünï"}},
      {"\"\" end", {"", "end"}},
      {"", {}},
  };
  int n = 0;
  for (const Row &row : rows) {
    SCOPED_TRACE(row.text);
    std::string record = dir / ("record" + std::to_string(n++));
    ProcessHandle *process = nullptr;
    ASSERT_EQ(Platform_Execute(kPeer, peerArguments(record, row.text).c_str(), dir.path().c_str(),
                               kExecuteKeepIdentity, &process),
              1);
    EXPECT_EQ(waitExit(process), 0);
    Platform_CloseProcess(&process);
    PeerRecord peer = Peer_Read(record);
    ASSERT_TRUE(peer.found);
    std::vector<std::string> expected = {kPeer, record, "0"};
    expected.insert(expected.end(), row.expected.begin(), row.expected.end());
    EXPECT_EQ(peer.argv, expected);
    EXPECT_EQ(peer.cwd, dir.path());
  }
}

TEST(Launch, QuoteLeftOpenFails) {
  for (const char *text : {"\"abc", "--skin=\"/a b", "x \"y\"\""}) {
    SCOPED_TRACE(text);
    ProcessHandle *process = nullptr;
    EXPECT_EQ(Platform_Execute(kPeer, text, "", kExecuteKeepIdentity, &process), 0);
    EXPECT_EQ(Platform_GetLastError(), kPlatformErrorInvalidParameter);
    EXPECT_EQ(process, nullptr);
  }
}

TEST(Launch, LargeArgumentsArriveWholeOrFail) {
  FsFaultTempDir dir;
  std::string record = dir / "record";
  // 16 arguments of 64 KiB: 1 MiB in all, each below the kernel's limit for
  // one argument.
  std::string text;
  std::vector<std::string> expected = {kPeer, record, "0"};
  for (int i = 0; i < 16; i++) {
    std::string argument(64 * 1024, char('a' + i));
    text += " " + argument;
    expected.push_back(argument);
  }
  ProcessHandle *process = nullptr;
  ASSERT_EQ(Platform_Execute(kPeer, peerArguments(record, text).c_str(), "", kExecuteKeepIdentity,
                             &process),
            1);
  EXPECT_EQ(waitExit(process), 0);
  Platform_CloseProcess(&process);
  PeerRecord peer = Peer_Read(record);
  ASSERT_TRUE(peer.found);
  EXPECT_TRUE(peer.argv == expected) << "arguments differ";

  // One argument above the kernel's 128 KiB limit: refused (E2BIG), logged.
  TestLogCapture capture;
  std::string tooLong = peerArguments(dir / "never", std::string(200 * 1024, 'z'));
  EXPECT_EQ(Platform_Execute(kPeer, tooLong.c_str(), "", kExecuteKeepIdentity, &process), 0);
  EXPECT_EQ(process, nullptr);
  EXPECT_NE(capture.Take().find("Platform_ExecuteNormal failed to execute"), std::string::npos);
  EXPECT_FALSE(Peer_FileExists(dir / "never"));
}

TEST(Launch, ElevationRunsTheHelperWithKeepCwd) {
  FsFaultTempDir dir;
  chmod(dir.path().c_str(), 0777);
  std::string helper = dir / "pkexec-recorder";
  std::string out = dir / "pkexec.out";
  writeRecorder(helper, out, 0);
  Launch_SetPkexecPathForTest(helper.c_str());
  FSFAULT_RUN([&](FsFaultChild &child) {
    if (!child.DropPrivileges()) return;
    ProcessHandle *process = nullptr;
    FSF_EXPECT_EQ(child,
                  Platform_Execute(kPeer, "one \"two three\"", dir.path().c_str(),
                                   kExecuteElevated, &process),
                  1);
    if (process == nullptr) return;
    FSF_EXPECT_EQ(child, waitExit(process), 0);
    Platform_CloseProcess(&process);
    std::vector<std::string> expected = {std::to_string(kNobody), dir.path(), "--keep-cwd",
                                         kPeer, "one", "two three"};
    FSF_EXPECT(child, Peer_WaitUntil([&] { return Peer_FileExists(out); }));
    FSF_EXPECT(child, lines(Peer_ReadFile(out)) == expected);
  });
  Launch_SetPkexecPathForTest(nullptr);
}

TEST(Launch, RunAsAdminLayerElevatesEvenWithKeepIdentity) {
  if (!isRoot()) GTEST_SKIP() << "needs root to give the test user a home";
  FsFaultTempDir dir;
  chmod(dir.path().c_str(), 0777);
  std::string homes = dir / "homes";
  std::string machine = dir / "machine";
  std::string home = homes + "/" + std::to_string(kNobody);
  mkdir(homes.c_str(), 0755);
  mkdir(home.c_str(), 0700);
  ASSERT_EQ(chown(home.c_str(), kNobody, kNobody), 0);
  mkdir(machine.c_str(), 0755);
  std::string helper = dir / "pkexec-recorder";
  std::string out = dir / "pkexec.out";
  writeRecorder(helper, out, 0);
  Launch_SetPkexecPathForTest(helper.c_str());
  Hive_SetDirectoriesForTest(homes.c_str(), machine.c_str());
  const char *key = "Software\\Microsoft\\Windows NT\\CurrentVersion\\AppCompatFlags\\Layers";
  FSFAULT_RUN([&](FsFaultChild &child) {
    if (!child.DropPrivileges()) return;
    TestLogCapture capture;
    // The user's own setting is read without a whitelist: none is set.
    Registry_Init();
    auto setLayer = [&](const char *name, const char *data) {
      RegistryKey *layers = nullptr;
      int ok = Registry_CreateKey(&layers, 0, kRegistryClassUser, key) &&
               Registry_SetValue(layers, name, kRegistryTypeString, data, uint32_t(strlen(data)));
      Registry_CloseKey(&layers);
      return ok;
    };
    std::string record = dir / "direct";
    // Another program's value, and a value of ours without the flag, change
    // nothing; then the flag elevates.
    FSF_EXPECT_EQ(child, setLayer("/bin/true", "RUNASADMIN"), 1);
    FSF_EXPECT_EQ(child, setLayer(kPeer, "~ HIGHDPIAWARE"), 1);
    ProcessHandle *process = nullptr;
    FSF_EXPECT_EQ(child,
                  Platform_Execute(kPeer, peerArguments(record, "").c_str(), "",
                                   kExecuteKeepIdentity, &process),
                  1);
    if (process) FSF_EXPECT_EQ(child, waitExit(process), 0);
    Platform_CloseProcess(&process);
    FSF_EXPECT(child, Peer_Read(record).found);
    FSF_EXPECT(child, !Peer_FileExists(out));

    FSF_EXPECT_EQ(child, setLayer(kPeer, "~ RunAsAdmin"), 1);
    FSF_EXPECT_EQ(child, Platform_Execute(kPeer, "x", "", kExecuteKeepIdentity, &process), 1);
    if (process) FSF_EXPECT_EQ(child, waitExit(process), 0);
    Platform_CloseProcess(&process);
    std::vector<std::string> expected = {std::to_string(kNobody), "/", "--keep-cwd", kPeer, "x"};
    FSF_EXPECT(child, Peer_WaitUntil([&] { return Peer_FileExists(out); }));
    std::vector<std::string> got = lines(Peer_ReadFile(out));
    // The working directory is the child's own; only the arguments matter.
    if (got.size() > 1) got[1] = "/";
    FSF_EXPECT(child, got == expected);
    std::string log = capture.Take();
    FSF_EXPECT(child, log.find(std::string("App compatibility flags found - ") + kPeer +
                               " - ~ RunAsAdmin") != std::string::npos);
    Registry_Shutdown();
  });
  Hive_SetDirectoriesForTest(nullptr, nullptr);
  Launch_SetPkexecPathForTest(nullptr);
}

TEST(Launch, RootStartsProgramsAsTheDesktopUser) {
  if (!isRoot()) GTEST_SKIP() << "needs root";
  FsFaultTempDir dir;
  chmod(dir.path().c_str(), 0777);
  NoDesktopUser none;
  PeerEnvScope sudo("SUDO_UID", "65534");
  PeerEnvScope sudoUser("SUDO_USER", "nobody");
  PeerEnvScope preload("LD_PRELOAD", "libkeelson-none.so");
  // A descriptor without close-on-exec that must not reach the child.
  int leaked = dup(STDERR_FILENO);
  struct Row {
    const char *cwd;
    std::string expectedCwd;
  };
  const Row rows[] = {{dir.path().c_str(), dir.path()}, {"", "/"}};  // nobody's home is missing
  int n = 0;
  for (const Row &row : rows) {
    SCOPED_TRACE(row.cwd);
    std::string record = dir / ("record" + std::to_string(n++));
    ProcessHandle *process = nullptr;
    ASSERT_EQ(Platform_Execute(kPeer, peerArguments(record, "x").c_str(), row.cwd, 0, &process),
              1);
    EXPECT_EQ(waitExit(process), 0);
    Platform_CloseProcess(&process);
    PeerRecord peer = Peer_Read(record);
    ASSERT_TRUE(peer.found);
    EXPECT_EQ(peer.uid, "65534,65534,65534");
    EXPECT_EQ(peer.gid, "65534,65534,65534");
    EXPECT_EQ(peer.groups, "65534");
    EXPECT_EQ(peer.fds, "0,1,2");
    EXPECT_EQ(peer.cwd, row.expectedCwd);
    EXPECT_EQ(peer.env["HOME"], "/nonexistent");
    EXPECT_EQ(peer.env["USER"], "nobody");
    EXPECT_EQ(peer.env["LOGNAME"], "nobody");
    EXPECT_EQ(peer.env["PATH"], "/usr/local/bin:/usr/bin:/bin");
    const std::set<std::string> allowed = {"HOME",    "USER",           "LOGNAME",
                                           "SHELL",   "PATH",           "LANG",
                                           "DISPLAY", "WAYLAND_DISPLAY", "XDG_RUNTIME_DIR",
                                           "DBUS_SESSION_BUS_ADDRESS"};
    for (const auto &[name, value] : peer.env) EXPECT_TRUE(allowed.count(name)) << name;
  }
  close(leaked);
}

TEST(Launch, RootWithoutDesktopUserStartsNothing) {
  if (!isRoot()) GTEST_SKIP() << "needs root";
  FsFaultTempDir dir;
  NoDesktopUser none;
  TestLogCapture capture;
  std::string record = dir / "record";
  ProcessHandle *process = nullptr;
  EXPECT_EQ(Platform_Execute(kPeer, peerArguments(record, "").c_str(), "", 0, &process), 0);
  EXPECT_EQ(process, nullptr);
  EXPECT_NE(capture.Take().find("Platform_ExecuteDowngrade failed to execute"), std::string::npos);
  EXPECT_FALSE(Peer_FileExists(record));
}

TEST(Launch, DesktopUserExecFailureIsReported) {
  if (!isRoot()) GTEST_SKIP() << "needs root";
  FsFaultTempDir dir;
  NoDesktopUser none;
  PeerEnvScope sudo("SUDO_UID", "65534");
  // Executable for root alone: the user cannot run it, and the parent hears so.
  std::string program = dir / "root-only";
  Peer_WriteFile(program, "#!/bin/sh\nexit 0\n", 0700);
  ProcessHandle *process = nullptr;
  EXPECT_EQ(Platform_ExecuteDowngrade(program.c_str(), "", "", 0, &process), 0);
  EXPECT_EQ(process, nullptr);
  EXPECT_EQ(Platform_GetLastError(), kPlatformErrorAccessDenied);
  // A working directory the user cannot enter fails the same way.
  std::string closed = dir / "closed";
  mkdir(closed.c_str(), 0700);
  EXPECT_EQ(Platform_ExecuteDowngrade(kPeer, "", closed.c_str(), 0, &process), 0);
  EXPECT_EQ(Platform_GetLastError(), kPlatformErrorAccessDenied);
}

TEST(Launch, SuspendedChildWaitsForContinue) {
  if (!isRoot()) GTEST_SKIP() << "needs root";
  FsFaultTempDir dir;
  chmod(dir.path().c_str(), 0777);
  NoDesktopUser none;
  PeerEnvScope sudo("SUDO_UID", "65534");
  std::string record = dir / "record";
  ProcessHandle *process = nullptr;
  ASSERT_EQ(Platform_Execute(kPeer, peerArguments(record, "").c_str(), "", kExecuteSuspended,
                             &process),
            1);
  int32_t pid = int32_t(Platform_GetProcessId(process));
  EXPECT_TRUE(Peer_WaitUntil([&] { return procState(pid) == "T"; })) << procState(pid);
  EXPECT_EQ(Platform_IsProcessRunning(process), 1);
  EXPECT_FALSE(Peer_FileExists(record));
  kill(pid, SIGCONT);
  EXPECT_EQ(waitExit(process), 0);
  EXPECT_TRUE(Peer_Read(record).found);
  Platform_CloseProcess(&process);
}

TEST(Launch, TerminatedChildReports137) {
  ProcessHandle *process = nullptr;
  ASSERT_EQ(Platform_Execute("sleep", "30", "", kExecuteKeepIdentity, &process), 1);
  int32_t code = 0;
  EXPECT_EQ(Platform_GetProcessExitCode(process, &code), 0);
  EXPECT_EQ(code, kProcessStillActive);
  EXPECT_EQ(Platform_IsProcessRunning(process), 1);
  EXPECT_EQ(Platform_TerminateProcess(Platform_GetProcessId(process), 5), 1);
  EXPECT_EQ(waitExit(process), 137);
  Platform_CloseProcess(&process);
  EXPECT_EQ(Platform_TerminateProcess(0x7ffffff0u, 5), 0);
}

TEST(Launch, OpenedProcessOfAnotherParentHasUnknownCode) {
  // A grandchild: the shell's child, which the shell leaves running.
  FsFaultTempDir dir;
  std::string pidFile = dir / "pid";
  std::string script = "sleep 0.3 & echo $! > '" + pidFile + "'";
  ProcessHandle *shell = nullptr;
  ASSERT_EQ(Platform_ExecuteNormal("/bin/sh", ("-c \"" + script + "\"").c_str(), "", 0, &shell, 0),
            1);
  EXPECT_EQ(waitExit(shell), 0);
  Platform_CloseProcess(&shell);
  ASSERT_TRUE(Peer_WaitUntil([&] { return !Peer_ReadFile(pidFile).empty(); }));
  uint32_t pid = uint32_t(std::stoul(Peer_ReadFile(pidFile)));
  ProcessHandle *process = nullptr;
  if (!Platform_OpenProcess(pid, &process)) GTEST_SKIP() << "the grandchild ended already";
  EXPECT_EQ(Platform_GetProcessId(process), pid);
  EXPECT_EQ(waitExit(process), 0);
  Platform_CloseProcess(&process);
}

TEST(LaunchThreaded, ClosedHandleLeavesNoZombie) {
  std::vector<uint32_t> pids;
  for (int i = 0; i < 3; i++) {
    ProcessHandle *process = nullptr;
    ASSERT_EQ(Platform_Execute("sleep", "0.2", "", kExecuteKeepIdentity, &process), 1);
    pids.push_back(Platform_GetProcessId(process));
    Platform_CloseProcess(&process);
  }
  for (uint32_t pid : pids) {
    SCOPED_TRACE(pid);
    std::string command = "ps -o stat= -p " + std::to_string(pid);
    EXPECT_TRUE(Peer_WaitUntil([&] { return FsFault_Command(command).empty(); }))
        << FsFault_Command(command);
  }
}

TEST(Launch, ProcessListAgreesWithPs) {
  auto ours = [] {
    std::map<uint32_t, std::pair<uint32_t, std::string>> list;
    ProcessEntry entry;
    ProcessList *walk = nullptr;
    for (int more = Platform_ProcessListFirst(&entry, &walk); more;
         more = Platform_ProcessListNext(walk, &entry))
      list[entry.processId] = {entry.parentProcessId, entry.exeName};
    Platform_ProcessListClose(&walk);
    EXPECT_EQ(walk, nullptr);
    return list;
  };
  auto before = ours();
  std::istringstream ps(FsFault_Command("ps -eo pid=,ppid=,comm="));
  auto after = ours();
  EXPECT_TRUE(before.count(Platform_GetProcessId()));
  int compared = 0;
  std::string line;
  while (std::getline(ps, line)) {
    std::istringstream fields(line);
    uint32_t pid = 0, ppid = 0;
    fields >> pid >> ppid;
    std::string comm;
    std::getline(fields >> std::ws, comm);
    // Only processes alive through both reads, with the same parent (ps and
    // /proc may see a re-parenting in between).
    if (!before.count(pid) || !after.count(pid) || before[pid] != after[pid]) continue;
    // Kernel workers rename themselves by the work they take on.
    if (pid == 2 || ppid == 2) continue;
    SCOPED_TRACE(line);
    EXPECT_EQ(before[pid].first, ppid);
    EXPECT_EQ(before[pid].second, comm);
    compared++;
  }
  EXPECT_GT(compared, 1);
}

TEST(Launch, FindProcessByNameMatchesPathThenName) {
  FsFaultTempDir dir;
  std::string name = "KSleep-" + std::to_string(getpid());
  std::string copy = dir / name;
  std::filesystem::copy_file("/bin/sleep", copy);
  chmod(copy.c_str(), 0755);
  ProcessHandle *process = nullptr;
  ASSERT_EQ(Platform_Execute(copy.c_str(), "30", "", kExecuteKeepIdentity, &process), 1);
  int32_t pid = int32_t(Platform_GetProcessId(process));
  ASSERT_TRUE(Peer_WaitUntil([&] {
    char path[kPathMax];
    return Platform_GetProcessImagePath(uint32_t(pid), path, sizeof path) && copy == path;
  }));
  // A running copy whose file is replaced still matches by its name.
  for (bool replaced : {false, true}) {
    SCOPED_TRACE(replaced);
    if (replaced) {
      unlink(copy.c_str());
      Peer_WriteFile(copy, "replaced", 0755);
    }
    const std::pair<std::string, bool> rows[] = {
        {"ksleep-" + std::to_string(getpid()), true},  // the file name, case folded
        {copy, true},                                  // the whole path
        {"*/" + name, true},
        {"KSLEEP-" + std::to_string(getpid()) + "*", true},
        {"KSleep-" + std::to_string(getpid()) + "x", false},
    };
    for (const auto &[pattern, found] : rows) {
      SCOPED_TRACE(pattern);
      int32_t got = 0;
      EXPECT_EQ(Platform_FindProcessByName(pattern.c_str(), &got), found ? 1 : 0);
      EXPECT_EQ(got, found ? pid : -1);
    }
    char path[kPathMax];
    EXPECT_EQ(Platform_GetProcessImagePath(uint32_t(pid), path, sizeof path), 1);
    EXPECT_EQ(std::string(path), copy);
  }
  // Any sleep*: the one found is a sleep of some kind. It may be another
  // test's that is ending (its image path then reads empty), so its name is
  // checked, and only while it still exists.
  ProcessHandle *sleeper = nullptr;
  ASSERT_EQ(Platform_Execute("sleep", "30", "", kExecuteKeepIdentity, &sleeper), 1);
  int32_t any = -1;
  EXPECT_EQ(Platform_FindProcessByName("sleep*", &any), 1);
  std::ifstream comm("/proc/" + std::to_string(any) + "/comm");
  std::string found;
  if (comm && std::getline(comm, found)) {
    EXPECT_EQ(found.rfind("sleep", 0), 0u) << found;
  }
  for (ProcessHandle **p : {&process, &sleeper}) {
    Platform_TerminateProcess(Platform_GetProcessId(*p), 0);
    waitExit(*p);
    Platform_CloseProcess(p);
  }
}

TEST(Launch, ShellOpenRunsTheOpener) {
  FsFaultTempDir dir;
  chmod(dir.path().c_str(), 0777);
  std::string opener = dir / "opener";
  std::string out = dir / "opened";
  writeRecorder(opener, out, 0);
  std::string failing = dir / "failing";
  writeRecorder(failing, dir / "failed", 4);
  Launch_SetOpenerPathForTest(opener.c_str());
  // As ourselves when not root: a dropped child.
  FSFAULT_RUN([&](FsFaultChild &child) {
    if (!child.DropPrivileges()) return;
    if (chdir(dir.path().c_str()) != 0) return child.Fail(__FILE__, __LINE__, "chdir");
    FSF_EXPECT_EQ(child, Platform_ShellOpen("-option-like"), 1);
    FSF_EXPECT(child, Peer_WaitUntil([&] { return Peer_FileExists(out); }));
    std::vector<std::string> expected = {std::to_string(kNobody), dir.path(),
                                         dir.path() + "/-option-like"};
    FSF_EXPECT(child, lines(Peer_ReadFile(out)) == expected);
    Launch_SetOpenerPathForTest(failing.c_str());
    FSF_EXPECT_EQ(child, Platform_ShellOpen("https://example.invalid/"), 0);
  });
  Launch_SetOpenerPathForTest(opener.c_str());
  if (isRoot()) {
    unlink(out.c_str());
    {
      NoDesktopUser none;
      EXPECT_EQ(Platform_ShellOpen("/tmp"), 0);
      EXPECT_FALSE(Peer_FileExists(out));
      PeerEnvScope sudo("SUDO_UID", "65534");
      EXPECT_EQ(Platform_ShellOpen("/tmp"), 1);
    }
    ASSERT_TRUE(Peer_WaitUntil([&] { return Peer_FileExists(out); }));
    std::vector<std::string> expected = {std::to_string(kNobody), "/", "/tmp"};
    EXPECT_EQ(lines(Peer_ReadFile(out)), expected);
  }
  Launch_SetOpenerPathForTest(nullptr);
}

TEST(Launch, PrivilegesAndWindowlessCallbacks) {
  TestLogCapture capture;
  EXPECT_EQ(Platform_EnablePrivilege(3), 0);
  EXPECT_EQ(Platform_EnablePrivilege(1), isRoot() ? 1 : 0);
  FSFAULT_RUN([&](FsFaultChild &child) {
    if (!child.DropPrivileges()) return;
    FSF_EXPECT_EQ(child, Platform_EnablePrivilege(1), 0);
    FSF_EXPECT_EQ(child, Platform_EnablePrivilege(2), 0);
  });
  EXPECT_NE(capture.Take().find("Failed to adjust token privileges for debug (5)"),
            std::string::npos);

  ProcessHandle *process = nullptr;
  ASSERT_EQ(Platform_Execute("sleep", "30", "", kExecuteKeepIdentity, &process), 1);
  ProcessWindowRecord record = {Platform_GetProcessId(process), 0};
  EXPECT_EQ(Platform_CloseProcessWindows(nullptr, &record), 1);
  EXPECT_EQ(record.found, 1);
  EXPECT_EQ(waitExit(process), 128 + SIGTERM);
  Platform_CloseProcess(&process);
  WindowSearchRecord search = {"*", "*", nullptr, 0, 0};
  EXPECT_EQ(Platform_FindWindowCallback(nullptr, &search), 1);
  EXPECT_EQ(search.found, 0);
  char out[8] = "x";
  EXPECT_EQ(Platform_DevicePathToDrivePath("\\Device\\HarddiskVolume1\\x", out, sizeof out), 0);
  EXPECT_STREQ(out, "");
}

TEST(LaunchDeathTest, NullArgumentsAndForeignHandlesStop) {
  ProcessHandle *process = nullptr;
  EXPECT_DEATH(Platform_Execute(nullptr, "", "", 0, &process), "Pointer is NULL\n");
  EXPECT_DEATH(Platform_Execute("/bin/true", nullptr, "", 0, &process), "Pointer is NULL\n");
  EXPECT_DEATH(Platform_Execute("/bin/true", "", "", 0, nullptr), "Pointer is NULL\n");
  EXPECT_DEATH(Platform_ShellOpen(nullptr), "Pointer is NULL\n");
  struct {
    ObjectHeader header;
  } foreign{};
  foreign.header.classTag = 0x0badf00d;
  auto *notAHandle = reinterpret_cast<ProcessHandle *>(&foreign);
  EXPECT_DEATH(Platform_GetProcessId(notAHandle),
               "Class mismatch pointer \\(0x[0-9A-Fa-f]+: expected 0x574a8ebc but was "
               "0x0badf00d\\)");
  EXPECT_DEATH(Platform_IsProcessRunning(nullptr), "Pointer is NULL\n");
}
