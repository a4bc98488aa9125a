#include "core/platform/appmark.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/platform/eventqueue.h"
#include "core/platform/launch.h"
#include "core/platform/mutex.h"
#include "core/platform/platform.h"
#include "core/posix/desktopuser.h"
#include "core/posix/runpath.h"
#include "core/platform/thread.h"
#include "tests/fsfault.h"
#include "tests/log_capture.h"
#include "tests/peer_record.h"
#include "tests/wake_hook.h"

namespace {

constexpr const char *kMarkPeer = KEELSON_MARK_PEER;
constexpr uid_t kNobody = 65534;

double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::string uniqueName() {
  static int counter = 0;
  return "ktest-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
}

// A private run directory and no desktop user: marks of one test meet only
// its own peers.
class MarkEnvironment {
 public:
  MarkEnvironment() {
    chmod(dir.path().c_str(), 0777);
    DesktopUser_SetSystemdRunDirForTest(systemd_.path().c_str());
  }
  ~MarkEnvironment() { DesktopUser_SetSystemdRunDirForTest(nullptr); }
  FsFaultTempDir dir;      // open to every user: the peers' records
  FsFaultTempDir runtime;  // root's own, as root takes no other one

 private:
  FsFaultTempDir systemd_;
  PeerEnvScope runtime_{"XDG_RUNTIME_DIR", runtime.path().c_str()};
  PeerEnvScope sudo_{"SUDO_UID", nullptr};
  PeerEnvScope pkexec_{"PKEXEC_UID", nullptr};
};

// A mark_peer holding "<name>-EXCLUSIVE"; killed when it goes.
struct Holder {
  ProcessHandle *process = nullptr;
  std::string status, data;

