// DhcpLease: what the machine's DHCP client was told for an interface, read
// from the lease files of systemd-networkd (/run/systemd/netif/leases/<index>),
// NetworkManager (/var/lib/NetworkManager/{internal,dhclient}-*-<name>.lease)
// and dhclient (/var/lib/dhcp/dhclient*.leases), all under SysRoot.
//
// Invariants: (1) the first source that holds a lease for the interface
// answers; within a dhclient file the last lease block for it wins. (2) wpad
// is option 252 as text, empty when the lease does not carry it.
//
// Threads: any thread.
#pragma once

#include <cstdint>
#include <string>

struct DhcpLease {
  uint32_t server = 0;  // the server identifier, first octet in the lowest byte
  std::string wpad;     // option 252
};

// The lease of the interface (its name and ifindex). false when none is found.
bool DhcpLease_Find(const char *interfaceName, uint32_t interfaceIndex, DhcpLease *lease);
