// NamedPipe against real peers in other processes: socat's UNIX-CONNECT, a
// Python socket (client and server), and `ss -xl`; the listener table shared
// by server ends of one name, on many threads; a second user.
#include "core/platform/namedpipe.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/platform/platform.h"
#include "tests/fsfault.h"
#include "tests/log_capture.h"
#include "tests/peer_record.h"
#include "tests/test_util.h"

namespace {

constexpr int kBoundMs = 20000;

// A socket name of this process's own, so parallel test runs never meet.
std::string uniqueName(const char *tag) {
  return std::string("keelson-") + tag + "-" + std::to_string(getpid());
}
std::string pipePath(const std::string &socketName) { return "\\\\.\\pipe\\" + socketName; }

// The socket file of a socket name, for this process.
std::string socketFile(const std::string &socketName) {
  char path[128] = "";
  EXPECT_EQ(NamedPipe_GetSocketPath(pipePath(socketName).c_str(), path, sizeof path), 1);
  return path;
}

// 1 while the kernel lists a socket bound to the name's file.
bool listed(const std::string &socketName) {
  std::string path = " " + socketFile(socketName);
  std::ifstream in("/proc/net/unix");
  std::string line;
  while (std::getline(in, line))
    if (line.size() > path.size() &&
        line.compare(line.size() - path.size(), std::string::npos, path) == 0)
      return true;
  return false;
}

// Reads from pipe until want bytes came or the bound passed.
std::string readExactly(NamedPipe *pipe, size_t want) {
  std::string got;
  Test_WaitUntil([&] {
    char buffer[4096];
    int32_t count = 0;
    if (!NamedPipe_Read(pipe, buffer, sizeof buffer, &count)) return true;
    got.append(buffer, size_t(count));
    return got.size() >= want;
  }, kBoundMs);
  return got;
}

// Reads until the pipe reports its peer gone (Read answers 0); 1 when it did.
bool readToClose(NamedPipe *pipe) {
  return Test_WaitUntil([&] {
    char buffer[256];
    int32_t count = 0;
    return NamedPipe_Read(pipe, buffer, sizeof buffer, &count) == 0;
  }, kBoundMs);
}

// A raw socket of the kernel's own at a socket file, for queue tests.
int rawSocketAt(const std::string &path, bool listener, int backlog = 0) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
  sockaddr_un at{};
  at.sun_family = AF_UNIX;
  memcpy(at.sun_path, path.data(), path.size());
  auto length = socklen_t(offsetof(sockaddr_un, sun_path) + path.size() + 1);
  if (listener) unlink(path.c_str());
  int rc = listener ? bind(fd, reinterpret_cast<sockaddr *>(&at), length)
                    : connect(fd, reinterpret_cast<sockaddr *>(&at), length);
  if (listener && rc == 0) rc = listen(fd, backlog);
  EXPECT_EQ(rc, 0) << strerror(errno);
  return fd;
}

int rawSocket(const std::string &socketName, bool listener, int backlog = 0) {
  return rawSocketAt(socketFile(socketName), listener, backlog);
}

// The start of a Python script that serves one client, c, at a socket file.
std::string pythonServerAt(const std::string &path) {
  return "import socket\n"
         "s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)\n"
         "s.settimeout(20)\n"
         "s.bind('" + path + "')\n"
         "s.listen(1)\n"
         "c, _ = s.accept()\n"
         "c.settimeout(20)\n";
}

// A Python script run on a thread, as user and group 65534 when asked; its
// output once joined.
struct PythonPeer {
  std::string output;
  std::thread thread;
  explicit PythonPeer(const std::string &script, bool asNobody = false)
      : thread([this, script, asNobody] {
          int status = -1;
          output = Test_RunCommand(
              std::string(asNobody ? "setpriv --reuid=65534 --regid=65534 --clear-groups " : "") +
                  "/usr/bin/python3 -c \"" + script + "\"",
              &status);
        }) {}
  ~PythonPeer() {
    if (thread.joinable()) thread.join();
  }
  std::string Join() {
    thread.join();
    return output;
  }
};

}  // namespace

