// The owner of a loopback connection's client end, against real connections
// from this process and from a child that became user 65534.
#include <arpa/inet.h>
#include <grp.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>

#include "core/platform/platform.h"
#include "tests/loopback_port.h"

namespace {

constexpr uint32_t kNobody = 65534;

// A client connected to port from a child that is user and group 65534: the
// child holds it until *release is closed. -1 when the child could not start.
pid_t nobodyClient(int port, int *release) {
  int ready[2], hold[2];
  if (pipe(ready) != 0 || pipe(hold) != 0) return -1;
  pid_t pid = fork();
  if (pid == 0) {
    close(ready[0]);
    close(hold[1]);
    char done = 0;
    if (setgroups(0, nullptr) == 0 && setgid(kNobody) == 0 && setuid(kNobody) == 0) {
      int fd = socket(AF_INET, SOCK_STREAM, 0);
      sockaddr_in at = Test_LoopbackAddress(port);
      done = connect(fd, reinterpret_cast<sockaddr *>(&at), sizeof at) == 0;
    }
    if (write(ready[1], &done, 1) != 1 || !done) _exit(1);
    while (read(hold[0], &done, 1) > 0) {
    }
    _exit(0);
  }
  close(ready[1]);
  close(hold[0]);
  char done = 0;
  if (pid < 0 || read(ready[0], &done, 1) != 1 || !done) {
    close(ready[0]);
    close(hold[1]);
    if (pid > 0) waitpid(pid, nullptr, 0);
    return -1;
  }
  close(ready[0]);
  *release = hold[1];
  return pid;
}

int ownClient(int port, int family) {
  int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (family == AF_INET) {
    sockaddr_in at = Test_LoopbackAddress(port);
    if (connect(fd, reinterpret_cast<sockaddr *>(&at), sizeof at) == 0) return fd;
  } else {
    sockaddr_in6 at{};
    at.sin6_family = AF_INET6;
    at.sin6_port = htons(uint16_t(port));
    inet_pton(AF_INET6, "::ffff:127.0.0.1", &at.sin6_addr);
    if (connect(fd, reinterpret_cast<sockaddr *>(&at), sizeof at) == 0) return fd;
  }
  close(fd);
  return -1;
}

// The lookup for the connection the listener accepts next, from our end.
int lookUpAccepted(int listener, uint32_t *owner) {
  int fd = accept(listener, nullptr, nullptr);
  sockaddr_in local{}, remote{};
  socklen_t length = sizeof local;
  getsockname(fd, reinterpret_cast<sockaddr *>(&local), &length);
  length = sizeof remote;
  getpeername(fd, reinterpret_cast<sockaddr *>(&remote), &length);
  int found = Platform_GetLoopbackPeerOwner(local.sin_addr.s_addr, ntohs(local.sin_port),
                                            remote.sin_addr.s_addr, ntohs(remote.sin_port), owner);
  close(fd);
  return found;
}

}  // namespace

TEST(LoopbackPeer, OwnerOfEachKindOfClient) {
  int port = 0;
  int listener = Test_LoopbackListener(&port, 8);
  uint32_t self = Platform_GetEffectiveUserId();
  EXPECT_EQ(self, uint32_t(geteuid()));
  struct Case {
    const char *what;
    std::function<int()> connect;  // the client descriptor, or -1
    bool closeFirst;               // the client closes before the look-up
    int found;
    uint32_t owner;
  } cases[] = {
      {"our IPv4 client", [&] { return ownClient(port, AF_INET); }, false, 1, self},
      {"our IPv6 client on a mapped address", [&] { return ownClient(port, AF_INET6); }, false, 1,
       self},
      {"a client that closed already", [&] { return ownClient(port, AF_INET); }, true, 0,
       kPlatformNoUser},
  };
  std::string unavailable;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    int client = c.connect();
    if (client < 0) {
      // A machine without IPv6 has no mapped addresses to test: the other
      // rows still run, and the test then reports a skip.
      if (strstr(c.what, "IPv6") == nullptr) ADD_FAILURE() << "cannot connect";
      else unavailable += std::string(unavailable.empty() ? "" : ", ") + c.what;
      continue;
    }
    if (c.closeFirst) close(client);
    uint32_t owner = 0;
    EXPECT_EQ(lookUpAccepted(listener, &owner), c.found);
    EXPECT_EQ(owner, c.owner);
    if (!c.closeFirst) close(client);
  }
  uint32_t owner = 0;
  EXPECT_EQ(Platform_GetLoopbackPeerOwner(htonl(INADDR_LOOPBACK), port, htonl(INADDR_LOOPBACK), 1,
                                          &owner),
            0);
  EXPECT_EQ(owner, kPlatformNoUser);
  close(listener);
  if (!unavailable.empty()) GTEST_SKIP() << "no IPv6 here for: " << unavailable;
}

TEST(LoopbackPeer, AnotherUsersClientIsTheirs) {
  if (geteuid() != 0) GTEST_SKIP() << "becoming user 65534 needs root";
  int port = 0;
  int listener = Test_LoopbackListener(&port, 8);
  int release = -1;
  pid_t child = nobodyClient(port, &release);
  ASSERT_GT(child, 0);
  uint32_t owner = 0;
  EXPECT_EQ(lookUpAccepted(listener, &owner), 1);
  EXPECT_EQ(owner, kNobody);
  close(release);
  int status = -1;
  waitpid(child, &status, 0);
  EXPECT_EQ(status, 0);
  close(listener);
}
