// Socket: host look-ups to IPv4 addresses, the machine's name, intranet
// address and MAC address, and the network macros ("IntranetIP",
// "MACAddress", "MachineName") offered to configuration text.
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

// Looks up the host (without port) of url and takes its port: the explicit
// one, else the scheme's default. A host longer than 255 characters fails
// without a query. 1 when address holds an IPv4 address.
int Socket_ResolveUrl(SocketAddress *address, const char *url);
// The IPv4 address of the first adapter marked primary and 1; without one,
// the last adapter's address (0 without adapters) and 0.
int Socket_GetIntranetIP(uint32_t *address);
// The same walk for the adapter's six MAC bytes (zeros without adapters).
int Socket_GetMACAddress(uint8_t mac[6]);
// The network macros, names without regard to case: "IntranetIP" (the
// primary adapter's dotted address; empty without one), "MACAddress"
// ("XX:XX:XX:XX:XX:XX", upper-case hex, also without a primary adapter) and
// "MachineName" (at most 119 characters). 0 for any other name.
int Socket_MacroHandler(const char *name, char *argument, char *out, int outSize);
// Start-up of the network layer: puts Url_MacroHandler into the expander's
// URL slot and Socket_MacroHandler into its network slot, logs the intranet
// address and machine name at DEBUG level. 1.
int Socket_Init(void);