TEST(NamedPipeDeathTest, ProgrammingErrorsStop) {
  NamedPipe *pipe = nullptr;
  EXPECT_DEATH(NamedPipe_Create(nullptr, "x", 0, 0), "Pointer is NULL\n");
  EXPECT_DEATH(NamedPipe_Create(&pipe, nullptr, 0, 0), "Pointer is NULL\n");
  ASSERT_EQ(NamedPipe_Create(&pipe, uniqueName("death").c_str(), 0, 0), 1);
  EXPECT_DEATH(NamedPipe_Read(pipe, nullptr, 0, nullptr), "Pointer is NULL\n");
  uint32_t foreign[16] = {};
  EXPECT_DEATH(NamedPipe_IsOpen(reinterpret_cast<NamedPipe *>(foreign)),
               "Class mismatch pointer \\(0x[0-9A-Fa-f]+: expected 0x309a40cd");
  NamedPipe_Release(&pipe);
}

TEST(NamedPipe, NamesMapToSocketNames) {
  struct Row {
    std::string name;
    std::string socketName;  // empty: refused with error
    int error;
  };
  // Names of this process's own, so that parallel runs do not meet.
  std::string own = uniqueName("names");
  std::string longest(107 - own.size(), 'x');
  const Row rows[] = {
      {"\\\\.\\pipe\\" + own, own, 0},
      {"//./pipe/" + own + "b", own + "b", 0},
      {"\\\\./PIPE\\" + own + "c", own + "c", 0},
      {"\\\\.\\pipes\\" + own, "\\\\.\\pipes\\" + own, 0},  // not the prefix: taken whole
      {own + "d", own + "d", 0},
      {"\\\\.\\pipe\\", "", kPlatformErrorInvalidParameter},
      {"\\\\.\\pipe\\" + own + longest, own + longest, 0},
      {"\\\\.\\pipe\\" + own + longest + "x", "", kPlatformErrorNameTooLong},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    char out[128];
    Platform_SetLastError(0);
    int accepted = row.error == 0 ? 1 : 0;
    EXPECT_EQ(NamedPipe_GetSocketName(row.name.c_str(), out, sizeof out), accepted);
    EXPECT_EQ(Platform_GetLastError(), row.error);
    EXPECT_EQ(out, row.socketName);
    NamedPipe *pipe = nullptr;
    EXPECT_EQ(NamedPipe_Create(&pipe, row.name.c_str(), 0, 0), accepted);
    EXPECT_EQ(pipe != nullptr, accepted == 1);
    NamedPipe_Release(&pipe);
  }
}

// A server end met by socat: 536 before it comes, its bytes, ours back with a
// flush, then its end closes the pipe for good; ss lists the name meanwhile.
TEST(NamedPipe, ServerEndWithSocat) {
  std::string name = uniqueName("socat");
  NamedPipe *server = nullptr;
  ASSERT_EQ(NamedPipe_Create(&server, pipePath(name).c_str(), 0, 0), 1);
  int status = -1;
  std::string listing = Test_RunCommand("ss -xlH", &status);
  EXPECT_NE(listing.find(socketFile(name) + " "), std::string::npos) << listing;

  char buffer[16];
  int32_t count = -1;
  EXPECT_EQ(NamedPipe_Read(server, buffer, sizeof buffer, &count), 1);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(Platform_GetLastError(), kNamedPipeErrorListening);
  EXPECT_EQ(NamedPipe_Write(server, "x", 1, &count), 1);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(NamedPipe_Flush(server), 1);

  std::string socatOutput;
  int socatStatus = -1;
  std::thread socat([&] {
    socatOutput = Test_RunCommand(
        "printf hello | timeout 20 socat -t 10 - UNIX-CONNECT:" + socketFile(name),
        &socatStatus);
  });
  EXPECT_EQ(readExactly(server, 5), "hello");
  EXPECT_EQ(NamedPipe_Write(server, "world", 5, &count), 1);
  EXPECT_EQ(count, 5);
  EXPECT_EQ(NamedPipe_Flush(server), 1);
  EXPECT_TRUE(readToClose(server));  // socat closes once it has "world"
  socat.join();
  EXPECT_EQ(socatStatus, 0);
  EXPECT_EQ(socatOutput, "world");
  EXPECT_EQ(NamedPipe_IsOpen(server), 0);
  EXPECT_EQ(NamedPipe_Write(server, "x", 1, &count), 0);
  EXPECT_EQ(NamedPipe_Peek(server, nullptr, 0, &count), 0);
  EXPECT_EQ(NamedPipe_Flush(server), 0);
  EXPECT_FALSE(listed(name));  // the only server end is gone, and its name with it
  NamedPipe_Release(&server);
}