  Holder(const MarkEnvironment &env, const std::string &name, bool pump, uint32_t flags) {
    status = env.dir / (name + ".status");
    data = env.dir / (name + ".data");
    std::string arguments = "hold " + name + " 0 \"" + status + "\" \"" + data + "\" " +
                            (pump ? "1" : "0") + " 60000";
    EXPECT_EQ(Platform_Execute(kMarkPeer, arguments.c_str(), "", flags, &process), 1);
  }
  ~Holder() { Kill(); }
  bool Held() {
    return Peer_WaitUntil([&] { return Peer_ReadFile(status) == "held"; }) &&
           Peer_ReadFile(status) == "held";
  }
  void Kill() {
    if (process == nullptr) return;
    Platform_TerminateProcess(Platform_GetProcessId(process), 0);
    int32_t code;
    Peer_WaitUntil([&] { return Platform_GetProcessExitCode(process, &code) == 1; });
    Platform_CloseProcess(&process);
  }
};

// Runs a mark_peer command to its end; its exit code, or -1.
int32_t runPeer(const std::string &arguments, const std::function<void()> &pump = nullptr,
                uint32_t flags = kExecuteKeepIdentity) {
  ProcessHandle *process = nullptr;
  if (!Platform_Execute(kMarkPeer, arguments.c_str(), "", flags, &process))
    return -1;
  int32_t code = -1;
  Peer_WaitUntil([&] {
    if (pump) pump();
    return Platform_GetProcessExitCode(process, &code) == 1;
  });
  Platform_CloseProcess(&process);
  return code;
}

std::string socketPath(const std::string &markName) {
  char path[kRunPathSocketBytes];
  uint32_t uid = 0;
  EXPECT_EQ(RunPath_Get(markName.c_str(), ".sock", path, sizeof path, &uid), 1);
  return path;
}

// A Unix stream socket connected to (bound: listening on) path, or -1.
int socketAt(const std::string &path, bool listening) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  auto *where = reinterpret_cast<sockaddr *>(&address);
  if (listening ? bind(fd, where, sizeof address) != 0 || listen(fd, 4) != 0
                : connect(fd, where, sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

std::vector<uint8_t> pattern(size_t size) {
  std::vector<uint8_t> data(size);
  for (size_t i = 0; i < size; i++) data[i] = uint8_t(i * 7);
  return data;
}

struct Received {
  int calls = 0;
  uint32_t size = 0;
  uint32_t thread = 0;
  std::vector<uint8_t> data;
};

void recordReceived(void *context, const void *data, uint32_t size) {
  auto *received = static_cast<Received *>(context);
  received->calls++;
  received->size = size;
  received->thread = Platform_GetThreadId();
  received->data.assign(static_cast<const uint8_t *>(data),
                        static_cast<const uint8_t *>(data) + size);
}

void pumpMain() {
  EventQueue_Flush(nullptr);
  Thread_Yield();
}

// One byte carrying one descriptor (SCM_RIGHTS) over a Unix socket.
struct FdMessage {
  char control[CMSG_SPACE(sizeof(int))] = {};
  char byte = 0;
  struct iovec iov = {&byte, 1};
  struct msghdr message = {};

  FdMessage() {
    message.msg_iov = &iov;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
  }
  FdMessage(const FdMessage &) = delete;
  FdMessage &operator=(const FdMessage &) = delete;

  bool Send(int socket, int fd) {
    struct cmsghdr *header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    header->cmsg_len = CMSG_LEN(sizeof(int));
    memcpy(CMSG_DATA(header), &fd, sizeof fd);
    return sendmsg(socket, &message, 0) == 1;
  }
  // The descriptor, or -1.
  int Receive(int socket) {
    int fd = -1;
    if (recvmsg(socket, &message, MSG_CMSG_CLOEXEC) == 1 && CMSG_FIRSTHDR(&message) != nullptr)
      memcpy(&fd, CMSG_DATA(CMSG_FIRSTHDR(&message)), sizeof fd);
    return fd;
  }
};

class AppMarkThreaded : public ThreadTest {};
class AppMarkThreadedDeathTest : public ThreadTest {};

}  // namespace

TEST_F(AppMarkThreaded, SecondAcquireWaitsThenTakesOverFromAKilledHolder) {
  MarkEnvironment env;
  std::string name = uniqueName();
  Holder holder(env, name, true, kExecuteKeepIdentity);
  ASSERT_TRUE(holder.Held());
  AppMark *mark = nullptr;
  AppMark_Create(&mark);
  AppMark_SetName(mark, (name + "-EXCLUSIVE").c_str());
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(AppMark_Acquire(mark, 1000), 0);
  double waited = secondsSince(start);
  // The time-out's length is what is under test: at least its second, and
  // far less than ten (a sanitizer build on a busy machine stays well within).
  EXPECT_GE(waited, 0.9);
  EXPECT_LT(waited, 10.0);
  EXPECT_EQ(mark->mutex, nullptr);  // nothing left behind: the next acquire starts afresh

  // A waiting acquirer gets in as soon as the holder dies, and binds the
  // socket over the dead holder's file.
  std::atomic<int> acquired{-1};
  std::atomic<double> killedAt{0};
  std::thread waiter([&] { acquired = AppMark_Acquire(mark, 20000); });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  start = std::chrono::steady_clock::now();
  holder.Kill();
  waiter.join();
  EXPECT_EQ(acquired.load(), 1);
  // Only a time tells taking over at the death from taking over at the 20 s
  // time-out: half of it leaves a busy sanitizer build a wide margin.
  EXPECT_LT(secondsSince(start), 10.0);
  int fd = socketAt(socketPath(name + "-EXCLUSIVE"), false);
  EXPECT_GE(fd, 0);
  if (fd >= 0) close(fd);
  EXPECT_EQ(AppMark_Release(mark), 1);
  EXPECT_EQ(socketAt(socketPath(name + "-EXCLUSIVE"), false), -1);  // removed with the lock
  AppMark_Delete(&mark);
  EXPECT_EQ(mark, nullptr);
}

TEST_F(AppMarkThreaded, SentDataReachesTheCallbackOnTheAcquiringThread) {
  MarkEnvironment env;
  std::string name = uniqueName();
  Platform_Init();
  ASSERT_EQ(Platform_Exclusive(name.c_str(), 0), 0);
  Received received;
  AppMark_SetDataCallback(Platform_GetExclusiveMark(), &received, recordReceived);
  EXPECT_EQ(runPeer("send " + name + " 300 20000", pumpMain), 0);
  EXPECT_EQ(received.calls, 1);
  EXPECT_EQ(received.size, 300u);
  EXPECT_EQ(received.thread, Platform_GetThreadId());
  EXPECT_TRUE(received.data == pattern(300));

  // More than a mark takes: the holder hangs up without an answer.
  int fd = socketAt(socketPath(name + "-EXCLUSIVE"), false);
  ASSERT_GE(fd, 0);
  uint32_t tooMuch = kAppMarkMaxDataBytes + 1;
  EXPECT_EQ(write(fd, &tooMuch, sizeof tooMuch), ssize_t(sizeof tooMuch));
  char answer;
  EXPECT_EQ(read(fd, &answer, 1), 0);
  close(fd);
  // Without a callback the holder answers 0.
  AppMark_SetDataCallback(Platform_GetExclusiveMark(), nullptr, nullptr);
  EXPECT_EQ(runPeer("send " + name + " 10 20000", pumpMain), 1);
  EXPECT_EQ(received.calls, 1);
  Platform_Shutdown();
}

TEST_F(AppMarkThreaded, HolderThatNeverPumpsMakesTheSenderGiveUp) {
  MarkEnvironment env;
  std::string name = uniqueName();
  Holder holder(env, name, false, kExecuteKeepIdentity);
  ASSERT_TRUE(holder.Held());
  Platform_Init();
  ASSERT_EQ(Platform_Exclusive(name.c_str(), 0), 1);
  AppMark_SetSendTimeoutForTest(500);
  std::vector<uint8_t> data = pattern(300);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(AppMark_SendToRunning(data.data(), uint32_t(data.size())), 0);
  EXPECT_GE(secondsSince(start), 0.4);
  AppMark_SetSendTimeoutForTest(0);
  Platform_Shutdown();
  holder.Kill();
  EXPECT_EQ(Peer_ReadFile(holder.data), "");
}

TEST(AppMark, NoListenerOrStaleSocketAnswersAtOnce) {
  MarkEnvironment env;
  std::string name = uniqueName();
  std::string markName = name + "-EXCLUSIVE";
  // The lock is held here, by a plain named lock: nobody listens.
  Mutex *lock = nullptr;
  ASSERT_EQ(Mutex_Create(&lock, ("Local\\" + markName).c_str()), 1);
  ASSERT_EQ(Mutex_Wait(lock, 0), 1);
  Platform_Init();
  ASSERT_EQ(Platform_Exclusive(name.c_str(), 0), 1);
  std::vector<uint8_t> data = pattern(10);
  for (bool stale : {false, true}) {
    SCOPED_TRACE(stale);
    if (stale) {
      // A socket file whose listener is gone.
      int fd = socketAt(socketPath(markName), true);
      ASSERT_GE(fd, 0);
      close(fd);
    }
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(AppMark_SendToRunning(data.data(), uint32_t(data.size())), 0);
    // At once, not at the 20 s send time-out: only a time tells them apart,
    // and half the time-out leaves a busy sanitizer build a wide margin.
    EXPECT_LT(secondsSince(start), 10.0);
  }
  Platform_Shutdown();
  EXPECT_EQ(AppMark_SendToRunning(data.data(), 10), 0);  // no exclusive mark at all
  Mutex_Delete(&lock);
}

TEST(AppMark, AcquireThatCannotListenGivesTheLockBack) {
  MarkEnvironment env;
  std::string markName = uniqueName();
  // A directory where the socket goes: it cannot be removed or bound.
  std::string path = socketPath(markName);
  ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
  Peer_WriteFile(path + "/keep", "x", 0600);
  AppMark *mark = nullptr;
  AppMark_Create(&mark);
  AppMark_SetName(mark, markName.c_str());
  EXPECT_EQ(AppMark_Acquire(mark, 0), 0);
  EXPECT_EQ(mark->mutex, nullptr);
  EXPECT_EQ(AppMark_Release(mark), 0);
  Mutex *lock = nullptr;
  ASSERT_EQ(Mutex_Create(&lock, ("Local\\" + markName).c_str()), 1);
  EXPECT_EQ(Mutex_Wait(lock, 0), 1);
  Mutex_Delete(&lock);
  AppMark_Delete(&mark);
}

TEST_F(AppMarkThreaded, ExclusiveIsSeenByASecondProcess) {
  MarkEnvironment env;
  std::string name = uniqueName();
  Platform_Init();
  EXPECT_EQ(Platform_Exclusive(name.c_str(), 0), 0);
  EXPECT_EQ(runPeer("try " + name + " 0"), 1);
  Platform_Shutdown();
  EXPECT_EQ(runPeer("try " + name + " 0"), 0);
}

// In a forked child: a private /run whose user/65534 is that user's run
// directory (its home, /nonexistent, holds none), so root acting for 65534
// and 65534 itself meet there, as they would under a login manager.
bool giveNobodyARunDirectory(FsFaultChild &child) {
  if (!child.MountTmpfs("/run", "mode=0755")) return false;
  bool ok = mkdir("/run/user", 0755) == 0 && mkdir("/run/user/65534", 0700) == 0 &&
            chown("/run/user/65534", kNobody, kNobody) == 0;
  FSF_EXPECT(child, ok);
  return ok;
}

// Runs body as 65534 in a process of its own; its failures and skip are the child's.
void runAsNobody(FsFaultChild &child, const std::function<void(FsFaultChild &)> &body) {
  FsFaultReport report = FsFault_Run([&](FsFaultChild &nobody) {
    if (nobody.DropPrivileges()) body(nobody);
  });
  child.Forward(report);
}

TEST_F(AppMarkThreaded, RootActingForAUserSharesTheUsersMark) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  MarkEnvironment env;
  PeerEnvScope sudo("SUDO_UID", "65534");
  FSFAULT_RUN([&](FsFaultChild &child) {
    if (!giveNobodyARunDirectory(child)) return;
    // Root for 65534 holds; a 65534 process finds it taken.
    {
      std::string name = uniqueName();
      Holder holder(env, name, true, kExecuteKeepIdentity);
      FSF_EXPECT(child, holder.Held());
      runAsNobody(child, [&](FsFaultChild &nobody) {
        unsetenv("XDG_RUNTIME_DIR");
        Platform_Init();
        FSF_EXPECT_EQ(nobody, Platform_Exclusive(name.c_str(), 0), 1);
        Platform_Shutdown();
      });
    }
    // 65534 (started as the desktop user) holds; root acting for it finds
    // it taken and reaches it.
    std::string name = uniqueName();
    Holder holder(env, name, true, 0);
    FSF_EXPECT(child, holder.Held());
    Platform_Init();
    FSF_EXPECT_EQ(child, Platform_Exclusive(name.c_str(), 0), 1);
    std::vector<uint8_t> data = pattern(300);
    FSF_EXPECT_EQ(child, AppMark_SendToRunning(data.data(), uint32_t(data.size())), 1);
    FSF_EXPECT_EQ(child, Peer_ReadFile(holder.data), "300 1 1\n");
    Platform_Shutdown();
  });
}

// Root acting for 65534 holds the mark in 65534's run directory, where
// 65534 can reach its socket: a 65534 sender is not heard, whether it talks
// the wire format itself or sends as a mark does; root is.
TEST_F(AppMarkThreaded, RootHolderHearsOnlyRoot) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  MarkEnvironment env;
  PeerEnvScope sudo("SUDO_UID", "65534");
  FSFAULT_RUN([&](FsFaultChild &child) {
    if (!giveNobodyARunDirectory(child)) return;
    std::string name = uniqueName();
    Holder holder(env, name, true, kExecuteKeepIdentity);
    FSF_EXPECT(child, holder.Held());
    std::string path = socketPath(name + "-EXCLUSIVE");
    runAsNobody(child, [&](FsFaultChild &nobody) {
      int fd = socketAt(path, false);
      FSF_EXPECT(nobody, fd >= 0);
      if (fd < 0) return;
      std::vector<uint8_t> data = pattern(10);
      uint32_t size = 10;
      ssize_t ignored = send(fd, &size, sizeof size, MSG_NOSIGNAL);
      ignored = send(fd, data.data(), data.size(), MSG_NOSIGNAL);
      (void)ignored;
      struct pollfd p = {fd, POLLIN, 0};
      char answer = 0;
      if (poll(&p, 1, 20000) == 1 && read(fd, &answer, 1) == 1) FSF_EXPECT_EQ(nobody, answer, 0);
      close(fd);
    });
    // What the holder has recorded after each sender.
    struct Sender {
      uint32_t flags;
      int32_t exitCode;
      const char *recorded;
    } const senders[] = {
        {0, 1, ""},                             // as 65534
        {kExecuteKeepIdentity, 0, "10 1 1\n"},  // root, for 65534
    };
    for (const Sender &sender : senders) {
      FSF_EXPECT_EQ(child, runPeer("send " + name + " 10 20000", nullptr, sender.flags),
                    sender.exitCode);
      FSF_EXPECT_EQ(child, Peer_ReadFile(holder.data), std::string(sender.recorded));
    }
  });
}

