// Kernel listeners and free ports on 127.0.0.1 for the socket tests and
// benchmarks: a peer that only has to hold a port, or a port nobody listens
// on right now.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

// A listening descriptor on a port of 127.0.0.1 the kernel picks (*port),
// with that backlog.
inline int Test_LoopbackListener(int *port, int backlog = 4) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof at;
  bind(fd, reinterpret_cast<sockaddr *>(&at), sizeof at);
  listen(fd, backlog);
  getsockname(fd, reinterpret_cast<sockaddr *>(&at), &length);
  *port = ntohs(at.sin_port);
  return fd;
}

// A TCP port of 127.0.0.1 nobody listens on right now: the kernel's pick,
// given back.
inline int Test_FreeLoopbackPort() {
  int port = 0;
  close(Test_LoopbackListener(&port));
  return port;
}