// A Python server in another process: our server end of its name is refused
// (231), our client end peeks, reads and writes, and sees its end.
TEST(NamedPipe, ClientEndWithPythonServer) {
  std::string name = uniqueName("python");
  PythonPeer python(pythonServerAt(socketFile(name)) +
                    "c.sendall(b'HELLO')\n"
                    "data = b''\n"
                    "while len(data) < 3000:\n"
                    "    data += c.recv(65536)\n"
                    "print(len(data), data == bytes(i % 251 for i in range(3000)))\n"
                    "c.close()\n");
  ASSERT_TRUE(Test_WaitUntil([&] { return listed(name); }, kBoundMs));
  NamedPipe *pipe = nullptr;
  EXPECT_EQ(NamedPipe_Create(&pipe, pipePath(name).c_str(), 0, 0), 0);
  EXPECT_EQ(Platform_GetLastError(), kNamedPipeErrorBusy);
  ASSERT_EQ(NamedPipe_Create(&pipe, pipePath(name).c_str(), 8192, kNamedPipeConnect), 1);

  int32_t count = 0;
  EXPECT_TRUE(Test_WaitUntil([&] {
    return NamedPipe_Peek(pipe, nullptr, 0, &count) == 1 && count == 5;
  }, kBoundMs));
  char buffer[8] = {};
  EXPECT_EQ(NamedPipe_Peek(pipe, buffer, 3, &count), 1);
  EXPECT_EQ(std::string(buffer, size_t(count)), "HEL");
  EXPECT_EQ(readExactly(pipe, 5), "HELLO");
  std::vector<uint8_t> data(3000);
  for (size_t i = 0; i < data.size(); i++) data[i] = uint8_t(i % 251);
  EXPECT_EQ(NamedPipe_Write(pipe, data.data(), int32_t(data.size()), &count), 1);
  EXPECT_EQ(count, 3000);
  EXPECT_TRUE(readToClose(pipe));
  EXPECT_EQ(python.Join(), "3000 True\n");
  EXPECT_EQ(NamedPipe_IsOpen(pipe), 0);
  NamedPipe_Release(&pipe);

  // Nobody serves the name any more: a client fails at once, and a server
  // end replaces the file the Python server left, though an abstract name
  // anyone may take ends in its path.
  EXPECT_EQ(NamedPipe_Create(&pipe, pipePath(name).c_str(), 0, kNamedPipeConnect), 0);
  EXPECT_EQ(Platform_GetLastError(), kPlatformErrorFileNotFound);
  int decoy = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un at{};
  at.sun_family = AF_UNIX;
  std::string abstractName = std::string(1, '\0') + "x " + socketFile(name);
  memcpy(at.sun_path, abstractName.data(), abstractName.size());
  EXPECT_EQ(bind(decoy, reinterpret_cast<sockaddr *>(&at),
                 socklen_t(offsetof(sockaddr_un, sun_path) + abstractName.size())), 0);
  EXPECT_EQ(listen(decoy, 1), 0);
  ASSERT_EQ(NamedPipe_Create(&pipe, pipePath(name).c_str(), 0, 0), 1);
  NamedPipe_Release(&pipe);
  close(decoy);
  EXPECT_FALSE(listed(name));
}

// A full listen queue counts as busy: every attempt is made, then 231; once
// the queue has room the connect goes through.
TEST(NamedPipe, FullListenQueueIsBusy) {
  std::string name = uniqueName("queue");
  int listener = rawSocket(name, true, 0);
  int first = rawSocket(name, false);  // fills a queue of backlog 0
  NamedPipe_SetBusyWaitForTest(1);
  NamedPipe *pipe = nullptr;
  {
    TestLogCapture log;
    EXPECT_EQ(NamedPipe_Create(&pipe, pipePath(name).c_str(), 0, kNamedPipeConnect), 0);
    EXPECT_EQ(Platform_GetLastError(), kNamedPipeErrorBusy);
    std::string lines = log.Take();
    EXPECT_NE(lines.find("busy, waiting (attempt 19)"), std::string::npos);
    EXPECT_EQ(lines.find("(attempt 20)"), std::string::npos);
  }
  int accepted = accept(listener, nullptr, nullptr);
  EXPECT_GE(accepted, 0);
  EXPECT_EQ(NamedPipe_Create(&pipe, pipePath(name).c_str(), 0, kNamedPipeConnect), 1);
  NamedPipe_SetBusyWaitForTest(-1);

  // The peer reads nothing: a non-blocking write fills the buffer and then
  // takes nothing, and the pipe stays open.
  std::vector<char> block(65536, 'z');
  int32_t count = 1;
  ASSERT_TRUE(Test_WaitUntil([&] {
    return NamedPipe_Write(pipe, block.data(), int32_t(block.size()), &count) == 1 && count == 0;
  }, kBoundMs));
  EXPECT_EQ(Platform_GetLastError(), kNamedPipeErrorNoData);
  EXPECT_EQ(NamedPipe_IsOpen(pipe), 1);
  NamedPipe_Release(&pipe);
  close(accepted);
  close(first);
  close(listener);
  unlink(socketFile(name).c_str());
}