// A holder of another uid (its listener made by a 65534 process) behind the
// mark of a root process: the root sender sends nothing to it.
TEST(AppMark, SenderSendsToNoOtherUser) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  MarkEnvironment env;
  std::string name = uniqueName();
  std::string markName = name + "-EXCLUSIVE";
  Mutex *lock = nullptr;
  ASSERT_EQ(Mutex_Create(&lock, ("Local\\" + markName).c_str()), 1);
  ASSERT_EQ(Mutex_Wait(lock, 0), 1);
  // The 65534 process listens and hands its socket over.
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  std::string foreign = env.dir / "foreign.sock";
  FSFAULT_RUN([&](FsFaultChild &child) {
    if (!child.DropPrivileges()) return;
    int fd = socketAt(foreign, true);
    FSF_EXPECT(child, fd >= 0 && FdMessage().Send(pair[1], fd));
  });
  close(pair[1]);
  int listenFd = FdMessage().Receive(pair[0]);
  close(pair[0]);
  ASSERT_GE(listenFd, 0);
  ASSERT_EQ(rename(foreign.c_str(), socketPath(markName).c_str()), 0);

  Platform_Init();
  ASSERT_EQ(Platform_Exclusive(name.c_str(), 0), 1);
  AppMark_SetSendTimeoutForTest(500);
  std::vector<uint8_t> data = pattern(10);
  EXPECT_EQ(AppMark_SendToRunning(data.data(), uint32_t(data.size())), 0);
  EXPECT_EQ(Platform_GetLastError(), kPlatformErrorAccessDenied);
  AppMark_SetSendTimeoutForTest(0);
  Platform_Shutdown();
  // The sender connected and hung up without a byte.
  int conn = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
  ASSERT_GE(conn, 0);
  char buffer[64];
  EXPECT_EQ(read(conn, buffer, sizeof buffer), 0);
  close(conn);
  close(listenFd);
  Mutex_Delete(&lock);
}

