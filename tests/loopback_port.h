// Kernel listeners and free ports on 127.0.0.1 for the socket tests and
// benchmarks: a peer that only has to hold a port, or a port nobody listens
// on right now.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <random>

// 127.0.0.1 at port (0: the kernel picks).
inline sockaddr_in Test_LoopbackAddress(int port) {
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  at.sin_port = htons(uint16_t(port));
  return at;
}

// A listening descriptor on a port of 127.0.0.1 the kernel picks (*port),
// with that backlog.
inline int Test_LoopbackListener(int *port, int backlog = 4) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in at = Test_LoopbackAddress(0);
  socklen_t length = sizeof at;
  bind(fd, reinterpret_cast<sockaddr *>(&at), sizeof at);
  listen(fd, backlog);
  getsockname(fd, reinterpret_cast<sockaddr *>(&at), &length);
  *port = ntohs(at.sin_port);
  return fd;
}

// A TCP port of 127.0.0.1 nobody uses right now, for a peer to listen on,
// held by the descriptor returned: bound, never listening, SO_REUSEADDR set
// once bound. Another test's draw (a bind without SO_REUSEADDR) fails on it,
// while a server that binds with SO_REUSEADDR, as nginx does, takes it
// alongside; close the descriptor once the server listens. The port is
// drawn below the kernel's range for the local ports of outgoing
// connections: a port from that range, given back, could become the local
// port of another test's connection before the peer binds it.
inline int Test_HoldLoopbackPort(int *port) {
  int low = 32768;
  if (FILE *range = fopen("/proc/sys/net/ipv4/ip_local_port_range", "r")) {
    if (fscanf(range, "%d", &low) != 1) low = 32768;
    fclose(range);
  }
  const int first = std::max(1024, low - 10000);
  static std::atomic<uint32_t> draws{0};
  std::minstd_rand pick(uint32_t(getpid()) * 2654435761u + draws.fetch_add(1) * 40503u +
                        uint32_t(time(nullptr)));
  for (int attempt = 0; attempt <= 200; attempt++) {
    const bool drawn = low > first && attempt < 200;
    sockaddr_in at = Test_LoopbackAddress(drawn ? first + int(pick() % uint32_t(low - first)) : 0);
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (bind(fd, reinterpret_cast<const sockaddr *>(&at), sizeof at) != 0) {
      close(fd);
      continue;
    }
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    socklen_t length = sizeof at;
    getsockname(fd, reinterpret_cast<sockaddr *>(&at), &length);
    *port = ntohs(at.sin_port);
    return fd;
  }
  *port = 0;
  return -1;
}

// The same, given back at once, for a peer started right away.
inline int Test_FreeLoopbackPort() {
  int port = 0;
  int fd = Test_HoldLoopbackPort(&port);
  if (fd >= 0) close(fd);
  return port;
}