// Two server ends of one name share its listener and each takes one of two
// independent clients; a third waits; the name goes with the last end.
TEST(NamedPipe, ServerEndsOfOneNameEachTakeOneClient) {
  std::string name = uniqueName("shared");
  NamedPipe *servers[3] = {};
  ASSERT_EQ(NamedPipe_Create(&servers[0], pipePath(name).c_str(), 0, 0), 1);
  ASSERT_EQ(NamedPipe_Create(&servers[1], pipePath(name).c_str(), 0, 0), 1);
  NamedPipe *clients[2] = {};
  int32_t count = 0;
  for (int i = 0; i < 2; i++) {
    ASSERT_EQ(NamedPipe_Create(&clients[i], pipePath(name).c_str(), 0, kNamedPipeConnect), 1);
    EXPECT_EQ(NamedPipe_Write(clients[i], i == 0 ? "A" : "B", 1, &count), 1);
  }
  std::set<std::string> got;
  for (int i = 0; i < 2; i++) got.insert(readExactly(servers[i], 1));
  EXPECT_EQ(got, (std::set<std::string>{"A", "B"}));
  ASSERT_EQ(NamedPipe_Create(&servers[2], pipePath(name).c_str(), 0, 0), 1);
  char buffer[4];
  EXPECT_EQ(NamedPipe_Read(servers[2], buffer, sizeof buffer, &count), 1);
  EXPECT_EQ(Platform_GetLastError(), kNamedPipeErrorListening);
  for (NamedPipe *&server : servers) NamedPipe_Release(&server);
  for (NamedPipe *&client : clients) {
    EXPECT_TRUE(readToClose(client));
    NamedPipe_Release(&client);
  }
  EXPECT_FALSE(listed(name));
}

// Blocking ends: a peek still answers at once; a read waits for the client
// and its bytes.
TEST(NamedPipe, BlockingEndsWaitForTheirPeer) {
  std::string path = pipePath(uniqueName("blocking"));
  NamedPipe *server = nullptr;
  ASSERT_EQ(NamedPipe_Create(&server, path.c_str(), 0, kNamedPipeBlocking), 1);
  int32_t count = -1;
  EXPECT_EQ(NamedPipe_Peek(server, nullptr, 0, &count), 1);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(Platform_GetLastError(), kNamedPipeErrorListening);
  NamedPipe *client = nullptr;
  std::thread peer([&] {
    int32_t written = 0;
    if (NamedPipe_Create(&client, path.c_str(), 0, kNamedPipeConnect | kNamedPipeBlocking))
      NamedPipe_Write(client, "b", 1, &written);
  });
  char buffer[4] = {};
  EXPECT_EQ(NamedPipe_Read(server, buffer, sizeof buffer, &count), 1);
  EXPECT_EQ(std::string(buffer, size_t(count)), "b");
  peer.join();
  NamedPipe_Release(&client);
  EXPECT_EQ(NamedPipe_Read(server, buffer, sizeof buffer, &count), 0);  // the client went
  NamedPipe_Release(&server);
}