// Without a run directory of its own, root's marks live under its cache
// directory, which no other user can make first (a /tmp name could be), and
// a planted directory there is refused as such, not taken for a held mark.
TEST_F(AppMarkThreaded, RunDirectoryFallbackCannotBeTakenByAnotherUser) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  MarkEnvironment env;
  std::string name = uniqueName();
  FSFAULT_RUN([&](FsFaultChild &child) {
    // An empty /tmp and no /run/user/0 in this child.
    if (!child.MountTmpfs("/tmp", "mode=1777") || !child.MountTmpfs("/run", "mode=0755")) return;
    runAsNobody(child, [&](FsFaultChild &nobody) {
      FSF_EXPECT_EQ(nobody, mkdir("/tmp/keelson-0", 0777), 0);
      for (const char *directory :
           {"/tmp/nobody", "/tmp/nobody/keelson", "/tmp/nobody/keelson/run"})
        FSF_EXPECT_EQ(nobody, mkdir(directory, 0700), 0);
    });
    unsetenv("XDG_RUNTIME_DIR");
    FSF_EXPECT_EQ(child, mkdir("/tmp/root", 0700), 0);
    setenv("XDG_CACHE_HOME", "/tmp/root/cache", 1);
    Platform_Init();
    FSF_EXPECT_EQ(child, Platform_Exclusive(name.c_str(), 0), 0);
    std::string path = socketPath(name + "-EXCLUSIVE");
    FSF_EXPECT_EQ(child, path.rfind("/tmp/root/cache/keelson/run/", 0), size_t(0));
    struct stat status = {};
    FSF_EXPECT_EQ(child, stat("/tmp/root/cache/keelson/run", &status), 0);
    FSF_EXPECT_EQ(child, status.st_mode & 0777, 0700u);
    Platform_Shutdown();

    // Without XDG_CACHE_HOME: the home of the password database (an empty
    // one here), its cache directory made when missing.
    DesktopUserAccount account;
    if (DesktopUser_ReadAccount(0, &account) && std::string(account.home) == "/root" &&
        child.MountTmpfs("/root", "mode=0700")) {
      unsetenv("XDG_CACHE_HOME");
      FSF_EXPECT_EQ(child, socketPath(name).rfind("/root/.cache/keelson/run/", 0), size_t(0));
    }

    // A cache directory of another user's, named by the caller: not taken,
    // and said so.
    setenv("XDG_CACHE_HOME", "/tmp/nobody", 1);
    Platform_Init();
    TestLogCapture capture;
    FSF_EXPECT_EQ(child, socketPath(name).rfind("/tmp/nobody/", 0), std::string::npos);
    FSF_EXPECT(child, capture.Take().find("XDG_CACHE_HOME=/tmp/nobody is not a directory only "
                                          "root can write") != std::string::npos);
    Platform_Shutdown();
  });
}

