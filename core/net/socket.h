// Socket: host look-ups to IPv4 addresses and the machine's name.
//
// Invariants: (1) a SocketAddress's address holds the first octet in its
// lowest byte. (2) a look-up that fails leaves the address 0 and says so with
// 0; the platform's last error holds the socket error (11001-11004).
//
// Threads: any thread; look-ups block in the system resolver.
#pragma once

#include <cstdint>

// The longest host name a look-up accepts.
constexpr int kSocketHostNameMax = 255;

struct SocketAddress {
  char host[kSocketHostNameMax + 1];
  uint32_t address;
  int32_t port;
};

// Clears address and looks host up: an empty or NULL host means this
// machine's name; a numeric address is taken as it is; a name is resolved
// to its first IPv4 answer. A host longer than 255 characters fails (87)
// without a query. 1 when address holds an IPv4 address.
int Socket_ResolveHost(SocketAddress *address, const char *host);
// The machine's host name, at most size - 1 characters. 0 when size is below
// 1 or the system fails.
int Socket_GetMachineName(char *buffer, int size);