// Server ends of one name made and closed on many threads at once, each
// pairing with some thread's client: every byte sent arrives exactly once.
TEST(NamedPipeThreaded, ServerEndsOfOneNameOnManyThreads) {
  std::string path = pipePath(uniqueName("threads"));
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  constexpr int kRounds = 10;
#else
  constexpr int kRounds = 40;
#endif
  constexpr int kThreads = 4;
  std::atomic<int> failures{0};
  std::vector<std::multiset<int>> received(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; t++) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < kRounds; round++) {
        NamedPipe *server = nullptr;
        NamedPipe *client = nullptr;
        int32_t count = 0;
        uint8_t tag = uint8_t(t * kRounds + round);
        if (!NamedPipe_Create(&server, path.c_str(), 0, 0) ||
            !NamedPipe_Create(&client, path.c_str(), 0, kNamedPipeConnect) ||
            !NamedPipe_Write(client, &tag, 1, &count) || count != 1) {
          failures++;
        } else {
          std::string got = readExactly(server, 1);
          if (got.size() == 1)
            received[size_t(t)].insert(uint8_t(got[0]));
          else
            failures++;
        }
        NamedPipe_Release(&client);
        NamedPipe_Release(&server);
      }
    });
  }
  for (auto &thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
  std::multiset<int> all;
  for (const auto &r : received) all.insert(r.begin(), r.end());
  std::multiset<int> sent;
  for (int i = 0; i < kThreads * kRounds; i++) sent.insert(i);
  EXPECT_EQ(all, sent);
}

// A name is the user's own: its socket file lies in the user's 0700 run
// directory. Another user who serves the name first takes nothing from us
// (our two ends still meet) and cannot reach our socket. Root acting for the
// desktop user meets that user's server; a flood of that user's clients on
// root's server for it is closed unread and costs the log a line or two.
TEST(NamedPipe, AnotherUsersNamesAreOutOfReach) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to be two users";
  PeerEnvScope pkexec("PKEXEC_UID", nullptr);
  PeerEnvScope sudo("SUDO_UID", nullptr);
  FsFaultTempDir dir;
  PeerEnvScope runtime("XDG_RUNTIME_DIR", dir.path().c_str());
  FSFAULT_RUN([&](FsFaultChild &child) {
    // A private /run with 65534's run directory, as a login manager makes it.
    if (!child.MountTmpfs("/run", "mode=0755")) return;
    bool made = mkdir("/run/user", 0755) == 0 && mkdir("/run/user/65534", 0700) == 0 &&
                chown("/run/user/65534", 65534, 65534) == 0;
    FSF_EXPECT(child, made);
    if (!made) return;
    std::string name = uniqueName("other");
    std::string ours = socketFile(name);
    setenv("SUDO_UID", "65534", 1);
    std::string theirs = socketFile(name);
    unsetenv("SUDO_UID");
    FSF_EXPECT(child, !ours.empty() && ours != theirs && theirs.rfind("/run/user/65534/", 0) == 0);

    NamedPipe *ownServer = nullptr, *ownClient = nullptr;
    int32_t count = 0;
    FSF_EXPECT_EQ(child, NamedPipe_Create(&ownServer, pipePath(name).c_str(), 0, 0), 1);
    // 65534 cannot even reach our socket file (checked before any thread of
    // ours runs, as a fork copies only the calling thread).
    FsFaultReport report = FsFault_Run([&](FsFaultChild &nobody) {
      if (!nobody.DropPrivileges()) return;
      int fd = socket(AF_UNIX, SOCK_STREAM, 0);
      sockaddr_un at{};
      at.sun_family = AF_UNIX;
      memcpy(at.sun_path, ours.data(), ours.size());
      FSF_EXPECT_EQ(nobody, connect(fd, reinterpret_cast<sockaddr *>(&at), sizeof at), -1);
      FSF_EXPECT_EQ(nobody, errno, EACCES);
      close(fd);
    });
    child.Forward(report);
    if (report.skipped) {  // the rest runs 65534's peers too
      NamedPipe_Release(&ownServer);
      return;
    }
    // 65534 serves the name first, in its own directory.
    PythonPeer server(pythonServerAt(theirs) + "print(c.recv(16))\n", true);
    FSF_EXPECT(child, Test_WaitUntil([&] { return access(theirs.c_str(), F_OK) == 0; },
                                     kBoundMs));
    // Our server and client ends of the name still meet.
    FSF_EXPECT_EQ(child,
                  NamedPipe_Create(&ownClient, pipePath(name).c_str(), 0, kNamedPipeConnect), 1);
    if (ownClient != nullptr) NamedPipe_Write(ownClient, "ROOT", 4, &count);
    if (ownServer != nullptr) FSF_EXPECT_EQ(child, readExactly(ownServer, 4), "ROOT");
    NamedPipe_Release(&ownClient);
    NamedPipe_Release(&ownServer);

    // Root acting for 65534 meets its server, and cannot serve the name too.
    setenv("SUDO_UID", "65534", 1);
    NamedPipe *pipe = nullptr;
    FSF_EXPECT_EQ(child, NamedPipe_Create(&pipe, pipePath(name).c_str(), 0, 0), 0);
    FSF_EXPECT_EQ(child, Platform_GetLastError(), kNamedPipeErrorBusy);
    FSF_EXPECT_EQ(child, NamedPipe_Create(&pipe, pipePath(name).c_str(), 0, kNamedPipeConnect), 1);
    if (pipe != nullptr) NamedPipe_Write(pipe, "HI", 2, &count);
    NamedPipe_Release(&pipe);
    FSF_EXPECT_EQ(child, server.Join(), "b'HI'\n");

    // Root's server for 65534 (replacing the file the Python server left):
    // a flood of 65534's clients is closed unread, for a few log lines.
    FSF_EXPECT_EQ(child, NamedPipe_Create(&pipe, pipePath(name).c_str(), 0, 0), 1);
    if (pipe == nullptr) return;
    TestLogCapture capture;
    PythonPeer flood("import socket\n"
                     "for i in range(2000):\n"
                     "    s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)\n"
                     "    s.connect('" + theirs + "')\n"
                     "    s.close()\n"
                     "print('done')\n",
                     true);
    std::atomic<bool> flooding{true};
    std::thread reader([&] {
      char buffer[8];
      int32_t got = 0;
      while (flooding.load()) {
        NamedPipe_Read(pipe, buffer, sizeof buffer, &got);
        Platform_SleepMs(1);
      }
      NamedPipe_Read(pipe, buffer, sizeof buffer, &got);
    });
    FSF_EXPECT_EQ(child, flood.Join(), "done\n");
    flooding.store(false);
    reader.join();
    NamedPipe_Release(&pipe);
    unsetenv("SUDO_UID");
    std::string log = capture.Take();
    size_t lines = Test_CountOf(log, "65534");
    FSF_EXPECT(child, lines >= 1 && lines <= 3);
    FSF_EXPECT(child, log.find("refused a client of uid 65534") != std::string::npos);
  });
}