TEST(Mutex, OneHolderPerNameAcrossObjects) {
  MarkEnvironment env;
  std::string name = "Local\\" + uniqueName();
  Mutex *a = nullptr, *b = nullptr;
  ASSERT_EQ(Mutex_Create(&a, name.c_str()), 1);
  ASSERT_EQ(Mutex_Create(&b, name.c_str()), 1);
  EXPECT_EQ(Mutex_Wait(a, 0), 1);
  EXPECT_EQ(Mutex_Wait(b, 0), 0);
  EXPECT_EQ(Platform_GetLastError(), kPlatformErrorTimeout);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Mutex_Wait(b, 50), 0);
  EXPECT_GE(secondsSince(start), 0.04);
  EXPECT_EQ(Mutex_Release(a), 1);
  EXPECT_EQ(Mutex_Release(a), 0);
  EXPECT_EQ(Mutex_Wait(b, 0), 1);
  // Deleting a holder lets the others in.
  EXPECT_EQ(Mutex_Delete(&b), 1);
  EXPECT_EQ(b, nullptr);
  EXPECT_EQ(Mutex_Delete(&b), 0);
  EXPECT_EQ(Mutex_Wait(a, 0), 1);
  Mutex_Delete(&a);
}

TEST(Mutex, NamesMapToDistinctSafeFiles) {
  MarkEnvironment env;
  const std::string names[] = {"a/b", "a%2Fb", "a_b", ".hidden", "..", "sp ace",
                               std::string(300, 'n'), std::string(300, 'n') + "x", "Grüße"};
  std::set<std::string> paths;
  for (const std::string &name : names) {
    SCOPED_TRACE(name);
    char path[kRunPathSocketBytes];
    uint32_t uid = 99;
    ASSERT_EQ(RunPath_Get(name.c_str(), ".lock", path, sizeof path, &uid), 1);
    EXPECT_EQ(uid, uint32_t(geteuid()));
    std::string text = path;
    EXPECT_EQ(text.rfind(env.runtime.path() + "/keelson/", 0), 0u) << text;
    std::string file = text.substr(text.rfind('/') + 1);
    EXPECT_EQ(file.find_first_of(" /"), std::string::npos) << file;
    EXPECT_NE(file[0], '.');
    EXPECT_LT(text.size(), size_t(kRunPathSocketBytes));
    paths.insert(text);
    Mutex *lock = nullptr;
    EXPECT_EQ(Mutex_Create(&lock, name.c_str()), 1);
    Mutex_Delete(&lock);
  }
  EXPECT_EQ(paths.size(), std::size(names));
  struct stat status;
  ASSERT_EQ(stat((env.runtime.path() + "/keelson").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0700u);
  Mutex *lock = nullptr;
  EXPECT_EQ(Mutex_Create(&lock, ""), 0);
  EXPECT_EQ(Mutex_Create(&lock, "Local\\"), 0);
}

TEST(Mutex, RunDirectoryOfAnotherUserIsRefused) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  MarkEnvironment env;
  std::string run = env.runtime.path() + "/keelson";
  ASSERT_EQ(mkdir(run.c_str(), 0755), 0);
  ASSERT_EQ(chown(run.c_str(), 65534, 65534), 0);
  Mutex *lock = nullptr;
  EXPECT_EQ(Mutex_Create(&lock, "Local\\x"), 0);
  EXPECT_EQ(lock, nullptr);
  EXPECT_EQ(Platform_GetLastError(), kPlatformErrorAccessDenied);
  // Ours but open to others: narrowed.
  ASSERT_EQ(chown(run.c_str(), 0, 0), 0);
  EXPECT_EQ(Mutex_Create(&lock, "Local\\x"), 1);
  struct stat status;
  ASSERT_EQ(stat(run.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0700u);
  Mutex_Delete(&lock);
  // A lock file another user put there while it was open.
  std::string planted = run + "/y.lock";
  Peer_WriteFile(planted, "", 0666);
  ASSERT_EQ(chown(planted.c_str(), 65534, 65534), 0);
  EXPECT_EQ(Mutex_Create(&lock, "Local\\y"), 0);
  EXPECT_EQ(Platform_GetLastError(), kPlatformErrorAccessDenied);
}

TEST_F(AppMarkThreadedDeathTest, SecondExclusiveStops) {
  MarkEnvironment env;
  std::string name = uniqueName();
  EXPECT_DEATH(
      {
        Platform_Init();
        Platform_Exclusive(name.c_str(), 0);
        Platform_Exclusive(name.c_str(), 0);
      },
      "Assertion failed \\(GlobalPlatformWin32->SingletonHandle == NULL\\)\nExclusive singleton "
      "already initialized");
}

TEST(AppMarkDeathTest, NullNameAndForeignMarksStop) {
  AppMark *mark = nullptr;
  AppMark_Create(&mark);
  EXPECT_DEATH(AppMark_SetName(mark, nullptr), "Pointer is NULL\n");
  EXPECT_DEATH(AppMark_Acquire(nullptr, 0), "Pointer is NULL\n");
  EXPECT_DEATH(Platform_Exclusive("x", 0), "Pointer is NULL\n");  // no Platform_Init
  Mutex *lock = nullptr;
  EXPECT_DEATH(Mutex_Create(&lock, nullptr), "Pointer is NULL\n");
  AppMark_Delete(&mark);
}