// A server's file left behind is taken over even while a socket of another
// mount namespace listens at the same path text over its own tmpfs: whether
// the name is served is decided on the bound file, not on its text.
TEST(NamedPipe, StaleFileIsJudgedByTheBoundFileNotItsText) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to mount a tmpfs";
  PeerEnvScope pkexec("PKEXEC_UID", nullptr);
  PeerEnvScope sudo("SUDO_UID", nullptr);
  FsFaultTempDir dir;
  PeerEnvScope runtime("XDG_RUNTIME_DIR", dir.path().c_str());
  std::string name = uniqueName("stale");
  std::string path = socketFile(name);
  close(rawSocketAt(path, true));  // a server that ended without removing its file
  std::string ready = dir / "ready", peer = dir / "peer.py";
  std::ofstream(peer) << "import os, socket, time\n"
                         "s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)\n"
                         "s.bind('" << path << "')\n"
                         "s.listen(1)\n"
                         "open('" << ready << "', 'w').close()\n"
                         "t = time.time()\n"
                         "while os.path.exists('" << ready << "') and time.time() - t < 20:\n"
                         "    time.sleep(0.02)\n";
  std::thread other([&] {
    int status = -1;
    Test_RunCommand("unshare -m --propagation private sh -c 'mount -t tmpfs tmpfs " +
                        path.substr(0, path.rfind('/')) + " && exec /usr/bin/python3 " + peer +
                        "'",
                    &status);
  });
  bool listening = Test_WaitUntil([&] { return access(ready.c_str(), F_OK) == 0; }, kBoundMs);
  if (listening) {
    EXPECT_TRUE(listed(name));  // the kernel lists the path text
    NamedPipe *server = nullptr;
    EXPECT_EQ(NamedPipe_Create(&server, pipePath(name).c_str(), 0, 0), 1)
        << Platform_GetLastError();
    NamedPipe_Release(&server);
  }
  unlink(ready.c_str());
  other.join();
  if (!listening) GTEST_SKIP() << "unshare or mount refused here";
}
